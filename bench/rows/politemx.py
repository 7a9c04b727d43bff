#!/usr/bin/env python3
# The exchangers of the politeness row: two shared providers and one host for
# everyone else, one of the providers banning a prober that asks for too many
# unknown mailboxes, as large providers do; it counts probes before and after.
"""Usage: politemx.py CONTROL_SOCKET READY_FILE NAME=ADDR[:ban] ...

A mailbox whose local part starts with "forged" is unknown (550 5.1.1); every
other mailbox exists. An exchanger marked ":ban" bans a client address after
BAN_AFTER unknown mailboxes asked for within BAN_WINDOW seconds and from then
answers every RCPT from it with the ban line, as Outlook.com does.
The control socket takes one command per connection and answers one line:
  "stats"   {"rcpt": all exchangers' RCPT commands, NAME: {"connections",
             "rcpt", "unknown", "rcpt_after_ban", "banned_sessions"
             (connections given the ban line)}, ...}
  "reset"   every count and ban forgotten (between the rows), answers "ok"
  (fastmx.py ctl CONTROL_SOCKET COMMAND sends one and prints the answer)
"""
import asyncio
import json
import os
import sys
import time

# The SMTP session and the serving are the fast exchanger's.
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from fastmx import answer_commands, serve  # noqa: E402

BAN_AFTER = 20
BAN_WINDOW = 3600.0
BAN_LINE = "550 5.7.606 Access denied, banned sending IP [%s]. To request removal from this list please forward this message to delist@provider-a.test.\r\n"
FIELDS = ("connections", "rcpt", "unknown", "rcpt_after_ban", "banned_sessions")

exchangers = {}   # listening address -> {"name", "bans", "stats", "unknown_times", "banned"}


def fresh(ex):
    ex["stats"] = dict.fromkeys(FIELDS, 0)
    ex["unknown_times"] = {}   # client address -> times of its unknown-mailbox probes
    ex["banned"] = set()


def rcpt_reply(ex, peer, line):
    st = ex["stats"]
    st["rcpt"] += 1
    if peer in ex["banned"]:
        st["rcpt_after_ban"] += 1
        return BAN_LINE % peer
    start = line.find(b"<")
    local = line[start + 1:].split(b"@", 1)[0].lower() if start >= 0 else b""
    if not local.startswith(b"forged"):
        return "250 2.1.5 Ok\r\n"
    st["unknown"] += 1
    if ex["bans"]:
        now = time.monotonic()
        times = [t for t in ex["unknown_times"].get(peer, []) if now - t < BAN_WINDOW] + [now]
        ex["unknown_times"][peer] = times
        if len(times) >= BAN_AFTER:
            ex["banned"].add(peer)
    return "550 5.1.1 Recipient address rejected: unknown mailbox\r\n"


async def session(reader, writer):
    local = writer.get_extra_info("sockname")[0]
    peer = writer.get_extra_info("peername")[0]
    ex = exchangers[local]
    ex["stats"]["connections"] += 1
    met_ban = False

    async def rcpt(line):
        nonlocal met_ban
        answer = rcpt_reply(ex, peer, line)
        if answer.startswith("550 5.7.606") and not met_ban:
            met_ban = True
            ex["stats"]["banned_sessions"] += 1
        return answer.encode()

    writer.write(f"220 {ex['name']} ESMTP ready\r\n".encode())
    await answer_commands(reader, writer, ex["name"], rcpt)


async def control(reader, writer):
    try:
        cmd = (await asyncio.wait_for(reader.readline(), 5)).decode().split()
        if cmd == ["stats"]:
            out = {ex["name"]: ex["stats"] for ex in exchangers.values()}
            out["rcpt"] = sum(ex["stats"]["rcpt"] for ex in exchangers.values())
            writer.write((json.dumps(out) + "\n").encode())
        elif cmd == ["reset"]:
            for ex in exchangers.values():
                fresh(ex)
            writer.write(b"ok\n")
        else:
            writer.write(b"error\n")
        await writer.drain()
    except (asyncio.TimeoutError, ValueError, OSError):
        pass
    finally:
        writer.close()


async def main():
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    control_path, ready_file = sys.argv[1], sys.argv[2]
    servers = []
    for arg in sys.argv[3:]:
        name, _, rest = arg.partition("=")
        addr, _, flag = rest.partition(":")
        exchangers[addr] = {"name": name, "bans": flag == "ban"}
        fresh(exchangers[addr])
        servers.append(await asyncio.start_server(session, addr, 25, backlog=512))
    await serve(servers, control, control_path, ready_file)


if __name__ == "__main__":
    asyncio.run(main())
