// watcher.h: the stand-in's watcher thread: inotify on the state file's folder, eventfd wake-ups.
#ifndef ORVAD_SIM_KESH_WATCHER_H
#define ORVAD_SIM_KESH_WATCHER_H

#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace keshsim {

class FolderWatcher {
public:
    // Called on the watcher thread after each wake-up; `fileTouched` is true when the watched
    // file may have changed (written and closed, renamed into place, attributes changed, or
    // its folder's watch re-established).
    using Handler = std::function<void(bool fileTouched)>;

    explicit FolderWatcher(Handler handler);
    // Stops and joins the thread and closes its descriptors.
    ~FolderWatcher();
    FolderWatcher(const FolderWatcher &) = delete;
    FolderWatcher &operator=(const FolderWatcher &) = delete;

    // Watches the folder of the absolute `path` for changes to that file; an empty path
    // watches nothing. The thread is started by the first non-empty path and runs until
    // destruction. Returns false when inotify, the eventfd or the thread cannot be set up.
    // A folder that does not exist yet is retried twice a second.
    bool watch(const std::string &path);

    // Makes the thread run the handler once more (with fileTouched false) soon.
    void wake();

private:
    bool startLocked();
    void addWatchLocked();
    bool drainInotify();
    void run();

    Handler handler_;
    std::mutex mutex_;  // guards everything below; never held while the handler runs
    int inotifyFd_ = -1;
    int wakeFd_ = -1;
    int wd_ = -1;  // watch on folder_, -1 while none
    std::string folder_;
    std::string file_;  // name within folder_
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace keshsim

#endif
