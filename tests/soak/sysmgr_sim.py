"""A simulated system manager for lab routers: listens where the daemons dial
it (/var/run/.sysmgrd), takes their registrations and hellos, and keeps what
it saw in /run/sysmgr_sim.json ({"connections", "hellos", "pid"}) so that a
script can tell a daemon came back to it. Run inside a router; its process
is called sysmgr_sim.
"""
import json
import os
import selectors
import socket
import struct

PATH = "/var/run/.sysmgrd"
STATUS = "/run/sysmgr_sim.json"
LIB_HDR = 8
TYPE_REGISTER, TYPE_APP = 1, 2
MSG_HELLO = 1


def main():
    with open("/proc/self/comm", "w") as f:
        f.write("sysmgr_sim")
    try:
        os.unlink(PATH)
    except FileNotFoundError:
        pass
    lsock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    lsock.bind(PATH)
    lsock.listen(16)
    sel = selectors.DefaultSelector()
    sel.register(lsock, selectors.EVENT_READ)
    seen = {"connections": 0, "hellos": 0, "pid": 0}
    bufs = {}

    def save():
        with open(STATUS + ".tmp", "w") as f:
            json.dump(seen, f)
        os.replace(STATUS + ".tmp", STATUS)

    save()
    while True:
        for key, _ in sel.select():
            if key.fileobj is lsock:
                conn, _ = lsock.accept()
                sel.register(conn, selectors.EVENT_READ)
                bufs[conn] = b""
                seen["connections"] += 1
                save()
                continue
            conn = key.fileobj
            data = conn.recv(65536)
            if not data:
                sel.unregister(conn)
                del bufs[conn]
                conn.close()
                continue
            buf = bufs[conn] + data
            while len(buf) >= LIB_HDR:
                _, size, _, _, kind, _ = struct.unpack_from("=HHBBBB", buf)
                total = LIB_HDR if kind == TYPE_REGISTER else max(size, LIB_HDR)
                if len(buf) < total:
                    break
                frame, buf = buf[:total], buf[total:]
                if kind == TYPE_APP and len(frame) >= LIB_HDR + 12 and \
                        frame[LIB_HDR + 1] == MSG_HELLO:
                    seen["hellos"] += 1
                    seen["pid"] = struct.unpack_from("=i", frame, LIB_HDR + 8)[0]
                    save()
            bufs[conn] = buf


if __name__ == "__main__":
    main()
