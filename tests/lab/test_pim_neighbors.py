"""PIM neighbors and DR election on real links.

Routers run the daemon core (kemd-lab-router), each in its own network
namespace and its own mount namespace with a private /run, attached to one
bridged LAN. FRR's pimd joins the same LAN as an independent peer. Needs root.
"""

import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

BUILD_DIR = None
FRR_DIR = "/usr/lib/frr"
HELLO_S = 1  # holdtime 3 s: expiry is quick to see
TAG = "kpn%d" % (os.getpid() % 100000)

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "pylib"))
from routerlab import have_frr, wait_for  # noqa: E402


def sh(*args, check=True):
    return subprocess.run(args, check=check, capture_output=True, text=True, timeout=30)


class Lan:
    """A bridge in its own namespace; routers hang off it by veth pairs."""

    def __init__(self):
        self.sw = TAG + "sw"
        self.nets = []
        sh("ip", "netns", "add", self.sw)
        sh("ip", "-n", self.sw, "link", "add", "br0", "type", "bridge")
        sh("ip", "-n", self.sw, "link", "set", "br0", "up")

    def attach(self, name, octet):
        ns = TAG + name
        dev = "lan_" + name
        sh("ip", "netns", "add", ns)
        self.nets.append(ns)
        sh("ip", "link", "add", dev, "netns", ns, "type", "veth",
           "peer", "name", "sw_" + name, "netns", self.sw)
        sh("ip", "-n", self.sw, "link", "set", "sw_" + name, "master", "br0", "up")
        sh("ip", "-n", ns, "addr", "add", "10.77.0.%d/24" % octet, "dev", dev)
        sh("ip", "-n", ns, "link", "set", dev, "up")
        sh("ip", "-n", ns, "link", "set", "lo", "up")
        return ns, dev, "10.77.0.%d" % octet

    def destroy(self):
        for ns in self.nets + [self.sw]:
            sh("ip", "netns", "del", ns, check=False)


def private_run(ns, command, home=None, vpn=0, workdir=None):
    """Starts a shell command with its own mount table and /run.

    VPN 0 runs inside the namespace. Any other VPN is reached the daemon's own
    way: the command runs in a home namespace, where the LAN's namespace is
    offered as /var/run/netns/<vpn>, and enters it only to open its sockets.
    It comes back to the namespace of process 1, so it gets a process
    namespace of its own whose process 1 stays at home.
    """
    if vpn == 0:
        script = "mount -t tmpfs none /run && " + command
        argv = ["ip", "netns", "exec", ns, "unshare", "-m", "sh", "-c", script]
    else:
        keep = os.path.join(workdir, "ns-%d" % vpn)
        script = ("set -e; touch {k}; mount --bind /run/netns/{ns} {k}; "
                  "mount -t tmpfs none /run; mkdir -p /run/netns; touch /run/netns/{v}; "
                  "mount --bind {k} /run/netns/{v}; {c} & wait").format(k=keep, ns=ns, v=vpn,
                                                                         c=command)
        argv = ["ip", "netns", "exec", home, "unshare", "-m", "-p", "-f", "--mount-proc",
                "sh", "-c", script]
    return subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                            start_new_session=True)


def stop(proc, sig=signal.SIGTERM):
    if proc.poll() is None:
        try:
            os.killpg(proc.pid, sig)
        except ProcessLookupError:
            pass
    try:
        return proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        return proc.wait(timeout=5)


class Router:
    """One of our routers: the lab tool on one LAN interface."""

    def __init__(self, lan, name, octet, workdir, dr_priority=1, hello=HELLO_S, vpn=0):
        self.ns, self.dev, self.addr = lan.attach(name, octet)
        self.workdir = workdir
        self.state = os.path.join(workdir, name + ".json")
        self.ctl = os.path.join(workdir, name + ".ctl")
        self.dr_priority = dr_priority
        self.hello = hello
        self.vpn = vpn
        self.home = None
        if vpn != 0:
            self.home = TAG + name + "h"
            sh("ip", "netns", "add", self.home)
            lan.nets.append(self.home)
        self.proc = None
        self.start()

    def start(self):
        if os.path.exists(self.state):
            os.unlink(self.state)
        tool = os.path.join(BUILD_DIR, "tools", "pimlab", "kemd-lab-router")
        self.proc = private_run(self.ns, "exec %s --vpn %d --if %s=%s/24 --hello %d "
                                "--dr-priority %d --state %s --ctl %s"
                                % (tool, self.vpn, self.dev, self.addr, self.hello,
                                   self.dr_priority, self.state, self.ctl),
                                home=self.home, vpn=self.vpn, workdir=self.workdir)

    def table(self):
        try:
            with open(self.state) as f:
                return json.load(f)["interfaces"][0]
        except (OSError, ValueError, IndexError, KeyError):
            return None

    def neighbors(self):
        t = self.table()
        return {n["addr"]: n for n in t["neighbors"]} if t else {}

    def dr(self):
        t = self.table()
        return t["dr"] if t else None

    def command(self, line):
        with open(self.ctl + ".tmp", "w") as f:
            f.write(line + "\n")
        os.rename(self.ctl + ".tmp", self.ctl)


class Frr:
    """FRR's zebra and pimd as a black-box peer."""

    def __init__(self, lan, name, octet, workdir, dr_priority):
        self.ns, self.dev, self.addr = lan.attach(name, octet)
        self.dir = workdir
        with open(os.path.join(workdir, "zebra.conf"), "w") as f:
            f.write("hostname frrlab\n")
        with open(os.path.join(workdir, "pimd.conf"), "w") as f:
            f.write("hostname frrlab\ninterface %s\n ip pim\n ip pim hello %d\n"
                    " ip pim drpriority %d\n" % (self.dev, HELLO_S, dr_priority))
        common = "--vty_socket /run/frr -z /run/frr/zserv.api"
        self.proc = private_run(self.ns, (
            "mkdir -p /run/frr && chown frr:frr /run/frr && "
            "{d}/zebra -f {w}/zebra.conf -i /run/frr/zebra.pid {c} --log file:{w}/zebra.log & "
            "sleep 1; {d}/pimd -f {w}/pimd.conf -i /run/frr/pimd.pid {c} "
            "--log file:{w}/pimd.log & wait").format(d=FRR_DIR, w=workdir, c=common))

    def vtysh(self, cmd):
        r = sh("nsenter", "-t", str(self.proc.pid), "-m", "-n", "vtysh",
               "--vty_socket", "/run/frr", "-c", cmd, check=False)
        try:
            return json.loads(r.stdout)
        except ValueError:
            return None

    def neighbors(self):
        j = self.vtysh("show ip pim neighbor json") or {}
        return set(j.get(self.dev, {}).keys())

    def dr(self):
        j = self.vtysh("show ip pim interface json") or {}
        return j.get(self.dev, {}).get("pimDesignatedRouter")


@unittest.skipUnless(os.geteuid() == 0, "needs root for namespaces")
class PimNeighborLab(unittest.TestCase):

    def setUp(self):
        self.workdir = tempfile.mkdtemp(prefix="kemd-lab-")
        os.chmod(self.workdir, 0o755)
        self.lan = Lan()
        self.procs = []

    def tearDown(self):
        for p in self.procs:
            stop(p.proc, signal.SIGKILL)
        self.lan.destroy()
        shutil.rmtree(self.workdir, ignore_errors=True)

    def router(self, name, octet, **kw):
        r = Router(self.lan, name, octet, self.workdir, **kw)
        self.procs.append(r)
        return r

    def adjacent(self, a, b):
        wait_for("%s and %s to be neighbors" % (a.addr, b.addr),
                 lambda: b.addr in a.neighbors() and a.addr in b.neighbors())

    def test_two_routers_agree_on_dr_and_priority_moves_it_one_through_a_vpn(self):
        # The daemon of r1 runs outside the LAN's namespaces and reaches its
        # interface only as VPN 5: sockets opened there, Hellos and expiry
        # driven from home.
        r1 = self.router("a", 1, vpn=5)
        r2 = self.router("b", 2)
        self.adjacent(r1, r2)
        # Equal priorities: the higher address wins, on both sides.
        wait_for("DR 10.77.0.2", lambda: r1.dr() == r2.addr and r2.dr() == r2.addr)
        self.assertEqual(r1.neighbors()[r2.addr]["dr_priority"], 1)
        self.assertEqual(r1.neighbors()[r2.addr]["holdtime_ms"], 3000)

        r1.command("dr-priority %s 10" % r1.dev)
        wait_for("DR to move to 10.77.0.1", lambda: r1.dr() == r1.addr and r2.dr() == r1.addr)
        self.assertEqual(r2.neighbors()[r1.addr]["dr_priority"], 10)
        self.assertEqual((r1.table()["rx"]["bad"], r1.table()["tx"]["failed"]), (0, 0))

    def test_silent_neighbor_expires_and_goodbye_is_immediate(self):
        r1 = self.router("a", 1)
        r2 = self.router("b", 2)
        r3 = self.router("c", 3)
        wait_for("three routers adjacent",
                 lambda: set(r1.neighbors()) == {r2.addr, r3.addr})
        self.assertEqual(r1.dr(), r3.addr)

        # Killed: no goodbye, so the neighbor lives out its 3 s holdtime.
        killed_at = time.monotonic()
        stop(r3.proc, signal.SIGKILL)
        wait_for("10.77.0.3 to expire", lambda: r3.addr not in r1.neighbors(), timeout=10)
        self.assertGreaterEqual(time.monotonic() - killed_at, 1.5)
        wait_for("DR to fall back to 10.77.0.2", lambda: r1.dr() == r2.addr)

        # An orderly stop sends a Hello with holdtime 0: gone at once, and the
        # process exits cleanly (no leak reports under the sanitizers).
        self.assertIsNone(r2.proc.poll())
        os.killpg(r2.proc.pid, signal.SIGUSR2)
        self.assertEqual(r2.proc.wait(timeout=20), 0, r2.proc.stderr.read().decode()[-2000:])
        wait_for("10.77.0.2 to leave at once", lambda: r2.addr not in r1.neighbors(), timeout=2.5)
        self.assertEqual(r1.dr(), r1.addr)

    def test_restarted_neighbor_keeps_its_record_with_new_generation_id(self):
        r1 = self.router("a", 1, hello=2)  # holdtime 7 s: the restart beats expiry
        r2 = self.router("b", 2, hello=2)
        self.adjacent(r1, r2)
        before = r1.neighbors()[r2.addr]
        old_genid = wait_for("r2 table", r2.table)["genid"]
        self.assertEqual(before["gen_id"], old_genid)

        stop(r2.proc, signal.SIGKILL)
        r2.start()
        new_genid = wait_for("r2 restarted", lambda: (r2.table() or {}).get("genid"))
        self.assertNotEqual(new_genid, old_genid)
        after = wait_for("r1 to see the new generation id",
                         lambda: r1.neighbors().get(r2.addr, {}).get("gen_id") == new_genid
                         and r1.neighbors()[r2.addr])
        self.assertEqual(after["up_time"], before["up_time"], "same record, not re-created")
        self.adjacent(r1, r2)

    @unittest.skipUnless(have_frr(), "FRR is not installed")
    def test_interop_with_frr_and_clean_decode_in_tshark(self):
        r1 = self.router("a", 1, dr_priority=7)
        r2 = self.router("b", 2)
        frr = Frr(self.lan, "f", 3, self.workdir, dr_priority=3)
        self.procs.append(frr)
        wait_for("our routers to list FRR",
                 lambda: frr.addr in r1.neighbors() and frr.addr in r2.neighbors(), timeout=20)
        wait_for("FRR to list our routers", lambda: frr.neighbors() == {r1.addr, r2.addr},
                 timeout=20)
        nbr = r1.neighbors()[frr.addr]
        self.assertEqual(nbr["dr_priority"], 3)
        self.assertGreater(nbr["gen_id"], 0)
        # Everyone elects the priority-7 router.
        wait_for("agreement on the DR",
                 lambda: r1.dr() == r1.addr and r2.dr() == r1.addr and frr.dr() == r1.addr)

        if not shutil.which("tshark") or not shutil.which("tcpdump"):
            self.skipTest("tshark/tcpdump not installed")
        pcap = os.path.join(self.workdir, "pim.pcap")
        cap = subprocess.Popen(["ip", "netns", "exec", r1.ns, "tcpdump", "-U", "-i", r1.dev,
                                "-w", pcap, "ip proto 103"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               start_new_session=True)
        try:
            time.sleep(1)
            # A priority change and a restart put triggered Hellos on the wire,
            # and sample messages a (*,G) Join longer than a frame and an Assert.
            r1.command("dr-priority %s 9\nsend-jp %s %s 239.1.1.1 300\n"
                       "send-assert %s 198.51.100.7 239.1.1.1"
                       % (r1.dev, r1.dev, r2.addr, r1.dev))
            stop(r2.proc, signal.SIGKILL)
            r2.start()
            time.sleep(3)
        finally:
            stop(cap, signal.SIGINT)
        ours = "pim && (ip.src == %s || ip.src == %s)" % (r1.addr, r2.addr)
        count = sh("tshark", "-r", pcap, "-Y", ours).stdout.strip().splitlines()
        self.assertGreater(len(count), 3)
        bad = sh("tshark", "-r", pcap, "-Y",
                 "(%s) && (_ws.malformed || _ws.expert.severity >= warning || "
                 "pim.cksum.status != 1 || ip.flags.mf == 1)" % ours).stdout.strip()
        self.assertEqual(bad, "", "tshark finds fault with our packets")

        def fields(type_, *names):
            args = ["tshark", "-r", pcap, "-Y", "pim.type == %d && ip.src == %s" % (type_, r1.addr),
                    "-T", "fields", "-E", "separator=;", "-E", "occurrence=f"]
            for n in names:
                args += ["-e", n]
            return sh(*args).stdout.split()

        # Whole, neither split nor truncated: one message with all the prunes,
        # fragmented on the wire and reassembled by the reader.
        jp = [line.split(";") for line in fields(3, "pim.numgroups", "pim.numjoins",
                                                 "pim.numprunes", "pim.upstream_neighbor")]
        self.assertEqual(jp, [["1", "1", "300", r2.addr]])
        asserts = fields(5, "pim.metric_pref", "pim.metric", "pim.source", "pim.group")
        self.assertEqual(asserts, ["101;10;198.51.100.7;239.1.1.1"])

        # FRR decodes the largest Join/Prune we build (a (*,G) Join with 1024
        # prunes, 8 kB, fragmented) whole.
        def frr_jp():
            t = (frr.vtysh("show ip pim interface traffic json") or {}).get(frr.dev, {})
            return t.get("joinRx", 0), t.get("pruneRx", 0)
        joins, prunes = frr_jp()
        r1.command("send-jp %s %s 239.1.1.2 2000" % (r1.dev, frr.addr))
        wait_for("FRR to count the Join/Prune",
                 lambda: frr_jp() == (joins + 1, prunes + 1024))


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    args, rest = parser.parse_known_args()
    BUILD_DIR = os.path.abspath(args.build_dir)
    unittest.main(argv=[sys.argv[0]] + rest)
