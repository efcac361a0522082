// addresses.h: the agent's addresses: numeric socket addresses, the interfaces that carry them,
// the networks allowed to register with a DA, and the RFC 3111 multicast groups.
#ifndef ORVAD_SLP_AGENT_ADDRESSES_H
#define ORVAD_SLP_AGENT_ADDRESSES_H

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace slpagent {

// Any address, IPv4 or IPv6, as a socket address.
struct Address {
    sockaddr_storage storage{};
    socklen_t length = 0;
    int family() const { return storage.ss_family; }
    sockaddr *sa() { return reinterpret_cast<sockaddr *>(&storage); }
    const sockaddr *sa() const { return reinterpret_cast<const sockaddr *>(&storage); }
    const sockaddr_in &v4() const { return *reinterpret_cast<const sockaddr_in *>(&storage); }
    const sockaddr_in6 &v6() const { return *reinterpret_cast<const sockaddr_in6 *>(&storage); }
};

// A numeric IPv4 or IPv6 address with `port`; false when `text` is neither.
bool parseAddress(const std::string &text, uint16_t port, Address *out);

// The numeric text of an IPv4 or IPv6 socket address, without port.
std::string addressText(const sockaddr *sa);

// The index of the interface carrying `address`; 0 when none does.
unsigned interfaceOf(const Address &address);

// The broadcast address of the IPv4 network of `address` on its interface; 0.0.0.0 when none.
in_addr broadcastOf(const Address &address);

// What limits count per peer: an IPv4 address, or an IPv6 /64 ("ADDR/64"), which one station
// can fill with addresses of its own.
std::string peerKey(const Address &peer);

// The 16 bytes of an IPv6 address, or of an IPv4 one as ::ffff:A.B.C.D; zeros for other families.
std::array<uint8_t, 16> addressBytes(const sockaddr *sa);
bool isIPv4(const std::array<uint8_t, 16> &bytes);

// An IPv4 or IPv6 network; an IPv4 one is kept as ::ffff:A.B.C.D with its prefix plus 96.
struct Network {
    std::array<uint8_t, 16> address{};
    unsigned prefix = 0;
};

// "ADDR/PREFIX", or "ADDR" alone for that one host; false when `text` is neither or the
// prefix is out of range.
bool parseNetwork(const std::string &text, Network *out);

// Whether `sa` (IPv4 or IPv6; IPv4-mapped IPv6 counts as IPv4) lies in `network`.
bool networkContains(const Network &network, const sockaddr *sa);

// Loopback and the networks of the interfaces carrying `addresses` (numeric texts), with the
// prefix each interface gives its address.
std::vector<Network> ownNetworks(const std::vector<std::string> &addresses);

// RFC 3111 group of a service type: FF0X::1:1000 plus the 10-bit hash of its bytes.
uint16_t typeHash(const std::string &type);

// The RFC 3111 group of DA discovery and DAAdverts, FF0<scope>::123.
in6_addr daGroupAddress(uint8_t scope);

// FF0<scope>::116, or with `typeGroup` FF0<scope>::1:1000 + hash.
in6_addr groupAddress(uint8_t scope, bool typeGroup, uint16_t hash);

}  // namespace slpagent

#endif
