// harness.h: the pieces of the end-to-end tests. Child processes with their output in files,
// a syslog listener on a unix socket of the test's own (tools/run-isolated makes it the
// daemon's /dev/log), the switch state file, and what the SLP agent holds.
#ifndef ORVAD_TESTS_E2E_HARNESS_H
#define ORVAD_TESTS_E2E_HARNESS_H

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace e2e {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

// Calls `done` every 50 ms until it returns true or `timeout` has passed; its last result.
bool waitUntil(const std::function<bool()> &done, Seconds timeout);

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// One syslog message as received: priority (facility * 8 + severity), tag and text.
struct LogLine {
    int priority;
    std::string tag;
    std::string text;
    Clock::time_point received;
};

// A unix datagram socket at `socketPath`, drained by a thread of its own: syslog(3) blocks
// the sender once a few unread messages are queued, so the daemon must never wait on us.
class LogCapture {
public:
    explicit LogCapture(std::string socketPath);
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    std::vector<LogLine> lines(size_t from = 0) const;
    size_t size() const;
    bool waitForCount(size_t count, Seconds timeout) const;

private:
    void drain();

    std::string path_;
    int fd_ = -1;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    std::vector<LogLine> lines_;
    std::thread reader_;
};

// The environment of this process with `set` added (replacing those names) and `unset` removed.
std::vector<std::string> environmentWith(const std::map<std::string, std::string> &set,
                                         const std::vector<std::string> &unset);

// A child process in a process group of its own; stdout and stderr go to NAME.out and
// NAME.err in `dir`. The destructor kills the group and reaps the child.
class Process {
public:
    Process(const std::vector<std::string> &argv, const std::vector<std::string> &env, const std::string &dir,
            const std::string &name);
    ~Process();
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    // The exit status (128 + N after signal N), or -1 when still running after `timeout`.
    int wait(Seconds timeout);
    void kill();
    bool running();
    std::string out() const;
    std::string err() const;
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int status_ = -1;
    std::string outPath_, errPath_;
};

// Kills every process whose environment holds NAME=VALUE (what a daemon that detached
// itself leaves behind) and returns how many there were.
int killProcessesWithEnv(const std::string &name, const std::string &value);

// A switch state file for the stand-in: starts as a copy of `base`, edited line by line
// and written by atomic rename, as the stand-in's README advises for a running daemon.
class SwitchState {
public:
    SwitchState(std::string path, const std::string &base);
    SwitchState &set(const std::string &name, const std::string &value);  // replace or append
    SwitchState &add(const std::string &line);                            // e.g. "!status NAME 0x1f"
    SwitchState &remove(const std::string &line);                         // an exact line
    void write() const;
    const std::string &path() const { return path_; }

private:
    std::string path_;
    std::vector<std::string> lines_;
};

// URL -> attribute list of everything the agent holds of the two advertised types, read
// through slp-query. A lifetime other than 65535 or an error line fails the current test.
using Records = std::map<std::string, std::string>;
Records agentRecords(const std::string &slpQuery, uint16_t port, const std::string &dir);

// The lines of `text` from line `from` on (0-based) that begin with `prefix`.
std::vector<std::string> linesWithPrefix(const std::string &text, size_t from, const std::string &prefix);
size_t lineCount(const std::string &text);

}  // namespace e2e

#endif
