#!/usr/bin/python3
"""A minimal SLPv2 directory agent, written from RFC 2608 alone, for the rig's compatibility case.

Usage: mini-da.py ADDR PORT FOLDER [SECONDS]

It serves ADDR (IPv4) on PORT for at most SECONDS (default 600):
- answers SrvRqsts for service:directory-agent (multicast on 239.255.255.253 or unicast, UDP)
  whose scope list is empty or names DEFAULT, and whose previous-responder list lacks ADDR,
  with a DAAdvert (same XID);
- multicasts an unsolicited DAAdvert (XID 0) at start;
- accepts SrvReg and SrvDeReg over TCP (and UDP), answering each with a SrvAck 0.
It knows nothing of the agent it talks to and answers nothing else.

FOLDER/holdings: what it holds, "URL<TAB>attribute list" lines sorted by URL, rewritten
atomically after each change. FOLDER/log: one line per message taken ("reg URL LIFETIME FLAGS
EXTENSIONS", "dereg URL", "advert BOOT reason").
Signals: SIGUSR1 = a restart (forget everything, boot timestamp + 1, unsolicited DAAdvert);
SIGHUP = a heartbeat (unsolicited DAAdvert with the same boot timestamp).
"""
import os
import select
import signal
import socket
import struct
import sys
import time

GROUP = "239.255.255.253"
IP_PKTINFO = getattr(socket, "IP_PKTINFO", 8)  # Linux value; older Pythons lack the name


def str16(data):
    return struct.pack("!H", len(data)) + data


def read16(data, at):
    (size,) = struct.unpack_from("!H", data, at)
    if at + 2 + size > len(data):
        raise ValueError("string past the end")
    return data[at + 2:at + 2 + size], at + 2 + size


def parse_header(data):
    if len(data) < 14 or data[0] != 2:
        raise ValueError("not SLPv2")
    length = int.from_bytes(data[2:5], "big")
    if length != len(data):
        raise ValueError("length %d, got %d bytes" % (length, len(data)))
    flags, = struct.unpack_from("!H", data, 5)
    extension = int.from_bytes(data[7:10], "big")
    xid, tag_size = struct.unpack_from("!HH", data, 10)
    language = data[14:14 + tag_size]
    return data[1], flags, extension, xid, language, 14 + tag_size


def extension_ids(data, offset):
    ids = []
    while offset and offset + 5 <= len(data) and len(ids) < 16:
        ids.append("%04x" % struct.unpack_from("!H", data, offset)[0])
        following = int.from_bytes(data[offset + 2:offset + 5], "big")
        offset = following if following > offset else 0
    return ids


def message(function, xid, language, body, flags=0):
    length = 14 + len(language) + len(body)
    return (struct.pack("!BB", 2, function) + length.to_bytes(3, "big") + struct.pack("!H", flags)
            + (0).to_bytes(3, "big") + struct.pack("!HH", xid, len(language)) + language + body)


def url_entry(data, at):
    lifetime, = struct.unpack_from("!H", data, at + 1)
    url, at = read16(data, at + 3)
    blocks = data[at]
    at += 1
    for _ in range(blocks):
        _, block_size = struct.unpack_from("!HH", data, at)
        at += block_size
    return lifetime, url.decode("utf-8"), at


class DirectoryAgent:
    def __init__(self, address, port, folder):
        self.address, self.port, self.folder = address, port, folder
        self.boot = int(time.time())
        self.holdings = {}
        self.log = open(os.path.join(folder, "log"), "a", buffering=1, encoding="utf-8")
        self.write_holdings()

    def advert(self, xid, language):
        url = ("service:directory-agent://" + self.address).encode()
        body = struct.pack("!HI", 0, self.boot) + str16(url) + str16(b"DEFAULT") + str16(b"") + str16(b"") + b"\0"
        return message(8, xid, language, body)

    def write_holdings(self):
        path = os.path.join(self.folder, "holdings")
        with open(path + ".new", "w", encoding="utf-8") as out:
            for url in sorted(self.holdings):
                out.write("%s\t%s\n" % (url, self.holdings[url]))
        os.replace(path + ".new", path)

    def handle(self, data, multicast):
        """Returns the reply to the message in data, or None."""
        function, flags, extension, xid, language, at = parse_header(data)
        if function == 1:  # SrvRqst
            previous, at = read16(data, at)
            service_type, at = read16(data, at)
            scopes, at = read16(data, at)
            if service_type != b"service:directory-agent":
                return None
            if self.address.encode() in previous.split(b","):
                return None
            if scopes and b"default" not in [s.strip().lower() for s in scopes.split(b",")]:
                return None
            return self.advert(xid, language)
        if function == 3:  # SrvReg
            lifetime, url, at = url_entry(data, at)
            _service_type, at = read16(data, at)
            _scopes, at = read16(data, at)
            attributes, at = read16(data, at)
            self.holdings[url] = attributes.decode("utf-8")
            self.log.write("reg %s %d %04x %s\n" % (url, lifetime, flags, ",".join(extension_ids(data, extension))))
        elif function == 4:  # SrvDeReg
            _scopes, at = read16(data, at)
            _, url, at = url_entry(data, at)
            self.holdings.pop(url, None)
            self.log.write("dereg %s\n" % url)
        else:
            return None
        self.write_holdings()
        return None if multicast else message(5, xid, language, b"\0\0")

    def announce(self, sender, reason):
        sender.sendto(self.advert(0, b"en"), (GROUP, self.port))
        self.log.write("advert %d %s\n" % (self.boot, reason))


def main():
    address, port, folder = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    end = time.monotonic() + (int(sys.argv[4]) if len(sys.argv) > 4 else 600)
    da = DirectoryAgent(address, port, folder)
    pending = []
    signal.signal(signal.SIGUSR1, lambda *_: pending.append("restart"))
    signal.signal(signal.SIGHUP, lambda *_: pending.append("heartbeat"))

    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    udp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    udp.bind(("", port))  # the unicast address and the group alike
    udp.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, socket.inet_aton(GROUP) + socket.inet_aton(address))
    udp.setsockopt(socket.IPPROTO_IP, IP_PKTINFO, 1)
    sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sender.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(address))
    sender.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 255)
    listener = socket.create_server((address, port), reuse_port=False)
    connections = {}  # socket -> bytes received and not yet taken
    da.announce(sender, "start")
    print("listening", flush=True)

    while time.monotonic() < end:
        while pending:
            if pending.pop(0) == "restart":
                da.boot += 1
                da.holdings.clear()
                da.write_holdings()
                da.announce(sender, "restart")
            else:
                da.announce(sender, "heartbeat")
        try:
            ready, _, _ = select.select([udp, listener] + list(connections), [], [], 0.5)
        except InterruptedError:
            continue
        for s in ready:
            if s is listener:
                connection, _ = listener.accept()
                connections[connection] = b""
            elif s is udp:
                data, ancillary, _, source = udp.recvmsg(65536, 64)
                # IP_PKTINFO: ifindex, local address, destination address; a group destination is multicast.
                multicast = any(level == socket.IPPROTO_IP and kind == IP_PKTINFO
                                and socket.inet_ntoa(body[8:12]) == GROUP for level, kind, body in ancillary)
                try:
                    reply = da.handle(data, multicast)
                except (ValueError, struct.error, IndexError) as error:
                    da.log.write("bad datagram from %s: %s\n" % (source[0], error))
                    continue
                if reply:
                    try:
                        udp.sendto(reply, source)
                    except OSError as error:  # e.g. a requester on a subnet this host has no route to
                        da.log.write("cannot answer %s: %s\n" % (source[0], error))
            else:
                try:
                    data = s.recv(65536)
                except OSError:
                    data = b""
                if not data:
                    del connections[s]
                    s.close()
                    continue
                buffered = connections[s] + data
                while len(buffered) >= 5 and len(buffered) >= int.from_bytes(buffered[2:5], "big"):
                    length = int.from_bytes(buffered[2:5], "big")
                    if length < 14:
                        buffered = b""
                        break
                    try:
                        reply = da.handle(buffered[:length], False)
                    except (ValueError, struct.error, IndexError) as error:
                        da.log.write("bad message over TCP: %s\n" % error)
                        reply = None
                    buffered = buffered[length:]
                    if reply:
                        try:
                            s.sendall(reply)
                        except OSError:
                            buffered = b""
                            break
                connections[s] = buffered
    return 0


if __name__ == "__main__":
    sys.exit(main())
