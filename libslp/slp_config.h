// slp_config.h: the library's properties (net.slp.*), layered as OpenSLP layers them.
//
// Layers, later ones winning: built-in defaults, /etc/slp.conf, the file named by the
// environment variable OpenSLPConfig, then SLPSetProperty calls made before the first
// request. The files are read once, on first use, from whichever thread gets there first.
// Property names are case-insensitive (RFC 2614); a name keeps the spelling it was first given.
#ifndef ORVAD_LIBSLP_SLP_CONFIG_H
#define ORVAD_LIBSLP_SLP_CONFIG_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace slpclient {

// Orders property names ignoring ASCII case, so lookups find `NET.SLP.PORT` as `net.slp.port`.
struct PropertyNameLess {
    bool operator()(const std::string &a, const std::string &b) const;
};
using PropertyMap = std::map<std::string, std::string, PropertyNameLess>;

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
// Agent-side properties (net.slp.isDA, DAHeartBeat, DAAttributes, typeHint, serializedRegURL,
// passiveDADetection, randomWaitBound) and unknown names have no effect here.
struct RequestSettings {
    uint16_t port = 427;
    int replyWaitMs = 5000;  // net.slp.unicastMaximumWait
    std::string scopes = "DEFAULT";
    bool sendProcessId = true;
    size_t mtu = 1400;  // largest SLP message in one datagram
    // net.slp.unicastTimeouts, else net.slp.datagramTimeouts: the retransmission schedule of
    // datagrams to one agent or DA
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
    // net.slp.DAActiveDiscoveryInterval: seconds between active DA discoveries, which is how long
    // the DAs known stay known; 0 turns active discovery off (activeDaDetection false) and
    // keeps the configured DAs for good
    int daDiscoveryIntervalS = 900;
    bool useIPv4 = true;
    bool useIPv6 = false;
    int maxResults = -1;           // net.slp.maxResults: results a find reports at most; -1 = all
    bool broadcastOnly = false;    // net.slp.isBroadcastOnly: IPv4 finds go to 255.255.255.255
    bool securityEnabled = false;  // net.slp.securityEnabled: requests fail, as there is no SLP security
};
// A name present in `map` counts as set: net.slp.datagramTimeouts applies only when
// net.slp.unicastTimeouts is absent (or unusable).
RequestSettings settingsFrom(const PropertyMap &map);

// slp_config.cpp: the process-wide properties behind SLPGetProperty/SLPSetProperty.

// The current value, owned by the library and valid until the process ends; NULL if unset.
const char *getProperty(const char *name);
// Sets a property unless a request has already been sent (then the call is ignored).
void setProperty(const char *name, const char *value);
// Settings for a request (scopesExplicit filled in); from the first call on setProperty has no
// effect, and every call gives the same settings.
const RequestSettings &settingsForRequest();
// The same without sending anything (SLPFindScopes).
RequestSettings currentSettings();
// The default language of new handles (net.slp.locale).
std::string defaultLocale();

}  // namespace slpclient

#endif
