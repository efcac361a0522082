#include "predicate.h"

#include "attributes.h"
#include "matching.h"

#include <cstdint>
#include <optional>

namespace slpagent {

namespace {

using Kind = PredicateNode::Kind;

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// `\XX` becomes the byte 0xXX; a backslash without two hex digits stays as written.
std::string unescape(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 2 < s.size() && hexDigit(s[i + 1]) >= 0 && hexDigit(s[i + 2]) >= 0) {
            out += static_cast<char>(hexDigit(s[i + 1]) * 16 + hexDigit(s[i + 2]));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

// The bytes an opaque value stands for: `\FF`, then one `\XX` escape per byte, outer blanks
// ignored. nullopt for any other value, a malformed opaque included (it stays a string).
std::optional<std::string> opaqueBytes(std::string_view s) {
    s = trimBlanks(s);
    if (s.size() < 3 || s.size() % 3 != 0) return std::nullopt;
    std::string bytes;
    for (size_t i = 0; i < s.size(); i += 3) {
        int high = hexDigit(s[i + 1]), low = hexDigit(s[i + 2]);
        if (s[i] != '\\' || high < 0 || low < 0 || (i == 0 && high * 16 + low != 0xFF)) return std::nullopt;
        if (i > 0) bytes += static_cast<char>(high * 16 + low);
    }
    return bytes;
}

std::optional<int64_t> parseInteger(std::string_view s) {
    s = trimBlanks(s);
    bool negative = false;
    if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
        negative = s[0] == '-';
        s.remove_prefix(1);
    }
    if (s.empty() || s.size() > 10) return std::nullopt;
    int64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + (c - '0');
    }
    return negative ? -v : v;
}

std::string removeBlanks(std::string_view s) {
    std::string out;
    for (char c : s) {
        if (c != ' ') out += c;
    }
    return out;
}

// FNV-1a over a kind byte, the folded tag and, for a value, a separator and its bytes.
uint64_t signatureHash(char kind, std::string_view tag, std::string_view value = {}) {
    uint64_t h = 0xcbf29ce484222325ull;
    auto mix = [&h](unsigned char c) { h = (h ^ c) * 0x100000001b3ull; };
    mix(static_cast<unsigned char>(kind));
    for (char c : tag) mix(static_cast<unsigned char>(c));
    mix(0);
    for (char c : value) mix(static_cast<unsigned char>(c));
    return h ^ (h >> 31);
}

// Four bits of 512 from one hash.
void setBits(AttrSignature *s, uint64_t h) {
    for (int i = 0; i < 4; ++i, h >>= 9) s->bits[(h >> 6) & 7] |= uint64_t{1} << (h & 63);
}

bool hasBits(const AttrSignature &s, uint64_t h) {
    for (int i = 0; i < 4; ++i, h >>= 9) {
        if ((s.bits[(h >> 6) & 7] & (uint64_t{1} << (h & 63))) == 0) return false;
    }
    return true;
}

// The hash an = item and a value it equals share: integers by their number, opaques by their
// bytes, anything else by its folded text (valueMatches() orders these three apart).
uint64_t equalityHash(std::string_view tag, bool opaque, const std::string &value) {
    if (opaque) return signatureHash('o', tag, value);
    if (std::optional<int64_t> n = parseInteger(value)) return signatureHash('i', tag, std::to_string(*n));
    return signatureHash('s', tag, value);
}

class Parser {
public:
    Parser(std::string_view text, Predicate *out) : text_(text), out_(out) {}

    bool parseTop() {
        skipBlanks();
        std::optional<size_t> root = parseFilter(0);
        skipBlanks();
        if (!root || pos_ != text_.size()) return false;
        out_->root = *root;
        return true;
    }

private:
    void skipBlanks() {
        while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t')) ++pos_;
    }

    bool take(char c) {
        skipBlanks();
        if (pos_ < text_.size() && text_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }

    size_t addNode(PredicateNode node) {
        out_->nodes.push_back(std::move(node));
        return out_->nodes.size() - 1;
    }

    std::optional<size_t> parseFilter(int depth) {
        if (depth >= kMaxPredicateDepth || !take('(')) return std::nullopt;
        skipBlanks();
        if (pos_ >= text_.size()) return std::nullopt;
        std::optional<size_t> node;
        char c = text_[pos_];
        if (c == '&' || c == '|') {
            ++pos_;
            node = parseList(c == '&' ? Kind::And : Kind::Or, depth);
        } else if (c == '!') {
            ++pos_;
            std::optional<size_t> child = parseFilter(depth + 1);
            if (child) {
                PredicateNode n;
                n.kind = Kind::Not;
                n.children.push_back(*child);
                node = addNode(std::move(n));
            }
        } else {
            node = parseItem();
        }
        if (!node || !take(')')) return std::nullopt;
        return node;
    }

    std::optional<size_t> parseList(Kind kind, int depth) {
        PredicateNode n;
        n.kind = kind;
        skipBlanks();
        while (pos_ < text_.size() && text_[pos_] == '(') {
            std::optional<size_t> child = parseFilter(depth + 1);
            if (!child) return std::nullopt;
            n.children.push_back(*child);
            skipBlanks();
        }
        if (n.children.empty()) return std::nullopt;
        return addNode(std::move(n));
    }

    std::optional<size_t> parseItem() {
        size_t opPos = text_.find_first_of("=~<>()", pos_);
        if (opPos == std::string_view::npos || text_[opPos] == '(' || text_[opPos] == ')') {
            return std::nullopt;
        }
        PredicateNode n;
        n.attribute = foldForCompare(text_.substr(pos_, opPos - pos_));
        if (n.attribute.empty()) return std::nullopt;
        pos_ = opPos;
        char op = text_[pos_++];
        if (op != '=') {
            if (pos_ >= text_.size() || text_[pos_] != '=') return std::nullopt;
            ++pos_;
        }
        size_t valueEnd = text_.find_first_of("()", pos_);
        if (valueEnd == std::string_view::npos || text_[valueEnd] == '(') return std::nullopt;
        std::string_view raw = text_.substr(pos_, valueEnd - pos_);
        pos_ = valueEnd;
        switch (op) {
        case '~':
            n.kind = Kind::Approx;
            break;
        case '<':
            n.kind = Kind::LessEq;
            break;
        case '>':
            n.kind = Kind::GreaterEq;
            break;
        default:
            if (trimBlanks(raw) == "*") {
                n.kind = Kind::Present;
                n.signature = signatureHash('t', n.attribute);
                return addNode(std::move(n));
            }
            n.kind = raw.find('*') == std::string_view::npos ? Kind::Equal : Kind::Substring;
            break;
        }
        if (n.kind == Kind::Substring) {
            while (true) {
                size_t star = raw.find('*');
                n.pieces.push_back(foldForCompare(unescape(raw.substr(0, star))));
                if (star == std::string_view::npos) break;
                raw.remove_prefix(star + 1);
            }
        } else if (std::optional<std::string> bytes = opaqueBytes(raw); bytes && n.kind != Kind::Approx) {
            n.opaque = true;
            n.value = std::move(*bytes);
        } else {
            n.value = foldForCompare(unescape(raw));
        }
        n.signature = n.kind == Kind::Equal ? equalityHash(n.attribute, n.opaque, n.value) : signatureHash('t', n.attribute);
        return addNode(std::move(n));
    }

    std::string_view text_;
    Predicate *out_;
    size_t pos_ = 0;
};

bool substringMatches(const std::vector<std::string> &pieces, std::string_view text) {
    const std::string &first = pieces.front();
    const std::string &last = pieces.back();
    if (text.size() < first.size() || text.substr(0, first.size()) != first) return false;
    text.remove_prefix(first.size());
    for (size_t i = 1; i + 1 < pieces.size(); ++i) {
        size_t at = text.find(pieces[i]);
        if (at == std::string_view::npos) return false;
        text.remove_prefix(at + pieces[i].size());
    }
    return text.size() >= last.size() && text.substr(text.size() - last.size()) == last;
}

bool valueMatches(const PredicateNode &node, std::string_view rawValue) {
    std::optional<std::string> bytes;
    if (node.kind == Kind::Equal || node.kind == Kind::GreaterEq || node.kind == Kind::LessEq) {
        bytes = opaqueBytes(rawValue);
        // Opaques order only among themselves, by their bytes.
        if (bytes.has_value() != node.opaque) return false;
    }
    const std::string value = bytes ? std::move(*bytes) : foldForCompare(unescape(rawValue));
    if (node.kind == Kind::Substring) return substringMatches(node.pieces, value);
    if (node.kind == Kind::Approx) return removeBlanks(value) == removeBlanks(node.value);
    std::optional<int64_t> a, b;
    if (!node.opaque) {
        a = parseInteger(value);
        b = parseInteger(node.value);
    }
    // std::string compares as unsigned char, which is the bytewise order opaques need.
    int order = (a && b) ? (*a < *b ? -1 : (*a > *b ? 1 : 0)) : value.compare(node.value);
    switch (node.kind) {
    case Kind::Equal:
        return order == 0;
    case Kind::GreaterEq:
        return order >= 0;
    case Kind::LessEq:
        return order <= 0;
    default:
        return false;
    }
}

struct Evaluation {
    const Predicate &predicate;
    const std::vector<AttrItem> &items;
    const std::vector<std::string> &foldedTags;

    bool matches(size_t index) const {
        const PredicateNode &node = predicate.nodes[index];
        switch (node.kind) {
        case Kind::And:
            for (size_t child : node.children) {
                if (!matches(child)) return false;
            }
            return true;
        case Kind::Or:
            for (size_t child : node.children) {
                if (matches(child)) return true;
            }
            return false;
        case Kind::Not:
            return !matches(node.children.front());
        default:
            break;
        }
        for (size_t i = 0; i < items.size(); ++i) {
            if (foldedTags[i] != node.attribute) continue;
            if (node.kind == Kind::Present) return true;
            for (std::string_view value : items[i].values) {
                if (valueMatches(node, value)) return true;
            }
        }
        return false;
    }
};

bool mayMatch(const Predicate &p, size_t index, const AttrSignature &s) {
    const PredicateNode &node = p.nodes[index];
    switch (node.kind) {
    case Kind::And:
        for (size_t child : node.children) {
            if (!mayMatch(p, child, s)) return false;
        }
        return true;
    case Kind::Or:
        for (size_t child : node.children) {
            if (mayMatch(p, child, s)) return true;
        }
        return false;
    case Kind::Not:
        return true;
    default:
        return hasBits(s, node.signature);
    }
}

}  // namespace

AttrSignature signatureOf(std::string_view attributeList) {
    AttrSignature s;
    for (const AttrItem &item : parseLeniently(attributeList)) {
        const std::string tag = foldForCompare(item.tag);
        setBits(&s, signatureHash('t', tag));
        for (std::string_view raw : item.values) {
            std::optional<std::string> bytes = opaqueBytes(raw);
            setBits(&s, equalityHash(tag, bytes.has_value(), bytes ? *bytes : foldForCompare(unescape(raw))));
        }
    }
    return s;
}

bool signatureMayMatch(const Predicate &predicate, const AttrSignature &signature) {
    return predicate.nodes.empty() || mayMatch(predicate, predicate.root, signature);
}

bool parsePredicate(std::string_view text, Predicate *out) {
    out->nodes.clear();
    out->root = 0;
    if (trimBlanks(text).empty()) return true;
    Parser parser(text, out);
    if (parser.parseTop()) return true;
    out->nodes.clear();
    return false;
}

bool predicateMatches(const Predicate &predicate, std::string_view attributeList) {
    if (predicate.nodes.empty()) return true;
    const std::vector<AttrItem> items = parseLeniently(attributeList);
    std::vector<std::string> foldedTags;
    foldedTags.reserve(items.size());
    for (const AttrItem &item : items) foldedTags.push_back(foldForCompare(item.tag));
    return Evaluation{predicate, items, foldedTags}.matches(predicate.root);
}

}  // namespace slpagent
