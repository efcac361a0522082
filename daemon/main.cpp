// orvad: advertises the switch's management services through SLP.
#include <stdlib.h>
#include <syslog.h>
#include <unistd.h>

#include "advertise.h"
#include "daemon.h"
#include "keshlib.h"

int main(int argc, char *argv[]) {
    // Daemonise only once every option is known, so "-d -h" prints the usage here.
    if (parseCommandLine(argc, argv)) (void)!daemon(0, 0);

    if (keshlibInit() != 0) {
        syslog(LOG_CRIT, "orvad: failed to connect to keshlib");
        exit(1);
    }
    if (createSlpThread() != 0) syslog(LOG_CRIT, "slp thread creation failed, orvad is disabled");

    runTimerLoop();
    syslog(LOG_CRIT, "slp exiting");
    exit(1);
}
