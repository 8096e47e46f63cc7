# Shared by run-bench.sh and soak.sh (sourced): ports, the clip, the rows of
# the bench's users and strmd's registry file. Each function reports its
# failures with the caller's $tag.

# A port for a server of the bench, used by no socket at all. It lies below
# the range the kernel hands to outgoing connections: a listener on all
# addresses cannot bind a port that some other client's connection holds.
free_port() {
  local p low
  low=$(cut -f1 /proc/sys/net/ipv4/ip_local_port_range 2>/dev/null)
  [[ "$low" =~ ^[0-9]+$ ]] && [ "$low" -gt 12000 ] || low=0
  for _ in $(seq 1 200); do
    if [ "$low" -gt 0 ]; then p=$((10000 + RANDOM % (low - 10000))); else p=$((30000 + RANDOM % 20000)); fi
    if [ -z "$(ss -Htan "sport = :$p" 2>/dev/null)" ]; then echo "$p"; return; fi
  done
  echo "$tag: no free port" >&2
  return 1
}

running() {  # pid: there and not a zombie (kill -0 succeeds on one)
  local state
  state=$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -c1)
  [ -n "$state" ] && [ "$state" != Z ]
}

wait_listen() {  # port seconds [pid]: fails at once when that process ends
  local deadline=$((SECONDS + $2))
  until [ -n "$(ss -Htln "sport = :$1" 2>/dev/null)" ]; do
    [ "$SECONDS" -ge "$deadline" ] && return 1
    [ -z "${3:-}" ] || running "$3" || return 1
    sleep 0.1
  done
}

# Starts $build/strmd with a registry for one site (see strmd_registry) and
# sets sport and strmd_pid. A port taken between the check and the bind is
# given up for another one, twice at most.
start_strmd() {  # run site dbport dbname shm
  local attempt
  for attempt in 1 2 3; do
    sport=$(free_port) || return 1
    strmd_registry "$1/strmd/strmd.reg" "$sport" "$1/strmd" "$2" "$3" "$4"
    # The allocator as the service unit sets it (scripts/systemd/strmd.service).
    GLIBC_TUNABLES=glibc.malloc.tcache_count=0 \
    STRMD_SHM_NAME=$5 STRMD_REGISTRY=$1/strmd/strmd.reg STRMD_LOG_DIR=$1/strmd/logs \
      "$build/strmd" </dev/null >"$1/strmd/output.txt" 2>&1 &
    strmd_pid=$!
    wait_listen "$sport" 20 "$strmd_pid" && return 0
    running "$strmd_pid" && break
    grep -q "Address already in use" "$1/strmd/output.txt" || break
    echo "$tag: port $sport was taken meanwhile; trying another (attempt $attempt)" >&2
  done
  echo "$tag: strmd did not start:" >&2
  tail "$1/strmd/output.txt" >&2
  return 1
}

# The 1 Mbit/s H.264 + Speex clip of `seconds` s (75 messages a second) in
# $work/media, made once; prints its path.
bench_clip() {  # work seconds
  local media=$1/media/clip-$2.flv
  if [ ! -s "$media" ]; then
    mkdir -p "$1/media"
    echo "$tag: making the $2 s clip" >&2
    sh "$src/scripts/make-demo-media.sh" "$media.part" "$2" 1000 >&2
    mv "$media.part" "$media"
  fi
  echo "$media"
}

# SQL for `count` users from `first` on, each with a web session
# `prefix`N; with a chat id, members of that chat too.
bench_users() {  # first count name prefix [chat]
  awk -v first="$1" -v count="$2" -v name="$3" -v prefix="$4" -v chat="${5:-0}" 'BEGIN {
    for (i = 0; i < count; i++) {
      printf "insert into User (id, usertype, name, status, created) values (%d, 2, \"%s %d\", 1, now());\n", first + i, name, i
      printf "insert into Session (userid, status, started, lastseen, ip, phpsessid, created) values (%d, 1, unix_timestamp(), unix_timestamp(), \"127.0.0.1\", \"%s%d\", now());\n", first + i, prefix, i
      if (chat) printf "insert into ChatUser (chatid, userid, status, roleid, joined) values (%d, %d, 0, 10, now());\n", chat, first + i
    } }'
}

# strmd's registry: one site `site` on database `dbname` at 127.0.0.1:dbport.
# Every client of the bench comes from 127.0.0.1: the per-address connection
# caps (connections, and connections before connect) are raised above the
# 3,000 of the idle scenario. $strmd_registry_extra,
# when set, adds lines to the server key.
strmd_registry() {  # file port install site dbport dbname
  cat >"$1" <<REG
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestravon\\Server]
"RtmpPortNumber"=dword:$(printf '%08x' "$2")
"InstallFolder"="$3"
"MaxConnectionsPerAddress"=dword:00004000
"MaxHandshakingPerAddress"=dword:00004000
"MaxHandshaking"=dword:00004000
${strmd_registry_extra:-}

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestravon\\Server\\default]
"path"="$4"
"sql_server"="127.0.0.1:$5"
"sql_database"="$6"
"sql_user"="root"
"sql_password"=""

REG
}
