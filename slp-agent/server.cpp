// server.cpp: the agent's event loop: set-up, one poll over every socket, connection and timer,
// and what each request is answered with.
#include "agent.h"

#include "slp_message.h"

#include <poll.h>
#include <signal.h>
#include <stdio_ext.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <optional>

namespace slpagent {

// `received` is where the request arrived; `multicast` whether on a group; `local` whether
// over loopback; `registering` whether from a TCP peer that may register with a DA.
Outcome answer(Agent *agent, const uint8_t *data, size_t size, bool datagram, const std::string &received,
               bool multicast, bool local, bool registering) {
    const int64_t nowMs = monotonicMs();
    // Lookups must not report services of processes that are gone.
    const uint8_t function = data[1];
    if (function == 1 || function == 6 || function == 9) checkProcesses(agent, nowMs);
    HandlerOptions options;
    options.strictLifetimes = agent->options.strictLifetimes;
    options.datagramMtu = datagram ? std::min<size_t>(agent->options.mtu, 65507) : 0;
    options.scopes = agent->options.scopes;
    options.saAttributes = agent->options.saAttributes;
    options.ownAddresses = agent->ownAddresses;
    options.receivedOn = received;
    options.viaMulticast = multicast;
    options.local = local;
    options.directoryAgent = agent->options.directoryAgent;
    options.bootTimestamp = agent->registry.bootTimestamp;
    options.port = agent->options.port;
    options.daAttributes = agent->options.daAttributes;
    options.maxRemoteRegistrations = agent->options.maxRemoteRegistrations;
    options.registeringNetwork = registering;
    options.maxRegistrationBytes = agent->options.maxRegistrationBytes;
    Outcome outcome = handleMessage(&agent->registry, data, size, nowMs, options);
    report(agent, outcome.lines);
    ++agent->refused[static_cast<int>(outcome.refusal)];
    return outcome;
}

namespace {

// What was printed reaches stdout within kFlushDelayMs, many lines in one write: a busy agent
// does not pay a write for each registration.
void flushOutput(Agent *agent, int64_t nowMs) {
    if (__fpending(stdout) == 0) return;
    if (agent->flushDueMs == INT64_MAX) agent->flushDueMs = nowMs + kFlushDelayMs;
    if (nowMs < agent->flushDueMs) return;
    std::fflush(stdout);
    agent->flushDueMs = INT64_MAX;
}

int pollTimeout(const Agent &agent, int64_t nowMs) {
    std::optional<int64_t> deadline = nextExpiry(agent.registry);
    auto earliest = [&deadline](int64_t t) {
        if (!deadline || t < *deadline) deadline = t;
    };
    if (agent.options.watchPid && !agent.registry.entries.empty()) earliest(agent.nextPidCheckMs);
    if (agent.unsynced) earliest(agent.lastSyncMs + kStateSyncSpacingMs);
    earliest(agent.flushDueMs);
    earliest(std::min({agent.nextHeartbeatMs, agent.nextDiscoveryMs, nextDirectoryDeadline(agent.directories, nowMs)}));
    const uint64_t *r = agent.refused;
    if (agent.budget.dropped + agent.budget.slipped + r[1] + r[2] + r[3] != 0) earliest(agent.nextLimitReportMs);
    for (const Connection &c : agent.connections) earliest(c.lastActivityMs + idleLimitMs(c));
    if (!deadline || *deadline == INT64_MAX) return -1;
    return static_cast<int>(std::clamp<int64_t>(*deadline - nowMs, 0, 60 * 60 * 1000));
}

void closeAll(Agent *agent) {
    for (Connection &c : agent->connections) close(c.fd);
    for (const Listener &l : agent->listeners) close(l.fd);
    for (const DatagramSocket &d : agent->datagramSockets) close(d.fd);
    if (agent->signalFd >= 0) close(agent->signalFd);
    if (agent->spareFd >= 0) close(agent->spareFd);
    closeDirectories(&agent->directories);
}

void serve(Agent *agent) {
    std::vector<pollfd> fds;
    while (true) {
        // What changed is in the groups joined and in the state file before the agent waits
        // again, so before any reply that acknowledges it is sent.
        if (agent->typesChanged) {
            updateTypeGroups(agent);
            agent->typesChanged = false;
        }
        if (agent->changed || (agent->unsynced && monotonicMs() >= agent->lastSyncMs + kStateSyncSpacingMs))
            saveState(agent, monotonicMs());
        {
            std::vector<std::string> lines;
            int64_t nowMs = monotonicMs();
            runDaTimers(agent, nowMs);
            stepDirectories(&agent->directories, agent->registry, nowMs, &lines);
            printLines(lines);
            reportLimits(agent, nowMs, false);
        }
        flushOutput(agent, monotonicMs());
        fds.clear();
        fds.push_back({agent->signalFd, POLLIN, 0});
        for (const Listener &l : agent->listeners) fds.push_back({l.fd, POLLIN, 0});
        for (const DatagramSocket &d : agent->datagramSockets) fds.push_back({d.fd, POLLIN, 0});
        const size_t firstConnection = fds.size();
        for (const Connection &c : agent->connections) {
            short events = wantsRead(c) ? POLLIN : 0;
            if (c.outSent < c.out.size()) events |= POLLOUT;
            fds.push_back({c.fd, events, 0});
        }
        const size_t firstDirectory = fds.size();
        directoryPollFds(agent->directories, &fds);
        int64_t nowMs = monotonicMs();
        if (poll(fds.data(), fds.size(), pollTimeout(*agent, nowMs)) < 0 && errno != EINTR) {
            std::perror("slp-agent: poll");
            return;
        }
        nowMs = monotonicMs();
        if (fds[0].revents != 0) {
            signalfd_siginfo info{};
            if (read(agent->signalFd, &info, sizeof info) == sizeof info && info.ssi_signo != SIGHUP) return;
            loadRegistrationFile(agent, false);
        }

        std::vector<std::string> lines;
        expireRegistrations(&agent->registry, nowMs, &lines);
        report(agent, lines);
        if (nowMs >= agent->nextPidCheckMs) checkProcesses(agent, nowMs);

        size_t i = 1;
        for (const Listener &l : agent->listeners) {
            if (fds[i++].revents != 0) acceptConnections(agent, l, nowMs);
        }
        for (const DatagramSocket &d : agent->datagramSockets) {
            if (fds[i++].revents != 0) serveDatagrams(agent, d);
        }
        // Connections accepted above are not in `fds` yet; they are polled next round.
        i = firstConnection;
        for (auto it = agent->connections.begin(); it != agent->connections.end();) {
            Connection &c = *it;
            short revents = i < firstDirectory && fds[i].fd == c.fd ? fds[i++].revents : 0;
            if (revents & POLLIN) readConnection(agent, &c, nowMs);
            if (revents & (POLLERR | POLLHUP) && !(revents & POLLIN)) c.broken = true;
            // Input left over once output has drained is answered now.
            if (!c.broken && c.out.size() - c.outSent < kMaxPendingOutput) processInput(agent, &c);
            if (agent->changed) saveState(agent, nowMs);  // before the acknowledgement leaves
            if (!c.broken) writeConnection(&c, nowMs);
            bool done =
                c.broken || (c.peerClosed && c.outSent == c.out.size()) || nowMs - c.lastActivityMs >= idleLimitMs(c);
            if (done) {
                forget(agent, c);
                it = agent->connections.erase(it);
            } else {
                ++it;
            }
        }
        lines.clear();
        directoryPollResults(&agent->directories, agent->registry, fds.data() + firstDirectory,
                             fds.size() - firstDirectory, nowMs, &lines);
        printLines(lines);
    }
}

}  // namespace

int runAgent(const AgentOptions &options) {
    Agent agent;
    agent.options = options;
    // Fully buffered, and written out within kFlushDelayMs (flushOutput). The C library ignores
    // the size when it allocates the buffer itself, so the buffer is ours.
    static char outputBuffer[64 * 1024];
    setvbuf(stdout, outputBuffer, _IOFBF, sizeof outputBuffer);
    sizeConnectionCaps(&agent);
    if (!openSignalFd(&agent)) {
        std::perror("slp-agent: signalfd");
        return 1;
    }
    if (!openLoopback(&agent) || !openInterfaces(&agent)) {
        closeAll(&agent);
        return 1;
    }
    openQuerySockets(&agent);
    initReplyBudget(&agent.budget, options.rateLimits, agent.random() * uint64_t{0x9E3779B97F4A7C15}, monotonicMs());
    agent.registeringNetworks = ownNetworks(options.interfaces);
    for (const std::string &text : options.registeringNetworks) {
        Network n;
        if (parseNetwork(text, &n)) agent.registeringNetworks.push_back(n);
    }
    agent.directories.port = options.port;
    for (const std::string &da : options.directoryAgent ? std::vector<std::string>{} : options.daAddresses) {
        if (!addConfiguredDa(&agent.directories, da)) {
            std::fprintf(stderr, "slp-agent: bad DA address '%s'\n", da.c_str());
            closeAll(&agent);
            return 1;
        }
    }
    // Loaded before anything is answered; written only once root is gone, so the file
    // belongs to the user the agent runs as.
    loadState(&agent);
    if (!dropPrivileges(options)) {
        closeAll(&agent);
        return 1;
    }
    if (!loadRegistrationFile(&agent, true)) {
        closeAll(&agent);
        return 1;
    }
    if (agent.changed) saveState(&agent, monotonicMs());
    updateTypeGroups(&agent);
    if (options.directoryAgent) {
        // A restart within the second the last run started in still shows as a new boot.
        uint32_t boot = static_cast<uint32_t>(wallClockMs() / 1000);
        if (agent.registry.bootTimestamp >= boot) boot = agent.registry.bootTimestamp + 1;
        agent.registry.bootTimestamp = boot;
        agent.changed = true;  // only a snapshot holds the boot timestamp
        saveState(&agent, monotonicMs());
        agent.nextHeartbeatMs = monotonicMs() + randomWaitMs(&agent);
        std::printf("directory agent, boot timestamp %u\n", boot);
    } else {
        for (const auto &entry : agent.directories.agents) std::printf("DA %s configured\n", entry.first.c_str());
        if (options.activeDaDiscovery || !agent.directories.agents.empty()) {
            agent.nextDiscoveryMs = monotonicMs() + randomWaitMs(&agent);
        }
    }
    std::printf("listening on port %u\n", unsigned{options.port});
    std::fflush(stdout);
    serve(&agent);
    if (options.directoryAgent) advertiseDa(&agent, 0);
    if (agent.changed || agent.unsynced) saveState(&agent, INT64_MAX / 2);
    reportLimits(&agent, monotonicMs(), true);
    std::printf("stopping\n");
    closeAll(&agent);
    return 0;
}

}  // namespace slpagent
