// The little RTMP the load generator speaks: AMF0 values for the few commands
// it sends and the replies it reads, a chunk writer and an incremental chunk
// reader. Standalone on purpose: the generator must measure any server with
// the same code, whatever happens to strmd's own protocol layer.
//
// Everything here belongs to one client at a time and takes no lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace bench {

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
constexpr size_t kHandshakeSize = 1536;
// Caps on what one server may make a client hold.
constexpr size_t kMaxChannels = 256;
constexpr size_t kMaxKeptBody = 1 << 20;  // bodies of non-media messages kept for decoding

// ---- AMF0 ----

struct AmfValue {
  // A named member; defined below, once AmfValue is complete (a std::pair of
  // the incomplete type does not build with every standard library).
  struct Member;
  enum Kind : uint8_t { kNumber, kBool, kString, kObject, kNull, kUndefined, kArray } kind = kNull;
  double number = 0;
  bool boolean = false;
  std::string text;
  std::vector<Member> props;    // object and array members
  std::vector<AmfValue> items;  // strict array
  // The member `name`, or a null value when there is none.
  const AmfValue& Get(std::string_view name) const;
};
struct AmfValue::Member {
  std::string first;
  AmfValue second;
};

void AmfPutNumber(std::vector<uint8_t>& out, double value);
void AmfPutBool(std::vector<uint8_t>& out, bool value);
void AmfPutString(std::vector<uint8_t>& out, std::string_view value);
void AmfPutNull(std::vector<uint8_t>& out);
void AmfPutObjectStart(std::vector<uint8_t>& out);
void AmfPutKey(std::vector<uint8_t>& out, std::string_view key);
void AmfPutObjectEnd(std::vector<uint8_t>& out);

// Decodes the values of a command or data body. False when the body is
// malformed or nests deeper than a reply ever does.
bool AmfDecode(std::span<const uint8_t> body, std::vector<AmfValue>* values);

// ---- chunk stream ----

// Appends one message as chunks of `chunkSize` (a full header, then
// continuation headers).
void ChunkWrite(std::vector<uint8_t>& out, uint32_t channel, uint8_t type, uint32_t streamId,
                uint32_t timestamp, std::span<const uint8_t> body, uint32_t chunkSize);

struct ChunkMessage {
  uint32_t channel = 0;
  uint8_t type = 0;
  uint32_t streamId = 0;
  uint32_t timestamp = 0;  // absolute
  uint32_t size = 0;
  // The body for non-media messages (up to kMaxKeptBody); for audio and video
  // only its first two bytes, enough to tell a marker or a sequence header.
  std::span<const uint8_t> body;
};

class ChunkReader {
 public:
  // Consumes what it can of `data`; calls `onMessage` for every completed
  // message (the view is valid during the call). Returns the bytes consumed
  // (the rest is an incomplete chunk to be offered again with more data), or
  // -1 when the stream is malformed.
  long Feed(std::span<const uint8_t> data, const std::function<void(const ChunkMessage&)>& onMessage);
  void SetChunkSize(uint32_t size) { chunkSize_ = size; }

 private:
  struct Channel {
    uint32_t timestamp = 0;
    uint32_t delta = 0;
    uint32_t size = 0;
    uint8_t type = 0;
    uint32_t streamId = 0;
    bool extended = false;
    bool started = false;     // a full header was seen
    uint32_t received = 0;    // of the current message
    std::vector<uint8_t> body;
  };
  uint32_t chunkSize_ = kDefaultChunkSize;
  std::map<uint32_t, Channel> channels_;
};

// ---- FLV source of a publisher ----

struct FlvTag {
  uint8_t type = 0;
  uint32_t timestamp = 0;
  std::vector<uint8_t> data;
};
// Reads the audio, video and data tags of an FLV file; empty on failure.
std::vector<FlvTag> FlvReadTags(const std::string& path, uint32_t* durationMs);

}  // namespace bench
