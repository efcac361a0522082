// agent.h: the agent as a process: its sockets, connections, timers and what it keeps, shared
// by the files that run it (sockets, connections, datagrams, announcements, privileges,
// persistence, and the event loop in server.cpp).
#ifndef ORVAD_SLP_AGENT_AGENT_H
#define ORVAD_SLP_AGENT_AGENT_H

#include "addresses.h"
#include "directory.h"
#include "handler.h"
#include "rate_limit.h"
#include "registry.h"
#include "server.h"
#include "state.h"

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <list>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace slpagent {

constexpr uint32_t kMaxStreamMessage = 64 * 1024;  // larger TCP messages close the connection
constexpr size_t kMaxPendingOutput = 256 * 1024;   // stop reading a client that does not read
// Loopback connections (the daemon's registrations) have a budget of their own that remote
// peers cannot touch; each remote address gets a few, and all remote ones together a cap.
constexpr size_t kMaxPerPeer = 16;
constexpr size_t kMaxRemoteConnections = 512;
constexpr size_t kMaxLoopbackConnections = 1024;
constexpr size_t kReservedDescriptors = 64;  // sockets, files and the state file's writes
// Each change is appended to the state file before the replies that acknowledge it go out,
// so a killed agent loses nothing it acknowledged; it is synced to disk (fsync) at most
// this often, which bounds what a power loss can take.
constexpr int64_t kStateSyncSpacingMs = 100;
constexpr int64_t kLoopbackIdleMs = 5 * 60 * 1000;
constexpr int64_t kRemoteIdleMs = 30 * 1000;
constexpr int64_t kPidCheckIntervalMs = 3000;
constexpr size_t kReadChunk = 64 * 1024;
constexpr int64_t kLimitReportSpacingMs = 60 * 1000;
constexpr int64_t kFlushDelayMs = 20;  // printed lines reach stdout within this

struct Connection {
    int fd = -1;
    bool loopback = true;
    bool registeringNetwork = false;  // a DA takes registrations from this peer
    std::string peer;          // remote address, for the per-peer count
    std::string localAddress;  // where it was accepted, for the DAAdvert's URL
    std::vector<uint8_t> in;
    std::vector<uint8_t> out;
    size_t outSent = 0;
    int64_t lastActivityMs = 0;
    bool peerClosed = false;  // finish writing, then close
    bool broken = false;      // close now
};

struct Listener {
    int fd;
    bool loopback;
};

// A UDP socket bound to one address (loopback or an interface address), or the multicast
// socket of a family (`multicast`), whose requests are answered through the socket of the
// interface address they arrived on.
struct DatagramSocket {
    int fd;
    bool multicast;
    std::string address;  // bound address; empty for a multicast socket
    bool loopback;
    bool query = false;  // unbound: sends DA discovery and DAAdverts, takes only DAAdverts
};

struct Endpoint {
    std::string address;
    int family;
    unsigned interface;
    int udpFd;
    in_addr broadcast;  // IPv4: of the address's network, 0.0.0.0 if none
};

struct Agent {
    AgentOptions options;
    Registry registry;
    std::vector<Listener> listeners;
    std::vector<DatagramSocket> datagramSockets;
    std::vector<Endpoint> endpoints;
    std::vector<std::string> ownAddresses = {"127.0.0.1", "::1"};
    int multicast6 = -1;
    std::set<unsigned> interfaces6;  // interfaces whose IPv6 groups the agent joined
    std::set<uint16_t> joinedTypes;  // RFC 3111 hashes joined on each of them
    std::list<Connection> connections;
    std::map<std::string, size_t> perPeer;
    size_t remoteConnections = 0;
    size_t loopbackConnections = 0;
    size_t remoteCap = kMaxRemoteConnections;
    size_t loopbackCap = kMaxLoopbackConnections;
    int spareFd = -1;  // given up to accept-and-close when descriptors run out
    int signalFd = -1;
    int64_t nextPidCheckMs = 0;
    bool changed = false;       // the registry changed since the state file was written
    bool typesChanged = false;  // since the IPv6 type groups were last updated
    int64_t lastSyncMs = INT64_MIN / 2;
    bool unsynced = false;  // the file on disk may lag a power loss behind the last write
    StateJournal journal;
    std::vector<uint8_t> datagram = std::vector<uint8_t>(65536);
    Directories directories;              // service agent: the DAs it registers with
    int query4 = -1, query6 = -1;         // the query sockets of each family
    int64_t nextHeartbeatMs = INT64_MAX;  // DA: next unsolicited DAAdvert
    int64_t nextDiscoveryMs = INT64_MAX;  // service agent: next service:directory-agent request
    std::mt19937 random{std::random_device{}()};
    std::vector<uint8_t> readBuffer = std::vector<uint8_t>(kReadChunk);
    ReplyBudget budget;                        // what UDP replies to the LAN may take
    std::vector<Network> registeringNetworks;  // DA: where remote registrations may come from
    std::vector<Registration> fileRegistrations;  // the registration file's, as last applied
    // Refused remote registrations and deregistrations since the last report, by Refusal.
    uint64_t refused[4] = {};
    int64_t nextLimitReportMs = INT64_MIN;
    int64_t flushDueMs = INT64_MAX;  // when what was printed must be written out
    uint64_t stateFailures = 0;      // writes of the state file that failed
    int64_t nextStateReportMs = INT64_MIN;
};

inline int64_t monotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

// The CPU time this thread has used, in microseconds: what answering a request cost.
inline int64_t threadCpuUs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return int64_t{ts.tv_sec} * 1000000 + ts.tv_nsec / 1000;
}

inline int64_t wallClockMs() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

inline void printLines(const std::vector<std::string> &lines) {
    for (const std::string &line : lines) std::printf("%s\n", line.c_str());
}

// sockets.cpp
bool openLoopback(Agent *agent);
bool openInterfaces(Agent *agent);
void openQuerySockets(Agent *agent);
bool openSignalFd(Agent *agent);
void updateTypeGroups(Agent *agent);

// announcements.cpp
void advertiseDa(Agent *agent, uint32_t bootTimestamp);
int64_t randomWaitMs(Agent *agent);
void runDaTimers(Agent *agent, int64_t nowMs);

// connections.cpp
void sizeConnectionCaps(Agent *agent);
void acceptConnections(Agent *agent, const Listener &listener, int64_t nowMs);
void forget(Agent *agent, const Connection &c);
int64_t idleLimitMs(const Connection &c);
void processInput(Agent *agent, Connection *c);
void readConnection(Agent *agent, Connection *c, int64_t nowMs);
void writeConnection(Connection *c, int64_t nowMs);
bool wantsRead(const Connection &c);

// datagrams.cpp
void serveDatagrams(Agent *agent, const DatagramSocket &socket);

// privileges.cpp
bool dropPrivileges(const AgentOptions &options);

// persistence.cpp
void reportLimits(Agent *agent, int64_t nowMs, bool now);
void report(Agent *agent, const std::vector<std::string> &lines);
void saveState(Agent *agent, int64_t nowMs);
void loadState(Agent *agent);
bool loadRegistrationFile(Agent *agent, bool atStart);
void checkProcesses(Agent *agent, int64_t nowMs);

// server.cpp
Outcome answer(Agent *agent, const uint8_t *data, size_t size, bool datagram, const std::string &received,
               bool multicast, bool local, bool registering);

}  // namespace slpagent

#endif
