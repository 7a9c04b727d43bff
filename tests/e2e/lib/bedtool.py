#!/usr/bin/env python3
# Helpers of the end-to-end bed: the syslog sink on /dev/log and readers that turn the
# recorded JSON lines into plain text that the shell tests compare with expected text.
"""Usage:
  bedtool.py syslog-sink SOCKET OUT.jsonl READY_FILE
  bedtool.py log OUT.jsonl IDENT [FROM_LINE]   lines "facility.severity message"
  bedtool.py dialogue MX.jsonl [FROM_LINE]     lines "conn N: COMMAND" (received only)
  bedtool.py connections MX.jsonl [FROM_LINE]  the number of connections
  bedtool.py count FILE                        the number of lines (a mark for FROM_LINE)
  bedtool.py milter REC.jsonl [FROM_LINE]      what a recording milter saw, one line per event
  bedtool.py metrics NAME... < SCRAPE          the non-zero samples named, "name{k=v,...} value"
  bedtool.py exchange REC.jsonl [FROM_LINE]    a relayed milter session per line: the MTA's
                                               commands, "=x" for the milter's reply to each,
                                               macro packets left out; then the negotiated
                                               steps and the count of answered commands
  bedtool.py macros REC.jsonl [FROM_LINE]      the macro names of each relayed macro packet,
                                               "conn N STAGE: names", in the order sent
"""
import json
import os
import re
import signal
import socket
import sys
import time

FACILITIES = {0: "kern", 1: "user", 2: "mail", 3: "daemon", 4: "auth", 5: "syslog",
              6: "lpr", 7: "news", 8: "uucp", 9: "cron", 10: "authpriv", 11: "ftp",
              16: "local0", 17: "local1", 18: "local2", 19: "local3", 20: "local4",
              21: "local5", 22: "local6", 23: "local7"}
SEVERITIES = ["emerg", "alert", "crit", "err", "warning", "notice", "info", "debug"]
# "<PRI>Mmm dd hh:mm:ss ident[pid]: message", as the C library's syslog() writes it.
LINE = re.compile(r"^<(\d{1,3})>(?:\w{3} [ \d]\d \d\d:\d\d:\d\d )?([^\[:\s]+)(?:\[(\d+)\])?: ?(.*)$",
                  re.S)


def syslog_sink(path, out, ready):
    if os.path.exists(path):
        os.unlink(path)
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sock.bind(path)
    os.chmod(path, 0o666)
    with open(ready, "w") as f:
        f.write(str(os.getpid()))
    with open(out, "a") as f:
        while True:
            data = sock.recv(65536).decode("utf-8", "replace").rstrip("\n\0")
            m = LINE.match(data)
            if m:
                pri = int(m.group(1))
                rec = {"t": round(time.time(), 3),
                       "facility": FACILITIES.get(pri >> 3, str(pri >> 3)),
                       "severity": SEVERITIES[pri & 7], "ident": m.group(2),
                       "pid": m.group(3), "msg": m.group(4)}
            else:
                rec = {"t": round(time.time(), 3), "facility": "?", "severity": "?",
                       "ident": "?", "pid": None, "msg": data}
            f.write(json.dumps(rec) + "\n")
            f.flush()


def records(path, start):
    try:
        with open(path) as f:
            lines = f.readlines()
    except FileNotFoundError:
        return []
    return [json.loads(ln) for ln in lines[start:] if ln.strip()]


def main():
    # A reader piped into "grep -q" must end quietly when grep has seen enough.
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    cmd, args = sys.argv[1], sys.argv[2:]
    if cmd == "syslog-sink":
        syslog_sink(*args)
    elif cmd == "log":
        start = int(args[2]) if len(args) > 2 else 0
        for r in records(args[0], start):
            if r["ident"] == args[1] and (len(args) < 4 or r["pid"] == args[3]):
                print(f'{r["facility"]}.{r["severity"]} {r["msg"]}')
    elif cmd == "dialogue":
        start = int(args[1]) if len(args) > 1 else 0
        for r in records(args[0], start):
            if r["event"] == "recv":
                print(f'conn {r["conn"]}: {r["line"]}')
    elif cmd == "connections":
        start = int(args[1]) if len(args) > 1 else 0
        print(sum(1 for r in records(args[0], start) if r["event"] == "connect"))
    elif cmd == "milter":
        start = int(args[1]) if len(args) > 1 else 0
        for r in records(args[0], start):
            m = r["macros"]
            if r["stage"] == "connect":
                shown = ["if_addr", "client_addr", "client_name", "daemon_addr"]
            elif r["stage"] == "mail":
                shown = ["auth_authen", "verify", "if_addr"]
            elif r["stage"] == "rcpt":
                shown = ["rcpt_mailer", "rcpt_host", "rcpt_addr", "i"]
            else:
                shown = ["i"]
            macros = " ".join(f"{k}={m[k]!r}" if k in m else f"{k}=absent"
                              for k in shown for k in [k if k == "i" else "{" + k + "}"])
            print(f'{r["stage"]} {" ".join(r["args"])} | {macros}')
    elif cmd == "metrics":
        # A real reader of the exposition format: a malformed scrape raises here.
        from prometheus_client.parser import text_string_to_metric_families
        out = []
        for fam in text_string_to_metric_families(sys.stdin.read()):
            for smp in fam.samples:
                if smp.name in args and smp.value != 0:
                    labels = ",".join(f"{k}={v}" for k, v in sorted(smp.labels.items()))
                    out.append(f"{smp.name}{{{labels}}} {smp.value:g}")
        print("\n".join(sorted(out)))
    elif cmd == "exchange":
        start = int(args[1]) if len(args) > 1 else 0
        sessions = {}
        for r in records(args[0], start):
            tokens, info = sessions.setdefault(r["conn"], ([], {}))
            if r["from"] == "mta":
                if r["cmd"] != "D":
                    tokens.append(r["cmd"])
            elif tokens:
                tokens[-1] += "=" + r["cmd"].lower()
                info["answered"] = info.get("answered", 0) + 1
                if "steps" in r:
                    info["steps"] = f'steps {r["steps"]:#x} actions {r["actions"]:#x}'
        for n in sorted(sessions):
            tokens, info = sessions[n]
            print(f'{" ".join(tokens)} | {info.get("steps", "no negotiation")}, '
                  f'{info.get("answered", 0)} answered')
    elif cmd == "macros":
        start = int(args[1]) if len(args) > 1 else 0
        for r in records(args[0], start):
            if r.get("cmd") == "D" and r["from"] == "mta":
                print(f'conn {r["conn"]} {r["stage"]}: {" ".join(r["names"]) or "(none)"}')
    elif cmd == "count":
        try:
            with open(args[0]) as f:
                print(sum(1 for _ in f))
        except FileNotFoundError:
            print(0)
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
