#include <syslog.h>

#include "config.h"
#include "reader_test.h"

namespace {

void expectEmpty(const NetworkBlock &block) {
    EXPECT_EQ(block.index, 0);
    EXPECT_EQ(block.primaryAddress, nullptr);
    EXPECT_EQ(block.ipv4Enabled, 0);
    EXPECT_STREQ(block.ipv4Address, "");
    EXPECT_EQ(block.ipv6Enabled, 0);
    for (char *address : block.ipv6Addresses) EXPECT_EQ(address, nullptr);
    EXPECT_EQ(block.macAddress, nullptr);
}

std::vector<std::string> ipv6List(const NetworkBlock &block) {
    std::vector<std::string> list;
    for (int k = 0; k < kMaxIpv6Addresses && block.ipv6Addresses[k] != nullptr; k++)
        list.emplace_back(block.ipv6Addresses[k]);
    return list;
}

class NetworkBlockTest : public ReaderTest {
protected:
    void SetUp() override {
        ReaderTest::SetUp();
        for (int i = 0; i < 2; i++) {
            const std::string eth = "Config.System.Eth." + std::to_string(i);
            set(eth + ".Enable", "True");
            set(eth + ".IPAddress", "192.0.2." + std::to_string(10 + i));
            set("Oper.System.Eth." + std::to_string(i) + ".IPv6AddressList",
                "2001:db8::" + std::to_string(i) + ",fd00::" + std::to_string(i));
        }
        set("Config.System.IPv4Enable", "True");
        set("Oper.Switch.IPv4Feature", "True");
        set("Config.System.IPv6Enable", "True");
        set("Oper.Switch.IPv6Feature", "True");
        set("Config.Mfg.Mac", "02:1a:2b:3c:4d:5e");
        set("Config.Mfg.Mac1", "02:1a:2b:3c:4d:5f");
    }
    void TearDown() override { releaseNetworkBlock(&block); }

    NetworkBlock block{};
};

TEST_F(NetworkBlockTest, ReadsEachInterfaceWithFourQueries) {
    struct Case {
        int index;
        std::vector<std::vector<std::string>> batches;
        const char *ipv4, *mac;
        std::vector<std::string> ipv6;
    };
    const Case cases[] = {
        {0,
         {{"Config.System.Eth.0.Enable"},
          {"Config.System.IPv4Enable", "Oper.Switch.IPv4Feature", "Config.System.IPv6Enable", "Oper.Switch.IPv6Feature",
           "Config.Mfg.Mac"},
          {"Config.System.Eth.0.IPAddress"},
          {"Oper.System.Eth.0.IPv6AddressList"}},
         "192.0.2.10",
         "02:1A:2B:3C:4D:5E",
         {"2001:db8::0", "fd00::0"}},
        {1,
         {{"Config.System.Eth.1.Enable"},
          {"Config.System.IPv4Enable", "Oper.Switch.IPv4Feature", "Config.System.IPv6Enable", "Oper.Switch.IPv6Feature",
           "Config.Mfg.Mac1"},
          {"Config.System.Eth.1.IPAddress"},
          {"Oper.System.Eth.1.IPv6AddressList"}},
         "192.0.2.11",
         "02:1A:2B:3C:4D:5F",
         {"2001:db8::1", "fd00::1"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.index);
        SetUp();

        ASSERT_EQ(readNetworkBlock(&block, c.index), 0);

        EXPECT_EQ(batches(), c.batches);
        EXPECT_EQ(block.index, c.index);
        EXPECT_TRUE(block.ipv4Enabled);
        EXPECT_TRUE(block.ipv6Enabled);
        EXPECT_STREQ(block.ipv4Address, c.ipv4);
        EXPECT_STREQ(block.primaryAddress, c.ipv4);
        EXPECT_STREQ(block.macAddress, c.mac);
        EXPECT_EQ(ipv6List(block), c.ipv6);
        EXPECT_TRUE(capturedLog().empty());
        releaseNetworkBlock(&block);
    }
}

TEST_F(NetworkBlockTest, OnlyTheTextFalseSwitchesAnInterfaceOff) {
    const struct {
        const char *enable;
        int result;
    } cases[] = {{"False", -1}, {"True", 0}, {"false", 0}, {"", 0}, {"0", 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.enable);
        SetUp();
        set("Config.System.Eth.1.Enable", c.enable);

        EXPECT_EQ(readNetworkBlock(&block, 1), c.result);

        if (c.result == -1) {
            expectEmpty(block);
            EXPECT_EQ(batches().size(), 1u);
        }
        EXPECT_TRUE(capturedLog().empty());
        releaseNetworkBlock(&block);
    }
}

TEST_F(NetworkBlockTest, EachProtocolNeedsBothItsSwitchAndItsFeature) {
    struct Case {
        const char *ipv4Config, *ipv4Feature, *ipv6Config, *ipv6Feature;
        bool ipv4, ipv6;
        size_t queries;
        const char *primary;
    };
    const Case cases[] = {
        {"True", "True", "True", "True", true, true, 4, "192.0.2.10"},
        {"True", "False", "True", "True", false, true, 3, "2001:db8::0"},
        {"False", "True", "True", "True", false, true, 3, "2001:db8::0"},
        {"True", "True", "True", "true", true, false, 3, "192.0.2.10"},
        {"False", "False", "False", "False", false, false, 2, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.ipv4Config) + c.ipv4Feature + c.ipv6Config + c.ipv6Feature);
        SetUp();
        set("Config.System.IPv4Enable", c.ipv4Config);
        set("Oper.Switch.IPv4Feature", c.ipv4Feature);
        set("Config.System.IPv6Enable", c.ipv6Config);
        set("Oper.Switch.IPv6Feature", c.ipv6Feature);

        ASSERT_EQ(readNetworkBlock(&block, 0), 0);

        EXPECT_EQ(block.ipv4Enabled, c.ipv4);
        EXPECT_EQ(block.ipv6Enabled, c.ipv6);
        EXPECT_EQ(batches().size(), c.queries);
        if (!c.ipv4) {
            EXPECT_STREQ(block.ipv4Address, "");
        }
        if (!c.ipv6) {
            EXPECT_EQ(block.ipv6Addresses[0], nullptr);
        }
        EXPECT_STREQ(block.primaryAddress, c.primary);
        EXPECT_STREQ(block.macAddress, "02:1A:2B:3C:4D:5E");
        releaseNetworkBlock(&block);
    }
}

TEST_F(NetworkBlockTest, EmptyIpv4AddressPassesThePrimaryToIpv6) {
    set("Config.System.Eth.0.IPAddress", "");
    ASSERT_EQ(readNetworkBlock(&block, 0), 0);
    EXPECT_TRUE(block.ipv4Enabled);
    EXPECT_STREQ(block.primaryAddress, "2001:db8::0");
}

TEST_F(NetworkBlockTest, Ipv6ListIsCutAtEveryComma) {
    std::string fortyPieces;
    std::vector<std::string> firstThirtyTwo;
    for (int k = 0; k < 40; k++) {
        fortyPieces += (k ? "," : "") + std::string("::") + std::to_string(k);
        if (k < 32) firstThirtyTwo.push_back("::" + std::to_string(k));
    }
    const std::string longPiece = "2001:0db8:0000:0000:0000:0000:0000:0001%eth0";
    struct Case {
        std::string value;
        std::vector<std::string> list;
        const char *primary;
    };
    const Case cases[] = {
        {"fd00::1,fd00::2", {"fd00::1", "fd00::2"}, "fd00::1"},
        {"fd00::1", {"fd00::1"}, "fd00::1"},
        {"", {""}, ""},
        {"fd00::1,,fd00::2", {"fd00::1", "", "fd00::2"}, "fd00::1"},
        {"fd00::1,", {"fd00::1", ""}, "fd00::1"},
        {",fd00::1", {"", "fd00::1"}, ""},
        {",", {"", ""}, ""},
        {fortyPieces, firstThirtyTwo, "::0"},
        {longPiece, {longPiece.substr(0, 39)}, "2001:0db8:0000:0000:0000:0000:0000:0001"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("'" + c.value + "'");
        SetUp();
        set("Config.System.IPv4Enable", "False");
        set("Oper.System.Eth.0.IPv6AddressList", c.value);

        ASSERT_EQ(readNetworkBlock(&block, 0), 0);

        EXPECT_EQ(ipv6List(block), c.list);
        EXPECT_STREQ(block.primaryAddress, c.primary);
        releaseNetworkBlock(&block);
    }
}

TEST_F(NetworkBlockTest, LongIpv4AddressIsCutToFifteenCharacters) {
    set("Config.System.Eth.0.IPAddress", "192.168.100.200/24");
    ASSERT_EQ(readNetworkBlock(&block, 0), 0);
    EXPECT_STREQ(block.ipv4Address, "192.168.100.200");
}

TEST_F(NetworkBlockTest, EveryFailedQueryIsLoggedWithItsNumberAndEmptiesTheBlock) {
    struct Case {
        const char *name;
        int index;
        std::deque<int> batchResults;
        const char *missing;  // value removed, so its entry status fails
        std::vector<LogLine> log;
    };
    const Case cases[] = {
        {"enable, batch", 0, {1}, nullptr, {{LOG_CRIT, "SLP: kesh_smlGetBatch failed for network block 0, 281\n"}}},
        {"enable, status",
         1,
         {},
         "Config.System.Eth.1.Enable",
         {{LOG_CRIT, "sml command='Config.System.Eth.1.Enable', smlerror=0x1f\n"},
          {LOG_CRIT, "SLP: kesh_smlGetBatch failed for network block 1, 281\n"}}},
        {"switches and MAC, batch",
         1,
         {0, 1},
         nullptr,
         {{LOG_CRIT, "SLP: kesh_smlGetBatch failed for network block, 1, 306\n"}}},
        {"MAC, status",
         1,
         {},
         "Config.Mfg.Mac1",
         {{LOG_CRIT, "sml command='Config.Mfg.Mac1', smlerror=0x1f\n"},
          {LOG_CRIT, "SLP: kesh_smlGetBatch failed for network block, 1, 306\n"}}},
        {"IPv4 address, batch",
         0,
         {0, 0, 1},
         nullptr,
         {{LOG_CRIT, "SLP: kesh_smlGetBatch failed for network block, 0, 327\n"}}},
        {"IPv6 list, batch",
         0,
         {0, 0, 0, 1},
         nullptr,
         {{LOG_CRIT, "SLP: kesh_smlGetBatch failed for network block, 0, 346\n"}}},
        {"IPv6 list, status",
         1,
         {},
         "Oper.System.Eth.1.IPv6AddressList",
         {{LOG_CRIT, "sml command='Oper.System.Eth.1.IPv6AddressList', smlerror=0x1f\n"},
          {LOG_CRIT, "SLP: kesh_smlGetBatch failed for network block, 1, 346\n"}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        fakeKesh().batchResults = c.batchResults;
        if (c.missing != nullptr) fakeKesh().values.erase(c.missing);

        EXPECT_EQ(readNetworkBlock(&block, c.index), -1);

        expectEmpty(block);
        EXPECT_EQ(capturedLog(), c.log);
    }
}

TEST_F(NetworkBlockTest, ReleaseIsHarmlessOnAnEmptyBlockAndTwice) {
    releaseNetworkBlock(&block);
    ASSERT_EQ(readNetworkBlock(&block, 1), 0);
    releaseNetworkBlock(&block);
    releaseNetworkBlock(&block);
    expectEmpty(block);
}

}  // namespace
