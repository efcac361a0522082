// The UDP reply budget: a flood from one source gets back less than it sends once its first
// second is over, whatever the request; a station's discovery goes through, over TCP where its
// budget ends; sources are limited apart (an IPv6 /64 as one), and all together by the total.
#include "addresses.h"
#include "rate_limit.h"

#include <gtest/gtest.h>

namespace slpagent {
namespace {

Address source(const char *text) {
    Address a;
    EXPECT_TRUE(parseAddress(text, 427, &a));
    return a;
}

struct Sent {
    size_t bytes = 0, replies = 0, slips = 0, dropped = 0;
};

// `count` requests from `from`, one every `spacingUs` from `startUs`, each answered by `reply`
// bytes when admitted or a 16-byte header when slipped; counts what went from `countFromUs` on.
Sent flood(ReplyBudget *b, const Address &from, int count, int64_t spacingUs, size_t reply, int64_t countFromUs = 0,
           int64_t startUs = 0) {
    Sent s;
    for (int i = 0; i < count; ++i) {
        const int64_t us = startUs + i * spacingUs, ms = us / 1000;
        const Admission a = admitReply(b, from.sa(), ms);
        if (a == Admission::Send) chargeReply(b, from.sa(), reply, ms);
        if (us < countFromUs) continue;
        s.bytes += a == Admission::Send ? reply : a == Admission::Slip ? 16 : 0;
        s.replies += a == Admission::Send;
        s.slips += a == Admission::Slip;
        s.dropped += a == Admission::Drop;
    }
    return s;
}

TEST(RateLimit, AFloodGetsBackLessThanItSendsAfterTheFirstSecond) {
    struct Case {
        const char *what;
        size_t request, reply;
    } cases[] = {{"SrvRqst answered with a full datagram", 45, 1400},
                 {"SrvTypeRqst answered with two types", 29, 60},
                 {"AttrRqst by URL answered with a switch's list", 70, 900},
                 {"the shortest request with a full datagram's answer", 37, 1400}};
    const RateLimits limits;
    for (const Case &c : cases) {
        ReplyBudget b;
        initReplyBudget(&b, limits, 1, 0);
        const Sent s = flood(&b, source("192.0.2.66"), 10000, 1000, c.reply, 1000000);  // 1,000 a second for 10 s
        EXPECT_LE(double(s.bytes) / double(9000 * c.request), 1.0) << c.what;
        EXPECT_LE(s.replies * c.reply, 9 * limits.sourceBytesPerSecond + c.reply) << c.what;
    }
}

TEST(RateLimit, AStationsDiscoveryGoesThroughAndSourcesAreApart) {
    ReplyBudget b;
    initReplyBudget(&b, RateLimits{}, 7, 0);
    const Sent flooded = flood(&b, source("2001:db8:1::1"), 3000, 1000, 1400);
    EXPECT_EQ(b.dropped + b.slipped, flooded.slips + flooded.dropped);
    // The same /64 is the same source (a fresh one would get all ten).
    EXPECT_LE(flood(&b, source("2001:db8:1::2"), 10, 1000, 100, 0, 3000000).replies, 1u);
    // Another station discovers the 132-record switch, one attribute list of 700 bytes every
    // 2 ms: each request is answered, or sent to TCP once the budget is spent; none is lost.
    for (const char *station : {"2001:db8:2::1", "192.0.2.67"}) {
        const Sent s = flood(&b, source(station), 132, 2000, 700, 0, 3000000);
        EXPECT_GE(s.replies, 45u) << station;
        EXPECT_EQ(s.dropped, 0u) << station;
    }
    // Once the flood stops, its source has its budget back.
    EXPECT_EQ(flood(&b, source("2001:db8:1::1"), 1, 0, 100, 0, 9000000).replies, 1u);
}

TEST(RateLimit, TheTotalLimitsEverySourceTogetherAndZeroTurnsALimitOff) {
    ReplyBudget b;
    initReplyBudget(&b, RateLimits{0, 100000, 0}, 3, 0);
    Sent all;
    for (int i = 0; i < 1000; ++i) {
        const std::string from = "198.51.100." + std::to_string(i % 250);
        all.replies += flood(&b, source(from.c_str()), 1, 0, 1000, 0, int64_t{i} * 1000).replies;
    }
    EXPECT_EQ(all.replies, 500u);  // 400 KB of burst and 100 KB in the second
    EXPECT_EQ(b.dropped, 500u);    // no slips asked for
    initReplyBudget(&b, RateLimits{0, 0, 0}, 3, 0);
    EXPECT_EQ(flood(&b, source("192.0.2.1"), 1000, 10, 1400).replies, 1000u);
}

}  // namespace
}  // namespace slpagent
