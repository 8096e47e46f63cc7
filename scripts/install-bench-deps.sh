#!/usr/bin/env bash
# Installs what `make bench` needs beyond scripts/install-deps.sh: nginx with
# Debian's RTMP module, the peer server the benchmark compares strmd with.
# The packaged nginx must not start a system instance (it would take port
# 80): install-deps.sh keeps services from starting, and the bench starts its
# own on a private prefix.
exec "$(dirname "$0")/install-deps.sh" nginx-light libnginx-mod-rtmp
