// privileges.cpp: giving up root once the sockets are bound, after making sure the user the agent
// becomes can keep its state file.
#include "agent.h"

#include <grp.h>
#include <linux/capability.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace slpagent {

namespace {

// Whether `user` (uid and gid; -1 = the agent as it is) can keep the state file: a registration
// acknowledged must not be lost for want of a writable folder, so one that is not stops the
// agent. Root tries it in a child process that has become the user.
bool stateFileKept(const AgentOptions &options, const std::string &user, uid_t uid, gid_t gid) {
    if (options.statePath.empty()) return true;
    int error = 0;
    if (uid == static_cast<uid_t>(-1)) {
        error = stateFileWritable(options.statePath);
    } else {
        std::fflush(nullptr);
        const pid_t child = fork();
        if (child == 0) {
            const bool became = setgroups(0, nullptr) == 0 && setresgid(gid, gid, gid) == 0 && setresuid(uid, uid, uid) == 0;
            _exit(became ? stateFileWritable(options.statePath) : errno);
        }
        int status = 0;
        error = child < 0 ? errno : waitpid(child, &status, 0) != child || !WIFEXITED(status) ? EIO : WEXITSTATUS(status);
    }
    if (error == 0) return true;
    std::fprintf(stderr, "slp-agent: %s cannot keep the state file in %s: %s\n", user.c_str(),
                 folderOf(options.statePath).c_str(), std::strerror(error));
    return false;
}

// Ends with no capabilities in any set (the bounding set only where that is allowed) and
// no way to gain any: also for an agent started unprivileged with ambient capabilities,
// such as CAP_NET_BIND_SERVICE from a systemd unit, once port 427 is bound.
bool dropCapabilities(const char *who) {
    // The bounding set can only shrink while the capability to shrink it is still held.
    for (int cap = 0; cap <= 63; ++cap) {
        if (prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0 && errno == EINVAL) break;
    }
    prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    bool ok = prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && syscall(SYS_capset, &header, data) == 0 &&
              syscall(SYS_capget, &header, data) == 0;
    for (const auto &d : data) ok = ok && d.effective == 0 && d.permitted == 0 && d.inheritable == 0;
    if (!ok || (geteuid() != 0 && setuid(0) == 0)) {
        std::fprintf(stderr, "slp-agent: privileges remain as %s\n", who);
        return false;
    }
    return true;
}

}  // namespace

// Once every socket is bound: root becomes `options.user` (default nobody) with no
// supplementary groups; any user ends without capabilities.
bool dropPrivileges(const AgentOptions &options) {
    if (geteuid() != 0) {
        passwd *pw = options.user.empty() ? nullptr : getpwnam(options.user.c_str());
        if (!options.user.empty() && (pw == nullptr || pw->pw_uid != geteuid())) {
            std::fprintf(stderr, "slp-agent: --user %s needs root\n", options.user.c_str());
            return false;
        }
        pw = getpwuid(geteuid());
        return stateFileKept(options, pw != nullptr ? pw->pw_name : "this user", -1, -1) &&
               dropCapabilities("this user");
    }
    std::string name = options.user.empty() ? "nobody" : options.user;
    passwd *pw = getpwnam(name.c_str());
    if (pw == nullptr) {
        std::fprintf(stderr, "slp-agent: no user '%s'\n", name.c_str());
        return false;
    }
    uid_t uid = pw->pw_uid;
    gid_t gid = pw->pw_gid;
    if (!stateFileKept(options, name, uid, gid)) return false;
    // Still privileged here: the bounding set can be emptied before the uid changes.
    for (int cap = 0; cap <= 63; ++cap) {
        if (prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0 && errno == EINVAL) break;
    }
    if (setgroups(0, nullptr) != 0 || setresgid(gid, gid, gid) != 0 || setresuid(uid, uid, uid) != 0) {
        std::fprintf(stderr, "slp-agent: cannot become %s: %s\n", name.c_str(), std::strerror(errno));
        return false;
    }
    return dropCapabilities(name.c_str());
}

}  // namespace slpagent
