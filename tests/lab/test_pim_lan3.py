"""One LAN of three real routers, two of ours (k1, k2) and FRR's pimd (f1),
where FRR is the upstream router of one tree and a downstream router of
another:

    s --lan1-- k1 --lanx-- k2 --lan2-- d2
                      |
                      +--- f1 --lanf-- f   (and a listener o on lanx)

(*,G) in 239/8 is rooted at the RP on f1's loopback, so f1 is upstream of k1
and k2; (S,G) in 232/8 with S on lan1 is rooted at k1, so k2 and f1 are its
downstream routers and the stream from S reaches d2 through k1 and k2. The
scripted neighbors on s, d2 and f stand for each router's downstream
interest. Needs root.
"""

import argparse
import os
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "pylib"))
import routerlab  # noqa: E402
from mcast import Receiver, Sender  # noqa: E402
from pimnbr import Group, sg, wc  # noqa: E402
from routerlab import RP, RouterLab  # noqa: E402

BUILD_DIR = None

# The three-router LAN.
K1_S, K1_X, K2_X, K2_D, F1_X, F1_F = ("10.1.1.1", "10.5.5.1", "10.5.5.2", "10.2.2.1", "10.5.5.3",
                                      "10.6.6.1")
SRC, D2, F, OBS = "10.1.1.10", "10.2.2.11", "10.6.6.11", "10.5.5.9"
G_XG, G_SG, G_SG2 = "239.7.7.1", "232.7.7.1", "232.7.7.2"
LAN_JP_S = 5
OVERRIDE_S = 4.0  # the LAN's override interval (3 s at most here) and 1 s ticks


def three_router_topology(name):
    host = {"kind": "host"}
    return {
        "name": name,
        "routers": {
            "k1": {"kind": "kem", "vpns": [1], "routes": [["10.99.0.0/16", F1_X, 1]]},
            "k2": {"kind": "kem", "vpns": [1], "routes": [["10.99.0.0/16", F1_X, 1],
                                                          ["10.1.1.0/24", K1_X, 1]]},
            "f1": {"kind": "frr", "loopback": [RP + "/16"],
                   "frr": ["ip pim rp %s 239.0.0.0/8" % RP,
                           "ip pim join-prune-interval %d" % LAN_JP_S,
                           "interface lo", " ip pim", "exit"],
                   "routes": [["10.1.1.0/24", K1_X]]},
            "s": dict(host, routes=[["0.0.0.0/0", K1_S]]),
            "d2": dict(host, routes=[["0.0.0.0/0", K2_D]]),
            "f": host,
            "o": host,
        },
        "lans": {
            "lan1": {"members": {"k1": {"if": "eth1", "addr": K1_S + "/24", "vpn": 1},
                                 "s": {"if": "eth1", "addr": SRC + "/24"}}},
            "lanx": {"members": {"k1": {"if": "eth2", "addr": K1_X + "/24", "vpn": 1},
                                 "k2": {"if": "eth1", "addr": K2_X + "/24", "vpn": 1},
                                 "f1": {"if": "eth1", "addr": F1_X + "/24", "hello": 1},
                                 "o": {"if": "eth1", "addr": OBS + "/24"}}},
            "lan2": {"members": {"k2": {"if": "eth2", "addr": K2_D + "/24", "vpn": 1},
                                 "d2": {"if": "eth1", "addr": D2 + "/24"}}},
            "lanf": {"members": {"f1": {"if": "eth2", "addr": F1_F + "/24", "hello": 1},
                                 "f": {"if": "eth1", "addr": F + "/24"}}},
        },
    }


@unittest.skipUnless(os.geteuid() == 0, "needs root for namespaces")
@unittest.skipUnless(routerlab.have_frr(), "needs FRR's pimd")
class PimLanThreeRouters(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.name = "kl3%d" % (os.getpid() % 100000)
        lab = cls.lab = RouterLab(three_router_topology(cls.name), BUILD_DIR).__enter__()
        try:
            for sw in routerlab.labtool.load_state(cls.name)["switches"].values():
                routerlab.labtool.nsenter(sw["pid"], ["ip", "link", "set", "br0", "type",
                                                      "bridge", "mcast_snooping", "0"],
                                          mount=False)
            for r, ifaces in (("k1", {"eth1": K1_S, "eth2": K1_X}),
                              ("k2", {"eth1": K2_X, "eth2": K2_D})):
                lab.configure_kem(r, {i: a + "/24" for i, a in ifaces.items()}, hello=1,
                                  jp_interval=LAN_JP_S)
                out = lab.kemcli(r, "configure", "set vpn vpn-instance 1 router pim static-rp "
                                 "rp-address " + RP, "commit", "exit")
                if out.returncode != 0:
                    raise AssertionError("static RP on %s: %s%s" % (r, out.stdout, out.stderr))
            cls.o = lab.nbr("o", "eth1", OBS)
            cls.x1, cls.x2, cls.x3 = (lab.nbr(h, "eth1", a)
                                      for h, a in (("s", SRC), ("d2", D2), ("f", F)))
            for x in (cls.x1, cls.x2, cls.x3):
                x.start_hellos(interval=1, holdtime=10)
            routerlab.wait_for(
                "the three routers and their scripted neighbors to list each other",
                lambda: {SRC, K2_X, F1_X} <= lab.kem_neighbors("k1")
                and {K1_X, F1_X, D2} <= lab.kem_neighbors("k2")
                and {K1_X, K2_X, F} <= lab.frr_neighbors("f1"), 40, step=1)
            # Downstream interest everywhere: (*,G) behind k1 and k2, (S,G) of
            # both 232/8 groups behind k2 and f1.
            cls.x1.send_jp(K1_S, [Group(G_XG, [wc(RP)])], 120)
            cls.x2.send_jp(K2_D, [Group(G_XG, [wc(RP)]), Group(G_SG, [sg(SRC)]),
                                  Group(G_SG2, [sg(SRC)])], 120)
            cls.x3.send_jp(F1_F, [Group(G_SG, [sg(SRC)]), Group(G_SG2, [sg(SRC)])], 120)
            cls.joined_at = time.monotonic()
            cls.rx = Receiver(routerlab.labtool.netns_path(cls.name, "d2"), D2, G_SG)
            cls.tx = Sender(routerlab.labtool.netns_path(cls.name, "s"), SRC, G_SG)
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        for x in ("rx", "tx"):
            if hasattr(cls, x):
                getattr(cls, x).close()
        cls.lab.down()

    def joins(self, since, src, upstream, entry, kind):
        """Join/Prunes seen on lanx from src (None: anyone) to upstream joining entry."""
        return self.o.messages(since, lambda m: (src is None or m.src == src)
                               and m.upstream == upstream and entry in m.entries("join", kind))

    def prunes(self, since, src, upstream, entry, kind):
        return self.o.messages(since, lambda m: m.src == src and m.upstream == upstream
                               and entry in m.entries("prune", kind))

    def override(self, pruner, pruned, overrider, upstream, entry, kind):
        """Prunes entry at the pruner's downstream neighbor right after a
        periodic Join, so that the next periodic one is a period away; returns
        the time from the pruner's Prune on lanx to the overrider's Join."""
        mark = self.o.mark()
        routerlab.wait_for("a periodic Join", lambda: self.joins(mark, None, upstream, entry,
                                                                 kind), LAN_JP_S + 3, step=0.1)
        mark = self.o.mark()
        pruned()
        prune = routerlab.wait_for("%s's Prune" % pruner, lambda: self.prunes(
            mark, pruner, upstream, entry, kind), 5, step=0.05)[0]
        join = routerlab.wait_for("%s's override Join" % overrider, lambda: [
            m for m in self.joins(mark, overrider, upstream, entry, kind)
            if m.time >= prune.time], OVERRIDE_S + 2, step=0.05)[0]
        return join.time - prune.time

    def fwd_oil(self, router, group):
        return self.lab.fwd_oil(router, SRC, group)

    def test_1_frr_upstream_keeps_the_join_our_router_overrides(self):
        routerlab.wait_for("f1 to hold (*,G) on lanx", lambda: routerlab.frr_join_states(
            self.lab.vtysh("f1", "show ip pim join json"), "eth1", G_XG).get("*") == "JOIN",
            15)
        took = self.override(K1_X, lambda: self.x1.send_jp(K1_S, [Group(G_XG, prunes=[wc(RP)])]),
                             K2_X, F1_X, (RP, G_XG), "wc")
        self.assertLess(took, OVERRIDE_S)
        # Past f1's prune-pending time: the Join of k2 kept the interface.
        time.sleep(OVERRIDE_S)
        self.assertEqual(routerlab.frr_join_states(
            self.lab.vtysh("f1", "show ip pim join json"), "eth1", G_XG).get("*"), "JOIN")

    def test_2_one_join_per_period_from_two_downstream_routers(self):
        # k2 and f1 joined (S,G2) to k1 at set-up: past their first Joins, one
        # suppresses the other's, whichever sends first. Nothing else touches
        # (S,G2) before test 4.
        start = self.joined_at + 3
        end = start + 3 * LAN_JP_S
        routerlab.wait_for("three periods", lambda: time.monotonic() > end, 4 * LAN_JP_S + 3,
                           step=0.2)
        seen = [(m.src, round(m.time - start, 1))
                for m in self.joins(0, None, K1_X, (SRC, G_SG2), "sg") if start <= m.time < end]
        # Three, one more where a period's jitter meets the window's edge; six without.
        self.assertIn(len(seen), (2, 3, 4), "Joins of (S,G2) to k1: %s" % seen)
        self.assertLessEqual({src for src, _ in seen}, {K2_X, F1_X})

    def test_3_frr_prunes_our_router_overrides_without_loss(self):
        for router in ("k1", "k2"):
            routerlab.wait_for("ftmd on %s to forward (S,G)" % router,
                               lambda r=router: self.fwd_oil(r, G_SG), 15)
        warm = self.tx.send(200, 200)
        time.sleep(1.0)
        got = self.rx.counts()
        self.assertEqual([q for q in warm if got.get(q) != 1], [], "the path before the prune")
        box = []
        sender = threading.Thread(target=lambda: box.append(self.tx.send(2000, 200)))
        sender.start()  # 10 s, across the wait for a periodic Join, the prune and the override
        try:
            took = self.override(F1_X, lambda: self.x3.send_jp(F1_F, [Group(G_SG,
                                                                              prunes=[sg(SRC)])]),
                                 K2_X, K1_X, (SRC, G_SG), "sg")
        finally:
            sender.join()
        self.assertLess(took, OVERRIDE_S)
        time.sleep(1.0)
        got = self.rx.counts()
        missing = [q for q in box[0] if got.get(q, 0) == 0]
        dup = {q: got[q] for q in box[0] if got.get(q, 0) > 1}
        self.assertEqual((len(missing), dup), (0, {}), "missing %s" % missing[:10])
        self.assertEqual(len(self.fwd_oil("k1", G_SG)), 1, "k1 stopped forwarding to lanx")

    def test_4_our_router_prunes_frr_overrides(self):
        self.assertEqual(len(self.fwd_oil("k1", G_SG2)), 1)
        took = self.override(K2_X, lambda: self.x2.send_jp(K2_D, [Group(G_SG2,
                                                                          prunes=[sg(SRC)])]),
                             F1_X, K1_X, (SRC, G_SG2), "sg")
        self.assertLess(took, OVERRIDE_S)
        # Past k1's prune-pending time: the Join of f1 kept the interface.
        time.sleep(OVERRIDE_S)
        self.assertEqual(len(self.fwd_oil("k1", G_SG2)), 1, "k1 dropped lanx though f1 joined")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    args, rest = parser.parse_known_args()
    BUILD_DIR = os.path.abspath(args.build_dir)
    unittest.main(argv=[sys.argv[0]] + rest)
