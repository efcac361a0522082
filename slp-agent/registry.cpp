#include "registry.h"

#include "matching.h"

namespace slpagent {

RegistryKey registryKey(const std::string &url, const std::string &language) { return {url, toLower(language)}; }

size_t registrationBytes(const Registration &r) {
    return r.url.size() + r.language.size() + r.serviceType.size() + r.scopes.size() + r.attributes.size();
}

void noteChange(Registry *registry, RegistryKey key) { registry->changed.push_back(std::move(key)); }

void storeRegistration(Registry *registry, Registration registration) {
    if (!registration.permanent && registration.expiresAtMs < registry->noExpiryBeforeMs) {
        registry->noExpiryBeforeMs = registration.expiresAtMs;
    }
    RegistryKey key = registryKey(registration.url, registration.language);
    noteChange(registry, key);
    registration.serial = ++registry->lastSerial;
    if (registration.remote) {
        ++registry->remoteCount;
        registry->remoteBytes += registrationBytes(registration);
    }
    Registration &slot = registry->entries[std::move(key)];
    if (slot.remote) {
        --registry->remoteCount;
        registry->remoteBytes -= registrationBytes(slot);
    }
    slot = std::move(registration);
}

std::map<RegistryKey, Registration>::iterator eraseRegistration(Registry *registry,
                                                                std::map<RegistryKey, Registration>::iterator it) {
    noteChange(registry, it->first);
    if (it->second.remote) {
        --registry->remoteCount;
        registry->remoteBytes -= registrationBytes(it->second);
    }
    return registry->entries.erase(it);
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
    std::map<uint32_t, bool> alive;
    for (auto it = registry->entries.begin(); it != registry->entries.end();) {
        const Registration &r = it->second;
        if (r.processId != 0) {
            auto known = alive.find(r.processId);
            if (known == alive.end()) known = alive.emplace(r.processId, isAlive(r.processId)).first;
            if (!known->second) {
                lines->push_back("dropped " + r.url + " process " + std::to_string(r.processId) + " exited");
                it = eraseRegistration(registry, it);
                continue;
            }
        }
        ++it;
    }
}

void logRegistration(const Registration &r, std::vector<std::string> *lines) {
    lines->push_back("registered " + r.url + " lifetime " + std::to_string(r.lifetime));
    if (!r.attributes.empty()) lines->push_back("  attributes " + r.attributes);
}

}  // namespace slpagent
