#!/usr/bin/env python3
"""Writes the seed corpora of the IGMP fuzz targets: IGMP packets (IPv4
header first) for fuzz_igmp_pkt, link message bodies for fuzz_igmp_link.
    usage: make_igmp_seeds.py tests/fuzz/seeds
"""
import os
import socket
import sys


def checksum(data):
    if len(data) % 2:
        data += b"\0"
    s = sum(int.from_bytes(data[i:i + 2], "big") for i in range(0, len(data), 2))
    while s >> 16:
        s = (s & 0xffff) + (s >> 16)
    return ~s & 0xffff


def igmp(msg):
    msg = msg[:2] + b"\0\0" + msg[4:]
    msg = msg[:2] + checksum(msg).to_bytes(2, "big") + msg[4:]
    total = 24 + len(msg)
    return (bytes([0x46, 0]) + total.to_bytes(2, "big") + bytes([0, 0, 0, 0, 1, 2, 0, 0]) +
            socket.inet_aton("10.1.1.32") + socket.inet_aton("224.0.0.22") +
            bytes([148, 4, 0, 0]) + msg)


def record(rtype, group, sources):
    return (bytes([rtype, 0]) + len(sources).to_bytes(2, "big") + socket.inet_aton(group) +
            b"".join(socket.inet_aton(s) for s in sources))


def v3_report(*records):
    return bytes([0x22, 0, 0, 0, 0, 0]) + len(records).to_bytes(2, "big") + b"".join(records)


def varint(v):
    out = b""
    while True:
        b = v & 0x7f
        v >>= 7
        out += bytes([b | (0x80 if v else 0)])
        if not v:
            return out


def field(num, value):
    if isinstance(value, int):
        return varint(num << 3) + varint(value)
    if isinstance(value, str):
        value = value.encode()
    return varint(num << 3 | 2) + varint(len(value)) + value


def prefix(addr, length=32):
    return field(1, 1) + field(2, addr) + field(3, length)


def if_info(name, index=None):
    return field(1, name) + (field(2, index) if index is not None else b"")


def link_if(vpn, add, name, index):
    return field(1, vpn) + field(2, 1) + field(3, field(1, 1 if add else 2) +
                                                field(2, if_info(name, index)))


def link_join(vpn, add, name, group, source=None):
    body = field(1, 1 if add else 2) + field(3, prefix(group)) + field(4, if_info(name))
    if source is not None:
        body += field(2, prefix(source))
    return field(1, vpn) + field(2, 2) + field(4, body)


PKT = {
    "v2_report": igmp(bytes([0x16, 0, 0, 0]) + socket.inet_aton("239.1.1.1")),
    "v2_leave": igmp(bytes([0x17, 0, 0, 0]) + socket.inet_aton("239.1.1.1")),
    "v1_report": igmp(bytes([0x12, 0, 0, 0]) + socket.inet_aton("239.1.1.1")),
    "v2_query": igmp(bytes([0x11, 100, 0, 0, 0, 0, 0, 0])),
    "v3_query": igmp(bytes([0x11, 10, 0, 0]) + socket.inet_aton("239.1.1.1") +
                     bytes([2, 125, 0, 1]) + socket.inet_aton("10.0.0.5")),
    "v3_report": igmp(v3_report(record(1, "239.1.1.1", ["10.0.0.5", "10.0.0.6"]),
                                record(4, "239.1.1.2", []), record(6, "239.1.1.1", ["10.0.0.5"]))),
    "v3_allow_block": igmp(v3_report(record(5, "239.1.1.3", ["10.0.0.7"]),
                                     record(3, "239.1.1.3", []))),
}

LINK = {
    "if_add": link_if(7, True, "eth1", 42),
    "if_del": link_if(7, False, "eth1", 42),
    "xg_join": link_join(7, True, "eth1", "239.1.1.1"),
    "xg_leave": link_join(7, False, "eth1", "239.1.1.1"),
    "sg_join": link_join(7, True, "eth1", "239.1.1.1", "10.0.0.5"),
    "sg_leave": link_join(7, False, "eth1", "239.1.1.1", "10.0.0.5"),
    "wrong_vpn": link_join(8, True, "eth1", "239.1.1.1"),
}


def main():
    top = sys.argv[1]
    for target, seeds in (("fuzz_igmp_pkt", PKT), ("fuzz_igmp_link", LINK)):
        os.makedirs(os.path.join(top, target), exist_ok=True)
        for name, data in seeds.items():
            with open(os.path.join(top, target, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
