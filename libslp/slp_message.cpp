// slp_message.cpp: encoders and decoders of the SLPv2 messages declared in slp_message.h.
//
// Every read goes through Reader, which checks `n <= bytes left` before touching a byte, so
// no length taken from the wire can move the cursor past the end of the buffer.
#include "slp_message.h"

#include <cstring>

namespace slpv2 {
namespace {

constexpr uint16_t kReservedFlags = 0x1FFF;
constexpr size_t kExtensionHeaderSize = 5;  // ID (2) + next offset (3)
constexpr size_t kAuthBlockMinSize = 10;    // BSD, length, timestamp, SPI length
constexpr size_t kUrlEntryMinSize = 6;
constexpr uint16_t kAllAuthorities = 0xFFFF;

class Reader {
public:
    Reader(const uint8_t *data, size_t size, size_t pos) : data_(data), size_(size), pos_(pos) {}

    size_t pos() const { return pos_; }
    size_t left() const { return size_ - pos_; }
    bool atEnd() const { return pos_ == size_; }

    bool skip(size_t n) {
        if (n > left()) return false;
        pos_ += n;
        return true;
    }
    bool u8(uint8_t *v) {
        if (left() < 1) return false;
        *v = data_[pos_++];
        return true;
    }
    bool u16(uint16_t *v) {
        if (left() < 2) return false;
        *v = static_cast<uint16_t>(data_[pos_] << 8 | data_[pos_ + 1]);
        pos_ += 2;
        return true;
    }
    bool u24(uint32_t *v) {
        if (left() < 3) return false;
        *v = uint32_t{data_[pos_]} << 16 | uint32_t{data_[pos_ + 1]} << 8 | data_[pos_ + 2];
        pos_ += 3;
        return true;
    }
    bool u32(uint32_t *v) {
        uint16_t hi = 0, lo = 0;
        if (left() < 4 || !u16(&hi) || !u16(&lo)) return false;
        *v = uint32_t{hi} << 16 | lo;
        return true;
    }
    // `n` bytes as a string; fails on an overrun or an embedded NUL (the C API cannot carry it).
    bool bytes(size_t n, std::string *s) {
        if (n > left()) return false;
        const char *p = reinterpret_cast<const char *>(data_ + pos_);
        if (n != 0 && std::memchr(p, '\0', n) != nullptr) return false;
        s->assign(p, n);
        pos_ += n;
        return true;
    }
    bool str16(std::string *s) {
        uint16_t n = 0;
        return u16(&n) && bytes(n, s);
    }

private:
    const uint8_t *data_;
    size_t size_;
    size_t pos_;
};

class Writer {
public:
    explicit Writer(std::vector<uint8_t> *out) : out_(out) { out_->clear(); }

    bool ok() const { return ok_; }
    size_t size() const { return out_->size(); }

    void u8(uint8_t v) { out_->push_back(v); }
    void u16(uint16_t v) {
        out_->push_back(static_cast<uint8_t>(v >> 8));
        out_->push_back(static_cast<uint8_t>(v));
    }
    void u24(uint32_t v) {
        if (v > kMaxMessageLength) ok_ = false;
        out_->push_back(static_cast<uint8_t>(v >> 16));
        out_->push_back(static_cast<uint8_t>(v >> 8));
        out_->push_back(static_cast<uint8_t>(v));
    }
    void u32(uint32_t v) {
        u16(static_cast<uint16_t>(v >> 16));
        u16(static_cast<uint16_t>(v));
    }
    void reserve(size_t n) { out_->reserve(n); }
    void str16(std::string_view s) {
        if (s.size() > 0xFFFF) {
            ok_ = false;
            return;
        }
        u16(static_cast<uint16_t>(s.size()));
        out_->insert(out_->end(), s.begin(), s.end());
    }
    void fail() { ok_ = false; }
    void put24At(size_t at, uint32_t v) {
        (*out_)[at] = static_cast<uint8_t>(v >> 16);
        (*out_)[at + 1] = static_cast<uint8_t>(v >> 8);
        (*out_)[at + 2] = static_cast<uint8_t>(v);
    }

private:
    std::vector<uint8_t> *out_;
    bool ok_ = true;
};

// ---------------------------------------------------------------------------------------
// Header
//
//   0       1       2       3       4       5       6       7       8       9
//  +-------+-------+-----------------------+---------------+-----------------------+
//  |Version|  Fn   |      Length (24)      |  Flags (16)   | Next Ext Offset (24)  |
//  +-------+-------+-------+-------+-------+---------------+-----------------------+
//  |    XID (16)   | Lang Len (16) | Language Tag (Lang Len bytes) ...
//  +---------------+---------------+-----------------------------------------------
//  10              12              14
// ---------------------------------------------------------------------------------------

constexpr size_t kLengthOffset = 2;
constexpr size_t kNextExtOffset = 7;

void writeHeader(Writer &w, Function fn, const Header &h) {
    w.u8(kVersion);
    w.u8(static_cast<uint8_t>(fn));
    w.u24(0);  // Length, patched by finish()
    w.u16(h.flags);
    w.u24(0);  // next extension offset, patched when an extension is appended
    w.u16(h.xid);
    w.str16(h.language);
}

bool finish(Writer &w) {
    if (!w.ok() || w.size() > kMaxMessageLength) return false;
    w.put24At(kLengthOffset, static_cast<uint32_t>(w.size()));
    return true;
}

// URL entry
//
//  +----------+---------------+-------------+------------+-----------+-------------+
//  | reserved | lifetime (16) | URL len (16)| URL ...    | # auths(8)| auth blocks |
//  +----------+---------------+-------------+------------+-----------+-------------+
//
// Authentication block: BSD (16), block length (16, whole block), timestamp (32),
// SPI str16, signature. Blocks are never written and skipped by their length on reading.

void writeUrlEntry(Writer &w, uint16_t lifetime, std::string_view url) {
    w.u8(0);
    w.u16(lifetime);
    w.str16(url);
    w.u8(0);
}

void writeUrlEntry(Writer &w, const UrlEntry &e) { writeUrlEntry(w, e.lifetime, e.url); }

bool skipAuthBlocks(Reader &r, uint8_t count) {
    for (unsigned i = 0; i < count; ++i) {
        uint16_t bsd = 0, len = 0;
        if (!r.u16(&bsd) || !r.u16(&len)) return false;
        if (len < kAuthBlockMinSize || !r.skip(size_t{len} - 4)) return false;
    }
    return true;
}

bool readUrlEntry(Reader &r, UrlEntry *e) {
    uint8_t reserved = 0, auths = 0;
    return r.u8(&reserved) && r.u16(&e->lifetime) && r.str16(&e->url) && r.u8(&auths) && skipAuthBlocks(r, auths);
}

// Extension chain, after the body:
//
//  +------------------+------------------------+--------------------------------+
//  | Extension ID (16)| Next Ext Offset (24)   | data (to the next one or Length)|
//  +------------------+------------------------+--------------------------------+
//
// Offsets count from the message start. Each one must lie at or after the body's end,
// leave room for its 5-byte header and exceed the previous, so the walk always ends.
template <typename OnExtension>
DecodeStatus walkExtensions(const uint8_t *data, size_t size, size_t bodyEnd, uint32_t first, OnExtension onExtension) {
    if (first == 0) return bodyEnd == size ? DecodeStatus::Ok : DecodeStatus::BadLength;
    size_t offset = first;
    if (offset < bodyEnd) return DecodeStatus::ParseError;
    while (offset != 0) {
        if (offset > size || size - offset < kExtensionHeaderSize) return DecodeStatus::ParseError;
        Reader r(data, size, offset);
        uint16_t id = 0;
        uint32_t next = 0;
        if (!r.u16(&id) || !r.u24(&next)) return DecodeStatus::ParseError;
        size_t dataEnd = size;
        if (next != 0) {
            if (next < offset + kExtensionHeaderSize || next > size) return DecodeStatus::ParseError;
            dataEnd = next;
        }
        size_t dataStart = offset + kExtensionHeaderSize;
        if (!onExtension(id, data + dataStart, dataEnd - dataStart)) return DecodeStatus::ParseError;
        offset = next;
    }
    return DecodeStatus::Ok;
}

bool ignoreExtension(uint16_t, const uint8_t *, size_t) { return true; }

// Shared frame of every decoder: header, function, minimum body, body, extension chain.
// `parseBody` reads the body from the Reader and returns false on any overrun.
template <typename ParseBody, typename OnExtension>
DecodeStatus decodeMessage(const uint8_t *data, size_t size, Function fn, size_t minBody, Header *header,
                           ParseBody parseBody, OnExtension onExtension) {
    DecodeStatus st = decodeHeader(data, size, header);
    if (st != DecodeStatus::Ok) return st;
    if (header->function != fn) return DecodeStatus::WrongFunction;
    size_t bodyStart = kFixedHeaderSize + header->language.size();
    if (size - bodyStart < minBody) return DecodeStatus::BadLength;
    // The body may not reach into the extensions, so it is parsed up to the first one.
    size_t bodyLimit = size;
    if (header->nextExtension != 0) {
        if (header->nextExtension < bodyStart || header->nextExtension > size) return DecodeStatus::ParseError;
        bodyLimit = header->nextExtension;
    }
    Reader r(data, bodyLimit, bodyStart);
    if (!parseBody(r)) return DecodeStatus::ParseError;
    return walkExtensions(data, size, r.pos(), header->nextExtension, onExtension);
}

// Replies whose error code is nonzero may stop right after it.
bool endsAfterError(const Reader &r, uint16_t error) { return error != 0 && r.atEnd(); }

}  // namespace

DecodeStatus peekHeader(const uint8_t *data, size_t size, uint8_t *version, uint8_t *function, uint32_t *length) {
    if (size < 5) return DecodeStatus::Truncated;
    Reader r(data, size, 0);
    if (!r.u8(version) || !r.u8(function) || !r.u24(length)) return DecodeStatus::Truncated;
    if (*version != kVersion) return DecodeStatus::BadVersion;
    if (*length < kFixedHeaderSize) return DecodeStatus::BadLength;
    return DecodeStatus::Ok;
}

DecodeStatus decodeHeader(const uint8_t *data, size_t size, Header *header) {
    if (size < kFixedHeaderSize) return DecodeStatus::Truncated;
    Reader r(data, size, 0);
    uint8_t version = 0, fn = 0;
    uint32_t length = 0;
    if (!r.u8(&version) || !r.u8(&fn) || !r.u24(&length)) return DecodeStatus::Truncated;
    if (version != kVersion) return DecodeStatus::BadVersion;
    if (length > size) return DecodeStatus::Truncated;
    if (length < size || length < kFixedHeaderSize) return DecodeStatus::BadLength;
    if (fn < static_cast<uint8_t>(Function::SrvRqst) || fn > static_cast<uint8_t>(Function::SAAdvert))
        return DecodeStatus::ParseError;
    header->function = static_cast<Function>(fn);
    header->length = length;
    if (!r.u16(&header->flags) || !r.u24(&header->nextExtension) || !r.u16(&header->xid) || !r.str16(&header->language))
        return DecodeStatus::ParseError;
    if ((header->flags & kReservedFlags) != 0) return DecodeStatus::ParseError;
    return DecodeStatus::Ok;
}

bool hasMandatoryExtension(const uint8_t *data, size_t size) {
    Header h;
    if (decodeHeader(data, size, &h) != DecodeStatus::Ok || h.nextExtension == 0) return false;
    bool found = false;
    DecodeStatus st =
        walkExtensions(data, size, h.nextExtension, h.nextExtension, [&found](uint16_t id, const uint8_t *, size_t) {
            if (id >= 0x4000 && id <= 0x7FFF) found = true;
            return true;
        });
    return st == DecodeStatus::Ok && found;
}

// ---------------------------------------------------------------------------------------
// SrvReg (3)
//
//  +-----------------------------------------------+
//  | URL entry                                      |
//  +----------------------+------------------------+
//  | service type len (16)| service type           |
//  +----------------------+------------------------+
//  | scope list len (16)  | scope list             |
//  +----------------------+------------------------+
//  | attr list len (16)   | attr list              |
//  +----------------------+------------------------+
//  | # attr auths (8)     | attr auth blocks       |
//  +----------------------+------------------------+
//  optional extension 0x9799: ID, next offset 0, process id (32)
// ---------------------------------------------------------------------------------------

bool encodeSrvReg(const Header &header, const SrvReg &body, std::vector<uint8_t> *out) {
    Writer w(out);
    writeHeader(w, Function::SrvReg, header);
    writeUrlEntry(w, body.entry);
    w.str16(body.serviceType);
    w.str16(body.scopes);
    w.str16(body.attributes);
    w.u8(0);
    if (body.hasProcessId) {
        size_t at = w.size();
        if (at > kMaxMessageLength) return false;
        w.put24At(kNextExtOffset, static_cast<uint32_t>(at));
        w.u16(kExtensionProcessId);
        w.u24(0);
        w.u32(body.processId);
    }
    return finish(w);
}

DecodeStatus decodeSrvReg(const uint8_t *data, size_t size, Header *header, SrvReg *body) {
    body->hasProcessId = false;
    body->processId = 0;
    auto parse = [body](Reader &r) {
        uint8_t auths = 0;
        return readUrlEntry(r, &body->entry) && r.str16(&body->serviceType) && r.str16(&body->scopes) &&
               r.str16(&body->attributes) && r.u8(&auths) && skipAuthBlocks(r, auths);
    };
    auto onExtension = [body](uint16_t id, const uint8_t *p, size_t n) {
        if (id != kExtensionProcessId) return true;
        Reader r(p, n, 0);
        if (body->hasProcessId || n != 4 || !r.u32(&body->processId)) return false;
        body->hasProcessId = true;
        return true;
    };
    return decodeMessage(data, size, Function::SrvReg, 13, header, parse, onExtension);
}

// ---------------------------------------------------------------------------------------
// SrvDeReg (4)
//
//  +----------------------+------------------------+
//  | scope list len (16)  | scope list             |
//  +----------------------+------------------------+
//  | URL entry (lifetime ignored)                   |
//  +----------------------+------------------------+
//  | tag list len (16)    | tag list               |
//  +----------------------+------------------------+
// ---------------------------------------------------------------------------------------

bool encodeSrvDeReg(const Header &header, const SrvDeReg &body, std::vector<uint8_t> *out) {
    Writer w(out);
    writeHeader(w, Function::SrvDeReg, header);
    w.str16(body.scopes);
    writeUrlEntry(w, body.entry);
    w.str16(body.tags);
    return finish(w);
}

DecodeStatus decodeSrvDeReg(const uint8_t *data, size_t size, Header *header, SrvDeReg *body) {
    auto parse = [body](Reader &r) {
        return r.str16(&body->scopes) && readUrlEntry(r, &body->entry) && r.str16(&body->tags);
    };
    return decodeMessage(data, size, Function::SrvDeReg, 10, header, parse, ignoreExtension);
}

// ---------------------------------------------------------------------------------------
// SrvAck (5)
//
//  +------------------+
//  | error code (16)  |
//  +------------------+
// ---------------------------------------------------------------------------------------

bool encodeSrvAck(const Header &header, const SrvAck &body, std::vector<uint8_t> *out) {
    Writer w(out);
    writeHeader(w, Function::SrvAck, header);
    w.u16(body.error);
    return finish(w);
}

DecodeStatus decodeSrvAck(const uint8_t *data, size_t size, Header *header, SrvAck *body) {
    auto parse = [body](Reader &r) { return r.u16(&body->error); };
    return decodeMessage(data, size, Function::SrvAck, 2, header, parse, ignoreExtension);
}

// ---------------------------------------------------------------------------------------
// SrvRqst (1)
//
//  +----------------------+------------------------+
//  | PRList len (16)      | PRList                 |
//  +----------------------+------------------------+
//  | service type len (16)| service type           |
//  +----------------------+------------------------+
//  | scope list len (16)  | scope list             |
//  +----------------------+------------------------+
//  | predicate len (16)   | predicate              |
//  +----------------------+------------------------+
//  | SLP SPI len (16)     | SLP SPI                |
//  +----------------------+------------------------+
// ---------------------------------------------------------------------------------------

bool encodeSrvRqst(const Header &header, const SrvRqst &body, std::vector<uint8_t> *out) {
    Writer w(out);
    writeHeader(w, Function::SrvRqst, header);
    w.str16(body.prList);
    w.str16(body.serviceType);
    w.str16(body.scopes);
    w.str16(body.predicate);
    w.str16(body.spi);
    return finish(w);
}

DecodeStatus decodeSrvRqst(const uint8_t *data, size_t size, Header *header, SrvRqst *body) {
    auto parse = [body](Reader &r) {
        return r.str16(&body->prList) && r.str16(&body->serviceType) && r.str16(&body->scopes) &&
               r.str16(&body->predicate) && r.str16(&body->spi);
    };
    return decodeMessage(data, size, Function::SrvRqst, 10, header, parse, ignoreExtension);
}

// ---------------------------------------------------------------------------------------
// SrvRply (2)
//
//  +------------------+------------------+
//  | error code (16)  | URL count (16)   |
//  +------------------+------------------+
//  | URL entry 1 ... URL entry N         |
//  +-------------------------------------+
// ---------------------------------------------------------------------------------------

bool encodeSrvRply(const Header &header, const SrvRply &body, std::vector<uint8_t> *out) {
    if (body.urls.size() > 0xFFFF) return false;
    Writer w(out);
    writeHeader(w, Function::SrvRply, header);
    w.u16(body.error);
    w.u16(static_cast<uint16_t>(body.urls.size()));
    for (const UrlEntry &e : body.urls) writeUrlEntry(w, e);
    return finish(w);
}

bool encodeSrvRply(const Header &header, uint16_t error, const std::vector<UrlRef> &urls, std::vector<uint8_t> *out) {
    if (urls.size() > 0xFFFF) return false;
    size_t size = kFixedHeaderSize + header.language.size() + 4;
    for (const UrlRef &e : urls) size += 6 + e.url.size();
    Writer w(out);
    w.reserve(size);
    writeHeader(w, Function::SrvRply, header);
    w.u16(error);
    w.u16(static_cast<uint16_t>(urls.size()));
    for (const UrlRef &e : urls) writeUrlEntry(w, e.lifetime, e.url);
    return finish(w);
}

DecodeStatus decodeSrvRply(const uint8_t *data, size_t size, Header *header, SrvRply *body) {
    body->urls.clear();
    auto parse = [body](Reader &r) {
        uint16_t count = 0;
        if (!r.u16(&body->error)) return false;
        if (endsAfterError(r, body->error)) return true;
        if (!r.u16(&count) || count > r.left() / kUrlEntryMinSize) return false;
        body->urls.resize(count);
        for (UrlEntry &e : body->urls)
            if (!readUrlEntry(r, &e)) return false;
        return true;
    };
    return decodeMessage(data, size, Function::SrvRply, 2, header, parse, ignoreExtension);
}

// ---------------------------------------------------------------------------------------
// AttrRqst (6)
//
//  +----------------------+------------------------+
//  | PRList len (16)      | PRList                 |
//  +----------------------+------------------------+
//  | URL/type len (16)    | URL or service type    |
//  +----------------------+------------------------+
//  | scope list len (16)  | scope list             |
//  +----------------------+------------------------+
//  | tag list len (16)    | tag list               |
//  +----------------------+------------------------+
//  | SLP SPI len (16)     | SLP SPI                |
//  +----------------------+------------------------+
// ---------------------------------------------------------------------------------------

bool encodeAttrRqst(const Header &header, const AttrRqst &body, std::vector<uint8_t> *out) {
    Writer w(out);
    writeHeader(w, Function::AttrRqst, header);
    w.str16(body.prList);
    w.str16(body.urlOrType);
    w.str16(body.scopes);
    w.str16(body.tags);
    w.str16(body.spi);
    return finish(w);
}

DecodeStatus decodeAttrRqst(const uint8_t *data, size_t size, Header *header, AttrRqst *body) {
    auto parse = [body](Reader &r) {
        return r.str16(&body->prList) && r.str16(&body->urlOrType) && r.str16(&body->scopes) && r.str16(&body->tags) &&
               r.str16(&body->spi);
    };
    return decodeMessage(data, size, Function::AttrRqst, 10, header, parse, ignoreExtension);
}

// ---------------------------------------------------------------------------------------
// AttrRply (7)
//
//  +------------------+----------------------+----------------+
//  | error code (16)  | attr list len (16)   | attr list      |
//  +------------------+----------------------+----------------+
//  | # attr auths (8) | attr auth blocks                      |
//  +------------------+---------------------------------------+
// ---------------------------------------------------------------------------------------

bool encodeAttrRply(const Header &header, const AttrRply &body, std::vector<uint8_t> *out) {
    Writer w(out);
    writeHeader(w, Function::AttrRply, header);
    w.u16(body.error);
    w.str16(body.attributes);
    w.u8(0);
    return finish(w);
}

DecodeStatus decodeAttrRply(const uint8_t *data, size_t size, Header *header, AttrRply *body) {
    body->attributes.clear();
    auto parse = [body](Reader &r) {
        uint8_t auths = 0;
        if (!r.u16(&body->error)) return false;
        if (endsAfterError(r, body->error)) return true;
        return r.str16(&body->attributes) && r.u8(&auths) && skipAuthBlocks(r, auths);
    };
    return decodeMessage(data, size, Function::AttrRply, 2, header, parse, ignoreExtension);
}

// ---------------------------------------------------------------------------------------
// SrvTypeRqst (9)
//
//  +----------------------+------------------------+
//  | PRList len (16)      | PRList                 |
//  +----------------------+------------------------+
//  | NA len (16)          | naming authority       |   NA len 0xFFFF: all, no bytes follow
//  +----------------------+------------------------+
//  | scope list len (16)  | scope list             |
//  +----------------------+------------------------+
// ---------------------------------------------------------------------------------------

bool encodeSrvTypeRqst(const Header &header, const SrvTypeRqst &body, std::vector<uint8_t> *out) {
    Writer w(out);
    writeHeader(w, Function::SrvTypeRqst, header);
    w.str16(body.prList);
    if (body.allAuthorities) {
        w.u16(kAllAuthorities);
    } else if (body.namingAuthority.size() >= kAllAuthorities) {
        w.fail();  // 0xFFFF is taken by "all"
    } else {
        w.str16(body.namingAuthority);
    }
    w.str16(body.scopes);
    return finish(w);
}

DecodeStatus decodeSrvTypeRqst(const uint8_t *data, size_t size, Header *header, SrvTypeRqst *body) {
    auto parse = [body](Reader &r) {
        uint16_t naLen = 0;
        if (!r.str16(&body->prList) || !r.u16(&naLen)) return false;
        body->allAuthorities = naLen == kAllAuthorities;
        if (body->allAuthorities)
            body->namingAuthority.clear();
        else if (!r.bytes(naLen, &body->namingAuthority))
            return false;
        return r.str16(&body->scopes);
    };
    return decodeMessage(data, size, Function::SrvTypeRqst, 6, header, parse, ignoreExtension);
}

// ---------------------------------------------------------------------------------------
// SrvTypeRply (10)
//
//  +------------------+----------------------+--------------------+
//  | error code (16)  | type list len (16)   | service type list  |
//  +------------------+----------------------+--------------------+
// ---------------------------------------------------------------------------------------

bool encodeSrvTypeRply(const Header &header, const SrvTypeRply &body, std::vector<uint8_t> *out) {
    Writer w(out);
    writeHeader(w, Function::SrvTypeRply, header);
    w.u16(body.error);
    w.str16(body.types);
    return finish(w);
}

DecodeStatus decodeSrvTypeRply(const uint8_t *data, size_t size, Header *header, SrvTypeRply *body) {
    body->types.clear();
    auto parse = [body](Reader &r) {
        if (!r.u16(&body->error)) return false;
        if (endsAfterError(r, body->error)) return true;
        return r.str16(&body->types);
    };
    return decodeMessage(data, size, Function::SrvTypeRply, 2, header, parse, ignoreExtension);
}

// ---------------------------------------------------------------------------------------
// SAAdvert (11)
//
//  +----------------------+------------------------+
//  | URL len (16)         | URL                    |
//  +----------------------+------------------------+
//  | scope list len (16)  | scope list             |
//  +----------------------+------------------------+
//  | attr list len (16)   | attr list              |
//  +------------------+---+------------------------+
//  | # auths (8)      | auth blocks                |
//  +------------------+----------------------------+
// ---------------------------------------------------------------------------------------

bool encodeSAAdvert(const Header &header, const SAAdvert &body, std::vector<uint8_t> *out) {
    Writer w(out);
    writeHeader(w, Function::SAAdvert, header);
    w.str16(body.url);
    w.str16(body.scopes);
    w.str16(body.attributes);
    w.u8(0);
    return finish(w);
}

DecodeStatus decodeSAAdvert(const uint8_t *data, size_t size, Header *header, SAAdvert *body) {
    auto parse = [body](Reader &r) {
        uint8_t auths = 0;
        return r.str16(&body->url) && r.str16(&body->scopes) && r.str16(&body->attributes) && r.u8(&auths) &&
               skipAuthBlocks(r, auths);
    };
    return decodeMessage(data, size, Function::SAAdvert, 7, header, parse, ignoreExtension);
}

// ---------------------------------------------------------------------------------------
// DAAdvert (8)
//
//  +----------------------+------------------------+
//  | error code (16)      | boot timestamp (32)    |
//  +----------------------+------------------------+
//  | URL len (16)         | URL                    |
//  +----------------------+------------------------+
//  | scope list len (16)  | scope list             |
//  +----------------------+------------------------+
//  | attr list len (16)   | attr list              |
//  +----------------------+------------------------+
//  | SPI list len (16)    | SPI list               |
//  +------------------+---+------------------------+
//  | # auths (8)      | auth blocks                |
//  +------------------+----------------------------+
// ---------------------------------------------------------------------------------------

bool encodeDAAdvert(const Header &header, const DAAdvert &body, std::vector<uint8_t> *out) {
    Writer w(out);
    writeHeader(w, Function::DAAdvert, header);
    w.u16(body.error);
    w.u32(body.bootTimestamp);
    w.str16(body.url);
    w.str16(body.scopes);
    w.str16(body.attributes);
    w.str16(body.spi);
    w.u8(0);
    return finish(w);
}

DecodeStatus decodeDAAdvert(const uint8_t *data, size_t size, Header *header, DAAdvert *body) {
    auto parse = [body](Reader &r) {
        uint8_t auths = 0;
        return r.u16(&body->error) && r.u32(&body->bootTimestamp) && r.str16(&body->url) && r.str16(&body->scopes) &&
               r.str16(&body->attributes) && r.str16(&body->spi) && r.u8(&auths) && skipAuthBlocks(r, auths);
    };
    return decodeMessage(data, size, Function::DAAdvert, 15, header, parse, ignoreExtension);
}

}  // namespace slpv2
