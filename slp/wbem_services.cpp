#include <stdexcept>

#include "advertise.h"

namespace {

// The WBEM service template's attribute items, split where a block value goes in.
const char kItemsBeforeBrand[] =
    "(template-type=wbem),"
    "(template-version=1.0),"
    "(template-description=This template describes the attributes used for advertising WBEM Servers),"
    "(service-hi-name=";
const char kItemsBeforeWwn[] = " CIMAgent),"
                               "(service-hi-description=Embedded CIMAgent),"
                               "(service-id=";
const char kItemsAfterWwn[] =
    "),"
    "(CommunicationMechanism=CIM-XML),"
    "(InteropSchemaNamespace=root/interop),"
    "(ProtocolVersion=1.1),"
    "(FunctionalProfilesSupported=Basic Read,Basic Write,Instance Manipulation,Association Traversal,Indications),"
    "(MultipleOperationsSupported=false),"
    "(AuthenticationMechanismsSupported=Basic),"
    "(Namespace=root/interop),"
    "(ClassInfo=CIM 2.15),"
    "(RegisteredProfilesSupported=SNIA:Server,SNIA:Switch,SNIA:Fabric,DMTF:Record Log),";

// The readers always fill these after a successful read; should one still be missing, the
// pass fails (and is logged) rather than advertising a record with a hole in it.
const char *require(const char *text, const char *what) {
    if (text == nullptr) throw std::invalid_argument(std::string("missing ") + what);
    return text;
}

// Appends the record of one address: `address` is the bare IPv4 text or the bracketed IPv6
// text. The url-syntax and location items each open one parenthesis more than they close.
void appendRecord(ServiceList *list, const std::string &common, const std::string &scheme, const std::string &address,
                  const char *port) {
    std::string location = scheme + address + ":" + port;
    ServiceRecord record;
    record.url = "service:wbem:" + location;
    record.attributes =
        common + "(template-url-syntax=(" + location + ")," + "(service-location-tcp=(" + location + ")";
    list->push_back(std::move(record));
}

}  // namespace

int updateWbemServices(SLPHandle handle, const NetworkBlock *network, const ChassisBlock *chassis,
                       const ServicesBlock *services) {
    ServiceList &list = wbemServices[network->index];
    list.clear();
    if (!services->cim) {
        deregisterStaleServices(handle, list, wbemRegistered[network->index]);
        return 0;
    }

    std::string common = kItemsBeforeBrand;
    common += require(chassis->brandName, "brand name");
    common += kItemsBeforeWwn;
    common += require(chassis->wwn, "WWN");
    common += kItemsAfterWwn;
    const std::string scheme = services->ssl ? "https://" : "http://";
    const char *port = require(services->port, "CIM port");

    if (network->ipv4Address[0] != '\0') appendRecord(&list, common, scheme, network->ipv4Address, port);
    // Only the slot's presence counts: an empty text still gives a "[]" record.
    for (int slot = 0; slot < kMaxIpv6Addresses && network->ipv6Addresses[slot] != nullptr; slot++)
        appendRecord(&list, common, scheme, std::string("[") + network->ipv6Addresses[slot] + "]", port);
    return 0;
}
