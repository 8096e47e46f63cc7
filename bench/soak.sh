#!/usr/bin/env bash
# The soak: a mixed load on the real binary and a private database for
# SOAK_MINUTES (default 10): VOD players that seek and pause, publishers that
# record and stop, chat members that enter, post and leave, live publishers
# and their players, idle clients, and hostile ones (garbage after the
# handshake, never reading, half-sent messages, connect floods). strmd-bench
# samples the server's RSS, descriptors and threads every second and fails
# when, after the first minute, RSS grows more than 5 %, when descriptors or
# threads do not come back to their baseline once the clients are gone, or
# when a normal client fails; this script then checks that every recording is
# in the temp folder and passes `strmdctl check`.
#
# usage: soak.sh BUILD_DIR      (SOAK_MINUTES, SOAK_SCALE: clients of each kind
#                                times this, default 1; STRMD_SOAK_DIR, default var/soak)
set -euo pipefail

build=${1:-}
[ -n "$build" ] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
minutes=${SOAK_MINUTES:-10}
scale=${SOAK_SCALE:-1}
case $minutes in ''|*[!0-9]*) echo "soak: SOAK_MINUTES must be a whole number" >&2; exit 2 ;; esac
[ "$minutes" -ge 2 ] || { echo "soak: SOAK_MINUTES must be 2 or more (the first minute is the reference)" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/.." && pwd)
build=$(cd "$build" && pwd)
gen=$build/bench/strmd-bench
for b in "$build/strmd" "$build/strmdctl" "$gen"; do
  [ -x "$b" ] || { echo "soak: $b is missing (build it first)" >&2; exit 1; }
done
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true

work=${STRMD_SOAK_DIR:-$src/var/soak}
mkdir -p "$work"
work=$(cd "$work" && pwd)
run=$work/run-$(date +%Y%m%d-%H%M%S)-$$
mkdir -p "$run"
strmd_pid="" dbname="" shm=/strmd-soak-$$-$RANDOM dbdir=$work/db
cleanup() {
  set +e
  [ -n "${pruner:-}" ] && kill "$pruner" 2>/dev/null
  [ -n "$strmd_pid" ] && kill -TERM "$strmd_pid" 2>/dev/null && wait "$strmd_pid" 2>/dev/null
  [ -n "$dbname" ] && db_client -e "drop database if exists $dbname" >/dev/null 2>&1
  "$src/scripts/testdb.sh" stop "$dbdir" >/dev/null 2>&1
  rm -f "/dev/shm$shm" "/dev/shm$shm-data"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

tag=soak
. "$here/common.sh"

# ---- media: the 10 s clip of the benchmark ----
media=$(bench_clip "$work" 10)

# ---- database: the demo rows and users 2000-2499 (sessions soak-user-N,
# members of the study group) ----
"$src/scripts/testdb.sh" start "$dbdir" >&2
dbport=$(cat "$dbdir/port")
db_client() { mariadb --no-defaults --socket="$(cat "$dbdir/socket")" -uroot "$@"; }
dbname=soak_$$_$RANDOM
{
  echo "create database $dbname character set utf8mb4;"
  echo "use $dbname;"
  cat "$src/Database/schema.sql" "$src/Database/demo.sql"
  bench_users 2000 500 Soak soak-user- 1
} | db_client

# ---- strmd, the release build ----
site=$run/site
mkdir -p "$site"/{temp,files,cache,htdocs} "$run/strmd/logs"
cp "$media" "$site/files/demo.flv"
start_strmd "$run" "$site" "$dbport" "$dbname" "$shm" || exit 1

# Housekeeping as a site would do it: every entry into a room sends all of
# the day's texts, so without pruning each chat member's entry costs more
# than the one before and memory would follow the size of the log, not leaks.
( while sleep 10; do
    db_client "$dbname" -e "delete from ChatTextLog where id > 3 and sent < now() - interval 30 second" 2>/dev/null || true
  done ) &
pruner=$!

echo "soak: $minutes minutes against strmd $strmd_pid on port $sport (work folder $run)" >&2
status=0
"$gen" --port "$sport" --pid "$strmd_pid" --flv "$media" --app default --name fileid=200 --chat 1 \
  --shm "$shm" --scale "$scale" --recordings "$run/recordings.txt" soak $((minutes * 60)) \
  | tee "$run/result.json" || status=1

kill "$pruner" 2>/dev/null; wait "$pruner" 2>/dev/null || true

# ---- every recording in the temp folder, whole ----
sleep 1
total=0 bad=0
while IFS= read -r name; do
  [ -n "$name" ] || continue
  total=$((total + 1))
  if [ ! -s "$site/temp/$name" ]; then
    bad=$((bad + 1)); echo "soak: recording lost: $name" >&2
  elif ! "$build/strmdctl" check "$site/temp/$name" >"$run/check.txt" 2>&1; then
    bad=$((bad + 1)); echo "soak: recording fails strmdctl check: $name: $(head -n 3 "$run/check.txt")" >&2
  fi
done <"$run/recordings.txt"
echo "soak: recordings: $total made, $bad lost or damaged" >&2
[ "$total" -gt 0 ] || { echo "soak: FAILED: no recording was made" >&2; status=1; }
[ "$bad" -eq 0 ] || status=1
if ! running "$strmd_pid"; then
  echo "soak: FAILED: strmd is gone; its last output:" >&2; tail "$run/strmd/output.txt" >&2; status=1
fi
# find, not a glob: an empty log folder must not fail the pipe (pipefail).
errors=$(find "$run/strmd/logs" -type f -exec cat {} + | wc -l)
echo "soak: strmd's error log: $errors lines (in $run/strmd/logs; hostile clients cause some)" >&2
if [ "$status" -eq 0 ]; then echo "soak: passed" >&2; else echo "soak: FAILED" >&2; fi
exit "$status"
