#!/usr/bin/env python3
"""Writes the fuzzers' seed corpus: a few valid SLPv2 messages of each kind.

Usage: tests/fuzz/make-corpus.py [CORPUS_DIR]   (default: corpus/ beside this script)
The files are committed; rerun only when the seeds should change.
"""
import os
import struct
import sys


def str16(s):
    b = s.encode()
    return struct.pack(">H", len(b)) + b


def url_entry(url, lifetime=65535, auths=b"", nauth=0):
    return b"\0" + struct.pack(">H", lifetime) + str16(url) + bytes([nauth]) + auths


AUTH = struct.pack(">HHI", 2, 12, 0x01020304) + str16("") + b"\xaa\xbb"


def message(fn, body, xid=0x1234, flags=0, lang="en", extensions=b"", ext_offset=0):
    head_len = 14 + len(lang.encode())
    total = head_len + len(body) + len(extensions)
    if extensions and not ext_offset:
        ext_offset = head_len + len(body)
    head = bytes([2, fn]) + total.to_bytes(3, "big") + struct.pack(">H", flags)
    head += ext_offset.to_bytes(3, "big") + struct.pack(">H", xid) + str16(lang)
    return head + body + extensions


def pid_extension(pid, next_offset=0):
    return struct.pack(">H", 0x9799) + next_offset.to_bytes(3, "big") + struct.pack(">I", pid)


def srvreg(url, attrs, ext=b""):
    typ = url.split("://", 1)[0]
    body = url_entry(url) + str16(typ) + str16("DEFAULT") + str16(attrs) + b"\0"
    return message(3, body, flags=0x4000, extensions=ext)


SEEDS = {
    "fuzz_slp_srvreg": [
        srvreg("service:wbem:https://192.0.2.10:5989", "(a=1),b", pid_extension(4242)),
        srvreg("service:io-device.3873:59://fd00:ab::40", "(x=(y),z"),
        message(3, url_entry("service:x://h", 60, AUTH, 1) + str16("service:x") + str16("DEFAULT")
                + str16("") + b"\1" + AUTH, flags=0x4000),
    ],
    "fuzz_slp_srvdereg": [
        message(4, str16("DEFAULT") + url_entry("service:x://h", 0) + str16("")),
        message(4, str16("DEFAULT") + url_entry("service:x://h", 0) + str16("a,b*")),
    ],
    "fuzz_slp_srvack": [
        message(5, b"\0\0"),
        message(5, b"\0\3", extensions=struct.pack(">H", 2) + b"\0\0\0" + b"\xaa"),
    ],
    "fuzz_slp_srvrqst": [
        message(1, str16("") + str16("service:wbem") + str16("DEFAULT") + str16("") + str16("")),
        message(1, str16("192.0.2.1") + str16("service:x") + str16("DEFAULT") + str16("(&(a=1)(b=*))")
                + str16(""), flags=0x2000),
    ],
    "fuzz_slp_srvrply": [
        message(2, b"\0\0\0\2" + url_entry("service:x://a", 300) + url_entry("service:x://b")),
        message(2, b"\0\0\0\1" + url_entry("service:x://a", 300, AUTH, 1)),
        message(2, b"\0\4"),
    ],
    "fuzz_slp_attrrqst": [
        message(6, str16("") + str16("service:x://h") + str16("DEFAULT") + str16("") + str16("")),
        message(6, str16("") + str16("service:x") + str16("DEFAULT") + str16("a,loc*") + str16("")),
    ],
    "fuzz_slp_attrrply": [
        message(7, b"\0\0" + str16("(a=1),(b=x,y),c") + b"\0"),
        message(7, b"\0\0" + str16("a") + b"\1" + AUTH),
        message(7, b"\0\2"),
    ],
    "fuzz_slp_srvtyperqst": [
        message(9, str16("") + b"\xff\xff" + str16("DEFAULT")),
        message(9, str16("") + str16("") + str16("DEFAULT")),
        message(9, str16("") + str16("3873") + str16("DEFAULT")),
    ],
    "fuzz_slp_srvtyperply": [
        message(10, b"\0\0" + str16("service:a,service:b:x")),
        message(10, b"\0\16"),
    ],
}


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
    for target, seeds in SEEDS.items():
        folder = os.path.join(root, target)
        os.makedirs(folder, exist_ok=True)
        for i, seed in enumerate(seeds):
            with open(os.path.join(folder, "seed-%d.bin" % i), "wb") as f:
                f.write(seed)


if __name__ == "__main__":
    main()
