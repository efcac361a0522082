// slp_net.cpp: UDP unicast with retransmission, multicast convergence, TCP for big replies.
#include "slp_net.h"

#include "slp_broadcast.h"
#include "slp_transport.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace slpclient {
namespace {

using Clock = std::chrono::steady_clock;

// Datagrams are read whole: an agent may send a reply longer than the MTU in one datagram
// (IP fragments it), and a truncated read would lose its tail.
constexpr size_t kDatagramRoom = 64 * 1024;
constexpr size_t kMaxSteps = 64;  // retransmissions of one unicast request, besides the deadline
constexpr const char *kGroup4 = "239.255.255.253";

int millisecondsLeft(Clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 600000));
}

class Socket {
public:
    explicit Socket(int fd = -1) : fd_(fd) {}
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;
    ~Socket() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

// The header fields that decide what to do with a datagram before decoding it.
struct Peek {
    uint32_t length = 0;
    uint16_t flags = 0;
};

// Whether data[0, size) is a reply to our request: version 2, the reply function, our XID.
bool answers(const uint8_t *data, size_t size, slpv2::Function function, uint16_t xid, Peek *peek) {
    if (size < slpv2::kFixedHeaderSize || data[0] != slpv2::kVersion || data[1] != static_cast<uint8_t>(function))
        return false;
    if (((data[10] << 8) | data[11]) != xid) return false;
    peek->length = (uint32_t{data[2]} << 16) | (uint32_t{data[3]} << 8) | data[4];
    peek->flags = static_cast<uint16_t>((data[5] << 8) | data[6]);
    return true;
}

bool oversized(const Peek &peek, size_t mtu) { return peek.length > mtu || (peek.flags & slpv2::kFlagOverflow) != 0; }

NetAddress withPort(NetAddress address, uint16_t port) {
    if (address.storage.ss_family == AF_INET)
        reinterpret_cast<sockaddr_in *>(&address.storage)->sin_port = htons(port);
    else
        reinterpret_cast<sockaddr_in6 *>(&address.storage)->sin6_port = htons(port);
    return address;
}

const sockaddr *raw(const NetAddress &a) { return reinterpret_cast<const sockaddr *>(&a.storage); }

// The same request over TCP to `agent`, whose datagram reply did not fit. The reply is
// whole (framed by its Length), so OVERFLOW no longer matters.
SLPError fetchOverTcp(const NetAddress &agent, int waitMs, const std::vector<uint8_t> &message,
                      const FindRequest &request, uint16_t xid, Take *took) {
    std::vector<uint8_t> reply;
    SLPError err = exchangeOnce(raw(agent), agent.length, waitMs, message, &reply);
    if (err != SLP_OK) return err;
    Peek peek;
    *took = answers(reply.data(), reply.size(), request.replyFunction, xid, &peek)
                ? request.take(reply.data(), reply.size(), agent)
                : Take::Unusable;
    return SLP_OK;
}

// Where multicast goes out: an IPv4 interface address, or an IPv6 interface index.
struct Outlet {
    int family = AF_INET;
    in_addr address{};
    unsigned index = 0;
};

bool sameAddress(const sockaddr *a, const NetAddress &b) {
    if (a == nullptr || a->sa_family != b.storage.ss_family) return false;
    if (a->sa_family == AF_INET)
        return reinterpret_cast<const sockaddr_in *>(a)->sin_addr.s_addr ==
               reinterpret_cast<const sockaddr_in *>(&b.storage)->sin_addr.s_addr;
    return std::memcmp(&reinterpret_cast<const sockaddr_in6 *>(a)->sin6_addr,
                       &reinterpret_cast<const sockaddr_in6 *>(&b.storage)->sin6_addr, sizeof(in6_addr)) == 0;
}

// The outlets for `list` (local addresses; an IPv6 one is sent out of the interface that
// holds it), or, when it is empty, every up, multicast-capable, non-loopback interface:
// once per interface and family.
std::vector<Outlet> outlets(const std::string &list, bool useIPv4, bool useIPv6) {
    std::vector<Outlet> out;
    ifaddrs *all = nullptr;
    if (::getifaddrs(&all) != 0) all = nullptr;
    auto seen = [&out](int family, unsigned index, in_addr address) {
        for (const Outlet &o : out)
            if (o.family == family && (family == AF_INET ? o.address.s_addr == address.s_addr : o.index == index))
                return true;
        return false;
    };
    if (!list.empty()) {
        for (const std::string &item : listItems(list)) {
            NetAddress a;
            if (!parseAddress(item, 0, &a)) continue;
            Outlet o;
            o.family = a.storage.ss_family;
            if (o.family == AF_INET && useIPv4) {
                o.address = reinterpret_cast<const sockaddr_in *>(&a.storage)->sin_addr;
                for (ifaddrs *i = all; i != nullptr && o.index == 0; i = i->ifa_next)
                    if (sameAddress(i->ifa_addr, a)) o.index = ::if_nametoindex(i->ifa_name);
            } else if (o.family == AF_INET6 && useIPv6) {
                o.index = reinterpret_cast<const sockaddr_in6 *>(&a.storage)->sin6_scope_id;
                for (ifaddrs *i = all; i != nullptr && o.index == 0; i = i->ifa_next)
                    if (sameAddress(i->ifa_addr, a)) o.index = ::if_nametoindex(i->ifa_name);
                if (o.index == 0) continue;
            } else {
                continue;
            }
            if (!seen(o.family, o.index, o.address)) out.push_back(o);
        }
    } else {
        for (ifaddrs *i = all; i != nullptr; i = i->ifa_next) {
            if (i->ifa_addr == nullptr || (i->ifa_flags & IFF_UP) == 0 || (i->ifa_flags & IFF_MULTICAST) == 0 ||
                (i->ifa_flags & IFF_LOOPBACK) != 0)
                continue;
            Outlet o;
            o.family = i->ifa_addr->sa_family;
            o.index = ::if_nametoindex(i->ifa_name);
            if (o.family == AF_INET && useIPv4) {
                o.address = reinterpret_cast<const sockaddr_in *>(i->ifa_addr)->sin_addr;
                // One IPv4 address per interface: a second would only send the same twice.
                bool interfaceSeen = false;
                for (const Outlet &x : out)
                    interfaceSeen = interfaceSeen || (x.family == AF_INET && x.index == o.index);
                if (interfaceSeen) continue;
            } else if (!(o.family == AF_INET6 && useIPv6)) {
                continue;
            }
            if (!seen(o.family, o.index, o.address)) out.push_back(o);
        }
    }
    if (all != nullptr) ::freeifaddrs(all);
    return out;
}


bool sendOut(int fd, const Outlet &o, const in6_addr &group6, bool broadcast, uint16_t port,
             const std::vector<uint8_t> &message) {
    if (o.family == AF_INET) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        if (broadcast) return slpv2::sendBroadcast(fd, o.index, o.address, port, message.data(), message.size());
        if (::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &o.address, sizeof o.address) != 0) return false;
        ::inet_pton(AF_INET, kGroup4, &to.sin_addr);
        return ::sendto(fd, message.data(), message.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to) ==
               static_cast<ssize_t>(message.size());
    }
    unsigned index = o.index;
    if (::setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_IF, &index, sizeof index) != 0) return false;
    sockaddr_in6 to{};
    to.sin6_family = AF_INET6;
    to.sin6_port = htons(port);
    to.sin6_addr = group6;
    to.sin6_scope_id = index;
    return ::sendto(fd, message.data(), message.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to) ==
           static_cast<ssize_t>(message.size());
}

}  // namespace

bool parseAddress(const std::string &text, uint16_t port, NetAddress *out) {
    *out = NetAddress{};
    sockaddr_in v4{};
    if (::inet_pton(AF_INET, text.c_str(), &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        v4.sin_port = htons(port);
        std::memcpy(&out->storage, &v4, sizeof v4);
        out->length = sizeof v4;
        return true;
    }
    std::string host = text;
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    sockaddr_in6 v6{};
    size_t percent = host.find('%');
    if (percent != std::string::npos) {
        std::string zone = host.substr(percent + 1);
        host.erase(percent);
        v6.sin6_scope_id = ::if_nametoindex(zone.c_str());
        char *end = nullptr;
        if (v6.sin6_scope_id == 0) v6.sin6_scope_id = static_cast<uint32_t>(std::strtoul(zone.c_str(), &end, 10));
        if (v6.sin6_scope_id == 0) return false;
    }
    if (::inet_pton(AF_INET6, host.c_str(), &v6.sin6_addr) != 1) return false;
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(port);
    std::memcpy(&out->storage, &v6, sizeof v6);
    out->length = sizeof v6;
    return true;
}

std::string addressText(const NetAddress &address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address.storage.ss_family == AF_INET)
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(&address.storage)->sin_addr, text, sizeof text);
    else
        ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 *>(&address.storage)->sin6_addr, text, sizeof text);
    return text;
}

in6_addr serviceTypeGroup(const std::string &type) {
    uint32_t h = 0;
    for (unsigned char c : type) h = h * 33 + c;  // wraps; only the low 10 bits are kept
    uint16_t low = static_cast<uint16_t>(0x1000 + (h & 0x3FF));
    in6_addr group{};
    group.s6_addr[0] = 0xFF;
    group.s6_addr[1] = 0x02;
    group.s6_addr[13] = 0x01;
    group.s6_addr[14] = static_cast<uint8_t>(low >> 8);
    group.s6_addr[15] = static_cast<uint8_t>(low & 0xFF);
    return group;
}

SLPError unicastFind(const NetAddress &agent, const RequestSettings &settings, const slpv2::Header &header,
                     const FindRequest &request, bool *stopped) {
    *stopped = false;
    std::vector<uint8_t> message;
    if (!request.encode(header, "", &message)) return SLP_PARSE_ERROR;
    Take took = Take::Unusable;
    auto overTcp = [&]() {
        SLPError err = fetchOverTcp(agent, settings.replyWaitMs, message, request, header.xid, &took);
        if (err != SLP_OK) return err;
        if (took == Take::Unusable) return SLP_NETWORK_ERROR;
        *stopped = took == Take::Stop;
        return SLP_OK;
    };
    if (request.overTcp || message.size() > settings.mtu) return overTcp();  // a datagram cannot carry it

    Socket socket(::socket(agent.storage.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (socket.get() < 0 || ::connect(socket.get(), raw(agent), agent.length) != 0) return SLP_NETWORK_INIT_FAILED;
    std::vector<uint8_t> buffer(kDatagramRoom);
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(settings.replyWaitMs);
    for (size_t step = 0; step < kMaxSteps && millisecondsLeft(deadline) > 0; ++step) {
        // Same bytes, so the same XID: a late reply to an earlier copy is just as good.
        if (::send(socket.get(), message.data(), message.size(), 0) < 0 && errno == ECONNREFUSED)
            return SLP_NETWORK_INIT_FAILED;
        const std::vector<int> &steps = settings.unicastTimeoutsMs;
        int wait = steps.empty() ? settings.replyWaitMs : steps[std::min(step, steps.size() - 1)];
        Clock::time_point stepEnd = std::min(deadline, Clock::now() + std::chrono::milliseconds(wait));
        for (int left = millisecondsLeft(stepEnd); left > 0; left = millisecondsLeft(stepEnd)) {
            pollfd p{socket.get(), POLLIN, 0};
            if (::poll(&p, 1, left) <= 0) continue;  // timeout or signal: the loop condition decides
            ssize_t n = ::recv(socket.get(), buffer.data(), buffer.size(), 0);
            if (n < 0 && errno == ECONNREFUSED) return SLP_NETWORK_INIT_FAILED;  // nobody on the port
            Peek peek;
            if (n <= 0 || !answers(buffer.data(), static_cast<size_t>(n), request.replyFunction, header.xid, &peek))
                continue;
            if (oversized(peek, settings.mtu)) return overTcp();
            if (peek.length > static_cast<size_t>(n)) continue;      // cut short without saying so
            took = request.take(buffer.data(), peek.length, agent);  // bytes past Length are not the message's
            if (took == Take::Unusable) continue;
            *stopped = took == Take::Stop;
            return SLP_OK;
        }
    }
    return SLP_NETWORK_TIMED_OUT;
}

SLPError multicastFind(const std::string &interfaces, const RequestSettings &settings, const slpv2::Header &header,
                       const FindRequest &request, bool *stopped, int *sent) {
    *stopped = false;
    *sent = 0;
    std::vector<Outlet> out = outlets(interfaces, settings.useIPv4, settings.useIPv6);
    bool want4 = false, want6 = false;
    for (const Outlet &o : out) (o.family == AF_INET ? want4 : want6) = true;
    Socket socket4(want4 ? ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0) : -1);
    Socket socket6(want6 ? ::socket(AF_INET6, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0) : -1);
    int ttl = settings.multicastTtl;
    const int one = 1;
    if (socket4.get() >= 0) ::setsockopt(socket4.get(), IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
    if (socket4.get() >= 0 && settings.broadcastOnly)
        ::setsockopt(socket4.get(), SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    if (socket6.get() >= 0) ::setsockopt(socket6.get(), IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &ttl, sizeof ttl);
    if (socket4.get() < 0 && socket6.get() < 0) return SLP_NETWORK_INIT_FAILED;

    std::vector<NetAddress> responders;
    std::string prList;
    std::vector<uint8_t> message, buffer(kDatagramRoom);
    slpv2::Header mcast = header;
    mcast.flags = slpv2::kFlagRequestMcast;
    slpv2::Header direct = header;
    direct.flags = 0;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(settings.multicastWaitMs);
    const std::vector<int> &steps = settings.multicastTimeoutsMs;
    for (size_t round = 0; round < steps.size() && millisecondsLeft(deadline) > 0; ++round) {
        if (!request.encode(mcast, prList, &message)) return round == 0 ? SLP_PARSE_ERROR : SLP_OK;
        if (message.size() > settings.mtu) return round == 0 ? SLP_BUFFER_OVERFLOW : SLP_OK;  // the list is full
        int sentNow = 0;
        for (const Outlet &o : out)
            sentNow += sendOut((o.family == AF_INET ? socket4 : socket6).get(), o, request.ipv6Group,
                               settings.broadcastOnly, settings.port, message);
        *sent += sentNow;
        if (round == 0 && sentNow == 0) return SLP_NETWORK_INIT_FAILED;

        size_t known = responders.size();
        Clock::time_point roundEnd = std::min(deadline, Clock::now() + std::chrono::milliseconds(steps[round]));
        for (int left = millisecondsLeft(roundEnd); left > 0; left = millisecondsLeft(roundEnd)) {
            pollfd p[2] = {{socket4.get(), POLLIN, 0}, {socket6.get(), POLLIN, 0}};
            if (::poll(p, 2, left) <= 0) continue;
            for (const pollfd &ready : p) {
                if ((ready.revents & POLLIN) == 0) continue;
                NetAddress from;
                from.length = sizeof from.storage;
                ssize_t n = ::recvfrom(ready.fd, buffer.data(), buffer.size(), 0,
                                       reinterpret_cast<sockaddr *>(&from.storage), &from.length);
                Peek peek;
                if (n <= 0 || !answers(buffer.data(), static_cast<size_t>(n), request.replyFunction, header.xid, &peek))
                    continue;
                std::string text = addressText(from);
                bool again = false;
                for (const NetAddress &r : responders) again = again || addressText(r) == text;
                if (again) continue;  // a late answer to an earlier round
                responders.push_back(from);
                prList += (prList.empty() ? "" : ",") + text;

                Take took = Take::Unusable;
                if (oversized(peek, settings.mtu)) {
                    std::vector<uint8_t> single;
                    if (!request.encode(direct, "", &single)) continue;
                    fetchOverTcp(withPort(from, settings.port), settings.replyWaitMs, single, request, header.xid,
                                 &took);
                } else if (peek.length <= static_cast<size_t>(n)) {
                    took = request.take(buffer.data(), peek.length, from);
                }
                if (took == Take::Stop) {
                    *stopped = true;
                    return SLP_OK;
                }
            }
        }
        if ((round >= 1 || request.endIfFirstRoundSilent) && responders.size() == known) break;  // converged
    }
    return SLP_OK;
}

}  // namespace slpclient
