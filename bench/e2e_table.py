#!/usr/bin/env python3
# Turns the rows of one end-to-end benchmark run into its table: each row's median over
# the rounds, the memory probes, and a last line of ratios taken within that one run.
"""Usage: e2e_table.py RUNS.jsonl [MEMORY-KORVANE.json MEMORY-POSTFIX.json]
       e2e_table.py --row < ONE-ROW.json      (the progress line of one row)
       e2e_table.py --burst BURST.jsonl       (the burst rows alone; the full table
                                              adds them when burst.jsonl lies beside RUNS)"""
import json
import os
import statistics
import sys

ORDER = ["baseline", "postfix-warm", "postfix-cold", "null-milter", "korvane-warm", "korvane-cold"]
WHAT = {
    "baseline": "Postfix alone, no verification",
    "postfix-warm": "reject_unverified_sender, known senders",
    "postfix-cold": "reject_unverified_sender, new senders",
    "null-milter": "a milter that only says continue",
    "korvane-warm": "korvane milter, cached senders",
    "korvane-cold": "korvane milter, new senders",
}


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
    runs = [json.loads(ln) for ln in open(sys.argv[1]) if ln.strip()]
    by = {label: [r for r in runs if r["label"] == label] for label in ORDER}
    med = {}
    print("Transaction latency: from MAIL FROM to the reply that decides the message "
          "(end of DATA, or a refusal); medians over %d rounds." % max((len(v) for v in by.values()), default=0))
    print(f"{'row':14} {'msg/s':>8} {'p50 ms':>8} {'p99 ms':>8} {'accepted/sent':>15} {'probes':>7}  what")
    for label in ORDER:
        rows = by[label]
        if not rows:
            continue
        m = {k: median_of(rows, k) for k in ("rate", "p50_ms", "p99_ms", "accepted", "sent", "probes")}
        med[label] = m
        acc = f"{fmt(m['accepted'], '.0f')}/{fmt(m['sent'], '.0f')}"
        print(f"{label:14} {fmt(m['rate'], '8.1f')} {fmt(m['p50_ms'], '8.1f')} {fmt(m['p99_ms'], '8.1f')} "
              f"{acc:>15} {fmt(m['probes'], '7.0f')}  {WHAT[label]}")

    kmem = load_json(sys.argv[2]) if len(sys.argv) > 2 else None
    pmem = load_json(sys.argv[3]) if len(sys.argv) > 3 else None
    per_entry_k = None
    if kmem and kmem.get("accepted"):
        grown = (kmem["rss_after_kb"] - kmem["rss_before_kb"]) * 1024
        per_entry_k = grown / kmem["accepted"]
        print(f"memory korvane: {kmem['accepted']} new senders cached ({kmem['rate']} msg/s); "
              f"VmRSS {kmem['rss_before_kb']} -> {kmem['rss_after_kb']} kB = {per_entry_k:.0f} bytes per entry")
    per_entry_p = None
    if pmem and pmem.get("map_entries"):
        grown = (pmem["rss_after_kb"] - pmem["rss_before_kb"]) * 1024
        disk = pmem["map_after"] - pmem["map_before"]
        fresh = pmem["map_entries"]
        per_entry_p = (grown + disk) / max(1, pmem["sent"])
        same = "same process" if pmem["pid_before"] == pmem["pid_after"] else "verify(8) was restarted in between"
        print(f"memory verify(8): {pmem['sent']} new senders queried, map holds {fresh} entries; "
              f"VmRSS {pmem['rss_before_kb']} -> {pmem['rss_after_kb']} kB ({same}), "
              f"map file {pmem['map_before']} -> {pmem['map_after']} bytes; "
              f"{grown / max(1, pmem['sent']):.0f} resident + {disk / max(1, pmem['sent']):.0f} on disk bytes per sender")

    def ratio(a, b, key):
        if a in med and b in med and med[a][key] and med[b][key]:
            return med[a][key] / med[b][key]
        return None

    parts = [
        ("korvane-warm/baseline msg/s", ratio("korvane-warm", "baseline", "rate")),
        ("korvane-warm/null-milter msg/s", ratio("korvane-warm", "null-milter", "rate")),
        ("korvane-warm/postfix-warm msg/s", ratio("korvane-warm", "postfix-warm", "rate")),
        ("postfix-warm/baseline msg/s", ratio("postfix-warm", "baseline", "rate")),
        ("postfix-cold/korvane-cold p50", ratio("postfix-cold", "korvane-cold", "p50_ms")),
        ("korvane-cold/baseline p50", ratio("korvane-cold", "baseline", "p50_ms")),
    ]
    line = "ratios: " + ", ".join(f"{name} {v:.2f}" for name, v in parts if v is not None)
    if per_entry_k is not None:
        line += f", korvane bytes/entry {per_entry_k:.0f}"
    print(line)
    # bench/burst.sh leaves its rows beside the others.
    burst = os.path.join(os.path.dirname(os.path.abspath(sys.argv[1])), "burst.jsonl")
    if os.path.exists(burst):
        burst_table(burst)


if __name__ == "__main__":
    main()
