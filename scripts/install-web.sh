#!/usr/bin/env bash
# Installs the player page's packages (web/package-lock.json: mpegts.js, and
# playwright-core for the browser test, which drives Debian's chromium and
# never downloads a browser) from the npm registry. Quiet, and does nothing
# when the installed set matches the lock file. Debian's node and npm are
# installed first when there is no node at all.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v npm >/dev/null 2>&1; then
  scripts/install-deps.sh nodejs npm
fi
stamp=web/node_modules/.strmd-installed
if [ -e "$stamp" ] && [ "$stamp" -nt web/package-lock.json ] && [ "$stamp" -nt web/package.json ]; then
  exit 0
fi
echo "install-web: npm ci in web/"
# playwright-core has no install script; the variable only makes sure no
# browser download is ever tried.
(cd web && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error >/dev/null)
touch "$stamp"
