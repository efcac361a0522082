// The real slp-agent as a child process: abused over raw sockets, used through our client
// library (pointed at it by a configuration file as the daemon is), restarted from its state file.
#include "agent_child.h"
#include "slp_message.h"

#include <slp.h>

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using Found = std::vector<std::string>;
using Codes = std::pair<SLPError, SLPError>;  // what the call returned, what the callback got

const Codes kAccepted{SLP_OK, SLP_OK};

// A loopback socket connected to the agent.
struct Socket {
    int fd;
    Bytes got = Bytes(65536);
    Socket(int type, uint16_t port) : fd(socket(AF_INET, type, 0)) {
        sockaddr_in a{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    }
    ~Socket() { close(fd); }
    bool send(const Bytes &b) { return ::send(fd, b.data(), b.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(b.size()); }
    // Bytes received within five seconds, kept in `got`; 0 when the agent hung up, -1 when nothing came.
    ssize_t receive() {
        pollfd p{fd, POLLIN, 0};
        ssize_t n = poll(&p, 1, 5000) == 1 ? recv(fd, got.data(), got.size(), 0) : -1;
        got.resize(n > 0 ? size_t(n) : 0);
        return n;
    }
};

// The first reply to `message` over a new TCP connection, decoded into `body`.
template <typename Body>
bool exchange(uint16_t port, const Bytes &message,
              slpv2::DecodeStatus (*decode)(const uint8_t *, size_t, slpv2::Header *, Body *), Body *body) {
    Socket tcp(SOCK_STREAM, port);
    slpv2::Header h;
    return tcp.send(message) && tcp.receive() > 0 &&
           decode(tcp.got.data(), tcp.got.size(), &h, body) == slpv2::DecodeStatus::Ok;
}

void SLPCALLBACK storeCode(SLPHandle, SLPError errCode, void *cookie) { *static_cast<SLPError *>(cookie) = errCode; }
SLPBoolean SLPCALLBACK collectUrl(SLPHandle, const char *url, unsigned short lifetime, SLPError errCode, void *cookie) {
    if (errCode == SLP_OK || errCode == SLP_LAST_CALL)  // the last call as an empty entry
        static_cast<Found *>(cookie)->push_back(errCode == SLP_OK ? url + ("," + std::to_string(lifetime)) : "");
    return SLP_TRUE;
}

// One agent for the whole process (the client library reads its port only once), with a state
// file and its properties from a -c file; loopback is listed (with blanks) as an interface and
// still served.
struct Shared {
    std::string folder = "/tmp/slp-agent-test.XXXXXX";
    std::string state, client;
    agentchild::AgentChild agent{SLP_AGENT_PATH, {"--state", state = mkdtemp(folder.data()) + std::string("/state"),
                                                  "-c", folder + "/agent.conf", "--interfaces", " 127.0.0.1 "}};
    Shared() {
        chmod(folder.c_str(), 0777);  // started as root, the agent writes as nobody
        std::ofstream(folder + "/agent.conf") << "net.slp.useScopes = DEFAULT, lab\nnet.slp.SAAttributes = (role=switch)\n";
        agent.start();
        std::ofstream(client = folder + "/client.conf") << "net.slp.port = " << agent.port() << "\n";
        setenv("OpenSLPConfig", client.c_str(), 1);
    }
    ~Shared() {
        agent.stop();
        for (const std::string &f : {state, client, folder + "/agent.conf", folder}) std::remove(f.c_str());
    }
};
Shared &shared() {
    static Shared s;
    return s;
}
agentchild::AgentChild &agent() { return shared().agent; }

class AgentTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(agent().running()) << agent().output();
        ASSERT_EQ(SLPOpen("en", SLP_FALSE, &handle_), SLP_OK);
        ASSERT_EQ(SLPAssociateIP(handle_, "127.0.0.1"), SLP_OK);  // loopback carries no multicast
    }
    void TearDown() override { SLPClose(handle_); }

    Codes reg(const std::string &url) {
        SLPError code = static_cast<SLPError>(999);
        return {SLPReg(handle_, url.c_str(), SLP_LIFETIME_MAXIMUM, "", "", SLP_TRUE, storeCode, &code), code};
    }
    Codes dereg(const std::string &url) {
        SLPError code = static_cast<SLPError>(999);
        return {SLPDereg(handle_, url.c_str(), storeCode, &code), code};
    }
    Found find(const std::string &type) {
        Found found;
        EXPECT_EQ(SLPFindSrvs(handle_, type.c_str(), "", "", collectUrl, &found), SLP_OK);
        std::sort(found.begin(), found.end());
        EXPECT_TRUE(!found.empty() && found[0].empty() && (found.size() == 1 || !found[1].empty())) << "one last call";
        return Found(found.begin() + !found.empty(), found.end());
    }

    SLPHandle handle_ = nullptr;
};

TEST_F(AgentTest, SurvivesGarbageOverTcpAndUdpAndAStuckClient) {
    auto bareHeader = [](uint8_t fn) { return Bytes{2, fn, 0, 0, 16, 0, 0, 0, 0, 0, 0, 1, 0, 2, 'e', 'n'}; };
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
    Socket halfHeader(SOCK_STREAM, agent().port());
    ASSERT_TRUE(halfHeader.send(Bytes{2, 3}));
    EXPECT_EQ(reg("service:x://after-garbage"), kAccepted);
}

TEST_F(AgentTest, ComesBackAfterSigtermOrKill9WithWhatItHeldAndTheClientReconnects) {
    slpv2::SAAdvert sa;
    slpv2::Header h;
    h.language = "en";
    Bytes m;
    ASSERT_TRUE(slpv2::encodeSrvRqst(h, {"", "service:service-agent", "lab", "", ""}, &m));
    ASSERT_TRUE(exchange(agent().port(), m, slpv2::decodeSAAdvert, &sa));
    EXPECT_EQ(sa.scopes + " " + sa.attributes, "DEFAULT, lab (role=switch)");  // from the -c file

    pid_t exited = fork();
    if (exited == 0) _exit(0);
    waitpid(exited, nullptr, 0);
    h.flags = slpv2::kFlagFresh;
    for (const auto &[url, pid] : {std::pair<std::string, uint32_t>{"service:t://no-pid", 0}, {"service:t://gone", exited}}) {
        slpv2::SrvAck ack{99};
        ASSERT_TRUE(slpv2::encodeSrvReg(h, {{65535, url}, "service:t", "DEFAULT", "", pid != 0, pid}, &m));
        ASSERT_TRUE(exchange(agent().port(), m, slpv2::decodeSrvAck, &ack));
        ASSERT_EQ(ack.error, 0);
    }
    EXPECT_EQ(find("service:t"), Found{"service:t://no-pid,65535"});  // a lookup drops what exited processes held
    ASSERT_EQ(reg("service:t://before"), kAccepted);
    const uint16_t port = agent().port();
    EXPECT_EQ(agent().stop(), 0);
    ASSERT_TRUE(agent().start(port)) << agent().output();
    EXPECT_EQ(reg("service:t://after"), kAccepted);  // the handle's connection died with the agent
    EXPECT_EQ(reg("service:t://gone-again"), kAccepted);
    EXPECT_EQ(dereg("service:t://gone-again"), kAccepted);
    // Written before each acknowledgement: killed at once, it must lose nothing (and a record
    // cut off by a kill mid-write is ignored).
    kill(agent().pid(), SIGKILL);
    agent().stop();
    std::ofstream(shared().state, std::ios::app) << "0badc0de reg 65535 1 0 0 x73";
    ASSERT_TRUE(agent().start(port)) << agent().output();
    EXPECT_EQ(find("service:t"), (Found{"service:t://after,65535", "service:t://before,65535", "service:t://no-pid,65535"}));

    agent().stop();
    std::ofstream(shared().state) << "slp-agent-state 1\nreg 600";
    ASSERT_TRUE(agent().start(port)) << agent().output();
    EXPECT_NE(agent().output().find("starting empty"), std::string::npos) << agent().output();
    EXPECT_EQ(find("service:t"), Found{});
}

}  // namespace
