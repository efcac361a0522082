// The four functions of kesh.h over the stand-in switch state, with one process-wide
// connection and one watcher thread. Error codes are keshsim::Error (state.h).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "state.h"
#include "watcher.h"

// Only the kesh.h API leaves the library; everything else is built hidden.
#pragma GCC visibility push(default)
#include "kesh.h"
#pragma GCC visibility pop

namespace keshsim {
namespace {

// What tells two readings of the state file apart besides their bytes: a rewrite with the
// same content but a new inode or time still counts as an edit (it re-arms fault counters).
struct FileStamp {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime{};
    bool operator==(const FileStamp &o) const {
        return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
               mtime.tv_nsec == o.mtime.tv_nsec;
    }
};

// Reads the whole regular file at `path`; false when it is missing or unreadable.
bool readFile(const std::string &path, std::string *content, FileStamp *stamp) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    content->clear();
    std::vector<char> buf(4096);  // on the heap: the caller may be on a 64 KiB thread stack
    for (ssize_t n = 1; ok && n > 0;) {
        n = read(fd, buf.data(), buf.size());
        if (n > 0) content->append(buf.data(), static_cast<size_t>(n));
        ok = n >= 0;
    }
    close(fd);
    *stamp = FileStamp{st.st_dev, st.st_ino, st.st_size, st.st_mtim};
    return ok;
}

// KESH_STATE made absolute against the current folder (the daemon may have changed folder
// since start); empty when unset or empty, which selects the built-in switch.
std::string statePathFromEnv() {
    const char *env = std::getenv("KESH_STATE");
    if (env == nullptr || *env == '\0') return {};
    if (*env == '/') return env;
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) return env;
    return std::string(cwd) + "/" + env;
}

struct Subscription {
    KeshEventCallback callback = nullptr;
    uint32_t userData = 0;
    std::set<uint32_t> codes;
};

class Library {
public:
    int connect(uint32_t *handle);
    int subscribe(uint32_t handle, KeshEventCallback callback, uint32_t userData, const KeshEventListEntry *events,
                  uint32_t count);
    int getBatch(uint32_t handle, SmlBatchEntry *entries, uint32_t count);

private:
    enum class Load { kOk, kMissing, kMalformed };
    Load reloadLocked();
    void queueEventsLocked(const SwitchState &before, const SwitchState &after);
    void onWatcherWake(bool fileTouched);

    std::mutex mutex_;  // guards everything below except watcher_; never held during a callback
    std::string path_;  // absolute state file path; empty = built-in switch
    bool loaded_ = false;
    SwitchState state_;  // last good state; its fault counters count down
    std::string content_;
    FileStamp stamp_;
    std::string lastMalformed_;  // content already reported as malformed
    uint32_t handle_ = 0;
    uint32_t lastHandle_ = 0x4b530000;
    Subscription subscription_;
    std::vector<uint32_t> pending_;  // codes to deliver on the watcher thread
    // Declared last: destroyed first, so its thread is joined before the state goes.
    FolderWatcher watcher_{[this](bool touched) { onWatcherWake(touched); }};
};

Library &library() {
    static Library instance;  // destroyed at exit, which stops and joins the watcher
    return instance;
}

int Library::connect(uint32_t *handle) {
    if (handle == nullptr) return kErrBadArgument;
    std::lock_guard<std::mutex> lock(mutex_);
    // Each attempt replaces the connection: the old handle and its subscription end here.
    handle_ = 0;
    subscription_ = Subscription{};
    pending_.clear();
    watcher_.watch({});
    const std::string path = statePathFromEnv();
    if (path != path_ || path.empty()) {
        path_ = path;
        loaded_ = path.empty();
        state_ = path.empty() ? builtinState() : SwitchState{};
    }
    const Load load = reloadLocked();
    if (load == Load::kMissing) return kErrNoStateFile;
    if (load == Load::kMalformed) return kErrMalformedState;
    if (state_.refuseConnect > 0) {
        --state_.refuseConnect;
        return kErrConnectRefused;
    }
    if (++lastHandle_ == 0) ++lastHandle_;
    handle_ = lastHandle_;
    *handle = handle_;
    return 0;
}

int Library::subscribe(uint32_t handle, KeshEventCallback callback, uint32_t userData, const KeshEventListEntry *events,
                       uint32_t count) {
    if (callback == nullptr || events == nullptr || count == 0) return kErrBadArgument;
    std::lock_guard<std::mutex> lock(mutex_);
    if (handle == 0 || handle != handle_) return kErrBadHandle;
    if (!watcher_.watch(path_)) return kErrWatcherFailed;
    Subscription sub{callback, userData, {}};
    for (uint32_t i = 0; i < count; ++i) sub.codes.insert(events[i].code);
    subscription_ = std::move(sub);
    pending_.clear();
    return 0;
}

int Library::getBatch(uint32_t handle, SmlBatchEntry *entries, uint32_t count) {
    if (entries == nullptr || count == 0) return kErrBadArgument;
    std::lock_guard<std::mutex> lock(mutex_);
    if (handle == 0 || handle != handle_) return kErrBadHandle;
    reloadLocked();  // batch calls see edits even before the watcher has, or without one
    if (state_.failBatch > 0 && state_.skipBatch > 0) {
        --state_.skipBatch;  // answered; the failures come after it
    } else if (state_.failBatch > 0) {
        --state_.failBatch;
        return kErrBatchFailed;
    }
    for (uint32_t i = 0; i < count; ++i) {
        SmlBatchEntry &e = entries[i];
        const Answer a = lookup(state_, std::string_view(e.name, strnlen(e.name, sizeof e.name)));
        const size_t n = std::min(a.value.size(), sizeof e.value - 1);
        if (n > 0) memcpy(e.value, a.value.data(), n);  // an empty answer may have no data pointer
        e.value[n] = '\0';
        e.status = a.status;
    }
    return 0;
}

// Re-reads the state file when it changed. A missing or malformed file keeps the last good
// state (and its counters); a good edit replaces it, re-arming the fault counters.
Library::Load Library::reloadLocked() {
    if (path_.empty()) return Load::kOk;
    std::string content;
    FileStamp stamp;
    if (!readFile(path_, &content, &stamp)) return Load::kMissing;
    if (loaded_ && stamp == stamp_ && content == content_) return Load::kOk;
    SwitchState next;
    ParseError error;
    if (!parseState(content, &next, &error)) {
        if (content != lastMalformed_)
            fprintf(stderr, "kesh: %s:%zu: %s; keeping the last good state\n", path_.c_str(), error.line,
                    error.reason.c_str());
        lastMalformed_ = std::move(content);
        return Load::kMalformed;
    }
    if (loaded_) queueEventsLocked(state_, next);
    state_ = std::move(next);
    content_ = std::move(content);
    stamp_ = stamp;
    loaded_ = true;
    lastMalformed_.clear();
    return Load::kOk;
}

void Library::queueEventsLocked(const SwitchState &before, const SwitchState &after) {
    if (subscription_.callback == nullptr) return;
    size_t queued = 0;
    for (uint32_t code : changedEvents(before, after)) {
        if (subscription_.codes.count(code) == 0) continue;
        pending_.push_back(code);
        ++queued;
    }
    if (queued > 0) watcher_.wake();  // delivery happens on the watcher thread, never the caller's
}

void Library::onWatcherWake(bool fileTouched) {
    std::vector<uint32_t> codes;
    Subscription sub;
    uint32_t handle = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (fileTouched) reloadLocked();
        codes.swap(pending_);
        sub = subscription_;
        handle = handle_;
    }
    if (sub.callback == nullptr) return;
    for (uint32_t code : codes) sub.callback(handle, code, sub.userData);
}

}  // namespace
}  // namespace keshsim

extern "C" {

int kesh_IPConnect(const char * /*host*/, const char * /*service*/, const char * /*options*/, uint32_t *handle) {
    return keshsim::library().connect(handle);
}

int kesh_enRegisterForEventList(uint32_t handle, KeshEventCallback callback, uint32_t userData,
                                const KeshEventListEntry *events, uint32_t count) {
    return keshsim::library().subscribe(handle, callback, userData, events, count);
}

int kesh_smlGetBatch(uint32_t handle, SmlBatchEntry *entries, uint32_t count) {
    return keshsim::library().getBatch(handle, entries, count);
}

void sml_addr_2_str(const char *value, char *out, size_t size) {
    if (out == nullptr || size == 0) return;
    const char *text = value != nullptr ? value : "";
    const size_t n = strnlen(text, size - 1);
    memcpy(out, text, n);
    out[n] = '\0';
}

}  // extern "C"
