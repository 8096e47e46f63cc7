#include "testclient/TestHandshake.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <cstring>
#include <random>

namespace testclient {

namespace {

constexpr size_t kSize = kHandshakeSize;

#define FIXED_KEY_TAIL                                                                            \
  0xF0, 0xEE, 0xC2, 0x4A, 0x80, 0x68, 0xBE, 0xE8, 0x2E, 0x00, 0xD0, 0xD1, 0x02, 0x9E, 0x7E, 0x57, \
      0x6E, 0xEC, 0x5D, 0x2D, 0x29, 0x80, 0x6F, 0xAB, 0x93, 0xB8, 0xE6, 0x36, 0xCF, 0xEB, 0x31, 0xAE

// Texts naming a genuine media server and player, each followed by the same
// 32 fixed bytes. A digest is keyed by the text alone, a signature by all.
constexpr size_t kServerKeyTextSize = 36;
constexpr uint8_t kServerKey[] = {
    'G', 'e', 'n', 'u', 'i', 'n', 'e', ' ', 'A', 'd', 'o', 'b', 'e', ' ', 'F', 'l', 'a', 's',
    'h', ' ', 'M', 'e', 'd', 'i', 'a', ' ', 'S', 'e', 'r', 'v', 'e', 'r', ' ', '0', '0', '1',
    FIXED_KEY_TAIL};
constexpr size_t kPlayerKeyTextSize = 30;
constexpr uint8_t kPlayerKey[] = {
    'G', 'e', 'n', 'u', 'i', 'n', 'e', ' ', 'A', 'd', 'o', 'b', 'e', ' ', 'F',
    'l', 'a', 's', 'h', ' ', 'P', 'l', 'a', 'y', 'e', 'r', ' ', '0', '0', '1',
    FIXED_KEY_TAIL};
#undef FIXED_KEY_TAIL
static_assert(sizeof kServerKey == 68 && sizeof kPlayerKey == 62);

// Keys of the version-8 signature transform, four little-endian words each.
constexpr uint8_t kXteaKeys[15][16] = {
    {0xb4, 0xc2, 0x66, 0xbd, 0x01, 0xfb, 0x9d, 0x60, 0x02, 0x1d, 0x11, 0x39, 0xdd, 0x91, 0xe8, 0xb7},
    {0x05, 0xac, 0x6e, 0x48, 0x7e, 0x97, 0x1a, 0x15, 0x49, 0xa5, 0x82, 0x44, 0x5f, 0x89, 0x89, 0x82},
    {0xca, 0x00, 0x2a, 0x07, 0x88, 0xde, 0x2c, 0x9f, 0xa1, 0x96, 0x3b, 0x37, 0xbf, 0xc7, 0x8e, 0x4a},
    {0xe3, 0x3e, 0x9a, 0xa5, 0x74, 0x92, 0x11, 0x48, 0x9e, 0x00, 0x1b, 0x44, 0x8d, 0x23, 0xaf, 0xb9},
    {0xbe, 0x53, 0xd3, 0xd4, 0x4a, 0xa3, 0x3e, 0xc8, 0x21, 0xdb, 0xa7, 0x65, 0x4d, 0x56, 0xe5, 0xca},
    {0xf5, 0x93, 0xb0, 0x68, 0x15, 0x47, 0x19, 0xef, 0xfc, 0x3a, 0x84, 0xff, 0x0d, 0x0f, 0xbc, 0x1f},
    {0x7b, 0x7d, 0x7e, 0x76, 0x94, 0x61, 0xdb, 0x8f, 0xe9, 0xd3, 0x26, 0xce, 0x9c, 0x79, 0x72, 0xb4},
    {0x14, 0xbd, 0x4e, 0x31, 0x25, 0xec, 0x40, 0x82, 0x35, 0x0d, 0xe4, 0x52, 0x8c, 0x20, 0x93, 0xeb},
    {0xad, 0x59, 0xde, 0x79, 0x56, 0x2d, 0xbc, 0xcc, 0xee, 0xdc, 0x2e, 0x3b, 0x21, 0x79, 0xc0, 0xa5},
    {0x0c, 0xb2, 0xba, 0x38, 0xe4, 0x5a, 0x35, 0xa4, 0xfe, 0x6c, 0x7e, 0x27, 0x15, 0xab, 0x7b, 0xdc},
    {0xea, 0x92, 0x48, 0x65, 0xb2, 0x72, 0xee, 0x7d, 0x45, 0x97, 0x4e, 0x28, 0x46, 0x9b, 0x35, 0xba},
    {0x1f, 0xce, 0x8c, 0x41, 0x21, 0x22, 0xe0, 0x2e, 0x70, 0x73, 0x61, 0x23, 0x96, 0x5e, 0x19, 0x96},
    {0xb7, 0x3d, 0x2a, 0x09, 0x66, 0xf1, 0x3b, 0x9e, 0x8d, 0x8e, 0x74, 0x29, 0xab, 0xf6, 0x68, 0x0f},
    {0x0e, 0xd3, 0x64, 0xee, 0xa9, 0x0d, 0x56, 0xc2, 0xa7, 0xbb, 0xa8, 0xa4, 0x59, 0x78, 0x19, 0xaf},
    {0xd3, 0x61, 0x3c, 0xb5, 0x12, 0x05, 0xb3, 0xa3, 0xdd, 0xa5, 0x0c, 0x21, 0x69, 0xad, 0x0d, 0x81},
};

std::vector<uint8_t> Hmac(const uint8_t* data, size_t length, const uint8_t* key, size_t keyLength) {
  std::vector<uint8_t> out(32);
  unsigned int outLength = 0;
  HMAC(EVP_sha256(), key, static_cast<int>(keyLength), data, length, out.data(), &outLength);
  return out;
}

// Where the digest of a 1536-byte message lies: scheme 0 in bytes 12..771,
// scheme 1 in 776..1535, offset by the sum of the four bytes before each.
uint32_t Position(int scheme, const uint8_t* m) {
  if (scheme == 0) return (m[8] + m[9] + m[10] + m[11]) % 728u + 12;
  return (m[772] + m[773] + m[774] + m[775]) % 728u + 776;
}

// HMAC of a handshake message with its 32 digest bytes left out.
std::vector<uint8_t> DigestWithout(const uint8_t* m, uint32_t position, const uint8_t* key, size_t keyLength) {
  std::vector<uint8_t> joined(m, m + position);
  joined.insert(joined.end(), m + position + 32, m + kSize);
  return Hmac(joined.data(), joined.size(), key, keyLength);
}

void Xtea(uint8_t* block, int keyNumber) {
  auto le = [](const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
  };
  uint32_t k[4] = {le(kXteaKeys[keyNumber]), le(kXteaKeys[keyNumber] + 4), le(kXteaKeys[keyNumber] + 8),
                   le(kXteaKeys[keyNumber] + 12)};
  uint32_t y = le(block), z = le(block + 4), sum = 0;
  for (int round = 0; round < 32; round++) {
    y += (((z << 4) ^ (z >> 5)) + z) ^ (sum + k[sum & 3]);
    sum += 0x9E3779B9u;
    z += (((y << 4) ^ (y >> 5)) + y) ^ (sum + k[(sum >> 11) & 3]);
  }
  for (int i = 0; i < 4; i++) {
    block[i] = static_cast<uint8_t>(y >> (8 * i));
    block[4 + i] = static_cast<uint8_t>(z >> (8 * i));
  }
}

// The 32-byte signature of `message` (its first 1504 bytes) keyed by HMAC of
// `digest` under `key`, transformed for version 8.
std::vector<uint8_t> Signature(const uint8_t* message, const uint8_t* digest, const uint8_t* key,
                               size_t keyLength, bool transform) {
  std::vector<uint8_t> signingKey = Hmac(digest, 32, key, keyLength);
  std::vector<uint8_t> signature = Hmac(message, kSize - 32, signingKey.data(), signingKey.size());
  if (transform)
    for (int i = 0; i < 32; i += 8) Xtea(signature.data() + i, signingKey[i] % 15);
  return signature;
}

}  // namespace

void HandshakeRandom(uint8_t* p, size_t n) {
  static thread_local std::mt19937 generator(std::random_device{}());
  for (size_t i = 0; i < n; i++) p[i] = static_cast<uint8_t>(generator());
}

std::vector<uint8_t> HandshakePlainC0C1(uint8_t version) {
  std::vector<uint8_t> c0c1(1 + kSize);
  c0c1[0] = version;
  HandshakeRandom(c0c1.data() + 1, kSize);
  std::memset(c0c1.data() + 1, 0, 8);  // time and a zero version field
  return c0c1;
}

std::vector<uint8_t> HandshakeDigestC0C1(int scheme, uint8_t version, uint8_t versionByte4) {
  std::vector<uint8_t> c0c1(1 + kSize);
  c0c1[0] = version;
  HandshakeRandom(c0c1.data() + 1, kSize);
  uint8_t* m = c0c1.data() + 1;
  const uint8_t versionField[4] = {versionByte4, 0, 124, 2};
  std::memset(m, 0, 4);
  std::memcpy(m + 4, versionField, 4);
  const uint32_t position = Position(scheme, m);
  std::vector<uint8_t> digest = DigestWithout(m, position, kPlayerKey, kPlayerKeyTextSize);
  std::memcpy(m + position, digest.data(), 32);
  return c0c1;
}

int HandshakeCheckDigestReply(std::span<const uint8_t> c1, int scheme, std::span<const uint8_t> s0s1,
                              std::span<const uint8_t> s2, std::string* error) {
  if (c1.size() != kSize || s0s1.size() != 1 + kSize || s2.size() != kSize) {
    *error = "handshake message of the wrong size";
    return -1;
  }
  const uint8_t* s1 = s0s1.data() + 1;
  // The server's digest lies by its own scheme; a real client tries both.
  int serverScheme = -1;
  for (int candidate = 0; candidate < 2 && serverScheme < 0; candidate++) {
    const uint32_t at = Position(candidate, s1);
    if (DigestWithout(s1, at, kServerKey, kServerKeyTextSize) == std::vector<uint8_t>(s1 + at, s1 + at + 32))
      serverScheme = candidate;
  }
  if (serverScheme < 0) {
    *error = "S1 digest does not verify";
    return -1;
  }
  const bool transform = s0s1[0] == 8;
  const std::vector<uint8_t> expected =
      Signature(c1.data(), c1.data() + Position(scheme, c1.data()), kServerKey, sizeof kServerKey, transform);
  if (!std::equal(s2.begin(), s2.end() - 32, c1.begin())) {
    *error = "S2 does not carry C1";
    return -1;
  }
  if (!std::equal(expected.begin(), expected.end(), s2.end() - 32)) {
    *error = "S2 signature is wrong";
    return -1;
  }
  return serverScheme;
}

std::vector<uint8_t> HandshakeDigestC2(std::span<const uint8_t> s0s1, int serverScheme, bool badSignature) {
  const uint8_t* s1 = s0s1.data() + 1;
  std::vector<uint8_t> c2(kSize);
  HandshakeRandom(c2.data(), kSize);
  std::vector<uint8_t> signature =
      Signature(c2.data(), s1 + Position(serverScheme, s1), kPlayerKey, sizeof kPlayerKey, s0s1[0] == 8);
  if (badSignature) signature[0] ^= 1;
  std::memcpy(c2.data() + kSize - 32, signature.data(), 32);
  return c2;
}

}  // namespace testclient
