"""The Debian package, end to end: built from this build tree with cpack,
installed with apt into a fresh minimal Debian 12 root, its daemons started
from their systemd units' command lines (no systemd here), PIM configured and
a table read back through the installed kemcli by a member of the operators'
group; no program is given a path. The units pass `systemd-analyze verify`
and the package lintian, where those tools are installed.

The minimal root is CI's fresh-machine base when present, else one made once
by debootstrap and kept in /var/tmp/kemd-pkg/base; each run mounts an overlay
on it. apt takes the host's package lists and cached packages, so installing
needs no network when the host already has them.
"""
import argparse
import glob
import json
import os
import shlex
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "pylib"))
import private_host  # noqa: E402

BUILD = None
WORK = "/var/tmp/kemd-pkg"
BASES = ["/var/tmp/fresh-debian/base", os.path.join(WORK, "base")]
UNITS = ["cdbd.service", "rtmd.service", "kemd.service", "igmpd.service", "ftmd.service"]
VPN = "vpn vpn-instance 1"
PIM_IF = VPN + " router pim interface pk0"
# Lintian tags explained in the README rather than fixed.
LINTIAN_ACCEPTED = ("no-manual-page",)


def sh(*cmd, timeout=120, **kw):
    r = subprocess.run(cmd, timeout=timeout, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                       text=True, **kw)
    if r.returncode != 0:
        raise Failed(r.returncode, " ".join(cmd), r.stdout[-3000:])
    return r.stdout


def base_root():
    for base in BASES:
        if os.path.exists(os.path.join(base, "bin", "bash")):
            return base
    mirror = "http://deb.debian.org/debian"
    with open("/etc/apt/sources.list.d/debian.sources") as f:
        mirror = next((line.split()[1] for line in f if line.startswith("URIs:")), mirror)
    tmp = BASES[-1] + ".tmp"
    shutil.rmtree(tmp, ignore_errors=True)
    start = time.monotonic()
    sh("debootstrap", "--variant=minbase", "--cache-dir=/var/cache/apt/archives", "bookworm",
       tmp, mirror, timeout=600)
    os.rename(tmp, BASES[-1])
    print("minimal root made in %.1f s" % (time.monotonic() - start))
    return BASES[-1]


def unit_field(text, key):
    return [line.split("=", 1)[1] for line in text.splitlines() if line.startswith(key + "=")]


class Failed(subprocess.CalledProcessError):
    def __str__(self):
        return "%s\n%s" % (super().__str__(), self.output)


def mount_root(tmp):
    """The fresh root: an overlay on the base, with /proc, /dev and /run."""
    root = os.path.join(tmp, "root")
    for d in ("upper", "work", "root"):
        os.makedirs(os.path.join(tmp, d), exist_ok=True)
    sh("mount", "-t", "overlay", "kemd-pkg", "-o", "lowerdir=%s,upperdir=%s/upper,workdir=%s/work"
       % (base_root(), tmp, tmp), root)
    sh("mount", "-t", "proc", "proc", root + "/proc")
    sh("mount", "--rbind", "/dev", root + "/dev")
    sh("mount", "-t", "tmpfs", "kemd-pkg-run", root + "/run")
    return root


def chroot(root, *cmd, timeout=60, user=None, env=None):
    pre = ["chroot"] + (["--userspec=%s" % user] if user else []) + [root]
    env = dict(env or {}, PATH="/usr/sbin:/usr/bin:/sbin:/bin", HOME="/tmp", LANG="C.UTF-8",
               DEBIAN_FRONTEND="noninteractive")
    return sh(*(pre + list(cmd)), timeout=timeout, env=env)


def prepare(tmp):
    """With the host's network, in a mount namespace of its own: builds the
    package and installs it into the root's overlay, which the test mounts
    again in its own network namespace."""
    out = os.path.join(tmp, "out")
    sh("cpack", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-B", out)
    deb = glob.glob(os.path.join(out, "kemd_*.deb"))[0]
    root = mount_root(tmp)
    shutil.copy("/etc/resolv.conf", root + "/etc/resolv.conf")
    for f in glob.glob("/etc/apt/sources.list.d/*.sources"):
        shutil.copy(f, root + "/etc/apt/sources.list.d/")
    # The host's package lists and, of the packages to install, those the host
    # has (same mirror).
    lists = glob.glob("/var/lib/apt/lists/*_Packages*") + glob.glob("/var/lib/apt/lists/*Release*")
    for f in lists:
        shutil.copy(f, root + "/var/lib/apt/lists/")
    shutil.copy(deb, root + "/tmp/kemd.deb")
    if not lists:
        chroot(root, "apt-get", "update", timeout=300)
    uris = chroot(root, "apt-get", "install", "-qq", "--print-uris", "--no-install-recommends",
                  "/tmp/kemd.deb")
    for name in (line.split()[1] for line in uris.splitlines() if line.startswith("'")):
        if os.path.exists("/var/cache/apt/archives/" + name):
            shutil.copy("/var/cache/apt/archives/" + name, root + "/var/cache/apt/archives/")
    chroot(root, "apt-get", "install", "-y", "--no-install-recommends", "/tmp/kemd.deb",
           timeout=300)


class PackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = os.environ["KEMD_PKG_TMP"]
        cls.deb = glob.glob(os.path.join(cls.tmp, "out", "kemd_*.deb"))[0]
        # The test's own /run and /dev (no syslog socket of the host's).
        private_host.make_private_dirs()
        cls.root = mount_root(cls.tmp)
        cls.procs = []

    @classmethod
    def tearDownClass(cls):
        for p in cls.procs:
            p.kill()
            p.wait()
        subprocess.run(["umount", "-R", cls.root])
        shutil.rmtree(cls.tmp)

    @classmethod
    def chroot(cls, *cmd, **kw):
        return chroot(cls.root, *cmd, **kw)

    def kemcli(self, *lines, user="op:op", json_out=False):
        args = ["kemcli"] + (["--json"] if json_out else [])
        for line in lines:
            args += ["-c", line]
        return self.chroot(*args, user=user)

    def test_installed_package_runs_the_router_without_paths(self):
        root = self.root
        # Layout, state directory, operators' group, units enabled.
        for path in ("usr/sbin/kemd", "usr/sbin/cdbd", "usr/sbin/rtmd", "usr/bin/kemcli",
                     "usr/share/kem/yang/kem-vpn.yang"):
            self.assertTrue(os.path.exists(os.path.join(root, path)), path)
        self.assertEqual(os.stat(root + "/var/lib/cdbd").st_mode & 0o777, 0o750)
        self.chroot("getent", "group", "kem")
        wants = os.listdir(root + "/etc/systemd/system/multi-user.target.wants")
        self.assertTrue(set(UNITS) <= set(wants), wants)

        # The daemons in their units' order, each from its ExecStart line, with
        # its ExecStartPost (readiness) before the next one starts.
        sh("ip", "link", "add", "pk0", "type", "veth", "peer", "name", "pk1")
        sh("ip", "addr", "add", "10.77.0.1/24", "dev", "pk0")
        sh("ip", "link", "set", "pk0", "up")
        sh("ip", "link", "set", "pk1", "up")
        # VPN 1 is this test's network namespace, named as the daemons expect.
        os.makedirs(root + "/run/netns")
        open(root + "/run/netns/1", "w").close()
        sh("mount", "--bind", "/proc/self/ns/net", root + "/run/netns/1")
        for unit in UNITS:
            with open(os.path.join(root, "lib/systemd/system", unit)) as f:
                text = f.read()
            log = os.path.join(self.tmp, unit + ".log")
            argv = shlex.split(unit_field(text, "ExecStart")[0])
            with open(log, "w") as f:
                self.procs.append(subprocess.Popen(["chroot", root] + argv, stdout=f,
                                                   stderr=subprocess.STDOUT))
            # As systemd runs it: "$$" is a "$", MAINPID the daemon's.
            for post in unit_field(text, "ExecStartPost"):
                chroot(root, *shlex.split(post.replace("$$", "$")), timeout=20,
                       env={"MAINPID": str(self.procs[-1].pid)})
            time.sleep(0.5)
            with open(log) as f:
                self.assertIsNone(self.procs[-1].poll(), "%s ended: %s" % (unit, f.read()))

        # An operator in the group configures and reads back; others are refused.
        self.chroot("useradd", "-G", "kem", "op")
        self.kemcli("configure", "set system system-ip 10.255.0.7",
                    "set %s interface pk0 ip address 10.77.0.1/24" % VPN,
                    "set %s hello-interval 7" % PIM_IF, "commit", "exit")
        deadline = time.monotonic() + 20
        while True:
            try:
                rows = json.dumps(json.loads(self.kemcli("show pim-interface", json_out=True)))
            except Failed as e:  # until kemd serves the table
                rows = e.output
            if "pk0" in rows or time.monotonic() > deadline:
                break
            time.sleep(0.5)
        logs = ""
        for unit in UNITS:
            with open(os.path.join(self.tmp, unit + ".log")) as f:
                logs += f.read()
        self.assertIn("pk0", rows, logs)
        self.assertIn("10.77.0.1", rows)
        with self.assertRaises(subprocess.CalledProcessError):
            self.kemcli("show running-config", user="nobody:nogroup")

    def test_units_verify_and_package_is_lintian_clean(self):
        if shutil.which("systemd-analyze"):
            units = [os.path.join(self.root, "lib/systemd/system", u) for u in UNITS]
            r = subprocess.run(["systemd-analyze", "verify", "--man=no"] + units,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            # The host lacks the packaged programs; they are checked in the root.
            problems = [line for line in r.stdout.splitlines()
                        if not (" is not executable: No such file" in line and
                                os.path.exists(self.root + line.split("Command ")[1].split()[0]))]
            self.assertEqual(problems, [])
        if shutil.which("lintian"):
            r = subprocess.run(["lintian", "--tag-display-limit", "0", self.deb],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            tags = [line for line in r.stdout.splitlines()
                    if line[:2] in ("E:", "W:") and not any(t in line for t in LINTIAN_ACCEPTED)]
            self.assertEqual(tags, [])


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--prepare")
    args, rest = parser.parse_known_args()
    BUILD = os.path.abspath(args.build_dir)
    if args.prepare:
        prepare(args.prepare)
        sys.exit(0)
    if "KEMD_PKG_TMP" not in os.environ:
        if os.geteuid() != 0:
            print("skipped: needs root for mount namespaces")
            sys.exit(0)
        os.makedirs(WORK, exist_ok=True)
        tmp = tempfile.mkdtemp(dir=WORK)
        start = time.monotonic()
        r = subprocess.run(["unshare", "-m", "--propagation", "private", sys.executable,
                            sys.argv[0], "--build-dir", BUILD, "--prepare", tmp])
        if r.returncode != 0:
            shutil.rmtree(tmp)
            sys.exit(1)
        print("package built and installed in %.1f s" % (time.monotonic() - start))
        os.environ["KEMD_PKG_TMP"] = tmp
    private_host.enter(own_network=True)
    unittest.main(argv=[sys.argv[0]] + rest)
