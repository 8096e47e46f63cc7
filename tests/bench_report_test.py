#!/usr/bin/env python3
"""The benchmark report's verdicts on rows run in rounds: a round where the
machine was slow for one server must not decide a target, and a round that
lost a message or took more memory must.

usage: bench_report_test.py PATH/TO/bench/report.py
"""
import importlib.util
import sys


def load(path):
    spec = importlib.util.spec_from_file_location("report", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def live(server, n, rnd, cpu, received=100, rss=20.0, merge=20):
    row = {"server": server, "scenario": "live", "n": n, "status": "ok", "cpu_per_player_minute": cpu,
           "received": received, "expected": 100, "latency_p99_ms": 5.0, "rss_per_player_kib": rss}
    if server == "strmd":
        row["relay_merge_ms"] = merge
    if rnd is not None:
        row["round"] = rnd
    return row


def verdict(report, rows, group, n, figure):
    """(ratio cell, result) of the target line of set `group`, N `n`, merge 20."""
    for line in report.targets(report.combine(rows)).splitlines():
        cells = [c.strip() for c in line.strip("|").split("|")]
        if len(cells) == 10 and cells[0] == group and cells[2] == "merge 20 ms" and cells[3] == str(n) \
                and cells[4] == figure:
            return cells[7], cells[9]
    return None


def main(argv):
    report = load(argv[1])
    failures = []
    cpu = "CPU per player-minute"
    cases = [
        # name, rows, group, figure, expected (ratio cell, result)
        ("one round's slow peer does not pass the target: the median of the rounds' ratios",
         [live("nginx", 20, 1, 1.0), live("strmd", 20, 1, 0.5),
          live("nginx", 20, 2, 0.2), live("strmd", 20, 2, 0.6),   # the machine was faster for nginx
          live("nginx", 20, 3, 1.0), live("strmd", 20, 3, 0.9)],
         "II", cpu, ("0.90x", "MISS")),
        ("a message lost in one round is a miss",
         [live("nginx", 20, r, 1.0) for r in (1, 2, 3)] +
         [live("strmd", 20, 1, 0.5), live("strmd", 20, 2, 0.5, received=99), live("strmd", 20, 3, 0.5)],
         "II", "messages received / expected", ("-", "MISS")),
        ("memory is the worst round's",
         [live("nginx", 20, r, 1.0) for r in (1, 2, 3)] +
         [live("strmd", 20, 1, 0.5), live("strmd", 20, 2, 0.5, rss=40.0), live("strmd", 20, 3, 0.5)],
         "II", "RSS per player KiB", ("2.00x", "MISS")),
        ("rows run once keep one figure over the other",
         [live("nginx", 200, None, 0.5), live("strmd", 200, None, 0.2)],
         "II", cpu, ("0.40x", "ok")),
    ]
    for name, rows, group, figure, want in cases:
        n = rows[0]["n"]
        got = verdict(report, rows, group, n, figure)
        if got != want:
            failures.append("%s: got %s, want %s" % (name, got, want))
    # The table shows the rounds' ratios beside the medians, and an even
    # number of rounds keeps the row's settings as they were.
    table = report.table(report.combine(cases[0][1]))
    if "0.50x 3.00x 0.90x" not in table:
        failures.append("the table does not list the rounds' ratios:\n" + table)
    table = report.table(report.combine(cases[0][1][:4]))
    if "live N = 20, merge 20 ms" not in table:
        failures.append("two rounds changed the row's settings:\n" + table)
    for f in failures:
        print("FAIL " + f, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
