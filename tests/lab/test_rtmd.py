"""rtmd against the kernel: interfaces, addresses and routes changed with
iproute2 inside a VPN's network namespace reach a client of rtmd's control
socket as the right reports and next-hop updates.

Runs in its own mount namespace with a tmpfs on /run, so /var/run/quagga and
/var/run/netns are private; the network namespaces it creates are removed at
the end. The client is rtm_probe, which prints every message as one line.
"""
import argparse
import os
import re
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "pylib"))
import private_host  # noqa: E402
from private_host import sh, stop  # noqa: E402
from pimnbr import Received  # noqa: E402

BUILD = None
VPN = "7"
SOCK = "/var/run/quagga/zebra_protobuf_ctrl.api"
WAIT = 5.0


def ns(*cmd):
    sh("ip", "-n", VPN, *cmd)


def wait_path(path, present, timeout=WAIT):
    deadline = time.monotonic() + timeout
    while os.path.exists(path) != present:
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


class Probe(Received):
    """rtm_probe on a control socket; its output lines are kept in order."""

    def __init__(self, path):
        super().__init__()
        self.proc = subprocess.Popen([os.path.join(BUILD, "tools", "rtmd", "rtm_probe"), path],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                                     bufsize=1)
        self.pos = 0  # lines before it were matched or skipped
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            self.add(line.rstrip("\n"))
        self.add(None)

    def send(self, command):
        self.proc.stdin.write(command + "\n")
        self.proc.stdin.flush()

    def expect(self, pattern, timeout=WAIT):
        """The next line matching pattern (lines before it are skipped)."""
        line = self.wait(lambda x: x is None or re.fullmatch(pattern, x), timeout, self.pos)
        if line is None:
            raise AssertionError("no line matching %r; seen: %s" % (pattern,
                                                                    self.messages()[-20:]))
        self.pos = self.received.index(line, self.pos) + 1
        return re.fullmatch(pattern, line)

    def quiet(self, pattern, duration=0.7):
        """Fails if a line matching pattern arrives within duration."""
        time.sleep(duration)
        late = self.messages(self.pos, lambda x: x is not None and re.fullmatch(pattern, x))
        self.pos = self.mark()
        if late:
            raise AssertionError("unexpected %r" % late[0])

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait(timeout=5)
        self.proc.stdin.close()
        self.proc.stdout.close()


class RtmdLab(unittest.TestCase):
    def setUp(self):
        # `ip netns add` keeps its namespaces on a shared mount at /run/netns;
        # inside our private /run that mount is made here, and ip uses it.
        os.makedirs("/run/netns", exist_ok=True)
        sh("mount", "--bind", "/run/netns", "/run/netns")
        sh("mount", "--make-shared", "/run/netns")
        self.stderr = open("/run/rtmd.err", "w+")
        self.rtmd = subprocess.Popen([os.path.join(BUILD, "tools", "rtmd", "rtmd"), "-f"],
                                     stderr=self.stderr)
        self.probes = []
        self.assertTrue(wait_path(SOCK, True), "rtmd serves VPN 0")
        sh("ip", "netns", "add", VPN)
        ns("link", "set", "lo", "up")
        ns("link", "add", "d0", "type", "veth", "peer", "name", "d1")
        ns("link", "set", "d1", "up")
        ns("link", "set", "d0", "up")
        ns("addr", "add", "10.9.0.1/24", "dev", "d0")
        self.assertTrue(wait_path(SOCK + "." + VPN, True), "rtmd serves the new namespace")

    def tearDown(self):
        for p in self.probes:
            p.close()
        subprocess.run(["ip", "netns", "del", VPN], stderr=subprocess.DEVNULL)
        code = stop(self.rtmd)
        self.stderr.seek(0)
        log = self.stderr.read()
        self.stderr.close()
        self.assertEqual(code, 0, log)
        self.assertFalse(os.path.exists(SOCK), "the socket files go with rtmd")
        subprocess.run(["umount", "/run/netns"], stderr=subprocess.DEVNULL)

    def probe(self, path):
        p = Probe(path)
        self.probes.append(p)
        p.expect("READY")
        return p

    def test_reports_and_next_hops_follow_the_kernel(self):
        p = self.probe(SOCK + "." + VPN)
        p.send("hello")
        p.send("interfaces")
        d0 = p.expect(r"IF 0 d0 (\d+) up").group(1)
        p.expect(r"IF 4 d0 %s 10\.9\.0\.1/24" % d0)

        # Connected and unresolved addresses answer at once.
        p.send("register 10.9.0.5")
        p.expect(r"NH 10\.9\.0\.5 metric 0 distance 0 proto 3 0:-@%s" % d0)
        p.send("register 8.8.8.8")
        p.expect(r"NH 8\.8\.8\.8 metric 0 distance 0 proto 0")

        # Routes: a covering route, then a longer ECMP one with a metric.
        ns("route", "add", "8.8.0.0/16", "via", "10.9.0.2")
        p.expect(r"NH 8\.8\.8\.8 metric 0 distance 1 proto 4 2:10\.9\.0\.2@%s" % d0)
        ns("route", "add", "8.8.8.0/24", "metric", "5", "nexthop", "via", "10.9.0.3",
           "nexthop", "via", "10.9.0.4")
        p.expect(r"NH 8\.8\.8\.8 metric 5 distance 1 proto 4 "
                 r"2:10\.9\.0\.3@%s 2:10\.9\.0\.4@%s" % (d0, d0))
        ns("route", "del", "8.8.8.0/24")
        p.expect(r"NH 8\.8\.8\.8 metric 0 distance 1 proto 4 2:10\.9\.0\.2@%s" % d0)

        # Addresses come and go.
        ns("addr", "add", "10.9.1.1/24", "dev", "d0")
        p.expect(r"IF 4 d0 %s 10\.9\.1\.1/24" % d0)
        ns("addr", "del", "10.9.1.1/24", "dev", "d0")
        p.expect(r"IF 5 d0 %s 10\.9\.1\.1/24" % d0)

        # A link going down takes its next hops with it.
        ns("link", "set", "d0", "down")
        p.expect(r"IF 3 d0 %s" % d0)
        p.expect(r"NH 8\.8\.8\.8 metric 0 distance 0 proto 0")
        ns("link", "set", "d0", "up")
        p.expect(r"IF 2 d0 %s" % d0)
        # Whether the kernel kept the route through the outage or not, it is
        # back after this, and so is the next hop.
        ns("route", "replace", "8.8.0.0/16", "via", "10.9.0.2")
        p.expect(r"NH 8\.8\.8\.8 metric 0 distance 1 proto 4 2:10\.9\.0\.2@%s" % d0)

        # After unregistering, changes of that address are not reported.
        p.send("unregister 8.8.8.8")
        p.quiet(r"NH 8\.8\.8\.8.*2:10\.9\.0\.9@.*", 0.3)
        ns("route", "replace", "8.8.0.0/16", "via", "10.9.0.9")
        p.quiet(r"NH 8\.8\.8\.8.*")

        # IPv6: the multipath route's next hops, however the kernel lists them.
        ns("addr", "add", "2001:db8:9::1/64", "dev", "d0", "nodad")
        p.expect(r"IF 4 d0 %s 2001:db8:9::1/64" % d0)
        p.send("register 2001:db8:5::5")
        p.expect(r"NH 2001:db8:5::5 metric 0 distance 0 proto 0")
        ns("-6", "route", "add", "2001:db8:5::/64", "nexthop", "via", "2001:db8:9::2",
           "nexthop", "via", "2001:db8:9::3")
        p.expect(r"NH 2001:db8:5::5 metric 1024 distance 1 proto 4 "
                 r"2:2001:db8:9::2@%s 2:2001:db8:9::3@%s" % (d0, d0))

        # New interfaces are announced with their state.
        ns("link", "add", "d2", "type", "veth", "peer", "name", "d3")
        p.expect(r"IF 0 d2 \d+ down")
        ns("link", "del", "d2")
        p.expect(r"IF 1 d2 \d+")

    def test_namespaces_come_and_go(self):
        root = self.probe(SOCK)
        root.send("interfaces")
        root.expect(r"IF 0 lo 1 up")

        p = self.probe(SOCK + "." + VPN)
        sh("ip", "netns", "del", VPN)
        p.expect("CLOSED")
        self.assertTrue(wait_path(SOCK + "." + VPN, False), "the dropped VPN's socket goes")

        # A namespace of the same name later is served afresh.
        sh("ip", "netns", "add", VPN)
        self.assertTrue(wait_path(SOCK + "." + VPN, True))
        p2 = self.probe(SOCK + "." + VPN)
        p2.send("interfaces")
        p2.expect(r"IF 0 lo 1 down")
        p2.quiet(r"IF 0 d0.*", 0.3)
        # Names that are not VPN ids are ignored.
        sh("ip", "netns", "add", "blue")
        time.sleep(1.5)
        self.assertEqual(sorted(os.listdir("/var/run/quagga")),
                         ["zebra_protobuf_ctrl.api", "zebra_protobuf_ctrl.api." + VPN])
        sh("ip", "netns", "del", "blue")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    args, rest = parser.parse_known_args()
    BUILD = os.path.abspath(args.build_dir)
    private_host.enter()
    if subprocess.run(["ip", "-V"], stdout=subprocess.DEVNULL).returncode != 0:
        print("skipped: iproute2 missing")
        sys.exit(0)
    subprocess.check_call(["mount", "-t", "tmpfs", "rtmd-run", "/run"])
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
