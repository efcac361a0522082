// rate_limit.h: how much the agent may send back over UDP, where a source address may be forged:
// a budget of reply bytes per second for each source (an IPv4 address, an IPv6 /64) and one for
// all sources together. A source over budget gets nothing, or now and then a header-only reply
// that sends it to TCP, which cannot be forged.
#ifndef ORVAD_SLP_AGENT_RATE_LIMIT_H
#define ORVAD_SLP_AGENT_RATE_LIMIT_H

#include <sys/socket.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace slpagent {

struct RateLimits {
    uint32_t sourceBytesPerSecond = 16384;  // net.slp.sourceReplyBytesPerSecond; 0 = unlimited
    uint32_t totalBytesPerSecond = 262144;  // net.slp.totalReplyBytesPerSecond; 0 = unlimited
    uint32_t slip = 2;                      // net.slp.replySlip: every Nth refused reply goes as a header; 0 = none
};

// A bucket holds up to two seconds' worth of its rate, so a quiet source may send a short burst.
struct Bucket {
    double tokens = 0;
    int64_t atMs = 0;
};

// One source's budget; sources whose hashes meet share a slot while the older one is still
// paying off what it was sent.
struct SourceSlot {
    std::array<uint8_t, 16> source{};
    Bucket bucket;
    uint32_t refused = 0;  // replies refused since the last slip
    bool used = false;
};

// Fixed size: no number of forged sources makes it grow.
inline constexpr size_t kSourceSlots = 4096;

struct ReplyBudget {
    RateLimits limits;
    uint64_t seed = 0;  // of the slot hash, so a remote peer cannot aim at another's slot
    std::vector<SourceSlot> slots;
    Bucket total;
    uint32_t refused = 0;  // replies refused while sources are not limited one by one
    // Since the last report.
    uint64_t dropped = 0;
    uint64_t slipped = 0;
};

enum class Admission { Send, Slip, Drop };

void initReplyBudget(ReplyBudget *budget, const RateLimits &limits, uint64_t seed, int64_t nowMs);

// Whether a reply may go to `source` now: Send while the source and the total have budget left,
// else Slip for every limits.slip-th refused one, else Drop. Counts what it refuses.
Admission admitReply(ReplyBudget *budget, const sockaddr *source, int64_t nowMs);

// Takes `bytes` sent to `source` off its budget and the total's (down to below zero: a reply
// admitted is sent whole, and the debt is paid before the next).
void chargeReply(ReplyBudget *budget, const sockaddr *source, size_t bytes, int64_t nowMs);

}  // namespace slpagent

#endif
