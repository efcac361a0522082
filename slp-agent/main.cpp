// slp-agent: a small SLPv2 service agent for development, tests and management LANs.
#include "addresses.h"
#include "reg_file.h"
#include "server.h"
#include "slp_config.h"

#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char kUsage[] =
    "usage: slp-agent [--port N] [--interfaces ADDR[,ADDR...]] [-c FILE] [-r FILE] [--state FILE]\n"
    "                 [--user NAME] [--strict-lifetimes] [--no-watch-pid] [--da]\n"
    "  --port N            TCP and UDP port (net.slp.port, default 427)\n"
    "  --interfaces LIST   addresses to serve besides loopback, joining the SLP multicast groups\n"
    "                      on their interfaces (net.slp.interfaces; default: loopback only)\n"
    "  -c FILE             properties file read instead of /etc/slp.conf (the file named by\n"
    "                      $OpenSLPConfig is read after it)\n"
    "  -r FILE             registration file: services registered from it at start and again\n"
    "                      on SIGHUP (net.slp.serializedRegURL; default /etc/slp.reg if it exists)\n"
    "  --state FILE        keep registrations in FILE across restarts (its folder must be\n"
    "                      writable by the user the agent runs as)\n"
    "  --user NAME         user to run as once the sockets are bound, when started as root\n"
    "                      (default nobody)\n"
    "  --strict-lifetimes  let lifetime 65535 expire too (default: it never does)\n"
    "  --no-watch-pid      keep registrations of processes that have exited\n"
    "                      (net.slp.watchRegistrationPID)\n"
    "  --da                run as a directory agent (net.slp.isDA): advertise, take registrations\n"
    "                      from remote service agents and age them to their lifetimes\n"
    "  -h, --help          this text\n"
    "Properties (names in any case) are those of RFC 2614 and net.slp.port, net.slp.useIPv4,\n"
    "net.slp.useIPv6, net.slp.SAAttributes, net.slp.watchRegistrationPID; for a DA\n"
    "net.slp.DAMaxRegistrations, net.slp.DARegistrationNetworks and net.slp.DAMaxRegistrationBytes;\n"
    "for UDP replies to the LAN net.slp.sourceReplyBytesPerSecond, net.slp.totalReplyBytesPerSecond\n"
    "and net.slp.replySlipsPerSecond. Others are ignored.\n";

constexpr const char *kDefaultRegistrationFile = "/etc/slp.reg";

bool parseNumber(const char *text, int64_t low, int64_t high, int64_t *value) {
    char *end = nullptr;
    errno = 0;
    *value = std::strtoll(text, &end, 10);
    return *text != '\0' && *end == '\0' && errno == 0 && *value >= low && *value <= high;
}

using slpagent::AgentOptions;

enum class Kind { Number, Boolean, Text, Numbers, Limit };

// A property the agent reads: its values (a number within [low, high], true/false in any case,
// any text, a comma list of numbers within [low, high], which may be empty, or a limit: a number
// within [1, high] or -1 for none) and where they go.
struct Property {
    const char *name;
    Kind kind;
    int64_t low, high;
    void (*apply)(AgentOptions *o, const std::string &text, int64_t number);
};

constexpr int64_t kMaxU32 = 4294967295;

// RFC 2614's properties, the agent's own, and those it shares with the client library. Where
// the client's alone matter here (its waits, maxResults, typeHint), the value is only checked.
const Property kProperties[] = {
    {"net.slp.port", Kind::Number, 1, 65535, [](AgentOptions *o, const std::string &, int64_t n) { o->port = uint16_t(n); }},
    {"net.slp.interfaces", Kind::Text, 0, 0,
     [](AgentOptions *o, const std::string &t, int64_t) { o->interfaces = slpclient::listItems(t); }},
    {"net.slp.useIPv4", Kind::Boolean, 0, 1, [](AgentOptions *o, const std::string &, int64_t b) { o->useIPv4 = b; }},
    {"net.slp.useIPv6", Kind::Boolean, 0, 1, [](AgentOptions *o, const std::string &, int64_t b) { o->useIPv6 = b; }},
    {"net.slp.isBroadcastOnly", Kind::Boolean, 0, 1,
     [](AgentOptions *o, const std::string &, int64_t b) { o->broadcastOnly = b; }},
    // Below 256 bytes little but a header fits in a datagram: every find would go by TCP.
    {"net.slp.MTU", Kind::Number, 256, 65535, [](AgentOptions *o, const std::string &, int64_t n) { o->mtu = size_t(n); }},
    {"net.slp.multicastTTL", Kind::Number, 1, 255,
     [](AgentOptions *o, const std::string &, int64_t n) { o->multicastTtl = int(n); }},
    {"net.slp.useScopes", Kind::Text, 0, 0,
     [](AgentOptions *o, const std::string &t, int64_t) {
         if (!slpclient::listItems(t).empty()) o->scopes = t;
     }},
    {"net.slp.locale", Kind::Text, 0, 0,
     [](AgentOptions *o, const std::string &t, int64_t) {
         if (!t.empty()) o->locale = t;
     }},
    {"net.slp.SAAttributes", Kind::Text, 0, 0, [](AgentOptions *o, const std::string &t, int64_t) { o->saAttributes = t; }},
    {"net.slp.watchRegistrationPID", Kind::Boolean, 0, 1,
     [](AgentOptions *o, const std::string &, int64_t b) { o->watchPid = b; }},
    {"net.slp.serializedRegURL", Kind::Text, 0, 0,
     [](AgentOptions *o, const std::string &t, int64_t) { o->registrationFile = t; }},
    {"net.slp.securityEnabled", Kind::Boolean, 0, 1,
     [](AgentOptions *o, const std::string &, int64_t b) { o->securityEnabled = b; }},
    {"net.slp.isDA", Kind::Boolean, 0, 1, [](AgentOptions *o, const std::string &, int64_t b) { o->directoryAgent = b; }},
    {"net.slp.DAAddresses", Kind::Text, 0, 0,
     [](AgentOptions *o, const std::string &t, int64_t) { o->daAddresses = slpclient::listItems(t); }},
    {"net.slp.activeDADetection", Kind::Boolean, 0, 1,
     [](AgentOptions *o, const std::string &, int64_t b) { o->activeDaDiscovery = b; }},
    {"net.slp.passiveDADetection", Kind::Boolean, 0, 1,
     [](AgentOptions *o, const std::string &, int64_t b) { o->passiveDaDiscovery = b; }},
    {"net.slp.DAActiveDiscoveryInterval", Kind::Number, 0, 65535,
     [](AgentOptions *o, const std::string &, int64_t n) { o->daDiscoveryIntervalS = n; }},
    {"net.slp.DAHeartBeat", Kind::Number, 0, kMaxU32,
     [](AgentOptions *o, const std::string &, int64_t n) { o->daHeartBeatS = n; }},
    {"net.slp.DAAttributes", Kind::Text, 0, 0, [](AgentOptions *o, const std::string &t, int64_t) { o->daAttributes = t; }},
    {"net.slp.randomWaitBound", Kind::Number, 0, kMaxU32,
     [](AgentOptions *o, const std::string &, int64_t n) { o->randomWaitBoundMs = n; }},
    {"net.slp.DAMaxRegistrations", Kind::Number, 0, 100000000,
     [](AgentOptions *o, const std::string &, int64_t n) { o->maxRemoteRegistrations = size_t(n); }},
    {"net.slp.DAMaxRegistrationBytes", Kind::Number, 64, 16 << 20,
     [](AgentOptions *o, const std::string &, int64_t n) { o->maxRegistrationBytes = size_t(n); }},
    {"net.slp.DARegistrationNetworks", Kind::Text, 0, 0,
     [](AgentOptions *o, const std::string &t, int64_t) { o->registeringNetworks = slpclient::listItems(t); }},
    {"net.slp.sourceReplyBytesPerSecond", Kind::Number, 0, 1 << 30,
     [](AgentOptions *o, const std::string &, int64_t n) { o->rateLimits.sourceBytesPerSecond = uint32_t(n); }},
    {"net.slp.totalReplyBytesPerSecond", Kind::Number, 0, 1 << 30,
     [](AgentOptions *o, const std::string &, int64_t n) { o->rateLimits.totalBytesPerSecond = uint32_t(n); }},
    {"net.slp.replySlipsPerSecond", Kind::Number, 0, 100000,
     [](AgentOptions *o, const std::string &, int64_t n) { o->rateLimits.slipsPerSecond = uint32_t(n); }},
    {"net.slp.maxResults", Kind::Limit, 1, kMaxU32, nullptr},
    {"net.slp.typeHint", Kind::Text, 0, 0, nullptr},
    {"net.slp.multicastMaximumWait", Kind::Number, 1, kMaxU32, nullptr},
    {"net.slp.multicastTimeouts", Kind::Numbers, 1, kMaxU32, nullptr},
    {"net.slp.DADiscoveryTimeouts", Kind::Numbers, 1, kMaxU32, nullptr},
    {"net.slp.datagramTimeouts", Kind::Numbers, 1, kMaxU32, nullptr},
};

// Whether `text` holds a value `p` takes; `number` is the number or boolean (0 or 1).
bool valueOf(const Property &p, const std::string &text, int64_t *number) {
    switch (p.kind) {
    case Kind::Number:
        return parseNumber(text.c_str(), p.low, p.high, number);
    case Kind::Limit:
        return text == "-1" || parseNumber(text.c_str(), p.low, p.high, number);
    case Kind::Boolean:
        *number = strcasecmp(text.c_str(), "true") == 0;
        return *number != 0 || strcasecmp(text.c_str(), "false") == 0;
    case Kind::Numbers:
        for (const std::string &item : slpclient::listItems(text)) {
            if (!parseNumber(item.c_str(), p.low, p.high, number)) return false;
        }
        return true;
    case Kind::Text:
        return true;
    }
    return false;
}

// Applies the properties the agent knows; an empty value leaves the default. Values that do
// not parse, and settings that cannot work, are reported; then the result is false.
bool applyProperties(const slpclient::PropertyMap &map, AgentOptions *o) {
    bool ok = true;
    for (const Property &p : kProperties) {
        auto it = map.find(p.name);
        if (it == map.end() || (it->second.empty() && p.kind != Kind::Text)) continue;
        int64_t number = 0;
        if (!valueOf(p, it->second, &number)) {
            std::fprintf(stderr, "slp-agent: bad %s '%s'\n", p.name, it->second.c_str());
            ok = false;
        } else if (p.apply != nullptr) {
            p.apply(o, it->second, number);
        }
    }
    for (const std::string &item : o->registeringNetworks) {
        slpagent::Network network;
        if (!slpagent::parseNetwork(item, &network)) {
            std::fprintf(stderr, "slp-agent: bad net.slp.DARegistrationNetworks '%s'\n", item.c_str());
            ok = false;
        }
    }
    return ok;
}

// What can only be judged once the options are final.
bool checkOptions(AgentOptions *o, bool fileGiven) {
    if (o->securityEnabled) {
        std::fprintf(stderr, "slp-agent: net.slp.securityEnabled is true, but this agent has no SLP authentication\n");
        return false;
    }
    if (fileGiven) {
        const std::string path = slpagent::registrationFilePath(o->registrationFile);
        if (path.empty() && !o->registrationFile.empty()) {
            std::fprintf(stderr, "slp-agent: the registration file '%s' is not a local file\n",
                         o->registrationFile.c_str());
            return false;
        }
        o->registrationFile = path;
    } else {
        o->registrationFile = access(kDefaultRegistrationFile, F_OK) == 0 ? kDefaultRegistrationFile : "";
    }
    // An interval of 0 turns active discovery off; known DAs are still asked now and then.
    if (o->daDiscoveryIntervalS == 0) {
        o->activeDaDiscovery = false;
        o->daDiscoveryIntervalS = 900;
    }
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    // Command-line options win over properties, so the properties file is found first.
    const char *configFile = slpclient::kGlobalConfigFile;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "-c") == 0) configFile = argv[i + 1];
    }
    AgentOptions options;
    const slpclient::PropertyMap properties =
        slpclient::layeredProperties(configFile, std::getenv(slpclient::kConfigFileVariable));
    if (!applyProperties(properties, &options)) return 2;
    bool fileGiven = properties.count("net.slp.serializedRegURL") != 0;
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        bool hasValue = i + 1 < argc;
        int64_t value = 0;
        if (std::strcmp(arg, "--port") == 0 && hasValue) {
            if (!parseNumber(argv[++i], 1, 65535, &value)) {
                std::fprintf(stderr, "slp-agent: bad port '%s'\n", argv[i]);
                return 2;
            }
            options.port = static_cast<uint16_t>(value);
        } else if (std::strcmp(arg, "--interfaces") == 0 && hasValue) {
            options.interfaces = slpclient::listItems(argv[++i]);
        } else if (std::strcmp(arg, "-c") == 0 && hasValue) {
            ++i;  // read above
        } else if (std::strcmp(arg, "-r") == 0 && hasValue) {
            options.registrationFile = argv[++i];
            fileGiven = true;
        } else if (std::strcmp(arg, "--state") == 0 && hasValue) {
            options.statePath = argv[++i];
        } else if (std::strcmp(arg, "--user") == 0 && hasValue) {
            options.user = argv[++i];
        } else if (std::strcmp(arg, "--strict-lifetimes") == 0) {
            options.strictLifetimes = true;
        } else if (std::strcmp(arg, "--no-watch-pid") == 0) {
            options.watchPid = false;
        } else if (std::strcmp(arg, "--da") == 0) {
            options.directoryAgent = true;
        } else if (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        } else {
            std::fputs(kUsage, stderr);
            return 2;
        }
    }
    if (!checkOptions(&options, fileGiven)) return 2;
    return slpagent::runAgent(options);
}
