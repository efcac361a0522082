// advertise_test.h: what the tests of the SLP advertisement code share: hand-filled
// configuration records and a clean recording SLP library, log and set of lists.
#ifndef ORVAD_TESTS_SLP_ADVERTISE_TEST_H
#define ORVAD_TESTS_SLP_ADVERTISE_TEST_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "advertise.h"
#include "fake_slp.h"
#include "syslog_capture.h"

// The records point at these texts and are never released by the tests.
inline char *text(const char *s) { return const_cast<char *>(s); }

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
        for (int i = 0; i < 2; i++) {
            wbemRegistered[i].clear();
            ioRegistered[i].clear();
            ioServices[i].clear();
            wbemServices[i].clear();
        }
    }

    // Points the IPv6 slots at `addresses`, in order; the slot after the last stays null.
    void setIpv6(const std::vector<std::string> &addresses) {
        ipv6Texts = addresses;
        for (auto &slot : network.ipv6Addresses) slot = nullptr;
        for (size_t i = 0; i < ipv6Texts.size(); i++) network.ipv6Addresses[i] = &ipv6Texts[i][0];
    }

    SLPHandle handle = reinterpret_cast<SLPHandle>(0x5157);
    NetworkBlock network{};
    ChassisBlock chassis{};
    ServicesBlock services{};
    std::vector<std::string> ipv6Texts;
};

#endif
