"""Routing interop with FRR's pimd as a black box, in one chain, and hosts
joining groups behind our router:

    d0 --lan0-- frr2 --lan1-- r1 (ours, VPN 1) --lan2-- frr1 (RP 10.99.0.1)
                       d1 on lan1    |         u2 on lan2 (10.98.0.0/16)
                                   lan3-- h2 (IGMPv2), h3 (IGMPv3)

d0 and d1 are scripted PIM neighbors. d0's Joins make frr2 join through our
router towards the RP and the sources, which frr1 holds on its loopback (FRR
takes no IGMP here: the kernel has no multicast routing, and FRR's pimd then
receives no IGMP). d1 sends Joins and (S,G,rpt) Prunes straight to our
router. Checks that frr2's (*,G) and (S,G) upstream state is joined through
our router and that frr1 holds the (*,G), (S,G) and (S,G,rpt) state our
router passed on, and that 300 (S,G,rpt) prunes under one (*,G) Join all hold
at frr1 across refreshes (sources that our router joins through u2, so that
it prunes them off frr1's shared tree: more than fit one frame).

Then the hosts with real sockets: igmpd hears their IGMP and tells kemd,
whose (S,G) Join for an IGMPv3 source join and (*,G) Join for an IGMPv2 join
reach frr1 and leave it after the hosts leave (after the last-member query
time); malformed IGMP is counted and dropped without disturbing the state;
igmpd announces its memberships again to a restarted kemd. kemcli's tables
(text and JSON) list exactly the neighbors, interfaces, DR and counters our
router has, and a link taken down and up again is followed, the FRR
neighbor dropping our router after its holdtime.

`--router frr` puts FRR in the middle (harness check, routing only). Needs
root and FRR; the lab is taken down whatever happens.
"""
import argparse
import os
import signal
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "pylib"))
from mcast_host import Member, send_raw, set_igmp_version, with_checksum  # noqa: E402
from pimnbr import Group, rpt, sg, wc  # noqa: E402
import routerlab  # noqa: E402
from routerlab import RP, frr_join_states, wait_for  # noqa: E402

BUILD = None
KIND = "kem"
NAME = "pfr%d" % (os.getpid() % 100000)
JP_S = 5
R1_DOWN, R1_UP, FRR2, FRR1, D1 = "10.1.1.1", "10.2.2.1", "10.1.1.2", "10.2.2.2", "10.1.1.11"
FRR2_DOWN, D0, U2 = "10.0.0.1", "10.0.0.2", "10.2.2.3"
R1_HOSTS, H2, H3, H_SRC = "10.3.3.1", "10.3.3.12", "10.3.3.13", "10.99.0.5"
HELLO_S, HOLD_S = 2, 7
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
                     "routes": [["10.1.1.0/24", R1_UP], ["10.3.3.0/24", R1_UP]]},
            "frr2": {"kind": "frr", "frr": FRR_COMMON, "routes": [["10.99.0.0/16", R1_DOWN]]},
            "d0": {"kind": "host"},
            "u2": {"kind": "host"},
            "d1": {"kind": "host"},
            "h2": {"kind": "host"},
            "h3": {"kind": "host"},
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
            "lan3": {"members": {"r1": dict(vpn, **{"if": "eth3", "addr": R1_HOSTS + "/24"}),
                                 "h2": {"if": "eth1", "addr": H2 + "/24"},
                                 "h3": {"if": "eth1", "addr": H3 + "/24"}}},
        },
    }


@unittest.skipUnless(os.geteuid() == 0, "needs root for namespaces")
@unittest.skipUnless(routerlab.have_frr(), "needs FRR's pimd")
class FrrRouting(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        lab = cls.lab = routerlab.RouterLab(topology(), BUILD).__enter__()
        try:
            lab.configure_kems("set vpn vpn-instance 1 router pim static-rp rp-address " + RP,
                               hello=HELLO_S, jp_interval=JP_S)
            lab.snooping_off()  # lets malformed IGMP through
            set_igmp_version(NAME, "h2", "eth1", 2)
            set_igmp_version(NAME, "h3", "eth1", 3)
            for host, addr in (("d1", D1), ("d0", D0), ("u2", U2)):
                setattr(cls, host, lab.nbr(host, "eth1", addr))
                getattr(cls, host).start_hellos(interval=2, holdtime=7)
            lab.wait_adjacent({"r1": {D1, U2}, "frr2": {D0}})
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


    # Hosts behind our router, and its own tables.

    def ours(self):
        if KIND != "kem":
            self.skipTest("our router only")

    def igmp_if(self, ifname):
        return next((r for r in self.lab.rows("r1", "igmp-interface") or []
                     if r.get("if-name") == ifname), None)

    def memberships(self):
        return {(m["if-name"], m["group"], m["source"], m.get("filter-mode"))
                for m in self.lab.rows("r1", "igmp-membership") or []}

    def host_joins(self, host, addr, member, want, frr_key):
        """A host's membership in igmpd and its Join at frr1; the Member, to leave."""
        g = member.split("@")[-1]
        m = Member(NAME, host, addr, [member])
        try:
            wait_for("igmpd to list %s" % (want,), lambda: want in self.memberships(), 15)
            wait_for("frr1 to hold %s from r1" % member,
                     lambda: self.frr_joins("frr1", "eth1", g).get(frr_key) == "JOIN", 20)
        except BaseException:
            m.leave()
            raise
        return m

    def host_leaves(self, m, g, frr_key):
        m.leave()
        wait_for("igmpd to drop %s" % g, lambda: not any(x[1] == g for x in self.memberships()),
                 15)
        wait_for("frr1 to lose %s" % g,
                 lambda: frr_key not in self.frr_joins("frr1", "eth1", g), 20)

    def test_5_igmpv3_source_join_malformed_igmp_and_leave(self):
        self.ours()
        wait_for("igmpd to run on eth3", lambda: self.igmp_if("eth3"), 20)
        g = "239.3.0.1"
        m = self.host_joins("h3", H3, "%s@%s" % (H_SRC, g), ("eth3", g, H_SRC, "include"),
                            H_SRC)
        try:
            before = int(self.igmp_if("eth3").get("rx-bad", 0))
            block = bytes([6, 0, 0, 1]) + bytes([239, 3, 0, 1]) + bytes([10, 99, 0, 5])
            bad = [
                bytes([0x22, 0, 0, 0, 0, 0, 0, 1]) + bytes([1, 0, 0, 0]),  # bad checksum
                with_checksum(bytes([0x22, 0, 0, 0, 0, 0, 0, 2]) + block),  # records past the end
                with_checksum(bytes([0x22, 0, 0, 0, 0, 0, 0, 1]) + bytes([9]) + block[1:]),
                with_checksum(bytes([0x16, 0, 0, 0, 10, 1, 1, 1])),  # group not multicast
                with_checksum(bytes([0x22, 0, 0, 0])),  # short
            ]
            send_raw(NAME, "h3", H3, bad)
            wait_for("igmpd to count 5 malformed packets", lambda: int(
                self.igmp_if("eth3").get("rx-bad", 0)) >= before + 5, 10)
            self.assertIn(("eth3", g, H_SRC, "include"), self.memberships())
            self.assertEqual(self.frr_joins("frr1", "eth1", g).get(H_SRC), "JOIN")
        finally:
            self.host_leaves(m, g, H_SRC)

    def test_6_igmpv2_group_join_and_leave(self):
        self.ours()
        g = "239.3.0.2"
        m = self.host_joins("h2", H2, g, ("eth3", g, "0.0.0.0", "exclude"), "*")
        self.host_leaves(m, g, "*")

    def test_7_tables_list_what_the_router_has(self):
        self.ours()
        want = {"eth1": {FRR2, D1}, "eth2": {FRR1, U2}, "eth3": set()}
        nbrs = self.lab.rows("r1", "pim-neighbor")
        self.assertEqual(sorted((n["if-name"], n["neighbor-address"]) for n in nbrs),
                         sorted((i, a) for i, addrs in want.items() for a in addrs))
        for n in nbrs:
            self.assertEqual((n["vpn-id"], n["hold-time"]), (1, HOLD_S), n)
            self.assertIn("expires", n)
            self.assertRegex(n["up-time"], r"^\d+:\d\d:\d\d:\d\d$")
        addrs = {"eth1": R1_DOWN, "eth2": R1_UP, "eth3": R1_HOSTS}
        ifs = {i["if-name"]: i for i in self.lab.rows("r1", "pim-interface")}
        self.assertEqual(sorted(ifs), sorted(addrs))
        for name, i in ifs.items():
            # Equal priorities: the highest address is the DR.
            dr = max(want[name] | {addrs[name]}, key=lambda a: tuple(map(int, a.split("."))))
            self.assertEqual((i["vpn-id"], i["address"], i["dr-address"], i["neighbor-count"],
                              i["hello-interval"], i["dr-priority"], i["join-prune-interval"]),
                             (1, addrs[name] + "/24", dr, len(want[name]), HELLO_S, 1, JP_S))
        stats = self.lab.rows("r1", "pim-statistics")
        self.assertEqual([s["vpn-id"] for s in stats], [1], stats)
        self.assertGreater(stats[0]["rx-hello"], 0)
        self.assertGreater(stats[0]["tx-hello"], 0)
        # The text forms list the same rows.
        text = self.lab.kemcli("r1", "show pim-neighbor")
        self.assertEqual(text.returncode, 0, text.stderr)
        for a in want["eth1"] | want["eth2"]:
            self.assertTrue(any(a in line for line in text.stdout.splitlines()), text.stdout)
        text = self.lab.kemcli("r1", "show pim-interface")
        self.assertEqual(text.returncode, 0, text.stderr)
        for a in addrs.values():
            self.assertIn(a + "/24", text.stdout)

    def test_8_igmpd_announces_again_after_kemd_restarts(self):
        self.ours()
        g = "239.3.0.4"

        def kemd_has_sg():
            rows = self.lab.rows("r1", "multicast-topo") or []
            return any(r.get("group") == g and r.get("source") == H_SRC for r in rows)

        m = self.host_joins("h3", H3, "%s@%s" % (H_SRC, g), ("eth3", g, H_SRC, "include"),
                            H_SRC)
        try:
            os.kill(self.lab.pid("r1", "kemd"), signal.SIGTERM)
            wait_for("kemd to stop", lambda: self.lab.rows("r1", "multicast-topo") is None, 15)
            self.lab.start_kemd("r1")
            wait_for("the new kemd to hold (%s,%s) again" % (H_SRC, g), kemd_has_sg, 30)
            wait_for("frr1 to hold (%s,%s) from r1" % (H_SRC, g),
                     lambda: self.frr_joins("frr1", "eth1", g).get(H_SRC) == "JOIN", 20)
        finally:
            m.leave()

    def test_9_link_down_and_up_is_followed(self):
        self.ours()
        self.lab.run("r1", "ip", "-n", "1", "link", "set", "eth1", "down")
        try:
            wait_for("r1 to drop its lan1 neighbors",
                     lambda: not {FRR2, D1} & self.lab.neighbors("r1"), 10)
            # No goodbye went out: frr2 keeps r1 for its holdtime.
            wait_for("frr2 to lose r1", lambda: R1_DOWN not in self.lab.neighbors("frr2"),
                     HOLD_S + 10)
        finally:
            self.lab.run("r1", "ip", "-n", "1", "link", "set", "eth1", "up")
        self.lab.wait_adjacent({"r1": {D1, U2}, "frr2": {D0}})


if __name__ == "__main__":
    ap = argparse.ArgumentParser()
    ap.add_argument("--build-dir", required=True)
    ap.add_argument("--router", choices=("kem", "frr"), default="kem",
                    help="the middle router: ours, or FRR to check the harness")
    args, rest = ap.parse_known_args()
    BUILD = os.path.abspath(args.build_dir)
    KIND = args.router
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
