// The client side of the plain and digest handshakes, as byte functions a
// blocking or a non-blocking client can drive. It keeps its own copy of the
// key texts and digest positions, so that it checks the server's handshake
// rather than mirroring it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace testclient {

constexpr size_t kHandshakeSize = 1536;

// C0 = version, then a C1 with zero time and version fields and random bytes.
std::vector<uint8_t> HandshakePlainC0C1(uint8_t version = 3);
// C0 = version, then a C1 carrying the client digest by `scheme` (0 or 1),
// with versionByte4 (non-zero) in byte 4.
std::vector<uint8_t> HandshakeDigestC0C1(int scheme, uint8_t version, uint8_t versionByte4);
// Checks S0+S1 and S2 against `c1` (digest by `scheme`): the S1 digest under
// the server key text by either scheme, S2 carrying C1 and the signature (with
// the version-8 transform when S0 is 8). Returns the server's scheme, or -1
// with `error` set.
int HandshakeCheckDigestReply(std::span<const uint8_t> c1, int scheme, std::span<const uint8_t> s0s1,
                              std::span<const uint8_t> s2, std::string* error);
// A C2 of random bytes signed for S1's digest (by serverScheme); a wrong
// signature with badSignature.
std::vector<uint8_t> HandshakeDigestC2(std::span<const uint8_t> s0s1, int serverScheme, bool badSignature);
// Random bytes for handshake messages.
void HandshakeRandom(uint8_t* p, size_t n);

}  // namespace testclient
