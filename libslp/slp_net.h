// slp_net.h: the find path on a network: unicast UDP to one agent, multicast convergence.
//
// Both send a request built by the caller and hand each acceptable reply (version 2, the
// expected function, the request's XID, whole) to the caller. A reply too big for a
// datagram (Length above the MTU, or OVERFLOW set) is fetched again over TCP from the agent
// that sent it. Every wait is bounded by the configured timeouts.
#ifndef ORVAD_LIBSLP_SLP_NET_H
#define ORVAD_LIBSLP_SLP_NET_H

#include <slp.h>

#include "slp_config.h"
#include "slp_message.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace slpclient {

struct NetAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;
};

// An IPv4 or IPv6 literal (IPv6 may end in %interface) with `port`, by inet_pton; false
// when `text` is neither.
bool parseAddress(const std::string &text, uint16_t port, NetAddress *out);

// The numeric address without port or interface, as it goes in a previous-responder list.
std::string addressText(const NetAddress &address);

// The RFC 3111 group of a service type: FF02::1:1000 plus the 10-bit hash of its bytes
// (h = h * 33 + byte, from 0; the low 10 bits).
in6_addr serviceTypeGroup(const std::string &type);

// What to do with a reply: go on, stop the find at once (the application said so), or
// ignore it (it does not parse).
enum class Take { More, Stop, Unusable };

struct FindRequest {
    slpv2::Function replyFunction = slpv2::Function::SrvRply;
    in6_addr ipv6Group{};                // where the request goes over IPv6 multicast
    bool endIfFirstRoundSilent = false;  // multicast: no answer to the first round ends the search
    bool overTcp = false;                // unicast: over TCP at once (to a DA, whose answers are big)
    // Encodes the request for `header` (flags, XID, language set) with `prList`.
    std::function<bool(const slpv2::Header &header, const std::string &prList, std::vector<uint8_t> *out)> encode;
    // One whole reply message of the right function and XID, from `from`.
    std::function<Take(const uint8_t *data, size_t size, const NetAddress &from)> take;
};

// Sends the request to `agent` by UDP, retransmitting with the same XID after each unicast
// timeout until a usable reply arrives or the unicast wait ends; an oversized reply (or a
// request over the MTU) goes over TCP. SLP_OK once a reply was taken (`*stopped` tells
// whether take() said Stop); else SLP_NETWORK_TIMED_OUT, SLP_NETWORK_INIT_FAILED (no socket,
// or the agent's host refused), SLP_NETWORK_ERROR (unusable TCP reply), SLP_PARSE_ERROR
// (request cannot be encoded).
SLPError unicastFind(const NetAddress &agent, const RequestSettings &settings, const slpv2::Header &header,
                     const FindRequest &request, bool *stopped);

// Multicasts the request (REQUEST MCAST set) to 239.255.255.253 (with net.slp.isBroadcastOnly,
// broadcasts it to 255.255.255.255 instead) and, with IPv6 on, to request.ipv6Group, out of
// each interface of `interfaces` (comma list of local addresses; empty: every up,
// multicast-capable, non-loopback interface), retransmitting after each
// multicast timeout with every responder so far in the previous-responder list. Stops when a
// retransmission brings no new responder (or, with endIfFirstRoundSilent, the first round none
// at all), the list no longer fits the MTU, the multicast wait ends, or take() says Stop (`*stopped`). SLP_OK;
// SLP_NETWORK_INIT_FAILED when nothing could be sent; SLP_BUFFER_OVERFLOW when the request alone exceeds the MTU.
// `*sent` counts the datagrams multicast.
SLPError multicastFind(const std::string &interfaces, const RequestSettings &settings, const slpv2::Header &header,
                       const FindRequest &request, bool *stopped, int *sent);

}  // namespace slpclient

#endif
