"""Multicast forwarding end to end: two of our routers (cdbd, rtmd, kemd and
ftmd in lab containers, PIM in VPN 1) in a chain, a source host on r1's lan2,
receivers behind one router (d1 on r1's lan1) and behind two (d2 on r2's
lan4), (S,G) Joins scripted from the receivers' LANs.

    s --lan2-- r1 --lan3-- r2 --lan4-- d2
               |
              lan1-- d1

Checks that a UDP stream reaches both receivers with every packet exactly
once and nothing looping back, that a Prune stops the flow to its branch,
that restarting kemd on r1 under a running stream loses no packet, and that
with an SPT threshold a (*,G) flow through the RP (a scripted neighbor on the
source's LAN) moves to (S,G) entries once the source's rate passes the
threshold, and back once it stops, still delivering every packet once.
Needs root; the lab is taken down whatever happens.
"""
import argparse
import json
import os
import signal
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "pylib"))
from mcast import Receiver, Sender  # noqa: E402
from pimnbr import Group, sg, wc  # noqa: E402
import routerlab  # noqa: E402
from routerlab import RouterLab, wait_for  # noqa: E402

BUILD = None
NAME = "ftm%d" % (os.getpid() % 100000)
SRC, G, G2 = "10.2.2.10", "239.1.2.3", "239.1.2.4"
RP = "10.2.2.20"  # a scripted neighbor on the source's LAN
SPT_KBPS = 1000
D1, D2 = "10.1.1.11", "10.4.4.11"
R1_LAN1, R2_LAN4 = "10.1.1.1", "10.4.4.1"
JP_S = 5
HOLD = 30


def topology():
    host = {"kind": "host"}
    return {
        "name": NAME,
        "routers": {
            "r1": {"kind": "kem", "vpns": [1]},
            "r2": {"kind": "kem", "vpns": [1], "routes": [["10.2.2.0/24", "10.3.3.1", 1]]},
            "s": dict(host, routes=[["0.0.0.0/0", "10.2.2.1"]]),
            "d1": dict(host, routes=[["0.0.0.0/0", R1_LAN1]]),
            "d2": dict(host, routes=[["0.0.0.0/0", R2_LAN4]]),
        },
        "lans": {
            "lan1": {"members": {"r1": {"if": "eth1", "addr": R1_LAN1 + "/24", "vpn": 1},
                                 "d1": {"if": "eth1", "addr": D1 + "/24"}}},
            "lan2": {"members": {"r1": {"if": "eth2", "addr": "10.2.2.1/24", "vpn": 1},
                                 "s": {"if": "eth1", "addr": SRC + "/24"}}},
            "lan3": {"members": {"r1": {"if": "eth3", "addr": "10.3.3.1/24", "vpn": 1},
                                 "r2": {"if": "eth1", "addr": "10.3.3.2/24", "vpn": 1}}},
            "lan4": {"members": {"r2": {"if": "eth2", "addr": R2_LAN4 + "/24", "vpn": 1},
                                 "d2": {"if": "eth1", "addr": D2 + "/24"}}},
        },
    }


@unittest.skipUnless(os.geteuid() == 0, "needs root for namespaces")
class Forwarding(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        lab = cls.lab = RouterLab(topology(), BUILD).__enter__()
        try:
            state = routerlab.labtool.load_state(NAME)
            # Plain LAN switches: no IGMP snooping between our routers and hosts.
            for sw in state["switches"].values():
                routerlab.labtool.nsenter(sw["pid"], ["ip", "link", "set", "br0", "type",
                                                      "bridge", "mcast_snooping", "0"],
                                          mount=False)
            lab.configure_kem("r1", {"eth1": R1_LAN1 + "/24", "eth2": "10.2.2.1/24",
                                     "eth3": "10.3.3.1/24"}, hello=1, jp_interval=JP_S)
            lab.configure_kem("r2", {"eth1": "10.3.3.2/24", "eth2": R2_LAN4 + "/24"},
                              hello=1, jp_interval=JP_S)
            cls.n1 = lab.nbr("d1", "eth1", D1)
            cls.n2 = lab.nbr("d2", "eth1", D2)
            for n in (cls.n1, cls.n2):
                n.start_hellos(interval=1, holdtime=HOLD)
            wait_for("r1 and r2 to list their neighbors",
                     lambda: D1 in lab.kem_neighbors("r1")
                     and {"10.3.3.2"} <= lab.kem_neighbors("r1")
                     and {"10.3.3.1", D2} <= lab.kem_neighbors("r2"), 40, step=1)
            cls.rx1 = Receiver(routerlab.labtool.netns_path(NAME, "d1"), D1, G)
            cls.rx2 = Receiver(routerlab.labtool.netns_path(NAME, "d2"), D2, G)
            cls.tx = Sender(routerlab.labtool.netns_path(NAME, "s"), SRC, G)
        except BaseException:
            lab.down()
            raise

    @classmethod
    def tearDownClass(cls):
        if os.environ.get("KEMD_LAB_SHOW"):
            for r in ("r1", "r2"):
                print(cls.lab.log_tail(r, "syslog.log", 60))
        for x in ("rx1", "rx2", "tx"):
            if hasattr(cls, x):
                getattr(cls, x).close()
        cls.lab.down()

    # Helpers.

    def join(self, nbr, upstream, prune=False):
        grp = Group(G, prunes=[sg(SRC)]) if prune else Group(G, [sg(SRC)])
        nbr.send_jp(upstream, [grp], HOLD)

    def keep_joined(self, nbr, upstream):
        """The Join now and after every Hello, as a neighbor refreshes it."""
        hook = lambda: self.join(nbr, upstream)  # noqa: E731
        nbr.hello_hooks.append(hook)
        self.join(nbr, upstream)
        return hook

    def fwd(self, router):
        r = self.lab.run(router, "cat", "/var/run/ftmd.json")
        try:
            return json.loads(r.stdout)
        except ValueError:
            return {}

    def entry(self, router, source=SRC, group=G):
        for v in self.fwd(router).get("vpns", []):
            for e in v["entries"]:
                if (e["source"], e["group"]) == (source, group):
                    return e, v["drops"]
        return None, None

    def oil_len(self, router):
        e, _ = self.entry(router)
        return len(e["oil"]) if e else -1

    def stream(self, count, pps=200):
        before = (self.rx1.counts(), self.rx2.counts())
        seqs = self.tx.send(count, pps)
        time.sleep(1.0)
        return seqs, before

    def exactly_once(self, rx, seqs, who=""):
        got = rx.counts()
        missing = [s for s in seqs if got.get(s, 0) == 0]
        dup = {s: got[s] for s in seqs if got.get(s, 0) > 1}
        self.assertEqual((len(missing), dup), (0, {}),
                         "%s: missing %s..." % (who, missing[:10]) if missing else who)

    # Tests.

    def test_1_stream_reaches_both_receivers_once(self):
        self.h1 = self.keep_joined(self.n1, R1_LAN1)
        self.h2 = self.keep_joined(self.n2, R2_LAN4)
        wait_for("r1 to forward to lan1 and lan3", lambda: self.oil_len("r1") == 2, 20)
        wait_for("r2 to forward to lan4", lambda: self.oil_len("r2") == 1, 20)
        e1, _ = self.entry("r1")
        self.assertEqual(self.fwd("r1")["backend"], "user-space packet sockets")
        seqs, _ = self.stream(400)
        self.exactly_once(self.rx1, seqs, "d1")
        self.exactly_once(self.rx2, seqs, "d2")
        # Nothing loops: each router forwarded each packet once, nothing came back.
        for r in ("r1", "r2"):
            e, drops = self.entry(r)
            self.assertEqual(e["packets"], 400, r)
            self.assertEqual((drops["wrong-iif"], drops["ttl"], drops["own"]), (0, 0, 0), r)
        self.assertEqual(self.fwd("r1")["bad-messages"], 0)
        # The same table through the configuration agent.
        rows = wait_for("the forwarding table in kemcli",
                        lambda: [r for r in self.lab.rows("r1", "forwarding-table") or []
                                 if (r.get("source"), r.get("group")) == (SRC, G)], 10)
        self.assertEqual((rows[0]["state"], int(rows[0]["packets"])), ("forwarding", 400))

    def test_2_prune_stops_the_branch(self):
        self.n2.hello_hooks.clear()
        self.join(self.n2, R2_LAN4, prune=True)
        wait_for("r1 to stop forwarding to lan3", lambda: self.oil_len("r1") == 1, 20)
        wait_for("r2 to drop its entry", lambda: self.oil_len("r2") < 0, 20)
        n2_before = self.rx2.total()
        seqs, _ = self.stream(200)
        self.exactly_once(self.rx1, seqs, "d1")
        self.assertEqual(self.rx2.total(), n2_before, "d2 still receives after its Prune")
        # Back for the next test.
        self.keep_joined(self.n2, R2_LAN4)
        wait_for("r1 to forward to lan3 again", lambda: self.oil_len("r1") == 2, 20)

    def test_3_kemd_restart_loses_nothing(self):
        kemd = self.lab.pid("r1", "kemd")
        router_pid = routerlab.labtool.load_state(NAME)["routers"]["r1"]["pid"]
        rdir = os.path.join(routerlab.labtool.lab_dir(NAME), "r1")
        stop_at = time.monotonic() + 2

        def restart():
            os.kill(kemd, signal.SIGKILL)
            time.sleep(1)
            with open(os.path.join(rdir, "kemd-restart.out"), "ab") as log:
                return subprocess.Popen(["nsenter", "-t", str(router_pid), "-n", "-m", "-p",
                                         "--wd=" + rdir, "--",
                                         os.path.join(BUILD, "daemon", "kemd"), "-f"],
                                        stdout=log, stderr=log, stdin=subprocess.DEVNULL,
                                        start_new_session=True)
        import threading
        box = []
        t = threading.Thread(target=lambda: (time.sleep(max(0, stop_at - time.monotonic())),
                                             box.append(restart())))
        t.start()
        seqs = self.tx.send(3000, 200)  # 15 s, across the restart
        t.join()
        time.sleep(1.0)
        self.exactly_once(self.rx1, seqs, "d1")
        self.exactly_once(self.rx2, seqs, "d2")
        wait_for("the new kemd to re-add the entry", lambda: not (self.entry("r1")[0] or
                                                                  {"stale": True})["stale"], 30)
        e, _ = self.entry("r1")
        self.assertEqual(len(e["oil"]), 2)

    def test_4_spt_threshold_moves_the_flow(self):
        lab = self.lab
        lab.run("s", "ip", "addr", "add", RP + "/24", "dev", "eth1", check=True)
        rp = lab.nbr("s", "eth1", RP)
        rp.start_hellos(interval=1, holdtime=HOLD)
        for r in ("r1", "r2"):
            out = lab.kemcli(r, "configure",
                             "set vpn vpn-instance 1 router pim static-rp rp-address " + RP,
                             "set vpn vpn-instance 1 router pim spt-threshold %d" % SPT_KBPS,
                             "commit", "exit")
            self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
        for nbr, up in ((self.n1, R1_LAN1), (self.n2, R2_LAN4)):
            hook = (lambda n, u: lambda: n.send_jp(u, [Group(G2, [wc(RP)])], HOLD))(nbr, up)
            nbr.hello_hooks.append(hook)
            hook()
        wait_for("r1 to forward (*,G) to lan1 and lan3",
                 lambda: len((self.entry("r1", "0.0.0.0", G2)[0] or {}).get("oil", [])) == 2, 30)
        wait_for("r2 to forward (*,G) to lan4",
                 lambda: len((self.entry("r2", "0.0.0.0", G2)[0] or {}).get("oil", [])) == 1, 30)
        xg, _ = self.entry("r1", "0.0.0.0", G2)
        self.assertEqual((xg["monitor"], xg["threshold"]), (True, SPT_KBPS))
        rx1 = Receiver(routerlab.labtool.netns_path(NAME, "d1"), D1, G2)
        rx2 = Receiver(routerlab.labtool.netns_path(NAME, "d2"), D2, G2)
        slow = Sender(routerlab.labtool.netns_path(NAME, "s"), SRC, G2, size=64)
        fast = Sender(routerlab.labtool.netns_path(NAME, "s"), SRC, G2, size=1400)
        fast.next_seq = 100000
        try:
            # Below the threshold: the shared tree only.
            seqs = list(slow.send(300, 100))
            time.sleep(1)
            self.assertEqual(self.entry("r2", SRC, G2)[0], None, "switched below the threshold")
            # Above: (S,G) entries on both routers, no packet lost or doubled.
            seqs += list(fast.send(1000, 200))  # about 2.3 Mbit/s for 5 s
            wait_for("r2 to program (S,G)", lambda: self.entry("r2", SRC, G2)[0], 10)
            wait_for("r1 to program (S,G)", lambda: self.entry("r1", SRC, G2)[0], 10)
            sg_entry, _ = self.entry("r2", SRC, G2)
            self.assertGreater(sg_entry["packets"], 0, "no packet on the shortest path")
            time.sleep(1)
            self.exactly_once(rx1, seqs, "d1")
            self.exactly_once(rx2, seqs, "d2")
            # Silence: the SPT entries go again.
            wait_for("r2 to drop (S,G)", lambda: self.entry("r2", SRC, G2)[0] is None, 30)
        finally:
            for x in (rx1, rx2, slow, fast):
                x.close()


if __name__ == "__main__":
    ap = argparse.ArgumentParser()
    ap.add_argument("--build-dir", required=True)
    args, rest = ap.parse_known_args()
    BUILD = os.path.abspath(args.build_dir)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
