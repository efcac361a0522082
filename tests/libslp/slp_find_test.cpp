// Finds by unicast UDP (SLPAssociateIP): against the real slp-agent on 127.0.0.1, and against a
// scripted agent on 127.0.0.2 that drops, repeats or spoils datagrams.
#include "../tools/agent_child.h"
#include "slp_message.h"

#include <slp.h>

#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
struct Seen {
    std::vector<std::string> items;
    int lastCalls = 0;
    bool stopAtFirst = false;
};

SLPBoolean SLPCALLBACK onUrl(SLPHandle, const char *url, unsigned short, SLPError err, void *cookie) {
    auto *seen = static_cast<Seen *>(cookie);
    if (err == SLP_LAST_CALL) ++seen->lastCalls;
    if (err == SLP_OK) seen->items.push_back(url);
    return seen->stopAtFirst ? SLP_FALSE : SLP_TRUE;
}
SLPBoolean SLPCALLBACK onText(SLPHandle h, const char *text, SLPError err, void *cookie) {
    return onUrl(h, text, 0, err, cookie);
}
void SLPCALLBACK ignore(SLPHandle, SLPError, void *) {}

// One agent for the process (the port is read once), with short unicast timeouts.
agentchild::AgentChild &agent() {
    static agentchild::AgentChild child{SLP_AGENT_PATH};
    if (!child.running() && child.start()) {
        SLPSetProperty("net.slp.port", std::to_string(child.port()).c_str());
        SLPSetProperty("net.slp.unicastTimeouts", "100,200,300");
        SLPSetProperty("net.slp.unicastMaximumWait", "1000");
    }
    return child;
}

SLPHandle openTo(const char *address) {
    SLPHandle h = nullptr;
    EXPECT_EQ(SLPOpen("en", SLP_FALSE, &h), SLP_OK);
    EXPECT_EQ(SLPAssociateIP(h, address), SLP_OK);
    return h;
}

TEST(SlpFind, RepliesOverTheMtuComeOverTcpWhole) {
    ASSERT_TRUE(agent().running()) << agent().output();
    SLPHandle h = openTo("127.0.0.1");
    std::vector<std::string> urls;
    const std::string attrs = "(padding=" + std::string(1500, 'x') + ")";
    for (int i = 0; i < 40; ++i) {
        urls.push_back("service:big:https://192.0.2." + std::to_string(i) + ":5989/a/rather/long/path");
        ASSERT_EQ(SLPReg(h, urls.back().c_str(), 65535, "", attrs.c_str(), SLP_TRUE, ignore, nullptr), SLP_OK);
    }
    Seen found, list;
    ASSERT_EQ(SLPFindSrvs(h, "service:big", "", "", onUrl, &found), SLP_OK);
    std::sort(found.items.begin(), found.items.end());
    std::sort(urls.begin(), urls.end());
    EXPECT_EQ(found.items, urls);  // 40 x 50 bytes: far over 1400, one callback each
    EXPECT_EQ(found.lastCalls, 1);
    ASSERT_EQ(SLPFindAttrs(h, urls[7].c_str(), "", "", onText, &list), SLP_OK);
    EXPECT_EQ(list.items, std::vector<std::string>{attrs});
    for (const std::string &url : urls) SLPDereg(h, url.c_str(), ignore, nullptr);
    SLPClose(h);
}

TEST(SlpFind, RetransmitsMergesAndIgnoresWhatIsNotOurs) {
    ASSERT_TRUE(agent().running()) << agent().output();
    const struct {
        const char *what;
        std::vector<int> answer;  // per request received: how many replies (-1: one with a foreign XID first)
        std::vector<std::string> urls;
        uint16_t error;
        bool stop;
        SLPError result;
        std::vector<std::string> want;
    } cases[] = {
        {"first datagram lost", {0, 1}, {"service:x://a"}, 0, false, SLP_OK, {"service:x://a"}},
        {"duplicates merged",
         {2},
         {"service:x://a", "service:x://b", "service:x://a"},
         0,
         false,
         SLP_OK,
         {"service:x://a", "service:x://b"}},
        {"foreign XID skipped", {-1}, {"service:x://c"}, 0, false, SLP_OK, {"service:x://c"}},
        {"callback stops", {1}, {"service:x://a", "service:x://b"}, 0, true, SLP_OK, {"service:x://a"}},
        {"error reply", {1}, {}, 4, false, SLP_OK, {}},
        {"silent agent", {}, {}, 0, false, SLP_NETWORK_TIMED_OUT, {}},
    };
    for (const auto &c : cases) {
        sockaddr_in at{AF_INET, htons(agent().port()), {htonl(0x7F000002)}, {}};
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&at), sizeof at), 0);
        std::vector<uint16_t> xids;
        std::thread scripted([&] {
            Bytes in(2048), out;
            sockaddr_in from{};
            socklen_t len = sizeof from;
            for (pollfd p{fd, POLLIN, 0}; xids.size() < 8 && poll(&p, 1, 400) == 1;) {
                ssize_t n = recvfrom(fd, in.data(), in.size(), 0, reinterpret_cast<sockaddr *>(&from), &len);
                slpv2::Header header;
                slpv2::SrvRqst rqst;
                if (slpv2::decodeSrvRqst(in.data(), static_cast<size_t>(n), &header, &rqst) != slpv2::DecodeStatus::Ok)
                    continue;
                xids.push_back(header.xid);
                int replies = xids.size() <= c.answer.size() ? c.answer[xids.size() - 1] : 0;
                slpv2::SrvRply rply{c.error, {}};
                for (const std::string &url : c.urls) rply.urls.push_back({60, url});
                for (int i = replies < 0 ? -1 : 0; i < std::abs(replies); ++i) {
                    header.xid = static_cast<uint16_t>(xids.back() ^ (i < 0 ? 1 : 0));
                    if (slpv2::encodeSrvRply(header, rply, &out))
                        sendto(fd, out.data(), out.size(), 0, reinterpret_cast<sockaddr *>(&from), len);
                }
            }
        });
        SLPHandle h = openTo("127.0.0.2");
        Seen seen;
        seen.stopAtFirst = c.stop;
        EXPECT_EQ(SLPFindSrvs(h, "service:x", "", "", onUrl, &seen), c.result) << c.what;
        SLPClose(h);
        scripted.join();
        close(fd);
        EXPECT_EQ(seen.items, c.want) << c.what;
        EXPECT_EQ(seen.lastCalls, c.result == SLP_OK && !c.stop ? 1 : 0) << c.what;
        ASSERT_FALSE(xids.empty()) << c.what;
        for (uint16_t xid : xids) EXPECT_EQ(xid, xids.front()) << c.what << ": a retransmission keeps its XID";
        EXPECT_GE(xids.size(), c.result == SLP_NETWORK_TIMED_OUT ? 3u : 1u) << c.what;
    }
}

}  // namespace
