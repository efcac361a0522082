#include "directory.h"

#include "matching.h"
#include "slp_message.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace slpagent {

namespace {

constexpr uint32_t kMaxAckLength = 64 * 1024;

// `host` (numeric, IPv6 without brackets, a link-local one with its %zone) on `port` as the DA's
// socket address and canonical text (without the zone).
bool setPeer(DirectoryAgent *a, std::string host, uint16_t port) {
    uint32_t zone = 0;
    if (size_t percent = host.find('%'); percent != std::string::npos) {
        zone = if_nametoindex(host.c_str() + percent + 1);
        if (zone == 0) zone = static_cast<uint32_t>(std::strtoul(host.c_str() + percent + 1, nullptr, 10));
        host.erase(percent);
        if (zone == 0) return false;
    }
    sockaddr_storage s{};
    auto *v4 = reinterpret_cast<sockaddr_in *>(&s);
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(&s);
    char text[INET6_ADDRSTRLEN] = "";
    if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        a->peerLength = sizeof *v4;
        inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
    } else if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        v6->sin6_scope_id = zone;
        a->peerLength = sizeof *v6;
        inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
    } else {
        return false;
    }
    if (zone != 0 && (s.ss_family != AF_INET6 || !IN6_IS_ADDR_LINKLOCAL(&v6->sin6_addr))) return false;
    a->peer = s;
    a->address = text;
    return true;
}

// Splits HOST, HOST:PORT, [HOST6] or [HOST6]:PORT; a bare IPv6 address has no port. Port 0 = none given.
bool splitHostPort(const std::string &text, std::string *host, uint16_t *port) {
    *port = 0;
    std::string rest;
    if (!text.empty() && text[0] == '[') {
        size_t close = text.find(']');
        if (close == std::string::npos) return false;
        *host = text.substr(1, close - 1);
        rest = text.substr(close + 1);
    } else if (std::count(text.begin(), text.end(), ':') == 1) {
        *host = text.substr(0, text.find(':'));
        rest = text.substr(text.find(':'));
    } else {
        *host = text;
    }
    if (rest.empty()) return true;
    if (rest[0] != ':' || rest.size() < 2 || rest.size() > 6) return false;
    unsigned long value = 0;
    for (size_t i = 1; i < rest.size(); ++i) {
        if (rest[i] < '0' || rest[i] > '9') return false;
        value = value * 10 + static_cast<unsigned long>(rest[i] - '0');
    }
    if (value == 0 || value > 65535) return false;
    *port = static_cast<uint16_t>(value);
    return true;
}

void closeConnection(DirectoryAgent *a) {
    if (a->fd >= 0) close(a->fd);
    a->fd = -1;
    a->connecting = a->reused = a->inFlight = false;
    a->out.clear();
    a->in.clear();
    a->outSent = 0;
}

// After a failure or a restart nothing the DA held is certain: each registration is sent again,
// and what went locally meanwhile is deregistered there; one message per registration.
void unsure(DirectoryAgent *a) {
    for (auto &entry : a->held) entry.second.serial = 0;
    a->work.clear();
    a->dirty = true;
}

void fail(DirectoryAgent *a, const std::string &why, bool peerClosed, int64_t nowMs, std::vector<std::string> *lines) {
    // The DA closed a connection that sat idle on our side: a new one, at once, is no retry.
    bool quiet = peerClosed && a->reused && a->in.empty();
    closeConnection(a);
    a->work.clear();
    a->dirty = true;
    if (quiet) return;
    unsure(a);
    a->retryAtMs = nowMs + a->backoffMs;
    lines->push_back("DA " + a->address + " not answering (" + why + "), retry in " +
                     std::to_string(a->backoffMs / 1000) + " s");
    a->backoffMs = std::min(a->backoffMs * 2, kDaMaxBackoffMs);
    if (!a->failing) a->silentSinceMs = std::min(a->silentSinceMs, nowMs);
    a->failing = true;
}

bool wanted(const DirectoryAgent &a, const Registration &r) {
    return !r.remote && (a.scopes.empty() || scopesIntersect(r.scopes, a.scopes));
}

// Compares the registry with what the DA holds: a SrvReg for each registration it lacks, holds in
// an older version or should refresh, a SrvDeReg for each it holds that is no longer wanted there.
void compare(DirectoryAgent *a, const Registry &registry, int64_t nowMs) {
    a->work.clear();
    a->nextRefreshMs = INT64_MAX;
    for (const auto &[_, r] : registry.entries) {
        if (!wanted(*a, r)) continue;
        RegistryKey key = registryKey(r);
        auto h = a->held.find(key);
        if (h == a->held.end() || h->second.serial != r.serial || nowMs >= h->second.refreshAtMs) {
            a->work.push_back({std::move(key), false});
        } else {
            a->nextRefreshMs = std::min(a->nextRefreshMs, h->second.refreshAtMs);
        }
    }
    for (const auto &[key, h] : a->held) {
        auto r = registry.entries.find(key);
        if (r == registry.entries.end() || !wanted(*a, r->second)) a->work.push_back({key, true});
    }
    std::reverse(a->work.begin(), a->work.end());  // taken from the back, in registry order
    a->dirty = false;
}

// The next message the DA needs, in `a->out`; false when it needs none.
bool takeWork(DirectoryAgent *a, const Registry &registry, int64_t nowMs) {
    // A list left from an earlier comparison is used up first; a fresh one only when the
    // registry changed or a refresh came due.
    for (int round = 0; round < 2; ++round) {
        if (a->work.empty()) {
            if (!a->dirty && nowMs < a->nextRefreshMs) return false;
            compare(a, registry, nowMs);
        }
        while (!a->work.empty()) {
            DaWork w = a->work.back();
            a->work.pop_back();
            auto r = registry.entries.find(w.key);
            auto h = a->held.find(w.key);
            bool want = r != registry.entries.end() && wanted(*a, r->second);
            slpv2::Header header;
            if (++a->xid == 0) ++a->xid;
            header.xid = a->xid;
            a->out.clear();
            bool ok = false;
            if (!w.deregister) {
                // Checked again: the registry may have moved on since the comparison.
                if (!want ||
                    (h != a->held.end() && h->second.serial == r->second.serial && nowMs < h->second.refreshAtMs)) {
                    continue;
                }
                const Registration &reg = r->second;
                header.flags = slpv2::kFlagFresh;
                header.language = reg.language;
                a->currentLifetime = remainingLifetime(reg, nowMs);
                // The lifetime left covers an ageing registration to its end; only one that never
                // ages here needs refreshing there (0: set on the acknowledgement).
                a->currentHeld =
                    Held{reg.serial, reg.permanent ? 0 : INT64_MAX, false, reg.url, reg.language, reg.scopes};
                slpv2::SrvReg body{
                    {a->currentLifetime, reg.url}, reg.serviceType, reg.scopes, reg.attributes, false, 0};
                ok = slpv2::encodeSrvReg(header, body, &a->out);
            } else {
                if (h == a->held.end() || want) continue;
                if (h->second.refused) {
                    a->held.erase(h);
                    continue;
                }
                header.language = h->second.language;
                slpv2::SrvDeReg body{h->second.scopes, {0, h->second.url}, ""};
                ok = slpv2::encodeSrvDeReg(header, body, &a->out);
            }
            if (!ok) continue;  // too large to encode: nothing a DA could take either
            a->current = w;
            return true;
        }
    }
    return false;
}

void flush(DirectoryAgent *a, int64_t nowMs, std::vector<std::string> *lines) {
    while (a->outSent < a->out.size()) {
        ssize_t n = send(a->fd, a->out.data() + a->outSent, a->out.size() - a->outSent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
            fail(a, std::strerror(errno), errno == EPIPE || errno == ECONNRESET, nowMs, lines);
            return;
        }
        a->outSent += static_cast<size_t>(n);
    }
}

void acknowledged(DirectoryAgent *a, const Registry &registry, uint16_t error, int64_t nowMs,
                  std::vector<std::string> *lines) {
    if (a->failing) lines->push_back("DA " + a->address + " answering again");
    a->failing = false;
    a->silentSinceMs = INT64_MAX;
    a->backoffMs = kDaFirstBackoffMs;
    a->reused = true;
    a->inFlight = false;
    a->in.clear();
    a->idleSinceMs = nowMs;
    const RegistryKey &key = a->current.key;
    if (a->current.deregister) {
        auto h = a->held.find(key);
        // A DA that no longer had it (restarted) says so: nothing to report.
        if (error != 0 && error != 3 && h != a->held.end()) {
            lines->push_back("DA " + a->address + " refused deregistration of " + h->second.url + ": error " +
                             std::to_string(error));
        }
        if (h == a->held.end()) return;
        const std::string url = h->second.url;
        a->held.erase(h);
        // Without tags a deregistration removes the URL in every language there: the other
        // languages still wanted go there again.
        for (auto it = a->held.lower_bound({url, ""}); it != a->held.end() && it->first.first == url; ++it) {
            it->second.serial = 0;
            a->dirty = true;
        }
        return;
    }
    Held h = a->currentHeld;
    if (error != 0) lines->push_back("DA " + a->address + " refused " + h.url + ": error " + std::to_string(error));
    if (h.refreshAtMs == 0) h.refreshAtMs = nowMs + int64_t{a->currentLifetime} * 2000 / 3;  // before the DA ages it
    h.refused = error != 0;
    a->nextRefreshMs = std::min(a->nextRefreshMs, h.refreshAtMs);
    // Changed or gone meanwhile: the next comparison sends the change.
    auto r = registry.entries.find(key);
    if (r == registry.entries.end() || r->second.serial != h.serial) a->dirty = true;
    a->held[key] = std::move(h);
}

void readReply(DirectoryAgent *a, const Registry &registry, std::vector<uint8_t> *buffer, int64_t nowMs,
               std::vector<std::string> *lines) {
    ssize_t n = recv(a->fd, buffer->data(), buffer->size(), MSG_DONTWAIT);
    if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            fail(a, std::strerror(errno), errno == ECONNRESET, nowMs, lines);
        }
        return;
    }
    if (n == 0) {
        if (a->inFlight) {
            fail(a, "connection closed", true, nowMs, lines);
        } else {
            closeConnection(a);  // the DA closed an idle connection
        }
        return;
    }
    if (!a->inFlight) {
        fail(a, "unexpected data", false, nowMs, lines);
        return;
    }
    a->in.insert(a->in.end(), buffer->begin(), buffer->begin() + n);
    if (a->in.size() < 5) return;
    uint8_t version = 0, function = 0;
    uint32_t length = 0;
    if (slpv2::peekHeader(a->in.data(), a->in.size(), &version, &function, &length) != slpv2::DecodeStatus::Ok ||
        length > kMaxAckLength) {
        fail(a, "not an SLPv2 reply", false, nowMs, lines);
        return;
    }
    if (a->in.size() < length) return;
    slpv2::Header header;
    slpv2::SrvAck ack;
    if (slpv2::decodeSrvAck(a->in.data(), length, &header, &ack) != slpv2::DecodeStatus::Ok || header.xid != a->xid) {
        fail(a, "reply is no SrvAck to our message", false, nowMs, lines);
        return;
    }
    // DA_BUSY_NOW, or INTERNAL_ERROR (a DA that is full, say): try again later, like a DA
    // that did not answer.
    if (ack.error == 11 || ack.error == 10) {
        fail(a, ack.error == 11 ? "busy" : "internal error", false, nowMs, lines);
        return;
    }
    acknowledged(a, registry, ack.error, nowMs, lines);
}

// Drops a learned DA; returns the one after it.
std::map<std::string, DirectoryAgent>::iterator forget(Directories *dirs,
                                                       std::map<std::string, DirectoryAgent>::iterator it,
                                                       const char *why, std::vector<std::string> *lines) {
    closeConnection(&it->second);
    lines->push_back("forgot DA " + it->second.address + " (" + why + ")");
    return dirs->agents.erase(it);
}

}  // namespace

bool addConfiguredDa(Directories *dirs, const std::string &text) {
    std::string host;
    uint16_t port = 0;
    DirectoryAgent a;
    if (!splitHostPort(text, &host, &port) || !setPeer(&a, host, port != 0 ? port : dirs->port)) return false;
    a.configured = true;
    if (!dirs->agents.count(a.address)) dirs->agents.emplace(a.address, std::move(a));
    return true;
}

void takeDaAdvert(Directories *dirs, const uint8_t *data, size_t size, const std::string &source, uint32_t sourceZone,
                  int64_t nowMs, std::vector<std::string> *lines) {
    slpv2::Header header;
    slpv2::DAAdvert advert;
    if (slpv2::decodeDAAdvert(data, size, &header, &advert) != slpv2::DecodeStatus::Ok || advert.error != 0) return;
    const std::string prefix = "service:directory-agent://";
    if (advert.url.size() < prefix.size() || !equalsIgnoreCase(advert.url.substr(0, prefix.size()), prefix)) return;
    std::string hostPort = advert.url.substr(prefix.size());
    hostPort = hostPort.substr(0, hostPort.find_first_of("/;"));
    // The URL's host when numeric, else the datagram's source.
    std::string host;
    uint16_t port = 0;
    DirectoryAgent fresh;
    if (!splitHostPort(hostPort, &host, &port) || !setPeer(&fresh, host, port != 0 ? port : dirs->port)) {
        port = 0;
        if (!setPeer(&fresh, source, dirs->port)) return;
    }
    auto it = dirs->agents.find(fresh.address);
    if (advert.bootTimestamp == 0) {
        if (it == dirs->agents.end() || it->second.down) return;
        DirectoryAgent &a = it->second;
        a.down = true;
        a.silentSinceMs = std::min(a.silentSinceMs, nowMs);
        closeConnection(&a);
        unsure(&a);
        lines->push_back("lost DA " + a.address + " (going down)");
        return;
    }
    if (it == dirs->agents.end()) {
        if (dirs->agents.size() >= kMaxDirectoryAgents) {
            auto silent = dirs->agents.end();
            for (auto i = dirs->agents.begin(); i != dirs->agents.end(); ++i) {
                if (!i->second.configured && i->second.silentSinceMs != INT64_MAX &&
                    (silent == dirs->agents.end() || i->second.silentSinceMs < silent->second.silentSinceMs))
                    silent = i;
            }
            if (silent == dirs->agents.end()) return;
            forget(dirs, silent, "to make room", lines);
        }
        it = dirs->agents.emplace(fresh.address, std::move(fresh)).first;
    }
    DirectoryAgent &a = it->second;
    auto *v4 = reinterpret_cast<sockaddr_in *>(&a.peer);
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(&a.peer);
    if (port != 0) (a.peer.ss_family == AF_INET ? v4->sin_port : v6->sin6_port) = htons(port);
    // A link-local address is reached through the interface the advert came in on.
    if (a.peer.ss_family == AF_INET6 && IN6_IS_ADDR_LINKLOCAL(&v6->sin6_addr) && sourceZone != 0)
        v6->sin6_scope_id = sourceZone;
    bool scopesChanged = a.scopes != advert.scopes;
    a.scopes = advert.scopes;
    if (a.boot == 0) {
        lines->push_back("found DA " + a.address + " scopes " + a.scopes);
    } else if (a.boot != advert.bootTimestamp || a.down) {
        // A restarted DA may have lost everything: register it all there again.
        closeConnection(&a);
        unsure(&a);
        a.retryAtMs = 0;
        a.backoffMs = kDaFirstBackoffMs;
        lines->push_back("re-registering with DA " + a.address + " (restarted)");
    }
    if (scopesChanged) a.dirty = true;
    a.boot = advert.bootTimestamp;
    if (a.down && !a.failing) a.silentSinceMs = INT64_MAX;
    a.down = false;
}

void registryChanged(Directories *dirs) {
    for (auto &entry : dirs->agents) entry.second.dirty = true;
}

void stepDirectories(Directories *dirs, const Registry &registry, int64_t nowMs, std::vector<std::string> *lines) {
    for (auto it = dirs->agents.begin(); it != dirs->agents.end();) {
        if (!it->second.configured && nowMs - it->second.silentSinceMs >= kDaForgetMs) {
            it = forget(dirs, it, "silent for an hour", lines);
            continue;
        }
        DirectoryAgent *a = &(it++)->second;
        if (a->down) continue;
        if (a->inFlight) {
            if (nowMs >= a->deadlineMs) fail(a, "no answer within 5 s", false, nowMs, lines);
            continue;
        }
        if (a->fd >= 0 && nowMs - a->idleSinceMs >= kDaIdleMs) closeConnection(a);
        if (nowMs < a->retryAtMs || !takeWork(a, registry, nowMs)) continue;
        if (a->fd < 0) {
            a->fd = socket(a->peer.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            int one = 1;
            if (a->fd >= 0) setsockopt(a->fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            if (a->fd < 0 || (connect(a->fd, reinterpret_cast<const sockaddr *>(&a->peer), a->peerLength) != 0 &&
                              errno != EINPROGRESS)) {
                fail(a, std::strerror(errno), false, nowMs, lines);
                continue;
            }
            a->connecting = true;  // writable once connected, also when it connected at once
        }
        a->inFlight = true;
        a->deadlineMs = nowMs + kDaMessageTimeoutMs;
        a->outSent = 0;
        a->in.clear();
        if (!a->connecting) flush(a, nowMs, lines);
    }
}

void directoryPollFds(const Directories &dirs, std::vector<pollfd> *fds) {
    for (const auto &entry : dirs.agents) {
        const DirectoryAgent &a = entry.second;
        if (a.fd < 0) continue;
        short events = POLLIN;
        if (a.connecting || a.outSent < a.out.size()) events |= POLLOUT;
        fds->push_back({a.fd, events, 0});
    }
}

void directoryPollResults(Directories *dirs, const Registry &registry, const pollfd *fds, size_t count, int64_t nowMs,
                          std::vector<std::string> *lines) {
    std::vector<uint8_t> buffer(4096);
    size_t i = 0;
    for (auto &entry : dirs->agents) {
        DirectoryAgent *a = &entry.second;
        if (a->fd < 0 || i >= count || fds[i].fd != a->fd) continue;
        short revents = fds[i++].revents;
        if (a->connecting && (revents & (POLLOUT | POLLERR | POLLHUP))) {
            int error = 0;
            socklen_t length = sizeof error;
            getsockopt(a->fd, SOL_SOCKET, SO_ERROR, &error, &length);
            if (error != 0) {
                fail(a, std::strerror(error), false, nowMs, lines);
                continue;
            }
            a->connecting = false;
        }
        if (!a->connecting && a->outSent < a->out.size() && (revents & POLLOUT)) flush(a, nowMs, lines);
        if (a->fd >= 0 && !a->connecting && (revents & (POLLIN | POLLHUP | POLLERR))) {
            readReply(a, registry, &buffer, nowMs, lines);
        }
    }
}

int64_t nextDirectoryDeadline(const Directories &dirs, int64_t nowMs) {
    int64_t next = INT64_MAX;
    for (const auto &entry : dirs.agents) {
        const DirectoryAgent &a = entry.second;
        if (!a.configured && a.silentSinceMs != INT64_MAX) next = std::min(next, a.silentSinceMs + kDaForgetMs);
        if (a.down) continue;
        if (a.inFlight) {
            next = std::min(next, a.deadlineMs);
            continue;
        }
        if (a.fd >= 0) next = std::min(next, a.idleSinceMs + kDaIdleMs);
        int64_t due = a.dirty || !a.work.empty() ? nowMs : a.nextRefreshMs;
        if (due != INT64_MAX) next = std::min(next, std::max(due, a.retryAtMs));
    }
    return next;
}

void closeDirectories(Directories *dirs) {
    for (auto &entry : dirs->agents) closeConnection(&entry.second);
}

}  // namespace slpagent
