#!/usr/bin/env python3
"""Membership churn: how fast N groups joined by hosts behind our router are
joined upstream and pruned after the hosts leave, and what N memberships cost
igmpd and kemd at steady state.

    sudo python3 bench/igmp_churn.py --build-dir build-rel [--n 1000,10000] [--types sg,xg]

A fresh lab (tests/pylib/routerlab.py TransitLab) puts our router (cdbd, rtmd,
kemd, igmpd; VPN 1) between host d1 on lan1 and a scripted upstream neighbor
u1 on lan2, through which the RP and the sources are routed. d1 sends IGMPv3
reports for N groups (raw packets from d1's namespace, full-size reports):
ALLOW(S) per group for "sg" ((S,G) memberships, one source per group), IS_EX({})
for "xg" ((*,G), with the VPN's static RP configured), each report twice as a
host repeats its state changes. Then it sends BLOCK(S) (or TO_IN({})) for all
of them and nobody answers the router's queries.
Figures:
  join s     from the first report until u1 has received Joins covering all N;
  prune s    from the first leave until u1 has received Prunes for all N
             (includes the last member query time, 2 s at igmpd's defaults);
  igmpd/kemd RSS growth per membership (B) and CPU seconds over --window
             seconds at steady state (igmpd's general queries and kemd's
             Join refreshes fall inside: the window is the join-prune interval).
Needs root. Release build recommended (sanitizers inflate memory and CPU).
Not part of ctest.
"""
import argparse
import os
import socket
import sys
import time

from benchlib import Coverage, fmt, proc_cpu, proc_rss  # noqa: E402
import routerlab  # noqa: E402
from mcast_host import send_raw, with_checksum  # noqa: E402
from routerlab import RP, TransitLab, down_addr, up_addr  # noqa: E402

SOURCES = "10.96.0.0/12"
U1 = up_addr(1)
PER_REPORT = 100  # group records per report: 12 bytes each with one source


def keys(kind, n):
    """(source or RP, group) of each membership."""
    out = []
    a = 0x0A600001
    for i in range(n):
        g = "227.%d.%d.%d" % (i >> 16 & 255, i >> 8 & 255, i & 255)
        a += 1
        while a & 255 in (0, 255):  # not sources to the router
            a += 1
        s = "%d.%d.%d.%d" % (a >> 24, a >> 16 & 255, a >> 8 & 255, a & 255)
        out.append((RP if kind == "xg" else s, g))
    return out


def reports(kind, members, join):
    """IGMPv3 reports: ALLOW/BLOCK(S) for sg, IS_EX({})/TO_IN({}) for xg."""
    msgs = []
    for i in range(0, len(members), PER_REPORT):
        chunk = members[i:i + PER_REPORT]
        body = b""
        for src, grp in chunk:
            if kind == "xg":
                body += bytes([2 if join else 3, 0, 0, 0]) + socket.inet_aton(grp)
            else:
                body += bytes([5 if join else 6, 0, 0, 1]) + socket.inet_aton(grp) + \
                    socket.inet_aton(src)
        msgs.append(with_checksum(bytes([0x22, 0, 0, 0, 0, 0]) + len(chunk).to_bytes(2, "big") +
                                  body))
    return msgs


def send_reports(lab, msgs):
    """Twice, as a host repeats its state-change reports (robustness 2), a
    millisecond apart."""
    send_raw(lab.name, "d1", down_addr(1), msgs + msgs, gap=0.001)


def run_one(args, kind, n):
    members = keys(kind, n)
    name = "igc%d" % (os.getpid() % 100000)
    row = {"type": kind, "n": n}
    with TransitLab(name, args.build_dir, "kem", jp_interval=args.window, hello=30, keep=False,
                    sources=SOURCES) as lab:
        if kind == "xg":
            r = lab.kemcli("r1", "configure", "set vpn vpn-instance 1 router pim static-rp "
                           "rp-address " + RP, "commit", "exit")
            if r.returncode != 0:
                row["error"] = "no static RP: " + (r.stdout + r.stderr).strip()[:60]
                return row
        u1 = lab.up_nbrs[0]
        pids = {d: lab.pid("r1", d) for d in ("igmpd", "kemd")}
        time.sleep(2)
        rss0 = {d: proc_rss(p) for d, p in pids.items()}
        wc = "wc" if kind == "xg" else "sg"
        cov = Coverage(members, "join", wc, U1)
        u1.counter = cov
        t0 = time.monotonic()
        send_reports(lab, reports(kind, members, True))
        cov.done.wait(args.timeout)
        row["join_seen"] = len(cov.seen)
        row["join"] = cov.done_at - t0 if cov.done_at else None
        time.sleep(2)
        for d, p in pids.items():
            row[d + "_b"] = (proc_rss(p) - rss0[d]) / n
        c0 = {d: proc_cpu(p) for d, p in pids.items()}
        time.sleep(args.window)
        for d, p in pids.items():
            row[d + "_cpu"] = proc_cpu(p) - c0[d]
        cov = Coverage(members, "prune", wc, U1)
        u1.counter = cov
        t0 = time.monotonic()
        send_reports(lab, reports(kind, members, False))
        cov.done.wait(args.timeout)
        row["prune_seen"] = len(cov.seen)
        row["prune"] = cov.done_at - t0 if cov.done_at else None
    return row


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build-dir", default=os.path.join(routerlab.SRC, "build-rel"))
    ap.add_argument("--n", default="1000,10000", help="comma-separated N values")
    ap.add_argument("--types", default="sg,xg", help="sg, xg or both")
    ap.add_argument("--window", type=int, default=60, help="steady-state window (s)")
    ap.add_argument("--timeout", type=float, default=120, help="join and prune time limit (s)")
    args = ap.parse_args()
    if os.geteuid() != 0:
        sys.exit("igmp_churn.py must run as root")
    args.build_dir = os.path.abspath(args.build_dir)
    print("%-3s %6s %7s %7s %8s %8s %9s %9s" % ("typ", "N", "join s", "prune s", "igmpd B",
                                                 "kemd B", "igmpd CPU", "kemd CPU"), flush=True)
    for kind in args.types.split(","):
        for n in [int(x) for x in args.n.split(",")]:
            r = run_one(args, kind, n)
            if "error" in r:
                print("%-3s %6d %s" % (kind, n, r["error"]), flush=True)
                continue
            join = fmt(r["join"], "7.2f") if r["join"] is not None else \
                "  >%.0f (%d)" % (args.timeout, r["join_seen"])
            prune = fmt(r.get("prune"), "7.2f") if r.get("prune") is not None else \
                "  >%.0f (%d)" % (args.timeout, r.get("prune_seen", 0))
            print("%-3s %6d %7s %7s %8s %8s %9s %9s" % (
                kind, n, join, prune, fmt(r.get("igmpd_b"), "8.0f"), fmt(r.get("kemd_b"), "8.0f"),
                fmt(r.get("igmpd_cpu"), "9.2f"), fmt(r.get("kemd_cpu"), "9.2f")), flush=True)
    print("CPU: seconds over %d s at steady state" % args.window)


if __name__ == "__main__":
    main()
