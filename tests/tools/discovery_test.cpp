// Tests of orvad-discover's attribute fetching: which agent is asked for which URL, in order.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "discovery.h"

namespace {

const std::string kWbemLinkLocal = "service:wbem:https://[fe80::1]:5989";
const std::string kIoV4 = "service:io-device.3873:59://192.0.2.1";
const std::string kIoLinkLocal = "service:io-device.3873:59://fe80::1";
const std::string kWbemNamed = "service:wbem:https://switch.example:5989";
const std::string kWbemEmpty = "service:wbem:https://198.51.100.9:5989";

// A network of agents: what each reachable host holds, and what multicast finds. Every
// request is logged as "u HOST URL" or "m URL".
struct FakeNetwork {
    std::map<std::string, std::map<std::string, std::string>> agents;
    std::set<std::string> unreachable;
    std::map<std::string, std::string> multicast;
    int multicastError = 0;
    std::vector<std::string> log;

    AttributeSource source(bool unicastAllowed) {
        AttributeSource s;
        s.unicastAllowed = unicastAllowed;
        s.unicast = [this](const std::string &host, const std::string &url, std::string *attributes) {
            log.push_back("u " + host + " " + url);
            if (unreachable.count(host)) return UnicastAnswer::Failed;
            auto found = agents[host].find(url);
            if (found == agents[host].end()) return UnicastAnswer::Nothing;
            *attributes = found->second;
            return UnicastAnswer::Found;
        };
        s.fallback = [this](const std::string &url, std::string *attributes) {
            log.push_back("m " + url);
            *attributes = multicast[url];
            return multicastError;
        };
        return s;
    }
};

const std::string kIoAttributes = "(serial-number=S1),(ipv4-addresses=192.0.2.1),(ipv6-addresses=FE80:0::1)";

FakeNetwork switchNetwork() {
    FakeNetwork net;
    net.agents["192.0.2.1"] = {{kWbemLinkLocal, "(service-id=W1)"}, {kIoV4, kIoAttributes}, {kIoLinkLocal, kIoAttributes}};
    net.unreachable = {"fe80::1"};
    net.multicast = {{kWbemNamed, "(service-id=W2)"}, {kWbemEmpty, "(service-id=W3)"}};
    return net;
}

const std::vector<std::string> kUrls = {kWbemLinkLocal, kIoV4, kIoLinkLocal, kWbemNamed, kWbemEmpty};

TEST(FetchAttributes, OwnHostThenAnotherAddressOfTheSwitchThenMulticast) {
    FakeNetwork net = switchNetwork();
    std::vector<FoundRecord> records;
    std::string failed;
    ASSERT_EQ(fetchAttributes(kUrls, net.source(true), &records, &failed), 0);
    // Each URL at its own host first, all together; the silent link-local host is not asked
    // again: its URLs reach the switch's agent at the address its io-device record claims; a
    // host name and an agent without the URL go to multicast.
    const std::vector<std::string> expectedLog = {
        "u fe80::1 " + kWbemLinkLocal,   "u 192.0.2.1 " + kIoV4,           "u fe80::1 " + kIoLinkLocal,
        "u 198.51.100.9 " + kWbemEmpty, "u 192.0.2.1 " + kWbemLinkLocal, "u 192.0.2.1 " + kIoLinkLocal,
        "m " + kWbemNamed,               "m " + kWbemEmpty};
    EXPECT_EQ(net.log, expectedLog);
    std::vector<std::string> found;
    for (const FoundRecord &r : records) found.push_back(r.url + " " + r.attributes);
    EXPECT_EQ(found, (std::vector<std::string>{kWbemLinkLocal + " (service-id=W1)", kIoV4 + " " + kIoAttributes,
                                               kIoLinkLocal + " " + kIoAttributes, kWbemNamed + " (service-id=W2)",
                                               kWbemEmpty + " (service-id=W3)"}));
}

TEST(FetchAttributes, OneAgentOnlyAndTheFirstErrorIsReported) {
    FakeNetwork net = switchNetwork();
    net.multicastError = -19;
    std::vector<FoundRecord> records;
    std::string failed;
    EXPECT_EQ(fetchAttributes(kUrls, net.source(false), &records, &failed), -19);
    EXPECT_EQ(failed, kWbemLinkLocal);
    EXPECT_EQ(net.log.size(), kUrls.size());
    for (const std::string &line : net.log) EXPECT_EQ(line.rfind("m ", 0), 0u) << line;
    EXPECT_TRUE(records.empty());
}

}  // namespace
