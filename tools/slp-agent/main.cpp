// slp-agent: a small SLPv2 agent on loopback for development and tests.
#include "server.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char kUsage[] = "usage: slp-agent [--port N] [--strict-lifetimes] [--no-watch-pid]\n"
                      "  --port N            TCP and UDP port on 127.0.0.1 and ::1 (default 427)\n"
                      "  --strict-lifetimes  let lifetime 65535 expire too (default: it never does)\n"
                      "  --no-watch-pid      keep registrations of processes that have exited\n"
                      "  -h, --help          this text\n";

bool parsePort(const char *text, uint16_t *port) {
    char *end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || value < 1 || value > 65535) return false;
    *port = static_cast<uint16_t>(value);
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    slpagent::AgentOptions options;
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (std::strcmp(arg, "--port") == 0 && i + 1 < argc) {
            if (!parsePort(argv[++i], &options.port)) {
                std::fprintf(stderr, "slp-agent: bad port '%s'\n", argv[i]);
                return 2;
            }
        } else if (std::strcmp(arg, "--strict-lifetimes") == 0) {
            options.strictLifetimes = true;
        } else if (std::strcmp(arg, "--no-watch-pid") == 0) {
            options.watchPid = false;
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
