// bench_util.h: what the benchmarks share: CPU clocks of this and another process, and a
// bare loopback TCP echo for the round trip every figure is set against.
#ifndef ORVAD_BENCH_BENCH_UTIL_H
#define ORVAD_BENCH_BENCH_UTIL_H

#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// utime + stime of another process, from /proc (clock-tick resolution).
inline double processCpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t close = stat.rfind(')');
    if (close == std::string::npos) return 0;
    std::vector<std::string> fields;
    size_t pos = close + 2;
    while (pos < stat.size() && fields.size() < 13) {
        size_t space = stat.find(' ', pos);
        fields.push_back(stat.substr(pos, space - pos));
        pos = space == std::string::npos ? stat.size() : space + 1;
    }
    if (fields.size() < 13) return 0;
    return (std::stod(fields[11]) + std::stod(fields[12])) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Keeps this process and every process it starts on one CPU. On a small virtual machine a
// wake-up across CPUs costs tens of microseconds, and where the scheduler puts an agent and a
// freshly forked echo differs; on one CPU a request to either costs what it costs the two ends.
inline void pinToOneCpu() {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu() < 0 ? 0 : sched_getcpu(), &one);
    sched_setaffinity(0, sizeof one, &one);
}

inline bool writeAll(int fd, const char *p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

inline bool readAll(int fd, char *p, size_t n) {
    while (n > 0) {
        ssize_t r = read(fd, p, n);
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

// A child process that answers every `request`-byte message with `reply` bytes on one
// connection, like the agent answers a SrvReg with a SrvAck; with `datagram`, each datagram
// with one of `reply` bytes. With `pollBeside` >= 0 it waits as an event loop does, in poll()
// on the connection and that many idle sockets, before each read: the floor of a server that
// serves more than one socket.
class EchoServer {
public:
    EchoServer(size_t request, size_t reply, bool datagram = false, int pollBeside = -1) : datagram_(datagram) {
        const int type = datagram ? SOCK_DGRAM : SOCK_STREAM;
        int listener = socket(AF_INET, type, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || (!datagram && listen(listener, 1) != 0) ||
            getsockname(listener, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
            std::perror("echo server");
            std::exit(1);
        }
        port_ = ntohs(a.sin_port);
        pid_ = fork();
        if (pid_ == 0) {
            std::vector<char> in(request + 1), out(reply, 'a');
            if (datagram) {
                sockaddr_in from{};
                socklen_t fromLen = sizeof from;
                while (recvfrom(listener, in.data(), in.size(), 0, reinterpret_cast<sockaddr *>(&from), &fromLen) > 0 &&
                       sendto(listener, out.data(), out.size(), 0, reinterpret_cast<sockaddr *>(&from), fromLen) >= 0) {
                }
                _exit(0);
            }
            int fd = accept(listener, nullptr, nullptr);
            std::vector<pollfd> ready{{fd, POLLIN, 0}};
            for (int i = 0; i < pollBeside; ++i) ready.push_back({socket(AF_INET, SOCK_DGRAM, 0), POLLIN, 0});
            while (fd >= 0 && (pollBeside < 0 || poll(ready.data(), ready.size(), -1) > 0) &&
                   readAll(fd, in.data(), request) && writeAll(fd, out.data(), out.size())) {
            }
            _exit(0);
        }
        close(listener);
        fd_ = socket(AF_INET, type, 0);
        if (connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
            std::perror("echo connect");
            std::exit(1);
        }
        request_.assign(request, 'q');
        reply_.resize(reply);
    }
    ~EchoServer() {
        close(fd_);
        if (datagram_) kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }

    // Mean seconds per round trip over `count` round trips.
    double roundTrip(int count) {
        auto start = Clock::now();
        for (int i = 0; i < count; ++i) {
            const bool ok = datagram_ ? send(fd_, request_.data(), request_.size(), 0) > 0 &&
                                            recv(fd_, reply_.data(), reply_.size(), 0) == ssize_t(reply_.size())
                                      : writeAll(fd_, request_.data(), request_.size()) &&
                                            readAll(fd_, reply_.data(), reply_.size());
            if (!ok) {
                std::perror("echo");
                std::exit(1);
            }
        }
        return std::chrono::duration<double>(Clock::now() - start).count() / count;
    }

private:
    bool datagram_ = false;
    uint16_t port_ = 0;
    pid_t pid_ = -1;
    int fd_ = -1;
    std::string request_;
    std::vector<char> reply_;
};

}  // namespace bench

#endif
