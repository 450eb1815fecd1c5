"""UDP multicast streams for lab tests, benchmarks and the demo: a sender and
receivers opened inside network namespaces. Every datagram carries its
sequence number, so receivers can tell lost, duplicated and looped packets.

    rx = Receiver(netns_path, "10.1.1.11", "239.1.2.3")
    Sender(netns_path, "10.2.2.10", "239.1.2.3").send(count=500, pps=200)
    rx.counts()  # {seq: times received}
"""
import collections
import socket
import struct
import time

from pimnbr import Received, in_netns

PORT = 5001


class Receiver(Received):
    """Joins the group on the interface with address addr and counts arrivals."""

    def __init__(self, netns_path, addr, group, port=PORT):
        super().__init__()
        self.group = group
        self.seen = collections.Counter()
        self.sock = in_netns(netns_path, lambda: self._open(addr, group, port))
        self.serve(lambda: (self.sock.recv(65536),), self._count)

    @staticmethod
    def _open(addr, group, port):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
        s.bind((group, port))
        s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                     socket.inet_aton(group) + socket.inet_aton(addr))
        s.settimeout(0.2)
        return s

    def _count(self, data):
        if len(data) >= 8:
            with self.lock:
                self.seen[struct.unpack("!Q", data[:8])[0]] += 1

    def counts(self):
        with self.lock:
            return dict(self.seen)

    def total(self):
        with self.lock:
            return sum(self.seen.values())


class Sender:
    """Sends numbered datagrams to the group out of the interface with address addr."""

    def __init__(self, netns_path, addr, group, port=PORT, ttl=16, size=64):
        self.dest = (group, port)
        self.size = max(size, 8)
        self.next_seq = 0
        self.sock = in_netns(netns_path, lambda: self._open(addr, ttl))

    @staticmethod
    def _open(addr, ttl):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(addr))
        s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, ttl)
        s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_LOOP, 0)
        return s

    def send(self, count, pps=200):
        """Sends count datagrams paced at pps; returns the sequence numbers sent."""
        first = self.next_seq
        start = time.monotonic()
        pad = b"\0" * (self.size - 8)
        for i in range(count):
            due = start + i / pps
            delay = due - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            self.sock.sendto(struct.pack("!Q", self.next_seq) + pad, self.dest)
            self.next_seq += 1
        return range(first, self.next_seq)

    def close(self):
        self.sock.close()
