// slp-agent: a small SLPv2 service agent for development, tests and management LANs.
#include "addresses.h"
#include "server.h"
#include "slp_config.h"

#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char kUsage[] =
    "usage: slp-agent [--port N] [--interfaces ADDR[,ADDR...]] [-c FILE] [--state FILE] [--user NAME]\n"
    "                 [--strict-lifetimes] [--no-watch-pid] [--da]\n"
    "  --port N            TCP and UDP port (net.slp.port, default 427)\n"
    "  --interfaces LIST   addresses to serve besides loopback, joining the SLP multicast groups\n"
    "                      on their interfaces (net.slp.interfaces; default: loopback only)\n"
    "  -c FILE             properties file read instead of /etc/slp.conf (the file named by\n"
    "                      $OpenSLPConfig is read after it)\n"
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
    "Properties also read: net.slp.useIPv4, net.slp.useIPv6, net.slp.MTU, net.slp.multicastTTL,\n"
    "net.slp.useScopes (the scopes served), net.slp.SAAttributes; for directory agents\n"
    "net.slp.DAAddresses, net.slp.activeDADetection, net.slp.passiveDADetection,\n"
    "net.slp.DAActiveDiscoveryInterval, net.slp.DAHeartBeat, net.slp.randomWaitBound,\n"
    "net.slp.DAMaxRegistrations, net.slp.DARegistrationNetworks and net.slp.DAMaxRegistrationBytes;\n"
    "for UDP replies to the LAN net.slp.sourceReplyBytesPerSecond, net.slp.totalReplyBytesPerSecond\n"
    "and net.slp.replySlipsPerSecond.\n";

bool parseNumber(const char *text, long low, long high, long *value) {
    char *end = nullptr;
    errno = 0;
    *value = std::strtol(text, &end, 10);
    return *text != '\0' && *end == '\0' && errno == 0 && *value >= low && *value <= high;
}

// Properties with values that do not parse are reported and left at their defaults.
bool applyProperties(const slpclient::PropertyMap &map, slpagent::AgentOptions *o) {
    bool ok = true;
    auto number = [&](const char *name, long low, long high, long *value) {
        auto it = map.find(name);
        if (it == map.end() || it->second.empty()) return false;
        if (parseNumber(it->second.c_str(), low, high, value)) return true;
        std::fprintf(stderr, "slp-agent: bad %s '%s'\n", name, it->second.c_str());
        ok = false;
        return false;
    };
    auto boolean = [&](const char *name, bool *value) {
        auto it = map.find(name);
        if (it == map.end() || it->second.empty()) return;
        if (strcasecmp(it->second.c_str(), "true") == 0) {
            *value = true;
        } else if (strcasecmp(it->second.c_str(), "false") == 0) {
            *value = false;
        } else {
            std::fprintf(stderr, "slp-agent: bad %s '%s'\n", name, it->second.c_str());
            ok = false;
        }
    };
    auto text = [&](const char *name) -> const std::string * {
        auto it = map.find(name);
        return it == map.end() ? nullptr : &it->second;
    };
    long value = 0;
    if (number("net.slp.port", 1, 65535, &value)) o->port = static_cast<uint16_t>(value);
    if (number("net.slp.MTU", 256, 65507, &value)) o->mtu = static_cast<size_t>(value);
    if (number("net.slp.multicastTTL", 1, 255, &value)) o->multicastTtl = static_cast<int>(value);
    boolean("net.slp.useIPv4", &o->useIPv4);
    boolean("net.slp.useIPv6", &o->useIPv6);
    boolean("net.slp.watchRegistrationPID", &o->watchPid);
    boolean("net.slp.isDA", &o->directoryAgent);
    boolean("net.slp.activeDADetection", &o->activeDaDiscovery);
    boolean("net.slp.passiveDADetection", &o->passiveDaDiscovery);
    if (number("net.slp.DAActiveDiscoveryInterval", 1, 86400 * 7, &value)) o->daDiscoveryIntervalS = value;
    if (number("net.slp.DAHeartBeat", 1, 86400 * 7, &value)) o->daHeartBeatS = value;
    if (number("net.slp.randomWaitBound", 0, 3600 * 1000, &value)) o->randomWaitBoundMs = value;
    if (number("net.slp.DAMaxRegistrations", 0, 100000000, &value)) o->maxRemoteRegistrations = size_t(value);
    if (number("net.slp.DAMaxRegistrationBytes", 64, 16 << 20, &value)) o->maxRegistrationBytes = size_t(value);
    if (number("net.slp.sourceReplyBytesPerSecond", 0, 1 << 30, &value)) o->rateLimits.sourceBytesPerSecond = uint32_t(value);
    if (number("net.slp.totalReplyBytesPerSecond", 0, 1 << 30, &value)) o->rateLimits.totalBytesPerSecond = uint32_t(value);
    if (number("net.slp.replySlipsPerSecond", 0, 100000, &value)) o->rateLimits.slipsPerSecond = uint32_t(value);
    if (const std::string *t = text("net.slp.DARegistrationNetworks")) {
        o->registeringNetworks = slpclient::listItems(*t);
        for (const std::string &item : o->registeringNetworks) {
            slpagent::Network network;
            if (!slpagent::parseNetwork(item, &network)) {
                std::fprintf(stderr, "slp-agent: bad net.slp.DARegistrationNetworks '%s'\n", item.c_str());
                ok = false;
            }
        }
    }
    if (const std::string *t = text("net.slp.DAAddresses")) o->daAddresses = slpclient::listItems(*t);
    if (const std::string *t = text("net.slp.interfaces")) o->interfaces = slpclient::listItems(*t);
    if (const std::string *t = text("net.slp.useScopes"); t != nullptr && !t->empty()) o->scopes = *t;
    if (const std::string *t = text("net.slp.SAAttributes")) o->saAttributes = *t;
    return ok;
}

}  // namespace

int main(int argc, char **argv) {
    // Command-line options win over properties, so the properties file is found first.
    const char *configFile = slpclient::kGlobalConfigFile;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "-c") == 0) configFile = argv[i + 1];
    }
    slpagent::AgentOptions options;
    if (!applyProperties(slpclient::layeredProperties(configFile, std::getenv(slpclient::kConfigFileVariable)),
                         &options)) {
        return 2;
    }
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        bool hasValue = i + 1 < argc;
        long value = 0;
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
    return slpagent::runAgent(options);
}
