// The agent's state file: any bytes in a registration survive it, the clock of another boot is
// allowed for, and damaged files are refused whole.
#include "state.h"

#include <gtest/gtest.h>

#include <string>

namespace slpagent {
namespace {

constexpr char kWbemUrl[] = "service:wbem:https://192.0.2.10:5989";

TEST(AgentState, SurvivesAnyBytesAndTheClockOfAnotherBoot) {
    Registry registry;
    const Registration odd{"service:x://h/a b\n%", "en", "service:x", "DEFAULT, lab",
                           std::string("(a=\0\n\r x\xff),end", 14), 600, 600000, false, 4242, true};
    storeRegistration(&registry, odd);
    storeRegistration(&registry, {kWbemUrl, "en", "service:wbem", "DEFAULT", "", 65535, 0, true, 0});
    storeRegistration(&registry, {"service:gone://h", "en", "service:gone", "DEFAULT", "", 30, 30000, false, 0, true});
    registry.bootTimestamp = 1700000000;  // a DA's
    // Written at monotonic 0, wall 1e12; read 60 s later on a boot whose monotonic clock is 5e6.
    const std::string text = serializeState(registry, 0, 1000000000000);
    Registry loaded;
    std::string error;
    ASSERT_TRUE(parseState(text, 5000000, 1000000060000, &loaded, &error)) << error;
    ASSERT_EQ(loaded.entries.size(), 2u);
    const Registration &r = loaded.entries.at(registryKey(odd.url, "en"));
    EXPECT_EQ(r.attributes + "|" + r.scopes + "|" + std::to_string(r.processId), odd.attributes + "|DEFAULT, lab|4242");
    EXPECT_EQ(remainingLifetime(r, 5000000), 540);
    EXPECT_TRUE(loaded.entries.at(registryKey(kWbemUrl, "en")).permanent);
    EXPECT_EQ(std::to_string(loaded.remoteCount) + " " + std::to_string(loaded.bootTimestamp), "1 1700000000");

    const size_t firstLine = text.find('\n') + 1;
    const std::string head = text.substr(0, firstLine), tail = text.substr(firstLine);
    const std::string damaged[] = {"",
                                   text.substr(0, text.size() - 4),
                                   text + "reg\n",
                                   head + "reg 1 0 0 0 xzz x x x x\n" + tail,
                                   head + "reg 0 0 0 0 x61 x x x x\n" + tail,
                                   head + "reg 1 0 0 0 x61 x x x\n" + tail,
                                   head + "reg 1 2 0 0 x61 x x x x\n" + tail,
                                   head + "reg 1 0 0 0 x61 x x x x local\n" + tail,
                                   "slp-agent-state 2\nend\n"};
    for (const std::string &t : damaged) {
        EXPECT_FALSE(parseState(t, 0, 0, &loaded, &error)) << t;
        EXPECT_TRUE(loaded.entries.empty());
    }
}

}  // namespace
}  // namespace slpagent
