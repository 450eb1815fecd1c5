#!/usr/bin/env python3
"""Join/Prune flood: how fast a router installs and propagates N entries, what
they cost in memory, and what their refresh costs in CPU.

    sudo python3 bench/jp_flood.py --build-dir build-rel [--n 1000,10000,50000,100000]
                                   [--types sg,xg] [--no-frr] [--window 60]

For each router (ours: cdbd+rtmd+kemd in VPN 1; FRR: zebra+pimd), entry type
((S,G) "sg", (*,G) "xg") and N, a fresh lab puts the router between a
scripted downstream neighbor d1 and a scripted upstream neighbor u1 (lab/,
tests/pylib/routerlab.py); the RP and every source are routed through u1. d1
sends N Joins packed into full-size messages (--per-group (S,G) sources per
group record, distinct sources; one group record per (*,G)), paced at --pace
messages per second (at 2000/s a 50k flood overflows kemd's PIM socket: the
row then shows how many messages it read). Figures:
  install s   from d1's first message until u1 has received Joins covering
              all N entries (kernel receive stamps);
  B/entry     growth of the daemon's RSS (/proc) divided by N;
  CPU         the daemon's user+system CPU seconds over one refresh cycle:
              d1 re-sends everything and the router refreshes upstream every
              --window seconds (its join-prune interval), so with the default
              60 this is CPU seconds per minute at a 60 s refresh; "%core" is
              that per 60 s.
The daemon measured is kemd for ours and pimd for FRR (rtmd and zebra are not
counted). FRR logs at --frr-log level: without kernel multicast routing every
entry it installs fails an mroute call and logs an error. Ratios FRR/ours
follow the table. Needs root. Release build recommended (sanitizers inflate
memory and CPU). Not part of ctest.
"""
import argparse
import os
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "pylib"))
from pimnbr import Group, build_jp, sg, wc  # noqa: E402
import routerlab  # noqa: E402
from routerlab import R_DOWN, RP, TransitLab, up_addr  # noqa: E402

SOURCES = "10.96.0.0/12"  # room for 100k distinct sources
U1 = up_addr(1)
TARGETS = ("targets: 50k (S,G) <= 6 s; 100k <= 2.2 x the 50k time; <= 800 B per (S,G); "
           "< 2% of one core at 100k")


def entries(kind, n, per_group):
    """Group records for n entries and the set of (source or RP, group) keys."""
    groups, keys = [], set()
    if kind == "xg":
        for i in range(n):
            g = "225.%d.%d.%d" % (i >> 16 & 255, i >> 8 & 255, i & 255)
            groups.append(Group(g, [wc(RP)]))
            keys.add((RP, g))
        return groups, keys
    base = 0x0A600000 + 2  # 10.96.0.2: sources after the RP's /16 neighbors
    for gi in range((n + per_group - 1) // per_group):
        g = "226.%d.%d.%d" % (gi >> 16 & 255, gi >> 8 & 255, gi & 255)
        srcs = []
        for k in range(min(per_group, n - gi * per_group)):
            a = base + gi * per_group + k
            s = "%d.%d.%d.%d" % (a >> 24, a >> 16 & 255, a >> 8 & 255, a & 255)
            srcs.append(sg(s))
            keys.add((s, g))
        groups.append(Group(g, srcs))
    return groups, keys


def proc_rss(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    return 0


def proc_cpu(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class Coverage:
    """Counts the distinct entries u1 has been joined for, with the time the
    last missing one arrived."""

    def __init__(self, keys, kind):
        self.want = keys
        self.kind = kind
        self.seen = set()
        self.done_at = None
        self.done = threading.Event()

    def __call__(self, jp):
        if jp.upstream != U1 or self.done_at is not None:
            return
        self.seen |= jp.entries("join", self.kind) & self.want
        if len(self.seen) == len(self.want):
            self.done_at = jp.time
            self.done.set()


def send_paced(nbr, msgs, pace):
    gap = 1.0 / pace
    t = time.monotonic()
    for m in msgs:
        nbr.send(m)
        t += gap
        delay = t - time.monotonic()
        if delay > 0:
            time.sleep(delay)


def run_one(args, router, kind, n):
    groups, keys = entries(kind, n, args.per_group)
    msgs = build_jp(R_DOWN, groups, holdtime=args.holdtime)
    name = "jpf%d" % (os.getpid() % 100000)
    row = {"router": router, "type": kind, "n": n, "msgs": len(msgs)}
    with TransitLab(name, args.build_dir, router, jp_interval=args.window, hello=30,
                    keep=False, sources=SOURCES, frr_log=args.frr_log) as lab:
        d1, u1 = lab.down_nbrs[0], lab.up_nbrs[0]
        pid = lab.pid("r1", "kemd" if router == "kem" else "pimd")
        time.sleep(2)
        rss0 = proc_rss(pid)
        cov = Coverage(keys, "wc" if kind == "xg" else "sg")
        u1.counter = cov
        t0 = time.monotonic()
        send_paced(d1, msgs, args.pace)
        cov.done.wait(args.timeout)
        row["seen"] = len(cov.seen)
        if router == "kem":
            stats = lab.rows("r1", "pim-statistics") or [{}]
            row["rx"] = stats[0].get("rx-join-prune")
        row["install"] = cov.done_at - t0 if cov.done_at else None
        if cov.done_at is None:
            return row
        time.sleep(1)
        row["rss_b"] = (proc_rss(pid) - rss0) / n
        # One refresh cycle: d1 re-sends at the start of the window, the
        # router's own Join timers fall inside it.
        c0 = proc_cpu(pid)
        w0 = time.monotonic()
        send_paced(d1, msgs, args.pace)
        time.sleep(max(0.0, args.window - (time.monotonic() - w0)))
        row["cpu"] = proc_cpu(pid) - c0
    return row


def fmt(v, form):
    return "-" if v is None else format(v, form)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build-dir", default=os.path.join(routerlab.SRC, "build-rel"))
    ap.add_argument("--n", default="1000,10000,50000,100000", help="comma-separated N values")
    ap.add_argument("--types", default="sg,xg", help="sg, xg or both")
    ap.add_argument("--no-frr", action="store_true", help="measure our router only")
    ap.add_argument("--frr-only", action="store_true", help="measure FRR only")
    ap.add_argument("--per-group", type=int, default=10, help="(S,G) sources per group")
    ap.add_argument("--window", type=int, default=60, help="refresh cycle (s) measured for CPU")
    ap.add_argument("--pace", type=float, default=500, help="messages per second sent by d1")
    ap.add_argument("--timeout", type=float, default=240, help="install time limit (s)")
    ap.add_argument("--holdtime", type=int, default=300,
                    help="holdtime of d1's Joins (s): outlasts a slow install")
    ap.add_argument("--frr-log", default="critical",
                    help="FRR's log file level (its failing kernel mroute calls log errors)")
    args = ap.parse_args()
    if os.geteuid() != 0:
        sys.exit("jp_flood.py must run as root")
    args.build_dir = os.path.abspath(args.build_dir)
    routers = [] if args.frr_only else ["kem"]
    if not args.no_frr and routerlab.have_frr():
        routers.append("frr")
    rows = []
    hdr = "%-5s %-3s %7s %5s %8s %7s %8s %6s" % ("rtr", "typ", "N", "msgs", "install", "B/entry",
                                                  "CPU s", "%core")
    print(hdr, flush=True)
    for kind in args.types.split(","):
        for n in [int(x) for x in args.n.split(",")]:
            for router in routers:
                row = run_one(args, router, kind, n)
                rows.append(row)
                inst = fmt(row["install"], "8.2f") if row["install"] is not None else \
                    "  >%.0f s (%d seen, %s of %d messages read)" % (
                        args.timeout, row["seen"], row.get("rx", "?"), row["msgs"])
                cpu = row.get("cpu")
                print("%-5s %-3s %7d %5d %8s %7s %8s %6s" % (
                    router, kind, n, row["msgs"], inst, fmt(row.get("rss_b"), "7.0f"),
                    fmt(cpu, "8.2f"), fmt(cpu and 100 * cpu / 60, "6.2f")), flush=True)
    if len(routers) == 2:
        print("\nratios FRR / ours (above 1: ours is faster or smaller)")
        print("%-3s %7s %8s %8s %8s" % ("typ", "N", "install", "B/entry", "CPU"))
        by = {(r["router"], r["type"], r["n"]): r for r in rows}
        for (router, kind, n), ours in by.items():
            frr = by.get(("frr", kind, n))
            if router != "kem" or not frr:
                continue

            def ratio(key):
                a, b = frr.get(key), ours.get(key)
                return "-" if not a or not b else "%.1f" % (a / b)

            print("%-3s %7d %8s %8s %8s" % (kind, n, ratio("install"), ratio("rss_b"),
                                            ratio("cpu")))
    print("\n" + TARGETS)


if __name__ == "__main__":
    main()
