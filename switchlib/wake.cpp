#include <errno.h>
#include <syslog.h>

#include "keshlib.h"
#include "system_calls.h"

uint32_t wakeCount = 0;
pthread_mutex_t wakeMutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t wakeCond = PTHREAD_COND_INITIALIZER;

// The count and the signal change under the mutex, so a wake-up posted before the
// advertisement thread waits is still seen by that wait.
int wakeSlpThread(void) {
    if (systemCalls.mutexLock(&wakeMutex) != 0) {
        syslog(LOG_CRIT, "unable to gain mutex, pthread_mutex_lock %d\n", errno);
        return -1;
    }
    wakeCount++;
    if (systemCalls.condSignal(&wakeCond) != 0) {
        syslog(LOG_CRIT, "unable to signal thread, pthread_cond_signal %d\n", errno);
        systemCalls.mutexUnlock(&wakeMutex);
        return -1;
    }
    if (systemCalls.mutexUnlock(&wakeMutex) != 0) {
        syslog(LOG_CRIT, "unable to releasse mutex, pthread_mutex_unlock %d\n", errno);
        return -1;
    }
    return 0;
}

// Reset, not decrement: any number of wake-ups posted since the last wait yield one pass.
uint32_t waitForWakeups(void) {
    pthread_mutex_lock(&wakeMutex);
    while (wakeCount == 0) pthread_cond_wait(&wakeCond, &wakeMutex);
    uint32_t taken = wakeCount;
    wakeCount = 0;
    pthread_mutex_unlock(&wakeMutex);
    return taken;
}
