#!/usr/bin/env python3
# The politeness row's day of mail, as one sender a line in the order sent, and its
# summary: what each of korvane and Postfix's verify made of it, against the targets.
"""Usage: politeload.py senders MESSAGES > FILE
       politeload.py table REFUSEDTTL KORVANE_RECORD KORVANE_STATS POSTFIX_RECORD POSTFIX_STATS

The mix, in shares of MESSAGES: regular correspondents who repeat (35 %),
three mailing lists with VERP return paths (30 %), BATV-signed senders
(15 %), new legitimate senders (10 %, half of them at the two providers) and
forged senders at the providers' domains (10 %). Senders whose local part
starts with "forged" do not exist; every other one does. The order is shuffled
with a fixed seed, so every run sends the same day.
A probe is one callout: a connection to an exchanger. RCPT counts every RCPT
command; "after ban" counts the probes that met provider-a's ban line, with
their RCPT commands in brackets.
"""
import json
import random
import sys

PROVIDERS = {"a": 20, "b": 20}   # domains hosted at each shared provider
OWN = ["corr%d.test" % i for i in range(10)]


def provider_domain(rnd, p):
    return "p%s%d.test" % (p, rnd.randrange(PROVIDERS[p]))


def senders(n):
    rnd = random.Random(31)
    out = []
    regular = ["friend%d@%s" % (i, OWN[i % len(OWN)]) for i in range(40)]
    regular += ["client%d@%s" % (i, provider_domain(rnd, "ab"[i % 2])) for i in range(20)]
    out += [rnd.choice(regular) for _ in range(n * 35 // 100)]
    for k in range(n * 30 // 100):
        user = "reader%d=example%d.org" % (rnd.randrange(100000), rnd.randrange(50))
        out.append("list-bounces+%s@lists%d.test" % (user, k % 3))
    batv = ["signer%d@%s" % (i, OWN[i % len(OWN)]) for i in range(15)]
    out += ["prvs=%04d%06x=%s" % (rnd.randrange(10000), rnd.randrange(1 << 24), rnd.choice(batv))
            for _ in range(n * 15 // 100)]
    for i in range(n * 10 // 100):
        domain = provider_domain(rnd, "ab"[i % 2]) if i % 4 < 2 else OWN[i % len(OWN)]
        out.append("newcomer%d@%s" % (i, domain))
    while len(out) < n:
        out.append("forged%d@%s" % (len(out), provider_domain(rnd, "ab"[len(out) % 2])))
    rnd.shuffle(out)
    return out


def outcome(path):
    good = dict.fromkeys(("sent", "refused", "deferred"), 0)
    forged = dict(good)
    with open(path) as f:
        for line in f:
            sender, code = line.split()
            row = forged if sender.lower().startswith("forged") else good
            row["sent"] += 1
            row["refused"] += code.startswith("5")
            row["deferred"] += code.startswith("4")
    return good, forged


def table(refusedttl, krec, kstats, prec, pstats):
    rows = {}
    for name, rec, stats in (("korvane", krec, kstats), ("postfix verify", prec, pstats)):
        good, forged = outcome(rec)
        st = json.loads(open(stats).read())
        st.pop("rcpt")
        rows[name] = dict(
            probes=sum(e["connections"] for e in st.values()),
            rcpt=sum(e["rcpt"] for e in st.values()),
            after_ban=st["provider-a"]["banned_sessions"],
            rcpt_after_ban=st["provider-a"]["rcpt_after_ban"],
            good=good, forged=forged)
    print("   %-15s %7s %6s %10s %14s %16s %10s" % ("", "probes", "RCPT", "after ban", "good refused",
                                                   "forged refused", "4xx (g/f)"))
    for name, r in rows.items():
        print("   %-15s %7d %6d %6d (%d) %9d/%-4d %11d/%-4d %6d/%d" % (
            name, r["probes"], r["rcpt"], r["after_ban"], r["rcpt_after_ban"],
            r["good"]["refused"], r["good"]["sent"],
            r["forged"]["refused"], r["forged"]["sent"], r["good"]["deferred"], r["forged"]["deferred"]))
    k, p = rows["korvane"], rows["postfix verify"]
    # The whole run lies within one refusedttl, so the allowance is two probes.
    windows = 1
    checks = [
        ("korvane probes at most 1/3 of Postfix's", k["probes"] * 3 <= p["probes"],
         "%d vs %d (%.2f)" % (k["probes"], p["probes"], k["probes"] / max(p["probes"], 1))),
        ("at most 2 probes per refusing exchanger per refusedttl (%d s) after the ban" % refusedttl,
         k["after_ban"] <= 2 * windows, "%d" % k["after_ban"]),
        ("no good message refused by korvane", k["good"]["refused"] == 0, "%d" % k["good"]["refused"]),
        ("korvane refuses no fewer forged than Postfix", k["forged"]["refused"] >= p["forged"]["refused"],
         "%d vs %d" % (k["forged"]["refused"], p["forged"]["refused"])),
    ]
    for what, ok, value in checks:
        print("   %-4s %s: %s" % ("met" if ok else "MISS", what, value))


if __name__ == "__main__":
    if sys.argv[1:2] == ["senders"] and len(sys.argv) == 3:
        print("\n".join(senders(int(sys.argv[2]))))
    elif sys.argv[1:2] == ["table"] and len(sys.argv) == 7:
        table(int(sys.argv[2]), *sys.argv[3:])
    else:
        sys.exit(__doc__)
