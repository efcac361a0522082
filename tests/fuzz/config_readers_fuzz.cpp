// fuzz_config_readers: the switch configuration readers on arbitrary values, statuses and
// key-tool output, then whole advertisement cycles on what they read.
//
// A failed read must leave its record all zero; a successful one must hold every text the
// record builders take as present; release must always leave the record zero.
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>

#include "advertise.h"
#include "fake_slp.h"
#include "kesh.h"
#include "keshlib.h"
#include "syslog_capture.h"
#include "system_calls.h"

// The unread rest of the current input.
struct FuzzInput {
    const uint8_t *data = nullptr;
    size_t size = 0;

    uint8_t byte() { return size == 0 ? 0 : (size--, *data++); }
    // A length byte, then that many bytes (fewer at the end of the input).
    std::string text() {
        const size_t length = std::min<size_t>(byte(), size);
        std::string out(reinterpret_cast<const char *>(data), length);
        data += length, size -= length;
        return out;
    }
};

FuzzInput input;

extern "C" int kesh_IPConnect(const char *, const char *, const char *, uint32_t *handle) {
    *handle = 1;
    return 0;
}

extern "C" int kesh_enRegisterForEventList(uint32_t, KeshEventCallback, uint32_t, const KeshEventListEntry *,
                                           uint32_t) {
    return 0;
}

// Each entry: a status (mostly 0) and a value that is one of the words the readers look for, a
// text from the input, or 256 bytes without a terminating NUL.
extern "C" int kesh_smlGetBatch(uint32_t, SmlBatchEntry *entries, uint32_t count) {
    static const char *const words[] = {"True", "False", "59"};
    if (input.byte() == 0xff) return 1;
    for (uint32_t i = 0; i < count; i++) {
        uint8_t kind = input.byte();
        entries[i].status = kind >= 0xf0 ? input.byte() : 0;
        if ((kind & 7) == 3) {
            memset(entries[i].value, 'A' + (kind >> 4), sizeof entries[i].value);
            continue;
        }
        std::string value = (kind & 7) < 3 ? words[kind & 7] : input.text();
        memset(entries[i].value, 0, sizeof entries[i].value);
        memcpy(entries[i].value, value.data(), value.size());
    }
    return 0;
}

extern "C" void sml_addr_2_str(const char *value, char *out, size_t size) {
    if (size == 0) return;
    strncpy(out, value, size - 1);
    out[size - 1] = '\0';
}

// The key tool prints a text from the input.
extern "C" FILE *popen(const char *, const char *) {
    static std::string output;
    output = input.text();
    if (output.empty()) return nullptr;
    return fmemopen(&output[0], output.size(), "r");
}

extern "C" int pclose(FILE *stream) { return fclose(stream); }

namespace {

// SLP requests succeed or fail as the input says (the recording double runs the report).
void answerFromInput() {
    uint8_t b = input.byte();
    fakeSlp().replies.push_back(b >= 0xf0 ? FakeSlpReply{SLP_NETWORK_ERROR, SLP_OK, false}
                                          : FakeSlpReply{SLP_OK, b >= 0xe0 ? SLP_INVALID_REGISTRATION : SLP_OK, true});
}

unsigned int noSleep(unsigned int) { return 0; }

template <typename Block> bool isZero(const Block &block) {
    static const Block zero{};
    return memcmp(&block, &zero, sizeof block) == 0;
}

template <typename Block> void check(int result, const Block &block) {
    if (result != 0 && !isZero(block)) abort();
}

void clearLists() {
    for (ServiceList *perInterface : {wbemRegistered, ioRegistered, ioServices, wbemServices})
        perInterface[0].clear(), perInterface[1].clear();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    input = FuzzInput{data, size};
    resetFakeSlp();
    fakeSlp().onRequest = answerFromInput;
    clearCapturedLog();
    smlHandle = 1;
    systemCalls.sleep = noSleep;

    ChassisBlock chassis{};
    int r = readChassisBlock(&chassis);
    check(r, chassis);
    if (r == 0 && (chassis.wwn == nullptr || chassis.brandName == nullptr || chassis.symbolicName == nullptr)) abort();
    if (r == 0 && chassis.productId == kIoProductId && chassis.uuid == nullptr) abort();
    releaseChassisBlock(&chassis);
    if (!isZero(chassis)) abort();

    for (int index = 0; index < 2; index++) {
        NetworkBlock network{};
        r = readNetworkBlock(&network, index);
        check(r, network);
        if (r == 0 && (network.index != index || network.macAddress == nullptr ||
                       memchr(network.ipv4Address, '\0', sizeof network.ipv4Address) == nullptr))
            abort();
        for (int i = 0; r == 0 && i < kMaxIpv6Addresses && network.ipv6Addresses[i] != nullptr; i++)
            if (strlen(network.ipv6Addresses[i]) >= kIpv6AddressSize) abort();
        releaseNetworkBlock(&network);
        if (!isZero(network)) abort();
    }

    ServicesBlock services{};
    r = readServicesBlock(&services);
    check(r, services);
    if (r == 0 && (services.snmpEngineId == nullptr || (services.cim && services.port == nullptr))) abort();
    releaseServicesBlock(&services);
    if (!isZero(services)) abort();

    // Whatever is left of the input drives two cycles, so registered lists meet new ones.
    clearLists();
    AdvertisementState state{};
    for (int cycle = 0; cycle < 2 && input.size > 0; cycle++) runAdvertisementCycle(&state);
    releaseAdvertisementRecords(&state);
    clearLists();
    return 0;
}
