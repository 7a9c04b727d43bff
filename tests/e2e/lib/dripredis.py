#!/usr/bin/env python3
# A Redis server that never finishes a reply: to every command it answers the
# header of a large bulk string, then one byte every 50 ms, for at most a minute
# per connection. Usage: dripredis.py SOCKET_PATH
import os
import socket
import sys
import threading
import time


def drip(conn):
    with conn:
        conn.settimeout(60)
        try:
            conn.recv(4096)
            conn.sendall(b"$200000\r\n")
            for _ in range(1200):
                time.sleep(0.05)
                conn.sendall(b"x")
        except OSError:
            pass


def main():
    path = sys.argv[1]
    s = socket.socket(socket.AF_UNIX)
    s.bind(path)
    os.chmod(path, 0o777)
    s.listen(16)
    s.settimeout(300)
    for _ in range(200):
        conn, _ = s.accept()
        threading.Thread(target=drip, args=(conn,), daemon=True).start()


main()
