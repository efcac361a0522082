// orvad-pass-bench: what a pass of the advertisement thread costs on the largest
// configuration (product 59, both interfaces with an IPv4 address and 32 IPv6 addresses:
// 132 registrations) against slp-agent on loopback, run on a painted 64 KiB stack like the
// daemon's thread. Prints per-pass and per-registration times next to the loopback round trip
// and the key tool's cost, the peak stack use, and memory, descriptors and threads after 10
// and after N passes; then the resident memory of the real orvad program on the same switch.
// Prints figures; asserts nothing. Usage: orvad-pass-bench [N passes, default 10000]
#include <dirent.h>
#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>

#include <sstream>

#include "advertise.h"
#include "agent_child.h"
#include "bench_util.h"
#include "keshlib.h"

extern char **environ;

namespace {

constexpr int kRegistrations = 132;
constexpr unsigned char kPaint = 0xa5;

// The development switch with 32 IPv6 addresses on each interface, short enough ("a::1" to
// "a::32") for all of them to fit a management value's 255 characters.
std::string largestSwitch() {
    std::ifstream in(DEV_SWITCH_STATE);
    std::stringstream out;
    std::string line;
    while (std::getline(in, line)) {
        for (int i = 0; i < 2; i++) {
            std::string name = "Oper.System.Eth." + std::to_string(i) + ".IPv6AddressList";
            if (line.compare(0, name.size(), name) != 0) continue;
            line = name + " = ";
            for (int k = 0; k < kMaxIpv6Addresses; k++)
                line += (k ? "," : "") + (std::string(1, char('a' + i)) + "::" + std::to_string(k + 1));
        }
        out << line << "\n";
    }
    return out.str();
}

struct Usage {
    long rssKiB = 0, rssAnonKiB = 0, hwmKiB = 0;
    size_t heapBytes = 0;
    int fds = 0, threads = 0;
};

int countEntries(const std::string &dir) {
    int n = 0;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.') n++;
        closedir(d);
    }
    return n;
}

Usage usageOf(const std::string &pid) {
    Usage u;
    std::ifstream in("/proc/" + pid + "/status");
    std::string key;
    long value;
    while (in >> key) {
        if (key == "VmRSS:" && in >> value)
            u.rssKiB = value;
        else if (key == "RssAnon:" && in >> value)
            u.rssAnonKiB = value;
        else if (key == "VmHWM:" && in >> value)
            u.hwmKiB = value;
        in.ignore(1 << 12, '\n');
    }
    u.fds = countEntries("/proc/" + pid + "/fd");
    u.threads = countEntries("/proc/" + pid + "/task");
    return u;
}

void printUsage(const char *what, const Usage &u) {
    std::printf("  %-28s resident %5ld KiB (anonymous %5ld KiB, peak %5ld KiB)", what, u.rssKiB, u.rssAnonKiB,
                u.hwmKiB);
    if (u.heapBytes) std::printf(", heap in use %7zu B", u.heapBytes);
    std::printf(", %d descriptors, %d threads\n", u.fds, u.threads);
}

// The passes run here, on a stack painted before every run.
struct PassRun {
    AdvertisementState state{};
    int passes = 0;
    int failures = 0;
    double threadCpu = 0;
    const void *firstFrame = nullptr;
};

void *runPasses(void *arg) {
    PassRun *run = static_cast<PassRun *>(arg);
    timespec t0, t1;
    run->firstFrame = &t0;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t0);
    for (int i = 0; i < run->passes; i++)
        if (runAdvertisementCycle(&run->state) != 0) run->failures++;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t1);
    run->threadCpu = static_cast<double>(t1.tv_sec - t0.tv_sec) + static_cast<double>(t1.tv_nsec - t0.tv_nsec) / 1e9;
    return nullptr;
}

void *const stack = mmap(nullptr, kThreadStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
const void *const stackTop = static_cast<char *>(stack) + kThreadStackSize;

// Runs `passes` passes on a freshly painted 64 KiB stack; returns the bytes of it ever written.
size_t onPaintedStack(PassRun *run, int passes) {
    memset(stack, kPaint, kThreadStackSize);
    run->passes = passes;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstack(&attr, stack, kThreadStackSize);
    pthread_t thread;
    if (pthread_create(&thread, &attr, runPasses, run) != 0) std::exit(1);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
    const unsigned char *bytes = static_cast<const unsigned char *>(stack);
    size_t untouched = 0;
    while (untouched < kThreadStackSize && bytes[untouched] == kPaint) untouched++;
    return kThreadStackSize - untouched;
}

// Registrations the agent holds for both service types.
int advertised(SLPHandle handle) {
    int count = 0;
    auto countUrl = [](SLPHandle, const char *url, unsigned short, SLPError code, void *cookie) -> SLPBoolean {
        if (code == SLP_OK && url != nullptr) ++*static_cast<int *>(cookie);
        return SLP_TRUE;
    };
    for (const char *type : {"service:wbem", "service:io-device.3873"})
        SLPFindSrvs(handle, type, "", "", countUrl, &count);
    return count;
}

}  // namespace

int main(int argc, char *argv[]) {
    const int total = argc > 1 ? std::max(20, std::atoi(argv[1])) : 10000;
    mallopt(M_ARENA_MAX, 1);  // one arena, so the heap figures cover the pass thread's allocations too
    char dir[] = "/tmp/orvad-pass-bench.XXXXXX";
    if (mkdtemp(dir) == nullptr) return 1;
    const std::string state = std::string(dir) + "/switch.state", config = std::string(dir) + "/slp.conf";
    std::ofstream(state) << largestSwitch();
    setenv("KESH_STATE", state.c_str(), 1);

    agentchild::AgentChild agent(SLP_AGENT_PATH);
    if (!agent.start()) {
        std::fprintf(stderr, "orvad-pass-bench: slp-agent did not start:\n%s", agent.output().c_str());
        return 1;
    }
    std::ofstream(config) << "net.slp.port = " << agent.port() << "\n";
    setenv("OpenSLPConfig", config.c_str(), 1);
    if (kesh_IPConnect("127.0.0.1", "cim", "", &smlHandle) != 0) return 1;

    // The cost of the pieces a pass is made of, measured in this run.
    for (int i = 0; i < 5; i++) free(readSshFingerprint());
    auto k0 = bench::Clock::now();
    for (int i = 0; i < 50; i++) free(readSshFingerprint());
    double keyTool = std::chrono::duration<double>(bench::Clock::now() - k0).count() / 50;
    bench::EchoServer echo(1200, 18);  // about the mean SrvReg of this configuration, and a SrvAck
    echo.roundTrip(500);
    double rtt = echo.roundTrip(4000);

    PassRun run;
    size_t stackFirst = onPaintedStack(&run, 1);  // includes the first registrations
    size_t held = 0;
    for (int i = 0; i < 2; i++) held += wbemRegistered[i].size() + ioRegistered[i].size();
    if (held != kRegistrations) {
        std::fprintf(stderr, "orvad-pass-bench: a pass registered %zu records, not %d\n", held, kRegistrations);
        return 1;
    }
    size_t stack10 = onPaintedStack(&run, 9);
    Usage after10 = usageOf("self");
    after10.heapBytes = mallinfo2().uordblks;
    size_t stackTenth = onPaintedStack(&run, total / 10 - 10);
    Usage afterTenth = usageOf("self");
    afterTenth.heapBytes = mallinfo2().uordblks;
    const int timed = total - total / 10;
    double cpu0 = bench::cpuSeconds(), agent0 = bench::processCpuSeconds(agent.pid());
    auto t0 = bench::Clock::now();
    size_t stackRest = std::max(stackTenth, onPaintedStack(&run, timed));
    double wall = std::chrono::duration<double>(bench::Clock::now() - t0).count() / timed;
    double cpu = (bench::cpuSeconds() - cpu0) / timed;
    double agentCpu = (bench::processCpuSeconds(agent.pid()) - agent0) / timed;
    double threadCpu = run.threadCpu / timed;
    Usage afterAll = usageOf("self");
    afterAll.heapBytes = mallinfo2().uordblks;
    // Above the thread's first frame sit its descriptor and thread-local storage.
    const size_t reserved =
        static_cast<size_t>(static_cast<const char *>(stackTop) - static_cast<const char *>(run.firstFrame));

    const double budget = kRegistrations * rtt + keyTool;
    std::printf("orvad-pass-bench: %d registrations a pass, slp-agent on 127.0.0.1:%u, key tool %s\n", kRegistrations,
                unsigned{agent.port()}, ORVAD_SSH_KEYGEN);
    std::printf("  pass (mean of %d)             wall %7.2f ms, thread CPU %6.2f ms, process CPU %6.2f ms, agent CPU "
                "%6.2f ms\n",
                timed, wall * 1e3, threadCpu * 1e3, cpu * 1e3, agentCpu * 1e3);
    std::printf("  per registration             wall %7.1f us, thread CPU %6.1f us\n", wall / kRegistrations * 1e6,
                threadCpu / kRegistrations * 1e6);
    std::printf("  loopback round trip          %7.1f us; key tool run %6.2f ms\n", rtt * 1e6, keyTool * 1e3);
    std::printf("  pass / (132 round trips + key tool) = %.2f (target 1.30)\n", wall / budget);
    std::printf("  stack used of 64 KiB         %zu B (first pass), %zu B (passes 2-10), %zu B (passes 11-%d),\n"
                "                               of which %zu B thread descriptor and TLS above the first frame\n",
                stackFirst, stack10, stackRest, total, reserved);
    printUsage("after 10 passes", after10);
    printUsage(("after " + std::to_string(total / 10) + " passes").c_str(), afterTenth);
    printUsage(("after " + std::to_string(total) + " passes").c_str(), afterAll);
    if (run.failures) std::printf("  %d passes failed\n", run.failures);

    // The real program on the same switch, once its first pass is registered.
    std::string orvadPath = ORVAD_PATH;
    char *args[] = {orvadPath.data(), nullptr};
    pid_t pid;
    if (posix_spawn(&pid, args[0], nullptr, nullptr, args, environ) == 0) {
        SLPHandle handle;
        SLPOpen("", SLP_FALSE, &handle);
        SLPAssociateIP(handle, "127.0.0.1");  // the agent is on loopback, which carries no multicast
        // The agent drops this process's registrations only when it exits, so wait for the
        // program's own: its first pass re-registers them under its process id.
        for (int i = 0; i < 100 && (advertised(handle) < kRegistrations || usageOf(std::to_string(pid)).threads < 2);
             i++)
            usleep(100 * 1000);
        usleep(500 * 1000);
        printUsage("orvad after its first pass", usageOf(std::to_string(pid)));
        SLPClose(handle);
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    std::remove(state.c_str());
    std::remove(config.c_str());
    rmdir(dir);
    return 0;
}
