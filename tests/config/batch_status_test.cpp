#include <gtest/gtest.h>
#include <string.h>
#include <syslog.h>

#include <vector>

#include "config.h"
#include "syslog_capture.h"

namespace {

TEST(CheckBatchStatus, ReportsOnlyTheFirstFailingEntry) {
    struct Case {
        const char *name;
        std::vector<uint32_t> statuses;
        uint32_t count;
        int result;
        std::vector<LogLine> log;
    };
    const Case cases[] = {
        {"empty batch", {}, 0, 0, {}},
        {"count 0 ignores statuses", {5}, 0, 0, {}},
        {"all read", {0, 0, 0}, 3, 0, {}},
        {"entries 3 and 7 fail",
         {0, 0, 0, 0x1f, 0, 0, 0, 0x2a},
         8,
         1,
         {{LOG_CRIT, "sml command='entry3', smlerror=0x1f\n"}}},
        {"failure past count is not looked at", {0, 0, 9}, 2, 0, {}},
        {"large status in hex", {0xdeadbeef}, 1, 1, {{LOG_CRIT, "sml command='entry0', smlerror=0xdeadbeef\n"}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        clearCapturedLog();
        std::vector<SmlBatchEntry> batch(c.statuses.size() + 1);
        for (size_t i = 0; i < c.statuses.size(); i++) {
            snprintf(batch[i].name, sizeof batch[i].name, "entry%zu", i);
            batch[i].status = c.statuses[i];
        }

        EXPECT_EQ(checkBatchStatus(batch.data(), c.count), c.result);
        EXPECT_EQ(capturedLog(), c.log);
    }
}

}  // namespace
