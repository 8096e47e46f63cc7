#!/usr/bin/env bash
# Starts strmd in the console on a generated registry file with one site named
# "default" under var/, with the private demo database when one is available.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}
ROOT=$(pwd)/var
SITE=$ROOT/sites/default
PORT=${STRMD_PORT:-1935}
mkdir -p "$SITE"/{temp,htdocs,files,cache} "$ROOT/logs"

SQL_SERVER="" SQL_DB="" SQL_USER="" SQL_PASSWORD=""
if [ -x scripts/demo-db.sh ]; then
  # Prints SQL_SERVER=..., SQL_DB=..., SQL_USER=..., SQL_PASSWORD=... lines.
  eval "$(scripts/demo-db.sh "$ROOT/db" "$SITE/files")"
fi

cat > "$ROOT/strmd.reg" <<REG
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestravon\\Server]
"RtmpPortNumber"=dword:$(printf '%08x' "$PORT")
"InstallFolder"="$ROOT"

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestravon\\Server\\default]
"path"="$ROOT/sites/default"
"sql_server"="$SQL_SERVER"
"sql_database"="$SQL_DB"
"sql_user"="$SQL_USER"
"sql_password"="$SQL_PASSWORD"

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestravon\\Server\\default\\localhost]
REG

echo "strmd: registry $ROOT/strmd.reg, logs $ROOT/logs, port $PORT (Ctrl+C stops)"
export STRMD_REGISTRY=$ROOT/strmd.reg STRMD_LOG_DIR=$ROOT/logs
exec "$BUILD/strmd"
