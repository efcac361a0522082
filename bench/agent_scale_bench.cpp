// agent-scale-bench: slp-agent holding 1,000, 10,000 and 100,000 registrations shaped like the
// daemon's I/O-device records (one type, about 800 bytes of attributes each, a serial number of
// their own): its memory per registration, and the median latency of each kind of request sent
// straight to it, beside a bare loopback echo of the same request and reply sizes over the same
// transport, measured in the same run. Prints figures; asserts nothing.
//
//   agent-scale-bench [MOST] [ROUNDS]    defaults 100000 and 15
//   SLP_AGENT=PATH                       another agent to measure (an earlier build's, say)
#include "agent_child.h"
#include "bench_util.h"
#include "slp_message.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

using bench::Clock;
using Bytes = std::vector<uint8_t>;

std::string urlOf(int i) { return "service:io-device.3873:59://10." + std::to_string(i / 65536) + "." +
                                  std::to_string(i / 256 % 256) + "." + std::to_string(i % 256); }

// The daemon's I/O-device list for switch `i`.
std::string attributesOf(int i) {
    const std::string serial = "S" + std::to_string(100000 + i);
    return "(Type=switch),(data_protocols=fc),(level=1),(serial-number=" + serial +
           "),(Fru=FRU-0059-01),(partnumber=60-1000059-01),(Uuid=5d1c0b4e-59a0-4c3b-9e7f-0a1b2c3d4e59),"
           "(mac-address=00:00:5E:00:54:11),(sysoid=1.3.6.1.4.1.32473.1.59),(hostingdevice-uid=unknown),"
           "(ipv4-enabled=true),(ipv4-addresses=" + urlOf(i).substr(29) +
           "),(ipv4-mgmt-protocols=https:443:true,http:80:true,cli:23:false,seccli:22:true,snmpv3:161:true),"
           "(ipv6-enabled=true),(ipv6-addresses=fd00::10:17,fd00::20:17),(ipv6-mgmt-protocols=https:443:true,"
           "http:80:true,cli:23:false,seccli:22:true,snmpv3:161:true),(snmp-engineid=80:00:7e:d9:03:00:00:5e:00:53:0a),"
           "(ssh-fingerprint=25:54:3d:9f:16:2b:cd:a8:29:7d:be:b9:9c:60:a8:a6),(deviceName=switch-" + serial + ")";
}

long residentKib(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

slpv2::Header header(uint16_t xid, uint16_t flags = 0) { return slpv2::Header{{}, 0, flags, 0, xid, "en"}; }

Bytes srvReg(int i) {
    Bytes out;
    slpv2::SrvReg body{{65535, urlOf(i)}, "service:io-device.3873:59", "DEFAULT", attributesOf(i), false, 0};
    return slpv2::encodeSrvReg(header(uint16_t(i), slpv2::kFlagFresh), body, &out) ? out : Bytes{};
}

// One request kind: how it is sent, and the reply it must bring (its Length).
struct Exchange {
    const char *what;
    bool stream;
    Bytes request;
};

// Sends `request` and waits for the whole reply; its size, 0 on failure.
size_t exchange(int fd, bool stream, const Bytes &request, Bytes *reply) {
    if (!bench::writeAll(fd, reinterpret_cast<const char *>(request.data()), request.size())) return 0;
    reply->resize(1 << 24);
    if (!stream) {
        const ssize_t n = recv(fd, reply->data(), reply->size(), 0);
        return n > 0 ? size_t(n) : 0;
    }
    if (!bench::readAll(fd, reinterpret_cast<char *>(reply->data()), 5)) return 0;
    const size_t length = size_t((*reply)[2]) << 16 | size_t((*reply)[3]) << 8 | (*reply)[4];
    return bench::readAll(fd, reinterpret_cast<char *>(reply->data()) + 5, length - 5) ? length : 0;
}

int connected(int type, uint16_t port) {
    int fd = socket(AF_INET, type, 0);
    sockaddr_in a{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        std::perror("agent-scale-bench: connect");
        std::exit(1);
    }
    return fd;
}

double medianUs(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char **argv) {
    const int most = argc > 1 ? std::atoi(argv[1]) : 100000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 15;
    bench::pinToOneCpu();
    const char *path = std::getenv("SLP_AGENT");
    agentchild::AgentChild agent(path != nullptr ? path : SLP_AGENT_PATH, {"--da"});
    if (!agent.start()) {
        std::fprintf(stderr, "agent-scale-bench: slp-agent did not start:\n%s", agent.output().c_str());
        return 1;
    }
    const int tcp = connected(SOCK_STREAM, agent.port()), udp = connected(SOCK_DGRAM, agent.port());
    std::printf("agent-scale-bench: slp-agent --da on 127.0.0.1:%u, all on one CPU; median of %d, microseconds;\n"
                "echo = a bare loopback round trip of the same request and reply sizes over the same transport\n\n",
                unsigned{agent.port()}, rounds);
    std::printf("%8s %-34s %9s %9s %9s %9s %7s\n", "held", "request", "request B", "reply B", "agent us", "echo us",
                "ratio");
    const long idle = residentKib(agent.pid());
    int held = 0;
    Bytes reply;
    for (int target : {1000, 10000, 100000}) {
        if (target > most) break;
        for (; held < target - rounds; ++held) exchange(tcp, true, srvReg(held), &reply);
        std::vector<Exchange> kinds;
        std::vector<double> registerUs;
        size_t regSize = 0, ackSize = 0;
        for (; held < target; ++held) {  // the last few registrations, timed one by one
            const Bytes reg = srvReg(held);
            const auto start = Clock::now();
            ackSize = exchange(tcp, true, reg, &reply);
            registerUs.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
            regSize = reg.size();
        }
        const long rss = residentKib(agent.pid());
        Bytes attrs, typeAttrs, filtered, all;
        (void)slpv2::encodeAttrRqst(header(1), {"", urlOf(held / 2), "DEFAULT", "", ""}, &attrs);
        (void)slpv2::encodeAttrRqst(header(4), {"", "service:io-device.3873", "DEFAULT", "", ""}, &typeAttrs);
        (void)slpv2::encodeSrvRqst(header(2), {"", "service:io-device.3873", "DEFAULT",
                                               "(serial-number=S" + std::to_string(100000 + held - 1) + ")", ""}, &filtered);
        (void)slpv2::encodeSrvRqst(header(3), {"", "service:io-device.3873", "DEFAULT", "", ""}, &all);
        struct Row {
            const char *what;
            bool stream;
            const Bytes *request;
        } rows[] = {{"attributes of one URL (UDP)", false, &attrs},
                    {"attributes of the type (UDP)", false, &typeAttrs},
                    {"filtered find, one match (UDP)", false, &filtered},
                    {"find of every URL (UDP, cut)", false, &all},
                    {"find of every URL (TCP)", true, &all}};
        auto print = [&](const char *what, bool stream, size_t request, size_t answer, double agentUs) {
            bench::EchoServer echo(request, answer, !stream);
            echo.roundTrip(1);  // the echo's first wake-up
            std::vector<double> echoUs;
            for (int r = 0; r < rounds; ++r) echoUs.push_back(echo.roundTrip(1) * 1e6);
            const double e = medianUs(echoUs);
            std::printf("%8d %-34s %9zu %9zu %9.1f %9.1f %7.2f\n", held, what, request, answer, agentUs, e, agentUs / e);
        };
        print("register (one TCP connection)", true, regSize, ackSize, medianUs(registerUs));
        for (const Row &row : rows) {
            const int fd = row.stream ? tcp : udp;
            std::vector<double> us;
            size_t size = 0;
            for (int r = 0; r < rounds; ++r) {
                const auto start = Clock::now();
                size = exchange(fd, row.stream, *row.request, &reply);
                us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
            }
            print(row.what, row.stream, row.request->size(), size, medianUs(us));
        }
        std::printf("%8d %-34s %.0f bytes a registration (resident %ld KiB)\n\n", held, "memory",
                    1024.0 * double(rss - idle) / held, rss);
    }
    close(tcp);
    close(udp);
    return 0;
}
