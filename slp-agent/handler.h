// handler.h: the agent's answer to one SLPv2 message, as a pure function of the registry, the
// message bytes and the time; no sockets, no clock, no processes.
#ifndef ORVAD_SLP_AGENT_HANDLER_H
#define ORVAD_SLP_AGENT_HANDLER_H

#include "registry.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace slpagent {

// Protocol error codes carried in replies.
enum ErrorCode : uint16_t {
    kOk = 0,
    kLanguageNotSupported = 1,
    kParseError = 2,
    kInvalidRegistration = 3,
    kScopeNotSupported = 4,
    kAuthenticationFailed = 7,
    kInternalError = 10,
    kOptionNotUnderstood = 12,
    kInvalidUpdate = 13,
    kMessageNotSupported = 14,
};

// Default MTU (net.slp.MTU): no UDP reply is longer.
inline constexpr size_t kDatagramMtu = 1400;

// What the agent serves and where a message came from; everything handleMessage needs to
// know about the world besides the registry and the time.
struct HandlerOptions {
    bool strictLifetimes = false;    // let 65535 expire like any other lifetime
    size_t datagramMtu = 0;          // 0 = stream (TCP): never OVERFLOW; else the request came by UDP
    std::string scopes = "DEFAULT";  // comma-separated scopes served
    std::string saAttributes;        // attribute list of the SAAdvert
    std::vector<std::string> ownAddresses = {"127.0.0.1", "::1"};  // named in a PRList: silence
    std::string receivedOn;                                        // address the request arrived on (SAAdvert URL)
    bool viaMulticast = false;  // arrived on a multicast group, whatever its flags say
    bool local = true;          // arrived over loopback; else only a DA takes registrations from it
    // DA mode: answers service:directory-agent requests and takes registrations from remote peers
    // over TCP from its registering networks, each of at most `maxRegistrationBytes` of URL and
    // attributes, at most `maxRemoteRegistrations` of them in `maxRemoteBytes` of text, each aged
    // to its lifetime whatever it is.
    bool directoryAgent = false;
    bool registeringNetwork = false;  // a TCP peer from a network allowed to register
    size_t maxRegistrationBytes = 8192;
    uint32_t bootTimestamp = 0;
    uint16_t port = 427;       // named in the DAAdvert URL when not 427
    std::string daAttributes;  // of the DAAdvert
    size_t maxRemoteRegistrations = 100000;
    size_t maxRemoteBytes = size_t{256} << 20;
};

// Why a DA refused a remote registration or deregistration.
enum class Refusal { None, Datagram, Network, Size };

struct Outcome {
    std::vector<uint8_t> reply;      // the reply to send (over UDP at most the MTU); empty = nothing
    std::vector<std::string> lines;  // what the agent accepted, one line each, no newline
    Refusal refusal = Refusal::None;
};

// The DAAdvert of a DA at `address` (IPv6 without brackets) on `port`, its URL naming the port
// when it is not 427; false when it does not encode.
bool encodeOwnDAAdvert(uint16_t xid, const std::string &language, uint32_t bootTimestamp, std::string address,
                       uint16_t port, const std::string &scopes, const std::string &attributes,
                       std::vector<uint8_t> *out);

// Answers the complete message data[0, size): first expires what ended by `nowMs`, then
// applies a SrvReg/SrvDeReg or looks up a SrvRqst/AttrRqst/SrvTypeRqst. A DA refuses remote
// registrations and deregistrations by UDP or from outside its networks with
// AUTHENTICATION_FAILED, and registrations over its size cap with INVALID_REGISTRATION. A message whose header
// does not decode, a reply, an advertisement or an unknown function gets no reply; a request
// whose body does not decode gets PARSE_ERROR. Multicast requests get no error or empty reply.
// A datagram reply longer than the MTU is cut to it, with OVERFLOW set and the whole reply's
// Length, so the requester asks again over TCP.
Outcome handleMessage(Registry *registry, const uint8_t *data, size_t size, int64_t nowMs,
                      const HandlerOptions &options);

}  // namespace slpagent

#endif
