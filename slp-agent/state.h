// state.h: the agent's registrations as a text file that survives a restart.
#ifndef ORVAD_TOOLS_SLP_AGENT_STATE_H
#define ORVAD_TOOLS_SLP_AGENT_STATE_H

#include "registry.h"

#include <cstdint>
#include <string>

namespace slpagent {

// The registry as state-file text. Expiry times are turned from the monotonic clock
// (`monoNowMs`) into wall-clock milliseconds (`wallNowMs`); strings are hex-encoded, so any
// bytes survive.
std::string serializeState(const Registry &registry, int64_t monoNowMs, int64_t wallNowMs);

// Reads state-file text into `registry` (cleared first), turning wall-clock expiries back
// into the monotonic clock and leaving out what has expired. False with `error` set when the
// text is not a complete state file (then `registry` is left empty).
bool parseState(const std::string &text, int64_t monoNowMs, int64_t wallNowMs, Registry *registry, std::string *error);

// Replaces the file at `path` with `text` atomically: a temporary file in the same folder,
// renamed over it. With `sync` the data, then the folder, reach the disk too (fsync); without,
// the new file survives the process being killed but not necessarily a power loss. False with
// `error` set on failure (old file kept).
bool writeFileAtomically(const std::string &path, const std::string &text, bool sync, std::string *error);

// Removes temporary files writeFileAtomically left beside `path` when it was killed mid-write.
void removeStaleTemporaries(const std::string &path);

// The whole file; false with `error` (why, without the path) set when it cannot be read.
bool readWholeFile(const std::string &path, std::string *text, std::string *error);

}  // namespace slpagent

#endif
