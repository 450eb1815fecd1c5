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
import test_pim_neighbors as nl  # noqa: E402

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
        # Ours and FRR each announce priority 0 from the highest addresses:
        # 0 is the lowest priority, not "none", so 10.77.0.1 is DR everywhere.
        r1 = nl.Router(self.lan, "a", 1, self.workdir, dr_priority=1)
        self.procs.append(r1)
        r2 = nl.Router(self.lan, "b", 9, self.workdir, dr_priority=0)
        self.procs.append(r2)
        frr = nl.Frr(self.lan, "f", 12, self.workdir, dr_priority=0)
        self.procs.append(frr)
        nl.wait_for("all three adjacent",
                    lambda: set(r1.neighbors()) == {r2.addr, frr.addr}
                    and set(r2.neighbors()) == {r1.addr, frr.addr}
                    and frr.neighbors() == {r1.addr, r2.addr}, timeout=25)
        self.assertEqual(r1.neighbors()[frr.addr]["dr_priority"], 0)
        nl.wait_for("DR 10.77.0.1 on every router",
                    lambda: r1.dr() == r1.addr and r2.dr() == r1.addr and frr.dr() == r1.addr)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    args, rest = parser.parse_known_args()
    nl.BUILD_DIR = os.path.abspath(args.build_dir)
    unittest.main(argv=[sys.argv[0]] + rest)
