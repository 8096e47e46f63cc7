// The FLV file layout and the ".index2" index layout, in one place for every
// reader and writer (the file store, playback, recording and the tests).
//
// Constants only; no state, no locks.
#pragma once

#include <cstddef>
#include <cstdint>

// File header: "FLV", version 1, flags, header size 9 (big-endian).
constexpr size_t kFlvHeaderSize = 9;
constexpr uint8_t kFlvVersion = 1;
constexpr uint8_t kFlvFlagAudio = 4;
constexpr uint8_t kFlvFlagVideo = 1;
constexpr size_t kFlvFlagsOffset = 4;

// A tag record: 4-byte back pointer, then 11 header bytes (type, 24-bit data
// size, 24-bit timestamp with a high byte, 24-bit stream id), then the data.
constexpr size_t kFlvBackPointerSize = 4;
constexpr size_t kFlvTagFieldsSize = 11;
constexpr size_t kFlvTagHeaderSize = kFlvBackPointerSize + kFlvTagFieldsSize;  // 15
// Offset of the timestamp within the 11 header bytes (after type and size).
constexpr size_t kFlvTimestampOffset = 4;

constexpr uint8_t kFlvTagAudio = 8;
constexpr uint8_t kFlvTagVideo = 9;
constexpr uint8_t kFlvTagScript = 18;

// The data size field has 24 bits.
constexpr uint32_t kFlvMaxDataSize = 0xFFFFFF;

// Index file: a 4-byte big-endian entry count, then 16-byte little-endian
// entries {type u16, low 16 bits of data size u16, timestamp u32, offset u64}.
constexpr size_t kIndexCountSize = 4;
constexpr size_t kIndexEntrySize = 16;
constexpr const char* kIndexSuffix = ".index2";

// Editing operations and index builds read tag records through buffers of
// this size (grown for a larger record) and write what they copy from them.
constexpr size_t kEditBufferSize = 1 << 20;

// Segments: a gap above 2 s starts a new stretch; the scan stops adding once
// 100 are listed (the final append can make it 101).
constexpr int64_t kSegmentGapMs = 2000;
constexpr size_t kMaxSegments = 100;
