// agent_child.h: runs slp-agent as a child process on a free loopback port, for the tests and
// the registration benchmark. Header-only so the benchmark can use it without the tests.
#ifndef ORVAD_TESTS_SLP_AGENT_AGENT_CHILD_H
#define ORVAD_TESTS_SLP_AGENT_AGENT_CHILD_H

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace agentchild {

// A loopback port free for both TCP and UDP at the time of the call; 0 if there was none.
inline uint16_t pickFreePort() {
    int tcp = socket(AF_INET, SOCK_STREAM, 0), udp = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof a;
    bool bound = bind(tcp, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
                 getsockname(tcp, reinterpret_cast<sockaddr *>(&a), &len) == 0 &&
                 bind(udp, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(tcp);
    close(udp);
    return bound ? ntohs(a.sin_port) : 0;
}

class AgentChild {
public:
    // The agent's stdout and stderr go to an unlinked temporary file, kept open for output().
    // `args` follow "--port N" on the agent's command line.
    explicit AgentChild(std::string path, std::vector<std::string> args = {})
        : path_(std::move(path)), args_(std::move(args)) {
        const char *dir = std::getenv("TMPDIR");
        std::string name = std::string(dir != nullptr ? dir : "/tmp") + "/slp-agent-out.XXXXXX";
        out_ = mkostemp(name.data(), O_APPEND | O_CLOEXEC);
        if (out_ >= 0) unlink(name.c_str());
    }
    AgentChild(const AgentChild &) = delete;
    AgentChild &operator=(const AgentChild &) = delete;
    ~AgentChild() {
        stop();
        if (out_ >= 0) close(out_);
    }

    // Starts the agent on `port` (0: a free one, picked again if taken meanwhile) and waits at
    // most five seconds for its "listening on port" line.
    bool start(uint16_t port = 0) {
        for (int attempt = 0; attempt < 5; ++attempt, usleep(200 * 1000)) {
            port_ = port != 0 ? port : pickFreePort();
            std::string portText = std::to_string(port_), flag = "--port";
            std::vector<char *> argv = {path_.data(), flag.data(), portText.data()};
            for (std::string &arg : args_) argv.push_back(arg.data());
            argv.push_back(nullptr);
            std::fflush(nullptr);
            if (out_ >= 0 && ftruncate(out_, 0) == 0 && (pid_ = fork()) == 0) {
                if (dup2(out_, STDOUT_FILENO) >= 0 && dup2(out_, STDERR_FILENO) >= 0) execv(argv[0], argv.data());
                _exit(127);
            }
            if (pid_ > 0 && waitForOutput("listening on port " + portText)) return true;
            stop();
        }
        return false;
    }

    // SIGTERM, then SIGKILL if it has not exited within five seconds. Returns its exit status;
    // -1 when it was killed or had already gone.
    int stop() {
        if (pid_ <= 0) return -1;
        kill(pid_, SIGTERM);
        int status = 0;
        pid_t done = 0;
        for (int i = 0; i < 500 && (done = waitpid(pid_, &status, WNOHANG)) == 0; ++i) usleep(10 * 1000);
        if (done == 0 && kill(pid_, SIGKILL) == 0) waitpid(pid_, &status, 0);
        pid_ = -1;
        return done > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    bool running() {
        if (pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) != 0) pid_ = -1;  // reaped: never signal it again
        return pid_ > 0;
    }

    // Everything the current run has printed so far.
    std::string output() const {
        std::ifstream in("/proc/self/fd/" + std::to_string(out_));
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    bool waitForOutput(const std::string &text, int timeoutMs = 5000) {
        for (int waited = 0; waited < timeoutMs && running(); waited += 10, usleep(10 * 1000)) {
            if (output().find(text) != std::string::npos) return true;
        }
        return output().find(text) != std::string::npos;
    }

    uint16_t port() const { return port_; }
    pid_t pid() const { return pid_; }

private:
    std::string path_;
    std::vector<std::string> args_;
    int out_ = -1;
    uint16_t port_ = 0;
    pid_t pid_ = -1;
};

}  // namespace agentchild

#endif
