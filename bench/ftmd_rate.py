#!/usr/bin/env python3
"""ftmd's forwarding rate beside a bare AF_PACKET loop, and its programming rate.

    sudo python3 bench/ftmd_rate.py --build-dir build-rel [--seconds 3] [--entries 10000]

Three network namespaces: "src" with the generator on src0, "fwd" with in0
(src0's peer) and out0..out7, "sink" with the peers of the outs. For each
payload size (64, 1400) and number of outgoing interfaces (1, 8), the
generator (ftmd_pktgen gen) blasts one UDP multicast flow for --seconds while
a counter on sink0 counts what arrives, first through the bare loop
(ftmd_pktgen bare: recvmmsg on in0, sendmmsg of the same frames to every out,
nothing checked or rewritten), then through ftmd in its user-space data path
(ftmd -u) programmed by a stand-in PIM daemon (ftmd_pktgen kemd). The rate is
input packets per second delivered on sink0; the ratio is ftmd/bare. The
first ftmd run is programmed with --entries entries (one of them the flow):
the time from the first SG_ADD until ftmd's table lists them all gives the
programming rate. Each figure is the best of --runs alternating runs (the
machine is shared: the best run is the one least disturbed). Both forwarders
come from the same build; release build recommended. Needs root. Not part
of ctest.
"""
import argparse
import os
import subprocess
import sys
import tempfile
import time

NS = "ftmb%d" % (os.getpid() % 100000)
SRC, GROUP = "10.50.0.1", "239.50.0.1"


def sh(*cmd, check=True):
    return subprocess.run(cmd, check=check, capture_output=True, text=True)


def ns(name):
    return "%s-%s" % (NS, name)


def setup(nouts):
    for n in ("src", "fwd", "sink"):
        sh("ip", "netns", "add", ns(n))
        sh("ip", "-n", ns(n), "link", "set", "lo", "up")
    pairs = [("src0", "src", "in0", "fwd")] + \
        [("out%d" % i, "fwd", "sink%d" % i, "sink") for i in range(nouts)]
    for a, na, b, nb in pairs:
        sh("ip", "link", "add", a, "netns", ns(na), "type", "veth", "peer", "name", b,
           "netns", ns(nb))
        sh("ip", "-n", ns(na), "link", "set", a, "up")
        sh("ip", "-n", ns(nb), "link", "set", b, "up")


def teardown():
    for n in ("src", "fwd", "sink"):
        sh("ip", "netns", "del", ns(n), check=False)


def in_ns(name, *cmd):
    return ["ip", "netns", "exec", ns(name)] + list(cmd)


def measure(pktgen, seconds, size):
    """Input packets per second arriving on sink0 while the generator runs."""
    counter = subprocess.Popen(in_ns("sink", pktgen, "count", "sink0", str(seconds + 1.0)),
                               stdout=subprocess.PIPE, text=True)
    time.sleep(0.3)
    gen = subprocess.run(in_ns("src", pktgen, "gen", "src0", str(seconds), str(size), SRC, GROUP),
                         capture_output=True, text=True, check=True)
    got = int(counter.communicate(timeout=seconds + 10)[0].strip() or 0)
    return got / seconds, int(gen.stdout.strip() or 0) / seconds


def bare_run(pktgen, seconds, size, nout):
    outs = ["out%d" % i for i in range(nout)]
    loop = subprocess.Popen(in_ns("fwd", pktgen, "bare", "in0", str(seconds + 2.0), *outs),
                            stdout=subprocess.PIPE, text=True)
    time.sleep(0.3)
    rate, offered = measure(pktgen, seconds, size)
    loop.communicate(timeout=seconds + 10)
    return rate, offered


def ftmd_run(build, pktgen, seconds, size, nout, entries, tmp):
    sock = os.path.join(tmp, "kemd.sock")
    stats = os.path.join(tmp, "ftmd.json")
    outs = ["out%d" % i for i in range(nout)]
    kemd = subprocess.Popen(in_ns("fwd", pktgen, "kemd", sock, stats, str(entries), SRC, GROUP,
                                  "in0", *outs), stdout=subprocess.PIPE, text=True)
    while not os.path.exists(sock):
        time.sleep(0.02)
    ftmd = subprocess.Popen(in_ns("fwd", os.path.join(build, "tools", "ftmd", "ftmd"), "-f", "-u",
                                  "-p", sock, "-s", stats),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        line = kemd.stdout.readline()
        n, secs = line.split()
        prog = int(n) / max(float(secs), 1e-3)
        rate, offered = measure(pktgen, seconds, size)
        return rate, offered, prog
    finally:
        ftmd.terminate()
        ftmd.wait(timeout=10)
        kemd.kill()
        kemd.wait()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build-dir", required=True)
    ap.add_argument("--seconds", type=float, default=3.0)
    ap.add_argument("--entries", type=int, default=10000)
    ap.add_argument("--runs", type=int, default=3)
    args = ap.parse_args()
    if os.geteuid() != 0:
        sys.exit("needs root")
    build = os.path.abspath(args.build_dir)
    pktgen = os.path.join(build, "tools", "ftmd", "ftmd_pktgen")
    rows = []
    prog = None
    try:
        setup(8)
        with tempfile.TemporaryDirectory() as tmp:
            for size in (64, 1400):
                for nout in (1, 8):
                    bare = ftm = offered = 0
                    for _ in range(args.runs):
                        b, o = bare_run(pktgen, args.seconds, size, nout)
                        entries = args.entries if prog is None else 1
                        f, _, p = ftmd_run(build, pktgen, args.seconds, size, nout, entries, tmp)
                        prog = p if prog is None else prog
                        bare, ftm, offered = max(bare, b), max(ftm, f), max(offered, o)
                    rows.append((size, nout, offered, bare, ftm))
    finally:
        teardown()
    print("payload  outs  offered pps   bare pps   ftmd pps   ftmd/bare")
    for size, nout, offered, bare, ftm in rows:
        print("%7d  %4d  %11.0f  %9.0f  %9.0f   %9.2f" % (size, nout, offered, bare, ftm,
                                                         ftm / bare if bare else 0))
    print("SG_ADD programming: %d entries at %.0f entries/s" % (args.entries, prog))


if __name__ == "__main__":
    main()
