#!/bin/sh
# The demo's database and media for `make run`: starts the private MariaDB
# (scripts/testdb.sh, which loads the schema and demo data into `kestravon`),
# makes the demo clip that object 200 plays (once; later runs reuse it) and
# prints the site's database settings for run-demo.sh to evaluate:
#   SQL_SERVER=127.0.0.1:PORT  SQL_DB=kestravon  SQL_USER=root  SQL_PASSWORD=
#   DB_STARTED=1 when this run started the database, 0 when it found it running
# A set-up that fails is tried once more; testdb.sh makes a half-made data
# folder again.
# One line per step goes to standard error; the tools' own output goes to
# DB_DIR/demo.log.
#
# usage: demo-db.sh DB_DIR SITE_FILES_DIR
set -eu

if [ $# -ne 2 ]; then
  echo "usage: $0 DB_DIR SITE_FILES_DIR" >&2
  exit 2
fi
dbdir=$1
files=$2
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$dbdir"
log="$dbdir/demo.log"
: >"$log"

# Only the settings go to standard output: run-demo.sh evaluates it.
# What testdb.sh says of both tries: a database started by a first try that
# failed later is still this run's to stop.
: >"$dbdir/start.out"
start_db() {
  "$here/testdb.sh" start "$dbdir" >"$dbdir/start.try" 2>>"$log"
  status=$?
  cat "$dbdir/start.try" >>"$log"
  cat "$dbdir/start.try" >>"$dbdir/start.out"
  return $status
}
if ! start_db; then
  echo "database: the demo MariaDB could not be set up; its last lines:" >&2
  tail -n 8 "$log" >&2
  echo "database: trying the set-up once more" >&2
  if ! start_db; then
    tail -n 8 "$log" >&2
    echo "database: the demo MariaDB did not start twice (see $log); a database left running stops with: scripts/testdb.sh stop $dbdir" >&2
    exit 1
  fi
fi
started=0
grep -q '^mariadbd: started' "$dbdir/start.out" && started=1
port=$(cat "$dbdir/port")
socket=$(cat "$dbdir/socket")
case $port in
  ''|*[!0-9]*) echo "demo-db: no port in $dbdir/port" >&2; exit 1 ;;
esac
echo "database: MariaDB with the demo data on socket $socket and 127.0.0.1:$port;" \
  "reach it with: mariadb --no-defaults --socket=$socket -uroot kestravon" >&2

mkdir -p "$files"
if [ -s "$files/demo.flv" ]; then
  echo "demo clip: $files/demo.flv (made before)" >&2
elif sh "$here/make-demo-media.sh" "$files/demo.flv.part" >>"$log" 2>&1; then
  mv "$files/demo.flv.part" "$files/demo.flv"
  echo "demo clip: $files/demo.flv (made now)" >&2
else
  rm -f "$files/demo.flv.part"
  echo "demo clip: could not be made (GStreamer missing? see $log); object 200 will not play" >&2
fi

echo "SQL_SERVER=127.0.0.1:$port"
echo "SQL_DB=kestravon"
echo "SQL_USER=root"
echo "SQL_PASSWORD="
echo "DB_STARTED=$started"
