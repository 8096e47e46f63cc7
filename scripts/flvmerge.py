#!/usr/bin/env python3
"""Merge the tags of several FLV files into one, ordered by timestamp.

flvmux stamps Speex audio wrongly when it muxes it together with video, so the
demo media is muxed in separate pipelines and merged here. Back pointers and
the header flags are rebuilt; at equal timestamps script data comes first, then
video, then audio, and tags of one input keep their order. Script data is kept
from the first input only.

usage: flvmerge.py OUT.flv IN.flv [IN.flv ...] [--drop-speex-headers]
"""
import struct
import sys

MAX_DATA = 0xFFFFFF


def read_tags(path):
    with open(path, "rb") as f:
        data = f.read()
    if len(data) < 13 or data[:3] != b"FLV":
        raise SystemExit(f"{path}: not an FLV file")
    pos = struct.unpack(">I", data[5:9])[0]
    tags = []
    while pos + 4 + 11 <= len(data):
        tag_type = data[pos + 4]
        size = int.from_bytes(data[pos + 5:pos + 8], "big")
        ts = int.from_bytes(data[pos + 8:pos + 11], "big") | (data[pos + 11] << 24)
        start = pos + 15
        if size > MAX_DATA or start + size > len(data):
            print(f"{path}: tag at {pos} runs past the end; stopped", file=sys.stderr)
            break
        tags.append((tag_type, ts, data[start:start + size]))
        pos = start + size
    return tags


def is_speex_header(body):
    # Speex in FLV is 0xB2 followed by the codec packet; the stream header
    # packet starts with "Speex   " and the comment packet follows it.
    return len(body) > 9 and body[0] >> 4 == 11 and body[1:9] == b"Speex   "


def drop_speex_headers(tags):
    out, dropping = [], 0
    for t in tags:
        if t[0] == 8 and is_speex_header(t[2]):
            dropping = 2  # the header and the comment packet after it
        if t[0] == 8 and dropping:
            dropping -= 1
            continue
        out.append(t)
    return out


def main(argv):
    drop = "--drop-speex-headers" in argv
    args = [a for a in argv[1:] if a != "--drop-speex-headers"]
    if len(args) < 2:
        raise SystemExit(__doc__)
    out_path, inputs = args[0], args[1:]
    order = {18: 0, 9: 1, 8: 2}
    merged = []
    for n, path in enumerate(inputs):
        tags = read_tags(path)
        if drop:
            tags = drop_speex_headers(tags)
        for i, (tag_type, ts, body) in enumerate(tags):
            # Each input carries its own onMetaData; only the first one's is kept.
            if tag_type == 18 and n > 0:
                continue
            merged.append((ts, order.get(tag_type, 3), n, i, tag_type, body))
    merged.sort(key=lambda m: m[:4])

    flags = 0
    for m in merged:
        flags |= 4 if m[4] == 8 else 1 if m[4] == 9 else 0
    out = bytearray(b"FLV" + bytes([1, flags]) + struct.pack(">I", 9))
    back = 0
    for ts, _, _, _, tag_type, body in merged:
        out += struct.pack(">I", back)
        out += bytes([tag_type]) + len(body).to_bytes(3, "big")
        out += (ts & 0xFFFFFF).to_bytes(3, "big") + bytes([(ts >> 24) & 0xFF])
        out += b"\0\0\0" + body
        back = len(body) + 11
    out += struct.pack(">I", back)
    with open(out_path, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main(sys.argv)
