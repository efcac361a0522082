// server.h: the agent's sockets and event loop around handleMessage().
#ifndef ORVAD_SLP_AGENT_SERVER_H
#define ORVAD_SLP_AGENT_SERVER_H

#include "rate_limit.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace slpagent {

struct AgentOptions {
    uint16_t port = 427;
    std::vector<std::string> interfaces;  // numeric addresses to serve besides loopback
    bool useIPv4 = true;
    bool useIPv6 = false;
    bool broadcastOnly = false;  // net.slp.isBroadcastOnly: DA discovery and DAAdverts by broadcast
    size_t mtu = 1400;
    int multicastTtl = 255;
    std::string scopes = "DEFAULT";
    std::string locale = "en";  // net.slp.locale: the language of the agent's own messages
    std::string saAttributes;
    bool securityEnabled = false;  // net.slp.securityEnabled: not supported
    std::string statePath;         // empty = keep nothing across restarts
    std::string registrationFile;  // -r, net.slp.serializedRegURL: static registrations; empty = none
    std::string user;              // empty = "nobody" when started as root
    bool strictLifetimes = false;  // 65535 expires like any other lifetime
    bool watchPid = true;          // drop registrations of processes that have exited
    // Directory agents. As a DA the agent advertises itself and takes remote registrations; as a
    // service agent it registers what it holds locally with the DAs it knows.
    bool directoryAgent = false;             // --da, net.slp.isDA
    std::vector<std::string> daAddresses;    // net.slp.DAAddresses: ADDR, ADDR:PORT, [ADDR6]:PORT
    bool activeDaDiscovery = true;           // net.slp.activeDADetection
    bool passiveDaDiscovery = true;          // net.slp.passiveDADetection
    int64_t daDiscoveryIntervalS = 900;      // net.slp.DAActiveDiscoveryInterval
    int64_t daHeartBeatS = 10800;            // net.slp.DAHeartBeat; 0 = no heartbeat
    std::string daAttributes;                // net.slp.DAAttributes: of the DA's DAAdvert
    int64_t randomWaitBoundMs = 1000;        // net.slp.randomWaitBound
    size_t maxRemoteRegistrations = 100000;  // net.slp.DAMaxRegistrations
    // DA: networks (CIDR) whose service agents may register over TCP, besides loopback and the
    // networks of the served addresses (net.slp.DARegistrationNetworks), and the most URL and
    // attribute bytes one of their registrations may hold (net.slp.DAMaxRegistrationBytes).
    std::vector<std::string> registeringNetworks;
    size_t maxRegistrationBytes = 8192;
    RateLimits rateLimits;  // UDP replies to the LAN
};

// Listens on loopback (TCP and UDP; 127.0.0.1, and ::1 when it can be bound) and on each
// interface address, joins the SLP multicast groups there, loads the state file, drops root,
// loads the registration file and serves until SIGINT or SIGTERM; SIGHUP reads the
// registration file again. Prints "listening on port N" once ready, then one line
// per accepted registration, deregistration, expiry or drop, and per DA found, lost or
// registered with again; at most once a minute, what the rate limit and the DA refused. Returns the process exit status: 0 after a signal, 1 when set-up fails.
int runAgent(const AgentOptions &options);

}  // namespace slpagent

#endif
