#include "matching.h"

#include <algorithm>
#include <cctype>

namespace slpagent {

namespace {

constexpr std::string_view kServicePrefix = "service:";

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view stripServicePrefix(std::string_view type) {
    if (type.size() >= kServicePrefix.size() &&
        equalsIgnoreCase(type.substr(0, kServicePrefix.size()), kServicePrefix)) {
        type.remove_prefix(kServicePrefix.size());
    }
    return type;
}

}  // namespace

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
    }
    return true;
}

bool lessIgnoreCase(std::string_view a, std::string_view b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return static_cast<unsigned char>(lowerAscii(x)) < static_cast<unsigned char>(lowerAscii(y));
    });
}

std::string_view trimBlanks(std::string_view s) {
    while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
    return s;
}

std::string toLower(std::string_view s) {
    std::string out(s);
    for (char &c : out) c = lowerAscii(c);
    return out;
}

bool typeMatches(std::string_view requested, std::string_view registered) {
    requested = stripServicePrefix(requested);
    registered = stripServicePrefix(registered);
    if (requested.empty()) return false;
    if (requested.find(':') == std::string_view::npos) {
        registered = registered.substr(0, registered.find(':'));
    }
    return equalsIgnoreCase(requested, registered);
}

std::string typeFamily(std::string_view type) {
    type = stripServicePrefix(type);
    return toLower(type.substr(0, type.find(':')));
}

std::string_view namingAuthority(std::string_view type) {
    std::string_view name = stripServicePrefix(type);
    name = name.substr(0, name.find(':'));
    size_t dot = name.rfind('.');
    return dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
}

bool scopeListHas(std::string_view list, std::string_view scope) {
    while (true) {
        size_t comma = list.find(',');
        if (equalsIgnoreCase(trimBlanks(list.substr(0, comma)), scope)) return true;
        if (comma == std::string_view::npos) return false;
        list.remove_prefix(comma + 1);
    }
}

bool scopesIntersect(std::string_view a, std::string_view b) {
    while (true) {
        size_t comma = a.find(',');
        std::string_view scope = trimBlanks(a.substr(0, comma));
        if (!scope.empty() && scopeListHas(b, scope)) return true;
        if (comma == std::string_view::npos) return false;
        a.remove_prefix(comma + 1);
    }
}

bool languageMatches(std::string_view a, std::string_view b) { return equalsIgnoreCase(a, b); }

}  // namespace slpagent
