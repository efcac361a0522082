// test_switch.h: the management values of a small product-59 switch (both interfaces with
// one IPv4 and one IPv6 address each, CIM on with SSL), and the fixture of pass tests.
#ifndef ORVAD_TESTS_SLP_TEST_SWITCH_H
#define ORVAD_TESTS_SLP_TEST_SWITCH_H

#include <map>
#include <string>

#include "advertise_test.h"
#include "fake_kesh.h"
#include "fake_system_calls.h"
#include "keshlib.h"

inline const std::map<std::string, std::string> kSwitch = {
    {"Default.Mfg.ProductID", "59"},
    {"Oper.Mfg.UUID", "u-59"},
    {"Oper.Switch.WWN", "10:00:00:00:00:00:00:01"},
    {"Oper.Switch.Type", "59.1"},
    {"Config.Mfg.ChassisSerialNum", "S1"},
    {"Config.Mfg.OemFruNumber", "F1"},
    {"Config.Mfg.ChassisPartNum", "P1"},
    {"Config.Mfg.BrandName", "B"},
    {"Config.Mfg.Mac", "00:00:00:00:00:0a"},
    {"Config.Mfg.Mac1", "00:00:00:00:00:0b"},
    {"Config.Snmp.SysObjectID", "1.3.6"},
    {"Config.Snmp.EngineID", "E1"},
    {"Config.Switch.SymName", "sw"},
    {"Config.Services.EmbeddedGUIEnable", "True"},
    {"Config.Services.ExternalGUIEnable", "True"},
    {"Config.Services.TelnetEnable", "False"},
    {"Config.Services.SLPEnable", "True"},
    {"Config.Services.SSHEnable", "True"},
    {"Config.Services.SSLEnable", "True"},
    {"Config.Services.HTTPSEnable", "True"},
    {"Config.Services.SNMPEnable", "True"},
    {"Config.Services.NTPEnable", "False"},
    {"Config.Services.CIMEnable", "True"},
    {"Config.Services.FTPEnable", "False"},
    {"Config.Services.TFTPEnable", "False"},
    {"Config.Services.MSEnable", "True"},
    {"Config.Services.CallhomeEnable", "False"},
    {"Config.System.IPv4Enable", "True"},
    {"Oper.Switch.IPv4Feature", "True"},
    {"Config.System.IPv6Enable", "True"},
    {"Oper.Switch.IPv6Feature", "True"},
    {"Config.System.Eth.0.Enable", "True"},
    {"Config.System.Eth.0.IPAddress", "192.0.2.10"},
    {"Oper.System.Eth.0.IPv6AddressList", "fd00::10"},
    {"Config.System.Eth.1.Enable", "True"},
    {"Config.System.Eth.1.IPAddress", "192.0.2.11"},
    {"Oper.System.Eth.1.IPv6AddressList", "fd00::11"},
};

// Tests that run whole passes: the scripted switch above, a virtual clock whose sleeps return
// at once, and the thread's state, released at the end.
class PassTest : public AdvertiseTest {
protected:
    void SetUp() override {
        AdvertiseTest::SetUp();
        resetFakeKesh();
        fakeKesh().values = kSwitch;
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
