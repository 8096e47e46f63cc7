#!/usr/bin/env bash
# Starts strmd in the console on a generated registry file with one site named
# "default" under var/, with the private demo database. Ctrl+C stops strmd and
# then the demo database. One line per step; strmd's own lines follow.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}
ROOT=$(pwd)/var
SITE=$ROOT/sites/default
PORT=${STRMD_PORT:-1935}
mkdir -p "$SITE"/{temp,htdocs,files,cache} "$ROOT/logs"

stop_db() {
  if scripts/testdb.sh stop "$ROOT/db" >>"$ROOT/db/demo.log" 2>&1; then
    echo "database: stopped"
  else
    echo "database: could not be stopped; try: make stop-db (see $ROOT/db/demo.log)"
  fi
}

# Prints SQL_SERVER=..., SQL_DB=..., SQL_USER=..., SQL_PASSWORD=... lines.
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
"InstallFolder"="$ROOT"

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestravon\\Server\\default]
"path"="$ROOT/sites/default"
"sql_server"="$SQL_SERVER"
"sql_database"="$SQL_DB"
"sql_user"="$SQL_USER"
"sql_password"="$SQL_PASSWORD"

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestravon\\Server\\default\\localhost]
REG

echo "strmd: registry $ROOT/strmd.reg, logs $ROOT/logs (Ctrl+C stops strmd and the database)"
export STRMD_REGISTRY=$ROOT/strmd.reg STRMD_LOG_DIR=$ROOT/logs
# Ctrl+C reaches strmd, which stops within about a second; the reader
# ignores it so that strmd's last lines are still shown.
"$BUILD/strmd" 2>&1 | {
  trap '' INT
  while IFS= read -r line; do
    printf '%s\n' "$line"
    case $line in
      "STRMD started on port "*) echo "strmd ready: rtmp://127.0.0.1:${line##* }/default/fileid=200" ;;
    esac
  done
}
