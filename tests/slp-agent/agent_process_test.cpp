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
constexpr char kWbemUrl[] = "service:wbem:https://192.0.2.10:5989";
constexpr char kBrokenList[] = "(template-type=wbem),(template-url-syntax=(https://192.0.2.10:5989),"
                               "(service-location-tcp=(https://192.0.2.10:5989)";

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
SLPBoolean SLPCALLBACK collectText(SLPHandle, const char *text, SLPError errCode, void *cookie) {
    if (errCode == SLP_OK) *static_cast<std::string *>(cookie) += text;
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
        std::sort(found.begin(), found.end());
        EXPECT_TRUE(!found.empty() && found[0].empty() && (found.size() == 1 || !found[1].empty())) << "one last call";
        return Found(found.begin() + !found.empty(), found.end());
    }
    std::string attrs(const std::string &urlOrType) {
        std::string list;
        EXPECT_EQ(SLPFindAttrs(handle_, urlOrType.c_str(), "", "", collectText, &list), SLP_OK);
        return list;
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
    EXPECT_EQ(reg("service:x://after-garbage", ""), kAccepted);
}

TEST_F(AgentTest, ClientRegistersFindsReplacesAndDeregisters) {
    const std::string wbem = kWbemUrl;
    ASSERT_EQ(reg(wbem, kBrokenList), kAccepted);
    EXPECT_EQ(find("service:wbem", "(template-type=wbem)"), Found{wbem + ",65535"});
    EXPECT_EQ(find("service:wbem", "(template-type=other)"), Found{});
    EXPECT_EQ(attrs(wbem), kBrokenList);
    ASSERT_EQ(reg(wbem, "(x=2)", 600), kAccepted);
    EXPECT_EQ(attrs(wbem), "(x=2)");
    EXPECT_EQ(find("service:wbem:https"), Found{wbem + ",600"});
    EXPECT_EQ(dereg(wbem), kAccepted);
    EXPECT_EQ(find("service:wbem"), Found{});
    EXPECT_EQ(dereg(wbem), Codes(SLP_OK, SLP_INVALID_REGISTRATION));  // the ack's error, negated
}

// 132 in a row on one handle; their URLs, and one attribute list, are too big for a datagram:
// the finds come over TCP, whole, one callback each.
TEST_F(AgentTest, ClientRegisters132InARowAndFindsThemOverTcp) {
    const std::string big = "(padding=" + std::string(1500, 'x') + ")";
    Found urls;
    for (int i = 0; i < 132; ++i) {
        urls.push_back("service:many:https://192.0.2.1:" + std::to_string(10000 + i) + "/a/rather/long/path,65535");
        ASSERT_EQ(reg(urls.back().substr(0, urls.back().find(',')), i == 7 ? big : "(n=1)"), kAccepted) << i;
    }
    const std::string seventh = urls[7].substr(0, urls[7].find(','));
    std::sort(urls.begin(), urls.end());
    EXPECT_EQ(find("service:many"), urls);
    EXPECT_EQ(attrs(seventh), big);
    for (const std::string &url : urls) ASSERT_EQ(dereg(url.substr(0, url.find(','))), kAccepted) << url;
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
    ASSERT_EQ(reg("service:t://before", ""), kAccepted);
    const uint16_t port = agent().port();
    EXPECT_EQ(agent().stop(), 0);
    ASSERT_TRUE(agent().start(port)) << agent().output();
    EXPECT_EQ(reg("service:t://after", ""), kAccepted);  // the handle's connection died with the agent
    EXPECT_EQ(reg("service:t://gone-again", ""), kAccepted);
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

// Two agents on loopback: a service agent told of a DA (and its port) registers there what it
// holds, deregisters there what goes, keeps answering while the DA is away and registers
// everything with it again once it sees the DA's new boot timestamp.
TEST(DirectoryAgent, HoldsWhatAServiceAgentHoldsThroughTheDasRestart) {
    agentchild::AgentChild da(SLP_AGENT_PATH, {"--da"});
    ASSERT_TRUE(da.start()) << da.output();
    std::string conf = "/tmp/slp-agent-sa.XXXXXX";
    close(mkstemp(conf.data()));
    std::ofstream(conf) << "net.slp.DAAddresses = 127.0.0.1:" << da.port() << "\nnet.slp.DAActiveDiscoveryInterval = 1\n";
    agentchild::AgentChild sa(SLP_AGENT_PATH, {"-c", conf});
    ASSERT_TRUE(sa.start()) << sa.output();
    std::remove(conf.c_str());
    auto send = [&](bool add, const std::string &url) {
        slpv2::Header h;
        h.language = "en";
        h.flags = add ? slpv2::kFlagFresh : 0;
        Bytes m;
        slpv2::SrvAck ack{99};
        const uint32_t pid = uint32_t(getpid());
        bool ok = add ? slpv2::encodeSrvReg(h, {{65535, url}, "service:d", "DEFAULT", "(a=1)", true, pid}, &m)
                      : slpv2::encodeSrvDeReg(h, {"DEFAULT", {0, url}, ""}, &m);
        return ok && exchange(sa.port(), m, slpv2::decodeSrvAck, &ack) ? int(ack.error) : -1;
    };
    auto heldByDa = [&] {
        slpv2::Header h;
        h.language = "en";
        Bytes m;
        slpv2::SrvRply reply;
        std::string urls;
        if (slpv2::encodeSrvRqst(h, {"", "service:d", "DEFAULT", "", ""}, &m) &&
            exchange(da.port(), m, slpv2::decodeSrvRply, &reply)) {
            for (const slpv2::UrlEntry &e : reply.urls) urls += e.url + " ";
        }
        return urls;
    };
    ASSERT_EQ(send(true, "service:d://one"), 0);
    ASSERT_EQ(send(true, "service:d://two"), 0);
    EXPECT_TRUE(da.waitForOutput("registered service:d://two")) << sa.output();
    EXPECT_EQ(heldByDa(), "service:d://one service:d://two ");
    ASSERT_EQ(send(false, "service:d://one"), 0);
    EXPECT_TRUE(da.waitForOutput("deregistered service:d://one")) << sa.output();

    EXPECT_TRUE(sa.waitForOutput("found DA 127.0.0.1 scopes DEFAULT")) << sa.output();  // its boot timestamp
    const uint16_t port = da.port();
    da.stop();
    ASSERT_EQ(send(true, "service:d://three"), 0);
    EXPECT_TRUE(sa.waitForOutput("DA 127.0.0.1 not answering")) << sa.output();
    sleep(1);  // a boot timestamp of a later second
    ASSERT_TRUE(da.start(port)) << da.output();
    EXPECT_TRUE(sa.waitForOutput("re-registering with DA 127.0.0.1 (restarted)")) << sa.output();
    EXPECT_TRUE(da.waitForOutput("registered service:d://three")) << sa.output();
    EXPECT_TRUE(da.waitForOutput("registered service:d://two")) << sa.output();
    EXPECT_EQ(heldByDa(), "service:d://three service:d://two ");
}

}  // namespace
