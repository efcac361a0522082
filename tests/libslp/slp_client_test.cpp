// The client API against a scripted agent on loopback, and the layering of its properties.
#include <slp.h>

#include "slp_config.h"
#include "slp_message.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using slpv2::DecodeStatus;

sockaddr_in loopback(uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

// The agent port of this process, free when first asked for, and a 1 s reply wait: both set
// before the first request, after which the properties are fixed.
constexpr int kReplyWaitMs = 1000;
uint16_t agentPort() {
    static const uint16_t port = [] {
        sockaddr_in addr = loopback(0);
        socklen_t len = sizeof addr;
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), len) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
            throw std::runtime_error("no free loopback port");
        ::close(fd);
        SLPSetProperty("net.slp.port", std::to_string(ntohs(addr.sin_port)).c_str());
        SLPSetProperty("net.slp.unicastMaximumWait", std::to_string(kReplyWaitMs).c_str());
        return ntohs(addr.sin_port);
    }();
    return port;
}

struct Answer {
    Bytes bytes;  // sent as is; empty sends nothing
    bool close = false;
};
struct Received {
    Bytes message;
    int connection;  // 1 for the first accepted connection, and so on
};

// An agent serving one connection at a time: records each whole message and answers it as
// the script says.
class Agent {
public:
    explicit Agent(std::function<Answer(const Bytes &)> script) : script_(std::move(script)) {
        sockaddr_in addr = loopback(agentPort());
        int one = 1;
        listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ::setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (::bind(listen_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::listen(listen_, 4) != 0 ||
            ::pipe(stop_) != 0)
            throw std::runtime_error("agent cannot listen");
        thread_ = std::thread([this] {
            for (int connection = 1, fd; readable(listen_); ++connection) {
                if ((fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC)) < 0) continue;
                serve(fd, connection);
                ::close(fd);
            }
        });
    }
    ~Agent() {
        (void)!::write(stop_[1], "", 1);
        thread_.join();
        for (int fd : {listen_, stop_[0], stop_[1]}) ::close(fd);
    }
    std::vector<Received> received() {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }

private:
    bool readable(int fd) {  // false once the test stops the agent
        pollfd fds[2] = {{fd, POLLIN, 0}, {stop_[0], POLLIN, 0}};
        while (::poll(fds, 2, -1) < 0) {
        }
        return fds[1].revents == 0;
    }
    bool read(int fd, uint8_t *buf, size_t n) {
        for (ssize_t got = 0; n > 0; buf += got, n -= static_cast<size_t>(got))
            if (!readable(fd) || (got = ::recv(fd, buf, n, 0)) <= 0) return false;
        return true;
    }
    void serve(int fd, int connection) {
        uint8_t version = 0, function = 0;
        uint32_t length = 0;
        for (Bytes m(5); read(fd, m.data(), 5); m.resize(5)) {
            if (slpv2::peekHeader(m.data(), 5, &version, &function, &length) != DecodeStatus::Ok) return;
            m.resize(length);
            if (!read(fd, m.data() + 5, length - 5)) return;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                received_.push_back({m, connection});
            }
            Answer answer = script_(m);
            (void)!::send(fd, answer.bytes.data(), answer.bytes.size(), MSG_NOSIGNAL);
            if (answer.close) return;
        }
    }

    std::function<Answer(const Bytes &)> script_;
    int listen_ = -1, stop_[2] = {-1, -1};
    std::thread thread_;
    std::mutex mutex_;
    std::vector<Received> received_;
};

template <typename Body>
Body decoded(const Bytes &m, DecodeStatus (*decode)(const uint8_t *, size_t, slpv2::Header *, Body *),
             slpv2::Header *header) {
    Body body;
    EXPECT_EQ(decode(m.data(), m.size(), header, &body), DecodeStatus::Ok);
    return body;
}

// A SrvAck answering `request`: same XID and language.
Bytes ack(const Bytes &request, uint16_t error) {
    slpv2::Header h;
    EXPECT_EQ(slpv2::decodeHeader(request.data(), request.size(), &h), DecodeStatus::Ok);
    h.flags = 0;
    Bytes out;
    EXPECT_TRUE(slpv2::encodeSrvAck(h, slpv2::SrvAck{error}, &out));
    return out;
}
Answer acks(const Bytes &request) { return {ack(request, 0)}; }

void recordReg(SLPHandle, SLPError err, void *codes) { static_cast<std::vector<SLPError> *>(codes)->push_back(err); }

size_t openDescriptors() {
    size_t n = 0;
    DIR *d = opendir("/proc/self/fd");
    while (readdir(d) != nullptr) ++n;
    closedir(d);
    return n;
}

class ClientTest : public testing::Test {
protected:
    void SetUp() override {
        agentPort();
        reopen();
    }
    void TearDown() override { SLPClose(handle_); }

    // A new handle, so the next request opens a new connection.
    void reopen(const char *language = "en") {
        SLPClose(handle_);
        ASSERT_EQ(SLPOpen(language, SLP_FALSE, &handle_), SLP_OK);
    }
    SLPError reg(const char *url = "service:x://h", const char *attrs = "(a=1)") {
        return SLPReg(handle_, url, SLP_LIFETIME_MAXIMUM, nullptr, attrs, SLP_TRUE, recordReg, &calls_);
    }
    SLPError dereg(const char *url = "service:x://h") { return SLPDereg(handle_, url, recordReg, &calls_); }

    SLPHandle handle_ = nullptr;
    std::vector<SLPError> calls_;  // codes the registration callbacks received
};

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST_F(ClientTest, UnreachableAgentFailsAtOnceWithoutCallbackOrLeak) {
    const size_t descriptors = openDescriptors();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(reg(), SLP_NETWORK_INIT_FAILED);
    EXPECT_EQ(dereg(), SLP_NETWORK_INIT_FAILED);
    EXPECT_LT(secondsSince(start), 0.5);
    EXPECT_TRUE(calls_.empty());
    EXPECT_EQ(openDescriptors(), descriptors);
}

TEST_F(ClientTest, SilentAgentTimesOutAfterTheReplyWaitAndTheConnectionIsDropped) {
    Agent agent([](const Bytes &) { return Answer{}; });
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(reg(), SLP_NETWORK_TIMED_OUT);
    EXPECT_GE(secondsSince(start), kReplyWaitMs / 1000.0 * 0.95);
    EXPECT_LT(secondsSince(start), kReplyWaitMs / 1000.0 + 2.0);
    EXPECT_EQ(reg(), SLP_NETWORK_TIMED_OUT);  // on a new connection: a late reply must not answer it
    std::vector<Received> got = agent.received();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].connection, 2);
    EXPECT_TRUE(calls_.empty());
}

TEST_F(ClientTest, AckErrorReachesTheCallbackNegatedWhileTheCallSucceeds) {
    std::atomic<uint16_t> code{0};
    Agent agent([&code](const Bytes &r) { return Answer{ack(r, code)}; });
    for (uint16_t wire : {0, 4, 13}) {
        code = wire;
        calls_.clear();
        EXPECT_EQ(reg(), SLP_OK);
        EXPECT_EQ(dereg(), SLP_OK);
        EXPECT_EQ(calls_, std::vector<SLPError>(2, static_cast<SLPError>(-wire))) << wire;
    }
}

TEST_F(ClientTest, KeepsTheConnectionAndReconnectsOnceWhenTheAgentDroppedIt) {
    enum Step { Ack, AckThenClose, Close };  // the agent's answer to each request, in order
    const struct {
        const char *what;
        std::vector<Step> steps;
        SLPError first, second;  // results of two registrations
        int lastConnection;      // the connection that carried the last request
    } cases[] = {
        {"kept", {Ack, Ack}, SLP_OK, SLP_OK, 1},
        {"closed after the first reply", {AckThenClose, Ack}, SLP_OK, SLP_OK, 2},
        {"closed on reading the second request", {Ack, Close, Ack}, SLP_OK, SLP_OK, 2},
        {"closed again after the reconnect", {Ack, Close, Close}, SLP_OK, SLP_NETWORK_ERROR, 2},
        {"closed on a new connection: no retry", {Close, Close}, SLP_NETWORK_ERROR, SLP_NETWORK_ERROR, 2},
    };
    const size_t descriptors = openDescriptors();
    for (const auto &c : cases) {
        std::atomic<size_t> next{0};
        Agent agent([&](const Bytes &r) {
            size_t i = next++;
            Step step = i < c.steps.size() ? c.steps[i] : Close;
            return step == Close ? Answer{{}, true} : Answer{ack(r, 0), step == AckThenClose};
        });
        calls_.clear();
        EXPECT_EQ(reg(), c.first) << c.what;
        EXPECT_EQ(reg(), c.second) << c.what;
        std::vector<Received> got = agent.received();
        ASSERT_EQ(got.size(), c.steps.size()) << c.what;
        EXPECT_EQ(got.back().connection, c.lastConnection) << c.what;
        EXPECT_EQ(calls_.size(), size_t{c.first == SLP_OK} + size_t{c.second == SLP_OK}) << c.what;
        reopen();
    }
    EXPECT_EQ(openDescriptors(), descriptors);  // closed handles leave no socket behind
}

TEST_F(ClientTest, UnusableRepliesFailWithNetworkErrorAndNoCallback) {
    const struct {
        const char *what;
        void (*edit)(Bytes &ack);
    } cases[] = {
        {"other XID", [](Bytes &b) { b[11] ^= 1; }},
        {"other function", [](Bytes &b) { b[1] = 7; }},
        {"Length below the header", [](Bytes &b) { b[4] = 10; }},
        {"reply broken off", [](Bytes &b) { b.pop_back(); }},
        {"mandatory extension",
         [](Bytes &b) {
             b[9] = static_cast<uint8_t>(b.size());
             b.insert(b.end(), {0x40, 0x00, 0, 0, 0});
             b[4] = static_cast<uint8_t>(b.size());
         }},
    };
    for (const auto &c : cases) {
        Agent agent([&c](const Bytes &r) {
            Bytes b = ack(r, 0);
            c.edit(b);
            return Answer{b, true};
        });
        calls_.clear();
        EXPECT_EQ(reg(), SLP_NETWORK_ERROR) << c.what;
        EXPECT_TRUE(calls_.empty()) << c.what;
        reopen();
    }
}

TEST_F(ClientTest, BadArgumentsAreRefusedWithoutTraffic) {
    Agent agent(acks);
    SLPHandle h = handle_, none = h;
    const char *x = "service:x://h";
    const struct {
        const char *what;
        SLPError got, want;
    } cases[] = {
        {"async open", SLPOpen("en", SLP_TRUE, &none), SLP_NOT_IMPLEMENTED},
        {"NULL handle", SLPReg(nullptr, x, 1, "", "", SLP_TRUE, recordReg, &calls_), SLP_PARAMETER_BAD},
        {"NULL URL", SLPReg(h, nullptr, 1, "", "", SLP_TRUE, recordReg, &calls_), SLP_PARAMETER_BAD},
        {"empty URL", SLPReg(h, "", 1, "", "", SLP_TRUE, recordReg, &calls_), SLP_PARAMETER_BAD},
        {"lifetime 0", SLPReg(h, x, 0, "", "", SLP_TRUE, recordReg, &calls_), SLP_PARAMETER_BAD},
        {"incremental", SLPReg(h, x, 1, "", "", SLP_FALSE, recordReg, &calls_), SLP_NOT_IMPLEMENTED},
        {"URL without ://", SLPReg(h, "x:h", 1, "", "", SLP_TRUE, recordReg, &calls_), SLP_INVALID_REGISTRATION},
        {"dereg URL without type", SLPDereg(h, "://h", recordReg, &calls_), SLP_INVALID_REGISTRATION},
        {"delattrs without tags", SLPDelAttrs(h, x, "", recordReg, &calls_), SLP_PARAMETER_BAD},
    };
    for (const auto &c : cases) EXPECT_EQ(c.got, c.want) << c.what;
    EXPECT_EQ(none, nullptr);
    EXPECT_TRUE(calls_.empty());
    EXPECT_TRUE(agent.received().empty());
}

TEST_F(ClientTest, SendsRegistrationsAsOpenSlpDoes) {
    reopen("de");
    Agent agent(acks);
    const char *url = "service:io-device.3873:59://fd00:ab::40";
    ASSERT_EQ(reg(url, "(x=(y),z"), SLP_OK);
    ASSERT_EQ(dereg(url), SLP_OK);
    ASSERT_EQ(SLPDelAttrs(handle_, url, "a,b*", recordReg, &calls_), SLP_OK);
    std::vector<Received> got = agent.received();
    ASSERT_EQ(got.size(), 3u);

    slpv2::Header h[3];
    const slpv2::SrvReg r = decoded(got[0].message, slpv2::decodeSrvReg, &h[0]);
    EXPECT_EQ(h[0].flags, slpv2::kFlagFresh);
    EXPECT_EQ(r.serviceType, "service:io-device.3873:59");
    EXPECT_EQ(r.attributes, "(x=(y),z");
    EXPECT_TRUE(r.hasProcessId);
    EXPECT_EQ(r.processId, static_cast<uint32_t>(getpid()));
    EXPECT_TRUE(r.entry.lifetime == 65535 && r.entry.url == url && r.scopes == "DEFAULT" && h[0].language == "de");

    const slpv2::SrvDeReg d = decoded(got[1].message, slpv2::decodeSrvDeReg, &h[1]);
    EXPECT_TRUE(h[1].flags == 0 && d.scopes == "DEFAULT" && d.entry.url == url && d.tags.empty());
    EXPECT_EQ(decoded(got[2].message, slpv2::decodeSrvDeReg, &h[2]).tags, "a,b*");
    EXPECT_TRUE(h[0].xid != 0 && h[1].xid != 0 && h[0].xid != h[1].xid);
}

// Registers again from its own callback, and closes the handle there when asked to.
struct Reentry {
    SLPError inner = SLP_OK;
    bool closeInside = false;
};
void reenter(SLPHandle h, SLPError, void *cookie) {
    auto *r = static_cast<Reentry *>(cookie);
    r->inner = SLPReg(h, "service:x://h", 1, nullptr, "", SLP_TRUE, reenter, cookie);
    if (r->closeInside) SLPClose(h);
}

TEST_F(ClientTest, HandleIsInUseDuringItsCallbackAndClosesWhenTheCallReturns) {
    Agent agent(acks);
    Reentry r;
    EXPECT_EQ(SLPReg(handle_, "service:x://h", 1, nullptr, "", SLP_TRUE, reenter, &r), SLP_OK);
    EXPECT_EQ(r.inner, SLP_HANDLE_IN_USE);
    r.closeInside = true;
    EXPECT_EQ(SLPReg(handle_, "service:x://h", 1, nullptr, "", SLP_TRUE, reenter, &r), SLP_OK);
    EXPECT_EQ(reg(), SLP_PARAMETER_BAD);
    EXPECT_EQ(agent.received().size(), 2u);
    handle_ = nullptr;
}

std::string writeTempFile(const std::string &text) {
    char path[] = "/tmp/slp-conf-test-XXXXXX";
    int fd = mkstemp(path);
    bool ok = fd >= 0 && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    return ok ? path : "";
}

// In a fresh process: the file named by OpenSLPConfig over the defaults, then SLPSetProperty
// until the first request. Returns a bit for each failed check.
int checkProcessProperties() {
    std::string path = writeTempFile("net.slp.port = 4711\nnet.slp.useScopes = alpha,beta\n");
    setenv(slpclient::kConfigFileVariable, path.c_str(), 1);
    auto port = [] { return std::string(SLPGetProperty("net.slp.port")); };
    int failed = port() == "4711" ? 0 : 1;
    const std::string set = std::to_string(agentPort());  // SLPSetProperty
    failed |= port() == set ? 0 : 2;
    SLPHandle h = nullptr;
    char *scopes = nullptr;
    bool fileScopes = SLPOpen("", SLP_FALSE, &h) == SLP_OK && SLPFindScopes(h, &scopes) == SLP_OK &&
                      std::strcmp(scopes, "alpha,beta") == 0;
    failed |= fileScopes ? 0 : 4;
    SLPFree(scopes);
    auto ignore = [](SLPHandle, SLPError, void *) {};
    failed |= SLPReg(h, "service:x://h", 1, nullptr, "", SLP_TRUE, ignore, nullptr) == SLP_NETWORK_INIT_FAILED ? 0 : 8;
    SLPClose(h);
    SLPSetProperty("net.slp.port", "4713");  // after the first request: ignored
    failed |= port() == set ? 0 : 16;
    ::unlink(path.c_str());
    return failed;
}

TEST(SlpProperties, LayerDefaultsGlobalFileOverrideFileThenSetPropertyUntilTheFirstRequest) {
    std::string global = writeTempFile("net.slp.port = 1000\nnet.slp.useScopes = site\n");
    std::string local = writeTempFile("# net.slp.useScopes = x\n ; x = y\n net.slp.port =  2000 \r\nno equals\n = 5\n");
    slpclient::PropertyMap expected = slpclient::defaultProperties();
    expected["net.slp.port"] = "2000";
    expected["net.slp.useScopes"] = "site";
    EXPECT_EQ(slpclient::layeredProperties(global.c_str(), local.c_str()), expected);
    EXPECT_EQ(slpclient::layeredProperties("/nonexistent", local.c_str())["net.slp.useScopes"], "DEFAULT");
    ::unlink(global.c_str());
    ::unlink(local.c_str());

    GTEST_FLAG_SET(death_test_style, "threadsafe");  // re-executes the binary: a fresh process
    EXPECT_EXIT(std::_Exit(checkProcessProperties()), testing::ExitedWithCode(0), "");
}

}  // namespace
