#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>

#include "config.h"

namespace {

// Frees what an interrupted read stored; the caller returns -1.
int failNetworkBlock(NetworkBlock *block) {
    releaseNetworkBlock(block);
    return -1;
}

// Cuts `list` in place at every comma and converts each piece, in order, into a new
// 40-byte entry. An empty list is one empty piece, and doubled or trailing commas give
// empty pieces. Pieces past the 32nd are ignored. Returns -1 when memory runs out.
int storeIpv6Addresses(NetworkBlock *block, char *list) {
    char *rest = list;
    for (int k = 0; k < kMaxIpv6Addresses; k++) {
        char *piece = strsep(&rest, ",");
        if (piece == nullptr) break;
        block->ipv6Addresses[k] = static_cast<char *>(calloc(1, kIpv6AddressSize));
        if (block->ipv6Addresses[k] == nullptr) return -1;
        sml_addr_2_str(piece, block->ipv6Addresses[k], kIpv6AddressSize);
    }
    return 0;
}

}  // namespace

int readNetworkBlock(NetworkBlock *block, int index) {
    SmlBatchEntry batch[kBatchBufferEntries] = {};
    block->index = index;

    snprintf(batch[0].name, sizeof batch[0].name, "Config.System.Eth.%d.Enable", index);
    if (queryBatch(batch, 1) != 0) {
        syslog(LOG_CRIT, "SLP: kesh_smlGetBatch failed for network block %d, %d\n", index, 281);
        return failNetworkBlock(block);
    }
    if (strcmp(batch[0].value, "False") == 0) return failNetworkBlock(block);

    setEntryName(&batch[0], "Config.System.IPv4Enable");
    setEntryName(&batch[1], "Oper.Switch.IPv4Feature");
    setEntryName(&batch[2], "Config.System.IPv6Enable");
    setEntryName(&batch[3], "Oper.Switch.IPv6Feature");
    if (index == 0)
        setEntryName(&batch[4], "Config.Mfg.Mac");
    else
        snprintf(batch[4].name, sizeof batch[4].name, "Config.Mfg.Mac%d", index);
    if (queryBatch(batch, 5) != 0) {
        syslog(LOG_CRIT, "SLP: kesh_smlGetBatch failed for network block, %d, %d\n", index, 306);
        return failNetworkBlock(block);
    }
    block->ipv4Enabled = strcmp(batch[0].value, "True") == 0 && strcmp(batch[1].value, "True") == 0;
    block->ipv6Enabled = strcmp(batch[2].value, "True") == 0 && strcmp(batch[3].value, "True") == 0;
    block->macAddress = toUpperInPlace(strdup(batch[4].value));
    if (block->macAddress == nullptr) return failNetworkBlock(block);

    if (block->ipv4Enabled) {
        snprintf(batch[0].name, sizeof batch[0].name, "Config.System.Eth.%d.IPAddress", index);
        if (queryBatch(batch, 1) != 0) {
            syslog(LOG_CRIT, "SLP: kesh_smlGetBatch failed for network block, %d, %d\n", index, 327);
            return failNetworkBlock(block);
        }
        sml_addr_2_str(batch[0].value, block->ipv4Address, sizeof block->ipv4Address);
    }

    if (block->ipv6Enabled) {
        snprintf(batch[0].name, sizeof batch[0].name, "Oper.System.Eth.%d.IPv6AddressList", index);
        if (queryBatch(batch, 1) != 0) {
            syslog(LOG_CRIT, "SLP: kesh_smlGetBatch failed for network block, %d, %d\n", index, 346);
            return failNetworkBlock(block);
        }
        if (storeIpv6Addresses(block, batch[0].value) != 0) return failNetworkBlock(block);
    }

    // Tested on the text: an enabled IPv4 whose address converted to nothing is passed over.
    const char *primary = block->ipv4Address[0] != '\0' ? block->ipv4Address : block->ipv6Addresses[0];
    if (primary != nullptr) {
        block->primaryAddress = strdup(primary);
        if (block->primaryAddress == nullptr) return failNetworkBlock(block);
    }
    return 0;
}

void releaseNetworkBlock(NetworkBlock *block) {
    free(block->primaryAddress);
    for (char *address : block->ipv6Addresses) free(address);
    free(block->macAddress);
    *block = NetworkBlock{};
}
