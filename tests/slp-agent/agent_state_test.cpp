// The agent's state file: any bytes in a registration survive it, the clock of another boot is
// allowed for, the journal replays to the registry through compactions, a torn last record is
// ignored and damaged files are refused whole.
#include "state.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <random>
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
    auto at = [&loaded](const std::string &url) {
        auto it = loaded.entries.find(registryKey(url, "en"));
        return it == loaded.entries.end() ? Registration{} : it->second;
    };
    const Registration r = at(odd.url);
    EXPECT_EQ(r.attributes + "|" + r.scopes + "|" + std::to_string(r.processId), odd.attributes + "|DEFAULT, lab|4242");
    EXPECT_EQ(remainingLifetime(r, 5000000), 540);
    EXPECT_TRUE(at(kWbemUrl).permanent);
    EXPECT_EQ(std::to_string(loaded.remoteCount) + " " + std::to_string(loaded.bootTimestamp), "1 1700000000");
    // Read on a boot whose wall clock still says 1970: no more time left than the lifetime.
    ASSERT_TRUE(parseState(text, 5000000, 60000, &loaded, &error)) << error;
    EXPECT_EQ(remainingLifetime(at(odd.url), 5000000), 600);

    const size_t firstLine = text.find('\n') + 1;
    const std::string head = text.substr(0, firstLine), tail = text.substr(firstLine);
    const std::string damaged[] = {"",
                                   text.substr(0, text.size() - 4),
                                   text + "reg\nreg\n",
                                   head + "reg 1 0 0 0 xzz x x x x\n" + tail,
                                   head + "reg 0 0 0 0 x61 x x x x\n" + tail,
                                   head + "reg 1 0 0 0 x61 x x x\n" + tail,
                                   head + "reg 1 2 0 0 x61 x x x x\n" + tail,
                                   head + "reg 1 0 0 0 x61 x x x x local\n" + tail,
                                   "slp-agent-state 3\nend\n"};
    for (const std::string &t : damaged) {
        EXPECT_FALSE(parseState(t, 0, 0, &loaded, &error)) << t;
        EXPECT_TRUE(loaded.entries.empty());
    }
}

// Random registrations, replacements, attribute edits, deregistrations and expiries, each
// saved as it happens: the file always reads back as the registry and stays near its size (so
// it was compacted on the way); a last record cut off is ignored, a record damaged before it is not.
TEST(AgentState, JournalReplaysToTheRegistryThroughCompactions) {
    const std::string path = "/tmp/agent-state-test." + std::to_string(getpid());
    std::mt19937 random(7);
    Registry registry, loaded;
    StateJournal journal;
    std::string error, text, before;
    std::vector<std::string> lines;
    for (int step = 0; step < 1000; ++step) {
        const std::string url = "service:x://192.0.2." + std::to_string(random() % 40);
        auto it = registry.entries.find(registryKey(url, "en"));
        if (random() % 4 == 0 && it != registry.entries.end()) {
            replaceAttributes(&registry, it, step % 2 ? "" : "(edited)");
            if (step % 3 == 0) eraseRegistration(&registry, it);
        } else {
            const uint16_t lifetime = static_cast<uint16_t>(1 + random() % 100);
            storeRegistration(&registry, {url, "en", "service:x", "DEFAULT", std::string(random() % 1000, 'a'),
                                          lifetime, 1000 + lifetime * 1000, lifetime == 100, uint32_t(step)});
        }
        if (step % 50 == 0) expireRegistrations(&registry, 30000, &lines);
        ASSERT_TRUE(saveChanges(&journal, path, &registry, false, 1000, 1000, false, &error) &&
                    readWholeFile(path, &text, &error) && parseState(text, 1000, 1000, &loaded, &error)) << error;
        before = serializeState(registry, 0, 0);
        ASSERT_EQ(serializeState(loaded, 0, 0), before) << step;
        ASSERT_LT(text.size(), 3 * before.size() + 80000) << step;
    }
    storeRegistration(&registry, {"service:x://last", "en", "service:x", "DEFAULT", "", 1, 2000, false, 0});
    ASSERT_TRUE(saveChanges(&journal, path, &registry, false, 1000, 1000, true, &error) &&
                readWholeFile(path, &text, &error)) << error;
    EXPECT_TRUE(parseState(text.substr(0, text.size() - 5), 1000, 1000, &loaded, &error)) << error;
    EXPECT_EQ(serializeState(loaded, 0, 0), before);
    text[text.rfind('\n', text.size() - 2) - 3] ^= 1;
    EXPECT_FALSE(parseState(text, 1000, 1000, &loaded, &error));
    EXPECT_EQ(error.rfind("bad journal line", 0), 0u) << error;
    std::remove(path.c_str());
}

}  // namespace
}  // namespace slpagent
