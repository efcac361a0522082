#include <syslog.h>

#include "test_switch.h"

namespace {

using Calls = std::vector<std::string>;

class RegistrationTest : public AdvertiseTest {};

TEST_F(RegistrationTest, RegistersEveryRecordForTheMaximumLifetime) {
    EXPECT_EQ(registerServices(handle, {}), 0);
    EXPECT_TRUE(fakeSlp().calls.empty());

    EXPECT_EQ(registerServices(handle, recordsWithUrls({"a", "b"})), 0);
    EXPECT_EQ(fakeSlp().calls, (Calls{"reg a", "reg b"}));
    const FakeSlpRegistration &reg = fakeSlp().registrations[1];
    EXPECT_EQ(reg.attributes, "(a=b)");
    EXPECT_EQ(reg.lifetime, 65535);
    EXPECT_TRUE(reg.serviceTypeNull);
    EXPECT_EQ(reg.fresh, SLP_TRUE);
    EXPECT_TRUE(capturedLog().empty());
}

TEST_F(RegistrationTest, StopsAtTheFirstRefusalAndWithdrawsThatUrl) {
    struct Case {
        const char *name;
        FakeSlpReply refusal;
        std::vector<LogLine> log;
    } cases[] = {
        {"call fails", {SLP_NETWORK_ERROR, SLP_OK, false}, {}},
        {"agent refuses", {SLP_OK, SLP_INVALID_REGISTRATION, true}, {{LOG_CRIT, "SLP: Callback Code = -3\n"}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        resetFakeSlp();
        clearCapturedLog();
        fakeSlp().replies = {{SLP_OK, SLP_OK, true}, c.refusal};
        EXPECT_EQ(registerServices(handle, recordsWithUrls({"a", "b", "c"})), -1);
        EXPECT_EQ(fakeSlp().calls, (Calls{"reg a", "reg b", "dereg b"}));
        EXPECT_EQ(capturedLog(), c.log);
    }
}

TEST_F(RegistrationTest, DeregistersOnlyUrlsTheKeepListLacksByteForByte) {
    ServiceList keep = recordsWithUrls({"service:x://a", "service:x://b"});
    keep.front().attributes = "(other=attributes)";
    ServiceList registered =
        recordsWithUrls({"service:x://b", "service:x://c", "service:x://ab", "service:x://A", "service:x://a"});
    EXPECT_EQ(deregisterStaleServices(handle, keep, registered), 0);
    EXPECT_EQ(fakeSlp().calls, (Calls{"dereg service:x://c", "dereg service:x://ab", "dereg service:x://A"}));

    resetFakeSlp();
    EXPECT_EQ(deregisterStaleServices(handle, keep, {}), 0);
    EXPECT_TRUE(fakeSlp().calls.empty());
}

TEST_F(RegistrationTest, RefusedDeregistrationsAreLoggedAndDoNotStopTheRest) {
    fakeSlp().replies = {
        {SLP_OK, SLP_INVALID_REGISTRATION, true}, {SLP_NETWORK_ERROR, SLP_OK, false}, {SLP_OK, SLP_OK, true}};
    EXPECT_EQ(deregisterStaleServices(handle, {}, recordsWithUrls({"u1", "u2", "u3"})), 0);
    EXPECT_EQ(fakeSlp().calls, (Calls{"dereg u1", "dereg u2", "dereg u3"}));
    EXPECT_EQ(capturedLog(), (std::vector<LogLine>{
                                 {LOG_CRIT, "SLP: Callback Code = -3\n"},
                                 {LOG_CRIT, "Unable to deregister slpd with serviceURL=u1\n"},
                                 {LOG_CRIT, "Unable to deregister slpd with serviceURL=u2\n"},
                             }));
}

TEST_F(RegistrationTest, CallbackStoresTheCodeAndLogsOnlyFailures) {
    SLPError status = SLP_NETWORK_ERROR;
    slpCallback(handle, SLP_OK, &status);
    EXPECT_EQ(status, SLP_OK);
    EXPECT_TRUE(capturedLog().empty());
    slpCallback(handle, SLP_AUTHENTICATION_FAILED, &status);
    EXPECT_EQ(status, SLP_AUTHENTICATION_FAILED);
    EXPECT_EQ(capturedLog(), (std::vector<LogLine>{{LOG_CRIT, "SLP: Callback Code = -7\n"}}));
}

}  // namespace
