// The agent's request handling and state file, driven with encoded messages, an injected clock
// and the ways a request can arrive (TCP, UDP, multicast, from another station).
#include "handler.h"
#include "slp_message.h"
#include "state.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace slpagent {
namespace {

using Bytes = std::vector<uint8_t>;
using Urls = std::vector<std::string>;
using slpv2::DecodeStatus;

constexpr uint16_t kNoReply = 0xFFFF, kMcast = slpv2::kFlagRequestMcast;
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
Bytes srvDeReg(const std::string &url, const std::string &tags = "") {
    return encode(slpv2::encodeSrvDeReg, slpv2::SrvDeReg{"DEFAULT", {0, url}, tags});
}
Bytes srvRqst(const std::string &type, const std::string &predicate = "", const std::string &scopes = "DEFAULT",
              uint16_t flags = 0, const std::string &pr = "") {
    return encode(slpv2::encodeSrvRqst, slpv2::SrvRqst{pr, type, scopes, predicate, ""}, "en", flags);
}
Bytes attrRqst(const std::string &urlOrType, const std::string &tags = "", const std::string &language = "en",
               const std::string &scopes = "DEFAULT", uint16_t flags = 0) {
    return encode(slpv2::encodeAttrRqst, slpv2::AttrRqst{"", urlOrType, scopes, tags, ""}, language, flags);
}
Bytes typeRqst(const std::string &scopes, uint16_t flags, const std::string &pr = "") {
    return encode(slpv2::encodeSrvTypeRqst, slpv2::SrvTypeRqst{pr, true, "", scopes}, "en", flags);
}

class HandlerTest : public ::testing::Test {
protected:
    Outcome send(const Bytes &message, int64_t nowMs = 0) {
        return handleMessage(&registry_, message.data(), message.size(), nowMs, options_);
    }
    template <typename Body>
    Body reply(DecodeStatus (*decoder)(const uint8_t *, size_t, slpv2::Header *, Body *), const Bytes &message,
               int64_t nowMs = 0) {
        Outcome outcome = send(message, nowMs);
        slpv2::Header h;
        Body body;
        EXPECT_EQ(decoder(outcome.reply.data(), outcome.reply.size(), &h, &body), DecodeStatus::Ok);
        EXPECT_EQ(h.xid, 0x1234);
        return body;
    }
    // The reply's function and the error code right after its header (0 for a SAAdvert).
    std::pair<int, uint16_t> answer(const Bytes &message, int64_t nowMs = 0) {
        const Bytes r = send(message, nowMs).reply;
        const size_t at = r.size() < 14 ? r.size() : 14 + (r[12] << 8 | r[13]);
        if (r.size() < at + 2) return {0, kNoReply};
        return {r[1], r[1] == int(slpv2::Function::SAAdvert) ? 0 : r[at] << 8 | r[at + 1]};
    }
    uint16_t code(const Bytes &message, int64_t nowMs = 0) { return answer(message, nowMs).second; }
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

// Errors for bad requests over a connection, silence for multicast without anything to say,
// for a PR list naming us, and for messages that do not decode.
TEST_F(HandlerTest, RepliesErrorsOrSilenceByRequestAndHowItCame) {
    options_.scopes = "DEFAULT,lab";
    options_.ownAddresses = {"192.0.2.1"};
    ASSERT_EQ(code(srvReg(kWbemUrl, "")), kOk);
    const Bytes good = srvReg(kIoUrl, "(a=1)");
    auto patched = [&good](size_t at, uint8_t value) {
        Bytes m = good;
        m[at] = value;
        return m;
    };
    const int kAck = 5, kRply = 2, kAttr = 7, kType = 10, kSA = 11;
    const struct {
        Bytes message;
        int fn;  // of the reply; 0 = none
        uint16_t code;
        bool viaMulticast = false, remote = false;
    } cases[] = {
        {srvRqst("service:wbem", "", "DEFAULT", kMcast), kRply, kOk},
        {srvRqst("service:none", "", "DEFAULT", kMcast), 0, kNoReply},
        {srvRqst("service:none", "", "DEFAULT", 0), kRply, kOk},
        {srvRqst("service:none", "", "DEFAULT", 0), 0, kNoReply, true},  // came on a group, flag or not
        {srvRqst("service:wbem", "", "other", kMcast), 0, kNoReply},
        {srvRqst("service:wbem", "", "other"), kRply, kScopeNotSupported},
        {srvRqst("service:wbem", "", "lab", kMcast), 0, kNoReply},  // served, but nothing there
        {srvRqst("", "", "DEFAULT", kMcast), 0, kNoReply},
        {srvRqst(""), kRply, kParseError},
        {srvRqst("service:wbem", "", "DEFAULT", kMcast, "192.0.2.9, 192.0.2.1"), 0, kNoReply},
        {srvRqst("service:wbem", "", "DEFAULT", kMcast, "192.0.2.9,192.0.2.1"), 0, kNoReply},
        {srvRqst("service:wbem", "", "DEFAULT", kMcast, "192.0.2.9"), kRply, kOk},
        {attrRqst("service:x://unknown", "", "en", "DEFAULT", kMcast), 0, kNoReply},
        {attrRqst("service:wbem", "", "en", "other", kMcast), 0, kNoReply},
        {attrRqst("service:wbem", "", "en", "other"), kAttr, kScopeNotSupported},
        {attrRqst(kWbemUrl, "", "de"), kAttr, kLanguageNotSupported},
        {typeRqst("DEFAULT", kMcast, "192.0.2.1"), 0, kNoReply},
        {typeRqst("lab", kMcast), 0, kNoReply},
        {typeRqst("DEFAULT", kMcast), kType, kOk},
        {srvRqst("service:service-agent", "", "", kMcast), kSA, kOk},
        {srvRqst("service:service-agent", "", "LAB", kMcast), kSA, kOk},
        {srvRqst("service:service-agent", "", "other", kMcast), 0, kNoReply},
        {srvRqst("service:service-agent", "", "other"), kRply, kScopeNotSupported},
        {srvRqst("service:service-agent", "", "", kMcast, "192.0.2.1"), 0, kNoReply},
        {srvRqst("service:directory-agent", "", ""), 0, kNoReply},
        {srvDeReg(kWbemUrl), kAck, kMessageNotSupported, false, true},  // other stations may not change ours
        {srvReg(kWbemUrl, "", 0), kAck, kInvalidRegistration},
        {srvReg("", ""), kAck, kInvalidRegistration},
        {srvReg(kWbemUrl, "", 60, "DEFAULT", ""), kAck, kInvalidRegistration},
        {srvReg(kWbemUrl, "", 60, "other"), kAck, kScopeNotSupported},
        {srvReg(kWbemUrl, "", 60, " default ,x"), kAck, kOk},
        {srvDeReg("service:unknown://h"), kAck, kInvalidRegistration},
        {patched(19, 0xFF), kAck, kParseError},  // the URL runs past the end
        // No header (the codec's tests try every way a header breaks), function 0 or 12, a byte missing.
        {Bytes(), 0, kNoReply},
        {patched(1, 0), 0, kNoReply},
        {patched(1, 12), 0, kNoReply},
        {Bytes(good.begin(), good.end() - 1), 0, kNoReply},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        options_.viaMulticast = cases[i].viaMulticast;
        options_.local = !cases[i].remote;
        EXPECT_EQ(answer(cases[i].message), std::make_pair(cases[i].fn, cases[i].code)) << "case " << i;
    }
    EXPECT_EQ(registry_.entries.size(), 1u);
    const std::string badFilters[] = {
        "(",          "(a=1", "(&)", "(!(a=1)(b=2))", "((a=1))",
        "(a=1)(b=2)", "(=1)", "x",   "(a=(b))",       std::string(100, '(') + "a=1" + std::string(100, ')')};
    for (const std::string &filter : badFilters)
        EXPECT_EQ(code(srvRqst("service:wbem", filter)), kParseError) << filter;
}

TEST_F(HandlerTest, SAAdvertNamesTheAddressTheRequestCameIn) {
    options_.scopes = "DEFAULT,lab";
    options_.saAttributes = "(role=switch)";
    for (const auto &[received, url] : {std::pair{"192.0.2.1", "service:service-agent://192.0.2.1"},
                                        std::pair{"fd00:5a::1", "service:service-agent://[fd00:5a::1]"}}) {
        options_.receivedOn = received;
        const slpv2::SAAdvert advert = reply(slpv2::decodeSAAdvert, srvRqst("service:service-agent", "", "", kMcast));
        EXPECT_EQ(advert.url + " " + advert.scopes + " " + advert.attributes, url + std::string(" DEFAULT,lab (role=switch)"));
    }
}

TEST_F(HandlerTest, DatagramRepliesGoWholeWithOverflowAndAreCutOnlyPastTheUdpMaximum) {
    const struct {
        size_t count;  // URLs of 100 bytes each
        size_t mtu;    // 0 = TCP
        bool overflow, complete;
    } cases[] = {{10, kDatagramMtu, false, true},
                 {100, kDatagramMtu, true, true},
                 {100, 0, false, true},
                 {1000, kDatagramMtu, true, false},
                 {1000, 0, false, true}};
    for (const auto &c : cases) {
        registry_ = {};
        for (size_t i = 0; i < c.count; ++i)
            ASSERT_EQ(code(srvReg("service:big://" + std::to_string(1000 + i) + std::string(100 - 18, 'h'), "")), kOk);
        options_.datagramMtu = c.mtu;
        const Bytes r = send(srvRqst("service:big")).reply;
        slpv2::Header h;
        slpv2::SrvRply body;
        ASSERT_EQ(slpv2::decodeSrvRply(r.data(), r.size(), &h, &body), DecodeStatus::Ok) << c.count;
        EXPECT_EQ(h.length, r.size());
        EXPECT_EQ((h.flags & slpv2::kFlagOverflow) != 0, c.overflow) << c.count << " mtu " << c.mtu;
        EXPECT_EQ(body.urls.size() == c.count, c.complete) << c.count << " mtu " << c.mtu;
        EXPECT_LE(r.size(), c.mtu != 0 ? kMaxDatagram : SIZE_MAX);
        EXPECT_GT(r.size() + 106, c.complete ? 0 : kMaxDatagram);  // as many whole entries as fit
    }
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
    EXPECT_EQ(code(srvDeReg(kWbemUrl, "b")), kOk);
    EXPECT_EQ(attrs(kWbemUrl), "(a=1),(c=3)");
    EXPECT_EQ(code(srvDeReg(kIoUrl, "b")), kInvalidRegistration);
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
    dropExitedProcesses(&registry_, [](uint32_t pid) { return pid != 200; }, &lines);
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

TEST(AgentState, SurvivesAnyBytesAndTheClockOfAnotherBoot) {
    Registry registry;
    const Registration odd{"service:x://h/a b\n%", "en", "service:x", "DEFAULT, lab",
                           std::string("(a=\0\n\r x\xff),end", 14), 600, 600000, false, 4242};
    storeRegistration(&registry, odd);
    storeRegistration(&registry, {kWbemUrl, "en", "service:wbem", "DEFAULT", "", 65535, 0, true, 0});
    storeRegistration(&registry, {"service:gone://h", "en", "service:gone", "DEFAULT", "", 30, 30000, false, 0});
    // Written at monotonic 0, wall 1e12; read 60 s later on a boot whose monotonic clock is 5e6.
    const std::string text = serializeState(registry, 0, 1000000000000);
    Registry loaded;
    std::string error;
    ASSERT_TRUE(parseState(text, 5000000, 1000000060000, &loaded, &error)) << error;
    ASSERT_EQ(loaded.entries.size(), 2u);
    const Registration &r = loaded.entries.at(registryKey(odd.url, "en"));
    EXPECT_EQ(r.attributes + "|" + r.scopes + "|" + std::to_string(r.processId), odd.attributes + "|DEFAULT, lab|4242");
    EXPECT_EQ(remainingLifetime(r, 5000000), 540);
    EXPECT_TRUE(loaded.entries.at(registryKey(kWbemUrl, "en")).permanent);

    const size_t firstLine = text.find('\n') + 1;
    const std::string head = text.substr(0, firstLine), tail = text.substr(firstLine);
    const std::string damaged[] = {"",
                                   text.substr(0, text.size() - 4),
                                   text + "reg\n",
                                   head + "reg 1 0 0 0 xzz x x x x\n" + tail,
                                   head + "reg 0 0 0 0 x61 x x x x\n" + tail,
                                   head + "reg 1 0 0 0 x61 x x x\n" + tail,
                                   head + "reg 1 2 0 0 x61 x x x x\n" + tail,
                                   "slp-agent-state 2\nend\n"};
    for (const std::string &t : damaged) {
        EXPECT_FALSE(parseState(t, 0, 0, &loaded, &error)) << t;
        EXPECT_TRUE(loaded.entries.empty());
    }
}

}  // namespace
}  // namespace slpagent
