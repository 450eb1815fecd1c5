"""First process of a lab router: a light container with its own network, mount
and PID namespaces, so the daemons' fixed paths (/var/run/..., /dev/log,
/proc/1/ns/net) are the router's own. It prepares the private file systems,
starts the router's daemons and reaps them; SIGTERM stops everything.

Run by lab.py through `unshare --net --mount --pid --fork --mount-proc`.
"""
import json
import os
import signal
import socket
import subprocess
import sys
import threading
import time


def mount_tmpfs(path, name):
    os.makedirs(path, exist_ok=True)
    subprocess.check_call(["mount", "-t", "tmpfs", name, path])


def private_dev():
    mount_tmpfs("/dev", "lab-dev")
    for name, minor in (("null", 3), ("zero", 5), ("random", 8), ("urandom", 9)):
        os.mknod("/dev/" + name, 0o20666, os.makedev(1, minor))
        os.chmod("/dev/" + name, 0o666)
    os.symlink("/proc/self/fd", "/dev/fd")
    for i, name in enumerate(("stdin", "stdout", "stderr")):
        os.symlink("/proc/self/fd/%d" % i, "/dev/" + name)
    os.makedirs("/dev/pts", exist_ok=True)
    os.makedirs("/dev/shm", exist_ok=True)


def syslog_to_file(path):
    """Collects the router's syslog lines (datagrams at /dev/log) into a file."""
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sock.bind("/dev/log")
    os.chmod("/dev/log", 0o666)

    def pump():
        with open(path, "a", buffering=1) as out:
            while True:
                data = sock.recv(65536)
                out.write(data.decode(errors="replace").rstrip("\n") + "\n")

    threading.Thread(target=pump, daemon=True).start()


def main():
    rdir = sys.argv[1]
    with open(os.path.join(rdir, "router.json")) as f:
        cfg = json.load(f)

    socket.sethostname(cfg["hostname"])
    mount_tmpfs("/run", "lab-run")
    os.makedirs("/run/netns", exist_ok=True)
    private_dev()
    syslog_to_file(os.path.join(rdir, "syslog.log"))
    for path in cfg.get("tmpfs", []):
        mount_tmpfs(path, "lab-tmp")
    for src, dst in cfg.get("binds", []):
        os.makedirs(dst, exist_ok=True)
        subprocess.check_call(["mount", "--bind", src, dst])
    subprocess.check_call(["ip", "link", "set", "lo", "up"])
    # VPN namespaces exist before the daemons, which look for them at start.
    for vpn in cfg.get("vpns", []):
        subprocess.check_call(["ip", "netns", "add", vpn])
        subprocess.check_call(["ip", "-n", vpn, "link", "set", "lo", "up"])
    for cmd in cfg.get("setup", []):
        subprocess.check_call(cmd)

    children = []
    stopping = False

    def stop(_sig, _frame):
        nonlocal stopping
        stopping = True
        for p in children:
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)

    for d in cfg.get("daemons", []):
        log = open(os.path.join(rdir, d["name"] + ".out"), "ab")
        children.append(subprocess.Popen(d["argv"], stdout=log, stderr=log,
                                         stdin=subprocess.DEVNULL, cwd=rdir,
                                         env=dict(os.environ, **d.get("env", {}))))
        if d.get("wait_path"):
            deadline = time.monotonic() + 10
            while not os.path.exists(d["wait_path"]) and time.monotonic() < deadline:
                time.sleep(0.05)
    with open(os.path.join(rdir, "ready"), "w") as f:
        f.write("ready\n")

    # As the namespace's first process we reap every orphan, not only our children.
    while True:
        try:
            pid, _ = os.waitpid(-1, 0)
        except ChildProcessError:
            if stopping:
                return 0
            time.sleep(0.2)
            continue
        except InterruptedError:
            continue
        if stopping and all(p.poll() is not None for p in children):
            return 0
        del pid


if __name__ == "__main__":
    sys.exit(main())
