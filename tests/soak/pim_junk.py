"""Mutated PIM and Auto-RP datagrams for robustness runs: well-formed messages
of every kind (Hello, Join/Prune, Assert, Auto-RP announce and mapping,
types we do not handle), then either left valid, their bodies mutated, their
headers mutated over a valid body, or their bodies replaced by noise. Every
PIM checksum (and UDP checksum) is made right afterwards, so the junk gets
past the checksum test. Holdtimes are short (1 to 10 s) and mutations leave
them alone, so that what the junk creates goes away by itself; the Hellos'
sources come from a small pool, so that Hellos with holdtime 0 from the pool
(goodbyes) end the neighbors they made.
"""
import os
import random
import socket
import struct

from pimnbr import checksum

ALL_PIM, ANNOUNCE, MAPPING = "224.0.0.13", "224.0.1.39", "224.0.1.40"
KINDS = ("hello", "join-prune", "assert", "auto-rp", "unknown")
WEIGHTS = (25, 35, 15, 15, 10)
IP_PIM, IP_UDP = 103, 17


def _a(s):
    return socket.inet_aton(s)


class Junk:
    """Makes mutated datagrams (IPv4 header included) from sources in a pool on
    the target's LAN towards the target (all PIM routers, the mapping groups,
    or the target's own address)."""

    def __init__(self, target, pool, seed=None):
        self.target = target
        self.pool = [_a(p) for p in pool]
        self.rnd = random.Random(seed)
        self.counts = dict.fromkeys(KINDS, 0)

    def _n(self, lo, hi):
        """A number in [lo, hi): faster than randrange, which dominates otherwise."""
        return lo + int(self.rnd.random() * (hi - lo))

    # Well-formed messages: (PIM or Auto-RP message, positions mutations keep).

    def _rand_addr(self):
        r = self.rnd.random()
        if r < 0.5:
            return bytes((239, 200, self._n(0, 4), self.rnd.getrandbits(8)))
        if r < 0.8:
            return bytes((10, 99, self._n(0, 4), self.rnd.getrandbits(8)))
        return os.urandom(4)

    def _enc_u(self, addr):
        return struct.pack("!BB", 1, 0) + addr

    def _enc_g(self, addr):
        mask = 32 if self.rnd.random() < 0.9 else self._n(0, 40)
        return struct.pack("!BBBB", 1, 0, self._n(0, 4) if self.rnd.random() < .1 else 0,
                           mask) + addr

    def _enc_s(self, addr):
        flags = self.rnd.choice((4, 4, 4, 5, 7, 6, 0, 1, 3))
        return struct.pack("!BBBB", 1, 0, flags, 32) + addr

    def hello(self):
        opts = struct.pack("!HHH", 1, 2, self._n(1, 11))
        pick = self.rnd.random
        if pick() < 0.5:
            opts += struct.pack("!HHHH", 2, 4, self.rnd.getrandbits(16), self.rnd.getrandbits(16))
        if pick() < 0.7:
            opts += struct.pack("!HHI", 19, 4, self.rnd.getrandbits(32))
        if pick() < 0.8:
            opts += struct.pack("!HHI", 20, 4, self.rnd.getrandbits(32))
        if pick() < 0.3:
            n = self._n(0, 6)
            opts += struct.pack("!HH", 24, 6 * n) + b"".join(self._enc_u(self._rand_addr())
                                                              for _ in range(n))
        for _ in range(self._n(0, 3)):
            n = self._n(0, 17)
            opts += struct.pack("!HH", self._n(25, 65536), n) + os.urandom(n)
        return 0, opts, (4, 5, 6, 7, 8, 9)

    def join_prune(self):
        up = _a(self.target) if self.rnd.random() < 0.7 else self._rand_addr()
        ngroups = self._n(1, 7)
        body = self._enc_u(up) + struct.pack("!BBH", 0, ngroups, self._n(1, 11))
        for _ in range(ngroups):
            nj, np_ = self._n(0, 5), self._n(0, 5)
            body += self._enc_g(self._rand_addr()) + struct.pack("!HH", nj, np_)
            body += b"".join(self._enc_s(self._rand_addr()) for _ in range(nj + np_))
        return 3, body, (12, 13)

    def assert_msg(self):
        body = self._enc_g(self._rand_addr()) + self._enc_u(self._rand_addr())
        body += struct.pack("!II", self.rnd.getrandbits(32), self.rnd.getrandbits(32))
        return 5, body, ()

    def unknown(self):
        kind = self.rnd.choice((1, 2, 4, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15))
        return kind, os.urandom(self._n(0, 65)), ()

    def auto_rp(self):
        kind = self.rnd.choice((0x11, 0x12))
        nrp = self._n(1, 5)
        body = struct.pack("!BBHI", kind, nrp, self._n(1, 11), 0)
        for _ in range(nrp):
            ngr = self._n(1, 5)
            body += self._rand_addr() + struct.pack("!BB", self._n(0, 4), ngr)
            for _ in range(ngr):
                body += struct.pack("!BB", self._n(0, 2),
                                    self.rnd.choice((16, 24, 32, self._n(0, 40)))) + \
                    bytes((239, 200, self._n(0, 4), 0))
        return kind, body, ()

    # Mutation.

    def _mutate(self, data, start, keep):
        """data with bytes from start on mutated (keep: positions left alone)."""
        r = self.rnd.random()
        if r < 0.35 or len(data) <= start:
            return data
        buf = bytearray(data)
        if r < 0.75:
            for _ in range(self._n(1, 7)):
                i = self._n(start, len(buf))
                if i not in keep:
                    buf[i] = self.rnd.getrandbits(8) if self.rnd.random() < 0.7 else \
                        buf[i] ^ (1 << self._n(0, 8))
            t = self.rnd.random()
            if t < 0.1:
                del buf[self._n(start, len(buf) + 1):]
            elif t < 0.2:
                buf += os.urandom(self._n(1, 33))
            return bytes(buf)
        if r < 0.9 and start > 0:
            # Header mutated over a valid body.
            buf[self._n(0, min(start, 2))] = self.rnd.getrandbits(8)
            return bytes(buf)
        return bytes(buf[:start]) + os.urandom(self._n(0, 80))

    def _ip(self, src, dst, proto, payload, ttl=1):
        return struct.pack("!BBHHHBBH4s4s", 0x45, 0xC0, 20 + len(payload), 0, 0, ttl, proto, 0,
                           src, _a(dst)) + payload

    def packet(self):
        """(datagram, destination) of one junk message."""
        kind = self.rnd.choices(KINDS, WEIGHTS)[0]
        self.counts[kind] += 1
        src = self.rnd.choice(self.pool)
        if kind == "auto-rp":
            _, body, keep = self.auto_rp()
            payload = self._mutate(body, 4, keep)
            dst = MAPPING if body[0] == 0x12 else ANNOUNCE
            udp = struct.pack("!HHHH", 496, 496, 8 + len(payload), 0) + payload
            csum = checksum(src + _a(dst) + struct.pack("!BBH", 0, IP_UDP, len(udp)) + udp)
            udp = udp[:6] + struct.pack("!H", csum or 0xFFFF) + udp[8:]
            return self._ip(src, dst, IP_UDP, udp, ttl=self.rnd.choice((1, 16))), dst
        ptype, body, keep = {"hello": self.hello, "join-prune": self.join_prune,
                             "assert": self.assert_msg, "unknown": self.unknown}[kind]()
        msg = self._mutate(struct.pack("!BBH", 0x20 | ptype, 0, 0) + body, 4, keep)
        if len(msg) >= 4:
            msg = msg[:2] + b"\0\0" + msg[4:]
            msg = msg[:2] + struct.pack("!H", checksum(msg)) + msg[4:]
        dst = self.target if kind == "join-prune" and self.rnd.random() < 0.2 else ALL_PIM
        return self._ip(src, dst, IP_PIM, msg), dst

    def goodbyes(self):
        """A Hello with holdtime 0 from every source of the pool."""
        out = []
        for src in self.pool:
            msg = struct.pack("!BBHHHH", 0x20, 0, 0, 1, 2, 0)
            msg = msg[:2] + struct.pack("!H", checksum(msg)) + msg[4:]
            out.append((self._ip(src, ALL_PIM, IP_PIM, msg), ALL_PIM))
        return out
