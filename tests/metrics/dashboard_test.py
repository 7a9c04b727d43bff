#!/usr/bin/env python3
"""The Grafana dashboard asks only for series korvane serves: every metric name in
its PromQL must be in a real scrape of a running korvane.
Usage: dashboard_test.py KORVANE_BINARY DASHBOARD_JSON"""
import json, os, pwd, re, signal, socket, subprocess, sys, tempfile, time, urllib.request

NOT_METRICS = {"and", "or", "unless", "bool", "offset"}


def exprs(node):
    """Every PromQL text of the dashboard: panel targets and variable queries."""
    if isinstance(node, dict):
        for key, value in node.items():
            if key == "expr" and isinstance(value, str):
                yield value
            elif key == "query" and isinstance(value, str) and "(" in value:
                # label_values(METRIC, label): the metric alone is PromQL.
                yield re.sub(r"^label_values\(\s*([^,)]+).*$", r"\1", value)
            else:
                yield from exprs(value)
    elif isinstance(node, list):
        for item in node:
            yield from exprs(item)


def metric_names(expr):
    expr = re.sub(r'"(?:\\.|[^"\\])*"', '""', expr)
    expr = re.sub(r"\{[^}]*\}|\[[^\]]*\]", "", expr)
    expr = re.sub(r"\b(by|without|on|ignoring|group_left|group_right)\s*\([^)]*\)", "", expr)
    for m in re.finditer(r"([A-Za-z_:][A-Za-z0-9_:]*)\s*(\()?", expr):
        if m.group(2) is None and m.group(1) not in NOT_METRICS:
            yield m.group(1)


def scrape(binary):
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    with tempfile.TemporaryDirectory() as d:
        conf = os.path.join(d, "korvane.conf")
        with open(conf, "w") as f:
            f.write(f"socket unix:{d}/k.sock\nuser {pwd.getpwuid(os.getuid()).pw_name}\n"
                    f"publicname mx.test\nmetrics 127.0.0.1:{port}\nselflisting bl.invalid\n")
        daemon = subprocess.Popen([binary, "-f", "-c", conf], stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        try:
            for _ in range(100):
                try:
                    with urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics", timeout=2) as r:
                        text = r.read().decode()
                    # The cache's series come once the main loop is near.
                    if "korvane_cache_entries" in text:
                        break
                except OSError:
                    pass
                time.sleep(0.1)
            else:
                sys.exit("korvane's endpoint did not answer")
        finally:
            daemon.send_signal(signal.SIGTERM)
            try:
                daemon.wait(15)
            except subprocess.TimeoutExpired:
                daemon.kill()
                daemon.wait()
    return {re.match(r"[A-Za-z_:][A-Za-z0-9_:]*", line).group(0)
            for line in text.splitlines() if line and not line.startswith("#")}


def main():
    binary, dashboard = sys.argv[1], sys.argv[2]
    with open(dashboard) as f:
        wanted = {n for e in exprs(json.load(f)) for n in metric_names(e)}
    if len(wanted) < 5:
        sys.exit(f"too few metric names found in the dashboard: {sorted(wanted)}")
    missing = sorted(wanted - scrape(binary))
    if missing:
        sys.exit(f"the dashboard asks for series korvane does not serve: {missing}")
    print(f"ok: {len(wanted)} metric names, all served")


main()
