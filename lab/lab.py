#!/usr/bin/env python3
"""Router labs on one host.

Each router is a light container (its own network, mount and PID namespaces)
running our daemons (cdbd, rtmd, kemd) or FRR's zebra and pimd as a black box;
LANs are bridges in a switch container joined to the routers by veth pairs.
Nothing is created in the host's network namespace for longer than a veth
creation takes, and nothing is left behind by `down`.

    lab.py up TOPOLOGY.json [--build-dir DIR]   bring a lab up
    lab.py down NAME                            bring it down
    lab.py exec NAME ROUTER -- CMD...           run a command inside a router,
                                                from the current directory
    lab.py status NAME                          routers and their pids

A topology names its routers (kind "kem", "frr" or "host", optional "vpns" for
VPN namespaces inside a router, "loopback" addresses, kernel "routes" as
[prefix, next hop, optional VPN], for FRR extra global "frr" config lines and
the "frr_log" file level)
and its LANs (members with interface name, address, optional VPN, and for FRR
"hello" and "dr_priority").
"""
import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import time

# Outside /run, which every router replaces with its own.
LAB_ROOT = os.environ.get("KEMD_LAB_ROOT", "/var/tmp/kemd-lab")
HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
START_TIMEOUT = 20.0
# Containers started by this process: they outlive its handles on purpose.
_STARTED = []
STOP_TIMEOUT = 10.0


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, **kw)


def lab_dir(name):
    return os.path.join(LAB_ROOT, name)


def load_state(name):
    with open(os.path.join(lab_dir(name), "state.json")) as f:
        return json.load(f)


def save_state(state):
    with open(os.path.join(lab_dir(state["name"]), "state.json"), "w") as f:
        json.dump(state, f, indent=1)


def container_pid(unshare_pid, timeout=START_TIMEOUT):
    """Host pid of the first process inside the container that unshare forked."""
    deadline = time.monotonic() + timeout
    path = "/proc/%d/task/%d/children" % (unshare_pid, unshare_pid)
    while time.monotonic() < deadline:
        try:
            with open(path) as f:
                kids = f.read().split()
            if kids:
                return int(kids[0])
        except FileNotFoundError:
            break
        time.sleep(0.02)
    raise RuntimeError("container did not start (unshare pid %d)" % unshare_pid)


def nsenter(pid, cmd, mount=True, **kw):
    args = ["nsenter", "-t", str(pid), "-n"]
    if mount:
        args += ["-m", "-p"]
    return run(args + ["--"] + cmd, **kw)


def kem_daemons(build, rdir):
    # igmpd and ftmd when built (a build of selected targets may lack them).
    extra = [{"name": name, "argv": [path, "-f"]}
             for name, path in (("ftmd", os.path.join(build, "tools", "ftmd", "ftmd")),
                                ("igmpd", os.path.join(build, "tools", "igmpd", "igmpd")))
             if os.path.exists(path)]
    return [
        {"name": "cdbd", "argv": [os.path.join(build, "tools", "cdbd", "cdbd"), "-f",
                                  "-d", os.path.join(rdir, "cdb.sqlite"),
                                  "-y", os.path.join(TOP, "yang")],
         "wait_path": "/var/run/.cdbd"},
        {"name": "rtmd", "argv": [os.path.join(build, "tools", "rtmd", "rtmd"), "-f"]},
        {"name": "kemd", "argv": [os.path.join(build, "daemon", "kemd"), "-f"]},
    ] + extra


def frr_config(rname, members, extra=(), log_level="debugging"):
    lines = ["frr defaults traditional", "hostname %s" % rname,
             "log file /var/run/frr/frr.log %s" % log_level, "!"] + list(extra) + ["!"]
    for m in members:
        lines += ["interface %s" % m["if"], " ip pim"]
        if "dr_priority" in m:
            lines.append(" ip pim drpriority %d" % m["dr_priority"])
        if "hello" in m:
            lines.append(" ip pim hello %d" % m["hello"])
        lines.append("!")
    lines.append("router pim")
    lines.append("!")
    return "\n".join(lines) + "\n"


def frr_router(rdir, rname, members, extra=(), log_level="debugging"):
    etc = os.path.join(rdir, "etc-frr")
    os.makedirs(etc, exist_ok=True)
    with open(os.path.join(etc, "frr.conf"), "w") as f:
        f.write(frr_config(rname, members, extra, log_level))
    with open(os.path.join(etc, "vtysh.conf"), "w") as f:
        f.write("service integrated-vtysh-config\n")
    with open(os.path.join(etc, "daemons"), "w") as f:
        f.write("zebra=yes\npimd=yes\n")
    for p in os.listdir(etc):
        shutil.chown(os.path.join(etc, p), "frr", "frr")
    shutil.chown(etc, "frr", "frr")
    conf = "/etc/frr/frr.conf"
    return {
        "binds": [[etc, "/etc/frr"]],
        "setup": [["install", "-d", "-o", "frr", "-g", "frr", "-m", "755", "/var/run/frr"]],
        "daemons": [
            {"name": "zebra", "argv": ["/usr/lib/frr/zebra", "-f", conf, "-u", "frr", "-g", "frr",
                                       "--vty_socket", "/var/run/frr"],
             "wait_path": "/var/run/frr/zserv.api"},
            {"name": "pimd", "argv": ["/usr/lib/frr/pimd", "-f", conf, "-u", "frr", "-g", "frr",
                                      "--vty_socket", "/var/run/frr"]},
        ],
    }


def start_router(state, rname, rdef, build):
    rdir = os.path.join(lab_dir(state["name"]), rname)
    os.makedirs(rdir, exist_ok=True)
    kind = rdef.get("kind", "kem")
    members = [dict(m, lan=lan) for lan, l in state["topology"]["lans"].items()
               for r, m in l["members"].items() if r == rname]
    cfg = {"daemons": [], "hostname": rname, "vpns": [str(v) for v in rdef.get("vpns", [])]}
    if kind == "kem":
        cfg["daemons"] = rdef.get("daemons") or kem_daemons(build, rdir)
    elif kind == "frr":
        cfg.update(frr_router(rdir, rname, members, rdef.get("frr", []),
                              rdef.get("frr_log", "debugging")))
    # Loopback addresses exist before the daemons start (FRR's RP address).
    cfg["setup"] = [["ip", "addr", "add", a, "dev", "lo"] for a in rdef.get("loopback", [])] + \
        cfg.get("setup", [])
    with open(os.path.join(rdir, "router.json"), "w") as f:
        json.dump(cfg, f)
    with open(os.path.join(rdir, "init.out"), "ab") as log:
        p = subprocess.Popen(["unshare", "--net", "--mount", "--pid", "--uts", "--fork",
                              "--mount-proc", "--propagation", "private", sys.executable,
                              os.path.join(HERE, "router_init.py"), rdir],
                             stdout=log, stderr=log, stdin=subprocess.DEVNULL,
                             start_new_session=True)
    _STARTED.append(p)
    pid = container_pid(p.pid)
    state["routers"][rname] = {"kind": kind, "pid": pid, "unshare_pid": p.pid, "dir": rdir}
    save_state(state)
    # Each VPN namespace costs two commands before the daemons start.
    wait_for_file(os.path.join(rdir, "ready"), START_TIMEOUT + 0.1 * len(cfg["vpns"]))
    return pid


def wait_for_file(path, timeout=START_TIMEOUT):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if os.path.exists(path):
            return
        time.sleep(0.05)
    raise RuntimeError("timed out waiting for %s" % path)


def start_switch(state, lan):
    p = subprocess.Popen(["unshare", "--net", "--fork", "sleep", "infinity"],
                         stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL, start_new_session=True)
    _STARTED.append(p)
    pid = container_pid(p.pid)
    nsenter(pid, ["ip", "link", "add", "br0", "type", "bridge"], mount=False)
    nsenter(pid, ["ip", "link", "set", "br0", "up"], mount=False)
    state["switches"][lan] = {"pid": pid, "unshare_pid": p.pid}
    save_state(state)
    return pid


def connect(state, lan, rname, member, index):
    sw = state["switches"][lan]["pid"]
    router = state["routers"][rname]
    tmp_a = "kl%d%sa" % (os.getpid() % 10000, index)
    tmp_b = "kl%d%sb" % (os.getpid() % 10000, index)
    run(["ip", "link", "add", tmp_a, "type", "veth", "peer", "name", tmp_b])
    run(["ip", "link", "set", tmp_a, "netns", str(router["pid"])])
    run(["ip", "link", "set", tmp_b, "netns", str(sw)])
    nsenter(sw, ["ip", "link", "set", tmp_b, "name", "p-" + rname], mount=False)
    nsenter(sw, ["ip", "link", "set", "p-" + rname, "master", "br0", "up"], mount=False)
    ifname = member["if"]
    vpn = member.get("vpn")
    nsenter(router["pid"], ["ip", "link", "set", tmp_a, "name", ifname])
    ip = ["ip"]
    if vpn is not None:
        nsenter(router["pid"], ["ip", "link", "set", ifname, "netns", str(vpn)])
        ip = ["ip", "-n", str(vpn)]
    if member.get("addr"):
        nsenter(router["pid"], ip + ["addr", "add", member["addr"], "dev", ifname])
    nsenter(router["pid"], ip + ["link", "set", ifname, "up"])


def add_route(state, rname, prefix, via, vpn=None, verb="add"):
    """A kernel route in a router (in one of its VPNs when vpn is given)."""
    ip = ["ip"] if vpn is None else ["ip", "-n", str(vpn)]
    nsenter(state["routers"][rname]["pid"], ip + ["route", verb, prefix, "via", via])


def netns_path(name, rname, vpn=None):
    """The network namespace of a router or of one of its VPNs, as a path."""
    pid = load_state(name)["routers"][rname]["pid"]
    if vpn is None:
        return "/proc/%d/ns/net" % pid
    return "/proc/%d/root/run/netns/%s" % (pid, vpn)


def up(topology_path, build):
    with open(topology_path) as f:
        return up_dict(json.load(f), build)


def up_dict(topo, build):
    name = topo["name"]
    if os.path.exists(lab_dir(name)):
        down(name)
    os.makedirs(lab_dir(name))
    state = {"name": name, "topology": topo, "routers": {}, "switches": {}}
    save_state(state)
    try:
        for rname, rdef in topo["routers"].items():
            start_router(state, rname, rdef, build)
        for lan in topo["lans"]:
            start_switch(state, lan)
        index = 0
        for lan, l in topo["lans"].items():
            for rname, member in l["members"].items():
                connect(state, lan, rname, member, index)
                index += 1
        for rname, rdef in topo["routers"].items():
            for route in rdef.get("routes", []):
                add_route(state, rname, *route)
    except Exception:
        down(name)
        raise
    return state


def reaped(pid):
    """True once pid, an unshare started by this process, has exited: it
    stays in /proc as a zombie until it is waited for."""
    return any(p.pid == pid and p.poll() is not None for p in _STARTED)


def stop_pid(pid):
    try:
        os.kill(pid, signal.SIGTERM)
    except ProcessLookupError:
        return
    deadline = time.monotonic() + STOP_TIMEOUT
    while time.monotonic() < deadline:
        if not os.path.exists("/proc/%d" % pid) or reaped(pid):
            return
        time.sleep(0.05)
    try:
        os.kill(pid, signal.SIGKILL)
    except ProcessLookupError:
        pass


def down(name):
    d = lab_dir(name)
    if not os.path.exists(d):
        return
    try:
        state = load_state(name)
    except (FileNotFoundError, json.JSONDecodeError):
        state = {"routers": {}, "switches": {}}
    # The container's first process stops its daemons; killing unshare ends the rest.
    for r in list(state["routers"].values()) + list(state["switches"].values()):
        stop_pid(r["pid"])
        stop_pid(r["unshare_pid"])
    keep = os.environ.get("KEMD_LAB_KEEP")
    if keep:
        shutil.copytree(d, keep, dirs_exist_ok=True)
    shutil.rmtree(d, ignore_errors=True)
    if os.path.isdir(LAB_ROOT) and not os.listdir(LAB_ROOT):
        os.rmdir(LAB_ROOT)


def exec_in(name, router, cmd, **kw):
    """Runs cmd inside the router from the caller's directory (entering the
    router's mount namespace would otherwise leave it in /), so relative paths
    name the same files inside as outside."""
    state = load_state(name)
    return subprocess.run(["nsenter", "-t", str(state["routers"][router]["pid"]), "-n", "-m",
                           "-p", "--wd=" + os.getcwd(), "--"] + cmd, **kw)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = ap.add_subparsers(dest="cmd", required=True)
    a = sub.add_parser("up")
    a.add_argument("topology")
    a.add_argument("--build-dir", default=os.path.join(TOP, "build-rel"))
    a = sub.add_parser("down")
    a.add_argument("name")
    a = sub.add_parser("exec")
    a.add_argument("name")
    a.add_argument("router")
    a.add_argument("argv", nargs=argparse.REMAINDER)
    a = sub.add_parser("status")
    a.add_argument("name")
    args = ap.parse_args()
    if os.geteuid() != 0:
        sys.exit("lab.py must run as root")
    if args.cmd == "up":
        state = up(args.topology, os.path.abspath(args.build_dir))
        print("lab %s is up: %s" % (state["name"], ", ".join(state["routers"])))
    elif args.cmd == "down":
        down(args.name)
    elif args.cmd == "exec":
        argv = args.argv[1:] if args.argv[:1] == ["--"] else args.argv
        sys.exit(exec_in(args.name, args.router, argv).returncode)
    elif args.cmd == "status":
        for rname, r in load_state(args.name)["routers"].items():
            print("%-8s %-4s pid %d" % (rname, r["kind"], r["pid"]))


if __name__ == "__main__":
    main()
