// system_calls.h: the operating-system calls whose timing or failure tests must control.
//
// Production code calls these through `systemCalls`, which holds the real functions;
// unit tests swap in doubles (a virtual clock for sleep, counting or failing thread and
// lock calls). Nothing else goes through this record.
#ifndef ORVAD_SWITCHLIB_SYSTEM_CALLS_H
#define ORVAD_SWITCHLIB_SYSTEM_CALLS_H

#include <pthread.h>
#include <stddef.h>

struct SystemCalls {
    unsigned int (*sleep)(unsigned int seconds);
    int (*attrSetStackSize)(pthread_attr_t *attr, size_t stackSize);
    int (*createThread)(pthread_t *thread, const pthread_attr_t *attr, void *(*body)(void *), void *arg);
    int (*mutexLock)(pthread_mutex_t *mutex);
    int (*condSignal)(pthread_cond_t *cond);
    int (*mutexUnlock)(pthread_mutex_t *mutex);
};

// The real calls: sleep, pthread_attr_setstacksize, pthread_create, pthread_mutex_lock,
// pthread_cond_signal, pthread_mutex_unlock.
extern const SystemCalls realSystemCalls;

// What the daemon calls; equal to realSystemCalls unless a test replaced it.
extern SystemCalls systemCalls;

#endif
