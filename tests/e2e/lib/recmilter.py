#!/usr/bin/env python3
# A recording milter for the bed: speaks just enough of the milter protocol to let
# every message through, and writes what the MTA hands over as JSON lines.
"""Usage: recmilter.py SOCKET_PATH OUT.jsonl READY_FILE

Each connect, MAIL, RCPT and end-of-headers event becomes one line
{"stage": "connect"|"mail"|"rcpt"|"eoh", "args": [...], "macros": {name: value}}, with the
macros the MTA sent for that stage.
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


def main():
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
    while True:
        conn, _ = lsock.accept()
        threading.Thread(target=session, args=(conn, out, lock), daemon=True).start()


if __name__ == "__main__":
    main()
