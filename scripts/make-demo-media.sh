#!/bin/sh
# Makes a short demo FLV: H.264 test-pattern video (a key frame every 2 s) and
# wideband Speex tone audio, as the live classroom's clients send them.
#
# usage: make-demo-media.sh OUT.flv [seconds [video kbit/s]]   (default 12 s, 500 kbit/s)
#
# flvmux stamps Speex wrongly when it muxes it together with video, so audio
# and video are muxed apart and their tags merged by timestamp (flvmerge.py).
# The two Speex header packets flvmux writes are not audio frames and are
# dropped.
set -eu

if [ $# -lt 1 ] || [ $# -gt 3 ]; then
  echo "usage: $0 OUT.flv [seconds [video kbit/s]]" >&2
  exit 2
fi
out=$1
seconds=${2:-12}
kbps=${3:-500}
case $seconds in
  ''|*[!0-9]*) echo "seconds must be a whole number" >&2; exit 2 ;;
esac
case $kbps in
  ''|*[!0-9]*) echo "kbit/s must be a whole number" >&2; exit 2 ;;
esac
if [ "$seconds" -lt 1 ] || [ "$seconds" -gt 600 ]; then
  echo "seconds must be between 1 and 600" >&2
  exit 2
fi

here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/strmd-demo-XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

frames=$((seconds * 25))
# Wideband Speex frames are 20 ms: 320 samples at 16 kHz.
audio_buffers=$((seconds * 50))

gst-launch-1.0 -q \
  videotestsrc num-buffers="$frames" pattern=smpte \
  ! video/x-raw,width=320,height=240,framerate=25/1 \
  ! timeoverlay \
  ! videoconvert ! video/x-raw,format=I420 \
  ! x264enc key-int-max=50 bitrate="$kbps" \
  ! video/x-h264,profile=main \
  ! h264parse \
  ! flvmux \
  ! filesink location="$work/video.flv"

gst-launch-1.0 -q \
  audiotestsrc num-buffers="$audio_buffers" samplesperbuffer=320 wave=sine freq=440 volume=0.3 \
  ! audio/x-raw,rate=16000,channels=1 \
  ! speexenc \
  ! flvmux \
  ! filesink location="$work/audio.flv"

python3 "$here/flvmerge.py" "$out" "$work/video.flv" "$work/audio.flv" --drop-speex-headers

# The demuxer must read it back. Each branch has a queue: without them the
# two sinks deadlock while prerolling, whatever the file.
timeout 60 gst-launch-1.0 -q filesrc location="$out" ! flvdemux name=d \
  d.video ! queue ! fakesink d.audio ! queue ! fakesink
