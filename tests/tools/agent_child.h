// agent_child.h: runs slp-agent as a child process on a free loopback port, for the tests and
// the registration benchmark. Header-only so the benchmark can use it without the tests.
#ifndef ORVAD_TESTS_TOOLS_AGENT_CHILD_H
#define ORVAD_TESTS_TOOLS_AGENT_CHILD_H

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace agentchild {

// A loopback port free for both TCP and UDP at the time of the call.
inline uint16_t pickFreePort() {
    for (int attempt = 0; attempt < 20; ++attempt) {
        int tcp = socket(AF_INET, SOCK_STREAM, 0);
        int udp = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        uint16_t port = 0;
        if (bind(tcp, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
            getsockname(tcp, reinterpret_cast<sockaddr *>(&a), &len) == 0 &&
            bind(udp, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
            port = ntohs(a.sin_port);
        }
        close(tcp);
        close(udp);
        if (port != 0) return port;
    }
    return 0;
}

class AgentChild {
public:
    explicit AgentChild(std::string path) : path_(std::move(path)) {}
    AgentChild(const AgentChild &) = delete;
    AgentChild &operator=(const AgentChild &) = delete;
    ~AgentChild() {
        stop();
        if (!outputPath_.empty()) std::remove(outputPath_.c_str());
    }

    // Starts the agent on `port` (0: a free one, retried if taken meanwhile) and waits, at most
    // five seconds, for its "listening on port" line. Its stdout and stderr go to a file.
    bool start(uint16_t port = 0, const std::vector<std::string> &extraArgs = {}) {
        for (int attempt = 0; attempt < 5; ++attempt) {
            port_ = port != 0 ? port : pickFreePort();
            if (launch(extraArgs) && waitForOutput("listening on port " + std::to_string(port_), 5000)) return true;
            stop();
            if (port != 0) std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        return false;
    }

    // SIGTERM, then SIGKILL if it has not exited within five seconds. Returns its exit status
    // (-1 when killed or not running).
    int stop() {
        if (pid_ <= 0) return -1;
        kill(pid_, SIGTERM);
        int status = 0;
        for (int i = 0; i < 500; ++i) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return -1;
    }

    bool running() {
        int status = 0;
        return pid_ > 0 && waitpid(pid_, &status, WNOHANG) == 0;
    }

    std::string output() const {
        std::ifstream in(outputPath_);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    bool waitForOutput(const std::string &text, int timeoutMs) {
        for (int waited = 0; waited <= timeoutMs; waited += 10) {
            if (output().find(text) != std::string::npos) return true;
            if (!running()) return output().find(text) != std::string::npos;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    uint16_t port() const { return port_; }
    pid_t pid() const { return pid_; }

private:
    bool launch(const std::vector<std::string> &extraArgs) {
        if (outputPath_.empty()) {
            const char *tmp = std::getenv("TMPDIR");
            std::string pattern = std::string(tmp != nullptr ? tmp : "/tmp") + "/slp-agent-out.XXXXXX";
            int fd = mkstemp(pattern.data());
            if (fd < 0) return false;
            close(fd);
            outputPath_ = pattern;
        }
        // Emptied here, before the child runs, so no line of an earlier run is taken for this one.
        std::ofstream(outputPath_, std::ios::trunc);
        std::vector<std::string> args = {path_, "--port", std::to_string(port_)};
        args.insert(args.end(), extraArgs.begin(), extraArgs.end());
        std::vector<char *> argv;
        for (std::string &a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::fflush(nullptr);
        pid_ = fork();
        if (pid_ < 0) return false;
        if (pid_ == 0) {
            FILE *out = std::freopen(outputPath_.c_str(), "a", stdout);
            if (out == nullptr || dup2(fileno(stdout), STDERR_FILENO) < 0) _exit(126);
            execv(argv[0], argv.data());
            _exit(127);
        }
        return true;
    }

    std::string path_;
    std::string outputPath_;
    uint16_t port_ = 0;
    pid_t pid_ = -1;
};

}  // namespace agentchild

#endif
