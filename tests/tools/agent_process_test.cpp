// The real slp-agent as a child process: abused over raw sockets, and used through our client
// library, pointed at it by a configuration file as the daemon is.
#include "agent_child.h"

#include <slp.h>

#include <gtest/gtest.h>
#include <poll.h>

#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using Found = std::vector<std::string>;
using Codes = std::pair<SLPError, SLPError>;  // what the call returned, what the callback got

const Codes kAccepted{SLP_OK, SLP_OK};
constexpr char kWbemUrl[] = "service:wbem:https://192.0.2.10:5989";
constexpr char kIoUrl[] = "service:io-device.3873:59://fd00:ab::40";
constexpr char kBrokenList[] = "(template-type=wbem),(template-url-syntax=(https://192.0.2.10:5989),"
                               "(service-location-tcp=(https://192.0.2.10:5989)";

// A bare header ("en", no body) of the given function: a request whose body is missing.
Bytes bareHeader(uint8_t function) { return {2, function, 0, 0, 16, 0, 0, 0, 0, 0, 0, 1, 0, 2, 'e', 'n'}; }

// A loopback socket connected to the agent.
struct Socket {
    int fd;
    Socket(int type, uint16_t port) : fd(socket(AF_INET, type, 0)) {
        sockaddr_in a{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    }
    ~Socket() { close(fd); }
    bool send(const Bytes &b) { return ::send(fd, b.data(), b.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(b.size()); }
    // Bytes received within five seconds; 0 when the agent hung up, -1 when nothing came.
    ssize_t receive() {
        pollfd p{fd, POLLIN, 0};
        char buffer[512];
        return poll(&p, 1, 5000) == 1 ? recv(fd, buffer, sizeof buffer, 0) : -1;
    }
};

void SLPCALLBACK storeCode(SLPHandle, SLPError errCode, void *cookie) { *static_cast<SLPError *>(cookie) = errCode; }

SLPBoolean SLPCALLBACK collectUrl(SLPHandle, const char *url, unsigned short lifetime, SLPError errCode, void *cookie) {
    if (errCode == SLP_OK) static_cast<Found *>(cookie)->push_back(url + ("," + std::to_string(lifetime)));
    return SLP_TRUE;
}

SLPBoolean SLPCALLBACK collectText(SLPHandle, const char *text, SLPError errCode, void *cookie) {
    if (errCode == SLP_OK) *static_cast<std::string *>(cookie) += text;
    return SLP_TRUE;
}

// One agent for the whole process: the client library reads its port only once.
agentchild::AgentChild &agent() {
    static struct Shared {
        agentchild::AgentChild agent{SLP_AGENT_PATH};
        std::string config = std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + "/slp-agent-test-" +
                             std::to_string(getpid());
        Shared() {
            agent.start();
            std::ofstream(config) << "net.slp.port = " << agent.port() << "\n";
            setenv("OpenSLPConfig", config.c_str(), 1);
        }
        ~Shared() { std::remove(config.c_str()); }
    } shared;
    return shared.agent;
}

class AgentTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(agent().running()) << agent().output();
        ASSERT_EQ(SLPOpen("en", SLP_FALSE, &handle_), SLP_OK);
        ASSERT_EQ(SLPAssociateIP(handle_, "127.0.0.1"), SLP_OK);  // loopback carries no multicast
    }
    void TearDown() override { SLPClose(handle_); }

    Codes reg(const std::string &url, const std::string &attrs, unsigned short lifetime = 65535) {
        SLPError code = static_cast<SLPError>(999);
        return {SLPReg(handle_, url.c_str(), lifetime, "", attrs.c_str(), SLP_TRUE, storeCode, &code), code};
    }

    Codes dereg(const std::string &url) {
        SLPError code = static_cast<SLPError>(999);
        return {SLPDereg(handle_, url.c_str(), storeCode, &code), code};
    }

    Found find(const std::string &type, const std::string &filter = "") {
        Found found;
        EXPECT_EQ(SLPFindSrvs(handle_, type.c_str(), "", filter.c_str(), collectUrl, &found), SLP_OK);
        return found;
    }

    std::string attrs(const std::string &urlOrType) {
        std::string list;
        EXPECT_EQ(SLPFindAttrs(handle_, urlOrType.c_str(), "", "", collectText, &list), SLP_OK);
        return list;
    }

    SLPHandle handle_ = nullptr;
};

TEST_F(AgentTest, SurvivesGarbageOverTcpAndUdp) {
    const std::pair<Bytes, bool> cases[] = {
        // true: the framing is lost, so the agent must hang up
        {Bytes(300, 0xFF), true},     {Bytes(40, 0), true},     {Bytes{2, 3, 0xFF, 0xFF, 0xFF}, true},
        {Bytes{2, 3, 0, 0, 3}, true}, {bareHeader(200), false}, {bareHeader(3), false},
        {Bytes{2, 1}, false}};
    for (const auto &[bytes, hangsUp] : cases) {
        Socket udp(SOCK_DGRAM, agent().port()), tcp(SOCK_STREAM, agent().port());
        udp.send(bytes);
        ASSERT_TRUE(tcp.send(bytes));
        if (hangsUp) {
            EXPECT_EQ(tcp.receive(), 0);
        }
    }
    EXPECT_EQ(reg("service:x://after-garbage", ""), kAccepted);
}

TEST_F(AgentTest, AStuckClientDoesNotBlockOthers) {
    Socket halfHeader(SOCK_STREAM, agent().port());
    ASSERT_TRUE(halfHeader.send(Bytes{2, 3}));
    EXPECT_EQ(reg("service:x://while-one-stalls", ""), kAccepted);
}

TEST_F(AgentTest, ClientRegistersFindsReplacesAndDeregisters) {
    ASSERT_EQ(reg(kWbemUrl, kBrokenList), kAccepted);
    ASSERT_EQ(reg(kIoUrl, "(a=1)"), kAccepted);
    const Found wbem{std::string(kWbemUrl) + ",65535"};
    EXPECT_EQ(find("service:wbem"), wbem);
    EXPECT_EQ(find("service:wbem:https"), wbem);
    EXPECT_EQ(find("service:wbem", "(template-type=other)"), Found{});
    EXPECT_EQ(find("service:io-device.3873"), Found{std::string(kIoUrl) + ",65535"});
    EXPECT_EQ(attrs(kWbemUrl), kBrokenList);

    ASSERT_EQ(reg(kWbemUrl, "(template-type=wbem),(x=2)", 600), kAccepted);
    EXPECT_EQ(attrs(kWbemUrl), "(template-type=wbem),(x=2)");
    EXPECT_EQ(find("service:wbem"), Found{std::string(kWbemUrl) + ",600"});

    EXPECT_EQ(dereg(kWbemUrl), kAccepted);
    EXPECT_EQ(find("service:wbem"), Found{});
    EXPECT_EQ(dereg(kWbemUrl), Codes(SLP_OK, SLP_INVALID_REGISTRATION));
}

TEST_F(AgentTest, ClientRegisters132InARowOnOneHandle) {
    auto url = [](int i) { return "service:many:https://192.0.2.1:" + std::to_string(10000 + i); };
    for (int i = 0; i < 132; ++i) ASSERT_EQ(reg(url(i), "(n=" + std::to_string(i) + ")"), kAccepted) << i;
    EXPECT_EQ(find("service:many").size(), 132u);
    for (int i = 0; i < 132; ++i) ASSERT_EQ(dereg(url(i)), kAccepted) << i;
}

TEST_F(AgentTest, ExitsCleanlyOnSigtermAndTheClientReconnectsToItsSuccessor) {
    ASSERT_EQ(reg("service:restart://before", ""), kAccepted);
    const uint16_t port = agent().port();
    EXPECT_EQ(agent().stop(), 0);
    ASSERT_TRUE(agent().start(port)) << agent().output();
    EXPECT_EQ(reg("service:restart://after", ""), kAccepted);  // the handle's connection died with the agent
    EXPECT_EQ(find("service:restart"), Found{"service:restart://after,65535"});
}

}  // namespace
