// registry.h: the agent's registrations, their lifetimes and their registering processes.
#ifndef ORVAD_SLP_AGENT_REGISTRY_H
#define ORVAD_SLP_AGENT_REGISTRY_H

#include "predicate.h"

#include <climits>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace slpagent {

// Lifetime that never runs out unless the agent runs with strict lifetimes.
inline constexpr uint16_t kPermanentLifetime = 65535;

struct Registration {
    std::string url;
    std::string language;     // as registered
    std::string serviceType;  // as registered
    std::string scopes;       // as registered
    std::string attributes;   // byte for byte as registered
    uint16_t lifetime = 0;    // seconds, as registered
    int64_t expiresAtMs = 0;  // monotonic clock; unused when `permanent`
    bool permanent = false;
    uint32_t processId = 0;  // from the process-id extension; 0 = none
    bool remote = false;     // made by a remote service agent (DA mode): always ages, never has a process
    uint32_t familySlot = 0;  // set by storeRegistration: its place in its type family
    uint64_t serial = 0;      // set by storeRegistration: tells a stored registration from its earlier versions
};

// A registration's key: (URL as written, language in lower case).
using RegistryKey = std::pair<std::string, std::string>;

// How a stored entry is keyed: views of its own registration's URL and language (compared
// without case), so that the URL is held once. Set again whenever the registration is replaced.
struct EntryKey {
    mutable std::string_view url, language;
};

// Whether key (urlA, languageA) comes before (urlB, languageB): by URL, then by language
// without case.
bool keyBefore(std::string_view urlA, std::string_view languageA, std::string_view urlB, std::string_view languageB);

// Orders stored entries' keys, and finds them by RegistryKey.
struct KeyOrder {
    using is_transparent = void;
    bool operator()(const EntryKey &a, const EntryKey &b) const { return keyBefore(a.url, a.language, b.url, b.language); }
    bool operator()(const EntryKey &a, const RegistryKey &b) const { return keyBefore(a.url, a.language, b.first, b.second); }
    bool operator()(const RegistryKey &a, const EntryKey &b) const { return keyBefore(a.first, a.second, b.url, b.language); }
};

using Entries = std::map<EntryKey, Registration, KeyOrder>;
using RegistryEntry = Entries::value_type;

// An entry with what filters can know of its attributes without reading them; the signature is
// made when a filter first asks (all zero until then).
struct SignedEntry {
    const RegistryEntry *entry;
    AttrSignature signature;
};

// The entries of one type family, in no order, with their signatures side by side in one block
// so that a filtered lookup streams through little more than those.
using TypeFamily = std::vector<SignedEntry>;

struct Registry {
    Registry() = default;
    Registry(const Registry &) = delete;  // `families` points into `entries`
    Registry &operator=(const Registry &) = delete;
    Registry(Registry &&) = default;
    Registry &operator=(Registry &&) = default;

    Entries entries;
    // The entries by typeFamily() of their type: a filtered lookup reads its family only.
    std::map<std::string, TypeFamily> families;
    // Registering processes, and types as registered, with how many registrations each holds.
    std::map<uint32_t, size_t> processes;
    std::map<std::string, size_t> types;
    // No registration expires before this time. A lower bound, lowered by storeRegistration()
    // and made exact by each expiry scan, so most messages need no scan at all.
    int64_t noExpiryBeforeMs = INT64_MIN;
    // Keys added, replaced, altered or removed since the state file last recorded them (may
    // repeat). Whatever changes `entries` notes the key here (noteChange()); a change that is
    // not noted costs the state file a whole snapshot instead of one journal line.
    std::vector<RegistryKey> changed;
    size_t remoteCount = 0;      // entries with `remote` set
    size_t remoteBytes = 0;      // their registrationBytes()
    uint64_t lastSerial = 0;     // the serial given to the latest stored registration
    uint32_t bootTimestamp = 0;  // DA mode: the boot timestamp advertised, kept in the state file
};

RegistryKey registryKey(const std::string &url, const std::string &language);
RegistryKey registryKey(const Registration &registration);

// The text a registration keeps: URL, language, type, scopes and attributes.
size_t registrationBytes(const Registration &registration);

// Notes that the registration under `key` changed or went, for the state file.
void noteChange(Registry *registry, RegistryKey key);

// Adds or replaces the registration under its key, giving it the next serial.
void storeRegistration(Registry *registry, Registration registration);

// Removes the entry at `it`, keeping the counts; returns the entry after it.
Entries::iterator eraseRegistration(Registry *registry, Entries::iterator it);

// Seconds left, rounded up and at least 1; 65535 for a permanent registration.
uint16_t remainingLifetime(const Registration &registration, int64_t nowMs);

// Removes registrations whose lifetime ended at or before `nowMs`; appends an "expired URL"
// line for each.
void expireRegistrations(Registry *registry, int64_t nowMs, std::vector<std::string> *lines);

// When the next registration may expire (possibly earlier than it will), if any can.
std::optional<int64_t> nextExpiry(const Registry &registry);

// Appends the lines the agent prints for a registration it takes: "registered URL lifetime N",
// then "  attributes LIST" when the list is not empty.
void logRegistration(const Registration &registration, std::vector<std::string> *lines);

// The entries whose type typeMatches() `requested`, among a few more of its family (callers still
// compare each type); nullptr when none can.
TypeFamily *familyOf(Registry *registry, std::string_view requested);

// Replaces the attribute list of the entry at `it` and notes the change.
void replaceAttributes(Registry *registry, Entries::iterator it, std::string attributes);

// Removes registrations whose registering process `isAlive` reports gone; appends a
// "dropped URL process N exited" line for each. Asks once per distinct process id, and reads
// the registrations only when one is gone.
void dropExitedProcesses(Registry *registry, const std::function<bool(uint32_t)> &isAlive,
                         std::vector<std::string> *lines);

}  // namespace slpagent

#endif
