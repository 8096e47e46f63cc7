#include "util/WebSocket.h"

#include <openssl/evp.h>
#include <openssl/sha.h>

#include "util/ByteOrder.h"

std::string WsAcceptValue(std::string_view key) {
  // 16 bytes are 24 base64 characters ending in "=="; a key of any other
  // form (18 bytes fill 24 characters too) is refused before it is hashed.
  uint8_t decoded[24] = {};
  if (key.size() != 24 || key.substr(22) != "==" ||
      EVP_DecodeBlock(decoded, reinterpret_cast<const unsigned char*>(key.data()), static_cast<int>(key.size())) !=
          18)
    return {};
  static constexpr std::string_view kGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
  std::string text(key);
  text += kGuid;
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest);
  unsigned char out[4 * ((SHA_DIGEST_LENGTH + 2) / 3) + 1];
  const int n = EVP_EncodeBlock(out, digest, SHA_DIGEST_LENGTH);
  return std::string(reinterpret_cast<const char*>(out), static_cast<size_t>(n));
}

size_t WsFrameHeader(uint8_t* out, uint8_t opcode, uint64_t length) {
  out[0] = static_cast<uint8_t>(0x80 | (opcode & 0x0f));
  if (length < 126) {
    out[1] = static_cast<uint8_t>(length);
    return 2;
  }
  if (length <= 0xffff) {
    out[1] = 126;
    PutBe16(out + 2, static_cast<uint16_t>(length));
    return 4;
  }
  out[1] = 127;
  PutBe32(out + 2, static_cast<uint32_t>(length >> 32));
  PutBe32(out + 6, static_cast<uint32_t>(length));
  return 10;
}

WsDecodeStatus WsDecodeFrame(std::span<const uint8_t> bytes, size_t maxPayload, WsFrame* frame) {
  *frame = WsFrame{};
  if (bytes.size() < 2) return WsDecodeStatus::kNeedMore;
  const uint8_t b0 = bytes[0];
  const uint8_t b1 = bytes[1];
  if ((b0 & 0x70) != 0) return WsDecodeStatus::kBad;  // no extension was agreed
  const uint8_t opcode = b0 & 0x0f;
  const bool control = opcode >= 8;
  if ((opcode > kWsBinary && opcode < kWsClose) || opcode > kWsPong) return WsDecodeStatus::kBad;
  if ((b1 & 0x80) == 0) return WsDecodeStatus::kBad;  // a client masks every frame
  uint64_t length = b1 & 0x7f;
  size_t at = 2;
  if (length == 126) {
    if (bytes.size() < 4) return WsDecodeStatus::kNeedMore;
    length = GetBe16(bytes.data() + 2);
    at = 4;
  } else if (length == 127) {
    if (bytes.size() < 10) return WsDecodeStatus::kNeedMore;
    length = (uint64_t{GetBe32(bytes.data() + 2)} << 32) | GetBe32(bytes.data() + 6);
    at = 10;
  }
  // Control frames are whole and short whatever the caller allows.
  if (control && ((b0 & 0x80) == 0 || length > 125)) return WsDecodeStatus::kBad;
  if (length > maxPayload) return WsDecodeStatus::kTooLarge;
  if (bytes.size() < at + 4 + length) return WsDecodeStatus::kNeedMore;
  frame->opcode = opcode;
  frame->final = (b0 & 0x80) != 0;
  for (int i = 0; i < 4; ++i) frame->mask[i] = bytes[at + i];
  frame->maskedPayload = bytes.subspan(at + 4, static_cast<size_t>(length));
  frame->length = at + 4 + static_cast<size_t>(length);
  return WsDecodeStatus::kFrame;
}

std::string WsUnmask(const WsFrame& frame) {
  std::string out(frame.maskedPayload.size(), '\0');
  for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<char>(frame.maskedPayload[i] ^ frame.mask[i % 4]);
  return out;
}
