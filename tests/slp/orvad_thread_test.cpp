#include <errno.h>
#include <syslog.h>

#include <new>

#include "test_switch.h"

namespace {

using Calls = std::vector<std::string>;

const char kW0v4[] = "service:wbem:https://192.0.2.10:5989";
const char kW0v6[] = "service:wbem:https://[fd00::10]:5989";
const char kW1v4[] = "service:wbem:https://192.0.2.11:5989";
const char kIo0v4[] = "service:io-device.3873:59://192.0.2.10";
const char kIo0v6[] = "service:io-device.3873:59://fd00::10";
const char kW1v6[] = "service:wbem:https://[fd00::11]:5989";
const char kIo1v4[] = "service:io-device.3873:59://192.0.2.11";
const char kIo1v6[] = "service:io-device.3873:59://fd00::11";

std::string reg(const char *url) { return std::string("reg ") + url; }
std::string dereg(const char *url) { return std::string("dereg ") + url; }

std::string crit(int line, const char *message) {
    return "Exception[CRIT]:orvad_thread:slpThread[" + std::to_string(line) + "] " + message + "\n";
}

class OrvadThreadTest : public PassTest {
protected:
    // Runs one cycle and returns the SLP calls it made.
    Calls cycle(int expected) {
        fakeSlp().calls.clear();
        EXPECT_EQ(runAdvertisementCycle(&state), expected);
        return fakeSlp().calls;
    }

    std::string lastLog() {
        std::vector<LogLine> log = capturedLog();
        return log.empty() ? std::string() : log.back().text;
    }
};

TEST_F(OrvadThreadTest, Product59RegistersInterfaceByInterface) {
    EXPECT_EQ(cycle(0), (Calls{"open", reg(kW0v4), reg(kW0v6), reg(kIo0v4), reg(kIo0v6), reg(kW1v4), reg(kW1v6),
                               reg(kIo1v4), reg(kIo1v6)}));
    EXPECT_EQ(urlsOf(wbemRegistered[1]), (Calls{kW1v4, kW1v6}));
    EXPECT_EQ(urlsOf(ioRegistered[0]), (Calls{kIo0v4, kIo0v6}));
    EXPECT_TRUE(capturedLog().empty());
    EXPECT_EQ(wakeCount, 0u);

    // The handle stays open: the next pass registers everything again, and nothing else.
    EXPECT_EQ(cycle(0).size(), 8u);
}

TEST_F(OrvadThreadTest, OtherProductsReadAndAdvertiseInterfaceZeroOnly) {
    fakeKesh().values["Default.Mfg.ProductID"] = "12";
    EXPECT_EQ(cycle(0), (Calls{"open", reg(kW0v4), reg(kW0v6)}));
    for (const auto &batch : fakeKesh().batches)
        for (const std::string &name : batch) EXPECT_EQ(name.find(".1."), std::string::npos) << name;
}

TEST_F(OrvadThreadTest, FailedReadEndsThePassWithItsLineAndResets) {
    struct Case {
        const char *name;
        std::string value;
        std::string text;
        std::string log;
    } cases[] = {
        {"Oper.Switch.WWN", "", "", crit(339, "Unable to read chassis block")},
        {"Config.System.Eth.0.Enable", "False", "True", crit(346, "Unable to read network block 0")},
        {"Config.Services.CIMEnable", "", "True", crit(353, "Unable to read services block")},
        {"Config.System.Eth.1.Enable", "False", "True", crit(370, "Unable to read network block 1")},
    };
    ASSERT_EQ(cycle(0).size(), 9u);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string saved = fakeKesh().values[c.name];
        if (c.value.empty())
            fakeKesh().values.erase(c.name);
        else
            fakeKesh().values[c.name] = c.value;
        size_t sleeps = fakesys::sleepRequests().size();

        // Nothing registered or withdrawn; the handle is closed and the thread pauses.
        EXPECT_EQ(cycle(-1), Calls{"close"});
        EXPECT_EQ(lastLog(), c.log);
        EXPECT_EQ(capturedLog().back().priority, LOG_CRIT);
        EXPECT_EQ(fakesys::sleepRequests().size(), sleeps + 1);
        EXPECT_EQ(fakesys::sleepRequests().back(), 10u);
        EXPECT_EQ(state.handle, nullptr);
        EXPECT_EQ(state.chassis.wwn, nullptr);
        EXPECT_EQ(state.network[0].macAddress, nullptr);
        EXPECT_EQ(state.services.port, nullptr);
        EXPECT_EQ(urlsOf(wbemRegistered[0]), (Calls{kW0v4, kW0v6}));

        fakeKesh().values[c.name] = saved;
        EXPECT_EQ(cycle(0).size(), 9u);  // reopened, and a whole pass at once
    }
}

TEST_F(OrvadThreadTest, OpenFailureIsRetriedEveryTenSeconds) {
    fakeSlp().openResults = {SLP_NETWORK_INIT_FAILED, SLP_NETWORK_INIT_FAILED};
    EXPECT_EQ(cycle(-1), Calls{"open"});
    EXPECT_EQ(cycle(-1), Calls{"open"});
    EXPECT_EQ(capturedLog(), (std::vector<LogLine>{{LOG_CRIT, crit(331, "Error opening slp handle")},
                                                   {LOG_CRIT, crit(331, "Error opening slp handle")}}));
    EXPECT_EQ(fakesys::sleepRequests(), (std::vector<unsigned int>{10, 10}));
    EXPECT_TRUE(fakeKesh().batches.empty());
    EXPECT_EQ(wakeCount, 0u);
    EXPECT_EQ(cycle(0).size(), 9u);
}

TEST_F(OrvadThreadTest, PassAfterAFailureWithdrawsWhatVanishedBeforeIt) {
    cycle(0);
    fakeKesh().values["Oper.System.Eth.0.IPv6AddressList"] = "fd00::20";
    fakeKesh().values.erase("Config.Services.SSHEnable");
    cycle(-1);
    fakeKesh().values["Config.Services.SSHEnable"] = "True";
    EXPECT_EQ(cycle(0), (Calls{"open", dereg(kW0v6), reg(kW0v4), reg("service:wbem:https://[fd00::20]:5989"),
                               dereg(kIo0v6), reg(kIo0v4), reg("service:io-device.3873:59://fd00::20"), reg(kW1v4),
                               reg(kW1v6), reg(kIo1v4), reg(kIo1v6)}));
}

TEST_F(OrvadThreadTest, CimSwitchedOffWithdrawsWbemUrlsTwice) {
    cycle(0);
    fakeKesh().values["Config.Services.CIMEnable"] = "False";
    // First by the builders, interface by interface, then again by the pass's own stale step.
    EXPECT_EQ(cycle(0), (Calls{dereg(kW0v4), dereg(kW0v6), dereg(kW1v4), dereg(kW1v6), dereg(kW0v4), dereg(kW0v6),
                               reg(kIo0v4), reg(kIo0v6), dereg(kW1v4), dereg(kW1v6), reg(kIo1v4), reg(kIo1v6)}));
    EXPECT_TRUE(wbemRegistered[0].empty());
    EXPECT_EQ(cycle(0).size(), 4u);
}

TEST_F(OrvadThreadTest, FailedRegistrationStillCountsTheWholeListAsRegistered) {
    fakeSlp().replies = {{SLP_OK, SLP_INVALID_REGISTRATION, true}};
    Calls calls = cycle(0);
    EXPECT_EQ(Calls(calls.begin() + 1, calls.begin() + 4), (Calls{reg(kW0v4), dereg(kW0v4), reg(kIo0v4)}));
    EXPECT_EQ(urlsOf(wbemRegistered[0]), (Calls{kW0v4, kW0v6}));
}

TEST_F(OrvadThreadTest, AnyOtherExceptionIsLoggedAndReset) {
    fakeSlp().onRequest = [] {
        fakeSlp().onRequest = nullptr;
        throw std::bad_alloc();
    };
    EXPECT_EQ(cycle(-1), (Calls{"open", "close"}));
    EXPECT_EQ(capturedLog(), (std::vector<LogLine>{{LOG_CRIT, crit(0, "std::bad_alloc")}}));
    EXPECT_EQ(fakesys::sleepRequests(), std::vector<unsigned int>{10});
    EXPECT_EQ(cycle(0).size(), 9u);
}

TEST_F(OrvadThreadTest, WakeUpsPostedDuringAPassYieldOneMorePass) {
    fakeSlp().onRequest = [] {
        fakeSlp().onRequest = nullptr;
        for (int i = 0; i < 5; i++) wakeSlpThread();
    };
    cycle(0);
    EXPECT_EQ(waitForWakeups(), 5u);  // returns at once, taking all five
    EXPECT_EQ(wakeCount, 0u);         // so the wait after the next pass blocks
}

TEST_F(OrvadThreadTest, ThreadStartFailuresAreReported) {
    fakesys::failNext(fakesys::kStackSize, EINVAL, EINVAL);
    EXPECT_EQ(createSlpThread(), -1);
    fakesys::failNext(fakesys::kCreateThread, EAGAIN, EAGAIN);
    EXPECT_EQ(createSlpThread(), EAGAIN);
    EXPECT_EQ(fakesys::threadsCreated(), 0);
}

TEST(SlpExceptTest, MessageIsFormattedAndCutTo511Characters) {
    slp_except e("orvad_thread", "slpThread", 339, 0, "%s", std::string(600, 'x').c_str());
    EXPECT_EQ(strlen(e.message), 511u);
    slp_except f("f", "g", 1, 3, "%d items", 4);
    EXPECT_STREQ(f.message, "4 items");
}

}  // namespace
