// Tests of the stand-in's state parser, name-to-event table, change detection and built-in switch.
#include "state.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "kesh.h"

namespace keshsim {
namespace {

TEST(ParseState, KeepsValueBytesAfterTheEqualsSign) {
    struct Case {
        const char *line, *name, *value;
    };
    const Case cases[] = {
        {"a = b", "a", "b"},
        {"a =", "a", ""},
        {"a = ", "a", ""},
        {"a =  lead and trail ", "a", " lead and trail "},
        {"a=b", "a", "b"},
        {"  a\t= x = y # kept", "a", "x = y # kept"},
        {"a = tab\tand cr\r", "a", "tab\tand cr\r"},
    };
    for (const Case &c : cases) {
        SwitchState s;
        ASSERT_TRUE(parseState(c.line, &s, nullptr)) << c.line;
        EXPECT_EQ(s.values, (decltype(s.values){{c.name, c.value}})) << c.line;
    }
}

TEST(ParseState, SkipsCommentsAndBlankLinesAndLaterLineWins) {
    SwitchState s;
    ASSERT_TRUE(parseState("# c\n\n \t\n  # indented\na = 1\na = 2\nb = x", &s, nullptr));
    EXPECT_EQ(s.values, (decltype(s.values){{"a", "2"}, {"b", "x"}}));
}

TEST(ParseState, ReadsFaultInjectionLines) {
    SwitchState s;
    ASSERT_TRUE(parseState("!status A 0x1F\n  !status B 42\n!fail-batch 3\n!refuse-connect 0x2\n", &s, nullptr));
    EXPECT_EQ(s.statuses, (decltype(s.statuses){{"A", 0x1f}, {"B", 42}}));
    EXPECT_EQ(s.failBatch, 3u);
    EXPECT_EQ(s.refuseConnect, 2u);
}

TEST(ParseState, RejectsTheFirstMalformedLineAndLeavesTheStateAlone) {
    const std::string cases[] = {
        "no equals sign", "= value", "two words = x", std::string(256, 'n') + " = v",
        "!status A", "!status A 0x", "!status A 12z", "!status A 1 2",
        "!fail-batch -1", "!fail-batch 4294967296", "!refuse-connect", "!unknown 1",
    };
    for (const std::string &bad : cases) {
        SwitchState s;
        s.values["untouched"] = "yes";
        ParseError error;
        EXPECT_FALSE(parseState("ok = 1\n" + bad + "\nlater = 2\n", &s, &error)) << bad;
        EXPECT_EQ(error.line, 2u) << bad;
        EXPECT_EQ(s.values, (decltype(s.values){{"untouched", "yes"}})) << bad;
    }
}

TEST(EventForName, MapsNamesByFirstMatchingRule) {
    const std::pair<const char *, uint32_t> cases[] = {
        {"Config.Services.CIMEnable", KESH_EVENT_SERVICES_CFG_CHANGE},
        {"Config.System.Eth.1.IPAddress", KESH_EVENT_NETWORK_CFG_CHANGE},
        {"Oper.System.Eth.1.IPv6AddressList", KESH_EVENT_IPV6_ADDRESS_CHANGE},
        {"Oper.System.Eth.1.LinkSpeed", KESH_EVENT_SWITCH_ATTR_CHANGE},
        {"Config.Snmp.EngineID", KESH_EVENT_SNMP_CFG_CHANGE},
        {"Config.Switch.SymName", KESH_EVENT_SWITCH_CFG_CHANGE},
        {"Oper.Switch.WWN", KESH_EVENT_SWITCH_OPERCHANGE},
        {"Config.Mfg.Mac1", KESH_EVENT_CHASSIS_OPERCHANGE},
        {"Default.Mfg.ProductID", KESH_EVENT_CHASSIS_OPERCHANGE},
        {"Something.Else", KESH_EVENT_SWITCH_ATTR_CHANGE},
    };
    for (const auto &[name, code] : cases) EXPECT_EQ(eventForName(name), code) << name;
}

TEST(ChangedEvents, ReportsEachCodeOnceForAddedRemovedChangedOrStatusedNames) {
    SwitchState before;
    before.values = {{"Config.Services.A", "1"}, {"Config.Services.B", "1"}, {"Config.System.X", "1"},
                     {"Config.Snmp.E", "1"}, {"Oper.Switch.WWN", "w"}};
    SwitchState after = before;
    after.values["Config.Services.A"] = "2";
    after.values["Config.Services.B"] = "";
    after.values.erase("Config.System.X");
    after.values["Config.Switch.SymName"] = "new";
    after.statuses["Oper.Switch.WWN"] = kNoSuchValue;
    after.failBatch = 5;
    EXPECT_EQ(changedEvents(before, after),
              (std::vector<uint32_t>{KESH_EVENT_SWITCH_CFG_CHANGE, KESH_EVENT_NETWORK_CFG_CHANGE,
                                     KESH_EVENT_SWITCH_OPERCHANGE, KESH_EVENT_SERVICES_CFG_CHANGE}));
    EXPECT_TRUE(changedEvents(after, after).empty());
}

TEST(BuiltinState, AgreesWithTheExampleStateFile) {
    std::ifstream in(KESH_DEV_STATE_FILE);
    ASSERT_TRUE(in) << KESH_DEV_STATE_FILE;
    std::stringstream text;
    text << in.rdbuf();
    SwitchState file;
    ParseError error;
    ASSERT_TRUE(parseState(text.str(), &file, &error)) << "line " << error.line << ": " << error.reason;
    const SwitchState builtin = builtinState();
    EXPECT_EQ(file.values, builtin.values);
    EXPECT_TRUE(file.statuses.empty() && builtin.statuses.empty());
    EXPECT_EQ(file.failBatch + file.refuseConnect + builtin.failBatch + builtin.refuseConnect, 0u);
}

}  // namespace
}  // namespace keshsim
