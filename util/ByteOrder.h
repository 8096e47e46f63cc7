// Big- and little-endian integers in byte buffers: RTMP, AMF and FLV are
// big-endian, the handshake digest offsets and the message stream id of a
// chunk header little-endian. The caller has checked the buffer's length.
#pragma once

#include <cstdint>

inline uint32_t GetBe16(const uint8_t* p) { return (uint32_t{p[0]} << 8) | p[1]; }
inline uint32_t GetBe24(const uint8_t* p) { return (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2]; }
inline uint32_t GetBe32(const uint8_t* p) { return (uint32_t{p[0]} << 24) | GetBe24(p + 1); }
inline uint64_t GetBe64(const uint8_t* p) { return (uint64_t{GetBe32(p)} << 32) | GetBe32(p + 4); }
inline uint32_t GetLe32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

inline void PutBe16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
inline void PutBe24(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 16);
  PutBe16(p + 1, v);
}
inline void PutBe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  PutBe24(p + 1, v);
}
inline void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
