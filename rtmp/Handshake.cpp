#include "rtmp/Handshake.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstring>
#include <memory>

#include "rtmp/RtmpCore.h"
#include "util/ByteOrder.h"
#include "util/Log.h"
#include "util/ThreadSafety.h"

#define FIXED_KEY_TAIL                                                                            \
  0xF0, 0xEE, 0xC2, 0x4A, 0x80, 0x68, 0xBE, 0xE8, 0x2E, 0x00, 0xD0, 0xD1, 0x02, 0x9E, 0x7E, 0x57, \
      0x6E, 0xEC, 0x5D, 0x2D, 0x29, 0x80, 0x6F, 0xAB, 0x93, 0xB8, 0xE6, 0x36, 0xCF, 0xEB, 0x31, 0xAE

const uint8_t kServerKey[kServerKeySize] = {
    'G', 'e', 'n', 'u', 'i', 'n', 'e', ' ', 'A', 'd', 'o', 'b', 'e', ' ', 'F', 'l', 'a', 's',
    'h', ' ', 'M', 'e', 'd', 'i', 'a', ' ', 'S', 'e', 'r', 'v', 'e', 'r', ' ', '0', '0', '1',
    FIXED_KEY_TAIL};

const uint8_t kPlayerKey[kPlayerKeySize] = {
    'G', 'e', 'n', 'u', 'i', 'n', 'e', ' ', 'A', 'd', 'o', 'b', 'e', ' ', 'F',
    'l', 'a', 's', 'h', ' ', 'P', 'l', 'a', 'y', 'e', 'r', ' ', '0', '0', '1',
    FIXED_KEY_TAIL};

#undef FIXED_KEY_TAIL

const uint8_t kXteaKeys[kXteaKeyCount][16] = {
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

namespace {

uint32_t DigestOffset(int scheme, const uint8_t* message) {
  return scheme == 0 ? GetDigestOffset1(message) : GetDigestOffset2(message);
}

}  // namespace

uint32_t GetDigestOffset1(const uint8_t* m) { return (uint32_t{m[8]} + m[9] + m[10] + m[11]) % 728 + 12; }
uint32_t GetDigestOffset2(const uint8_t* m) {
  return (uint32_t{m[772]} + m[773] + m[774] + m[775]) % 728 + 776;
}

void HandshakeHmac(const uint8_t* message, size_t length, const uint8_t* key, size_t keyLength,
                   uint8_t* out) {
  unsigned int outLength = 0;
  HMAC(EVP_sha256(), key, static_cast<int>(keyLength), message, length, out, &outLength);
}

void HandshakeDigest(uint32_t position, const uint8_t* message, const uint8_t* key, size_t keyLength,
                     uint8_t* out) {
  uint8_t rest[kHandshakeSize - kHandshakeDigestSize];
  std::memcpy(rest, message, position);
  std::memcpy(rest + position, message + position + kHandshakeDigestSize,
              kHandshakeSize - position - kHandshakeDigestSize);
  HandshakeHmac(rest, sizeof rest, key, keyLength, out);
}

int HandshakeVerify(uint32_t position, const uint8_t* message, const uint8_t* key, size_t keyLength) {
  uint8_t digest[kHandshakeDigestSize];
  HandshakeDigest(position, message, key, keyLength, digest);
  return CRYPTO_memcmp(digest, message + position, kHandshakeDigestSize) == 0 ? 1 : 0;
}

void HandshakeXtea(uint8_t* block, int keyNumber) {
  const uint8_t* keyBytes = kXteaKeys[keyNumber];
  uint32_t k[4];
  for (int i = 0; i < 4; i++) k[i] = GetLe32(keyBytes + 4 * i);
  uint32_t v0 = GetLe32(block), v1 = GetLe32(block + 4), sum = 0;
  const uint32_t delta = 0x9E3779B9;
  for (int i = 0; i < 32; i++) {
    v0 += (((v1 << 4) ^ (v1 >> 5)) + v1) ^ (sum + k[sum & 3]);
    sum += delta;
    v1 += (((v0 << 4) ^ (v0 >> 5)) + v0) ^ (sum + k[(sum >> 11) & 3]);
  }
  PutLe32(block, v0);
  PutLe32(block + 4, v1);
}

int SHandShake(RtmpContext* r) {
  const char* const kName = "SHandShake";
  // C1, S0+S1 and C2 live on the heap for the handshake's length: on the
  // stack they would leave pages behind under every idle connection's loop.
  struct Messages {
    uint8_t c1[kHandshakeSize];
    uint8_t s0s1[1 + kHandshakeSize];
    uint8_t c2[kHandshakeSize];
  };
  auto messages = std::make_unique<Messages>();
  uint8_t* const c1 = messages->c1;
  uint8_t c0 = 0;
  if (!RtmpReadBytes(r, &c0, 1) || !RtmpReadBytes(r, c1, kHandshakeSize)) return 0;
  ProtocolLog(LOG_DEBUG, "%s: Type Requested : %02X", kName, c0);
  ProtocolLogHex(LOG_DEBUG2, c1, kHandshakeSize);

  int scheme = 0;
  bool digest = false;
  uint8_t answer = c0;
  if (c0 == 3) {
    digest = c1[4] != 0;
  } else if (c0 == 6 || c0 == 8) {
    scheme = 1;
    digest = true;
    if (c1[4] == 128) answer = 8;
  } else {
    ProtocolLog(LOG_ERROR, "%s: Unknown version %02x", kName, c0);
    return 0;
  }

  uint8_t* const s0s1 = messages->s0s1;
  std::memset(s0s1, 0, 1 + kHandshakeSize);
  s0s1[0] = answer;
  uint8_t* s1 = s0s1 + 1;
  uint32_t serverOffset = 0;
  if (digest) {
    s1[4] = 3;
    s1[5] = 5;
    s1[6] = 1;
    s1[7] = 1;
    serverOffset = DigestOffset(scheme, s1);
    ProtocolLog(LOG_DEBUG, "%s: Server digest offset: %d", kName, static_cast<int>(serverOffset));
    HandshakeDigest(serverOffset, s1, kServerKey, kServerKeyTextSize, s1 + serverOffset);
    ProtocolLog(LOG_DEBUG, "%s: Initial server digest:", kName);
    ProtocolLogHex(LOG_DEBUG, s1 + serverOffset, kHandshakeDigestSize);
  }
  ProtocolLog(LOG_DEBUG2, "Serversig:");
  ProtocolLogHex(LOG_DEBUG2, s1, kHandshakeSize);
  {
    MutexLock lock(r->sendLock);
    if (!SocketBufferWrite(&r->sockbuf, s0s1, 1 + kHandshakeSize)) {
      SocketBufferClose(&r->sockbuf);
      return 0;
    }
  }
  ProtocolLog(LOG_DEBUG, "%s: Client Uptime : %d", kName,
              static_cast<int>(GetBe32(c1)));
  ProtocolLog(LOG_DEBUG, "%s: Player Version: %d.%d.%d.%d", kName, c1[4], c1[5], c1[6], c1[7]);

  if (digest) {
    uint32_t clientOffset = DigestOffset(scheme, c1);
    if (!HandshakeVerify(clientOffset, c1, kPlayerKey, kPlayerKeyTextSize)) {
      scheme ^= 1;
      clientOffset = DigestOffset(scheme, c1);
      if (!HandshakeVerify(clientOffset, c1, kPlayerKey, kPlayerKeyTextSize)) {
        ProtocolLog(LOG_ERROR, "Couldn't verify the client digest");
        return 0;
      }
    }
    uint8_t key[kHandshakeDigestSize];
    HandshakeHmac(c1 + clientOffset, kHandshakeDigestSize, kServerKey, kServerKeySize, key);
    uint8_t* signature = c1 + kHandshakeSize - kHandshakeDigestSize;
    HandshakeHmac(c1, kHandshakeSize - kHandshakeDigestSize, key, kHandshakeDigestSize, signature);
    if (answer == 8)
      for (int i = 0; i < 32; i += 8) HandshakeXtea(signature + i, key[i] % kXteaKeyCount);
    ProtocolLog(LOG_DEBUG, "%s: Calculated digest key from secure key and server digest:", kName);
    ProtocolLogHex(LOG_DEBUG, key, kHandshakeDigestSize);
    ProtocolLog(LOG_DEBUG, "%s: Server signature calculated:", kName);
    ProtocolLogHex(LOG_DEBUG, signature, kHandshakeDigestSize);
  }
  ProtocolLog(LOG_DEBUG2, "%s: Sending handshake response:", kName);
  ProtocolLogHex(LOG_DEBUG2, c1, kHandshakeSize);
  {
    MutexLock lock(r->sendLock);
    if (!SocketBufferWrite(&r->sockbuf, c1, kHandshakeSize)) {
      SocketBufferClose(&r->sockbuf);
      return 0;
    }
  }

  uint8_t* const c2 = messages->c2;
  if (!RtmpReadBytes(r, c2, kHandshakeSize)) return 0;
  ProtocolLog(LOG_DEBUG2, "%s: 2nd handshake:", kName);
  ProtocolLogHex(LOG_DEBUG2, c2, kHandshakeSize);

  if (digest) {
    const uint8_t* clientSignature = c2 + kHandshakeSize - kHandshakeDigestSize;
    ProtocolLog(LOG_DEBUG, "%s: Client sent signature:", kName);
    ProtocolLogHex(LOG_DEBUG, clientSignature, kHandshakeDigestSize);
    uint8_t key[kHandshakeDigestSize], expected[kHandshakeDigestSize];
    HandshakeHmac(s1 + serverOffset, kHandshakeDigestSize, kPlayerKey, kPlayerKeySize, key);
    HandshakeHmac(c2, kHandshakeSize - kHandshakeDigestSize, key, kHandshakeDigestSize, expected);
    if (answer == 8)
      for (int i = 0; i < 32; i += 8) HandshakeXtea(expected + i, key[i] % kXteaKeyCount);
    ProtocolLog(LOG_DEBUG, "%s: Digest key:", kName);
    ProtocolLogHex(LOG_DEBUG, key, kHandshakeDigestSize);
    ProtocolLog(LOG_DEBUG, "%s: Signature calculated:", kName);
    ProtocolLogHex(LOG_DEBUG, expected, kHandshakeDigestSize);
    if (CRYPTO_memcmp(expected, clientSignature, kHandshakeDigestSize) == 0) {
      ProtocolLog(LOG_DEBUG, "%s: Genuine Adobe Flash Player", kName);
    } else if (std::memcmp(c2, s1, kHandshakeSize) == 0) {
      // Common encoders sign C1 but answer with the plain echo of S1 when
      // they publish.
      ProtocolLog(LOG_DEBUG, "%s: Client echoed the server's S1", kName);
    } else {
      ProtocolLog(LOG_WARNING, "%s: Client not genuine!", kName);
      return 0;
    }
  } else if (std::memcmp(c2, s1, kHandshakeSize) != 0) {
    ProtocolLog(LOG_WARNING, "%s: client signature does not match!", kName);
  }
  ProtocolLog(LOG_DEBUG, "%s: Handshaking finished....", kName);
  return 1;
}
