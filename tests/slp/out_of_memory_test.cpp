// Fails the n-th allocation of a pass, for every n a pass makes, and checks that the pass
// ends in the logged reset (or does without what it could not get), leaks nothing, and that
// the next pass registers exactly what a pass without failures does.
//
// The allocator is replaced for the whole binary, so this test is not built with sanitizers.
#include <errno.h>
#include <stddef.h>
#include <syslog.h>

#include <gtest/gtest.h>

#include "fake_scope.h"
#include "test_switch.h"

extern "C" void *__libc_malloc(size_t size);
extern "C" void *__libc_calloc(size_t count, size_t size);
extern "C" void *__libc_realloc(void *block, size_t size);
extern "C" void __libc_free(void *block);

namespace {

long liveBlocks = 0;                 // blocks allocated and not yet freed, by anyone
thread_local bool counting = false;  // counting this thread's allocations outside the doubles
thread_local long seen = 0;
thread_local long failAt = 0;  // the allocation to fail; 0 for none

bool failThisOne() {
    if (!counting || fakeAllocationDepth > 0) return false;
    return ++seen == failAt;
}

// Fails the chosen allocation, else allocates and counts a new block.
template <typename Allocate> void *allocate(Allocate real, bool newBlock = true) {
    if (failThisOne()) {
        errno = ENOMEM;
        return nullptr;
    }
    void *block = real();
    if (block != nullptr && newBlock) __atomic_add_fetch(&liveBlocks, 1, __ATOMIC_RELAXED);
    return block;
}

}  // namespace

extern "C" void *malloc(size_t size) { return allocate([=] { return __libc_malloc(size); }); }
extern "C" void *calloc(size_t count, size_t size) { return allocate([=] { return __libc_calloc(count, size); }); }
extern "C" void *realloc(void *block, size_t size) {
    return block == nullptr ? malloc(size) : allocate([=] { return __libc_realloc(block, size); }, false);
}

extern "C" void free(void *block) {
    if (block == nullptr) return;
    __atomic_sub_fetch(&liveBlocks, 1, __ATOMIC_RELAXED);
    __libc_free(block);
}

namespace {

class OutOfMemoryTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(startSwitch(TEST_SWITCH_STATE)); }
    void TearDown() override {
        releaseAdvertisementRecords(&state);
        fakesys::uninstall();
    }

    // Runs one cycle failing allocation `n` (0: none); returns the cycle's result, and the
    // number of allocations it made in `*allocations`.
    int cycle(long n, long *allocations = nullptr) {
        forgetRecords();
        seen = 0, failAt = n, counting = true;
        const int result = runAdvertisementCycle(&state);
        counting = false;
        if (allocations != nullptr) *allocations = seen;
        return result;
    }

    // Drops what the doubles recorded, so that only the code under test holds blocks.
    void forgetRecords() {
        fakeKesh().batches = {}, fakeSlp().calls = {}, fakeSlp().registrations = {};
        clearCapturedLog();
    }

    std::vector<std::string> registered() {
        std::vector<std::string> out;
        for (const FakeSlpRegistration &r : fakeSlp().registrations) out.push_back(r.url + " " + r.attributes);
        return out;
    }

    AdvertisementState state{};
};

TEST_F(OutOfMemoryTest, EveryFailedAllocationOfAPassIsSurvived) {
    long allocations = 0;
    ASSERT_EQ(cycle(0), 0);  // the first pass opens the handle and fills the lists
    ASSERT_EQ(cycle(0, &allocations), 0);
    const std::vector<std::string> truth = registered();
    ASSERT_EQ(truth.size(), 8u);
    ASSERT_GT(allocations, 50);
    // One failed pass and its recovery first, so that the doubles' own records (the log, the
    // sleeps) have their buffers before the count is taken.
    cycle(1);
    cycle(0);
    forgetRecords();
    const long baseline = liveBlocks;

    for (long n = 1; n <= allocations; n++) {
        if (cycle(n) != 0) {
            // The failure is logged and answered by the reset.
            std::vector<LogLine> log = capturedLog();
            ASSERT_FALSE(log.empty()) << "allocation " << n;
            EXPECT_EQ(log.back().priority, LOG_CRIT) << "allocation " << n;
            EXPECT_EQ(log.back().text.rfind("Exception[CRIT]:orvad_thread:slpThread[", 0), 0u) << log.back().text;
            EXPECT_EQ(fakeSlp().calls.back(), "close") << "allocation " << n;
            EXPECT_EQ(state.handle, nullptr) << "allocation " << n;
        }
        ASSERT_EQ(cycle(0), 0) << "allocation " << n;
        EXPECT_EQ(registered(), truth) << "allocation " << n;
        forgetRecords();
        const long live = liveBlocks;  // taken before a failure message allocates
        ASSERT_EQ(live, baseline) << "allocation " << n << " of " << allocations;
    }
}

}  // namespace
