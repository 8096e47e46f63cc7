// An FLV with HEVC video in the extended video header, made from a real
// encoder's output: GStreamer's x265enc gives the frames (length-prefixed,
// one access unit each) and the decoder configuration (hvcC), and the tags are
// laid out here, since the packaged FLV muxer cannot write this codec.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct HevcClip {
  std::vector<uint8_t> config;                 // hvcC
  std::vector<std::vector<uint8_t>> frames;    // 25 per second
  std::vector<bool> key;                       // random access frames, by their NAL unit types
  uint32_t TimeOf(size_t frame) const { return static_cast<uint32_t>(frame * 40); }
};

// True when GStreamer has the encoder and parser.
bool HevcClipAvailable();
// Encodes `seconds` of test pattern at 25 frames per second with a key frame
// every second into `dir` (scratch files) and reads it back.
bool MakeHevcClip(const std::string& dir, int seconds, HevcClip* clip);
// The FLV (video only): the sequence start at 0, then every frame, key frames
// as coded frames with a composition time, the others in the form without it.
std::vector<uint8_t> HevcClipFlv(const HevcClip& clip);
