#!/usr/bin/python3
"""Registers services with an SLP agent over TCP with plain SLPv2 SrvRegs, for the rig.

Usage: slp-register.py ADDR PORT FILE [udp]
With "udp" each SrvReg goes as a datagram instead. FILE holds one registration a line: URL, a tab, the attribute list (sent byte for byte, however
malformed). The service type is the URL up to "://", the scope DEFAULT, the lifetime 65535, the
language "en"; no process-id extension, so the agent keeps them after this program exits.
Prints each SrvAck's error code; exits 1 unless every one is 0.
"""
import socket
import struct
import sys


def str16(text):
    data = text.encode("utf-8")
    return struct.pack("!H", len(data)) + data


def srvreg(xid, url, attributes):
    service_type = url.split("://", 1)[0]
    body = (b"\x00" + struct.pack("!H", 65535) + str16(url) + b"\x00"
            + str16(service_type) + str16("DEFAULT") + str16(attributes) + b"\x00")
    language = b"en"
    length = 14 + len(language) + len(body)
    header = (struct.pack("!BB", 2, 3) + length.to_bytes(3, "big") + struct.pack("!H", 0x4000)
              + (0).to_bytes(3, "big") + struct.pack("!HH", xid, len(language)) + language)
    return header + body


def read_exactly(connection, count):
    data = b""
    while len(data) < count:
        chunk = connection.recv(count - len(data))
        if not chunk:
            raise OSError("the agent closed the connection")
        data += chunk
    return data


def exchange_udp(connection, message):
    connection.send(message)
    return connection.recv(65536)


def exchange_tcp(connection, message):
    connection.sendall(message)
    header = read_exactly(connection, 5)
    return header + read_exactly(connection, int.from_bytes(header[2:5], "big") - 5)


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
    with open(path, encoding="utf-8") as lines, connection:
        for xid, line in enumerate(lines, 1):
            url, attributes = line.rstrip("\n").split("\t", 1)
            reply = (exchange_udp if udp else exchange_tcp)(connection, srvreg(xid, url, attributes))
            language_length = struct.unpack("!H", reply[12:14])[0]
            error = struct.unpack("!H", reply[14 + language_length:16 + language_length])[0]
            if reply[1] != 5 or struct.unpack("!H", reply[10:12])[0] != xid:
                print("%s: not the SrvAck to this request" % url)
                failures += 1
                continue
            print("%s: %d" % (url, error))
            failures += error != 0
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
