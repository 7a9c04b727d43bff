#!/usr/bin/env python3
# A fast asyncio mail exchanger for the end-to-end benchmark: accepts every mailbox,
# answers RCPT TO after a delay that can be changed while it runs, and counts probes.
"""Usage: fastmx.py CONTROL_SOCKET READY_FILE ADDR[:PORT]...

Every RCPT TO is answered "250 2.1.5 Ok" after the current delay (0 at start).
The control socket takes one command per connection and answers one line:
  "stats"      {"connections": n, "mail": n, "rcpt": n, "delay": s, "open": n, "peak": n}
  "delay S"    sets the RCPT delay to S seconds, answers "ok"
  "peak"       starts the count of connections open at once ("peak") anew
  fastmx.py ctl CONTROL_SOCKET COMMAND...   sends one command, prints the answer
The scripted exchangers of the e2e bed record every line to disk, which is too
slow for thousands of probes a second; this one only counts.
"""
import asyncio
import json
import os
import sys

# A forgotten peer cannot hold a connection longer than this between two lines.
IDLE_LIMIT = 60.0
state = {"connections": 0, "mail": 0, "rcpt": 0, "delay": 0.0, "open": 0, "peak": 0}


async def answer_commands(reader, writer, name, on_rcpt, on_mail=None):
    """One SMTP session after its greeting, until QUIT, the peer's close or
    IDLE_LIMIT between two lines: RCPT answered with await on_rcpt(line), MAIL
    with 250 after on_mail(), the rest as any exchanger answers them. Closes the
    connection at its end."""
    try:
        while True:
            line = await asyncio.wait_for(reader.readline(), IDLE_LIMIT)
            if not line:
                break
            verb = line[:4].upper()
            if verb == b"RCPT":
                writer.write(await on_rcpt(line))
            elif verb == b"MAIL":
                if on_mail is not None:
                    on_mail()
                writer.write(b"250 2.1.0 Ok\r\n")
            elif verb == b"EHLO":
                writer.write(f"250-{name}\r\n250 8BITMIME\r\n".encode())
            elif verb in (b"HELO", b"RSET", b"NOOP"):
                writer.write(b"250 Ok\r\n")
            elif verb == b"QUIT":
                writer.write(b"221 Bye\r\n")
                break
            else:
                writer.write(b"502 5.5.2 Not here\r\n")
            await writer.drain()
        await writer.drain()
    except (asyncio.TimeoutError, ConnectionError, OSError):
        pass
    finally:
        writer.close()


async def rcpt(_line):
    state["rcpt"] += 1
    if state["delay"] > 0:
        # The wait is the exchanger's own think time, not a drain.
        await asyncio.sleep(state["delay"])
    return b"250 2.1.5 Ok\r\n"


def mail():
    state["mail"] += 1


async def session(reader, writer):
    state["connections"] += 1
    state["open"] += 1
    state["peak"] = max(state["peak"], state["open"])
    writer.write(b"220 mx.bench.test ESMTP ready\r\n")
    try:
        await answer_commands(reader, writer, "mx.bench.test", rcpt, mail)
    finally:
        state["open"] -= 1


async def control(reader, writer):
    try:
        cmd = (await asyncio.wait_for(reader.readline(), 5)).decode().split()
        if cmd[:1] == ["delay"] and len(cmd) == 2:
            state["delay"] = float(cmd[1])
            writer.write(b"ok\n")
        elif cmd[:1] == ["peak"]:
            state["peak"] = state["open"]
            writer.write(b"ok\n")
        elif cmd[:1] == ["stats"]:
            writer.write((json.dumps(state) + "\n").encode())
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
    control_path, ready_file, listens = sys.argv[1], sys.argv[2], sys.argv[3:]
    servers = []
    for spec in listens:
        addr, _, port = spec.partition(":")
        servers.append(await asyncio.start_server(session, addr, int(port or 25), backlog=512))
    await serve(servers, control, control_path, ready_file)


async def serve(servers, control, control_path, ready_file):
    """Adds the control socket to the listening servers, writes the ready file
    (our PID) and serves until killed."""
    if os.path.exists(control_path):
        os.unlink(control_path)
    servers.append(await asyncio.start_unix_server(control, control_path))
    with open(ready_file, "w") as f:
        f.write(str(os.getpid()))
    await asyncio.gather(*(s.serve_forever() for s in servers))


def ctl(path, words):
    import socket
    s = socket.socket(socket.AF_UNIX)
    s.settimeout(5)
    s.connect(path)
    s.sendall((" ".join(words) + "\n").encode())
    print(s.makefile().readline().strip())
    s.close()


if __name__ == "__main__":
    if sys.argv[1:2] == ["ctl"]:
        ctl(sys.argv[2], sys.argv[3:])
    else:
        asyncio.run(main())
