#!/bin/sh
# The demo's database and media for `make run`: starts the private MariaDB
# (scripts/testdb.sh, which loads the schema and demo data into `kestravon`),
# makes the demo clip that object 200 plays (once; later runs reuse it) and
# prints the site's database settings for run-demo.sh to evaluate:
#   SQL_SERVER=127.0.0.1:PORT  SQL_DB=kestravon  SQL_USER=root  SQL_PASSWORD=
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

# Only the settings go to standard output: run-demo.sh evaluates it.
"$here/testdb.sh" start "$dbdir" >&2
port=$(cat "$dbdir/port")
case $port in
  ''|*[!0-9]*) echo "demo-db: no port in $dbdir/port" >&2; exit 1 ;;
esac

mkdir -p "$files"
if [ ! -s "$files/demo.flv" ]; then
  echo "demo-db: making the demo clip $files/demo.flv" >&2
  if ! sh "$here/make-demo-media.sh" "$files/demo.flv.part" >&2; then
    rm -f "$files/demo.flv.part"
    echo "demo-db: could not make the demo clip (GStreamer missing?); object 200 will not play" >&2
  else
    mv "$files/demo.flv.part" "$files/demo.flv"
  fi
fi

echo "SQL_SERVER=127.0.0.1:$port"
echo "SQL_DB=kestravon"
echo "SQL_USER=root"
echo "SQL_PASSWORD="
