// The stand-in's connections, fault counters and change events, through libkesh.so; the values,
// statuses and address texts it serves are checked by orvad-show's golden states. The library
// keeps one process-wide connection; each test points KESH_STATE at a file of its own.
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
#include <vector>

#include "kesh.h"
#include "state.h"

namespace {

namespace fs = std::filesystem;
using namespace keshsim;

// Events as delivered, with the thread each arrived on.
std::mutex eventMutex;
std::condition_variable eventArrived;
std::vector<std::pair<uint32_t, std::thread::id>> events;

void recordEvent(uint32_t, uint32_t code, uint32_t) {
    std::lock_guard<std::mutex> lock(eventMutex);
    events.emplace_back(code, std::this_thread::get_id());
    eventArrived.notify_all();
}

// Waits up to 3 s for `code`; returns and forgets every event delivered by then.
std::vector<std::pair<uint32_t, std::thread::id>> takeEventsUntil(uint32_t code) {
    std::unique_lock<std::mutex> lock(eventMutex);
    eventArrived.wait_for(lock, std::chrono::seconds(3), [code] {
        return std::any_of(events.begin(), events.end(), [code](const auto &e) { return e.first == code; });
    });
    return std::exchange(events, {});
}

enum class How { kInPlace, kRename, kRecreate };  // how a test rewrites the state file

class KeshApi : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kesh-sim-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/switch.state";
        setenv("KESH_STATE", path_.c_str(), 1);
    }
    void TearDown() override { fs::remove_all(dir_); }

    void write(const std::string &text, How how = How::kInPlace) {
        if (how == How::kRecreate) fs::remove(path_);
        std::ofstream(how == How::kRename ? path_ + ".tmp" : path_, std::ios::trunc) << text;
        if (how == How::kRename) fs::rename(path_ + ".tmp", path_);
    }
    uint32_t connect(int expect = 0) {
        uint32_t handle = 0;
        EXPECT_EQ(kesh_IPConnect("127.0.0.1", "cim", "", &handle), expect);
        return handle;
    }
    // Queries `names` in one batch; each value starts out as stale text.
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

TEST_F(KeshApi, ConnectNeedsAGoodFileThenBatchesKeepTheLastGoodState) {
    connect(kErrNoStateFile);
    write("A = 1\nbroken line\n");
    connect(kErrMalformedState);
    write("A = 1\n");
    const uint32_t handle = connect();
    write("A = 2\n");  // same size, likely the same timestamp: the bytes tell it apart
    EXPECT_EQ(value(handle, "A"), "2");
    write("A = 3\nbroken\n");
    EXPECT_EQ(value(handle, "A"), "2");
    fs::remove(path_);
    EXPECT_EQ(value(handle, "A"), "2");
    write("A = 4\n");
    EXPECT_EQ(value(connect(), "A"), "4");
    query(handle, {"A"}, kErrBadHandle);  // retired by the new connection
}

TEST_F(KeshApi, FaultCountersCountDownAndReArmOnlyWhenTheFileChanges) {
    write("!refuse-connect 2\n!fail-batch 2\nA = 1\n");
    connect(kErrConnectRefused);
    connect(kErrConnectRefused);
    uint32_t handle = connect();
    query(handle, {"A"}, kErrBatchFailed);
    query(handle, {"A"}, kErrBatchFailed);
    EXPECT_EQ(value(handle, "A"), "1");
    EXPECT_EQ(value(connect(), "A"), "1");  // unchanged file: the counters stay spent

    write("!refuse-connect 1\n!fail-batch 1\nA = 2\n", How::kRename);
    connect(kErrConnectRefused);
    handle = connect();
    query(handle, {"A"}, kErrBatchFailed);
    EXPECT_EQ(value(handle, "A"), "2");
}

TEST_F(KeshApi, EditRaisesItsSubscribedMappedEventOnTheWatcherThread) {
    // Name, value, the code its change raises (0: only an unsubscribed one, not waited for), how it is written.
    const std::tuple<const char *, const char *, uint32_t, How> edits[] = {
        {"Config.Services.CIMEnable", "False", KESH_EVENT_SERVICES_CFG_CHANGE, How::kInPlace},
        {"Config.System.Eth.0.IPAddress", "192.0.2.99", KESH_EVENT_NETWORK_CFG_CHANGE, How::kRename},
        {"Oper.System.Eth.1.IPv6AddressList", "2001:db8::99", KESH_EVENT_IPV6_ADDRESS_CHANGE, How::kRecreate},
        {"Config.Switch.SymName", "renamed", KESH_EVENT_SWITCH_CFG_CHANGE, How::kInPlace},
        {"!status Config.Switch.SymName", "0x1f", KESH_EVENT_SWITCH_CFG_CHANGE, How::kRename},
        {"Oper.Switch.WWN", "10:00:00:00:5e:00:53:cd", KESH_EVENT_SWITCH_OPERCHANGE, How::kRename},
        {"Config.Mfg.Mac", "00:00:5e:00:53:ff", KESH_EVENT_CHASSIS_OPERCHANGE, How::kRecreate},
        // Renames only from here: an in-place write could race the reload of the edit not waited for.
        {"Config.Snmp.EngineID", "80:00", 0, How::kRename},  // the next edit must see no SNMP event
        {"Added.Value", "new", KESH_EVENT_SWITCH_ATTR_CHANGE, How::kRename},
    };
    std::map<std::string, std::string> state = {{"Config.Services.CIMEnable", "True"}};
    write("Config.Services.CIMEnable = True\n");
    const KeshEventListEntry allButSnmp[] = {{16, 0}, {69, 0}, {8, 0}, {9, 0}, {31, 0}, {32, 0}, {33, 0}, {57, 0}};
    ASSERT_EQ(kesh_enRegisterForEventList(connect(), recordEvent, 7, allButSnmp, 8), 0);
    for (const auto &[name, value, code, how] : edits) {
        state[name] = value;
        std::string text;
        for (const auto &[n, v] : state) text += n + (n[0] == '!' ? " " : " = ") + v + "\n";
        write(text, how);
        if (code == 0) continue;
        const auto got = takeEventsUntil(code);
        ASSERT_FALSE(got.empty()) << name << ": no event within 3 s";
        for (const auto &[gotCode, thread] : got) {
            EXPECT_EQ(gotCode, code) << name;
            EXPECT_NE(thread, std::this_thread::get_id()) << name;
        }
    }
}

}  // namespace
