// discovery.cpp: grouping of found SLP records into switches, and the two output formats.
#include "discovery.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

namespace {

const char kIoDevicePrefix[] = "service:io-device.3873:";
const char kWbemType[] = "service:wbem";

std::string lower(std::string text) {
    for (char &c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string trim(const std::string &text) {
    const char *blanks = " \t\r\n";
    size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// Splits a comma-separated value into its trimmed, non-empty parts.
std::vector<std::string> splitList(const std::string &text) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos) comma = text.size();
        std::string part = trim(text.substr(start, comma - start));
        if (!part.empty()) parts.push_back(part);
        start = comma + 1;
    }
    return parts;
}

// Addresses compare by their binary form, so "FD00:AB::40" and "fd00:ab:0::40" are one
// address; anything that is no address literal (a host name) compares case-insensitively.
std::string addressKey(const std::string &address) {
    std::string host = address;
    std::string zone;
    size_t percent = host.find('%');
    if (percent != std::string::npos) {
        zone = host.substr(percent);
        host.resize(percent);
    }
    unsigned char binary[16];
    if (inet_pton(AF_INET6, host.c_str(), binary) == 1) return "6" + std::string(binary, binary + 16) + zone;
    if (inet_pton(AF_INET, host.c_str(), binary) == 1) return "4" + std::string(binary, binary + 4);
    return "n" + lower(address);
}

bool isIpv6(const std::string &address) { return address.find(':') != std::string::npos; }

enum class Kind { Other, Wbem, IoDevice };

Kind kindOf(const std::string &url, std::string *product) {
    size_t end = url.find("://");
    const std::string type = lower(url.substr(0, end == std::string::npos ? url.size() : end));
    const size_t ioLength = sizeof kIoDevicePrefix - 1;
    if (type.compare(0, ioLength, kIoDevicePrefix) == 0 && type.size() > ioLength) {
        *product = url.substr(ioLength, type.size() - ioLength);
        return Kind::IoDevice;
    }
    if (type == kWbemType || type.compare(0, sizeof kWbemType, std::string(kWbemType) + ":") == 0) return Kind::Wbem;
    return Kind::Other;
}

// A switch while records are gathered: shown addresses carry the index of the record that
// brought them (for first-seen order after merging); match keys are every address the
// switch claims, its URL hosts and the addresses its io-device attributes list.
struct Group {
    SwitchRow row;
    std::vector<std::pair<size_t, std::string>> shown;
    std::vector<std::string> matchKeys;
    std::vector<std::string> hostKeys;  // WBEM groups: the hosts of their URLs
    bool joined = false;
};

bool contains(const std::vector<std::string> &list, const std::string &item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

void addUnique(std::vector<std::string> *list, const std::string &item) {
    if (!contains(*list, item)) list->push_back(item);
}

void finishAddresses(Group *group) {
    std::stable_sort(group->shown.begin(), group->shown.end(), [](const auto &a, const auto &b) {
        if (isIpv6(a.second) != isIpv6(b.second)) return !isIpv6(a.second);
        return a.first < b.first;
    });
    std::vector<std::string> keys;
    for (const auto &entry : group->shown) {
        std::string key = addressKey(entry.second);
        if (contains(keys, key)) continue;
        keys.push_back(key);
        group->row.addresses.push_back(entry.second);
    }
}

// Rows sort by name, then WWN; a known text sorts before an unknown one.
bool optionalLess(const std::optional<std::string> &a, const std::optional<std::string> &b) {
    if (a.has_value() != b.has_value()) return a.has_value();
    return a.has_value() && *a < *b;
}

// Control characters would break the one-line-per-row layout.
std::string cell(const std::optional<std::string> &text) {
    if (!text) return "-";
    std::string out = *text;
    for (char &c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    return out.empty() ? "-" : out;
}

std::string joined(const std::vector<std::string> &list) {
    if (list.empty()) return "-";
    std::string out;
    for (const std::string &item : list) out += (out.empty() ? "" : ",") + item;
    return cell(out);
}

// Display width in characters: UTF-8 continuation bytes take no column.
size_t width(const std::string &text) {
    size_t columns = 0;
    for (char c : text) columns += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return columns;
}

std::string jsonString(const std::optional<std::string> &text) {
    if (!text) return "null";
    std::string out = "\"";
    for (char c : *text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string jsonList(const std::vector<std::string> &list) {
    std::string out = "[";
    for (size_t i = 0; i < list.size(); i++) out += (i ? "," : "") + jsonString(list[i]);
    return out + "]";
}

bool allDigits(const std::string &text) {
    return !text.empty() && text.size() <= 9 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::vector<std::string> claimedAddresses(const FoundRecord &record) {
    std::vector<std::string> addresses = {urlHost(record.url)};
    std::string product;
    if (kindOf(record.url, &product) != Kind::IoDevice) return addresses;
    for (const char *tag : {"ipv4-addresses", "ipv6-addresses"}) {
        const std::optional<std::string> list = attributeValue(record.attributes, tag);
        if (!list) continue;
        for (const std::string &address : splitList(*list)) addresses.push_back(address);
    }
    return addresses;
}

bool sameAddress(const std::string &a, const std::string &b) { return addressKey(a) == addressKey(b); }

std::optional<std::string> attributeValue(const std::string &attributes, const std::string &tag) {
    const std::string wanted = lower(trim(tag));
    const std::string &text = attributes;
    size_t i = 0;
    // Every turn moves i past at least one character, so the loop ends.
    while (i < text.size()) {
        if (text[i] != '(') {
            // A bare keyword has no value; skip to the next item.
            size_t comma = text.find(',', i);
            if (comma == std::string::npos) break;
            i = comma + 1;
            continue;
        }
        // An item ends at the first ")" that ends the list or precedes the next "(" item, so
        // values may hold commas, "(" and ")" of their own, and an unclosed "(" in a value
        // ends at the next item.
        size_t end = i + 1;
        while (end < text.size() &&
               !(text[end] == ')' && (end + 1 == text.size() || text.compare(end + 1, 2, ",(") == 0)))
            end++;
        const size_t equals = text.find('=', i + 1);
        if (equals != std::string::npos && equals < end && lower(trim(text.substr(i + 1, equals - i - 1))) == wanted)
            return text.substr(equals + 1, end - equals - 1);
        i = end + 2;
    }
    return std::nullopt;
}

std::string urlHost(const std::string &url) {
    size_t start = url.find("://");
    if (start == std::string::npos) return "";
    start += 3;
    size_t end = url.find('/', start);
    std::string hostPort = url.substr(start, end == std::string::npos ? std::string::npos : end - start);
    size_t at = hostPort.rfind('@');
    if (at != std::string::npos) hostPort.erase(0, at + 1);
    if (!hostPort.empty() && hostPort[0] == '[') {
        size_t close = hostPort.find(']');
        return hostPort.substr(1, close == std::string::npos ? std::string::npos : close - 1);
    }
    // One colon separates a port; more mean an IPv6 address written without brackets.
    size_t colon = hostPort.find(':');
    if (colon != std::string::npos && hostPort.find(':', colon + 1) == std::string::npos) hostPort.resize(colon);
    return hostPort;
}

std::vector<SwitchRow> groupSwitches(const std::vector<FoundRecord> &records) {
    std::vector<Group> ioGroups;
    std::vector<Group> wbemGroups;
    for (size_t seq = 0; seq < records.size(); seq++) {
        const FoundRecord &record = records[seq];
        std::string product;
        const Kind kind = kindOf(record.url, &product);
        if (kind == Kind::Other) continue;
        const std::string host = urlHost(record.url);
        const std::string hostKey = addressKey(host);
        Group *group = nullptr;
        if (kind == Kind::IoDevice) {
            const std::optional<std::string> serial = attributeValue(record.attributes, "serial-number");
            // Without a serial, a record belongs to the switch that already claims its host.
            for (Group &candidate : ioGroups) {
                if (serial ? candidate.row.serial == serial
                           : !candidate.row.serial && contains(candidate.matchKeys, hostKey)) {
                    group = &candidate;
                    break;
                }
            }
            if (group == nullptr) {
                ioGroups.emplace_back();
                group = &ioGroups.back();
                group->row.serial = serial;
                group->row.product = product;
            }
            if (!group->row.name) group->row.name = attributeValue(record.attributes, "deviceName");
            for (const std::string &address : claimedAddresses(record)) addUnique(&group->matchKeys, addressKey(address));
        } else {
            const std::optional<std::string> wwn = attributeValue(record.attributes, "service-id");
            // Records without a WWN cannot be told apart: each stands alone.
            for (Group &candidate : wbemGroups) {
                if (wwn && candidate.row.wwn == wwn) {
                    group = &candidate;
                    break;
                }
            }
            if (group == nullptr) {
                wbemGroups.emplace_back();
                group = &wbemGroups.back();
                group->row.wwn = wwn;
                group->row.cim = true;
            }
            addUnique(&group->row.wbem, record.url);
            addUnique(&group->hostKeys, hostKey);
        }
        if (!host.empty()) group->shown.emplace_back(seq, host);
    }

    // Each WBEM group joins the first io-device switch that claims one of its hosts and has no
    // WBEM group yet; the others are switches of their own.
    std::vector<Group> switches = std::move(ioGroups);
    for (Group &wbem : wbemGroups) {
        Group *target = nullptr;
        for (Group &candidate : switches) {
            if (candidate.joined) continue;
            for (const std::string &key : wbem.hostKeys) {
                if (contains(candidate.matchKeys, key)) target = &candidate;
            }
            if (target != nullptr) break;
        }
        if (target == nullptr) {
            switches.push_back(std::move(wbem));
            continue;
        }
        target->joined = true;
        target->row.wwn = wbem.row.wwn;
        target->row.cim = true;
        target->row.wbem = wbem.row.wbem;
        target->shown.insert(target->shown.end(), wbem.shown.begin(), wbem.shown.end());
    }

    std::vector<SwitchRow> rows;
    for (Group &group : switches) {
        finishAddresses(&group);
        rows.push_back(std::move(group.row));
    }
    std::stable_sort(rows.begin(), rows.end(), [](const SwitchRow &a, const SwitchRow &b) {
        if (a.name != b.name) return optionalLess(a.name, b.name);
        return optionalLess(a.wwn, b.wwn);
    });
    return rows;
}

std::string formatText(const std::vector<SwitchRow> &rows) {
    std::vector<std::vector<std::string>> table = {{"NAME", "PRODUCT", "SERIAL", "WWN", "CIM", "ADDRESSES", "WBEM"}};
    for (const SwitchRow &row : rows) {
        table.push_back({cell(row.name), cell(row.product), cell(row.serial), cell(row.wwn), row.cim ? "on" : "off",
                         joined(row.addresses), joined(row.wbem)});
    }
    std::vector<size_t> widths(table[0].size(), 0);
    for (const auto &line : table)
        for (size_t column = 0; column < line.size(); column++)
            widths[column] = std::max(widths[column], width(line[column]));
    std::string out;
    for (const auto &line : table) {
        for (size_t column = 0; column < line.size(); column++) {
            out += line[column];
            if (column + 1 < line.size()) out += std::string(widths[column] - width(line[column]) + 2, ' ');
        }
        out += '\n';
    }
    return out;
}

std::string formatJson(const std::vector<SwitchRow> &rows) {
    std::string out = "[\n";
    for (size_t i = 0; i < rows.size(); i++) {
        const SwitchRow &row = rows[i];
        out += "{\"name\":" + jsonString(row.name);
        out += ",\"product\":" + (row.product && allDigits(*row.product) ? std::to_string(std::stol(*row.product))
                                                                           : jsonString(row.product));
        out += ",\"serial\":" + jsonString(row.serial) + ",\"wwn\":" + jsonString(row.wwn);
        out += std::string(",\"cim\":") + (row.cim ? "true" : "false");
        out += ",\"addresses\":" + jsonList(row.addresses) + ",\"wbem\":" + jsonList(row.wbem) + "}";
        out += i + 1 < rows.size() ? ",\n" : "\n";
    }
    return out + "]\n";
}

namespace {

bool isAddressLiteral(const std::string &host) {
    unsigned char binary[16];
    return inet_pton(AF_INET, host.c_str(), binary) == 1 || inet_pton(AF_INET6, host.c_str(), binary) == 1;
}

// Asks every question of `asks`: all at once through askAll when the source has it, else one
// after the other through unicast (a host) and fallback (no host).
void ask(const AttributeSource &source, std::vector<AttributeAsk> *asks) {
    if (source.askAll) return source.askAll(asks);
    for (AttributeAsk &a : *asks) {
        if (!a.host.empty()) {
            a.answer = source.unicast(a.host, a.url, &a.attributes);
        } else {
            a.error = source.fallback(a.url, &a.attributes);
        }
    }
}

}  // namespace

// A multicast request per URL would cost a whole convergence round each, so each URL is asked
// at its own host first: a switch's agent listens on its management addresses. A URL whose host
// gave nothing (a link-local address without a zone, say) is asked at up to three other
// addresses that the switch's io-device records claim; only then it goes to the fallback. Each
// of these rounds asks all its questions together; a host that failed is not asked again.
int fetchAttributes(const std::vector<std::string> &urls, const AttributeSource &source,
                    std::vector<FoundRecord> *records, std::string *failedUrl) {
    std::vector<std::string> silentHosts;
    std::vector<std::optional<std::string>> lists(urls.size());
    std::vector<size_t> tried(urls.size(), 0);  // relay candidates looked at, per URL
    // A round of unicast questions: for each URL without a list, the host `pick` gives, if any.
    auto round = [&](auto pick) {
        std::vector<AttributeAsk> asks;
        std::vector<size_t> of;
        for (size_t i = 0; i < urls.size(); i++) {
            if (lists[i]) continue;
            const std::string host = pick(i);
            if (host.empty() || !source.unicastAllowed || !isAddressLiteral(host) || contains(silentHosts, host)) continue;
            asks.push_back({host, urls[i], UnicastAnswer::Failed, 0, ""});
            of.push_back(i);
        }
        ask(source, &asks);
        for (size_t k = 0; k < asks.size(); k++) {
            if (asks[k].answer == UnicastAnswer::Failed && !contains(silentHosts, asks[k].host))
                silentHosts.push_back(asks[k].host);
            if (asks[k].answer == UnicastAnswer::Found) lists[of[k]] = asks[k].attributes;
        }
    };
    round([&](size_t i) { return urlHost(urls[i]); });
    // Which URLs' lists claim each address (by addressKey), in the order of `urls`; each list is
    // read once, when it is first found.
    std::map<std::string, std::set<size_t>> claimants;
    std::vector<bool> read(urls.size(), false);
    for (int relay = 0; relay < 3; relay++) {
        for (size_t j = 0; j < urls.size(); j++) {
            if (!lists[j] || read[j]) continue;
            read[j] = true;
            for (const std::string &address : claimedAddresses({urls[j], *lists[j]})) claimants[addressKey(address)].insert(j);
        }
        // The next URL whose list claims this URL's host: an address of the same switch.
        round([&](size_t i) {
            const auto found = claimants.find(addressKey(urlHost(urls[i])));
            if (found == claimants.end()) return std::string();
            for (auto j = found->second.lower_bound(tried[i]); j != found->second.end(); ++j) {
                if (*j == i) continue;
                tried[i] = *j + 1;
                return urlHost(urls[*j]);
            }
            tried[i] = urls.size();
            return std::string();
        });
    }
    std::vector<AttributeAsk> rest;
    for (size_t i = 0; i < urls.size(); i++) {
        if (!lists[i]) rest.push_back({"", urls[i], UnicastAnswer::Failed, 0, ""});
    }
    ask(source, &rest);
    for (const AttributeAsk &a : rest) {
        if (a.error != 0) {
            *failedUrl = a.url;
            return a.error;
        }
    }
    for (size_t i = 0, k = 0; i < urls.size(); i++) records->push_back({urls[i], lists[i] ? *lists[i] : rest[k++].attributes});
    return 0;
}

std::vector<FoundRecord> parseRecordText(const std::string &text) {
    std::vector<FoundRecord> records;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.compare(0, 2, "  ") == 0) {
            if (!records.empty()) records.back().attributes += line.substr(2);
        } else if (!line.empty() && line[0] != '#') {
            records.push_back({line, ""});
        }
    }
    return records;
}
