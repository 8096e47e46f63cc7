#!/usr/bin/env bash
# Installs what `make bench` needs beyond scripts/install-deps.sh: nginx with
# Debian's RTMP module, the peer server the benchmark compares strmd with.
# Quiet, and does nothing when everything is already there. The packaged
# nginx must not start a system instance (it would take port 80): the bench
# starts its own on a private prefix.
set -euo pipefail

PACKAGES=(nginx-light libnginx-mod-rtmp)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "install-bench-deps: missing packages: ${missing[*]} (run as root to install them)" >&2
  exit 1
fi
echo "install-bench-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# The policy must go again however the install ends: left behind, it would
# stop every service the machine later installs or restarts.
policy=/usr/sbin/policy-rc.d
made_policy=0
remove_policy() { if [ "$made_policy" -eq 1 ]; then rm -f "$policy"; fi; }
trap remove_policy EXIT
trap 'exit 1' INT TERM HUP
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' > "$policy" && chmod +x "$policy" && made_policy=1
fi
if ! apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null 2>&1; then
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
exit 0
