// orvad-storm-bench: a storm of switch change events against the daemon's notification
// callback, and what comes out of it: the wake-ups of the advertisement thread and their
// spacing, the debounce threads alive at once, and the CPU used.
// Prints figures; asserts nothing. Usage: orvad-storm-bench [seconds, default 60] [events a second, default 5000]
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "bench_util.h"
#include "kesh.h"
#include "keshlib.h"

namespace {

std::atomic<int> wakeUps{0};
std::atomic<double> lastWake{0};
bench::Clock::time_point start;

// Stands in for the advertisement thread: takes wake-ups and notes when they came.
void *consumeWakeUps(void *) {
    for (;;) {
        waitForWakeups();
        lastWake = std::chrono::duration<double>(bench::Clock::now() - start).count();
        std::printf("  wake-up %d at %6.2f s\n", ++wakeUps, lastWake.load());
        std::fflush(stdout);
    }
    return nullptr;
}

int threadCount() {
    std::ifstream in("/proc/self/status");
    std::string key;
    int value = 0;
    while (in >> key)
        if (key == "Threads:" && in >> value) return value;
    return 0;
}

}  // namespace

int main(int argc, char *argv[]) {
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 60;
    const int rate = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5000;
    std::printf("orvad-storm-bench: %d events a second for %d s\n", rate, seconds);
    start = bench::Clock::now();
    pthread_t consumer;
    pthread_create(&consumer, nullptr, consumeWakeUps, nullptr);
    const int baseThreads = threadCount();

    double cpu0 = bench::cpuSeconds();
    long events = 0;
    int maxThreads = baseThreads;
    const auto step = std::chrono::nanoseconds(1000000000 / rate);
    auto next = bench::Clock::now();
    const auto end = next + std::chrono::seconds(seconds);
    while (bench::Clock::now() < end) {
        keshlibNotificationCB(1, KESH_EVENT_NETWORK_CFG_CHANGE, 0);
        if (++events % 100 == 0) maxThreads = std::max(maxThreads, threadCount());
        next += step;
        std::this_thread::sleep_until(next);
    }
    double stormCpu = bench::cpuSeconds() - cpu0;
    // The last burst's wake-up comes up to ten seconds after the storm.
    std::this_thread::sleep_for(std::chrono::seconds(kNotificationDelaySeconds + 1));

    std::printf("  %ld events in %d s; %d wake-ups, the last at %.2f s (one per %u s expected: %d)\n", events, seconds,
                wakeUps.load(), lastWake.load(), kNotificationDelaySeconds,
                (seconds + static_cast<int>(kNotificationDelaySeconds) - 1) /
                    static_cast<int>(kNotificationDelaySeconds));
    std::printf("  threads: %d before, at most %d during the storm (one debounce thread at a time: %d)\n", baseThreads,
                maxThreads, baseThreads + 1);
    std::printf(
        "  CPU during the storm: %.3f s (%.2f%% of one core), %.2f us an event, including the sender's pacing\n",
        stormCpu, stormCpu / seconds * 100, stormCpu / static_cast<double>(events) * 1e6);
    return 0;
}
