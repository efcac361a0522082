#include <ctype.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>

#include "config.h"

namespace {

struct ChassisText {
    const char *name;
    char *ChassisBlock::*field;
};

// Query order, which is not the record order; the product id follows as entry 8.
const ChassisText kChassisTexts[] = {
    {"Oper.Switch.WWN", &ChassisBlock::wwn},
    {"Config.Mfg.ChassisSerialNum", &ChassisBlock::serialNumber},
    {"Config.Mfg.OemFruNumber", &ChassisBlock::fruNumber},
    {"Config.Mfg.ChassisPartNum", &ChassisBlock::partNumber},
    {"Oper.Switch.Type", &ChassisBlock::switchType},
    {"Config.Snmp.SysObjectID", &ChassisBlock::sysObjectId},
    {"Config.Mfg.BrandName", &ChassisBlock::brandName},
    {"Config.Switch.SymName", &ChassisBlock::symbolicName},
};
constexpr uint32_t kChassisTextCount = sizeof kChassisTexts / sizeof kChassisTexts[0];

int failChassisBlock(ChassisBlock *block) {
    syslog(LOG_CRIT, "SLP: kesh_smlGetBatch failed for chassis block\n");
    releaseChassisBlock(block);
    return -1;
}

}  // namespace

int readChassisBlock(ChassisBlock *block) {
    SmlBatchEntry batch[kBatchBufferEntries] = {};
    for (uint32_t i = 0; i < kChassisTextCount; i++) setEntryName(&batch[i], kChassisTexts[i].name);
    setEntryName(&batch[kChassisTextCount], "Default.Mfg.ProductID");
    if (queryBatch(batch, kChassisTextCount + 1) != 0) return failChassisBlock(block);

    for (uint32_t i = 0; i < kChassisTextCount; i++) {
        char *copy = strdup(batch[i].value);
        if (copy == nullptr) return failChassisBlock(block);
        block->*kChassisTexts[i].field = copy;
    }
    toUpperInPlace(block->wwn);
    block->productId = static_cast<int32_t>(strtol(batch[kChassisTextCount].value, nullptr, 10));
    if (block->productId != kIoProductId) return 0;

    setEntryName(&batch[0], "Oper.Mfg.UUID");
    if (queryBatch(batch, 1) != 0) return failChassisBlock(block);
    block->uuid = strdup(batch[0].value);
    if (block->uuid == nullptr) return failChassisBlock(block);
    return 0;
}

void releaseChassisBlock(ChassisBlock *block) {
    free(block->wwn);
    free(block->serialNumber);
    free(block->fruNumber);
    free(block->switchType);
    free(block->uuid);
    free(block->partNumber);
    free(block->sysObjectId);
    free(block->brandName);
    free(block->symbolicName);
    *block = ChassisBlock{};
}

char *toUpperInPlace(char *text) {
    if (text == nullptr) return text;
    for (char *c = text; *c != '\0'; c++) *c = static_cast<char>(toupper(static_cast<unsigned char>(*c)));
    return text;
}
