#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>

#include "config.h"

namespace {

struct ServiceSwitch {
    const char *name;
    uint8_t ServicesBlock::*field;
};

// Query order = entry order; the SNMP engine id follows as entry 14.
const ServiceSwitch kServiceSwitches[] = {
    {"Config.Services.EmbeddedGUIEnable", &ServicesBlock::embeddedGui},
    {"Config.Services.ExternalGUIEnable", &ServicesBlock::externalGui},
    {"Config.Services.TelnetEnable", &ServicesBlock::telnet},
    {"Config.Services.SLPEnable", &ServicesBlock::slp},
    {"Config.Services.SSHEnable", &ServicesBlock::ssh},
    {"Config.Services.SSLEnable", &ServicesBlock::ssl},
    {"Config.Services.HTTPSEnable", &ServicesBlock::https},
    {"Config.Services.SNMPEnable", &ServicesBlock::snmp},
    {"Config.Services.NTPEnable", &ServicesBlock::ntp},
    {"Config.Services.CIMEnable", &ServicesBlock::cim},
    {"Config.Services.FTPEnable", &ServicesBlock::ftp},
    {"Config.Services.TFTPEnable", &ServicesBlock::tftp},
    {"Config.Services.MSEnable", &ServicesBlock::ms},
    {"Config.Services.CallhomeEnable", &ServicesBlock::callhome},
};
constexpr uint32_t kServiceSwitchCount = sizeof kServiceSwitches / sizeof kServiceSwitches[0];
static_assert(kServiceSwitchCount == 14, "fourteen service switches");

const char kKeyToolCommand[] = ORVAD_SSH_KEYGEN " -lf " ORVAD_SSH_HOST_KEY;

int failServicesBlock(ServicesBlock *block) {
    syslog(LOG_CRIT, "SLP: kesh_smlGetBatch failed for services block\n");
    releaseServicesBlock(block);
    return -1;
}

// The batch part of the read. Kept out of line so that its 13 KB batch buffer is off the
// stack again before the key tool runs: the two together would not leave the advertisement
// thread's 64 KiB stack its margin.
__attribute__((noinline)) int readServiceSwitches(ServicesBlock *block) {
    SmlBatchEntry batch[kBatchBufferEntries] = {};
    for (uint32_t i = 0; i < kServiceSwitchCount; i++) setEntryName(&batch[i], kServiceSwitches[i].name);
    setEntryName(&batch[kServiceSwitchCount], "Config.Snmp.EngineID");
    if (queryBatch(batch, kServiceSwitchCount + 1) != 0) return failServicesBlock(block);

    for (uint32_t i = 0; i < kServiceSwitchCount; i++)
        block->*kServiceSwitches[i].field = strcmp(batch[i].value, "True") == 0;
    block->snmpEngineId = strdup(batch[kServiceSwitchCount].value);
    if (block->cim) {
        // The CIM-XML server follows the SSL switch, not the web server's HTTPS switch.
        block->protocol = strdup(block->ssl ? "https" : "http");
        block->port = strdup(block->ssl ? "5989" : "5988");
    }
    if (block->snmpEngineId == nullptr || (block->cim && (block->protocol == nullptr || block->port == nullptr)))
        return failServicesBlock(block);
    return 0;
}

}  // namespace

int readServicesBlock(ServicesBlock *block) {
    if (readServiceSwitches(block) != 0) return -1;
    block->sshFingerprint = readSshFingerprint();
    return 0;
}

void releaseServicesBlock(ServicesBlock *block) {
    free(block->protocol);
    free(block->port);
    free(block->snmpEngineId);
    free(block->sshFingerprint);
    *block = ServicesBlock{};
}

char *readSshFingerprint(void) {
    FILE *pipe = popen(kKeyToolCommand, "r");
    if (pipe == nullptr) return nullptr;
    // Key size, fingerprint, key file (and key type): the fingerprint is the second word.
    char word[128];
    int taken = fscanf(pipe, "%*s %127s %*s", word);
    pclose(pipe);
    if (taken != 1) return nullptr;
    for (const char *c = word; *c != '\0'; c++) {
        if (!isxdigit(static_cast<unsigned char>(*c)) && *c != ':') return nullptr;
    }
    return strdup(word);
}
