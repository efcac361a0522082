#include "watcher.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace keshsim {
namespace {

// Writes that end in close, renames into place (atomic replacement) and touch. Creation and
// plain modification are left out: they fire while the file is still half written.
constexpr uint32_t kFileEvents = IN_CLOSE_WRITE | IN_MOVED_TO | IN_ATTRIB;
// The folder itself going away ends its watch; it is then re-added by path.
constexpr uint32_t kFolderEvents = IN_DELETE_SELF | IN_MOVE_SELF;
constexpr int kRetryMs = 500;

void closeFd(int &fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

}  // namespace

FolderWatcher::FolderWatcher(Handler handler) : handler_(std::move(handler)) {}

FolderWatcher::~FolderWatcher() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake();
    if (thread_.joinable()) thread_.join();
    closeFd(inotifyFd_);
    closeFd(wakeFd_);
}

bool FolderWatcher::watch(const std::string &path) {
    std::lock_guard<std::mutex> lock(mutex_);
    const size_t slash = path.rfind('/');
    const std::string folder = path.empty() ? std::string() : path.substr(0, slash == 0 ? 1 : slash);
    file_ = path.empty() ? std::string() : path.substr(slash + 1);
    if (!path.empty() && !startLocked()) return false;
    if (folder == folder_) return true;
    if (wd_ >= 0) inotify_rm_watch(inotifyFd_, wd_);
    wd_ = -1;
    folder_ = folder;
    addWatchLocked();
    if (wakeFd_ >= 0) {
        const uint64_t one = 1;
        (void)!write(wakeFd_, &one, sizeof one);  // the thread recomputes its poll timeout
    }
    return true;
}

void FolderWatcher::wake() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (wakeFd_ < 0) return;
    const uint64_t one = 1;
    (void)!write(wakeFd_, &one, sizeof one);  // fails only when the counter is saturated: a wake is pending anyway
}

bool FolderWatcher::startLocked() {
    if (thread_.joinable()) return true;
    if (inotifyFd_ < 0) inotifyFd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (wakeFd_ < 0) wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (inotifyFd_ < 0 || wakeFd_ < 0) return false;
    try {
        thread_ = std::thread(&FolderWatcher::run, this);
    } catch (const std::system_error &) {
        return false;
    }
    return true;
}

void FolderWatcher::addWatchLocked() {
    if (folder_.empty() || inotifyFd_ < 0) return;
    wd_ = inotify_add_watch(inotifyFd_, folder_.c_str(), kFileEvents | kFolderEvents | IN_ONLYDIR);
}

// Reads every queued inotify event; true when one of them may have changed the file.
bool FolderWatcher::drainInotify() {
    alignas(inotify_event) char buf[4096];
    bool touched = false;
    for (;;) {
        const ssize_t n = read(inotifyFd_, buf, sizeof buf);
        if (n <= 0) return touched;  // EAGAIN: drained
        std::lock_guard<std::mutex> lock(mutex_);
        for (ssize_t off = 0; off < n;) {
            const auto *ev = reinterpret_cast<const inotify_event *>(buf + off);
            off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
            if (ev->mask & IN_Q_OVERFLOW) touched = true;
            if (ev->wd != wd_ || wd_ < 0) continue;  // a watch dropped earlier
            if (ev->mask & (IN_IGNORED | IN_MOVE_SELF)) {
                if (ev->mask & IN_MOVE_SELF) inotify_rm_watch(inotifyFd_, wd_);
                wd_ = -1;
            } else if ((ev->mask & kFileEvents) && ev->len > 0 && file_ == ev->name) {
                touched = true;
            }
        }
    }
}

void FolderWatcher::run() {
    for (;;) {
        int timeout = -1;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) return;
            if (wd_ < 0 && !folder_.empty()) timeout = kRetryMs;
        }
        pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {inotifyFd_, POLLIN, 0}};
        if (poll(fds, 2, timeout) < 0 && errno != EINTR) return;
        if (fds[0].revents & POLLIN) {
            uint64_t count = 0;
            (void)!read(wakeFd_, &count, sizeof count);
        }
        bool touched = (fds[1].revents & POLLIN) && drainInotify();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) return;
            if (wd_ < 0 && !folder_.empty()) {
                addWatchLocked();
                // The file may have been re-created while its folder was unwatched.
                touched = touched || wd_ >= 0;
            }
        }
        handler_(touched);
    }
}

}  // namespace keshsim
