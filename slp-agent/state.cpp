#include "state.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <vector>

namespace slpagent {

namespace {

constexpr char kMagic[] = "slp-agent-state 2";
constexpr char kMagicWithoutJournal[] = "slp-agent-state 1";  // a snapshot alone, from older agents
constexpr char kEnd[] = "end";
// Below this a journal is never compacted: small snapshots would be rewritten every few changes.
constexpr size_t kMinJournalBytes = 64 * 1024;

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

// FNV-1a, as eight hex digits: tells a journal line damaged on disk from a good one.
std::string checksum(const std::string &s) {
    uint32_t h = 2166136261u;
    for (unsigned char c : s) h = (h ^ c) * 16777619u;
    char text[9];
    std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(h));
    return text;
}


// The one place a registration becomes text (snapshot and journal alike):
// reg lifetime permanent expiry-wall-ms pid url language type scopes attributes [remote]
void writeRegistration(std::string *out, const Registration &r, int64_t monoNowMs, int64_t wallNowMs) {
    *out += "reg " + std::to_string(r.lifetime) + ' ' + (r.permanent ? '1' : '0') + ' ' +
            std::to_string(r.permanent ? 0 : r.expiresAtMs - monoNowMs + wallNowMs) + ' ' +
            std::to_string(r.processId) + ' ' + hex(r.url) + ' ' + hex(r.language) + ' ' + hex(r.serviceType) + ' ' +
            hex(r.scopes) + ' ' + hex(r.attributes) + (r.remote ? " remote" : "");
}

// The fields writeRegistration() wrote after "reg", the whole rest of the line.
bool readRegistration(std::istringstream &fields, int64_t monoNowMs, int64_t wallNowMs, Registration *r) {
    std::string url, language, type, scopes, attributes, flag, rest;
    unsigned lifetime = 0, permanent = 0;
    long long expiry = 0;
    unsigned long pid = 0;
    bool ok = (fields >> lifetime >> permanent >> expiry >> pid >> url >> language >> type >> scopes >> attributes) &&
              (!(fields >> flag) || flag == "remote") && !(fields >> rest) && lifetime >= 1 && lifetime <= 65535 &&
              permanent <= 1 && pid <= UINT32_MAX && unhex(url, &r->url) && unhex(language, &r->language) &&
              unhex(type, &r->serviceType) && unhex(scopes, &r->scopes) && unhex(attributes, &r->attributes) &&
              !r->url.empty();
    if (!ok) return false;
    r->lifetime = static_cast<uint16_t>(lifetime);
    r->permanent = permanent == 1;
    r->processId = static_cast<uint32_t>(pid);
    r->remote = flag == "remote";
    // Time left by the wall clock, but never more than the lifetime: a clock not yet set after
    // boot (or set back) must not make a registration outlive its lifetime.
    const int64_t left = expiry <= wallNowMs ? 0 : std::min<int64_t>(expiry - wallNowMs, int64_t{lifetime} * 1000);
    r->expiresAtMs = r->permanent ? 0 : monoNowMs + left;
    return true;
}

void erase(Registry *registry, const RegistryKey &key) {
    auto it = registry->entries.find(key);
    if (it != registry->entries.end()) eraseRegistration(registry, it);
}

// Applies one snapshot line ("boot N", "reg ...") or journal line ("reg ..." or "del url
// language"). A registration replaces whatever its key held; one that has expired since
// leaves the key empty.
bool applyLine(const std::string &line, bool journal, int64_t monoNowMs, int64_t wallNowMs, Registry *registry) {
    std::istringstream fields(line);
    std::string tag, rest;
    fields >> tag;
    if (tag == "reg") {
        Registration r;
        if (!readRegistration(fields, monoNowMs, wallNowMs, &r)) return false;
        erase(registry, registryKey(r.url, r.language));
        if (r.permanent || r.expiresAtMs > monoNowMs) storeRegistration(registry, std::move(r));
        return true;
    }
    unsigned long boot = 0;
    if (!journal && tag == "boot") {
        if (!(fields >> boot) || (fields >> rest) || boot > UINT32_MAX) return false;
        registry->bootTimestamp = static_cast<uint32_t>(boot);
        return true;
    }
    std::string url, language, rawUrl, rawLanguage;
    bool ok = journal && tag == "del" && (fields >> rawUrl >> rawLanguage) && !(fields >> rest) &&
              unhex(rawUrl, &url) && unhex(rawLanguage, &language) && !url.empty();
    if (ok) erase(registry, registryKey(url, language));
    return ok;
}

// A journal line: the checksum of `body`, a blank, `body`.
void appendRecord(std::string *out, const std::string &body) { *out += checksum(body) + ' ' + body + '\n'; }

bool writeAll(int fd, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

StateJournal::~StateJournal() {
    if (fd >= 0) close(fd);
}

std::string serializeState(const Registry &registry, int64_t monoNowMs, int64_t wallNowMs) {
    std::string out = std::string(kMagic) + '\n';
    if (registry.bootTimestamp != 0) out += "boot " + std::to_string(registry.bootTimestamp) + '\n';
    for (const auto &entry : registry.entries) {
        writeRegistration(&out, entry.second, monoNowMs, wallNowMs);
        out += '\n';
    }
    return out + kEnd + '\n';
}

bool parseState(const std::string &text, int64_t monoNowMs, int64_t wallNowMs, Registry *registry, std::string *error) {
    *registry = Registry{};
    error->clear();
    size_t pos = text.find('\n');
    const std::string magic = text.substr(0, pos);
    const bool journalAllowed = magic == kMagic;
    if (pos == std::string::npos || (!journalAllowed && magic != kMagicWithoutJournal)) *error = "not a state file";
    bool ended = false;
    for (int number = 2; error->empty() && ++pos < text.size(); ++number) {
        size_t newline = text.find('\n', pos);
        const bool complete = newline != std::string::npos;
        const std::string line = text.substr(pos, complete ? newline - pos : std::string::npos);
        pos = complete ? newline : text.size();
        if (!ended) {
            if (!complete) break;
            ended = line == kEnd;
            if (!ended && !applyLine(line, false, monoNowMs, wallNowMs, registry)) {
                *error = "bad line " + std::to_string(number);
            }
            continue;
        }
        if (!journalAllowed) {
            *error = "text after the end at line " + std::to_string(number);
            break;
        }
        const std::string body = line.size() > 9 ? line.substr(9) : std::string();
        const bool ok = complete && line.size() > 9 && line[8] == ' ' && line.compare(0, 8, checksum(body)) == 0 &&
                        applyLine(body, true, monoNowMs, wallNowMs, registry);
        // Only the last line can have been cut off by a kill mid-append; it was never acknowledged.
        if (!ok && pos + 1 < text.size()) *error = "bad journal line " + std::to_string(number);
    }
    registry->changed.clear();
    if (ended && error->empty()) return true;
    if (error->empty()) *error = "truncated";
    *registry = Registry{};
    return false;
}

bool saveChanges(StateJournal *journal, const std::string &path, Registry *registry, bool whole, int64_t monoNowMs,
                 int64_t wallNowMs, bool sync, std::string *error) {
    std::vector<RegistryKey> keys = std::move(registry->changed);
    registry->changed.clear();
    if (journal->fd >= 0 && !whole && !keys.empty()) {
        // Each key's state as it is now: repeats and the order between keys do not matter.
        std::sort(keys.begin(), keys.end());
        keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
        std::string records, body;
        for (const RegistryKey &key : keys) {
            body.clear();
            auto it = registry->entries.find(key);
            if (it != registry->entries.end()) {
                writeRegistration(&body, it->second, monoNowMs, wallNowMs);
            } else {
                body = "del " + hex(key.first) + ' ' + hex(key.second);
            }
            appendRecord(&records, body);
        }
        journal->journalBytes += records.size();
        if (!writeAll(journal->fd, records)) {
            // A partial line would spoil later ones: a snapshot replaces the file right away.
            close(journal->fd);
            journal->fd = -1;
        }
    }
    if (journal->fd < 0 || whole || journal->journalBytes > std::max(2 * journal->snapshotBytes, kMinJournalBytes)) {
        if (journal->fd >= 0) close(journal->fd);
        journal->fd = -1;
        const std::string text = serializeState(*registry, monoNowMs, wallNowMs);
        if (!writeFileAtomically(path, text, sync, error)) return false;
        journal->fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        if (journal->fd < 0) {
            *error = path + ": " + std::strerror(errno);
            return false;
        }
        journal->snapshotBytes = text.size();
        journal->journalBytes = 0;
        journal->folderUnsynced = !sync;
        return true;
    }
    if (!sync) return true;
    if (fdatasync(journal->fd) != 0) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    if (journal->folderUnsynced) {
        int dir = open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            fsync(dir);
            close(dir);
        }
        journal->folderUnsynced = false;
    }
    return true;
}

void removeStaleTemporaries(const std::string &path) {
    size_t slash = path.rfind('/');
    std::string folder = folderOf(path);
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
    std::string folder = folderOf(path);
    std::string temporary = path + ".tmp." + std::to_string(getpid());
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = temporary + ": " + std::strerror(errno);
        return false;
    }
    // Data on disk before the name points at it: a crash leaves the old file or the new one.
    bool ok = writeAll(fd, text) && (!sync || fsync(fd) == 0);
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

std::string folderOf(const std::string &path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

int stateFileWritable(const std::string &path) {
    // The same temporary name a snapshot uses, so an agent killed here leaves nothing
    // removeStaleTemporaries would not remove.
    const std::string temporary = path + ".tmp." + std::to_string(getpid());
    const std::string renamed = temporary + ".renamed";
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return errno;
    close(fd);
    int error = rename(temporary.c_str(), renamed.c_str()) == 0 ? 0 : errno;
    if (unlink(error == 0 ? renamed.c_str() : temporary.c_str()) != 0 && error == 0) error = errno;
    if (error != 0) return error;
    fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd >= 0) close(fd);
    return fd < 0 && errno != ENOENT ? errno : 0;
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
