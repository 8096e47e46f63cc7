// WebSocket framing (RFC 6455) for a server that streams to a browser: the
// handshake's accept value, the header of a frame the server sends, and a
// bounded decoder of the frames a client sends. Pure code, any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

enum WsOpcode : uint8_t {
  kWsContinuation = 0,
  kWsText = 1,
  kWsBinary = 2,
  kWsClose = 8,
  kWsPing = 9,
  kWsPong = 10,
};

// The largest frame header the server writes.
constexpr size_t kWsMaxFrameHeader = 10;

// Sec-WebSocket-Accept for a Sec-WebSocket-Key; empty when the key is not
// the base64 of 16 bytes.
std::string WsAcceptValue(std::string_view key);

// Writes the header of an unmasked final frame of `length` payload bytes;
// returns its size (2, 4 or 10).
size_t WsFrameHeader(uint8_t* out, uint8_t opcode, uint64_t length);

struct WsFrame {
  uint8_t opcode = 0;
  bool final = false;
  std::span<const uint8_t> maskedPayload;  // as sent; WsUnmask copies it out
  uint8_t mask[4] = {};
  size_t length = 0;  // bytes of the whole frame, header included
};

enum class WsDecodeStatus {
  kFrame,     // `frame` holds one whole frame
  kNeedMore,  // the bytes hold only part of a frame
  kTooLarge,  // its payload would pass the caller's limit
  kBad,       // unmasked, reserved bits or opcodes, or a control frame that breaks the rules
};

// Decodes the frame at the start of `bytes`, refusing payloads above
// `maxPayload` as soon as the length is read.
WsDecodeStatus WsDecodeFrame(std::span<const uint8_t> bytes, size_t maxPayload, WsFrame* frame);
// The frame's payload, unmasked.
std::string WsUnmask(const WsFrame& frame);
