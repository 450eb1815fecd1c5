"""Local membership end to end: hosts with real sockets behind our router join
and leave groups; igmpd hears their IGMP, tells kemd, and kemd joins towards
FRR's pimd, which holds the RP (10.99.0.1 on its loopback, our router's static
RP) and the sources:

    h2 (IGMPv2), h3 (IGMPv3) --lan1-- r1 (ours: igmpd + kemd, VPN 1) --lan2-- frr1

Checks that frr1's `show ip pim join json` gains the (S,G) state of an IGMPv3
source join and the (*,G) state of an IGMPv2 join, and loses them after the
hosts leave (after the last-member query time); that `kemcli show` lists
igmpd's memberships; that malformed IGMP from a host is counted and dropped
without disturbing the state; and that igmpd announces its memberships again
to a restarted kemd. Needs root and FRR; the lab is taken
down whatever happens.
"""
import argparse
import os
import signal
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "pylib"))
import routerlab  # noqa: E402
import lab as labtool  # noqa: E402
from routerlab import RP, frr_join_states, wait_for  # noqa: E402
from mcast_host import Member, send_raw, set_igmp_version, snooping_off, with_checksum  # noqa: E402,E501

BUILD = None
NAME = "igh%d" % (os.getpid() % 100000)
JP_S = 5
R1_DOWN, R1_UP, FRR1, H2, H3 = "10.1.1.1", "10.2.2.1", "10.2.2.2", "10.1.1.12", "10.1.1.13"
FRR_COMMON = ["ip pim rp %s 224.0.0.0/4" % RP, "ip pim join-prune-interval %d" % JP_S]
SRC = "10.99.0.5"


def topology():
    return {
        "name": NAME,
        "routers": {
            "r1": {"kind": "kem", "vpns": [1], "routes": [["10.99.0.0/16", FRR1, 1]]},
            "frr1": {"kind": "frr", "loopback": ["10.99.0.1/16"],
                     "frr": FRR_COMMON + ["interface lo", " ip pim", "exit"],
                     "routes": [["10.1.1.0/24", R1_UP]]},
            "h2": {"kind": "host"},
            "h3": {"kind": "host"},
        },
        "lans": {
            "lan1": {"members": {"r1": {"if": "eth1", "addr": R1_DOWN + "/24", "vpn": 1},
                                 "h2": {"if": "eth1", "addr": H2 + "/24"},
                                 "h3": {"if": "eth1", "addr": H3 + "/24"}}},
            "lan2": {"members": {"r1": {"if": "eth2", "addr": R1_UP + "/24", "vpn": 1},
                                 "frr1": {"if": "eth1", "addr": FRR1 + "/24", "hello": 2}}},
        },
    }


@unittest.skipUnless(os.geteuid() == 0, "needs root for namespaces")
@unittest.skipUnless(routerlab.have_frr(), "needs FRR's pimd")
class IgmpHosts(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.lab = routerlab.RouterLab(topology(), BUILD).__enter__()
        try:
            cls.lab.configure_kem("r1", {"eth1": R1_DOWN + "/24", "eth2": R1_UP + "/24"},
                                  hello=2, jp_interval=JP_S)
            r = cls.lab.kemcli("r1", "configure", "set vpn vpn-instance 1 router pim static-rp "
                               "rp-address " + RP, "commit", "exit")
            if r.returncode != 0:
                raise AssertionError("static RP: %s%s" % (r.stdout, r.stderr))
            set_igmp_version(NAME, "h2", "eth1", 2)
            set_igmp_version(NAME, "h3", "eth1", 3)
            wait_for("frr1 to list r1", lambda: R1_UP in cls.lab.frr_neighbors("frr1"), 40)
            wait_for("igmpd to run on eth1", lambda: cls.igmp_if("eth1"), 20)
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.lab.down()

    @classmethod
    def igmp_if(cls, ifname):
        rows = cls.lab.rows("r1", "igmp-interface") or []
        return next((r for r in rows if r.get("if-name") == ifname), None)

    def memberships(self):
        return {(m["if-name"], m["group"], m["source"], m.get("filter-mode"))
                for m in self.lab.rows("r1", "igmp-membership") or []}

    def frr_joins(self, group):
        return frr_join_states(self.lab.vtysh("frr1", "show ip pim join json"), "eth1", group)

    def test_1_igmpv3_source_join_and_leave(self):
        g = "239.3.0.1"
        m = Member(NAME, "h3", H3, ["%s@%s" % (SRC, g)])
        try:
            wait_for("igmpd to list (%s,%s)" % (SRC, g),
                     lambda: ("eth1", g, SRC, "include") in self.memberships(), 15)
            wait_for("frr1 to hold (%s,%s) from r1" % (SRC, g),
                     lambda: self.frr_joins(g).get(SRC) == "JOIN", 20)
        finally:
            m.leave()
        wait_for("igmpd to drop (%s,%s)" % (SRC, g),
                 lambda: not any(x[1] == g for x in self.memberships()), 15)
        wait_for("frr1 to lose (%s,%s)" % (SRC, g), lambda: SRC not in self.frr_joins(g), 20)

    def test_2_igmpv2_group_join_and_leave(self):
        g = "239.3.0.2"
        m = Member(NAME, "h2", H2, [g])
        try:
            wait_for("igmpd to list (*,%s)" % g,
                     lambda: ("eth1", g, "0.0.0.0", "exclude") in self.memberships(), 15)
            wait_for("frr1 to hold (*,%s) from r1" % g,
                     lambda: self.frr_joins(g).get("*") == "JOIN", 20)
        finally:
            m.leave()
        wait_for("igmpd to drop (*,%s)" % g,
                 lambda: not any(x[1] == g for x in self.memberships()), 15)
        wait_for("frr1 to lose (*,%s)" % g, lambda: "*" not in self.frr_joins(g), 20)

    def test_3_malformed_igmp_counted_and_dropped(self):
        g = "239.3.0.3"
        m = Member(NAME, "h3", H3, ["%s@%s" % (SRC, g)])
        try:
            wait_for("igmpd to list (%s,%s)" % (SRC, g),
                     lambda: ("eth1", g, SRC, "include") in self.memberships(), 15)
            wait_for("frr1 to hold (%s,%s) from r1" % (SRC, g),
                     lambda: self.frr_joins(g).get(SRC) == "JOIN", 20)
            before = int(self.igmp_if("eth1").get("rx-bad", 0))
            block = bytes([6, 0, 0, 1]) + bytes([239, 3, 0, 3]) + bytes([10, 99, 0, 5])
            bad = [
                bytes([0x22, 0, 0, 0, 0, 0, 0, 1]) + bytes([1, 0, 0, 0]),  # bad checksum
                with_checksum(bytes([0x22, 0, 0, 0, 0, 0, 0, 2]) + block),  # records past the end
                with_checksum(bytes([0x22, 0, 0, 0, 0, 0, 0, 1]) + bytes([9]) + block[1:]),
                with_checksum(bytes([0x16, 0, 0, 0, 10, 1, 1, 1])),  # group not multicast
                with_checksum(bytes([0x22, 0, 0, 0])),  # short
            ]
            snooping_off(NAME, "lan1")
            send_raw(NAME, "h3", H3, bad)
            wait_for("igmpd to count 5 malformed packets", lambda: int(
                self.igmp_if("eth1").get("rx-bad", 0)) >= before + 5, 10)
            self.assertIn(("eth1", g, SRC, "include"), self.memberships())
            self.assertEqual(self.frr_joins(g).get(SRC), "JOIN")
        finally:
            m.leave()

    def test_4_igmpd_announces_again_after_kemd_restarts(self):
        g = "239.3.0.4"

        def kemd_has_sg():
            rows = self.lab.rows("r1", "multicast-topo") or []
            return any(r.get("group") == g and r.get("source") == SRC for r in rows)

        m = Member(NAME, "h3", H3, ["%s@%s" % (SRC, g)])
        try:
            wait_for("kemd to hold (%s,%s)" % (SRC, g), kemd_has_sg, 15)
            os.kill(self.lab.pid("r1", "kemd"), signal.SIGTERM)
            wait_for("kemd to stop", lambda: self.lab.rows("r1", "multicast-topo") is None, 15)
            state = labtool.load_state(NAME)["routers"]["r1"]
            # Ends with the lab (its PID namespace).
            subprocess.Popen(["nsenter", "-t", str(state["pid"]), "-n", "-m", "-p",
                              "--wd=" + state["dir"], "--", os.path.join(BUILD, "daemon", "kemd"),
                              "-f"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            wait_for("the new kemd to hold (%s,%s) again" % (SRC, g), kemd_has_sg, 30)
            wait_for("frr1 to hold (%s,%s) from r1" % (SRC, g),
                     lambda: self.frr_joins(g).get(SRC) == "JOIN", 20)
        finally:
            m.leave()


if __name__ == "__main__":
    ap = argparse.ArgumentParser()
    ap.add_argument("--build-dir", required=True)
    args, rest = ap.parse_known_args()
    BUILD = os.path.abspath(args.build_dir)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
