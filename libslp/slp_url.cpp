// slp_url.cpp: the API's local helpers: SLPParseSrvURL, SLPEscape, SLPUnescape, SLPFree.
//
// Every result is one malloc() block, so the caller releases it with a single SLPFree.
#include <slp.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Characters that stand for themselves nowhere in an attribute list: `\XX` in escaped text.
bool isReserved(unsigned char c) { return c < 0x20 || c == 0x7F || std::strchr("(),\\!<=>~", c) != nullptr; }

// Characters a tag may not hold even escaped.
bool isBadTagChar(unsigned char c) { return c == '*' || c == '_' || c == '\r' || c == '\n' || c == '\t'; }

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

SLPError copyOut(const std::string &text, char **out) {
    char *copy = static_cast<char *>(std::malloc(text.size() + 1));
    if (copy == nullptr) return SLP_MEMORY_ALLOC_FAILED;
    std::memcpy(copy, text.c_str(), text.size() + 1);
    *out = copy;
    return SLP_OK;
}

}  // namespace

extern "C" {

// The type is everything before the first "://" (never split at the last ':', which an
// unbracketed IPv6 host contains). A bracketed host is an IPv6 address (family "v6");
// otherwise the host runs to the first ':', '/' or ';'. The port is the digits after a ':'
// (0 without any) and the service part is the rest.
SLPEXP SLPError SLPAPI SLPParseSrvURL(const char *pcSrvURL, SLPSrvURL **ppSrvURL) {
    if (pcSrvURL == nullptr || ppSrvURL == nullptr) return SLP_PARAMETER_BAD;
    *ppSrvURL = nullptr;
    const char *sep = std::strstr(pcSrvURL, "://");
    if (sep == nullptr || sep == pcSrvURL) return SLP_PARSE_ERROR;

    const char *host = sep + 3;
    const char *hostEnd = nullptr;
    const char *rest = nullptr;
    const char *family = "";
    if (*host == '[') {
        hostEnd = std::strchr(host, ']');
        if (hostEnd == nullptr) return SLP_PARSE_ERROR;
        ++host;
        rest = hostEnd + 1;
        family = "v6";
    } else {
        hostEnd = host + std::strcspn(host, ":/;");
        rest = hostEnd;
    }
    long port = 0;
    if (*rest == ':') {
        ++rest;
        while (*rest >= '0' && *rest <= '9') {
            port = port * 10 + (*rest++ - '0');
            if (port > 65535) return SLP_PARSE_ERROR;
        }
    }

    size_t typeLen = static_cast<size_t>(sep - pcSrvURL);
    size_t hostLen = static_cast<size_t>(hostEnd - host);
    size_t familyLen = std::strlen(family);
    size_t restLen = std::strlen(rest);
    size_t total = sizeof(SLPSrvURL) + typeLen + hostLen + familyLen + restLen + 4;
    auto *url = static_cast<SLPSrvURL *>(std::malloc(total));
    if (url == nullptr) return SLP_MEMORY_ALLOC_FAILED;

    char *p = reinterpret_cast<char *>(url + 1);
    auto place = [&p](const char *from, size_t n) {
        char *start = p;
        std::memcpy(p, from, n);
        p[n] = '\0';
        p += n + 1;
        return start;
    };
    url->s_pcSrvType = place(pcSrvURL, typeLen);
    url->s_pcHost = place(host, hostLen);
    url->s_iPort = static_cast<int>(port);
    url->s_pcNetFamily = place(family, familyLen);
    url->s_pcSrvPart = place(rest, restLen);
    *ppSrvURL = url;
    return SLP_OK;
}

SLPEXP SLPError SLPAPI SLPEscape(const char *pcInbuf, char **ppcOutBuf, SLPBoolean isTag) {
    if (pcInbuf == nullptr || ppcOutBuf == nullptr) return SLP_PARAMETER_BAD;
    *ppcOutBuf = nullptr;
    try {
        static const char kHex[] = "0123456789ABCDEF";
        std::string out;
        for (const char *p = pcInbuf; *p != '\0'; ++p) {
            auto c = static_cast<unsigned char>(*p);
            if (isTag != SLP_FALSE && isBadTagChar(c)) return SLP_PARSE_ERROR;
            if (isReserved(c)) {
                out += '\\';
                out += kHex[c >> 4];
                out += kHex[c & 0xF];
            } else {
                out += static_cast<char>(c);
            }
        }
        return copyOut(out, ppcOutBuf);
    } catch (...) {
        return SLP_MEMORY_ALLOC_FAILED;
    }
}

SLPEXP SLPError SLPAPI SLPUnescape(const char *pcInbuf, char **ppcOutBuf, SLPBoolean isTag) {
    if (pcInbuf == nullptr || ppcOutBuf == nullptr) return SLP_PARAMETER_BAD;
    *ppcOutBuf = nullptr;
    try {
        std::string out;
        for (const char *p = pcInbuf; *p != '\0'; ++p) {
            char c = *p;
            if (c == '\\') {
                int hi = hexValue(p[1]);
                int lo = hi < 0 ? -1 : hexValue(p[2]);
                if (lo < 0 || (hi == 0 && lo == 0)) return SLP_PARSE_ERROR;  // no NUL in a C string
                c = static_cast<char>(hi << 4 | lo);
                p += 2;
            }
            // A tag may not hold these however they are written.
            if (isTag != SLP_FALSE && isBadTagChar(static_cast<unsigned char>(c))) return SLP_PARSE_ERROR;
            out += c;
        }
        return copyOut(out, ppcOutBuf);
    } catch (...) {
        return SLP_MEMORY_ALLOC_FAILED;
    }
}

SLPEXP void SLPAPI SLPFree(void *pvMem) { std::free(pvMem); }

}  // extern "C"
