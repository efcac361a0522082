// Tests of the four kesh.h functions of the stand-in, through libkesh.so. The library keeps
// one process-wide connection; each test points KESH_STATE at a file of its own and connects.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "kesh.h"
#include "state.h"

namespace {

namespace fs = std::filesystem;
using keshsim::kNoSuchValue;

// Events as the watcher thread delivers them, with the thread each arrived on.
struct EventLog {
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<std::pair<uint32_t, std::thread::id>> events;
};
EventLog eventLog;

void recordEvent(uint32_t, uint32_t code, uint32_t) {
    std::lock_guard<std::mutex> lock(eventLog.mutex);
    eventLog.events.emplace_back(code, std::this_thread::get_id());
    eventLog.arrived.notify_all();
}

// Waits up to 3 s for `code`; returns every event recorded by then.
std::vector<std::pair<uint32_t, std::thread::id>> waitForEvent(uint32_t code) {
    std::unique_lock<std::mutex> lock(eventLog.mutex);
    eventLog.arrived.wait_for(lock, std::chrono::seconds(3), [code] {
        return std::any_of(eventLog.events.begin(), eventLog.events.end(),
                           [code](const auto &e) { return e.first == code; });
    });
    return std::exchange(eventLog.events, {});
}

const KeshEventListEntry kAllEvents[] = {{16, 0}, {69, 0}, {17, 0}, {8, 0}, {9, 0}, {31, 0}, {32, 0}, {33, 0}, {57, 0}};

// How a test rewrites the state file: truncate and write, rename a finished copy over it, or
// delete it and write a new one.
enum class How { kInPlace, kRename, kRecreate };

class KeshApi : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kesh-sim-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/switch.state";
        setenv("KESH_STATE", path_.c_str(), 1);
        std::lock_guard<std::mutex> lock(eventLog.mutex);
        eventLog.events.clear();
    }
    void TearDown() override { fs::remove_all(dir_); }

    void write(const std::string &text, How how = How::kInPlace) {
        if (how == How::kRecreate) fs::remove(path_);
        const std::string target = how == How::kRename ? path_ + ".tmp" : path_;
        std::ofstream(target, std::ios::trunc) << text;
        if (how == How::kRename) fs::rename(target, path_);
    }
    uint32_t connect() {
        uint32_t handle = 0;
        EXPECT_EQ(kesh_IPConnect("127.0.0.1", "cim", "", &handle), 0);
        EXPECT_NE(handle, 0u);
        return handle;
    }
    // Queries `names` in one batch; each entry's value starts out as stale text.
    std::vector<SmlBatchEntry> query(uint32_t handle, const std::vector<std::string> &names, int expect = 0) {
        std::vector<SmlBatchEntry> entries(names.size());
        for (size_t i = 0; i < names.size(); ++i) {
            snprintf(entries[i].name, sizeof entries[i].name, "%s", names[i].c_str());
            strcpy(entries[i].value, "stale");
        }
        EXPECT_EQ(kesh_smlGetBatch(handle, entries.data(), static_cast<uint32_t>(entries.size())), expect);
        return entries;
    }
    std::string value(uint32_t handle, const std::string &name) { return query(handle, {name})[0].value; }

    std::string dir_, path_;
};

TEST_F(KeshApi, ServesValuesAndStatusesFromTheFile) {
    write("Plain = hello\nHexStatus = hidden\n!status HexStatus 0x2a\n!status DecStatus 17\nLong = " +
          std::string(300, 'x') + "\n");
    const std::vector<std::tuple<std::string, std::string, uint32_t>> cases = {
        {"Plain", "hello", 0},  {"HexStatus", "", 0x2a}, {"DecStatus", "", 17},
        {"Missing", "", kNoSuchValue}, {"Long", std::string(255, 'x'), 0},
    };
    std::vector<std::string> names;
    for (const auto &c : cases) names.push_back(std::get<0>(c));
    const auto entries = query(connect(), names);
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(entries[i].value, std::get<1>(cases[i])) << names[i];
        EXPECT_EQ(entries[i].status, std::get<2>(cases[i])) << names[i];
    }
}

TEST_F(KeshApi, ConnectFailsWhileTheFileIsMissingOrMalformed) {
    uint32_t handle = 0;
    EXPECT_EQ(kesh_IPConnect("127.0.0.1", "cim", "", &handle), keshsim::kErrNoStateFile);
    write("A = 1\nbroken line\n");
    EXPECT_EQ(kesh_IPConnect("127.0.0.1", "cim", "", &handle), keshsim::kErrMalformedState);
    EXPECT_EQ(handle, 0u);
    write("A = 1\n");
    EXPECT_EQ(value(connect(), "A"), "1");
}

TEST_F(KeshApi, FaultCountersCountDownAndReArmOnlyWhenTheFileChanges) {
    uint32_t handle = 0;
    write("!refuse-connect 2\n!fail-batch 2\nA = 1\n");
    EXPECT_EQ(kesh_IPConnect("127.0.0.1", "cim", "", &handle), keshsim::kErrConnectRefused);
    EXPECT_EQ(kesh_IPConnect("127.0.0.1", "cim", "", &handle), keshsim::kErrConnectRefused);
    handle = connect();
    query(handle, {"A"}, keshsim::kErrBatchFailed);
    query(handle, {"A"}, keshsim::kErrBatchFailed);
    EXPECT_EQ(value(handle, "A"), "1");
    EXPECT_EQ(value(connect(), "A"), "1");  // unchanged file: counters stay spent

    write("!refuse-connect 1\n!fail-batch 1\nA = 2\n", How::kRename);
    EXPECT_EQ(kesh_IPConnect("127.0.0.1", "cim", "", &handle), keshsim::kErrConnectRefused);
    handle = connect();
    query(handle, {"A"}, keshsim::kErrBatchFailed);
    EXPECT_EQ(value(handle, "A"), "2");
}

TEST_F(KeshApi, BatchSeesEditsWithoutSubscriptionAndKeepsLastGoodState) {
    write("A = 1\n");
    const uint32_t handle = connect();
    write("A = 2\n");  // same size, likely the same timestamp: the bytes tell it apart
    EXPECT_EQ(value(handle, "A"), "2");
    write("A = 3\n", How::kRename);
    EXPECT_EQ(value(handle, "A"), "3");
    write("A = 4\nbroken\n");
    EXPECT_EQ(value(handle, "A"), "3");
    fs::remove(path_);
    EXPECT_EQ(value(handle, "A"), "3");
}

TEST_F(KeshApi, RejectsWrongHandlesAndBadArguments) {
    write("A = 1\n");
    const uint32_t old = connect(), handle = connect();  // a new connection retires the old handle
    SmlBatchEntry e{};
    using keshsim::kErrBadArgument, keshsim::kErrBadHandle;
    const std::tuple<uint32_t, bool, bool, uint32_t, int> cases[] = {  // handle, entries/list, callback, count
        {0, true, true, 1, kErrBadHandle},       {old, true, true, 1, kErrBadHandle},
        {handle + 1, true, true, 1, kErrBadHandle}, {handle, false, true, 1, kErrBadArgument},
        {handle, true, false, 1, kErrBadArgument},  {handle, true, true, 0, kErrBadArgument},
    };
    for (const auto &[h, list, callback, count, expected] : cases) {
        if (callback) {  // the batch call has no callback to leave out
            EXPECT_EQ(kesh_smlGetBatch(h, list ? &e : nullptr, count), expected);
        }
        EXPECT_EQ(kesh_enRegisterForEventList(h, callback ? recordEvent : nullptr, 0, list ? kAllEvents : nullptr, count),
                  expected);
    }
    EXPECT_EQ(kesh_IPConnect("127.0.0.1", "cim", "", nullptr), kErrBadArgument);
}

TEST(AddrToStr, TruncatesToSizeAndAlwaysTerminates) {
    const std::string v6 = "2001:db8:1234:5678:9abc:def0:1234:5678";  // 38 characters
    const std::string v6Long = v6 + "99";
    const std::tuple<const char *, size_t, std::string> cases[] = {
        {"192.0.2.10", 16, "192.0.2.10"}, {"192.0.2.100", 5, "192."},       {"abc", 1, ""},
        {v6.c_str(), 40, v6},             {v6Long.c_str(), 40, v6 + "9"}, {nullptr, 8, ""},
    };
    for (const auto &[value, size, expected] : cases) {
        char out[64];
        memset(out, 'Z', sizeof out);
        sml_addr_2_str(value, out, size);
        EXPECT_EQ(std::string(out), expected) << (value ? value : "(null)");
        EXPECT_TRUE(std::all_of(out + size, out + sizeof out, [](char c) { return c == 'Z'; }));
    }
    char untouched = 'Z';
    sml_addr_2_str("192.0.2.10", &untouched, 0);
    EXPECT_EQ(untouched, 'Z');
}

// Every value the daemon's readers query, with interface names for interfaces 0 and 1.
std::vector<std::string> namesTheDaemonReads() {
    std::vector<std::string> names = {
        "Oper.Switch.WWN", "Config.Mfg.ChassisSerialNum", "Config.Mfg.OemFruNumber", "Config.Mfg.ChassisPartNum",
        "Oper.Switch.Type", "Config.Snmp.SysObjectID", "Config.Mfg.BrandName", "Config.Switch.SymName",
        "Default.Mfg.ProductID", "Oper.Mfg.UUID", "Config.System.IPv4Enable", "Oper.Switch.IPv4Feature",
        "Config.System.IPv6Enable", "Oper.Switch.IPv6Feature", "Config.Mfg.Mac", "Config.Mfg.Mac1",
        "Config.Snmp.EngineID",
    };
    for (const char *s : {"EmbeddedGUI", "ExternalGUI", "Telnet", "SLP", "SSH", "SSL", "HTTPS", "SNMP", "NTP", "CIM",
                          "FTP", "TFTP", "MS", "Callhome"})
        names.push_back(std::string("Config.Services.") + s + "Enable");
    for (const std::string i : {"0", "1"})
        for (const char *tail : {".Enable", ".IPAddress"}) names.push_back("Config.System.Eth." + i + tail);
    names.push_back("Oper.System.Eth.0.IPv6AddressList");
    names.push_back("Oper.System.Eth.1.IPv6AddressList");
    return names;
}

TEST_F(KeshApi, BuiltInSwitchServesEveryNameTheDaemonReads) {
    unsetenv("KESH_STATE");
    const uint32_t handle = connect();
    const std::vector<std::string> names = namesTheDaemonReads();
    std::map<std::string, std::string> got;
    for (const SmlBatchEntry &e : query(handle, names)) {
        EXPECT_EQ(e.status, 0u) << e.name;
        got[e.name] = e.value;
    }
    EXPECT_EQ(got["Default.Mfg.ProductID"], "59");
    for (const char *on : {"Config.Services.CIMEnable", "Config.Services.SSLEnable", "Config.System.IPv4Enable",
                           "Oper.Switch.IPv4Feature", "Config.System.IPv6Enable", "Oper.Switch.IPv6Feature",
                           "Config.System.Eth.0.Enable", "Config.System.Eth.1.Enable"})
        EXPECT_EQ(got[on], "True") << on;
    for (const char *hex : {"Oper.Switch.WWN", "Config.Mfg.Mac", "Config.Mfg.Mac1"})
        EXPECT_NE(got[hex].find_first_of("abcdef"), std::string::npos) << hex;
    for (const char *list : {"Oper.System.Eth.0.IPv6AddressList", "Oper.System.Eth.1.IPv6AddressList"})
        EXPECT_EQ(std::count(got[list].begin(), got[list].end(), ','), 1) << list;
    EXPECT_EQ(kesh_enRegisterForEventList(handle, recordEvent, 0, kAllEvents, 9), 0);
}

TEST_F(KeshApi, EditRaisesItsSubscribedMappedEventOnTheWatcherThread) {
    struct Edit {
        const char *name, *value;
        uint32_t code;  // 0: raises only a code left out of the subscription
        How how;
    };
    const Edit edits[] = {
        {"Config.Services.CIMEnable", "False", KESH_EVENT_SERVICES_CFG_CHANGE, How::kInPlace},
        {"Config.System.Eth.0.IPAddress", "192.0.2.99", KESH_EVENT_NETWORK_CFG_CHANGE, How::kRename},
        {"Oper.System.Eth.1.IPv6AddressList", "2001:db8::99", KESH_EVENT_IPV6_ADDRESS_CHANGE, How::kRecreate},
        {"Config.Switch.SymName", "renamed", KESH_EVENT_SWITCH_CFG_CHANGE, How::kInPlace},
        {"Oper.Switch.WWN", "10:00:00:00:5e:00:53:cd", KESH_EVENT_SWITCH_OPERCHANGE, How::kRename},
        {"Config.Mfg.Mac", "00:00:5e:00:53:ff", KESH_EVENT_CHASSIS_OPERCHANGE, How::kRecreate},
        // Not waited for, so only renames follow: an in-place write could race its reload.
        {"Config.Snmp.EngineID", "80:00", 0, How::kRename},  // the next row sees no SNMP event
        {"Added.Value", "new", KESH_EVENT_SWITCH_ATTR_CHANGE, How::kRename},
    };
    std::map<std::string, std::string> state = {{"Config.Services.CIMEnable", "True"}};
    auto text = [&state] {
        std::string t;
        for (const auto &[name, value] : state) t += name + " = " + value + "\n";
        return t;
    };
    write(text());
    const KeshEventListEntry allButSnmp[] = {{16, 0}, {69, 0}, {8, 0}, {9, 0}, {31, 0}, {32, 0}, {33, 0}, {57, 0}};
    ASSERT_EQ(kesh_enRegisterForEventList(connect(), recordEvent, 7, allButSnmp, 8), 0);
    for (const Edit &e : edits) {
        state[e.name] = e.value;
        write(text(), e.how);
        if (e.code == 0) continue;
        const auto events = waitForEvent(e.code);
        ASSERT_FALSE(events.empty()) << e.name << ": no event within 3 s";
        for (const auto &[code, thread] : events) {
            EXPECT_EQ(code, e.code) << e.name;
            EXPECT_NE(thread, std::this_thread::get_id()) << e.name;
        }
    }
}

}  // namespace
