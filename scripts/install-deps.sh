#!/usr/bin/env bash
# Installs the Debian packages strmd needs to build, test and run, or the
# packages named as arguments (the benchmark's). Quiet, and does nothing when
# everything is already there.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config libgtest-dev
  libmariadb-dev libssl-dev libspeex-dev libopus-dev
  mariadb-server mariadb-client
  gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  gstreamer1.0-plugins-bad gstreamer1.0-plugins-ugly
  gstreamer1.0-x  # timeoverlay of the demo clip; only recommended by -good
  gstreamer1.0-plugins-base-apps  # gst-discoverer-1.0, which the live tests read players' files with
  python3 procps iproute2
  clang libclang-rt-14-dev  # the fuzz build: clang and its libFuzzer, ASan and UBSan runtimes
  chromium  # the browser test plays the player page in it (headless)
)

if [ $# -gt 0 ]; then PACKAGES=("$@"); fi

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages: ${missing[*]} (run as root to install them)" >&2
  exit 1
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# The packaged MariaDB must not start a system instance: the project runs its own.
# The policy must go again however the install ends (a failed or interrupted
# install included): left behind, it would stop every service the machine
# later installs or restarts through invoke-rc.d.
policy=/usr/sbin/policy-rc.d
made_policy=0
remove_policy() { if [ "$made_policy" -eq 1 ]; then rm -f "$policy"; fi; }
trap remove_policy EXIT
trap 'exit 1' INT TERM HUP
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' > "$policy" && chmod +x "$policy" && made_policy=1
fi
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
exit 0
