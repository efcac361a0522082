#include "fake_system_calls.h"

#include <errno.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "system_calls.h"

namespace fakesys {
namespace {

constexpr auto kRealWaitLimit = std::chrono::seconds(5);

struct Failure {
    bool armed = false;
    int result = 0, error = 0;
};

struct State {
    std::mutex mutex;
    std::condition_variable changed;
    bool autoAdvance = false;
    unsigned int clock = 0;
    int sleepers = 0, running = 0;
    std::vector<unsigned int> requests;
    Threads threads;
    Failure failures[kCallKinds];
};

State state;

std::unique_lock<std::mutex> locked() { return std::unique_lock<std::mutex>(state.mutex); }
template <typename F> auto withLock(F f) { auto lock = locked(); return f(); }

// Returns true (with errno set) when a failure was armed for this call, and disarms it.
bool takeFailure(Call call, int *result) {
    auto lock = locked();
    Failure &failure = state.failures[call];
    if (!failure.armed) return false;
    failure.armed = false;
    *result = failure.result;
    errno = failure.error;
    return true;
}

unsigned int fakeSleep(unsigned int seconds) {
    auto lock = locked();
    state.requests.push_back(seconds);
    const unsigned int deadline = state.clock + seconds;
    if (state.autoAdvance) {
        state.clock = deadline;
        state.changed.notify_all();
        return 0;
    }
    state.sleepers++;
    state.changed.notify_all();
    state.changed.wait(lock, [&] { return state.clock >= deadline; });
    state.sleepers--;
    state.changed.notify_all();
    return 0;
}

// The real call, unless a failure was armed for it.
template <Call kind, auto real, typename... Args> int failable(Args... args) {
    int result;
    return takeFailure(kind, &result) ? result : real(args...);
}

struct Trampoline {
    void *(*body)(void *);
    void *arg;
};

void *runCounted(void *raw) {
    const Trampoline trampoline = *static_cast<Trampoline *>(raw);
    delete static_cast<Trampoline *>(raw);
    void *result = trampoline.body(trampoline.arg);
    withLock([] { state.running--, state.changed.notify_all(); });
    return result;
}

int fakeCreateThread(pthread_t *thread, const pthread_attr_t *attr, void *(*body)(void *), void *arg) {
    int result;
    if (takeFailure(kCreateThread, &result)) return result;
    size_t stackSize = 0;
    int detachState = PTHREAD_CREATE_JOINABLE;
    pthread_attr_getstacksize(attr, &stackSize);
    pthread_attr_getdetachstate(attr, &detachState);
    {
        auto lock = locked();
        state.threads = {state.threads.created + 1, stackSize, detachState == PTHREAD_CREATE_DETACHED};
        state.running++;
    }
    auto *trampoline = new Trampoline{body, arg};
    result = pthread_create(thread, attr, runCounted, trampoline);
    if (result != 0) {
        delete trampoline;
        withLock([] { state.running--; });
    }
    return result;
}

// A reported unlock failure still unlocks, so the test that injected it can go on.
int fakeMutexUnlock(pthread_mutex_t *mutex) {
    const int realResult = pthread_mutex_unlock(mutex);
    int result;
    return takeFailure(kMutexUnlock, &result) ? result : realResult;
}

}  // namespace

void install() {
    {
        auto lock = locked();
        state.autoAdvance = false;
        state.clock = 0;
        state.requests.clear();
        state.threads = {};
        for (Failure &failure : state.failures) failure = Failure{};
    }
    systemCalls = SystemCalls{fakeSleep, failable<kStackSize, pthread_attr_setstacksize>, fakeCreateThread,
                              failable<kMutexLock, pthread_mutex_lock>, failable<kCondSignal, pthread_cond_signal>,
                              fakeMutexUnlock};
}

void uninstall() {
    // Let every sleeper finish so no thread outlives the test that started it.
    setAutoAdvance(true);
    advance(1000000);
    waitForThreadsToEnd();
    systemCalls = realSystemCalls;
}

void setAutoAdvance(bool on) { withLock([&] { state.autoAdvance = on; }); }
std::vector<unsigned int> sleepRequests() { return withLock([] { return state.requests; }); }
Threads threads() { return withLock([] { return state.threads; }); }
void failNext(Call call, int result, int error) { withLock([&] { state.failures[call] = {true, result, error}; }); }

void advance(unsigned int seconds) { withLock([&] { state.clock += seconds, state.changed.notify_all(); }); }

bool waitForSleepers(int count) {
    auto lock = locked();
    return state.changed.wait_for(lock, kRealWaitLimit, [&] { return state.sleepers == count; });
}

bool waitForThreadsToEnd() {
    auto lock = locked();
    return state.changed.wait_for(lock, kRealWaitLimit, [&] { return state.running == 0; });
}

}  // namespace fakesys
