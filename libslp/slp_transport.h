// slp_transport.h: TCP to SLP agents: a handle's kept connection to the agent on 127.0.0.1,
// and one-shot exchanges with any agent.
//
// The connection is opened by the first request and kept for later ones. Every wait is
// bounded by the reply wait given to exchange(); no call blocks beyond it.
#ifndef ORVAD_LIBSLP_SLP_TRANSPORT_H
#define ORVAD_LIBSLP_SLP_TRANSPORT_H

#include <slp.h>

#include <sys/socket.h>

#include <cstdint>
#include <vector>

namespace slpclient {

class Connection {
public:
    Connection() = default;
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;
    ~Connection() { close(); }

    // Sends `request` and reads one whole message back into `reply` (version 2, Length
    // within bounds; nothing else is checked here). Reconnects once when a kept connection
    // turns out to have been closed by the agent before any reply byte arrived.
    // Returns SLP_OK, SLP_NETWORK_INIT_FAILED (nobody accepts on the port),
    // SLP_NETWORK_TIMED_OUT (no whole reply within `waitMs`) or SLP_NETWORK_ERROR; on any
    // error the connection is closed, so a late reply cannot be taken for a later one.
    SLPError exchange(uint16_t port, int waitMs, const std::vector<uint8_t> &request, std::vector<uint8_t> *reply);

    // Drops the connection (after a reply the caller could not use).
    void close();

private:
    int fd_ = -1;
};

// One request and its reply over a new TCP connection to `to`, closed afterwards (a reply too
// big for a datagram). Same reading and errors as Connection::exchange, without the reconnect.
SLPError exchangeOnce(const sockaddr *to, socklen_t toLength, int waitMs, const std::vector<uint8_t> &request,
                      std::vector<uint8_t> *reply);

}  // namespace slpclient

#endif
