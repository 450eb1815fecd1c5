#!/usr/bin/env python3
"""Hostile input: COUNT mutated PIM and Auto-RP messages (tests/soak/pim_junk.py)
sent from spoofed sources on r1's lan1 at r1, the router under test of the
soak lab (tests/soak/soaklab.py; r2, a second kemd router, is its real
neighbor), while r1 holds its state and forwards a stream. r1 must keep its
adjacencies with r2 and the scripted neighbors throughout, its RSS must not
grow by more than GROWTH MiB, and once the junk's neighbors have said goodbye
and its short holdtimes have passed, r1's tables must be back to what they
were and its RSS back within SLACK MiB of where it was. Prune(S,G,rpt)s that
reached PRUNED hold without a timer until a (*,G) Join or Prune for their
group: they are counted, then ended by a (*,G) Join from the scripted
neighbor, before the comparison. Prints the figures
(rate, r1's receive counters, RSS) and PASS or FAIL.

    sudo python3 tests/soak/hostile_pim.py --build-dir build-rel [--count 1000000] [--pps 20000]

On an AddressSanitizer build r1's daemons are stopped in order at the end and
their output checked for sanitizer reports (leaks included).
"""
import argparse
import json
import os
import socket
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import soaklab  # noqa: E402
from companion_kill import is_asan  # noqa: E402
from pim_junk import Junk  # noqa: E402
from pimnbr import Group, in_netns, wc  # noqa: E402
from soaklab import D1, R1_LAN1, R1_LAN3, R2_LAN3, RP, SoakLab, rss_kib  # noqa: E402

POOL = ["10.1.1.%d" % i for i in range(100, 200)]
BATCH = 20000
STATS = ("rx-hello", "rx-join-prune", "rx-assert", "rx-auto-rp-announce", "rx-auto-rp-mapping",
         "rx-unsupported", "rx-unknown", "rx-bad", "rx-bad-addr-records", "rx-nbr-limit")


def raw_socket(lab):
    def open_sock():
        s = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW)
        s.setsockopt(socket.SOL_SOCKET, 25, b"eth1")  # SO_BINDTODEVICE
        s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(D1))
        s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_LOOP, 0)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 4 << 20)
        return s
    return in_netns(soaklab.labtool.netns_path(lab.name, "d1"), open_sock)


def counters(lab):
    rows = lab.rows("r1", "pim-statistics") or []
    return {k: int(r.get(k, 0)) for r in rows for k in STATS if str(r.get("vpn-id")) == "1"}


class Watch:
    """Samples r1's adjacencies and kemd's RSS while the junk flows."""

    def __init__(self, lab, kemd):
        self.lab, self.kemd = lab, kemd
        self.peak = rss_kib(kemd)
        self.samples = self.failed_queries = 0
        self.lost = []
        self.running = True
        self.t = threading.Thread(target=self.run, daemon=True)
        self.t.start()

    def run(self):
        want = {D1, RP, R2_LAN3}
        while self.running:
            self.peak = max(self.peak, rss_kib(self.kemd))
            r1 = self.lab.rows("r1", "pim-neighbor")
            r2 = self.lab.rows("r2", "pim-neighbor")
            if r1 is None or r2 is None:
                self.failed_queries += 1
            else:
                self.samples += 1
                have = {n["neighbor-address"] for n in r1}
                missing = sorted(want - have)
                if R1_LAN3 not in {n["neighbor-address"] for n in r2}:
                    missing.append("r2 lost " + R1_LAN3)
                if missing:
                    self.lost.append(missing)
            time.sleep(2)

    def stop(self):
        self.running = False
        self.t.join(timeout=30)


def clear_pinned_prunes(lab, baseline, settle=15):
    """A Prune(S,G,rpt) that reached PRUNED holds without a timer until the
    next (*,G) Join or Prune for its group on the interface: d1's (*,G) Join
    with a 1 s holdtime, and no Prune(S,G,rpt) beside it, ends the junk's.
    Returns how many there were."""
    time.sleep(settle)
    known = {json.loads(r)["group"] for r in baseline["multicast-topo"]}
    groups = sorted({r["group"] for r in lab.rows("r1", "multicast-topo") or []
                     if r.get("entry-type") == "source-g-rpt" and r["group"] not in known})
    pinned = sum(1 for r in lab.rows("r1", "multicast-topo") or []
                 if r.get("entry-type") == "source-g-rpt" and r["group"] in groups)
    if groups:
        lab.d1.send_jp(R1_LAN1, [Group(g, [wc(RP)]) for g in groups], holdtime=1)
    return pinned


def send_all(sock, packets, pps, started, sent):
    for pkt, dst in packets:
        if pps:
            delay = started + sent / pps - time.monotonic()
            if delay > 0:
                time.sleep(delay)
        for _ in range(100):
            try:
                sock.sendto(pkt, (dst, 0))
                break
            except (BlockingIOError, OSError):
                time.sleep(0.001)
        sent += 1
    return sent


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build-dir", default="build-rel")
    ap.add_argument("--count", type=int, default=1000000)
    ap.add_argument("--pps", type=int, default=20000, help="send rate, 0 for as fast as possible")
    ap.add_argument("--growth-mib", type=float, default=32)
    ap.add_argument("--slack-mib", type=float, default=4)
    ap.add_argument("--expiry-wait", type=float, default=240,
                    help="seconds allowed for r1's tables to come back after the junk")
    ap.add_argument("--rss-wait", type=float, default=120,
                    help="seconds allowed for kemd's RSS to come back once the tables have")
    ap.add_argument("--malloc-conf", default=None,
                    help="MALLOC_CONF for the routers' daemons (jemalloc options of the Release "
                    "build), e.g. background_thread:true,dirty_decay_ms:1000")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--name", default="sbh%d" % (os.getpid() % 10000))
    args = ap.parse_args()
    soaklab.need_root()
    build = os.path.abspath(args.build_dir)
    if args.malloc_conf:
        os.environ["MALLOC_CONF"] = args.malloc_conf
    asan = is_asan(build)
    if asan:
        soaklab.sanitizer_env()
    failures = []
    with SoakLab(args.name, build, auto_rp=True) as lab:
        baseline = lab.settled()
        kemd = lab.daemon_pid("r1", "kemd")
        rss0 = rss_kib(kemd)
        c0 = counters(lab)
        print("baseline: %s; kemd RSS %.1f MiB" % (
            ", ".join("%s %d" % (t, len(rows)) for t, rows in baseline.items()), rss0 / 1024))
        junk = Junk(R1_LAN1, POOL, args.seed)
        sock = raw_socket(lab)
        watch = Watch(lab, kemd)
        sent, gen_s = 0, 0.0
        started = time.monotonic()
        while sent < args.count:
            t = time.monotonic()
            batch = [junk.packet() for _ in range(min(BATCH, args.count - sent))]
            gen_s += time.monotonic() - t
            sent = send_all(sock, batch, args.pps, started + gen_s, sent)
            if sent % 100000 < BATCH:
                print("%d sent, %.0f s, kemd RSS %.1f MiB" % (
                    sent, time.monotonic() - started, rss_kib(kemd) / 1024), flush=True)
        elapsed = time.monotonic() - started
        time.sleep(2)
        for _ in range(2):
            send_all(sock, junk.goodbyes(), 0, time.monotonic(), 0)
            time.sleep(0.5)
        watch.stop()
        c1 = counters(lab)
        print("sent %d messages in %.0f s (%.0f/s, %.0f s generating): %s" % (
            sent, elapsed, sent / elapsed, gen_s, json.dumps(junk.counts)))
        print("r1 counted: %s" % ", ".join("%s %d" % (k, c1.get(k, 0) - c0.get(k, 0))
                                           for k in STATS))
        print("adjacency samples %d, with a neighbor missing %d%s, queries failed %d" % (
            watch.samples, len(watch.lost), " (%s)" % watch.lost[:3] if watch.lost else "",
            watch.failed_queries))
        if watch.lost:
            failures.append("adjacencies lost in %d samples" % len(watch.lost))
        if lab.pids("r1", "kemd") != [kemd]:
            failures.append("kemd is not the same process")
        else:
            t = time.monotonic()
            pinned = clear_pinned_prunes(lab, baseline)
            print("(S,G,rpt) prunes of the junk still PRUNED after their holdtimes: %d "
                  "(held without a timer until a (*,G) Join; cleared by one)" % pinned)
            try:
                lab.converge(baseline, args.expiry_wait)
                print("r1's tables back to the baseline %.0f s after the junk" % (
                    time.monotonic() - t))
            except AssertionError as e:
                failures.append(str(e))
            # The allocator hands freed pages back over time: the figure is
            # the lowest RSS seen within the wait.
            rss1, t = rss_kib(kemd), time.monotonic()
            while rss1 > rss0 + args.slack_mib * 1024 and time.monotonic() - t < args.rss_wait:
                time.sleep(5)
                rss1 = min(rss1, rss_kib(kemd))
            print("kemd RSS before %.1f MiB, peak %.1f MiB (+%.1f), after expiry %.1f MiB" % (
                rss0 / 1024, watch.peak / 1024, (watch.peak - rss0) / 1024, rss1 / 1024))
            if watch.peak - rss0 > args.growth_mib * 1024:
                failures.append("RSS grew by %.1f MiB" % ((watch.peak - rss0) / 1024))
            if rss1 > rss0 + args.slack_mib * 1024:
                failures.append("RSS %.1f MiB above the baseline after expiry" % (
                    (rss1 - rss0) / 1024))
        sock.close()
        if asan:
            failures += lab.orderly_stop()
    return soaklab.verdict(failures)


if __name__ == "__main__":
    sys.exit(main())
