// The library's local parts: property layering, SLPParseSrvURL, SLPEscape/SLPUnescape.
#include <slp.h>

#include "scripted_agent.h"
#include "slp_config.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

using slpclient::PropertyMap;

std::string writeTempFile(const std::string &text) {
    char path[] = "/tmp/slp-conf-test-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) return std::string();
    bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    return ok ? std::string(path) : std::string();
}

TEST(SlpProperties, ParsesNameValueLines) {
    PropertyMap map;
    slpclient::parseProperties("# comment = ignored\n"
                               "  ; also = ignored\n"
                               "net.slp.port = 4711\n"
                               "net.slp.useScopes=  alpha, beta  \r\n"
                               "custom.name = a=b=c\n"
                               "no equals sign here\n"
                               " = no name\n"
                               "empty.value =\n"
                               "net.slp.port = 4712",
                               &map);
    PropertyMap expected = {
        {"net.slp.port", "4712"},
        {"net.slp.useScopes", "alpha, beta"},
        {"custom.name", "a=b=c"},
        {"empty.value", ""},
    };
    EXPECT_EQ(map, expected);
}

TEST(SlpProperties, LayersDefaultsGlobalFileAndOverrideFile) {
    std::string global = writeTempFile("net.slp.port = 1000\nnet.slp.useScopes = site\nnet.slp.MTU = 1200\n");
    std::string local = writeTempFile("net.slp.port = 2000\n");
    ASSERT_FALSE(global.empty());
    ASSERT_FALSE(local.empty());

    PropertyMap map = slpclient::layeredProperties(global.c_str(), local.c_str());
    EXPECT_EQ(map["net.slp.port"], "2000");
    EXPECT_EQ(map["net.slp.useScopes"], "site");
    EXPECT_EQ(map["net.slp.MTU"], "1200");
    EXPECT_EQ(map["net.slp.locale"], "en");

    map = slpclient::layeredProperties("/nonexistent/slp.conf", local.c_str());
    EXPECT_EQ(map["net.slp.port"], "2000");
    EXPECT_EQ(map["net.slp.useScopes"], "DEFAULT");
    EXPECT_EQ(slpclient::layeredProperties(nullptr, nullptr), slpclient::defaultProperties());
    ::unlink(global.c_str());
    ::unlink(local.c_str());
}

TEST(SlpProperties, UnusableValuesFallBackToDefaults) {
    struct Case {
        const char *name;
        const char *value;
        uint16_t port;
        int waitMs;
        const char *scopes;
        bool pid;
    } cases[] = {
        {"net.slp.port", "1234", 1234, 5000, "DEFAULT", true},
        {"net.slp.port", "0", 427, 5000, "DEFAULT", true},
        {"net.slp.port", "65536", 427, 5000, "DEFAULT", true},
        {"net.slp.port", "12x", 427, 5000, "DEFAULT", true},
        {"net.slp.port", "-5", 427, 5000, "DEFAULT", true},
        {"net.slp.port", "", 427, 5000, "DEFAULT", true},
        {"net.slp.unicastMaximumWait", "250", 427, 250, "DEFAULT", true},
        {"net.slp.unicastMaximumWait", "0", 427, 5000, "DEFAULT", true},
        {"net.slp.useScopes", "", 427, 5000, "DEFAULT", true},
        {"net.slp.useScopes", "a,b", 427, 5000, "a,b", true},
        {"net.slp.watchRegistrationPID", "FALSE", 427, 5000, "DEFAULT", false},
        {"net.slp.watchRegistrationPID", "maybe", 427, 5000, "DEFAULT", true},
    };
    for (const Case &c : cases) {
        PropertyMap map = slpclient::defaultProperties();
        map[c.name] = c.value;
        slpclient::RequestSettings s = slpclient::settingsFrom(map);
        EXPECT_EQ(s.port, c.port) << c.name << "=" << c.value;
        EXPECT_EQ(s.replyWaitMs, c.waitMs) << c.name << "=" << c.value;
        EXPECT_EQ(s.scopes, c.scopes) << c.name << "=" << c.value;
        EXPECT_EQ(s.sendProcessId, c.pid) << c.name << "=" << c.value;
    }
}

// Runs in a fresh process (the properties are read once per process): the file named by
// OpenSLPConfig, then SLPSetProperty until the first request. Returns the number of failures.
int checkProcessProperties() {
    int failures = 0;
    auto expect = [&failures](const char *name, const char *want) {
        const char *got = SLPGetProperty(name);
        bool same = got == nullptr || want == nullptr ? got == want : std::strcmp(got, want) == 0;
        if (!same) {
            std::fprintf(stderr, "%s: got %s, want %s\n", name, got ? got : "NULL", want ? want : "NULL");
            ++failures;
        }
    };
    std::string path = writeTempFile("net.slp.port = 4711\nnet.slp.useScopes = alpha,beta\nx.custom = 1\n");
    setenv(slpclient::kConfigFileVariable, path.c_str(), 1);
    std::string globalLocale = slpclient::layeredProperties(slpclient::kGlobalConfigFile, nullptr)["net.slp.locale"];

    expect("net.slp.port", "4711");
    expect("net.slp.useScopes", "alpha,beta");
    expect("x.custom", "1");
    expect("net.slp.locale", globalLocale.c_str());
    expect("no.such.property", nullptr);

    std::string port = std::to_string(slptest::freeLoopbackPort());
    SLPSetProperty("net.slp.port", port.c_str());
    expect("net.slp.port", port.c_str());
    const char *held = SLPGetProperty("net.slp.port");

    SLPHandle h = nullptr;
    char *scopes = nullptr;
    if (SLPOpen("", SLP_FALSE, &h) != SLP_OK || SLPFindScopes(h, &scopes) != SLP_OK ||
        std::strcmp(scopes, "alpha,beta") != 0) {
        std::fprintf(stderr, "SLPFindScopes does not give the file's scopes\n");
        ++failures;
    }
    SLPFree(scopes);
    auto ignore = [](SLPHandle, SLPError, void *) {};
    if (SLPReg(h, "service:x://h", 1, nullptr, "", SLP_TRUE, ignore, nullptr) != SLP_NETWORK_INIT_FAILED) {
        std::fprintf(stderr, "the registration did not go to the set port\n");
        ++failures;
    }
    SLPClose(h);

    SLPSetProperty("net.slp.port", "4713");  // after the first request: ignored
    expect("net.slp.port", port.c_str());
    if (std::strcmp(held, port.c_str()) != 0) ++failures;
    ::unlink(path.c_str());
    return failures;
}

TEST(SlpProperties, EnvironmentFileThenSetPropertyUntilTheFirstRequest) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // re-executes the binary: a fresh process
    EXPECT_EXIT(std::_Exit(checkProcessProperties()), testing::ExitedWithCode(0), "");
}

TEST(SlpParseSrvURL, SplitsServiceUrls) {
    struct Case {
        const char *url;
        const char *type, *host;
        int port;
        const char *family, *part;
    } cases[] = {
        {"service:wbem:https://192.0.2.10:5989", "service:wbem:https", "192.0.2.10", 5989, "", ""},
        {"service:io-device.3873:59://10.20.30.40", "service:io-device.3873:59", "10.20.30.40", 0, "", ""},
        {"service:io-device.3873:59://fd00:ab::40", "service:io-device.3873:59", "fd00", 0, "", "ab::40"},
        {"service:x://[fd00::1]:427/path;a=b", "service:x", "fd00::1", 427, "v6", "/path;a=b"},
        {"http://h/index.html", "http", "h", 0, "", "/index.html"},
        {"service:x://", "service:x", "", 0, "", ""},
    };
    for (const Case &c : cases) {
        SLPSrvURL *u = nullptr;
        ASSERT_EQ(SLPParseSrvURL(c.url, &u), SLP_OK) << c.url;
        EXPECT_STREQ(u->s_pcSrvType, c.type) << c.url;
        EXPECT_STREQ(u->s_pcHost, c.host) << c.url;
        EXPECT_EQ(u->s_iPort, c.port) << c.url;
        EXPECT_STREQ(u->s_pcNetFamily, c.family) << c.url;
        EXPECT_STREQ(u->s_pcSrvPart, c.part) << c.url;
        SLPFree(u);  // one block: nothing else to free
    }
    for (const char *bad : {"no-separator", "://h", "service:x://[fd00::1", "service:x://h:65536"}) {
        SLPSrvURL *u = reinterpret_cast<SLPSrvURL *>(1);
        EXPECT_EQ(SLPParseSrvURL(bad, &u), SLP_PARSE_ERROR) << bad;
        EXPECT_EQ(u, nullptr) << bad;
    }
    SLPSrvURL *u = nullptr;
    EXPECT_EQ(SLPParseSrvURL(nullptr, &u), SLP_PARAMETER_BAD);
    SLPFree(nullptr);
}

struct EscapeCase {
    const char *in;
    SLPBoolean isTag;
    SLPError err;
    const char *out;
};

void checkEscapes(SLPError (*fn)(const char *, char **, SLPBoolean), const EscapeCase *cases, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const EscapeCase &c = cases[i];
        char *out = nullptr;
        EXPECT_EQ(fn(c.in, &out, c.isTag), c.err) << c.in;
        if (c.err == SLP_OK)
            EXPECT_STREQ(out, c.out) << c.in;
        else
            EXPECT_EQ(out, nullptr) << c.in;
        SLPFree(out);
    }
}

TEST(SlpEscape, EscapesReservedCharacters) {
    const EscapeCase cases[] = {
        {"plain text", SLP_FALSE, SLP_OK, "plain text"},
        {"a,b(c)", SLP_FALSE, SLP_OK, "a\\2Cb\\28c\\29"},
        {"x=y<z>!~\\", SLP_FALSE, SLP_OK, "x\\3Dy\\3Cz\\3E\\21\\7E\\5C"},
        {"tab\there\x7F", SLP_FALSE, SLP_OK, "tab\\09here\\7F"},
        {"a*b_c", SLP_FALSE, SLP_OK, "a*b_c"},
        {"a*b", SLP_TRUE, SLP_PARSE_ERROR, nullptr},
        {"a_b", SLP_TRUE, SLP_PARSE_ERROR, nullptr},
        {"tag(1)", SLP_TRUE, SLP_OK, "tag\\281\\29"},
        {"", SLP_FALSE, SLP_OK, ""},
    };
    checkEscapes(SLPEscape, cases, sizeof cases / sizeof cases[0]);
}

TEST(SlpEscape, UnescapesHexPairs) {
    const EscapeCase cases[] = {
        {"a\\2Cb", SLP_FALSE, SLP_OK, "a,b"},
        {"a\\2cb\\5c", SLP_FALSE, SLP_OK, "a,b\\"},
        {"no escapes", SLP_FALSE, SLP_OK, "no escapes"},
        {"cut\\2", SLP_FALSE, SLP_PARSE_ERROR, nullptr},
        {"cut\\", SLP_FALSE, SLP_PARSE_ERROR, nullptr},
        {"bad\\zz", SLP_FALSE, SLP_PARSE_ERROR, nullptr},
        {"nul\\00", SLP_FALSE, SLP_PARSE_ERROR, nullptr},
        {"a\\2Ab", SLP_FALSE, SLP_OK, "a*b"},
        {"a\\2Ab", SLP_TRUE, SLP_PARSE_ERROR, nullptr},
        {"a_b", SLP_TRUE, SLP_PARSE_ERROR, nullptr},
    };
    checkEscapes(SLPUnescape, cases, sizeof cases / sizeof cases[0]);

    for (const char *text : {"(x=1),y", "\\\\ back", "~!<=>", "\x01\x1F"}) {
        char *escaped = nullptr, *back = nullptr;
        ASSERT_EQ(SLPEscape(text, &escaped, SLP_FALSE), SLP_OK);
        ASSERT_EQ(SLPUnescape(escaped, &back, SLP_FALSE), SLP_OK);
        EXPECT_STREQ(back, text);
        SLPFree(escaped);
        SLPFree(back);
    }
    char *out = nullptr;
    EXPECT_EQ(SLPEscape(nullptr, &out, SLP_FALSE), SLP_PARAMETER_BAD);
    EXPECT_EQ(SLPUnescape("x", nullptr, SLP_FALSE), SLP_PARAMETER_BAD);
}

}  // namespace
