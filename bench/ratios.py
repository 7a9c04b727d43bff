#!/usr/bin/env python3
"""Runs korvane_microbench once and prints its results as ratios taken within
that one run: each sized cache row against the same operation at 1000 entries,
and every row against BM_HashString (hashing one typical address).
Usage: ratios.py path/to/korvane_microbench [extra benchmark flags...]"""
import json
import subprocess
import sys


def main():
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    cmd = [sys.argv[1], "--benchmark_format=json"] + sys.argv[2:]
    out = subprocess.run(cmd, check=True, capture_output=True, text=True, timeout=1800).stdout
    rows = [b for b in json.loads(out)["benchmarks"] if b.get("run_type", "iteration") == "iteration"]
    cpu = {b["name"]: b["cpu_time"] for b in rows}
    base = cpu.get("BM_HashString")
    print(f"{'benchmark':34} {'x hash_string':>14} {'x at 1000':>10}")
    for b in rows:
        name = b["name"]
        family, _, size = name.partition("/")
        small = cpu.get(family + "/1000") if size else None
        vs_hash = f"{cpu[name] / base:14.1f}" if base else f"{'-':>14}"
        vs_small = f"{cpu[name] / small:10.1f}" if small else f"{'-':>10}"
        print(f"{name:34} {vs_hash} {vs_small}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
