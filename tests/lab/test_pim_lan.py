"""Mixed LANs: DR election with priority 0 among our routers, FRR's pimd and
a scripted router; join suppression and prune override on the upstream LAN of
a router (ours, or FRR's with --router frr) next to a scripted upstream u1 and
a scripted second downstream router u2. Reuses the helpers of the neighbor
and routing labs with namespace names of its own. Needs root.
"""

import argparse
import os
import shutil
import signal
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "pylib"))
import test_pim_neighbors as nl  # noqa: E402
import routerlab  # noqa: E402
import time  # noqa: E402
from pimnbr import Group, PimNbr, wc  # noqa: E402
from routerlab import R_DOWN, R_UP, RP, TransitLab, up_addr  # noqa: E402

nl.TAG = "klan%d" % (os.getpid() % 100000)
KIND = "kem"
JP_S = 8  # longer than the override bound, so that a periodic Join cannot pass for one
U1 = up_addr(1)


@unittest.skipUnless(os.geteuid() == 0, "needs root for namespaces")
@unittest.skipUnless(nl.have_frr(), "FRR is not installed")
class PimLanLab(unittest.TestCase):

    def setUp(self):
        self.workdir = tempfile.mkdtemp(prefix="kemd-lan-")
        os.chmod(self.workdir, 0o755)
        self.lan = nl.Lan()
        self.procs = []

    def tearDown(self):
        for p in self.procs:
            nl.stop(p.proc, signal.SIGKILL)
        self.lan.destroy()
        shutil.rmtree(self.workdir, ignore_errors=True)

    def test_priority_zero_loses_everywhere(self):
        # One of ours and a scripted router announce priority 0 from the
        # highest addresses (FRR cannot be configured with 0): 0 is the lowest
        # priority, not "none", so FRR's priority 1 at 10.77.0.12 wins on
        # every router. Were 0 taken as "none", 10.77.0.20 would win by address.
        r1 = nl.Router(self.lan, "a", 1, self.workdir, dr_priority=1)
        self.procs.append(r1)
        r2 = nl.Router(self.lan, "b", 9, self.workdir, dr_priority=0)
        self.procs.append(r2)
        frr = nl.Frr(self.lan, "f", 12, self.workdir, dr_priority=1)
        self.procs.append(frr)
        ns, dev, addr = self.lan.attach("s", 20)
        zero = PimNbr("/run/netns/" + ns, dev, addr)
        self.addCleanup(zero.close)
        zero.start_hellos(interval=1.0, holdtime=4, dr_priority=0)
        everyone = {r1.addr, r2.addr, frr.addr, addr}
        nl.wait_for("all four adjacent",
                    lambda: set(r1.neighbors()) == everyone - {r1.addr}
                    and set(r2.neighbors()) == everyone - {r2.addr}
                    and frr.neighbors() == everyone - {frr.addr}, timeout=25)
        self.assertEqual(r1.neighbors()[r2.addr]["dr_priority"], 0)
        self.assertEqual(r1.neighbors()[addr]["dr_priority"], 0)
        nl.wait_for("DR 10.77.0.12 on every router",
                    lambda: r1.dr() == frr.addr and r2.dr() == frr.addr
                    and frr.dr() == frr.addr)


@unittest.skipUnless(os.geteuid() == 0, "needs root for namespaces")
class PimLanJoins(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if KIND == "frr" and not routerlab.have_frr():
            raise unittest.SkipTest("needs FRR")
        cls.lab = TransitLab("klj%d" % (os.getpid() % 100000), nl.BUILD_DIR, KIND, ndown=1,
                             nup=2, jp_interval=JP_S, lan_prune_delay=(500, 1000, False))
        cls.lab.__enter__()
        cls.d1 = cls.lab.down_nbrs[0]
        cls.u1, cls.u2 = cls.lab.up_nbrs

    @classmethod
    def tearDownClass(cls):
        cls.lab.down()

    def joins_to_u1(self, group, since, src=R_UP):
        return self.u1.messages(since, lambda m: m.src == src and m.upstream == U1
                                and (RP, group) in m.entries("join", "wc"))

    def joined(self, group):
        self.d1.send_jp(R_DOWN, [Group(group, [wc(RP)])], 60)
        routerlab.wait_for("(*,G) Join to u1", lambda: self.joins_to_u1(group, 0), 8)
        time.sleep(1.5)  # past the triggered refresh

    def test_prune_of_another_router_is_overridden_in_time(self):
        g = "239.5.5.1"
        self.joined(g)
        # Right after our periodic Join: the next one is a whole period away.
        mark = self.u1.mark()
        routerlab.wait_for("periodic Join", lambda: self.joins_to_u1(g, mark), JP_S + 2, step=0.1)
        mark = self.u1.mark()
        t0 = time.monotonic()
        self.u2.send_jp(U1, [Group(g, prunes=[wc(RP)])], 60)
        routerlab.wait_for("override Join", lambda: self.joins_to_u1(g, mark), 6, step=0.1)
        # Within the LAN's override interval (3 s announced by us, 1 s ticks).
        self.assertLess(self.joins_to_u1(g, mark)[0].time - t0, 4.0)

    def test_join_of_another_router_suppresses_ours(self):
        g = "239.5.5.2"
        self.joined(g)
        mark = self.u1.mark()
        start = time.monotonic()
        while time.monotonic() < start + 2 * JP_S:
            self.u2.send_jp(U1, [Group(g, [wc(RP)])], 60)
            time.sleep(JP_S * 0.8)
        # One of ours may have been on its way when the first one arrived.
        late = [m.time - start for m in self.joins_to_u1(g, mark) if m.time > start + 1.5]
        self.assertEqual(late, [], "our periodic Join was not suppressed")
        # Once the other router stops, ours come back.
        mark = self.u1.mark()
        routerlab.wait_for("our Join again", lambda: self.joins_to_u1(g, mark), 2 * JP_S + 2)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--router", choices=("kem", "frr"), default="kem")
    args, rest = parser.parse_known_args()
    nl.BUILD_DIR = os.path.abspath(args.build_dir)
    KIND = args.router
    unittest.main(argv=[sys.argv[0]] + rest)
