"""Helpers shared by the benchmark scripts: process figures from /proc, entry
sets, paced sending, coverage of the Joins seen upstream, a lab of several
VPNs with several downstream neighbors each, and one scripted neighbor process
serving many namespaces.
"""
import os
import random
import selectors
import socket
import struct
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "pylib"))
import pimnbr  # noqa: E402
import routerlab  # noqa: E402
from pimnbr import Group, sg, wc  # noqa: E402
from routerlab import R_DOWN, R_UP, RP, RouterLab, down_addr, up_addr, wait_for  # noqa: E402


def proc_rss(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    return 0


def proc_cpu(pid):
    """User+system CPU seconds of a process."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def proc_fds(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def fmt(v, form):
    return "-" if v is None else format(v, form)


def ip4(a):
    return "%d.%d.%d.%d" % (a >> 24, a >> 16 & 255, a >> 8 & 255, a & 255)


def entries(kind, n, per_group, first=0):
    """Group records for entries first..first+n-1 and the set of their (source
    or RP, group) keys: one (*,G) per group for "xg", per_group distinct
    sources per group for "sg" (sources from 10.96.0.2, groups 226/8)."""
    groups, keys = [], set()
    if kind == "xg":
        for i in range(first, first + n):
            g = "225.%d.%d.%d" % (i >> 16 & 255, i >> 8 & 255, i & 255)
            groups.append(Group(g, [wc(RP)]))
            keys.add((RP, g))
        return groups, keys
    base = 0x0A600000 + 2  # 10.96.0.2: after the RP's /16 neighbors
    i = first
    while i < first + n:
        gi = i // per_group
        g = "226.%d.%d.%d" % (gi >> 16 & 255, gi >> 8 & 255, gi & 255)
        srcs = []
        while i < first + n and i // per_group == gi:
            s = ip4(base + i)
            srcs.append(sg(s))
            keys.add((s, g))
            i += 1
        groups.append(Group(g, srcs))
    return groups, keys


def send_paced(sends, pace):
    """Runs the send callables at pace calls per second."""
    gap = 1.0 / pace
    t = time.monotonic()
    for send in sends:
        send()
        t += gap
        delay = t - time.monotonic()
        if delay > 0:
            time.sleep(delay)


class Coverage:
    """The distinct entries an upstream neighbor has seen a Join (or Prune)
    for from the router, the time the last missing one arrived, and how many
    Join/Prune messages the router sent it."""

    def __init__(self, want, verb, kind, upstream, done=None):
        self.want, self.verb, self.kind, self.upstream = set(want), verb, kind, upstream
        self.seen = set()
        self.msgs = 0
        self.done_at = None
        self.done = done or threading.Event()

    def __call__(self, jp):
        if jp.upstream != self.upstream:
            return
        self.msgs += 1
        if self.done_at is not None:
            return
        self.seen |= jp.entries(self.verb, self.kind) & self.want
        if len(self.seen) == len(self.want):
            self.done_at = jp.time
            self.done.set()


def flood_topology(name, kind, vpns, ndown, sources, jp_interval, hello, frr_log):
    """Router r1 (kind kem: eth1 and eth2 in each VPN 1..vpns; frr: one VRF)
    between downstream LAN lan1-V (r1 .1, hosts dV-I .10+I) and upstream LAN
    lan2-V (r1 .1, host uV .2) of each VPN V; sources routed through uV."""
    routers = {"r1": {"kind": kind}}
    lans = {}
    if kind == "kem":
        routers["r1"].update(vpns=list(range(1, vpns + 1)),
                             routes=[[sources, up_addr(1), v] for v in range(1, vpns + 1)])
    else:
        routers["r1"].update(frr=["ip pim rp %s 224.0.0.0/4" % RP,
                                  "ip pim join-prune-interval %d" % jp_interval],
                             frr_log=frr_log, routes=[[sources, up_addr(1), None]])
    for v in range(1, vpns + 1):
        eth1 = {"if": "eth1", "addr": R_DOWN + "/24"}
        eth2 = {"if": "eth2", "addr": R_UP + "/24"}
        for m in (eth1, eth2):
            if kind == "kem":
                m["vpn"] = v
            else:
                m["hello"] = hello
        lan1, lan2 = {"r1": eth1}, {"r1": eth2}
        for i in range(1, ndown + 1):
            routers["d%d-%d" % (v, i)] = {"kind": "host"}
            lan1["d%d-%d" % (v, i)] = {"if": "eth1", "addr": down_addr(i) + "/24"}
        routers["u%d" % v] = {"kind": "host"}
        lan2["u%d" % v] = {"if": "eth1", "addr": up_addr(1) + "/24"}
        lans["lan1-%d" % v] = {"members": lan1}
        lans["lan2-%d" % v] = {"members": lan2}
    return {"name": name, "routers": routers, "lans": lans}


class FloodLab(RouterLab):
    """flood_topology up, our router configured in every VPN, and every
    scripted neighbor listed by the router: down[v] are VPN v's downstream
    neighbors, up[v] its upstream one."""

    def __init__(self, name, build, kind="kem", vpns=1, ndown=1, sources=routerlab.SOURCES,
                 jp_interval=60, hello=30, frr_log="critical"):
        super().__init__(flood_topology(name, kind, vpns, ndown, sources, jp_interval, hello,
                                        frr_log), build)
        self.kind, self.vpns, self.ndown = kind, vpns, ndown
        self.jp_interval, self.hello_s = jp_interval, hello
        self.down_nbrs, self.up_nbrs = {}, {}

    def __enter__(self):
        super().__enter__()
        try:
            if self.kind == "kem":
                for v in range(1, self.vpns + 1):
                    self.configure_kem("r1", {"eth1": R_DOWN + "/24", "eth2": R_UP + "/24"},
                                       vpn=v, hello=self.hello_s, jp_interval=self.jp_interval)
            every = []
            for v in range(1, self.vpns + 1):
                self.down_nbrs[v] = [self.nbr("d%d-%d" % (v, i), "eth1", down_addr(i), keep=False)
                                     for i in range(1, self.ndown + 1)]
                self.up_nbrs[v] = self.nbr("u%d" % v, "eth1", up_addr(1), keep=False)
                every += self.down_nbrs[v] + [self.up_nbrs[v]]
            for n in every:
                n.start_hellos(interval=self.hello_s, holdtime=int(self.hello_s * 3.5))
            want = len(every)

            def listed():
                # Hellos sent before the router's PIM interfaces are up are lost.
                for n in every:
                    n.hello(**n.hello_args)
                return self.neighbor_count() >= want

            wait_for("r1 to list %d neighbors" % want, listed, 60, step=2)
        except BaseException:
            self.down()
            raise
        return self

    def neighbor_count(self):
        if self.kind == "kem":
            return len(self.rows("r1", "pim-neighbor") or [])
        return len(self.frr_neighbors("r1"))


def hello_genid(pim):
    """The generation id of a Hello (None without one)."""
    off = 4
    while off + 4 <= len(pim):
        kind, length = struct.unpack_from("!HH", pim, off)
        if kind == 20 and length == 4 and off + 8 <= len(pim):
            return struct.unpack_from("!I", pim, off + 4)[0]
        off += 4 + length
    return None


class NsNbrs:
    """Scripted neighbors in many namespaces served by one thread: each is a
    raw PIM socket opened inside its namespace (setns) and bound to a device.
    It sends Hellos every hello seconds, answers at once a Hello from a router
    it has not heard yet, or heard with another generation id, so that
    adjacencies form without waiting a period; then it sends the neighbor's
    Join/Prune messages, and again every refresh seconds; every Join/Prune
    it receives goes to on_jp(key, JoinPrune)."""

    def __init__(self, hello=30, refresh=60, on_jp=None):
        self.hello_s, self.refresh = hello, refresh
        self.on_jp = on_jp
        self.sel = selectors.DefaultSelector()
        self.nbrs = {}  # key -> dict(sock, addr, msgs, heard, joined_at)
        self.running = True
        self.thread = None

    def add(self, key, netns_path, dev, addr, msgs=()):
        sock = pimnbr.in_netns(netns_path, lambda: pimnbr.open_socket(dev, addr))
        sock.setblocking(False)
        self.nbrs[key] = {"sock": sock, "addr": addr, "msgs": list(msgs), "heard": {},
                          "genid": random.getrandbits(32), "next_jp": None}
        self.sel.register(sock, selectors.EVENT_READ, key)

    def start(self):
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def close(self):
        self.running = False
        if self.thread:
            self.thread.join(timeout=5)
        for n in self.nbrs.values():
            n["sock"].close()
        self.sel.close()

    def _send(self, n, msg):
        try:
            n["sock"].sendto(msg, (pimnbr.ALL_PIM_ROUTERS, 0))
        except OSError:
            pass  # a full socket buffer: the next period repeats it

    def _hello(self, n):
        self._send(n, pimnbr.hello_message(int(self.hello_s * 3.5), genid=n["genid"]))

    def _run(self):
        next_hello = 0.0
        while self.running:
            now = time.monotonic()
            if now >= next_hello:
                for n in self.nbrs.values():
                    self._hello(n)
                next_hello = now + self.hello_s
            for n in self.nbrs.values():
                if n["next_jp"] is not None and now >= n["next_jp"]:
                    for m in n["msgs"]:
                        self._send(n, m)
                    n["next_jp"] = now + self.refresh
            for skey, _ in self.sel.select(timeout=0.2):
                self._read(skey.data, self.nbrs[skey.data])

    def _read(self, key, n):
        while True:
            try:
                pkt = n["sock"].recv(65535)
            except OSError:
                return
            ihl = (pkt[0] & 0x0F) * 4
            src = socket.inet_ntoa(pkt[12:16])
            pim = pkt[ihl:]
            if src == n["addr"] or len(pim) < 4 or pim[0] >> 4 != 2:
                continue
            kind = pim[0] & 0x0F
            if kind == pimnbr.PIM_HELLO and n["heard"].get(src, -1) != hello_genid(pim):
                # A new router, or one restarted: it has none of our state.
                n["heard"][src] = hello_genid(pim)
                self._hello(n)
                if n["msgs"]:
                    n["next_jp"] = time.monotonic()
            elif kind == pimnbr.PIM_JOIN_PRUNE and self.on_jp:
                parsed = pimnbr.parse_jp(pim)
                if parsed:
                    self.on_jp(key, pimnbr.JoinPrune(src, parsed[0], parsed[1], parsed[2], pkt,
                                                     time.monotonic()))
