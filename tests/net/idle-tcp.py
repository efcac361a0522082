#!/usr/bin/python3
# idle-tcp.py: a hostile station: holds COUNT idle TCP connections to ADDR PORT for SECONDS.
#
# Usage: idle-tcp.py ADDR PORT COUNT SECONDS
# Opens the connections (at most 30 s for that), prints "opened N of COUNT", then once a second
# re-opens those the server closed, so the pressure lasts, and at the end prints how many were
# open and how many times the server had closed one. Sends nothing. Bounded: it stops after
# SECONDS, and every connect waits at most 2 s.
import resource
import socket
import sys
import time


def connect(address, port):
    try:
        connection = socket.create_connection((address, port), timeout=2)
    except OSError:
        return None
    connection.setblocking(False)
    return connection


def closed_by_peer(connection):
    try:
        return connection.recv(1, socket.MSG_PEEK) == b""
    except BlockingIOError:
        return False
    except OSError:
        return True


def main():
    address, port, count, seconds = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4])
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < count + 64:
        resource.setrlimit(resource.RLIMIT_NOFILE, (count + 64, max(count + 64, hard)))
    end = time.monotonic() + seconds
    opening_end = min(end, time.monotonic() + 30)
    connections = []
    while len(connections) < count and time.monotonic() < opening_end:
        connection = connect(address, port)
        if connection is not None:
            connections.append(connection)
    print("opened %d of %d" % (len(connections), count), flush=True)
    closed = 0
    while time.monotonic() < end:
        time.sleep(min(1.0, max(0.0, end - time.monotonic())))
        for index, connection in enumerate(connections):
            if connection is not None and closed_by_peer(connection):
                connection.close()
                connection, closed = None, closed + 1
            if connection is None and time.monotonic() < end:
                connection = connect(address, port)
            connections[index] = connection
    still = sum(1 for connection in connections if connection is not None and not closed_by_peer(connection))
    print("open at the end %d; closed by the server %d times" % (still, closed), flush=True)


if __name__ == "__main__":
    main()
