#include <syslog.h>

#include "config.h"
#include "reader_test.h"

namespace {

const std::vector<std::string> kServiceNames = {
    "Config.Services.EmbeddedGUIEnable", "Config.Services.ExternalGUIEnable", "Config.Services.TelnetEnable",
    "Config.Services.SLPEnable",         "Config.Services.SSHEnable",         "Config.Services.SSLEnable",
    "Config.Services.HTTPSEnable",       "Config.Services.SNMPEnable",        "Config.Services.NTPEnable",
    "Config.Services.CIMEnable",         "Config.Services.FTPEnable",         "Config.Services.TFTPEnable",
    "Config.Services.MSEnable",          "Config.Services.CallhomeEnable",    "Config.Snmp.EngineID",
};

const uint8_t ServicesBlock::*const kFlags[] = {
    &ServicesBlock::embeddedGui, &ServicesBlock::externalGui, &ServicesBlock::telnet, &ServicesBlock::slp,
    &ServicesBlock::ssh,         &ServicesBlock::ssl,         &ServicesBlock::https,  &ServicesBlock::snmp,
    &ServicesBlock::ntp,         &ServicesBlock::cim,         &ServicesBlock::ftp,    &ServicesBlock::tftp,
    &ServicesBlock::ms,          &ServicesBlock::callhome,
};

void expectEmpty(const ServicesBlock &block) {
    EXPECT_EQ(block.protocol, nullptr);
    EXPECT_EQ(block.port, nullptr);
    EXPECT_EQ(block.snmpEngineId, nullptr);
    EXPECT_EQ(block.sshFingerprint, nullptr);
    for (auto flag : kFlags) EXPECT_EQ(block.*flag, 0);
}

class ServicesBlockTest : public ReaderTest {
protected:
    void SetUp() override {
        ReaderTest::SetUp();
        for (size_t i = 0; i < 14; i++) set(kServiceNames[i], "True");
        set("Config.Snmp.EngineID", "8000abcdef0102");
        setenv("FAKE_KEYGEN_OUTPUT", "2048 aa:bb:cc /usr/local/openssh/etc/ssh_host_key.pub (RSA)\n", 1);
    }
    void TearDown() override { releaseServicesBlock(&block); }

    ServicesBlock block{};
};

TEST_F(ServicesBlockTest, ReadsFourteenSwitchesAndEngineIdInOneQuery) {
    ASSERT_EQ(readServicesBlock(&block), 0);

    EXPECT_EQ(batches(), std::vector<std::vector<std::string>>{kServiceNames});
    EXPECT_EQ(fakeKesh().batchHandles, std::vector<uint32_t>{7});
    EXPECT_STREQ(block.snmpEngineId, "8000abcdef0102");
    EXPECT_STREQ(block.sshFingerprint, "aa:bb:cc");
    EXPECT_TRUE(capturedLog().empty());
}

TEST_F(ServicesBlockTest, EachSwitchIsTrueOnlyForTheExactTextTrue) {
    const char *const texts[] = {"True", "False", "true", "TRUE", "True ", " True", ""};
    for (size_t i = 0; i < 14; i++) {
        for (const char *text : texts) {
            SCOPED_TRACE(kServiceNames[i] + " = '" + text + "'");
            set(kServiceNames[i], text);
            ASSERT_EQ(readServicesBlock(&block), 0);
            for (size_t j = 0; j < 14; j++) EXPECT_EQ(block.*kFlags[j], j == i ? std::string(text) == "True" : 1);
            releaseServicesBlock(&block);
        }
        set(kServiceNames[i], "True");
    }
}

TEST_F(ServicesBlockTest, CimProtocolAndPortFollowTheSslSwitch) {
    struct Case {
        const char *cim, *ssl, *https;
        const char *protocol, *port;
    };
    const Case cases[] = {
        {"True", "True", "False", "https", "5989"},
        {"True", "False", "True", "http", "5988"},
        {"True", "False", "False", "http", "5988"},
        {"False", "True", "True", nullptr, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string("cim=") + c.cim + " ssl=" + c.ssl + " https=" + c.https);
        set("Config.Services.CIMEnable", c.cim);
        set("Config.Services.SSLEnable", c.ssl);
        set("Config.Services.HTTPSEnable", c.https);

        ASSERT_EQ(readServicesBlock(&block), 0);

        if (c.protocol == nullptr) {
            EXPECT_EQ(block.protocol, nullptr);
            EXPECT_EQ(block.port, nullptr);
        } else {
            EXPECT_STREQ(block.protocol, c.protocol);
            EXPECT_STREQ(block.port, c.port);
        }
        releaseServicesBlock(&block);
    }
}

TEST_F(ServicesBlockTest, EmptyEngineIdIsAnEmptyTextNotNull) {
    set("Config.Snmp.EngineID", "");
    ASSERT_EQ(readServicesBlock(&block), 0);
    ASSERT_NE(block.snmpEngineId, nullptr);
    EXPECT_STREQ(block.snmpEngineId, "");
}

TEST_F(ServicesBlockTest, FailedQueryLeavesTheBlockEmpty) {
    struct Case {
        const char *name;
        void (*script)();
        std::vector<LogLine> log;
    };
    const Case cases[] = {
        {"whole batch fails",
         [] { fakeKesh().batchResults = {-1}; },
         {{LOG_CRIT, "SLP: kesh_smlGetBatch failed for services block\n"}}},
        {"entries 3 and 7 fail",
         [] {
             fakeKesh().statuses["Config.Services.SLPEnable"] = 0x1f;
             fakeKesh().statuses["Config.Services.SNMPEnable"] = 0x20;
         },
         {{LOG_CRIT, "sml command='Config.Services.SLPEnable', smlerror=0x1f\n"},
          {LOG_CRIT, "SLP: kesh_smlGetBatch failed for services block\n"}}},
        {"engine id missing",
         [] { fakeKesh().values.erase("Config.Snmp.EngineID"); },
         {{LOG_CRIT, "sml command='Config.Snmp.EngineID', smlerror=0x1f\n"},
          {LOG_CRIT, "SLP: kesh_smlGetBatch failed for services block\n"}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        c.script();

        EXPECT_EQ(readServicesBlock(&block), -1);

        expectEmpty(block);
        EXPECT_EQ(capturedLog(), c.log);
    }
}

TEST_F(ServicesBlockTest, ReleaseIsHarmlessOnAnEmptyBlockAndTwice) {
    releaseServicesBlock(&block);
    ASSERT_EQ(readServicesBlock(&block), 0);
    releaseServicesBlock(&block);
    releaseServicesBlock(&block);
    expectEmpty(block);
}

TEST(ReadSshFingerprint, AcceptsOnlyAHexadecimalSecondWord) {
    struct Case {
        const char *name;
        const char *output;
        const char *fingerprint;  // null: no fingerprint
    };
    const std::string longWord(200, 'a');
    const std::string longLine = "2048 " + longWord + " key (RSA)\n";
    const std::string cutWord = longWord.substr(0, 127);
    const Case cases[] = {
        {"legacy listing", "2048 0f:1e:2d:3c:4b:5a:69:78:87:96:a5:b4:c3:d2:e1:f0 /etc/ssh_host_key.pub (RSA)\n",
         "0f:1e:2d:3c:4b:5a:69:78:87:96:a5:b4:c3:d2:e1:f0"},
        {"upper-case hex", "1024 AB:CD:EF:01 key\n", "AB:CD:EF:01"},
        {"two words", "2048 aa:bb:cc\n", "aa:bb:cc"},
        {"only the first line counts", "2048 aa:bb key (RSA)\n4096 cc:dd key2 (RSA)\n", "aa:bb"},
        {"digest-prefixed word", "256 SHA256:abcdef key (ED25519)\n", nullptr},
        {"md5-prefixed word", "2048 MD5:aa:bb key (RSA)\n", nullptr},
        {"non-hex letter", "2048 aa:bg:cc key\n", nullptr},
        {"one word", "2048\n", nullptr},
        {"no output", "", nullptr},
        {"word cut to 127 characters", longLine.c_str(), cutWord.c_str()},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        setenv("FAKE_KEYGEN_OUTPUT", c.output, 1);

        char *fingerprint = readSshFingerprint();

        if (c.fingerprint == nullptr) {
            EXPECT_EQ(fingerprint, nullptr);
        } else {
            ASSERT_NE(fingerprint, nullptr);
            EXPECT_STREQ(fingerprint, c.fingerprint);
        }
        free(fingerprint);
    }
    unsetenv("FAKE_KEYGEN_OUTPUT");
}

TEST(ReadSshFingerprint, ReadsTheHostKeyThroughTheKeyTool) {
    unsetenv("FAKE_KEYGEN_OUTPUT");
    char *fingerprint = readSshFingerprint();
    ASSERT_NE(fingerprint, nullptr);
    EXPECT_EQ(strlen(fingerprint), 47u);  // sixteen hexadecimal pairs joined by colons
    free(fingerprint);
}

TEST_F(ServicesBlockTest, MissingFingerprintDoesNotFailTheRead) {
    setenv("FAKE_KEYGEN_OUTPUT", "", 1);
    ASSERT_EQ(readServicesBlock(&block), 0);
    EXPECT_EQ(block.sshFingerprint, nullptr);
    EXPECT_TRUE(capturedLog().empty());
}

}  // namespace
