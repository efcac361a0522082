// Our client library against the real slp-agent on a free loopback port, configured the way
// the daemon is: through the file named by OpenSLPConfig.
#include "agent_child.h"

#include <slp.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr SLPError kNotCalled = 999;
constexpr char kWbemUrl[] = "service:wbem:https://192.0.2.10:5989";
constexpr char kIoUrl[] = "service:io-device.3873:59://fd00:ab::40";
constexpr char kBrokenList[] =
    "(template-type=wbem),(template-url-syntax=(https://192.0.2.10:5989),"
    "(service-location-tcp=(https://192.0.2.10:5989)";

void SLPCALLBACK storeCode(SLPHandle, SLPError errCode, void *cookie) { *static_cast<SLPError *>(cookie) = errCode; }

SLPBoolean SLPCALLBACK collectUrl(SLPHandle, const char *url, unsigned short lifetime, SLPError errCode, void *cookie) {
    if (errCode == SLP_OK) static_cast<std::vector<std::string> *>(cookie)->push_back(url + ("," + std::to_string(lifetime)));
    return SLP_TRUE;
}

SLPBoolean SLPCALLBACK collectText(SLPHandle, const char *text, SLPError errCode, void *cookie) {
    if (errCode == SLP_OK) *static_cast<std::string *>(cookie) += text;
    return SLP_TRUE;
}

class ClientAgainstAgentTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        agent_ = new agentchild::AgentChild(SLP_AGENT_PATH);
        ASSERT_TRUE(agent_->start()) << agent_->output();
        configPath_ = std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + "/slp-client-test-" +
                      std::to_string(getpid()) + ".conf";
        std::ofstream(configPath_) << "net.slp.port = " << agent_->port() << "\n";
        setenv("OpenSLPConfig", configPath_.c_str(), 1);
    }

    static void TearDownTestSuite() {
        delete agent_;
        agent_ = nullptr;
        std::remove(configPath_.c_str());
    }

    void SetUp() override { ASSERT_EQ(SLPOpen("en", SLP_FALSE, &handle_), SLP_OK); }
    void TearDown() override { SLPClose(handle_); }

    // (what the call returned, what the callback got)
    std::pair<SLPError, SLPError> reg(const std::string &url, const std::string &attrs, unsigned short lifetime = 65535) {
        SLPError code = kNotCalled;
        SLPError result = SLPReg(handle_, url.c_str(), lifetime, "", attrs.c_str(), SLP_TRUE, storeCode, &code);
        return {result, code};
    }

    std::pair<SLPError, SLPError> dereg(const std::string &url) {
        SLPError code = kNotCalled;
        SLPError result = SLPDereg(handle_, url.c_str(), storeCode, &code);
        return {result, code};
    }

    std::vector<std::string> find(const std::string &type, const std::string &filter = "") {
        std::vector<std::string> found;
        EXPECT_EQ(SLPFindSrvs(handle_, type.c_str(), "", filter.c_str(), collectUrl, &found), SLP_OK);
        return found;
    }

    std::string attrs(const std::string &urlOrType) {
        std::string list;
        EXPECT_EQ(SLPFindAttrs(handle_, urlOrType.c_str(), "", "", collectText, &list), SLP_OK);
        return list;
    }

    static agentchild::AgentChild *agent_;
    static std::string configPath_;
    SLPHandle handle_ = nullptr;
};

agentchild::AgentChild *ClientAgainstAgentTest::agent_ = nullptr;
std::string ClientAgainstAgentTest::configPath_;

const std::pair<SLPError, SLPError> kAccepted{SLP_OK, SLP_OK};

TEST_F(ClientAgainstAgentTest, FindsByAbstractAndConcreteTypeAndByFilter) {
    ASSERT_EQ(reg(kWbemUrl, kBrokenList), kAccepted);
    ASSERT_EQ(reg(kIoUrl, "(a=1)", 300), kAccepted);
    const std::vector<std::string> wbem{std::string(kWbemUrl) + ",65535"};
    EXPECT_EQ(find("service:wbem"), wbem);
    EXPECT_EQ(find("service:wbem:https"), wbem);
    EXPECT_EQ(find("service:wbem", "(template-type=wbem)"), wbem);
    EXPECT_EQ(find("service:wbem", "(template-type=other)"), std::vector<std::string>{});
    std::vector<std::string> io = find("service:io-device.3873");
    ASSERT_EQ(io.size(), 1u);
    EXPECT_EQ(io[0].rfind(std::string(kIoUrl) + ",", 0), 0u);
    EXPECT_EQ(find("service:io-device"), std::vector<std::string>{});

    std::string types;
    EXPECT_EQ(SLPFindSrvTypes(handle_, "*", "", collectText, &types), SLP_OK);
    EXPECT_NE(types.find("service:wbem:https"), std::string::npos);
    EXPECT_NE(types.find("service:io-device.3873:59"), std::string::npos);
    EXPECT_TRUE(agent_->running());
}

TEST_F(ClientAgainstAgentTest, AttributesComeBackVerbatimAndFreshRegistrationReplaces) {
    ASSERT_EQ(reg(kWbemUrl, kBrokenList), kAccepted);
    EXPECT_EQ(attrs(kWbemUrl), kBrokenList);
    EXPECT_EQ(attrs("service:wbem"), kBrokenList);
    ASSERT_EQ(reg(kWbemUrl, "(template-type=wbem),(x=2)", 600), kAccepted);
    EXPECT_EQ(attrs(kWbemUrl), "(template-type=wbem),(x=2)");
    EXPECT_EQ(find("service:wbem:https"), std::vector<std::string>{std::string(kWbemUrl) + ",600"});
}

TEST_F(ClientAgainstAgentTest, DeregistrationOfUnknownUrlReachesTheCallback) {
    const std::string url = "service:wbem:https://192.0.2.99:5989";
    ASSERT_EQ(reg(url, ""), kAccepted);
    EXPECT_EQ(dereg(url), kAccepted);
    for (const std::string &f : find("service:wbem")) EXPECT_EQ(f.find(url), std::string::npos);
    const std::pair<SLPError, SLPError> unknown{SLP_OK, SLP_INVALID_REGISTRATION};
    EXPECT_EQ(dereg(url), unknown);
    EXPECT_EQ(dereg("service:never://registered"), unknown);
}

TEST_F(ClientAgainstAgentTest, RegistersManyInARowOnOneHandle) {
    for (int i = 0; i < 132; ++i) {
        ASSERT_EQ(reg("service:many:https://192.0.2.1:" + std::to_string(10000 + i), "(n=" + std::to_string(i) + ")"),
                  kAccepted)
            << i;
    }
    EXPECT_EQ(find("service:many").size(), 132u);
    for (int i = 0; i < 132; ++i) ASSERT_EQ(dereg("service:many:https://192.0.2.1:" + std::to_string(10000 + i)), kAccepted);
}

TEST_F(ClientAgainstAgentTest, ReconnectsOnceAfterAgentRestart) {
    ASSERT_EQ(reg("service:restart://before", ""), kAccepted);
    const uint16_t port = agent_->port();
    agent_->stop();
    ASSERT_TRUE(agent_->start(port)) << agent_->output();
    // The handle's cached connection is dead; the call reconnects and succeeds.
    EXPECT_EQ(reg("service:restart://after", ""), kAccepted);
    EXPECT_EQ(find("service:restart"), std::vector<std::string>{"service:restart://after,65535"});
}

}  // namespace
