"""The lab the soak and robustness scripts run against, and what they share.

    s --lan2-- r1 --lan3-- r2 --lan4-- d2
               |
              lan1-- d1

r1 (the router under test) and r2 are our routers (PIM in VPN 1, static RP
10.2.2.20, a scripted neighbor on the source host s). d1 is a scripted PIM
neighbor with (*,G) and (S,G) Joins refreshed with its Hellos, an IGMP host
and the receiver of a stream from s; d2 is an IGMP host behind r2, so r2 joins
through r1 as a real neighbor. A simulated system manager runs in r1. r1's
tables are compared through kemcli's JSON output; its daemons can be killed
and started again inside the router.
"""
import json
import os
import signal
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "pylib"))
from mcast import Receiver, Sender  # noqa: E402
from mcast_host import Member  # noqa: E402
from pimnbr import Group, sg, wc  # noqa: E402
import routerlab  # noqa: E402
from routerlab import RouterLab, wait_for  # noqa: E402

labtool = routerlab.labtool
SRC, RP, STREAM = "10.2.2.10", "10.2.2.20", "239.1.2.3"
D1, D2 = "10.1.1.11", "10.4.4.11"
R1_LAN1, R1_LAN2, R1_LAN3, R2_LAN3, R2_LAN4 = ("10.1.1.1", "10.2.2.1", "10.3.3.1", "10.3.3.2",
                                               "10.4.4.1")
HELLO_S, JP_S, HOLD = 2, 10, 35
WC_GROUPS = ["239.10.0.%d" % i for i in range(1, 11)]
SG_GROUPS = ["239.11.0.%d" % i for i in range(1, 11)]
D1_IGMP = ["239.20.0.%d" % i for i in range(1, 6)]
D2_IGMP = ["239.21.0.%d" % i for i in range(1, 6)]
COMPANIONS = ("rtmd", "cdbd", "igmpd", "ftmd", "sysmgr_sim")
SYSMGR_SIM = os.path.join(HERE, "sysmgr_sim.py")
# Leaves that change by themselves; the rest of a row is its state.
VOLATILE = {"up-time", "expires", "packets", "bytes", "ttl-expired", "wrong-interface"}
TABLES = ("pim-neighbor", "pim-interface", "multicast-topo", "forwarding-table",
          "igmp-membership", "pim-rp-mapping", "multicast-rpf")


def topology(name):
    host = {"kind": "host"}
    return {
        "name": name,
        "routers": {
            "r1": {"kind": "kem", "vpns": [1]},
            "r2": {"kind": "kem", "vpns": [1], "routes": [["10.2.2.0/24", R1_LAN3, 1]]},
            "s": dict(host, routes=[["0.0.0.0/0", R1_LAN2]]),
            "d1": dict(host, routes=[["0.0.0.0/0", R1_LAN1]]),
            "d2": dict(host, routes=[["0.0.0.0/0", R2_LAN4]]),
        },
        "lans": {
            "lan1": {"members": {"r1": {"if": "eth1", "addr": R1_LAN1 + "/24", "vpn": 1},
                                 "d1": {"if": "eth1", "addr": D1 + "/24"}}},
            "lan2": {"members": {"r1": {"if": "eth2", "addr": R1_LAN2 + "/24", "vpn": 1},
                                 "s": {"if": "eth1", "addr": SRC + "/24"}}},
            "lan3": {"members": {"r1": {"if": "eth3", "addr": R1_LAN3 + "/24", "vpn": 1},
                                 "r2": {"if": "eth1", "addr": R2_LAN3 + "/24", "vpn": 1}}},
            "lan4": {"members": {"r2": {"if": "eth2", "addr": R2_LAN4 + "/24", "vpn": 1},
                                 "d2": {"if": "eth1", "addr": D2 + "/24"}}},
        },
    }


def strip(row):
    """A row without its volatile leaves (nested lists keep their stable leaves)."""
    out = {}
    for k, v in row.items():
        key = k.split(":")[-1]
        if key in VOLATILE:
            continue
        if isinstance(v, list):
            v = sorted(json.dumps(strip(x) if isinstance(x, dict) else x, sort_keys=True)
                       for x in v)
        elif isinstance(v, dict):
            v = strip(v)
        out[key] = v
    return out


def ns_pid(pid):
    """The pid a process has inside its own pid namespace (the one it reports)."""
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("NSpid:"):
                return int(line.split()[-1])
    return pid


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


class SoakLab(RouterLab):
    """The lab up with its state built; a context manager, always taken down."""

    def __init__(self, name, build, auto_rp=False):
        super().__init__(topology(name), build)
        self.auto_rp = auto_rp
        self.procs = []
        self.members = []
        self.rx = self.tx = None
        self.sending = False
        self.threads = []

    def __enter__(self):
        super().__enter__()
        try:
            self._build_state()
        except BaseException:
            self.down()
            raise
        return self

    def down(self):
        self.sending = False
        for t in self.threads:
            t.join(timeout=5)
        for m in self.members:
            m.leave()
        self.members = []
        for x in (self.rx, self.tx):
            if x:
                x.close()
        self.rx = self.tx = None
        # The lab tool waits for each container's processes to vanish, and
        # ours stay zombies until polled: reap them while it waits.
        done = threading.Event()

        def reap():
            while not done.is_set():
                for p in labtool._STARTED:
                    p.poll()
                time.sleep(0.05)

        reaper = threading.Thread(target=reap, daemon=True)
        reaper.start()
        try:
            super().down()
        finally:
            done.set()
            reaper.join()
        for p in self.procs:
            p.wait(timeout=10)
        self.procs = []

    def _build_state(self):
        state = labtool.load_state(self.name)
        for sw in state["switches"].values():
            labtool.nsenter(sw["pid"], ["ip", "link", "set", "br0", "type", "bridge",
                                        "mcast_snooping", "0"], mount=False)
        self.start("r1", "sysmgr_sim")
        extra = ["set vpn vpn-instance 1 router pim static-rp rp-address " + RP]
        if self.auto_rp:
            extra.append("set vpn vpn-instance 1 router pim auto-rp true")
        self.configure_kem("r1", {"eth1": R1_LAN1 + "/24", "eth2": R1_LAN2 + "/24",
                                  "eth3": R1_LAN3 + "/24"}, hello=HELLO_S, jp_interval=JP_S)
        self.configure_kem("r2", {"eth1": R2_LAN3 + "/24", "eth2": R2_LAN4 + "/24"},
                           hello=HELLO_S, jp_interval=JP_S)
        for r in ("r1", "r2"):
            out = self.kemcli(r, "configure", *extra, "commit", "exit")
            if out.returncode != 0:
                raise AssertionError("configuring %s: %s%s" % (r, out.stdout, out.stderr))
        self.run("s", "ip", "addr", "add", RP + "/24", "dev", "eth1", check=True)
        self.d1 = self.nbr("d1", "eth1", D1, keep=False)
        self.rp = self.nbr("s", "eth1", RP, keep=False)
        # d1 gives way to r1 as DR so that r1 acts on d1's IGMP reports.
        self.d1.start_hellos(interval=HELLO_S, holdtime=HOLD, dr_priority=0)
        self.rp.start_hellos(interval=HELLO_S, holdtime=HOLD)
        groups = [Group(g, [wc(RP)]) for g in WC_GROUPS] + \
                 [Group(g, [sg(SRC)]) for g in SG_GROUPS + [STREAM]]
        self.d1.hello_hooks.append(lambda: self.d1.send_jp(R1_LAN1, groups, HOLD))
        self.d1.send_jp(R1_LAN1, groups, HOLD)
        self.members = [Member(self.name, "d1", D1, D1_IGMP), Member(self.name, "d2", D2, D2_IGMP)]
        self.rx = Receiver(labtool.netns_path(self.name, "d1"), D1, STREAM)
        self.tx = Sender(labtool.netns_path(self.name, "s"), SRC, STREAM)
        self.sending = True
        t = threading.Thread(target=self._stream, daemon=True)
        t.start()
        self.threads.append(t)
        want = {D1, RP, R2_LAN3}
        wait_for("r1 to list its neighbors",
                 lambda: want <= self.kem_neighbors("r1") and self.kem_neighbors("r2"), 60, 1)

    def _stream(self):
        while self.sending:
            try:
                self.tx.send(25, 50)
            except OSError:
                time.sleep(0.5)

    # Daemons inside a router.

    def router_pid(self, router):
        return labtool.load_state(self.name)["routers"][router]["pid"]

    def pids(self, router, comm):
        """Host pids of the live processes called comm inside the router."""
        ns = os.readlink("/proc/%d/ns/pid" % self.router_pid(router))
        found = []
        for p in os.listdir("/proc"):
            if not p.isdigit():
                continue
            try:
                with open("/proc/%s/comm" % p) as f:
                    if f.read().strip() != comm:
                        continue
                with open("/proc/%s/stat" % p) as f:
                    if f.read().rsplit(")", 1)[1].split()[0] == "Z":
                        continue
                if os.readlink("/proc/%s/ns/pid" % p) == ns:
                    found.append(int(p))
            except OSError:
                continue
        return found

    def daemon_pid(self, router, comm):
        pids = self.pids(router, comm)
        if len(pids) != 1:
            raise AssertionError("%d processes %s in %s" % (len(pids), comm, router))
        return pids[0]

    def argv(self, router, comm):
        if comm == "sysmgr_sim":
            return [sys.executable, SYSMGR_SIM]
        rdir = os.path.join(labtool.lab_dir(self.name), router)
        for d in labtool.kem_daemons(self.build, rdir):
            if d["name"] == comm:
                return d["argv"]
        raise AssertionError("no daemon %s" % comm)

    def kill(self, router, comm, sig=signal.SIGKILL, timeout=20):
        """Signals the daemon and waits until it is gone."""
        pid = self.daemon_pid(router, comm)
        os.kill(pid, sig)
        wait_for("%s to end" % comm, lambda: not self.pids(router, comm), timeout, 0.05)
        self.procs = [p for p in self.procs if p.poll() is None]
        return pid

    def start(self, router, comm):
        rdir = os.path.join(labtool.lab_dir(self.name), router)
        with open(os.path.join(rdir, comm + ".out"), "ab") as log:
            self.procs.append(subprocess.Popen(
                ["nsenter", "-t", str(self.router_pid(router)), "-n", "-m", "-p", "--wd=" + rdir,
                 "--"] + self.argv(router, comm), stdout=log, stderr=log,
                stdin=subprocess.DEVNULL, start_new_session=True))
        return wait_for("%s to start" % comm, lambda: self.pids(router, comm), 20, 0.05)[0]

    def restart(self, router, comm):
        self.kill(router, comm)
        return self.start(router, comm)

    def sysmgr_hellos(self, router="r1"):
        """The simulated manager's view: {"connections": n, "hellos": n, "pid": last pid}."""
        path = "/proc/%d/root/run/sysmgr_sim.json" % self.router_pid(router)
        try:
            with open(path) as f:
                return json.load(f)
        except (OSError, ValueError):
            return {}

    # Tables.

    def snapshot(self, router="r1"):
        """r1's tables without their timers, or None while one is not served."""
        snap = {}
        for table in TABLES:
            rows = self.rows(router, table)
            if rows is None:
                return None
            snap[table] = sorted(json.dumps(strip(r), sort_keys=True) for r in rows)
        return snap

    def diff(self, want, got):
        if got is None:
            return "tables not served"
        out = []
        for table in TABLES:
            a, b = set(want[table]), set(got[table])
            out += ["%s lost %s" % (table, x) for x in sorted(a - b)[:3]]
            out += ["%s gained %s" % (table, x) for x in sorted(b - a)[:3]]
        return "; ".join(out)

    def converge(self, want, timeout):
        """Seconds until r1's tables equal want; raises with the difference after timeout."""
        start = time.monotonic()
        last = None
        while time.monotonic() - start < timeout:
            last = self.snapshot()
            if last == want:
                return time.monotonic() - start
            time.sleep(0.5)
        raise AssertionError("tables differ after %.0f s: %s" % (timeout, self.diff(want, last)))

    def settled(self, timeout=90, quiet=10):
        """r1's tables once they stay the same for quiet seconds and hold the
        state the lab builds."""
        deadline = time.monotonic() + timeout
        last, since = None, time.monotonic()
        while time.monotonic() < deadline:
            snap = self.snapshot()
            if snap != last:
                last, since = snap, time.monotonic()
            elif snap and self.complete(snap) and time.monotonic() - since >= quiet:
                return snap
            time.sleep(1)
        raise AssertionError("r1's tables did not settle: %s" % json.dumps(last)[:2000])

    @staticmethod
    def complete(snap):
        topo = " ".join(snap["multicast-topo"])
        fwd = " ".join(snap["forwarding-table"])
        igmp = " ".join(snap["igmp-membership"])
        return (len(snap["pim-neighbor"]) == 3 and all(g in topo for g in WC_GROUPS + SG_GROUPS)
                and all(g in topo for g in D1_IGMP + D2_IGMP) and STREAM in fwd
                and all(g in igmp for g in D1_IGMP))

    def orderly_stop(self, router="r1"):
        """Stops the router's daemons in order (kemd on SIGUSR2, the others on
        SIGTERM), prints and returns as failures the sanitizer reports found in
        their output."""
        hung = {}
        for comm in ("kemd", "ftmd", "igmpd", "rtmd", "cdbd", "sysmgr_sim"):
            if self.pids(router, comm):
                try:
                    self.kill(router, comm, signal.SIGUSR2 if comm == "kemd" else signal.SIGTERM,
                              60)
                except AssertionError:
                    hung[comm] = "did not stop within 60 s"
        reports = dict(sanitizer_reports(os.path.join(labtool.lab_dir(self.name), router)), **hung)
        print("%s sanitizer reports: %s" % (router, reports or "none"))
        return ["%s %s: %s" % (router, f, line) for f, line in reports.items()]


def verdict(failures):
    """Prints the failures and PASS or FAIL; the exit status."""
    for f in failures:
        print("  " + f)
    print("PASS" if not failures else "FAIL")
    return 0 if not failures else 1


def sanitizer_reports(rdir):
    """{file: first report line} of the AddressSanitizer, LeakSanitizer and
    UBSan reports in a router's daemon output."""
    found = {}
    for name in sorted(os.listdir(rdir)):
        if not name.endswith(".out"):
            continue
        with open(os.path.join(rdir, name), errors="replace") as f:
            for line in f:
                if ("ERROR: AddressSanitizer" in line or "ERROR: LeakSanitizer" in line
                        or "runtime error:" in line):
                    found[name] = line.strip()
                    break
    return found


def sanitizer_env():
    """Sanitizer options for the lab's daemons: leaks reported at orderly stop,
    a small quarantine so that freed memory shows in RSS figures."""
    os.environ.setdefault("ASAN_OPTIONS", "detect_leaks=1:quarantine_size_mb=1")
    os.environ.setdefault("UBSAN_OPTIONS", "print_stacktrace=1")


def need_root():
    if os.geteuid() != 0:
        sys.exit("needs root (network namespaces)")
