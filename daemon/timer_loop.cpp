#include "daemon.h"
#include "keshlib.h"
#include "system_calls.h"

void runTimerLoop(void) {
    do systemCalls.sleep(kTimerSeconds);
    while (wakeSlpThread() == 0);
}
