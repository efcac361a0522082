// keshlib.h: the one connection to the switch management library, the subscription to
// switch change events, their debouncing, and the wake state of the advertisement thread.
#ifndef ORVAD_SWITCHLIB_KESHLIB_H
#define ORVAD_SWITCHLIB_KESHLIB_H

#include <pthread.h>
#include <stdint.h>

#include <atomic>

// Connection handle from kesh_IPConnect; 0 until connected. Written once by the main
// thread before the advertisement thread starts; read by every batch query.
extern uint32_t smlHandle;

// True from the moment an event starts a debounce thread until that thread is about to
// wake the advertisement thread. Relaxed loads and stores: a race costs one extra wake-up.
extern std::atomic<bool> notificationPending;

// Wake-ups not yet taken by the advertisement thread, guarded by wakeMutex; wakeCond is
// signalled once per wake-up.
extern uint32_t wakeCount;
extern pthread_mutex_t wakeMutex;
extern pthread_cond_t wakeCond;

// Seconds between a burst's first event and its wake-up, and between connection attempts.
constexpr unsigned int kNotificationDelaySeconds = 10;
constexpr unsigned int kConnectRetrySeconds = 10;

// Stack size the daemon's threads are meant to have; threadStackSize() is what they get.
constexpr size_t kThreadStackSize = 65536;

// --- keshlib.cpp ---

// Stack size of every thread the daemon starts: kThreadStackSize, or the C library's minimum
// where that is larger (128 KiB on PowerPC), since a smaller size makes the thread fail to start.
size_t threadStackSize(void);

// Connects to the management library, retrying every 10 s for as long as it refuses, then
// subscribes keshlibNotificationCB to the nine change events. Returns 0 once connected
// (also when the subscription failed, which is logged), -1 if a connection already existed.
int keshlibInit(void);

// Event callback: starts one detached debounce thread per burst of events.
void keshlibNotificationCB(uint32_t handle, uint32_t eventCode, uint32_t userData);

// Debounce thread body: sleeps the number of seconds carried in `arg` itself, clears
// notificationPending and wakes the advertisement thread. Returns null.
void *notificationDelayThread(void *arg);

// --- wake.cpp ---

// Posts one wake-up to the advertisement thread. Returns 0, or -1 (logged with errno)
// when the lock, signal or unlock fails; the mutex is never left locked.
int wakeSlpThread(void);

// Blocks until at least one wake-up is posted, then takes them all at once. Returns how
// many were taken. Called by the advertisement thread only.
uint32_t waitForWakeups(void);

#endif
