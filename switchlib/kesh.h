// kesh.h: the switch management library (libkesh.so) as orvad uses it.
//
// The switch's management service answers batch queries of named values and delivers
// change events to subscribers. On a switch this is the vendor's closed library; on a
// workstation sim/kesh serves the same four functions from a state file.
#ifndef ORVAD_SWITCHLIB_KESH_H
#define ORVAD_SWITCHLIB_KESH_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// One request/response slot of a batch query. The caller writes `name` (NUL-terminated,
// at most 255 characters); the library fills `value` and `status` (0 = value read,
// otherwise the library's error code for this slot).
typedef struct SmlBatchEntry {
    char name[256];
    char value[256];
    uint32_t status;
} SmlBatchEntry;

// Change events a subscriber can ask for.
enum {
    KESH_EVENT_SWITCH_ATTR_CHANGE = 8,
    KESH_EVENT_SWITCH_CFG_CHANGE = 9,
    KESH_EVENT_NETWORK_CFG_CHANGE = 16,
    KESH_EVENT_SNMP_CFG_CHANGE = 17,
    KESH_EVENT_SWITCH_OPERCHANGE = 31,
    KESH_EVENT_SWITCH_STATE_CHANGE = 32,
    KESH_EVENT_CHASSIS_OPERCHANGE = 33,
    KESH_EVENT_SERVICES_CFG_CHANGE = 57,
    KESH_EVENT_IPV6_ADDRESS_CHANGE = 69,
};

// One entry of an event list: the event code, then a reserved word that is always 0.
typedef struct KeshEventListEntry {
    uint32_t code;
    uint32_t reserved;
} KeshEventListEntry;

// Called by the library, on a thread of its own, once for each subscribed event.
// `userData` is the value given at subscription.
typedef void (*KeshEventCallback)(uint32_t handle, uint32_t eventCode, uint32_t userData);

// Opens a connection to the management service on `host` for the client `service`.
// Returns 0 and stores a handle in *handle, or a non-zero error code.
int kesh_IPConnect(const char *host, const char *service, const char *options, uint32_t *handle);

// Subscribes `callback` to the `count` events of `events` (the list is copied).
// Returns 0 when subscribed.
int kesh_enRegisterForEventList(uint32_t handle, KeshEventCallback callback, uint32_t userData,
                                const KeshEventListEntry *events, uint32_t count);

// Reads the values named in entries 0 to count-1. Returns 0 when `value` and `status`
// of every entry were filled, non-zero when the whole batch failed.
int kesh_smlGetBatch(uint32_t handle, SmlBatchEntry *entries, uint32_t count);

// Writes the address held in a value text as printable text into `out`, at most `size`
// bytes including the terminating NUL.
void sml_addr_2_str(const char *value, char *out, size_t size);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
static_assert(sizeof(SmlBatchEntry) == 516, "SmlBatchEntry is 516 bytes");
static_assert(offsetof(SmlBatchEntry, value) == 256, "value follows the 256-byte name");
static_assert(offsetof(SmlBatchEntry, status) == 512, "status follows the 256-byte value");
static_assert(sizeof(KeshEventListEntry) == 8, "an event list entry is two u32");
#else
_Static_assert(sizeof(SmlBatchEntry) == 516, "SmlBatchEntry is 516 bytes");
_Static_assert(offsetof(SmlBatchEntry, value) == 256, "value follows the 256-byte name");
_Static_assert(offsetof(SmlBatchEntry, status) == 512, "status follows the 256-byte value");
_Static_assert(sizeof(KeshEventListEntry) == 8, "an event list entry is two u32");
#endif

#endif
