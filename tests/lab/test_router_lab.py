"""Two of our routers and one FRR router on a LAN in VPN 1, built with the lab
tool (lab/lab.py): each of our routers runs cdbd, rtmd and kemd in its own
container and is configured through kemcli inside it.

Checks that every pair becomes neighbors and that all three agree on the DR
(by priority, then by address), that kemcli's PIM tables (text and JSON) list
exactly the neighbors, interfaces and counters the routers have, that a link
taken down and up again is followed, and that a router whose kemd stopped
leaves its neighbors' tables after its holdtime. Needs root; the lab is taken
down whatever happens.
"""
import argparse
import os
import signal
import sys
import time
import unittest

BUILD = None
SRC = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
NAME = "rlab%d" % (os.getpid() % 100000)
HELLO_S = 2
HOLD_S = 7  # 3.5 Hellos
ADDR = {"r1": "10.1.1.1", "r2": "10.1.1.2", "frr1": "10.1.1.3"}
TOPOLOGY = {
    "name": NAME,
    "routers": {"r1": {"kind": "kem", "vpns": [1]}, "r2": {"kind": "kem", "vpns": [1]},
                "frr1": {"kind": "frr"}},
    "lans": {"lan1": {"members": {
        "r1": {"if": "eth1", "addr": ADDR["r1"] + "/24", "vpn": 1},
        "r2": {"if": "eth1", "addr": ADDR["r2"] + "/24", "vpn": 1},
        "frr1": {"if": "eth1", "addr": ADDR["frr1"] + "/24", "hello": HELLO_S}}}},
}

sys.path.insert(0, os.path.join(SRC, "tests", "pylib"))
from routerlab import RouterLab, have_frr, wait_for  # noqa: E402


@unittest.skipUnless(os.geteuid() == 0, "needs root for namespaces")
@unittest.skipUnless(have_frr(), "needs FRR's pimd")
class RouterLabTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.lab = RouterLab(TOPOLOGY, BUILD)
        try:
            cls.lab.__enter__()
            for r in ("r1", "r2"):
                cls.configure(r, 1)
        except BaseException:
            cls.lab.down()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.lab.down()

    @classmethod
    def configure(cls, router, dr_priority):
        cls.lab.configure_kem(router, {"eth1": ADDR[router] + "/24"}, hello=HELLO_S,
                              dr_priority=dr_priority)

    def rows(self, router, table):
        rows = self.lab.rows(router, table)
        self.assertIsNotNone(rows, "%s does not serve %s" % (router, table))
        return rows

    def neighbors(self, router):
        if router.startswith("frr"):
            return self.lab.frr_neighbors(router)
        return self.lab.kem_neighbors(router)

    def dr(self, router):
        if router.startswith("frr"):
            j = self.lab.vtysh(router, "show ip pim interface json") or {}
            return j.get("eth1", {}).get("pimDesignatedRouter")
        ifs = [i for i in self.lab.rows(router, "pim-interface") or []
               if i.get("if-name") == "eth1"]
        return ifs[0].get("dr-address") if ifs else None

    def others(self, router):
        return {a for r, a in ADDR.items() if r != router}

    def wait_full_mesh(self, routers=("r1", "r2", "frr1")):
        for r in routers:
            want = {ADDR[o] for o in routers if o != r}
            wait_for("%s to see %s" % (r, sorted(want)), lambda r=r, want=want:
                     self.neighbors(r) == want or None)

    def wait_dr(self, addr, routers=("r1", "r2", "frr1")):
        for r in routers:
            wait_for("%s to elect %s" % (r, addr), lambda r=r: self.dr(r) == addr or None)

    def test_1_neighbors_and_dr_by_priority_then_address(self):
        self.wait_full_mesh()
        # Equal priorities: the highest address.
        self.wait_dr(ADDR["frr1"])
        # A higher priority wins over every address.
        self.configure("r1", 50)
        self.wait_dr(ADDR["r1"])
        self.configure("r1", 1)
        self.wait_dr(ADDR["frr1"])

    def test_2_tables_list_what_the_routers_have(self):
        self.wait_full_mesh()
        for r in ("r1", "r2"):
            nbrs = self.rows(r, "pim-neighbor")
            self.assertEqual(sorted(n["neighbor-address"] for n in nbrs), sorted(self.others(r)))
            for n in nbrs:
                self.assertEqual((n["vpn-id"], n["if-name"]), (1, "eth1"), n)
                self.assertEqual(n["hold-time"], HOLD_S, n)
                self.assertIn("expires", n)
                self.assertRegex(n["up-time"], r"^\d+:\d\d:\d\d:\d\d$")
            ifs = self.rows(r, "pim-interface")
            self.assertEqual(len(ifs), 1, ifs)
            i = ifs[0]
            self.assertEqual((i["vpn-id"], i["if-name"], i["address"]),
                             (1, "eth1", ADDR[r] + "/24"), i)
            self.assertEqual((i["neighbor-count"], i["hello-interval"], i["dr-priority"],
                              i["join-prune-interval"]), (2, HELLO_S, 1, 60), i)
            stats = self.rows(r, "pim-statistics")
            self.assertEqual([s["vpn-id"] for s in stats], [1], stats)
            self.assertGreater(stats[0]["rx-hello"], 0)
            self.assertGreater(stats[0]["tx-hello"], 0)
            # The text form lists the same rows.
            text = self.lab.kemcli(r, "show pim-neighbor")
            self.assertEqual(text.returncode, 0, text.stderr)
            lines = [line for line in text.stdout.splitlines() if "eth1" in line]
            self.assertEqual(len(lines), 2, text.stdout)
            for addr in self.others(r):
                self.assertTrue(any(addr in line for line in lines), text.stdout)
            text = self.lab.kemcli(r, "show pim-interface")
            self.assertEqual(text.returncode, 0, text.stderr)
            self.assertIn(ADDR[r] + "/24", text.stdout)

    def test_4_link_down_and_up_is_followed(self):
        self.wait_full_mesh()
        self.lab.run("r1", "ip", "-n", "1", "link", "set", "eth1", "down")
        try:
            wait_for("r1 to drop its neighbors", lambda: not self.neighbors("r1"), 10)
            for r in ("r2", "frr1"):
                wait_for("%s to lose r1" % r,
                         lambda r=r: ADDR["r1"] not in self.neighbors(r), HOLD_S + 10)
        finally:
            self.lab.run("r1", "ip", "-n", "1", "link", "set", "eth1", "up")
        self.wait_full_mesh()

    def test_5_stopped_router_leaves_after_its_holdtime(self):
        self.wait_full_mesh()
        pid = self.lab.pid("r2", "kemd")
        stopped = time.monotonic()
        os.kill(pid, signal.SIGTERM)
        for r in ("r1", "frr1"):
            wait_for("%s to lose r2" % r, lambda r=r: ADDR["r2"] not in self.neighbors(r),
                     HOLD_S + 10)
        # Not before its holdtime: SIGTERM leaves without a goodbye Hello.
        self.assertGreater(time.monotonic() - stopped, HOLD_S - 3)
        self.assertEqual(self.neighbors("r1"), {ADDR["frr1"]})


if __name__ == "__main__":
    ap = argparse.ArgumentParser()
    ap.add_argument("--build-dir", required=True)
    args, rest = ap.parse_known_args()
    BUILD = os.path.abspath(args.build_dir)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
