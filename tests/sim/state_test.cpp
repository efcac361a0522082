// Tests of the stand-in's state parser, name-to-event table, change detection and built-in switch.
#include "state.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <tuple>

#include "kesh.h"

namespace keshsim {
namespace {

TEST(ParseState, KeepsValueBytesAfterTheEqualsSign) {
    const std::tuple<const char *, const char *> cases[] = {
        {"a = b", "b"},         {"a =", ""}, {"a = ", ""}, {"a =  lead and trail ", " lead and trail "},
        {"a=b", "b"},           {"  a\t= x = y # kept", "x = y # kept"}, {"a = cr\r", "cr\r"},
        {"# c\n\n \t\n  # indented\na = 1\na = b", "b"},  // comments and blanks skipped, later line wins
    };
    for (const auto &[text, value] : cases) {
        SwitchState s;
        ASSERT_TRUE(parseState(text, &s, nullptr)) << text;
        EXPECT_EQ(s.values, (decltype(s.values){{"a", value}})) << text;
    }
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

TEST(ChangedEvents, ReportsEachCodeOnceForAddedRemovedChangedOrStatusedNames) {
    SwitchState before, after;
    before.values = {{"Config.Services.A", "1"}, {"Config.Services.B", "1"}, {"Config.System.X", "1"},
                     {"Config.Snmp.E", "1"}, {"Oper.Switch.WWN", "w"}};
    after.values = {{"Config.Services.A", "2"}, {"Config.Services.B", ""}, {"Config.Switch.SymName", "new"},
                    {"Config.Snmp.E", "1"}, {"Oper.Switch.WWN", "w"}};
    after.statuses["Oper.Switch.WWN"] = kNoSuchValue;
    after.failBatch = 5;  // counters raise nothing
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
