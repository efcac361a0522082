// A fault soak of the real orvad: for a while (ORVAD_SOAK_SECONDS, default 60) the switch
// state, the SLP agent and the key tool misbehave at random — batch failures, values that
// cannot be read, interfaces and CIM switched, addresses coming and going, the agent killed
// and restarted, storms of edits, the key tool missing or printing garbage. Then the faults
// stop, and within a pass plus the debounce the agent must hold exactly what orvad-show
// derives from the final state, with the daemon's descriptors and threads back where they
// started and, where valgrind runs it, no memory lost.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <random>
#include <regex>
#include <sstream>

#include "agent_child.h"
#include "harness.h"

namespace e2e {
namespace {

std::string fdLinks(const std::string &dir) {
    std::string out;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d)) {
            char target[256] = {};
            if (e->d_name[0] != '.' && readlink((dir + "/" + e->d_name).c_str(), target, sizeof target - 1) > 0)
                out += std::string(e->d_name) + " -> " + target + "\n";
        }
        closedir(d);
    }
    return out;
}

int countEntries(const std::string &dir) {
    int n = 0;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d)) n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

// The records orvad-show prints: a URL line, then the attribute items indented, one a line.
// They come in registration order, so a URL listed twice ends with its last attributes.
Records shownRecords(const std::string &text) {
    Records records;
    std::istringstream in(text);
    std::string url;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("  ", 0) == 0)
            records[url] += line.substr(2);
        else
            records[url = line].clear();
    }
    return records;
}

// Every line the daemon may log while the switch and the agent misbehave. An exception at
// line 0 would be a failure the daemon did not expect, and matches none of these.
const std::regex
    kKnownLine("Exception\\[CRIT\\]:orvad_thread:slpThread\\[(339|346|353|370)\\] Unable to read [a-z0-9 ]+\n"
               "|sml command='[A-Za-z0-9.]+', smlerror=0x[0-9a-f]+\n"
               "|SLP: kesh_smlGetBatch failed for (chassis block|services block|network block\\d?, [01], \\d+)\n"
               "|SLP: Callback Code = -?\\d+\n"
               "|Unable to deregister slpd with serviceURL=service:[^\n]+\n");

class SoakTest : public ::testing::Test {
protected:
    void SetUp() override {
        log_ = std::make_unique<LogCapture>(dir_ / "log");
        ASSERT_TRUE(agent_.start()) << agent_.output();
        std::ofstream(dir_ / "slp.conf") << "net.slp.port = " << agent_.port() << "\n";
        setKeyTool(kGoodFingerprint);
    }

    void setKeyTool(const std::string &output) {
        if (output.empty())
            std::remove(keyTool().c_str());
        else
            std::ofstream(keyTool()) << output;
    }
    std::string keyTool() { return dir_ / "keygen.out"; }

    std::map<std::string, std::string> environment() {
        return {{"OpenSLPConfig", dir_ / "slp.conf"}, {"KESH_STATE", state_.path()}, {"FAKE_KEYGEN_FILE", keyTool()}};
    }

    Records expected() {
        Process show({ORVAD_SHOW_PATH}, environmentWith(environment(), {"FAKE_KEYGEN_OUTPUT"}), dir_.path(), "show");
        EXPECT_EQ(show.wait(Seconds(60)), 0) << show.err();
        return shownRecords(show.out());
    }

    Records held() { return agentRecords(SLP_QUERY_PATH, agent_.port(), dir_.path()); }

    const std::string kGoodFingerprint = "2048 01:23:45:67:89:ab:cd:ef:01:23:45:67:89:ab:cd:ef k (RSA)\n";
    TempDir dir_;
    std::unique_ptr<LogCapture> log_;
    agentchild::AgentChild agent_{SLP_AGENT_PATH};
    SwitchState state_{dir_ / "switch.state", DEV_SWITCH_STATE};
};

TEST_F(SoakTest, AdvertisesTheTruthOnceFaultsStop) {
    const char *secondsText = getenv("ORVAD_SOAK_SECONDS");
    const double seconds = secondsText != nullptr ? atof(secondsText) : 60;
    const char *seedText = getenv("ORVAD_SOAK_SEED");
    const unsigned seed = seedText != nullptr ? static_cast<unsigned>(atol(seedText)) : std::random_device{}();
    std::printf("soak: %.0f s of faults, ORVAD_SOAK_SEED=%u\n", seconds, seed);
    std::mt19937 random(seed);
    auto chance = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); };

    std::vector<std::string> argv{RUN_ISOLATED, dir_ / "log"};
    const std::string valgrindLog = dir_ / "valgrind.log";
    if (std::string(VALGRIND_PATH) != "") {
        argv.insert(argv.end(), {VALGRIND_PATH, "--quiet", "--leak-check=full", "--log-file=" + valgrindLog});
    }
    argv.push_back(ORVAD_PATH);
    state_.write();
    Process orvad(argv, environmentWith(environment(), {"FAKE_KEYGEN_OUTPUT"}), dir_.path(), "orvad");
    const Records first = expected();
    ASSERT_TRUE(waitUntil([&] { return held() == first; }, Seconds(120))) << agent_.output();
    const std::string proc = "/proc/" + std::to_string(orvad.pid());
    const int fds = countEntries(proc + "/fd"), threads = countEntries(proc + "/task");
    const std::string fdsAtStart = fdLinks(proc + "/fd");
    const size_t loggedAtStart = log_->size();

    // Faults, one every 0.1 to 1.5 s.
    const std::vector<std::string> values = {"Config.Mfg.BrandName",
                                             "Oper.Switch.WWN",
                                             "Config.Services.SSHEnable",
                                             "Config.System.Eth.0.IPAddress",
                                             "Oper.System.Eth.1.IPv6AddressList",
                                             "Config.Mfg.Mac1",
                                             "Oper.Mfg.UUID",
                                             "Config.Snmp.EngineID"};
    // Address lists per interface, never sharing an address: a URL that moves from interface
    // 1 to interface 0 is deregistered by the same pass that registers it (interface 1's stale
    // check comes last) and stays away until the next pass.
    const std::vector<std::string> ipv6Choices[2] = {
        {"", "2001:db8::10", "2001:db8::10,fd00::10", "fd00::90,2001:db8::10", "fd00::10,,fd00::20"},
        {"2001:db8::11", "2001:db8::11,fd00::11", "fd00::91,2001:db8::11", "fd00::11,fd00::21"}};
    std::string status;
    int round = 0;
    for (const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(Seconds(seconds));
         Clock::now() < end; round++) {
        switch (chance(9)) {
        case 0:
            state_.add("!fail-batch " + std::to_string(1 + chance(3)));
            break;
        case 1:
            if (!status.empty()) state_.remove(status);
            status = chance(3) ? "!status " + values[chance(values.size())] + " 0x1f" : "";
            if (!status.empty()) state_.add(status);
            break;
        case 2:
            state_.set("Config.System.Eth." + std::to_string(chance(2)) + ".Enable", chance(2) ? "True" : "False");
            break;
        case 3:
            state_.set("Config.Services.CIMEnable", chance(2) ? "True" : "False");
            break;
        case 4: {
            const int eth = chance(2);
            state_.set("Oper.System.Eth." + std::to_string(eth) + ".IPv6AddressList",
                       ipv6Choices[eth][chance(ipv6Choices[eth].size())]);
            break;
        }
        case 5:
            agent_.stop();
            ASSERT_TRUE(agent_.start(agent_.port())) << agent_.output();
            break;
        case 6:  // a storm of edits
            for (int i = 0; i < 50; i++) state_.set("Config.Switch.SoakRound", std::to_string(round * 100 + i)).write();
            break;
        case 7:
            setKeyTool(chance(3) == 0 ? "" : chance(2) ? "garbage\x01\xff" : kGoodFingerprint);
            break;
        default:
            state_.set("Config.Services.TelnetEnable", chance(2) ? "True" : "False");
            break;
        }
        state_.write();
        std::this_thread::sleep_for(std::chrono::milliseconds(100 + chance(1400)));
    }

    // The faults stop. The switch settles in the state the last faults left, every value
    // readable and both interfaces on, and an edit announces it.
    for (const char *line : {"!fail-batch 1", "!fail-batch 2", "!fail-batch 3"}) state_.remove(line);
    if (!status.empty()) state_.remove(status);
    state_.set("Config.System.Eth.0.Enable", "True").set("Config.System.Eth.1.Enable", "True");
    state_.set("Config.Switch.SoakRound", "settled").write();
    const Clock::time_point settled = Clock::now();
    const Records truth = expected();
    EXPECT_TRUE(waitUntil([&] { return held() == truth; }, Seconds(45)))
        << "after " << round << " faults the agent does not hold what the switch implies";
    std::printf("soak: %d faults; the agent held the truth %.1f s after they stopped\n", round,
                Seconds(Clock::now() - settled).count());

    for (const LogLine &line : log_->lines())
        EXPECT_TRUE(std::regex_match(line.text, kKnownLine)) << "unexpected log line: " << line.text;

    // Once the last debounce thread is gone, the daemon holds what it held after its first pass.
    std::this_thread::sleep_until(settled + std::chrono::seconds(12));
    // syslog(3) keeps its connection to /dev/log from its first message on.
    const int syslogConnection = loggedAtStart == 0 && log_->size() > 0 ? 1 : 0;
    EXPECT_EQ(countEntries(proc + "/fd"), fds + syslogConnection) << fdsAtStart << "now:\n" << fdLinks(proc + "/fd");
    EXPECT_EQ(held(), truth);
    EXPECT_EQ(countEntries(proc + "/task"), threads);

    kill(orvad.pid(), SIGTERM);
    orvad.wait(Seconds(60));
    for (const char *report : {"ERROR: AddressSanitizer", "runtime error:", "WARNING: ThreadSanitizer"})
        EXPECT_EQ(orvad.err().find(report), std::string::npos) << orvad.err();
    if (std::string(VALGRIND_PATH) != "") {
        std::ifstream in(valgrindLog);
        const std::string report((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        for (const char *lost :
             {"definitely lost", "indirectly lost", "Invalid read", "Invalid write", "uninitialised"})
            EXPECT_EQ(report.find(lost), std::string::npos) << report;
    }
}

}  // namespace
}  // namespace e2e
