#include <cxxabi.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <syslog.h>

#include <exception>

#include "advertise.h"
#include "keshlib.h"
#include "system_calls.h"

namespace {

// Module and function named by every failure this thread logs.
const char kModule[] = "orvad_thread";
const char kFunction[] = "slpThread";

constexpr unsigned int kResetPauseSeconds = 10;

}  // namespace

void logSlpException(const slp_except &e) {
    if (e.severity == 0)
        syslog(LOG_CRIT, "Exception[CRIT]:%s:%s[%d] %s\n", e.file, e.function, static_cast<int>(e.line), e.message);
    else
        syslog(LOG_INFO, "Exception[INFO]:%s:%s[%d] %s\n", e.file, e.function, static_cast<int>(e.line), e.message);
}

void buildServiceLists(AdvertisementState *s) {
    releaseChassisBlock(&s->chassis);
    if (readChassisBlock(&s->chassis) != 0)
        throw slp_except(kModule, kFunction, 339, 0, "Unable to read chassis block");
    releaseNetworkBlock(&s->network[0]);
    if (readNetworkBlock(&s->network[0], 0) != 0)
        throw slp_except(kModule, kFunction, 346, 0, "Unable to read network block 0");
    releaseServicesBlock(&s->services);
    if (readServicesBlock(&s->services) != 0)
        throw slp_except(kModule, kFunction, 353, 0, "Unable to read services block");
    if (updateWbemServices(s->handle, &s->network[0], &s->chassis, &s->services) != 0)
        throw slp_except(kModule, kFunction, 359, 0, "Failure to update wbem services");

    if (s->chassis.productId == kIoProductId) {
        releaseNetworkBlock(&s->network[1]);
        if (readNetworkBlock(&s->network[1], 1) != 0)
            throw slp_except(kModule, kFunction, 370, 0, "Unable to read network block 1");
        if (updateWbemServices(s->handle, &s->network[1], &s->chassis, &s->services) != 0)
            throw slp_except(kModule, kFunction, 376, 0, "Failure to update wbem services, nb1");
        if (updateIoServices(&s->network[0], &s->chassis, &s->services) != 0)
            throw slp_except(kModule, kFunction, 381, 0, "Failure to update ioservice services");
        if (updateIoServices(&s->network[1], &s->chassis, &s->services) != 0)
            throw slp_except(kModule, kFunction, 385, 0, "Failure to update ioservice services");
    }
}

namespace {

// Reads the switch, rebuilds the lists, and brings the agent in line with them.
void runPass(AdvertisementState *s) {
    buildServiceLists(s);
    // Results are not looked at: what failed to register is registered again next pass.
    for (int i = 0; i < 2; i++) {
        deregisterStaleServices(s->handle, wbemServices[i], wbemRegistered[i]);
        registerServices(s->handle, wbemServices[i]);
        wbemRegistered[i].clear();
        wbemRegistered[i] = wbemServices[i];
        deregisterStaleServices(s->handle, ioServices[i], ioRegistered[i]);
        registerServices(s->handle, ioServices[i]);
        ioRegistered[i].clear();
        ioRegistered[i] = ioServices[i];
    }
}

// After a failure: forget what was read, drop the handle and pause before trying again.
// The lists stay, so the next completed pass still deregisters against what was registered.
void reset(AdvertisementState *s) {
    releaseAdvertisementRecords(s);
    if (s->handle != nullptr) {
        SLPClose(s->handle);
        s->handle = nullptr;
    }
    systemCalls.sleep(kResetPauseSeconds);
}

}  // namespace

slp_except::slp_except(const char *file, const char *function, int32_t line, int32_t severity, const char *format, ...)
    : file(file), function(function), line(line), severity(severity) {
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof message, format, args);
    va_end(args);
}

void releaseAdvertisementRecords(AdvertisementState *state) {
    releaseNetworkBlock(&state->network[0]);
    releaseNetworkBlock(&state->network[1]);
    releaseChassisBlock(&state->chassis);
    releaseServicesBlock(&state->services);
}

int runAdvertisementCycle(AdvertisementState *state) {
    try {
        if (state->handle == nullptr && SLPOpen("", SLP_FALSE, &state->handle) != SLP_OK) {
            state->handle = nullptr;
            throw slp_except(kModule, kFunction, 331, 0, "Error opening slp handle");
        }
        runPass(state);
        return 0;
    } catch (const slp_except &e) {
        logSlpException(e);
    } catch (abi::__forced_unwind &) {
        throw;  // thread cancellation must unwind on
    } catch (const std::exception &e) {
        // Running out of memory, or a text the builders need but did not get. Handled like
        // any failed pass, with line 0: it was not raised at a known step.
        logSlpException(slp_except(kModule, kFunction, 0, 0, "%s", e.what()));
    } catch (...) {
        logSlpException(slp_except(kModule, kFunction, 0, 0, "unknown exception"));
    }
    reset(state);
    return -1;
}

void *slpThread(void *) {
    AdvertisementState state;
    memset(&state, 0, sizeof state);
    // Wake-ups posted while a pass ran, or before the first wait, are all taken at once.
    for (;;)
        if (runAdvertisementCycle(&state) == 0) waitForWakeups();
}

int createSlpThread(void) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    if (systemCalls.attrSetStackSize(&attr, threadStackSize()) != 0) {
        pthread_attr_destroy(&attr);
        return -1;
    }
    pthread_t thread;  // never joined: the thread lives as long as the process
    int result = systemCalls.createThread(&thread, &attr, slpThread, nullptr);
    pthread_attr_destroy(&attr);
    return result;
}
