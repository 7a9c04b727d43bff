#!/usr/bin/env python3
# A recording milter for the bed: speaks just enough of the milter protocol to let
# every message through, and writes what the MTA hands over as JSON lines.
"""Usage: recmilter.py SOCKET_PATH OUT.jsonl READY_FILE
       recmilter.py --relay MILTER_SOCKET SOCKET_PATH OUT.jsonl READY_FILE

Each connect, MAIL, RCPT and end-of-headers event becomes one line
{"stage": "connect"|"mail"|"rcpt"|"eoh", "args": [...], "macros": {name: value}}, with the
macros the MTA sent for that stage.

With --relay it answers nothing itself: it passes every packet on between the MTA
and the milter behind MILTER_SOCKET and writes one line per packet,
{"conn": N, "from": "mta"|"milter", "cmd": "X"}, plus "steps" and "actions" for the
milter's answer to option negotiation and "stage" and "names" for a macro packet:
what the two sides really exchange.
"""
import json
import os
import socket
import struct
import sys
import threading

STAGES = {b"M": "mail", b"R": "rcpt", b"N": "eoh", b"C": "connect"}
# Commands that want no reply: macros, abort, quit.
SILENT = {b"D", b"A", b"Q", b"K"}
MAX_PACKET = 1 << 20


def read_exact(sock, n):
    buf = b""
    while len(buf) < n:
        chunk = sock.recv(n - len(buf))
        if not chunk:
            return None
        buf += chunk
    return buf


def session(sock, out, lock):
    macros = {}
    sock.settimeout(120)
    try:
        while True:
            head = read_exact(sock, 4)
            if head is None:
                return
            (length,) = struct.unpack(">I", head)
            if length < 1 or length > MAX_PACKET:
                return
            packet = read_exact(sock, length)
            if packet is None:
                return
            cmd, data = packet[:1], packet[1:]
            if cmd == b"O":
                # Version 6, no actions, every step sent and answered.
                sock.sendall(struct.pack(">IcIII", 13, b"O", 6, 0, 0))
                continue
            if cmd == b"D":
                stage = data[:1]
                fields = data[1:].split(b"\0")
                names = fields[0::2]
                values = fields[1::2]
                macros[stage] = {n.decode("latin-1"): v.decode("latin-1")
                                 for n, v in zip(names, values) if n}
                continue
            if cmd in STAGES:
                if cmd == b"C":
                    # host name, NUL, family, port, address: only the name is kept.
                    args = [data.split(b"\0", 1)[0].decode("latin-1")]
                else:
                    args = [a.decode("latin-1") for a in data.split(b"\0") if a]
                rec = {"stage": STAGES[cmd], "args": args, "macros": macros.get(cmd, {})}
                with lock, open(out, "a") as f:
                    f.write(json.dumps(rec) + "\n")
            if cmd in (b"Q",):
                return
            if cmd not in SILENT:
                sock.sendall(struct.pack(">Ic", 1, b"c"))
    except OSError:
        return
    finally:
        sock.close()


def read_packet(sock):
    head = read_exact(sock, 4)
    if head is None:
        return None
    (length,) = struct.unpack(">I", head)
    if length < 1 or length > MAX_PACKET:
        return None
    body = read_exact(sock, length)
    return None if body is None else head + body


# One direction of a relayed session; a packet is written down before it is passed
# on, so a reply's line always follows the line of the command it answers.
def pump(src, dst, side, conn_no, out, lock):
    try:
        while True:
            packet = read_packet(src)
            if packet is None:
                return
            rec = {"conn": conn_no, "from": side, "cmd": packet[4:5].decode("latin-1")}
            if side == "milter" and rec["cmd"] == "O" and len(packet) >= 17:
                _, rec["actions"], rec["steps"] = struct.unpack(">III", packet[5:17])
            if side == "mta" and rec["cmd"] == "D" and len(packet) > 5:
                rec["stage"] = packet[5:6].decode("latin-1")
                rec["names"] = [n.decode("latin-1") for n in packet[6:].split(b"\0")[0::2] if n]
            with lock, open(out, "a") as f:
                f.write(json.dumps(rec) + "\n")
            dst.sendall(packet)
    except OSError:
        return
    finally:
        for s in (src, dst):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


def relay(mta, upstream, conn_no, out, lock):
    milter = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    milter.settimeout(120)
    mta.settimeout(120)
    try:
        milter.connect(upstream)
    except OSError:
        mta.close()
        return
    back = threading.Thread(target=pump, args=(milter, mta, "milter", conn_no, out, lock), daemon=True)
    back.start()
    pump(mta, milter, "mta", conn_no, out, lock)
    back.join(130)
    mta.close()
    milter.close()


def main():
    upstream = None
    if sys.argv[1] == "--relay":
        upstream = sys.argv[2]
        del sys.argv[1:3]
    path, out, ready = sys.argv[1:4]
    if os.path.exists(path):
        os.unlink(path)
    lsock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    lsock.bind(path)
    os.chmod(path, 0o666)
    lsock.listen(16)
    open(out, "a").close()
    with open(ready, "w") as f:
        f.write(str(os.getpid()))
    lock = threading.Lock()
    conn_no = 0
    while True:
        conn, _ = lsock.accept()
        conn_no += 1
        if upstream is None:
            threading.Thread(target=session, args=(conn, out, lock), daemon=True).start()
        else:
            threading.Thread(target=relay, args=(conn, upstream, conn_no, out, lock), daemon=True).start()


if __name__ == "__main__":
    main()
