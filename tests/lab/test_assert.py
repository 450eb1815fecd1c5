"""Assert on a shared LAN: two of our routers (r1, r2), both directly on the
source's LAN, both joined for (S,G) by a scripted neighbor on the receivers'
LAN, so both forward the stream onto it.

    s --lans-- r1, r2 --lanr-- d

The forwarding plane of each sees the other's copies arriving on its outgoing
interface and reports them; both assert, and the router with the higher
address on lanr (r2, equal metrics) stays the winner while r1 loses and
stays quiet, as the routers' Assert counters show. Needs root; the lab is taken down whatever happens.
"""
import argparse
import json
import os
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "pylib"))
from mcast import Sender  # noqa: E402
from pimnbr import Group, sg  # noqa: E402
import routerlab  # noqa: E402
from routerlab import RouterLab, wait_for  # noqa: E402

BUILD = None
NAME = "ast%d" % (os.getpid() % 100000)
SRC, G = "10.2.2.10", "239.1.2.5"
R1, R2, D = "10.5.5.1", "10.5.5.2", "10.5.5.11"
HOLD = 30


def topology():
    host = {"kind": "host"}
    return {
        "name": NAME,
        "routers": {
            "r1": {"kind": "kem", "vpns": [1]},
            "r2": {"kind": "kem", "vpns": [1]},
            "s": dict(host, routes=[["0.0.0.0/0", "10.2.2.1"]]),
            "d": dict(host, routes=[["0.0.0.0/0", R1]]),
        },
        "lans": {
            "lans": {"members": {"r1": {"if": "eth1", "addr": "10.2.2.1/24", "vpn": 1},
                                 "r2": {"if": "eth1", "addr": "10.2.2.2/24", "vpn": 1},
                                 "s": {"if": "eth1", "addr": SRC + "/24"}}},
            "lanr": {"members": {"r1": {"if": "eth2", "addr": R1 + "/24", "vpn": 1},
                                 "r2": {"if": "eth2", "addr": R2 + "/24", "vpn": 1},
                                 "d": {"if": "eth1", "addr": D + "/24"}}},
        },
    }


@unittest.skipUnless(os.geteuid() == 0, "needs root for namespaces")
class Assert(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        lab = cls.lab = RouterLab(topology(), BUILD).__enter__()
        try:
            state = routerlab.labtool.load_state(NAME)
            for sw in state["switches"].values():
                routerlab.labtool.nsenter(sw["pid"], ["ip", "link", "set", "br0", "type",
                                                      "bridge", "mcast_snooping", "0"],
                                          mount=False)
            for r, a, b in (("r1", "10.2.2.1", R1), ("r2", "10.2.2.2", R2)):
                lab.configure_kem(r, {"eth1": a + "/24", "eth2": b + "/24"}, hello=1,
                                  jp_interval=5)
            cls.nbr = lab.nbr("d", "eth1", D)
            cls.nbr.start_hellos(interval=1, holdtime=HOLD)
            wait_for("r1 and r2 to see each other and d",
                     lambda: {R2, D} <= lab.kem_neighbors("r1")
                     and {R1, D} <= lab.kem_neighbors("r2"), 40, step=1)
            cls.tx = Sender(routerlab.labtool.netns_path(NAME, "s"), SRC, G)
        except BaseException:
            lab.down()
            raise

    @classmethod
    def tearDownClass(cls):
        if os.environ.get("KEMD_LAB_SHOW"):
            for r in ("r1", "r2"):
                print(cls.lab.log_tail(r, "syslog.log", 60))
        if hasattr(cls, "tx"):
            cls.tx.close()
        cls.lab.down()

    def oil_len(self, router):
        """Outgoing interfaces of (S,G) in the router's forwarding plane."""
        r = self.lab.run(router, "cat", "/var/run/ftmd.json")
        try:
            vpns = json.loads(r.stdout).get("vpns", [])
        except ValueError:
            return -1
        for v in vpns:
            for e in v["entries"]:
                if (e["source"], e["group"]) == (SRC, G):
                    return len(e["oil"])
        return -1

    def stats(self, router):
        rows = self.lab.rows(router, "pim-statistics") or [{}]
        return int(rows[0].get("tx-assert", 0)), int(rows[0].get("rx-assert", 0))

    def test_one_winner_on_the_lan(self):
        def join_both():
            for up in (R1, R2):
                self.nbr.send_jp(up, [Group(G, [sg(SRC)])], HOLD)
        self.nbr.hello_hooks.append(join_both)
        join_both()
        wait_for("both to forward to lanr",
                 lambda: self.oil_len("r1") == 1 and self.oil_len("r2") == 1, 20)
        # Both forward: each sees the other's copies and asserts. The first
        # Assert from r2 (equal metrics, higher address) makes r1 a loser that
        # asserts no more; r2 answers r1's Assert, if r1 sent one first.
        self.tx.send(200, 100)
        wait_for("r1 to hear r2's Assert", lambda: self.stats("r1")[1] >= 1, 20)
        time.sleep(1)
        tx1, _ = self.stats("r1")
        tx2, rx2 = self.stats("r2")
        self.assertLessEqual(tx1, 1)
        self.assertEqual(tx2, 1 + rx2)
        # More duplicates change nothing: the winner has spoken, the loser is quiet.
        self.tx.send(200, 100)
        time.sleep(1)
        self.assertEqual((self.stats("r1")[0], self.stats("r2")[0]), (tx1, tx2))

if __name__ == "__main__":
    ap = argparse.ArgumentParser()
    ap.add_argument("--build-dir", required=True)
    args, rest = ap.parse_known_args()
    BUILD = os.path.abspath(args.build_dir)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
