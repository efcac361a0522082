// slp-query: asks SLP agents through the RFC 2614 API and prints what they answer, in the
// format of the usual SLP command-line tool: one agent by unicast (-u), else a directory agent
// when one is known, else by multicast. It also registers and deregisters services with the
// local agent and prints the library's properties.
#include <slp.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char kUsage[] =
    "usage: slp-query [--port N] [-u ADDR] [-i IFLIST] [-s SCOPES] [-l LANG] COMMAND ARGS\n"
    "  findsrvs TYPE [SCOPES] [FILTER]   one URL,LIFETIME line per service; FILTER starts with \"(\"\n"
    "  findattrs URL|TYPE [TAGS]         the attribute list on one line\n"
    "  findsrvtypes [NA]                 one type per line; NA \"*\" (default) = all, \"\" = IANA\n"
    "  findscopes                        the scope list on one line (net.slp.useScopes, else\n"
    "                                    the directory agents' scopes, else DEFAULT)\n"
    "  register URL [ATTRS] [LIFETIME]   register with the local agent; LIFETIME 1-65535 seconds\n"
    "                                    (default 65535: until deregistered)\n"
    "  deregister URL                    remove a registration from the local agent\n"
    "  getproperty NAME                  print \"NAME = VALUE\"\n"
    "  --port N                          agent port (default: net.slp.port, 427)\n"
    "  -u ADDR                           ask only the agent at ADDR (IPv4 or IPv6, a directory\n"
    "                                    agent too), by unicast; without it, ask a directory\n"
    "                                    agent when one is configured or found, else every\n"
    "                                    agent on the LAN by multicast\n"
    "                                    (loopback carries no multicast: use -u 127.0.0.1)\n"
    "  -i IFLIST                         multicast out of these local addresses (comma list)\n"
    "  -s SCOPES                         scope list of finds (a findsrvs SCOPES argument wins),\n"
    "                                    registrations and deregistrations (default:\n"
    "                                    net.slp.useScopes, DEFAULT)\n"
    "  -l LANG                           language of requests and registrations (default en)\n"
    "Errors print \"errorcode: N\" and still exit 0.\n";

// Reports an error code from a callback; SLP_LAST_CALL and SLP_OK are not errors.
void reportCallbackError(SLPError errCode) {
    if (errCode < 0) std::printf("errorcode: %d\n", errCode);
}

SLPBoolean SLPCALLBACK onUrl(SLPHandle, const char *url, unsigned short lifetime, SLPError errCode, void *) {
    if (errCode == SLP_OK && url != nullptr) std::printf("%s,%u\n", url, unsigned{lifetime});
    reportCallbackError(errCode);
    return SLP_TRUE;
}

SLPBoolean SLPCALLBACK onAttrs(SLPHandle, const char *attrs, SLPError errCode, void *) {
    if (errCode == SLP_OK && attrs != nullptr && *attrs != '\0') std::printf("%s\n", attrs);
    reportCallbackError(errCode);
    return SLP_TRUE;
}

SLPBoolean SLPCALLBACK onTypes(SLPHandle, const char *types, SLPError errCode, void *) {
    if (errCode == SLP_OK && types != nullptr) {
        std::string list(types);
        size_t start = 0;
        while (start <= list.size()) {
            size_t comma = list.find(',', start);
            if (comma == std::string::npos) comma = list.size();
            if (comma > start) std::printf("%s\n", list.substr(start, comma - start).c_str());
            start = comma + 1;
        }
    }
    reportCallbackError(errCode);
    return SLP_TRUE;
}

void SLPCALLBACK onRegistered(SLPHandle, SLPError errCode, void *) { reportCallbackError(errCode); }

const char *arg(int argc, char **argv, int i, const char *fallback) { return i < argc ? argv[i] : fallback; }

// A lifetime argument: 1 to 65535 seconds, else 0.
unsigned short lifetimeOf(const char *text) {
    char *end = nullptr;
    long seconds = std::strtol(text, &end, 10);
    return end == text || *end != '\0' || seconds < 1 || seconds > 65535 ? 0 : static_cast<unsigned short>(seconds);
}

int usageError() {
    std::fputs(kUsage, stderr);
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    int i = 1;
    const char *unicast = nullptr;
    const char *interfaces = nullptr;
    const char *scopes = "";
    const char *language = "en";
    for (; i + 1 < argc && argv[i][0] == '-'; i += 2) {
        if (std::strcmp(argv[i], "--port") == 0) {
            char *end = nullptr;
            long port = std::strtol(argv[i + 1], &end, 10);
            if (*end != '\0' || port < 1 || port > 65535) {
                std::fprintf(stderr, "slp-query: bad port '%s'\n", argv[i + 1]);
                return 2;
            }
            SLPSetProperty("net.slp.port", argv[i + 1]);
        } else if (std::strcmp(argv[i], "-u") == 0) {
            unicast = argv[i + 1];
        } else if (std::strcmp(argv[i], "-i") == 0) {
            interfaces = argv[i + 1];
        } else if (std::strcmp(argv[i], "-s") == 0) {
            scopes = argv[i + 1];
        } else if (std::strcmp(argv[i], "-l") == 0) {
            language = argv[i + 1];
        } else {
            break;
        }
    }
    if (i >= argc) return usageError();
    const std::string command = argv[i++];
    const int left = argc - i;
    const bool known = (command == "findsrvs" && left >= 1 && left <= 3) ||
                       (command == "findattrs" && left >= 1 && left <= 2) || (command == "findsrvtypes" && left <= 1) ||
                       (command == "findscopes" && left == 0) || (command == "register" && left >= 1 && left <= 3) ||
                       ((command == "deregister" || command == "getproperty") && left == 1);
    if (!known) return usageError();
    unsigned short lifetime = SLP_LIFETIME_MAXIMUM;
    if (command == "register" && left == 3 && (lifetime = lifetimeOf(argv[i + 2])) == 0) return usageError();

    if (command == "getproperty") {
        const char *value = SLPGetProperty(argv[i]);
        std::printf("%s = %s\n", argv[i], value == nullptr ? "" : value);
        return 0;
    }
    // The library reads these at its first call. Registrations go to the scopes of
    // net.slp.useScopes and leave out our process ID, or the agent would drop them when we exit.
    if (*scopes != '\0' && (command == "register" || command == "deregister"))
        SLPSetProperty("net.slp.useScopes", scopes);
    if (command == "register") SLPSetProperty("net.slp.watchRegistrationPID", "false");

    SLPHandle handle = nullptr;
    SLPError result = SLPOpen(language, SLP_FALSE, &handle);
    if (result == SLP_OK && unicast != nullptr) result = SLPAssociateIP(handle, unicast);
    if (result == SLP_OK && interfaces != nullptr) result = SLPAssociateIFList(handle, interfaces);
    if (result == SLP_OK) {
        if (command == "findsrvs") {
            // "findsrvs TYPE FILTER": a scope list never starts with "(", a filter always does.
            const bool filterSecond = left == 2 && argv[i + 1][0] == '(';
            const char *given = filterSecond ? "" : arg(argc, argv, i + 1, "");
            const char *filter = filterSecond ? argv[i + 1] : arg(argc, argv, i + 2, "");
            result = SLPFindSrvs(handle, argv[i], *given != '\0' ? given : scopes, filter, onUrl, nullptr);
        } else if (command == "findattrs") {
            result = SLPFindAttrs(handle, argv[i], scopes, arg(argc, argv, i + 1, ""), onAttrs, nullptr);
        } else if (command == "findscopes") {
            char *found = nullptr;
            if ((result = SLPFindScopes(handle, &found)) == SLP_OK) std::printf("%s\n", found);
            SLPFree(found);
        } else if (command == "register") {
            result = SLPReg(handle, argv[i], lifetime, "", arg(argc, argv, i + 1, ""), SLP_TRUE, onRegistered, nullptr);
        } else if (command == "deregister") {
            result = SLPDereg(handle, argv[i], onRegistered, nullptr);
        } else {
            result = SLPFindSrvTypes(handle, arg(argc, argv, i, "*"), scopes, onTypes, nullptr);
        }
    }
    SLPClose(handle);
    if (result != SLP_OK) std::printf("errorcode: %d\n", result);
    return 0;
}
