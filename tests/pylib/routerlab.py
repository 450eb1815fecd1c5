"""Routing labs for tests and benchmarks: a topology brought up with the lab
tool (lab/lab.py), our routers configured through kemcli, FRR queried through
vtysh, scripted PIM neighbors (pimnbr) on the LANs, always taken down.
"""
import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SRC = os.path.abspath(os.path.join(HERE, "..", ".."))
YANG = os.path.join(SRC, "yang")
sys.path.insert(0, os.path.join(SRC, "lab"))
sys.path.insert(0, HERE)
import lab as labtool  # noqa: E402
import pimnbr  # noqa: E402


def wait_for(what, pred, timeout=30.0, step=0.5):
    deadline = time.monotonic() + timeout
    last = None
    while time.monotonic() < deadline:
        last = pred()
        if last:
            return last
        time.sleep(step)
    raise AssertionError("timed out waiting for %s (last: %r)" % (what, last))


def find_list(tree, name):
    """The entries of the list called name anywhere in a JSON document."""
    if isinstance(tree, dict):
        for key, value in tree.items():
            if key.split(":")[-1] == name and isinstance(value, list):
                return value
            found = find_list(value, name)
            if found is not None:
                return found
    elif isinstance(tree, list):
        for item in tree:
            found = find_list(item, name)
            if found is not None:
                return found
    return None


def have_frr():
    return os.path.exists("/usr/lib/frr/pimd") and os.path.exists("/usr/bin/vtysh")


class RouterLab:
    """A lab up for the lifetime of the object: use it as a context manager."""

    def __init__(self, topology, build):
        self.topo = topology
        self.name = topology["name"]
        self.build = build
        self.nbrs = []

    def __enter__(self):
        labtool.up_dict(self.topo, self.build)
        return self

    def __exit__(self, *exc):
        self.down()
        return False

    def down(self):
        # KEMD_LAB_SHOW=1 shows the end of each of our routers' logs, to see why a lab failed.
        if os.environ.get("KEMD_LAB_SHOW"):
            for r, conf in self.topo["routers"].items():
                if conf.get("kind", "kem") == "kem":
                    print(self.log_tail(r, "syslog.log", 80))
        for n in self.nbrs:
            n.close()
        self.nbrs = []
        labtool.down(self.name)

    def run(self, router, *cmd, timeout=30, check=False):
        return labtool.exec_in(self.name, router, list(cmd), capture_output=True, text=True,
                               timeout=timeout, check=check)

    def pid(self, router, daemon):
        """Host pid of a daemon of a router (a child of the router's first process)."""
        first = labtool.load_state(self.name)["routers"][router]["pid"]
        with open("/proc/%d/task/%d/children" % (first, first)) as f:
            for p in f.read().split():
                with open("/proc/%s/comm" % p) as c:
                    if c.read().strip() == daemon:
                        return int(p)
        raise AssertionError("no %s in %s" % (daemon, router))

    def start_kemd(self, router):
        """kemd started again in a router's container (it ends with the lab)."""
        state = labtool.load_state(self.name)["routers"][router]
        with open(os.path.join(state["dir"], "kemd-restart.out"), "ab") as log:
            subprocess.Popen(["nsenter", "-t", str(state["pid"]), "-n", "-m", "-p",
                              "--wd=" + state["dir"], "--",
                              os.path.join(self.build, "daemon", "kemd"), "-f"],
                             stdout=log, stderr=log, stdin=subprocess.DEVNULL,
                             start_new_session=True)

    def route(self, router, prefix, via, vpn=None, verb="replace"):
        labtool.add_route(labtool.load_state(self.name), router, prefix, via, vpn, verb)

    def nbr(self, router, dev, addr, vpn=None, **kw):
        """A scripted PIM neighbor on a device of a router (a host container)."""
        n = pimnbr.PimNbr(labtool.netns_path(self.name, router, vpn), dev, addr, **kw)
        self.nbrs.append(n)
        return n

    # Our routers.

    def kemcli(self, router, *lines, json_out=False):
        argv = [os.path.join(self.build, "tools", "kemcli", "kemcli"), "-y", YANG, "-u", "lab"]
        if json_out:
            argv.append("--json")
        for line in lines:
            argv += ["-c", line]
        return self.run(router, *argv)

    def configure_kem(self, router, ifaces, vpn=1, hello=5, jp_interval=None, dr_priority=None,
                      extra=()):
        """VPN interfaces with addresses ({name: "a.b.c.d/len"}) and PIM on each,
        and the extra configuration lines, in one commit."""
        lines = []
        for ifname, addr in ifaces.items():
            pim_if = "set vpn vpn-instance %d router pim interface %s " % (vpn, ifname)
            lines += ["set vpn vpn-instance %d interface %s ip address %s" % (vpn, ifname, addr),
                      pim_if + "hello-interval %d" % hello]
            if jp_interval:
                lines.append(pim_if + "join-prune-interval %d" % jp_interval)
            if dr_priority is not None:
                lines.append(pim_if + "dr-priority %d" % dr_priority)
        self.commit(router, *lines, *extra)

    def commit(self, router, *lines):
        """Configuration lines committed on one of our routers."""
        r = self.kemcli(router, "configure", *lines, "commit", "exit")
        if r.returncode != 0:
            raise AssertionError("configuring %s: %s%s" % (router, r.stdout, r.stderr))

    def pim_routers(self):
        return [r for r, conf in self.topo["routers"].items() if conf["kind"] in ("kem", "frr")]

    def lan_addrs(self, router):
        """{interface: address/len} of a router on the topology's LANs."""
        return {m["if"]: m["addr"] for lan in self.topo["lans"].values()
                for r, m in lan["members"].items() if r == router}

    def configure_kems(self, *lines, **kw):
        """PIM on every LAN interface of each of our routers (configure_kem's
        keywords), then the lines given."""
        for r in self.pim_routers():
            if self.topo["routers"][r]["kind"] == "kem":
                self.configure_kem(r, self.lan_addrs(r), extra=lines, **kw)

    def neighbors(self, router):
        if self.topo["routers"][router]["kind"] == "kem":
            return self.kem_neighbors(router)
        return self.frr_neighbors(router)

    def wait_adjacent(self, extra=None, timeout=40):
        """Until every router lists the routers on its LANs and the addresses
        extra ({router: addresses}) names, scripted neighbors say."""
        want = {r: set(a) for r, a in (extra or {}).items()}
        pim = self.pim_routers()
        for lan in self.topo["lans"].values():
            addrs = {r: m["addr"].split("/")[0] for r, m in lan["members"].items() if r in pim}
            for r in addrs:
                want.setdefault(r, set()).update(a for o, a in addrs.items() if o != r)
        wait_for("the routers to list %s" % want,
                 lambda: all(a <= self.neighbors(r) for r, a in want.items()), timeout, step=1)

    def snooping_off(self):
        """Plain LAN switches: no IGMP snooping between routers and hosts."""
        for sw in labtool.load_state(self.name)["switches"].values():
            labtool.nsenter(sw["pid"], ["ip", "link", "set", "br0", "type", "bridge",
                                        "mcast_snooping", "0"], mount=False)

    def ftmd_state(self, router):
        """ftmd's state file on a router ({} while there is none)."""
        try:
            return json.loads(self.run(router, "cat", "/var/run/ftmd.json").stdout)
        except ValueError:
            return {}

    def ftmd_entries(self, router):
        """{(source, group): entry, with its VPN's drop counters} of ftmd on a router."""
        return {(e["source"], e["group"]): dict(e, drops=v["drops"])
                for v in self.ftmd_state(router).get("vpns", []) for e in v["entries"]}

    def fwd_oil(self, router, source, group):
        """Outgoing interfaces of an entry of ftmd on a router ("0.0.0.0" for the
        source of (*,G))."""
        return (self.ftmd_entries(router).get((source, group)) or {}).get("oil", [])

    def rows(self, router, table):
        """Rows of an operational table, or None while the daemon does not serve it."""
        r = self.kemcli(router, "show " + table, json_out=True)
        if r.returncode != 0:
            return None
        return find_list(json.loads(r.stdout or "{}"), table) or []

    def kem_neighbors(self, router):
        return {n["neighbor-address"] for n in self.rows(router, "pim-neighbor") or []}

    # FRR routers.

    def vtysh(self, router, cmd):
        r = self.run(router, "vtysh", "--vty_socket", "/run/frr", "-c", cmd)
        try:
            return json.loads(r.stdout)
        except ValueError:
            return None

    def frr_neighbors(self, router):
        j = self.vtysh(router, "show ip pim neighbor json") or {}
        return {a for nbrs in j.values() if isinstance(nbrs, dict) for a in nbrs}

    def log_tail(self, router, name, lines=30):
        path = os.path.join(labtool.lab_dir(self.name), router, name)
        try:
            with open(path, errors="replace") as f:
                return "".join(f.readlines()[-lines:])
        except OSError:
            return ""


# The router under test between a downstream LAN (lan1, 10.1.1.0/24: the
# router's eth1 is .1, scripted neighbors d1, d2... are .11, .12...) and an
# upstream LAN (lan2, 10.2.2.0/24: eth2 is .1, scripted neighbors u1, u2...
# are .2, .3...), with the RP and the sources (10.99.0.0/16 unless told)
# routed through u1.
RP = "10.99.0.1"
SOURCES = "10.99.0.0/16"
R_DOWN, R_UP = "10.1.1.1", "10.2.2.1"


def down_addr(i):
    return "10.1.1.%d" % (10 + i)


def up_addr(i):
    return "10.2.2.%d" % (1 + i)


def transit_topology(name, kind="kem", ndown=1, nup=1, jp_interval=5, hello=5, sources=SOURCES,
                     frr_log="debugging"):
    """Router "r1" of kind kem (interfaces in VPN 1) or frr, with host routers
    d1..dN and u1..uN holding the scripted neighbors."""
    vpn = 1 if kind == "kem" else None
    member = {"if": "eth1", "addr": R_DOWN + "/24"}
    up = {"if": "eth2", "addr": R_UP + "/24"}
    r1 = {"kind": kind}
    if kind == "kem":
        r1.update(vpns=[1])
        member["vpn"] = up["vpn"] = 1
    else:
        member["hello"] = up["hello"] = hello
        r1["frr"] = ["ip pim rp %s 224.0.0.0/4" % RP, "ip pim join-prune-interval %d" % jp_interval]
        r1["frr_log"] = frr_log
    r1["routes"] = [[sources, up_addr(1), vpn]]
    routers = {"r1": r1}
    lan1 = {"r1": member}
    lan2 = {"r1": up}
    for i in range(1, ndown + 1):
        routers["d%d" % i] = {"kind": "host"}
        lan1["d%d" % i] = {"if": "eth1", "addr": down_addr(i) + "/24"}
    for i in range(1, nup + 1):
        routers["u%d" % i] = {"kind": "host"}
        lan2["u%d" % i] = {"if": "eth1", "addr": up_addr(i) + "/24"}
    return {"name": name, "routers": routers,
            "lans": {"lan1": {"members": lan1}, "lan2": {"members": lan2}}}


class TransitLab(RouterLab):
    """transit_topology brought up, our router configured, and every scripted
    neighbor sending Hellos until the router lists it."""

    def __init__(self, name, build, kind="kem", ndown=1, nup=1, jp_interval=5, hello=5,
                 keep=True, lan_prune_delay=None, sources=SOURCES, frr_log="debugging"):
        super().__init__(transit_topology(name, kind, ndown, nup, jp_interval, hello, sources,
                                          frr_log), build)
        self.kind = kind
        self.jp_interval = jp_interval
        self.hello_s = hello
        self.counts = (ndown, nup)
        self.keep = keep
        self.lan_prune_delay = lan_prune_delay
        self.down_nbrs = []
        self.up_nbrs = []

    def __enter__(self):
        super().__enter__()
        try:
            if self.kind == "kem":
                self.configure_kem("r1", {"eth1": R_DOWN + "/24", "eth2": R_UP + "/24"},
                                   hello=self.hello_s, jp_interval=self.jp_interval)
            ndown, nup = self.counts
            for i in range(1, ndown + 1):
                self.down_nbrs.append(self.nbr("d%d" % i, "eth1", down_addr(i), keep=self.keep))
            for i in range(1, nup + 1):
                self.up_nbrs.append(self.nbr("u%d" % i, "eth1", up_addr(i), keep=self.keep))
            for n in self.down_nbrs[:1] + self.up_nbrs:
                n.start_hellos(interval=self.hello_s, holdtime=int(self.hello_s * 3.5),
                               lan_prune_delay=self.lan_prune_delay)
            want = {n.addr for n in self.down_nbrs[:1] + self.up_nbrs}

            def listed():
                # Hellos sent before the router's PIM interfaces are up are lost.
                for n in self.down_nbrs[:1] + self.up_nbrs:
                    n.hello(**n.hello_args)
                return want <= self.neighbors()

            wait_for("r1 to list %s" % sorted(want), listed, 40, step=1)
        except BaseException:
            self.down()
            raise
        return self

    def neighbors(self, router="r1"):
        return super().neighbors(router)


def frr_join_states(j, ifname, group):
    """{source or '*': channelJoinName} of a group on an interface in
    `show ip pim join json`."""
    return {src: e.get("channelJoinName") for src, e in
            ((j or {}).get(ifname, {}).get(group) or {}).items() if isinstance(e, dict)}
