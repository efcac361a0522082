// datagrams.cpp: UDP: requests taken from each datagram socket and answered within the reply budget,
// from the address they arrived on; DAAdverts for the service agent's list of DAs.
#include "agent.h"

#include "slp_message.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

namespace slpagent {

namespace {

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

}  // namespace

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
        const int64_t startUs = threadCpuUs();
        Outcome outcome = answer(agent, d, length, true, received, socket.multicast, socket.loopback, false);
        if (!socket.loopback) chargeWork(&agent->budget, from.sa(), threadCpuUs() - startUs, nowMs);
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

}  // namespace slpagent
