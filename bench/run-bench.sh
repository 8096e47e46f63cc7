#!/usr/bin/env bash
# Runs the benchmark: every scenario against strmd and, in the same run and
# with the same load generator, against nginx with Debian's RTMP module; then
# prints one table of both side by side and keeps the JSON lines.
#
# usage: run-bench.sh full|quick|smoke BUILD_DIR
#   full   VOD players N = 50, 200, 500, 1000, 2000 announcing a 3000 ms
#          buffer and N = 50 .. 1000 announcing 100 ms, and the send floor
#          at 50 .. 1000 (threads, loop, and loop batched with 100 and 1000 ms
#          windows); live 20, 50, 200, 500, 1000, each on strmd once with
#          RelayMergeMs 0 and once with 20 (rows of up to 50 players in
#          three rounds); idle 3000; editing and indexing a 1 GiB recording,
#          all on a 30 s clip (about 45 minutes);
#          and strmd's browser rows: HTTP-FLV VOD 200 beside RTMP VOD 200,
#          a live Speex speaker with 1 and 50 viewers over HTTP-FLV and over
#          RTMP (the Opus transcoding), the Opus sidecar of the clip's first
#          HTTP-FLV play (under three minutes together)
#   quick  the same kinds on a small scale (about two minutes)
#   smoke  a few seconds against strmd alone, no peer: keeps the tools working
#          (the test suite runs it)
#
# Environment: STRMD_BENCH_DIR (work folder, default var/bench, or a temp
# folder for smoke), STRMD_TESTDB_DIR (smoke: the running test database),
# STRMD_BENCH_SERVER_KEYS (registry lines added to strmd's server key),
# STRMD_BENCH_ONLY (full and quick: only these groups of rows, from vod,
# floor, live, idle, edit, browser; e.g. "browser"; default all),
# STRMD_BENCH_LIVE_COUNTS (full: the live rows' player counts, e.g. "20 50"),
# STRMD_BENCH_VOD_COUNTS (full: the VOD rows' player counts; 100 ms up to 1000),
# STRMD_BENCH_ROUNDS (full: the rounds of the VOD and live rows of up to 50
# players, default 3; 1 runs them once).
# The machine may be shared: only the ratios of one run count.
set -euo pipefail

mode=${1:-}
build=${2:-}
case $mode in full|quick|smoke) ;; *) echo "usage: $0 full|quick|smoke BUILD_DIR" >&2; exit 2 ;; esac
[ -n "$build" ] || { echo "usage: $0 full|quick|smoke BUILD_DIR" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/.." && pwd)
build=$(cd "$build" && pwd)
gen=$build/bench/strmd-bench
edit=$build/bench/strmd-bench-edit
floor=$build/bench/strmd-bench-floor
for b in "$build/strmd" "$gen" "$edit" "$floor"; do
  [ -x "$b" ] || { echo "run-bench: $b is missing (build it first)" >&2; exit 1; }
done

# Thousands of connections on both sides of loopback.
ulimit -Hn 65536 2>/dev/null || true
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true

if [ "$mode" = smoke ]; then
  work=${STRMD_BENCH_DIR:-$(mktemp -d "${TMPDIR:-/tmp}/strmd-bench-XXXXXX")}
else
  work=${STRMD_BENCH_DIR:-$src/var/bench}
fi
mkdir -p "$work"
work=$(cd "$work" && pwd)
stamp=$(date +%Y%m%d-%H%M%S)
run=$work/run-$stamp-$$
mkdir -p "$run"
results=$run/results.jsonl
: >"$results"
only=" $(printf %s "${STRMD_BENCH_ONLY:-}" | tr , " ") "
want() {  # group: selected by STRMD_BENCH_ONLY (all when it is empty)
  [ -z "${STRMD_BENCH_ONLY:-}" ] || [[ "$only" == *" $1 "* ]]
}
# nginx-rtmp plays only in the rows compared with it.
peer=0
if [ "$mode" != smoke ] && { want vod || want live || want idle; }; then peer=1; fi

strmd_pid="" nginx_pid="" dbname="" dbdir="" own_db=0
cleanup() {
  local status=$?
  set +e
  [ -n "$strmd_pid" ] && kill -TERM "$strmd_pid" 2>/dev/null && wait "$strmd_pid" 2>/dev/null
  [ -n "$nginx_pid" ] && kill -TERM "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null
  if [ -n "$dbname" ]; then db_client -e "drop database if exists $dbname" >/dev/null 2>&1; fi
  [ -n "${shm:-}" ] && rm -f "/dev/shm${shm}" "/dev/shm${shm}-data"
  if [ "$own_db" -eq 1 ]; then "$src/scripts/testdb.sh" stop "$dbdir" >/dev/null 2>&1; fi
  if [ "$mode" = smoke ]; then
    if [ "$status" -ne 0 ]; then
      # What the server said (a sanitizer's report among it) is the evidence.
      echo "run-bench: smoke failed; the run is kept in $run; the end of strmd's output:" >&2
      tail -n 100 "$run/strmd/output.txt" >&2 2>/dev/null
    else
      rm -rf "$run"
      [ -z "${STRMD_BENCH_DIR:-}" ] && rm -rf "$work"
    fi
  fi
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

tag=run-bench
. "$here/common.sh"

# ---- media: a 1 Mbit/s H.264 + Speex clip, 75 messages a second ----
# The figures are per player-minute: a longer clip only makes the run longer.
case $mode in
  full) seconds=30 ;;
  quick) seconds=10 ;;
  smoke) seconds=3 ;;
esac
media=$(bench_clip "$work" "$seconds")

# ---- database: strmd plays object 200 (files/demo.flv) of the demo rows ----
if [ "$mode" = smoke ]; then
  dbdir=${STRMD_TESTDB_DIR:-}
  [ -n "$dbdir" ] && [ -s "$dbdir/port" ] || { echo "run-bench: smoke needs STRMD_TESTDB_DIR" >&2; exit 1; }
else
  dbdir=$work/db
  "$src/scripts/testdb.sh" start "$dbdir" >&2
  own_db=1
fi
dbport=$(cat "$dbdir/port")
dbsocket=$(cat "$dbdir/socket")
db_client() { mariadb --no-defaults --socket="$dbsocket" -uroot "$@"; }
if [ "$mode" != smoke ]; then
  # strmd opens one database connection per client until it has a pool; the
  # default limit (151) would refuse most players and idle connections.
  db_client -e "set global max_connections = 5000"
  echo "run-bench: MariaDB max_connections 5000 (open files limit $(db_client -N -e 'select @@open_files_limit'))" >&2
fi
dbname=bench_$$_$RANDOM
{
  echo "create database $dbname character set utf8mb4;"
  echo "use $dbname;"
  cat "$src/Database/schema.sql" "$src/Database/demo.sql"
  # The live players' viewers: users 1000-1999 with web sessions
  # bench-viewer-0 .. bench-viewer-999.
  bench_users 1000 1000 Viewer bench-viewer-
  # smoke: the users of a few seconds of the soak's mix (see soak.sh)
  [ "$mode" != smoke ] || bench_users 2000 500 Soak soak-user- 1
} | db_client
dbpid=$(cat "$dbdir/mariadbd.pid" 2>/dev/null || echo 0)

# ---- strmd: one site on that database ----
site=$run/site
mkdir -p "$site"/{temp,files,cache,htdocs} "$run/strmd/logs"
cp "$media" "$site/files/demo.flv"
# A monitor report of this run's own, read by the generator.
shm=/strmd-bench-$$-$RANDOM
# The smoke runs the sanitizer build beside the rest of the test suite: its
# hostile mix can take the CPU watchdog's share of a loaded machine, and the
# watchdog would end the server it checks. The timed runs keep the watchdog
# and the server's default admission (new work refused as busy from
# AdmitCpuPercent on), which the largest VOD run is meant to reach.
[ "$mode" != smoke ] || strmd_registry_extra='"DebugCpuLimit"=dword:00000000
"AdmitCpuPercent"=dword:00000000'
# Other server settings to try, e.g. a low AdmitCpuPercent to see refusals.
if [ -n "${STRMD_BENCH_SERVER_KEYS:-}" ]; then
  strmd_registry_extra="${strmd_registry_extra:-}
$STRMD_BENCH_SERVER_KEYS"
fi
# A registry value of the server key as given in STRMD_BENCH_SERVER_KEYS, in
# decimal; empty when not given there.
server_key() {  # name
  local hex
  hex=$(printf %s "${STRMD_BENCH_SERVER_KEYS:-}" | grep -o "\"$1\"=dword:[0-9a-fA-F]*" | tail -n 1 | cut -d: -f2)
  [ -z "$hex" ] || echo $((16#$hex))
}
# strmd's send loops, shown in its rows: SendLoops, 0 or not given is one per
# processor.
send_loops=$(server_key SendLoops)
[ -n "$send_loops" ] && [ "$send_loops" -ne 0 ] || send_loops=$(getconf _NPROCESSORS_ONLN)
[ "$send_loops" -le 64 ] || send_loops=64
# strmd's RelayMergeMs now (default 20); the live rows set it themselves.
base_merge=$(server_key RelayMergeMs)
base_merge=${base_merge:-20}
relay_merge=$base_merge
base_registry_extra=${strmd_registry_extra:-}
start_strmd "$run" "$site" "$dbport" "$dbname" "$shm" || exit 1

# Restarts strmd with RelayMergeMs `ms` (after the other server keys, so this
# one counts), unless it already runs with it; "default" goes back to the
# keys of the run.
use_merge() {  # ms|default
  local want=$1
  [ "$want" != default ] || want=$base_merge
  [ "$want" != "$relay_merge" ] || return 0
  kill -TERM "$strmd_pid" 2>/dev/null && wait "$strmd_pid" 2>/dev/null || true
  strmd_registry_extra=$base_registry_extra
  [ "$1" = default ] || strmd_registry_extra="$strmd_registry_extra
$(printf '"RelayMergeMs"=dword:%08x' "$want")"
  echo "run-bench: strmd with RelayMergeMs $want" >&2
  start_strmd "$run" "$site" "$dbport" "$dbname" "$shm" || exit 1
  relay_merge=$want
  warm strmd
}

# ---- nginx-rtmp: the peer, a black box started through its directives ----
if [ "$peer" -eq 1 ]; then
  "$src/scripts/install-bench-deps.sh"
  ng=$run/nginx
  mkdir -p "$ng/media"
  cp "$media" "$ng/media/demo.flv"
  nport=$(free_port)
  sed -e "s|@DIR@|$ng|g; s|@PORT@|$nport|; s|@MEDIA@|$ng/media|; s|@NOFILE@|$(ulimit -n)|; s|@CONNECTIONS@|16000|" \
    "$here/nginx-rtmp.conf.in" >"$ng/nginx.conf"
  nginx -p "$ng" -c "$ng/nginx.conf" -e "$ng/error.log" </dev/null >"$ng/output.txt" 2>&1 &
  nginx_pid=$!
  wait_listen "$nport" 20 "$nginx_pid" || { echo "run-bench: nginx did not start:" >&2; cat "$ng/output.txt" "$ng/error.log" >&2; exit 1; }
fi

# ---- the scenarios, each against both servers back to back ----
bench() {  # server scenario count [generator options]
  local server=$1 scenario=$2 count=$3
  shift 3
  local args=(--flv "$media" --label "$server")
  if [ "$server" = strmd ]; then
    # Live: Ben (user 2) speaks on channel 5 from the study group's chat;
    # each player is a viewer of its own.
    args+=(--port "$sport" --pid "$strmd_pid" --db-pid "$dbpid" --app default --name fileid=200
           --live-app default --live-name 'channel=5&userid=2' --publish-name channel=5
           --login demo-ben-0002 --chat 1 --player-session bench-viewer- --shm "$shm"
           --send-loops "$send_loops")
    [ "$scenario" != live ] || args+=(--relay-merge-ms "$relay_merge")
  else
    args+=(--port "$nport" --pid "$nginx_pid" --app vod --name demo.flv --live-app live --live-name bench)
  fi
  echo "run-bench: $server $scenario $count" >&2
  local line status=0
  line=$("$gen" "${args[@]}" "$@" "$scenario" "$count") || status=1
  if [ "$server" = strmd ] && ! running "$strmd_pid"; then
    # Ended under the load (the CPU watchdog, say): its last report goes
    # into the row, and the scenarios after it get a fresh server.
    wait "$strmd_pid" 2>/dev/null || true
    local why
    why=$(grep -a "ERROR" "$run/strmd/output.txt" | tail -n 1 | tr -d '"\\' | cut -c1-200) || true
    echo "run-bench: strmd ended during $scenario $count: ${why:-no report}; starting it again" >&2
    [ -z "$line" ] || line="${line%\}},\"server_ended\":\"${why:-no report}\"}"
    mv "$run/strmd/output.txt" "$run/strmd/output-$scenario-$count.txt"
    start_strmd "$run" "$site" "$dbport" "$dbname" "$shm" || exit 1
    # Warmed as after any start, unless it ended while warming.
    [ -n "${warming:-}" ] || warm strmd
  fi
  if [ "$status" -ne 0 ]; then
    echo "run-bench: the generator failed ($server $scenario $count)" >&2
    return 1
  fi
  # A row of a round says which, so that the report pairs it with the peer's.
  [ -z "${bench_round:-}" ] || line="${line%\}},\"round\":$bench_round}"
  if [ -n "${warming:-}" ]; then echo "$line"; else echo "$line" | tee -a "$results"; fi
}
# One play of each kind, kept out of the results: a server's first one pages
# in its code (the voice check's, the relay's) and makes its allocator's
# arenas and the site's pools, which are not the players' of the row after
# it to carry.
warm() {  # server
  warming=1 bench "$1" vod 1 --limit-s 1 >/dev/null
  warming=1 bench "$1" live 1 --limit-s 2 >/dev/null
}
servers=(strmd nginx)
[ "$peer" -eq 1 ] || servers=(strmd)

each() {  # scenario count [options]: strmd then the peer
  for s in "${servers[@]}"; do bench "$s" "$@"; done
}

# The rounds the rows of N players run in. Up to 50 players a row costs
# either server a second or two of CPU over the clip, and what the shared
# machine gives from one minute to the next varies by more than that (the
# same row has measured 4x apart in two runs): such rows run in rounds, each
# server in turn, and the report takes the median of each figure and of the
# per-round ratios.
in_rounds() {  # count command...: the command once per round of N players
  local n=$1 round rounds=1
  shift
  [ "$mode" != full ] || [ "$n" -gt 50 ] || rounds=${STRMD_BENCH_ROUNDS:-3}
  for ((round = 1; round <= rounds; round++)); do
    [ "$rounds" -eq 1 ] || bench_round=$round
    "$@"
    bench_round=
  done
}

# Live N: the peer once, strmd with RelayMergeMs 0 and with 20 (every second
# time in the other order, so that strmd is restarted once per round), in
# the rounds of N.
live_rows() {  # count...
  local n k=0
  for n in "$@"; do in_rounds "$n" live_round "$n"; done
  use_merge default
}
live_round() {  # count (k: live_rows')
  local m merges="0 20"
  [ "$peer" -eq 0 ] || bench nginx live "$1"
  [ $((k % 2)) -eq 0 ] || merges="20 0"
  for m in $merges; do
    use_merge "$m"
    bench strmd live "$1"
  done
  k=$((k + 1))
}

# A first play builds the index and warms the caches of both servers.
for s in "${servers[@]}"; do warm "$s"; done

# strmd's browser players: HTTP-FLV VOD beside RTMP VOD at the same N (both
# paced with the default lead: the RTMP players' 3000 ms buffer is capped by
# PlayAheadMs, HTTP players get PlayAheadMs), then what the Opus audio of a
# Speex source costs. First the sidecar: an HTTP-FLV play of the clip makes
# the Opus audio beside the file's index; its build time and the server's
# CPU until it is complete, and a second play that finds it made. Then the
# live channel with N viewers over HTTP-FLV against over RTMP: the CPU per
# minute on air differs by the transcoding, made once per channel.
browser() {  # vod-N live-seconds
  local sidecar=$site/cache/200.flv.opus
  [ -e "$site/cache/200.flv.index2" ] ||
    echo "run-bench: no index at $site/cache/200.flv.index2: the sidecar is watched at $sidecar" >&2
  rm -f "$sidecar"
  bench strmd vod 1 --http --limit-s 2 --sidecar "$sidecar" --case opus-first-play
  bench strmd vod 1 --http --limit-s 2 --sidecar "$sidecar" --case opus-second-play
  bench strmd vod "$1" --buffer-ms 3000 --case browser-vod
  bench strmd vod "$1" --http --case browser-vod
  for v in 1 50; do
    bench strmd live "$v" --limit-s "$2" --case opus-live
    bench strmd live "$v" --limit-s "$2" --http --case opus-live
  done
}

case $mode in
  full)
    if want vod; then
      # Players announce 3000 ms of buffer, what a common command-line client
      # sends (at 2000 strmd is past its admission limit and refuses some),
      # then 100 ms, an old browser plug-in's default: little room to send
      # ahead (up to 1000 players).
      for buffer in 3000 100; do
        for n in ${STRMD_BENCH_VOD_COUNTS:-50 200 500 1000 2000}; do
          [ "$buffer" -eq 3000 ] || [ "$n" -le 1000 ] || continue
          in_rounds "$n" each vod "$n" --buffer-ms "$buffer"
        done
      done
    fi
    # What sending the clip on time costs with no server: the floor under the
    # VOD figures above.
    if want floor; then
      for n in 50 200 500 1000; do "$floor" --flv "$media" --seconds 20 --lead-ms 100,1000 "$n" | tee -a "$results"; done
    fi
    if want live; then live_rows ${STRMD_BENCH_LIVE_COUNTS:-20 50 200 500 1000}; fi
    if want idle; then each idle 3000 --hold-s 10; fi
    if want edit; then "$edit" --dir "$run" --flv "$media" --size-mib 1024 --rounds 2 | tee -a "$results"; fi
    if want browser; then browser 200 15; fi
    ;;
  quick)
    if want vod; then
      each vod 50
      each vod 50 --buffer-ms 100 --limit-s 5
    fi
    if want floor; then "$floor" --flv "$media" --seconds 5 --lead-ms 100,1000 50 | tee -a "$results"; fi
    if want live; then live_rows 20; fi
    if want idle; then each idle 500 --hold-s 3; fi
    if want edit; then "$edit" --dir "$run" --flv "$media" --size-mib 64 --rounds 1 | tee -a "$results"; fi
    if want browser; then browser 50 8; fi
    ;;
  smoke)
    each vod 3
    bench strmd vod 3 --http --case browser-vod
    "$floor" --flv "$media" --seconds 1 3 | tee -a "$results"
    each live 3
    each idle 20 --hold-s 1 --inflight 5
    "$edit" --dir "$run" --flv "$media" --size-mib 4 --rounds 1 | tee -a "$results"
    # A few seconds of the soak's mix: every kind of client, hostile ones
    # included, and the server's descriptors and threads back afterwards.
    echo "run-bench: strmd soak 6" >&2
    "$gen" --port "$sport" --pid "$strmd_pid" --flv "$media" --app default --name fileid=200 --chat 1 \
      --shm "$shm" --warmup-s 3 --recordings "$run/recordings.txt" soak 6 | tee -a "$results" || true
    ;;
esac

echo
python3 "$here/report.py" "$results"
if [ "$mode" = smoke ]; then
  python3 "$here/report.py" --check-smoke "$results"
else
  echo "run-bench: JSON lines in $results"
fi
