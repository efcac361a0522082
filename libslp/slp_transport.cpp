// slp_transport.cpp: TCP to the loopback agent, with deadlines on every wait.
#include "slp_transport.h"

#include "slp_message.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace slpclient {
namespace {

using Clock = std::chrono::steady_clock;

// Replies larger than this are refused rather than buffered; a loopback agent's biggest
// reply (every registration of a switch in one SrvRply) is a few tens of KiB.
constexpr uint32_t kMaxReplyLength = 1u << 20;
constexpr size_t kFrameBytes = 5;         // version, function, Length: enough to size the message
constexpr size_t kFirstReadBytes = 2048;  // room for every reply to a registration, and most others

enum class Io {
    Ok,
    PeerClosed,  // EOF or reset before any byte of the reply: the agent dropped a kept connection
    TimedOut,
    Failed,
};

int millisecondsLeft(Clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left);
}

// Bounds every blocking send and recv on `fd` to `ms` (at least 1 ms: 0 would mean forever).
void setWait(int fd, int ms) {
    if (ms < 1) ms = 1;
    timeval tv{ms / 1000, static_cast<suseconds_t>(ms % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// Connects without blocking past the deadline, then makes the socket blocking with the reply
// wait as its send and receive timeout: a request is then one send and, usually, one recv.
SLPError connectTo(const sockaddr *to, socklen_t toLength, int waitMs, Clock::time_point deadline, int *out) {
    int fd = ::socket(to->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return SLP_NETWORK_INIT_FAILED;
    int rc = ::connect(fd, to, toLength);
    if (rc != 0 && errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        int err = 0;
        socklen_t len = sizeof err;
        if (::poll(&p, 1, millisecondsLeft(deadline)) == 1 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 &&
            err == 0)
            rc = 0;
    }
    if (rc != 0 || ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return SLP_NETWORK_INIT_FAILED;
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setWait(fd, waitMs);
    *out = fd;
    return SLP_OK;
}

Io sendAll(int fd, const std::vector<uint8_t> &data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Io::TimedOut;
        if (n < 0 && (errno == EPIPE || errno == ECONNRESET) && done == 0) return Io::PeerClosed;
        return Io::Failed;
    }
    return Io::Ok;
}

// Reads one whole message. The first recv takes whatever has arrived, which on loopback is
// nearly always the whole reply; only a reply that comes in pieces needs more calls, each
// bounded by what is left of the deadline. A closed connection before any byte means the
// agent dropped a kept connection; bytes beyond the one message mean the stream is not ours.
Io receiveMessage(int fd, int waitMs, Clock::time_point deadline, std::vector<uint8_t> *reply) {
    reply->resize(kFirstReadBytes);
    size_t have = 0;
    size_t need = kFrameBytes;
    bool shortenedWait = false;
    Io io = Io::Ok;
    while (have < need) {
        if (have > 0 || shortenedWait) {
            int left = millisecondsLeft(deadline);
            if (left == 0) {
                io = Io::TimedOut;
                break;
            }
            setWait(fd, left);
            shortenedWait = true;
        }
        size_t room = (need > kFrameBytes ? need : reply->size()) - have;
        ssize_t n = ::recv(fd, reply->data() + have, room, 0);
        if (n == 0 || (n < 0 && errno == ECONNRESET)) {
            io = have == 0 ? Io::PeerClosed : Io::Failed;
            break;
        }
        if (n < 0) {
            if (errno == EINTR) {
                shortenedWait = true;
                continue;
            }
            io = errno == EAGAIN || errno == EWOULDBLOCK ? Io::TimedOut : Io::Failed;
            break;
        }
        have += static_cast<size_t>(n);
        if (need == kFrameBytes && have >= kFrameBytes) {
            uint8_t version = 0, function = 0;
            uint32_t length = 0;
            if (slpv2::peekHeader(reply->data(), have, &version, &function, &length) != slpv2::DecodeStatus::Ok ||
                length > kMaxReplyLength || length < have) {
                io = Io::Failed;
                break;
            }
            need = length;
            reply->resize(need);
        }
    }
    if (shortenedWait) setWait(fd, waitMs);
    return io;
}

}  // namespace

void Connection::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

SLPError Connection::exchange(uint16_t port, int waitMs, const std::vector<uint8_t> &request,
                              std::vector<uint8_t> *reply) {
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    // A kept connection the agent has closed shows up as end-of-file before the reply.
    bool kept = fd_ >= 0;
    for (;;) {
        if (fd_ < 0) {
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_port = htons(port);
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            SLPError err = connectTo(reinterpret_cast<const sockaddr *>(&addr), sizeof addr, waitMs, deadline, &fd_);
            if (err != SLP_OK) return err;
        }
        Io io = sendAll(fd_, request);
        if (io == Io::Ok) io = receiveMessage(fd_, waitMs, deadline, reply);
        if (io == Io::Ok) return SLP_OK;
        close();
        if (io == Io::PeerClosed && kept) {
            kept = false;  // one reconnect, on a fresh connection
            continue;
        }
        return io == Io::TimedOut ? SLP_NETWORK_TIMED_OUT : SLP_NETWORK_ERROR;
    }
}

SLPError exchangeOnce(const sockaddr *to, socklen_t toLength, int waitMs, const std::vector<uint8_t> &request,
                      std::vector<uint8_t> *reply) {
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    int fd = -1;
    SLPError err = connectTo(to, toLength, waitMs, deadline, &fd);
    if (err != SLP_OK) return err;
    Io io = sendAll(fd, request);
    if (io == Io::Ok) io = receiveMessage(fd, waitMs, deadline, reply);
    ::close(fd);
    if (io == Io::Ok) return SLP_OK;
    return io == Io::TimedOut ? SLP_NETWORK_TIMED_OUT : SLP_NETWORK_ERROR;
}

}  // namespace slpclient
