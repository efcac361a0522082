#include "reg_file.h"

#include "matching.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <set>

namespace slpagent {

namespace {

bool isLanguageTag(std::string_view tag) {
    if (tag.empty() || tag.size() > 35) return false;
    for (char c : tag) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-') return false;
    }
    return true;
}

// The first line of a registration; false with `why` set when it does not parse.
bool parseUrlLine(std::string_view line, const std::string &scopes, Registration *r, std::string *why) {
    std::vector<std::string_view> fields;
    for (size_t start = 0;;) {
        const size_t comma = line.find(',', start);
        fields.push_back(trimBlanks(line.substr(start, comma - start)));
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    if (fields.size() < 3 || fields.size() > 4) {
        *why = "expected URL,LANGUAGE,LIFETIME[,TYPE]";
        return false;
    }
    r->url = std::string(fields[0]);
    const size_t scheme = r->url.find("://");
    if (scheme == std::string::npos || scheme == 0) {
        *why = "'" + r->url + "' is not a URL";
        return false;
    }
    if (!isLanguageTag(fields[1])) {
        *why = "bad language tag '" + std::string(fields[1]) + "'";
        return false;
    }
    r->language = std::string(fields[1]);
    const std::string lifetime(fields[2]);
    char *end = nullptr;
    errno = 0;
    const long seconds = std::strtol(lifetime.c_str(), &end, 10);
    if (lifetime.empty() || *end != '\0' || errno != 0 || seconds < 1 || seconds > 65535) {
        *why = "lifetime '" + lifetime + "' is not 1 to 65535";
        return false;
    }
    r->lifetime = static_cast<uint16_t>(seconds);
    const bool serviceScheme = r->url.compare(0, 8, "service:") == 0;
    if (fields.size() == 4 && !fields[3].empty()) {
        r->serviceType = std::string(fields[3]);
    } else if (serviceScheme) {
        r->serviceType = r->url.substr(0, scheme);
    } else {
        *why = "a URL outside the service: scheme needs its service type";
        return false;
    }
    r->scopes = scopes;
    return true;
}

// One attribute line as a list item: "tag=v1,v2" becomes "(tag=v1,v2)", a keyword stays as it is.
bool attributeItem(std::string_view line, std::string *item, std::string *why) {
    const size_t eq = line.find('=');
    const std::string_view tag = trimBlanks(line.substr(0, eq));
    if (tag.empty() || tag.find_first_of("(),\\!<>~") != std::string_view::npos) {
        *why = "bad attribute tag '" + std::string(tag) + "'";
        return false;
    }
    *item = eq == std::string_view::npos ? std::string(tag)
                                         : "(" + std::string(tag) + "=" + std::string(trimBlanks(line.substr(eq + 1))) + ")";
    return true;
}

bool sameAsWritten(const Registration &a, const Registration &b) {
    return a.url == b.url && a.language == b.language && a.serviceType == b.serviceType && a.scopes == b.scopes &&
           a.attributes == b.attributes && a.lifetime == b.lifetime && a.processId == 0 && !a.remote;
}

}  // namespace

std::vector<Registration> parseRegistrationFile(const std::string &text, const std::string &path,
                                                const std::string &scopes, std::vector<std::string> *errors) {
    std::vector<Registration> out;
    std::set<RegistryKey> keys;
    Registration current;
    int startLine = 0;  // of the registration being read; 0 = none
    bool bad = false;
    auto finish = [&] {
        if (startLine != 0 && !bad) {
            if (keys.insert(registryKey(current.url, current.language)).second) {
                out.push_back(std::move(current));
            } else {
                errors->push_back(path + ":" + std::to_string(startLine) + ": " + current.url + " is given twice");
            }
        }
        current = Registration{};
        startLine = 0;
        bad = false;
    };
    int number = 0;
    for (size_t start = 0; start <= text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string_view line = trimBlanks(std::string_view(text).substr(start, end - start));
        start = end + 1;
        ++number;
        if (line.empty()) {
            finish();
            continue;
        }
        if (line[0] == '#' || line[0] == ';' || bad) continue;
        std::string why, item;
        if (startLine == 0) {
            startLine = number;
            bad = !parseUrlLine(line, scopes, &current, &why);
        } else if (current.attributes.empty() && equalsIgnoreCase(trimBlanks(line.substr(0, line.find('='))), "scopes") &&
                   line.find('=') != std::string_view::npos) {
            current.scopes = std::string(trimBlanks(line.substr(line.find('=') + 1)));
            if (!scopesIntersect(current.scopes, scopes)) {
                why = "scopes '" + current.scopes + "' are not served (" + scopes + ")";
                bad = true;
            }
        } else if (attributeItem(line, &item, &why)) {
            current.attributes += (current.attributes.empty() ? "" : ",") + item;
        } else {
            bad = true;
        }
        if (bad) errors->push_back(path + ":" + std::to_string(number) + ": " + why + "; entry skipped");
    }
    finish();
    return out;
}

std::string registrationFilePath(const std::string &property) {
    std::string p(trimBlanks(property));
    if (p.compare(0, 5, "file:") != 0) return p;
    p.erase(0, 5);
    if (p.compare(0, 2, "//") == 0) {
        const size_t slash = p.find('/', 2);
        const std::string host = p.substr(2, slash == std::string::npos ? std::string::npos : slash - 2);
        if (!host.empty() && host != "localhost") return "";
        p = slash == std::string::npos ? "" : p.substr(slash);
    }
    return p.empty() || p[0] != '/' ? "" : p;
}

void applyRegistrationFile(Registry *registry, const std::vector<Registration> &before,
                           const std::vector<Registration> &after, bool strictLifetimes, int64_t nowMs,
                           std::vector<std::string> *lines) {
    std::set<RegistryKey> kept;
    for (const Registration &r : after) kept.insert(registryKey(r.url, r.language));
    for (const Registration &old : before) {
        const RegistryKey key = registryKey(old.url, old.language);
        auto it = registry->entries.find(key);
        if (kept.count(key) || it == registry->entries.end() || !sameAsWritten(it->second, old)) continue;
        eraseRegistration(registry, it);
        lines->push_back("deregistered " + old.url);
    }
    for (Registration r : after) {
        auto it = registry->entries.find(registryKey(r.url, r.language));
        if (it != registry->entries.end() && sameAsWritten(it->second, r)) continue;
        r.permanent = r.lifetime == kPermanentLifetime && !strictLifetimes;
        r.expiresAtMs = nowMs + int64_t{r.lifetime} * 1000;
        logRegistration(r, lines);
        storeRegistration(registry, std::move(r));
    }
}

}  // namespace slpagent
