// slp_codec_fuzz.cpp: libFuzzer target for one SLPv2 decoder, chosen at build time by
// ORVAD_FUZZ_MESSAGE (SrvReg, SrvDeReg, ...).
//
// Whatever decodes must encode again, the encoding must decode to the same records, and
// encoding those must give the same bytes. Any difference aborts.
#include "../libslp/slp_fields.h"

#include <cstdlib>
#include <vector>

namespace slpv2 {

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
    if (!(header == header2) || !(body == body2)) std::abort();
    std::vector<uint8_t> again;
    if (!encode(header2, body2, &again) || again != encoded) std::abort();
}

}  // namespace slpv2

#define ORVAD_FUZZ_CAT2(a, b) a##b
#define ORVAD_FUZZ_CAT(a, b) ORVAD_FUZZ_CAT2(a, b)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    slpv2::roundTrip<slpv2::ORVAD_FUZZ_MESSAGE>(data, size, slpv2::ORVAD_FUZZ_CAT(decode, ORVAD_FUZZ_MESSAGE),
                                                      slpv2::ORVAD_FUZZ_CAT(encode, ORVAD_FUZZ_MESSAGE));
    return 0;
}
