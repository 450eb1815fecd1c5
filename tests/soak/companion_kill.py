#!/usr/bin/env python3
"""Companions killed at random under state: in the soak lab (tests/soak/soaklab.py:
PIM Joins from a scripted neighbor, IGMP hosts, a second router as a real
neighbor, a stream through ftmd), r1's rtmd, cdbd, igmpd, ftmd and simulated
system manager are each killed (SIGKILL) and started again COUNT times, in
random order. After every restart r1's tables (kemcli JSON, timers left out)
must equal those before the run within WAIT seconds, the stream must reach its
receiver again, the manager must hear kemd's hellos again, and kemd must still
be the same process. At the end kemd's RSS must be back within SLACK MiB of
its level before the run. Prints the figures and PASS or FAIL.

    sudo python3 tests/soak/companion_kill.py --build-dir build-rel [--count 100]
    sudo python3 tests/soak/companion_kill.py --build-dir build --count 10   # ASan build

With an AddressSanitizer build the daemons are stopped in order at the end
and their output checked for sanitizer reports.
"""
import argparse
import os
import random
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import soaklab  # noqa: E402
from soaklab import COMPANIONS, SoakLab, ns_pid, rss_kib, wait_for  # noqa: E402


def is_asan(build):
    try:
        with open(os.path.join(build, "CMakeCache.txt")) as f:
            return "KEMD_SANITIZE:BOOL=ON" in f.read()
    except OSError:
        return False


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build-dir", default="build-rel")
    ap.add_argument("--count", type=int, default=100, help="restarts of each companion")
    ap.add_argument("--wait", type=float, default=60, help="seconds allowed to reconverge")
    ap.add_argument("--rss-slack-mib", type=float, default=4)
    ap.add_argument("--seed", type=int, default=None)
    ap.add_argument("--name", default="sbk%d" % (os.getpid() % 10000))
    args = ap.parse_args()
    soaklab.need_root()
    build = os.path.abspath(args.build_dir)
    asan = is_asan(build)
    if asan:
        soaklab.sanitizer_env()
    seed = args.seed if args.seed is not None else random.randrange(1 << 30)
    order = [c for c in COMPANIONS for _ in range(args.count)]
    random.Random(seed).shuffle(order)
    print("build %s%s, %d restarts (seed %d)" % (build, " (ASan)" if asan else "", len(order),
                                                  seed))
    failures = []
    times = {c: [] for c in COMPANIONS}
    with SoakLab(args.name, build) as lab:
        baseline = lab.settled()
        kemd = lab.daemon_pid("r1", "kemd")
        rss0 = rss_kib(kemd)
        peak = rss0
        print("baseline: %s; kemd RSS %.1f MiB" % (
            ", ".join("%s %d" % (t, len(rows)) for t, rows in baseline.items()), rss0 / 1024))
        started = time.monotonic()
        for i, comp in enumerate(order, 1):
            try:
                got = lab.rx.total()
                t0 = time.monotonic()
                lab.restart("r1", comp)
                lab.converge(baseline, args.wait)
                left = args.wait - (time.monotonic() - t0)
                wait_for("the stream to reach d1", lambda: lab.rx.total() > got, max(left, 5),
                         0.2)
                if comp == "sysmgr_sim":
                    wait_for("kemd's hello at the manager",
                             lambda: lab.sysmgr_hellos().get("pid") == ns_pid(kemd), 10, 0.2)
                times[comp].append(time.monotonic() - t0)
            except AssertionError as e:
                failures.append("restart %d (%s): %s" % (i, comp, e))
                print("FAIL restart %d (%s): %s" % (i, comp, e), flush=True)
                if len(failures) >= 5:
                    break
            if lab.pids("r1", "kemd") != [kemd]:
                failures.append("kemd is not the same process after restart %d (%s)" % (i, comp))
                break
            peak = max(peak, rss_kib(kemd))
            if i % 25 == 0 or i == len(order):
                print("%d/%d restarts, %.0f s, kemd RSS %.1f MiB" % (
                    i, len(order), time.monotonic() - started, rss_kib(kemd) / 1024), flush=True)
        time.sleep(5)
        rss1 = rss_kib(kemd) if lab.pids("r1", "kemd") == [kemd] else 0
        print("convergence after restart (s):")
        for comp, ts in times.items():
            if ts:
                print("  %-11s %4d restarts  median %.1f  max %.1f" % (
                    comp, len(ts), statistics.median(ts), max(ts)))
        print("kemd RSS before %.1f MiB, peak %.1f MiB, after %.1f MiB" % (
            rss0 / 1024, peak / 1024, rss1 / 1024))
        if rss1 > rss0 + args.rss_slack_mib * 1024:
            failures.append("kemd RSS grew by %.1f MiB" % ((rss1 - rss0) / 1024))
        if asan:
            failures += lab.orderly_stop()
    return soaklab.verdict(failures)


if __name__ == "__main__":
    sys.exit(main())
