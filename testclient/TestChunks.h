// The chunk stream as the test client and the load generator speak it: a
// writer with full control over headers and an incremental reader. Written
// apart from the server's reader and writer so that a mistake in one is not
// mirrored by the other, and so that the generator measures any server with
// the same code.
//
// Everything here belongs to one client at a time and takes no lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <vector>

namespace testclient {

// Message types and chunk header layout of the chunk stream.
constexpr uint8_t kMsgSetChunkSize = 1;
constexpr uint8_t kMsgAbort = 2;
constexpr uint8_t kMsgAck = 3;
constexpr uint8_t kMsgUserControl = 4;
constexpr uint8_t kMsgWindowAck = 5;
constexpr uint8_t kMsgPeerBandwidth = 6;
constexpr uint8_t kMsgAudio = 8;
constexpr uint8_t kMsgVideo = 9;
constexpr uint8_t kMsgData = 18;
constexpr uint8_t kMsgCommand = 20;
constexpr uint32_t kDefaultChunkSize = 128;
constexpr uint32_t kMaxChunkSize = 0x7FFFFFFF;
constexpr uint32_t kExtendedTimestamp = 0xFFFFFF;
constexpr uint32_t kMaxBodySize = 0xFFFFFF;
// Caps on what one server may make a load-generator client hold.
constexpr size_t kMaxChannels = 256;
constexpr size_t kMaxKeptBody = 1 << 20;  // bodies of non-media messages kept for decoding

// The header of one chunk: fmt 0..3; `timestamp` is the header's field
// (absolute for fmt 0, delta for 1 and 2), an extended timestamp follows when
// it is 0xFFFFFF or more.
std::vector<uint8_t> ChunkHeader(int fmt, uint32_t channel, uint32_t timestamp = 0, uint32_t bodySize = 0,
                                 uint8_t type = 0, uint32_t streamId = 0);

// Appends one message as chunks of `chunkSize` (a full header, then
// continuation headers that repeat an extended timestamp unless
// repeatExtendedTimestamp is false).
void ChunkWrite(std::vector<uint8_t>& out, uint32_t channel, uint8_t type, uint32_t streamId,
                uint32_t timestamp, std::span<const uint8_t> body, uint32_t chunkSize,
                bool repeatExtendedTimestamp = true);

struct ChunkMessage {
  uint32_t channel = 0;
  uint8_t type = 0;
  uint32_t streamId = 0;
  uint32_t timestamp = 0;  // absolute
  uint32_t size = 0;
  // The body (see ChunkReader::keepMedia and maxBody); for audio and video
  // by default only its first two bytes, enough to tell a marker or a
  // sequence header.
  std::span<const uint8_t> body;
};

class ChunkReader {
 public:
  // Consumes what it can of `data`; calls `onMessage` for every completed
  // message (the view is valid during the call). Returns the bytes consumed
  // (the rest is an incomplete chunk to be offered again with more data), or
  // -1 when the stream is malformed (see error()).
  long Feed(std::span<const uint8_t> data, const std::function<void(const ChunkMessage&)>& onMessage);
  void SetChunkSize(uint32_t size) { chunkSize_ = size; }
  // After Feed stopped at an incomplete chunk: how many more bytes it needs at
  // least to go on (a blocking reader reads no further than that).
  size_t Needed() const { return needed_; }
  const std::string& error() const { return error_; }

  // The load generator keeps two bytes of a media body and refuses larger
  // bodies of other messages; a test client that checks what the server
  // wrote keeps whole bodies of any size the header can carry.
  bool keepMedia = false;
  uint32_t maxBody = kMaxKeptBody;
  // Refuse a continuation chunk whose repeated extended timestamp differs
  // from its header's.
  bool checkRepeatedTimestamp = false;

 private:
  long Refuse(std::string text);
  struct Channel {
    uint32_t timestamp = 0;
    uint32_t delta = 0;       // the last full or compressed header's timestamp field
    uint32_t size = 0;
    uint8_t type = 0;
    uint32_t streamId = 0;
    bool extended = false;
    bool started = false;     // a full header was seen
    uint32_t received = 0;    // of the current message
    std::vector<uint8_t> body;
  };
  uint32_t chunkSize_ = kDefaultChunkSize;
  size_t needed_ = 1;
  std::string error_;
  std::map<uint32_t, Channel> channels_;
};

}  // namespace testclient
