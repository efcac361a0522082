// persistence.cpp: what the agent keeps and reports: the state file, the registration file, the
// registrations of processes that have exited, and what its limits refused.
#include "agent.h"

#include "reg_file.h"

#include <signal.h>

#include <cerrno>

namespace slpagent {

namespace {

bool processAlive(uint32_t pid) { return kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH; }

}  // namespace

// Prints, at most once a minute and when there is something to say, how many UDP replies the
// rate limit held back and how many remote registrations the DA refused; `now` prints at once.
void reportLimits(Agent *agent, int64_t nowMs, bool now) {
    ReplyBudget &b = agent->budget;
    uint64_t *r = agent->refused;
    const bool pending = b.dropped + b.slipped + r[1] + r[2] + r[3] != 0;
    if (!pending || (!now && nowMs < agent->nextLimitReportMs)) return;
    if (b.dropped + b.slipped != 0) {
        std::printf("rate limit: %llu UDP replies dropped, %llu cut to a header\n",
                    static_cast<unsigned long long>(b.dropped), static_cast<unsigned long long>(b.slipped));
    }
    if (r[1] + r[2] + r[3] != 0) {
        std::printf("refused %llu remote registrations: %llu by UDP, %llu from outside the registering networks, "
                    "%llu over %zu bytes\n",
                    static_cast<unsigned long long>(r[1] + r[2] + r[3]), static_cast<unsigned long long>(r[1]),
                    static_cast<unsigned long long>(r[2]), static_cast<unsigned long long>(r[3]),
                    agent->options.maxRegistrationBytes);
    }
    b.dropped = b.slipped = 0;
    r[1] = r[2] = r[3] = 0;
    agent->nextLimitReportMs = nowMs + kLimitReportSpacingMs;
}

// Prints what changed and notes that the state file is behind.
void report(Agent *agent, const std::vector<std::string> &lines) {
    printLines(lines);
    if (lines.empty()) return;
    agent->changed = agent->typesChanged = true;
    registryChanged(&agent->directories);
}

// Records the changes in the state file, if there is one, syncing it when the last sync is
// kStateSyncSpacingMs old; a failure is reported and retried on the next change.
void saveState(Agent *agent, int64_t nowMs) {
    // A change that noted no key is caught by a whole snapshot.
    const bool whole = agent->changed && agent->registry.changed.empty();
    agent->changed = false;
    if (agent->options.statePath.empty()) {
        agent->registry.changed.clear();
        return;
    }
    const bool sync = nowMs >= agent->lastSyncMs + kStateSyncSpacingMs;
    agent->unsynced = !sync;
    if (sync) agent->lastSyncMs = nowMs;
    std::string error;
    if (saveChanges(&agent->journal, agent->options.statePath, &agent->registry, whole, monotonicMs(), wallClockMs(),
                    sync, &error)) {
        return;
    }
    // A full disk fails every change: say so once a minute, with how often it failed.
    ++agent->stateFailures;
    if (nowMs < agent->nextStateReportMs) return;
    std::fprintf(stderr, "slp-agent: cannot write the state file %s (%llu failed writes)\n", error.c_str(),
                 static_cast<unsigned long long>(agent->stateFailures));
    agent->nextStateReportMs = nowMs + kLimitReportSpacingMs;
}

// Loads the state file: registrations not expired whose process still runs (or that name
// none). A missing or damaged file means starting empty, with a line saying why.
void loadState(Agent *agent) {
    if (agent->options.statePath.empty()) return;
    removeStaleTemporaries(agent->options.statePath);
    std::string text, error;
    if (!readWholeFile(agent->options.statePath, &text, &error) ||
        !parseState(text, monotonicMs(), wallClockMs(), &agent->registry, &error)) {
        std::fprintf(stderr, "slp-agent: starting empty: state file %s: %s\n", agent->options.statePath.c_str(),
                     error.c_str());
        return;
    }
    std::vector<std::string> lines;
    if (agent->options.watchPid) dropExitedProcesses(&agent->registry, processAlive, &lines);
    printLines(lines);
    std::printf("restored %zu registrations\n", agent->registry.entries.size());
    agent->changed = !lines.empty();
}

// Reads the registration file and applies what changed since it was last read. A file that
// cannot be read stops the agent at start (false) and keeps what it gave before on SIGHUP.
bool loadRegistrationFile(Agent *agent, bool atStart) {
    const std::string &path = agent->options.registrationFile;
    if (path.empty()) return true;
    std::string text, error;
    if (!readWholeFile(path, &text, &error)) {
        std::fprintf(stderr, "slp-agent: cannot read the registration file %s: %s%s\n", path.c_str(), error.c_str(),
                     atStart ? "" : "; its registrations stay as they were");
        return !atStart;
    }
    std::vector<std::string> errors, lines;
    std::vector<Registration> read = parseRegistrationFile(text, path, agent->options.scopes, &errors);
    for (const std::string &e : errors) std::fprintf(stderr, "slp-agent: %s\n", e.c_str());
    applyRegistrationFile(&agent->registry, agent->fileRegistrations, read, agent->options.strictLifetimes,
                          monotonicMs(), &lines);
    agent->fileRegistrations = std::move(read);
    report(agent, lines);
    return true;
}

void checkProcesses(Agent *agent, int64_t nowMs) {
    if (!agent->options.watchPid) return;
    std::vector<std::string> lines;
    dropExitedProcesses(&agent->registry, processAlive, &lines);
    report(agent, lines);
    agent->nextPidCheckMs = nowMs + kPidCheckIntervalMs;
}

}  // namespace slpagent
