// slp_config.cpp: property files, defaults and the process-wide property store.
#include "slp_config.h"

#include <strings.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

namespace slpclient {
namespace {

constexpr const char *kBlanks = " \t\r\n\f\v";

std::string trim(const std::string &s) {
    size_t first = s.find_first_not_of(kBlanks);
    if (first == std::string::npos) return std::string();
    size_t last = s.find_last_not_of(kBlanks);
    return s.substr(first, last - first + 1);
}

// Whole decimal number within [low, high], else `fallback`.
long numberOr(const PropertyMap &map, const char *name, long low, long high, long fallback) {
    auto it = map.find(name);
    if (it == map.end() || it->second.empty()) return fallback;
    const char *text = it->second.c_str();
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || text[0] == '-' || text[0] == '+' || v < low || v > high) return fallback;
    return v;
}

bool booleanOr(const PropertyMap &map, const char *name, bool fallback) {
    auto it = map.find(name);
    if (it == map.end()) return fallback;
    if (strcasecmp(it->second.c_str(), "true") == 0) return true;
    if (strcasecmp(it->second.c_str(), "false") == 0) return false;
    return fallback;
}

// A comma list of whole numbers within [1, high], else `fallback` (one bad item spoils the list).
std::vector<int> timeoutsOr(const PropertyMap &map, const char *name, long high, const std::vector<int> &fallback) {
    auto it = map.find(name);
    if (it == map.end()) return fallback;
    std::vector<int> steps;
    size_t start = 0;
    while (start <= it->second.size() && steps.size() < 32) {
        size_t comma = it->second.find(',', start);
        if (comma == std::string::npos) comma = it->second.size();
        PropertyMap one{{"", trim(it->second.substr(start, comma - start))}};
        long v = numberOr(one, "", 1, high, -1);
        if (v < 0) return fallback;
        steps.push_back(static_cast<int>(v));
        start = comma + 1;
    }
    return steps;
}

// Values are kept in place for the life of the process: SLPGetProperty hands out pointers
// into them, and a replaced value may still be in a caller's hands.
class PropertyStore {
public:
    PropertyStore() {
        // Layered as layeredProperties does, keeping apart what the files name.
        PropertyMap files;
        readPropertyFile(kGlobalConfigFile, &files);
        if (const char *path = std::getenv(kConfigFileVariable); path != nullptr && *path != '\0')
            readPropertyFile(path, &files);
        PropertyMap all = defaultProperties();
        for (const auto &[name, value] : files) all[name] = value, explicit_.insert(name);
        for (const auto &[name, value] : all) values_[name] = std::make_unique<const std::string>(value);
    }

    // Whether a file or set() gave the property a value (rather than the built-in default).
    bool isExplicit(const std::string &name) {
        std::lock_guard<std::mutex> lock(mutex_);
        return explicit_.count(name) != 0;
    }

    const char *get(const char *name) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = values_.find(name);
        return it == values_.end() ? nullptr : it->second->c_str();
    }

    void set(const char *name, const char *value) {
        auto fresh = std::make_unique<const std::string>(value);
        std::lock_guard<std::mutex> lock(mutex_);
        if (frozen_) return;
        std::unique_ptr<const std::string> &slot = values_[name];
        if (slot) retired_.push_back(std::move(slot));
        slot = std::move(fresh);
        explicit_.insert(name);
    }

    // What a file or set() gave a value; the defaults are those of RequestSettings.
    PropertyMap explicitValues(bool freeze) {
        std::lock_guard<std::mutex> lock(mutex_);
        frozen_ = frozen_ || freeze;
        PropertyMap map;
        for (const auto &[name, value] : values_)
            if (explicit_.count(name) != 0) map.emplace(name, *value);
        return map;
    }

private:
    std::mutex mutex_;
    std::map<std::string, std::unique_ptr<const std::string>, PropertyNameLess> values_;
    std::vector<std::unique_ptr<const std::string>> retired_;
    std::set<std::string, PropertyNameLess> explicit_;
    bool frozen_ = false;
};

PropertyStore &store() {
    // First use reads the files; initialisation is thread-safe. Never destroyed, so a
    // process that exits while another thread is inside a request does not pull it away.
    static PropertyStore &instance = *new PropertyStore;
    return instance;
}

}  // namespace

bool PropertyNameLess::operator()(const std::string &a, const std::string &b) const {
    return strcasecmp(a.c_str(), b.c_str()) < 0;
}

std::vector<std::string> listItems(const std::string &list) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= list.size()) {
        size_t comma = std::min(list.find(',', start), list.size());
        std::string item = trim(list.substr(start, comma - start));
        if (!item.empty()) out.push_back(std::move(item));
        start = comma + 1;
    }
    return out;
}

PropertyMap defaultProperties() {
    return {
        {"net.slp.useScopes", "DEFAULT"},
        {"net.slp.locale", "en"},
        {"net.slp.MTU", "1400"},
        {"net.slp.port", "427"},
        {"net.slp.unicastMaximumWait", "5000"},
        {"net.slp.unicastTimeouts", "500,750,1000,1500,2000,3000"},
        {"net.slp.multicastMaximumWait", "15000"},
        {"net.slp.multicastTimeouts", "500,750,1000,1500,2000,3000"},
        {"net.slp.multicastTTL", "255"},
        {"net.slp.interfaces", ""},
        {"net.slp.DAAddresses", ""},
        {"net.slp.activeDADetection", "true"},
        {"net.slp.DADiscoveryMaximumWait", "5000"},
        {"net.slp.DADiscoveryTimeouts", "500,750,1000,1500,2000,3000"},
        {"net.slp.DAActiveDiscoveryInterval", "900"},
        {"net.slp.useIPv4", "true"},
        {"net.slp.useIPv6", "false"},
        {"net.slp.watchRegistrationPID", "true"},
    };
}

void parseProperties(const std::string &text, PropertyMap *map) {
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = trim(text.substr(start, end - start));
        start = end + 1;
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string name = trim(line.substr(0, eq));
        if (name.empty()) continue;
        (*map)[name] = trim(line.substr(eq + 1));
    }
}

bool readPropertyFile(const char *path, PropertyMap *map) {
    std::FILE *f = std::fopen(path, "re");
    if (f == nullptr) return false;
    std::string text;
    std::vector<char> chunk(4096);
    size_t n = 0;
    while ((n = std::fread(chunk.data(), 1, chunk.size(), f)) > 0) text.append(chunk.data(), n);
    bool ok = std::ferror(f) == 0;
    std::fclose(f);
    if (ok) parseProperties(text, map);
    return ok;
}

PropertyMap layeredProperties(const char *globalPath, const char *overridePath) {
    PropertyMap map = defaultProperties();
    if (globalPath != nullptr && *globalPath != '\0') readPropertyFile(globalPath, &map);
    if (overridePath != nullptr && *overridePath != '\0') readPropertyFile(overridePath, &map);
    return map;
}

RequestSettings settingsFrom(const PropertyMap &map) {
    RequestSettings s;
    s.port = static_cast<uint16_t>(numberOr(map, "net.slp.port", 1, 65535, s.port));
    s.replyWaitMs = static_cast<int>(numberOr(map, "net.slp.unicastMaximumWait", 1, 600000, s.replyWaitMs));
    auto scopes = map.find("net.slp.useScopes");
    if (scopes != map.end() && !scopes->second.empty()) s.scopes = scopes->second;
    s.sendProcessId = booleanOr(map, "net.slp.watchRegistrationPID", s.sendProcessId);
    // Smaller MTUs leave no room for a previous-responder list.
    s.mtu = static_cast<size_t>(numberOr(map, "net.slp.MTU", 512, 65000, static_cast<long>(s.mtu)));
    s.unicastTimeoutsMs = timeoutsOr(map, "net.slp.datagramTimeouts", 600000, s.unicastTimeoutsMs);
    s.unicastTimeoutsMs = timeoutsOr(map, "net.slp.unicastTimeouts", 600000, s.unicastTimeoutsMs);
    s.multicastWaitMs = static_cast<int>(numberOr(map, "net.slp.multicastMaximumWait", 1, 600000, s.multicastWaitMs));
    s.multicastTimeoutsMs = timeoutsOr(map, "net.slp.multicastTimeouts", 600000, s.multicastTimeoutsMs);
    s.multicastTtl = static_cast<int>(numberOr(map, "net.slp.multicastTTL", 1, 255, s.multicastTtl));
    auto interfaces = map.find("net.slp.interfaces");
    if (interfaces != map.end()) s.interfaces = interfaces->second;
    auto das = map.find("net.slp.DAAddresses");
    if (das != map.end()) s.daAddresses = das->second;
    s.activeDaDetection = booleanOr(map, "net.slp.activeDADetection", s.activeDaDetection);
    s.daDiscoveryWaitMs =
        static_cast<int>(numberOr(map, "net.slp.DADiscoveryMaximumWait", 1, 600000, s.daDiscoveryWaitMs));
    s.daDiscoveryTimeoutsMs = timeoutsOr(map, "net.slp.DADiscoveryTimeouts", 600000, s.daDiscoveryTimeoutsMs);
    s.daDiscoveryIntervalS =
        static_cast<int>(numberOr(map, "net.slp.DAActiveDiscoveryInterval", 0, 65535, s.daDiscoveryIntervalS));
    if (s.daDiscoveryIntervalS == 0) s.activeDaDetection = false;
    s.useIPv4 = booleanOr(map, "net.slp.useIPv4", s.useIPv4);
    s.useIPv6 = booleanOr(map, "net.slp.useIPv6", s.useIPv6);
    // -1, like anything unusable (0 included), means no limit.
    s.maxResults = static_cast<int>(numberOr(map, "net.slp.maxResults", 1, INT_MAX, s.maxResults));
    s.broadcastOnly = booleanOr(map, "net.slp.isBroadcastOnly", s.broadcastOnly);
    s.securityEnabled = booleanOr(map, "net.slp.securityEnabled", s.securityEnabled);
    return s;
}

const char *getProperty(const char *name) { return store().get(name); }

void setProperty(const char *name, const char *value) { store().set(name, value); }

namespace {
RequestSettings storeSettings(bool freeze) {
    RequestSettings s = settingsFrom(store().explicitValues(freeze));
    s.scopesExplicit = store().isExplicit("net.slp.useScopes");
    return s;
}
}  // namespace

const RequestSettings &settingsForRequest() {
    // The first request freezes the properties, so what they give is worked out once.
    static const RequestSettings &settings = *new RequestSettings(storeSettings(true));
    return settings;
}

RequestSettings currentSettings() { return storeSettings(false); }

std::string defaultLocale() {
    const char *locale = store().get("net.slp.locale");
    return locale == nullptr || *locale == '\0' ? std::string("en") : std::string(locale);
}

}  // namespace slpclient
