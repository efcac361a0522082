// config.h: the switch configuration readers. Each fills one record from batch queries of
// named management values and has a release operation.
//
// A record owns each of its non-null texts as a separate heap copy. The all-zero record is
// the empty state: readers are given empty records, a reader that fails leaves its record
// empty, and release always leaves it empty (releasing an empty record does nothing).
#ifndef ORVAD_CONFIG_CONFIG_H
#define ORVAD_CONFIG_CONFIG_H

#include <stddef.h>
#include <stdint.h>

#include "kesh.h"

// Slots of the batch buffer each reader keeps on its stack; a query uses at most 15.
constexpr size_t kBatchBufferEntries = 25;

// Which management services are switched on, and what the CIM-XML server listens on.
struct ServicesBlock {
    char *protocol;        // "https" or "http" when cim, else null
    char *port;            // "5989" or "5988" when cim, else null
    char *snmpEngineId;    // value of Config.Snmp.EngineID
    char *sshFingerprint;  // from readSshFingerprint, may be null
    uint8_t embeddedGui;
    uint8_t externalGui;
    uint8_t telnet;
    uint8_t slp;
    uint8_t ssh;
    uint8_t ssl;
    uint8_t https;
    uint8_t snmp;
    uint8_t ntp;
    uint8_t cim;
    uint8_t ftp;
    uint8_t tftp;
    uint8_t ms;
    uint8_t callhome;
};

// The identity of the switch.
struct ChassisBlock {
    char *wwn;  // upper-cased
    char *serialNumber;
    char *fruNumber;
    char *switchType;
    int32_t productId;
    char *uuid;  // read only for product 59, else null
    char *partNumber;
    char *sysObjectId;
    char *brandName;
    char *symbolicName;
};

constexpr int kIoProductId = 59;  // the product whose second interface is advertised
constexpr size_t kIpv4AddressSize = 16;
constexpr size_t kIpv6AddressSize = 40;
constexpr int kMaxIpv6Addresses = 32;

// One Ethernet management interface (index 0 or 1).
struct NetworkBlock {
    int32_t index;
    char *primaryAddress;  // the IPv4 address if not empty, else IPv6 entry 0, else null
    uint8_t ipv4Enabled;
    char ipv4Address[kIpv4AddressSize];
    uint8_t ipv6Enabled;
    char *ipv6Addresses[kMaxIpv6Addresses];  // 40-byte buffers; the first null entry ends the list
    char *macAddress;                        // upper-cased
};

// --- batch_status.cpp ---

// Returns 0 when entries 0 to count-1 all have status 0, else logs the first failing
// entry's name and status and returns 1.
int checkBatchStatus(const SmlBatchEntry *entries, uint32_t count);

// Runs one batch query of `count` entries on smlHandle and checks every entry's status.
// Returns 0 when all values were read, non-zero otherwise. Every value text comes back
// NUL-terminated, whatever the library wrote.
int queryBatch(SmlBatchEntry *entries, uint32_t count);

// Writes a fixed value name into a batch slot, cut to the slot's 256 bytes.
void setEntryName(SmlBatchEntry *entry, const char *name);

// --- services_block.cpp ---

// Reads the fourteen service switches and the SNMP engine id in one query, derives the CIM
// protocol and port, and reads the SSH fingerprint. Returns 0, or -1 with the block empty.
// REQUIRES: block is empty.
int readServicesBlock(ServicesBlock *block);

// Frees every text of the block and zeroes it.
void releaseServicesBlock(ServicesBlock *block);

// Runs the key tool on the host key and returns a heap copy of the fingerprint word it
// prints, or null when it cannot be run or its output is not a hexadecimal fingerprint.
char *readSshFingerprint(void);

// --- chassis_block.cpp ---

// Reads the switch identity (and, for product 59, its UUID in a second query).
// Returns 0, or -1 with the block empty. REQUIRES: block is empty.
int readChassisBlock(ChassisBlock *block);

// Frees every text of the block and zeroes it.
void releaseChassisBlock(ChassisBlock *block);

// Upper-cases the letters a to z of `text` in place and returns it; null stays null.
char *toUpperInPlace(char *text);

// --- network_block.cpp ---

// Reads interface `index`. Returns 0, or -1 with the block empty when a query fails or the
// interface is switched off. REQUIRES: block is empty.
int readNetworkBlock(NetworkBlock *block, int index);

// Frees every text of the block and zeroes it.
void releaseNetworkBlock(NetworkBlock *block);

#endif
