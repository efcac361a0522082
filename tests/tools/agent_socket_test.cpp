// The real agent under abuse: garbage on both transports, stuck and greedy clients, several
// messages on one connection, registrations of exited processes. Raw sockets, bounded waits.
#include "agent_child.h"
#include "slp_message.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kWaitMs = 5000;

Bytes srvReg(const std::string &url, uint32_t pid = 0) {
    slpv2::Header h;
    h.flags = slpv2::kFlagFresh;
    h.xid = 7;
    h.language = "en";
    slpv2::SrvReg body;
    body.entry = {65535, url};
    body.serviceType = url.substr(0, url.find("://"));
    body.scopes = "DEFAULT";
    body.attributes = "(a=1)";
    body.hasProcessId = pid != 0;
    body.processId = pid;
    Bytes out;
    EXPECT_TRUE(slpv2::encodeSrvReg(h, body, &out));
    return out;
}

Bytes srvRqst(const std::string &type) {
    slpv2::Header h;
    h.xid = 8;
    h.language = "en";
    Bytes out;
    EXPECT_TRUE(slpv2::encodeSrvRqst(h, slpv2::SrvRqst{"", type, "DEFAULT", "", ""}, &out));
    return out;
}

sockaddr_in loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

struct Socket {
    int fd = -1;
    explicit Socket(int type) : fd(socket(AF_INET, type, 0)) {}
    ~Socket() {
        if (fd >= 0) close(fd);
    }
    bool connectTo(uint16_t port) {
        sockaddr_in a = loopback(port);
        return connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    }
    bool sendAll(const Bytes &b) {
        return b.empty() || send(fd, b.data(), b.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(b.size());
    }
    // Reads exactly n bytes; false on timeout, error or end of stream.
    bool readExactly(size_t n, Bytes *out) {
        out->resize(n);
        for (size_t got = 0; got < n;) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, kWaitMs) != 1) return false;
            ssize_t r = recv(fd, out->data() + got, n - got, 0);
            if (r <= 0) return false;
            got += static_cast<size_t>(r);
        }
        return true;
    }
    std::optional<Bytes> readMessage() {
        Bytes head, rest;
        if (!readExactly(5, &head)) return std::nullopt;
        size_t length = (size_t{head[2]} << 16) | (size_t{head[3]} << 8) | head[4];
        if (length < 5 || !readExactly(length - 5, &rest)) return std::nullopt;
        head.insert(head.end(), rest.begin(), rest.end());
        return head;
    }
    bool closedByPeer() {
        pollfd p{fd, POLLIN, 0};
        char c;
        return poll(&p, 1, kWaitMs) == 1 && recv(fd, &c, 1, 0) <= 0;
    }
};

uint16_t ackError(const Bytes &reply) {
    slpv2::Header h;
    slpv2::SrvAck ack;
    EXPECT_EQ(slpv2::decodeSrvAck(reply.data(), reply.size(), &h, &ack), slpv2::DecodeStatus::Ok);
    return ack.error;
}

class AgentSocketTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(agent_.start()) << agent_.output(); }

    // A fresh connection registers `url` and gets SrvAck 0.
    void expectRegistration(const std::string &url) {
        Socket s(SOCK_STREAM);
        ASSERT_TRUE(s.connectTo(agent_.port()));
        ASSERT_TRUE(s.sendAll(srvReg(url)));
        std::optional<Bytes> reply = s.readMessage();
        ASSERT_TRUE(reply.has_value()) << "no SrvAck for " << url;
        EXPECT_EQ(ackError(*reply), 0);
    }

    size_t countFound(const std::string &type) {
        Socket s(SOCK_STREAM);
        EXPECT_TRUE(s.connectTo(agent_.port()));
        EXPECT_TRUE(s.sendAll(srvRqst(type)));
        std::optional<Bytes> reply = s.readMessage();
        slpv2::Header h;
        slpv2::SrvRply body;
        if (!reply || slpv2::decodeSrvRply(reply->data(), reply->size(), &h, &body) != slpv2::DecodeStatus::Ok) {
            ADD_FAILURE() << "no SrvRply";
            return 0;
        }
        return body.urls.size();
    }

    agentchild::AgentChild agent_{SLP_AGENT_PATH};
};

TEST_F(AgentSocketTest, GarbageOnEitherTransportNeverStopsIt) {
    Bytes valid = srvReg("service:x://garbage");
    Bytes badVersion = valid, hugeLength = valid, shortLength = valid, badFunction = valid, badBody = valid;
    badVersion[0] = 1;
    hugeLength[2] = 0xFF;
    shortLength[4] = 3;
    shortLength[2] = shortLength[3] = 0;
    badFunction[1] = 200;
    badBody[19] = 0xFF;  // URL length past the end
    const struct {
        Bytes bytes;
        bool closes;  // the stream cannot be resynchronised: the agent hangs up
    } cases[] = {
        {Bytes(300, 0xFF), true}, {badVersion, true}, {hugeLength, true}, {shortLength, true},
        {badFunction, false},     {badBody, false},   {Bytes{2, 1}, false}, {Bytes(40, 0), true},
    };
    for (const auto &c : cases) {
        Socket udp(SOCK_DGRAM);
        sockaddr_in a = loopback(agent_.port());
        sendto(udp.fd, c.bytes.data(), c.bytes.size(), 0, reinterpret_cast<sockaddr *>(&a), sizeof a);
        Socket tcp(SOCK_STREAM);
        ASSERT_TRUE(tcp.connectTo(agent_.port()));
        ASSERT_TRUE(tcp.sendAll(c.bytes));
        if (c.closes) {
            EXPECT_TRUE(tcp.closedByPeer());
        }
    }
    expectRegistration("service:x://after-garbage");
    EXPECT_TRUE(agent_.running());
}

TEST_F(AgentSocketTest, AnswersEveryMessageOnOneConnectionInTurn) {
    Bytes batch;
    for (const char *url : {"service:x://one", "service:x://two", "service:x://three"}) {
        Bytes m = srvReg(url);
        batch.insert(batch.end(), m.begin(), m.end());
    }
    Socket s(SOCK_STREAM);
    ASSERT_TRUE(s.connectTo(agent_.port()));
    // Split mid-header so the agent must keep partial input between reads.
    ASSERT_TRUE(s.sendAll(Bytes(batch.begin(), batch.begin() + 3)));
    ASSERT_TRUE(s.sendAll(Bytes(batch.begin() + 3, batch.end())));
    for (int i = 0; i < 3; ++i) {
        std::optional<Bytes> reply = s.readMessage();
        ASSERT_TRUE(reply.has_value());
        EXPECT_EQ(ackError(*reply), 0);
    }
    ASSERT_TRUE(s.sendAll(srvRqst("service:x")));
    EXPECT_TRUE(s.readMessage().has_value());
}

TEST_F(AgentSocketTest, StuckAndGreedyClientsDoNotBlockOthers) {
    Socket halfHeader(SOCK_STREAM), halfBody(SOCK_STREAM), neverReads(SOCK_STREAM);
    ASSERT_TRUE(halfHeader.connectTo(agent_.port()));
    ASSERT_TRUE(halfHeader.sendAll(Bytes{2, 3}));
    ASSERT_TRUE(halfBody.connectTo(agent_.port()));
    Bytes partial = srvReg("service:x://partial");
    partial.resize(partial.size() / 2);
    ASSERT_TRUE(halfBody.sendAll(partial));
    // A client that sends requests without reading any reply.
    int small = 4096;
    setsockopt(neverReads.fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    ASSERT_TRUE(neverReads.connectTo(agent_.port()));
    Bytes flood;
    for (int i = 0; i < 2000; ++i) {
        Bytes m = srvRqst("service:x");
        flood.insert(flood.end(), m.begin(), m.end());
    }
    ASSERT_TRUE(neverReads.sendAll(flood));

    expectRegistration("service:x://while-others-stall");
    EXPECT_EQ(countFound("service:x"), 1u);
}

TEST_F(AgentSocketTest, DropsRegistrationsOfExitedProcesses) {
    pid_t child = fork();
    if (child == 0) _exit(0);
    ASSERT_GT(child, 0);
    ASSERT_EQ(waitpid(child, nullptr, 0), child);
    Socket s(SOCK_STREAM);
    ASSERT_TRUE(s.connectTo(agent_.port()));
    ASSERT_TRUE(s.sendAll(srvReg("service:gone://exited", static_cast<uint32_t>(child))));
    ASSERT_TRUE(s.readMessage().has_value());
    ASSERT_TRUE(s.sendAll(srvReg("service:gone://alive", static_cast<uint32_t>(getpid()))));
    ASSERT_TRUE(s.readMessage().has_value());
    EXPECT_EQ(countFound("service:gone"), 1u);
    EXPECT_TRUE(agent_.waitForOutput("dropped service:gone://exited process " + std::to_string(child) + " exited", kWaitMs));
}

TEST_F(AgentSocketTest, PrintsWhatItAcceptsAndStopsCleanlyOnSigterm) {
    expectRegistration("service:x://printed");
    EXPECT_TRUE(agent_.waitForOutput("registered service:x://printed lifetime 65535\n  attributes (a=1)\n", kWaitMs));
    EXPECT_EQ(agent_.stop(), 0);
    EXPECT_NE(agent_.output().find("stopping\n"), std::string::npos);
}

}  // namespace
