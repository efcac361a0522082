#include "addresses.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace slpagent {

bool parseAddress(const std::string &text, uint16_t port, Address *out) {
    *out = Address{};
    auto *v4 = reinterpret_cast<sockaddr_in *>(&out->storage);
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(&out->storage);
    if (inet_pton(AF_INET, text.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        out->length = sizeof *v4;
        return true;
    }
    if (inet_pton(AF_INET6, text.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        out->length = sizeof *v6;
        return true;
    }
    return false;
}

std::string addressText(const sockaddr *sa) {
    char text[INET6_ADDRSTRLEN] = "";
    if (sa->sa_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(sa)->sin_addr, text, sizeof text);
    if (sa->sa_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 *>(sa)->sin6_addr, text, sizeof text);
    }
    return text;
}

unsigned interfaceOf(const Address &address) {
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) return 0;
    unsigned index = 0;
    for (ifaddrs *i = list; i != nullptr && index == 0; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != address.family()) continue;
        bool same = address.family() == AF_INET
                        ? reinterpret_cast<sockaddr_in *>(i->ifa_addr)->sin_addr.s_addr == address.v4().sin_addr.s_addr
                        : std::memcmp(&reinterpret_cast<sockaddr_in6 *>(i->ifa_addr)->sin6_addr,
                                      &address.v6().sin6_addr, sizeof(in6_addr)) == 0;
        if (same) index = if_nametoindex(i->ifa_name);
    }
    freeifaddrs(list);
    return index;
}

in_addr broadcastOf(const Address &address) {
    in_addr broadcast{};
    ifaddrs *list = nullptr;
    if (address.family() != AF_INET || getifaddrs(&list) != 0) return broadcast;
    for (ifaddrs *i = list; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET || (i->ifa_flags & IFF_BROADCAST) == 0 ||
            i->ifa_broadaddr == nullptr ||
            reinterpret_cast<sockaddr_in *>(i->ifa_addr)->sin_addr.s_addr != address.v4().sin_addr.s_addr) {
            continue;
        }
        broadcast = reinterpret_cast<sockaddr_in *>(i->ifa_broadaddr)->sin_addr;
    }
    freeifaddrs(list);
    return broadcast;
}

std::string peerKey(const Address &peer) {
    if (peer.family() == AF_INET6 && !IN6_IS_ADDR_V4MAPPED(&peer.v6().sin6_addr)) {
        Address net = peer;
        std::memset(&reinterpret_cast<sockaddr_in6 *>(&net.storage)->sin6_addr.s6_addr[8], 0, 8);
        return addressText(net.sa()) + "/64";
    }
    return addressText(peer.sa());
}

std::array<uint8_t, 16> addressBytes(const sockaddr *sa) {
    std::array<uint8_t, 16> out{};
    if (sa->sa_family == AF_INET) {
        out[10] = out[11] = 0xFF;
        std::memcpy(&out[12], &reinterpret_cast<const sockaddr_in *>(sa)->sin_addr, 4);
    } else if (sa->sa_family == AF_INET6) {
        std::memcpy(out.data(), reinterpret_cast<const sockaddr_in6 *>(sa)->sin6_addr.s6_addr, 16);
    }
    return out;
}

bool isIPv4(const std::array<uint8_t, 16> &bytes) {
    static const uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    return std::memcmp(bytes.data(), kMapped, sizeof kMapped) == 0;
}

namespace {

bool samePrefix(const std::array<uint8_t, 16> &a, const std::array<uint8_t, 16> &b, unsigned prefix) {
    for (unsigned i = 0; i < 16 && prefix > 0; ++i, prefix = prefix >= 8 ? prefix - 8 : 0) {
        const uint8_t mask = prefix >= 8 ? 0xFF : uint8_t(0xFF << (8 - prefix));
        if ((a[i] & mask) != (b[i] & mask)) return false;
    }
    return true;
}

// The prefix length of a netmask.
unsigned prefixOf(const sockaddr *mask) {
    if (mask == nullptr) return 128;
    const std::array<uint8_t, 16> bytes = addressBytes(mask);
    const bool v4 = mask->sa_family == AF_INET;
    unsigned bits = v4 ? 96 : 0;
    for (size_t i = v4 ? 12 : 0; i < 16; ++i) bits += unsigned(__builtin_popcount(bytes[i]));
    return bits;
}

}  // namespace

bool parseNetwork(const std::string &text, Network *out) {
    const size_t slash = text.find('/');
    Address address;
    if (!parseAddress(text.substr(0, slash), 0, &address)) return false;
    out->address = addressBytes(address.sa());
    const bool v4 = address.family() == AF_INET;
    const unsigned width = v4 ? 32 : 128;
    out->prefix = width;
    if (slash != std::string::npos) {
        const std::string digits = text.substr(slash + 1);
        char *end = nullptr;
        errno = 0;
        const unsigned long prefix = std::strtoul(digits.c_str(), &end, 10);
        if (digits.empty() || *end != '\0' || errno != 0 || prefix > width) return false;
        out->prefix = unsigned(prefix);
    }
    if (v4) out->prefix += 96;
    return true;
}

bool networkContains(const Network &network, const sockaddr *sa) {
    return (sa->sa_family == AF_INET || sa->sa_family == AF_INET6) &&
           samePrefix(network.address, addressBytes(sa), network.prefix);
}

std::vector<Network> ownNetworks(const std::vector<std::string> &addresses) {
    std::vector<Network> out(2);
    parseNetwork("127.0.0.0/8", &out[0]);
    parseNetwork("::1", &out[1]);
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) return out;
    for (ifaddrs *i = list; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr == nullptr) continue;
        for (const std::string &wanted : addresses) {
            Address a;
            if (!parseAddress(wanted, 0, &a) || a.family() != i->ifa_addr->sa_family ||
                addressBytes(a.sa()) != addressBytes(i->ifa_addr)) {
                continue;
            }
            out.push_back(Network{addressBytes(i->ifa_addr), prefixOf(i->ifa_netmask)});
        }
    }
    freeifaddrs(list);
    return out;
}

uint16_t typeHash(const std::string &type) {
    uint32_t h = 0;
    for (unsigned char c : type) h = h * 33 + c;
    return static_cast<uint16_t>(h & 0x3FF);
}

in6_addr daGroupAddress(uint8_t scope) {
    in6_addr a{};
    a.s6_addr[0] = 0xFF;
    a.s6_addr[1] = scope;
    a.s6_addr[14] = 0x01;
    a.s6_addr[15] = 0x23;
    return a;
}

in6_addr groupAddress(uint8_t scope, bool typeGroup, uint16_t hash) {
    in6_addr a{};
    a.s6_addr[0] = 0xFF;
    a.s6_addr[1] = scope;
    if (typeGroup) {
        uint16_t low = static_cast<uint16_t>(0x1000 + hash);
        a.s6_addr[13] = 1;
        a.s6_addr[14] = static_cast<uint8_t>(low >> 8);
        a.s6_addr[15] = static_cast<uint8_t>(low & 0xFF);
    } else {
        a.s6_addr[14] = 0x01;
        a.s6_addr[15] = 0x16;
    }
    return a;
}

}  // namespace slpagent
