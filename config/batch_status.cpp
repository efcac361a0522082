#include <syslog.h>

#include "config.h"
#include "keshlib.h"
#include "strlcpy.h"

int checkBatchStatus(const SmlBatchEntry *entries, uint32_t count) {
    for (uint32_t i = 0; i < count; i++) {
        if (entries[i].status != 0) {
            syslog(LOG_CRIT, "sml command='%s', smlerror=0x%x\n", entries[i].name, entries[i].status);
            return 1;
        }
    }
    return 0;
}

int queryBatch(SmlBatchEntry *entries, uint32_t count) {
    if (kesh_smlGetBatch(smlHandle, entries, count) != 0) return -1;
    // Values are copied with strdup and strcmp later; a library that filled a slot to the
    // brim must not make those run past it.
    for (uint32_t i = 0; i < count; i++) entries[i].value[sizeof entries[i].value - 1] = '\0';
    return checkBatchStatus(entries, count);
}

void setEntryName(SmlBatchEntry *entry, const char *name) { strlcpy(entry->name, name, sizeof entry->name); }
