#include "system_calls.h"

#include <unistd.h>

const SystemCalls realSystemCalls = {
    ::sleep,
    ::pthread_attr_setstacksize,
    ::pthread_create,
    ::pthread_mutex_lock,
    ::pthread_cond_signal,
    ::pthread_mutex_unlock,
};

SystemCalls systemCalls = realSystemCalls;
