#!/usr/bin/env python3
# Scripted remote mail exchangers for the end-to-end bed: one thread per listening
# address, replies chosen per step and per argument, every event recorded as JSON lines.
"""Usage: fakemx.py CONFIG.json RECORD_DIR READY_FILE

CONFIG maps "addr[:port]" (an IPv6 address in brackets: "[2001:db8::25]:25")
to a behaviour object.  Keys of a behaviour are the
steps "greeting", "helo", "ehlo", "mail", "rcpt", "rset", "quit", "data",
"noop"; each value is either an action string or an object that maps the
command's argument (the part after "FROM:" / "TO:", compared without regard to
case, e.g. "<>" or "<alice@good.test>") to an action, with "*" as the default.
A RCPT's action may itself be such an object, keyed by the transaction's sender.

An action is a list of parts separated by ";":
  "250 2.1.5 Ok"   a reply line ("\\n" inside separates lines of a multi-line reply)
  "sleep 2.5"      wait before whatever follows
  "close"          close the connection after what came before
  "silent"         never answer; keep the connection open until the peer leaves
A reply that holds "close" after it ("550 no;close") is the "drop after refusal".

Each server appends {"t": unix time, "conn": n, "event": ..., "line": ...}
to RECORD_DIR/<addr>.jsonl; events are "connect", "recv", "sent", "closed".
"""
import json
import os
import socket
import sys
import threading
import time

DEFAULTS = {
    "greeting": "220 {name} ESMTP ready",
    "helo": "250 {name}",
    "ehlo": "250-{name}\n250 8BITMIME",
    "mail": "250 2.1.0 Ok",
    "rcpt": "250 2.1.5 Ok",
    "rset": "250 2.0.0 Ok",
    "noop": "250 2.0.0 Ok",
    "quit": "221 2.0.0 Bye;close",
    "data": "354 End data with <CR><LF>.<CR><LF>",
    "eod": "250 2.0.0 Ok: queued",
}
# A conversation never lasts longer than this, so a forgotten peer cannot pin a thread.
CONN_LIFETIME = 300.0


class Recorder:
    def __init__(self, path):
        self.path = path
        self.lock = threading.Lock()

    def write(self, conn, event, line=""):
        rec = {"t": round(time.time(), 3), "conn": conn, "event": event, "line": line}
        with self.lock, open(self.path, "a") as f:
            f.write(json.dumps(rec) + "\n")


def pick_action(behaviour, step, argument):
    rule = behaviour.get(step, DEFAULTS.get(step, "502 5.5.2 Unknown command"))
    if isinstance(rule, dict):
        wanted = argument.strip().lower()
        for key, action in rule.items():
            if key != "*" and key.lower() == wanted:
                return action
        return rule.get("*", DEFAULTS.get(step, "502 5.5.2 Unknown command"))
    return rule


def split_command(line):
    """Gives (step, argument) for a received command line."""
    word, _, rest = line.partition(" ")
    verb = word.upper()
    if verb == "MAIL" and rest.upper().startswith("FROM:"):
        return "mail", rest[5:]
    if verb == "RCPT" and rest.upper().startswith("TO:"):
        return "rcpt", rest[3:]
    known = {"HELO": "helo", "EHLO": "ehlo", "RSET": "rset", "QUIT": "quit",
             "DATA": "data", "NOOP": "noop"}
    return known.get(verb, "unknown"), rest


class Session:
    def __init__(self, sock, behaviour, recorder, conn_no, name):
        self.sock = sock
        self.behaviour = behaviour
        self.rec = recorder
        self.conn = conn_no
        self.name = name
        self.buf = b""
        self.deadline = time.time() + CONN_LIFETIME

    def perform(self, action):
        """Runs one action; gives False when the connection is to end."""
        for part in action.split(";"):
            part = part.strip()
            if part.startswith("sleep "):
                time.sleep(float(part[6:]))
            elif part == "close":
                return False
            elif part == "silent":
                self.wait_for_peer_to_leave()
                return False
            elif part:
                text = part.replace("{name}", self.name)
                lines = text.split("\n")
                self.sock.sendall(("\r\n".join(lines) + "\r\n").encode())
                for ln in lines:
                    self.rec.write(self.conn, "sent", ln)
        return True

    def wait_for_peer_to_leave(self):
        while time.time() < self.deadline:
            try:
                self.sock.settimeout(1.0)
                data = self.sock.recv(4096)
            except socket.timeout:
                continue
            except OSError:
                return
            if not data:
                return
            for ln in data.decode("latin-1").splitlines():
                self.rec.write(self.conn, "recv", ln)

    def read_line(self):
        while b"\n" not in self.buf:
            left = self.deadline - time.time()
            if left <= 0:
                return None
            self.sock.settimeout(min(left, 5.0))
            try:
                data = self.sock.recv(4096)
            except socket.timeout:
                continue
            except OSError:
                return None
            if not data:
                if self.buf:
                    # A last line without its line end is still a command sent.
                    line, self.buf = self.buf, b""
                    return line.decode("latin-1")
                return None
            self.buf += data
        line, _, self.buf = self.buf.partition(b"\n")
        return line.rstrip(b"\r").decode("latin-1")

    def run(self):
        sender = ""
        if not self.perform(pick_action(self.behaviour, "greeting", "")):
            return
        while True:
            line = self.read_line()
            if line is None:
                return
            self.rec.write(self.conn, "recv", line)
            step, arg = split_command(line)
            if step == "mail":
                sender = arg
            action = pick_action(self.behaviour, step, arg)
            if isinstance(action, dict):  # a RCPT whose reply depends on the sender
                action = pick_action({"by": action}, "by", sender)
            if not self.perform(action):
                return
            if step == "data" and pick_action(self.behaviour, "data", "").startswith("354"):
                while True:
                    body = self.read_line()
                    if body is None:
                        return
                    if body == ".":
                        break
                self.rec.write(self.conn, "recv", "<message body>")
                if not self.perform(pick_action(self.behaviour, "eod", "")):
                    return


def serve(addr, port, behaviour, recorder, ready):
    lsock = socket.socket(socket.AF_INET6 if ":" in addr else socket.AF_INET, socket.SOCK_STREAM)
    lsock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    # IPv6 binds only to assigned addresses; the bed's 2001:db8::/32 is a local
    # route, as its IPv4 ranges are, so the listener binds freely.
    lsock.setsockopt(socket.SOL_IP, getattr(socket, "IP_FREEBIND", 15), 1)
    try:
        lsock.bind((addr, port))
    except OSError as e:
        if lsock.family != socket.AF_INET6:
            raise
        # A host without IPv6 loses only the cases that need it, not the bed.
        print("fakemx: no IPv6 listener on %s: %s" % (addr, e), file=sys.stderr)
        ready.release()
        return
    lsock.listen(16)
    ready.release()
    counter = 0
    name = behaviour.get("name", "mx-" + addr)
    while True:
        sock, _ = lsock.accept()
        counter += 1
        recorder.write(counter, "connect")

        def talk(sock=sock, n=counter):
            try:
                Session(sock, behaviour, recorder, n, name).run()
            except OSError:
                pass
            finally:
                recorder.write(n, "closed")
                sock.close()

        threading.Thread(target=talk, daemon=True).start()


def main():
    config_path, record_dir, ready_file = sys.argv[1:4]
    with open(config_path) as f:
        config = json.load(f)
    ready = threading.Semaphore(0)
    for key, behaviour in config.items():
        if key.startswith("["):
            addr, _, port = key[1:].partition("]")
            port = port.lstrip(":")
        else:
            addr, _, port = key.partition(":")
        rec = Recorder(os.path.join(record_dir, addr + ".jsonl"))
        open(rec.path, "a").close()
        threading.Thread(target=serve, args=(addr, int(port or 25), behaviour, rec, ready),
                         daemon=True).start()
    for _ in config:
        if not ready.acquire(timeout=10):
            sys.exit("fakemx: a listener did not come up")
    with open(ready_file, "w") as f:
        f.write(str(os.getpid()))
    threading.Event().wait()


if __name__ == "__main__":
    main()
