#!/usr/bin/env python3
"""Soak under churn on an AddressSanitizer build: for MINUTES minutes the soak
lab (tests/soak/soaklab.py) goes through random churn at r1 (Joins and Prunes
from a scripted neighbor, IGMP joins and leaves, a second scripted neighbor
coming and going, r1's link to r2 down and up, dr-priority commits through
kemcli, companions killed and started again). Then the churn stops and r1's
tables must hold what it left (neighbors, groups, memberships, the committed
priority, the stream's forwarding entry); kemd's RSS must not grow after the
first third of the run (its working set) by more than SLACK MiB; and both
routers' daemons, stopped in order (kemd on SIGUSR2), must leave no
AddressSanitizer, LeakSanitizer or UBSan report. Prints the figures and PASS
or FAIL.

    cmake -S . -B build -G Ninja -DKEMD_SANITIZE=ON
    ninja -C build kemd cdbd rtmd igmpd ftmd kemcli
    sudo python3 tests/soak/asan_soak.py --build-dir build [--minutes 30]
"""
import argparse
import os
import random
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import soaklab  # noqa: E402
from companion_kill import is_asan  # noqa: E402
from mcast_host import Member  # noqa: E402
from pimnbr import Group, sg, wc  # noqa: E402
from soaklab import (COMPANIONS, D1, HELLO_S, HOLD, R1_LAN1, R2_LAN3, RP, SRC,  # noqa: E402
                     SoakLab, rss_kib, wait_for)

D1B = "10.1.1.12"
JOIN_GROUPS = ["239.30.0.%d" % i for i in range(1, 21)]
IGMP_GROUPS = ["239.40.0.%d" % i for i in range(1, 9)]


class Churn:
    """The churn and what it should leave behind."""

    def __init__(self, lab, rnd):
        self.lab, self.rnd = lab, rnd
        self.joined = set()
        self.members = {}
        self.nbr_b = None
        self.dr_priority = 1
        self.counts = {}
        lab.run("d1", "ip", "addr", "add", D1B + "/24", "dev", "eth1", check=True)
        lab.d1.hello_hooks.append(self.refresh)

    def refresh(self):
        groups = [Group(g, [wc(RP)] if g.endswith(("1", "3", "5", "7", "9")) else [sg(SRC)])
                  for g in sorted(self.joined)]
        if groups:
            self.lab.d1.send_jp(R1_LAN1, groups, HOLD)

    def join(self):
        g = self.rnd.choice(JOIN_GROUPS)
        self.joined.add(g)
        self.refresh()

    def prune(self):
        if not self.joined:
            return
        g = self.rnd.choice(sorted(self.joined))
        self.joined.discard(g)
        src = wc(RP) if g.endswith(("1", "3", "5", "7", "9")) else sg(SRC)
        self.lab.d1.send_jp(R1_LAN1, [Group(g, prunes=[src])], HOLD)

    def igmp(self):
        g = self.rnd.choice(IGMP_GROUPS)
        if g in self.members:
            self.members.pop(g).leave()
        else:
            self.members[g] = Member(self.lab.name, "d1", D1, [g])

    def neighbor(self):
        if self.nbr_b is None:
            self.nbr_b = self.lab.nbr("d1", "eth1", D1B, keep=False)
            self.nbr_b.start_hellos(interval=HELLO_S, holdtime=HOLD, dr_priority=0)
        else:
            self.nbr_b.stop_hellos(goodbye=True)
            self.lab.nbrs.remove(self.nbr_b)
            self.nbr_b.close()
            self.nbr_b = None

    def link(self):
        pid = self.lab.router_pid("r1")
        ip = ["nsenter", "-t", str(pid), "-n", "-m", "ip", "-n", "1", "link", "set", "eth3"]
        os.system(" ".join(ip + ["down"]))
        time.sleep(self.rnd.uniform(0.2, 3))
        os.system(" ".join(ip + ["up"]))

    def commit(self):
        self.dr_priority = self.rnd.randint(1, 100)
        out = self.lab.kemcli("r1", "configure",
                              "set vpn vpn-instance 1 router pim interface eth1 dr-priority %d"
                              % self.dr_priority, "commit", "exit")
        if out.returncode != 0:
            raise AssertionError("commit refused: %s%s" % (out.stdout, out.stderr))

    def companion(self):
        self.lab.restart("r1", self.rnd.choice(COMPANIONS))

    def step(self):
        action = self.rnd.choices(
            ("join", "prune", "igmp", "neighbor", "link", "commit", "companion"),
            (30, 20, 20, 8, 5, 10, 7))[0]
        getattr(self, action)()
        self.counts[action] = self.counts.get(action, 0) + 1

    def expected_problems(self):
        """What r1's tables lack or hold beyond what the churn left; empty when right."""
        lab = self.lab
        nbrs = lab.kem_neighbors("r1")
        want = {D1, RP, R2_LAN3} | ({D1B} if self.nbr_b else set())
        out = ["neighbors %s, want %s" % (sorted(nbrs), sorted(want))] if nbrs != want else []
        topo = {r["group"] for r in lab.rows("r1", "multicast-topo") or []}
        churn_topo = {g for g in topo if g.startswith(("239.30.", "239.40."))}
        want_topo = self.joined | set(self.members)
        if churn_topo != want_topo:
            out.append("groups: extra %s, missing %s" % (sorted(churn_topo - want_topo),
                                                         sorted(want_topo - churn_topo)))
        igmp = {r["group"] for r in lab.rows("r1", "igmp-membership") or []
                if r["group"].startswith("239.40.")}
        if igmp != set(self.members):
            out.append("memberships %s, want %s" % (sorted(igmp), sorted(self.members)))
        prio = [r.get("dr-priority") for r in lab.rows("r1", "pim-interface") or []
                if r.get("if-name") == "eth1"]
        if [str(p) for p in prio] != [str(self.dr_priority)]:
            out.append("eth1 dr-priority %s, want %d" % (prio, self.dr_priority))
        if not any(r.get("group") == soaklab.STREAM for r in lab.rows("r1", "forwarding-table")
                   or []):
            out.append("no forwarding entry for the stream")
        return out


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build-dir", default="build")
    ap.add_argument("--minutes", type=float, default=30)
    ap.add_argument("--slack-mib", type=float, default=8)
    ap.add_argument("--seed", type=int, default=None)
    ap.add_argument("--name", default="sbs%d" % (os.getpid() % 10000))
    args = ap.parse_args()
    soaklab.need_root()
    build = os.path.abspath(args.build_dir)
    if not is_asan(build):
        print("warning: %s is not an AddressSanitizer build; no leak check" % build)
    soaklab.sanitizer_env()
    seed = args.seed if args.seed is not None else random.randrange(1 << 30)
    rnd = random.Random(seed)
    failures = []
    with SoakLab(args.name, build) as lab:
        lab.settled()
        kemd = lab.daemon_pid("r1", "kemd")
        churn = Churn(lab, rnd)
        rss = [(0.0, rss_kib(kemd))]
        start = time.monotonic()
        end = start + args.minutes * 60
        steps = 0
        print("seed %d, %.0f minutes of churn; kemd RSS %.1f MiB" % (seed, args.minutes,
                                                                     rss[0][1] / 1024), flush=True)
        while time.monotonic() < end:
            try:
                churn.step()
            except AssertionError as e:
                failures.append("churn step %d: %s" % (steps, e))
                print("FAIL: " + failures[-1], flush=True)
            steps += 1
            if lab.pids("r1", "kemd") != [kemd]:
                failures.append("kemd ended during the churn (step %d)" % steps)
                break
            now = time.monotonic() - start
            if now - rss[-1][0] >= 30:
                rss.append((now, rss_kib(kemd)))
                print("%4.0f s, %d steps, kemd RSS %.1f MiB" % (now, steps, rss[-1][1] / 1024),
                      flush=True)
            time.sleep(rnd.uniform(0.2, 1.5))
        print("churn: %s" % ", ".join("%s %d" % kv for kv in sorted(churn.counts.items())))
        if not failures:
            try:
                wait_for("r1 to hold what the churn left", lambda: not churn.expected_problems(),
                         120, 2)
                print("final state as the churn left it: %d joined, %d IGMP groups, "
                      "neighbor b %s, dr-priority %d" % (
                          len(churn.joined), len(churn.members),
                          "up" if churn.nbr_b else "down", churn.dr_priority))
            except AssertionError:
                failures.append("final state: %s" % "; ".join(churn.expected_problems()))
            time.sleep(5)
            final = rss_kib(kemd)
            warm = [k for t, k in rss if t >= args.minutes * 20]
            base = min(warm) if warm else rss[-1][1]
            print("kemd RSS: start %.1f MiB, after the first third %.1f MiB, peak %.1f MiB, "
                  "end %.1f MiB" % (rss[0][1] / 1024, base / 1024,
                                    max(k for _, k in rss) / 1024, final / 1024))
            if final > base + args.slack_mib * 1024:
                failures.append("kemd RSS grew by %.1f MiB past its working set" % (
                    (final - base) / 1024))
        for m in churn.members.values():
            m.leave()
        for r in ("r1", "r2"):
            failures += lab.orderly_stop(r)
    return soaklab.verdict(failures)


if __name__ == "__main__":
    sys.exit(main())
