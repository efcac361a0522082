// scripted_agent.h: a TCP server on 127.0.0.1 whose answers the test writes, request by request.
//
// One connection at a time, as a client handle uses it. Each whole SLP message received is
// recorded and handed to the script, which says what to send back and whether to close.
#ifndef ORVAD_TESTS_LIBSLP_SCRIPTED_AGENT_H
#define ORVAD_TESTS_LIBSLP_SCRIPTED_AGENT_H

#include "slp_message.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace slptest {

using Bytes = std::vector<uint8_t>;

struct Answer {
    enum Then { Keep, Close };
    Bytes bytes;  // sent as is; empty sends nothing
    Then then = Keep;
};

struct Received {
    Bytes message;
    int connection;  // 1 for the first accepted connection, and so on
};

// A free loopback port, found by binding port 0.
inline uint16_t freeLoopbackPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
        throw std::runtime_error("no free loopback port");
    ::close(fd);
    return ntohs(addr.sin_port);
}

class ScriptedAgent {
public:
    using Script = std::function<Answer(const Bytes &request, int connection)>;

    ScriptedAgent(uint16_t port, Script script) : script_(std::move(script)) {
        listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(listen_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::listen(listen_, 4) != 0 ||
            ::pipe(stop_) != 0)
            throw std::runtime_error("scripted agent cannot listen");
        thread_ = std::thread([this] { run(); });
    }

    ~ScriptedAgent() {
        char byte = 0;
        (void)!::write(stop_[1], &byte, 1);
        thread_.join();
        ::close(listen_);
        ::close(stop_[0]);
        ::close(stop_[1]);
    }

    std::vector<Received> received() {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }

private:
    // Waits until `fd` is readable; false when the test is stopping the agent.
    bool waitReadable(int fd) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {stop_[0], POLLIN, 0}};
        while (::poll(fds, 2, -1) < 0) {
        }
        return (fds[1].revents & POLLIN) == 0;
    }

    bool readExactly(int fd, uint8_t *buf, size_t n) {
        size_t done = 0;
        while (done < n) {
            if (!waitReadable(fd)) return false;
            ssize_t got = ::recv(fd, buf + done, n - done, 0);
            if (got <= 0) return false;
            done += static_cast<size_t>(got);
        }
        return true;
    }

    void serve(int fd, int connection) {
        for (;;) {
            Bytes message(5);
            uint8_t version = 0, function = 0;
            uint32_t length = 0;
            if (!readExactly(fd, message.data(), 5) ||
                slpv2::peekHeader(message.data(), 5, &version, &function, &length) != slpv2::DecodeStatus::Ok)
                return;
            message.resize(length);
            if (!readExactly(fd, message.data() + 5, length - 5)) return;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                received_.push_back({message, connection});
            }
            Answer answer = script_(message, connection);
            if (!answer.bytes.empty()) (void)!::send(fd, answer.bytes.data(), answer.bytes.size(), MSG_NOSIGNAL);
            if (answer.then == Answer::Close) return;
        }
    }

    void run() {
        int connection = 0;
        while (waitReadable(listen_)) {
            int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            serve(fd, ++connection);
            ::close(fd);
        }
    }

    Script script_;
    int listen_ = -1;
    int stop_[2] = {-1, -1};
    std::thread thread_;
    std::mutex mutex_;
    std::vector<Received> received_;
};

// Reply header for `request`: same XID and language, as an agent answers.
inline slpv2::Header replyHeaderFor(const Bytes &request) {
    slpv2::Header h;
    if (slpv2::decodeHeader(request.data(), request.size(), &h) != slpv2::DecodeStatus::Ok)
        throw std::runtime_error("request header does not decode");
    h.flags = 0;
    return h;
}

inline Bytes srvAck(const Bytes &request, uint16_t error) {
    slpv2::SrvAck ack;
    ack.error = error;
    Bytes out;
    if (!slpv2::encodeSrvAck(replyHeaderFor(request), ack, &out)) throw std::runtime_error("encode");
    return out;
}

}  // namespace slptest

#endif
