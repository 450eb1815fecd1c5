"""Mixed LANs of our routers and FRR's pimd: DR election with priority 0.

Reuses the LAN, router and FRR helpers of the neighbor lab with namespace
names of its own. Needs root.
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
from pimnbr import PimNbr  # noqa: E402

nl.TAG = "klan%d" % (os.getpid() % 100000)


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

if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    args, rest = parser.parse_known_args()
    nl.BUILD_DIR = os.path.abspath(args.build_dir)
    unittest.main(argv=[sys.argv[0]] + rest)
