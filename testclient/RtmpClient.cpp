#include "testclient/RtmpClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "testclient/TestHandshake.h"

using namespace testclient;

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kSize = kHandshakeSize;

int MsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
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
  ResetReader();
  inChunkSize = outChunkSize = 128;
}

void RtmpClient::ResetReader() {
  reader_ = ChunkReader();
  // What the server wrote is checked whole: media bodies kept, any size the
  // header can carry, extended timestamps repeated.
  reader_.keepMedia = true;
  reader_.maxBody = kMaxBodySize;
  reader_.checkRepeatedTimestamp = true;
  pending_.clear();
  ready_.clear();
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
  std::vector<uint8_t> c0c1 = HandshakePlainC0C1(version);
  c1.assign(c0c1.begin() + 1, c0c1.end());
  if (!SendRaw(c0c1)) return false;
  s0s1.assign(1 + kSize, 0);
  s2.assign(kSize, 0);
  if (!ReadExact(s0s1.data(), s0s1.size()) || !ReadExact(s2.data(), s2.size())) return false;
  if (s2 != c1) return Fail("S2 does not echo C1");
  c2.assign(s0s1.begin() + 1, s0s1.end());
  if (!echoS1) HandshakeRandom(c2.data(), c2.size());
  return SendRaw(c2);
}

bool RtmpClient::HandshakeDigest(int scheme, uint8_t version, uint8_t versionByte4, bool badSignature,
                                 bool copyS1) {
  std::vector<uint8_t> c0c1 = HandshakeDigestC0C1(scheme, version, versionByte4);
  c1.assign(c0c1.begin() + 1, c0c1.end());
  if (!SendRaw(c0c1)) return false;

  s0s1.assign(1 + kSize, 0);
  s2.assign(kSize, 0);
  if (!ReadExact(s0s1.data(), s0s1.size()) || !ReadExact(s2.data(), s2.size())) return false;
  std::string why;
  const int serverScheme = HandshakeCheckDigestReply(c1, scheme, s0s1, s2, &why);
  if (serverScheme < 0) return Fail(why);

  if (copyS1) {
    c2.assign(s0s1.begin() + 1, s0s1.end());
    if (badSignature) c2[kSize - 1] ^= 1;
    return SendRaw(c2);
  }
  c2 = HandshakeDigestC2(s0s1, serverScheme, badSignature);
  return SendRaw(c2);
}

bool RtmpClient::SendChunk(int fmt, uint32_t channel, uint32_t timestamp, uint32_t bodySize, uint8_t type,
                           uint32_t streamId, std::span<const uint8_t> payload) {
  std::vector<uint8_t> bytes = ChunkHeader(fmt, channel, timestamp, bodySize, type, streamId);
  bytes.insert(bytes.end(), payload.begin(), payload.end());
  return SendRaw(bytes);
}

bool RtmpClient::SendMessage(uint32_t channel, uint8_t type, uint32_t streamId, uint32_t timestamp,
                             std::span<const uint8_t> body) {
  std::vector<uint8_t> bytes;
  ChunkWrite(bytes, channel, type, streamId, timestamp, body, outChunkSize, repeatExtendedTimestamp);
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
  while (ready_.empty()) {
    // Reads no further than the chunk in progress, so the socket keeps what
    // the test has not asked for (a slow reader stays slow).
    pollfd p{fd_, POLLIN, 0};
    const int ready = poll(&p, 1, MsLeft(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      Fail("read timed out");
      return std::nullopt;
    }
    const size_t at = pending_.size();
    pending_.resize(at + reader_.Needed());
    const ssize_t got = recv(fd_, pending_.data() + at, pending_.size() - at, 0);
    pending_.resize(at + static_cast<size_t>(std::max<ssize_t>(got, 0)));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      Fail(got == 0 ? "closed by peer" : "recv: " + std::string(strerror(errno)));
      return std::nullopt;
    }
    reader_.SetChunkSize(inChunkSize);
    const long used = reader_.Feed(pending_, [&](const ChunkMessage& m) {
      RtmpClientMessage message;
      message.channel = m.channel;
      message.type = m.type;
      message.streamId = m.streamId;
      message.timestamp = m.timestamp;
      message.body.assign(m.body.begin(), m.body.end());
      // A set-chunk-size applies to the very next chunk.
      if (message.type == kMsgSetChunkSize && message.body.size() >= 4) {
        const uint8_t* b = message.body.data();
        inChunkSize = (uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3]) & kMaxChunkSize;
        reader_.SetChunkSize(inChunkSize);
      }
      ready_.push_back(std::move(message));
    });
    if (used < 0) {
      Fail(reader_.error());
      return std::nullopt;
    }
    pending_.erase(pending_.begin(), pending_.begin() + used);
  }
  RtmpClientMessage message = std::move(ready_.front());
  ready_.pop_front();
  return message;
}
