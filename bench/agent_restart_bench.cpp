// agent-restart-bench: slp-agent with a state file is killed with SIGKILL after 132, then
// 10,000 registrations and started again; prints how long until the new agent answers a find
// with all of them, and what the state file costs per registration. Prints figures; asserts nothing.
#include "agent_child.h"
#include "bench_util.h"
#include "slp_message.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using bench::Clock;
using bench::readAll;
using bench::writeAll;

int connectTo(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) return fd;
    close(fd);
    return -1;
}

// Sends `m` and reads the whole reply; empty when the exchange failed.
std::vector<uint8_t> exchange(int fd, const std::vector<uint8_t> &m) {
    std::vector<uint8_t> reply(5);
    if (!writeAll(fd, reinterpret_cast<const char *>(m.data()), m.size()) ||
        !readAll(fd, reinterpret_cast<char *>(reply.data()), 5)) {
        return {};
    }
    size_t length = (size_t{reply[2]} << 16) | (size_t{reply[3]} << 8) | reply[4];
    reply.resize(length < 5 ? 5 : length);
    if (!readAll(fd, reinterpret_cast<char *>(reply.data()) + 5, reply.size() - 5)) return {};
    return reply;
}

// Seconds to register every message of `regs` over one connection.
double registerAll(uint16_t port, const std::vector<std::vector<uint8_t>> &regs) {
    int fd = connectTo(port);
    auto start = Clock::now();
    for (const auto &m : regs) {
        if (fd < 0 || exchange(fd, m).empty()) std::exit(1);
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    close(fd);
    return seconds;
}

long fileSize(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? long(st.st_size) : -1;
}

// Registers `count` services with an agent without a state file and with one, kills the
// latter and restarts it; false when the restarted agent does not give them all back.
bool run(const char *agentPath, int count) {
    char folder[] = "/tmp/agent-restart-bench.XXXXXX";
    if (mkdtemp(folder) == nullptr) return false;
    chmod(folder, 0777);  // run as root, the agent writes as nobody
    const std::string state = std::string(folder) + "/state";

    std::vector<std::vector<uint8_t>> regs;
    const std::string attrs = "(template-type=wbem),(service-hi-name=orvad),(location=Lab B, rack 4)," +
                              std::string("(padding=") + std::string(600, 'x') + ")";
    for (int i = 0; i < count; ++i) {
        slpv2::Header h;
        h.flags = slpv2::kFlagFresh;
        h.language = "en";
        const std::string host = "fd00:ab::" + std::to_string(i / 1000) + ":" + std::to_string(i % 1000);
        slpv2::SrvReg body{{65535, "service:wbem:https://[" + host + "]:5989"}, "service:wbem", "DEFAULT", attrs, true,
                           uint32_t(getpid())};
        regs.emplace_back();
        if (!slpv2::encodeSrvReg(h, body, &regs.back())) return false;
    }
    slpv2::Header h;
    h.language = "en";
    std::vector<uint8_t> find;
    if (!slpv2::encodeSrvRqst(h, {"", "service:wbem", "DEFAULT", "", ""}, &find)) return false;

    agentchild::AgentChild plain(agentPath);
    agentchild::AgentChild agent(agentPath, {"--state", state});
    if (!plain.start() || !agent.start()) return false;
    double without = registerAll(plain.port(), regs);
    double with = registerAll(agent.port(), regs);
    plain.stop();
    std::printf("agent-restart-bench: %d registrations of %zu bytes\n", count, regs[0].size());
    std::printf("  register without state file: %8.1f us each\n", without / count * 1e6);
    std::printf("  register with state file:    %8.1f us each (recorded before each ack)\n", with / count * 1e6);
    std::printf("  state file: %.1f KiB after the last registration\n", fileSize(state) / 1024.0);

    const uint16_t port = agent.port();
    kill(agent.pid(), SIGKILL);
    agent.stop();
    // From the start of the new process until a find returns all of them; retried every
    // 0.2 ms while nothing listens, for at most 25,000 attempts.
    auto start = Clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        std::string portText = std::to_string(port);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        execl(agentPath, agentPath, "--port", portText.c_str(), "--state", state.c_str(), nullptr);
        _exit(127);
    }
    size_t found = 0;
    int attempts = 0;
    for (; attempts < 25000 && found < size_t(count); ++attempts) {
        int fd = connectTo(port);
        std::vector<uint8_t> reply = fd < 0 ? std::vector<uint8_t>() : exchange(fd, find);
        if (fd >= 0) close(fd);
        slpv2::Header rh;
        slpv2::SrvRply body;
        if (!reply.empty() && slpv2::decodeSrvRply(reply.data(), reply.size(), &rh, &body) == slpv2::DecodeStatus::Ok) {
            found = body.urls.size();
        }
        if (found < size_t(count)) usleep(200);
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("  kill -9, start again, first find with all %zu: %.1f ms (%d attempts)\n", found, seconds * 1e3,
                attempts);
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    std::remove(state.c_str());
    rmdir(folder);
    return found == size_t(count);
}

}  // namespace

// agent-restart-bench [--agent PATH] [N...]: N defaults to 132 (a switch) and 10,000 (a
// directory agent's worth); --agent runs another build of the agent.
int main(int argc, char **argv) {
    const char *agentPath = SLP_AGENT_PATH;
    std::vector<int> counts;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--agent") == 0 && i + 1 < argc) {
            agentPath = argv[++i];
        } else {
            counts.push_back(std::atoi(argv[i]));
        }
    }
    if (counts.empty()) counts = {132, 10000};
    for (int count : counts) {
        if (count < 1 || !run(agentPath, count)) return 1;
    }
    return 0;
}
