#include "RtmpClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>

#include "rtmp/Handshake.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kSize = 1536;

int MsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

void Random(uint8_t* p, size_t n) {
  static thread_local std::mt19937 generator(std::random_device{}());
  for (size_t i = 0; i < n; i++) p[i] = static_cast<uint8_t>(generator());
}

std::vector<uint8_t> Hmac(const uint8_t* data, size_t length, const uint8_t* key, size_t keyLength) {
  std::vector<uint8_t> out(32);
  unsigned int outLength = 0;
  HMAC(EVP_sha256(), key, static_cast<int>(keyLength), data, length, out.data(), &outLength);
  return out;
}

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

RtmpClient::~RtmpClient() { Close(); }

bool RtmpClient::Fail(std::string text) {
  error_ = std::move(text);
  return false;
}

bool RtmpClient::Connect(const char* host, uint16_t port, int timeoutMs) {
  Close();
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  if (fd < 0) return Fail("socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  if (inet_pton(AF_INET, host, &address.sin_addr) != 1) {
    close(fd);
    return Fail("bad address");
  }
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 && errno != EINPROGRESS) {
    close(fd);
    return Fail("connect: " + std::string(strerror(errno)));
  }
  pollfd p{fd, POLLOUT, 0};
  int soError = 0;
  socklen_t length = sizeof soError;
  if (poll(&p, 1, timeoutMs) != 1 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &length) != 0 ||
      soError != 0) {
    close(fd);
    return Fail("connect timed out or failed");
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  Adopt(fd);
  return true;
}

void RtmpClient::Adopt(int fd) {
  Close();
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL, 0) & ~O_NONBLOCK);
  timeval sendTimeout{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);
  fd_ = fd;
  channels_.clear();
  inChunkSize = outChunkSize = 128;
}

void RtmpClient::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool RtmpClient::SendRaw(std::span<const uint8_t> bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Fail("send: " + std::string(strerror(errno)));
    done += static_cast<size_t>(n);
  }
  return true;
}

bool RtmpClient::ReadExact(uint8_t* destination, size_t n, int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  size_t done = 0;
  while (done < n) {
    pollfd p{fd_, POLLIN, 0};
    int ready = poll(&p, 1, MsLeft(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return Fail("read timed out");
    ssize_t got = recv(fd_, destination + done, n - done, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got == 0) return Fail("closed by peer");
    if (got < 0) return Fail("recv: " + std::string(strerror(errno)));
    done += static_cast<size_t>(got);
  }
  return true;
}

bool RtmpClient::WaitClosed(int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  uint8_t sink[4096];
  for (;;) {
    pollfd p{fd_, POLLIN, 0};
    int ready = poll(&p, 1, MsLeft(deadline));
    if (ready <= 0) return false;
    ssize_t got = recv(fd_, sink, sizeof sink, 0);
    if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) return true;
  }
}

bool RtmpClient::HandshakePlain(uint8_t version, bool echoS1) {
  std::vector<uint8_t> c0c1(1 + kSize);
  c0c1[0] = version;
  Random(c0c1.data() + 1, kSize);
  std::memset(c0c1.data() + 1, 0, 8);  // time and a zero version field
  c1.assign(c0c1.begin() + 1, c0c1.end());
  if (!SendRaw(c0c1)) return false;
  s0s1.assign(1 + kSize, 0);
  s2.assign(kSize, 0);
  if (!ReadExact(s0s1.data(), s0s1.size()) || !ReadExact(s2.data(), s2.size())) return false;
  if (s2 != c1) return Fail("S2 does not echo C1");
  c2.assign(s0s1.begin() + 1, s0s1.end());
  if (!echoS1) Random(c2.data(), c2.size());
  return SendRaw(c2);
}

bool RtmpClient::HandshakeDigest(int scheme, uint8_t version, uint8_t versionByte4, bool badSignature,
                                 bool copyS1) {
  std::vector<uint8_t> c0c1(1 + kSize);
  c0c1[0] = version;
  Random(c0c1.data() + 1, kSize);
  uint8_t* m = c0c1.data() + 1;
  const uint8_t versionField[4] = {versionByte4, 0, 124, 2};
  std::memset(m, 0, 4);
  std::memcpy(m + 4, versionField, 4);
  uint32_t position = Position(scheme, m);
  std::vector<uint8_t> digest = DigestWithout(m, position, kPlayerKey, kPlayerKeyTextSize);
  std::memcpy(m + position, digest.data(), 32);
  c1.assign(m, m + kSize);
  if (!SendRaw(c0c1)) return false;

  s0s1.assign(1 + kSize, 0);
  s2.assign(kSize, 0);
  if (!ReadExact(s0s1.data(), s0s1.size()) || !ReadExact(s2.data(), s2.size())) return false;
  const uint8_t* s1 = s0s1.data() + 1;
  // The server's digest lies by its own scheme; a real client tries both.
  int serverScheme = -1;
  for (int candidate = 0; candidate < 2 && serverScheme < 0; candidate++) {
    uint32_t at = Position(candidate, s1);
    if (DigestWithout(s1, at, kServerKey, kServerKeyTextSize) == std::vector<uint8_t>(s1 + at, s1 + at + 32))
      serverScheme = candidate;
  }
  if (serverScheme < 0) return Fail("S1 digest does not verify");
  const bool transform = s0s1[0] == 8;
  std::vector<uint8_t> expected = Signature(c1.data(), c1.data() + position, kServerKey, kServerKeySize, transform);
  if (!std::equal(s2.begin(), s2.end() - 32, c1.begin())) return Fail("S2 does not carry C1");
  if (!std::equal(expected.begin(), expected.end(), s2.end() - 32)) return Fail("S2 signature is wrong");

  if (copyS1) {
    c2.assign(s1, s1 + kSize);
    if (badSignature) c2[kSize - 1] ^= 1;
    return SendRaw(c2);
  }
  c2.assign(kSize, 0);
  Random(c2.data(), kSize);
  uint32_t serverPosition = Position(serverScheme, s1);
  std::vector<uint8_t> signature = Signature(c2.data(), s1 + serverPosition, kPlayerKey, kPlayerKeySize, transform);
  if (badSignature) signature[0] ^= 1;
  std::memcpy(c2.data() + kSize - 32, signature.data(), 32);
  return SendRaw(c2);
}

std::vector<uint8_t> RtmpClient::ChunkHeader(int fmt, uint32_t channel, uint32_t timestamp, uint32_t bodySize,
                                             uint8_t type, uint32_t streamId) {
  std::vector<uint8_t> h;
  if (channel >= 320) {
    h = {static_cast<uint8_t>(fmt << 6 | 1), static_cast<uint8_t>((channel - 64) & 0xff),
         static_cast<uint8_t>((channel - 64) >> 8)};
  } else if (channel >= 64) {
    h = {static_cast<uint8_t>(fmt << 6), static_cast<uint8_t>(channel - 64)};
  } else {
    h = {static_cast<uint8_t>(fmt << 6 | channel)};
  }
  if (fmt == 3) return h;
  bool extended = timestamp >= 0xFFFFFF;
  uint32_t field = extended ? 0xFFFFFF : timestamp;
  h.insert(h.end(), {static_cast<uint8_t>(field >> 16), static_cast<uint8_t>(field >> 8), static_cast<uint8_t>(field)});
  if (fmt <= 1)
    h.insert(h.end(), {static_cast<uint8_t>(bodySize >> 16), static_cast<uint8_t>(bodySize >> 8),
                       static_cast<uint8_t>(bodySize), type});
  if (fmt == 0)
    h.insert(h.end(), {static_cast<uint8_t>(streamId), static_cast<uint8_t>(streamId >> 8),
                       static_cast<uint8_t>(streamId >> 16), static_cast<uint8_t>(streamId >> 24)});
  if (extended)
    h.insert(h.end(), {static_cast<uint8_t>(timestamp >> 24), static_cast<uint8_t>(timestamp >> 16),
                       static_cast<uint8_t>(timestamp >> 8), static_cast<uint8_t>(timestamp)});
  return h;
}

bool RtmpClient::SendChunk(int fmt, uint32_t channel, uint32_t timestamp, uint32_t bodySize, uint8_t type,
                           uint32_t streamId, std::span<const uint8_t> payload) {
  std::vector<uint8_t> bytes = ChunkHeader(fmt, channel, timestamp, bodySize, type, streamId);
  bytes.insert(bytes.end(), payload.begin(), payload.end());
  return SendRaw(bytes);
}

bool RtmpClient::SendMessage(uint32_t channel, uint8_t type, uint32_t streamId, uint32_t timestamp,
                             std::span<const uint8_t> body) {
  std::vector<uint8_t> bytes = ChunkHeader(0, channel, timestamp, static_cast<uint32_t>(body.size()), type, streamId);
  size_t offset = 0;
  for (;;) {
    size_t take = std::min<size_t>(outChunkSize, body.size() - offset);
    bytes.insert(bytes.end(), body.begin() + offset, body.begin() + offset + take);
    offset += take;
    if (offset >= body.size()) break;
    std::vector<uint8_t> continuation = ChunkHeader(3, channel);
    if (timestamp >= 0xFFFFFF && repeatExtendedTimestamp)
      continuation.insert(continuation.end(), {static_cast<uint8_t>(timestamp >> 24), static_cast<uint8_t>(timestamp >> 16),
                                               static_cast<uint8_t>(timestamp >> 8), static_cast<uint8_t>(timestamp)});
    bytes.insert(bytes.end(), continuation.begin(), continuation.end());
  }
  return SendRaw(bytes);
}

bool RtmpClient::SetChunkSize(uint32_t size) {
  const uint8_t body[4] = {static_cast<uint8_t>(size >> 24), static_cast<uint8_t>(size >> 16),
                           static_cast<uint8_t>(size >> 8), static_cast<uint8_t>(size)};
  if (!SendMessage(2, 1, 0, 0, body)) return false;
  outChunkSize = size;
  return true;
}

std::optional<RtmpClientMessage> RtmpClient::ReadMessage(int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    uint8_t b[11];
    if (!ReadExact(b, 1, MsLeft(deadline))) return std::nullopt;
    const int fmt = b[0] >> 6;
    uint32_t channel = b[0] & 0x3f;
    if (channel == 0) {
      if (!ReadExact(b + 1, 1, MsLeft(deadline))) return std::nullopt;
      channel = 64u + b[1];
    } else if (channel == 1) {
      if (!ReadExact(b + 1, 2, MsLeft(deadline))) return std::nullopt;
      channel = 64u + b[1] + 256u * b[2];
    }
    Channel& c = channels_[channel];
    if (fmt != 0 && !c.known) {
      Fail("compressed header on a new chunk stream " + std::to_string(channel));
      return std::nullopt;
    }
    static const size_t kRest[4] = {11, 7, 3, 0};
    if (!ReadExact(b, kRest[fmt], MsLeft(deadline))) return std::nullopt;
    if (fmt < 3) {
      uint32_t field = uint32_t(b[0]) << 16 | uint32_t(b[1]) << 8 | b[2];
      c.extended = field == 0xFFFFFF;
      if (field == 0xFFFFFF) {
        uint8_t e[4];
        if (!ReadExact(e, 4, MsLeft(deadline))) return std::nullopt;
        field = uint32_t(e[0]) << 24 | uint32_t(e[1]) << 16 | uint32_t(e[2]) << 8 | e[3];
      }
      if (fmt <= 1) {
        c.size = uint32_t(b[3]) << 16 | uint32_t(b[4]) << 8 | b[5];
        c.type = b[6];
        c.inMessage = false;
        c.body.clear();
      }
      if (fmt == 0) {
        c.streamId = uint32_t(b[7]) | uint32_t(b[8]) << 8 | uint32_t(b[9]) << 16 | uint32_t(b[10]) << 24;
        c.timestamp = field;
      } else if (!c.inMessage) {
        c.timestamp += field;
      }
      c.lastField = field;
      c.known = true;
    } else {
      // The server repeats an extended timestamp on every type-3 chunk.
      if (c.extended) {
        uint8_t e[4];
        if (!ReadExact(e, 4, MsLeft(deadline))) return std::nullopt;
        uint32_t repeat = uint32_t(e[0]) << 24 | uint32_t(e[1]) << 16 | uint32_t(e[2]) << 8 | e[3];
        if (repeat != c.lastField) {
          Fail("type-3 chunk without the repeated extended timestamp on chunk stream " + std::to_string(channel));
          return std::nullopt;
        }
      }
      if (!c.inMessage) c.timestamp += c.lastField;
    }
    c.inMessage = true;
    size_t take = std::min<size_t>(inChunkSize, c.size - c.body.size());
    size_t at = c.body.size();
    c.body.resize(at + take);
    if (take && !ReadExact(c.body.data() + at, take, MsLeft(deadline))) return std::nullopt;
    if (c.body.size() < c.size) continue;

    RtmpClientMessage message;
    message.channel = channel;
    message.type = c.type;
    message.streamId = c.streamId;
    message.timestamp = c.timestamp;
    message.body.swap(c.body);
    c.inMessage = false;
    if (message.type == 1 && message.body.size() >= 4) {
      uint32_t size = uint32_t(message.body[0]) << 24 | uint32_t(message.body[1]) << 16 |
                      uint32_t(message.body[2]) << 8 | message.body[3];
      inChunkSize = size & 0x7FFFFFFF;
    }
    return message;
  }
}
