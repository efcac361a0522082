#include "advertise_test.h"

namespace {

const char kAllOn[] = "https:443:true,http:80:true,cli:23:false,seccli:22:true,snmpv3:161:true";

class IoServicesTest : public AdvertiseTest {
protected:
    void SetUp() override {
        AdvertiseTest::SetUp();
        network.ipv4Enabled = 1;
        strcpy(network.ipv4Address, "10.20.30.40");
        network.ipv6Enabled = 1;
        setIpv6({"fe80::21a:2bff:fe3c:4d5e", "fd00:ab::40"});
        network.macAddress = text("02:1A:2B:3C:4D:5E");
        chassis.serialNumber = text("AB12C345");
        chassis.fruNumber = text("FRU-A123");
        chassis.partNumber = text("PN-B456-01");
        chassis.uuid = text("6b8f2a3c-0d1e-4f50-9a61-7b8c9d0e1f20");
        chassis.sysObjectId = text("1.3.6.1.4.1.0.1");
        chassis.productId = 59;
        chassis.symbolicName = text("fcsw-lab-1");
        services.https = services.embeddedGui = services.ssh = services.snmp = 1;
        services.snmpEngineId = text("8000abcdef0102");
        services.sshFingerprint = text("FP");
    }

    // The attribute text of every record; fails the test if the records disagree.
    std::string build() {
        EXPECT_EQ(updateIoServices(&network, &chassis, &services), 0);
        const ServiceList &list = ioServices[network.index];
        for (const ServiceRecord &r : list) EXPECT_EQ(r.attributes, list.front().attributes);
        return list.empty() ? std::string() : list.front().attributes;
    }

    static bool has(const std::string &haystack, const std::string &needle) {
        return haystack.find(needle) != std::string::npos;
    }
};

TEST_F(IoServicesTest, BuildsOneRecordPerAddressWithTheDeviceAttributes) {
    std::string attributes = build();
    EXPECT_EQ(urlsOf(ioServices[0]), (std::vector<std::string>{"service:io-device.3873:59://10.20.30.40",
                                                               "service:io-device.3873:59://fe80::21a:2bff:fe3c:4d5e",
                                                               "service:io-device.3873:59://fd00:ab::40"}));
    EXPECT_EQ(attributes,
              std::string("(Type=switch),(data_protocols=fc),(level=1),(serial-number=AB12C345),(Fru=FRU-A123),"
                          "(partnumber=PN-B456-01),(Uuid=6b8f2a3c-0d1e-4f50-9a61-7b8c9d0e1f20),(mac-address=02:1A:2B:"
                          "3C:4D:5E),(sysoid=1.3.6.1.4.1.0.1),(hostingdevice-uid=unknown),(ipv4-enabled=true),"
                          "(ipv4-addresses=10.20.30.40),(ipv4-mgmt-protocols=") +
                  kAllOn +
                  "),(ipv6-enabled=true),(ipv6-addresses=fe80::21a:2bff:fe3c:4d5e,fd00:ab::40),"
                  "(ipv6-mgmt-protocols=" +
                  kAllOn + "),(snmp-engineid=8000abcdef0102),(ssh-fingerprint=FP),(deviceName=fcsw-lab-1)");
}

TEST_F(IoServicesTest, DisabledFamiliesLeaveOnlyTheirEnabledItem) {
    network.ipv6Enabled = 0;
    std::string attributes = build();
    EXPECT_EQ(urlsOf(ioServices[0]), std::vector<std::string>{"service:io-device.3873:59://10.20.30.40"});
    EXPECT_TRUE(has(attributes, "(ipv6-enabled=false),(snmp-engineid="));
    EXPECT_FALSE(has(attributes, "ipv6-addresses"));

    network.ipv6Enabled = 1;
    network.ipv4Enabled = 0;
    attributes = build();
    EXPECT_EQ(ioServices[0].size(), 2u);
    EXPECT_TRUE(has(attributes, "(hostingdevice-uid=unknown),(ipv4-enabled=false),(ipv6-enabled=true),"));
}

TEST_F(IoServicesTest, Ipv6EnabledWithoutAddressesKeepsEmptyItemsAndMakesNoRecord) {
    setIpv6({});
    std::string attributes = build();
    EXPECT_EQ(urlsOf(ioServices[0]), std::vector<std::string>{"service:io-device.3873:59://10.20.30.40"});
    EXPECT_TRUE(
        has(attributes, std::string("(ipv6-enabled=true),(ipv6-addresses=),(ipv6-mgmt-protocols=") + kAllOn + "),"));
}

TEST_F(IoServicesTest, Ipv4EnabledWithEmptyAddress) {
    network.ipv4Address[0] = '\0';
    std::string attributes = build();
    EXPECT_EQ(ioServices[0].size(), 2u);
    EXPECT_TRUE(
        has(attributes, std::string("(ipv4-enabled=true),(ipv4-addresses=),(ipv4-mgmt-protocols=") + kAllOn + "),"));
}

TEST_F(IoServicesTest, Ipv6SlotsEndAtTheFirstNullAndAfterThirtyTwo) {
    network.ipv4Enabled = 0;
    setIpv6({"fd00::1"});
    EXPECT_TRUE(has(build(), "(ipv6-addresses=fd00::1),"));

    setIpv6({""});
    build();
    EXPECT_EQ(urlsOf(ioServices[0]), std::vector<std::string>{"service:io-device.3873:59://"});

    std::vector<std::string> all;
    std::string listed;
    for (int i = 0; i < kMaxIpv6Addresses; i++) {
        all.push_back("fd00::" + std::to_string(i));
        listed += (i ? "," : "") + all.back();
    }
    setIpv6(all);
    EXPECT_TRUE(has(build(), "(ipv6-addresses=" + listed + "),"));
    EXPECT_EQ(ioServices[0].size(), 32u);
}

TEST_F(IoServicesTest, ProtocolListFollowsItsFiveFlags) {
    services.https = services.embeddedGui = services.ssh = services.snmp = 0;
    services.ssl = services.externalGui = 1;  // not consulted
    EXPECT_TRUE(has(build(), "(ipv4-mgmt-protocols=https:443:false,http:80:false,cli:23:false,seccli:22:false,"
                             "snmpv3:161:false),"));
    services.telnet = 1;
    EXPECT_TRUE(has(build(), "cli:23:true,"));
}

TEST_F(IoServicesTest, MissingTextsLeaveTheirItemsOut) {
    chassis.uuid = nullptr;
    services.sshFingerprint = nullptr;
    std::string attributes = build();
    EXPECT_FALSE(has(attributes, "Uuid"));
    EXPECT_TRUE(has(attributes, "(snmp-engineid=8000abcdef0102),(deviceName=fcsw-lab-1)"));

    chassis.uuid = text("");
    EXPECT_TRUE(has(build(), "(partnumber=PN-B456-01),(Uuid=),(mac-address="));
}

TEST_F(IoServicesTest, ValuesAreCopiedUnescaped) {
    chassis.symbolicName = text("sw,(1)");
    EXPECT_TRUE(has(build(), "(deviceName=sw,(1))"));
}

TEST_F(IoServicesTest, ProductNumberIsCutToNineCharacters) {
    chassis.productId = -123456789;
    build();
    EXPECT_EQ(ioServices[0].front().url, "service:io-device.3873:-12345678://10.20.30.40");
}

TEST_F(IoServicesTest, NoPossibleRecordEmptiesTheList) {
    build();
    network.index = 0;
    network.ipv4Enabled = 0;
    network.ipv6Enabled = 0;
    build();
    EXPECT_TRUE(ioServices[0].empty());
}

}  // namespace
