// slp_config.h: the library's properties (net.slp.*), layered as OpenSLP layers them.
//
// Layers, later ones winning: built-in defaults, /etc/slp.conf, the file named by the
// environment variable OpenSLPConfig, then SLPSetProperty calls made before the first
// request. The files are read once, on first use, from whichever thread gets there first.
#ifndef ORVAD_LIBSLP_SLP_CONFIG_H
#define ORVAD_LIBSLP_SLP_CONFIG_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace slpclient {

using PropertyMap = std::map<std::string, std::string>;

constexpr const char *kGlobalConfigFile = "/etc/slp.conf";
constexpr const char *kConfigFileVariable = "OpenSLPConfig";

// slp_config.cpp: parsing and layering, no process state.

// The built-in defaults: net.slp.useScopes, locale, MTU, port, the unicast and multicast
// waits and timeouts, multicastTTL, interfaces, DAAddresses, the DA discovery properties,
// useIPv4/useIPv6, watchRegistrationPID.
PropertyMap defaultProperties();
// Applies the `name = value` lines of `text` to `map`. Lines starting with `#` or `;`
// (after blanks) are comments; lines without `=` or with an empty name are ignored; name and
// value lose their outer blanks.
void parseProperties(const std::string &text, PropertyMap *map);
// The items of a comma list, outer blanks removed, empty ones dropped, in order.
std::vector<std::string> listItems(const std::string &list);
// parseProperties over the file at `path`; false (map untouched) when it cannot be read.
bool readPropertyFile(const char *path, PropertyMap *map);
// Defaults, then each file that exists (either path may be NULL).
PropertyMap layeredProperties(const char *globalPath, const char *overridePath);

// What one request needs, taken from the properties, with defaults for unusable values.
struct RequestSettings {
    uint16_t port = 427;
    int replyWaitMs = 5000;  // net.slp.unicastMaximumWait
    std::string scopes = "DEFAULT";
    bool sendProcessId = true;
    size_t mtu = 1400;  // largest SLP message in one datagram
    std::vector<int> unicastTimeoutsMs{500, 750, 1000, 1500, 2000, 3000};
    int multicastWaitMs = 15000;  // net.slp.multicastMaximumWait
    std::vector<int> multicastTimeoutsMs{500, 750, 1000, 1500, 2000, 3000};
    int multicastTtl = 255;
    std::string interfaces;         // comma list of local addresses to multicast out of; empty = all
    std::string daAddresses;        // comma list of directory agents to ask instead of multicasting
    bool scopesExplicit = false;    // net.slp.useScopes came from a file or SLPSetProperty
    bool activeDaDetection = true;  // net.slp.activeDADetection: look for DAs by multicast
    int daDiscoveryWaitMs = 5000;   // net.slp.DADiscoveryMaximumWait
    std::vector<int> daDiscoveryTimeoutsMs{500, 750, 1000, 1500, 2000, 3000};
    int daDiscoveryIntervalS = 900;  // net.slp.DAActiveDiscoveryInterval: how long DAs found stay known; 0 = for good
    bool useIPv4 = true;
    bool useIPv6 = false;
};
RequestSettings settingsFrom(const PropertyMap &map);

// slp_config.cpp: the process-wide properties behind SLPGetProperty/SLPSetProperty.

// The current value, owned by the library and valid until the process ends; NULL if unset.
const char *getProperty(const char *name);
// Sets a property unless a request has already been sent (then the call is ignored).
void setProperty(const char *name, const char *value);
// Settings for a request (scopesExplicit filled in); from here on setProperty has no effect.
RequestSettings settingsForRequest();
// The same without sending anything (SLPFindScopes).
RequestSettings currentSettings();
// The default language of new handles (net.slp.locale).
std::string defaultLocale();

}  // namespace slpclient

#endif
