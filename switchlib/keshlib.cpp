#include "keshlib.h"

#include <errno.h>
#include <stdint.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

#include "kesh.h"
#include "system_calls.h"

uint32_t smlHandle = 0;
std::atomic<bool> notificationPending{false};

namespace {

// The switch change events that can alter what is advertised, in subscription order.
const KeshEventListEntry subscribedEvents[] = {
    {KESH_EVENT_NETWORK_CFG_CHANGE, 0},  {KESH_EVENT_IPV6_ADDRESS_CHANGE, 0}, {KESH_EVENT_SNMP_CFG_CHANGE, 0},
    {KESH_EVENT_SWITCH_ATTR_CHANGE, 0},  {KESH_EVENT_SWITCH_CFG_CHANGE, 0},   {KESH_EVENT_SWITCH_OPERCHANGE, 0},
    {KESH_EVENT_SWITCH_STATE_CHANGE, 0}, {KESH_EVENT_CHASSIS_OPERCHANGE, 0},  {KESH_EVENT_SERVICES_CFG_CHANGE, 0},
};
constexpr uint32_t kSubscribedEventCount = sizeof subscribedEvents / sizeof subscribedEvents[0];
static_assert(kSubscribedEventCount == 9, "nine change events are subscribed");

const char kLoopbackHost[] = "127.0.0.1";

}  // namespace

int keshlibInit(void) {
    if (smlHandle != 0) {
        syslog(LOG_INFO, "keshlibInit already done\n");
        return -1;
    }
    for (;;) {
        int r = kesh_IPConnect(kLoopbackHost, "cim", "", &smlHandle);
        if (r != 0) {
            syslog(LOG_CRIT, "keshlib connection failed: %d : retrying in 10 seconds...\n", r);
            systemCalls.sleep(kConnectRetrySeconds);
            smlHandle = 0;
            continue;
        }
        if (smlHandle != 0) break;
    }

    // The library reads the list only during the call, so a temporary copy will do.
    KeshEventListEntry events[kSubscribedEventCount];
    memcpy(events, subscribedEvents, sizeof events);
    if (kesh_enRegisterForEventList(smlHandle, keshlibNotificationCB, 0, events, kSubscribedEventCount) != 0)
        syslog(LOG_CRIT, "Unable to register for events via kesh_enRegisterForEvents\n");
    return 0;
}

size_t threadStackSize(void) {
    long minimum = sysconf(_SC_THREAD_STACK_MIN);
    if (minimum > 0 && static_cast<size_t>(minimum) > kThreadStackSize) return static_cast<size_t>(minimum);
    return kThreadStackSize;
}

void keshlibNotificationCB(uint32_t, uint32_t, uint32_t) {
    if (notificationPending.load(std::memory_order_relaxed)) return;
    notificationPending.store(true, std::memory_order_relaxed);

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    if (systemCalls.attrSetStackSize(&attr, threadStackSize()) != 0) {
        syslog(LOG_CRIT, "unable to init keshlibNotificationCB, pthread_attr_setstacksize %d\n", errno);
        pthread_attr_destroy(&attr);
        return;
    }
    // Nobody joins a debounce thread; detached, its stack is freed when it ends.
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    void *delay = reinterpret_cast<void *>(static_cast<uintptr_t>(kNotificationDelaySeconds));
    if (systemCalls.createThread(&thread, &attr, notificationDelayThread, delay) != 0)
        syslog(LOG_CRIT, "unable to init keshlibNotificationCB, pthread_create %d\n", errno);
    pthread_attr_destroy(&attr);
}

void *notificationDelayThread(void *arg) {
    systemCalls.sleep(static_cast<unsigned int>(reinterpret_cast<uintptr_t>(arg)));
    notificationPending.store(false, std::memory_order_relaxed);
    wakeSlpThread();
    return nullptr;
}
