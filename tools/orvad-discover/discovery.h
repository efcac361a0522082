// discovery.h: turns the SLP records of switches found on the network into one row per switch,
// and prints the rows as a text table or as JSON. Pure: no network, no SLP API.
#ifndef ORVAD_DISCOVERY_H
#define ORVAD_DISCOVERY_H

#include <functional>
#include <optional>
#include <string>
#include <vector>

// One registration as found: its URL and its attribute list exactly as the agent returned it.
struct FoundRecord {
    std::string url;
    std::string attributes;
};

// One switch. Unknown texts are empty optionals ("-" in text, null in JSON).
struct SwitchRow {
    std::optional<std::string> name;     // deviceName of its io-device records
    std::optional<std::string> product;  // the text after "io-device.3873:" in their type
    std::optional<std::string> serial;   // serial-number of its io-device records
    std::optional<std::string> wwn;      // service-id of its WBEM records
    bool cim = false;                    // it has WBEM URLs
    std::vector<std::string> addresses;  // hosts of its URLs: IPv4 first, then IPv6, each first-seen
    std::vector<std::string> wbem;       // its WBEM URLs, first-seen
};

// The value of the first item tagged `tag` (case-insensitive) in an attribute list, verbatim;
// nullopt when no such item has a value. Tolerates values holding commas and parentheses,
// and items that open a parenthesis more than they close.
std::optional<std::string> attributeValue(const std::string &attributes, const std::string &tag);

// The host of a service URL, without brackets: "service:wbem:https://[fd00::10]:5989" gives
// "fd00::10"; an unbracketed IPv6 host ("service:x://fd00:ab::40") is kept whole. "" if none.
std::string urlHost(const std::string &url);

// The addresses a record says its switch answers on: its URL's host, and for an io-device
// record the addresses of its ipv4-addresses and ipv6-addresses items.
std::vector<std::string> claimedAddresses(const FoundRecord &record);

// Whether two address texts name one address ("FD00:0::1" and "fd00::1" do); texts that are no
// address literal compare case-insensitively.
bool sameAddress(const std::string &a, const std::string &b);

// Groups records into switches and sorts the rows by name, then WWN (unknown last). Records
// of other service types are ignored. io-device records group by serial-number, WBEM records
// by service-id; a WBEM group joins the io-device group whose addresses (URL hosts and
// ipv4-/ipv6-addresses values) hold the host of one of its URLs.
std::vector<SwitchRow> groupSwitches(const std::vector<FoundRecord> &records);

// The table: a header line, then one line per row, columns two spaces apart, lists
// comma-joined; no trailing blanks.
std::string formatText(const std::vector<SwitchRow> &rows);

// A JSON array with one object per line between "[" and "]" lines; product is a number when
// it is all digits.
std::string formatJson(const std::vector<SwitchRow> &rows);

// What asking one agent by unicast for one URL's attribute list gave. Failed: no answer, or an
// error.
enum class UnicastAnswer { Found, Nothing, Failed };

// One question for an attribute list: at `host` by unicast, or through the fallback when `host`
// is empty; what it gave.
struct AttributeAsk {
    std::string host, url;
    UnicastAnswer answer = UnicastAnswer::Failed;  // of a unicast question
    int error = 0;                                 // of a fallback question: an SLPError value
    std::string attributes;
};

// Where fetchAttributes gets attribute lists from: `unicast` asks the agent at an address
// literal; `fallback` asks through the find handle (multicast, or the one agent of -u) and
// gives an SLPError value (0 = success). With unicastAllowed false only `fallback` is used.
// `askAll`, when set, answers many questions together (in parallel) instead of the two.
struct AttributeSource {
    std::function<UnicastAnswer(const std::string &host, const std::string &url, std::string *attributes)> unicast;
    std::function<int(const std::string &url, std::string *attributes)> fallback;
    std::function<void(std::vector<AttributeAsk> *asks)> askAll;
    bool unicastAllowed = true;
};

// Fetches the attribute list of every URL into `records`, in the order of `urls`: first at the
// URL's own host, then at other addresses of the same switch, then through the fallback, each
// step for all URLs together. A host that failed is not asked again. Returns 0, or the
// fallback's error with the URL (the first in `urls` that failed) in *failedUrl.
int fetchAttributes(const std::vector<std::string> &urls, const AttributeSource &source,
                    std::vector<FoundRecord> *records, std::string *failedUrl);

// Reads records in orvad-show's layout: a URL line, then the record's attribute list, one item
// per line indented by two spaces. Blank lines and lines starting with "#" are skipped.
std::vector<FoundRecord> parseRecordText(const std::string &text);

#endif
