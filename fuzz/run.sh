#!/usr/bin/env bash
# Runs the fuzz targets of a fuzz build.
#
#   run.sh replay BUILD TARGET          every seed and saved crash input once
#   run.sh run BUILD TARGET SECONDS     fuzz for SECONDS; new crash inputs go
#                                       to BUILD/artifacts/TARGET/
#   run.sh keep BUILD TARGET SECONDS    as run, but new crash inputs go to
#                                       fuzz/crashes/TARGET/ (make fuzz)
#
# The grown corpus stays in BUILD/corpus/TARGET between runs; only crash
# inputs are kept in the repository. Prints the executions made.
set -euo pipefail

mode=$1 build=$2 target=$3 seconds=${4:-0}
here=$(cd "$(dirname "$0")" && pwd)
binary=$build/fuzz/fuzz_$target
seeds=$build/seeds/$target
crashes=$here/crashes/$target
logs=$build/fuzz-logs
mkdir -p "$seeds" "$crashes" "$logs" "$build/corpus/$target"

# One input never needs more than these to reach every branch; larger ones
# only slow the search down.
case $target in
  handshake) max_len=3100 ;;
  amf|flv|index) max_len=65536 ;;
  registry|chunks) max_len=16384 ;;
  *) max_len=4096 ;;
esac
options=(-timeout=20 -rss_limit_mb=4096 -max_len=$max_len -print_final_stats=1)
[ -f "$here/dict/$target.dict" ] && options+=("-dict=$here/dict/$target.dict")

# No registry file: the handshake target's socket setup must not read the
# machine's.
export STRMD_REGISTRY=/nonexistent/strmd-fuzz.reg
# Reports of the handlers under test go beside the run's logs, not beside
# the binary.
export STRMD_LOG_DIR=$logs/reports
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

log=$logs/$target-$mode.log
case $mode in
  replay)
    if ! "$binary" -runs=0 "${options[@]}" "$seeds" "$crashes" >"$log" 2>&1; then
      tail -n 60 "$log"
      echo "fuzz_$target: an input of $seeds or $crashes fails (log: $log)" >&2
      exit 1
    fi
    echo "fuzz_$target: replayed $(ls "$seeds" | wc -l) seeds and $(ls "$crashes" | wc -l) crash inputs"
    ;;
  run|keep)
    if [ "$mode" = keep ]; then artifacts=$crashes; else artifacts=$build/artifacts/$target; fi
    mkdir -p "$artifacts"
    status=0
    "$binary" -max_total_time="$seconds" "${options[@]}" -artifact_prefix="$artifacts/" \
      "$build/corpus/$target" "$seeds" >"$log" 2>&1 || status=$?
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    echo "fuzz_$target: ${execs:-?} executions in ${seconds} s, corpus $(ls "$build/corpus/$target" | wc -l) inputs"
    if [ "$status" -ne 0 ]; then
      tail -n 60 "$log"
      echo "fuzz_$target: found a failing input, kept in $artifacts/ (log: $log)" >&2
      exit 1
    fi
    ;;
  *)
    echo "usage: run.sh replay|run|keep BUILD TARGET [SECONDS]" >&2
    exit 2
    ;;
esac
