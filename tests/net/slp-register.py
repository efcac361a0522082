#!/usr/bin/python3
# slp-register.py: registers services with an SLP agent with plain SLPv2 SrvRegs, for the rig.
#
# Usage: slp-register.py ADDR PORT FILE [udp]
# Over TCP, or with "udp" each SrvReg as a datagram. FILE holds one registration a line: URL, a
# blank, the attribute list (sent byte for byte, however malformed). The service type is the URL
# up to "://", the scope DEFAULT, the lifetime 65535, the language "en"; no process-id extension,
# so the agent keeps them after this program exits. Prints each SrvAck's error code; exits 1
# unless every one is 0.
import socket
import struct
import sys

from slpwire import message, parse_header, str16


def srvreg(xid, url, attributes):
    body = (b"\x00" + struct.pack("!H", 65535) + str16(url) + b"\x00"
            + str16(url.split("://", 1)[0]) + str16("DEFAULT") + str16(attributes) + b"\x00")
    return message(3, xid, body, flags=0x4000)


# Sends REQUEST and returns the reply: a datagram, or over TCP (STREAM, the connection's reader)
# as many bytes as its header says.
def exchange(connection, stream, request):
    connection.sendall(request)
    if stream is None:
        return connection.recv(65536)
    header = stream.read(5)
    if len(header) < 5:
        raise OSError("the agent closed the connection")
    return header + stream.read(int.from_bytes(header[2:5], "big") - 5)


def main():
    address, port, path = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    udp = sys.argv[4:] == ["udp"]
    failures = 0
    if udp:
        connection = socket.socket(socket.AF_INET6 if ":" in address else socket.AF_INET, socket.SOCK_DGRAM)
        connection.settimeout(5)
        connection.connect((address, port))
    else:
        connection = socket.create_connection((address, port), timeout=5)
    stream = None if udp else connection.makefile("rb")
    with open(path, encoding="utf-8") as lines, connection:
        for xid, line in enumerate(lines, 1):
            url, attributes = line.rstrip("\n").split(" ", 1)
            reply = exchange(connection, stream, srvreg(xid, url, attributes))
            function, _, _, reply_xid, _, at = parse_header(reply)
            if function != 5 or reply_xid != xid:
                print("%s: not the SrvAck to this request" % url)
                failures += 1
                continue
            (error,) = struct.unpack_from("!H", reply, at)
            print("%s: %d" % (url, error))
            failures += error != 0
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
