// server.h: the agent's sockets and event loop around handleMessage().
#ifndef ORVAD_TOOLS_SLP_AGENT_SERVER_H
#define ORVAD_TOOLS_SLP_AGENT_SERVER_H

#include <cstdint>

namespace slpagent {

struct AgentOptions {
    uint16_t port = 427;
    bool strictLifetimes = false;  // 65535 expires like any other lifetime
    bool watchPid = true;          // drop registrations of processes that have exited
};

// Listens on loopback (TCP and UDP; 127.0.0.1, and ::1 when it can be bound) and serves until
// SIGINT or SIGTERM. Prints "listening on port N" once ready, then one line per accepted
// registration, deregistration, expiry or drop. Returns the process exit status: 0 after a
// signal, 1 when set-up fails.
int runAgent(const AgentOptions &options);

}  // namespace slpagent

#endif
