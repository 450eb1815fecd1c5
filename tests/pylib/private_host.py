"""Run a test inside a private mount namespace whose /run and /dev are its own.

The daemons use fixed paths (/var/run/<name>.0.pid, /var/run/.<peer>, /dev/log);
a test re-executes itself under `unshare -m` and mounts fresh tmpfs file systems
there, so nothing it does touches the host's files and its own syslog socket
receives the daemon's lines.
"""
import os
import signal
import socket
import subprocess
import sys
import time

_MARK = "KEMD_PRIVATE_HOST"


def enter(own_network=False):
    """Re-executes the calling script in a private mount namespace (once).

    With own_network the script also gets its own network namespace and PID
    namespace, in which it is process 1: /proc/1/ns/net is then its own
    network, and every process it leaves behind ends with it.
    """
    if os.environ.get(_MARK) == "1":
        return
    if os.geteuid() != 0:
        print("skipped: needs root for mount namespaces")
        sys.exit(0)
    env = dict(os.environ, **{_MARK: "1"})
    cmd = ["unshare", "-m", "--propagation", "private"]
    if own_network:
        cmd += ["-n", "-p", "-f", "--mount-proc"]
    cmd += [sys.executable] + sys.argv
    sys.exit(subprocess.call(cmd, env=env))


def make_private_dirs():
    """Mounts empty /run and a minimal /dev inside the namespace."""
    subprocess.check_call(["mount", "-t", "tmpfs", "kemd-run", "/run"])
    subprocess.check_call(["mount", "-t", "tmpfs", "kemd-dev", "/dev"])
    for name, minor in (("null", 3), ("zero", 5), ("random", 8), ("urandom", 9)):
        os.mknod("/dev/" + name, 0o20666, os.makedev(1, minor))
        os.chmod("/dev/" + name, 0o666)
    os.symlink("/proc/self/fd", "/dev/fd")


class Syslog:
    """A datagram socket at /dev/log that collects the lines written there."""

    def __init__(self, path="/dev/log"):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        if os.path.exists(path):
            os.unlink(path)
        self.sock.bind(path)
        self.sock.setblocking(False)
        self.lines = []
        self.seen = 0  # lines before this index were already matched or skipped

    def drain(self):
        while True:
            try:
                data = self.sock.recv(65536)
            except BlockingIOError:
                return self.lines
            self.lines.append(data.decode(errors="replace"))

    def wait_for(self, text, timeout=10.0):
        """Returns the next unseen line holding text, waiting up to timeout
        seconds; lines up to the match are not looked at again."""
        deadline = time.monotonic() + timeout
        while True:
            lines = self.drain()
            for i in range(self.seen, len(lines)):
                if text in lines[i]:
                    self.seen = i + 1
                    return lines[i]
            if time.monotonic() >= deadline:
                return None
            time.sleep(0.05)

    def close(self):
        self.sock.close()


def sh(*cmd):
    """A set-up command; its failure (with what it printed) fails the test."""
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=10)


def stop(proc, sig=signal.SIGTERM):
    """Signals a process and waits for it (killed after 10 s); its exit code."""
    if proc is None or proc.poll() is not None:
        return proc.returncode if proc else None
    proc.send_signal(sig)
    try:
        return proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        proc.kill()
        return proc.wait(timeout=5)
