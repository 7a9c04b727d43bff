#!/usr/bin/env python3
# Load helpers of the end-to-end bed: a fast scripted exchanger, a many-session raw
# SMTP client that checks every reply it gets, and a reader of a process's resources.
"""Usage:
  loadtool.py exchanger ADDR READY_FILE      fast exchanger on ADDR:25 (see reply_for)
  loadtool.py load PLAN.json OUT.json        run the sessions of a plan, write a report
  loadtool.py proc PID                       "fds threads rss_kib" of a process

A plan: {"server": addr, "source": addr, "sessions": [[txn, ...], ...],
         "time_limit": seconds, "read_timeout": seconds, "record": true to list every reply};
  a txn: {"from": mailbox, "rcpt": [[mailbox, want], ...],
         "want": reply prefix at the end of data, or null when no data is sent}.
Every wait is bounded, and the whole run stops at its time limit.
"""
import asyncio
import json
import os
import sys
import time

READ_TIMEOUT = 120.0


# --- the fast exchanger -------------------------------------------------------

def reply_for(local_part):
    """The exchanger's answer to RCPT TO, by the mailbox's local part."""
    if local_part.startswith("bad"):
        return b"550 5.1.1 No such user\r\n"
    if local_part.startswith("tmp"):
        return b"451 4.2.0 Try later\r\n"
    return b"250 2.1.5 Ok\r\n"


async def exchanger_session(reader, writer):
    try:
        writer.write(b"220 mx.fast.test ESMTP\r\n")
        # A callout sends a handful of commands; more is a runaway peer.
        for _ in range(64):
            line = await asyncio.wait_for(reader.readline(), 30)
            if not line:
                break
            verb = line[:4].upper()
            if verb == b"RCPT":
                arg = line[8:].strip().strip(b"<>").decode("latin-1")
                writer.write(reply_for(arg.partition("@")[0].lower()))
            elif verb == b"QUIT":
                writer.write(b"221 2.0.0 Bye\r\n")
                await writer.drain()
                break
            elif verb in (b"HELO", b"EHLO"):
                writer.write(b"250 mx.fast.test\r\n")
            else:
                writer.write(b"250 2.0.0 Ok\r\n")
            await writer.drain()
    except (asyncio.TimeoutError, OSError):
        pass
    finally:
        writer.close()


async def exchanger(addr, ready):
    server = await asyncio.start_server(exchanger_session, addr, 25, backlog=512, reuse_address=True)
    with open(ready, "w") as f:
        f.write(str(os.getpid()))
    async with server:
        await server.serve_forever()


# --- the load client ------------------------------------------------------------

class Session:
    def __init__(self, reader, writer, read_timeout=READ_TIMEOUT):
        self.reader, self.writer = reader, writer
        self.read_timeout = read_timeout

    async def reply(self):
        """The whole reply; gives its last line."""
        for _ in range(100):
            line = await asyncio.wait_for(self.reader.readline(), self.read_timeout)
            if not line:
                raise ConnectionError("connection closed")
            text = line.decode("latin-1").rstrip("\r\n")
            if len(text) < 4 or text[3] != "-":
                return text
        raise ConnectionError("reply without end")

    async def command(self, line):
        self.writer.write(line.encode("latin-1") + b"\r\n")
        await self.writer.drain()
        return await self.reply()


def check(report, kind, want, got):
    report["replies"] += 1
    if "all" in report:
        report["all"].append({"kind": kind, "want": want, "got": got})
    if not got.startswith(want):
        report["wrong"] += 1
        if len(report["examples"]) < 10:
            report["examples"].append({"kind": kind, "want": want, "got": got})


async def run_session(plan, txns, report):
    reader, writer = await asyncio.wait_for(
        asyncio.open_connection(plan["server"], 25, local_addr=(plan["source"], 0)), 30)
    s = Session(reader, writer, plan.get("read_timeout", READ_TIMEOUT))
    try:
        await s.reply()
        await s.command("EHLO load.example.test")
        for t in txns:
            kind = t.get("kind", "?")
            got = await s.command("MAIL FROM:<%s>" % t["from"])
            if not got.startswith("250"):
                check(report, kind + " mail", "250", got)
                await s.command("RSET")
                continue
            for rcpt, want in t["rcpt"]:
                check(report, kind + " rcpt", want, await s.command("RCPT TO:<%s>" % rcpt))
            if t["want"] is None:
                await s.command("RSET")
                continue
            got = await s.command("DATA")
            if not got.startswith("354"):
                check(report, kind + " data", "354", got)
                continue
            s.writer.write(b"Subject: load\r\n\r\nload test\r\n.\r\n")
            await s.writer.drain()
            check(report, kind, t["want"], await s.reply())
            report["messages"] += 1
        await s.command("QUIT")
    finally:
        writer.close()


async def load(plan, out):
    report = {"sessions": len(plan["sessions"]), "messages": 0, "replies": 0, "wrong": 0,
              "session_errors": 0, "examples": []}
    if plan.get("record"):
        report["all"] = []
    start = time.monotonic()

    async def one(txns):
        try:
            await run_session(plan, txns, report)
        except (OSError, ConnectionError, asyncio.TimeoutError) as e:
            report["session_errors"] += 1
            if len(report["examples"]) < 10:
                report["examples"].append({"session_error": repr(e)})

    tasks = [asyncio.ensure_future(one(t)) for t in plan["sessions"]]
    done, pending = await asyncio.wait(tasks, timeout=plan.get("time_limit", 600))
    for p in pending:
        p.cancel()
    report["unfinished_sessions"] = len(pending)
    report["seconds"] = round(time.monotonic() - start, 1)
    with open(out, "w") as f:
        json.dump(report, f)


# --- process resources ---------------------------------------------------------

def proc(pid):
    fds = len(os.listdir("/proc/%s/fd" % pid))
    threads = len(os.listdir("/proc/%s/task" % pid))
    rss = 0
    with open("/proc/%s/status" % pid) as f:
        for ln in f:
            if ln.startswith("VmRSS:"):
                rss = int(ln.split()[1])
    print(fds, threads, rss)


def main():
    cmd, args = sys.argv[1], sys.argv[2:]
    if cmd == "exchanger":
        asyncio.run(exchanger(args[0], args[1]))
    elif cmd == "load":
        with open(args[0]) as f:
            plan = json.load(f)
        asyncio.run(load(plan, args[1]))
    elif cmd == "proc":
        proc(args[0])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
