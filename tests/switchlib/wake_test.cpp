#include <errno.h>
#include <gtest/gtest.h>
#include <syslog.h>

#include <future>

#include "fake_system_calls.h"
#include "keshlib.h"
#include "syslog_capture.h"

namespace {

class WakeTest : public ::testing::Test {
protected:
    void SetUp() override {
        clearCapturedLog();
        fakesys::install();
        wakeCount = 0;
    }
    void TearDown() override { fakesys::uninstall(); }
};

TEST_F(WakeTest, WakeupsPostedBeforeAnyoneWaitsAreTakenTogether) {
    ASSERT_EQ(wakeSlpThread(), 0);
    ASSERT_EQ(wakeSlpThread(), 0);

    EXPECT_EQ(waitForWakeups(), 2u);
    EXPECT_EQ(wakeCount, 0u);
    EXPECT_TRUE(capturedLog().empty());
}

TEST_F(WakeTest, WaiterSleepsUntilAWakeupIsPosted) {
    auto waiter = std::async(std::launch::async, waitForWakeups);
    EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);

    ASSERT_EQ(wakeSlpThread(), 0);

    ASSERT_EQ(waiter.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(waiter.get(), 1u);
}

TEST_F(WakeTest, FailuresLogErrnoReturnMinusOneAndNeverLeaveTheMutexLocked) {
    struct Case {
        const char *name;
        fakesys::Call call;
        const char *message;
        uint32_t countAfter;
    };
    const Case cases[] = {
        {"lock", fakesys::kMutexLock, "unable to gain mutex, pthread_mutex_lock 35\n", 0},
        {"signal", fakesys::kCondSignal, "unable to signal thread, pthread_cond_signal 35\n", 1},
        {"unlock", fakesys::kMutexUnlock, "unable to releasse mutex, pthread_mutex_unlock 35\n", 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        clearCapturedLog();
        wakeCount = 0;
        fakesys::failNext(c.call, EAGAIN, EDEADLK);  // 35: the message shows errno, not the returned value

        EXPECT_EQ(wakeSlpThread(), -1);

        EXPECT_EQ(capturedLog(), (std::vector<LogLine>{{LOG_CRIT, c.message}}));
        EXPECT_EQ(wakeCount, c.countAfter);
        ASSERT_EQ(pthread_mutex_trylock(&wakeMutex), 0);
        pthread_mutex_unlock(&wakeMutex);
        EXPECT_EQ(wakeSlpThread(), 0);
    }
}

}  // namespace
