#!/bin/sh
# The demo's database and media for `make run`: starts the private MariaDB
# (scripts/testdb.sh, which loads the schema and demo data into `kestravon`),
# makes the demo clip that object 200 plays (once; later runs reuse it) and
# prints the site's database settings for run-demo.sh to evaluate:
#   SQL_SERVER=127.0.0.1:PORT  SQL_DB=kestravon  SQL_USER=root  SQL_PASSWORD=
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
if ! "$here/testdb.sh" start "$dbdir" >>"$log" 2>&1; then
  cat "$log" >&2
  echo "database: the demo MariaDB did not start (see $log)" >&2
  exit 1
fi
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
