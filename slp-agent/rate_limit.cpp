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

double capacity(uint32_t bytesPerSecond) { return 2.0 * bytesPerSecond; }

void refill(Bucket *b, uint32_t bytesPerSecond, int64_t nowMs) {
    if (nowMs > b->atMs) {
        b->tokens = std::min(capacity(bytesPerSecond), b->tokens + double(nowMs - b->atMs) * bytesPerSecond / 1000.0);
        b->atMs = nowMs;
    }
}

// The slot of `source`: its own, or a free or paid-up one it takes over, or, while that one's
// holder still owes, the holder's (collisions only make limiting stricter).
SourceSlot *slotOf(ReplyBudget *budget, const sockaddr *sa, int64_t nowMs) {
    const std::array<uint8_t, 16> key = sourceOf(sa);
    uint64_t h = budget->seed;
    for (uint8_t byte : key) h = (h ^ byte) * 0x100000001B3ull;  // FNV-1a
    SourceSlot &slot = budget->slots[(h ^ (h >> 29)) % budget->slots.size()];
    const uint32_t rate = budget->limits.sourceBytesPerSecond;
    if (slot.used && slot.source != key) {
        refill(&slot.bucket, rate, nowMs);
        if (slot.bucket.tokens >= capacity(rate)) slot.used = false;
    }
    if (!slot.used) {
        slot = SourceSlot{key, Bucket{capacity(rate), nowMs}, 0, true};
    }
    refill(&slot.bucket, rate, nowMs);
    return &slot;
}

}  // namespace

void initReplyBudget(ReplyBudget *budget, const RateLimits &limits, uint64_t seed, int64_t nowMs) {
    budget->limits = limits;
    budget->seed = seed | 1;
    budget->slots.assign(limits.sourceBytesPerSecond != 0 ? kSourceSlots : 0, SourceSlot{});
    budget->total = Bucket{capacity(limits.totalBytesPerSecond), nowMs};
    budget->dropped = budget->slipped = 0;
}

Admission admitReply(ReplyBudget *budget, const sockaddr *source, int64_t nowMs) {
    const RateLimits &l = budget->limits;
    SourceSlot *slot = l.sourceBytesPerSecond != 0 ? slotOf(budget, source, nowMs) : nullptr;
    if (l.totalBytesPerSecond != 0) refill(&budget->total, l.totalBytesPerSecond, nowMs);
    const bool sourceOk = slot == nullptr || slot->bucket.tokens > 0;
    const bool totalOk = l.totalBytesPerSecond == 0 || budget->total.tokens > 0;
    if (sourceOk && totalOk) return Admission::Send;
    uint32_t &refused = slot != nullptr ? slot->refused : budget->refused;
    if (l.slip != 0 && ++refused % l.slip == 0) {
        ++budget->slipped;
        return Admission::Slip;
    }
    ++budget->dropped;
    return Admission::Drop;
}

void chargeReply(ReplyBudget *budget, const sockaddr *source, size_t bytes, int64_t nowMs) {
    if (budget->limits.sourceBytesPerSecond != 0) slotOf(budget, source, nowMs)->bucket.tokens -= double(bytes);
    if (budget->limits.totalBytesPerSecond != 0) budget->total.tokens -= double(bytes);
}

}  // namespace slpagent
