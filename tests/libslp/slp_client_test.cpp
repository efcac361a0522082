// The client API against scripted agents: result and callback codes, connection handling,
// reply checks, parameter checks and what goes on the wire.
#include <slp.h>

#include "scripted_agent.h"
#include "slp_message.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

namespace {

using slptest::Answer;
using slptest::Bytes;
using slptest::ScriptedAgent;

constexpr int kReplyWaitMs = 1000;

// Every test of this file shares one port and a shortened reply wait: properties are fixed
// once the process has sent its first request.
uint16_t agentPort() {
    static const uint16_t port = [] {
        uint16_t p = slptest::freeLoopbackPort();
        SLPSetProperty("net.slp.port", std::to_string(p).c_str());
        SLPSetProperty("net.slp.unicastMaximumWait", std::to_string(kReplyWaitMs).c_str());
        return p;
    }();
    return port;
}

struct RegCalls {
    std::vector<SLPError> codes;
};

void recordReg(SLPHandle, SLPError err, void *cookie) { static_cast<RegCalls *>(cookie)->codes.push_back(err); }

class ClientTest : public testing::Test {
protected:
    void SetUp() override {
        port_ = agentPort();
        ASSERT_EQ(SLPOpen("en", SLP_FALSE, &handle_), SLP_OK);
    }
    void TearDown() override { SLPClose(handle_); }

    SLPError reg(const char *url = "service:x://h", const char *attrs = "(a=1)") {
        return SLPReg(handle_, url, SLP_LIFETIME_MAXIMUM, nullptr, attrs, SLP_TRUE, recordReg, &calls_);
    }

    uint16_t port_ = 0;
    SLPHandle handle_ = nullptr;
    RegCalls calls_;
};

Answer ackOk(const Bytes &request, int) { return {slptest::srvAck(request, 0), Answer::Keep}; }

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST_F(ClientTest, UnreachableAgentFailsAtOnceWithoutCallback) {
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(reg(), SLP_NETWORK_INIT_FAILED);
    EXPECT_EQ(SLPDereg(handle_, "service:x://h", recordReg, &calls_), SLP_NETWORK_INIT_FAILED);
    EXPECT_LT(secondsSince(start), 0.5);
    EXPECT_TRUE(calls_.codes.empty());
}

TEST_F(ClientTest, SilentAgentTimesOutAfterTheReplyWait) {
    ScriptedAgent agent(port_, [](const Bytes &, int) { return Answer{}; });
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(reg(), SLP_NETWORK_TIMED_OUT);
    double elapsed = secondsSince(start);
    EXPECT_GE(elapsed, kReplyWaitMs / 1000.0 * 0.95);
    EXPECT_LT(elapsed, kReplyWaitMs / 1000.0 + 2.0);
    EXPECT_TRUE(calls_.codes.empty());

    // The late-reply stream was dropped; the next request starts a new connection.
    EXPECT_EQ(reg(), SLP_NETWORK_TIMED_OUT);
    std::vector<slptest::Received> got = agent.received();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].connection, 2);
}

TEST_F(ClientTest, AckErrorReachesTheCallbackNegatedWhileTheCallSucceeds) {
    for (uint16_t wire : {0, 1, 3, 4, 10, 13, 15}) {
        ScriptedAgent agent(port_, [wire](const Bytes &r, int) { return Answer{slptest::srvAck(r, wire)}; });
        calls_.codes.clear();
        EXPECT_EQ(reg(), SLP_OK) << wire;
        EXPECT_EQ(calls_.codes, std::vector<SLPError>{-static_cast<SLPError>(wire)}) << wire;
        calls_.codes.clear();
        EXPECT_EQ(SLPDereg(handle_, "service:x://h", recordReg, &calls_), SLP_OK) << wire;
        EXPECT_EQ(calls_.codes, std::vector<SLPError>{-static_cast<SLPError>(wire)}) << wire;
        SLPClose(handle_);  // the next agent gets a fresh connection
        ASSERT_EQ(SLPOpen("en", SLP_FALSE, &handle_), SLP_OK);
    }
}

TEST_F(ClientTest, KeepsOneConnectionAcrossRequests) {
    ScriptedAgent agent(port_, ackOk);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(reg(), SLP_OK);
    std::vector<slptest::Received> got = agent.received();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[2].connection, 1);
}

TEST_F(ClientTest, ReconnectsOnceWhenTheAgentClosedTheKeptConnection) {
    enum Step { Ack, AckThenClose, CloseUnanswered };
    struct Case {
        const char *what;
        std::vector<Step> steps;  // the agent's answer to each request it receives, in order
        SLPError second;          // result of the second registration
        int lastConnection;       // connection that carried the last request
    } cases[] = {
        {"closed after the first reply", {AckThenClose, Ack}, SLP_OK, 2},
        {"closed on reading the second request", {Ack, CloseUnanswered, Ack}, SLP_OK, 2},
        {"closed again after the reconnect", {Ack, CloseUnanswered, CloseUnanswered}, SLP_NETWORK_ERROR, 2},
    };
    for (const Case &c : cases) {
        std::atomic<size_t> next{0};
        ScriptedAgent agent(port_, [&c, &next](const Bytes &r, int) {
            switch (c.steps.at(next++)) {
            case Ack: return Answer{slptest::srvAck(r, 0)};
            case AckThenClose: return Answer{slptest::srvAck(r, 0), Answer::Close};
            case CloseUnanswered: break;
            }
            return Answer{{}, Answer::Close};
        });
        calls_.codes.clear();
        EXPECT_EQ(reg(), SLP_OK) << c.what;
        EXPECT_EQ(reg(), c.second) << c.what;
        std::vector<slptest::Received> got = agent.received();
        ASSERT_EQ(got.size(), c.steps.size()) << c.what;
        EXPECT_EQ(got.back().connection, c.lastConnection) << c.what;
        EXPECT_EQ(calls_.codes.size(), c.second == SLP_OK ? 2u : 1u) << c.what;
        SLPClose(handle_);
        ASSERT_EQ(SLPOpen("en", SLP_FALSE, &handle_), SLP_OK);
    }
}

TEST_F(ClientTest, NoReconnectOnAFreshConnection) {
    ScriptedAgent agent(port_, [](const Bytes &, int) { return Answer{{}, Answer::Close}; });
    EXPECT_EQ(reg(), SLP_NETWORK_ERROR);
    EXPECT_EQ(agent.received().size(), 1u);
    EXPECT_TRUE(calls_.codes.empty());
}

TEST_F(ClientTest, UnusableRepliesFailWithNetworkError) {
    struct Case {
        const char *what;
        std::function<Bytes(const Bytes &request)> reply;
    } cases[] = {
        {"other XID",
         [](const Bytes &r) {
             Bytes b = slptest::srvAck(r, 0);
             b[11] ^= 1;
             return b;
         }},
        {"other function",
         [](const Bytes &r) {
             slpv2::AttrRply rply;
             Bytes b;
             EXPECT_TRUE(slpv2::encodeAttrRply(slptest::replyHeaderFor(r), rply, &b));
             return b;
         }},
        {"version 1",
         [](const Bytes &r) {
             Bytes b = slptest::srvAck(r, 0);
             b[0] = 1;
             return b;
         }},
        {"Length below the header",
         [](const Bytes &r) {
             Bytes b = slptest::srvAck(r, 0);
             b[4] = 10;
             return b;
         }},
        {"body cut short",
         [](const Bytes &r) {
             Bytes b = slptest::srvAck(r, 0);
             b.pop_back();
             b[4] = static_cast<uint8_t>(b.size());
             return b;
         }},
        {"reply broken off",
         [](const Bytes &r) {
             Bytes b = slptest::srvAck(r, 0);
             b.pop_back();
             return b;
         }},
        {"mandatory extension",
         [](const Bytes &r) {
             Bytes b = slptest::srvAck(r, 0);
             size_t at = b.size();
             b.insert(b.end(), {0x40, 0x00, 0, 0, 0});
             b[4] = static_cast<uint8_t>(b.size());
             b[9] = static_cast<uint8_t>(at);
             return b;
         }},
    };
    for (const Case &c : cases) {
        ScriptedAgent agent(port_, [&c](const Bytes &r, int) { return Answer{c.reply(r), Answer::Close}; });
        calls_.codes.clear();
        EXPECT_EQ(reg(), SLP_NETWORK_ERROR) << c.what;
        EXPECT_TRUE(calls_.codes.empty()) << c.what;
        SLPClose(handle_);
        ASSERT_EQ(SLPOpen("en", SLP_FALSE, &handle_), SLP_OK);
    }
}

TEST_F(ClientTest, BadArgumentsAreRefusedWithoutTraffic) {
    ScriptedAgent agent(port_, ackOk);
    struct Case {
        const char *what;
        SLPError expected;
        std::function<SLPError(SLPHandle, RegCalls *)> call;
    } cases[] = {
        {"NULL handle", SLP_PARAMETER_BAD,
         [](SLPHandle, RegCalls *c) { return SLPReg(nullptr, "service:x://h", 1, "", "", SLP_TRUE, recordReg, c); }},
        {"NULL URL", SLP_PARAMETER_BAD,
         [](SLPHandle h, RegCalls *c) { return SLPReg(h, nullptr, 1, "", "", SLP_TRUE, recordReg, c); }},
        {"empty URL", SLP_PARAMETER_BAD,
         [](SLPHandle h, RegCalls *c) { return SLPReg(h, "", 1, "", "", SLP_TRUE, recordReg, c); }},
        {"lifetime 0", SLP_PARAMETER_BAD,
         [](SLPHandle h, RegCalls *c) { return SLPReg(h, "service:x://h", 0, "", "", SLP_TRUE, recordReg, c); }},
        {"NULL attributes", SLP_PARAMETER_BAD,
         [](SLPHandle h, RegCalls *c) { return SLPReg(h, "service:x://h", 1, "", nullptr, SLP_TRUE, recordReg, c); }},
        {"NULL callback", SLP_PARAMETER_BAD,
         [](SLPHandle h, RegCalls *c) { return SLPReg(h, "service:x://h", 1, "", "", SLP_TRUE, nullptr, c); }},
        {"incremental", SLP_NOT_IMPLEMENTED,
         [](SLPHandle h, RegCalls *c) { return SLPReg(h, "service:x://h", 1, "", "", SLP_FALSE, recordReg, c); }},
        {"URL without ://", SLP_INVALID_REGISTRATION,
         [](SLPHandle h, RegCalls *c) { return SLPReg(h, "service:x:h", 1, "", "", SLP_TRUE, recordReg, c); }},
        {"dereg NULL URL", SLP_PARAMETER_BAD, [](SLPHandle h, RegCalls *c) { return SLPDereg(h, nullptr, recordReg, c); }},
        {"dereg NULL callback", SLP_PARAMETER_BAD,
         [](SLPHandle h, RegCalls *c) { return SLPDereg(h, "service:x://h", nullptr, c); }},
        {"dereg URL without ://", SLP_INVALID_REGISTRATION,
         [](SLPHandle h, RegCalls *c) { return SLPDereg(h, "://h", recordReg, c); }},
        {"delattrs without tags", SLP_PARAMETER_BAD,
         [](SLPHandle h, RegCalls *c) { return SLPDelAttrs(h, "service:x://h", "", recordReg, c); }},
        {"findsrvs without type", SLP_PARAMETER_BAD,
         [](SLPHandle h, RegCalls *) {
             return SLPFindSrvs(h, "", nullptr, nullptr, [](SLPHandle, const char *, unsigned short, SLPError, void *) {
                 return SLP_TRUE;
             }, nullptr);
         }},
        {"findsrvtypes IANA", SLP_PARAMETER_BAD,
         [](SLPHandle h, RegCalls *) {
             return SLPFindSrvTypes(h, "IANA", nullptr, [](SLPHandle, const char *, SLPError, void *) {
                 return SLP_TRUE;
             }, nullptr);
         }},
        {"findattrs NULL callback", SLP_PARAMETER_BAD,
         [](SLPHandle h, RegCalls *) { return SLPFindAttrs(h, "service:x", nullptr, nullptr, nullptr, nullptr); }},
    };
    for (const Case &c : cases) EXPECT_EQ(c.call(handle_, &calls_), c.expected) << c.what;
    EXPECT_TRUE(calls_.codes.empty());
    EXPECT_TRUE(agent.received().empty());
}

TEST_F(ClientTest, SendsRegistrationsAsOpenSlpDoes) {
    ScriptedAgent agent(port_, ackOk);
    ASSERT_EQ(reg("service:io-device.3873:59://fd00:ab::40", "(x=(y),z"), SLP_OK);
    ASSERT_EQ(SLPDereg(handle_, "service:io-device.3873:59://fd00:ab::40", recordReg, &calls_), SLP_OK);
    ASSERT_EQ(SLPDelAttrs(handle_, "service:x://h", "a,b*", recordReg, &calls_), SLP_OK);
    std::vector<slptest::Received> got = agent.received();
    ASSERT_EQ(got.size(), 3u);

    slpv2::Header h;
    slpv2::SrvReg reg;
    ASSERT_EQ(slpv2::decodeSrvReg(got[0].message.data(), got[0].message.size(), &h, &reg), slpv2::DecodeStatus::Ok);
    EXPECT_EQ(h.flags, slpv2::kFlagFresh);
    EXPECT_EQ(h.language, "en");
    EXPECT_EQ(reg.entry.lifetime, 65535);
    EXPECT_EQ(reg.entry.url, "service:io-device.3873:59://fd00:ab::40");
    EXPECT_EQ(reg.serviceType, "service:io-device.3873:59");
    EXPECT_EQ(reg.scopes, "DEFAULT");
    EXPECT_EQ(reg.attributes, "(x=(y),z");
    EXPECT_TRUE(reg.hasProcessId);
    EXPECT_EQ(reg.processId, static_cast<uint32_t>(getpid()));
    uint16_t firstXid = h.xid;

    slpv2::SrvDeReg dereg;
    ASSERT_EQ(slpv2::decodeSrvDeReg(got[1].message.data(), got[1].message.size(), &h, &dereg),
              slpv2::DecodeStatus::Ok);
    EXPECT_EQ(h.flags, 0);
    EXPECT_EQ(dereg.scopes, "DEFAULT");
    EXPECT_EQ(dereg.entry.lifetime, 0);
    EXPECT_EQ(dereg.entry.url, "service:io-device.3873:59://fd00:ab::40");
    EXPECT_EQ(dereg.tags, "");
    EXPECT_NE(h.xid, firstXid);
    EXPECT_NE(h.xid, 0);

    ASSERT_EQ(slpv2::decodeSrvDeReg(got[2].message.data(), got[2].message.size(), &h, &dereg),
              slpv2::DecodeStatus::Ok);
    EXPECT_EQ(dereg.tags, "a,b*");
}

TEST_F(ClientTest, OpenChecksItsArgumentsAndSetsTheLanguage) {
    SLPHandle h = reinterpret_cast<SLPHandle>(1);
    EXPECT_EQ(SLPOpen("en", SLP_TRUE, &h), SLP_NOT_IMPLEMENTED);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(SLPOpen("en", SLP_FALSE, nullptr), SLP_PARAMETER_BAD);

    ScriptedAgent agent(port_, ackOk);
    for (const char *lang : std::vector<const char *>{"de", "", nullptr}) {
        ASSERT_EQ(SLPOpen(lang, SLP_FALSE, &h), SLP_OK);
        EXPECT_EQ(SLPReg(h, "service:x://h", 1, nullptr, "", SLP_TRUE, recordReg, &calls_), SLP_OK);
        SLPClose(h);
    }
    std::vector<slptest::Received> got = agent.received();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(slptest::replyHeaderFor(got[0].message).language, "de");
    EXPECT_EQ(slptest::replyHeaderFor(got[1].message).language, "en");
    EXPECT_EQ(slptest::replyHeaderFor(got[2].message).language, "en");
}

struct Reentry {
    SLPError inner = SLP_OK;
    bool closeInside = false;
};

void reenter(SLPHandle h, SLPError, void *cookie) {
    auto *r = static_cast<Reentry *>(cookie);
    r->inner = SLPReg(h, "service:x://h", 1, nullptr, "", SLP_TRUE, reenter, cookie);
    if (r->closeInside) SLPClose(h);
}

TEST_F(ClientTest, SameHandleFromItsCallbackIsInUse) {
    ScriptedAgent agent(port_, ackOk);
    Reentry r;
    EXPECT_EQ(SLPReg(handle_, "service:x://h", 1, nullptr, "", SLP_TRUE, reenter, &r), SLP_OK);
    EXPECT_EQ(r.inner, SLP_HANDLE_IN_USE);
    EXPECT_EQ(agent.received().size(), 1u);

    // Closing the handle from its own callback takes effect once the call returns.
    r.closeInside = true;
    EXPECT_EQ(SLPReg(handle_, "service:x://h", 1, nullptr, "", SLP_TRUE, reenter, &r), SLP_OK);
    EXPECT_EQ(SLPReg(handle_, "service:x://h", 1, nullptr, "", SLP_TRUE, recordReg, &calls_), SLP_PARAMETER_BAD);
    handle_ = nullptr;
}

size_t openDescriptors() {
    size_t n = 0;
    DIR *d = opendir("/proc/self/fd");
    while (readdir(d) != nullptr) ++n;
    closedir(d);
    return n;
}

TEST_F(ClientTest, ClosingHandlesLeavesNoDescriptorBehind) {
    SLPClose(handle_);
    handle_ = nullptr;
    size_t before = openDescriptors();
    {
        ScriptedAgent agent(port_, ackOk);
        for (int i = 0; i < 5; ++i) {
            SLPHandle h = nullptr;
            ASSERT_EQ(SLPOpen("", SLP_FALSE, &h), SLP_OK);
            EXPECT_EQ(SLPReg(h, "service:x://h", 1, nullptr, "", SLP_TRUE, recordReg, &calls_), SLP_OK);
            SLPClose(h);
        }
    }
    SLPHandle h = nullptr;
    ASSERT_EQ(SLPOpen("", SLP_FALSE, &h), SLP_OK);
    EXPECT_EQ(SLPReg(h, "service:x://h", 1, nullptr, "", SLP_TRUE, recordReg, &calls_), SLP_NETWORK_INIT_FAILED);
    SLPClose(h);
    EXPECT_EQ(openDescriptors(), before);
    SLPClose(nullptr);  // silently ignored
}

// --- Finds -------------------------------------------------------------------------------

struct Found {
    std::vector<std::string> items;  // "LAST" for the final call
    std::vector<SLPError> codes;
    size_t stopAfter = 0;            // return SLP_FALSE on this call (1-based), 0 = never
};

SLPBoolean record(Found *f, const char *item, SLPError err) {
    f->items.push_back(item == nullptr ? "LAST" : item);
    f->codes.push_back(err);
    return f->items.size() == f->stopAfter ? SLP_FALSE : SLP_TRUE;
}

SLPBoolean onUrl(SLPHandle, const char *url, unsigned short, SLPError err, void *cookie) {
    return record(static_cast<Found *>(cookie), url, err);
}
SLPBoolean onText(SLPHandle, const char *text, SLPError err, void *cookie) {
    return record(static_cast<Found *>(cookie), text, err);
}

Answer srvRply(const Bytes &request, uint16_t error, std::vector<std::string> urls) {
    slpv2::SrvRply rply;
    rply.error = error;
    for (std::string &u : urls) rply.urls.push_back({300, std::move(u)});
    Bytes b;
    EXPECT_TRUE(slpv2::encodeSrvRply(slptest::replyHeaderFor(request), rply, &b));
    return {b};
}

TEST_F(ClientTest, FindSrvsReportsEachDistinctUrlThenLastCall) {
    struct Case {
        const char *what;
        uint16_t error;
        std::vector<std::string> urls;
        size_t stopAfter;
        std::vector<std::string> expected;
    } cases[] = {
        {"two URLs, one repeated", 0, {"service:x://a", "service:x://b", "service:x://a"}, 0,
         {"service:x://a", "service:x://b", "LAST"}},
        {"none", 0, {}, 0, {"LAST"}},
        {"stopped after the first", 0, {"service:x://a", "service:x://b"}, 1, {"service:x://a"}},
        {"error in the reply", 4, {}, 0, {"LAST"}},
    };
    for (const Case &c : cases) {
        ScriptedAgent agent(port_, [&c](const Bytes &r, int) { return srvRply(r, c.error, c.urls); });
        Found f;
        f.stopAfter = c.stopAfter;
        EXPECT_EQ(SLPFindSrvs(handle_, "service:x", nullptr, nullptr, onUrl, &f), SLP_OK) << c.what;
        EXPECT_EQ(f.items, c.expected) << c.what;
        ASSERT_FALSE(f.codes.empty()) << c.what;
        EXPECT_EQ(f.codes.back(), c.stopAfter ? SLP_OK : SLP_LAST_CALL) << c.what;
        SLPClose(handle_);
        ASSERT_EQ(SLPOpen("en", SLP_FALSE, &handle_), SLP_OK);

        std::vector<slptest::Received> got = agent.received();
        ASSERT_EQ(got.size(), 1u);
        slpv2::Header h;
        slpv2::SrvRqst rqst;
        ASSERT_EQ(slpv2::decodeSrvRqst(got[0].message.data(), got[0].message.size(), &h, &rqst),
                  slpv2::DecodeStatus::Ok);
        EXPECT_EQ(rqst.serviceType, "service:x");
        EXPECT_EQ(rqst.scopes, "DEFAULT");
        EXPECT_EQ(rqst.predicate, "");
    }
}

TEST_F(ClientTest, FindSrvTypesCollatesAndMapsTheNamingAuthority) {
    std::vector<slpv2::SrvTypeRqst> seen;
    ScriptedAgent agent(port_, [](const Bytes &r, int) {
        slpv2::SrvTypeRply rply;
        rply.types = "service:a,service:b:x,service:a";
        Bytes b;
        EXPECT_TRUE(slpv2::encodeSrvTypeRply(slptest::replyHeaderFor(r), rply, &b));
        return Answer{b};
    });
    for (const char *na : {"*", "", "3873"}) {
        Found f;
        EXPECT_EQ(SLPFindSrvTypes(handle_, na, "", onText, &f), SLP_OK) << na;
        EXPECT_EQ(f.items, (std::vector<std::string>{"service:a,service:b:x", "LAST"})) << na;
    }
    std::vector<slptest::Received> got = agent.received();
    ASSERT_EQ(got.size(), 3u);
    struct Expected {
        bool all;
        const char *na;
    } expected[] = {{true, ""}, {false, ""}, {false, "3873"}};
    for (size_t i = 0; i < 3; ++i) {
        slpv2::Header h;
        slpv2::SrvTypeRqst rqst;
        ASSERT_EQ(slpv2::decodeSrvTypeRqst(got[i].message.data(), got[i].message.size(), &h, &rqst),
                  slpv2::DecodeStatus::Ok);
        EXPECT_EQ(rqst.allAuthorities, expected[i].all);
        EXPECT_EQ(rqst.namingAuthority, expected[i].na);
        EXPECT_EQ(rqst.scopes, "DEFAULT");
    }
}

TEST_F(ClientTest, FindAttrsReportsTheListVerbatim) {
    struct Case {
        const char *what;
        uint16_t error;
        const char *attributes;
        std::vector<std::string> expected;
    } cases[] = {
        {"list", 0, "(a=(https://h:1),b", {"(a=(https://h:1),b", "LAST"}},
        {"empty", 0, "", {"LAST"}},
        {"error", 1, "", {"LAST"}},
    };
    for (const Case &c : cases) {
        ScriptedAgent agent(port_, [&c](const Bytes &r, int) {
            slpv2::AttrRply rply;
            rply.error = c.error;
            rply.attributes = c.attributes;
            Bytes b;
            EXPECT_TRUE(slpv2::encodeAttrRply(slptest::replyHeaderFor(r), rply, &b));
            return Answer{b};
        });
        Found f;
        EXPECT_EQ(SLPFindAttrs(handle_, "service:x://h", nullptr, "a,b", onText, &f), SLP_OK) << c.what;
        EXPECT_EQ(f.items, c.expected) << c.what;
        SLPClose(handle_);
        ASSERT_EQ(SLPOpen("en", SLP_FALSE, &handle_), SLP_OK);

        slpv2::Header h;
        slpv2::AttrRqst rqst;
        std::vector<slptest::Received> got = agent.received();
        ASSERT_EQ(got.size(), 1u);
        ASSERT_EQ(slpv2::decodeAttrRqst(got[0].message.data(), got[0].message.size(), &h, &rqst),
                  slpv2::DecodeStatus::Ok);
        EXPECT_EQ(rqst.urlOrType, "service:x://h");
        EXPECT_EQ(rqst.tags, "a,b");
    }
}

TEST_F(ClientTest, FindScopesGivesTheConfiguredScopes) {
    char *scopes = nullptr;
    ASSERT_EQ(SLPFindScopes(handle_, &scopes), SLP_OK);
    EXPECT_STREQ(scopes, "DEFAULT");
    SLPFree(scopes);
    EXPECT_EQ(SLPFindScopes(nullptr, &scopes), SLP_PARAMETER_BAD);
    EXPECT_EQ(scopes, nullptr);
    EXPECT_EQ(SLPGetRefreshInterval(), 0);
}

}  // namespace
