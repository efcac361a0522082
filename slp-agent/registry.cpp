#include "registry.h"

#include "matching.h"

#include <set>

namespace slpagent {

RegistryKey registryKey(const std::string &url, const std::string &language) { return {url, toLower(language)}; }
RegistryKey registryKey(const Registration &r) { return registryKey(r.url, r.language); }

bool keyBefore(std::string_view urlA, std::string_view languageA, std::string_view urlB, std::string_view languageB) {
    if (int c = urlA.compare(urlB)) return c < 0;
    return lessIgnoreCase(languageA, languageB);
}

size_t registrationBytes(const Registration &r) {
    return r.url.size() + r.language.size() + r.serviceType.size() + r.scopes.size() + r.attributes.size();
}

void noteChange(Registry *registry, RegistryKey key) { registry->changed.push_back(std::move(key)); }

namespace {

// Takes the entry into the counts and indexes (`in`) or out of them.
void account(Registry *registry, RegistryEntry &entry, bool in) {
    Registration &r = entry.second;
    if (r.remote) {
        registry->remoteCount += in ? 1 : -1;
        registry->remoteBytes += in ? registrationBytes(r) : -registrationBytes(r);
    }
    auto count = [in](auto *counts, const auto &what) {
        size_t &held = (*counts)[what];
        held += in ? 1 : -1;
        if (held == 0) counts->erase(what);
    };
    if (r.processId != 0) count(&registry->processes, r.processId);
    count(&registry->types, r.serviceType);
    const std::string name = typeFamily(r.serviceType);
    if (in) {
        TypeFamily &family = registry->families[name];
        r.familySlot = static_cast<uint32_t>(family.size());
        family.push_back(SignedEntry{&entry, {}});
        return;
    }
    auto it = registry->families.find(name);
    TypeFamily &family = it->second;
    // The last of the family takes the place of the one that goes.
    family[r.familySlot] = family.back();
    const_cast<Registration &>(family[r.familySlot].entry->second).familySlot = r.familySlot;
    family.pop_back();
    if (family.empty()) {
        registry->families.erase(it);
    } else if (family.size() < family.capacity() / 4) {
        family.shrink_to_fit();  // a DA that held many and holds few gives the block back
    }
}

}  // namespace

void storeRegistration(Registry *registry, Registration registration) {
    if (!registration.permanent && registration.expiresAtMs < registry->noExpiryBeforeMs) {
        registry->noExpiryBeforeMs = registration.expiresAtMs;
    }
    noteChange(registry, registryKey(registration));
    registration.serial = ++registry->lastSerial;
    // The key views the registration it is inserted with; once the registration has moved into
    // the entry, it views the entry's own.
    auto [it, added] = registry->entries.try_emplace(EntryKey{registration.url, registration.language});
    if (!added) account(registry, *it, false);
    it->second = std::move(registration);
    it->first.url = it->second.url;
    it->first.language = it->second.language;
    account(registry, *it, true);
}

Entries::iterator eraseRegistration(Registry *registry, Entries::iterator it) {
    noteChange(registry, registryKey(it->second));
    account(registry, *it, false);
    return registry->entries.erase(it);
}

void replaceAttributes(Registry *registry, Entries::iterator it, std::string attributes) {
    noteChange(registry, registryKey(it->second));
    account(registry, *it, false);
    it->second.attributes = std::move(attributes);
    account(registry, *it, true);
}

TypeFamily *familyOf(Registry *registry, std::string_view requested) {
    auto it = registry->families.find(typeFamily(requested));
    return it == registry->families.end() ? nullptr : &it->second;
}

uint16_t remainingLifetime(const Registration &registration, int64_t nowMs) {
    if (registration.permanent) return kPermanentLifetime;
    int64_t leftMs = registration.expiresAtMs - nowMs;
    if (leftMs <= 1000) return 1;
    int64_t seconds = (leftMs + 999) / 1000;
    return seconds > kPermanentLifetime ? kPermanentLifetime : static_cast<uint16_t>(seconds);
}

void expireRegistrations(Registry *registry, int64_t nowMs, std::vector<std::string> *lines) {
    if (nowMs < registry->noExpiryBeforeMs) return;
    int64_t next = INT64_MAX;
    for (auto it = registry->entries.begin(); it != registry->entries.end();) {
        const Registration &r = it->second;
        if (!r.permanent && r.expiresAtMs <= nowMs) {
            lines->push_back("expired " + r.url);
            it = eraseRegistration(registry, it);
            continue;
        }
        if (!r.permanent && r.expiresAtMs < next) next = r.expiresAtMs;
        ++it;
    }
    registry->noExpiryBeforeMs = next;
}

std::optional<int64_t> nextExpiry(const Registry &registry) {
    if (registry.noExpiryBeforeMs == INT64_MAX) return std::nullopt;
    if (registry.noExpiryBeforeMs != INT64_MIN) return registry.noExpiryBeforeMs;
    std::optional<int64_t> next;
    for (const auto &entry : registry.entries) {
        const Registration &r = entry.second;
        if (!r.permanent && (!next || r.expiresAtMs < *next)) next = r.expiresAtMs;
    }
    return next;
}

void dropExitedProcesses(Registry *registry, const std::function<bool(uint32_t)> &isAlive,
                         std::vector<std::string> *lines) {
    std::set<uint32_t> gone;
    for (const auto &[pid, held] : registry->processes) {
        if (!isAlive(pid)) gone.insert(pid);
    }
    if (gone.empty()) return;
    for (auto it = registry->entries.begin(); it != registry->entries.end();) {
        const Registration &r = it->second;
        if (gone.count(r.processId) != 0) {
            lines->push_back("dropped " + r.url + " process " + std::to_string(r.processId) + " exited");
            it = eraseRegistration(registry, it);
            continue;
        }
        ++it;
    }
}

void logRegistration(const Registration &r, std::vector<std::string> *lines) {
    lines->push_back("registered " + r.url + " lifetime " + std::to_string(r.lifetime));
    if (!r.attributes.empty()) lines->push_back("  attributes " + r.attributes);
}

}  // namespace slpagent
