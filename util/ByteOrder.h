// Big- and little-endian integers in byte buffers: RTMP, AMF and FLV are
// big-endian; the handshake digest offsets, the message stream id of a chunk
// header, the FLV index entries and registry values little-endian. The
// caller has checked the buffer's length.
#pragma once

#include <cstdint>

inline uint32_t GetBe16(const uint8_t* p) { return (uint32_t{p[0]} << 8) | p[1]; }
inline uint32_t GetBe24(const uint8_t* p) { return (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2]; }
inline uint32_t GetBe32(const uint8_t* p) { return (uint32_t{p[0]} << 24) | GetBe24(p + 1); }
inline uint64_t GetBe64(const uint8_t* p) { return (uint64_t{GetBe32(p)} << 32) | GetBe32(p + 4); }
inline uint32_t GetLe16(const uint8_t* p) { return p[0] | (uint32_t{p[1]} << 8); }
inline uint32_t GetLe32(const uint8_t* p) { return GetLe16(p) | (GetLe16(p + 2) << 16); }
inline uint64_t GetLe64(const uint8_t* p) { return GetLe32(p) | (uint64_t{GetLe32(p + 4)} << 32); }

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
inline void PutLe16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void PutLe32(uint8_t* p, uint32_t v) {
  PutLe16(p, v);
  PutLe16(p + 2, v >> 16);
}
inline void PutLe64(uint8_t* p, uint64_t v) {
  PutLe32(p, static_cast<uint32_t>(v));
  PutLe32(p + 4, static_cast<uint32_t>(v >> 32));
}
