// slp_codec_fuzz.cpp: libFuzzer target for one SLPv2 decoder, chosen at build time by
// ORVAD_FUZZ_MESSAGE (SrvReg, SrvDeReg, ...).
//
// Whatever decodes must encode again, the encoding must decode to the same records, and
// encoding those must give the same bytes. Any difference aborts.
#include "slp_message.h"

#include <cstdlib>
#include <vector>

namespace slpv2 {
namespace fuzz {  // not anonymous: each target uses only its own comparisons

bool same(const Header &a, const Header &b) {
    return a.function == b.function && a.flags == b.flags && a.xid == b.xid && a.language == b.language;
}
bool same(const UrlEntry &a, const UrlEntry &b) { return a.lifetime == b.lifetime && a.url == b.url; }
bool same(const SrvReg &a, const SrvReg &b) {
    return same(a.entry, b.entry) && a.serviceType == b.serviceType && a.scopes == b.scopes &&
           a.attributes == b.attributes && a.hasProcessId == b.hasProcessId && a.processId == b.processId;
}
bool same(const SrvDeReg &a, const SrvDeReg &b) {
    return a.scopes == b.scopes && same(a.entry, b.entry) && a.tags == b.tags;
}
bool same(const SrvAck &a, const SrvAck &b) { return a.error == b.error; }
bool same(const SrvRqst &a, const SrvRqst &b) {
    return a.prList == b.prList && a.serviceType == b.serviceType && a.scopes == b.scopes &&
           a.predicate == b.predicate && a.spi == b.spi;
}
bool same(const SrvRply &a, const SrvRply &b) {
    if (a.error != b.error || a.urls.size() != b.urls.size()) return false;
    for (size_t i = 0; i < a.urls.size(); ++i)
        if (!same(a.urls[i], b.urls[i])) return false;
    return true;
}
bool same(const AttrRqst &a, const AttrRqst &b) {
    return a.prList == b.prList && a.urlOrType == b.urlOrType && a.scopes == b.scopes && a.tags == b.tags &&
           a.spi == b.spi;
}
bool same(const AttrRply &a, const AttrRply &b) { return a.error == b.error && a.attributes == b.attributes; }
bool same(const SrvTypeRqst &a, const SrvTypeRqst &b) {
    return a.prList == b.prList && a.allAuthorities == b.allAuthorities && a.namingAuthority == b.namingAuthority &&
           a.scopes == b.scopes;
}
bool same(const SrvTypeRply &a, const SrvTypeRply &b) { return a.error == b.error && a.types == b.types; }
bool same(const SAAdvert &a, const SAAdvert &b) {
    return a.url == b.url && a.scopes == b.scopes && a.attributes == b.attributes;
}
bool same(const DAAdvert &a, const DAAdvert &b) {
    return a.error == b.error && a.bootTimestamp == b.bootTimestamp && a.url == b.url && a.scopes == b.scopes &&
           a.attributes == b.attributes && a.spi == b.spi;
}

template <typename Body>
void roundTrip(const uint8_t *data, size_t size, DecodeStatus (*decode)(const uint8_t *, size_t, Header *, Body *),
               bool (*encode)(const Header &, const Body &, std::vector<uint8_t> *)) {
    Header header;
    Body body;
    if (decode(data, size, &header, &body) != DecodeStatus::Ok) return;

    // The framing step agrees with the full decode.
    uint8_t version = 0, function = 0;
    uint32_t length = 0;
    if (peekHeader(data, size, &version, &function, &length) != DecodeStatus::Ok || length != size ||
        function != static_cast<uint8_t>(header.function))
        std::abort();

    std::vector<uint8_t> encoded;
    if (!encode(header, body, &encoded)) std::abort();
    Header header2;
    Body body2;
    if (decode(encoded.data(), encoded.size(), &header2, &body2) != DecodeStatus::Ok) std::abort();
    if (!same(header, header2) || !same(body, body2)) std::abort();
    std::vector<uint8_t> again;
    if (!encode(header2, body2, &again) || again != encoded) std::abort();
}

}  // namespace fuzz
}  // namespace slpv2

#define ORVAD_FUZZ_CAT2(a, b) a##b
#define ORVAD_FUZZ_CAT(a, b) ORVAD_FUZZ_CAT2(a, b)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    slpv2::fuzz::roundTrip<slpv2::ORVAD_FUZZ_MESSAGE>(data, size, slpv2::ORVAD_FUZZ_CAT(decode, ORVAD_FUZZ_MESSAGE),
                                                      slpv2::ORVAD_FUZZ_CAT(encode, ORVAD_FUZZ_MESSAGE));
    return 0;
}
