// fuzz_record_builders: both record builders and registration on arbitrary block contents:
// commas, parentheses, 255-byte values, up to 32 IPv6 slots, null and empty texts.
//
// Every record must have the URL form and attribute frame of its type, a list can hold at
// most 33 records, and building twice must give the same list.
#include <stdexcept>

#include "advertise.h"
#include "pass_doubles.h"

namespace {

// A text field: null, empty, or up to 255 bytes from the input (NULs end it early).
struct Texts {
    std::string storage[48];
    int used = 0;

    char *next() {
        uint8_t kind = input.byte();
        if (kind < 0x10) return nullptr;
        std::string &s = storage[used++ % 48];
        s = kind < 0x20 ? std::string() : input.text();
        return &s[0];
    }
};

// Up to three records with URLs from the input, as if registered by an earlier pass.
ServiceList recordsFromInput() {
    ServiceList list;
    for (int n = input.byte() % 4; n > 0; n--) list.push_back({input.text(), "(a=b)"});
    return list;
}

bool startsWith(const std::string &s, const char *prefix) { return s.rfind(prefix, 0) == 0; }

void checkList(const ServiceList &list, const char *urlPrefix, const char *attributesPrefix) {
    if (list.size() > 33) abort();
    for (const ServiceRecord &r : list) {
        if (!startsWith(r.url, urlPrefix) || !startsWith(r.attributes, attributesPrefix)) abort();
        if (r.attributes.empty() || r.attributes.back() != ')') abort();
    }
}

bool sameUrls(const ServiceList &a, const ServiceList &b) {
    if (a.size() != b.size()) return false;
    auto j = b.begin();
    for (auto i = a.begin(); i != a.end(); ++i, ++j)
        if (i->url != j->url || i->attributes != j->attributes) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    input = FuzzInput{data, size};
    Texts texts;
    NetworkBlock network{};
    ChassisBlock chassis{};
    ServicesBlock services{};

    network.index = input.byte() & 1;
    network.ipv4Enabled = input.byte() & 1;
    network.ipv6Enabled = input.byte() & 1;
    std::string ipv4 = input.text(kIpv4AddressSize - 1);
    memcpy(network.ipv4Address, ipv4.c_str(), ipv4.size() + 1);
    int slots = input.byte() % (kMaxIpv6Addresses + 1);
    for (int i = 0; i < slots; i++) network.ipv6Addresses[i] = texts.next();
    network.macAddress = texts.next();
    for (char *ChassisBlock::*field :
         {&ChassisBlock::wwn, &ChassisBlock::serialNumber, &ChassisBlock::fruNumber, &ChassisBlock::uuid,
          &ChassisBlock::partNumber, &ChassisBlock::sysObjectId, &ChassisBlock::brandName, &ChassisBlock::symbolicName})
        chassis.*field = texts.next();
    chassis.productId =
        static_cast<int32_t>(input.byte() << 24 | input.byte() << 16 | input.byte() << 8 | input.byte());
    for (uint8_t ServicesBlock::*flag :
         {&ServicesBlock::cim, &ServicesBlock::ssl, &ServicesBlock::https, &ServicesBlock::embeddedGui,
          &ServicesBlock::telnet, &ServicesBlock::ssh, &ServicesBlock::snmp})
        services.*flag = input.byte() & 1;
    services.port = texts.next();
    services.snmpEngineId = texts.next();
    services.sshFingerprint = texts.next();

    const int i = network.index;
    ServiceList &wbem = wbemServices[i];
    ServiceList &io = ioServices[i];
    wbemRegistered[i] = recordsFromInput();
    try {
        updateWbemServices(&slpHandleToken, &network, &chassis, &services);
        checkList(wbem, "service:wbem:", "(template-type=wbem),");
        ServiceList first = wbem;
        updateWbemServices(&slpHandleToken, &network, &chassis, &services);
        if (!sameUrls(first, wbem)) abort();
    } catch (const std::invalid_argument &) {
        // a brand name, WWN or (CIM on) port missing: the pass fails instead
        if (chassis.brandName != nullptr && chassis.wwn != nullptr && (!services.cim || services.port != nullptr))
            abort();
    }
    updateIoServices(&network, &chassis, &services);
    checkList(io, "service:io-device.3873:", "(Type=switch),(data_protocols=fc),(level=1),");
    ServiceList first = io;
    updateIoServices(&network, &chassis, &services);
    if (!sameUrls(first, io)) abort();

    deregisterStaleServices(&slpHandleToken, wbem, wbemRegistered[i]);
    registerServices(&slpHandleToken, io);
    wbemRegistered[i].clear();
    wbem.clear();
    io.clear();
    return 0;
}
