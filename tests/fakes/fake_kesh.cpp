#include "fake_kesh.h"

#include "fake_scope.h"

#include <string.h>

namespace {
FakeKesh theFake;
}

FakeKesh &fakeKesh() { return theFake; }

void resetFakeKesh() { theFake = FakeKesh{}; }

extern "C" int kesh_IPConnect(const char *host, const char *service, const char *options, uint32_t *handle) {
    FakeScope scope;
    theFake.connectCalls++;
    theFake.connectArguments = {host, service, options};
    const FakeConnectResult next = takeNext(theFake.connectScript, FakeConnectResult{0, 7});
    if (next.result == 0) *handle = next.handle;
    return next.result;
}

extern "C" int kesh_enRegisterForEventList(uint32_t handle, KeshEventCallback callback, uint32_t,
                                           const KeshEventListEntry *events, uint32_t count) {
    FakeScope scope;
    theFake.subscribedHandle = handle;
    theFake.callback = callback;
    theFake.subscribedCodes.clear();
    theFake.subscribedReserved.clear();
    for (uint32_t i = 0; i < count; i++) {
        theFake.subscribedCodes.push_back(events[i].code);
        theFake.subscribedReserved.push_back(events[i].reserved);
    }
    return theFake.subscribeResult;
}

extern "C" int kesh_smlGetBatch(uint32_t, SmlBatchEntry *entries, uint32_t count) {
    FakeScope scope;
    theFake.batches.emplace_back();
    for (uint32_t i = 0; i < count; i++) {
        theFake.batches.back().emplace_back(entries[i].name);
        auto value = theFake.values.find(entries[i].name);
        auto status = theFake.statuses.find(entries[i].name);
        entries[i].status = value == theFake.values.end() ? kFakeMissingStatus : 0;
        if (status != theFake.statuses.end()) entries[i].status = status->second;
        const std::string text = value == theFake.values.end() ? "" : value->second;
        memset(entries[i].value, 0, sizeof entries[i].value);
        memcpy(entries[i].value, text.data(), std::min(text.size(), sizeof entries[i].value - 1));
    }
    return 0;
}

extern "C" void sml_addr_2_str(const char *value, char *out, size_t size) {
    if (size == 0) return;
    size_t n = std::min(strlen(value), size - 1);
    memcpy(out, value, n);
    out[n] = '\0';
}
