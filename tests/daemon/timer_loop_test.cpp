// The daemon's timer loop; its command line is tested through the real program
// (command-line.sh).
#include <errno.h>
#include <gtest/gtest.h>

#include <vector>

#include "daemon.h"
#include "fake_system_calls.h"
#include "keshlib.h"

namespace {

TEST(TimerLoopTest, SleepsTenMinutesBetweenWakeUpsUntilOneFails) {
    fakesys::install();
    fakesys::setAutoAdvance(true);
    wakeCount = 0;
    fakesys::failNext(fakesys::kMutexLock, -1, EDEADLK);
    runTimerLoop();
    EXPECT_EQ(fakesys::sleepRequests(), std::vector<unsigned int>{600});
    EXPECT_EQ(wakeCount, 0u);
    fakesys::uninstall();
}

}  // namespace
