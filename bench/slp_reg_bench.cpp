// slp-reg-bench: what one SLP registration costs through our client library against
// slp-agent on loopback, next to a bare TCP round trip of the same size measured in the same
// run. Prints figures; asserts nothing.
#include "agent_child.h"
#include "bench_util.h"
#include "slp_message.h"

#include <slp.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

using bench::Clock;
using bench::cpuSeconds;
using bench::EchoServer;
using bench::processCpuSeconds;
using bench::readAll;
using bench::writeAll;

const std::string kWbemAttrs =
    "(template-type=wbem),(template-version=1.0),(template-description=This template describes the attributes "
    "used for advertising WBEM servers.),(template-url-syntax=https://192.0.2.10:5989),(service-hi-name=orvad),"
    "(service-hi-description=Fibre Channel switch management service),(service-id=6f1c2a04-9e3b-4d7a-8c55-"
    "1b2e3f405a61),(service-location-tcp=https://192.0.2.10:5989),(CommunicationMechanism=cim-xml),"
    "(OtherCommunicationMechanismDescription=),(InteropSchemaNamespace=interop),(ProtocolVersion=1.0),"
    "(FunctionalProfilesSupported=Basic Read,Basic Write,Schema Manipulation,Instance Manipulation,Association "
    "Traversal,Indications),(FunctionalProfileDescriptions=),(MultipleOperationsSupported=false),"
    "(AuthenticationMechanismsSupported=Basic),(AuthenticationMechanismDescriptions=),(Namespace=root/fabric,"
    "interop),(Classinfo=0,0),(RegisteredProfilesSupported=Server,Switch,Fabric,Zone Control)";

const std::string kIoAttrs =
    "(template-type=io-device),(template-version=1.0),(template-description=Fibre Channel switch I/O device),"
    "(product-id=59),(device-name=fabric-sw-01),(switch-wwn=10:00:00:05:1e:8c:4a:01),(fabric-name=10:00:00:05:"
    "1e:8c:4a:01),(domain-id=1),(firmware-version=9.1.0b),(serial-number=FXK3204M0A1),(chassis-name=rack4-row2),"
    "(ip-address=192.0.2.10),(ip-netmask=255.255.255.0),(ip-gateway=192.0.2.1),(ipv6-address=fd00:ab::40/64),"
    "(mgmt-interface=eth0),(data_protocols=fc,fcip),(port-count=48),(ssh-host-key-fingerprint=SHA256:q2Lr7Jt5y"
    "Q0wP8kD4fG1hZ3xV9bN6mC2sA7eR5tY0uI),(snmp-enabled=true),(snmp-port=161),(https-enabled=true),"
    "(https-port=443),(cim-enabled=true),(cim-port=5989),(location=Lab B, rack 4, unit 22),(contact=storage "
    "operations),(uptime-class=production),(power-supplies=2)";

struct Service {
    std::string url;
    const std::string *attrs;
};

// N services shaped like the daemon's largest configuration: per address one WBEM URL and
// one I/O-device URL, IPv4 first, then IPv6 addresses written without brackets.
std::vector<Service> services(int n) {
    std::vector<Service> out;
    for (int i = 0; static_cast<int>(out.size()) < n; ++i) {
        std::string host = i < 2 ? "192.0.2." + std::to_string(10 + i) : "fd00:ab::" + std::to_string(40 + i);
        std::string wbemHost = i < 2 ? host : "[" + host + "]";
        out.push_back({"service:wbem:https://" + wbemHost + ":5989", &kWbemAttrs});
        if (static_cast<int>(out.size()) < n) out.push_back({"service:io-device.3873:59://" + host, &kIoAttrs});
    }
    return out;
}

void SLPCALLBACK storeCode(SLPHandle, SLPError errCode, void *cookie) { *static_cast<SLPError *>(cookie) = errCode; }

// The agent alone: pre-encoded SrvRegs written on one connection with blocking reads of each
// SrvAck, no client library in between. Mean seconds per registration over `rounds` rounds.
double rawRegistration(uint16_t port, const std::vector<Service> &list, int rounds) {
    std::vector<std::vector<uint8_t>> messages;
    for (const Service &s : list) {
        slpv2::Header header;
        header.flags = slpv2::kFlagFresh;
        header.language = "en";
        slpv2::SrvReg body;
        body.entry = {65535, s.url};
        body.serviceType = s.url.substr(0, s.url.find("://"));
        body.scopes = "DEFAULT";
        body.attributes = *s.attrs;
        body.hasProcessId = true;
        body.processId = static_cast<uint32_t>(getpid());
        messages.emplace_back();
        if (!slpv2::encodeSrvReg(header, body, &messages.back())) std::exit(1);
    }
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        std::perror("raw connect");
        std::exit(1);
    }
    char ack[18];  // SrvAck with "en"
    auto start = Clock::now();
    for (int round = 0; round < rounds; ++round) {
        for (const std::vector<uint8_t> &m : messages) {
            if (!writeAll(fd, reinterpret_cast<const char *>(m.data()), m.size()) || !readAll(fd, ack, sizeof ack)) {
                std::perror("raw registration");
                std::exit(1);
            }
        }
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    close(fd);
    return seconds / (static_cast<double>(rounds) * static_cast<double>(list.size()));
}

// Size of the SrvReg our library sends for a service: header with "en", URL entry, type,
// scope DEFAULT, attributes, no auth blocks, process-id extension.
size_t srvRegSize(const Service &s) {
    size_t type = s.url.find("://");
    return 16 + (6 + s.url.size()) + (2 + type) + (2 + 7) + (2 + s.attrs->size()) + 1 + 9;
}

struct Figures {
    double wall = 0, clientCpu = 0, agentCpu = 0;
};

Figures registerRounds(SLPHandle handle, const std::vector<Service> &list, int rounds, pid_t agentPid) {
    Figures f;
    for (int round = 0; round < rounds; ++round) {
        double agent0 = processCpuSeconds(agentPid), cpu0 = cpuSeconds();  // reading /proc is not the client's
        auto start = Clock::now();
        for (const Service &s : list) {
            SLPError code = SLP_LAST_CALL;  // no callback yet
            SLPError result = SLPReg(handle, s.url.c_str(), 65535, "", s.attrs->c_str(), SLP_TRUE, storeCode, &code);
            if (result != SLP_OK || code != SLP_OK) {
                std::fprintf(stderr, "slp-reg-bench: SLPReg %s: %d / %d\n", s.url.c_str(), result, code);
                std::exit(1);
            }
        }
        f.wall += std::chrono::duration<double>(Clock::now() - start).count();
        f.clientCpu += cpuSeconds() - cpu0;
        f.agentCpu += processCpuSeconds(agentPid) - agent0;
        for (const Service &s : list) {
            SLPError code = SLP_LAST_CALL;  // no callback yet
            (void)SLPDereg(handle, s.url.c_str(), storeCode, &code);
        }
    }
    const double n = static_cast<double>(rounds) * static_cast<double>(list.size());
    f.wall /= n;
    f.clientCpu /= n;
    f.agentCpu /= n;
    return f;
}

}  // namespace

int main() {
    bench::pinToOneCpu();
    agentchild::AgentChild agent(SLP_AGENT_PATH);
    if (!agent.start()) {
        std::fprintf(stderr, "slp-reg-bench: slp-agent did not start:\n%s", agent.output().c_str());
        return 1;
    }
    const std::string config = "/tmp/slp-reg-bench-" + std::to_string(getpid()) + ".conf";
    std::ofstream(config) << "net.slp.port = " << agent.port() << "\n";
    setenv("OpenSLPConfig", config.c_str(), 1);

    SLPHandle handle = nullptr;
    if (SLPOpen("en", SLP_FALSE, &handle) != SLP_OK) return 1;
    std::vector<Service> all = services(132);
    size_t requestSize = 0;
    for (const Service &s : all) requestSize += srvRegSize(s);
    requestSize /= all.size();
    EchoServer echo(requestSize, 18);  // SrvAck with "en": 14 + 2 + 2 bytes
    EchoServer polled(requestSize, 18, false, 6);  // as the agent's loop: 7 sockets in poll()

    std::printf("slp-reg-bench: slp-agent on 127.0.0.1:%u, all on one CPU; attribute lists %zu (WBEM) and %zu"
                " (I/O device) bytes; echo %zu -> 18 bytes\n",
                unsigned{agent.port()}, kWbemAttrs.size(), kIoAttrs.size(), requestSize);
    std::printf("%5s %7s %14s %16s %15s %15s %13s %7s %11s %14s\n", "N", "rounds", "wall/reg (us)", "client CPU (us)",
                "agent CPU (us)", "raw reg (us)", "TCP RTT (us)", "ratio", "raw ratio", "polled ratio");
    registerRounds(handle, services(33), 5, agent.pid());  // warm-up
    echo.roundTrip(500);
    polled.roundTrip(500);
    for (int n : {1, 33, 132}) {
        const int rounds = std::max(20, 20000 / n);
        Figures f = registerRounds(handle, services(n), rounds, agent.pid());
        double raw = rawRegistration(agent.port(), services(n), rounds);
        double rtt = echo.roundTrip(4000), polledRtt = polled.roundTrip(4000);
        std::printf("%5d %7d %14.1f %16.1f %15.1f %15.1f %13.1f %7.2f %11.2f %14.2f\n", n, rounds, f.wall * 1e6,
                    f.clientCpu * 1e6, f.agentCpu * 1e6, raw * 1e6, rtt * 1e6, f.wall / rtt, raw / rtt, polledRtt / rtt);
    }
    SLPClose(handle);
    std::remove(config.c_str());
    return 0;
}
