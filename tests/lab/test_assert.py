"""Assert on a shared LAN: two routers, both directly on the source's LAN
(lans), both joined for (S,G) by a scripted neighbor on a receivers' LAN, so
both would forward the stream onto it.

Ours (class Assert): r1 and r2 are both ours.

    s --lans-- r1, r2 --lanr-- d

Each forwarding plane sees the other's copies arriving on its outgoing
interface and reports them; both assert, and the router with the higher
address on lanr (r2, equal metrics) wins. The loser takes lanr out of its
forwarding entry, so a receiver on lanr gets every packet exactly once; the
Asserts decode cleanly in tshark; a winner pruned off lanr sends an
AssertCancel and the loser forwards at once; when the winner dies (kemd and ftmd killed)
the loser forwards again once the winner's Hellos run out (about 3.5 s with
1 s Hellos), not after the Assert time of 180 s.

The same with FRR as one of the routers: test_assert_frr.py.

Needs root; the lab is taken down whatever happens.
"""
import argparse
import json
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "pylib"))
from mcast import PORT, Receiver, Sender  # noqa: E402
from pimnbr import Group, in_netns, sg, write_pcap  # noqa: E402
import routerlab  # noqa: E402
from routerlab import RP, RouterLab, wait_for  # noqa: E402

BUILD = None
SRC, G = "10.2.2.10", "239.1.2.5"
HOLD = 30


def topology(name, kinds, lans):
    """r1, r2 (or f1) of the given kinds on lans with the source s, and one
    host per receivers' LAN: lans is {lan: (host, {router: (if, addr)})}."""
    routers = {"s": {"kind": "host", "routes": [["0.0.0.0/0", "10.2.2.1"]]}}
    src_lan = {"s": {"if": "eth1", "addr": SRC + "/24"}}
    for i, (r, kind) in enumerate(kinds.items()):
        routers[r] = {"kind": kind}
        src_lan[r] = {"if": "eth1", "addr": "10.2.2.%d/24" % (i + 1)}
        if kind == "kem":
            routers[r]["vpns"] = [1]
            src_lan[r]["vpn"] = 1
        else:
            routers[r]["frr"] = ["ip pim rp %s 224.0.0.0/4" % RP]
            src_lan[r]["hello"] = 1
    all_lans = {"lans": {"members": src_lan}}
    for lan, (host, members) in lans.items():
        routers[host] = {"kind": "host"}
        m = {host: {"if": "eth1", "addr": members["host"] + "/24"}}
        for r, v in members.items():
            if r != "host":
                m[r] = {"if": v[0], "addr": v[1] + "/24"}
                m[r].update({"vpn": 1} if kinds[r] == "kem" else {"hello": 1})
        all_lans[lan] = {"members": m}
    return {"name": name, "routers": routers, "lans": all_lans}


class AssertLab:
    """Set-up shared by both classes: the lab up, bridges without snooping,
    our routers configured, one scripted neighbor per receivers' LAN joining
    (S,G) on both routers there."""

    @classmethod
    def start(cls, name, kinds, lans):
        cls.lans = lans
        lab = cls.lab = RouterLab(topology(name, kinds, lans), BUILD).__enter__()
        cls.nbrs = {}
        cls.upstreams = {}  # per LAN, the routers its scripted neighbor joins
        try:
            state = routerlab.labtool.load_state(name)
            for sw in state["switches"].values():
                routerlab.labtool.nsenter(sw["pid"], ["ip", "link", "set", "br0", "type",
                                                      "bridge", "mcast_snooping", "0"],
                                          mount=False)
            for r, kind in kinds.items():
                if kind == "kem":
                    ifaces = {"eth1": "10.2.2.%d/24" % (list(kinds).index(r) + 1)}
                    for _, members in lans.values():
                        ifname, addr = members[r]
                        ifaces[ifname] = addr + "/24"
                    lab.configure_kem(r, ifaces, hello=1, jp_interval=5)
            for lan, (host, members) in lans.items():
                n = cls.nbrs[lan] = lab.nbr(host, "eth1", members["host"])
                n.start_hellos(interval=1, holdtime=HOLD)
                ups = cls.upstreams[lan] = [v[1] for r, v in members.items() if r != "host"]
                n.hello_hooks.append(lambda n=n, ups=ups: cls.join(n, ups))

            def peers(r):
                return {v if rr == "host" else v[1] for _, members in lans.values()
                        for rr, v in members.items() if rr != r}

            wait_for("the routers to list each other and the scripted neighbors",
                     lambda: all(peers(r) <= cls.neighbors(r) for r in kinds), 40, step=1)
        except BaseException:
            cls.stop()
            raise

    @classmethod
    def stop(cls):
        for x in ("tx", "rx"):
            if hasattr(cls, x):
                getattr(cls, x).close()
        cls.lab.down()

    @staticmethod
    def join(nbr, ups):
        for up in ups:
            nbr.send_jp(up, [Group(G, [sg(SRC)])], HOLD)

    @classmethod
    def neighbors(cls, router):
        if cls.lab.topo["routers"][router]["kind"] == "kem":
            return cls.lab.kem_neighbors(router)
        return cls.lab.frr_neighbors(router)

    def fwd_oil(self, router):
        """Names of the outgoing interfaces of (S,G) in the router's
        forwarding plane, or None while it has no such entry."""
        r = self.lab.run(router, "cat", "/var/run/ftmd.json")
        try:
            vpns = json.loads(r.stdout).get("vpns", [])
        except ValueError:
            return None
        path = routerlab.labtool.netns_path(self.lab.name, router, 1)
        names = in_netns(path, lambda: {i: n for i, n in socket.if_nameindex()})
        for v in vpns:
            for e in v["entries"]:
                if (e["source"], e["group"]) == (SRC, G):
                    return sorted(names.get(i, str(i)) for i in e["oil"])
        return None

    def stats(self, router):
        rows = self.lab.rows(router, "pim-statistics") or [{}]
        return int(rows[0].get("tx-assert", 0)), int(rows[0].get("rx-assert", 0))

    def winner_flags(self, router):
        """{outgoing interface: True where we won the Assert} of (S,G), from
        our multicast-topology-oil table."""
        r = self.lab.kemcli(router, "show multicast-topology-oil", json_out=True)
        for row in routerlab.find_list(json.loads(r.stdout or "{}"), "multicast-topo") or []:
            if (row.get("group"), row.get("source")) == (G, SRC):
                return {o.get("if-name"): "assert-winner" in str(o.get("flags", ""))
                        for o in row.get("oil", [])}
        return None

    def exactly_once(self, seqs):
        time.sleep(0.5)  # the last ones on their way
        got = self.rx.counts()
        missing = [q for q in seqs if got.get(q, 0) == 0]
        dup = {q: got[q] for q in seqs if got.get(q, 0) > 1}
        self.assertEqual((len(missing), len(dup)), (0, 0),
                         "missing %s, twice %s" % (missing[:10], list(dup)[:10]))


@unittest.skipUnless(os.geteuid() == 0, "needs root for namespaces")
class Assert(AssertLab, unittest.TestCase):
    R1, R2, D = "10.5.5.1", "10.5.5.2", "10.5.5.11"

    @classmethod
    def setUpClass(cls):
        cls.start("ast%d" % (os.getpid() % 100000), {"r1": "kem", "r2": "kem"},
                  {"lanr": ("d", {"host": cls.D, "r1": ("eth2", cls.R1),
                                  "r2": ("eth2", cls.R2)})})
        try:
            cls.rx = Receiver(routerlab.labtool.netns_path(cls.lab.name, "d"), cls.D, G)
            cls.tx = Sender(routerlab.labtool.netns_path(cls.lab.name, "s"), SRC, G)
        except BaseException:
            cls.stop()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.stop()

    def test_1_one_winner_and_one_copy_on_the_lan(self):
        wait_for("both to forward to lanr",
                 lambda: self.fwd_oil("r1") == ["eth2"] and self.fwd_oil("r2") == ["eth2"], 20)
        # Both forward: each sees the other's copies and asserts. The first
        # Assert from r2 (equal metrics, higher address) makes r1 a loser that
        # asserts no more; r2 answers r1's Assert if r1's came while r2 was
        # already winner, or takes it as its cue to become winner.
        self.tx.send(200, 100)
        wait_for("r1 to hear r2's Assert", lambda: self.stats("r1")[1] >= 1, 20)
        wait_for("r1 to stop forwarding to lanr", lambda: self.fwd_oil("r1") == [], 5)
        tx1, _ = self.stats("r1")
        tx2, rx2 = self.stats("r2")
        self.assertLessEqual(tx1, 1)
        self.assertIn(tx2, (rx2, rx2 + 1))
        self.assertGreaterEqual(tx2, 1)
        self.assertEqual(self.fwd_oil("r2"), ["eth2"])
        self.assertEqual((self.winner_flags("r1"), self.winner_flags("r2")),
                         ({"eth2": False}, {"eth2": True}))
        # Now every packet reaches d once, and the winner has nothing more to say.
        time.sleep(0.5)
        self.exactly_once(self.tx.send(300, 150))
        time.sleep(0.5)
        self.assertEqual((self.stats("r1")[0], self.stats("r2")[0]), (tx1, tx2))

    def test_2_winner_that_stops_forwarding_cancels(self):
        nbr, ups = self.nbrs["lanr"], self.upstreams["lanr"]
        ups[:] = [self.R1]
        nbr.send_jp(self.R2, [Group(G, prunes=[sg(SRC)])], HOLD)
        wait_for("r2 to stop and r1 to forward to lanr",
                 lambda: self.fwd_oil("r2") == [] and self.fwd_oil("r1") == ["eth2"], 10)
        cancels = [a for a in nbr.asserts if a.src == self.R2 and a.metric == 0xFFFFFFFF]
        self.assertEqual([(a.rpt, a.pref) for a in cancels], [(True, 0x7FFFFFFF)])
        self.exactly_once(self.tx.send(300, 150))
        # r2 joined again: both forward, and r2 wins again.
        ups[:] = [self.R1, self.R2]
        self.join(nbr, ups)
        wait_for("r2 to forward to lanr", lambda: self.fwd_oil("r2") == ["eth2"], 10)
        self.tx.send(200, 100)
        wait_for("r1 to lose again", lambda: self.fwd_oil("r1") == [], 10)

    def test_3_loser_takes_over_when_the_winner_dies(self):
        wait_for("r1 to be the loser", lambda: self.fwd_oil("r1") == [], 5)
        for daemon in ("kemd", "ftmd"):
            os.kill(self.lab.pid("r2", daemon), signal.SIGKILL)
        start = time.monotonic()
        wait_for("r1 to forward to lanr again", lambda: self.fwd_oil("r1") == ["eth2"], 15)
        took = time.monotonic() - start
        self.assertLess(took, 15)
        print("\nloser forwards again %.1f s after the winner died" % took, file=sys.stderr)
        time.sleep(0.5)
        self.exactly_once(self.tx.send(300, 150))


    def test_4_tshark_decodes_our_asserts_and_cancel(self):
        if not shutil.which("tshark"):
            self.skipTest("tshark not installed")
        nbr = self.nbrs["lanr"]
        ours = [a for a in nbr.asserts if a.src in (self.R1, self.R2)]
        self.assertGreaterEqual(len(ours), 1)
        self.assertEqual(nbr.bad, 0, "malformed or bad checksum")
        self.assertTrue(any(a.metric == 0xFFFFFFFF for a in ours), "no AssertCancel")
        for a in ours:
            self.assertEqual((a.group, a.source, a.rpt), (G, SRC, a.metric == 0xFFFFFFFF))
        with tempfile.TemporaryDirectory() as tmp:
            pcap = os.path.join(tmp, "assert.pcap")
            write_pcap(pcap, [a.raw for a in ours])
            out = subprocess.run(["tshark", "-r", pcap, "-Y", "pim.type == 5", "-T", "fields",
                                  "-E", "separator=;", "-E", "occurrence=f", "-e", "pim.group",
                                  "-e", "pim.source", "-e", "pim.metric_pref", "-e", "pim.metric"],
                                 capture_output=True, text=True, timeout=60)
            self.assertEqual(out.stdout.split(),
                             ["%s;%s;%d;%d" % (G, SRC, a.pref, a.metric) for a in ours],
                             out.stderr)
            bad = subprocess.run(["tshark", "-r", pcap, "-Y",
                                  "_ws.malformed || _ws.expert.severity >= warning || "
                                  "pim.cksum.status != 1"],
                                 capture_output=True, text=True, timeout=60).stdout
            self.assertEqual(bad.strip(), "", "tshark finds fault with our Asserts")

def spoof(netns_path, dev, count, pps=100):
    """Datagrams of (SRC, G) sent on a receivers' LAN by its host: to a
    router with that LAN in its outgoing list they are another forwarder's."""
    def opened():
        s = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW)
        s.setsockopt(socket.SOL_SOCKET, 25, dev.encode())  # SO_BINDTODEVICE
        return s

    sock = in_netns(netns_path, opened)
    try:
        for i in range(count):
            udp = struct.pack("!HHHH", PORT, PORT, 16, 0) + struct.pack("!Q", 1 << 40 | i)
            ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), i & 0xFFFF, 0, 8, 17, 0,
                             socket.inet_aton(SRC), socket.inet_aton(G))
            sock.sendto(ip + udp, (G, 0))
            time.sleep(1.0 / pps)
    finally:
        sock.close()


if __name__ == "__main__":
    ap = argparse.ArgumentParser()
    ap.add_argument("--build-dir", required=True)
    args, rest = ap.parse_known_args()
    BUILD = os.path.abspath(args.build_dir)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
