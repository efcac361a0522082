// directory.h: the service agent's directory agents: which are known, what each should hold, and
// the non-blocking TCP exchange (SrvReg/SrvDeReg, one SrvAck each) that brings it there.
#ifndef ORVAD_SLP_AGENT_DIRECTORY_H
#define ORVAD_SLP_AGENT_DIRECTORY_H

#include "registry.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace slpagent {

// Per-message wait for a DA's SrvAck (connecting included), and the retry backoff after a failure.
inline constexpr int64_t kDaMessageTimeoutMs = 5000;
inline constexpr int64_t kDaFirstBackoffMs = 1000;
inline constexpr int64_t kDaMaxBackoffMs = 64000;
// An idle connection to a DA is closed before the DA is likely to close it under us.
inline constexpr int64_t kDaIdleMs = 10000;
// DAAdverts from the LAN add DAs up to this many; a station cannot make the agent open more.
inline constexpr size_t kMaxDirectoryAgents = 32;
// A DA learned from the LAN that has not answered (or went down) for this long is forgotten;
// when it is back, its next DAAdvert adds it again.
inline constexpr int64_t kDaForgetMs = 3600 * 1000;

// What the agent believes a DA holds of one local registration.
struct Held {
    uint64_t serial = 0;  // of the registration sent; 0 = unsure (after a failure or a DA restart)
    int64_t refreshAtMs = 0;
    bool refused = false;  // the DA answered with an error: nothing there to deregister
    std::string url, language, scopes;
};

// One step of bringing a DA to what it should hold.
struct DaWork {
    RegistryKey key;
    bool deregister = false;
};

struct DirectoryAgent {
    std::string address;  // numeric, IPv6 without brackets: the key of the DA
    sockaddr_storage peer{};
    socklen_t peerLength = 0;
    std::string scopes;                 // from its DAAdvert; empty = not known yet: register everything
    uint32_t boot = 0;                  // boot timestamp last advertised; 0 = none seen yet
    bool down = false;                  // it advertised that it goes down: send nothing until it comes back
    bool configured = false;            // from net.slp.DAAddresses: never forgotten
    int64_t silentSinceMs = INT64_MAX;  // since when it is failing or down; INT64_MAX = neither
    std::map<RegistryKey, Held> held;
    std::vector<DaWork> work;  // from the last comparison with the registry, checked again when taken
    bool dirty = true;         // the registry changed since `work` was made
    int64_t nextRefreshMs = INT64_MAX;
    // Transport: one connection, one message at a time.
    int fd = -1;
    bool connecting = false;
    bool reused = false;  // the connection already carried an acknowledged message
    std::vector<uint8_t> out, in;
    size_t outSent = 0;
    bool inFlight = false;
    DaWork current;
    Held currentHeld;  // what the DA holds once it acknowledges the current SrvReg
    uint16_t currentLifetime = 0;
    uint16_t xid = 0;
    int64_t deadlineMs = 0, idleSinceMs = 0;
    int64_t retryAtMs = 0, backoffMs = kDaFirstBackoffMs;
    bool failing = false;
};

struct Directories {
    std::map<std::string, DirectoryAgent> agents;
    uint16_t port = 427;  // of DAs whose address or URL names none
};

// Adds a DA from net.slp.DAAddresses: ADDR, ADDR:PORT, [ADDR6] or [ADDR6]:PORT, numeric only; a
// link-local ADDR6 names its interface as fe80::1%eth0 (or %INDEX).
// False when `text` is none of these.
bool addConfiguredDa(Directories *dirs, const std::string &text);

// Takes a DAAdvert (from `source`, numeric, on IPv6 interface `sourceZone`) into the list: a new
// DA, a restarted one (its new boot timestamp: everything is registered there again), one going
// down (boot timestamp 0). A new DA when the list is full takes the place of the learned one
// silent longest, if any. Appends a line for each DA found, lost or restarted.
void takeDaAdvert(Directories *dirs, const uint8_t *data, size_t size, const std::string &source, uint32_t sourceZone,
                  int64_t nowMs, std::vector<std::string> *lines);

// The registry changed: every DA compares it with what it holds before its next message.
void registryChanged(Directories *dirs);

// Moves every DA along: starts a connection or the next message where there is work and no
// backoff, closes idle connections and forgets learned DAs silent for kDaForgetMs.
void stepDirectories(Directories *dirs, const Registry &registry, int64_t nowMs, std::vector<std::string> *lines);

// The descriptors to poll, and their outcome, in the same order.
void directoryPollFds(const Directories &dirs, std::vector<pollfd> *fds);
void directoryPollResults(Directories *dirs, const Registry &registry, const pollfd *fds, size_t count, int64_t nowMs,
                          std::vector<std::string> *lines);

// When stepDirectories next has something to do, if ever.
int64_t nextDirectoryDeadline(const Directories &dirs, int64_t nowMs);

void closeDirectories(Directories *dirs);

}  // namespace slpagent

#endif
