#!/usr/bin/python3
# mini-da.py: a minimal SLPv2 directory agent, written from RFC 2608 alone, for the rig's
# compatibility case.
#
# Usage: mini-da.py ADDR PORT FOLDER [SECONDS]
#
# It serves ADDR (IPv4) on PORT for at most SECONDS (default 600):
# - answers SrvRqsts for service:directory-agent (multicast on 239.255.255.253 or unicast, UDP)
#   whose scope list is empty or names DEFAULT, and whose previous-responder list lacks ADDR,
#   with a DAAdvert (same XID);
# - multicasts an unsolicited DAAdvert (XID 0) at start;
# - accepts SrvReg and SrvDeReg over TCP (and UDP), answering each with a SrvAck 0.
# It knows nothing of the agent it talks to and answers nothing else.
#
# FOLDER/holdings: what it holds, "URL ATTRIBUTES" lines sorted by URL, rewritten atomically
# after each change. FOLDER/log: one line per message taken ("reg URL LIFETIME FLAGS
# EXTENSIONS", "dereg URL", "advert BOOT reason").
# Signals: SIGUSR1 = a restart (forget everything, boot timestamp + 1, unsolicited DAAdvert);
# SIGHUP = a heartbeat (unsolicited DAAdvert with the same boot timestamp).
import os
import signal
import socket
import socketserver
import struct
import sys
import threading
import time

from slpwire import message, parse_header, read16, str16

GROUP = "239.255.255.253"


def extension_ids(data, offset):
    ids = []
    while offset and offset + 5 <= len(data) and len(ids) < 16:
        ids.append("%04x" % struct.unpack_from("!H", data, offset)[0])
        following = int.from_bytes(data[offset + 2:offset + 5], "big")
        offset = following if following > offset else 0
    return ids


def url_entry(data, at):
    lifetime, = struct.unpack_from("!H", data, at + 1)
    url, at = read16(data, at + 3)
    blocks, at = data[at], at + 1
    for _ in range(blocks):  # authentication blocks, skipped
        at += struct.unpack_from("!HH", data, at)[1]
    return lifetime, url.decode("utf-8"), at


class DirectoryAgent:
    def __init__(self, address, port, folder):
        self.address, self.port, self.folder = address, port, folder
        self.boot = int(time.time())
        self.holdings = {}
        self.lock = threading.Lock()  # the servers' threads and the signals' restarts share what it holds
        self.log = open(os.path.join(folder, "log"), "a", buffering=1, encoding="utf-8")
        self.write_holdings()

    def advert(self, xid, language):
        url = ("service:directory-agent://" + self.address).encode()
        body = struct.pack("!HI", 0, self.boot) + str16(url) + str16(b"DEFAULT") + str16(b"") + str16(b"") + b"\0"
        return message(8, xid, body, language=language)

    def write_holdings(self):
        path = os.path.join(self.folder, "holdings")
        with open(path + ".new", "w", encoding="utf-8") as out:
            for url in sorted(self.holdings):
                out.write("%s %s\n" % (url, self.holdings[url]))
        os.replace(path + ".new", path)

    # The reply to the message in DATA, or None.
    def handle(self, data):
        function, flags, extension, xid, language, at = parse_header(data)
        if function == 1:  # SrvRqst
            previous, at = read16(data, at)
            service_type, at = read16(data, at)
            scopes, at = read16(data, at)
            if (service_type != b"service:directory-agent" or self.address.encode() in previous.split(b",")
                    or scopes and b"default" not in [s.strip().lower() for s in scopes.split(b",")]):
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
        return message(5, xid, b"\0\0", language=language)

    # The reply to DATA from SOURCE, or None; a message it cannot read is logged.
    def answer(self, data, source):
        try:
            with self.lock:
                return self.handle(data)
        except (ValueError, struct.error, IndexError) as error:
            self.log.write("bad message from %s: %s\n" % (source, error))
            return None

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

    class Datagram(socketserver.BaseRequestHandler):
        def handle(self):
            reply = da.answer(self.request[0], self.client_address[0])
            try:
                if reply:
                    self.request[1].sendto(reply, self.client_address)
            except OSError as error:  # e.g. a requester on a subnet this host has no route to
                da.log.write("cannot answer %s: %s\n" % (self.client_address[0], error))

    class Stream(socketserver.StreamRequestHandler):
        def handle(self):  # one message after the other, each answered before the next is read
            while True:
                header = self.rfile.read(5)
                if len(header) < 5 or int.from_bytes(header[2:5], "big") < 14:
                    return
                reply = da.answer(header + self.rfile.read(int.from_bytes(header[2:5], "big") - 5), self.client_address[0])
                if reply:
                    self.wfile.write(reply)

    socketserver.UDPServer.allow_reuse_address = True
    udp = socketserver.UDPServer(("", port), Datagram)  # the unicast address and the group alike
    udp.socket.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, socket.inet_aton(GROUP) + socket.inet_aton(address))
    tcp = socketserver.ThreadingTCPServer((address, port), Stream)
    tcp.daemon_threads = True  # a connection left open must not keep it running past SECONDS
    for server in (udp, tcp):
        threading.Thread(target=server.serve_forever, daemon=True).start()
    sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sender.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(address))
    sender.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 255)
    da.announce(sender, "start")
    print("listening", flush=True)
    while time.monotonic() < end:
        time.sleep(0.2)
        while pending:
            with da.lock:
                if pending.pop(0) == "restart":
                    da.boot += 1
                    da.holdings.clear()
                    da.write_holdings()
                    da.announce(sender, "restart")
                else:
                    da.announce(sender, "heartbeat")
    return 0


if __name__ == "__main__":
    sys.exit(main())
