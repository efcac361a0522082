// The registration file: entries as written become registrations, a bad one is skipped with a
// line naming file and line, and applying a new version of the file changes exactly what changed.
#include "reg_file.h"

#include <gtest/gtest.h>

namespace slpagent {
namespace {

std::string held(const Registry &registry) {
    std::string out;
    for (const auto &[key, r] : registry.entries)
        out += r.url + " " + r.language + " " + r.serviceType + " [" + r.scopes + "] " + std::to_string(r.lifetime) +
               (r.permanent ? "p" : "") + " " + r.attributes + "\n";
    return out;
}

TEST(RegistrationFile, EntriesAsWrittenAndBadOnesSkippedWithTheirLine) {
    const std::string text =
        "# printers\n"
        "service:printer:lpr://192.0.2.40/queue,en,65535\n"
        "scopes = DEFAULT, lab\n"
        "printer-name=lab 3\n"
        "; a comment among the attributes\n"
        "color-supported\n"
        "media=a4,letter\\2c folded\n"
        "\n\n"
        "http://192.0.2.41/, de ,3600, service:web-ui\r\n"
        "\n"
        "service:bad://a,en,0\n"          // line 12
        "x=1\n\n"
        "service:bad://b,e n,10\n"        // line 15
        "\n"
        "ftp://192.0.2.42/,en,10\n"       // line 17: no type
        "\n"
        "service:bad://c,en,10\n"         // line 19
        "scopes=ELSEWHERE\n"              // line 20
        "\n"
        "service:bad://d,en,10\n"
        "(x=1\n"                          // line 23
        "\n"
        "service:printer:lpr://192.0.2.40/queue,en,10\n"  // line 25: twice
        "\n"
        "service:last://e,en,70";         // no newline at the end
    std::vector<std::string> errors;
    Registry registry;
    std::vector<std::string> lines;
    applyRegistrationFile(&registry, {}, parseRegistrationFile(text, "f.reg", "DEFAULT", &errors), false, 0, &lines);
    EXPECT_EQ(held(registry),
              "http://192.0.2.41/ de service:web-ui [DEFAULT] 3600 \n"
              "service:last://e en service:last [DEFAULT] 70 \n"
              "service:printer:lpr://192.0.2.40/queue en service:printer:lpr [DEFAULT, lab] 65535p "
              "(printer-name=lab 3),color-supported,(media=a4,letter\\2c folded)\n");
    EXPECT_EQ(errors, (std::vector<std::string>{
                          "f.reg:12: lifetime '0' is not 1 to 65535; entry skipped",
                          "f.reg:15: bad language tag 'e n'; entry skipped",
                          "f.reg:17: a URL outside the service: scheme needs its service type; entry skipped",
                          "f.reg:20: scopes 'ELSEWHERE' are not served (DEFAULT); entry skipped",
                          "f.reg:23: bad attribute tag '(x'; entry skipped",
                          "f.reg:25: service:printer:lpr://192.0.2.40/queue is given twice"}));
    EXPECT_EQ(lines.size(), 4u);  // three registrations, one with attributes
}

TEST(RegistrationFile, AnEditChangesWhatChangedAndLeavesWhatAProcessRegistered) {
    std::vector<std::string> errors, lines;
    auto parse = [&](const char *text) { return parseRegistrationFile(text, "f.reg", "DEFAULT", &errors); };
    const std::vector<Registration> v1 = parse("service:a://1,en,65535\nk=1\n\nservice:b://2,en,60\n\nservice:c://3,en,60\n");
    const std::vector<Registration> v2 = parse("service:a://1,en,65535\nk=2\n\nservice:b://2,en,60\n\nservice:d://4,en,60\n");
    Registry registry;
    applyRegistrationFile(&registry, {}, v1, true, 0, &lines);
    EXPECT_FALSE(registry.entries.begin()->second.permanent);  // strict lifetimes
    // service:b has expired meanwhile; service:c is registered again by a process.
    expireRegistrations(&registry, 61000, &lines);
    Registration c = v1[2];
    c.processId = 4242;
    storeRegistration(&registry, c);
    lines.clear();
    applyRegistrationFile(&registry, v1, v2, false, 61000, &lines);
    EXPECT_EQ(lines, (std::vector<std::string>{"registered service:a://1 lifetime 65535", "  attributes (k=2)",
                                               "registered service:b://2 lifetime 60",
                                               "registered service:d://4 lifetime 60"}));
    lines.clear();
    applyRegistrationFile(&registry, v2, v2, false, 62000, &lines);
    applyRegistrationFile(&registry, v2, parse("service:a://1,en,65535\nk=2\n"), false, 62000, &lines);
    EXPECT_EQ(lines, (std::vector<std::string>{"deregistered service:b://2", "deregistered service:d://4"}));
    EXPECT_EQ(registry.entries.size(), 2u);  // service:a and the process's service:c
    EXPECT_TRUE(errors.empty());
}

TEST(RegistrationFile, FileUrls) {
    for (const auto &[property, path] : std::vector<std::pair<std::string, std::string>>{
             {"/etc/slp.reg", "/etc/slp.reg"}, {"local.reg", "local.reg"}, {"file:/etc/slp.reg", "/etc/slp.reg"},
             {"file:///etc/slp.reg", "/etc/slp.reg"}, {"file://localhost/etc/slp.reg", "/etc/slp.reg"},
             {"file://host/etc/slp.reg", ""}, {"file:slp.reg", ""}})
        EXPECT_EQ(registrationFilePath(property), path) << property;
}

}  // namespace
}  // namespace slpagent
