"""Group members on lab hosts: real sockets in a host's network namespace
that join groups (IP_ADD_MEMBERSHIP, or IP_ADD_SOURCE_MEMBERSHIP for one
source), so the host's kernel speaks IGMP to the router. A member leaves when
its process ends. Raw IGMP packets (for malformed input) go out the same way.
Inside a host, `python3 tests/pylib/mcast_host.py IFADDR G|S@G...` holds the
memberships until its standard input closes.
"""
import subprocess
import sys

from pimnbr import checksum

# Runs inside the host: joins every "G" or "S@G" given on the interface with
# address A, says so, then holds the memberships until stdin closes.
_MEMBER = r"""
import socket, struct, sys
ifaddr = socket.inet_aton(sys.argv[1])
socks = []
for member in sys.argv[2:]:
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    if "@" in member:
        src, grp = member.split("@")
        s.setsockopt(socket.IPPROTO_IP, 39, socket.inet_aton(grp) + ifaddr + socket.inet_aton(src))
    else:
        s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, socket.inet_aton(member) + ifaddr)
    socks.append(s)
print("joined", flush=True)
sys.stdin.read()
"""

# Sends the hex-encoded IGMP messages given (no IP header) to 224.0.0.22,
# GAP seconds apart.
_RAW = r"""
import socket, sys, time
s = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_IGMP)
s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(sys.argv[1]))
for h in sys.argv[3:]:
    s.sendto(bytes.fromhex(h), ("224.0.0.22", 0))
    time.sleep(float(sys.argv[2]))
"""


def lab_state(name):
    import lab  # the lab tool, on the path once routerlab is imported
    return lab.load_state(name)


def host_pid(name, host):
    return lab_state(name)["routers"][host]["pid"]


def set_igmp_version(name, host, ifname, version):
    """Forces the IGMP version the host's kernel speaks (0: its default, 3)."""
    subprocess.run(["nsenter", "-t", str(host_pid(name, host)), "-n", "sysctl", "-q", "-w",
                    "net.ipv4.conf.%s.force_igmp_version=%d" % (ifname, version)], check=True)
    subprocess.run(["nsenter", "-t", str(host_pid(name, host)), "-n", "sysctl", "-q", "-w",
                    "net.ipv4.igmp_max_memberships=100000"], check=True)


class Member:
    """Memberships held by one process on a host until leave()."""

    def __init__(self, name, host, ifaddr, groups):
        self.p = subprocess.Popen(["nsenter", "-t", str(host_pid(name, host)), "-n", "--",
                                   sys.executable, "-c", _MEMBER, ifaddr] + list(groups),
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        if self.p.stdout.readline().strip() != "joined":
            self.leave()
            raise AssertionError("host %s could not join %s" % (host, groups))

    def leave(self):
        if self.p.poll() is None:
            self.p.stdin.close()
            self.p.wait(10)
        self.p.stdout.close()


def send_raw(name, host, ifaddr, messages, gap=0.0):
    """IGMP messages (bytes, checksum as given) from the host."""
    subprocess.run(["nsenter", "-t", str(host_pid(name, host)), "-n", "--", sys.executable,
                    "-c", _RAW, ifaddr, str(gap)] + [m.hex() for m in messages], check=True)


def with_checksum(msg):
    return msg[:2] + checksum(msg[:2] + b"\0\0" + msg[4:]).to_bytes(2, "big") + msg[4:]



if __name__ == "__main__":
    exec(_MEMBER)
