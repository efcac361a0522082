// state.h: the agent's registrations as a file that survives a restart: a snapshot, then a journal of changes.
#ifndef ORVAD_SLP_AGENT_STATE_H
#define ORVAD_SLP_AGENT_STATE_H

#include "registry.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace slpagent {

// The state file as the agent keeps it open: after the snapshot, each change is appended as
// one line, so a change costs one short write however large the registry.
struct StateJournal {
    StateJournal() = default;
    StateJournal(const StateJournal &) = delete;
    StateJournal &operator=(const StateJournal &) = delete;
    ~StateJournal();

    int fd = -1;                  // open for appending; -1 = the next save writes a snapshot
    size_t snapshotBytes = 0;     // the snapshot at the start of the file
    size_t journalBytes = 0;      // appended after it
    bool folderUnsynced = false;  // a snapshot was renamed into place without syncing its folder
};

// Writes what `registry->changed` lists to the state file at `path` (each key's registration
// as it is now, or its removal) and clears the list. A fresh snapshot replaces the file
// atomically instead when no journal is open, when the journal has outgrown about twice the
// snapshot, or when `whole` (a change went unnoted). With `sync` everything written so far
// reaches the disk. False with `error` set; the next save then writes a snapshot.
bool saveChanges(StateJournal *journal, const std::string &path, Registry *registry, bool whole, int64_t monoNowMs,
                 int64_t wallNowMs, bool sync, std::string *error);

// The registry as a snapshot, the text a state file starts with. Expiry times are turned
// from the monotonic clock (`monoNowMs`) into wall-clock milliseconds (`wallNowMs`); strings
// are hex-encoded, so any bytes survive.
std::string serializeState(const Registry &registry, int64_t monoNowMs, int64_t wallNowMs);

// Reads state-file text into `registry` (cleared first): the snapshot, then the journal
// replayed over it, turning wall-clock expiries back into the monotonic clock and leaving out
// what has expired. A last journal line cut off or damaged (the agent killed while appending
// it) is ignored. False with `error` set when the snapshot is incomplete or anything else is
// damaged (then `registry` is left empty).
bool parseState(const std::string &text, int64_t monoNowMs, int64_t wallNowMs, Registry *registry, std::string *error);

// Replaces the file at `path` with `text` atomically: a temporary file in the same folder,
// renamed over it. With `sync` the data, then the folder, reach the disk too (fsync); without,
// the new file survives the process being killed but not necessarily a power loss. False with
// `error` set on failure (old file kept).
bool writeFileAtomically(const std::string &path, const std::string &text, bool sync, std::string *error);

// Removes temporary files writeFileAtomically left beside `path` when it was killed mid-write.
void removeStaleTemporaries(const std::string &path);

// The folder of the file at `path`.
std::string folderOf(const std::string &path);

// Whether this process can keep a state file at `path`: create, rename and remove a file in
// its folder, and append to the file if it exists. 0, or the errno of what failed.
int stateFileWritable(const std::string &path);

// The whole file; false with `error` (why, without the path) set when it cannot be read.
bool readWholeFile(const std::string &path, std::string *text, std::string *error);

}  // namespace slpagent

#endif
