"""Configuration end to end: kemcli commits to the configuration agent cdbd,
kemd takes the changes (or its initial read) and its Hellos on the wire show
them.

The test re-executes itself as process 1 of its own PID, network and mount
namespaces, with tmpfs on /run and /dev, so the daemons' fixed paths
("/var/run/.cdbd", "/var/run/kemd.0.pid", "/var/run/netns", "/dev/log") are
its own and everything it starts ends with it. VPN 1 is the network namespace
"1"; its interface v1 is a veth whose peer p1 stays in the test's namespace,
where a packet socket reads what kemd sends. rtmd reports the interfaces to
kemd. Needs root.
"""
import argparse
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "pylib"))
import private_host  # noqa: E402
from private_host import sh, stop  # noqa: E402
from pimnbr import PacketListener  # noqa: E402

BUILD = None
SRC = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
YANG = os.path.join(SRC, "yang")
DB = "/run/kem-test/cdb.sqlite"
KEMD_ADDR = "10.9.0.1"
VPN = "vpn vpn-instance 1"
PIM_IF = VPN + " router pim interface v1"
IPPROTO_PIM = 103
QUIET_S = 3.5  # past the longest gap between Hellos 2 s apart (3.2 s)


def hello_options(body):
    """The Hello options this test looks at, from a PIM Hello body."""
    opts = {}
    while len(body) >= 4:
        kind, length = struct.unpack("!HH", body[:4])
        value = body[4:4 + length]
        if kind == 1 and length == 2:
            opts["holdtime"] = struct.unpack("!H", value)[0]
        elif kind == 19 and length == 4:
            opts["dr_priority"] = struct.unpack("!I", value)[0]
        elif kind == 20 and length == 4:
            opts["genid"] = struct.unpack("!I", value)[0]
        body = body[4 + length:]
    return opts


def parse_hello(pkt, when):
    ihl = (pkt[0] & 0x0F) * 4
    if len(pkt) < ihl + 4 or pkt[9] != IPPROTO_PIM or pkt[ihl] != 0x20:  # version 2, Hello
        return None
    return dict(hello_options(pkt[ihl + 4:]), src=socket.inet_ntoa(pkt[12:16]), time=when)


class HelloListener(PacketListener):
    """Every PIM Hello seen on an interface, with its arrival time."""

    def __init__(self, ifname):
        super().__init__(None, ifname, parse_hello)

    def since(self, start):
        return self.messages(pred=lambda h: h["time"] >= start)

    def wait(self, pred, start, timeout=8.0):
        """The first Hello after start that satisfies pred."""
        h = super().wait(lambda h: h["time"] >= start and pred(h), timeout)
        if h is None:
            raise AssertionError("no matching Hello within %.1f s; seen: %s" %
                                 (timeout, self.since(start)[-6:]))
        return h

    def quiet(self, start, duration):
        """Waits duration seconds; fails if any Hello arrived after start."""
        time.sleep(duration)
        late = self.since(start)
        if late:
            raise AssertionError("unexpected Hellos: %s" % late)


class PimConfigLab(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        private_host.make_private_dirs()
        # `ip netns add` keeps its namespaces on a shared mount at /run/netns.
        os.makedirs("/run/netns", exist_ok=True)
        sh("mount", "--bind", "/run/netns", "/run/netns")
        sh("mount", "--make-shared", "/run/netns")
        sh("ip", "link", "set", "lo", "up")
        sh("ip", "netns", "add", "1")
        sh("ip", "-n", "1", "link", "set", "lo", "up")
        sh("ip", "link", "add", "p1", "type", "veth", "peer", "name", "v1", "netns", "1")
        sh("ip", "addr", "add", "10.9.0.2/24", "dev", "p1")
        sh("ip", "link", "set", "p1", "up")
        sh("ip", "-n", "1", "addr", "add", KEMD_ADDR + "/24", "dev", "v1")
        sh("ip", "-n", "1", "link", "set", "v1", "up")
        # The daemons block on a full /dev/log queue (ten datagrams): keep it empty.
        cls.syslog = private_host.Syslog()
        cls.draining = True
        cls.drainer = threading.Thread(target=cls.drain_syslog, daemon=True)
        cls.drainer.start()
        cls.rtmd = subprocess.Popen([os.path.join(BUILD, "tools", "rtmd", "rtmd"), "-f"],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    @classmethod
    def drain_syslog(cls):
        while cls.draining:
            cls.syslog.drain()
            time.sleep(0.02)

    @classmethod
    def tearDownClass(cls):
        stop(cls.rtmd)
        cls.draining = False
        cls.drainer.join(timeout=2)
        cls.syslog.close()
        subprocess.run(["ip", "netns", "del", "1"], check=False)

    def setUp(self):
        os.makedirs(os.path.dirname(DB), exist_ok=True)
        self.agent = None
        self.kemd = None
        self.listener = HelloListener("p1")
        self.first_line = len(self.syslog.lines)

    def tearDown(self):
        self.listener.close()
        stop(self.kemd)
        stop(self.agent)
        shutil.rmtree(os.path.dirname(DB), ignore_errors=True)
        result = self._outcome.result
        if any(test is self for test, _ in result.errors + result.failures):
            print("\n".join(["-- daemon lines:"] + self.syslog.lines[self.first_line:] +
                             ["-- Hellos:"] + [str(h) for h in self.listener.since(0)]))

    def start_agent(self):
        self.agent = subprocess.Popen(
            [os.path.join(BUILD, "tools", "cdbd", "cdbd"), "-f", "-d", DB, "-y", YANG],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while not os.path.exists("/var/run/.cdbd"):
            self.assertLess(time.monotonic(), deadline, "cdbd did not start")
            time.sleep(0.05)

    def start_kemd(self):
        self.kemd = subprocess.Popen([os.path.join(BUILD, "daemon", "kemd"), "-f"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def cli(self, *lines):
        args = [os.path.join(BUILD, "tools", "kemcli", "kemcli"), "-y", YANG, "-u", "lab"]
        for line in lines:
            args += ["-c", line]
        return subprocess.run(args, capture_output=True, text=True, timeout=30)

    def commit(self, *sets):
        """Commits; returns the time just before, as the daemon acts within the commit."""
        start = time.monotonic()
        r = self.cli("configure", *sets, "commit", "exit")
        self.assertEqual(r.returncode, 0, "%s\n%s%s" % (sets, r.stdout, r.stderr))
        return start

    def running(self):
        r = self.cli("show running-config")
        self.assertEqual(r.returncode, 0, r.stderr)
        return r.stdout

    def configure_vpn1(self, hello=2, dr=9):
        return self.commit("set system system-ip 10.255.0.1",
                           "set %s interface v1 ip address %s/24" % (VPN, KEMD_ADDR),
                           "set %s hello-interval %d" % (PIM_IF, hello),
                           "set %s dr-priority %d" % (PIM_IF, dr))

    def steady(self, start, hello, dr):
        """Waits for a Hello with these settings; returns its time."""
        h = self.listener.wait(lambda h: h.get("holdtime") == int(hello * 3.5) and
                               h.get("dr_priority") == dr, start)
        self.assertEqual(h["src"], KEMD_ADDR)
        return h["time"]

    def test_settings_on_the_wire_change_at_once_and_refused_values_never_arrive(self):
        self.start_agent()
        self.start_kemd()
        start = self.configure_vpn1(hello=2, dr=9)
        first = self.steady(start, 2, 9)
        # Periodic Hellos every 2 s (the timers tick in whole seconds).
        self.listener.wait(lambda h: h["time"] > first + 4.5, first, timeout=8)
        times = [h["time"] for h in self.listener.since(first + 0.5)]
        gaps = [b - a for a, b in zip(times, times[1:])]
        self.assertTrue(gaps and all(1.0 <= g <= 3.2 for g in gaps), gaps)

        # A new hello interval sends a Hello with the new holdtime at once.
        start = self.commit("set %s hello-interval 4" % PIM_IF)
        h = self.listener.wait(lambda h: h.get("holdtime") == 14, start, timeout=3)
        self.assertLess(h["time"] - start, 1.5)
        # A new DR priority is in the next Hello.
        start = self.commit("set %s dr-priority 20" % PIM_IF)
        self.steady(start, 4, 20)

        # Values the schema refuses never reach the daemon.
        before = self.running()
        for value in ("hello-interval 0", "hello-interval 70000", "dr-priority 4294967296",
                      "dr-priority -1"):
            r = self.cli("configure", "set %s %s" % (PIM_IF, value), "commit", "exit")
            self.assertEqual(r.returncode, 1, value)
            self.assertIn("Error: ", r.stderr, value)
        self.assertEqual(self.running(), before)
        start = time.monotonic()
        self.listener.wait(lambda h: True, start, timeout=6)
        for h in self.listener.since(start - 0.1):
            self.assertEqual((h["holdtime"], h["dr_priority"]), (14, 20))
        self.assertIsNone(self.kemd.poll())

    def test_shutdown_of_pim_and_of_the_interface_stops_and_restarts_hellos(self):
        self.start_agent()
        self.start_kemd()
        self.steady(self.configure_vpn1(), 2, 9)

        for shut, unshut in ((VPN + " router pim shutdown true",
                              VPN + " router pim shutdown false"),
                             (VPN + " interface v1 shutdown true",
                              VPN + " interface v1 shutdown false")):
            start = self.commit("set " + shut)
            bye = self.listener.wait(lambda h: h.get("holdtime") == 0, start, timeout=3)
            self.listener.quiet(bye["time"] + 0.01, QUIET_S)
            start = self.commit("set " + unshut)
            self.steady(start, 2, 9)

    def test_initial_read_after_restart_and_agent_absence_then_vpn_deletion(self):
        self.start_agent()
        self.start_kemd()
        first = self.listener.wait(lambda h: h.get("holdtime") == 7, self.configure_vpn1())

        # An orderly stop says goodbye; the agent goes too.
        start = time.monotonic()
        self.kemd.send_signal(signal.SIGUSR2)
        self.assertEqual(self.kemd.wait(timeout=10), 0)
        self.listener.wait(lambda h: h.get("holdtime") == 0, start, timeout=3)
        stop(self.agent)

        # Without the agent the daemon waits, and retries.
        self.start_kemd()
        start = time.monotonic()
        self.assertIsNotNone(self.syslog.wait_for("Waiting for events", timeout=10))
        self.listener.quiet(start, QUIET_S)
        self.assertIsNone(self.kemd.poll())

        # The agent comes back: the initial read brings the same configuration.
        self.start_agent()
        again = self.listener.wait(lambda h: h.get("holdtime") == 7, start, timeout=10)
        self.assertEqual(again["dr_priority"], 9)
        self.assertNotEqual(again["genid"], first["genid"])

        # Deleting the VPN removes its state: a last Hello, then nothing.
        start = self.commit("delete " + VPN)
        bye = self.listener.wait(lambda h: h.get("holdtime") == 0, start, timeout=3)
        self.listener.quiet(bye["time"] + 0.01, QUIET_S)
        self.assertIsNone(self.kemd.poll())

    def test_refusal_names_its_reason_and_a_new_agent_database_is_followed(self):
        self.start_agent()
        self.start_kemd()
        self.steady(self.configure_vpn1(), 2, 9)

        # The interface row's first change (shut v1) succeeds, its second one
        # is refused: the commit fails with kemd's reason and v1 runs on.
        before = self.running()
        r = self.cli("configure", "set %s interface v1 shutdown true" % VPN,
                     "set %s interface w1 ipv6 address 1:2/64" % VPN, "commit", "exit")
        self.assertEqual(r.returncode, 1, r.stdout)
        self.assertIn("Unable to apply changes: kemd: vpn 1 interface w1: ipv6 address "
                      "'1:2/64' is not a valid IPv6 prefix", r.stdout + r.stderr)
        self.assertEqual(self.running(), before)
        start = time.monotonic()
        self.steady(start, 2, 9)
        # The schema refuses what it can: IPv4 text as an IPv6 address, names
        # the kernel would not take.
        for line in ("set %s interface v1 ipv6 address 10.0.0.1/24" % VPN,
                     "set %s interface a/b shutdown false" % VPN,
                     "set %s interface abcdefghijklmnop shutdown false" % VPN):
            r = self.cli("configure", line, "commit", "exit")
            self.assertEqual(r.returncode, 1, line)
        self.assertEqual(self.running(), before)

        # The agent comes back with an empty database: kemd follows, VPN 1
        # says goodbye and falls silent.
        stop(self.agent)
        shutil.rmtree(os.path.dirname(DB), ignore_errors=True)
        os.makedirs(os.path.dirname(DB), exist_ok=True)
        start = time.monotonic()
        self.start_agent()
        bye = self.listener.wait(lambda h: h.get("holdtime") == 0, start, timeout=10)
        self.listener.quiet(bye["time"] + 0.01, QUIET_S)
        self.assertIsNone(self.kemd.poll())


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    args, rest = parser.parse_known_args()
    BUILD = os.path.abspath(args.build_dir)
    private_host.enter(own_network=True)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
