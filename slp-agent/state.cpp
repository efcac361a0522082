#include "state.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <vector>

namespace slpagent {

namespace {

constexpr char kMagic[] = "slp-agent-state 1";
constexpr char kEnd[] = "end";

// "x" then two hex digits per byte: never empty, never a blank, whatever the bytes.
std::string hex(const std::string &s) {
    static const char digits[] = "0123456789abcdef";
    std::string out = "x";
    for (unsigned char c : s) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

bool unhex(const std::string &s, std::string *out) {
    if (s.empty() || s[0] != 'x' || s.size() % 2 == 0) return false;
    auto value = [](char c) { return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1; };
    out->clear();
    for (size_t i = 1; i < s.size(); i += 2) {
        int hi = value(s[i]), lo = value(s[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out->push_back(static_cast<char>(hi * 16 + lo));
    }
    return true;
}

}  // namespace

std::string serializeState(const Registry &registry, int64_t monoNowMs, int64_t wallNowMs) {
    std::ostringstream out;
    out << kMagic << '\n';
    if (registry.bootTimestamp != 0) out << "boot " << registry.bootTimestamp << '\n';
    for (const auto &entry : registry.entries) {
        const Registration &r = entry.second;
        // Line: lifetime permanent expiry-wall-ms pid url language type scopes attributes [remote]
        out << "reg " << r.lifetime << ' ' << (r.permanent ? 1 : 0) << ' '
            << (r.permanent ? 0 : r.expiresAtMs - monoNowMs + wallNowMs) << ' ' << r.processId << ' ' << hex(r.url)
            << ' ' << hex(r.language) << ' ' << hex(r.serviceType) << ' ' << hex(r.scopes) << ' ' << hex(r.attributes)
            << (r.remote ? " remote" : "") << '\n';
    }
    out << kEnd << '\n';
    return out.str();
}

bool parseState(const std::string &text, int64_t monoNowMs, int64_t wallNowMs, Registry *registry, std::string *error) {
    *registry = Registry{};
    error->clear();
    std::istringstream in(text);
    std::string line;
    bool ended = false;
    if (!std::getline(in, line) || line != kMagic) {
        *error = "not a state file";
        return false;
    }
    for (int number = 2; std::getline(in, line); ++number) {
        if (ended) {
            *error = "text after the end at line " + std::to_string(number);
            break;
        }
        if (line == kEnd) {
            ended = true;
            continue;
        }
        std::istringstream fields(line);
        std::string tag, url, language, type, scopes, attributes, flag, rest;
        unsigned long boot = 0;
        if (line.rfind("boot ", 0) == 0 && (fields >> tag >> boot) && !(fields >> rest) && boot <= UINT32_MAX) {
            registry->bootTimestamp = static_cast<uint32_t>(boot);
            continue;
        }
        unsigned lifetime = 0, permanent = 0;
        long long expiry = 0;
        unsigned long pid = 0;
        Registration r;
        bool ok = (fields >> tag >> lifetime >> permanent >> expiry >> pid >> url >> language >> type >> scopes >>
                   attributes) &&
                  (!(fields >> flag) || flag == "remote") && !(fields >> rest) && tag == "reg" && lifetime >= 1 && lifetime <= 65535 && permanent <= 1 &&
                  pid <= UINT32_MAX && unhex(url, &r.url) && unhex(language, &r.language) &&
                  unhex(type, &r.serviceType) && unhex(scopes, &r.scopes) && unhex(attributes, &r.attributes) &&
                  !r.url.empty();
        if (!ok) {
            *error = "bad line " + std::to_string(number);
            break;
        }
        r.lifetime = static_cast<uint16_t>(lifetime);
        r.permanent = permanent == 1;
        r.processId = static_cast<uint32_t>(pid);
        r.remote = flag == "remote";
        r.expiresAtMs = r.permanent ? 0 : monoNowMs + (expiry - wallNowMs);
        if (r.permanent || r.expiresAtMs > monoNowMs) storeRegistration(registry, std::move(r));
    }
    if (ended && error->empty()) return true;
    if (error->empty()) *error = "truncated";
    *registry = Registry{};
    return false;
}

void removeStaleTemporaries(const std::string &path) {
    size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    std::string prefix = path.substr(slash == std::string::npos ? 0 : slash + 1) + ".tmp.";
    DIR *dir = opendir(folder.c_str());
    if (dir == nullptr) return;
    while (dirent *entry = readdir(dir)) {
        if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0) {
            unlinkat(dirfd(dir), entry->d_name, 0);
        }
    }
    closedir(dir);
}

bool writeFileAtomically(const std::string &path, const std::string &text, bool sync, std::string *error) {
    size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    std::string temporary = path + ".tmp." + std::to_string(getpid());
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = temporary + ": " + std::strerror(errno);
        return false;
    }
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    // Data on disk before the name points at it: a crash leaves the old file or the new one.
    bool ok = done == text.size() && (!sync || fsync(fd) == 0);
    ok = close(fd) == 0 && ok;
    if (!ok || rename(temporary.c_str(), path.c_str()) != 0) {
        *error = path + ": " + std::strerror(errno);
        unlink(temporary.c_str());
        return false;
    }
    int dir = sync ? open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return true;
}

bool readWholeFile(const std::string &path, std::string *text, std::string *error) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = std::strerror(errno);
        return false;
    }
    text->clear();
    std::vector<char> chunk(64 * 1024);
    ssize_t n = 0;
    while ((n = read(fd, chunk.data(), chunk.size())) > 0) text->append(chunk.data(), static_cast<size_t>(n));
    if (n < 0) *error = std::strerror(errno);
    close(fd);
    return n == 0;
}

}  // namespace slpagent
