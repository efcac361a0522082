// The service agent's list of directory agents stays bounded: a learned DA silent for an hour is
// forgotten, and a new one takes the place of the learned one silent longest when the list is full.
// Configured DAs are never dropped. A link-local DA keeps the interface its advert came in on.
#include "directory.h"

#include "slp_message.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace slpagent {
namespace {

void advert(Directories *dirs, const std::string &address, uint32_t boot, int64_t nowMs,
            std::vector<std::string> *lines, uint32_t zone = 0) {
    std::vector<uint8_t> bytes;
    slpv2::Header header;
    slpv2::DAAdvert body;
    body.bootTimestamp = boot;
    body.url = "service:directory-agent://" + address;
    body.scopes = "DEFAULT";
    ASSERT_TRUE(slpv2::encodeDAAdvert(header, body, &bytes));
    takeDaAdvert(dirs, bytes.data(), bytes.size(), address, zone, nowMs, lines);
}

TEST(AgentDirectories, LearnedDasStayBoundedAndSilentOnesGo) {
    Directories dirs;
    std::vector<std::string> lines;
    ASSERT_TRUE(addConfiguredDa(&dirs, "192.0.2.250"));
    for (const char *bad : {"[fe80::2%no-such-if]", "[2001:db8::2%1]", "192.0.2.2%1", "192.0.2.2:0"})
        EXPECT_FALSE(addConfiguredDa(&dirs, bad)) << bad;
    ASSERT_TRUE(addConfiguredDa(&dirs, "[fe80::2%lo]:4270"));
    EXPECT_EQ(reinterpret_cast<const sockaddr_in6 &>(dirs.agents.at("fe80::2").peer).sin6_scope_id, 1u);
    dirs.agents.at("192.0.2.250").silentSinceMs = 0;  // failing longest, but configured
    advert(&dirs, "fe80::1", 1000, 0, &lines, 3);     // link-local: reached through its interface
    EXPECT_EQ(reinterpret_cast<const sockaddr_in6 &>(dirs.agents.at("fe80::1").peer).sin6_scope_id, 3u);
    for (int i = 1; dirs.agents.size() < kMaxDirectoryAgents; ++i)
        advert(&dirs, "198.51.100." + std::to_string(i), 1000, 0, &lines);
    dirs.agents.at("198.51.100.1").silentSinceMs = 900;  // failing since
    advert(&dirs, "198.51.100.2", 0, 500, &lines);       // going down
    lines.clear();

    advert(&dirs, "198.51.100.99", 1000, 1000, &lines);  // full: takes the place of .2
    advert(&dirs, "198.51.100.98", 1000, 1000, &lines);  // full: takes the place of .1
    advert(&dirs, "198.51.100.97", 1000, 1000, &lines);  // full, nobody silent: ignored
    EXPECT_EQ(dirs.agents.size(), kMaxDirectoryAgents);
    dirs.agents.at("198.51.100.3").silentSinceMs = 2000;
    Registry registry;
    stepDirectories(&dirs, registry, 2000 + kDaForgetMs - 1, &lines);
    stepDirectories(&dirs, registry, 2000 + kDaForgetMs, &lines);
    EXPECT_EQ(nextDirectoryDeadline(dirs, 2000 + kDaForgetMs), INT64_MAX);
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "forgot DA 198.51.100.2 (to make room)", "found DA 198.51.100.99 scopes DEFAULT",
                         "forgot DA 198.51.100.1 (to make room)", "found DA 198.51.100.98 scopes DEFAULT",
                         "forgot DA 198.51.100.3 (silent for an hour)"}));
    EXPECT_EQ(dirs.agents.count("192.0.2.250"), 1u);
}

}  // namespace
}  // namespace slpagent
