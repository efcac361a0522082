// codec_cases: decodes each message of a case file (notation in codec-cases/README) and prints its
// fields, how it encodes again, and every damaged copy of it that the decoder misjudges.
#include "slp_fields.h"

#include <cstdio>
#include <fstream>
#include <functional>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <stdexcept>

using namespace slpv2;
using Bytes = std::vector<uint8_t>;

namespace {

const char *const kStatus[] = {"Ok", "Truncated", "BadVersion", "BadLength", "WrongFunction", "ParseError"};

void put(std::ostream &o, const std::string &s) { o << ' ' << std::quoted(s); }
void put(std::ostream &o, const std::vector<UrlEntry> &urls) {
    for (const UrlEntry &u : urls) o << (&u == urls.data() ? " [" : ", ") << u.lifetime << ' ' << std::quoted(u.url);
    o << (urls.empty() ? " []" : "]");
}
template <typename Number> void put(std::ostream &o, Number n) { o << ' ' << static_cast<long long>(n); }

std::string hex(const Bytes &b) {
    std::string out;
    char two[4];
    for (uint8_t c : b) std::snprintf(two, sizeof two, " %02x", c), out += two;
    return out;
}

// Decodes a message as one kind: its status and, when `text` is given, its fields as text and
// their encoding (empty when they do not encode).
using Kind = std::function<DecodeStatus(const Bytes &, std::string *text, Bytes *encoded)>;

template <typename Body>
Kind kind(const char *name, DecodeStatus (*decode)(const uint8_t *, size_t, Header *, Body *),
          bool (*encode)(const Header &, const Body &, Bytes *)) {
    return [=](const Bytes &in, std::string *text, Bytes *encoded) {
        Header h;
        Body body;
        const DecodeStatus status = decode(in.data(), in.size(), &h, &body);
        if (status != DecodeStatus::Ok || text == nullptr) return status;
        char head[96];
        std::snprintf(head, sizeof head, "%s fn=%d flags=%04x xid=%04x length=%u next=%u lang=", name, int(h.function),
                      h.flags, h.xid, unsigned(h.length), unsigned(h.nextExtension));
        std::ostringstream o;
        o << head << std::quoted(h.language) << " |";
        std::apply([&](const auto &...field) { (put(o, field), ...); }, fields(body));
        *text = o.str();
        if (!encode(h, body, encoded)) encoded->clear();
        return status;
    };
}

#define KIND(name) kind(#name, decode##name, encode##name)
const Kind kKinds[] = {  // by function number
    nullptr,        KIND(SrvRqst),  KIND(SrvRply),     KIND(SrvReg),      KIND(SrvDeReg), KIND(SrvAck),
    KIND(AttrRqst), KIND(AttrRply), KIND(DAAdvert),    KIND(SrvTypeRqst), KIND(SrvTypeRply), KIND(SAAdvert)};

// Hex digits and "quoted" strings, each string its 16-bit length and its bytes; notes where each
// string's length sits, for the damaged copies.
Bytes wire(std::istream &in, std::vector<size_t> *strings) {
    Bytes b;
    for (std::string t; !(in >> std::ws).eof();) {
        if (in.peek() == '"') {
            in >> std::quoted(t);
            strings->push_back(b.size());
            b.push_back(uint8_t(t.size() >> 8)), b.push_back(uint8_t(t.size()));
            b.insert(b.end(), t.begin(), t.end());
            continue;
        }
        in >> t;
        if (t.size() % 2 != 0) throw std::runtime_error("odd number of hex digits in " + t);
        for (size_t i = 0; i < t.size(); i += 2) b.push_back(uint8_t(std::stoul(t.substr(i, 2), nullptr, 16)));
    }
    return b;
}

void setLength(Bytes &b, size_t v) { b[2] = uint8_t(v >> 16), b[3] = uint8_t(v >> 8), b[4] = uint8_t(v); }

// Damaged copies of `g`, a message that encodes back to itself, and the status the decoder must
// give each (Ok here: any but Ok); prints each copy it misjudges.
void damage(const Kind &decode, const Bytes &g, const std::vector<size_t> &strings) {
    using S = DecodeStatus;
    auto expect = [&](const std::string &what, S want, const std::function<void(Bytes &)> &edit) {
        Bytes b = g;
        edit(b);
        const S got = decode(b, nullptr, nullptr);
        if (want == S::Ok ? got == S::Ok : got != want) std::cout << "  " << what << ": " << kStatus[int(got)] << "\n";
    };
    for (size_t n = 0; n < g.size(); ++n) {
        const std::string cut = "cut to " + std::to_string(n);
        expect(cut, S::Truncated, [n](Bytes &b) { b.resize(n); });
        if (n < kFixedHeaderSize) continue;
        expect(cut + " with that Length", S::Ok, [n](Bytes &b) { b.resize(n), setLength(b, n); });
    }
    expect("Length one more", S::Truncated, [](Bytes &b) { setLength(b, b.size() + 1); });
    expect("Length the largest", S::Truncated, [](Bytes &b) { setLength(b, kMaxMessageLength); });
    expect("Length one less", S::BadLength, [](Bytes &b) { setLength(b, b.size() - 1); });
    expect("Length 0", S::BadLength, [](Bytes &b) { setLength(b, 0); });
    expect("a byte past the body", S::Ok, [](Bytes &b) { b.push_back(0), setLength(b, b.size()); });
    for (uint8_t v : {0, 1, 3, 255}) expect("version " + std::to_string(v), S::BadVersion, [v](Bytes &b) { b[0] = v; });
    expect("reserved flag 0x1000", S::ParseError, [](Bytes &b) { b[5] |= 0x10; });
    expect("reserved flag 0x0001", S::ParseError, [](Bytes &b) { b[6] |= 0x01; });
    for (unsigned fn = 0; fn < 16; ++fn)
        if (fn != g[1])
            expect("function " + std::to_string(fn), fn >= 1 && fn <= 11 ? S::WrongFunction : S::ParseError,
                   [fn](Bytes &b) { b[1] = uint8_t(fn); });
    for (size_t at : strings) {
        const size_t length = size_t{g[at]} << 8 | g[at + 1];
        const std::string where = "string at " + std::to_string(at);
        if (length > 0) expect(where + " holding a NUL", S::ParseError, [&](Bytes &b) { b[at + 2 + length / 2] = 0; });
        for (unsigned bad : {0xFFFFu, 0x7FFFu, 0x0100u, unsigned(length + 1)})
            expect(where + " said to be " + std::to_string(bad) + " long", S::Ok,
                   [&](Bytes &b) { b[at] = uint8_t(bad >> 8), b[at + 1] = uint8_t(bad); });
    }
    for (size_t i = 0; i < g.size(); ++i) {  // any status: reads checked by ASan
        Bytes b = g;
        b[i] ^= 0xFF;
        (void)decode(b, nullptr, nullptr);
    }
}

// The encoders refuse what the wire cannot hold.
void limits() {
    const Header h{Function::SrvReg, 0, 0, 0, 1, "en"};
    Bytes out;
    SrvReg longest, tooLong;
    longest.attributes.assign(65535, 'a');
    tooLong.attributes.assign(65536, 'a');
    SrvTypeRqst types;
    types.namingAuthority.assign(65535, 'n');  // the length 0xFFFF means "all"
    SrvRply big;
    big.urls.assign(300, UrlEntry{1, std::string(60000, 'u')});  // about 18 MB > 2^24 - 1
    for (const auto &[what, encoded] : std::initializer_list<std::pair<const char *, bool>>{
             {"SrvReg attributes of 65535 bytes", encodeSrvReg(h, longest, &out)},
             {"SrvReg attributes of 65536 bytes", encodeSrvReg(h, tooLong, &out)},
             {"SrvTypeRqst naming authority of 65535 bytes", encodeSrvTypeRqst(h, types, &out)},
             {"SrvRply of 300 URLs of 60000 bytes", encodeSrvRply(h, big, &out)}})
        std::cout << "  " << what << (encoded ? ": encoded\n" : ": refused\n");
}

}  // namespace

int main(int argc, char **argv) {
    std::ifstream in(argc == 2 ? argv[1] : "");
    if (!in) return std::cerr << "usage: codec_cases CASE-FILE\n", 2;
    for (std::string line; std::getline(in, line);) {
        const bool step = !line.empty() && line[0] != '#';
        std::cout << (step ? "> " : "") << line << "\n";
        if (!step || line == "limits") {
            if (step) limits();
            continue;
        }
        std::istringstream words(line);
        std::vector<size_t> strings;
        const Bytes m = wire(words, &strings);
        if (m.size() < 2 || m[1] < 1 || m[1] > 11) {
            std::cout << "  no decoder for this function\n";
            continue;
        }
        std::string text;
        Bytes again;
        const DecodeStatus status = kKinds[m[1]](m, &text, &again);
        std::cout << "  " << (status == DecodeStatus::Ok ? text : kStatus[int(status)]) << "\n";
        if (hasMandatoryExtension(m.data(), m.size())) std::cout << "  mandatory extension\n";
        if (status != DecodeStatus::Ok) continue;
        if (again != m) {
            std::cout << "  encodes " << (again.empty() ? "not at all" : "as" + hex(again)) << "\n";
            continue;
        }
        std::cout << "  encodes back to these bytes\n";
        damage(kKinds[m[1]], m, strings);
    }
}
