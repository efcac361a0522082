// agent-scale-bench: slp-agent holding many registrations shaped like the daemon's: its memory
// per registration, and how long a station's finds take against it (unicast UDP from loopback,
// over TCP when the reply overflows). Prints figures; asserts nothing.
#include "agent_child.h"
#include "bench_util.h"

#include <slp.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

using bench::Clock;

// The daemon's WBEM attribute list for one address: about 900 bytes.
std::string wbemAttributes(const std::string &address) {
    return "(template-type=wbem),(template-version=1.0),(template-description=This template describes the "
           "attributes used for advertising WBEM Servers),(service-hi-name=Demo CIMAgent),(service-hi-description="
           "Embedded CIMAgent),(service-id=10:00:00:11:22:33:44:55),(CommunicationMechanism=CIM-XML),"
           "(InteropSchemaNamespace=root/interop),(ProtocolVersion=1.1),(FunctionalProfilesSupported=Basic Read,"
           "Basic Write,Instance Manipulation,Association Traversal,Indications),(MultipleOperationsSupported=false),"
           "(AuthenticationMechanismsSupported=Basic),(Namespace=root/interop),(ClassInfo=CIM 2.15),"
           "(RegisteredProfilesSupported=SNIA:Server,SNIA:Switch,SNIA:Fabric,DMTF:Record Log),"
           "(template-url-syntax=(https://" +
           address + ":5989),(service-location-tcp=(https://" + address + ":5989)";
}

// Registration i: even ones WBEM, odd ones I/O device, each on an address of its own.
std::string urlOf(int i) {
    std::string host = "fd00:ab::" + std::to_string(i / 2);
    return i % 2 == 0 ? "service:wbem:https://[" + host + "]:5989" : "service:io-device.3873:59://" + host;
}

long residentKib(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

void SLPCALLBACK ignoreCode(SLPHandle, SLPError, void *) {}
SLPBoolean SLPCALLBACK countUrl(SLPHandle, const char *url, unsigned short, SLPError err, void *count) {
    if (err == SLP_OK && url != nullptr) ++*static_cast<size_t *>(count);
    return SLP_TRUE;
}
SLPBoolean SLPCALLBACK countAttrs(SLPHandle, const char *attrs, SLPError err, void *count) {
    if (err == SLP_OK && attrs != nullptr) ++*static_cast<size_t *>(count);
    return SLP_TRUE;
}

// Mean milliseconds of `find` over `rounds` calls, and what the last one found.
template <typename Find> double meanMs(int rounds, size_t *found, Find find) {
    auto start = Clock::now();
    for (int r = 0; r < rounds; ++r) {
        *found = 0;
        find(found);
    }
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count() / rounds;
}

}  // namespace

int main(int argc, char **argv) {
    const int most = argc > 1 ? std::atoi(argv[1]) : 10000;
    agentchild::AgentChild agent(SLP_AGENT_PATH);
    if (!agent.start()) {
        std::fprintf(stderr, "agent-scale-bench: slp-agent did not start:\n%s", agent.output().c_str());
        return 1;
    }
    const std::string config = "/tmp/agent-scale-bench-" + std::to_string(getpid()) + ".conf";
    std::ofstream(config) << "net.slp.port = " << agent.port() << "\n";
    setenv("OpenSLPConfig", config.c_str(), 1);
    SLPHandle handle = nullptr;
    if (SLPOpen("en", SLP_FALSE, &handle) != SLP_OK || SLPAssociateIP(handle, "127.0.0.1") != SLP_OK) return 1;

    std::printf("agent-scale-bench: slp-agent on 127.0.0.1:%u, finds by unicast UDP (TCP when a reply overflows)\n",
                unsigned{agent.port()});
    std::printf("%7s %12s %12s %13s %13s %15s %12s\n", "held", "RSS (KiB)", "B/reg", "attrs (ms)", "filter (ms)",
                "all I/O (ms)", "I/O URLs");
    const long idle = residentKib(agent.pid());
    int held = 0;
    for (int target : {100, 1000, most}) {
        for (; held < target; ++held) {
            std::string url = urlOf(held), host = "[fd00:ab::" + std::to_string(held / 2) + "]";
            std::string attrs = held % 2 == 0 ? wbemAttributes(host) : "(Type=switch),(serial-number=S" +
                                                                           std::to_string(held) + ")";
            SLPReg(handle, url.c_str(), SLP_LIFETIME_MAXIMUM, "", attrs.c_str(), SLP_TRUE, ignoreCode, nullptr);
        }
        const long rss = residentKib(agent.pid());
        const std::string probe = urlOf(held / 2 * 2 - 2);
        const std::string filter = "(serial-number=S" + std::to_string(held - 1) + ")";
        size_t attrs = 0, filtered = 0, all = 0;
        double attrMs = meanMs(200, &attrs, [&](size_t *n) {
            SLPFindAttrs(handle, probe.c_str(), "", "", countAttrs, n);
        });
        double filterMs = meanMs(20, &filtered, [&](size_t *n) {
            SLPFindSrvs(handle, "service:io-device.3873", "", filter.c_str(), countUrl, n);
        });
        double allMs = meanMs(5, &all, [&](size_t *n) {
            SLPFindSrvs(handle, "service:io-device.3873", "", "", countUrl, n);
        });
        std::printf("%7d %12ld %12.0f %13.3f %13.3f %15.3f %12zu\n", held, rss,
                    1024.0 * static_cast<double>(rss - idle) / held, attrMs, filterMs, allMs, all);
        if (attrs != 1 || filtered != 1) std::printf("  (unexpected: %zu attribute lists, %zu filtered)\n", attrs, filtered);
    }
    SLPClose(handle);
    std::remove(config.c_str());
    return 0;
}
