// slp-agent as a service agent on a LAN, without a LAN: the handler told how a request came,
// replies too big for the MTU, the state file, and the real agent restarted from it.
#include "agent_child.h"
#include "handler.h"
#include "slp_message.h"
#include "state.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace slpagent {
namespace {

using Bytes = std::vector<uint8_t>;
using slpv2::DecodeStatus;
using slpv2::Function;
constexpr char kWbemUrl[] = "service:wbem:https://192.0.2.10:5989";
constexpr uint16_t kNoReply = 0xFFFF;

Bytes request(Function fn, const std::string &what, const std::string &scopes, bool mcast, const std::string &pr = "") {
    slpv2::Header h;
    h.xid = 77;
    h.language = "en";
    h.flags = mcast ? slpv2::kFlagRequestMcast : 0;
    Bytes out;
    bool ok = fn == Function::SrvRqst    ? slpv2::encodeSrvRqst(h, {pr, what, scopes, "", ""}, &out)
              : fn == Function::AttrRqst ? slpv2::encodeAttrRqst(h, {pr, what, scopes, "", ""}, &out)
                                         : slpv2::encodeSrvTypeRqst(h, {pr, true, "", scopes}, &out);
    EXPECT_TRUE(ok);
    return out;
}

Registration registration(const std::string &url, uint16_t lifetime = kPermanentLifetime) {
    Registration r;
    r.url = url;
    r.language = "en";
    r.serviceType = url.substr(0, url.find("://"));
    r.scopes = "DEFAULT";
    r.lifetime = lifetime;
    r.permanent = lifetime == kPermanentLifetime;
    r.expiresAtMs = int64_t{lifetime} * 1000;
    return r;
}

// Function of the reply, then its error code (or kNoReply).
std::pair<int, uint16_t> outcomeOf(const Bytes &reply) {
    if (reply.empty()) return {0, kNoReply};
    return {reply[1], reply[1] == int(Function::SAAdvert) ? 0 : uint16_t(reply[16] << 8 | reply[17])};
}

TEST(AgentNetworkTest, MulticastRequestsAreAnsweredOnlyWithSomethingToSay) {
    Registry registry;
    storeRegistration(&registry, registration(kWbemUrl));
    HandlerOptions options;
    options.scopes = "DEFAULT,lab";
    options.ownAddresses = {"192.0.2.1"};
    const int kRply = 2, kAttr = 7, kType = 10, kSA = 11;
    const struct {
        Function fn;
        std::string what, scopes, pr;
        bool mcast;
        std::pair<int, uint16_t> expected;
    } cases[] = {
        {Function::SrvRqst, "service:wbem", "DEFAULT", "", true, {kRply, kOk}},
        {Function::SrvRqst, "service:none", "DEFAULT", "", true, {0, kNoReply}},
        {Function::SrvRqst, "service:none", "DEFAULT", "", false, {kRply, kOk}},
        {Function::SrvRqst, "service:wbem", "other", "", true, {0, kNoReply}},
        {Function::SrvRqst, "service:wbem", "other", "", false, {kRply, kScopeNotSupported}},
        {Function::SrvRqst, "service:wbem", "lab", "", true, {0, kNoReply}},  // served, but nothing there
        {Function::SrvRqst, "", "DEFAULT", "", true, {0, kNoReply}},
        {Function::SrvRqst, "", "DEFAULT", "", false, {kRply, kParseError}},
        {Function::SrvRqst, "service:wbem", "DEFAULT", "192.0.2.9, 192.0.2.1", true, {0, kNoReply}},
        {Function::SrvRqst, "service:wbem", "DEFAULT", "192.0.2.9", true, {kRply, kOk}},
        {Function::AttrRqst, "service:x://unknown", "DEFAULT", "", true, {0, kNoReply}},
        {Function::AttrRqst, "service:wbem", "other", "", true, {0, kNoReply}},
        {Function::AttrRqst, "service:wbem", "other", "", false, {kAttr, kScopeNotSupported}},
        {Function::SrvTypeRqst, "", "DEFAULT", "192.0.2.1", true, {0, kNoReply}},
        {Function::SrvTypeRqst, "", "lab", "", true, {0, kNoReply}},
        {Function::SrvTypeRqst, "", "DEFAULT", "", true, {kType, kOk}},
        {Function::SrvRqst, "service:service-agent", "", "", true, {kSA, kOk}},
        {Function::SrvRqst, "service:service-agent", "LAB", "", true, {kSA, kOk}},
        {Function::SrvRqst, "service:service-agent", "other", "", true, {0, kNoReply}},
        {Function::SrvRqst, "service:service-agent", "other", "", false, {kRply, kScopeNotSupported}},
        {Function::SrvRqst, "service:service-agent", "", "192.0.2.1", true, {0, kNoReply}},
        {Function::SrvRqst, "service:directory-agent", "", "", false, {0, kNoReply}},
    };
    for (const auto &c : cases) {
        Bytes m = request(c.fn, c.what, c.scopes, c.mcast, c.pr);
        EXPECT_EQ(outcomeOf(handleMessage(&registry, m.data(), m.size(), 0, options).reply), c.expected)
            << int(c.fn) << " " << c.what << " in " << c.scopes << " pr " << c.pr << " mcast " << c.mcast;
    }
    // Arriving on a group counts as multicast, whatever the flags say.
    options.viaMulticast = true;
    Bytes m = request(Function::SrvRqst, "service:none", "DEFAULT", false);
    EXPECT_TRUE(handleMessage(&registry, m.data(), m.size(), 0, options).reply.empty());
    // Stations on the LAN may not change what this host registered.
    options.viaMulticast = false;
    options.local = false;
    slpv2::Header h;
    h.language = "en";
    ASSERT_TRUE(slpv2::encodeSrvDeReg(h, {"DEFAULT", {0, kWbemUrl}, ""}, &m));
    EXPECT_EQ(outcomeOf(handleMessage(&registry, m.data(), m.size(), 0, options).reply),
              std::make_pair(5, uint16_t{kMessageNotSupported}));
    EXPECT_EQ(registry.entries.size(), 1u);
}

TEST(AgentNetworkTest, SAAdvertNamesTheAddressTheRequestCameIn) {
    Registry registry;
    HandlerOptions options;
    options.scopes = "DEFAULT,lab";
    options.saAttributes = "(role=switch)";
    for (const auto &[received, url] : {std::pair{"192.0.2.1", "service:service-agent://192.0.2.1"},
                                        std::pair{"fd00:5a::1", "service:service-agent://[fd00:5a::1]"}}) {
        options.receivedOn = received;
        Bytes m = request(Function::SrvRqst, "service:service-agent", "DEFAULT", true);
        Bytes reply = handleMessage(&registry, m.data(), m.size(), 0, options).reply;
        slpv2::Header h;
        slpv2::SAAdvert advert;
        ASSERT_EQ(slpv2::decodeSAAdvert(reply.data(), reply.size(), &h, &advert), DecodeStatus::Ok);
        EXPECT_EQ(h.xid, 77);
        EXPECT_EQ(h.language, "en");
        EXPECT_EQ(advert.url, url);
        EXPECT_EQ(advert.scopes, "DEFAULT,lab");
        EXPECT_EQ(advert.attributes, "(role=switch)");
    }
}

TEST(AgentNetworkTest, DatagramRepliesGoWholeWithOverflowAndAreCutOnlyPastTheUdpMaximum) {
    const struct {
        size_t count;  // URLs of 100 bytes each
        size_t mtu;    // 0 = TCP
        bool overflow;
        bool complete;
    } cases[] = {{10, kDatagramMtu, false, true},
                 {100, kDatagramMtu, true, true},
                 {100, 0, false, true},
                 {1000, kDatagramMtu, true, false},
                 {1000, 0, false, true}};
    for (const auto &c : cases) {
        Registry registry;
        for (size_t i = 0; i < c.count; ++i) {
            std::string host = std::to_string(1000 + i);
            storeRegistration(&registry, registration("service:big://" + host + std::string(100 - 18, 'h')));
        }
        HandlerOptions options;
        options.datagramMtu = c.mtu;
        Bytes m = request(Function::SrvRqst, "service:big", "DEFAULT", false);
        Bytes reply = handleMessage(&registry, m.data(), m.size(), 0, options).reply;
        slpv2::Header h;
        slpv2::SrvRply body;
        ASSERT_EQ(slpv2::decodeSrvRply(reply.data(), reply.size(), &h, &body), DecodeStatus::Ok) << c.count;
        EXPECT_EQ(h.length, reply.size());
        EXPECT_EQ((h.flags & slpv2::kFlagOverflow) != 0, c.overflow) << c.count << " mtu " << c.mtu;
        EXPECT_EQ(body.urls.size() == c.count, c.complete) << c.count << " mtu " << c.mtu;
        EXPECT_LE(reply.size(), c.mtu != 0 ? kMaxDatagram : SIZE_MAX);
        EXPECT_GT(reply.size() + 106, c.complete ? 0 : kMaxDatagram);  // as many whole entries as fit
    }
}

TEST(AgentNetworkTest, StateSurvivesAnyBytesAndTheClockOfAnotherBoot) {
    Registry registry;
    Registration odd = registration("service:x://h/a b\n%", 600);
    odd.attributes = std::string("(a=\0\n\r x\xff),end", 14);
    odd.scopes = "DEFAULT, lab";
    odd.processId = 4242;
    storeRegistration(&registry, odd);
    storeRegistration(&registry, registration(kWbemUrl));
    storeRegistration(&registry, registration("service:gone://h", 30));
    // Written at monotonic 0, wall 1e12; read 60 s later on a boot whose monotonic clock is 5e6.
    const std::string text = serializeState(registry, 0, 1000000000000);
    Registry loaded;
    std::string error;
    ASSERT_TRUE(parseState(text, 5000000, 1000000060000, &loaded, &error)) << error;
    ASSERT_EQ(loaded.entries.size(), 2u);
    const Registration &r = loaded.entries.at(registryKey(odd.url, "en"));
    EXPECT_EQ(r.attributes, odd.attributes);
    EXPECT_EQ(r.scopes, odd.scopes);
    EXPECT_EQ(r.processId, 4242u);
    EXPECT_EQ(remainingLifetime(r, 5000000), 540);
    EXPECT_TRUE(loaded.entries.at(registryKey(kWbemUrl, "en")).permanent);

    size_t firstLine = text.find('\n') + 1;
    const std::string damaged[] = {"",
                                   text.substr(0, text.size() - 4),
                                   text + "reg\n",
                                   text.substr(0, firstLine) + "reg 1 0 0 0 xzz x x x x\n" + text.substr(firstLine),
                                   text.substr(0, firstLine) + "reg 0 0 0 0 x61 x x x x\n" + text.substr(firstLine),
                                   text.substr(0, firstLine) + "reg 1 0 0 0 x61 x x x\n" + text.substr(firstLine),
                                   "slp-agent-state 2\nend\n"};
    for (const std::string &t : damaged) {
        EXPECT_FALSE(parseState(t, 0, 0, &loaded, &error)) << t;
        EXPECT_TRUE(loaded.entries.empty());
    }
}

// A SrvReg or SrvRqst over one TCP connection; the reply, empty when none came.
Bytes exchange(uint16_t port, const Bytes &message) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    Bytes reply(65536);
    ssize_t n = -1;
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        send(fd, message.data(), message.size(), MSG_NOSIGNAL) == ssize_t(message.size())) {
        timeval timeout{5, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        n = recv(fd, reply.data(), reply.size(), 0);
    }
    close(fd);
    reply.resize(n > 0 ? size_t(n) : 0);
    return reply;
}

Bytes srvReg(const std::string &url, uint16_t lifetime, uint32_t pid) {
    slpv2::Header h;
    h.flags = slpv2::kFlagFresh;
    h.language = "en";
    Bytes out;
    EXPECT_TRUE(slpv2::encodeSrvReg(h, {{lifetime, url}, "service:t", "DEFAULT", "(a=1)", pid != 0, pid}, &out));
    return out;
}

long lineCount(const std::string &path) {
    std::ifstream in(path);
    return std::count(std::istreambuf_iterator<char>(in), {}, '\n');
}

TEST(AgentNetworkTest, KilledAgentComesBackWithWhatItHeldFromItsStateFile) {
    char folder[] = "/tmp/slp-agent-state.XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    chmod(folder, 0777);  // started as root, the agent writes as nobody
    const std::string path = std::string(folder) + "/state";
    pid_t exited = fork();
    if (exited == 0) _exit(0);
    waitpid(exited, nullptr, 0);
    // Properties come from the -c file; loopback is listed as an interface and still served.
    const std::string config = std::string(folder) + "/slp.conf";
    std::ofstream(config) << "net.slp.useScopes = DEFAULT, lab\nnet.slp.SAAttributes = (role=switch)\n";
    agentchild::AgentChild agent(SLP_AGENT_PATH, {"--state", path, "-c", config, "--interfaces", "127.0.0.1"});
    ASSERT_TRUE(agent.start()) << agent.output();
    Bytes advert = exchange(agent.port(), request(Function::SrvRqst, "service:service-agent", "lab", false));
    slpv2::SAAdvert sa;
    slpv2::Header h;
    ASSERT_EQ(slpv2::decodeSAAdvert(advert.data(), advert.size(), &h, &sa), DecodeStatus::Ok);
    EXPECT_EQ(sa.scopes + " " + sa.attributes, "DEFAULT, lab (role=switch)");
    const std::pair<std::string, uint32_t> held[] = {{"service:t://kept-no-pid", 0},
                                                     {"service:t://kept-live-pid", uint32_t(getpid())},
                                                     {"service:t://gone", uint32_t(exited)}};
    for (const auto &[url, pid] : held) ASSERT_EQ(outcomeOf(exchange(agent.port(), srvReg(url, 600, pid))).second, kOk);
    // Written within 100 ms of the last change.
    for (int i = 0; i < 100 && lineCount(path) < 5; ++i) usleep(20 * 1000);
    kill(agent.pid(), SIGKILL);
    agent.stop();
    ASSERT_TRUE(agent.start(agent.port())) << agent.output();
    Bytes reply = exchange(agent.port(), request(Function::SrvRqst, "service:t", "DEFAULT", false));
    slpv2::SrvRply body;
    ASSERT_EQ(slpv2::decodeSrvRply(reply.data(), reply.size(), &h, &body), DecodeStatus::Ok);
    std::vector<std::string> urls;
    for (const slpv2::UrlEntry &e : body.urls) urls.push_back(e.url);
    EXPECT_EQ(urls, (std::vector<std::string>{"service:t://kept-live-pid", "service:t://kept-no-pid"}));

    agent.stop();
    std::FILE *f = std::fopen(path.c_str(), "w");
    std::fputs("slp-agent-state 1\nreg 600", f);
    std::fclose(f);
    ASSERT_TRUE(agent.start(agent.port())) << agent.output();
    EXPECT_NE(agent.output().find("starting empty"), std::string::npos) << agent.output();
    reply = exchange(agent.port(), request(Function::SrvRqst, "service:t", "DEFAULT", false));
    ASSERT_EQ(slpv2::decodeSrvRply(reply.data(), reply.size(), &h, &body), DecodeStatus::Ok);
    EXPECT_TRUE(body.urls.empty());
    agent.stop();
    std::remove(path.c_str());
    std::remove(config.c_str());
    rmdir(folder);
}

}  // namespace
}  // namespace slpagent
