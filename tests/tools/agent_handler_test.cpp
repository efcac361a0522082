// The agent's request handling, driven with encoded messages and an injected clock.
#include "handler.h"
#include "slp_message.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace slpagent {
namespace {

using Bytes = std::vector<uint8_t>;
using Urls = std::vector<std::string>;

constexpr uint16_t kNoReply = 0xFFFF;
constexpr char kWbemUrl[] = "service:wbem:https://192.0.2.10:5989";
constexpr char kIoUrl[] = "service:io-device.3873:59://10.20.30.40";
constexpr char kBrokenList[] = "(template-type=wbem),(template-url-syntax=(https://192.0.2.10:5989),"
                               "(service-location-tcp=(https://192.0.2.10:5989)";

template <typename Body>
Bytes encode(bool (*encoder)(const slpv2::Header &, const Body &, Bytes *), const Body &body,
             const std::string &language = "en", uint16_t flags = 0) {
    slpv2::Header h;
    h.xid = 0x1234;
    h.language = language;
    h.flags = flags;
    Bytes out;
    EXPECT_TRUE(encoder(h, body, &out));
    return out;
}

Bytes srvReg(const std::string &url, const std::string &attrs, uint16_t lifetime = 65535,
             const std::string &scopes = "DEFAULT", const std::string &language = "en", uint32_t pid = 0) {
    slpv2::SrvReg body{{lifetime, url}, url.substr(0, url.find("://")), scopes, attrs, pid != 0, pid};
    return encode(slpv2::encodeSrvReg, body, language, slpv2::kFlagFresh);
}

Bytes srvDeReg(const std::string &url) {
    return encode(slpv2::encodeSrvDeReg, slpv2::SrvDeReg{"DEFAULT", {0, url}, ""});
}

Bytes srvRqst(const std::string &type, const std::string &predicate = "", const std::string &scopes = "DEFAULT") {
    return encode(slpv2::encodeSrvRqst, slpv2::SrvRqst{"", type, scopes, predicate, ""});
}

Bytes attrRqst(const std::string &urlOrType, const std::string &tags = "", const std::string &language = "en") {
    return encode(slpv2::encodeAttrRqst, slpv2::AttrRqst{"", urlOrType, "DEFAULT", tags, ""}, language);
}

class HandlerTest : public ::testing::Test {
protected:
    Outcome send(const Bytes &message, int64_t nowMs = 0) {
        return handleMessage(&registry_, message.data(), message.size(), nowMs, options_);
    }

    template <typename Body>
    Body reply(slpv2::DecodeStatus (*decoder)(const uint8_t *, size_t, slpv2::Header *, Body *), const Bytes &message,
               int64_t nowMs = 0) {
        Outcome outcome = send(message, nowMs);
        slpv2::Header h;
        Body body;
        EXPECT_EQ(decoder(outcome.reply.data(), outcome.reply.size(), &h, &body), slpv2::DecodeStatus::Ok);
        EXPECT_EQ(h.xid, 0x1234);
        return body;
    }

    // The error code every reply carries right after its header, which ends with the language tag.
    uint16_t code(const Bytes &message, int64_t nowMs = 0) {
        const Bytes r = send(message, nowMs).reply;
        if (r.size() < 14) return kNoReply;
        const size_t at = 14 + (r[12] << 8 | r[13]);
        return r.size() < at + 2 ? kNoReply : static_cast<uint16_t>(r[at] << 8 | r[at + 1]);
    }

    Urls urls(const std::string &type, const std::string &predicate = "", int64_t nowMs = 0) {
        Urls out;
        for (const auto &e : reply(slpv2::decodeSrvRply, srvRqst(type, predicate), nowMs).urls) out.push_back(e.url);
        return out;
    }

    std::string attrs(const std::string &urlOrType, const std::string &tags = "") {
        return reply(slpv2::decodeAttrRply, attrRqst(urlOrType, tags)).attributes;
    }

    Registry registry_;
    HandlerOptions options_;
};

TEST_F(HandlerTest, TypesMatchAbstractlyCaseInsensitivelyAndWithTheirNamingAuthority) {
    ASSERT_EQ(code(srvReg(kWbemUrl, "")), kOk);
    ASSERT_EQ(code(srvReg(kIoUrl, "")), kOk);
    const std::pair<const char *, Urls> cases[] = {
        {"service:wbem", {kWbemUrl}}, {"service:wbem:https", {kWbemUrl}},   {"SERVICE:WBEM:HTTPS", {kWbemUrl}},
        {"service:wbem:http", {}},    {"service:io-device.3873", {kIoUrl}}, {"service:io-device.3873:59", {kIoUrl}},
        {"service:io-device", {}},    {"service:io-device.3874", {}},       {"service:io-device.3873:60", {}}};
    for (const auto &[type, found] : cases) EXPECT_EQ(urls(type), found) << type;

    const std::pair<const char *, const char *> byAuthority[] = {
        {nullptr, "service:io-device.3873:59,service:wbem:https"},
        {"", "service:wbem:https"},
        {"3873", "service:io-device.3873:59"},
        {"3874", ""}};
    for (const auto &[authority, types] : byAuthority) {
        slpv2::SrvTypeRqst rq{"", authority == nullptr, authority != nullptr ? authority : "", "DEFAULT"};
        EXPECT_EQ(reply(slpv2::decodeSrvTypeRply, encode(slpv2::encodeSrvTypeRqst, rq)).types, types);
    }
}

TEST_F(HandlerTest, BadRequestsGetTheirErrorCodeAndBrokenMessagesNoReply) {
    ASSERT_EQ(code(srvReg(kWbemUrl, "")), kOk);
    const Bytes good = srvReg(kIoUrl, "(a=1)");
    auto patched = [&good](size_t at, uint8_t value) {
        Bytes m = good;
        m[at] = value;
        return m;
    };
    const std::pair<Bytes, uint16_t> cases[] = {
        {srvReg(kWbemUrl, "", 0), kInvalidRegistration},
        {srvReg("", ""), kInvalidRegistration},
        {srvReg(kWbemUrl, "", 60, "DEFAULT", ""), kInvalidRegistration},
        {srvReg(kWbemUrl, "", 60, "other"), kScopeNotSupported},
        {srvReg(kWbemUrl, "", 60, " default ,x"), kOk},
        {srvDeReg("service:unknown://h"), kInvalidRegistration},
        {srvRqst("service:wbem", "", "other"), kScopeNotSupported},
        {srvRqst(""), kParseError},
        {attrRqst(kWbemUrl, "", "de"), kLanguageNotSupported},
        {patched(19, 0xFF), kParseError},  // the URL runs past the end
    };
    for (const auto &[message, error] : cases) EXPECT_EQ(code(message), error);
    // Too short, version 1, function 0 or 12, Length past the end, a reserved flag bit, a byte missing.
    const Bytes undecodable[] = {Bytes(),        Bytes(1, 2),     patched(0, 1), patched(1, 0),
                                 patched(1, 12), patched(4, 200), patched(5, 1), Bytes(good.begin(), good.end() - 1)};
    for (const Bytes &message : undecodable) EXPECT_EQ(code(message), kNoReply);
    EXPECT_EQ(registry_.entries.size(), 1u);
    const std::string badFilters[] = {
        "(",          "(a=1", "(&)", "(!(a=1)(b=2))", "((a=1))",
        "(a=1)(b=2)", "(=1)", "x",   "(a=(b))",       std::string(100, '(') + "a=1" + std::string(100, ')')};
    for (const std::string &filter : badFilters)
        EXPECT_EQ(code(srvRqst("service:wbem", filter)), kParseError) << filter;
}

TEST_F(HandlerTest, AttributeListsComeBackAsStoredAndOnlyCleanOnesAreFilteredByTag) {
    for (const std::string list :
         {kBrokenList, "(a=(https://h:1)", "(x=),(),\\,(data_protocols=fc)", "(x=4,true),(y=<=>!~)",
          "Basic Read,Basic Write", " (padded = yes) ,", "(name=M\xc3\xbcller),(z=\\FF\\00)"}) {
        ASSERT_EQ(code(srvReg(kWbemUrl, list)), kOk) << list;
        EXPECT_EQ(attrs(kWbemUrl), list);
    }
    const std::tuple<const char *, const char *, const char *> byTag[] = {
        {"(Location=Rack 4),(loc-x=1),keyword,(other=2)", "loc*,KEYWORD", "(Location=Rack 4),(loc-x=1),keyword"},
        {"(a=1),(b=2,3), kw ,(c = x y )", " C ", "(c = x y )"},
        {kBrokenList, "template-type", kBrokenList},  // lists that are not clean are never cut
        {"(a=1),,(b=2)", "b", "(a=1),,(b=2)"},
    };
    for (const auto &[list, tags, returned] : byTag) {
        ASSERT_EQ(code(srvReg(kIoUrl, list)), kOk);
        EXPECT_EQ(attrs(kIoUrl, tags), returned) << list;
    }
    ASSERT_EQ(code(srvReg("service:wbem:http://192.0.2.10:5988", "(a=1),(c=3)")), kOk);
    ASSERT_EQ(code(srvReg(kWbemUrl, "(a=1),(b=2)")), kOk);
    EXPECT_EQ(attrs("service:wbem"), "(a=1),(c=3),(b=2)");  // by type: the union
}

TEST_F(HandlerTest, FreshRegistrationReplacesAndDeregistrationRemovesEveryLanguage) {
    ASSERT_EQ(code(srvReg(kWbemUrl, "(a=1),(b=2),(c=3)", 300)), kOk);
    ASSERT_EQ(code(srvReg(kWbemUrl, "(new=1)", 120)), kOk);
    EXPECT_EQ(attrs(kWbemUrl), "(new=1)");
    ASSERT_EQ(code(srvReg(kWbemUrl, "", 60, "DEFAULT", "de")), kOk);
    EXPECT_EQ(urls("service:wbem"), Urls{kWbemUrl});
    EXPECT_EQ(code(srvDeReg(kWbemUrl)), kOk);
    EXPECT_EQ(code(srvDeReg(kWbemUrl)), kInvalidRegistration);
}

TEST_F(HandlerTest, LifetimesRunOutOnTheInjectedClockExcept65535) {
    ASSERT_EQ(code(srvReg("service:x://a", "", 10), 1000), kOk);
    ASSERT_EQ(code(srvReg("service:x://b", "", 65535), 1000), kOk);
    const std::pair<int64_t, std::vector<uint16_t>> cases[] = {
        {1000, {10, 65535}}, {1500, {10, 65535}}, {2000, {9, 65535}}, {10999, {1, 65535}}, {11000, {65535}},
    };
    for (const auto &[nowMs, lifetimes] : cases) {
        std::vector<uint16_t> left;
        for (const auto &e : reply(slpv2::decodeSrvRply, srvRqst("service:x"), nowMs).urls) left.push_back(e.lifetime);
        EXPECT_EQ(left, lifetimes) << nowMs;
    }
    // Registered again with a shorter lifetime, it ends at the new time.
    ASSERT_EQ(code(srvReg("service:x://a", "", 100), 20000), kOk);
    ASSERT_EQ(code(srvReg("service:x://a", "", 2), 21000), kOk);
    EXPECT_EQ(urls("service:x", "", 23000), Urls{"service:x://b"});
    EXPECT_EQ(urls("service:x", "", int64_t{1} << 40), Urls{"service:x://b"});
}

TEST_F(HandlerTest, ExitedProcessesLoseTheirRegistrations) {
    ASSERT_EQ(code(srvReg(kWbemUrl, "", 65535, "DEFAULT", "en", 100)), kOk);
    ASSERT_EQ(code(srvReg(kIoUrl, "", 65535, "DEFAULT", "en", 200)), kOk);
    ASSERT_EQ(code(srvReg("service:x://no-pid", "")), kOk);
    std::vector<std::string> lines;
    auto alive = [](uint32_t pid) { return pid != 200; };
    dropExitedProcesses(&registry_, alive, &lines);
    EXPECT_EQ(lines, std::vector<std::string>{std::string("dropped ") + kIoUrl + " process 200 exited"});
    EXPECT_EQ(registry_.entries.size(), 2u);
}

TEST_F(HandlerTest, FiltersAreEvaluatedOverAnyStoredList) {
    const std::tuple<const char *, const char *, bool> cases[] = {
        {kBrokenList, "(template-type=WBEM)", true},
        {kBrokenList, "(template-type=slp)", false},
        {kBrokenList, "(service-location-tcp=*5989*)", true},
        {kBrokenList, "(|(x=1)(template-type=w*m))", true},
        {"(port=5989),(roles=Basic Read,Basic Write)", "(&(port>=5000)(roles=basic write)(!(x=*)))", true},
        {"(x=10)", "(x=010)", true},
        {"(x=abc)", "(x>=abd)", false},
        {"(x=a\\2Cb)", "(x=a\\2cb)", true},
        {"(x=Hello  World)", "(x=hello world)", true},
        {"(x=Hello World)", "(x~=helloworld)", true},
        {"(x=abc),flag", "(flag=*)", true}};
    for (const auto &[list, filter, found] : cases) {
        ASSERT_EQ(code(srvReg(kWbemUrl, list)), kOk);
        EXPECT_EQ(urls("service:wbem", filter), found ? Urls{kWbemUrl} : Urls{}) << list << " " << filter;
    }
}

}  // namespace
}  // namespace slpagent
