// slp-query: asks SLP agents through the RFC 2614 API and prints what they answer, in the
// format of the usual SLP command-line tool: one agent by unicast (-u), else a directory agent
// when one is known, else by multicast.
#include <slp.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char kUsage[] = "usage: slp-query [--port N] [-u ADDR] [-i IFLIST] COMMAND ARGS\n"
                      "  findsrvs TYPE [SCOPES [FILTER]]   one URL,LIFETIME line per service\n"
                      "  findattrs URL|TYPE [TAGS]         the attribute list on one line\n"
                      "  findsrvtypes [NA]                 one type per line; NA \"*\" (default) = all, \"\" = IANA\n"
                      "  findscopes                        the scope list on one line (net.slp.useScopes, else\n"
                      "                                    the directory agents' scopes, else DEFAULT)\n"
                      "  --port N                          agent port (default: net.slp.port, 427)\n"
                      "  -u ADDR                           ask only the agent at ADDR (IPv4 or IPv6, a directory\n"
                      "                                    agent too), by unicast; without it, ask a directory\n"
                      "                                    agent when one is configured or found, else every\n"
                      "                                    agent on the LAN by multicast\n"
                      "                                    (loopback carries no multicast: use -u 127.0.0.1)\n"
                      "  -i IFLIST                         multicast out of these local addresses (comma list)\n"
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

const char *arg(int argc, char **argv, int i, const char *fallback) { return i < argc ? argv[i] : fallback; }

}  // namespace

int main(int argc, char **argv) {
    int i = 1;
    const char *unicast = nullptr;
    const char *interfaces = nullptr;
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
        } else {
            break;
        }
    }
    if (i >= argc) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const std::string command = argv[i++];
    const int left = argc - i;
    const bool known = (command == "findsrvs" && left >= 1 && left <= 3) ||
                       (command == "findattrs" && left >= 1 && left <= 2) || (command == "findsrvtypes" && left <= 1) ||
                       (command == "findscopes" && left == 0);
    if (!known) {
        std::fputs(kUsage, stderr);
        return 2;
    }

    SLPHandle handle = nullptr;
    SLPError result = SLPOpen("en", SLP_FALSE, &handle);
    if (result == SLP_OK && unicast != nullptr) result = SLPAssociateIP(handle, unicast);
    if (result == SLP_OK && interfaces != nullptr) result = SLPAssociateIFList(handle, interfaces);
    if (result == SLP_OK) {
        if (command == "findsrvs") {
            result =
                SLPFindSrvs(handle, argv[i], arg(argc, argv, i + 1, ""), arg(argc, argv, i + 2, ""), onUrl, nullptr);
        } else if (command == "findattrs") {
            result = SLPFindAttrs(handle, argv[i], "", arg(argc, argv, i + 1, ""), onAttrs, nullptr);
        } else if (command == "findscopes") {
            char *scopes = nullptr;
            if ((result = SLPFindScopes(handle, &scopes)) == SLP_OK) std::printf("%s\n", scopes);
            SLPFree(scopes);
        } else {
            result = SLPFindSrvTypes(handle, arg(argc, argv, i, "*"), "", onTypes, nullptr);
        }
    }
    SLPClose(handle);
    if (result != SLP_OK) std::printf("errorcode: %d\n", result);
    return 0;
}
