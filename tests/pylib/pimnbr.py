"""A scripted PIM neighbor for lab tests and benchmarks.

A raw IP socket (protocol 103) opened inside a network namespace and bound to
one device: it sends Hellos (once or periodically) and Join/Prune messages
packed into full-size frames, and a receiver thread decodes every Join/Prune
seen on the LAN so that tests can wait for the ones they expect, and keeps
every Assert.

    n = PimNbr("/proc/1234/ns/net", "eth1", "10.1.1.11")
    n.start_hellos(holdtime=105)
    n.send_jp("10.1.1.1", [Group("239.1.1.1", joins=[wc("10.99.0.1")],
                                 prunes=[rpt("10.99.0.5")])], holdtime=210)
    jp = n.wait_jp(lambda m: m.upstream == "10.2.2.2", timeout=5)
"""
import ctypes
import os
import random
import socket
import struct
import threading
import time

IPPROTO_PIM = 103
ALL_PIM_ROUTERS = "224.0.0.13"
CLONE_NEWNET = 0x40000000
SO_BINDTODEVICE = 25
SO_TIMESTAMPNS = 35
ETH_P_IP = 0x0800
PACKET_OUTGOING = 4
PIM_HELLO = 0
PIM_JOIN_PRUNE = 3
PIM_ASSERT = 5

# Encoded-source flags.
FLAG_S = 4  # sparse
FLAG_W = 2  # wildcard
FLAG_R = 1  # RPT

# Largest PIM message in one 1500-byte frame.
FULL_SIZE = 1500 - 20
JP_HDR = 4 + 6 + 4  # PIM header, upstream neighbor, reserved/groups/holdtime
GROUP_HDR = 8 + 4  # encoded group, joined and pruned counts
SRC_LEN = 8

_libc = ctypes.CDLL(None, use_errno=True)


def checksum(data):
    if len(data) % 2:
        data += b"\0"
    s = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while s >> 16:
        s = (s & 0xFFFF) + (s >> 16)
    return ~s & 0xFFFF


def pim_message(kind, body):
    hdr = struct.pack("!BBH", 0x20 | kind, 0, 0)
    csum = checksum(hdr + body)
    return struct.pack("!BBH", 0x20 | kind, 0, csum) + body


def in_netns(netns_path, fn):
    """Runs fn with the calling thread inside a network namespace; sockets it
    opens stay there."""
    if not netns_path:
        return fn()
    own = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
    target = os.open(netns_path, os.O_RDONLY)
    try:
        if _libc.setns(target, CLONE_NEWNET) != 0:
            raise OSError(ctypes.get_errno(), "setns %s" % netns_path)
        try:
            return fn()
        finally:
            if _libc.setns(own, CLONE_NEWNET) != 0:
                raise OSError(ctypes.get_errno(), "setns back")
    finally:
        os.close(own)
        os.close(target)


def sg(source):
    """Joined or pruned (S,G) source."""
    return (source, FLAG_S)


def wc(rp):
    """(*,G) source: the RP with the wildcard and RPT bits."""
    return (rp, FLAG_S | FLAG_W | FLAG_R)


def rpt(source):
    """(S,G,rpt) source."""
    return (source, FLAG_S | FLAG_R)


class Group:
    """One group record: joined and pruned sources as (address, flags)."""

    def __init__(self, group, joins=(), prunes=()):
        self.group = group
        self.joins = list(joins)
        self.prunes = list(prunes)

    def __repr__(self):
        return "Group(%s, joins=%r, prunes=%r)" % (self.group, self.joins, self.prunes)

    def kinds(self):
        """Sources by kind: {'wc': [...], 'sg': [...], 'rpt': [...]} for joins and prunes."""
        out = {}
        for verb, srcs in (("join", self.joins), ("prune", self.prunes)):
            for addr, flags in srcs:
                kind = "wc" if flags & FLAG_W else "rpt" if flags & FLAG_R else "sg"
                out.setdefault((verb, kind), []).append(addr)
        return out


class JoinPrune:
    def __init__(self, src, upstream, holdtime, groups, raw, when):
        self.src = src
        self.upstream = upstream
        self.holdtime = holdtime
        self.groups = groups
        self.raw = raw  # the IP packet, for pcap files
        self.time = when

    def __repr__(self):
        return "JoinPrune(%s -> %s, hold %d, %r)" % (self.src, self.upstream, self.holdtime,
                                                     self.groups)

    def entries(self, verb, kind):
        """Set of (source-or-RP, group) of one kind: verb 'join'/'prune', kind 'wc'/'sg'/'rpt'."""
        return {(a, g.group) for g in self.groups for a in g.kinds().get((verb, kind), [])}


class Assert:
    """A received Assert: sender, group, source, R bit, preference, metric."""

    def __init__(self, src, pim, raw):
        self.src = src
        self.raw = raw
        self.group = socket.inet_ntoa(pim[8:12])
        self.source = socket.inet_ntoa(pim[14:18])
        word, self.metric = struct.unpack("!II", pim[18:26])
        self.rpt = bool(word >> 31)
        self.pref = word & 0x7FFFFFFF

    def __repr__(self):
        return "Assert(%s (%s,%s) R%d %d/%d)" % (self.src, self.source, self.group, self.rpt,
                                                 self.pref, self.metric)


def _enc_unicast(addr):
    return struct.pack("!BB4s", 1, 0, socket.inet_aton(addr))


def _enc_group(addr):
    return struct.pack("!BBBB4s", 1, 0, 0, 32, socket.inet_aton(addr))


def _enc_source(addr, flags):
    return struct.pack("!BBBB4s", 1, 0, flags & 7, 32, socket.inet_aton(addr))


def build_jp(upstream, groups, holdtime=210, size=FULL_SIZE):
    """PIM Join/Prune messages carrying the group records, each up to size bytes.

    Groups are packed in order; a record too long for the rest of a message
    continues in the next one, where a (*,G) Join is repeated beside the
    remaining prunes so that they are not read as prunes without a join.
    """
    msgs = []
    cur = []  # (group, joins, prunes) of the message being filled
    room = size - JP_HDR

    def flush():
        nonlocal cur, room
        if cur:
            body = _enc_unicast(upstream) + struct.pack("!BBH", 0, len(cur), holdtime)
            for g, js, ps in cur:
                body += _enc_group(g) + struct.pack("!HH", len(js), len(ps))
                body += b"".join(_enc_source(a, f) for a, f in js + ps)
            msgs.append(pim_message(PIM_JOIN_PRUNE, body))
        cur, room = [], size - JP_HDR

    for g in groups:
        joins, prunes = list(g.joins), list(g.prunes)
        rejoin = [s for s in joins if s[1] & FLAG_W][:1]
        first = True
        while first or joins or prunes:
            extra = [] if first or joins else rejoin
            if len(cur) == 255 or room < GROUP_HDR + SRC_LEN * (len(extra) + 1):
                flush()
            n = (room - GROUP_HDR) // SRC_LEN - len(extra)
            js, joins = joins[:n], joins[n:]
            ps, prunes = prunes[:n - len(js)], prunes[n - len(js):]
            cur.append((g.group, extra + js, ps))
            room -= GROUP_HDR + SRC_LEN * (len(extra) + len(js) + len(ps))
            first = False
            if joins or prunes:
                flush()
    flush()
    return msgs


def parse_jp(pim):
    """(upstream, holdtime, [Group]) of a PIM Join/Prune message, or None if malformed."""
    try:
        fam, enc, up = struct.unpack_from("!BB4s", pim, 4)
        _, ngroups, hold = struct.unpack_from("!BBH", pim, 10)
        if fam != 1 or enc != 0:
            return None
        off = 14
        groups = []
        for _ in range(ngroups):
            _, _, _, _, gaddr = struct.unpack_from("!BBBB4s", pim, off)
            nj, np_ = struct.unpack_from("!HH", pim, off + 8)
            off += 12
            srcs = []
            for _ in range(nj + np_):
                sfam, _, flags, _, saddr = struct.unpack_from("!BBBB4s", pim, off)
                if sfam != 1:
                    return None
                srcs.append((socket.inet_ntoa(saddr), flags & 7))
                off += 8
            groups.append(Group(socket.inet_ntoa(gaddr), srcs[:nj], srcs[nj:]))
        if off != len(pim):
            return None
        return socket.inet_ntoa(up), hold, groups
    except struct.error:
        return None


class Received:
    """What a receiver thread keeps, for tests to wait on: positions (mark)
    and the first item after one that satisfies a predicate (wait)."""

    def __init__(self):
        self.received = []
        self.lock = threading.Condition()
        self.running = True
        self.threads = []

    def serve(self, recv, handle):
        """Runs handle(*recv()) in a thread until close; recv times out to look at running."""
        def run():
            while self.running:
                try:
                    got = recv()
                except socket.timeout:
                    continue
                except OSError:
                    return
                handle(*got)
        self.threads.append(threading.Thread(target=run, daemon=True))
        self.threads[-1].start()

    def add(self, item):
        with self.lock:
            self.received.append(item)
            self.lock.notify_all()

    def mark(self):
        """A position in the received list: wait(since=mark) looks only after it."""
        with self.lock:
            return len(self.received)

    def wait(self, pred=None, timeout=5.0, since=0):
        """The first item after position since that satisfies pred, or None
        after timeout seconds."""
        deadline = time.monotonic() + timeout
        with self.lock:
            while True:
                for item in self.received[since:]:
                    if pred is None or pred(item):
                        return item
                left = deadline - time.monotonic()
                if left <= 0:
                    return None
                self.lock.wait(left)

    def messages(self, since=0, pred=None):
        with self.lock:
            return [m for m in self.received[since:] if pred is None or pred(m)]

    def close(self):
        self.running = False
        for t in self.threads:
            t.join(timeout=3)
        self.sock.close()


class PacketListener(Received):
    """IPv4 packets arriving on a device (not those it sends): parse(packet,
    arrival time) gives the item kept, or None."""

    def __init__(self, netns_path, dev, parse):
        super().__init__()

        def open_sock():
            s = socket.socket(socket.AF_PACKET, socket.SOCK_DGRAM, socket.htons(ETH_P_IP))
            s.bind((dev, ETH_P_IP))
            s.settimeout(0.2)
            return s

        def handle(pkt, addr):
            item = None if addr[2] == PACKET_OUTGOING else parse(pkt, time.monotonic())
            if item is not None:
                self.add(item)

        self.sock = in_netns(netns_path, open_sock)
        self.serve(lambda: self.sock.recvfrom(65535), handle)


def open_socket(dev, addr):
    """A raw PIM socket bound to a device, member of ALL-PIM-ROUTERS, sending
    from addr, with kernel receive stamps."""
    s = socket.socket(socket.AF_INET, socket.SOCK_RAW, IPPROTO_PIM)
    s.setsockopt(socket.SOL_SOCKET, SO_BINDTODEVICE, dev.encode())
    s.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 8 << 20)
    ifaddr = socket.inet_aton(addr)
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, ifaddr)
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 1)
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_LOOP, 0)
    s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                 socket.inet_aton(ALL_PIM_ROUTERS) + ifaddr)
    s.settimeout(0.2)
    return s


def hello_message(holdtime=105, dr_priority=1, genid=0, lan_prune_delay=None):
    """A Hello. lan_prune_delay: (propagation delay ms, override interval ms, T bit)."""
    opts = struct.pack("!HHH", 1, 2, holdtime)
    if lan_prune_delay is not None:
        prop, override, tbit = lan_prune_delay
        opts += struct.pack("!HHHH", 2, 4, (0x8000 if tbit else 0) | prop, override)
    opts += struct.pack("!HHI", 19, 4, dr_priority)
    opts += struct.pack("!HHI", 20, 4, genid)
    return pim_message(PIM_HELLO, opts)


class PimNbr(Received):
    """One scripted neighbor on one device of a network namespace."""

    def __init__(self, netns_path, dev, addr, keep=True):
        super().__init__()
        self.dev = dev
        self.addr = addr
        self.keep = keep  # keep received Join/Prunes (benchmarks may count only)
        self.genid = random.getrandbits(32)
        self.sock = in_netns(netns_path, lambda: open_socket(dev, addr))
        self.asserts = []
        self.bad = 0
        self.counter = None  # optional callable(JoinPrune) run in the receiver thread
        self.hello_args = None
        self.hello_hooks = []  # callables run after each periodic Hello (refreshes)
        self.serve(lambda: self.sock.recvmsg(65535, socket.CMSG_SPACE(16)), self._rx)

    # Sending.

    def send(self, pim):
        self.sock.sendto(pim, (ALL_PIM_ROUTERS, 0))

    def hello(self, holdtime=105, dr_priority=1, genid=None, lan_prune_delay=None):
        """One Hello (see hello_message)."""
        self.send(hello_message(holdtime, dr_priority, self.genid if genid is None else genid,
                                lan_prune_delay))

    def start_hellos(self, interval=5.0, **kw):
        """Sends a Hello now and every interval seconds until close (or stop_hellos)."""
        self.hello_args = kw
        self.hello(**kw)

        def run():
            next_at = time.monotonic() + interval
            while self.running:
                time.sleep(0.1)
                if self.hello_args is not None and time.monotonic() >= next_at:
                    self.hello(**self.hello_args)
                    for hook in list(self.hello_hooks):
                        hook()
                    next_at = time.monotonic() + interval

        t = threading.Thread(target=run, daemon=True)
        t.start()
        self.threads.append(t)

    def stop_hellos(self, goodbye=False):
        self.hello_args = None
        if goodbye:
            self.hello(holdtime=0)

    def send_jp(self, upstream, groups, holdtime=210):
        """Sends the group records packed into full-size messages; returns their number."""
        msgs = build_jp(upstream, groups, holdtime)
        for m in msgs:
            for _ in range(50):
                try:
                    self.send(m)
                    break
                except BlockingIOError:
                    time.sleep(0.01)
        return len(msgs)

    # Receiving.

    def _rx(self, pkt, anc, _flags, _addr):
        # Arrival time from the kernel's stamp, on the monotonic clock, so
        # that a busy receiver thread does not delay it.
        when = time.monotonic()
        for level, kind, data in anc:
            if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS and len(data) >= 16:
                sec, nsec = struct.unpack("qq", data[:16])
                when -= max(0.0, time.time() - (sec + nsec / 1e9))
        ihl = (pkt[0] & 0x0F) * 4
        src = socket.inet_ntoa(pkt[12:16])
        pim = pkt[ihl:]
        if src == self.addr or len(pim) < 4 or pim[0] >> 4 != 2:
            return
        if pim[0] & 0x0F == PIM_ASSERT:
            with self.lock:
                if len(pim) >= 26 and checksum(pim) == 0:
                    self.asserts.append(Assert(src, pim, pkt))
                else:
                    self.bad += 1
                self.lock.notify_all()
            return
        if pim[0] & 0x0F != PIM_JOIN_PRUNE:
            return
        parsed = parse_jp(pim) if checksum(pim) == 0 else None
        if parsed is None:
            self.bad += 1
            return
        jp = JoinPrune(src, parsed[0], parsed[1], parsed[2], pkt, when)
        if self.counter:
            self.counter(jp)
        if self.keep:
            self.add(jp)

    wait_jp = Received.wait


def write_pcap(path, packets):
    """A pcap file of raw IPv4 packets (link type 228), for tshark."""
    with open(path, "wb") as f:
        f.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 228))
        for i, p in enumerate(packets):
            f.write(struct.pack("<IIII", 1 + i // 1000, (i % 1000) * 1000, len(p), len(p)))
            f.write(p)
