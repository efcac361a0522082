// sockets.cpp: the agent's sockets: TCP and UDP on loopback and on each interface address, the
// multicast groups it joins there, the query sockets and the signal descriptor.
#include "agent.h"

#include "matching.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#ifndef IPV6_MULTICAST_ALL
#define IPV6_MULTICAST_ALL 29
#endif

namespace slpagent {

namespace {

// A non-blocking socket bound to `address` (listening, for TCP); -1 with `error` set on failure.
int openSocket(const Address &address, int type, unsigned scopeId, std::string *error) {
    int fd = socket(address.family(), type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = std::strerror(errno);
        return -1;
    }
    // Datagram sockets share the port with the multicast socket bound to the wildcard.
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    Address bound = address;
    if (address.family() == AF_INET6) {
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        reinterpret_cast<sockaddr_in6 *>(&bound.storage)->sin6_scope_id = scopeId;
    }
    if (type == SOCK_DGRAM) {
        // Replies longer than the path MTU leave as IP fragments instead of failing.
        int dont = IP_PMTUDISC_DONT, dont6 = IPV6_PMTUDISC_DONT;
        if (address.family() == AF_INET) setsockopt(fd, IPPROTO_IP, IP_MTU_DISCOVER, &dont, sizeof dont);
        if (address.family() == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_MTU_DISCOVER, &dont6, sizeof dont6);
    }
    int rc = bind(fd, bound.sa(), bound.length);
    if (rc == 0 && type == SOCK_STREAM) rc = listen(fd, 128);
    if (rc != 0) {
        *error = std::strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

// The multicast socket of a family: bound to the port on the wildcard, only the groups it
// joins (MULTICAST_ALL off), and told each datagram's interface and destination.
int openMulticast(int family, uint16_t port, int ttl) {
    Address any;
    parseAddress(family == AF_INET ? "0.0.0.0" : "::", port, &any);
    std::string error;
    int fd = openSocket(any, SOCK_DGRAM, 0, &error);
    if (fd < 0) {
        std::fprintf(stderr, "slp-agent: cannot open the multicast socket: %s\n", error.c_str());
        return -1;
    }
    int zero = 0, one = 1;
    bool ok = family == AF_INET ? setsockopt(fd, IPPROTO_IP, IP_MULTICAST_ALL, &zero, sizeof zero) == 0 &&
                                      setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &one, sizeof one) == 0 &&
                                      setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) == 0
                                : setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_ALL, &zero, sizeof zero) == 0 &&
                                      setsockopt(fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, &one, sizeof one) == 0 &&
                                      setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &ttl, sizeof ttl) == 0;
    if (!ok) {
        std::fprintf(stderr, "slp-agent: cannot set up the multicast socket: %s\n", std::strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

// Joins (or leaves) an IPv6 group on one interface.
bool join6(int fd, unsigned interface, const in6_addr &group, bool join) {
    ipv6_mreq m{};
    m.ipv6mr_multiaddr = group;
    m.ipv6mr_interface = interface;
    return setsockopt(fd, IPPROTO_IPV6, join ? IPV6_ADD_MEMBERSHIP : IPV6_DROP_MEMBERSHIP, &m, sizeof m) == 0;
}

}  // namespace

// TCP and UDP on 127.0.0.1 (required) and ::1 (when it can be bound).
bool openLoopback(Agent *agent) {
    struct Wanted {
        const char *address;
        int type;
        const char *name;
    };
    const Wanted wanted[] = {{"127.0.0.1", SOCK_STREAM, "TCP 127.0.0.1"},
                             {"127.0.0.1", SOCK_DGRAM, "UDP 127.0.0.1"},
                             {"::1", SOCK_STREAM, "TCP ::1"},
                             {"::1", SOCK_DGRAM, "UDP ::1"}};
    for (const Wanted &w : wanted) {
        Address address;
        parseAddress(w.address, agent->options.port, &address);
        std::string error;
        int fd = openSocket(address, w.type, 0, &error);
        if (fd < 0) {
            std::fprintf(stderr, "slp-agent: cannot listen on %s port %u: %s\n", w.name, unsigned{agent->options.port},
                         error.c_str());
            if (address.family() == AF_INET) return false;
            continue;  // loopback IPv6 may be disabled; IPv4 is enough
        }
        if (w.type == SOCK_STREAM) {
            agent->listeners.push_back({fd, true});
        } else {
            agent->datagramSockets.push_back({fd, false, w.address, true});
        }
    }
    return true;
}

// Joins the RFC 3111 groups of the types held and leaves those of types gone: the full type
// and its abstract type, as requesters may ask for either.
void updateTypeGroups(Agent *agent) {
    if (agent->multicast6 < 0) return;
    std::set<uint16_t> wanted;
    for (const auto &held : agent->registry.types) {
        std::string type = toLower(held.first);
        wanted.insert(typeHash(held.first));
        wanted.insert(typeHash(type));
        size_t colon = type.find(':', type.rfind("service:", 0) == 0 ? 8 : 0);
        if (colon != std::string::npos) wanted.insert(typeHash(type.substr(0, colon)));
    }
    for (unsigned interface : agent->interfaces6) {
        for (uint8_t scope : {uint8_t{2}, uint8_t{5}}) {
            for (uint16_t h : agent->joinedTypes) {
                if (!wanted.count(h)) join6(agent->multicast6, interface, groupAddress(scope, true, h), false);
            }
            for (uint16_t h : wanted) {
                if (!agent->joinedTypes.count(h))
                    join6(agent->multicast6, interface, groupAddress(scope, true, h), true);
            }
        }
    }
    agent->joinedTypes = std::move(wanted);
}

// Listens on each interface address over TCP and UDP and joins the SLP groups on its interface.
bool openInterfaces(Agent *agent) {
    const AgentOptions &o = agent->options;
    int multicast4 = -1;
    std::set<unsigned> interfaces4;
    for (const std::string &text : o.interfaces) {
        Address address;
        if (!parseAddress(text, o.port, &address)) {
            std::fprintf(stderr, "slp-agent: '%s' is not an IP address\n", text.c_str());
            return false;
        }
        if ((address.family() == AF_INET && !o.useIPv4) || (address.family() == AF_INET6 && !o.useIPv6)) {
            std::fprintf(stderr, "slp-agent: skipping %s: net.slp.useIPv%c is false\n", text.c_str(),
                         address.family() == AF_INET ? '4' : '6');
            continue;
        }
        if (text == "127.0.0.1" || text == "::1") continue;  // loopback is always served
        unsigned interface = interfaceOf(address);
        if (interface == 0) {
            std::fprintf(stderr, "slp-agent: no interface carries %s\n", text.c_str());
            return false;
        }
        std::string canonical = addressText(address.sa());
        std::string error;
        int tcp = openSocket(address, SOCK_STREAM, interface, &error);
        int udp = tcp < 0 ? -1 : openSocket(address, SOCK_DGRAM, interface, &error);
        if (udp < 0) {
            std::fprintf(stderr, "slp-agent: cannot listen on %s port %u: %s\n", text.c_str(), unsigned{o.port},
                         error.c_str());
            if (tcp >= 0) close(tcp);
            return false;
        }
        agent->listeners.push_back({tcp, false});
        agent->datagramSockets.push_back({udp, false, canonical, false});
        agent->endpoints.push_back({canonical, address.family(), interface, udp, broadcastOf(address)});
        agent->ownAddresses.push_back(canonical);

        if (address.family() == AF_INET) {
            if (multicast4 < 0) {
                if ((multicast4 = openMulticast(AF_INET, o.port, o.multicastTtl)) < 0) return false;
                agent->datagramSockets.push_back({multicast4, true, "", false});
            }
            if (interfaces4.insert(interface).second) {
                ip_mreqn m{};
                inet_pton(AF_INET, "239.255.255.253", &m.imr_multiaddr);
                m.imr_address = address.v4().sin_addr;
                m.imr_ifindex = static_cast<int>(interface);
                if (setsockopt(multicast4, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) != 0) {
                    std::fprintf(stderr, "slp-agent: cannot join 239.255.255.253 on %s: %s\n", text.c_str(),
                                 std::strerror(errno));
                    return false;
                }
            }
        } else {
            if (agent->multicast6 < 0) {
                if ((agent->multicast6 = openMulticast(AF_INET6, o.port, o.multicastTtl)) < 0) return false;
                agent->datagramSockets.push_back({agent->multicast6, true, "", false});
            }
            if (agent->interfaces6.insert(interface).second) {
                for (uint8_t scope : {uint8_t{2}, uint8_t{5}}) {
                    if (!join6(agent->multicast6, interface, groupAddress(scope, false, 0), true) ||
                        !join6(agent->multicast6, interface, daGroupAddress(scope), true)) {
                        std::fprintf(stderr, "slp-agent: cannot join FF0%u::116 and ::123 on %s: %s\n", unsigned{scope},
                                     text.c_str(), std::strerror(errno));
                    }
                }
            }
        }
    }
    return true;
}

// The unbound UDP sockets that send DA discovery and DAAdverts and take the DAAdverts answering.
void openQuerySockets(Agent *agent) {
    const AgentOptions &o = agent->options;
    for (int family : {AF_INET, AF_INET6}) {
        if ((family == AF_INET && !o.useIPv4) || (family == AF_INET6 && !o.useIPv6)) continue;
        int fd = socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) continue;
        int ttl = o.multicastTtl, one = 1;
        if (family == AF_INET) setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
        if (family == AF_INET) setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
        if (family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &ttl, sizeof ttl);
        (family == AF_INET ? agent->query4 : agent->query6) = fd;
        agent->datagramSockets.push_back({fd, false, "", false, true});
    }
}

bool openSignalFd(Agent *agent) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    if (sigprocmask(SIG_BLOCK, &set, nullptr) != 0) return false;
    signal(SIGPIPE, SIG_IGN);
    agent->signalFd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    return agent->signalFd >= 0;
}

}  // namespace slpagent
