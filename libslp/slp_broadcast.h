// slp_broadcast.h: one datagram to the limited broadcast address out of one interface, for
// net.slp.isBroadcastOnly: IP_MULTICAST_IF does not steer broadcasts, and no route chooses among
// interfaces, so the interface and the source address go with the datagram (IP_PKTINFO).
#ifndef ORVAD_LIBSLP_SLP_BROADCAST_H
#define ORVAD_LIBSLP_SLP_BROADCAST_H

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstring>

namespace slpv2 {

// True when all `size` bytes left; `fd` needs SO_BROADCAST.
inline bool sendBroadcast(int fd, unsigned interface, in_addr source, uint16_t port, const uint8_t *data, size_t size) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    in_pktinfo info{};
    info.ipi_ifindex = static_cast<int>(interface);
    info.ipi_spec_dst = source;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof info)] = {};
    iovec part{const_cast<uint8_t *>(data), size};
    msghdr m{};
    m.msg_name = &to;
    m.msg_namelen = sizeof to;
    m.msg_iov = &part;
    m.msg_iovlen = 1;
    m.msg_control = control;
    m.msg_controllen = sizeof control;
    cmsghdr *c = CMSG_FIRSTHDR(&m);
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof info);
    std::memcpy(CMSG_DATA(c), &info, sizeof info);
    return ::sendmsg(fd, &m, MSG_DONTWAIT) == static_cast<ssize_t>(size);
}

}  // namespace slpv2

#endif
