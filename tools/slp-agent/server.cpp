#include "server.h"

#include "handler.h"
#include "registry.h"
#include "slp_message.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <list>
#include <optional>
#include <string>
#include <vector>

namespace slpagent {

namespace {

constexpr uint32_t kMaxStreamMessage = 64 * 1024;  // larger TCP messages close the connection
constexpr size_t kMaxPendingOutput = 256 * 1024;   // stop reading a client that does not read
constexpr size_t kMaxConnections = 256;
constexpr int64_t kIdleTimeoutMs = 5 * 60 * 1000;
constexpr int64_t kPidCheckIntervalMs = 3000;
constexpr size_t kReadChunk = 64 * 1024;

int64_t monotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

bool processAlive(uint32_t pid) { return kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH; }

void printLines(const std::vector<std::string> &lines) {
    for (const std::string &line : lines) std::printf("%s\n", line.c_str());
}

struct Connection {
    int fd = -1;
    std::vector<uint8_t> in;
    std::vector<uint8_t> out;
    size_t outSent = 0;
    int64_t lastActivityMs = 0;
    bool peerClosed = false;  // finish writing, then close
    bool broken = false;      // close now
};

struct Agent {
    AgentOptions options;
    Registry registry;
    std::vector<int> listeners;
    std::vector<int> datagramSockets;
    std::list<Connection> connections;
    int signalFd = -1;
    int64_t nextPidCheckMs = 0;
    std::vector<uint8_t> datagram = std::vector<uint8_t>(65536);
    std::vector<uint8_t> readBuffer = std::vector<uint8_t>(kReadChunk);
};

int openSocket(int family, int type, uint16_t port, std::string *error) {
    int fd = socket(family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = std::strerror(errno);
        return -1;
    }
    int one = 1;
    if (type == SOCK_STREAM) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    int rc;
    if (family == AF_INET) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        rc = bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    } else {
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(port);
        a.sin6_addr = in6addr_loopback;
        rc = bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    }
    if (rc == 0 && type == SOCK_STREAM) rc = listen(fd, 64);
    if (rc != 0) {
        *error = std::strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

bool openSockets(Agent *agent) {
    struct Wanted {
        int family;
        int type;
        const char *name;
    };
    const Wanted wanted[] = {{AF_INET, SOCK_STREAM, "TCP 127.0.0.1"},
                             {AF_INET, SOCK_DGRAM, "UDP 127.0.0.1"},
                             {AF_INET6, SOCK_STREAM, "TCP ::1"},
                             {AF_INET6, SOCK_DGRAM, "UDP ::1"}};
    for (const Wanted &w : wanted) {
        std::string error;
        int fd = openSocket(w.family, w.type, agent->options.port, &error);
        if (fd < 0) {
            std::fprintf(stderr, "slp-agent: cannot listen on %s port %u: %s\n", w.name, unsigned{agent->options.port},
                         error.c_str());
            if (w.family == AF_INET) return false;
            continue;  // loopback IPv6 may be disabled; IPv4 is enough
        }
        (w.type == SOCK_STREAM ? agent->listeners : agent->datagramSockets).push_back(fd);
    }
    return true;
}

bool openSignalFd(Agent *agent) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    if (sigprocmask(SIG_BLOCK, &set, nullptr) != 0) return false;
    signal(SIGPIPE, SIG_IGN);
    agent->signalFd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    return agent->signalFd >= 0;
}

void checkProcesses(Agent *agent, int64_t nowMs) {
    if (!agent->options.watchPid) return;
    std::vector<std::string> lines;
    dropExitedProcesses(&agent->registry, processAlive, &lines);
    printLines(lines);
    agent->nextPidCheckMs = nowMs + kPidCheckIntervalMs;
}

Outcome answer(Agent *agent, const uint8_t *data, size_t size, size_t maxReply) {
    const int64_t nowMs = monotonicMs();
    // Lookups must not report services of processes that are gone.
    const uint8_t function = data[1];
    if (function == 1 || function == 6 || function == 9) checkProcesses(agent, nowMs);
    HandlerOptions options;
    options.strictLifetimes = agent->options.strictLifetimes;
    options.maxReplySize = maxReply;
    Outcome outcome = handleMessage(&agent->registry, data, size, nowMs, options);
    printLines(outcome.lines);
    return outcome;
}

void serveDatagrams(Agent *agent, int fd) {
    for (int budget = 64; budget > 0; --budget) {
        sockaddr_storage from{};
        socklen_t fromLen = sizeof from;
        ssize_t n = recvfrom(fd, agent->datagram.data(), agent->datagram.size(), MSG_TRUNC,
                             reinterpret_cast<sockaddr *>(&from), &fromLen);
        if (n < 0) return;
        if (n < 5 || static_cast<size_t>(n) > agent->datagram.size()) continue;
        const uint8_t *d = agent->datagram.data();
        // Bytes past Length are ignored; a datagram shorter than its Length is dropped.
        size_t length = (size_t{d[2]} << 16) | (size_t{d[3]} << 8) | d[4];
        if (length > static_cast<size_t>(n)) continue;
        Outcome outcome = answer(agent, d, length, kDatagramMtu);
        if (!outcome.reply.empty()) {
            sendto(fd, outcome.reply.data(), outcome.reply.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&from),
                   fromLen);
        }
    }
}

void acceptConnections(Agent *agent, int listener, int64_t nowMs) {
    while (true) {
        int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        if (agent->connections.size() >= kMaxConnections) {
            close(fd);
            continue;
        }
        // Replies are single small writes; do not let them wait for an ACK.
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        Connection c;
        c.fd = fd;
        c.lastActivityMs = nowMs;
        agent->connections.push_back(std::move(c));
    }
}

// Answers every complete message in the input buffer while the output stays bounded.
void processInput(Agent *agent, Connection *c) {
    size_t consumed = 0;
    while (c->in.size() - consumed >= 5 && c->out.size() - c->outSent < kMaxPendingOutput) {
        const uint8_t *msg = c->in.data() + consumed;
        uint8_t version = 0, function = 0;
        uint32_t length = 0;
        // Another version frames differently and a bad Length loses the framing: the stream
        // cannot be resynchronised, so the connection goes.
        if (slpv2::peekHeader(msg, 5, &version, &function, &length) != slpv2::DecodeStatus::Ok ||
            length > kMaxStreamMessage) {
            c->broken = true;
            break;
        }
        if (c->in.size() - consumed < length) break;
        Outcome outcome = answer(agent, msg, length, 0);
        c->out.insert(c->out.end(), outcome.reply.begin(), outcome.reply.end());
        consumed += length;
    }
    c->in.erase(c->in.begin(), c->in.begin() + static_cast<std::ptrdiff_t>(consumed));
}

void readConnection(Agent *agent, Connection *c, int64_t nowMs) {
    ssize_t n = recv(c->fd, agent->readBuffer.data(), agent->readBuffer.size(), MSG_DONTWAIT);
    if (n > 0) c->in.insert(c->in.end(), agent->readBuffer.begin(), agent->readBuffer.begin() + n);
    if (n == 0) {
        c->peerClosed = true;
    } else if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) c->broken = true;
        return;
    }
    c->lastActivityMs = nowMs;
    processInput(agent, c);
}

void writeConnection(Connection *c, int64_t nowMs) {
    while (c->outSent < c->out.size()) {
        ssize_t n = send(c->fd, c->out.data() + c->outSent, c->out.size() - c->outSent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) c->broken = true;
            return;
        }
        c->outSent += static_cast<size_t>(n);
        c->lastActivityMs = nowMs;
    }
    c->out.clear();
    c->outSent = 0;
}

bool wantsRead(const Connection &c) { return !c.peerClosed && c.out.size() - c.outSent < kMaxPendingOutput; }

int pollTimeout(const Agent &agent, int64_t nowMs) {
    std::optional<int64_t> deadline = nextExpiry(agent.registry);
    auto earliest = [&deadline](int64_t t) {
        if (!deadline || t < *deadline) deadline = t;
    };
    if (agent.options.watchPid && !agent.registry.entries.empty()) earliest(agent.nextPidCheckMs);
    for (const Connection &c : agent.connections) earliest(c.lastActivityMs + kIdleTimeoutMs);
    if (!deadline) return -1;
    return static_cast<int>(std::clamp<int64_t>(*deadline - nowMs, 0, 60 * 60 * 1000));
}

void closeAll(Agent *agent) {
    for (Connection &c : agent->connections) close(c.fd);
    for (int fd : agent->listeners) close(fd);
    for (int fd : agent->datagramSockets) close(fd);
    if (agent->signalFd >= 0) close(agent->signalFd);
}

void serve(Agent *agent) {
    std::vector<pollfd> fds;
    while (true) {
        // Whatever this pass printed appears before the agent waits again.
        std::fflush(stdout);
        fds.clear();
        fds.push_back({agent->signalFd, POLLIN, 0});
        for (int fd : agent->listeners) fds.push_back({fd, POLLIN, 0});
        for (int fd : agent->datagramSockets) fds.push_back({fd, POLLIN, 0});
        const size_t firstConnection = fds.size();
        for (const Connection &c : agent->connections) {
            short events = wantsRead(c) ? POLLIN : 0;
            if (c.outSent < c.out.size()) events |= POLLOUT;
            fds.push_back({c.fd, events, 0});
        }
        int64_t nowMs = monotonicMs();
        if (poll(fds.data(), fds.size(), pollTimeout(*agent, nowMs)) < 0 && errno != EINTR) {
            std::perror("slp-agent: poll");
            return;
        }
        nowMs = monotonicMs();
        if (fds[0].revents != 0) return;

        std::vector<std::string> lines;
        expireRegistrations(&agent->registry, nowMs, &lines);
        printLines(lines);
        if (nowMs >= agent->nextPidCheckMs) checkProcesses(agent, nowMs);

        size_t i = 1;
        for (int fd : agent->listeners) {
            if (fds[i++].revents != 0) acceptConnections(agent, fd, nowMs);
        }
        for (int fd : agent->datagramSockets) {
            if (fds[i++].revents != 0) serveDatagrams(agent, fd);
        }
        // Connections accepted above are not in `fds` yet; they are polled next round.
        i = firstConnection;
        for (auto it = agent->connections.begin(); it != agent->connections.end();) {
            Connection &c = *it;
            short revents = i < fds.size() && fds[i].fd == c.fd ? fds[i++].revents : 0;
            if (revents & POLLIN) readConnection(agent, &c, nowMs);
            if (revents & (POLLERR | POLLHUP) && !(revents & POLLIN)) c.broken = true;
            // Input left over once output has drained is answered now.
            if (!c.broken && c.out.size() - c.outSent < kMaxPendingOutput) processInput(agent, &c);
            if (!c.broken) writeConnection(&c, nowMs);
            bool done =
                c.broken || (c.peerClosed && c.outSent == c.out.size()) || nowMs - c.lastActivityMs >= kIdleTimeoutMs;
            if (done) {
                close(c.fd);
                it = agent->connections.erase(it);
            } else {
                ++it;
            }
        }
    }
}

}  // namespace

int runAgent(const AgentOptions &options) {
    Agent agent;
    agent.options = options;
    // Fully buffered and flushed once per pass of the event loop: every line still appears
    // before the agent next waits, at one write per pass instead of one per line.
    setvbuf(stdout, nullptr, _IOFBF, 64 * 1024);
    if (!openSignalFd(&agent)) {
        std::perror("slp-agent: signalfd");
        return 1;
    }
    if (!openSockets(&agent)) {
        closeAll(&agent);
        return 1;
    }
    std::printf("listening on port %u\n", unsigned{options.port});
    std::fflush(stdout);
    serve(&agent);
    std::printf("stopping\n");
    closeAll(&agent);
    return 0;
}

}  // namespace slpagent
