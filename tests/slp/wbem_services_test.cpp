#include <stdexcept>

#include "advertise_test.h"

namespace {

const char kCommonItems[] =
    "(template-type=wbem),(template-version=1.0),(template-description=This template describes the attributes "
    "used for advertising WBEM Servers),(service-hi-name=Demo CIMAgent),(service-hi-description=Embedded "
    "CIMAgent),(service-id=10:00:00:11:22:33:44:55),(CommunicationMechanism=CIM-XML),(InteropSchemaNamespace="
    "root/interop),(ProtocolVersion=1.1),(FunctionalProfilesSupported=Basic Read,Basic Write,Instance "
    "Manipulation,Association Traversal,Indications),(MultipleOperationsSupported=false),(AuthenticationMechanisms"
    "Supported=Basic),(Namespace=root/interop),(ClassInfo=CIM 2.15),(RegisteredProfilesSupported=SNIA:Server,"
    "SNIA:Switch,SNIA:Fabric,DMTF:Record Log),";

class WbemServicesTest : public AdvertiseTest {
protected:
    void SetUp() override {
        AdvertiseTest::SetUp();
        chassis.brandName = text("Demo");
        chassis.wwn = text("10:00:00:11:22:33:44:55");
        services.cim = 1;
        services.ssl = 1;
        services.port = text("5989");
        strcpy(network.ipv4Address, "192.0.2.10");
        setIpv6({"fd00::10"});
    }

    std::vector<std::string> build() {
        EXPECT_EQ(updateWbemServices(handle, &network, &chassis, &services), 0);
        return urlsOf(wbemServices[network.index]);
    }
};

TEST_F(WbemServicesTest, BuildsTheTemplateRecordOfEachAddress) {
    build();
    ServiceList expected = {
        {"service:wbem:https://192.0.2.10:5989",
         std::string(kCommonItems) +
             "(template-url-syntax=(https://192.0.2.10:5989),(service-location-tcp=(https://192.0.2.10:5989)"},
        {"service:wbem:https://[fd00::10]:5989",
         std::string(kCommonItems) +
             "(template-url-syntax=(https://[fd00::10]:5989),(service-location-tcp=(https://[fd00::10]:5989)"},
    };
    ASSERT_EQ(wbemServices[0].size(), 2u);
    auto record = wbemServices[0].begin();
    for (const ServiceRecord &want : expected) {
        EXPECT_EQ(record->url, want.url);
        EXPECT_EQ(record->attributes, want.attributes);
        ++record;
    }
    EXPECT_TRUE(fakeSlp().calls.empty());
}

TEST_F(WbemServicesTest, PlainHttpWritesItsSchemeAndPortThroughout) {
    services.ssl = 0;
    services.port = text("5988");
    setIpv6({});
    build();
    ASSERT_EQ(wbemServices[0].size(), 1u);
    EXPECT_EQ(wbemServices[0].front().url, "service:wbem:http://192.0.2.10:5988");
    EXPECT_EQ(wbemServices[0].front().attributes,
              std::string(kCommonItems) +
                  "(template-url-syntax=(http://192.0.2.10:5988),(service-location-tcp=(http://192.0.2.10:5988)");
}

TEST_F(WbemServicesTest, AddressesGoIpv4FirstThenIpv6SlotsUpToTheFirstEmpty) {
    struct Case {
        const char *name;
        const char *ipv4;
        std::vector<std::string> ipv6;
        int nullSlot;  // a slot to empty after filling, or -1
        std::vector<std::string> urls;
    } cases[] = {
        {"both families",
         "192.0.2.10",
         {"fd00::1", "fd00::2"},
         -1,
         {"service:wbem:https://192.0.2.10:5989", "service:wbem:https://[fd00::1]:5989",
          "service:wbem:https://[fd00::2]:5989"}},
        {"ipv6 only", "", {"fd00::1"}, -1, {"service:wbem:https://[fd00::1]:5989"}},
        {"no address", "", {}, -1, {}},
        {"gap after slot 0", "", {"fd00::1", "fd00::2", "fd00::3"}, 1, {"service:wbem:https://[fd00::1]:5989"}},
        {"empty ipv6 text", "", {""}, -1, {"service:wbem:https://[]:5989"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        strcpy(network.ipv4Address, c.ipv4);
        setIpv6(c.ipv6);
        if (c.nullSlot >= 0) network.ipv6Addresses[c.nullSlot] = nullptr;
        EXPECT_EQ(build(), c.urls);
    }
    EXPECT_TRUE(fakeSlp().calls.empty());
}

TEST_F(WbemServicesTest, AllThirtyTwoSlotsGiveThirtyTwoRecords) {
    network.ipv4Address[0] = '\0';
    std::vector<std::string> addresses;
    for (int i = 0; i < kMaxIpv6Addresses; i++) addresses.push_back("fd00::" + std::to_string(i));
    setIpv6(addresses);
    std::vector<std::string> urls = build();
    ASSERT_EQ(urls.size(), 32u);
    EXPECT_EQ(urls.back(), "service:wbem:https://[fd00::31]:5989");
}

TEST_F(WbemServicesTest, RebuildingReplacesTheListOfThatInterfaceOnly) {
    network.index = 1;
    build();
    std::vector<std::string> once = build();
    EXPECT_EQ(once.size(), 2u);
    EXPECT_TRUE(wbemServices[0].empty());
}

TEST_F(WbemServicesTest, ValuesAreCopiedUnescaped) {
    chassis.brandName = text("A,(B)");
    build();
    EXPECT_NE(wbemServices[0].front().attributes.find("(service-hi-name=A,(B) CIMAgent),"), std::string::npos);
}

TEST_F(WbemServicesTest, CimOffDeregistersWhatWasRegisteredAndBuildsNothing) {
    services.cim = 0;
    services.port = nullptr;
    wbemRegistered[0] = recordsWithUrls({"u1", "u2", "u3"});
    build();
    EXPECT_TRUE(wbemServices[0].empty());
    EXPECT_EQ(fakeSlp().calls, (std::vector<std::string>{"dereg u1", "dereg u2", "dereg u3"}));
    EXPECT_EQ(urlsOf(wbemRegistered[0]), (std::vector<std::string>{"u1", "u2", "u3"}));

    resetFakeSlp();
    wbemRegistered[0].clear();
    build();
    EXPECT_TRUE(fakeSlp().calls.empty());
}

TEST_F(WbemServicesTest, AMissingTextFailsInsteadOfAdvertisingAHole) {
    chassis.wwn = nullptr;
    EXPECT_THROW(updateWbemServices(handle, &network, &chassis, &services), std::invalid_argument);
}

}  // namespace
