// test_switch.h: the fixtures of the advertisement tests: a clean recording SLP library, log and
// set of lists; and, for whole passes, the scripted switch of test-switch.state with a virtual
// clock whose sleeps return at once.
#ifndef ORVAD_TESTS_SLP_TEST_SWITCH_H
#define ORVAD_TESTS_SLP_TEST_SWITCH_H

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "advertise.h"
#include "fake_kesh.h"
#include "fake_slp.h"
#include "fake_system_calls.h"
#include "keshlib.h"
#include "syslog_capture.h"

inline std::vector<std::string> urlsOf(const ServiceList &list) {
    std::vector<std::string> urls;
    for (const ServiceRecord &r : list) urls.push_back(r.url);
    return urls;
}

inline ServiceList recordsWithUrls(const std::vector<std::string> &urls) {
    ServiceList list;
    for (const std::string &url : urls) list.push_back({url, "(a=" + url + ")"});
    return list;
}

class AdvertiseTest : public ::testing::Test {
protected:
    void SetUp() override {
        resetFakeSlp();
        clearCapturedLog();
        for (ServiceList *lists : {wbemRegistered, ioRegistered, ioServices, wbemServices})
            lists[0].clear(), lists[1].clear();
    }

    SLPHandle handle = reinterpret_cast<SLPHandle>(0x5157);
};

class PassTest : public AdvertiseTest {
protected:
    void SetUp() override {
        AdvertiseTest::SetUp();
        resetFakeKesh();
        std::ifstream in(TEST_SWITCH_STATE);
        for (std::string line; std::getline(in, line);)
            if (size_t eq = line.find(" = "); line[0] != '#' && eq != std::string::npos)
                fakeKesh().values[line.substr(0, eq)] = line.substr(eq + 3);
        ASSERT_FALSE(fakeKesh().values.empty());
        smlHandle = 7;
        wakeCount = 0;
        fakesys::install();
        fakesys::setAutoAdvance(true);
    }
    void TearDown() override {
        releaseAdvertisementRecords(&state);
        fakesys::uninstall();
    }

    AdvertisementState state{};
};

#endif
