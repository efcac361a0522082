// SLPv2 codec: hand-written wire bytes of every message kind in both directions, and the
// decoders' handling of damaged input.
#include "slp_fields.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace slpv2 {
namespace {

using Bytes = std::vector<uint8_t>;

// A message spelled out field by field, big-endian, without the encoder. `strings` holds the
// offset of each 16-bit string length, for the tests that garble them.
struct Wire {
    Bytes b;
    std::vector<size_t> strings;

    Wire &u8(unsigned v) {
        b.push_back(static_cast<uint8_t>(v));
        return *this;
    }
    Wire &u16(unsigned v) { return u8(v >> 8).u8(v); }
    Wire &u24(unsigned v) { return u8(v >> 16).u16(v & 0xFFFF); }
    Wire &u32(unsigned v) { return u16(v >> 16).u16(v & 0xFFFF); }
    Wire &str(const std::string &s) {
        strings.push_back(b.size());
        u16(static_cast<unsigned>(s.size())).b.insert(b.end(), s.begin(), s.end());
        return *this;
    }
    Wire &url(unsigned lifetime, const std::string &s) { return u8(0).u16(lifetime).str(s).u8(0); }
};

// Version 2, function, Length, flags, next extension offset, XID, language "en".
Wire head(unsigned fn, unsigned length, unsigned flags, unsigned nextExtension, unsigned xid) {
    return Wire().u8(2).u8(fn).u24(length).u16(flags).u24(nextExtension).u16(xid).str("en");
}

Header header(Function fn, uint16_t xid, uint16_t flags = 0) { return Header{fn, 0, flags, 0, xid, "en"}; }

struct Case {
    std::string name;
    Wire golden;
    std::function<bool(Bytes *)> encode;
    std::function<DecodeStatus(const Bytes &, bool *same)> decode;  // *same: header and body as encoded
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

template <typename Body>
Case kind(std::string name, Header h, Body body, Wire golden, bool (*enc)(const Header &, const Body &, Bytes *),
          DecodeStatus (*dec)(const uint8_t *, size_t, Header *, Body *)) {
    auto decode = [h, body, dec](const Bytes &in, bool *same) {
        Header gotHeader;
        Body gotBody;
        DecodeStatus st = dec(in.data(), in.size(), &gotHeader, &gotBody);
        *same = st == DecodeStatus::Ok && gotHeader == h && gotHeader.length == in.size() && gotBody == body;
        return st;
    };
    return Case{std::move(name), std::move(golden), [h, body, enc](Bytes *out) { return enc(h, body, out); }, decode};
}

std::vector<Case> goldenCases() {
    const UrlEntry x{65535, "service:x://h"};
    return {
        kind("SrvRegWithProcessId", header(Function::SrvReg, 0x1234, kFlagFresh),
             SrvReg{x, "service:x", "DEFAULT", "(a=1)", true, 12345},
             head(3, 72, 0x4000, 63, 0x1234).url(65535, "service:x://h").str("service:x").str("DEFAULT").str("(a=1)")
                 .u8(0).u16(0x9799).u24(0).u32(12345),  // the process-id extension
             encodeSrvReg, decodeSrvReg),
        kind("SrvRegPlain", header(Function::SrvReg, 7, kFlagFresh), SrvReg{x, "service:x", "DEFAULT", "", false, 0},
             head(3, 58, 0x4000, 0, 7).url(65535, "service:x://h").str("service:x").str("DEFAULT").str("").u8(0),
             encodeSrvReg, decodeSrvReg),
        kind("SrvDeReg", header(Function::SrvDeReg, 0x0102), SrvDeReg{"DEFAULT", {0, "service:x://h"}, ""},
             head(4, 46, 0, 0, 0x0102).str("DEFAULT").url(0, "service:x://h").str(""), encodeSrvDeReg, decodeSrvDeReg),
        kind("SrvAck", header(Function::SrvAck, 7), SrvAck{3}, head(5, 18, 0, 0, 7).u16(3), encodeSrvAck, decodeSrvAck),
        kind("SrvRqst", header(Function::SrvRqst, 0xBEEF), SrvRqst{"", "service:wbem", "DEFAULT", "(x=1)", ""},
             head(1, 50, 0, 0, 0xBEEF).str("").str("service:wbem").str("DEFAULT").str("(x=1)").str(""), encodeSrvRqst,
             decodeSrvRqst),
        kind("SrvRply", header(Function::SrvRply, 0xBEEF),
             SrvRply{0, {{300, "service:x://a"}, {65535, "service:x://b"}}},
             head(2, 58, 0, 0, 0xBEEF).u16(0).u16(2).url(300, "service:x://a").url(65535, "service:x://b"),
             encodeSrvRply, decodeSrvRply),
        kind("AttrRqst", header(Function::AttrRqst, 0x4242), AttrRqst{"", "service:x://h", "DEFAULT", "a,b", ""},
             head(6, 49, 0, 0, 0x4242).str("").str("service:x://h").str("DEFAULT").str("a,b").str(""), encodeAttrRqst,
             decodeAttrRqst),
        kind("AttrRply", header(Function::AttrRply, 0x4242), AttrRply{0, "(a=1),b"},
             head(7, 28, 0, 0, 0x4242).u16(0).str("(a=1),b").u8(0), encodeAttrRply, decodeAttrRply),
        kind("SrvTypeRqstAll", header(Function::SrvTypeRqst, 1), SrvTypeRqst{"", true, "", "DEFAULT"},
             head(9, 29, 0, 0, 1).str("").u16(0xFFFF).str("DEFAULT"), encodeSrvTypeRqst, decodeSrvTypeRqst),
        kind("SrvTypeRqstNamed", header(Function::SrvTypeRqst, 2), SrvTypeRqst{"", false, "3873", "DEFAULT"},
             head(9, 33, 0, 0, 2).str("").str("3873").str("DEFAULT"), encodeSrvTypeRqst, decodeSrvTypeRqst),
        kind("SrvTypeRqstIana", header(Function::SrvTypeRqst, 3), SrvTypeRqst{"", false, "", "DEFAULT"},
             head(9, 29, 0, 0, 3).str("").u16(0).str("DEFAULT"), encodeSrvTypeRqst, decodeSrvTypeRqst),
        kind("SrvTypeRply", header(Function::SrvTypeRply, 3), SrvTypeRply{0, "service:x,service:y"},
             head(10, 39, 0, 0, 3).u16(0).str("service:x,service:y"), encodeSrvTypeRply, decodeSrvTypeRply),
        kind("DAAdvert", header(Function::DAAdvert, 0), DAAdvert{0, 0x5F5E1000, "service:directory-agent://h", "DEFAULT", "", ""},
             head(8, 65, 0, 0, 0).u16(0).u32(0x5F5E1000).str("service:directory-agent://h").str("DEFAULT").str("").str("").u8(0),
             encodeDAAdvert, decodeDAAdvert),
    };
}

void put24(Bytes *b, size_t at, size_t v) {
    (*b)[at] = static_cast<uint8_t>(v >> 16);
    (*b)[at + 1] = static_cast<uint8_t>(v >> 8);
    (*b)[at + 2] = static_cast<uint8_t>(v);
}

class Golden : public testing::TestWithParam<Case> {
protected:
    // Decodes a copy of the golden message changed by `edit`.
    DecodeStatus decodeEdited(const std::function<void(Bytes &)> &edit) {
        Bytes b = GetParam().golden.b;
        edit(b);
        bool same = false;
        return GetParam().decode(b, &same);
    }
};

TEST_P(Golden, EncodesToAndDecodesFromTheHandWrittenBytes) {
    Bytes out;
    ASSERT_TRUE(GetParam().encode(&out));
    EXPECT_EQ(out, GetParam().golden.b);
    bool same = false;
    EXPECT_EQ(GetParam().decode(GetParam().golden.b, &same), DecodeStatus::Ok);
    EXPECT_TRUE(same);
}

TEST_P(Golden, RejectsTruncatedResizedAndGarbledCopies) {
    const Bytes &g = GetParam().golden.b;
    using S = DecodeStatus;
    for (size_t n = 0; n < g.size(); ++n) {
        EXPECT_EQ(decodeEdited([n](Bytes &b) { b.resize(n); }), S::Truncated) << "cut at " << n;
        // The same cut with Length saying so: the body is short.
        EXPECT_TRUE(n < kFixedHeaderSize || decodeEdited([n](Bytes &b) {
                                                b.resize(n);
                                                put24(&b, 2, n);
                                            }) != S::Ok)
            << "cut at " << n;
    }
    EXPECT_EQ(decodeEdited([](Bytes &b) { put24(&b, 2, b.size() + 1); }), S::Truncated);
    EXPECT_EQ(decodeEdited([](Bytes &b) { put24(&b, 2, kMaxMessageLength); }), S::Truncated);
    EXPECT_EQ(decodeEdited([](Bytes &b) { put24(&b, 2, b.size() - 1); }), S::BadLength);
    EXPECT_EQ(decodeEdited([](Bytes &b) { put24(&b, 2, 0); }), S::BadLength);
    EXPECT_NE(decodeEdited([](Bytes &b) {
                  b.push_back(0);
                  put24(&b, 2, b.size());
              }),
              S::Ok);  // byte past the body
    for (uint8_t version : {0, 1, 3, 255}) EXPECT_EQ(decodeEdited([=](Bytes &b) { b[0] = version; }), S::BadVersion);
    EXPECT_EQ(decodeEdited([](Bytes &b) { b[5] |= 0x10; }), S::ParseError);  // reserved flag bits
    EXPECT_EQ(decodeEdited([](Bytes &b) { b[6] |= 0x01; }), S::ParseError);
    for (unsigned fn = 0; fn < 16; ++fn) {
        if (fn == g[1]) continue;
        S expected = fn >= 1 && fn <= 11 ? S::WrongFunction : S::ParseError;
        EXPECT_EQ(decodeEdited([=](Bytes &b) { b[1] = static_cast<uint8_t>(fn); }), expected) << "function " << fn;
    }
    for (size_t at : GetParam().golden.strings) {
        const size_t length = size_t{g[at]} << 8 | g[at + 1];
        EXPECT_TRUE(length == 0 || decodeEdited([&](Bytes &b) { b[at + 2 + length / 2] = 0; }) == S::ParseError) << at;
        for (unsigned bad : {0xFFFFu, 0x7FFFu, 0x0100u, unsigned(length + 1)})
            EXPECT_NE(decodeEdited([&](Bytes &b) { b[at] = uint8_t(bad >> 8), b[at + 1] = uint8_t(bad); }), S::Ok)
                << at << " " << bad;
    }
    for (size_t i = 0; i < g.size(); ++i) decodeEdited([i](Bytes &b) { b[i] ^= 0xFF; });  // reads checked by ASan
}

INSTANTIATE_TEST_SUITE_P(AllKinds, Golden, testing::ValuesIn(goldenCases()),
                         [](const testing::TestParamInfo<Case> &info) { return info.param.name; });

TEST(SlpMessage, OnlyRepliesWithAnErrorMayEndAfterTheCode) {
    Header h;
    SrvRply urls;
    AttrRply attrs;
    SrvTypeRply types;
    for (unsigned error : {4, 0}) {
        const DecodeStatus want = error != 0 ? DecodeStatus::Ok : DecodeStatus::ParseError;
        Bytes b = head(2, 18, 0, 0, 1).u16(error).b;
        EXPECT_EQ(decodeSrvRply(b.data(), b.size(), &h, &urls), want);
        b[1] = 7;
        EXPECT_EQ(decodeAttrRply(b.data(), b.size(), &h, &attrs), want);
        b[1] = 10;
        EXPECT_EQ(decodeSrvTypeRply(b.data(), b.size(), &h, &types), want);
        EXPECT_TRUE(error == 0 || (urls.error == 4 && urls.urls.empty() && attrs.error == 4 && types.error == 4));
    }
    Bytes tooMany = head(2, 20, 0, 0, 1).u16(0).u16(0xFFFF).b;  // URL count beyond the bytes left
    EXPECT_EQ(decodeSrvRply(tooMany.data(), tooMany.size(), &h, &urls), DecodeStatus::ParseError);
}

// SrvAck "en", error 0, then `extensions` from offset 18, the first one said to be at `first`.
Bytes ackWith(const Wire &extensions, unsigned first = 18) {
    Bytes b = head(5, 0, 0, first, 1).u16(0).b;
    b.insert(b.end(), extensions.b.begin(), extensions.b.end());
    put24(&b, 2, b.size());
    return b;
}

TEST(SlpMessage, WalksExtensionChainsToTheirEnd) {
    const struct {
        const char *what;
        Bytes message;
        DecodeStatus expected;
        bool mandatory;
    } chains[] = {
        {"one optional", ackWith(Wire().u16(2).u24(0).u8(0xAA)), DecodeStatus::Ok, false},
        {"optional then mandatory", ackWith(Wire().u16(2).u24(24).u8(0xAA).u16(0x4001).u24(0)), DecodeStatus::Ok, true},
        {"reserved range is not mandatory", ackWith(Wire().u16(0x9000).u24(0)), DecodeStatus::Ok, false},
        {"points to itself", ackWith(Wire().u16(2).u24(18)), DecodeStatus::ParseError, false},
        {"points back", ackWith(Wire().u16(2).u24(23).u16(3).u24(18)), DecodeStatus::ParseError, false},
        {"overlaps the next header", ackWith(Wire().u16(2).u24(21).u24(0).u16(0)), DecodeStatus::ParseError, false},
        {"next past the end", ackWith(Wire().u16(2).u24(200)), DecodeStatus::ParseError, false},
        {"header cut short", ackWith(Wire().u16(2).u16(0)), DecodeStatus::ParseError, false},
        {"first one inside the body", ackWith(Wire().u16(2).u24(0), 17), DecodeStatus::ParseError, false},
    };
    Header h;
    SrvAck ack;
    for (const auto &c : chains) {
        EXPECT_EQ(decodeSrvAck(c.message.data(), c.message.size(), &h, &ack), c.expected) << c.what;
        EXPECT_EQ(hasMandatoryExtension(c.message.data(), c.message.size()), c.mandatory) << c.what;
    }
}

TEST(SlpMessage, EncodersRefuseWhatTheWireCannotHold) {
    Header h = header(Function::SrvReg, 1);
    Bytes out;
    SrvReg reg;
    reg.attributes.assign(65535, 'a');
    EXPECT_TRUE(encodeSrvReg(h, reg, &out));
    reg.attributes.push_back('a');
    EXPECT_FALSE(encodeSrvReg(h, reg, &out));
    SrvTypeRqst types;
    types.namingAuthority.assign(65535, 'n');  // the length 0xFFFF means "all"
    EXPECT_FALSE(encodeSrvTypeRqst(h, types, &out));
    SrvRply big;
    big.urls.assign(300, UrlEntry{1, std::string(60000, 'u')});  // about 18 MB > 2^24 - 1
    EXPECT_FALSE(encodeSrvRply(h, big, &out));
}

}  // namespace
}  // namespace slpv2
