// rate_limit.h: how much the agent may send back over UDP, where a source address may be forged:
// a budget of reply bytes per second for each source (an IPv4 address, an IPv6 /64) and one for
// all sources together. A source over budget gets nothing, or now and then a header-only reply
// that sends it to TCP, which cannot be forged. A budget of time spent answering, per source and
// in all, keeps requests that are cheap to send and dear to answer (a find of every URL at a
// large DA) from taking the agent's CPU.
#ifndef ORVAD_SLP_AGENT_RATE_LIMIT_H
#define ORVAD_SLP_AGENT_RATE_LIMIT_H

#include <sys/socket.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace slpagent {

// A quiet source may take a burst of kBurstSeconds of its rates at once (a station discovering a
// switch), small enough that a flood spends it within its first second.
inline constexpr uint32_t kBurstSeconds = 4;
// What a reply costs at least, however short: it bounds the requests a source has answered,
// each of which may cost a look through everything held.
inline constexpr size_t kMinimumCharge = 128;
// All sources together get at most this many times the slips of one.
inline constexpr uint32_t kTotalSlipsFactor = 10;
// Microseconds a second spent answering UDP requests: 2% of a CPU per source, 20% in all. On
// with the byte budget of the same scope.
inline constexpr uint32_t kSourceWorkUsPerSecond = 20000;
inline constexpr uint32_t kTotalWorkUsPerSecond = 200000;

struct RateLimits {
    uint32_t sourceBytesPerSecond = 8192;   // net.slp.sourceReplyBytesPerSecond; 0 = unlimited
    uint32_t totalBytesPerSecond = 262144;  // net.slp.totalReplyBytesPerSecond; 0 = unlimited
    // net.slp.replySlipsPerSecond: refused replies a source gets as a header, at most this many a
    // second (a station asking one thing at a time every time, a flood one in many); 0 = none.
    uint32_t slipsPerSecond = 100;
};

struct Bucket {
    double tokens = 0;
    int64_t atMs = 0;
};

// One source's budget; sources whose hashes meet share a slot until the older one's budget is
// whole again.
struct SourceSlot {
    std::array<uint8_t, 16> source{};
    Bucket bucket;
    Bucket slips;
    Bucket work;
    bool used = false;
};

// Fixed size: no number of forged sources makes it grow.
inline constexpr size_t kSourceSlots = 4096;

struct ReplyBudget {
    RateLimits limits;
    uint64_t seed = 0;  // of the slot hash, so a remote peer cannot aim at another's slot
    std::vector<SourceSlot> slots;
    Bucket total;
    Bucket slips;  // of all sources together
    Bucket work;   // of all sources together
    // Since the last report.
    uint64_t dropped = 0;
    uint64_t slipped = 0;
};

enum class Admission { Send, Slip, Drop };

void initReplyBudget(ReplyBudget *budget, const RateLimits &limits, uint64_t seed, int64_t nowMs);

// Whether a reply may go to `source` now: Drop while the source or the total has no time left to
// answer, else Send while both have bytes left, else Slip while the source has slips left, else
// Drop. Counts what it refuses.
Admission admitReply(ReplyBudget *budget, const sockaddr *source, int64_t nowMs);

// Takes `bytes` sent to `source` (at least kMinimumCharge) off its budget and the total's (down to
// below zero: a reply admitted is sent whole, and the debt is paid before the next).
void chargeReply(ReplyBudget *budget, const sockaddr *source, size_t bytes, int64_t nowMs);

// Takes the `us` microseconds that answering `source` took off its time and the total's.
void chargeWork(ReplyBudget *budget, const sockaddr *source, int64_t us, int64_t nowMs);

}  // namespace slpagent

#endif
