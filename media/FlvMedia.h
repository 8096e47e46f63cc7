// What the first bytes of an audio or video tag body say: the legacy video
// header (frame type in the high 4 bits, codec id in the low 4), the extended
// video header (top bit set, frame type in bits 4-6, packet type in the low 4
// bits, then a FourCC), and the audio decoder configuration. The key-frame
// search, the choice of where a seek resumes and the opening tags all decide
// by these rules, and by no other.
//
// Pure functions over a byte range; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

constexpr uint8_t kFlvVideoExtended = 0x80;
constexpr uint8_t kFlvFrameKey = 1;
constexpr uint8_t kFlvCodecH263 = 2;
constexpr uint8_t kFlvCodecAvc = 7;
// Packet types of the extended header; AVC's own packet type byte uses the
// same numbers for its sequence header (0) and end of sequence (2).
constexpr uint8_t kFlvPacketSequenceStart = 0;
constexpr uint8_t kFlvPacketSequenceEnd = 2;
constexpr uint8_t kFlvPacketMetadata = 4;
constexpr uint8_t kFlvPacketMpeg2TsSequenceStart = 5;
constexpr uint8_t kFlvSoundAac = 10;
constexpr uint8_t kFlvSoundSpeex = 11;  // told by these 4 bits alone
// The extended audio header: the low nibble is a packet type, 0 the sequence start.
constexpr uint8_t kFlvSoundExtended = 9;
// Codecs without key-frame flags: a frame this large is taken for a key frame.
constexpr uint32_t kFlvKeyFrameGuessSize = 5120;
// Enough leading body bytes for every rule here (extended: 1 + FourCC).
constexpr size_t kFlvMediaPeekSize = 5;

struct FlvVideoHeader {
  bool extended = false;
  uint8_t frameType = 0;
  uint8_t codecId = 0;      // legacy header only
  bool hasPacketType = false;
  uint8_t packetType = 0;   // extended header, or AVC's packet type byte
  uint32_t fourCc = 0;      // extended header only, big-endian as stored
};

// Reads the header from the leading bytes of a video body (a prefix is
// enough). False when they are too few to hold it: nothing, or an extended
// header cut before the end of its FourCC.
bool FlvReadVideoHeader(std::span<const uint8_t> data, FlvVideoHeader* header);
// A coded frame a decoder can start from: frame type 1 with a legacy codec
// that marks key frames (Sorenson H.263, AVC) or with the extended header;
// for other legacy codecs a body above kFlvKeyFrameGuessSize. Decoder
// configuration, end-of-sequence and metadata packets are not frames. `data` holds the
// leading bytes, `dataSize` is the whole body's size.
bool FlvIsKeyFrame(std::span<const uint8_t> data, uint32_t dataSize);
// The decoder configuration a player needs before any frame: the AVC
// sequence header or the extended sequence start (video, tag type 9), the AAC
// sequence header or the extended audio's sequence start (audio, tag type 8).
bool FlvIsDecoderConfig(uint8_t tagType, std::span<const uint8_t> data);
