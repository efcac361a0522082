#include "server.h"

#include "addresses.h"
#include "directory.h"
#include "handler.h"
#include "matching.h"
#include "rate_limit.h"
#include "reg_file.h"
#include "registry.h"
#include "slp_message.h"
#include "state.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <ifaddrs.h>
#include <linux/capability.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <stdio_ext.h>
#include <cstring>
#include <ctime>
#include <list>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#ifndef IPV6_MULTICAST_ALL
#define IPV6_MULTICAST_ALL 29
#endif

namespace slpagent {

namespace {

constexpr uint32_t kMaxStreamMessage = 64 * 1024;  // larger TCP messages close the connection
constexpr size_t kMaxPendingOutput = 256 * 1024;   // stop reading a client that does not read
// Loopback connections (the daemon's registrations) have a budget of their own that remote
// peers cannot touch; each remote address gets a few, and all remote ones together a cap.
constexpr size_t kMaxPerPeer = 16;
constexpr size_t kMaxRemoteConnections = 512;
constexpr size_t kMaxLoopbackConnections = 1024;
constexpr size_t kReservedDescriptors = 64;  // sockets, files and the state file's writes
// Each change is appended to the state file before the replies that acknowledge it go out,
// so a killed agent loses nothing it acknowledged; it is synced to disk (fsync) at most
// this often, which bounds what a power loss can take.
constexpr int64_t kStateSyncSpacingMs = 100;
constexpr int64_t kLoopbackIdleMs = 5 * 60 * 1000;
constexpr int64_t kRemoteIdleMs = 30 * 1000;
constexpr int64_t kPidCheckIntervalMs = 3000;
constexpr size_t kReadChunk = 64 * 1024;
constexpr int64_t kLimitReportSpacingMs = 60 * 1000;
constexpr int64_t kFlushDelayMs = 20;

int64_t monotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

int64_t wallClockMs() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

bool processAlive(uint32_t pid) { return kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH; }

void printLines(const std::vector<std::string> &lines) {
    for (const std::string &line : lines) std::printf("%s\n", line.c_str());
}

struct Connection {
    int fd = -1;
    bool loopback = true;
    bool registeringNetwork = false;  // a DA takes registrations from this peer
    std::string peer;          // remote address, for the per-peer count
    std::string localAddress;  // where it was accepted, for the DAAdvert's URL
    std::vector<uint8_t> in;
    std::vector<uint8_t> out;
    size_t outSent = 0;
    int64_t lastActivityMs = 0;
    bool peerClosed = false;  // finish writing, then close
    bool broken = false;      // close now
};

struct Listener {
    int fd;
    bool loopback;
};

// A UDP socket bound to one address (loopback or an interface address), or the multicast
// socket of a family (`multicast`), whose requests are answered through the socket of the
// interface address they arrived on.
struct DatagramSocket {
    int fd;
    bool multicast;
    std::string address;  // bound address; empty for a multicast socket
    bool loopback;
    bool query = false;  // unbound: sends DA discovery and DAAdverts, takes only DAAdverts
};

struct Endpoint {
    std::string address;
    int family;
    unsigned interface;
    int udpFd;
    in_addr broadcast;  // IPv4: of the address's network, 0.0.0.0 if none
};

struct Agent {
    AgentOptions options;
    Registry registry;
    std::vector<Listener> listeners;
    std::vector<DatagramSocket> datagramSockets;
    std::vector<Endpoint> endpoints;
    std::vector<std::string> ownAddresses = {"127.0.0.1", "::1"};
    int multicast6 = -1;
    std::set<unsigned> interfaces6;  // interfaces whose IPv6 groups the agent joined
    std::set<uint16_t> joinedTypes;  // RFC 3111 hashes joined on each of them
    std::list<Connection> connections;
    std::map<std::string, size_t> perPeer;
    size_t remoteConnections = 0;
    size_t loopbackConnections = 0;
    size_t remoteCap = kMaxRemoteConnections;
    size_t loopbackCap = kMaxLoopbackConnections;
    int spareFd = -1;  // given up to accept-and-close when descriptors run out
    int signalFd = -1;
    int64_t nextPidCheckMs = 0;
    bool changed = false;       // the registry changed since the state file was written
    bool typesChanged = false;  // since the IPv6 type groups were last updated
    int64_t lastSyncMs = INT64_MIN / 2;
    bool unsynced = false;  // the file on disk may lag a power loss behind the last write
    StateJournal journal;
    std::vector<uint8_t> datagram = std::vector<uint8_t>(65536);
    Directories directories;              // service agent: the DAs it registers with
    int query4 = -1, query6 = -1;         // the query sockets of each family
    int64_t nextHeartbeatMs = INT64_MAX;  // DA: next unsolicited DAAdvert
    int64_t nextDiscoveryMs = INT64_MAX;  // service agent: next service:directory-agent request
    std::mt19937 random{std::random_device{}()};
    std::vector<uint8_t> readBuffer = std::vector<uint8_t>(kReadChunk);
    ReplyBudget budget;                        // what UDP replies to the LAN may take
    std::vector<Network> registeringNetworks;  // DA: where remote registrations may come from
    std::vector<Registration> fileRegistrations;  // the registration file's, as last applied
    // Refused remote registrations and deregistrations since the last report, by Refusal.
    uint64_t refused[4] = {};
    int64_t nextLimitReportMs = INT64_MIN;
    int64_t flushDueMs = INT64_MAX;  // when what was printed must be written out
    uint64_t stateFailures = 0;      // writes of the state file that failed
    int64_t nextStateReportMs = INT64_MIN;
};

// Prints, at most once a minute and when there is something to say, how many UDP replies the
// rate limit held back and how many remote registrations the DA refused; `now` prints at once.
void reportLimits(Agent *agent, int64_t nowMs, bool now) {
    ReplyBudget &b = agent->budget;
    uint64_t *r = agent->refused;
    const bool pending = b.dropped + b.slipped + r[1] + r[2] + r[3] != 0;
    if (!pending || (!now && nowMs < agent->nextLimitReportMs)) return;
    if (b.dropped + b.slipped != 0) {
        std::printf("rate limit: %llu UDP replies dropped, %llu cut to a header\n",
                    static_cast<unsigned long long>(b.dropped), static_cast<unsigned long long>(b.slipped));
    }
    if (r[1] + r[2] + r[3] != 0) {
        std::printf("refused %llu remote registrations: %llu by UDP, %llu from outside the registering networks, "
                    "%llu over %zu bytes\n",
                    static_cast<unsigned long long>(r[1] + r[2] + r[3]), static_cast<unsigned long long>(r[1]),
                    static_cast<unsigned long long>(r[2]), static_cast<unsigned long long>(r[3]),
                    agent->options.maxRegistrationBytes);
    }
    b.dropped = b.slipped = 0;
    r[1] = r[2] = r[3] = 0;
    agent->nextLimitReportMs = nowMs + kLimitReportSpacingMs;
}

// Prints what changed and notes that the state file is behind.
void report(Agent *agent, const std::vector<std::string> &lines) {
    printLines(lines);
    if (lines.empty()) return;
    agent->changed = agent->typesChanged = true;
    registryChanged(&agent->directories);
}

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

// Sends `message` to the SLP group of an interface address: 239.255.255.253 (or by broadcast
// with net.slp.isBroadcastOnly), or FF02::123.
void sendToGroup(Agent *agent, const Endpoint &endpoint, const std::vector<uint8_t> &message) {
    Address to;
    const uint16_t port = agent->options.port;
    if (endpoint.family == AF_INET && agent->query4 >= 0 && agent->options.broadcastOnly) {
        // To 255.255.255.255 out of this interface, from its address.
        Address self;
        parseAddress(endpoint.address, 0, &self);
        parseAddress("255.255.255.255", port, &to);
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
        iovec iov{const_cast<uint8_t *>(message.data()), message.size()};
        msghdr msg{};
        msg.msg_name = to.sa();
        msg.msg_namelen = to.length;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        cmsghdr *c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = IPPROTO_IP;
        c->cmsg_type = IP_PKTINFO;
        c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo info{};
        info.ipi_ifindex = static_cast<int>(endpoint.interface);
        info.ipi_spec_dst = self.v4().sin_addr;
        std::memcpy(CMSG_DATA(c), &info, sizeof info);
        sendmsg(agent->query4, &msg, MSG_DONTWAIT);
    } else if (endpoint.family == AF_INET && agent->query4 >= 0) {
        Address self;
        parseAddress(endpoint.address, 0, &self);
        ip_mreqn m{};
        m.imr_address = self.v4().sin_addr;
        m.imr_ifindex = static_cast<int>(endpoint.interface);
        setsockopt(agent->query4, IPPROTO_IP, IP_MULTICAST_IF, &m, sizeof m);
        parseAddress("239.255.255.253", port, &to);
        sendto(agent->query4, message.data(), message.size(), MSG_DONTWAIT, to.sa(), to.length);
    } else if (endpoint.family == AF_INET6 && agent->query6 >= 0) {
        int interface = static_cast<int>(endpoint.interface);
        setsockopt(agent->query6, IPPROTO_IPV6, IPV6_MULTICAST_IF, &interface, sizeof interface);
        parseAddress("ff02::123", port, &to);
        reinterpret_cast<sockaddr_in6 *>(&to.storage)->sin6_scope_id = endpoint.interface;
        sendto(agent->query6, message.data(), message.size(), MSG_DONTWAIT, to.sa(), to.length);
    }
}

// DA mode: an unsolicited DAAdvert (XID 0) on every interface, each naming its own address;
// boot timestamp 0 says the DA goes down.
void advertiseDa(Agent *agent, uint32_t bootTimestamp) {
    for (const Endpoint &e : agent->endpoints) {
        std::vector<uint8_t> advert;
        const AgentOptions &o = agent->options;
        if (encodeOwnDAAdvert(0, o.locale, bootTimestamp, e.address, o.port, o.scopes, o.daAttributes, &advert)) {
            sendToGroup(agent, e, advert);
        }
    }
}

// Service agent: asks for service:directory-agent on every interface's group (active discovery)
// and of every DA known by unicast, which also tells a restarted DA by its new boot timestamp.
void discoverDas(Agent *agent) {
    slpv2::Header header;
    header.xid = static_cast<uint16_t>(agent->random() % 0xFFFF + 1);
    header.language = agent->options.locale;
    slpv2::SrvRqst body{"", "service:directory-agent", agent->options.scopes, "", ""};
    std::vector<uint8_t> unicast, multicast;
    if (!slpv2::encodeSrvRqst(header, body, &unicast)) return;
    header.flags = slpv2::kFlagRequestMcast;
    if (!slpv2::encodeSrvRqst(header, body, &multicast)) return;
    if (agent->options.activeDaDiscovery) {
        for (const Endpoint &e : agent->endpoints) sendToGroup(agent, e, multicast);
    }
    for (const auto &entry : agent->directories.agents) {
        const DirectoryAgent &da = entry.second;
        int fd = da.peer.ss_family == AF_INET ? agent->query4 : agent->query6;
        if (fd >= 0) {
            sendto(fd, unicast.data(), unicast.size(), MSG_DONTWAIT, reinterpret_cast<const sockaddr *>(&da.peer),
                   da.peerLength);
        }
    }
}

// A random wait up to net.slp.randomWaitBound before the first multicast, so agents started
// together do not answer or advertise all at once.
int64_t randomWaitMs(Agent *agent) {
    if (agent->options.randomWaitBoundMs <= 0) return 0;
    return std::uniform_int_distribution<int64_t>(0, agent->options.randomWaitBoundMs)(agent->random);
}

// Sends what the DA timers call for: heartbeat DAAdverts, DA discovery.
void runDaTimers(Agent *agent, int64_t nowMs) {
    if (nowMs >= agent->nextHeartbeatMs) {
        advertiseDa(agent, agent->registry.bootTimestamp);
        agent->nextHeartbeatMs = agent->options.daHeartBeatS == 0 ? INT64_MAX : nowMs + agent->options.daHeartBeatS * 1000;
    }
    if (nowMs >= agent->nextDiscoveryMs) {
        discoverDas(agent);
        agent->nextDiscoveryMs = nowMs + agent->options.daDiscoveryIntervalS * 1000;
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

// Raises the descriptor limit as far as the hard limit allows and sizes the connection caps
// to it, so no number of hostile connections can take the descriptors loopback needs.
void sizeConnectionCaps(Agent *agent) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
    }
    size_t usable = limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > 1 << 20 ? size_t{1} << 20
                                                                                : static_cast<size_t>(limit.rlim_cur);
    usable = usable > kReservedDescriptors + 64 ? usable - kReservedDescriptors : 64;
    agent->remoteCap = std::min(kMaxRemoteConnections, usable / 2);
    agent->loopbackCap = std::min(kMaxLoopbackConnections, usable - agent->remoteCap);
    agent->spareFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
}

// Records the changes in the state file, if there is one, syncing it when the last sync is
// kStateSyncSpacingMs old; a failure is reported and retried on the next change.
void saveState(Agent *agent, int64_t nowMs) {
    // A change that noted no key is caught by a whole snapshot.
    const bool whole = agent->changed && agent->registry.changed.empty();
    agent->changed = false;
    if (agent->options.statePath.empty()) {
        agent->registry.changed.clear();
        return;
    }
    const bool sync = nowMs >= agent->lastSyncMs + kStateSyncSpacingMs;
    agent->unsynced = !sync;
    if (sync) agent->lastSyncMs = nowMs;
    std::string error;
    if (saveChanges(&agent->journal, agent->options.statePath, &agent->registry, whole, monotonicMs(), wallClockMs(),
                    sync, &error)) {
        return;
    }
    // A full disk fails every change: say so once a minute, with how often it failed.
    ++agent->stateFailures;
    if (nowMs < agent->nextStateReportMs) return;
    std::fprintf(stderr, "slp-agent: cannot write the state file %s (%llu failed writes)\n", error.c_str(),
                 static_cast<unsigned long long>(agent->stateFailures));
    agent->nextStateReportMs = nowMs + kLimitReportSpacingMs;
}

// Loads the state file: registrations not expired whose process still runs (or that name
// none). A missing or damaged file means starting empty, with a line saying why.
void loadState(Agent *agent) {
    if (agent->options.statePath.empty()) return;
    removeStaleTemporaries(agent->options.statePath);
    std::string text, error;
    if (!readWholeFile(agent->options.statePath, &text, &error) ||
        !parseState(text, monotonicMs(), wallClockMs(), &agent->registry, &error)) {
        std::fprintf(stderr, "slp-agent: starting empty: state file %s: %s\n", agent->options.statePath.c_str(),
                     error.c_str());
        return;
    }
    std::vector<std::string> lines;
    if (agent->options.watchPid) dropExitedProcesses(&agent->registry, processAlive, &lines);
    printLines(lines);
    std::printf("restored %zu registrations\n", agent->registry.entries.size());
    agent->changed = !lines.empty();
}

// Whether `user` (uid and gid; -1 = the agent as it is) can keep the state file: a registration
// acknowledged must not be lost for want of a writable folder, so one that is not stops the
// agent. Root tries it in a child process that has become the user.
bool stateFileKept(const AgentOptions &options, const std::string &user, uid_t uid, gid_t gid) {
    if (options.statePath.empty()) return true;
    int error = 0;
    if (uid == static_cast<uid_t>(-1)) {
        error = stateFileWritable(options.statePath);
    } else {
        std::fflush(nullptr);
        const pid_t child = fork();
        if (child == 0) {
            const bool became = setgroups(0, nullptr) == 0 && setresgid(gid, gid, gid) == 0 && setresuid(uid, uid, uid) == 0;
            _exit(became ? stateFileWritable(options.statePath) : errno);
        }
        int status = 0;
        error = child < 0 ? errno : waitpid(child, &status, 0) != child || !WIFEXITED(status) ? EIO : WEXITSTATUS(status);
    }
    if (error == 0) return true;
    std::fprintf(stderr, "slp-agent: %s cannot keep the state file in %s: %s\n", user.c_str(),
                 folderOf(options.statePath).c_str(), std::strerror(error));
    return false;
}

// Ends with no capabilities in any set (the bounding set only where that is allowed) and
// no way to gain any: also for an agent started unprivileged with ambient capabilities,
// such as CAP_NET_BIND_SERVICE from a systemd unit, once port 427 is bound.
bool dropCapabilities(const char *who) {
    // The bounding set can only shrink while the capability to shrink it is still held.
    for (int cap = 0; cap <= 63; ++cap) {
        if (prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0 && errno == EINVAL) break;
    }
    prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    bool ok = prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && syscall(SYS_capset, &header, data) == 0 &&
              syscall(SYS_capget, &header, data) == 0;
    for (const auto &d : data) ok = ok && d.effective == 0 && d.permitted == 0 && d.inheritable == 0;
    if (!ok || (geteuid() != 0 && setuid(0) == 0)) {
        std::fprintf(stderr, "slp-agent: privileges remain as %s\n", who);
        return false;
    }
    return true;
}

// Once every socket is bound: root becomes `options.user` (default nobody) with no
// supplementary groups; any user ends without capabilities.
bool dropPrivileges(const AgentOptions &options) {
    if (geteuid() != 0) {
        passwd *pw = options.user.empty() ? nullptr : getpwnam(options.user.c_str());
        if (!options.user.empty() && (pw == nullptr || pw->pw_uid != geteuid())) {
            std::fprintf(stderr, "slp-agent: --user %s needs root\n", options.user.c_str());
            return false;
        }
        pw = getpwuid(geteuid());
        return stateFileKept(options, pw != nullptr ? pw->pw_name : "this user", -1, -1) &&
               dropCapabilities("this user");
    }
    std::string name = options.user.empty() ? "nobody" : options.user;
    passwd *pw = getpwnam(name.c_str());
    if (pw == nullptr) {
        std::fprintf(stderr, "slp-agent: no user '%s'\n", name.c_str());
        return false;
    }
    uid_t uid = pw->pw_uid;
    gid_t gid = pw->pw_gid;
    if (!stateFileKept(options, name, uid, gid)) return false;
    // Still privileged here: the bounding set can be emptied before the uid changes.
    for (int cap = 0; cap <= 63; ++cap) {
        if (prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0 && errno == EINVAL) break;
    }
    if (setgroups(0, nullptr) != 0 || setresgid(gid, gid, gid) != 0 || setresuid(uid, uid, uid) != 0) {
        std::fprintf(stderr, "slp-agent: cannot become %s: %s\n", name.c_str(), std::strerror(errno));
        return false;
    }
    return dropCapabilities(name.c_str());
}

// Reads the registration file and applies what changed since it was last read. A file that
// cannot be read stops the agent at start (false) and keeps what it gave before on SIGHUP.
bool loadRegistrationFile(Agent *agent, bool atStart) {
    const std::string &path = agent->options.registrationFile;
    if (path.empty()) return true;
    std::string text, error;
    if (!readWholeFile(path, &text, &error)) {
        std::fprintf(stderr, "slp-agent: cannot read the registration file %s: %s%s\n", path.c_str(), error.c_str(),
                     atStart ? "" : "; its registrations stay as they were");
        return !atStart;
    }
    std::vector<std::string> errors, lines;
    std::vector<Registration> read = parseRegistrationFile(text, path, agent->options.scopes, &errors);
    for (const std::string &e : errors) std::fprintf(stderr, "slp-agent: %s\n", e.c_str());
    applyRegistrationFile(&agent->registry, agent->fileRegistrations, read, agent->options.strictLifetimes,
                          monotonicMs(), &lines);
    agent->fileRegistrations = std::move(read);
    report(agent, lines);
    return true;
}

void checkProcesses(Agent *agent, int64_t nowMs) {
    if (!agent->options.watchPid) return;
    std::vector<std::string> lines;
    dropExitedProcesses(&agent->registry, processAlive, &lines);
    report(agent, lines);
    agent->nextPidCheckMs = nowMs + kPidCheckIntervalMs;
}

// `received` is where the request arrived; `multicast` whether on a group; `local` whether
// over loopback; `registering` whether from a TCP peer that may register with a DA.
Outcome answer(Agent *agent, const uint8_t *data, size_t size, bool datagram, const std::string &received,
               bool multicast, bool local, bool registering) {
    const int64_t nowMs = monotonicMs();
    // Lookups must not report services of processes that are gone.
    const uint8_t function = data[1];
    if (function == 1 || function == 6 || function == 9) checkProcesses(agent, nowMs);
    HandlerOptions options;
    options.strictLifetimes = agent->options.strictLifetimes;
    options.datagramMtu = datagram ? std::min<size_t>(agent->options.mtu, 65507) : 0;
    options.scopes = agent->options.scopes;
    options.saAttributes = agent->options.saAttributes;
    options.ownAddresses = agent->ownAddresses;
    options.receivedOn = received;
    options.viaMulticast = multicast;
    options.local = local;
    options.directoryAgent = agent->options.directoryAgent;
    options.bootTimestamp = agent->registry.bootTimestamp;
    options.port = agent->options.port;
    options.daAttributes = agent->options.daAttributes;
    options.maxRemoteRegistrations = agent->options.maxRemoteRegistrations;
    options.registeringNetwork = registering;
    options.maxRegistrationBytes = agent->options.maxRegistrationBytes;
    Outcome outcome = handleMessage(&agent->registry, data, size, nowMs, options);
    report(agent, outcome.lines);
    ++agent->refused[static_cast<int>(outcome.refusal)];
    return outcome;
}

// Where a multicast datagram arrived: its interface and whether it was sent to a group.
struct Arrival {
    unsigned interface = 0;
    bool toGroup = false;
    in_addr destination{};  // IPv4
};

Arrival arrivalOf(msghdr *msg) {
    Arrival a;
    for (cmsghdr *c = CMSG_FIRSTHDR(msg); c != nullptr; c = CMSG_NXTHDR(msg, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            a.interface = static_cast<unsigned>(info.ipi_ifindex);
            a.toGroup = IN_MULTICAST(ntohl(info.ipi_addr.s_addr));
            a.destination = info.ipi_addr;
        } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
            in6_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            a.interface = info.ipi6_ifindex;
            a.toGroup = IN6_IS_ADDR_MULTICAST(&info.ipi6_addr);
        }
    }
    return a;
}

// Answers up to 64 waiting datagrams of one socket, so no socket starves the others.
void serveDatagrams(Agent *agent, const DatagramSocket &socket) {
    for (int budget = 64; budget > 0; --budget) {
        Address from;
        iovec iov{agent->datagram.data(), agent->datagram.size()};
        alignas(cmsghdr) char control[256];
        msghdr msg{};
        msg.msg_name = &from.storage;
        msg.msg_namelen = sizeof from.storage;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        ssize_t n = recvmsg(socket.fd, &msg, MSG_TRUNC);
        if (n < 0) return;
        from.length = msg.msg_namelen;
        if (n < 5 || static_cast<size_t>(n) > agent->datagram.size()) continue;
        const uint8_t *d = agent->datagram.data();
        // Bytes past Length are ignored; a datagram shorter than its Length is dropped.
        size_t length = (size_t{d[2]} << 16) | (size_t{d[3]} << 8) | d[4];
        if (length > static_cast<size_t>(n)) continue;
        int replyFd = socket.fd;
        std::string received = socket.address;
        if (socket.multicast) {
            // Only group traffic, or IPv4 broadcast (net.slp.isBroadcastOnly elsewhere); the reply
            // leaves from the interface address it came in on.
            Arrival arrival = arrivalOf(&msg);
            const Endpoint *endpoint = nullptr;
            for (const Endpoint &e : agent->endpoints) {
                if (e.interface == arrival.interface && e.family == from.family() && endpoint == nullptr) endpoint = &e;
            }
            if (endpoint == nullptr) continue;
            const uint32_t to = arrival.destination.s_addr;
            const bool broadcast = from.family() == AF_INET && (to == INADDR_BROADCAST || to == endpoint->broadcast.s_addr);
            if (!arrival.toGroup && !broadcast) continue;
            replyFd = endpoint->udpFd;
            received = endpoint->address;
        }
        if (d[1] == static_cast<uint8_t>(slpv2::Function::DAAdvert)) {
            // Answers to our discovery always count; unsolicited ones with passive detection on.
            if (!agent->options.directoryAgent && (socket.query || agent->options.passiveDaDiscovery)) {
                std::vector<std::string> lines;
                const uint32_t zone =
                    from.family() == AF_INET6 ? reinterpret_cast<const sockaddr_in6 *>(from.sa())->sin6_scope_id : 0;
                takeDaAdvert(&agent->directories, d, length, addressText(from.sa()), zone, monotonicMs(), &lines);
                // Even without active discovery, known DAs are asked now and then, so a restart
                // whose DAAdvert went missing is noticed before the next heartbeat.
                if (agent->nextDiscoveryMs == INT64_MAX && !agent->directories.agents.empty()) {
                    agent->nextDiscoveryMs = monotonicMs() + agent->options.daDiscoveryIntervalS * 1000;
                }
                printLines(lines);
            }
            continue;
        }
        if (socket.query) continue;
        // Loopback cannot be forged from the LAN; anything else may come from a spoofed source.
        const int64_t nowMs = monotonicMs();
        const Admission admission =
            socket.loopback ? Admission::Send : admitReply(&agent->budget, from.sa(), nowMs);
        if (admission == Admission::Drop) continue;
        Outcome outcome = answer(agent, d, length, true, received, socket.multicast, socket.loopback, false);
        if (agent->changed) saveState(agent, monotonicMs());  // before the acknowledgement leaves
        if (outcome.reply.empty()) continue;
        if (admission == Admission::Slip) {
            // The header alone, OVERFLOW set and the whole Length kept: the requester asks over TCP.
            const std::vector<uint8_t> &r = outcome.reply;
            outcome.reply.resize(slpv2::kFixedHeaderSize + ((size_t{r[12]} << 8) | r[13]));
            outcome.reply[5] |= 0x80;
        } else if (!socket.loopback) {
            chargeReply(&agent->budget, from.sa(), outcome.reply.size(), nowMs);
        }
        sendto(replyFd, outcome.reply.data(), outcome.reply.size(), MSG_DONTWAIT, from.sa(), from.length);
    }
}

// Accepts and closes at once: over a cap, or out of descriptors (the spare one makes room).
void refuse(Agent *agent, int listener, int fd) {
    if (fd >= 0) {
        close(fd);
        return;
    }
    if (agent->spareFd < 0) return;
    close(agent->spareFd);
    fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) close(fd);
    agent->spareFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
}

// Accepts what waits on a listener within the caps: loopback against its own budget, a
// remote peer against its per-peer and the total remote cap.
void acceptConnections(Agent *agent, const Listener &listener, int64_t nowMs) {
    for (int budget = 256; budget > 0; --budget) {
        Address peer;
        peer.length = sizeof peer.storage;
        int fd = accept4(listener.fd, peer.sa(), &peer.length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE) {
                refuse(agent, listener.fd, -1);
                continue;
            }
            return;
        }
        Connection c;
        c.fd = fd;
        c.loopback = listener.loopback;
        Address local;
        local.length = sizeof local.storage;
        if (getsockname(fd, local.sa(), &local.length) == 0) c.localAddress = addressText(local.sa());
        if (c.loopback) {
            if (agent->loopbackConnections >= agent->loopbackCap) {
                refuse(agent, listener.fd, fd);
                continue;
            }
            ++agent->loopbackConnections;
        } else {
            c.peer = peerKey(peer);
            for (const Network &n : agent->registeringNetworks) {
                c.registeringNetwork = c.registeringNetwork || networkContains(n, peer.sa());
            }
            size_t &mine = agent->perPeer[c.peer];
            if (mine >= kMaxPerPeer || agent->remoteConnections >= agent->remoteCap) {
                if (mine == 0) agent->perPeer.erase(c.peer);
                refuse(agent, listener.fd, fd);
                continue;
            }
            ++mine;
            ++agent->remoteConnections;
        }
        // Replies are single small writes; do not let them wait for an ACK.
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        c.lastActivityMs = nowMs;
        agent->connections.push_back(std::move(c));
    }
}

// Closes a connection and gives its place back to the cap it counted against.
void forget(Agent *agent, const Connection &c) {
    close(c.fd);
    if (c.loopback) {
        --agent->loopbackConnections;
        return;
    }
    --agent->remoteConnections;
    auto it = agent->perPeer.find(c.peer);
    if (it != agent->perPeer.end() && --it->second == 0) agent->perPeer.erase(it);
}

int64_t idleLimitMs(const Connection &c) { return c.loopback ? kLoopbackIdleMs : kRemoteIdleMs; }

// Answers every complete message in the input buffer while the output stays bounded.
void processInput(Agent *agent, Connection *c) {
    size_t consumed = 0;
    while (c->in.size() - consumed >= 5 && c->out.size() - c->outSent < kMaxPendingOutput) {
        const uint8_t *msg = c->in.data() + consumed;
        uint8_t version = 0, function = 0;
        uint32_t length = 0;
        // Another version frames differently and a bad Length loses the framing: the stream
        // cannot be resynchronised, so the connection goes.
        if (slpv2::peekHeader(msg, 5, &version, &function, &length) != slpv2::DecodeStatus::Ok ||
            length > kMaxStreamMessage) {
            c->broken = true;
            break;
        }
        if (c->in.size() - consumed < length) break;
        Outcome outcome =
            answer(agent, msg, length, false, c->localAddress, false, c->loopback, c->registeringNetwork);
        c->out.insert(c->out.end(), outcome.reply.begin(), outcome.reply.end());
        consumed += length;
    }
    c->in.erase(c->in.begin(), c->in.begin() + static_cast<std::ptrdiff_t>(consumed));
}

void readConnection(Agent *agent, Connection *c, int64_t nowMs) {
    ssize_t n = recv(c->fd, agent->readBuffer.data(), agent->readBuffer.size(), MSG_DONTWAIT);
    if (n > 0) c->in.insert(c->in.end(), agent->readBuffer.begin(), agent->readBuffer.begin() + n);
    if (n == 0) {
        c->peerClosed = true;
    } else if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) c->broken = true;
        return;
    }
    c->lastActivityMs = nowMs;
    processInput(agent, c);
}

void writeConnection(Connection *c, int64_t nowMs) {
    while (c->outSent < c->out.size()) {
        ssize_t n = send(c->fd, c->out.data() + c->outSent, c->out.size() - c->outSent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) c->broken = true;
            return;
        }
        c->outSent += static_cast<size_t>(n);
        c->lastActivityMs = nowMs;
    }
    c->out.clear();
    c->outSent = 0;
}

bool wantsRead(const Connection &c) { return !c.peerClosed && c.out.size() - c.outSent < kMaxPendingOutput; }

// What was printed reaches stdout within kFlushDelayMs, many lines in one write: a busy agent
// does not pay a write for each registration.
void flushOutput(Agent *agent, int64_t nowMs) {
    if (__fpending(stdout) == 0) return;
    if (agent->flushDueMs == INT64_MAX) agent->flushDueMs = nowMs + kFlushDelayMs;
    if (nowMs < agent->flushDueMs) return;
    std::fflush(stdout);
    agent->flushDueMs = INT64_MAX;
}

int pollTimeout(const Agent &agent, int64_t nowMs) {
    std::optional<int64_t> deadline = nextExpiry(agent.registry);
    auto earliest = [&deadline](int64_t t) {
        if (!deadline || t < *deadline) deadline = t;
    };
    if (agent.options.watchPid && !agent.registry.entries.empty()) earliest(agent.nextPidCheckMs);
    if (agent.unsynced) earliest(agent.lastSyncMs + kStateSyncSpacingMs);
    earliest(agent.flushDueMs);
    earliest(std::min({agent.nextHeartbeatMs, agent.nextDiscoveryMs, nextDirectoryDeadline(agent.directories, nowMs)}));
    const uint64_t *r = agent.refused;
    if (agent.budget.dropped + agent.budget.slipped + r[1] + r[2] + r[3] != 0) earliest(agent.nextLimitReportMs);
    for (const Connection &c : agent.connections) earliest(c.lastActivityMs + idleLimitMs(c));
    if (!deadline || *deadline == INT64_MAX) return -1;
    return static_cast<int>(std::clamp<int64_t>(*deadline - nowMs, 0, 60 * 60 * 1000));
}

void closeAll(Agent *agent) {
    for (Connection &c : agent->connections) close(c.fd);
    for (const Listener &l : agent->listeners) close(l.fd);
    for (const DatagramSocket &d : agent->datagramSockets) close(d.fd);
    if (agent->signalFd >= 0) close(agent->signalFd);
    if (agent->spareFd >= 0) close(agent->spareFd);
    closeDirectories(&agent->directories);
}

void serve(Agent *agent) {
    std::vector<pollfd> fds;
    while (true) {
        // What changed is in the groups joined and in the state file before the agent waits
        // again, so before any reply that acknowledges it is sent.
        if (agent->typesChanged) {
            updateTypeGroups(agent);
            agent->typesChanged = false;
        }
        if (agent->changed || (agent->unsynced && monotonicMs() >= agent->lastSyncMs + kStateSyncSpacingMs))
            saveState(agent, monotonicMs());
        {
            std::vector<std::string> lines;
            int64_t nowMs = monotonicMs();
            runDaTimers(agent, nowMs);
            stepDirectories(&agent->directories, agent->registry, nowMs, &lines);
            printLines(lines);
            reportLimits(agent, nowMs, false);
        }
        flushOutput(agent, monotonicMs());
        fds.clear();
        fds.push_back({agent->signalFd, POLLIN, 0});
        for (const Listener &l : agent->listeners) fds.push_back({l.fd, POLLIN, 0});
        for (const DatagramSocket &d : agent->datagramSockets) fds.push_back({d.fd, POLLIN, 0});
        const size_t firstConnection = fds.size();
        for (const Connection &c : agent->connections) {
            short events = wantsRead(c) ? POLLIN : 0;
            if (c.outSent < c.out.size()) events |= POLLOUT;
            fds.push_back({c.fd, events, 0});
        }
        const size_t firstDirectory = fds.size();
        directoryPollFds(agent->directories, &fds);
        int64_t nowMs = monotonicMs();
        if (poll(fds.data(), fds.size(), pollTimeout(*agent, nowMs)) < 0 && errno != EINTR) {
            std::perror("slp-agent: poll");
            return;
        }
        nowMs = monotonicMs();
        if (fds[0].revents != 0) {
            signalfd_siginfo info{};
            if (read(agent->signalFd, &info, sizeof info) == sizeof info && info.ssi_signo != SIGHUP) return;
            loadRegistrationFile(agent, false);
        }

        std::vector<std::string> lines;
        expireRegistrations(&agent->registry, nowMs, &lines);
        report(agent, lines);
        if (nowMs >= agent->nextPidCheckMs) checkProcesses(agent, nowMs);

        size_t i = 1;
        for (const Listener &l : agent->listeners) {
            if (fds[i++].revents != 0) acceptConnections(agent, l, nowMs);
        }
        for (const DatagramSocket &d : agent->datagramSockets) {
            if (fds[i++].revents != 0) serveDatagrams(agent, d);
        }
        // Connections accepted above are not in `fds` yet; they are polled next round.
        i = firstConnection;
        for (auto it = agent->connections.begin(); it != agent->connections.end();) {
            Connection &c = *it;
            short revents = i < firstDirectory && fds[i].fd == c.fd ? fds[i++].revents : 0;
            if (revents & POLLIN) readConnection(agent, &c, nowMs);
            if (revents & (POLLERR | POLLHUP) && !(revents & POLLIN)) c.broken = true;
            // Input left over once output has drained is answered now.
            if (!c.broken && c.out.size() - c.outSent < kMaxPendingOutput) processInput(agent, &c);
            if (agent->changed) saveState(agent, nowMs);  // before the acknowledgement leaves
            if (!c.broken) writeConnection(&c, nowMs);
            bool done =
                c.broken || (c.peerClosed && c.outSent == c.out.size()) || nowMs - c.lastActivityMs >= idleLimitMs(c);
            if (done) {
                forget(agent, c);
                it = agent->connections.erase(it);
            } else {
                ++it;
            }
        }
        lines.clear();
        directoryPollResults(&agent->directories, agent->registry, fds.data() + firstDirectory,
                             fds.size() - firstDirectory, nowMs, &lines);
        printLines(lines);
    }
}

}  // namespace

int runAgent(const AgentOptions &options) {
    Agent agent;
    agent.options = options;
    // Fully buffered, and written out within kFlushDelayMs (flushOutput).
    setvbuf(stdout, nullptr, _IOFBF, 64 * 1024);
    sizeConnectionCaps(&agent);
    if (!openSignalFd(&agent)) {
        std::perror("slp-agent: signalfd");
        return 1;
    }
    if (!openLoopback(&agent) || !openInterfaces(&agent)) {
        closeAll(&agent);
        return 1;
    }
    openQuerySockets(&agent);
    initReplyBudget(&agent.budget, options.rateLimits, agent.random() * uint64_t{0x9E3779B97F4A7C15}, monotonicMs());
    agent.registeringNetworks = ownNetworks(options.interfaces);
    for (const std::string &text : options.registeringNetworks) {
        Network n;
        if (parseNetwork(text, &n)) agent.registeringNetworks.push_back(n);
    }
    agent.directories.port = options.port;
    for (const std::string &da : options.directoryAgent ? std::vector<std::string>{} : options.daAddresses) {
        if (!addConfiguredDa(&agent.directories, da)) {
            std::fprintf(stderr, "slp-agent: bad DA address '%s'\n", da.c_str());
            closeAll(&agent);
            return 1;
        }
    }
    // Loaded before anything is answered; written only once root is gone, so the file
    // belongs to the user the agent runs as.
    loadState(&agent);
    if (!dropPrivileges(options)) {
        closeAll(&agent);
        return 1;
    }
    if (!loadRegistrationFile(&agent, true)) {
        closeAll(&agent);
        return 1;
    }
    if (agent.changed) saveState(&agent, monotonicMs());
    updateTypeGroups(&agent);
    if (options.directoryAgent) {
        // A restart within the second the last run started in still shows as a new boot.
        uint32_t boot = static_cast<uint32_t>(wallClockMs() / 1000);
        if (agent.registry.bootTimestamp >= boot) boot = agent.registry.bootTimestamp + 1;
        agent.registry.bootTimestamp = boot;
        agent.changed = true;  // only a snapshot holds the boot timestamp
        saveState(&agent, monotonicMs());
        agent.nextHeartbeatMs = monotonicMs() + randomWaitMs(&agent);
        std::printf("directory agent, boot timestamp %u\n", boot);
    } else {
        for (const auto &entry : agent.directories.agents) std::printf("DA %s configured\n", entry.first.c_str());
        if (options.activeDaDiscovery || !agent.directories.agents.empty()) {
            agent.nextDiscoveryMs = monotonicMs() + randomWaitMs(&agent);
        }
    }
    std::printf("listening on port %u\n", unsigned{options.port});
    std::fflush(stdout);
    serve(&agent);
    if (options.directoryAgent) advertiseDa(&agent, 0);
    if (agent.changed || agent.unsynced) saveState(&agent, INT64_MAX / 2);
    reportLimits(&agent, monotonicMs(), true);
    std::printf("stopping\n");
    closeAll(&agent);
    return 0;
}

}  // namespace slpagent
