// server.h: the agent's sockets and event loop around handleMessage().
#ifndef ORVAD_TOOLS_SLP_AGENT_SERVER_H
#define ORVAD_TOOLS_SLP_AGENT_SERVER_H

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
    size_t mtu = 1400;
    int multicastTtl = 255;
    std::string scopes = "DEFAULT";
    std::string saAttributes;
    std::string statePath;         // empty = keep nothing across restarts
    std::string user;              // empty = "nobody" when started as root
    bool strictLifetimes = false;  // 65535 expires like any other lifetime
    bool watchPid = true;          // drop registrations of processes that have exited
};

// Listens on loopback (TCP and UDP; 127.0.0.1, and ::1 when it can be bound) and on each
// interface address, joins the SLP multicast groups there, loads the state file, drops root
// and serves until SIGINT or SIGTERM. Prints "listening on port N" once ready, then one line
// per accepted registration, deregistration, expiry or drop. Returns the process exit
// status: 0 after a signal, 1 when set-up fails.
int runAgent(const AgentOptions &options);

}  // namespace slpagent

#endif
