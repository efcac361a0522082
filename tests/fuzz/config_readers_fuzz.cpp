// fuzz_config_readers: the switch configuration readers on arbitrary values, statuses and
// key-tool output, then whole advertisement cycles on what they read.
//
// A failed read must leave its record all zero; a successful one must hold every text the
// record builders take as present; release must always leave the record zero.
#include "advertise.h"
#include "pass_doubles.h"
#include "keshlib.h"
#include "system_calls.h"

namespace {

unsigned int noSleep(unsigned int) { return 0; }

template <typename Block> bool isZero(const Block &block) {
    static const Block zero{};
    return memcmp(&block, &zero, sizeof block) == 0;
}

template <typename Block> void check(int result, const Block &block) {
    if (result != 0 && !isZero(block)) abort();
}

void clearLists() {
    for (int i = 0; i < 2; i++) {
        wbemRegistered[i].clear();
        ioRegistered[i].clear();
        ioServices[i].clear();
        wbemServices[i].clear();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    input = FuzzInput{data, size};
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
