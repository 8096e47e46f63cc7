// A small blocking RTMP client for tests: TCP connect with a time-out, the
// client side of the plain and digest handshakes (checking the server's
// digests), a chunk writer with full control over headers, and a chunk reader
// that returns whole messages. Built on the test client's own handshake and
// chunk code (TestHandshake.h, TestChunks.h), written apart from the server's.
// One thread per client.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "testclient/TestChunks.h"

struct RtmpClientMessage {
  uint32_t channel = 0;
  uint8_t type = 0;
  uint32_t streamId = 0;
  uint32_t timestamp = 0;  // absolute
  std::vector<uint8_t> body;
};

class RtmpClient {
 public:
  RtmpClient() = default;
  ~RtmpClient();
  RtmpClient(const RtmpClient&) = delete;
  RtmpClient& operator=(const RtmpClient&) = delete;

  // Connects to host:port (IPv4 dotted text) within timeoutMs.
  bool Connect(const char* host, uint16_t port, int timeoutMs = 5000);
  // Takes over a connected descriptor, e.g. one end of a socketpair.
  void Adopt(int fd);
  void Close();
  int fd() const { return fd_; }

  // C0 = version with a zero version field in C1. S2 must echo C1. C2 echoes
  // S1 unless echoS1 is false (then it is random).
  bool HandshakePlain(uint8_t version = 3, bool echoS1 = true);
  // Digest handshake: C1 carries the client digest by `scheme` (0 or 1) and
  // versionByte4 (non-zero) in byte 4. Checks the S1 digest with the server
  // key text and the S2 signature (with the version-8 transform when S0 is
  // 8). C2 carries the genuine signature, or a wrong one if badSignature;
  // with copyS1 it is an exact copy of S1 instead, as some encoders send it.
  // The server's answer to C2 is not awaited.
  bool HandshakeDigest(int scheme, uint8_t version = 3, uint8_t versionByte4 = 9, bool badSignature = false,
                       bool copyS1 = false);

  // Raw bytes, for fault tests.
  bool SendRaw(std::span<const uint8_t> bytes);
  // The header of one chunk: fmt 0..3; `timestamp` is the header's field
  // (absolute for fmt 0, delta for 1 and 2), an extended timestamp follows
  // when it is 0xFFFFFF or more.
  static std::vector<uint8_t> ChunkHeader(int fmt, uint32_t channel, uint32_t timestamp = 0,
                                          uint32_t bodySize = 0, uint8_t type = 0,
                                          uint32_t streamId = 0) {
    return testclient::ChunkHeader(fmt, channel, timestamp, bodySize, type, streamId);
  }
  bool SendChunk(int fmt, uint32_t channel, uint32_t timestamp, uint32_t bodySize, uint8_t type,
                 uint32_t streamId, std::span<const uint8_t> payload);
  // A whole message: a type-0 chunk then type-3 chunks of outChunkSize.
  bool SendMessage(uint32_t channel, uint8_t type, uint32_t streamId, uint32_t timestamp,
                   std::span<const uint8_t> body);
  // Sends set-chunk-size on channel 2 and writes with it from then on.
  bool SetChunkSize(uint32_t size);
  // An audio (type 8, chunk stream 4) or video (type 9, chunk stream 6)
  // message of a publisher.
  bool SendAudio(uint32_t streamId, uint32_t timestamp, std::span<const uint8_t> body) {
    return SendMessage(4, 8, streamId, timestamp, body);
  }
  bool SendVideo(uint32_t streamId, uint32_t timestamp, std::span<const uint8_t> body) {
    return SendMessage(6, 9, streamId, timestamp, body);
  }

  // The next complete message, or none after timeoutMs, on a protocol error
  // or at the end of the stream (see error()). A set-chunk-size from the peer
  // is applied to the reader and returned as well.
  std::optional<RtmpClientMessage> ReadMessage(int timeoutMs = 5000);
  // Exactly n bytes within timeoutMs.
  bool ReadExact(uint8_t* destination, size_t n, int timeoutMs = 5000);
  // True when the peer has closed (a read returns end of stream) within timeoutMs.
  bool WaitClosed(int timeoutMs = 5000);

  const std::string& error() const { return error_; }

  uint32_t inChunkSize = 128;
  uint32_t outChunkSize = 128;
  // SendMessage repeats an extended timestamp on its type-3 chunks (as most
  // peers do) unless this is false.
  bool repeatExtendedTimestamp = true;
  // What the last handshake exchanged.
  std::vector<uint8_t> c1, s0s1, s2, c2;

 private:
  void ResetReader();
  bool Fail(std::string text);
  int fd_ = -1;
  std::string error_;
  testclient::ChunkReader reader_;
  std::vector<uint8_t> pending_;  // the start of a chunk the reader waits to complete
  std::deque<RtmpClientMessage> ready_;
};
