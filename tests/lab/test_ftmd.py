"""Multicast forwarding end to end through two of our routers (cdbd, rtmd,
kemd, igmpd and ftmd in lab containers, PIM in VPN 1) in a chain, with FRR's
pimd as the RP of 239.6.0.0/16 (10.99.0.1 on its loopback) on the source's
LAN, a receiver behind one router (d1) and behind two (d2), and x, a
scripted router on the routers' shared LAN:

    s, frr1 --lan2-- r1 --lan3-- r2 --lan4-- d2
                     |        |
            d1 --lan1         x

(S,G): a UDP stream reaches both receivers with every packet exactly once and
nothing looping back, a Prune stops the flow to its branch, and restarting
kemd on r1 under a running stream loses no packet. (*,G) through FRR: d2's
membership (igmpd) becomes (*,G) state joined hop by hop towards frr1, which
holds r1's Join, and the stream arrives on r1's RPF interface; x's Prune on
lan3 is overridden by r2 within the LAN's override interval with no packet
lost. With an SPT threshold the (*,G) flow moves to (S,G) entries once the
source's rate passes it, and back once it stops, every packet delivered once.
Needs root and FRR; the lab is taken down whatever happens.
"""
import argparse
import os
import signal
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "pylib"))
from mcast import Receiver, Sender  # noqa: E402
from pimnbr import Group, sg, wc  # noqa: E402
import routerlab  # noqa: E402
from routerlab import RP, RouterLab, frr_join_states, wait_for  # noqa: E402

BUILD = None
NAME = "ftm%d" % (os.getpid() % 100000)
SRC, FRR1, G, G_RP, G_SPT = "10.2.2.10", "10.2.2.2", "239.1.2.3", "239.6.0.1", "239.6.0.2"
R1_LAN1, R1_LAN2, R1_LAN3, R2_LAN3, R2_LAN4 = ("10.1.1.1", "10.2.2.1", "10.3.3.1", "10.3.3.2",
                                               "10.4.4.1")
D1, D2, X = "10.1.1.11", "10.4.4.11", "10.3.3.3"
SPT_KBPS = 1000
JP_S = 8  # longer than the override bound, so that a periodic Join cannot pass for one
HOLD = 30


def topology():
    host = {"kind": "host"}

    def at(ifname, addr, **kw):
        return dict({"if": ifname, "addr": addr + "/24"}, **kw)

    return {
        "name": NAME,
        "routers": {
            "r1": {"kind": "kem", "vpns": [1], "routes": [["10.99.0.0/16", FRR1, 1]]},
            "r2": {"kind": "kem", "vpns": [1], "routes": [["10.99.0.0/16", R1_LAN3, 1],
                                                          ["10.2.2.0/24", R1_LAN3, 1]]},
            "frr1": {"kind": "frr", "loopback": [RP + "/16"],
                     "frr": ["ip pim rp %s 224.0.0.0/4" % RP,
                             "ip pim join-prune-interval %d" % JP_S,
                             "interface lo", " ip pim", "exit"],
                     "routes": [[n, R1_LAN2] for n in ("10.1.1.0/24", "10.3.3.0/24",
                                                        "10.4.4.0/24")]},
            "s": dict(host, routes=[["0.0.0.0/0", R1_LAN2]]),
            "d1": dict(host, routes=[["0.0.0.0/0", R1_LAN1]]),
            "d2": dict(host, routes=[["0.0.0.0/0", R2_LAN4]]),
            "x": host,
        },
        "lans": {
            "lan1": {"members": {"r1": at("eth1", R1_LAN1, vpn=1), "d1": at("eth1", D1)}},
            "lan2": {"members": {"r1": at("eth2", R1_LAN2, vpn=1),
                                 "frr1": at("eth1", FRR1, hello=2), "s": at("eth1", SRC)}},
            "lan3": {"members": {"r1": at("eth3", R1_LAN3, vpn=1),
                                 "r2": at("eth1", R2_LAN3, vpn=1), "x": at("eth1", X)}},
            "lan4": {"members": {"r2": at("eth2", R2_LAN4, vpn=1), "d2": at("eth1", D2)}},
        },
    }


@unittest.skipUnless(os.geteuid() == 0, "needs root for namespaces")
@unittest.skipUnless(routerlab.have_frr(), "needs FRR's pimd")
class Forwarding(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        lab = cls.lab = RouterLab(topology(), BUILD).__enter__()
        cls.closing = []
        try:
            lab.snooping_off()
            lab.configure_kems("set vpn vpn-instance 1 router pim static-rp rp-address " + RP,
                               "set vpn vpn-instance 1 router pim static-rp group-range "
                               "239.6.0.0/16", hello=1, jp_interval=JP_S)
            cls.n1 = lab.nbr("d1", "eth1", D1)
            cls.n2 = lab.nbr("d2", "eth1", D2)
            for n in (cls.n1, cls.n2):
                n.start_hellos(interval=1, holdtime=HOLD)
            lab.wait_adjacent({"r1": {D1}, "r2": {D2}})
            cls.rx1 = cls.receiver("d1", D1, G)
            cls.rx2 = cls.receiver("d2", D2, G)
            cls.tx = cls.sender(G)
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        for x in cls.closing:
            x.close()
        cls.lab.down()

    @classmethod
    def receiver(cls, host, addr, group):
        cls.closing.append(Receiver(routerlab.labtool.netns_path(NAME, host), addr, group))
        return cls.closing[-1]

    @classmethod
    def sender(cls, group, size=64):
        cls.closing.append(Sender(routerlab.labtool.netns_path(NAME, "s"), SRC, group, size=size))
        return cls.closing[-1]

    # Helpers.

    def keep_joined(self, nbr, upstream, group, joins):
        """The Join now and after every Hello, as a neighbor refreshes it."""
        hook = lambda: nbr.send_jp(upstream, [Group(group, joins)], HOLD)  # noqa: E731
        nbr.hello_hooks.append(hook)
        hook()

    def entry(self, router, source=SRC, group=G):
        return self.lab.ftmd_entries(router).get((source, group))

    def oil_len(self, router, source=SRC, group=G):
        e = self.entry(router, source, group)
        return len(e["oil"]) if e else -1

    def xg(self, router):
        for r in self.lab.rows(router, "multicast-topo") or []:
            if (r.get("group"), r.get("entry-type")) == (G_RP, "star-g"):
                return r
        return {}

    def delivered(self, rx, seqs, who=""):
        """Every packet of seqs exactly once at rx, once the last has had time to arrive."""
        def done():
            got = rx.counts()
            return all(got.get(s, 0) > 0 for s in seqs) or None
        try:
            wait_for("%s to receive the stream" % who, done, 3, step=0.2)
        except AssertionError:
            pass
        got = rx.counts()
        missing = [s for s in seqs if got.get(s, 0) == 0]
        dup = {s: got[s] for s in seqs if got.get(s, 0) > 1}
        self.assertEqual((len(missing), dup), (0, {}),
                         "%s: missing %s..." % (who, missing[:10]) if missing else who)

    # (S,G) Joins.

    def test_1_stream_reaches_both_receivers_once(self):
        self.keep_joined(self.n1, R1_LAN1, G, [sg(SRC)])
        self.keep_joined(self.n2, R2_LAN4, G, [sg(SRC)])
        wait_for("r1 to forward to lan1 and lan3", lambda: self.oil_len("r1") == 2, 20)
        wait_for("r2 to forward to lan4", lambda: self.oil_len("r2") == 1, 20)
        self.assertEqual(self.lab.ftmd_state("r1")["backend"], "user-space packet sockets")
        seqs = self.tx.send(400, 200)
        self.delivered(self.rx1, seqs, "d1")
        self.delivered(self.rx2, seqs, "d2")
        # Nothing loops: each router forwarded each packet once, nothing came
        # back (the state file is written every second).
        for r in ("r1", "r2"):
            e = wait_for("%s to count 400 packets" % r,
                         lambda r=r: self.entry(r)["packets"] >= 400 and self.entry(r), 5)
            self.assertEqual(e["packets"], 400, r)
            self.assertEqual([e["drops"][k] for k in ("wrong-iif", "ttl", "own")], [0, 0, 0], r)
        self.assertEqual(self.lab.ftmd_state("r1")["bad-messages"], 0)
        # The same table through the configuration agent.
        row = wait_for("the forwarding table in kemcli",
                       lambda: [r for r in self.lab.rows("r1", "forwarding-table") or []
                                if (r.get("source"), r.get("group"), int(r.get("packets", 0)))
                                == (SRC, G, 400)], 10)[0]
        self.assertEqual(row["state"], "forwarding")

    def test_2_prune_stops_the_branch(self):
        self.n2.hello_hooks.clear()
        self.n2.send_jp(R2_LAN4, [Group(G, prunes=[sg(SRC)])], HOLD)
        wait_for("r1 to stop forwarding to lan3", lambda: self.oil_len("r1") == 1, 20)
        wait_for("r2 to drop its entry", lambda: self.oil_len("r2") < 0, 20)
        n2_before = self.rx2.total()
        self.delivered(self.rx1, self.tx.send(200, 200), "d1")
        self.assertEqual(self.rx2.total(), n2_before, "d2 still receives after its Prune")
        # Back for the restart.
        self.keep_joined(self.n2, R2_LAN4, G, [sg(SRC)])
        wait_for("r1 to forward to lan3 again", lambda: self.oil_len("r1") == 2, 20)

    # (*,G) through FRR's RP.

    def test_3_host_join_reaches_frr_rp_and_stream_flows(self):
        rx = self.receiver("d2", D2, G_RP)
        for router, nbr, rpf_if in (("r2", R1_LAN3, "eth1"), ("r1", FRR1, "eth2")):
            x = wait_for("(*,G) on %s joined towards %s" % (router, nbr),
                         lambda r=router: self.xg(r).get("upstream-state") == "joined"
                         and self.xg(r), 20)
            self.assertEqual((x.get("rp-address"), x.get("rpf-neighbor"),
                              x.get("rpf-interface")), (RP, nbr, rpf_if), router)
        wait_for("frr1 to hold (*,G) from r1", lambda: frr_join_states(
            self.lab.vtysh("frr1", "show ip pim join json"), "eth1", G_RP).get("*") == "JOIN", 20)
        for router in ("r1", "r2"):
            wait_for("ftmd on %s to forward (*,G)" % router,
                     lambda r=router: self.oil_len(r, "0.0.0.0", G_RP) > 0, 10)
        tx = self.sender(G_RP)
        self.delivered(rx, tx.send(400, 200), "d2")

        # x prunes (*,G) off lan3 right after r2's periodic Join, the next
        # one a whole period away: r2's override Join keeps the stream whole.
        x = self.lab.nbr("x", "eth1", X)
        x.start_hellos(interval=1, holdtime=4)
        self.lab.wait_adjacent({"r1": {X}, "r2": {X}}, 15)

        def r2_joins(since):
            return x.messages(since, lambda m: m.src == R2_LAN3 and m.upstream == R1_LAN3
                              and (RP, G_RP) in m.entries("join", "wc"))

        mark = x.mark()
        wait_for("r2's periodic Join", lambda: r2_joins(mark), JP_S + 2, step=0.1)
        mark = x.mark()
        box = []
        sending = threading.Thread(target=lambda: box.append(tx.send(1200, 200)))
        sending.start()  # 6 s, across the prune and the override
        time.sleep(0.5)
        t0 = time.monotonic()
        x.send_jp(R1_LAN3, [Group(G_RP, prunes=[wc(RP)])], 60)
        override = wait_for("r2's override Join", lambda: r2_joins(mark), 6, step=0.1)
        # Within the LAN's override interval (3 s by default).
        self.assertLess(override[0].time - t0, 3.5)
        sending.join()
        self.delivered(rx, box[0], "d2")
        self.assertEqual(self.oil_len("r1", "0.0.0.0", G_RP), 1, "r1 stopped forwarding to lan3")

    def test_4_spt_threshold_moves_the_flow(self):
        for r in ("r1", "r2"):
            self.lab.commit(r, "set vpn vpn-instance 1 router pim spt-threshold %d" % SPT_KBPS)
        self.keep_joined(self.n1, R1_LAN1, G_SPT, [wc(RP)])
        self.keep_joined(self.n2, R2_LAN4, G_SPT, [wc(RP)])
        wait_for("r1 to forward (*,G) to lan1 and lan3",
                 lambda: self.oil_len("r1", "0.0.0.0", G_SPT) == 2, 30)
        wait_for("r2 to forward (*,G) to lan4",
                 lambda: self.oil_len("r2", "0.0.0.0", G_SPT) == 1, 30)
        xg = self.entry("r1", "0.0.0.0", G_SPT)
        self.assertEqual((xg["monitor"], xg["threshold"]), (True, SPT_KBPS))
        rx1 = self.receiver("d1", D1, G_SPT)
        rx2 = self.receiver("d2", D2, G_SPT)
        slow, fast = self.sender(G_SPT), self.sender(G_SPT, size=1400)
        fast.next_seq = 100000
        # Below the threshold: the shared tree only.
        seqs = list(slow.send(300, 100))
        self.delivered(rx2, seqs, "d2")
        self.assertIsNone(self.entry("r2", SRC, G_SPT), "switched below the threshold")
        # Above: (S,G) entries on both routers, no packet lost or doubled.
        seqs += list(fast.send(1000, 200))  # about 2.3 Mbit/s for 5 s
        wait_for("r2 to program (S,G)", lambda: self.entry("r2", SRC, G_SPT), 10)
        wait_for("r1 to program (S,G)", lambda: self.entry("r1", SRC, G_SPT), 10)
        self.assertGreater(self.entry("r2", SRC, G_SPT)["packets"], 0,
                           "no packet on the shortest path")
        self.delivered(rx1, seqs, "d1")
        self.delivered(rx2, seqs, "d2")
        # Silence: the SPT entries go again.
        wait_for("r2 to drop (S,G)", lambda: self.entry("r2", SRC, G_SPT) is None, 30)

    def test_5_kemd_restart_loses_nothing(self):
        kemd = self.lab.pid("r1", "kemd")

        def restart():
            time.sleep(2)
            os.kill(kemd, signal.SIGKILL)
            time.sleep(1)
            self.lab.start_kemd("r1")
        t = threading.Thread(target=restart)
        t.start()
        seqs = self.tx.send(3000, 200)  # 15 s, across the restart
        t.join()
        self.delivered(self.rx1, seqs, "d1")
        self.delivered(self.rx2, seqs, "d2")
        wait_for("the new kemd to re-add the entry",
                 lambda: not (self.entry("r1") or {"stale": True})["stale"], 30)
        self.assertEqual(self.oil_len("r1"), 2)


if __name__ == "__main__":
    ap = argparse.ArgumentParser()
    ap.add_argument("--build-dir", required=True)
    args, rest = ap.parse_known_args()
    BUILD = os.path.abspath(args.build_dir)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
