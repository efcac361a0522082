// The real orvad with the stand-in switch (sim/kesh), our libslp and slp-agent on a free
// loopback port. Each test checks what the agent holds (URLs and attribute lists, exactly)
// and what the daemon sent to syslog, captured through a private /dev/log (tools/run-isolated).
// Expected records are written out from the values of sim/kesh/dev-switch.state.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <thread>
#include <string>
#include <utility>
#include <vector>

#include "agent_child.h"
#include "harness.h"

namespace e2e {
namespace {

constexpr int kCrit = 8 + 2;  // facility user, severity critical
const Seconds kPassTimeout(45);

using Logged = std::vector<std::pair<int, std::string>>;

// --- what the development switch advertises ------------------------------------------------

struct Interface {
    std::string mac, ipv4;
    std::vector<std::string> ipv6;
};
const Interface kEth0{"00:00:5E:00:53:0A", "192.0.2.10", {"2001:db8::10", "fd00::10"}};
const Interface kEth1{"00:00:5E:00:53:0B", "192.0.2.11", {"2001:db8::11", "fd00::11"}};

const std::string kWbemCommon =
    "(template-type=wbem),(template-version=1.0),"
    "(template-description=This template describes the attributes used for advertising WBEM Servers),"
    "(service-hi-name=Orva DevSwitch 59 CIMAgent),(service-hi-description=Embedded CIMAgent),"
    "(service-id=10:00:00:00:5E:00:53:AB),(CommunicationMechanism=CIM-XML),(InteropSchemaNamespace=root/interop),"
    "(ProtocolVersion=1.1),"
    "(FunctionalProfilesSupported=Basic Read,Basic Write,Instance Manipulation,Association Traversal,Indications),"
    "(MultipleOperationsSupported=false),(AuthenticationMechanismsSupported=Basic),(Namespace=root/interop),"
    "(ClassInfo=CIM 2.15),(RegisteredProfilesSupported=SNIA:Server,SNIA:Switch,SNIA:Fabric,DMTF:Record Log),";
const std::string kProtocols = "https:443:true,http:80:true,cli:23:false,seccli:22:true,snmpv3:161:true";

std::vector<std::string> addresses(const Interface &eth) {
    std::vector<std::string> all{eth.ipv4};
    all.insert(all.end(), eth.ipv6.begin(), eth.ipv6.end());
    return all;
}

std::string wbemUrl(const std::string &address) {
    bool v6 = address.find(':') != std::string::npos;
    return "service:wbem:https://" + (v6 ? "[" + address + "]" : address) + ":5989";
}

Records wbemRecords(const Interface &eth) {
    Records records;
    for (const std::string &address : addresses(eth)) {
        const std::string url = wbemUrl(address), location = url.substr(std::string("service:wbem:").size());
        records[url] = kWbemCommon + "(template-url-syntax=(" + location + "),(service-location-tcp=(" + location + ")";
    }
    return records;
}

Records ioRecords(const Interface &eth) {
    std::string v6List;
    for (const std::string &address : eth.ipv6) v6List += (v6List.empty() ? "" : ",") + address;
    const std::string attributes =
        "(Type=switch),(data_protocols=fc),(level=1),(serial-number=DEV0059A123),(Fru=FRU-0059-01),"
        "(partnumber=60-1000059-01),(Uuid=5d1c0b4e-59a0-4c3b-9e7f-0a1b2c3d4e59),(mac-address=" +
        eth.mac + "),(sysoid=1.3.6.1.4.1.32473.1.59),(hostingdevice-uid=unknown),(ipv4-enabled=true),(ipv4-addresses=" +
        eth.ipv4 + "),(ipv4-mgmt-protocols=" + kProtocols + "),(ipv6-enabled=true),(ipv6-addresses=" + v6List +
        "),(ipv6-mgmt-protocols=" + kProtocols +
        "),(snmp-engineid=80:00:7e:d9:03:00:00:5e:00:53:0a),"
        "(ssh-fingerprint=25:54:3d:9f:16:2b:cd:a8:29:7d:be:b9:9c:60:a8:a6),(deviceName=dev-switch-59)";
    Records records;
    for (const std::string &address : addresses(eth)) records["service:io-device.3873:59://" + address] = attributes;
    return records;
}

Records merged(std::initializer_list<Records> parts) {
    Records all;
    for (const Records &part : parts) all.insert(part.begin(), part.end());
    return all;
}

Records product59(const Interface &eth0 = kEth0, const Interface &eth1 = kEth1) {
    return merged({wbemRecords(eth0), ioRecords(eth0), wbemRecords(eth1), ioRecords(eth1)});
}

// --- fixture ---------------------------------------------------------------------------------

class OrvadTest : public ::testing::Test {
protected:
    void SetUp() override {
        log_ = std::make_unique<LogCapture>(dir_ / "log");
        Process probe({RUN_ISOLATED, dir_ / "log", "/bin/true"}, environmentWith({}, {}), dir_.path(), "probe");
        ASSERT_EQ(probe.wait(Seconds(20)), 0) << "needs root or user namespaces: " << probe.err();
        ASSERT_TRUE(agent_.start()) << agent_.output();
        std::ofstream(dir_ / "slp.conf") << "net.slp.port = " << agent_.port() << "\n";
    }

    void TearDown() override {
        if (daemon_) {
            daemon_->kill();
            EXPECT_EQ(daemon_->out(), "") << "the daemon writes nothing to stdout";
            EXPECT_EQ(daemon_->err(), "") << "the daemon writes nothing to stderr";
        }
        const bool detached = killProcessesWithEnv("ORVAD_E2E_RUN", dir_.path()) > 0;
        EXPECT_EQ(detached, expectDetached_) << "a detached daemon was (not) left to clean up";
        for (const LogLine &line : log_->lines()) EXPECT_EQ(line.tag, "orvad") << line.text;
    }

    // Starts orvad with `args` under tools/run-isolated, by name from its folder as a user
    // would, on the state file (or the built-in switch), pointed at the agent through an
    // OpenSLP-style configuration file.
    std::unique_ptr<Process> run(const std::vector<std::string> &args, bool builtinSwitch = false) {
        std::vector<std::string> argv{RUN_ISOLATED, dir_ / "log", "orvad"};
        argv.insert(argv.end(), args.begin(), args.end());
        const std::string program = ORVAD_PATH,
                          path = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "/usr/bin:/bin";
        std::map<std::string, std::string> env{{"OpenSLPConfig", dir_ / "slp.conf"},
                                               {"ORVAD_E2E_RUN", dir_.path()},
                                               {"PATH", program.substr(0, program.rfind('/')) + ":" + path}};
        if (!builtinSwitch) env["KESH_STATE"] = state_.path();
        return std::make_unique<Process>(argv, environmentWith(env, {"KESH_STATE"}), dir_.path(), "orvad");
    }

    void startDaemon() {
        state_.write();
        daemon_ = run({});
    }

    // Agent lines so far; marks for the waits below.
    size_t agentMark() { return lineCount(agent_.output()); }
    std::vector<std::string> agentLines(size_t mark, const std::string &prefix) {
        return linesWithPrefix(agent_.output(), mark, prefix);
    }
    // Waits for `count` registrations after `mark`: a pass that registers them has ended.
    bool waitForRegistrations(size_t mark, size_t count) {
        return waitUntil([&] { return agentLines(mark, "registered ").size() >= count; }, kPassTimeout);
    }

    Records held() { return agentRecords(SLP_QUERY_PATH, agent_.port(), dir_.path()); }

    Logged logged(size_t from) {
        Logged result;
        for (const LogLine &line : log_->lines(from)) result.emplace_back(line.priority, line.text);
        return result;
    }

    // Waits for the lines of one failed pass, `expected`, after `from`; checks them and that
    // they came about ten seconds after `previous` (the last line of the failed pass before).
    void expectFailedPass(size_t from, const Logged &expected, Clock::time_point previous) {
        ASSERT_TRUE(log_->waitForCount(from + expected.size(), kPassTimeout)) << "log so far: " << log_->size();
        EXPECT_EQ(logged(from), expected);
        Seconds gap = log_->lines(from).back().received - previous;
        EXPECT_GE(gap.count(), 9.0) << "a failed pass is retried ten seconds later, not sooner";
        EXPECT_LE(gap.count(), 20.0) << "a failed pass is retried ten seconds later";
    }

    TempDir dir_;
    std::unique_ptr<LogCapture> log_;
    agentchild::AgentChild agent_{SLP_AGENT_PATH};
    SwitchState state_{dir_ / "switch.state", DEV_SWITCH_STATE};
    std::unique_ptr<Process> daemon_;
    bool expectDetached_ = false;
};

// --- command line ----------------------------------------------------------------------------

TEST_F(OrvadTest, CommandLineUsageAndExitStatus) {
    const std::string usage = "orvad [options]\n"
                              "\n"
                              " -d, --daemon              run in the background\n"
                              " -h, --help                display this message (and exit)\n"
                              "\n";
    const struct {
        std::vector<std::string> args;
        int status;
        std::string err;
    } cases[] = {
        {{"-h"}, 0, usage},
        {{"--help"}, 0, usage},
        {{"-d", "-h"}, 0, usage},  // daemonising comes after parsing: the usage still reaches us
        {{"-x"}, 255, "orvad: invalid option -- 'x'\n" + usage},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : ""));
        std::unique_ptr<Process> orvad = run(c.args);
        EXPECT_EQ(orvad->wait(Seconds(20)), c.status);
        EXPECT_EQ(orvad->err(), c.err);
        EXPECT_EQ(orvad->out(), "");
    }
    EXPECT_EQ(log_->size(), 0u);
    EXPECT_EQ(agentLines(0, "registered ").size(), 0u);
}

TEST_F(OrvadTest, DetachesAndAdvertisesTheBuiltinSwitch) {
    std::unique_ptr<Process> orvad = run({"-d"}, true);
    EXPECT_EQ(orvad->wait(Seconds(20)), 0) << "the foreground process returns once the daemon has detached";
    ASSERT_TRUE(waitForRegistrations(0, 12)) << agent_.output();
    EXPECT_EQ(held(), product59());
    EXPECT_EQ(orvad->out() + orvad->err(), "");
    EXPECT_EQ(logged(0), Logged{});
    expectDetached_ = true;
}

// --- first pass ------------------------------------------------------------------------------

TEST_F(OrvadTest, OtherProductAdvertisesInterface0WbemOnly) {
    // Neither the UUID nor interface 1 may be read for this product: both would fail the pass.
    state_.set("Default.Mfg.ProductID", "42")
        .set("Config.System.Eth.1.Enable", "False")
        .add("!status Oper.Mfg.UUID 0x1f");
    startDaemon();
    ASSERT_TRUE(waitForRegistrations(0, 3)) << agent_.output();
    std::this_thread::sleep_for(std::chrono::seconds(1));  // nothing else may follow
    EXPECT_EQ(held(), wbemRecords(kEth0));
    EXPECT_EQ(agentLines(0, "registered ").size(), 3u);
    EXPECT_EQ(logged(0), Logged{});
}

TEST_F(OrvadTest, RetriesRefusedConnectionsEveryTenSeconds) {
    state_.add("!refuse-connect 2");
    startDaemon();
    const Logged refused{{kCrit, "keshlib connection failed: 5 : retrying in 10 seconds...\n"}};
    ASSERT_TRUE(log_->waitForCount(1, Seconds(20)));
    EXPECT_EQ(logged(0), refused);
    expectFailedPass(1, refused, log_->lines()[0].received);
    ASSERT_TRUE(waitForRegistrations(0, 12)) << agent_.output();
    EXPECT_EQ(held(), product59());
    EXPECT_EQ(log_->size(), 2u);
}

// --- changes while running -------------------------------------------------------------------

TEST_F(OrvadTest, FollowsServiceAndAddressChangesAndAnAgentRestart) {
    startDaemon();
    ASSERT_TRUE(waitForRegistrations(0, 12)) << agent_.output();
    EXPECT_EQ(held(), product59());

    // CIM off: the WBEM URLs go ten seconds later. The builder withdraws them, then the
    // pass's own stale check asks again and the agent refuses the unknown URLs.
    size_t mark = agentMark(), logMark = log_->size();
    Clock::time_point edited = Clock::now();
    state_.set("Config.Services.CIMEnable", "False").write();
    ASSERT_TRUE(waitForRegistrations(mark, 6)) << agent_.output();
    EXPECT_GE(Seconds(Clock::now() - edited).count(), 9.0) << "changes are taken ten seconds after the event";
    EXPECT_EQ(held(), merged({ioRecords(kEth0), ioRecords(kEth1)}));
    EXPECT_EQ(agentLines(mark, "deregistered ").size(), 6u);
    Logged refusedTwice;
    for (const Interface *eth : {&kEth0, &kEth1}) {
        for (const std::string &address : addresses(*eth)) {
            refusedTwice.emplace_back(kCrit, "SLP: Callback Code = -3\n");
            refusedTwice.emplace_back(kCrit, "Unable to deregister slpd with serviceURL=" + wbemUrl(address) + "\n");
        }
    }
    ASSERT_TRUE(log_->waitForCount(logMark + refusedTwice.size(), Seconds(5)));
    EXPECT_EQ(logged(logMark), refusedTwice);

    // CIM on again: everything is back.
    mark = agentMark(), logMark = log_->size();
    state_.set("Config.Services.CIMEnable", "True").write();
    ASSERT_TRUE(waitForRegistrations(mark, 12)) << agent_.output();
    EXPECT_EQ(held(), product59());

    // An IPv6 address of interface 1 removed: its two URLs go, the rest stays.
    mark = agentMark();
    state_.set("Oper.System.Eth.1.IPv6AddressList", "2001:db8::11").write();
    ASSERT_TRUE(waitForRegistrations(mark, 10)) << agent_.output();
    const Interface eth1Less{kEth1.mac, kEth1.ipv4, {"2001:db8::11"}};
    EXPECT_EQ(held(), product59(kEth0, eth1Less));
    EXPECT_EQ(agentLines(mark, "deregistered "),
              (std::vector<std::string>{"deregistered " + wbemUrl("fd00::11"),
                                        "deregistered service:io-device.3873:59://fd00::11"}));

    // The agent restarts empty: the next pass, after any event, registers everything again.
    agent_.stop();
    ASSERT_TRUE(agent_.start(agent_.port())) << agent_.output();
    EXPECT_EQ(held(), Records{});
    state_.set("Oper.E2e.Touched", "1").write();
    ASSERT_TRUE(waitForRegistrations(0, 10)) << agent_.output();
    EXPECT_EQ(held(), product59(kEth0, eth1Less));
    EXPECT_EQ(log_->size(), logMark) << "nothing is logged by passes that succeed";
}

TEST_F(OrvadTest, FailedReadsAreLoggedAndRetriedWhileRegistrationsStay) {
    startDaemon();
    ASSERT_TRUE(waitForRegistrations(0, 12)) << agent_.output();
    const size_t mark = agentMark();

    // Interface 0 switched off: the pass fails every ten seconds, nothing is withdrawn.
    state_.set("Config.System.Eth.0.Enable", "False").write();
    const Logged eth0Off{{kCrit, "Exception[CRIT]:orvad_thread:slpThread[346] Unable to read network block 0\n"}};
    ASSERT_TRUE(log_->waitForCount(1, kPassTimeout));
    EXPECT_EQ(logged(0), eth0Off);
    expectFailedPass(1, eth0Off, log_->lines()[0].received);

    // A value the switch cannot read, one reader after the other: each retry shows the new one.
    state_.set("Config.System.Eth.0.Enable", "True");
    const struct {
        std::string fault;
        Logged lines;
    } missing[] = {
        {"!status Config.Mfg.BrandName 0x1f",
         {{kCrit, "sml command='Config.Mfg.BrandName', smlerror=0x1f\n"},
          {kCrit, "SLP: kesh_smlGetBatch failed for chassis block\n"},
          {kCrit, "Exception[CRIT]:orvad_thread:slpThread[339] Unable to read chassis block\n"}}},
        {"!status Config.Services.CIMEnable 0x2a",
         {{kCrit, "sml command='Config.Services.CIMEnable', smlerror=0x2a\n"},
          {kCrit, "SLP: kesh_smlGetBatch failed for services block\n"},
          {kCrit, "Exception[CRIT]:orvad_thread:slpThread[353] Unable to read services block\n"}}},
        {"!status Oper.System.Eth.1.IPv6AddressList 0x1f",
         {{kCrit, "sml command='Oper.System.Eth.1.IPv6AddressList', smlerror=0x1f\n"},
          {kCrit, "SLP: kesh_smlGetBatch failed for network block, 1, 346\n"},
          {kCrit, "Exception[CRIT]:orvad_thread:slpThread[370] Unable to read network block 1\n"}}},
    };
    std::string previousFault;
    for (const auto &m : missing) {
        SCOPED_TRACE(m.fault);
        const size_t from = log_->size();
        // Edited right after a failed pass's last line: the retry ten seconds later sees it.
        if (!previousFault.empty()) state_.remove(previousFault);
        state_.add(m.fault).write();
        previousFault = m.fault;
        expectFailedPass(from, m.lines, log_->lines().back().received);
    }
    EXPECT_EQ(agentLines(mark, "registered ").size(), 0u);
    EXPECT_EQ(agentLines(mark, "deregistered ").size(), 0u);
    EXPECT_EQ(held(), product59()) << "a failed pass withdraws nothing";

    // The value is back: the next retry succeeds and registers everything again.
    const size_t logMark = log_->size();
    state_.remove(previousFault).write();
    ASSERT_TRUE(waitForRegistrations(mark, 12)) << agent_.output();
    EXPECT_EQ(held(), product59());
    EXPECT_EQ(agentLines(mark, "deregistered ").size(), 0u);
    EXPECT_EQ(log_->size(), logMark);
}

}  // namespace
}  // namespace e2e
