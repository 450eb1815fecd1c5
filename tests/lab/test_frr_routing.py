"""Routing interop with FRR's pimd as a black box, in one chain:

    d0 --lan0-- frr2 --lan1-- r1 (ours, VPN 1) --lan2-- frr1 (RP 10.99.0.1)
                       d1 on lan1              u2 on lan2 (10.98.0.0/16)

d0 and d1 are scripted PIM neighbors. d0's Joins make frr2 join through our
router towards the RP and the sources, which frr1 holds on its loopback (FRR
takes no IGMP here: the kernel has no multicast routing, and FRR's pimd then
receives no IGMP). d1 sends Joins and (S,G,rpt) Prunes straight to our
router. Checks that frr2's (*,G) and (S,G) upstream state is joined through
our router and that frr1 holds the (*,G), (S,G) and (S,G,rpt) state our
router passed on, and that 300 (S,G,rpt) prunes under one (*,G) Join all hold
at frr1 across refreshes (sources that our router joins through u2, so that
it prunes them off frr1's shared tree: more than fit one frame).
`--router frr` puts FRR in the middle (harness check). Needs root and FRR;
the lab is taken down whatever happens.
"""
import argparse
import os
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "pylib"))
from pimnbr import Group, rpt, sg, wc  # noqa: E402
import routerlab  # noqa: E402
from routerlab import RP, frr_join_states, wait_for  # noqa: E402

BUILD = None
KIND = "kem"
NAME = "pfr%d" % (os.getpid() % 100000)
JP_S = 5
R1_DOWN, R1_UP, FRR2, FRR1, D1 = "10.1.1.1", "10.2.2.1", "10.1.1.2", "10.2.2.2", "10.1.1.11"
FRR2_DOWN, D0, U2 = "10.0.0.1", "10.0.0.2", "10.2.2.3"
SPT_SOURCES = "10.98.0.0/16"
FRR_COMMON = ["ip pim rp %s 224.0.0.0/4" % RP, "ip pim join-prune-interval %d" % JP_S]


def topology():
    r1 = {"kind": "kem", "vpns": [1],
          "routes": [["10.99.0.0/16", FRR1, 1], [SPT_SOURCES, U2, 1]]}
    vpn = {"vpn": 1}
    if KIND == "frr":
        r1 = {"kind": "frr", "frr": FRR_COMMON,
              "routes": [["10.99.0.0/16", FRR1], [SPT_SOURCES, U2]]}
        vpn = {"hello": 2}
    return {
        "name": NAME,
        "routers": {
            "r1": r1,
            "frr1": {"kind": "frr", "loopback": ["10.99.0.1/16"],
                     "frr": FRR_COMMON + ["interface lo", " ip pim", "exit"],
                     "routes": [["10.1.1.0/24", R1_UP]]},
            "frr2": {"kind": "frr", "frr": FRR_COMMON, "routes": [["10.99.0.0/16", R1_DOWN]]},
            "d0": {"kind": "host"},
            "u2": {"kind": "host"},
            "d1": {"kind": "host"},
        },
        "lans": {
            "lan0": {"members": {"frr2": {"if": "eth2", "addr": FRR2_DOWN + "/24", "hello": 2},
                                 "d0": {"if": "eth1", "addr": D0 + "/24"}}},
            "lan1": {"members": {"r1": dict(vpn, **{"if": "eth1", "addr": R1_DOWN + "/24"}),
                                 "frr2": {"if": "eth1", "addr": FRR2 + "/24", "hello": 2},
                                 "d1": {"if": "eth1", "addr": D1 + "/24"}}},
            "lan2": {"members": {"r1": dict(vpn, **{"if": "eth2", "addr": R1_UP + "/24"}),
                                 "frr1": {"if": "eth1", "addr": FRR1 + "/24", "hello": 2},
                                 "u2": {"if": "eth1", "addr": U2 + "/24"}}},
        },
    }


@unittest.skipUnless(os.geteuid() == 0, "needs root for namespaces")
@unittest.skipUnless(routerlab.have_frr(), "needs FRR's pimd")
class FrrRouting(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.lab = routerlab.RouterLab(topology(), BUILD).__enter__()
        try:
            if KIND == "kem":
                cls.lab.configure_kem("r1", {"eth1": R1_DOWN + "/24", "eth2": R1_UP + "/24"},
                                      hello=2, jp_interval=JP_S)
            cls.d1 = cls.lab.nbr("d1", "eth1", D1)
            cls.d1.start_hellos(interval=2, holdtime=7)
            cls.d0 = cls.lab.nbr("d0", "eth1", D0)
            cls.d0.start_hellos(interval=2, holdtime=7)
            cls.u2 = cls.lab.nbr("u2", "eth1", U2)
            cls.u2.start_hellos(interval=2, holdtime=7)
            nbrs = cls.lab.kem_neighbors if KIND == "kem" else cls.lab.frr_neighbors
            wait_for("r1 to list frr1, frr2, d1 and u2",
                     lambda: {FRR1, FRR2, D1, U2} <= nbrs("r1"), 40)
            wait_for("frr1 and frr2 to list r1 and d0", lambda: R1_UP in
                     cls.lab.frr_neighbors("frr1") and {R1_DOWN, D0} <=
                     cls.lab.frr_neighbors("frr2"), 40)
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.lab.down()

    def frr_joins(self, router, ifname, group):
        return frr_join_states(self.lab.vtysh(router, "show ip pim join json"), ifname, group)

    def frr_upstream(self, router, group, source="*"):
        j = self.lab.vtysh(router, "show ip pim upstream json") or {}
        return (j.get(group) or {}).get(source) or {}

    def d1_join(self, group, joins, prunes=(), holdtime=120):
        self.d1.send_jp(R1_DOWN, [Group(group, joins, prunes)], holdtime)

    def d0_join(self, group, joins, prunes=()):
        """Joins through frr2, refreshed by d0 every 2 s until the class ends."""
        groups = [Group(group, joins, prunes)]
        self.d0.send_jp(FRR2_DOWN, groups, 7)
        self.d0.hello_hooks.append(lambda: self.d0.send_jp(FRR2_DOWN, groups, 7))

    def test_1_frr_upstream_holds_our_xg_join(self):
        g = "239.2.0.1"
        self.d1_join(g, [wc(RP)])
        wait_for("frr1 to hold (*,%s) from r1" % g,
                 lambda: self.frr_joins("frr1", "eth1", g).get("*") == "JOIN", 15)
        self.assertTrue(self.frr_upstream("frr1", g), "frr1 has (*,G) upstream state")

    def test_2_frr_downstream_joins_through_us(self):
        g = "239.2.0.2"
        self.d0_join(g, [wc(RP)])
        up = wait_for("frr2 to join (*,%s) through r1" % g,
                      lambda: self.frr_upstream("frr2", g).get("joinState") == "Joined"
                      and self.frr_upstream("frr2", g), 20)
        self.assertEqual(up.get("rpfAddress"), RP)
        # Our router passed it on to frr1.
        wait_for("frr1 to hold (*,%s)" % g,
                 lambda: self.frr_joins("frr1", "eth1", g).get("*") == "JOIN", 15)
        self.assertEqual(self.frr_joins("frr2", "eth2", g), {"*": "JOIN"})

    def test_3_chain_sg_and_sgrpt_state_agrees(self):
        # Through frr2: (*,G), (S,G) and an (S,G,rpt) prune.
        g, s_sg, s_rpt = "239.2.0.3", "10.99.0.6", "10.99.0.7"
        self.d0_join(g, [wc(RP), sg(s_sg)], [rpt(s_rpt)])
        want = {"*": "JOIN", s_sg: "JOIN", s_rpt: "SGRpt(P)"}
        wait_for("frr2 to hold %s for %s" % (want, g),
                 lambda: self.frr_joins("frr2", "eth2", g) == want or None, 20)
        for src in ("*", s_sg):
            wait_for("frr2 to join (%s,%s) through r1" % (src, g), lambda src=src:
                     self.frr_upstream("frr2", g, src).get("joinState") == "Joined", 20)
        wait_for("frr1 to hold %s for %s" % (want, g),
                 lambda: self.frr_joins("frr1", "eth1", g) == want or None, 20)
        # The same straight from the scripted neighbor on our router's LAN.
        g = "239.2.0.4"
        self.d1_join(g, [wc(RP), sg(s_sg)], [rpt(s_rpt)])
        wait_for("frr1 to hold %s for %s" % (want, g),
                 lambda: self.frr_joins("frr1", "eth1", g) == want or None, 20)

    def test_4_300_sgrpt_prunes_hold_at_frr(self):
        g = "239.2.0.5"
        srcs = ["10.98.%d.%d" % (1 + i // 200, 1 + i % 200) for i in range(300)]

        def pruned():
            return sum(1 for v in self.frr_joins("frr1", "eth1", g).values() if v == "SGRpt(P)")

        self.d1_join(g, [wc(RP)] + [sg(x) for x in srcs])
        try:
            wait_for("frr1 to hold 300 (S,G,rpt) prunes", lambda: pruned() == 300, 30)
        except AssertionError:
            self.fail("frr1 holds %d of 300 (S,G,rpt) prunes" % pruned())
        # Across several refreshes and beyond frr1's holdtime.
        time.sleep(JP_S * 3.5 + 3)
        self.assertEqual(pruned(), 300)
        self.assertEqual(self.frr_joins("frr1", "eth1", g).get("*"), "JOIN")


if __name__ == "__main__":
    ap = argparse.ArgumentParser()
    ap.add_argument("--build-dir", required=True)
    ap.add_argument("--router", choices=("kem", "frr"), default="kem",
                    help="the middle router: ours, or FRR to check the harness")
    args, rest = ap.parse_known_args()
    BUILD = os.path.abspath(args.build_dir)
    KIND = args.router
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
