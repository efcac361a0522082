#include "keshlib.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <syslog.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "fake_kesh.h"
#include "fake_system_calls.h"
#include "syslog_capture.h"

namespace {

class KeshlibTest : public ::testing::Test {
protected:
    void SetUp() override {
        resetFakeKesh();
        clearCapturedLog();
        fakesys::install();
        smlHandle = 0;
        notificationPending = false;
        wakeCount = 0;
    }
    void TearDown() override { fakesys::uninstall(); }
};

// Waits up to five real seconds for wakeCount to reach `count`.
bool waitForWakeCount(uint32_t count) {
    for (int i = 0; i < 500; i++) {
        pthread_mutex_lock(&wakeMutex);
        uint32_t now = wakeCount;
        pthread_mutex_unlock(&wakeMutex);
        if (now == count) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

uint32_t currentWakeCount() {
    pthread_mutex_lock(&wakeMutex);
    uint32_t now = wakeCount;
    pthread_mutex_unlock(&wakeMutex);
    return now;
}

TEST_F(KeshlibTest, ConnectsToLoopbackAsCimAndSubscribesNineEventsInOrder) {
    fakeKesh().connectScript = {{0, 42}};

    EXPECT_EQ(keshlibInit(), 0);

    EXPECT_EQ(smlHandle, 42u);
    EXPECT_EQ(fakeKesh().connectArguments, (std::vector<std::string>{"127.0.0.1", "cim", ""}));
    EXPECT_EQ(fakeKesh().subscribedHandle, 42u);
    EXPECT_EQ(fakeKesh().callback, &keshlibNotificationCB);
    EXPECT_EQ(fakeKesh().subscribedCodes, (std::vector<uint32_t>{16, 69, 17, 8, 9, 31, 32, 33, 57}));
    EXPECT_EQ(fakeKesh().subscribedReserved, std::vector<uint32_t>(9, 0));
    EXPECT_TRUE(capturedLog().empty());
}

TEST_F(KeshlibTest, RetriesEveryTenSecondsWhileRefused) {
    fakesys::setAutoAdvance(true);
    fakeKesh().connectScript = {{5, 0}, {-3, 0}, {5, 0}, {0, 9}};

    EXPECT_EQ(keshlibInit(), 0);

    EXPECT_EQ(smlHandle, 9u);
    EXPECT_EQ(fakeKesh().connectCalls, 4);
    EXPECT_EQ(fakesys::sleepRequests(), (std::vector<unsigned int>{10, 10, 10}));
    EXPECT_EQ(capturedLog(), (std::vector<LogLine>{
                                 {LOG_CRIT, "keshlib connection failed: 5 : retrying in 10 seconds...\n"},
                                 {LOG_CRIT, "keshlib connection failed: -3 : retrying in 10 seconds...\n"},
                                 {LOG_CRIT, "keshlib connection failed: 5 : retrying in 10 seconds...\n"},
                             }));
}

TEST_F(KeshlibTest, SuccessWithoutHandleRetriesAtOnceWithoutMessage) {
    fakeKesh().connectScript = {{0, 0}, {0, 0}, {0, 3}};

    EXPECT_EQ(keshlibInit(), 0);

    EXPECT_EQ(smlHandle, 3u);
    EXPECT_EQ(fakeKesh().connectCalls, 3);
    EXPECT_TRUE(fakesys::sleepRequests().empty());
    EXPECT_TRUE(capturedLog().empty());
}

TEST_F(KeshlibTest, SecondCallLogsNoticeReturnsMinusOneAndKeepsConnection) {
    fakeKesh().connectScript = {{0, 11}};
    ASSERT_EQ(keshlibInit(), 0);

    EXPECT_EQ(keshlibInit(), -1);

    EXPECT_EQ(smlHandle, 11u);
    EXPECT_EQ(fakeKesh().connectCalls, 1);
    EXPECT_EQ(capturedLog(), (std::vector<LogLine>{{LOG_INFO, "keshlibInit already done\n"}}));
}

TEST_F(KeshlibTest, FailedSubscriptionIsLoggedAndStillReturnsZero) {
    fakeKesh().subscribeResult = 1;

    EXPECT_EQ(keshlibInit(), 0);

    EXPECT_NE(smlHandle, 0u);
    EXPECT_EQ(capturedLog(),
              (std::vector<LogLine>{{LOG_CRIT, "Unable to register for events via kesh_enRegisterForEvents\n"}}));
}

TEST_F(KeshlibTest, BurstOfEventsGivesOneWakeupTenSecondsAfterTheFirst) {
    for (int i = 0; i < 20; i++) keshlibNotificationCB(7, KESH_EVENT_NETWORK_CFG_CHANGE, 0);
    ASSERT_TRUE(fakesys::waitForSleepers(1));

    EXPECT_EQ(fakesys::threadsCreated(), 1);
    EXPECT_EQ(fakesys::sleepRequests(), std::vector<unsigned int>{10});
    EXPECT_EQ(fakesys::lastThreadStackSize(), std::max<size_t>(65536, PTHREAD_STACK_MIN));  // 128 KiB on PowerPC
    EXPECT_TRUE(fakesys::lastThreadDetached());
    EXPECT_TRUE(notificationPending);

    fakesys::advance(9);
    EXPECT_TRUE(fakesys::waitForSleepers(1));
    EXPECT_EQ(currentWakeCount(), 0u);

    fakesys::advance(1);
    EXPECT_TRUE(waitForWakeCount(1));
    ASSERT_TRUE(fakesys::waitForThreadsToEnd());
    EXPECT_FALSE(notificationPending);
    EXPECT_EQ(currentWakeCount(), 1u);
    EXPECT_TRUE(capturedLog().empty());
}

TEST_F(KeshlibTest, EventAfterTheFlagClearsStartsASecondDelay) {
    keshlibNotificationCB(7, KESH_EVENT_SERVICES_CFG_CHANGE, 0);
    ASSERT_TRUE(fakesys::waitForSleepers(1));
    fakesys::advance(10);
    ASSERT_TRUE(waitForWakeCount(1));
    ASSERT_TRUE(fakesys::waitForThreadsToEnd());

    keshlibNotificationCB(7, KESH_EVENT_SERVICES_CFG_CHANGE, 0);
    ASSERT_TRUE(fakesys::waitForSleepers(1));
    EXPECT_EQ(fakesys::threadsCreated(), 2);
    fakesys::advance(10);

    EXPECT_TRUE(waitForWakeCount(2));
}

TEST_F(KeshlibTest, ThreadStartFailuresLogErrnoAndLeaveEveryLaterEventAbsorbed) {
    struct Case {
        const char *name;
        fakesys::Call call;
        const char *message;
    };
    const Case cases[] = {
        {"stack size", fakesys::kStackSize,
         "unable to init keshlibNotificationCB, pthread_attr_setstacksize 22\n"},
        {"create", fakesys::kCreateThread, "unable to init keshlibNotificationCB, pthread_create 22\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        clearCapturedLog();
        notificationPending = false;
        int before = fakesys::threadsCreated();
        fakesys::failNext(c.call, 11, EINVAL);  // the message shows errno, not the returned 11

        keshlibNotificationCB(7, KESH_EVENT_SNMP_CFG_CHANGE, 0);
        keshlibNotificationCB(7, KESH_EVENT_SNMP_CFG_CHANGE, 0);

        EXPECT_EQ(capturedLog(), (std::vector<LogLine>{{LOG_CRIT, c.message}}));
        EXPECT_EQ(fakesys::threadsCreated(), before);
        EXPECT_TRUE(notificationPending);
    }
}

}  // namespace
