#!/usr/bin/env python3
"""Prints the benchmark's JSON lines as one table: strmd and the peer side by
side, with strmd's figure divided by the peer's.

usage: report.py RESULTS.jsonl
       report.py --check-smoke RESULTS.jsonl   exit 1 unless the smoke run
                                               played, connected and edited
"""
import json
import sys


def load(path):
    rows = []
    with open(path) as f:
        for line in f:
            line = line.strip()
            if line.startswith("{"):
                rows.append(json.loads(line))
    return rows


def fmt(v):
    if v is None:
        return "-"
    if isinstance(v, str):
        return v
    if isinstance(v, float):
        if abs(v) >= 100:
            return "%.0f" % v
        if abs(v) >= 10:
            return "%.1f" % v
        return "%.3g" % v
    return str(v)


def ratio(a, b):
    if not isinstance(a, (int, float)) or not isinstance(b, (int, float)) or isinstance(a, bool):
        return "-"
    if b == 0:
        return "-"
    return "%.2fx" % (a / b)


def stayed_up(r):
    return "no" if r.get("server_ended") or r.get("status") == "server ended" else "yes"


# figure label, JSON key (or a function of the row)
VOD = [
    ("players that finished", "finished"),
    ("refused as busy", "refused_busy"),
    ("server stayed up", stayed_up),
    ("server CPU-s per player-minute", "cpu_per_player_minute"),
    ("startup p50 ms", "startup_p50_ms"),
    ("startup p99 ms", "startup_p99_ms"),
    ("lead p99 ms", "lead_p99_ms"),
    ("lead max ms", "lead_max_ms"),
    ("lateness p99 ms", "lateness_p99_ms"),
    ("lateness max ms", "lateness_max_ms"),
    ("arrival - due p50 ms", "late_p50_ms"),
    ("arrival - due p99 ms", "late_p99_ms"),
    ("arrival - due max ms", "late_max_ms"),
    ("most early ms", "early_max_ms"),
    ("server CPU peak % of a core", "peak_cpu_pct"),
    ("debug monitor CPU sum peak % of the machine", "monitor_cpu_peak_pct"),
    ("server RSS peak MiB", lambda r: r.get("peak_rss_kib", 0) / 1024.0),
    ("database CPU-s", "db_cpu_s"),
    ("load generator CPU % of a core", "generator_cpu_pct"),
    ("failed clients", "failed"),
]
LIVE = [
    ("status", "status"),
    ("refused as busy", "refused_busy"),
    ("server stayed up", stayed_up),
    ("messages received / expected", lambda r: "%d/%d" % (r.get("received", 0), r.get("expected", 0))),
    ("dropped", "dropped"),
    ("server CPU-s per player-minute", "cpu_per_player_minute"),
    ("latency p50 ms", "latency_p50_ms"),
    ("latency p99 ms", "latency_p99_ms"),
    ("latency max ms", "latency_max_ms"),
    ("server CPU peak % of a core", "peak_cpu_pct"),
    ("debug monitor CPU sum peak % of the machine", "monitor_cpu_peak_pct"),
    ("load generator CPU % of a core", "generator_cpu_pct"),
    ("failed clients", "failed"),
]
IDLE = [
    ("connected", "connected"),
    ("refused as busy", "refused_busy"),
    ("server stayed up", stayed_up),
    ("connects per second", "connects_per_s"),
    ("RSS per connection KiB", "rss_per_conn_kib"),
    ("server CPU while idle % of a core", "idle_cpu_pct"),
    ("debug monitor CPU sum peak % of the machine", "monitor_cpu_peak_pct"),
    ("server RSS peak MiB", lambda r: r.get("peak_rss_kib", 0) / 1024.0),
    ("database CPU-s", "db_cpu_s"),
    ("failed clients", "failed"),
]


def value(row, key):
    if row is None:
        return None
    if callable(key):
        return key(row)
    return row.get(key)


def browser(rows):
    """strmd's browser rows (they carry a "case"): HTTP-FLV VOD beside RTMP
    VOD at the same N, and what the Opus audio of a Speex source costs."""
    out = []
    case = lambda name, transport: [r for r in rows if r.get("case") == name and r.get("transport") == transport]
    http, rtmp = case("browser-vod", "http-flv"), case("browser-vod", "rtmp")
    if http or rtmp:
        h, t = (http or [None])[0], (rtmp or [None])[0]
        n = (h or t)["n"]
        out.append(("vod N = %s on strmd, HTTP-FLV beside RTMP (nginx-rtmp: n/a, it has no HTTP-FLV)" % n,
                    "HTTP-FLV", "RTMP", "HTTP/RTMP"))
        for label, key in VOD:
            a, b = value(h, key), value(t, key)
            if label == "players that finished":
                a = None if a is None else "%s/%s" % (a, n - (h.get("refused_busy") or 0))
                b = None if b is None else "%s/%s" % (b, n - (t.get("refused_busy") or 0))
                out.append(("  " + label + " / admitted", fmt(a), fmt(b), "-"))
                continue
            if label.startswith("arrival") or label.startswith("most early") or label.startswith("database"):
                continue
            plain = label in ("refused as busy", "server stayed up", "failed clients")
            out.append(("  " + label, fmt(a), fmt(b), "-" if plain else ratio(a, b)))
        if h and h.get("first_error"):
            out.append(("  first error (HTTP-FLV)", h["first_error"][:60], "", ""))
    live = [r for r in rows if r.get("case") == "opus-live"]
    if live:
        out.append(("Opus of a live Speex speaker on strmd, server CPU-s per minute on air",
                    "HTTP-FLV", "RTMP", "difference"))
        for n in sorted({r["n"] for r in live}):
            by = {r.get("transport"): r for r in live if r["n"] == n}
            h, t = by.get("http-flv"), by.get("rtmp")
            a, b = value(h, "cpu_per_minute"), value(t, "cpu_per_minute")
            diff = "%.3g" % (a - b) if isinstance(a, (int, float)) and isinstance(b, (int, float)) else "-"
            out.append(("  %s viewer%s" % (n, "" if n == 1 else "s"), fmt(a), fmt(b), diff))
            got = lambda r: None if r is None else "%d/%d" % (r.get("received", 0), r.get("expected", 0))
            out.append(("    messages received / expected", fmt(got(h)), fmt(got(t)), "-"))
            out.append(("    Opus silence frames (HTTP-FLV)", fmt(value(h, "opus_fill")), "", "-"))
            out.append(("    status", fmt(value(h, "status")), fmt(value(t, "status")), "-"))
    first = [r for r in rows if r.get("case") == "opus-first-play"]
    second = [r for r in rows if r.get("case") == "opus-second-play"]
    if first or second:
        f, s = (first or [None])[0], (second or [None])[0]
        out.append(("Opus sidecar of the clip, HTTP-FLV plays of 2 s on strmd", "first play", "second play", "-"))
        out.append(("  sidecar", fmt(value(f, "sidecar_status")), fmt(value(s, "sidecar_status")), "-"))
        out.append(("  sidecar begun after s", fmt(value(f, "sidecar_seen_s")), "", "-"))
        out.append(("  sidecar complete after s", fmt(value(f, "sidecar_complete_s")), "", "-"))
        out.append(("  server CPU-s until complete", fmt(value(f, "sidecar_cpu_s")), "", "-"))
        out.append(("  sidecar KiB", fmt(None if f is None else f.get("sidecar_bytes", 0) / 1024.0),
                    fmt(None if s is None else s.get("sidecar_bytes", 0) / 1024.0), "-"))
        out.append(("  startup ms", fmt(value(f, "startup_p50_ms")), fmt(value(s, "startup_p50_ms")),
                    ratio(value(f, "startup_p50_ms"), value(s, "startup_p50_ms"))))
        out.append(("  server CPU-s of the run", fmt(value(f, "cpu_s")), fmt(value(s, "cpu_s")),
                    ratio(value(f, "cpu_s"), value(s, "cpu_s"))))
    return out


def table(rows):
    lines = []
    special = [r for r in rows if r.get("case")]
    rows = [r for r in rows if not r.get("case")]
    head = ("figure", "strmd", "nginx-rtmp", "strmd/nginx")
    out = []
    groups = []
    for r in rows:
        if r["scenario"] in ("edit", "index", "soak", "floor"):
            continue
        k = (r["scenario"], r.get("n"), r.get("buffer_ms"))
        if k not in groups:
            groups.append(k)
    for scenario, n, buffer_ms in groups:
        by = {r["server"]: r for r in rows
              if r["scenario"] == scenario and r.get("n") == n and r.get("buffer_ms") == buffer_ms}
        s, p = by.get("strmd"), by.get("nginx")
        figures = {"vod": VOD, "live": LIVE, "idle": IDLE}[scenario]
        title = "%s N = %s" % (scenario, n)
        if scenario == "vod" and buffer_ms is not None:
            title += ", players' buffer %s ms" % buffer_ms
        if scenario == "idle" and (s or p):
            title += " (%s being set up at a time)" % (s or p).get("inflight", "?")
        out.append((title, "", "", ""))
        for label, key in figures:
            a, b = value(s, key), value(p, key)
            if scenario == "live" and s is not None and s.get("status") == "no media" and \
                    key not in ("status", "refused_busy") and label != "server stayed up":
                a = "-" if s.get("refused_busy") else "not yet"
            if label == "players that finished":
                # Of those the server admitted: the refused never started.
                admitted = lambda r: n - (r.get("refused_busy") or 0)
                a = None if a is None else "%s/%s" % (a, admitted(s))
                b = None if b is None else "%s/%s" % (b, admitted(p))
                out.append(("  " + label + " / admitted", fmt(a), fmt(b), "-"))
                continue
            # Signed figures (early is negative) and counts have no
            # meaningful ratio.
            plain = label.startswith("arrival") or label.startswith("most early") or \
                label in ("refused as busy", "server stayed up", "failed clients", "status")
            out.append(("  " + label, fmt(a), fmt(b), "-" if plain else ratio(a, b)))
    for r in rows:
        if r["scenario"] == "floor":
            # The server's VOD figure over what sending the same clip on time
            # costs with no server at all, in the same run.
            vod = {v["server"]: v.get("cpu_per_player_minute") for v in rows
                   if v["scenario"] == "vod" and v.get("n") == r.get("n") and v.get("buffer_ms", 3000) == 3000}
            out.append(("send floor, N = %s (CPU-s per player-minute)" % r.get("n"), "floor", "vod", "vod/floor"))
            t, l = r.get("threads_cpu_per_player_minute"), r.get("loop_cpu_per_player_minute")
            out.append(("  a thread per connection: timerfd, poll, sendmsg", fmt(t), fmt(vod.get("strmd")),
                        ratio(vod.get("strmd"), t)))
            out.append(("  one loop, each message at its time", fmt(l), fmt(vod.get("nginx")),
                        ratio(vod.get("nginx"), l)))
    out.extend(browser(special))
    for r in rows:
        if r["scenario"] == "edit":
            mib = r["base_bytes"] / 1048576.0
            out.append(("edit of a %.0f MiB recording (s)" % mib, "", "cp", "strmd/cp"))
            out.append(("  insert", fmt(r["insert_s"]), fmt(r["cp_s"]), ratio(r["insert_s"], r["cp_s"])))
            out.append(("  overwrite", fmt(r["overwrite_s"]), fmt(r["cp_s"]), ratio(r["overwrite_s"], r["cp_s"])))
        if r["scenario"] == "index":
            mib = r["base_bytes"] / 1048576.0
            out.append(("index of a %.0f MiB FLV (s)" % mib, "", "read", "strmd/read"))
            out.append(("  build", fmt(r["build_s"]), fmt(r["read_s"]), ratio(r["build_s"], r["read_s"])))
    widths = [max(len(str(x[i])) for x in out + [head]) for i in range(4)]
    def line(cells):
        return "| " + " | ".join(str(c).ljust(widths[i]) if i == 0 else str(c).rjust(widths[i])
                                 for i, c in enumerate(cells)) + " |"
    lines.append(line(head))
    lines.append("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for row in out:
        lines.append(line(row))
    for r in rows:
        if r.get("server_ended"):
            lines.append("%s ended during %s N = %s: %s" % (r["server"], r["scenario"], r.get("n"), r["server_ended"]))
    return "\n".join(lines)


def check_smoke(rows):
    problems = []
    http = [r for r in rows if r.get("case") == "browser-vod" and r.get("transport") == "http-flv"]
    rows = [r for r in rows if not r.get("case")]
    vod = [r for r in rows if r["scenario"] == "vod"]
    idle = [r for r in rows if r["scenario"] == "idle"]
    edit = [r for r in rows if r["scenario"] == "edit"]
    index = [r for r in rows if r["scenario"] == "index"]
    live = [r for r in rows if r["scenario"] == "live"]
    soak = [r for r in rows if r["scenario"] == "soak"]
    floor = [r for r in rows if r["scenario"] == "floor"]
    if not vod or vod[0].get("finished") != vod[0].get("n") or not vod[0].get("media_messages"):
        problems.append("vod: not every player finished")
    if vod and vod[0].get("cpu_per_player_minute") is None:
        problems.append("vod: no server CPU figure")
    if vod and any(vod[0].get(k) is None for k in ("startup_p50_ms", "lead_p99_ms", "lateness_p99_ms")):
        problems.append("vod: no startup, lead or lateness figure")
    # The smoke's server takes all new work (AdmitCpuPercent 0).
    if any(r.get("refused_busy") for r in rows):
        problems.append("a client was refused as busy by a server that admits everything")
    if not idle or idle[0].get("connected") != idle[0].get("n") or idle[0].get("connects_per_s") is None:
        problems.append("idle: not every connection connected")
    if not floor or floor[0].get("threads_cpu_per_player_minute") is None or \
            floor[0].get("loop_cpu_per_player_minute") is None:
        problems.append("floor: no result")
    if not edit or not index or not index[0].get("entries"):
        problems.append("edit/index: no result")
    # Every player receives every message of the speaker: none is dropped at
    # this load, and its audio passes the voice check.
    if not live or live[0].get("status") != "ok" or not live[0].get("expected") or \
            live[0].get("received") != live[0].get("expected") or live[0].get("failed"):
        problems.append("live: not every player received every message")
    if not soak or soak[0].get("status") != "ok" or not soak[0].get("recordings"):
        problems.append("soak: a client failed, something was left behind or nothing was recorded")
    if not http or http[0].get("finished") != http[0].get("n") or http[0].get("startup_p50_ms") is None:
        problems.append("vod over HTTP-FLV: not every player finished")
    for p in problems:
        print("report: " + p, file=sys.stderr)
    return 1 if problems else 0


def main(argv):
    if len(argv) == 3 and argv[1] == "--check-smoke":
        return check_smoke(load(argv[2]))
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    print(table(load(argv[1])))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
