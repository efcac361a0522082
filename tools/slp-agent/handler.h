// handler.h: the agent's answer to one SLPv2 message, as a pure function of the registry, the
// message bytes and the time; no sockets, no clock, no processes.
#ifndef ORVAD_TOOLS_SLP_AGENT_HANDLER_H
#define ORVAD_TOOLS_SLP_AGENT_HANDLER_H

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
    kOptionNotUnderstood = 12,
    kInvalidUpdate = 13,
};

// Largest SLP message sent in one datagram.
inline constexpr size_t kDatagramMtu = 1400;

struct HandlerOptions {
    bool strictLifetimes = false;  // let 65535 expire like any other lifetime
    size_t maxReplySize = 0;       // 0 = no limit (TCP); else replies are cut to fit, OVERFLOW set
};

struct Outcome {
    std::vector<uint8_t> reply;      // the complete reply; empty = send nothing
    std::vector<std::string> lines;  // what the agent accepted, one line each, no newline
};

// Answers the complete message data[0, size): first expires what ended by `nowMs`, then
// applies a SrvReg/SrvDeReg or looks up a SrvRqst/AttrRqst/SrvTypeRqst. A message whose header
// does not decode, a reply, an advertisement or an unknown function gets no reply; a request
// whose body does not decode gets PARSE_ERROR. Multicast requests get no error or empty reply.
Outcome handleMessage(Registry *registry, const uint8_t *data, size_t size, int64_t nowMs,
                      const HandlerOptions &options);

}  // namespace slpagent

#endif
