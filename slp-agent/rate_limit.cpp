#include "rate_limit.h"

#include "addresses.h"

#include <algorithm>

namespace slpagent {

namespace {

// An IPv4 address, or an IPv6 address cut to its /64: one host owns a whole /64.
std::array<uint8_t, 16> sourceOf(const sockaddr *sa) {
    std::array<uint8_t, 16> key = addressBytes(sa);
    if (!isIPv4(key)) std::fill(key.begin() + 8, key.end(), 0);
    return key;
}

void refill(Bucket *b, uint32_t perSecond, double capacity, int64_t nowMs) {
    if (nowMs > b->atMs) {
        b->tokens = std::min(capacity, b->tokens + double(nowMs - b->atMs) * perSecond / 1000.0);
        b->atMs = nowMs;
    }
}

double burst(uint32_t perSecond) { return double(perSecond) * kBurstSeconds; }

// The slot of `source` with its budgets brought to `nowMs`: its own, or a free one or one whose
// budget is whole again, which it takes over, or else the holder's (a collision only limits more).
SourceSlot *slotOf(ReplyBudget *budget, const sockaddr *sa, int64_t nowMs) {
    const std::array<uint8_t, 16> key = sourceOf(sa);
    uint64_t h = budget->seed;
    for (uint8_t byte : key) h = (h ^ byte) * 0x100000001B3ull;  // FNV-1a
    SourceSlot &slot = budget->slots[(h ^ (h >> 29)) % budget->slots.size()];
    const RateLimits &l = budget->limits;
    refill(&slot.bucket, l.sourceBytesPerSecond, burst(l.sourceBytesPerSecond), nowMs);
    refill(&slot.slips, l.slipsPerSecond, burst(l.slipsPerSecond), nowMs);
    refill(&slot.work, kSourceWorkUsPerSecond, burst(kSourceWorkUsPerSecond), nowMs);
    if (!slot.used || (slot.source != key && slot.bucket.tokens >= burst(l.sourceBytesPerSecond) &&
                       slot.work.tokens >= burst(kSourceWorkUsPerSecond))) {
        slot = SourceSlot{key, Bucket{burst(l.sourceBytesPerSecond), nowMs}, Bucket{burst(l.slipsPerSecond), nowMs},
                          Bucket{burst(kSourceWorkUsPerSecond), nowMs}, true};
    }
    return &slot;
}

}  // namespace

void initReplyBudget(ReplyBudget *budget, const RateLimits &limits, uint64_t seed, int64_t nowMs) {
    budget->limits = limits;
    budget->seed = seed | 1;
    budget->slots.assign(limits.sourceBytesPerSecond != 0 ? kSourceSlots : 0, SourceSlot{});
    budget->total = Bucket{burst(limits.totalBytesPerSecond), nowMs};
    budget->slips = Bucket{burst(limits.slipsPerSecond * kTotalSlipsFactor), nowMs};
    budget->work = Bucket{burst(kTotalWorkUsPerSecond), nowMs};
    budget->dropped = budget->slipped = 0;
}

Admission admitReply(ReplyBudget *budget, const sockaddr *source, int64_t nowMs) {
    const RateLimits &l = budget->limits;
    SourceSlot *slot = l.sourceBytesPerSecond != 0 ? slotOf(budget, source, nowMs) : nullptr;
    if (l.totalBytesPerSecond != 0) {
        refill(&budget->total, l.totalBytesPerSecond, burst(l.totalBytesPerSecond), nowMs);
        refill(&budget->work, kTotalWorkUsPerSecond, burst(kTotalWorkUsPerSecond), nowMs);
    }
    if ((slot != nullptr && slot->work.tokens <= 0) || (l.totalBytesPerSecond != 0 && budget->work.tokens <= 0)) {
        ++budget->dropped;
        return Admission::Drop;
    }
    const bool sourceOk = slot == nullptr || slot->bucket.tokens > 0;
    const bool totalOk = l.totalBytesPerSecond == 0 || budget->total.tokens > 0;
    if (sourceOk && totalOk) return Admission::Send;
    const uint32_t totalSlips = l.slipsPerSecond * kTotalSlipsFactor;
    refill(&budget->slips, totalSlips, burst(totalSlips), nowMs);
    if ((slot == nullptr || slot->slips.tokens >= 1) && budget->slips.tokens >= 1) {
        if (slot != nullptr) slot->slips.tokens -= 1;
        budget->slips.tokens -= 1;
        ++budget->slipped;
        return Admission::Slip;
    }
    ++budget->dropped;
    return Admission::Drop;
}

void chargeReply(ReplyBudget *budget, const sockaddr *source, size_t bytes, int64_t nowMs) {
    bytes = std::max(bytes, kMinimumCharge);
    if (budget->limits.sourceBytesPerSecond != 0) slotOf(budget, source, nowMs)->bucket.tokens -= double(bytes);
    if (budget->limits.totalBytesPerSecond != 0) budget->total.tokens -= double(bytes);
}

void chargeWork(ReplyBudget *budget, const sockaddr *source, int64_t us, int64_t nowMs) {
    if (budget->limits.sourceBytesPerSecond != 0) slotOf(budget, source, nowMs)->work.tokens -= double(us);
    if (budget->limits.totalBytesPerSecond != 0) budget->work.tokens -= double(us);
}

}  // namespace slpagent
