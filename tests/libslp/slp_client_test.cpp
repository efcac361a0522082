// The client API against a scripted agent on loopback (TCP on 127.0.0.1 and 127.0.0.2, finds by
// UDP on 127.0.0.2, which is also the configured DA, and by multicast out of 127.0.0.1) that drops,
// delays, repeats or spoils replies, and the layering of its properties.
#include <slp.h>

#include "../slp-agent/agent_child.h"
#include "slp_config.h"
#include "slp_message.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using slpv2::DecodeStatus;

// The agent port of this process and a 1 s reply wait: set before the first request, after
// which the properties are fixed.
constexpr int kReplyWaitMs = 1000;
uint16_t agentPort() {
    static const uint16_t port = [] {
        const uint16_t p = agentchild::pickFreePort();
        SLPSetProperty("net.slp.port", std::to_string(p).c_str());
        SLPSetProperty("net.slp.unicastMaximumWait", std::to_string(kReplyWaitMs).c_str());
        SLPSetProperty("net.slp.unicastTimeouts", "100,200,300");
        SLPSetProperty("net.slp.DAAddresses", "127.0.0.2");
        SLPSetProperty("net.slp.interfaces", "127.0.0.1");  // multicast never leaves loopback
        SLPSetProperty("net.slp.multicastTimeouts", "200,300");
        return p;
    }();
    return port;
}

struct Answer {
    std::vector<Bytes> replies;  // sent as they are, a datagram each over UDP
    bool close = false;          // over TCP: hang up after sending
};
struct Received {
    Bytes message;
    int connection;  // 0 for UDP; 1 for the first accepted TCP connection, and so on
};

// An agent serving one TCP connection at a time, on 127.0.0.1 and 127.0.0.2, and UDP in between:
// records each whole message and answers the n-th (from 0) as the script says.
class Agent {
public:
    explicit Agent(std::function<Answer(const Bytes &, size_t n)> script) : script_(std::move(script)) {
        sockaddr_in any{AF_INET, htons(agentPort()), {htonl(INADDR_ANY)}, {}}, udp = any, group = any;
        udp.sin_addr.s_addr = htonl(0x7F000002);
        group.sin_addr.s_addr = htonl(0xEFFFFFFD);  // 239.255.255.253, joined on 127.0.0.1
        const ip_mreq join{group.sin_addr, {htonl(0x7F000001)}};
        int one = 1;
        ::setsockopt(tcp_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        EXPECT_TRUE(::bind(tcp_, reinterpret_cast<sockaddr *>(&any), sizeof any) == 0 && ::listen(tcp_, 4) == 0 &&
                    ::bind(udp_, reinterpret_cast<sockaddr *>(&udp), sizeof udp) == 0 &&
                    ::bind(group_, reinterpret_cast<sockaddr *>(&group), sizeof group) == 0 &&
                    ::setsockopt(group_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) == 0);
        thread_ = std::thread([this] {
            sockaddr_in from{};
            socklen_t len = sizeof from;
            for (int connection = 1, fd, ready; (ready = wait({tcp_, udp_, group_})) >= 0;) {
                Bytes m(65536);
                if (ready != tcp_) {  // answered from 127.0.0.2 also when multicast
                    m.resize(std::max<ssize_t>(0, recvfrom(ready, m.data(), m.size(), 0, reinterpret_cast<sockaddr *>(&from), &len)));
                    for (const Bytes &r : answer(m, 0).replies)
                        ::sendto(udp_, r.data(), r.size(), 0, reinterpret_cast<sockaddr *>(&from), len);
                } else if ((fd = ::accept4(tcp_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0) {
                    serve(fd, connection++);
                    ::close(fd);
                }
            }
        });
    }
    ~Agent() {
        stop_ = true;
        thread_.join();
        for (int fd : {tcp_, udp_, group_}) ::close(fd);
    }
    std::vector<Received> received() {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }

private:
    // Reads whole messages off a connection until it ends or a script says to hang up.
    void serve(int fd, int connection) {
        for (Bytes m(5); read(fd, m.data(), 5); m.resize(5)) {
            m.resize(std::max<size_t>(5, m[2] << 16 | m[3] << 8 | m[4]));  // Length
            if (!read(fd, m.data() + 5, m.size() - 5)) return;
            Answer a = answer(m, connection);
            for (const Bytes &r : a.replies) (void)!::send(fd, r.data(), r.size(), MSG_NOSIGNAL);
            if (a.close) return;
        }
    }
    bool read(int fd, uint8_t *buf, size_t n) {
        for (ssize_t got = 0; n > 0; buf += got, n -= static_cast<size_t>(got))
            if (wait({fd}) < 0 || (got = ::recv(fd, buf, n, 0)) <= 0) return false;
        return true;
    }
    // The first readable of `fds`; -1 once the test stops the agent (looks every 20 ms).
    int wait(const std::vector<int> &fds) {
        std::vector<pollfd> p;
        for (int fd : fds) p.push_back({fd, POLLIN, 0});
        while (!stop_) {
            if (::poll(p.data(), p.size(), 20) > 0)
                for (size_t i = 0; i < p.size(); ++i)
                    if (p[i].revents != 0) return fds[i];
        }
        return -1;
    }
    Answer answer(const Bytes &m, int connection) {
        std::lock_guard<std::mutex> lock(mutex_);
        received_.push_back({m, connection});
        return script_(m, received_.size() - 1);
    }

    std::function<Answer(const Bytes &, size_t)> script_;
    int tcp_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), udp_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0),
        group_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::vector<Received> received_;
};

// A SrvAck answering `request`: same XID and language.
Bytes ack(const Bytes &request, uint16_t error = 0) {
    slpv2::Header h;
    EXPECT_EQ(slpv2::decodeHeader(request.data(), request.size(), &h), DecodeStatus::Ok);
    h.flags = 0;
    Bytes out;
    EXPECT_TRUE(slpv2::encodeSrvAck(h, slpv2::SrvAck{error}, &out));
    return out;
}
Answer acks(const Bytes &request, size_t) { return {{ack(request)}}; }

void recordReg(SLPHandle, SLPError err, void *codes) { static_cast<std::vector<SLPError> *>(codes)->push_back(err); }

auto openDescriptors() { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); }

class ClientTest : public testing::Test {
protected:
    void SetUp() override { reopen(); }
    void TearDown() override { SLPClose(handle_); }

    // A new handle, so the next request opens a new connection.
    void reopen(const char *language = "en") {
        agentPort();
        SLPClose(handle_);
        ASSERT_EQ(SLPOpen(language, SLP_FALSE, &handle_), SLP_OK);
    }
    SLPError reg(const char *url = "service:x://h", const char *attrs = "(a=1)") {
        return SLPReg(handle_, url, SLP_LIFETIME_MAXIMUM, nullptr, attrs, SLP_TRUE, recordReg, &calls_);
    }

    SLPHandle handle_ = nullptr;
    std::vector<SLPError> calls_;  // codes the registration callbacks received
};

// No agent at all; then two registrations against an agent answering each request it reads as
// a letter of `steps` says: a ack, A ack and hang up, c hang up, s say nothing; or send the ack
// spoilt and hang up: x other XID, f other function, l Length below the header, b broken off,
// m mandatory extension.
TEST_F(ClientTest, KeepsTheConnectionReconnectsOnceAndDropsItAfterATimeoutOrAnUnusableReply) {
    const auto descriptors = openDescriptors();
    const auto unreachable = std::chrono::steady_clock::now();
    EXPECT_EQ(reg(), SLP_NETWORK_INIT_FAILED);
    EXPECT_EQ(SLPDereg(handle_, "service:x://h", recordReg, &calls_), SLP_NETWORK_INIT_FAILED);
    EXPECT_LT(std::chrono::steady_clock::now() - unreachable, std::chrono::milliseconds(500));
    EXPECT_TRUE(calls_.empty());
    const struct {
        const char *steps;
        SLPError first, second;
        int lastConnection;  // the connection that carried the last request
    } cases[] = {
        {"aa", SLP_OK, SLP_OK, 1},  // kept
        {"Aa", SLP_OK, SLP_OK, 2},
        {"aca", SLP_OK, SLP_OK, 2},  // closed on reading the second request: reconnects once
        {"acc", SLP_OK, SLP_NETWORK_ERROR, 2},
        {"cc", SLP_NETWORK_ERROR, SLP_NETWORK_ERROR, 2},  // closed on a new connection: no retry
        {"ss", SLP_NETWORK_TIMED_OUT, SLP_NETWORK_TIMED_OUT, 2},  // a late reply must not answer the next
        {"xa", SLP_NETWORK_ERROR, SLP_OK, 2}, {"fa", SLP_NETWORK_ERROR, SLP_OK, 2}, {"la", SLP_NETWORK_ERROR, SLP_OK, 2},
        {"ba", SLP_NETWORK_ERROR, SLP_OK, 2}, {"ma", SLP_NETWORK_ERROR, SLP_OK, 2},
    };
    for (const auto &c : cases) {
        Agent agent([&c](const Bytes &r, size_t n) {
            const char step = n < std::strlen(c.steps) ? c.steps[n] : 'c';
            Bytes b = ack(r);
            switch (step) {
            case 'a': return Answer{{b}};
            case 'A': return Answer{{b}, true};
            case 'c': return Answer{{}, true};
            case 's': return Answer{};
            case 'x': b[11] ^= 1; break;
            case 'f': b[1] = 7; break;
            case 'l': b[4] = 10; break;
            case 'b': b.pop_back(); break;
            case 'm': b[9] = static_cast<uint8_t>(b.size()), b.insert(b.end(), {0x40, 0, 0, 0, 0}), b[4] = b.size();
            }
            return Answer{{b}, true};
        });
        calls_.clear();
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(reg(), c.first) << c.steps;
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_GE(took, std::chrono::milliseconds(c.first == SLP_NETWORK_TIMED_OUT ? kReplyWaitMs * 95 / 100 : 0));
        EXPECT_LT(took, std::chrono::milliseconds(kReplyWaitMs + 2000)) << c.steps;
        EXPECT_EQ(reg(), c.second) << c.steps;
        std::vector<Received> got = agent.received();
        ASSERT_EQ(got.size(), std::strlen(c.steps)) << c.steps;
        EXPECT_EQ(got.back().connection, c.lastConnection) << c.steps;
        EXPECT_EQ(calls_.size(), size_t{c.first == SLP_OK} + size_t{c.second == SLP_OK}) << c.steps;
        reopen();
    }
    EXPECT_EQ(openDescriptors(), descriptors);  // closed handles leave no socket behind
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
        {"URL without ://", SLPReg(h, "x:h", 1, "", "", SLP_TRUE, recordReg, &calls_), SLP_INVALID_REGISTRATION},
        {"dereg URL without type", SLPDereg(h, "://h", recordReg, &calls_), SLP_INVALID_REGISTRATION},
        {"delattrs without tags", SLPDelAttrs(h, x, "", recordReg, &calls_), SLP_PARAMETER_BAD},
    };
    for (const auto &c : cases) EXPECT_EQ(c.got, c.want) << c.what;
    EXPECT_EQ(none, nullptr);
    EXPECT_TRUE(calls_.empty());
    EXPECT_TRUE(agent.received().empty());
}

TEST_F(ClientTest, SendsRegistrationsAsOpenSlpDoesAndPassesTheAckErrorNegated) {
    reopen("de");
    Agent agent([](const Bytes &r, size_t n) { return Answer{{ack(r, n == 0 ? 13 : 0)}}; });
    const char *url = "service:io-device.3873:59://fd00:ab::40";
    ASSERT_EQ(reg(url, "(x=(y),z"), SLP_OK);
    ASSERT_EQ(SLPDereg(handle_, url, recordReg, &calls_), SLP_OK);
    ASSERT_EQ(SLPDelAttrs(handle_, url, "a,b*", recordReg, &calls_), SLP_OK);
    EXPECT_EQ(calls_, (std::vector<SLPError>{SLP_INVALID_UPDATE, SLP_OK, SLP_OK}));
    const std::vector<Received> got = agent.received();
    ASSERT_EQ(got.size(), 3u);
    std::vector<uint16_t> xids;  // each message byte for byte as encoded here, with the XID it carries
    auto expect = [&](size_t i, auto encoder, const auto &body, uint16_t flags) {
        slpv2::Header h;
        ASSERT_EQ(slpv2::decodeHeader(got[i].message.data(), got[i].message.size(), &h), DecodeStatus::Ok);
        xids.push_back(h.xid);
        h = {h.function, 0, flags, 0, h.xid, "de"};
        Bytes want;
        EXPECT_TRUE(encoder(h, body, &want));
        EXPECT_EQ(got[i].message, want) << i;
    };
    expect(0, slpv2::encodeSrvReg,
           slpv2::SrvReg{{65535, url}, "service:io-device.3873:59", "DEFAULT", "(x=(y),z", true, uint32_t(getpid())},
           slpv2::kFlagFresh);
    expect(1, slpv2::encodeSrvDeReg, slpv2::SrvDeReg{"DEFAULT", {0, url}, ""}, 0);
    expect(2, slpv2::encodeSrvDeReg, slpv2::SrvDeReg{"DEFAULT", {0, url}, "a,b*"}, 0);
    EXPECT_TRUE(xids[0] != 0 && xids[1] != 0 && xids[0] != xids[1]);
}

// Registers again from its own callback, and closes the handle there when asked to.
void reenter(SLPHandle h, SLPError, void *cookie) {
    auto *r = static_cast<std::pair<SLPError, bool> *>(cookie);
    r->first = SLPReg(h, "service:x://h", 1, nullptr, "", SLP_TRUE, reenter, cookie);
    if (r->second) SLPClose(h);
}

TEST_F(ClientTest, HandleIsInUseDuringItsCallbackAndClosesWhenTheCallReturns) {
    Agent agent(acks);
    std::pair<SLPError, bool> r{SLP_OK, false};  // the inner call's result, close inside
    EXPECT_EQ(SLPReg(handle_, "service:x://h", 1, nullptr, "", SLP_TRUE, reenter, &r), SLP_OK);
    EXPECT_EQ(r.first, SLP_HANDLE_IN_USE);
    r.second = true;
    EXPECT_EQ(SLPReg(handle_, "service:x://h", 1, nullptr, "", SLP_TRUE, reenter, &r), SLP_OK);
    EXPECT_EQ(reg(), SLP_PARAMETER_BAD);
    EXPECT_EQ(agent.received().size(), 2u);
    handle_ = nullptr;
}

struct Seen {
    std::vector<std::string> urls;
    int lastCalls = 0;
    bool stopAtFirst = false;
};
SLPBoolean SLPCALLBACK onUrl(SLPHandle, const char *url, unsigned short, SLPError err, void *cookie) {
    auto *seen = static_cast<Seen *>(cookie);
    seen->lastCalls += err == SLP_LAST_CALL;
    if (err == SLP_OK) seen->urls.push_back(url);
    return seen->stopAtFirst ? SLP_FALSE : SLP_TRUE;
}

bool multicast(const Bytes &m) { return m.size() > 6 && (m[5] & 0x20) != 0; }

// A SrvRply to the SrvRqst `m` with `error` and `urls`.
Bytes srvRply(const Bytes &m, uint16_t error, const std::vector<std::string> &urls) {
    slpv2::Header h;
    slpv2::SrvRqst rqst;
    EXPECT_EQ(slpv2::decodeSrvRqst(m.data(), m.size(), &h, &rqst), DecodeStatus::Ok);
    slpv2::SrvRply rply{error, {}};
    for (const std::string &url : urls) rply.urls.push_back({60, url});
    h.flags = 0;
    Bytes out;
    EXPECT_TRUE(slpv2::encodeSrvRply(h, rply, &out));
    return out;
}

TEST_F(ClientTest, FindsByUdpRetransmitMergeAndIgnoreWhatIsNotOurs) {
    using Urls = std::vector<std::string>;
    const struct {
        const char *what;
        std::vector<int> answer;  // per request received: how many replies (-1: one with a foreign XID first;
                                  // 9: the reply cut to its first 20 bytes, with OVERFLOW and the whole Length)
        Urls urls;
        uint16_t error;
        bool stop;
        SLPError result;
        Urls want;
    } cases[] = {  // answered from 127.0.0.2
        {"first datagram lost", {0, 1}, {"service:x://a"}, 0, false, SLP_OK, {"service:x://a"}},
        {"duplicates merged", {2}, {"service:x://a", "service:x://b", "service:x://a"}, 0, false, SLP_OK,
         {"service:x://a", "service:x://b"}},
        {"foreign XID skipped", {-1}, {"service:x://c"}, 0, false, SLP_OK, {"service:x://c"}},
        {"callback stops", {1}, {"service:x://a", "service:x://b"}, 0, true, SLP_OK, {"service:x://a"}},
        {"error reply", {1}, {}, 4, false, SLP_OK, {}},
        {"silent agent", {}, {}, 0, false, SLP_NETWORK_TIMED_OUT, {}},
        {"cut to a datagram, asked again over TCP", {9, 1}, {"service:x://a", "service:x://b"}, 0, false, SLP_OK,
         {"service:x://a", "service:x://b"}},
    };
    ASSERT_EQ(SLPAssociateIP(handle_, "127.0.0.2"), SLP_OK);
    for (const auto &c : cases) {
        Agent agent([&c](const Bytes &m, size_t n) {
            Answer out;
            const int replies = n < c.answer.size() ? c.answer[n] : 0;
            if (replies == 9) {
                out.replies.push_back(srvRply(m, c.error, c.urls));
                out.replies.back().resize(20);
                out.replies.back()[5] |= 0x80;
                return out;
            }
            for (int i = replies < 0 ? -1 : 0; i < std::abs(replies); ++i) {
                out.replies.push_back(srvRply(m, c.error, c.urls));
                out.replies.back()[11] ^= i < 0 ? 1 : 0;
            }
            return out;
        });
        Seen seen;
        seen.stopAtFirst = c.stop;
        EXPECT_EQ(SLPFindSrvs(handle_, "service:x", "", "", onUrl, &seen), c.result) << c.what;
        EXPECT_EQ(seen.urls, c.want) << c.what;
        EXPECT_EQ(seen.lastCalls, c.result == SLP_OK && !c.stop ? 1 : 0) << c.what;
        const std::vector<Received> got = agent.received();
        ASSERT_GE(got.size(), c.result == SLP_NETWORK_TIMED_OUT ? 3u : 1u) << c.what;
        for (const Received &r : got)  // a retransmission keeps its XID, a cut reply brings one over TCP
            EXPECT_TRUE(r.connection == (!c.answer.empty() && c.answer[0] == 9 && &r != &got[0]) && r.message.size() > 12 &&
                        r.message[10] == got[0].message[10] && r.message[11] == got[0].message[11]) << c.what;
    }
}

// Without SLPAssociateIP a find asks the configured DA, and multicasts only when the DA is
// silent, absent or answers with an error code; an empty answer is an answer.
TEST_F(ClientTest, FindsAskTheDirectoryAgentAndMulticastOnlyWhenItFails) {
    const struct {
        const char *what;
        char da;  // u: one URL, e: none, E: error 4, s: silent, -: no agent at all
        std::vector<std::string> want;
        bool multicasts;
    } cases[] = {
        {"DA answers", 'u', {"service:x://da"}, false},   {"DA has nothing", 'e', {}, false},
        {"DA refuses", 'E', {"service:x://mc"}, true},    {"DA silent", 's', {"service:x://mc"}, true},
        {"nobody anywhere", '-', {}, true},
    };
    for (const auto &c : cases) {
        std::optional<Agent> agent;
        if (c.da != '-')
            agent.emplace([&c](const Bytes &m, size_t) {
                if (multicast(m)) return Answer{{srvRply(m, 0, {"service:x://mc"})}};
                if (c.da == 's') return Answer{};
                return Answer{{srvRply(m, c.da == 'E' ? 4 : 0, std::vector<std::string>(c.da == 'u', "service:x://da"))}};
            });
        Seen seen;
        EXPECT_EQ(SLPFindSrvs(handle_, "service:x", "", "", onUrl, &seen), SLP_OK) << c.what;
        EXPECT_EQ(seen.urls, c.want) << c.what;
        EXPECT_EQ(seen.lastCalls, 1) << c.what;
        if (!agent) continue;
        const std::vector<Received> got = agent->received();
        ASSERT_FALSE(got.empty()) << c.what;
        EXPECT_FALSE(multicast(got.front().message)) << c.what;
        EXPECT_EQ(multicast(got.back().message), c.multicasts) << c.what;
    }
}

// In a fresh process, as scopes learnt stay for its life: SLPFindScopes reports the
// configured DA's DAAdvert scopes, and a find in none of them multicasts without asking it.
int checkDirectoryAgentScopes() {
    Agent agent([](const Bytes &m, size_t) {
        slpv2::Header h;
        slpv2::SrvRqst rqst;
        Answer out{{Bytes{}}};
        if (multicast(m) || slpv2::decodeSrvRqst(m.data(), m.size(), &h, &rqst) != DecodeStatus::Ok ||
            !slpv2::encodeDAAdvert(h, {0, 1, "service:directory-agent://127.0.0.2", "a,b", "", ""}, &out.replies[0]))
            return Answer{};
        return out;
    });
    SLPHandle h = nullptr;
    char *scopes = nullptr;
    int failed = SLPOpen("", SLP_FALSE, &h) == SLP_OK && SLPFindScopes(h, &scopes) == SLP_OK &&
                 std::strcmp(scopes, "a,b") == 0 ? 0 : 1;
    SLPFree(scopes);
    Seen seen;
    failed |= SLPFindSrvs(h, "service:x", "c", "", onUrl, &seen) == SLP_OK ? 0 : 2;
    const std::vector<Received> got = agent.received();
    failed |= got.size() >= 2 && !multicast(got[0].message) && multicast(got[1].message) ? 0 : 4;
    SLPClose(h);
    return failed;
}

TEST_F(ClientTest, FindScopesReportsTheDirectoryAgentsScopes) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::_Exit(checkDirectoryAgentScopes()), testing::ExitedWithCode(0), "");
}

std::string writeTempFile(const std::string &text) {
    char path[] = "/tmp/slp-conf-test-XXXXXX";
    int fd = mkstemp(path);
    bool ok = fd >= 0 && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    return ok ? path : "";
}

// In a fresh process: the file named by OpenSLPConfig over the defaults (names in any case),
// then SLPSetProperty until the first request, which net.slp.securityEnabled refuses. Returns a
// bit for each failed check.
int checkProcessProperties() {
    std::string path = writeTempFile("NET.SLP.Port = 4711\nnet.slp.useScopes = alpha,beta\nnet.slp.SecurityEnabled = TRUE\n");
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
    failed |= SLPReg(h, "service:x://h", 1, nullptr, "", SLP_TRUE, ignore, nullptr) == SLP_NOT_IMPLEMENTED ? 0 : 8;
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

// In a fresh process: with net.slp.maxResults 1 a find reports one URL, then the last call,
// and ends at the first multicast answer (the DA refuses, so the find multicasts).
int checkMaxResults() {
    SLPSetProperty("net.slp.maxResults", "1");
    Agent agent([](const Bytes &m, size_t) { return Answer{{srvRply(m, multicast(m) ? 0 : 4, {"service:x://a", "service:x://b"})}}; });
    SLPHandle h = nullptr;
    Seen seen;
    bool ok = SLPOpen("", SLP_FALSE, &h) == SLP_OK && SLPFindSrvs(h, "service:x", "", "", onUrl, &seen) == SLP_OK;
    return ok && seen.urls.size() == 1 && seen.lastCalls == 1 && agent.received().size() == 2 ? 0 : 1;
}

// The RFC 2614 property table as the client reads it: names and booleans in any case; values
// out of range, unparsable or empty keep the default; agent-side and unknown names do nothing.
TEST(SlpProperties, ClientTakesEachRfc2614PropertyWithItsMeaning) {
    using S = slpclient::RequestSettings;
    const struct { slpclient::PropertyMap set; bool (*gives)(const S &); } rows[] = {
        {{{"NET.SLP.ISBROADCASTONLY", "True"}}, [](const S &s) { return s.broadcastOnly; }},
        {{{"net.slp.daactivediscoveryinterval", "0"}}, [](const S &s) { return !s.activeDaDetection; }},
        {{{"net.slp.DAActiveDiscoveryInterval", "65536"}}, [](const S &s) { return s.daDiscoveryIntervalS == 900 && s.activeDaDetection; }},
        {{{"net.slp.MaxResults", "7"}}, [](const S &s) { return s.maxResults == 7; }},
        {{{"net.slp.maxResults", "0"}}, [](const S &s) { return s.maxResults == -1; }},
        {{{"net.slp.datagramTimeouts", ""}}, [](const S &s) { return s.unicastTimeoutsMs == S{}.unicastTimeoutsMs; }},
        {{{"net.slp.datagramTimeouts", "10,20"}}, [](const S &s) { return s.unicastTimeoutsMs == std::vector<int>{10, 20}; }},
        {{{"net.slp.datagramTimeouts", "10"}, {"NET.SLP.UNICASTTIMEOUTS", "30"}}, [](const S &s) { return s.unicastTimeoutsMs == std::vector<int>{30}; }},
        {{{"net.slp.isDA", "true"}, {"net.slp.DAHeartBeat", "1"}, {"net.slp.DAAttributes", "(x=1)"}, {"net.slp.typeHint", "service:x"},
          {"net.slp.serializedRegURL", "/r"}, {"net.slp.noSuchThing", "1"}}, [](const S &s) { return s.activeDaDetection && s.maxResults == -1; }},
    };
    for (const auto &r : rows) EXPECT_TRUE(r.gives(slpclient::settingsFrom(r.set))) << r.set.begin()->first;
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::_Exit(checkMaxResults()), testing::ExitedWithCode(0), "");
}

}  // namespace
