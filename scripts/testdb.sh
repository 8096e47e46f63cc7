#!/bin/bash
# Private MariaDB for the tests and the demo: its own datadir, socket, pid
# file, log and TCP port on 127.0.0.1, all under one folder. Never touches a
# system instance.
#
#   testdb.sh start DIR    start (or find running) and load the demo database;
#                          prints "mariadbd: started" or "mariadbd: already running"
#   testdb.sh stop DIR     stop it (a stopped one is fine)
#   testdb.sh status DIR   exit 0 when it answers, 1 otherwise
#
# After a start, DIR/env holds STRMD_TESTDB_HOST, _PORT, _SOCKET and _DATABASE
# in shell syntax; DIR/port and DIR/socket hold the bare values. The port is
# kept across restarts so that open clients reconnect to the same address.
#
# $STRMD_TESTDB_OPTIONS, when set at a start, is added to the server's
# command line (blank-separated options, e.g. "--max-connections=20"), for
# tests that need a server configured otherwise; it takes effect only when
# the server is not already running.
set -u

usage() {
  echo "usage: $0 start|stop|status DIR" >&2
  exit 2
}

[ $# -eq 2 ] || usage
action=$1
mkdir -p "$2" || exit 1
dir=$(cd "$2" && pwd) || exit 1
here=$(cd "$(dirname "$0")" && pwd)
schema="$here/../Database/schema.sql"
demo="$here/../Database/demo.sql"

datadir="$dir/data"
# Made in the data folder once mariadb-install-db has finished: a folder
# without it was left by an install that stopped halfway.
installed="$datadir/.strmd-installed"
pidfile="$dir/mariadbd.pid"
logfile="$dir/mariadbd.log"
database=kestravon
start_timeout=60
stop_timeout=60

# A Unix socket path must fit in sun_path (108 bytes); deep build folders
# do not, so those get a socket under /tmp named after the folder.
socket="$dir/mariadbd.sock"
if [ ${#socket} -gt 100 ]; then
  socket="/tmp/strmd-db-$(printf '%s' "$dir" | md5sum | cut -c1-12).sock"
fi

client() {
  mariadb --no-defaults --socket="$socket" -uroot "$@"
}

running_pid() {
  [ -s "$pidfile" ] || return 1
  local pid
  pid=$(cat "$pidfile" 2>/dev/null) || return 1
  [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null || return 1
  # Only our own server: the pid must still be a mariadbd using our datadir.
  tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -q -- "--datadir=$datadir" || return 1
  echo "$pid"
}

# Bounded: a server that takes the connection but never replies (hung, or
# stopped) must not hold the caller for good.
answers() {
  timeout 10 mariadb --no-defaults --connect-timeout=5 --socket="$socket" -uroot \
    -N -e 'select 1' >/dev/null 2>&1
}

# Waits up to $1 seconds for the running server to answer.
wait_answer() {
  local deadline=$((SECONDS + $1))
  until answers; do
    running_pid >/dev/null || return 1
    [ "$SECONDS" -ge "$deadline" ] && return 1
    sleep 0.2
  done
}

pick_port() {
  if [ -s "$dir/port" ]; then
    cat "$dir/port"
    return
  fi
  local p i
  for i in $(seq 1 200); do
    p=$((20000 + RANDOM % 20000))
    if [ -z "$(ss -Htln "sport = :$p" 2>/dev/null)" ]; then
      echo "$p"
      return
    fi
  done
  echo "no free TCP port found" >&2
  return 1
}

write_env() {
  echo "$port" >"$dir/port"
  echo "$socket" >"$dir/socket"
  cat >"$dir/env" <<EOF
STRMD_TESTDB_HOST=127.0.0.1
STRMD_TESTDB_PORT=$port
STRMD_TESTDB_SOCKET=$socket
STRMD_TESTDB_DATABASE=$database
EOF
}

load_demo() {
  if [ -n "$(client -N -e "show databases like '$database'")" ]; then
    return 0
  fi
  {
    echo "create database $database character set utf8mb4;"
    echo "use $database;"
    cat "$schema" "$demo"
  } | client || {
    echo "loading the schema and demo data failed" >&2
    client -e "drop database if exists $database" >/dev/null 2>&1
    return 1
  }
}

do_start() {
  if running_pid >/dev/null; then
    if wait_answer "$start_timeout"; then
      port=$(cat "$dir/port")
      write_env
      load_demo || return 1
      echo "mariadbd: already running"
      return
    fi
    # Launching beside it would fail on the locked datadir and, by removing
    # its pid file, leave it running where no stop can find it.
    echo "mariadbd $(running_pid) does not answer; stopping it" >&2
    do_stop
  fi
  if [ -d "$datadir" ] && [ ! -e "$installed" ]; then
    # A half-made folder may even start, and then lack system tables: only
    # the mark tells a finished one.
    echo "the data folder $datadir has no mark of a finished set-up (one stopped halfway, or it was" \
      "made by an older testdb.sh); making it again" >&2
    rm -rf "$datadir"
  fi
  if [ ! -d "$datadir" ]; then
    # Tried twice: on a loaded machine its bootstrap server has failed once
    # in a while, with nothing wrong in the folder.
    local try
    for try in 1 2; do
      mariadb-install-db --no-defaults --datadir="$datadir" --user=root \
        --auth-root-authentication-method=normal --skip-test-db \
        >"$dir/install.log" 2>&1 && break
      echo "mariadb-install-db failed (try $try); what it reported ($dir/install.log):" >&2
      { grep -i "error" "$dir/install.log" | head -n 10; tail -n 5 "$dir/install.log"; } >&2
      rm -rf "$datadir"
      [ "$try" -lt 2 ] || return 1
    done
    : >"$installed"
  fi
  # A start that fails early (the kept port taken meanwhile, a server that
  # exits at once on a busy machine) is tried again; one that did not answer
  # in time is not, it would only wait as long again.
  local attempt status
  for attempt in 1 2 3; do
    launch
    status=$?
    [ $status -eq 0 ] && return 0
    [ $status -eq 2 ] && return 1
    do_stop
    if grep -q "Address already in use" "$logfile" 2>/dev/null; then
      rm -f "$dir/port"
    fi
    [ $attempt -lt 3 ] && echo "start attempt $attempt failed; trying again" >&2
    sleep 0.5
  done
  return 1
}

launch() {
  port=$(pick_port) || return 1
  rm -f "$socket" "$pidfile"
  : >"$logfile"
  setsid mariadbd --no-defaults --datadir="$datadir" --socket="$socket" \
    --port="$port" --bind-address=127.0.0.1 --user=root --pid-file="$pidfile" \
    --log-error="$logfile" --lower-case-table-names=1 \
    --default-time-zone=+00:00 --skip-log-bin ${STRMD_TESTDB_OPTIONS:-} \
    </dev/null >/dev/null 2>&1 9>&- &
  local child=$! deadline=$((SECONDS + start_timeout))
  until answers; do
    if ! kill -0 "$child" 2>/dev/null; then
      echo "mariadbd exited during start; last lines of $logfile:" >&2
      tail -n 20 "$logfile" >&2
      return 1
    fi
    if [ "$SECONDS" -ge "$deadline" ]; then
      echo "mariadbd did not answer within ${start_timeout}s" >&2
      kill -TERM "$child" 2>/dev/null
      return 2
    fi
    sleep 0.2
  done
  # Clients come over TCP from 127.0.0.1; make sure root may do so without a
  # password whatever accounts the installer made.
  client -e "create user if not exists 'root'@'127.0.0.1' identified by '';
             grant all privileges on *.* to 'root'@'127.0.0.1' with grant option;" || return 1
  write_env
  load_demo || return 1
  echo "mariadbd: started"
}

do_stop() {
  local pid waited=0
  pid=$(running_pid) || return 0
  kill -TERM "$pid" 2>/dev/null
  kill -CONT "$pid" 2>/dev/null  # a stopped server could not act on TERM
  while kill -0 "$pid" 2>/dev/null; do
    if [ $waited -ge $((stop_timeout * 5)) ]; then
      echo "mariadbd $pid did not stop within ${stop_timeout}s; killing it" >&2
      kill -KILL "$pid" 2>/dev/null
      break
    fi
    sleep 0.2
    waited=$((waited + 1))
  done
  rm -f "$pidfile"
  return 0
}

# One action at a time per folder: the test fixture and `make run` may both
# reach for the same server.
exec 9>"$dir/.lock"
flock -w $((2 * start_timeout + stop_timeout + 30)) 9 || {
  echo "another testdb.sh holds $dir/.lock" >&2
  exit 1
}

case "$action" in
  start) do_start ;;
  stop) do_stop ;;
  status) running_pid >/dev/null && answers ;;
  *) usage ;;
esac
