// The server side of the RTMP handshake, and its fixed key data (shared with
// the test client, which checks the server's digests independently).
// Pure functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kHandshakeSize = 1536;
constexpr size_t kHandshakeDigestSize = 32;
constexpr size_t kServerKeyTextSize = 36;
constexpr size_t kServerKeySize = 68;
constexpr size_t kPlayerKeyTextSize = 30;
constexpr size_t kPlayerKeySize = 62;
constexpr int kXteaKeyCount = 15;

// Texts naming a genuine media server and player, each followed by the same
// 32 fixed bytes.
extern const uint8_t kServerKey[kServerKeySize];
extern const uint8_t kPlayerKey[kPlayerKeySize];
// Keys of the version-8 signature transform, four little-endian words each.
extern const uint8_t kXteaKeys[kXteaKeyCount][16];

// Digest positions in a 1536-byte message: scheme 0 lies in bytes 12..771,
// scheme 1 in 776..1535.
uint32_t GetDigestOffset1(const uint8_t* message);
uint32_t GetDigestOffset2(const uint8_t* message);

// HMAC-SHA256 of message under key into out (32 bytes).
void HandshakeHmac(const uint8_t* message, size_t length, const uint8_t* key, size_t keyLength,
                   uint8_t* out);
// HMAC-SHA256 of the 1536-byte message without its 32 bytes at `position`.
void HandshakeDigest(uint32_t position, const uint8_t* message, const uint8_t* key, size_t keyLength,
                     uint8_t* out);
// 1 when the 32 bytes at `position` are the message's digest under key.
int HandshakeVerify(uint32_t position, const uint8_t* message, const uint8_t* key, size_t keyLength);
// XTEA, 32 cycles, on an 8-byte block of two little-endian words, in place.
void HandshakeXtea(uint8_t* block, int keyNumber);
