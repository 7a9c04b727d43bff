#!/usr/bin/env python3
# SMTP load client of the end-to-end benchmark: N parallel raw-SMTP sessions send a
# bounded number of small messages within a bounded time and report rate and latency.
"""Usage: smtpload.py --server A --source A --sessions N --messages M --seconds T
                    --senders fresh:PREFIX | pool:PREFIX:SIZE | list:FILE
                    [--per-session K] [--domain D] [--label L] [--record FILE]

Senders are PREFIX<i>@D: "fresh" gives every message a sender never used
before (i counts up from 0), "pool" cycles through SIZE senders (i mod SIZE),
"list" takes the whole addresses of FILE, one a line, in order. --record
writes each message's sender and deciding reply code to FILE, one a line.
A transaction is timed from sending MAIL FROM to the reply that decides the
message: the end-of-DATA reply, or the refusal of MAIL FROM or RCPT TO.
Prints one JSON object: label, sent, accepted, seconds, rate (decided
transactions per second), p50_ms, p99_ms, replies (count per reply code).
"""
import argparse
import asyncio
import json
import sys
import time

# One read may wait this long; Postfix's own verification may poll for seconds.
READ_LIMIT = 30.0
BODY = (b"Subject: korvane benchmark\r\nFrom: <bench@bench.test>\r\n\r\n"
        b"A short message body, as most traffic is.\r\n.\r\n")


class Load:
    def __init__(self, a):
        self.a = a
        self.next_index = 0
        self.latencies = []
        self.accepted = 0
        self.replies = {}
        self.errors = 0
        self.deadline = time.monotonic() + a.seconds
        self.listed = None
        self.record = []
        if a.senders.startswith("list:"):
            with open(a.senders[5:]) as f:
                self.listed = [line.strip() for line in f if line.strip()]

    def take(self):
        if self.next_index >= self.a.messages or time.monotonic() >= self.deadline:
            return None
        i = self.next_index
        self.next_index += 1
        if self.listed is not None:
            return self.listed[i] if i < len(self.listed) else None
        kind, _, rest = self.a.senders.partition(":")
        if kind == "pool":
            prefix, _, size = rest.rpartition(":")
            return f"{prefix}{i % int(size)}@{self.a.domain}"
        return f"{rest}{i}@{self.a.domain}"


async def reply(reader):
    while True:
        line = await asyncio.wait_for(reader.readline(), READ_LIMIT)
        if not line:
            raise ConnectionError("closed")
        if len(line) < 4 or line[3:4] != b"-":
            return line[:3].decode("latin-1")


async def worker(load):
    a = load.a
    while True:
        sender = load.take()
        if sender is None:
            return
        try:
            reader, writer = await asyncio.wait_for(
                asyncio.open_connection(a.server, 25, local_addr=(a.source, 0)), READ_LIMIT)
        except (OSError, asyncio.TimeoutError):
            load.errors += 1
            continue
        try:
            await reply(reader)
            writer.write(b"EHLO load.bench.test\r\n")
            await reply(reader)
            for n in range(a.per_session):
                if n > 0:
                    sender = load.take()
                    if sender is None:
                        break
                t0 = time.perf_counter()
                writer.write(f"MAIL FROM:<{sender}>\r\n".encode())
                code = await reply(reader)
                if code[0] == "2":
                    writer.write(b"RCPT TO:<rcpt@dest.test>\r\n")
                    code = await reply(reader)
                if code[0] == "2":
                    writer.write(b"DATA\r\n")
                    code = await reply(reader)
                    if code == "354":
                        writer.write(BODY)
                        code = await reply(reader)
                load.latencies.append(time.perf_counter() - t0)
                load.replies[code] = load.replies.get(code, 0) + 1
                load.record.append(f"{sender} {code}")
                if code[0] == "2":
                    load.accepted += 1
                else:
                    writer.write(b"RSET\r\n")
                    await reply(reader)
            writer.write(b"QUIT\r\n")
            await writer.drain()
        except (OSError, ConnectionError, asyncio.TimeoutError):
            load.errors += 1
        finally:
            writer.close()


def percentile(values, p):
    if not values:
        return None
    s = sorted(values)
    return s[min(len(s) - 1, int(p * len(s)))]


async def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--server", required=True)
    ap.add_argument("--source", required=True)
    ap.add_argument("--sessions", type=int, default=20)
    ap.add_argument("--messages", type=int, default=1000)
    ap.add_argument("--seconds", type=float, default=15.0)
    ap.add_argument("--per-session", type=int, default=10)
    ap.add_argument("--senders", required=True)
    ap.add_argument("--domain", default="bench.test")
    ap.add_argument("--label", default="")
    ap.add_argument("--record")
    a = ap.parse_args()
    load = Load(a)
    start = time.monotonic()
    # Every read is bounded, so the whole run ends at most READ_LIMIT past the deadline.
    await asyncio.gather(*(worker(load) for _ in range(a.sessions)))
    seconds = time.monotonic() - start
    lat = load.latencies
    if a.record:
        with open(a.record, "w") as f:
            f.write("".join(line + "\n" for line in load.record))
    print(json.dumps({
        "label": a.label, "sent": len(lat), "accepted": load.accepted,
        "seconds": round(seconds, 3), "rate": round(len(lat) / seconds, 1) if seconds else 0,
        "p50_ms": round(percentile(lat, 0.50) * 1000, 1) if lat else None,
        "p99_ms": round(percentile(lat, 0.99) * 1000, 1) if lat else None,
        "replies": load.replies, "session_errors": load.errors, "senders_used": load.next_index,
    }))


if __name__ == "__main__":
    sys.exit(asyncio.run(main()))
