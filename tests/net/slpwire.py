# slpwire.py: SLPv2 messages as the rig's helpers (flood.py, mini-da.py, slp-register.py) write
# and read them: the common header, and strings with a 16-bit length.
import struct


def str16(text):
    data = text.encode("utf-8") if isinstance(text, str) else text
    return struct.pack("!H", len(data)) + data


def read16(data, at):
    (size,) = struct.unpack_from("!H", data, at)
    if at + 2 + size > len(data):
        raise ValueError("string past the end")
    return data[at + 2:at + 2 + size], at + 2 + size


# A whole message: the header with its length and no extension, then BODY.
def message(function, xid, body, flags=0, language=b"en"):
    return (struct.pack("!BB", 2, function) + (14 + len(language) + len(body)).to_bytes(3, "big")
            + struct.pack("!H", flags) + bytes(3) + struct.pack("!HH", xid, len(language)) + language + body)


# (function, flags, offset of the first extension, XID, language, offset of the body) of a whole message.
def parse_header(data):
    if len(data) < 14 or data[0] != 2:
        raise ValueError("not SLPv2")
    if int.from_bytes(data[2:5], "big") != len(data):
        raise ValueError("length %d, got %d bytes" % (int.from_bytes(data[2:5], "big"), len(data)))
    (flags,) = struct.unpack_from("!H", data, 5)
    xid, tag_size = struct.unpack_from("!HH", data, 10)
    return data[1], flags, int.from_bytes(data[7:10], "big"), xid, data[14:14 + tag_size], 14 + tag_size
