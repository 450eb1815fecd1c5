"""Auto-RP on the wire for lab tests: a scripted mapping agent's messages (UDP
from and to port 496, to 224.0.1.40) and a listener that keeps every Auto-RP
datagram arriving on a device.

    agent = Agent(netns_path, "eth1", "10.11.0.100")
    agent.send_mapping([("10.99.0.1", ["224.0.0.0/4"])], holdtime=12)
    seen = Listener(netns_path, "eth2")
    seen.wait(lambda d: d.src == "10.11.0.100", timeout=8)
"""
import socket
import struct

from pimnbr import PacketListener, checksum, in_netns

PORT = 496
ANNOUNCE, MAPPING = "224.0.1.39", "224.0.1.40"
SO_BINDTODEVICE = 25


def mapping_payload(rps, holdtime):
    """An RP-mapping message: rps is [(rp, ["a.b.c.d/len", ...]), ...]."""
    body = struct.pack("!BBHI", 0x12, len(rps), holdtime, 0)
    for rp, ranges in rps:
        body += socket.inet_aton(rp) + struct.pack("!BB", 2, len(ranges))
        for r in ranges:
            addr, length = r.split("/")
            body += struct.pack("!BB", 0, int(length)) + socket.inet_aton(addr)
    return body


def udp_datagram(src, dst, payload, ttl=16, sport=PORT, dport=PORT):
    """An IPv4 datagram with a complete UDP checksum: a kernel UDP socket would
    leave it to the (virtual) device, unfinished on the wire of a veth."""
    s, d = socket.inet_aton(src), socket.inet_aton(dst)
    udp = struct.pack("!HHHH", sport, dport, 8 + len(payload), 0) + payload
    csum = checksum(s + d + struct.pack("!BBH", 0, socket.IPPROTO_UDP, len(udp)) + udp) or 0xFFFF
    udp = udp[:6] + struct.pack("!H", csum) + udp[8:]
    ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 0, 0, ttl, socket.IPPROTO_UDP, 0,
                     s, d)
    return ip + udp


class Agent:
    """A mapping agent sending from one device of a network namespace."""

    def __init__(self, netns_path, dev, addr):
        self.addr = addr

        def open_sock():
            s = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW)
            s.setsockopt(socket.SOL_SOCKET, SO_BINDTODEVICE, dev.encode())
            s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(addr))
            s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_LOOP, 0)
            return s

        self.sock = in_netns(netns_path, open_sock)

    def send_mapping(self, rps, holdtime):
        self.send_raw(mapping_payload(rps, holdtime))

    def send_raw(self, payload, dest=MAPPING, port=PORT):
        self.sock.sendto(udp_datagram(self.addr, dest, payload, dport=port), (dest, 0))

    def close(self):
        self.sock.close()


class Datagram:
    def __init__(self, raw, when):
        self.raw = raw  # the IP packet, for pcap files
        self.time = when
        self.src = socket.inet_ntoa(raw[12:16])
        self.dst = socket.inet_ntoa(raw[16:20])
        self.ttl = raw[8]
        ihl = (raw[0] & 0x0F) * 4
        self.payload = raw[ihl + 8:]


def _auto_rp(pkt, when):
    if len(pkt) < 28 or pkt[9] != socket.IPPROTO_UDP:
        return None
    return Datagram(pkt, when) if socket.inet_ntoa(pkt[16:20]) in (ANNOUNCE, MAPPING) else None


class Listener(PacketListener):
    """Every Auto-RP datagram a device receives (not what it sends)."""

    def __init__(self, netns_path, dev):
        super().__init__(netns_path, dev, _auto_rp)
