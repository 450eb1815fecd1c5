"""Assert with FRR's pimd: r1 is ours and f1 is FRR's pimd, on lans and on a
receivers' LAN lana. FRR forwards nothing on this kernel, so the duplicates
r1's forwarding plane reports are sent by lana's host with the source's
address; r1 asserts, and FRR, which cannot assert here (its CouldAssert stays
false without kernel multicast routing), becomes the loser. FRR's `show ip pim
assert` must name r1 as the winner, as our tables do, and its
`show ip pim assert-winner-metric` must hold the metric our Assert carried.
FRR 8.4 has no JSON for either, so their text tables are read.

Needs root and FRR; the lab is taken down whatever happens.
"""
import argparse
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "pylib"))
import test_assert as al  # noqa: E402
import routerlab  # noqa: E402
from routerlab import wait_for  # noqa: E402
from test_assert import G, SRC, AssertLab, spoof  # noqa: E402


@unittest.skipUnless(os.geteuid() == 0, "needs root for namespaces")
@unittest.skipUnless(routerlab.have_frr(), "needs FRR's pimd")
class AssertFrr(AssertLab, unittest.TestCase):
    R1, F1, D = "10.5.5.2", "10.5.5.1", "10.5.5.11"

    @classmethod
    def setUpClass(cls):
        cls.start("asf%d" % (os.getpid() % 100000), {"r1": "kem", "f1": "frr"},
                  {"lana": ("da", {"host": cls.D, "r1": ("eth2", cls.R1),
                                   "f1": ("eth2", cls.F1)})})

    @classmethod
    def tearDownClass(cls):
        cls.stop()

    def frr_table(self, cmd):
        """Rows of (S,G) on eth2 in a text table of FRR's (8.4 has no JSON for these)."""
        out = self.lab.run("f1", "vtysh", "--vty_socket", "/run/frr", "-c", cmd).stdout
        return [line.split() for line in out.splitlines()
                if line.split()[:4] == ["eth2", self.F1, SRC, G]]

    def test_frr_loses_to_us_and_agrees_on_winner_and_metric(self):
        wait_for("r1 to forward onto lana", lambda: self.fwd_oil("r1") == ["eth2"], 20)

        def frr_joined():
            j = self.lab.vtysh("f1", "show ip pim join json")
            return routerlab.frr_join_states(j, "eth2", G).get(SRC) == "JOIN"

        wait_for("f1 to hold the (S,G) Join of lana", frr_joined, 20)
        # From now on the downstream router joins r1 only, as a real one does
        # once r1 wins: a Join to the loser would end FRR's loser state.
        self.upstreams["lana"][:] = [self.R1]
        spoof(routerlab.labtool.netns_path(self.lab.name, "da"), "eth1", 100)
        wait_for("f1 to take r1 as the winner of lana",
                 lambda: [r[4:6] for r in self.frr_table("show ip pim assert")]
                 == [["LOSER", self.R1]], 10)
        self.assertEqual(self.winner_flags("r1"), {"eth2": True})
        self.assertEqual(self.fwd_oil("r1"), ["eth2"])
        ours = [a for a in self.nbrs["lana"].asserts if a.src == self.R1]
        self.assertTrue(ours)
        metric = self.frr_table("show ip pim assert-winner-metric")
        self.assertEqual([r[4:] for r in metric],
                         [["yes" if ours[-1].rpt else "no", str(ours[-1].pref),
                           str(ours[-1].metric), self.R1]])


if __name__ == "__main__":
    ap = argparse.ArgumentParser()
    ap.add_argument("--build-dir", required=True)
    args, rest = ap.parse_known_args()
    al.BUILD = os.path.abspath(args.build_dir)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
