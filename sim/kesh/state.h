// state.h: the stand-in switch's state: file parsing, built-in switch, answers, change events.
#ifndef ORVAD_SIM_KESH_STATE_H
#define ORVAD_SIM_KESH_STATE_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace keshsim {

// Entry status for a name the switch does not hold.
inline constexpr uint32_t kNoSuchValue = 0x1f;

// Results of the four library calls other than 0 (success).
enum Error : int {
    kErrBadArgument = 1,     // null pointer or count 0
    kErrBadHandle = 2,       // handle 0 or not the one the last successful connect handed out
    kErrNoStateFile = 3,     // KESH_STATE names a file that does not exist or cannot be read
    kErrMalformedState = 4,  // the state file has a line that cannot be parsed
    kErrConnectRefused = 5,  // "!refuse-connect" made this connect attempt fail
    kErrBatchFailed = 6,     // "!fail-batch" made this batch call fail
    kErrWatcherFailed = 7,   // the watcher (inotify, eventfd or its thread) could not be set up
};

// One switch state: named values plus the fault-injection settings of its file.
struct SwitchState {
    std::map<std::string, std::string, std::less<>> values;
    std::map<std::string, uint32_t, std::less<>> statuses;  // "!status NAME CODE"
    uint32_t failBatch = 0;                                 // "!fail-batch N"
    uint32_t skipBatch = 0;                                 // "!skip-batch N"
    uint32_t refuseConnect = 0;                             // "!refuse-connect N"
};

// Where and why parsing stopped.
struct ParseError {
    size_t line = 0;  // 1-based
    std::string reason;
};

// Parses state-file text. Returns true and replaces *out on success; on the first malformed
// line returns false, leaves *out untouched and, when `error` is not null, describes the line.
bool parseState(std::string_view text, SwitchState *out, ParseError *error);

// The built-in development switch, served when KESH_STATE is not set. Carries no faults.
SwitchState builtinState();

// What a batch entry for `name` receives: an injected status (with an empty value), the
// value with status 0, or kNoSuchValue with an empty value.
struct Answer {
    std::string_view value;
    uint32_t status = 0;
    bool operator==(const Answer &other) const { return value == other.value && status == other.status; }
};
Answer lookup(const SwitchState &state, std::string_view name);

// The event code a change of the value `name` raises (first matching rule of the table in
// state.cpp; names no rule covers raise KESH_EVENT_SWITCH_ATTR_CHANGE).
uint32_t eventForName(std::string_view name);

// The distinct event codes, ascending, raised by the names whose answers differ between
// `before` and `after` (added, removed, changed value or changed injected status).
std::vector<uint32_t> changedEvents(const SwitchState &before, const SwitchState &after);

}  // namespace keshsim

#endif
