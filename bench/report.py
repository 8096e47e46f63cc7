#!/usr/bin/env python3
"""Prints the benchmark's JSON lines as one table: strmd and the peer side by
side, with strmd's figure divided by the peer's; then the targets, each with
strmd's figure, the peer's, their ratio, the bound and ok or MISS. Rows run
in rounds are shown as one: the median of each figure (the worst round's for
memory, latency and failures), and as their ratio the median of the rounds'
ratios.

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


def number(v):
    return isinstance(v, (int, float)) and not isinstance(v, bool)


def ratio(a, b):
    if not number(a) or not number(b):
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
    ("RSS per player KiB", "rss_per_player_kib"),
    ("server context switches per player-minute", "ctxt_per_player_minute"),
    ("server threads peak", "threads_peak"),
    ("strmd send loops", "send_loops"),
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
    ("RSS per player KiB", "rss_per_player_kib"),
    ("server context switches per player-minute", "ctxt_per_player_minute"),
    ("server threads peak", "threads_peak"),
    ("strmd send loops", "send_loops"),
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
    ("server threads peak", "threads_peak"),
    ("strmd send loops", "send_loops"),
    ("database CPU-s", "db_cpu_s"),
    ("failed clients", "failed"),
]
# Figures that are counts or settings: no ratio.
PLAIN = ("refused as busy", "server stayed up", "failed clients", "status", "strmd send loops")

# strmd's default PlayAheadMs: the lead a player's buffer is cut to.
PLAY_AHEAD_MS = 1000


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


def merge_of(r):
    """strmd's RelayMergeMs of a live row (None for the peer's)."""
    return r.get("relay_merge_ms") if r.get("server") == "strmd" and r.get("scenario") == "live" else None


def median(values):
    values = sorted(values)
    mid = len(values) // 2
    return values[mid] if len(values) % 2 else (values[mid - 1] + values[mid]) / 2.0


# Figures of rows run in rounds that take the worst round, not the median:
# memory, latency and failures are bounds, one bad round breaks them.
WORST = ("rss_per_player_kib", "peak_rss_kib", "rss_before_kib", "threads_peak", "peak_cpu_pct",
         "monitor_cpu_peak_pct", "latency_p99_ms", "latency_max_ms", "failed", "dropped", "refused_busy",
         "unmatched")
# Summed, so that "every message arrived" holds only when it did in each round.
SUMMED = ("received", "expected")


def combine(rows):
    """Rows run in rounds (they carry "round") become one row per server and
    setting: the median of each figure over the rounds (the worst for the
    figures in WORST), the rounds themselves kept under "_rounds" for the
    per-round ratios. Other rows stay as they are, in their order."""
    order, groups = [], {}
    for r in rows:
        if r.get("round") is None:
            order.append(r)
            continue
        key = (r.get("server"), r.get("scenario"), r.get("n"), r.get("buffer_ms"), merge_of(r), r.get("case"))
        if key not in groups:
            groups[key] = []
            order.append(key)
        groups[key].append(r)
    out = []
    for item in order:
        if isinstance(item, dict):
            out.append(item)
            continue
        rounds = sorted(groups[item], key=lambda r: r["round"])
        row = dict(rounds[0])
        for k in row:
            values = [r.get(k) for r in rounds]
            # Settings (N, the merge, the buffer) are the same in every round.
            if len(set(values)) == 1 or \
                    not all(number(v) for v in values):
                continue
            row[k] = sum(values) if k in SUMMED else max(values) if k in WORST else median(values)
        # Any round that did not end well is the row's status.
        row["status"] = next((r["status"] for r in rounds if r.get("status") not in (None, "ok")), row.get("status"))
        ended = [r["server_ended"] for r in rounds if r.get("server_ended")]
        if ended:
            row["server_ended"] = ended[0]
        row.pop("round", None)
        row["_rounds"] = rounds
        out.append(row)
    return out


def round_ratios(s, p, key):
    """strmd's figure over the peer's in each round both ran (None unless
    both rows were run in rounds)."""
    if not s or not p or "_rounds" not in s or "_rounds" not in p:
        return None
    peer = {r["round"]: value(r, key) for r in p["_rounds"]}
    out = []
    for r in s["_rounds"]:
        a, b = value(r, key), peer.get(r["round"])
        if number(a) and number(b) and b != 0:
            out.append(a / b)
    return out or None


def paired_ratio(s, p, key):
    """The ratio a target holds strmd to: the median of the per-round ratios
    when the rows ran in rounds (each round's two rows ran minutes apart at
    most, the rounds further), else one figure over the other."""
    per_round = round_ratios(s, p, key)
    if per_round:
        return median(per_round)
    a, b = value(s, key), value(p, key)
    return a / b if number(a) and number(b) and b != 0 else None


def table(rows):
    lines = []
    special = [r for r in rows if r.get("case")]
    rows = [r for r in rows if not r.get("case")]
    head = ("figure", "strmd", "nginx-rtmp", "strmd/nginx")
    out = []
    groups = []
    # A live N runs once on the peer and once per RelayMergeMs on strmd: one
    # block per strmd run, the peer's figure repeated in each.
    strmd_live = {r.get("n") for r in rows if r["scenario"] == "live" and r["server"] == "strmd"}
    for r in rows:
        if r["scenario"] in ("edit", "index", "soak", "floor"):
            continue
        if r["scenario"] == "live" and r["server"] != "strmd" and r.get("n") in strmd_live:
            continue
        k = (r["scenario"], r.get("n"), r.get("buffer_ms"), merge_of(r))
        if k not in groups:
            groups.append(k)
    # Merge 0 before merge 20 whichever strmd ran first.
    first = {}
    for k in groups:
        first.setdefault(k[:3], len(first))
    groups.sort(key=lambda k: (first[k[:3]], -1 if k[3] is None else k[3]))
    for scenario, n, buffer_ms, merge in groups:
        same = [r for r in rows if r["scenario"] == scenario and r.get("n") == n and r.get("buffer_ms") == buffer_ms]
        s = next((r for r in same if r["server"] == "strmd" and merge_of(r) == merge), None)
        p = next((r for r in same if r["server"] == "nginx"), None)
        figures = {"vod": VOD, "live": LIVE, "idle": IDLE}[scenario]
        title = "%s N = %s" % (scenario, n)
        if scenario == "vod" and buffer_ms is not None:
            title += ", players' buffer %s ms" % buffer_ms
        if merge is not None:
            title += ", merge %s ms" % merge
        if scenario == "idle" and (s or p):
            title += " (%s being set up at a time)" % (s or p).get("inflight", "?")
        out.append((title, "", "", ""))
        for label, key in figures:
            a, b = value(s, key), value(p, key)
            if scenario == "live" and s is not None and s.get("status") == "no media" and \
                    key not in ("status", "refused_busy", "send_loops") and label != "server stayed up":
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
            plain = label.startswith("arrival") or label.startswith("most early") or label in PLAIN
            q = None if plain or not isinstance(key, str) or key in WORST else paired_ratio(s, p, key)
            out.append(("  " + label, fmt(a), fmt(b), "-" if plain else ratio(a, b) if q is None else "%.2fx" % q))
        per_round = round_ratios(s, p, "cpu_per_player_minute")
        if per_round:
            out.append(("  rounds: CPU strmd/nginx in each (medians above)", "", "",
                        " ".join("%.2fx" % x for x in per_round)))
    for r in rows:
        if r["scenario"] == "floor":
            # The server's VOD figure over what sending the same clip on time
            # costs with no server at all, in the same run.
            def vod(server, buffer_ms):
                return next((v.get("cpu_per_player_minute") for v in rows
                             if v["scenario"] == "vod" and v["server"] == server and v.get("n") == r.get("n")
                             and v.get("buffer_ms", 3000) == buffer_ms), None)
            out.append(("send floor, N = %s (CPU-s per player-minute)" % r.get("n"), "floor", "vod", "vod/floor"))
            t, l = r.get("threads_cpu_per_player_minute"), r.get("loop_cpu_per_player_minute")
            out.append(("  a thread per connection: timerfd, poll, sendmsg", fmt(t), fmt(vod("strmd", 3000)),
                        ratio(vod("strmd", 3000), t)))
            out.append(("  one loop, each message at its time", fmt(l), fmt(vod("nginx", 3000)),
                        ratio(vod("nginx", 3000), l)))
            # The floor of sending from a few loops: strmd's VOD beside the
            # lead its players' buffer comes to.
            for w in r.get("batched") or []:
                lead = w.get("lead_ms")
                buffers = sorted({v.get("buffer_ms") for v in rows if v["scenario"] == "vod"
                                  and v.get("buffer_ms") is not None and min(v["buffer_ms"], PLAY_AHEAD_MS) == lead})
                b = buffers[0] if buffers else None
                c = w.get("cpu_per_player_minute")
                label = "  one loop, a %s ms window per sendmsg" % lead
                if b is not None:
                    label += " (vod buffer %s ms)" % b
                sv = vod("strmd", b) if b is not None else None
                out.append((label, fmt(c), fmt(sv), ratio(sv, c)))
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


def finished_all(r):
    return r.get("finished"), r["n"] - (r.get("refused_busy") or 0)


def finished_every(r):
    return r.get("finished"), r["n"]


def received_all(r):
    return r.get("received"), r.get("expected")


def up(r):
    return (1 if stayed_up(r) == "yes" else 0), 1


# The targets: (set, scenario, buffer or merge (None: any), N from, N to,
# figure, key, kind, bound). Kinds: "ratio<=" and "ratio>=" bound strmd's
# figure over the peer's; "<=" and "<" bound strmd's own; "all" needs a key
# that gives (got, of) and got == of. A bound may depend on the row. Set I:
# the first capacity work; set II: sending from a few loops.
def lead_bound(r):
    return min(r.get("buffer_ms", PLAY_AHEAD_MS), PLAY_AHEAD_MS) + 10


def merge_bound(r):
    return (r.get("relay_merge_ms") if r.get("relay_merge_ms") is not None else 20) + 10


TARGETS = [
    ("I", "vod", 3000, 50, 1000, "players that finished", finished_all, "all", None),
    ("I", "vod", 3000, 50, 1000, "CPU per player-minute", "cpu_per_player_minute", "ratio<=", 0.8),
    ("I", "vod", 3000, 50, 1000, "lead max ms (L + 10)", "lead_max_ms", "<=", lead_bound),
    ("I", "vod", 3000, 50, 500, "lateness p99 ms", "lateness_p99_ms", "<=", 5),
    ("I", "vod", 3000, 50, 1000, "startup p50 ms", "startup_p50_ms", "<=", 5),
    ("I", "vod", 3000, 50, 1000, "RSS per player KiB", "rss_per_player_kib", "<=", 48),
    ("I", "vod", 3000, 2000, 2000, "server stayed up", up, "all", None),
    ("I", "vod", 3000, 2000, 2000, "monitor CPU sum peak %", "monitor_cpu_peak_pct", "<", 80),
    ("I", "vod", 3000, 2000, 2000, "admitted players that finished", finished_all, "all", None),
    ("I", "live", 20, 20, 500, "messages received / expected", received_all, "all", None),
    ("I", "live", 20, 20, 500, "CPU per player-minute", "cpu_per_player_minute", "ratio<=", 1.2),
    ("I", "live", 20, 500, 500, "latency p99 ms", "latency_p99_ms", "<=", 30),
    ("I", "idle", None, 3000, 3000, "connects per second", "connects_per_s", "ratio>=", 1.0),
    ("I", "idle", None, 3000, 3000, "RSS per connection KiB", "rss_per_conn_kib", "<=", 32),
    ("I", "idle", None, 3000, 3000, "CPU while idle %", "idle_cpu_pct", "<", 1),
    ("II", "vod", 100, 50, 1000, "CPU per player-minute", "cpu_per_player_minute", "ratio<=", 0.8),
    ("II", "vod", 3000, 50, 1000, "CPU per player-minute", "cpu_per_player_minute", "ratio<=", 0.5),
    ("II", "vod", 100, 50, 1000, "RSS per player KiB", "rss_per_player_kib", "<=", 32),
    ("II", "vod", 3000, 50, 1000, "RSS per player KiB", "rss_per_player_kib", "<=", 32),
    ("II", "vod", 3000, 2000, 2000, "players that finished (none refused)", finished_every, "all", None),
    ("II", "vod", 3000, 2000, 2000, "monitor CPU sum peak %", "monitor_cpu_peak_pct", "<", 50),
]
for m in (0, 20):
    TARGETS += [
        ("II", "live", m, 20, 1000, "messages received / expected", received_all, "all", None),
        ("II", "live", m, 20, 1000, "CPU per player-minute", "cpu_per_player_minute", "ratio<=", 0.8),
        ("II", "live", m, 20, 500, "latency p99 ms (merge + 10)", "latency_p99_ms", "<=", merge_bound),
        ("II", "live", m, 20, 1000, "RSS per player KiB", "rss_per_player_kib", "<=", 32),
    ]


def targets(rows):
    """The target rows that the run has figures for, one line per N."""
    rows = [r for r in rows if not r.get("case")]
    out = []
    for group, scenario, setting, lo, hi, label, key, kind, bound in TARGETS:
        for s in rows:
            if s.get("server") != "strmd" or s.get("scenario") != scenario or not lo <= s.get("n", 0) <= hi:
                continue
            if scenario == "vod" and s.get("buffer_ms") != setting:
                continue
            if scenario == "live" and merge_of(s) != setting and \
                    not (merge_of(s) is None and setting == 20):  # a row of the default merge
                continue
            p = next((r for r in rows if r.get("server") == "nginx" and r.get("scenario") == scenario and
                      r.get("n") == s.get("n") and (scenario != "vod" or r.get("buffer_ms") == setting)), None)
            where = "-" if setting is None else ("buffer %s ms" % setting if scenario == "vod" else "merge %s ms" % setting)
            a, b = value(s, key), value(p, key)
            limit = bound(s) if callable(bound) else bound
            if kind == "all":
                got = None if a is None or a[0] is None or a[1] is None else a[0] == a[1] and a[1] > 0
                show = lambda v: "-" if v is None or v[0] is None else "%s/%s" % v
                a, b, r, target = show(a), show(b), "-", "all"
            elif kind.startswith("ratio"):
                q = paired_ratio(s, p, key)
                r = "-" if q is None else "%.2fx" % q
                got = None if q is None else (q <= limit if kind == "ratio<=" else q >= limit)
                target = "%s %sx nginx" % ("<=" if kind == "ratio<=" else ">=", fmt(float(limit)))
                a, b = fmt(a), fmt(b)
            else:
                got = None if not number(a) else (a <= limit if kind == "<=" else a < limit)
                r, target = ratio(a, b), "%s %s" % (kind, fmt(limit))
                a, b = fmt(a), fmt(b)
            result = "ok" if got else ("-" if got is None and kind.startswith("ratio") and p is None else "MISS")
            out.append((group, scenario, where, str(s.get("n")), label, a, b, r, target, result))
    if not out:
        return ""
    head = ("set", "scenario", "buffer/merge", "N", "figure", "strmd", "nginx-rtmp", "strmd/nginx", "target", "result")
    widths = [max(len(str(x[i])) for x in out + [head]) for i in range(len(head))]
    left = (0, 1, 2, 4)
    def line(cells):
        return "| " + " | ".join(str(c).ljust(widths[i]) if i in left else str(c).rjust(widths[i])
                                 for i, c in enumerate(cells)) + " |"
    lines = ["targets (%d ok, %d MISS)" % (sum(o[-1] == "ok" for o in out), sum(o[-1] == "MISS" for o in out)),
             line(head), "|" + "|".join("-" * (w + 2) for w in widths) + "|"]
    lines += [line(o) for o in out]
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
    if any(r.get(k) is None for r in vod + live for k in ("ctxt_per_player_minute", "rss_per_player_kib")) or \
            any(not r.get("threads_peak") for r in vod + live + idle):
        problems.append("vod/live: no context switch, RSS per player or threads figure")
    if any(r.get("send_loops") is None for r in vod + live + idle):
        problems.append("no send loop count in a row")
    # The smoke's server takes all new work (AdmitCpuPercent 0).
    if any(r.get("refused_busy") for r in rows):
        problems.append("a client was refused as busy by a server that admits everything")
    if not idle or idle[0].get("connected") != idle[0].get("n") or idle[0].get("connects_per_s") is None:
        problems.append("idle: not every connection connected")
    if not floor or floor[0].get("threads_cpu_per_player_minute") is None or \
            floor[0].get("loop_cpu_per_player_minute") is None or not floor[0].get("batched") or \
            any(w.get("cpu_per_player_minute") is None for w in floor[0]["batched"]):
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
    rows = combine(load(argv[1]))
    print(table(rows))
    t = targets(rows)
    if t:
        print()
        print(t)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
