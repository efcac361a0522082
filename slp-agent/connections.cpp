// connections.cpp: TCP connections: accepted within the caps, read and answered message by message,
// written as the peer takes it, closed when idle.
#include "agent.h"

#include "slp_message.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace slpagent {

namespace {

// Accepts and closes at once: over a cap, or out of descriptors (the spare one makes room).
void refuse(Agent *agent, int listener, int fd) {
    if (fd >= 0) {
        close(fd);
        return;
    }
    if (agent->spareFd < 0) return;
    close(agent->spareFd);
    fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) close(fd);
    agent->spareFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
}

}  // namespace

// Raises the descriptor limit as far as the hard limit allows and sizes the connection caps
// to it, so no number of hostile connections can take the descriptors loopback needs.
void sizeConnectionCaps(Agent *agent) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
    }
    size_t usable = limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > 1 << 20 ? size_t{1} << 20
                                                                                : static_cast<size_t>(limit.rlim_cur);
    usable = usable > kReservedDescriptors + 64 ? usable - kReservedDescriptors : 64;
    agent->remoteCap = std::min(kMaxRemoteConnections, usable / 2);
    agent->loopbackCap = std::min(kMaxLoopbackConnections, usable - agent->remoteCap);
    agent->spareFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
}

// Accepts what waits on a listener within the caps: loopback against its own budget, a
// remote peer against its per-peer and the total remote cap.
void acceptConnections(Agent *agent, const Listener &listener, int64_t nowMs) {
    for (int budget = 256; budget > 0; --budget) {
        Address peer;
        peer.length = sizeof peer.storage;
        int fd = accept4(listener.fd, peer.sa(), &peer.length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE) {
                refuse(agent, listener.fd, -1);
                continue;
            }
            return;
        }
        Connection c;
        c.fd = fd;
        c.loopback = listener.loopback;
        Address local;
        local.length = sizeof local.storage;
        if (getsockname(fd, local.sa(), &local.length) == 0) c.localAddress = addressText(local.sa());
        if (c.loopback) {
            if (agent->loopbackConnections >= agent->loopbackCap) {
                refuse(agent, listener.fd, fd);
                continue;
            }
            ++agent->loopbackConnections;
        } else {
            c.peer = peerKey(peer);
            for (const Network &n : agent->registeringNetworks) {
                c.registeringNetwork = c.registeringNetwork || networkContains(n, peer.sa());
            }
            size_t &mine = agent->perPeer[c.peer];
            if (mine >= kMaxPerPeer || agent->remoteConnections >= agent->remoteCap) {
                if (mine == 0) agent->perPeer.erase(c.peer);
                refuse(agent, listener.fd, fd);
                continue;
            }
            ++mine;
            ++agent->remoteConnections;
        }
        // Replies are single small writes; do not let them wait for an ACK.
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        c.lastActivityMs = nowMs;
        agent->connections.push_back(std::move(c));
    }
}

// Closes a connection and gives its place back to the cap it counted against.
void forget(Agent *agent, const Connection &c) {
    close(c.fd);
    if (c.loopback) {
        --agent->loopbackConnections;
        return;
    }
    --agent->remoteConnections;
    auto it = agent->perPeer.find(c.peer);
    if (it != agent->perPeer.end() && --it->second == 0) agent->perPeer.erase(it);
}

int64_t idleLimitMs(const Connection &c) { return c.loopback ? kLoopbackIdleMs : kRemoteIdleMs; }

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
        Outcome outcome =
            answer(agent, msg, length, false, c->localAddress, false, c->loopback, c->registeringNetwork);
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

}  // namespace slpagent
