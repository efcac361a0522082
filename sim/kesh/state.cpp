#include "state.h"

#include <algorithm>
#include <set>

#include "kesh.h"

namespace keshsim {
namespace {

// The built-in development switch: every value the daemon reads, for product 59 with both
// Ethernet interfaces up. dev-switch.state carries the same lines for users to copy.
// Addresses come from documentation ranges; hex letters are lower case so that the daemon's
// upper-casing of the WWN and MAC addresses is visible.
constexpr std::pair<const char *, const char *> kBuiltinValues[] = {
    {"Default.Mfg.ProductID", "59"},
    {"Oper.Mfg.UUID", "5d1c0b4e-59a0-4c3b-9e7f-0a1b2c3d4e59"},
    {"Oper.Switch.WWN", "10:00:00:00:5e:00:53:ab"},
    {"Oper.Switch.Type", "59.1"},
    {"Config.Mfg.ChassisSerialNum", "DEV0059A123"},
    {"Config.Mfg.OemFruNumber", "FRU-0059-01"},
    {"Config.Mfg.ChassisPartNum", "60-1000059-01"},
    {"Config.Mfg.BrandName", "Orva DevSwitch 59"},
    {"Config.Mfg.Mac", "00:00:5e:00:53:0a"},
    {"Config.Mfg.Mac1", "00:00:5e:00:53:0b"},
    {"Config.Snmp.SysObjectID", "1.3.6.1.4.1.32473.1.59"},
    {"Config.Snmp.EngineID", "80:00:7e:d9:03:00:00:5e:00:53:0a"},
    {"Config.Switch.SymName", "dev-switch-59"},
    {"Config.Services.EmbeddedGUIEnable", "True"},
    {"Config.Services.ExternalGUIEnable", "True"},
    {"Config.Services.TelnetEnable", "False"},
    {"Config.Services.SLPEnable", "True"},
    {"Config.Services.SSHEnable", "True"},
    {"Config.Services.SSLEnable", "True"},
    {"Config.Services.HTTPSEnable", "True"},
    {"Config.Services.SNMPEnable", "True"},
    {"Config.Services.NTPEnable", "False"},
    {"Config.Services.CIMEnable", "True"},
    {"Config.Services.FTPEnable", "False"},
    {"Config.Services.TFTPEnable", "False"},
    {"Config.Services.MSEnable", "True"},
    {"Config.Services.CallhomeEnable", "False"},
    {"Config.System.IPv4Enable", "True"},
    {"Oper.Switch.IPv4Feature", "True"},
    {"Config.System.IPv6Enable", "True"},
    {"Oper.Switch.IPv6Feature", "True"},
    {"Config.System.Eth.0.Enable", "True"},
    {"Config.System.Eth.0.IPAddress", "192.0.2.10"},
    {"Oper.System.Eth.0.IPv6AddressList", "2001:db8::10,fd00::10"},
    {"Config.System.Eth.1.Enable", "True"},
    {"Config.System.Eth.1.IPAddress", "192.0.2.11"},
    {"Oper.System.Eth.1.IPv6AddressList", "2001:db8::11,fd00::11"},
};

// Name → event code; the first rule whose every non-empty part matches wins, so the IPv6
// address list rule comes before the broader Oper/Config rules.
struct EventRule {
    std::string_view prefix;
    std::string_view contains;
    std::string_view suffix;
    uint32_t code;
};
constexpr EventRule kEventRules[] = {
    {"Oper.System.Eth.", "", ".IPv6AddressList", KESH_EVENT_IPV6_ADDRESS_CHANGE},
    {"Config.Services.", "", "", KESH_EVENT_SERVICES_CFG_CHANGE},
    {"Config.System.", "", "", KESH_EVENT_NETWORK_CFG_CHANGE},
    {"Config.Snmp.", "", "", KESH_EVENT_SNMP_CFG_CHANGE},
    {"Config.Switch.", "", "", KESH_EVENT_SWITCH_CFG_CHANGE},
    {"Oper.Switch.", "", "", KESH_EVENT_SWITCH_OPERCHANGE},
    {"", "Mfg", "", KESH_EVENT_CHASSIS_OPERCHANGE},
};

bool startsWith(std::string_view text, std::string_view head) { return text.substr(0, head.size()) == head; }

bool endsWith(std::string_view text, std::string_view tail) {
    return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view trimBlanks(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
    return text;
}

std::vector<std::string_view> splitWords(std::string_view text) {
    std::vector<std::string_view> words;
    for (text = trimBlanks(text); !text.empty(); text = trimBlanks(text)) {
        size_t end = 0;
        while (end < text.size() && !isBlank(text[end])) ++end;
        words.push_back(text.substr(0, end));
        text.remove_prefix(end);
    }
    return words;
}

int digitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Decimal, or hexadecimal after 0x/0X; the whole word must be a number that fits in 32 bits.
bool parseNumber(std::string_view word, uint32_t *out) {
    unsigned base = 10;
    if (startsWith(word, "0x") || startsWith(word, "0X")) {
        base = 16;
        word.remove_prefix(2);
    }
    if (word.empty()) return false;
    uint64_t n = 0;
    for (char c : word) {
        const int d = digitValue(c);
        if (d < 0 || static_cast<unsigned>(d) >= base) return false;
        n = n * base + static_cast<unsigned>(d);
        if (n > UINT32_MAX) return false;
    }
    *out = static_cast<uint32_t>(n);
    return true;
}

// A valid name fits a batch entry's name field and holds no blanks, so it can be queried.
bool validName(std::string_view name) {
    return !name.empty() && name.size() < sizeof(SmlBatchEntry::name) &&
           std::none_of(name.begin(), name.end(), isBlank);
}

using Words = std::vector<std::string_view>;

bool applyStatus(const Words &w, SwitchState *s) {
    uint32_t code = 0;
    if (!validName(w[1]) || !parseNumber(w[2], &code)) return false;
    s->statuses[std::string(w[1])] = code;
    return true;
}
bool applyFailBatch(const Words &w, SwitchState *s) { return parseNumber(w[1], &s->failBatch); }
bool applySkipBatch(const Words &w, SwitchState *s) { return parseNumber(w[1], &s->skipBatch); }
bool applyRefuseConnect(const Words &w, SwitchState *s) { return parseNumber(w[1], &s->refuseConnect); }

struct Directive {
    std::string_view word;
    size_t wordCount;  // including the directive itself
    bool (*apply)(const Words &, SwitchState *);
    const char *usage;
};
constexpr Directive kDirectives[] = {
    {"!status", 3, applyStatus, "expected '!status NAME CODE'"},
    {"!fail-batch", 2, applyFailBatch, "expected '!fail-batch N'"},
    {"!skip-batch", 2, applySkipBatch, "expected '!skip-batch N'"},
    {"!refuse-connect", 2, applyRefuseConnect, "expected '!refuse-connect N'"},
};

// Parses one line that is neither blank nor a comment; returns the reason when malformed.
const char *parseLine(std::string_view line, SwitchState *s) {
    const std::string_view body = trimBlanks(line);
    if (body.front() == '!') {
        const Words words = splitWords(body);
        for (const Directive &d : kDirectives)
            if (words[0] == d.word) return words.size() == d.wordCount && d.apply(words, s) ? nullptr : d.usage;
        return "unknown '!' directive";
    }
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos) return "expected 'name = value'";
    const std::string_view name = trimBlanks(line.substr(0, eq));
    if (!validName(name)) return "empty name, name with blanks, or name of 256 characters or more";
    std::string_view value = line.substr(eq + 1);
    if (!value.empty() && value.front() == ' ') value.remove_prefix(1);  // the one blank of "= "
    s->values[std::string(name)] = std::string(value);
    return nullptr;
}

}  // namespace

bool parseState(std::string_view text, SwitchState *out, ParseError *error) {
    SwitchState parsed;
    size_t lineNo = 0;
    while (!text.empty()) {
        ++lineNo;
        const size_t nl = text.find('\n');
        const std::string_view line = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        const std::string_view body = trimBlanks(line);
        if (body.empty() || body.front() == '#') continue;
        if (const char *reason = parseLine(line, &parsed)) {
            if (error) *error = ParseError{lineNo, reason};
            return false;
        }
    }
    *out = std::move(parsed);
    return true;
}

SwitchState builtinState() {
    SwitchState state;
    for (const auto &[name, value] : kBuiltinValues) state.values.emplace(name, value);
    return state;
}

Answer lookup(const SwitchState &state, std::string_view name) {
    if (auto it = state.statuses.find(name); it != state.statuses.end()) return Answer{{}, it->second};
    if (auto it = state.values.find(name); it != state.values.end()) return Answer{it->second, 0};
    return Answer{{}, kNoSuchValue};
}

uint32_t eventForName(std::string_view name) {
    for (const EventRule &r : kEventRules) {
        if (startsWith(name, r.prefix) && endsWith(name, r.suffix) && name.find(r.contains) != std::string_view::npos)
            return r.code;
    }
    return KESH_EVENT_SWITCH_ATTR_CHANGE;
}

std::vector<uint32_t> changedEvents(const SwitchState &before, const SwitchState &after) {
    std::set<std::string_view> names;
    for (const SwitchState *s : {&before, &after}) {
        for (const auto &kv : s->values) names.insert(kv.first);
        for (const auto &kv : s->statuses) names.insert(kv.first);
    }
    std::set<uint32_t> codes;
    for (std::string_view name : names)
        if (!(lookup(before, name) == lookup(after, name))) codes.insert(eventForName(name));
    return {codes.begin(), codes.end()};
}

}  // namespace keshsim
