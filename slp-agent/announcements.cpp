// announcements.cpp: what the agent sends of its own accord: a DA's DAAdverts, a service agent's DA
// discovery, to the SLP group of each interface (or by broadcast).
#include "agent.h"

#include "slp_broadcast.h"
#include "slp_message.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

namespace slpagent {

namespace {

// Sends `message` to the SLP group of an interface address: 239.255.255.253 (or by broadcast
// with net.slp.isBroadcastOnly), or FF02::123.
void sendToGroup(Agent *agent, const Endpoint &endpoint, const std::vector<uint8_t> &message) {
    Address to;
    const uint16_t port = agent->options.port;
    if (endpoint.family == AF_INET && agent->query4 >= 0 && agent->options.broadcastOnly) {
        Address self;
        parseAddress(endpoint.address, 0, &self);
        slpv2::sendBroadcast(agent->query4, endpoint.interface, self.v4().sin_addr, port, message.data(), message.size());
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

}  // namespace

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

}  // namespace slpagent
