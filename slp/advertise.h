// advertise.h: SLP advertisement. Service records and the per-interface lists, the WBEM
// and I/O-device record builders, registration with the SLP agent, and the advertisement
// thread that drives every pass.
//
// Everything here runs on the advertisement thread; nothing takes a lock except the wait
// for wake-ups.
#ifndef ORVAD_SLP_ADVERTISE_H
#define ORVAD_SLP_ADVERTISE_H

#include <slp.h>
#include <stdint.h>

#include <list>
#include <string>

#include "config.h"

// One SLP registration: the service URL and the attribute list handed to the agent with it.
struct ServiceRecord {
    std::string url;
    std::string attributes;
};

// Records in insertion order. Copies share nothing with their source.
typedef std::list<ServiceRecord> ServiceList;

// --- service_lists.cpp ---

// Indexed by interface (0 or 1). wbemRegistered and ioRegistered hold what the last
// completed pass registered; wbemServices and ioServices what the builders made since.
// They are never destroyed (see service_lists.cpp).
extern ServiceList (&wbemRegistered)[2];
extern ServiceList (&ioRegistered)[2];
extern ServiceList (&ioServices)[2];
extern ServiceList (&wbemServices)[2];

// --- wbem_services.cpp ---

// Rebuilds wbemServices[network->index]: one service:wbem: record per address of the
// interface. With CIM switched off it builds nothing and deregisters every URL of
// wbemRegistered[network->index] through `handle` (which is used for nothing else).
// Returns 0. Throws std::bad_alloc, or std::invalid_argument when the brand name, WWN or
// (CIM on) port is missing. REQUIRES: network->index is 0 or 1.
int updateWbemServices(SLPHandle handle, const NetworkBlock *network, const ChassisBlock *chassis,
                       const ServicesBlock *services);

// --- io_services.cpp ---

// Rebuilds ioServices[network->index]: one service:io-device.3873:<product> record per
// address of the interface, all with the same attribute list. Returns 0; throws
// std::bad_alloc. REQUIRES: network->index is 0 or 1.
int updateIoServices(const NetworkBlock *network, const ChassisBlock *chassis, const ServicesBlock *services);

// --- registration.cpp ---

// Completion report of every SLPReg and SLPDereg: stores `code` into the SLPError that
// `cookie` points at, and logs a non-zero code.
void slpCallback(SLPHandle handle, SLPError code, void *cookie);

// Registers every record with the maximum lifetime, first to last. At the first failure it
// deregisters that record's URL and returns -1; returns 0 when all were registered.
int registerServices(SLPHandle handle, ServiceList services);

// Deregisters, in order, every URL of `registered` that no record of `keep` has (byte for
// byte); a refused deregistration is logged. Returns 0.
int deregisterStaleServices(SLPHandle handle, ServiceList keep, ServiceList registered);

// --- orvad_thread.cpp ---

// The failure of a pass, raised and caught inside the advertisement thread only.
class slp_except {
public:
    slp_except(const char *file, const char *function, int32_t line, int32_t severity, const char *format, ...)
        __attribute__((format(printf, 6, 7)));

    const char *file;
    const char *function;
    int32_t line;
    char message[512];  // formatted, cut to 511 characters
    int32_t severity;   // 0 critical, anything else informational
};

// Logs a failure: severity 0 at critical priority, any other as informational.
void logSlpException(const slp_except &e);

// What the advertisement thread owns: its SLP handle and the four configuration records.
struct AdvertisementState {
    SLPHandle handle;
    ChassisBlock chassis;
    ServicesBlock services;
    NetworkBlock network[2];
};

// The reading and building steps of a pass: re-reads the chassis, network and services
// records and rebuilds wbemServices and ioServices (interface 1 and the I/O-device records
// for product 59 only). Throws slp_except naming the step that failed.
void buildServiceLists(AdvertisementState *state);

// Releases the four configuration records: network blocks 0 and 1, chassis, services.
void releaseAdvertisementRecords(AdvertisementState *state);

// Starts slpThread on a 64 KiB stack (or the C library's minimum, where that is larger).
// Returns 0, -1 when the stack size cannot be set, or the error number of the failed thread
// creation.
int createSlpThread(void);

// The advertisement thread: a pass at once, then one per batch of wake-ups. Never returns.
void *slpThread(void *arg);

// One cycle up to the wait: opens the handle when there is none and runs one pass.
// Returns 0 after a completed pass. Any failure is logged and answered by the reset
// (records released, handle closed, 10 s pause); it returns -1 and the next cycle follows
// at once, without waiting for a wake-up.
int runAdvertisementCycle(AdvertisementState *state);

#endif
