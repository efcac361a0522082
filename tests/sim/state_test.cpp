// The stand-in's state parser and built-in switch.
#include "state.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace keshsim {
namespace {

TEST(ParseState, KeepsValueBytesAfterTheEqualsSignAndTheLastLineWins) {
    const std::pair<const char *, const char *> cases[] = {
        {"a = b", "b"},
        {"a =", ""},
        {"a =  lead and trail ", " lead and trail "},
        {"a=b", "b"},
        {"  a\t= x = y # kept", "x = y # kept"},
        {"a = cr\r", "cr\r"},
        {"# c\n\n \t\n  # c\na = 1\na = b", "b"},
    };
    for (const auto &[text, value] : cases) {
        SwitchState s;
        ASSERT_TRUE(parseState(text, &s, nullptr)) << text;
        EXPECT_EQ(s.values, (decltype(s.values){{"a", value}})) << text;
    }
}

TEST(ParseState, RejectsTheFirstMalformedLineAndLeavesTheStateAlone) {
    const std::string cases[] = {
        "no equals sign",  "= value",
        "two words = x",   std::string(256, 'n') + " = v",
        "!status A",       "!status A 0x",
        "!status A 12z",   "!status A 1 2",
        "!fail-batch -1",  "!fail-batch 4294967296",
        "!refuse-connect", "!unknown 1",
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

TEST(BuiltinState, AgreesWithTheExampleStateFile) {
    std::stringstream text;
    text << std::ifstream(KESH_DEV_STATE_FILE).rdbuf();
    SwitchState file;
    ParseError error;
    ASSERT_TRUE(parseState(text.str(), &file, &error)) << "line " << error.line << ": " << error.reason;
    EXPECT_EQ(file.values, builtinState().values);
    EXPECT_TRUE(file.statuses.empty() && file.failBatch == 0 && file.refuseConnect == 0);
}

}  // namespace
}  // namespace keshsim
