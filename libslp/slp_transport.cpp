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
constexpr size_t kFrameBytes = 5;  // version, function, Length: enough to size the message

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

// Waits for `events` on `fd` until the deadline. Returns 1 ready, 0 timed out, -1 error.
int waitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        int n = ::poll(&p, 1, millisecondsLeft(deadline));
        if (n > 0) return 1;
        if (n == 0 && millisecondsLeft(deadline) == 0) return 0;
        if (n < 0 && errno != EINTR) return -1;
    }
}

SLPError connectLoopback(uint16_t port, Clock::time_point deadline, int *out) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return SLP_NETWORK_INIT_FAILED;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int rc = ::connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr);
    if (rc != 0 && errno == EINPROGRESS) {
        int err = 0;
        socklen_t len = sizeof err;
        if (waitFor(fd, POLLOUT, deadline) == 1 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0)
            rc = 0;
    }
    if (rc != 0) {
        ::close(fd);
        return SLP_NETWORK_INIT_FAILED;
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    *out = fd;
    return SLP_OK;
}

// A kept connection is usable when nothing is waiting on it: readable means the agent closed
// it or sent bytes nobody asked for, and either way the stream is no longer ours to use.
bool idleAndOpen(int fd) {
    pollfd p{fd, POLLIN, 0};
    int n = ::poll(&p, 1, 0);
    return n == 0;
}

Io sendAll(int fd, const std::vector<uint8_t> &data, Clock::time_point deadline) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            int ready = waitFor(fd, POLLOUT, deadline);
            if (ready == 0) return Io::TimedOut;
            if (ready < 0) return Io::Failed;
            continue;
        }
        if (n < 0 && (errno == EPIPE || errno == ECONNRESET) && done == 0) return Io::PeerClosed;
        return Io::Failed;
    }
    return Io::Ok;
}

// Reads exactly `size` bytes into `buf`. `firstRead` marks the start of a reply, where a
// closed connection means the agent dropped it rather than broke off a reply.
Io readExactly(int fd, uint8_t *buf, size_t size, Clock::time_point deadline, bool firstRead) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::recv(fd, buf + done, size - done, 0);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        bool nothingYet = firstRead && done == 0;
        if (n == 0) return nothingYet ? Io::PeerClosed : Io::Failed;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            int ready = waitFor(fd, POLLIN, deadline);
            if (ready == 0) return Io::TimedOut;
            if (ready < 0) return Io::Failed;
            continue;
        }
        if (errno == ECONNRESET && nothingYet) return Io::PeerClosed;
        return Io::Failed;
    }
    return Io::Ok;
}

Io receiveMessage(int fd, Clock::time_point deadline, std::vector<uint8_t> *reply) {
    uint8_t frame[kFrameBytes];
    Io io = readExactly(fd, frame, sizeof frame, deadline, true);
    if (io != Io::Ok) return io;
    uint8_t version = 0, function = 0;
    uint32_t length = 0;
    if (slpv2::peekHeader(frame, sizeof frame, &version, &function, &length) != slpv2::DecodeStatus::Ok ||
        length > kMaxReplyLength)
        return Io::Failed;
    reply->assign(frame, frame + sizeof frame);
    reply->resize(length);
    return readExactly(fd, reply->data() + kFrameBytes, length - kFrameBytes, deadline, false);
}

}  // namespace

void Connection::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

SLPError Connection::exchange(uint16_t port, int waitMs, const std::vector<uint8_t> &request,
                              std::vector<uint8_t> *reply) {
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    bool kept = fd_ >= 0;
    if (kept && !idleAndOpen(fd_)) {
        close();
        kept = false;
    }
    for (;;) {
        if (fd_ < 0) {
            SLPError err = connectLoopback(port, deadline, &fd_);
            if (err != SLP_OK) return err;
        }
        Io io = sendAll(fd_, request, deadline);
        if (io == Io::Ok) io = receiveMessage(fd_, deadline, reply);
        if (io == Io::Ok) return SLP_OK;
        close();
        if (io == Io::PeerClosed && kept) {
            kept = false;  // one reconnect, on a fresh connection
            continue;
        }
        return io == Io::TimedOut ? SLP_NETWORK_TIMED_OUT : SLP_NETWORK_ERROR;
    }
}

}  // namespace slpclient
