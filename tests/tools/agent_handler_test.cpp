// The agent's request handling, driven with encoded messages and an injected clock.
#include "handler.h"
#include "slp_message.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace slpagent {
namespace {

constexpr char kWbemUrl[] = "service:wbem:https://192.0.2.10:5989";
constexpr char kIoUrl[] = "service:io-device.3873:59://10.20.30.40";
constexpr char kBrokenList[] =
    "(template-type=wbem),(template-url-syntax=(https://192.0.2.10:5989),"
    "(service-location-tcp=(https://192.0.2.10:5989)";

slpv2::Header header(const std::string &language = "en", uint16_t flags = 0) {
    slpv2::Header h;
    h.xid = 0x1234;
    h.language = language;
    h.flags = flags;
    return h;
}

std::vector<uint8_t> srvReg(const std::string &url, const std::string &attrs, uint16_t lifetime = 65535,
                            const std::string &scopes = "DEFAULT", const std::string &language = "en",
                            uint16_t flags = slpv2::kFlagFresh, uint32_t pid = 0) {
    slpv2::SrvReg body;
    body.entry = {lifetime, url};
    body.serviceType = url.substr(0, url.find("://"));
    body.scopes = scopes;
    body.attributes = attrs;
    body.hasProcessId = pid != 0;
    body.processId = pid;
    std::vector<uint8_t> out;
    EXPECT_TRUE(slpv2::encodeSrvReg(header(language, flags), body, &out));
    return out;
}

std::vector<uint8_t> srvDeReg(const std::string &url, const std::string &tags = "") {
    std::vector<uint8_t> out;
    EXPECT_TRUE(slpv2::encodeSrvDeReg(header(), slpv2::SrvDeReg{"DEFAULT", {0, url}, tags}, &out));
    return out;
}

std::vector<uint8_t> srvRqst(const std::string &type, const std::string &predicate = "",
                             const std::string &scopes = "DEFAULT", uint16_t flags = 0) {
    std::vector<uint8_t> out;
    EXPECT_TRUE(slpv2::encodeSrvRqst(header("en", flags), slpv2::SrvRqst{"", type, scopes, predicate, ""}, &out));
    return out;
}

std::vector<uint8_t> attrRqst(const std::string &urlOrType, const std::string &tags = "",
                              const std::string &language = "en") {
    std::vector<uint8_t> out;
    EXPECT_TRUE(slpv2::encodeAttrRqst(header(language), slpv2::AttrRqst{"", urlOrType, "DEFAULT", tags, ""}, &out));
    return out;
}

class HandlerTest : public ::testing::Test {
protected:
    Outcome send(const std::vector<uint8_t> &message, int64_t nowMs = 0) {
        return handleMessage(&registry_, message.data(), message.size(), nowMs, options_);
    }

    uint16_t ackError(const std::vector<uint8_t> &message, int64_t nowMs = 0) {
        Outcome outcome = send(message, nowMs);
        slpv2::Header h;
        slpv2::SrvAck ack;
        EXPECT_EQ(slpv2::decodeSrvAck(outcome.reply.data(), outcome.reply.size(), &h, &ack), slpv2::DecodeStatus::Ok);
        EXPECT_EQ(h.xid, 0x1234);
        return ack.error;
    }

    slpv2::SrvRply find(const std::vector<uint8_t> &message, int64_t nowMs = 0) {
        Outcome outcome = send(message, nowMs);
        slpv2::Header h;
        slpv2::SrvRply reply;
        EXPECT_EQ(slpv2::decodeSrvRply(outcome.reply.data(), outcome.reply.size(), &h, &reply), slpv2::DecodeStatus::Ok);
        return reply;
    }

    std::vector<std::string> findUrls(const std::string &type, const std::string &predicate = "") {
        std::vector<std::string> urls;
        for (const slpv2::UrlEntry &e : find(srvRqst(type, predicate)).urls) urls.push_back(e.url);
        return urls;
    }

    slpv2::AttrRply attrs(const std::vector<uint8_t> &message) {
        Outcome outcome = send(message);
        slpv2::Header h;
        slpv2::AttrRply reply;
        EXPECT_EQ(slpv2::decodeAttrRply(outcome.reply.data(), outcome.reply.size(), &h, &reply), slpv2::DecodeStatus::Ok);
        return reply;
    }

    Registry registry_;
    HandlerOptions options_;
};

TEST_F(HandlerTest, TypeMatchingFollowsAbstractTypeRules) {
    ASSERT_EQ(ackError(srvReg(kWbemUrl, "")), kOk);
    ASSERT_EQ(ackError(srvReg(kIoUrl, "")), kOk);
    const struct {
        const char *request;
        std::vector<std::string> found;
    } cases[] = {
        {"service:wbem", {kWbemUrl}},
        {"service:wbem:https", {kWbemUrl}},
        {"SERVICE:WBEM:HTTPS", {kWbemUrl}},
        {"service:wbem:http", {}},
        {"service:io-device.3873", {kIoUrl}},
        {"service:io-device.3873:59", {kIoUrl}},
        {"service:io-device", {}},
        {"service:io-device.3873:60", {}},
        {"service:io-device.3874", {}},
    };
    for (const auto &c : cases) EXPECT_EQ(findUrls(c.request), c.found) << c.request;
}

TEST_F(HandlerTest, SrvTypeRqstFiltersByNamingAuthority) {
    ASSERT_EQ(ackError(srvReg(kWbemUrl, "")), kOk);
    ASSERT_EQ(ackError(srvReg(kIoUrl, "")), kOk);
    ASSERT_EQ(ackError(srvReg("service:wbem:https://192.0.2.11:5989", "")), kOk);
    const struct {
        bool all;
        const char *authority;
        const char *types;
    } cases[] = {
        {true, "", "service:io-device.3873:59,service:wbem:https"},
        {false, "", "service:wbem:https"},
        {false, "3873", "service:io-device.3873:59"},
        {false, "9999", ""},
    };
    for (const auto &c : cases) {
        std::vector<uint8_t> message;
        ASSERT_TRUE(slpv2::encodeSrvTypeRqst(header(), slpv2::SrvTypeRqst{"", c.all, c.authority, "DEFAULT"}, &message));
        Outcome outcome = send(message);
        slpv2::Header h;
        slpv2::SrvTypeRply reply;
        ASSERT_EQ(slpv2::decodeSrvTypeRply(outcome.reply.data(), outcome.reply.size(), &h, &reply), slpv2::DecodeStatus::Ok);
        EXPECT_EQ(reply.types, c.types) << c.authority;
    }
}

TEST_F(HandlerTest, RegistrationChecksAnswerWithProtocolErrors) {
    const struct {
        std::vector<uint8_t> message;
        uint16_t error;
    } cases[] = {
        {srvReg(kWbemUrl, "", 0), kInvalidRegistration},
        {srvReg("", ""), kInvalidRegistration},
        {srvReg(kWbemUrl, "", 60, "DEFAULT", ""), kInvalidRegistration},
        {srvReg(kWbemUrl, "", 60, "other"), kScopeNotSupported},
        {srvReg(kWbemUrl, "", 60, "", "en"), kScopeNotSupported},
        {srvReg(kWbemUrl, "", 60, " default ,x"), kOk},
        {srvReg(kIoUrl, "(a=1)", 60, "DEFAULT", "en", 0), kInvalidUpdate},  // incremental, nothing to update
        {srvDeReg("service:unknown://h"), kInvalidRegistration},
    };
    for (const auto &c : cases) EXPECT_EQ(ackError(c.message), c.error);
}

TEST_F(HandlerTest, LookupsCheckScopeAndType) {
    EXPECT_EQ(find(srvRqst("service:wbem", "", "other")).error, kScopeNotSupported);
    EXPECT_EQ(find(srvRqst("service:wbem", "", "")).error, kScopeNotSupported);
    EXPECT_EQ(find(srvRqst("service:wbem", "", "x, Default ")).error, kOk);
    EXPECT_EQ(find(srvRqst("")).error, kParseError);
    EXPECT_EQ(find(srvRqst("service:wbem", "(unclosed=1")).error, kParseError);
    EXPECT_EQ(find(srvRqst("service:wbem", std::string(100, '(') + "a=1" + std::string(100, ')'))).error, kParseError);
}

TEST_F(HandlerTest, AttributeListsAreStoredAndReturnedByteForByte) {
    const std::string lists[] = {
        kBrokenList, "(a=(https://h:1)", "(x=),(),\\,(data_protocols=fc)", "(x=4,true),(y=<=>!~)",
        "Basic Read,Basic Write", " (padded = yes) ,", "(name=M\xc3\xbcller),(z=\\FF\\00)",
    };
    for (const std::string &list : lists) {
        ASSERT_EQ(ackError(srvReg(kWbemUrl, list)), kOk) << list;
        EXPECT_EQ(attrs(attrRqst(kWbemUrl)).attributes, list);
    }
}

TEST_F(HandlerTest, TagListFiltersOnlyCleanLists) {
    ASSERT_EQ(ackError(srvReg(kIoUrl, "(Location=Rack 4),(loc-x=1),keyword,(other=2)")), kOk);
    EXPECT_EQ(attrs(attrRqst(kIoUrl, "loc*,KEYWORD")).attributes, "(Location=Rack 4),(loc-x=1),keyword");
    EXPECT_EQ(attrs(attrRqst(kIoUrl, "none")).attributes, "");
    ASSERT_EQ(ackError(srvReg(kWbemUrl, kBrokenList)), kOk);
    EXPECT_EQ(attrs(attrRqst(kWbemUrl, "template-type")).attributes, kBrokenList);
}

TEST_F(HandlerTest, AttrRqstByTypeUnitesAndByUrlHonoursLanguage) {
    ASSERT_EQ(ackError(srvReg(kWbemUrl, "(a=1),(b=2)")), kOk);
    ASSERT_EQ(ackError(srvReg("service:wbem:http://192.0.2.10:5988", "(a=1),(c=3)")), kOk);
    EXPECT_EQ(attrs(attrRqst("service:wbem")).attributes, "(a=1),(c=3),(b=2)");
    EXPECT_EQ(attrs(attrRqst(kWbemUrl, "", "de")).error, kLanguageNotSupported);
    EXPECT_EQ(attrs(attrRqst("service:none://x")).attributes, "");
}

TEST_F(HandlerTest, FreshRegistrationReplacesAndIncrementalMerges) {
    ASSERT_EQ(ackError(srvReg(kWbemUrl, "(a=1),(b=2),(c=3)", 300)), kOk);
    ASSERT_EQ(ackError(srvReg(kWbemUrl, "(c=30),(d=40)", 300, "DEFAULT", "en", 0)), kOk);
    EXPECT_EQ(attrs(attrRqst(kWbemUrl)).attributes, "(a=1),(b=2),(c=30),(d=40)");
    Outcome outcome = send(srvReg(kWbemUrl, "(new=1)", 120));
    EXPECT_EQ(outcome.lines, (std::vector<std::string>{std::string("registered ") + kWbemUrl + " lifetime 120",
                                                       "  attributes (new=1)"}));
    EXPECT_EQ(attrs(attrRqst(kWbemUrl)).attributes, "(new=1)");
    EXPECT_EQ(find(srvRqst("service:wbem")).urls.at(0).lifetime, 120);
    EXPECT_EQ(registry_.entries.size(), 1u);
}

TEST_F(HandlerTest, DeregistrationRemovesEveryLanguageOnce) {
    ASSERT_EQ(ackError(srvReg(kWbemUrl, "", 60, "DEFAULT", "en")), kOk);
    ASSERT_EQ(ackError(srvReg(kWbemUrl, "", 60, "DEFAULT", "de")), kOk);
    EXPECT_EQ(findUrls("service:wbem"), std::vector<std::string>{kWbemUrl});
    Outcome outcome = send(srvDeReg(kWbemUrl));
    EXPECT_EQ(outcome.lines, std::vector<std::string>{std::string("deregistered ") + kWbemUrl});
    EXPECT_TRUE(registry_.entries.empty());
    EXPECT_EQ(ackError(srvDeReg(kWbemUrl)), kInvalidRegistration);
}

TEST_F(HandlerTest, LifetimesCountDownOnTheInjectedClock) {
    ASSERT_EQ(ackError(srvReg(kIoUrl, "", 10), 1000), kOk);
    ASSERT_EQ(ackError(srvReg(kWbemUrl, "", 65535), 1000), kOk);
    const struct {
        int64_t nowMs;
        std::vector<uint16_t> lifetimes;  // io-device, then wbem (registry order)
    } cases[] = {
        {1000, {10, 65535}}, {1500, {10, 65535}}, {2000, {9, 65535}}, {10999, {1, 65535}}, {11000, {65535}},
    };
    for (const auto &c : cases) {
        std::vector<uint16_t> lifetimes;
        for (const auto &e : find(srvRqst("service:io-device.3873"), c.nowMs).urls) lifetimes.push_back(e.lifetime);
        for (const auto &e : find(srvRqst("service:wbem"), c.nowMs).urls) lifetimes.push_back(e.lifetime);
        EXPECT_EQ(lifetimes, c.lifetimes) << c.nowMs;
    }
    std::vector<std::string> lines;
    expireRegistrations(&registry_, int64_t{1} << 40, &lines);
    EXPECT_TRUE(lines.empty());

    // A shorter lifetime on re-registration expires at its own time.
    ASSERT_EQ(ackError(srvReg(kIoUrl, "", 100), 20000), kOk);
    ASSERT_EQ(find(srvRqst("service:io-device.3873"), 21000).urls.size(), 1u);
    ASSERT_EQ(ackError(srvReg(kIoUrl, "", 2), 21000), kOk);
    EXPECT_TRUE(find(srvRqst("service:io-device.3873"), 23000).urls.empty());

    options_.strictLifetimes = true;
    ASSERT_EQ(ackError(srvReg(kWbemUrl, "", 65535), 0), kOk);
    EXPECT_EQ(send(srvRqst("service:wbem"), 65535 * 1000).lines, std::vector<std::string>{std::string("expired ") + kWbemUrl});
    EXPECT_TRUE(registry_.entries.empty());
}

TEST_F(HandlerTest, ExitedProcessesLoseTheirRegistrations) {
    ASSERT_EQ(ackError(srvReg(kWbemUrl, "", 65535, "DEFAULT", "en", slpv2::kFlagFresh, 100)), kOk);
    ASSERT_EQ(ackError(srvReg(kIoUrl, "", 65535, "DEFAULT", "en", slpv2::kFlagFresh, 200)), kOk);
    ASSERT_EQ(ackError(srvReg("service:x://h", "", 65535)), kOk);  // no process id: kept
    std::vector<uint32_t> asked;
    std::vector<std::string> lines;
    dropExitedProcesses(&registry_, [&asked](uint32_t pid) { asked.push_back(pid); return pid != 200; }, &lines);
    EXPECT_EQ(lines, std::vector<std::string>{std::string("dropped ") + kIoUrl + " process 200 exited"});
    EXPECT_EQ(registry_.entries.size(), 2u);
    EXPECT_EQ(asked.size(), 2u);
}

TEST_F(HandlerTest, PredicatesAreEvaluatedSafelyOverAnyList) {
    ASSERT_EQ(ackError(srvReg(kWbemUrl, std::string(kBrokenList) + ",(port=5989),(roles=Basic Read,Basic Write)")), kOk);
    const struct {
        const char *filter;
        bool found;
    } cases[] = {
        {"(template-type=wbem)", true},      {"(template-type=WBEM)", true},
        {"(template-type=slp)", false},      {"(template-url-syntax=*)", true},
        {"(port>=5000)", true},              {"(port<=999)", false},
        {"(roles=basic write)", true},       {"(roles=basic*)", true},
        {"(&(port=5989)(!(x=*)))", true},    {"(|(x=1)(template-type=w*m))", true},
        {"(service-location-tcp=*5989*)", true},
    };
    for (const auto &c : cases) EXPECT_EQ(findUrls("service:wbem", c.filter).size(), c.found ? 1u : 0u) << c.filter;
}

TEST_F(HandlerTest, MalformedInputIsDroppedOrAnsweredWithParseError) {
    ASSERT_EQ(ackError(srvReg(kWbemUrl, "(a=1)")), kOk);
    std::vector<uint8_t> good = srvReg(kIoUrl, "(a=1)");
    auto patched = [&good](size_t at, uint8_t value) {
        std::vector<uint8_t> m = good;
        m[at] = value;
        return m;
    };
    const std::vector<uint8_t> dropped[] = {
        {}, {2}, {2, 3, 0, 0, 5, 0}, patched(0, 1), patched(1, 0), patched(1, 12), patched(4, 200),
        patched(5, 0x01),  // reserved flag bit
        std::vector<uint8_t>(good.begin(), good.end() - 1),
    };
    for (const auto &m : dropped) {
        Outcome outcome = send(m);
        EXPECT_TRUE(outcome.reply.empty());
        EXPECT_TRUE(outcome.lines.empty());
    }
    // An intact header with a body running past its end: PARSE_ERROR, nothing stored.
    EXPECT_EQ(ackError(patched(19, 0xFF)), kParseError);
    EXPECT_EQ(registry_.entries.size(), 1u);
}

TEST_F(HandlerTest, MulticastAndPreviousResponderGetSilence) {
    EXPECT_TRUE(send(srvRqst("service:none", "", "DEFAULT", slpv2::kFlagRequestMcast)).reply.empty());
    EXPECT_TRUE(send(srvRqst("service:none", "", "other", slpv2::kFlagRequestMcast)).reply.empty());
    std::vector<uint8_t> m;
    ASSERT_TRUE(slpv2::encodeSrvRqst(header(), slpv2::SrvRqst{"10.0.0.1,127.0.0.1", "service:x", "DEFAULT", "", ""}, &m));
    EXPECT_TRUE(send(m).reply.empty());
}

TEST_F(HandlerTest, DatagramRepliesAreCutToWholeEntriesWithOverflow) {
    for (int i = 0; i < 60; ++i) {
        ASSERT_EQ(ackError(srvReg("service:wbem:https://192.0.2." + std::to_string(i) + ":5989", "")), kOk);
    }
    options_.maxReplySize = kDatagramMtu;
    Outcome outcome = send(srvRqst("service:wbem"));
    ASSERT_LE(outcome.reply.size(), kDatagramMtu);
    slpv2::Header h;
    slpv2::SrvRply reply;
    ASSERT_EQ(slpv2::decodeSrvRply(outcome.reply.data(), outcome.reply.size(), &h, &reply), slpv2::DecodeStatus::Ok);
    EXPECT_EQ(h.flags, slpv2::kFlagOverflow);
    EXPECT_GT(reply.urls.size(), 30u);
    EXPECT_LT(reply.urls.size(), 60u);
}

}  // namespace
}  // namespace slpagent
