#!/usr/bin/env bash
# Starts strmd in the console on a generated registry file with one site named
# "default", with the private demo database. Ctrl+C stops strmd and then the
# demo database, when this run started it. One line per step; strmd's own
# lines follow.
#
# Each RTMP port (STRMD_PORT, default 1935) is a demo of its own: the default
# port uses var/ and the default status report name, so that a plain
# `strmdctl status` shows it; port N uses var/port-N/ (folders and database)
# and the report /kestravon-strmd-N (STRMD_SHM_NAME overrides it).
# STRMD_WEB_PORT (default 19039) is its local web server's port: the demo
# serves the player page of web/ there (scripts/web-standin.py, the stand-in
# for the platform's web application), reached through strmd's port.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}
PORT=${STRMD_PORT:-1935}
WEB_PORT=${STRMD_WEB_PORT:-19039}
for value in "$PORT" "$WEB_PORT"; do
  case $value in
    ''|*[!0-9]*) echo "strmd: a port is a number from 1 to 65535, not \"$value\"" >&2; exit 2 ;;
  esac
  if [ "$value" -lt 1 ] || [ "$value" -gt 65535 ]; then
    echo "strmd: a port is a number from 1 to 65535, not $value" >&2
    exit 2
  fi
done
if [ "$PORT" -eq 1935 ]; then
  ROOT=$(pwd)/var
else
  ROOT=$(pwd)/var/port-$PORT
  export STRMD_SHM_NAME=${STRMD_SHM_NAME:-/kestravon-strmd-$PORT}
fi
SITE=$ROOT/sites/default
mkdir -p "$SITE"/{temp,htdocs,files,cache} "$ROOT/logs"

DB_STARTED=0
stop_db() {
  if [ "$DB_STARTED" != 1 ]; then
    echo "database: left running (it ran before this demo; make stop-db STRMD_PORT=$PORT stops it)"
  elif scripts/testdb.sh stop "$ROOT/db" >>"$ROOT/db/demo.log" 2>&1; then
    echo "database: stopped"
  else
    echo "database: could not be stopped; try: make stop-db STRMD_PORT=$PORT (see $ROOT/db/demo.log)"
  fi
}

# Prints SQL_SERVER=..., SQL_DB=..., SQL_USER=..., SQL_PASSWORD=..., DB_STARTED=... lines.
settings=$(scripts/demo-db.sh "$ROOT/db" "$SITE/files")
trap stop_db EXIT
eval "$settings"

# The demo's database user has every right without a password and model
# commands run client SQL: the demo listens on the loopback address only.
cat > "$ROOT/strmd.reg" <<REG
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestravon\\Server]
"RtmpPortNumber"=dword:$(printf '%08x' "$PORT")
"RtmpBindAddress"="127.0.0.1"
"LocalWebPort"=dword:$(printf '%08x' "$WEB_PORT")
"InstallFolder"="$ROOT"

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestravon\\Server\\default]
"path"="$ROOT/sites/default"
"sql_server"="$SQL_SERVER"
"sql_database"="$SQL_DB"
"sql_user"="$SQL_USER"
"sql_password"="$SQL_PASSWORD"

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestravon\\Server\\default\\localhost]
REG

report=${STRMD_SHM_NAME:-/kestravon-strmd}
echo "strmd: registry $ROOT/strmd.reg, logs $ROOT/logs, status report $report (Ctrl+C stops strmd)"
if [ "$report" = /kestravon-strmd ]; then
  echo "strmd: see it with: strmdctl status"
else
  echo "strmd: see it with: STRMD_SHM_NAME=$report strmdctl status"
fi
export STRMD_REGISTRY=$ROOT/strmd.reg STRMD_LOG_DIR=$ROOT/logs
# The demo speaker: Ben (user 2, web session demo-ben-0002) in the study
# group's chat (1) publishes the demo clip on channel 5 once strmd is ready.
# It ignores Ctrl+C (it starts from the reader below) and is stopped with
# strmd; its own lines go to the log folder.
SPEAKER_PID=$ROOT/demo-speaker.pid
stop_speaker() {
  if [ -s "$SPEAKER_PID" ]; then
    kill "$(cat "$SPEAKER_PID")" 2>/dev/null || true
    rm -f "$SPEAKER_PID"
  fi
}
# The web stand-in gives the page's visitor Cleo's web session (user 3) as the
# PHPSESSID cookie. A port already taken (a web application of the machine's
# own) is left to its owner.
WEB_PID=
stop_web() {
  if [ -n "$WEB_PID" ]; then
    kill "$WEB_PID" 2>/dev/null || true
    WEB_PID=
  fi
}
if python3 -c 'import socket,sys; s=socket.socket(); s.settimeout(1); sys.exit(0 if s.connect_ex(("127.0.0.1", int(sys.argv[1]))) else 1)' "$WEB_PORT"; then
  python3 scripts/web-standin.py "$WEB_PORT" "$(pwd)/web" demo-cleo-0003 </dev/null >"$ROOT/logs/web-standin.log" 2>&1 &
  WEB_PID=$!
else
  echo "web page: 127.0.0.1:$WEB_PORT is taken by another program; the player page is not served"
fi
trap 'stop_speaker; stop_web; stop_db' EXIT
# Ctrl+C reaches strmd, which stops within about a second; the reader
# ignores it so that strmd's last lines are still shown.
"$BUILD/strmd" 2>&1 | {
  trap '' INT
  while IFS= read -r line; do
    printf '%s\n' "$line"
    case $line in
      "STRMD started on port "*)
        port=${line##* }
        echo "strmd ready: rtmp://127.0.0.1:$port/default/fileid=200"
        echo "web page: http://127.0.0.1:$port/?object=200 (live: http://127.0.0.1:$port/?channel=5&userid=2; log $ROOT/logs/web-standin.log)"
        if [ -s "$SITE/files/demo.flv" ]; then
          "$BUILD/bench/strmd-demo-speaker" --port "$port" --flv "$SITE/files/demo.flv" \
            --session demo-ben-0002 --chat 1 --channel 5 </dev/null >"$ROOT/logs/demo-speaker.log" 2>&1 &
          echo $! >"$SPEAKER_PID"
          echo "demo speaker: Ben on channel 5 (log $ROOT/logs/demo-speaker.log); watch: ffplay 'rtmp://127.0.0.1:$port/default/channel=5&userid=2'"
        fi
        ;;
    esac
  done
  stop_speaker
}
