"""Routing state on the wire: our router (cdbd, rtmd and kemd in a lab
container, PIM configured in VPN 1 through kemcli) between scripted PIM
neighbors: d1 and d2 downstream on lan1, u1 and u2 upstream on lan2, with the
RP and the sources routed through u1 by a kernel route in the VPN.

Checks the (*,G) Join towards the RP and its refresh every join-prune
interval, the Prune to the old and the Join to the new neighbor when the route
moves, the upstream Prune on expiry and on the last receiver's Prune, the
(S,G,rpt) prunes carried in the (*,G) Join (also split over several
messages, each carrying the Join), prune-pending with one and two downstream neighbors (Prune echo,
Join override), and that tshark decodes every Join/Prune we sent cleanly.

`--router frr` runs the same checks against FRR's pimd (harness validation).
Needs root; the lab is taken down whatever happens.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "pylib"))
from pimnbr import Group, rpt, sg, wc, write_pcap  # noqa: E402
import routerlab  # noqa: E402
from routerlab import RP, R_DOWN, R_UP, TransitLab, down_addr, up_addr  # noqa: E402

BUILD = None
KIND = "kem"
NAME = "prt%d" % (os.getpid() % 100000)
JP_S = 5
HOLD = 60  # holdtime of the scripted downstream Joins
U1, U2 = up_addr(1), up_addr(2)
LAN_PRUNE_DELAY = (500, 1000, False)  # prop delay, override interval (ms), T bit


def has(verb, kind, src, group):
    return lambda m: (src, group) in m.entries(verb, kind)


def to(upstream, pred):
    return lambda m: m.upstream == upstream and pred(m)


@unittest.skipUnless(os.geteuid() == 0, "needs root for namespaces")
class PimRouting(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if KIND == "frr" and not routerlab.have_frr():
            raise unittest.SkipTest("needs FRR")
        cls.lab = TransitLab(NAME, BUILD, KIND, ndown=2, nup=2, jp_interval=JP_S,
                             lan_prune_delay=LAN_PRUNE_DELAY).__enter__()
        cls.d1, cls.d2 = cls.lab.down_nbrs
        cls.u1, cls.u2 = cls.lab.up_nbrs

    @classmethod
    def tearDownClass(cls):
        lab = cls.lab
        lab.down()

    def join(self, group, src=None, nbr=None, holdtime=HOLD, prunes=()):
        """A downstream (*,G) Join (or an (S,G) Join with src) to our router."""
        joins = [sg(src)] if src else [wc(RP)]
        (nbr or self.d1).send_jp(R_DOWN, [Group(group, joins, prunes)], holdtime)

    def prune(self, group, nbr=None):
        (nbr or self.d1).send_jp(R_DOWN, [Group(group, prunes=[wc(RP)])], HOLD)

    def expect(self, nbr, pred, what, timeout=4.0, since=0):
        m = nbr.wait_jp(pred, timeout, since)
        if m is None:
            self.fail("no %s within %.0f s; %s got: %s" % (what, timeout, nbr.addr,
                                                           nbr.messages(since)[-5:]))
        return m

    def test_1_join_towards_rp_and_refresh(self):
        g = "239.1.1.1"
        mark = self.u1.mark()
        t0 = time.monotonic()
        self.join(g)
        first = self.expect(self.u1, to(U1, has("join", "wc", RP, g)), "(*,G) Join to u1",
                            since=mark)
        self.assertLess(first.time - t0, 3.0)
        self.assertIn(first.holdtime, (int(JP_S * 3.5), int(JP_S * 3.5) + 1))
        self.assertEqual(first.src, R_UP)
        # Periodic refresh: the gaps settle to the join-prune interval.
        def gaps():
            times = [m.time for m in self.u1.messages(mark, to(U1, has("join", "wc", RP, g)))]
            found = [b - a for a, b in zip(times, times[1:]) if b - a > 2]
            return found if len(found) >= 2 else None

        for gap in routerlab.wait_for("two refreshes", gaps, 3 * JP_S + 1, step=0.2):
            self.assertAlmostEqual(gap, JP_S, delta=1.5)
        # The last receiver's Prune prunes upstream (one neighbor: no wait).
        mark = self.u1.mark()
        self.prune(g)
        self.expect(self.u1, to(U1, has("prune", "wc", RP, g)), "(*,G) Prune to u1", since=mark)

    def test_2_rpf_change_moves_the_join(self):
        g = "239.1.1.2"
        self.join(g)
        self.expect(self.u1, to(U1, has("join", "wc", RP, g)), "(*,G) Join to u1")
        m1, m2 = self.u1.mark(), self.u2.mark()
        self.lab.route("r1", routerlab.SOURCES, U2, vpn=1 if KIND == "kem" else None)
        try:
            self.expect(self.u1, to(U1, has("prune", "wc", RP, g)), "(*,G) Prune to u1",
                        timeout=8, since=m1)
            self.expect(self.u2, to(U2, has("join", "wc", RP, g)), "(*,G) Join to u2",
                        timeout=8, since=m2)
        finally:
            m1, m2 = self.u1.mark(), self.u2.mark()
            self.lab.route("r1", routerlab.SOURCES, U1, vpn=1 if KIND == "kem" else None)
        # And back: u2 gets the Prune, u1 the Join.
        self.expect(self.u2, to(U2, has("prune", "wc", RP, g)), "(*,G) Prune to u2",
                    timeout=8, since=m2)
        self.expect(self.u1, to(U1, has("join", "wc", RP, g)), "(*,G) Join back to u1",
                    timeout=8, since=self.u1.mark())
        self.prune(g)

    def test_3_expiry_prunes_upstream(self):
        g, s = "239.1.1.3", "10.99.0.33"
        mark = self.u1.mark()
        t0 = time.monotonic()
        self.join(g, holdtime=4)
        self.join(g, src=s, holdtime=4)
        self.expect(self.u1, to(U1, has("join", "wc", RP, g)), "(*,G) Join", since=mark)
        self.expect(self.u1, to(U1, has("join", "sg", s, g)), "(S,G) Join", since=mark)
        p = self.expect(self.u1, to(U1, has("prune", "wc", RP, g)), "(*,G) Prune on expiry",
                        timeout=10, since=mark)
        self.assertGreater(p.time - t0, 3.5)
        self.expect(self.u1, to(U1, has("prune", "sg", s, g)), "(S,G) Prune on expiry",
                    timeout=4, since=mark)

    def test_4_sgrpt_prunes_ride_in_the_xg_join(self):
        g = "239.1.1.4"
        s1, s2 = "10.99.0.41", "10.99.0.42"
        mark = self.u1.mark()
        self.join(g, prunes=[rpt(s1), rpt(s2)])

        def xg_join_pruning(*srcs):
            want = {(s, g) for s in srcs}
            return to(U1, lambda m: (RP, g) in m.entries("join", "wc")
                      and want <= m.entries("prune", "rpt"))

        self.expect(self.u1, xg_join_pruning(s1, s2), "(*,G) Join with both (S,G,rpt) prunes",
                    timeout=JP_S + 3, since=mark)
        # The next refresh carries them again.
        mark = self.u1.mark()
        self.join(g, prunes=[rpt(s1), rpt(s2)])
        self.expect(self.u1, xg_join_pruning(s1, s2), "refreshed (*,G) Join with the prunes",
                    timeout=JP_S + 3, since=mark)
        # A (*,G) Join without the prune of s2 ends it: an (S,G,rpt) Join for
        # s2 goes up and later (*,G) Joins prune only s1.
        mark = self.u1.mark()
        self.join(g, prunes=[rpt(s1)])
        self.expect(self.u1, to(U1, has("join", "rpt", s2, g)), "(S,G,rpt) Join for s2",
                    since=mark)
        m = self.expect(self.u1, xg_join_pruning(s1), "(*,G) Join pruning s1",
                        timeout=JP_S + 3, since=self.u1.mark())
        self.assertNotIn((s2, g), m.entries("prune", "rpt"))
        self.prune(g)

    def test_5_prune_pending_one_and_two_downstream_neighbors(self):
        g = "239.1.1.5"
        # One neighbor on the LAN: the Prune takes effect at once, no echo.
        self.join(g)
        self.expect(self.u1, to(U1, has("join", "wc", RP, g)), "(*,G) Join")
        mu, md = self.u1.mark(), self.d1.mark()
        t0 = time.monotonic()
        self.prune(g)
        p = self.expect(self.u1, to(U1, has("prune", "wc", RP, g)), "(*,G) Prune", since=mu)
        single = p.time - t0
        self.assertLess(single, 1.5)
        echo = to(R_DOWN, has("prune", "wc", RP, g))
        self.assertEqual(self.d1.messages(md, echo), [], "no Prune echo with one neighbor")

        # Two neighbors: d2 overrides d1's Prune with a Join.
        self.d2.start_hellos(interval=JP_S, holdtime=int(JP_S * 3.5),
                             lan_prune_delay=LAN_PRUNE_DELAY)
        try:
            routerlab.wait_for("r1 to list d2", lambda: down_addr(2) in self.lab.neighbors(), 20)
            self.join(g)
            self.expect(self.u1, to(U1, has("join", "wc", RP, g)), "(*,G) Join again")
            mu, md = self.u1.mark(), self.d1.mark()
            self.prune(g)
            time.sleep(0.3)
            self.join(g, nbr=self.d2)
            time.sleep(2.5)  # past the override interval of 1.5 s
            self.assertEqual(self.u1.messages(mu, to(U1, has("prune", "wc", RP, g))), [],
                             "the Join override keeps the (*,G) state")
            self.assertEqual(self.d1.messages(md, echo), [], "no echo after an override")
            # Without override: Prune after the prune-pending time, and its echo.
            mu, md = self.u1.mark(), self.d1.mark()
            t0 = time.monotonic()
            self.prune(g)
            p = self.expect(self.u1, to(U1, has("prune", "wc", RP, g)), "(*,G) Prune",
                            timeout=8, since=mu)
            self.assertGreater(p.time - t0, 1.0, "Prune before the prune-pending time")
            e = self.expect(self.d1, echo, "Prune echo on lan1", timeout=2, since=md)
            self.assertEqual(e.src, R_DOWN)
        finally:
            self.d2.stop_hellos(goodbye=True)

    def test_6_split_xg_join_carries_every_sgrpt_prune(self):
        # Sources on the shortest-path tree through u2 while the RP is through
        # u1: every one is pruned off the shared tree, more than fit one message.
        g = "239.1.1.6"
        srcs = ["10.98.1.%d" % i for i in range(1, 201)]
        want = {(x, g) for x in srcs}
        vpn = 1 if KIND == "kem" else None
        self.lab.route("r1", "10.98.0.0/16", U2, vpn=vpn)
        try:
            mark, mark2 = self.u1.mark(), self.u2.mark()
            self.d1.send_jp(R_DOWN, [Group(g, [wc(RP)] + [sg(x) for x in srcs])], HOLD)

            def joined():
                return set().union(*[m.entries("join", "sg")
                                     for m in self.u2.messages(mark2, to(U2, bool))])

            routerlab.wait_for("(S,G) Joins for all 200 sources to u2",
                               lambda: want <= joined(), 10)

            def pruned():
                parts = self.u1.messages(mark, to(U1, lambda m: m.entries("prune", "rpt")))
                return set().union(*[m.entries("prune", "rpt") for m in parts]), parts

            routerlab.wait_for("(*,G) Joins to u1 pruning all 200 sources",
                               lambda: want <= pruned()[0], JP_S + 5)
            for m in pruned()[1]:
                self.assertIn((RP, g), m.entries("join", "wc"), "prunes without the (*,G) Join")
        finally:
            self.d1.send_jp(R_DOWN, [Group(g, prunes=[wc(RP)] + [sg(x) for x in srcs])], HOLD)
            self.lab.route("r1", "10.98.0.0/16", U2, vpn=vpn, verb="del")

    def test_7_tshark_decodes_our_messages(self):
        if not shutil.which("tshark"):
            self.skipTest("tshark not installed")
        ours = [m.raw for n in (self.u1, self.d1) for m in n.messages()
                if m.src in (R_DOWN, R_UP)]
        self.assertGreater(len(ours), 5)
        self.assertEqual(self.u1.bad + self.d1.bad, 0, "malformed or bad checksum")
        with tempfile.TemporaryDirectory() as tmp:
            pcap = os.path.join(tmp, "jp.pcap")
            write_pcap(pcap, ours)
            out = subprocess.run(["tshark", "-r", pcap, "-Y", "pim.type == 3"],
                                 capture_output=True, text=True, timeout=60)
            self.assertEqual(len(out.stdout.splitlines()), len(ours), out.stderr)
            bad = subprocess.run(["tshark", "-r", pcap, "-Y",
                                  "_ws.malformed || _ws.expert.severity >= warning || "
                                  "pim.cksum.status != 1"],
                                 capture_output=True, text=True, timeout=60).stdout
            self.assertEqual(bad.strip(), "", "tshark finds fault with our messages")


if __name__ == "__main__":
    ap = argparse.ArgumentParser()
    ap.add_argument("--build-dir", required=True)
    ap.add_argument("--router", choices=("kem", "frr"), default="kem")
    args, rest = ap.parse_known_args()
    BUILD = os.path.abspath(args.build_dir)
    KIND = args.router
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
