#!/usr/bin/env python3
# Turns the rows of one end-to-end benchmark run into its table: each row's median over
# the rounds with the spread of its rate, the memory probes, and the ratios, each the
# median of the ratios taken within each round (neighbours in time), with their spread.
"""Usage: e2e_table.py [--delay SECONDS] RUNS.jsonl [MEMORY-KORVANE.json MEMORY-POSTFIX.json]
       e2e_table.py --row < ONE-ROW.json      (the progress line of one row)
       e2e_table.py --burst BURST.jsonl       (the burst rows alone; the full table
                                              adds them when burst.jsonl lies beside RUNS)"""
import json
import os
import statistics
import sys

# The known rows first, in this order; rows of other names follow in the order they ran.
ORDER = ["baseline", "null-milter", "korvane-warm", "postfix-warm", "korvane-cold", "postfix-cold"]
WHAT = {
    "baseline": "Postfix alone, no verification",
    "postfix-warm": "reject_unverified_sender, known senders",
    "postfix-cold": "reject_unverified_sender, new senders",
    "null-milter": "a milter that only says continue",
    "korvane-warm": "korvane milter, cached senders",
    "korvane-cold": "korvane milter, new senders",
    "null-policy": "a policy server that only says DUNNO, at RCPT and DATA",
    "policy-warm": "korvane policy door, cached senders",
    "policy-cold": "korvane policy door, new senders",
}
# Ratios of msg/s (or of p50) between two rows of the same round: (a, b, key, target).
# A target is the least ratio wanted (None: no target). Add a line for a new row.
RATIOS = [
    ("korvane-warm", "null-milter", "rate", 1.00),
    ("korvane-warm", "baseline", "rate", 0.97),
    ("korvane-warm", "postfix-warm", "rate", None),
    ("null-milter", "baseline", "rate", None),
    ("postfix-warm", "baseline", "rate", None),
    ("postfix-cold", "korvane-cold", "p50_ms", None),
    ("policy-warm", "null-policy", "rate", 0.95),
    ("policy-warm", "postfix-warm", "rate", 0.90),
    ("policy-warm", "korvane-warm", "rate", None),
    ("null-policy", "baseline", "rate", None),
    ("policy-cold", "korvane-cold", "rate", None),
    ("policy-cold", "korvane-cold", "p50_ms", None),
]


def median_of(rows, key):
    vals = [r[key] for r in rows if r.get(key) is not None]
    return statistics.median(vals) if vals else None


def fmt(v, spec):
    return format(v, spec) if v is not None else "-"


def load_json(path):
    try:
        with open(path) as f:
            text = f.read().strip()
        return json.loads(text) if text else None
    except (OSError, ValueError):
        return None


BURST_WHAT = {
    "korvane-burst": "korvane milter",
    "postfix-burst": "reject_unverified_sender",
}


def burst_table(path):
    runs = [json.loads(ln) for ln in open(path) if ln.strip()]
    print("Burst: callouts made for one new sender carried by every session at once; medians over the rounds.")
    print(f"{'row':14} {'callouts':>8} {'RCPT':>5} {'accepted/sent':>15} {'p50 ms':>8}  what")
    for label, what in BURST_WHAT.items():
        rows = [r for r in runs if r["label"] == label]
        if not rows:
            continue
        m = {k: median_of(rows, k) for k in ("callouts", "rcpts", "accepted", "sent", "p50_ms")}
        acc = f"{fmt(m['accepted'], '.0f')}/{fmt(m['sent'], '.0f')}"
        print(f"{label:14} {fmt(m['callouts'], '8.0f')} {fmt(m['rcpts'], '5.0f')} {acc:>15} "
              f"{fmt(m['p50_ms'], '8.1f')}  {what}")


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    if sys.argv[1] == "--burst" and len(sys.argv) > 2:
        burst_table(sys.argv[2])
        return
    if sys.argv[1] == "--row":
        r = json.load(sys.stdin)
        print(f"   {r['label']:14} round {r['round']}: {r['rate']:7.1f} msg/s  p50 {r['p50_ms']} ms  "
              f"p99 {r['p99_ms']} ms  accepted {r['accepted']}/{r['sent']}  probes {r['probes']}")
        return
    delay = None
    if sys.argv[1] == "--delay":
        delay = float(sys.argv[2])
        del sys.argv[1:3]
    runs = [json.loads(ln) for ln in open(sys.argv[1]) if ln.strip()]
    labels = ORDER + [lb for lb in dict.fromkeys(r["label"] for r in runs) if lb not in ORDER]
    by = {label: [r for r in runs if r["label"] == label] for label in labels}
    med = {}
    print("Transaction latency: from MAIL FROM to the reply that decides the message "
          "(end of DATA, or a refusal); each figure the median over the row's rounds.")
    print(f"{'row':14} {'rounds':>6} {'msg/s':>8} {'min-max':>13} {'p50 ms':>8} {'p99 ms':>8} "
          f"{'accepted/sent':>15} {'probes':>7}  what")
    for label in labels:
        rows = by[label]
        if not rows:
            continue
        m = {k: median_of(rows, k) for k in ("rate", "p50_ms", "p99_ms", "accepted", "sent", "probes")}
        med[label] = m
        rates = [r["rate"] for r in rows]
        spread = f"{min(rates):.0f}-{max(rates):.0f}"
        acc = f"{fmt(m['accepted'], '.0f')}/{fmt(m['sent'], '.0f')}"
        print(f"{label:14} {len(rows):6d} {fmt(m['rate'], '8.1f')} {spread:>13} {fmt(m['p50_ms'], '8.1f')} "
              f"{fmt(m['p99_ms'], '8.1f')} {acc:>15} {fmt(m['probes'], '7.0f')}  {WHAT.get(label, '')}")

    kmem = load_json(sys.argv[2]) if len(sys.argv) > 2 else None
    pmem = load_json(sys.argv[3]) if len(sys.argv) > 3 else None
    per_entry_k = None
    if kmem and kmem.get("accepted"):
        grown = (kmem["rss_after_kb"] - kmem["rss_before_kb"]) * 1024
        per_entry_k = grown / kmem["accepted"]
        print(f"memory korvane: {kmem['accepted']} new senders cached ({kmem['rate']} msg/s); "
              f"VmRSS {kmem['rss_before_kb']} -> {kmem['rss_after_kb']} kB = {per_entry_k:.0f} bytes per entry")
    if pmem and pmem.get("map_entries"):
        grown = (pmem["rss_after_kb"] - pmem["rss_before_kb"]) * 1024
        disk = pmem["map_after"] - pmem["map_before"]
        fresh = pmem["map_entries"]
        same = "same process" if pmem["pid_before"] == pmem["pid_after"] else "verify(8) was restarted in between"
        print(f"memory verify(8): {pmem['sent']} new senders queried, map holds {fresh} entries; "
              f"VmRSS {pmem['rss_before_kb']} -> {pmem['rss_after_kb']} kB ({same}), "
              f"map file {pmem['map_before']} -> {pmem['map_after']} bytes; "
              f"{grown / max(1, pmem['sent']):.0f} resident + {disk / max(1, pmem['sent']):.0f} on disk bytes per sender")

    print("ratios (median of the per-round ratios, min-max, rounds):")
    for a, b, key, target in RATIOS:
        per_round = []
        for ra in by.get(a, []):
            for rb in by.get(b, []):
                if rb["round"] == ra["round"] and ra.get(key) and rb.get(key):
                    per_round.append(ra[key] / rb[key])
        if not per_round:
            continue
        m = statistics.median(per_round)
        verdict = ""
        if target is not None:
            verdict = f"   target >= {target:.2f}: {'met' if m >= target else 'missed'}"
        print(f"  {a}/{b} {'msg/s' if key == 'rate' else key}: {m:.3f} "
              f"({min(per_round):.3f}-{max(per_round):.3f}, {len(per_round)}){verdict}")
    if delay is not None and "korvane-cold" in med and med["korvane-cold"]["p50_ms"] is not None:
        limit = delay * 1000 + 15
        p50 = med["korvane-cold"]["p50_ms"]
        print(f"  korvane-cold p50: {p50:.1f} ms   target <= exchanger delay + 15 ms = {limit:.0f} ms: "
              f"{'met' if p50 <= limit else 'missed'}")
    if per_entry_k is not None:
        print(f"  korvane bytes per cached sender: {per_entry_k:.0f}   target <= 100: "
              f"{'met' if per_entry_k <= 100 else 'missed'}")
    # bench/burst.sh leaves its rows beside the others.
    burst = os.path.join(os.path.dirname(os.path.abspath(sys.argv[1])), "burst.jsonl")
    if os.path.exists(burst):
        burst_table(burst)
    # bench/rows/pool.sh: new senders at once against a slow exchanger, walks bounded by callouts.
    pool = os.path.join(os.path.dirname(os.path.abspath(sys.argv[1])), "pool.txt")
    if os.path.exists(pool):
        print("Walker pool:")
        print(open(pool).read().rstrip())

if __name__ == "__main__":
    main()
