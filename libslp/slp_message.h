// slp_message.h: SLPv2 messages (RFC 2608) as plain records, with their encoders and decoders.
//
// Shared by the client library (libslp) and the agent (slp-agent/). Knows
// nothing of sockets: encoders return the complete message bytes, decoders read a complete
// message from a buffer and never read past its end.
#ifndef ORVAD_LIBSLP_SLP_MESSAGE_H
#define ORVAD_LIBSLP_SLP_MESSAGE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace slpv2 {

enum class Function : uint8_t {
    SrvRqst = 1,
    SrvRply = 2,
    SrvReg = 3,
    SrvDeReg = 4,
    SrvAck = 5,
    AttrRqst = 6,
    AttrRply = 7,
    DAAdvert = 8,
    SrvTypeRqst = 9,
    SrvTypeRply = 10,
    SAAdvert = 11,
};

constexpr uint8_t kVersion = 2;
constexpr uint16_t kFlagOverflow = 0x8000;
constexpr uint16_t kFlagFresh = 0x4000;
constexpr uint16_t kFlagRequestMcast = 0x2000;
constexpr uint16_t kExtensionProcessId = 0x9799;  // 4-byte process id appended to a SrvReg
constexpr size_t kFixedHeaderSize = 14;           // header without the language tag
constexpr uint32_t kMaxMessageLength = 0xFFFFFF;  // largest value of the 24-bit Length

enum class DecodeStatus {
    Ok,
    Truncated,      // fewer bytes than the message claims or needs
    BadVersion,     // version byte is not 2
    BadLength,      // Length field disagrees with the buffer or is below the minimum
    WrongFunction,  // a valid message, but not of the kind asked for
    ParseError,     // a field runs past the end, an embedded NUL, a bad extension chain, ...
};

// Common header. `length` and `nextExtension` are what the wire says (decoding) and are
// computed by the encoders (encoding ignores them).
struct Header {
    Function function = Function::SrvRqst;
    uint32_t length = 0;
    uint16_t flags = 0;
    uint32_t nextExtension = 0;
    uint16_t xid = 0;
    std::string language;
};

// URL entry. Authentication blocks are skipped when decoding and never encoded.
struct UrlEntry {
    uint16_t lifetime = 0;
    std::string url;
};

// A URL entry that refers to a URL held elsewhere, for replies built without copying it.
struct UrlRef {
    uint16_t lifetime = 0;
    std::string_view url;
};

struct SrvReg {
    UrlEntry entry;
    std::string serviceType;
    std::string scopes;
    std::string attributes;
    bool hasProcessId = false;  // the process-id extension is present (decode) / is to be sent (encode)
    uint32_t processId = 0;
};

struct SrvDeReg {
    std::string scopes;
    UrlEntry entry;
    std::string tags;
};

struct SrvAck {
    uint16_t error = 0;
};

struct SrvRqst {
    std::string prList;
    std::string serviceType;
    std::string scopes;
    std::string predicate;
    std::string spi;
};

struct SrvRply {
    uint16_t error = 0;
    std::vector<UrlEntry> urls;
};

struct AttrRqst {
    std::string prList;
    std::string urlOrType;
    std::string scopes;
    std::string tags;
    std::string spi;
};

struct AttrRply {
    uint16_t error = 0;
    std::string attributes;
};

struct SrvTypeRqst {
    std::string prList;
    bool allAuthorities = false;  // naming-authority length 0xFFFF on the wire
    std::string namingAuthority;  // empty and !allAuthorities = IANA only
    std::string scopes;
};

struct SrvTypeRply {
    uint16_t error = 0;
    std::string types;
};

struct SAAdvert {
    std::string url;  // service:service-agent://ADDR
    std::string scopes;
    std::string attributes;
};

struct DAAdvert {
    uint16_t error = 0;
    uint32_t bootTimestamp = 0;  // seconds since 1970 when the DA started; 0: it is going down
    std::string url;             // service:directory-agent://ADDR
    std::string scopes;
    std::string attributes;
    std::string spi;
};

// Reads the version, function and Length of a message whose first 5 bytes are at `data`
// (the TCP framing step). Returns Truncated when size < 5; otherwise fills all three and
// returns BadVersion when the version is not 2, BadLength when Length < 14, else Ok.
[[nodiscard]] DecodeStatus peekHeader(const uint8_t *data, size_t size, uint8_t *version, uint8_t *function,
                                      uint32_t *length);

// Decodes the header of the complete message data[0, size). Checks version, Length == size,
// function ID 1..11, language tag within Length, reserved flag bits clear.
[[nodiscard]] DecodeStatus decodeHeader(const uint8_t *data, size_t size, Header *header);

// Each decoder takes one complete message (size == its Length), checks its function and
// fills the header and body. On any status other than Ok the outputs are unspecified.
[[nodiscard]] DecodeStatus decodeSrvReg(const uint8_t *data, size_t size, Header *header, SrvReg *body);
[[nodiscard]] DecodeStatus decodeSrvDeReg(const uint8_t *data, size_t size, Header *header, SrvDeReg *body);
[[nodiscard]] DecodeStatus decodeSrvAck(const uint8_t *data, size_t size, Header *header, SrvAck *body);
[[nodiscard]] DecodeStatus decodeSrvRqst(const uint8_t *data, size_t size, Header *header, SrvRqst *body);
[[nodiscard]] DecodeStatus decodeSrvRply(const uint8_t *data, size_t size, Header *header, SrvRply *body);
[[nodiscard]] DecodeStatus decodeAttrRqst(const uint8_t *data, size_t size, Header *header, AttrRqst *body);
[[nodiscard]] DecodeStatus decodeAttrRply(const uint8_t *data, size_t size, Header *header, AttrRply *body);
[[nodiscard]] DecodeStatus decodeSrvTypeRqst(const uint8_t *data, size_t size, Header *header, SrvTypeRqst *body);
[[nodiscard]] DecodeStatus decodeSrvTypeRply(const uint8_t *data, size_t size, Header *header, SrvTypeRply *body);
[[nodiscard]] DecodeStatus decodeSAAdvert(const uint8_t *data, size_t size, Header *header, SAAdvert *body);
[[nodiscard]] DecodeStatus decodeDAAdvert(const uint8_t *data, size_t size, Header *header, DAAdvert *body);

// True when the extension chain of a message that decoded Ok holds an ID in 0x4000-0x7FFF
// (mandatory to understand: a request gets OPTION_NOT_UNDERSTOOD, a reply is discarded).
[[nodiscard]] bool hasMandatoryExtension(const uint8_t *data, size_t size);

// Encoders: the complete message, header included, with Length and extension offsets
// computed. `header.function` is ignored (each encoder writes its own). Fail (return
// false, `out` unspecified) only when a string exceeds 65535 bytes or the message 2^24-1.
[[nodiscard]] bool encodeSrvReg(const Header &header, const SrvReg &body, std::vector<uint8_t> *out);
[[nodiscard]] bool encodeSrvDeReg(const Header &header, const SrvDeReg &body, std::vector<uint8_t> *out);
[[nodiscard]] bool encodeSrvAck(const Header &header, const SrvAck &body, std::vector<uint8_t> *out);
[[nodiscard]] bool encodeSrvRqst(const Header &header, const SrvRqst &body, std::vector<uint8_t> *out);
[[nodiscard]] bool encodeSrvRply(const Header &header, const SrvRply &body, std::vector<uint8_t> *out);
// The same from URLs held elsewhere, in one allocation.
[[nodiscard]] bool encodeSrvRply(const Header &header, uint16_t error, const std::vector<UrlRef> &urls,
                                 std::vector<uint8_t> *out);
[[nodiscard]] bool encodeAttrRqst(const Header &header, const AttrRqst &body, std::vector<uint8_t> *out);
[[nodiscard]] bool encodeAttrRply(const Header &header, const AttrRply &body, std::vector<uint8_t> *out);
[[nodiscard]] bool encodeSrvTypeRqst(const Header &header, const SrvTypeRqst &body, std::vector<uint8_t> *out);
[[nodiscard]] bool encodeSrvTypeRply(const Header &header, const SrvTypeRply &body, std::vector<uint8_t> *out);
[[nodiscard]] bool encodeSAAdvert(const Header &header, const SAAdvert &body, std::vector<uint8_t> *out);
[[nodiscard]] bool encodeDAAdvert(const Header &header, const DAAdvert &body, std::vector<uint8_t> *out);

}  // namespace slpv2

#endif
