// SLPv2 codec: hand-written wire bytes for every message kind in both directions, and the
// decoders' rejection of damaged input.
#include "slp_message.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

namespace slpv2 {

bool operator==(const Header &a, const Header &b) {
    return a.function == b.function && a.flags == b.flags && a.xid == b.xid && a.language == b.language;
}
bool operator==(const UrlEntry &a, const UrlEntry &b) { return a.lifetime == b.lifetime && a.url == b.url; }
bool operator==(const SrvReg &a, const SrvReg &b) {
    return a.entry == b.entry && a.serviceType == b.serviceType && a.scopes == b.scopes &&
           a.attributes == b.attributes && a.hasProcessId == b.hasProcessId && a.processId == b.processId;
}
bool operator==(const SrvDeReg &a, const SrvDeReg &b) {
    return a.scopes == b.scopes && a.entry == b.entry && a.tags == b.tags;
}
bool operator==(const SrvAck &a, const SrvAck &b) { return a.error == b.error; }
bool operator==(const SrvRqst &a, const SrvRqst &b) {
    return a.prList == b.prList && a.serviceType == b.serviceType && a.scopes == b.scopes &&
           a.predicate == b.predicate && a.spi == b.spi;
}
bool operator==(const SrvRply &a, const SrvRply &b) { return a.error == b.error && a.urls == b.urls; }
bool operator==(const AttrRqst &a, const AttrRqst &b) {
    return a.prList == b.prList && a.urlOrType == b.urlOrType && a.scopes == b.scopes && a.tags == b.tags &&
           a.spi == b.spi;
}
bool operator==(const AttrRply &a, const AttrRply &b) {
    return a.error == b.error && a.attributes == b.attributes;
}
bool operator==(const SrvTypeRqst &a, const SrvTypeRqst &b) {
    return a.prList == b.prList && a.allAuthorities == b.allAuthorities &&
           a.namingAuthority == b.namingAuthority && a.scopes == b.scopes;
}
bool operator==(const SrvTypeRply &a, const SrvTypeRply &b) { return a.error == b.error && a.types == b.types; }

namespace {

using Bytes = std::vector<uint8_t>;

// A piece of a hand-written message: raw byte values or the characters of a string.
struct Piece {
    Bytes bytes;
    Piece(std::initializer_list<int> values) {
        for (int v : values) bytes.push_back(static_cast<uint8_t>(v));
    }
    Piece(const char *text) : bytes(text, text + std::char_traits<char>::length(text)) {}
};

Bytes wire(std::initializer_list<Piece> pieces) {
    Bytes out;
    for (const Piece &p : pieces) out.insert(out.end(), p.bytes.begin(), p.bytes.end());
    return out;
}

Header header(Function fn, uint16_t xid, uint16_t flags = 0) {
    Header h;
    h.function = fn;
    h.xid = xid;
    h.flags = flags;
    h.language = "en";
    return h;
}

using DecodeFn = std::function<DecodeStatus(const uint8_t *, size_t)>;

struct Case {
    std::string name;
    Bytes golden;
    std::vector<std::string> strings;  // wire strings of the message, each preceded by its length
    size_t alsoValidAt = 0;            // a shorter Length that still makes a valid message
    std::function<bool(Bytes *)> encode;
    std::function<bool(const Bytes &)> decodesToExpected;
    DecodeFn decode;  // the decoder of this kind, result only
};

template <typename Body>
Case makeCase(std::string name, const Header &h, const Body &body, Bytes golden, std::vector<std::string> strings,
              bool (*enc)(const Header &, const Body &, Bytes *),
              DecodeStatus (*dec)(const uint8_t *, size_t, Header *, Body *)) {
    Case c;
    c.name = std::move(name);
    c.golden = std::move(golden);
    c.strings = std::move(strings);
    c.encode = [h, body, enc](Bytes *out) { return enc(h, body, out); };
    c.decodesToExpected = [h, body, dec](const Bytes &in) {
        Header gotHeader;
        Body gotBody;
        return dec(in.data(), in.size(), &gotHeader, &gotBody) == DecodeStatus::Ok && gotHeader == h &&
               gotHeader.length == in.size() && gotBody == body;
    };
    c.decode = [dec](const uint8_t *p, size_t n) {
        Header gotHeader;
        Body gotBody;
        return dec(p, n, &gotHeader, &gotBody);
    };
    return c;
}

UrlEntry entry(uint16_t lifetime, std::string url) {
    UrlEntry e;
    e.lifetime = lifetime;
    e.url = std::move(url);
    return e;
}

std::vector<Case> goldenCases() {
    std::vector<Case> cases;

    SrvReg reg;
    reg.entry = entry(65535, "service:x://h");
    reg.serviceType = "service:x";
    reg.scopes = "DEFAULT";
    reg.attributes = "(a=1)";
    reg.hasProcessId = true;
    reg.processId = 12345;
    cases.push_back(makeCase("SrvRegWithProcessId", header(Function::SrvReg, 0x1234, kFlagFresh), reg,
                             wire({{2, 3, 0, 0, 72, 0x40, 0, 0, 0, 63, 0x12, 0x34, 0, 2},
                                   "en",
                                   {0, 0xFF, 0xFF, 0, 13},
                                   "service:x://h",
                                   {0},
                                   {0, 9},
                                   "service:x",
                                   {0, 7},
                                   "DEFAULT",
                                   {0, 5},
                                   "(a=1)",
                                   {0},
                                   {0x97, 0x99, 0, 0, 0, 0, 0, 0x30, 0x39}}),
                             {"service:x://h", "service:x", "DEFAULT", "(a=1)"}, encodeSrvReg, decodeSrvReg));

    reg.hasProcessId = false;
    reg.processId = 0;
    reg.attributes = "";
    cases.push_back(makeCase("SrvRegPlain", header(Function::SrvReg, 7, kFlagFresh), reg,
                             wire({{2, 3, 0, 0, 58, 0x40, 0, 0, 0, 0, 0, 7, 0, 2},
                                   "en",
                                   {0, 0xFF, 0xFF, 0, 13},
                                   "service:x://h",
                                   {0},
                                   {0, 9},
                                   "service:x",
                                   {0, 7},
                                   "DEFAULT",
                                   {0, 0},
                                   {0}}),
                             {"service:x://h", "service:x", "DEFAULT"}, encodeSrvReg, decodeSrvReg));

    SrvDeReg dereg;
    dereg.scopes = "DEFAULT";
    dereg.entry = entry(0, "service:x://h");
    cases.push_back(makeCase("SrvDeReg", header(Function::SrvDeReg, 0x0102), dereg,
                             wire({{2, 4, 0, 0, 46, 0, 0, 0, 0, 0, 1, 2, 0, 2},
                                   "en",
                                   {0, 7},
                                   "DEFAULT",
                                   {0, 0, 0, 0, 13},
                                   "service:x://h",
                                   {0},
                                   {0, 0}}),
                             {"DEFAULT", "service:x://h"}, encodeSrvDeReg, decodeSrvDeReg));

    SrvAck ack;
    ack.error = 3;
    cases.push_back(makeCase("SrvAck", header(Function::SrvAck, 7), ack,
                             wire({{2, 5, 0, 0, 18, 0, 0, 0, 0, 0, 0, 7, 0, 2}, "en", {0, 3}}), {}, encodeSrvAck,
                             decodeSrvAck));

    SrvRqst rqst;
    rqst.serviceType = "service:wbem";
    rqst.scopes = "DEFAULT";
    rqst.predicate = "(x=1)";
    cases.push_back(makeCase("SrvRqst", header(Function::SrvRqst, 0xBEEF), rqst,
                             wire({{2, 1, 0, 0, 50, 0, 0, 0, 0, 0, 0xBE, 0xEF, 0, 2},
                                   "en",
                                   {0, 0, 0, 12},
                                   "service:wbem",
                                   {0, 7},
                                   "DEFAULT",
                                   {0, 5},
                                   "(x=1)",
                                   {0, 0}}),
                             {"service:wbem", "DEFAULT", "(x=1)"}, encodeSrvRqst, decodeSrvRqst));

    SrvRply rply;
    rply.urls = {entry(300, "service:x://a"), entry(65535, "service:x://b")};
    cases.push_back(makeCase("SrvRply", header(Function::SrvRply, 0xBEEF), rply,
                             wire({{2, 2, 0, 0, 58, 0, 0, 0, 0, 0, 0xBE, 0xEF, 0, 2},
                                   "en",
                                   {0, 0, 0, 2},
                                   {0, 0x01, 0x2C, 0, 13},
                                   "service:x://a",
                                   {0},
                                   {0, 0xFF, 0xFF, 0, 13},
                                   "service:x://b",
                                   {0}}),
                             {"service:x://a", "service:x://b"}, encodeSrvRply, decodeSrvRply));

    SrvRply failed;
    failed.error = 4;
    cases.push_back(makeCase("SrvRplyError", header(Function::SrvRply, 9), failed,
                             wire({{2, 2, 0, 0, 20, 0, 0, 0, 0, 0, 0, 9, 0, 2}, "en", {0, 4, 0, 0}}), {},
                             encodeSrvRply, decodeSrvRply));
    cases.back().alsoValidAt = 18;  // the count may be left out after an error

    AttrRqst attrRqst;
    attrRqst.urlOrType = "service:x://h";
    attrRqst.scopes = "DEFAULT";
    attrRqst.tags = "a,b";
    cases.push_back(makeCase("AttrRqst", header(Function::AttrRqst, 0x4242), attrRqst,
                             wire({{2, 6, 0, 0, 49, 0, 0, 0, 0, 0, 0x42, 0x42, 0, 2},
                                   "en",
                                   {0, 0, 0, 13},
                                   "service:x://h",
                                   {0, 7},
                                   "DEFAULT",
                                   {0, 3},
                                   "a,b",
                                   {0, 0}}),
                             {"service:x://h", "DEFAULT", "a,b"}, encodeAttrRqst, decodeAttrRqst));

    AttrRply attrRply;
    attrRply.attributes = "(a=1),b";
    cases.push_back(makeCase("AttrRply", header(Function::AttrRply, 0x4242), attrRply,
                             wire({{2, 7, 0, 0, 28, 0, 0, 0, 0, 0, 0x42, 0x42, 0, 2}, "en", {0, 0, 0, 7}, "(a=1),b", {0}}),
                             {"(a=1),b"}, encodeAttrRply, decodeAttrRply));

    SrvTypeRqst typeRqst;
    typeRqst.allAuthorities = true;
    typeRqst.scopes = "DEFAULT";
    cases.push_back(makeCase("SrvTypeRqstAll", header(Function::SrvTypeRqst, 1), typeRqst,
                             wire({{2, 9, 0, 0, 29, 0, 0, 0, 0, 0, 0, 1, 0, 2}, "en", {0, 0, 0xFF, 0xFF, 0, 7}, "DEFAULT"}),
                             {"DEFAULT"}, encodeSrvTypeRqst, decodeSrvTypeRqst));

    typeRqst.allAuthorities = false;
    typeRqst.namingAuthority = "3873";
    cases.push_back(makeCase("SrvTypeRqstNamed", header(Function::SrvTypeRqst, 2), typeRqst,
                             wire({{2, 9, 0, 0, 33, 0, 0, 0, 0, 0, 0, 2, 0, 2},
                                   "en",
                                   {0, 0, 0, 4},
                                   "3873",
                                   {0, 7},
                                   "DEFAULT"}),
                             {"3873", "DEFAULT"}, encodeSrvTypeRqst, decodeSrvTypeRqst));

    typeRqst.namingAuthority = "";
    cases.push_back(makeCase("SrvTypeRqstIana", header(Function::SrvTypeRqst, 3), typeRqst,
                             wire({{2, 9, 0, 0, 29, 0, 0, 0, 0, 0, 0, 3, 0, 2}, "en", {0, 0, 0, 0, 0, 7}, "DEFAULT"}),
                             {"DEFAULT"}, encodeSrvTypeRqst, decodeSrvTypeRqst));

    SrvTypeRply typeRply;
    typeRply.types = "service:x,service:y";
    cases.push_back(makeCase("SrvTypeRply", header(Function::SrvTypeRply, 3), typeRply,
                             wire({{2, 10, 0, 0, 39, 0, 0, 0, 0, 0, 0, 3, 0, 2}, "en", {0, 0, 0, 19}, "service:x,service:y"}),
                             {"service:x,service:y"}, encodeSrvTypeRply, decodeSrvTypeRply));
    return cases;
}

void put24(Bytes *b, size_t at, size_t v) {
    (*b)[at] = static_cast<uint8_t>(v >> 16);
    (*b)[at + 1] = static_cast<uint8_t>(v >> 8);
    (*b)[at + 2] = static_cast<uint8_t>(v);
}

class GoldenTest : public testing::TestWithParam<Case> {};

TEST_P(GoldenTest, EncodesToHandWrittenBytes) {
    Bytes out;
    ASSERT_TRUE(GetParam().encode(&out));
    EXPECT_EQ(out, GetParam().golden);
}

TEST_P(GoldenTest, DecodesHandWrittenBytes) { EXPECT_TRUE(GetParam().decodesToExpected(GetParam().golden)); }

TEST_P(GoldenTest, RejectsEveryTruncation) {
    const Bytes &g = GetParam().golden;
    for (size_t n = 0; n < g.size(); ++n) {
        EXPECT_EQ(GetParam().decode(g.data(), n), DecodeStatus::Truncated) << "cut at " << n;
        // Same cut with Length rewritten to match: the body is now too short.
        if (n >= kFixedHeaderSize && n != GetParam().alsoValidAt) {
            Bytes cut(g.begin(), g.begin() + static_cast<ptrdiff_t>(n));
            put24(&cut, 2, n);
            EXPECT_NE(GetParam().decode(cut.data(), cut.size()), DecodeStatus::Ok) << "cut at " << n;
        }
    }
}

TEST_P(GoldenTest, RejectsLengthDisagreeingWithBuffer) {
    Bytes b = GetParam().golden;
    put24(&b, 2, b.size() + 1);
    EXPECT_EQ(GetParam().decode(b.data(), b.size()), DecodeStatus::Truncated);
    put24(&b, 2, kMaxMessageLength);
    EXPECT_EQ(GetParam().decode(b.data(), b.size()), DecodeStatus::Truncated);
    put24(&b, 2, b.size() - 1);
    EXPECT_EQ(GetParam().decode(b.data(), b.size()), DecodeStatus::BadLength);
    put24(&b, 2, 0);
    EXPECT_EQ(GetParam().decode(b.data(), b.size()), DecodeStatus::BadLength);
    // A byte past the body with no extension to hold it.
    b = GetParam().golden;
    b.push_back(0);
    put24(&b, 2, b.size());
    EXPECT_NE(GetParam().decode(b.data(), b.size()), DecodeStatus::Ok);
}

TEST_P(GoldenTest, RejectsOtherVersionsAndReservedFlags) {
    for (uint8_t version : {0, 1, 3, 255}) {
        Bytes b = GetParam().golden;
        b[0] = version;
        EXPECT_EQ(GetParam().decode(b.data(), b.size()), DecodeStatus::BadVersion);
    }
    for (uint8_t low : {0x01, 0x10, 0xFF}) {
        Bytes b = GetParam().golden;
        b[6] = low;
        EXPECT_EQ(GetParam().decode(b.data(), b.size()), DecodeStatus::ParseError);
    }
}

TEST_P(GoldenTest, RejectsOtherFunctions) {
    for (uint8_t fn = 0; fn < 16; ++fn) {
        Bytes b = GetParam().golden;
        if (fn == b[1]) continue;
        b[1] = fn;
        DecodeStatus expected = fn >= 1 && fn <= 11 ? DecodeStatus::WrongFunction : DecodeStatus::ParseError;
        EXPECT_EQ(GetParam().decode(b.data(), b.size()), expected) << "function " << int(fn);
    }
}

TEST_P(GoldenTest, RejectsEmbeddedNulAndGarbledStringLengths) {
    std::vector<std::string> strings = GetParam().strings;
    strings.push_back("en");
    for (const std::string &s : strings) {
        const Bytes &g = GetParam().golden;
        Bytes needle = wire({{static_cast<int>(s.size() >> 8), static_cast<int>(s.size() & 0xFF)}, s.c_str()});
        auto it = std::search(g.begin(), g.end(), needle.begin(), needle.end());
        ASSERT_NE(it, g.end()) << s;
        size_t at = static_cast<size_t>(it - g.begin()) + 2;

        Bytes b = g;
        b[at + s.size() / 2] = 0;
        EXPECT_EQ(GetParam().decode(b.data(), b.size()), DecodeStatus::ParseError) << s;

        for (uint16_t len : {0xFFFE, 0x7FFF, 0x0100}) {
            b = g;
            b[at - 2] = static_cast<uint8_t>(len >> 8);
            b[at - 1] = static_cast<uint8_t>(len);
            EXPECT_NE(GetParam().decode(b.data(), b.size()), DecodeStatus::Ok) << s << " length " << len;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllKinds, GoldenTest, testing::ValuesIn(goldenCases()),
                         [](const testing::TestParamInfo<Case> &info) { return info.param.name; });

TEST(SlpMessage, SkipsUrlAuthenticationBlocksByTheirLength) {
    // SrvRply, one URL entry carrying one 12-byte block (BSD 2, length 12, timestamp, SPI "", 2 bytes).
    Bytes b = wire({{2, 2, 0, 0, 51, 0, 0, 0, 0, 0, 0, 5, 0, 2},
                    "en",
                    {0, 0, 0, 1},
                    {0, 0, 60, 0, 13},
                    "service:x://a",
                    {1},
                    {0, 2, 0, 12, 1, 2, 3, 4, 0, 0, 0xAA, 0xBB}});
    Header h;
    SrvRply rply;
    ASSERT_EQ(decodeSrvRply(b.data(), b.size(), &h, &rply), DecodeStatus::Ok);
    ASSERT_EQ(rply.urls.size(), 1u);
    EXPECT_EQ(rply.urls[0], entry(60, "service:x://a"));

    struct Garble {
        const char *what;
        size_t at;
        uint8_t value;
    } garbles[] = {
        {"block length below 10", 42, 4},
        {"block length past the end", 42, 13},
        {"two blocks announced", 38, 2},
    };
    for (const Garble &g : garbles) {
        Bytes bad = b;
        bad[g.at] = g.value;
        EXPECT_EQ(decodeSrvRply(bad.data(), bad.size(), &h, &rply), DecodeStatus::ParseError) << g.what;
    }
}

TEST(SlpMessage, SkipsAttributeAuthenticationBlocks) {
    Bytes b = wire({{2, 7, 0, 0, 32, 0, 0, 0, 0, 0, 0, 5, 0, 2},
                    "en",
                    {0, 0, 0, 1},
                    "a",
                    {1},
                    {0, 2, 0, 10, 1, 2, 3, 4, 0, 0}});
    Header h;
    AttrRply rply;
    ASSERT_EQ(decodeAttrRply(b.data(), b.size(), &h, &rply), DecodeStatus::Ok);
    EXPECT_EQ(rply.attributes, "a");
    b[21] = 2;  // two blocks, one present
    EXPECT_EQ(decodeAttrRply(b.data(), b.size(), &h, &rply), DecodeStatus::ParseError);
}

TEST(SlpMessage, RepliesWithAnErrorMayEndAfterTheCode) {
    Header h;
    Bytes srvRply = wire({{2, 2, 0, 0, 18, 0, 0, 0, 0, 0, 0, 1, 0, 2}, "en", {0, 4}});
    SrvRply rply;
    EXPECT_EQ(decodeSrvRply(srvRply.data(), srvRply.size(), &h, &rply), DecodeStatus::Ok);
    EXPECT_EQ(rply.error, 4);
    EXPECT_TRUE(rply.urls.empty());

    Bytes attrRply = wire({{2, 7, 0, 0, 18, 0, 0, 0, 0, 0, 0, 1, 0, 2}, "en", {0, 2}});
    AttrRply attrs;
    EXPECT_EQ(decodeAttrRply(attrRply.data(), attrRply.size(), &h, &attrs), DecodeStatus::Ok);
    EXPECT_EQ(attrs.error, 2);

    Bytes typeRply = wire({{2, 10, 0, 0, 18, 0, 0, 0, 0, 0, 0, 1, 0, 2}, "en", {0, 14}});
    SrvTypeRply types;
    EXPECT_EQ(decodeSrvTypeRply(typeRply.data(), typeRply.size(), &h, &types), DecodeStatus::Ok);
    EXPECT_EQ(types.error, 14);

    // A success reply must carry its fields.
    srvRply[15 + 2] = 0;
    EXPECT_EQ(decodeSrvRply(srvRply.data(), srvRply.size(), &h, &rply), DecodeStatus::ParseError);
    attrRply[15 + 2] = 0;
    EXPECT_EQ(decodeAttrRply(attrRply.data(), attrRply.size(), &h, &attrs), DecodeStatus::ParseError);
}

TEST(SlpMessage, RejectsUrlCountBeyondTheBytesLeft) {
    Bytes b = wire({{2, 2, 0, 0, 20, 0, 0, 0, 0, 0, 0, 1, 0, 2}, "en", {0, 0, 0xFF, 0xFF}});
    Header h;
    SrvRply rply;
    EXPECT_EQ(decodeSrvRply(b.data(), b.size(), &h, &rply), DecodeStatus::ParseError);
}

TEST(SlpMessage, AcceptsEmptyLanguageForTheAgentToReject) {
    Bytes b = wire({{2, 5, 0, 0, 16, 0, 0, 0, 0, 0, 0, 1, 0, 0}, {0, 0}});
    Header h;
    SrvAck ack;
    ASSERT_EQ(decodeSrvAck(b.data(), b.size(), &h, &ack), DecodeStatus::Ok);
    EXPECT_EQ(h.language, "");
}

// SrvAck "en" error 0, then extensions starting at offset 18.
Bytes ackWithExtensions(std::initializer_list<Piece> extensions) {
    Bytes b = wire({{2, 5, 0, 0, 0, 0, 0, 0, 0, 18, 0, 1, 0, 2}, "en", {0, 0}});
    Bytes ext = wire(extensions);
    b.insert(b.end(), ext.begin(), ext.end());
    put24(&b, 2, b.size());
    return b;
}

TEST(SlpMessage, WalksExtensionChains) {
    struct Chain {
        const char *what;
        Bytes message;
        DecodeStatus expected;
        bool mandatory;
    } chains[] = {
        {"one optional", ackWithExtensions({{0x00, 0x02, 0, 0, 0, 0xAA}}), DecodeStatus::Ok, false},
        {"optional then mandatory", ackWithExtensions({{0x00, 0x02, 0, 0, 24, 0xAA}, {0x40, 0x01, 0, 0, 0}}),
         DecodeStatus::Ok, true},
        {"reserved range is not mandatory", ackWithExtensions({{0x90, 0x00, 0, 0, 0}}), DecodeStatus::Ok, false},
        {"points to itself", ackWithExtensions({{0x00, 0x02, 0, 0, 18}}), DecodeStatus::ParseError, false},
        {"points back", ackWithExtensions({{0x00, 0x02, 0, 0, 23}, {0x00, 0x03, 0, 0, 18}}), DecodeStatus::ParseError,
         false},
        {"overlaps the next header", ackWithExtensions({{0x00, 0x02, 0, 0, 21, 0, 0, 0, 0, 0}}),
         DecodeStatus::ParseError, false},
        {"next past the end", ackWithExtensions({{0x00, 0x02, 0, 0, 200}}), DecodeStatus::ParseError, false},
        {"header cut short", ackWithExtensions({{0x00, 0x02, 0, 0}}), DecodeStatus::ParseError, false},
    };
    for (const Chain &c : chains) {
        Header h;
        SrvAck ack;
        EXPECT_EQ(decodeSrvAck(c.message.data(), c.message.size(), &h, &ack), c.expected) << c.what;
        EXPECT_EQ(hasMandatoryExtension(c.message.data(), c.message.size()), c.mandatory) << c.what;
    }

    Bytes intoBody = ackWithExtensions({{0x00, 0x02, 0, 0, 0}});
    put24(&intoBody, 7, 17);
    Header h;
    SrvAck ack;
    EXPECT_EQ(decodeSrvAck(intoBody.data(), intoBody.size(), &h, &ack), DecodeStatus::ParseError);
}

TEST(SlpMessage, ReadsProcessIdAmongOtherExtensions) {
    Bytes b = wire({{2, 3, 0, 0, 0, 0x40, 0, 0, 0, 31, 0, 1, 0, 2},
                    "en",
                    {0, 0, 10, 0, 1},
                    "x",
                    {0},
                    {0, 1},
                    "x",
                    {0, 0, 0, 0, 0},
                    {0x00, 0x07, 0, 0, 36},
                    {0x97, 0x99, 0, 0, 0, 0, 1, 0, 0}});
    put24(&b, 2, b.size());
    Header h;
    SrvReg reg;
    ASSERT_EQ(decodeSrvReg(b.data(), b.size(), &h, &reg), DecodeStatus::Ok);
    EXPECT_TRUE(reg.hasProcessId);
    EXPECT_EQ(reg.processId, 0x10000u);

    Bytes shortPid = b;
    shortPid.pop_back();
    put24(&shortPid, 2, shortPid.size());
    EXPECT_EQ(decodeSrvReg(shortPid.data(), shortPid.size(), &h, &reg), DecodeStatus::ParseError);
}

TEST(SlpMessage, PeekHeaderReadsTheFrame) {
    uint8_t version = 0, function = 0;
    uint32_t length = 0;
    const uint8_t frame[] = {2, 3, 0x01, 0x02, 0x03};
    EXPECT_EQ(peekHeader(frame, 4, &version, &function, &length), DecodeStatus::Truncated);
    ASSERT_EQ(peekHeader(frame, 5, &version, &function, &length), DecodeStatus::Ok);
    EXPECT_EQ(version, 2);
    EXPECT_EQ(function, 3);
    EXPECT_EQ(length, 0x010203u);
    const uint8_t v1[] = {1, 3, 0, 0, 20};
    EXPECT_EQ(peekHeader(v1, 5, &version, &function, &length), DecodeStatus::BadVersion);
    const uint8_t tiny[] = {2, 3, 0, 0, 13};
    EXPECT_EQ(peekHeader(tiny, 5, &version, &function, &length), DecodeStatus::BadLength);
}

TEST(SlpMessage, EncodersRefuseWhatTheWireCannotHold) {
    Header h = header(Function::SrvReg, 1);
    Bytes out;
    SrvReg reg;
    reg.attributes.assign(65536, 'a');
    EXPECT_FALSE(encodeSrvReg(h, reg, &out));
    reg.attributes.assign(65535, 'a');
    EXPECT_TRUE(encodeSrvReg(h, reg, &out));

    SrvTypeRqst types;
    types.namingAuthority.assign(65535, 'n');  // the length 0xFFFF means "all"
    EXPECT_FALSE(encodeSrvTypeRqst(h, types, &out));

    SrvRply big;
    big.urls.assign(300, entry(1, std::string(60000, 'u')));  // about 18 MB > 2^24 - 1
    EXPECT_FALSE(encodeSrvRply(h, big, &out));
}

}  // namespace
}  // namespace slpv2
