// fake_system_calls.h: controllable sleep, thread creation and lock calls for unit tests.
//
// install() puts the doubles into systemCalls; uninstall() waits for the threads they
// started and puts the real calls back. Sleeps run on a virtual clock: a sleeping thread
// stays asleep until the test advances the clock past its deadline, or, with
// autoAdvance, the sleep moves the clock itself and returns at once.
#ifndef ORVAD_TESTS_FAKES_FAKE_SYSTEM_CALLS_H
#define ORVAD_TESTS_FAKES_FAKE_SYSTEM_CALLS_H

#include <stddef.h>

#include <vector>

namespace fakesys {

void install();
void uninstall();

void setAutoAdvance(bool on);
void advance(unsigned int seconds);
std::vector<unsigned int> sleepRequests();  // seconds asked for, in call order

// Waits up to a few real seconds until `count` threads sleep at once; false on timeout.
bool waitForSleepers(int count);

// Threads started through the double, and the stack size and detach state of the last one.
struct Threads {
    int created = 0;
    size_t lastStackSize = 0;
    bool lastDetached = false;
};
Threads threads();
// Waits up to a few real seconds until every thread started through the double has ended.
bool waitForThreadsToEnd();

enum Call { kStackSize, kCreateThread, kMutexLock, kCondSignal, kMutexUnlock, kCallKinds };

// The next call of that kind fails: it sets errno to `error` and returns `result`.
void failNext(Call call, int result, int error);

}  // namespace fakesys

#endif
