#!/usr/bin/env python3
"""Multicast through our routers: the forwarding lab of tests/lab/test_ftmd.py
(a source host, r1 and r2 in a chain, a receiver behind each) brought up as
"stream", receivers joined through scripted (S,G) Joins, a UDP stream sent,
and what the receivers got and each router's forwarding table printed. The
lab keeps running (the Joins stop with this script and expire) until
`python3 lab/lab.py down stream`.

    python3 lab/demo_stream.py [--build-dir build-rel] [--count 200]
"""
import argparse
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "lab"))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "pylib"))
import test_ftmd as t  # noqa: E402
from mcast import Receiver, Sender  # noqa: E402
import routerlab  # noqa: E402


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build-dir", default=os.path.join(HERE, "..", "build-rel"))
    ap.add_argument("--count", type=int, default=200)
    args = ap.parse_args()
    if os.geteuid() != 0:
        sys.exit("needs root")
    t.NAME = "stream"
    t.BUILD = os.path.abspath(args.build_dir)
    t.Forwarding.setUpClass()
    demo = t.Forwarding("test_1_stream_reaches_both_receivers_once")
    demo.keep_joined(t.Forwarding.n1, t.R1_LAN1)
    demo.keep_joined(t.Forwarding.n2, t.R2_LAN4)
    routerlab.wait_for("r1 and r2 to program the stream",
                       lambda: demo.oil_len("r1") == 2 and demo.oil_len("r2") == 1, 30)
    print("sending %d datagrams from %s to %s" % (args.count, t.SRC, t.G))
    t.Forwarding.tx.send(args.count, 100)
    time.sleep(1)
    for name, rx in (("d1 behind r1", t.Forwarding.rx1), ("d2 behind r1 and r2",
                                                         t.Forwarding.rx2)):
        got = rx.counts()
        print("%-20s received %d of %d, %d twice" % (name, len(got), args.count,
                                                     sum(1 for c in got.values() if c > 1)))
    for r in ("r1", "r2"):
        out = demo.lab.kemcli(r, "show forwarding-table")
        print("--- %s: kemcli show forwarding-table\n%s" % (r, out.stdout.strip()))
    print("lab 'stream' keeps running; take it down with: python3 lab/lab.py down stream")


if __name__ == "__main__":
    main()
