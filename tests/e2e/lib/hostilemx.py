#!/usr/bin/env python3
# Hostile mail exchangers for the end-to-end bed: servers that drop or reset the
# connection at a chosen step, flood a reply, send NUL bytes or bare LFs, drip
# every reply, or never speak.
"""Usage: hostilemx.py READY_FILE ADDR=BEHAVIOUR ...

Behaviours:
  drop-greeting   accept, then close at once
  drop-helo       greet, close when HELO arrives
  drop-mail       close when MAIL FROM arrives
  drop-rcpt       close when RCPT TO arrives
  drop-rset       refuse RCPT with 550, close when RSET arrives (every connection)
  reset-greeting  accept, then reset (SO_LINGER 0) at once
  reset-rcpt      reset when RCPT TO arrives
  megabyte        a greeting of a megabyte of continuation lines
  nul             answer RCPT with "250 ok", a NUL before the line end, then close
  barelf          every reply ends in a bare LF, the greeting has two lines
  silent          accept and never send a byte
  drip            an ordinary accepting dialogue, every reply dripped as three
                  lines 0.4 s apart (each reply about 1.2 s, the dialogue about 6 s)
Every connection ends within CONN_LIFETIME seconds whatever the peer does.
"""
import socket
import struct
import sys
import threading
import time

CONN_LIFETIME = 200.0


def reset(sock):
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


def lines(sock, deadline):
    buf = b""
    while time.time() < deadline:
        while b"\n" in buf:
            line, _, buf = buf.partition(b"\n")
            yield line.rstrip(b"\r").upper()
        sock.settimeout(max(0.1, min(5.0, deadline - time.time())))
        try:
            data = sock.recv(4096)
        except socket.timeout:
            continue
        if not data:
            return
        buf += data


def drip(sock, code, text):
    for part in (b"-wait", b"-wait", b" " + text):
        time.sleep(0.4)
        sock.sendall(code + part + b"\r\n")


def talk(sock, behaviour):
    deadline = time.time() + CONN_LIFETIME
    eol = b"\n" if behaviour == "barelf" else b"\r\n"
    if behaviour == "drip":
        drip(sock, b"220", b"mx.drip.test")
        for line in lines(sock, deadline):
            if line[:4] == b"QUIT":
                return drip(sock, b"221", b"bye")
            drip(sock, b"250", b"ok")
        return
    if behaviour == "drop-greeting":
        return
    if behaviour == "reset-greeting":
        return reset(sock)
    if behaviour == "silent":
        for _ in lines(sock, deadline):
            pass
        return
    if behaviour == "megabyte":
        chunk = (b"220-" + b"x" * 96 + b"\r\n") * 1000
        try:
            for _ in range(11):  # about 1.1 MB, unless the peer leaves first
                sock.sendall(chunk)
            sock.sendall(b"220 done\r\n")
        except OSError:
            return
        for _ in lines(sock, deadline):
            pass
        return
    greeting = b"220-mx.hostile.test" + eol + b"220 ESMTP" + eol if behaviour == "barelf" \
        else b"220 mx.hostile.test ESMTP\r\n"
    sock.sendall(greeting)
    for line in lines(sock, deadline):
        verb = line[:4]
        if behaviour == "drop-helo" and verb == b"HELO":
            return
        if behaviour == "drop-mail" and verb == b"MAIL":
            return
        if behaviour == "drop-rcpt" and verb == b"RCPT":
            return
        if behaviour == "reset-rcpt" and verb == b"RCPT":
            return reset(sock)
        if behaviour == "drop-rset" and verb == b"RSET":
            return
        if verb == b"RCPT":
            if behaviour == "nul":
                sock.sendall(b"250 ok\0\r\n")
                return
            reply = b"550 5.1.1 No such user" if behaviour == "drop-rset" else b"250 2.1.5 Ok"
        elif verb == b"QUIT":
            sock.sendall(b"221 Bye" + eol)
            return
        else:
            reply = b"250 Ok"
        sock.sendall(reply + eol)


def serve(addr, behaviour, ready):
    lsock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    lsock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    lsock.bind((addr, 25))
    lsock.listen(64)
    ready.release()
    while True:
        sock, _ = lsock.accept()

        def run(sock=sock):
            try:
                talk(sock, behaviour)
            except OSError:
                pass
            finally:
                try:
                    sock.close()
                except OSError:
                    pass

        threading.Thread(target=run, daemon=True).start()


def main():
    ready_file, specs = sys.argv[1], sys.argv[2:]
    ready = threading.Semaphore(0)
    for spec in specs:
        addr, _, behaviour = spec.partition("=")
        threading.Thread(target=serve, args=(addr, behaviour, ready), daemon=True).start()
    for _ in specs:
        if not ready.acquire(timeout=10):
            sys.exit("hostilemx: a listener did not come up")
    with open(ready_file, "w") as f:
        f.write("ready")
    threading.Event().wait()


if __name__ == "__main__":
    main()
