#include <stdio.h>

#include "advertise.h"

namespace {

// Appends "(<opening><value>)," — or nothing when the value is missing. A missing text
// leaves its item out, as a missing UUID does, rather than advertising an empty value
// (which the attribute syntax does not allow) or failing the pass over one detail.
void appendItem(std::string *text, const char *opening, const char *value) {
    if (value == nullptr) return;
    *text += opening;
    *text += value;
    *text += "),";
}

// The management protocols on offer, one entry per service switch, in this fixed order.
std::string managementProtocols(const ServicesBlock *services) {
    static const struct {
        uint8_t ServicesBlock::*flag;
        const char *entry;
    } kEntries[] = {
        {&ServicesBlock::https, "https:443:"}, {&ServicesBlock::embeddedGui, "http:80:"},
        {&ServicesBlock::telnet, "cli:23:"},   {&ServicesBlock::ssh, "seccli:22:"},
        {&ServicesBlock::snmp, "snmpv3:161:"},
    };
    std::string list;
    for (const auto &e : kEntries) {
        if (!list.empty()) list += ",";
        list += e.entry;
        list += services->*e.flag ? "true" : "false";
    }
    return list;
}

// The attribute list shared by every record of the interface.
std::string deviceAttributes(const NetworkBlock *network, const ChassisBlock *chassis, const ServicesBlock *services) {
    const std::string protocols = managementProtocols(services);
    std::string text = "(Type=switch),(data_protocols=fc),(level=1),";
    appendItem(&text, "(serial-number=", chassis->serialNumber);
    appendItem(&text, "(Fru=", chassis->fruNumber);
    appendItem(&text, "(partnumber=", chassis->partNumber);
    appendItem(&text, "(Uuid=", chassis->uuid);
    appendItem(&text, "(mac-address=", network->macAddress);
    appendItem(&text, "(sysoid=", chassis->sysObjectId);
    text += "(hostingdevice-uid=unknown),";

    if (network->ipv4Enabled) {
        text += "(ipv4-enabled=true),(ipv4-addresses=";
        text += network->ipv4Address;
        text += "),(ipv4-mgmt-protocols=" + protocols + "),";
    } else {
        text += "(ipv4-enabled=false),";
    }

    if (network->ipv6Enabled) {
        text += "(ipv6-enabled=true),(ipv6-addresses=";
        for (int slot = 0; slot < kMaxIpv6Addresses && network->ipv6Addresses[slot] != nullptr; slot++) {
            if (slot > 0) text += ",";
            text += network->ipv6Addresses[slot];
        }
        text += "),(ipv6-mgmt-protocols=" + protocols + "),";
    } else {
        text += "(ipv6-enabled=false),";
    }

    appendItem(&text, "(snmp-engineid=", services->snmpEngineId);
    appendItem(&text, "(ssh-fingerprint=", services->sshFingerprint);
    text += "(deviceName=";
    if (chassis->symbolicName != nullptr) text += chassis->symbolicName;
    text += ")";
    return text;
}

}  // namespace

int updateIoServices(const NetworkBlock *network, const ChassisBlock *chassis, const ServicesBlock *services) {
    ServiceList &list = ioServices[network->index];
    list.clear();
    const std::string attributes = deviceAttributes(network, chassis, services);

    char product[10];  // a longer number is cut to its first nine characters
    snprintf(product, sizeof product, "%d", static_cast<int>(chassis->productId));
    const std::string prefix = std::string("service:io-device.") + "3873" + ":" + product + "://";

    if (network->ipv4Enabled && network->ipv4Address[0] != '\0')
        list.push_back(ServiceRecord{prefix + network->ipv4Address, attributes});
    // Only the slot's presence counts: an empty text still gives a record ending in "://".
    if (network->ipv6Enabled)
        for (int slot = 0; slot < kMaxIpv6Addresses && network->ipv6Addresses[slot] != nullptr; slot++)
            list.push_back(ServiceRecord{prefix + network->ipv6Addresses[slot], attributes});
    return 0;
}
