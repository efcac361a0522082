#include <syslog.h>

#include "config.h"
#include "reader_test.h"

namespace {

const std::vector<std::string> kChassisQuery = {
    "Oper.Switch.WWN",       "Config.Mfg.ChassisSerialNum", "Config.Mfg.OemFruNumber", "Config.Mfg.ChassisPartNum",
    "Oper.Switch.Type",      "Config.Snmp.SysObjectID",     "Config.Mfg.BrandName",    "Config.Switch.SymName",
    "Default.Mfg.ProductID",
};

void expectEmpty(const ChassisBlock &block) {
    for (char *ChassisBlock::*field :
         {&ChassisBlock::wwn, &ChassisBlock::serialNumber, &ChassisBlock::fruNumber, &ChassisBlock::switchType,
          &ChassisBlock::uuid, &ChassisBlock::partNumber, &ChassisBlock::sysObjectId, &ChassisBlock::brandName,
          &ChassisBlock::symbolicName})
        EXPECT_EQ(block.*field, nullptr);
    EXPECT_EQ(block.productId, 0);
}

class ChassisBlockTest : public ReaderTest {
protected:
    void SetUp() override {
        ReaderTest::SetUp();
        set("Oper.Switch.WWN", "10:00:00:0a:bc:de:f0:1f");
        set("Config.Mfg.ChassisSerialNum", "serial");
        set("Config.Mfg.OemFruNumber", "fru");
        set("Config.Mfg.ChassisPartNum", "part");
        set("Oper.Switch.Type", "type");
        set("Config.Snmp.SysObjectID", "1.3.6.1.4.1.0.1");
        set("Config.Mfg.BrandName", "brand");
        set("Config.Switch.SymName", "symbolic");
        set("Default.Mfg.ProductID", "59");
        set("Oper.Mfg.UUID", "6b8f2a3c-0d1e-4f50-9a61-7b8c9d0e1f20");
    }
    void TearDown() override { releaseChassisBlock(&block); }

    ChassisBlock block{};
};

TEST_F(ChassisBlockTest, ReadsNineValuesInQueryOrderThenTheUuid) {
    ASSERT_EQ(readChassisBlock(&block), 0);

    EXPECT_EQ(batches(), (std::vector<std::vector<std::string>>{kChassisQuery, {"Oper.Mfg.UUID"}}));
    EXPECT_STREQ(block.wwn, "10:00:00:0A:BC:DE:F0:1F");
    EXPECT_STREQ(block.serialNumber, "serial");
    EXPECT_STREQ(block.fruNumber, "fru");
    EXPECT_STREQ(block.partNumber, "part");
    EXPECT_STREQ(block.switchType, "type");
    EXPECT_STREQ(block.sysObjectId, "1.3.6.1.4.1.0.1");
    EXPECT_STREQ(block.brandName, "brand");
    EXPECT_STREQ(block.symbolicName, "symbolic");
    EXPECT_EQ(block.productId, 59);
    EXPECT_STREQ(block.uuid, "6b8f2a3c-0d1e-4f50-9a61-7b8c9d0e1f20");
    EXPECT_TRUE(capturedLog().empty());
}

TEST_F(ChassisBlockTest, ProductIdIsBaseTenAndOnly59ReadsTheUuid) {
    struct Case {
        const char *text;
        int32_t productId;
    };
    const Case cases[] = {
        {"59", 59}, {"059", 59}, {" 59", 59},  {"59abc", 59}, {"+59", 59}, {"0x3b", 0},
        {"abc", 0}, {"", 0},     {"-59", -59}, {"60", 60},    {"5 9", 5},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string("'") + c.text + "'");
        SetUp();
        set("Default.Mfg.ProductID", c.text);

        ASSERT_EQ(readChassisBlock(&block), 0);

        EXPECT_EQ(block.productId, c.productId);
        if (c.productId == 59) {
            EXPECT_EQ(batches().size(), 2u);
            EXPECT_STREQ(block.uuid, "6b8f2a3c-0d1e-4f50-9a61-7b8c9d0e1f20");
        } else {
            EXPECT_EQ(batches().size(), 1u);
            EXPECT_EQ(block.uuid, nullptr);
        }
        releaseChassisBlock(&block);
    }
}

TEST_F(ChassisBlockTest, EmptyValuesGiveEmptyTextsNotNull) {
    for (const std::string &name : kChassisQuery)
        if (name != "Default.Mfg.ProductID") set(name, "");
    set("Oper.Mfg.UUID", "");

    ASSERT_EQ(readChassisBlock(&block), 0);

    EXPECT_STREQ(block.wwn, "");
    EXPECT_STREQ(block.symbolicName, "");
    EXPECT_STREQ(block.uuid, "");
}

TEST_F(ChassisBlockTest, AnyFailedQueryFailsTheWholeBlock) {
    struct Case {
        const char *name;
        void (*script)();
        std::vector<LogLine> log;
    };
    const LogLine blockLine{LOG_CRIT, "SLP: kesh_smlGetBatch failed for chassis block\n"};
    const Case cases[] = {
        {"first batch fails", [] { fakeKesh().batchResults = {1}; }, {blockLine}},
        {"symbolic name missing",
         [] { fakeKesh().values.erase("Config.Switch.SymName"); },
         {{LOG_CRIT, "sml command='Config.Switch.SymName', smlerror=0x1f\n"}, blockLine}},
        {"uuid batch fails",
         [] {
             fakeKesh().batchResults = {0, 3};
         },
         {blockLine}},
        {"uuid status fails",
         [] { fakeKesh().statuses["Oper.Mfg.UUID"] = 0x44; },
         {{LOG_CRIT, "sml command='Oper.Mfg.UUID', smlerror=0x44\n"}, blockLine}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        c.script();

        EXPECT_EQ(readChassisBlock(&block), -1);

        expectEmpty(block);
        EXPECT_EQ(capturedLog(), c.log);
    }
}

TEST_F(ChassisBlockTest, ReleaseIsHarmlessOnAnEmptyBlockAndTwice) {
    releaseChassisBlock(&block);
    ASSERT_EQ(readChassisBlock(&block), 0);
    releaseChassisBlock(&block);
    releaseChassisBlock(&block);
    expectEmpty(block);
}

TEST(ToUpperInPlace, ChangesOnlyTheLettersAToZInPlace) {
    struct Case {
        std::string in, out;
    };
    const Case cases[] = {
        {"", ""},
        {"10:00:00:0a:bc:de:f0:1f", "10:00:00:0A:BC:DE:F0:1F"},
        {"02:1a:2B:3c", "02:1A:2B:3C"},
        {"mixed-Case_09 z", "MIXED-CASE_09 Z"},
        {"caf\xc3\xa9", "CAF\xc3\xa9"},
    };
    for (const Case &c : cases) {
        std::vector<char> text(c.in.begin(), c.in.end());
        text.push_back('\0');
        EXPECT_EQ(toUpperInPlace(text.data()), text.data());
        EXPECT_EQ(std::string(text.data()), c.out);
    }
    EXPECT_EQ(toUpperInPlace(nullptr), nullptr);
}

}  // namespace
