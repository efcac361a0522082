// slp_da.h: the directory agents finds go to: configured ones, or those found by multicast.
//
// What is known is kept process-wide (the library serves several threads) for
// net.slp.DAActiveDiscoveryInterval seconds, an empty result included, so a station without
// DAs pays the discovery once; with 0 there is no discovery and the configured DAs stay for
// good. Only finds and SLPFindScopes come here, never registrations.
#ifndef ORVAD_LIBSLP_SLP_DA_H
#define ORVAD_LIBSLP_SLP_DA_H

#include "slp_config.h"
#include "slp_message.h"
#include "slp_net.h"

#include <cstdint>
#include <string>
#include <vector>

namespace slpclient {

struct DirectoryAgent {
    NetAddress address;        // at net.slp.port
    std::string scopes;        // from its DAAdvert
    bool scopesKnown = false;  // false: a configured DA not asked yet, taken to serve every scope
};

// The address in a `service:directory-agent://HOST[:PORT][/...]` URL when HOST is a numeric
// IPv4 or IPv6 address (bracketed or not), with `port`; false otherwise.
bool directoryAgentAddress(const std::string &url, uint16_t port, NetAddress *out);

// Whether two scope lists share a name (case-insensitive, outer blanks ignored).
bool scopesIntersect(const std::string &a, const std::string &b);

// The DAs to ask: those of net.slp.DAAddresses; without any, and with
// net.slp.activeDADetection, those answering a multicast SrvRqst for service:directory-agent
// out of `interfaces` (DA discovery timeouts and wait). With `askScopes`, configured DAs whose
// scopes are unknown are asked for their DAAdvert by unicast first. `header` gives the
// language; each request takes a fresh XID from `nextXid`. Blocks other callers meanwhile.
std::vector<DirectoryAgent> directoryAgents(const RequestSettings &settings, const std::string &interfaces,
                                            const slpv2::Header &header, uint16_t (*nextXid)(), bool askScopes);

// Forgets a discovered DA that did not answer, until the next discovery; configured DAs stay.
void forgetDirectoryAgent(const NetAddress &address);

}  // namespace slpclient

#endif
