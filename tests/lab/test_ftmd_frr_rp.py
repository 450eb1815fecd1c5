"""Forwarding with FRR's pimd as the RP (10.99.0.1 on its loopback, configured
on FRR; our routers have it as their static RP): a host behind two of our
routers (cdbd, rtmd, kemd, igmpd and ftmd in lab containers, PIM in VPN 1)
joins the group with a real socket, and the source sits on the RP's LAN.

    s, frr1 --lan2-- r1 --lan3-- r2 --lan4-- d2
                         |
                         x (a scripted downstream router)

Checks that igmpd's membership on r2 becomes (*,G) state on both of our
routers, joined hop by hop towards FRR, and that frr1's `show ip pim join
json` holds the (*,G) Join of r1. FRR forwards nothing on this kernel, so the
stream comes from a source on the RP's LAN, where r1's (*,G) entry takes it
in on its RPF interface: every packet reaches d2 exactly once through both
ftmd data paths. Then x prunes (*,G) off r1's lan3 while r2 still has the
receiver: r2's override Join goes out within the LAN's override interval and
d2 loses no packet of the running stream. Needs root and FRR; the lab is
taken down whatever happens.
"""
import argparse
import json
import os
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "pylib"))
from mcast import Receiver, Sender  # noqa: E402
import routerlab  # noqa: E402
from pimnbr import Group, wc  # noqa: E402
from routerlab import RP, RouterLab, frr_join_states, wait_for  # noqa: E402

BUILD = None
NAME = "ffr%d" % (os.getpid() % 100000)
SRC, G = "10.2.2.10", "239.6.0.1"
R1_UP, FRR1, R1_DOWN, R2_UP, R2_DOWN, D2 = ("10.2.2.1", "10.2.2.2", "10.3.3.1", "10.3.3.2",
                                             "10.4.4.1", "10.4.4.11")
X = "10.3.3.3"
JP_S = 8  # longer than the override bound, so that a periodic Join cannot pass for one


def topology():
    host = {"kind": "host"}
    return {
        "name": NAME,
        "routers": {
            "r1": {"kind": "kem", "vpns": [1], "routes": [["10.99.0.0/16", FRR1, 1]]},
            "r2": {"kind": "kem", "vpns": [1], "routes": [["10.99.0.0/16", R1_DOWN, 1],
                                                          ["10.2.2.0/24", R1_DOWN, 1]]},
            "frr1": {"kind": "frr", "loopback": ["10.99.0.1/16"],
                     "frr": ["ip pim rp %s 224.0.0.0/4" % RP,
                             "ip pim join-prune-interval %d" % JP_S,
                             "interface lo", " ip pim", "exit"],
                     "routes": [["10.3.3.0/24", R1_UP], ["10.4.4.0/24", R1_UP]]},
            "s": dict(host, routes=[["0.0.0.0/0", R1_UP]]),
            "d2": dict(host, routes=[["0.0.0.0/0", R2_DOWN]]),
            "x": host,
        },
        "lans": {
            "lan2": {"members": {"r1": {"if": "eth2", "addr": R1_UP + "/24", "vpn": 1},
                                 "frr1": {"if": "eth1", "addr": FRR1 + "/24", "hello": 2},
                                 "s": {"if": "eth1", "addr": SRC + "/24"}}},
            "lan3": {"members": {"r1": {"if": "eth3", "addr": R1_DOWN + "/24", "vpn": 1},
                                 "r2": {"if": "eth1", "addr": R2_UP + "/24", "vpn": 1},
                                 "x": {"if": "eth1", "addr": X + "/24"}}},
            "lan4": {"members": {"r2": {"if": "eth2", "addr": R2_DOWN + "/24", "vpn": 1},
                                 "d2": {"if": "eth1", "addr": D2 + "/24"}}},
        },
    }


@unittest.skipUnless(os.geteuid() == 0, "needs root for namespaces")
@unittest.skipUnless(routerlab.have_frr(), "needs FRR's pimd")
class FrrRp(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        lab = cls.lab = RouterLab(topology(), BUILD).__enter__()
        try:
            for sw in routerlab.labtool.load_state(NAME)["switches"].values():
                routerlab.labtool.nsenter(sw["pid"], ["ip", "link", "set", "br0", "type",
                                                      "bridge", "mcast_snooping", "0"],
                                          mount=False)
            for r, ifaces in (("r1", {"eth2": R1_UP, "eth3": R1_DOWN}),
                              ("r2", {"eth1": R2_UP, "eth2": R2_DOWN})):
                lab.configure_kem(r, {i: a + "/24" for i, a in ifaces.items()}, hello=1,
                                  jp_interval=JP_S)
                out = lab.kemcli(r, "configure", "set vpn vpn-instance 1 router pim static-rp "
                                 "rp-address " + RP, "commit", "exit")
                if out.returncode != 0:
                    raise AssertionError("static RP on %s: %s%s" % (r, out.stdout, out.stderr))
            wait_for("the routers to list each other and frr1",
                     lambda: {FRR1, R2_UP} <= lab.kem_neighbors("r1")
                     and R1_DOWN in lab.kem_neighbors("r2")
                     and R1_UP in lab.frr_neighbors("frr1"), 40, step=1)
            wait_for("igmpd to run on r2's eth2",
                     lambda: any(r.get("if-name") == "eth2"
                                 for r in lab.rows("r2", "igmp-interface") or []), 20)
            cls.rx = Receiver(routerlab.labtool.netns_path(NAME, "d2"), D2, G)
            cls.tx = Sender(routerlab.labtool.netns_path(NAME, "s"), SRC, G)
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        for x in ("rx", "tx"):
            if hasattr(cls, x):
                getattr(cls, x).close()
        cls.lab.down()

    def xg(self, router):
        for r in self.lab.rows(router, "multicast-topo") or []:
            if (r.get("group"), r.get("entry-type")) == (G, "star-g"):
                return r
        return {}

    def fwd_oil(self, router):
        """Outgoing interfaces of ftmd's (*,G) entry on a router."""
        r = self.lab.run(router, "cat", "/var/run/ftmd.json")
        try:
            vpns = json.loads(r.stdout).get("vpns", [])
        except ValueError:
            return []
        return [o for v in vpns for e in v["entries"]
                if (e["source"], e["group"]) == ("0.0.0.0", G) for o in e["oil"]]

    def exactly_once(self, seqs):
        got = self.rx.counts()
        missing = [q for q in seqs if got.get(q, 0) == 0]
        dup = {q: got[q] for q in seqs if got.get(q, 0) > 1}
        self.assertEqual((len(missing), dup), (0, {}), "missing %s" % missing[:10])

    def test_1_host_join_reaches_frr_rp_and_stream_flows(self):
        for router, nbr, rpf_if in (("r2", R1_DOWN, "eth1"), ("r1", FRR1, "eth2")):
            x = wait_for("(*,G) on %s joined towards %s" % (router, nbr),
                         lambda r=router: self.xg(r).get("upstream-state") == "joined"
                         and self.xg(r), 20)
            self.assertEqual((x.get("rp-address"), x.get("rpf-neighbor"),
                              x.get("rpf-interface")), (RP, nbr, rpf_if), router)
        wait_for("frr1 to hold (*,G) from r1", lambda: frr_join_states(
            self.lab.vtysh("frr1", "show ip pim join json"), "eth1", G).get("*") == "JOIN", 20)
        for router in ("r1", "r2"):
            wait_for("ftmd on %s to forward (*,G)" % router, lambda r=router: self.fwd_oil(r), 10)
        seqs = self.tx.send(400, 200)
        time.sleep(1.0)
        self.exactly_once(seqs)

    def test_2_prune_of_another_router_is_overridden_without_loss(self):
        x = self.lab.nbr("x", "eth1", X)
        x.start_hellos(interval=1, holdtime=4)
        wait_for("r1 and r2 to list x", lambda: X in self.lab.kem_neighbors("r1")
                 and X in self.lab.kem_neighbors("r2"), 15)

        def r2_joins(since):
            return x.messages(since, lambda m: m.src == R2_UP and m.upstream == R1_DOWN
                              and (RP, G) in m.entries("join", "wc"))

        # Right after r2's periodic Join: the next one is a whole period away.
        mark = x.mark()
        wait_for("r2's periodic Join", lambda: r2_joins(mark), JP_S + 2, step=0.1)
        mark = x.mark()
        box = []
        sender = threading.Thread(target=lambda: box.append(self.tx.send(1200, 200)))
        sender.start()  # 6 s, across the prune and the override
        time.sleep(0.5)
        t0 = time.monotonic()
        x.send_jp(R1_DOWN, [Group(G, prunes=[wc(RP)])], 60)
        override = wait_for("r2's override Join", lambda: r2_joins(mark), 6, step=0.1)
        # Within the LAN's override interval (3 s by default).
        self.assertLess(override[0].time - t0, 3.5)
        sender.join()
        time.sleep(1.0)
        self.exactly_once(box[0])
        self.assertEqual(len(self.fwd_oil("r1")), 1, "r1 stopped forwarding to lan3")


if __name__ == "__main__":
    ap = argparse.ArgumentParser()
    ap.add_argument("--build-dir", required=True)
    args, rest = ap.parse_known_args()
    BUILD = os.path.abspath(args.build_dir)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
