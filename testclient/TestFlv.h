// The FLV source of a test or load-generator publisher: the media tags of a
// file, read once into memory.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "testclient/TestChunks.h"

namespace testclient {

struct FlvTag {
  uint8_t type = 0;
  uint32_t timestamp = 0;
  std::vector<uint8_t> data;
};
// Reads the audio and video tags of an FLV file (its data tags are skipped, a
// cut last tag dropped); empty on failure. `durationMs` gets the last media
// timestamp.
std::vector<FlvTag> FlvReadTags(const std::string& path, uint32_t* durationMs);

// An FLV stream as it arrives (the body of an HTTP-FLV answer): the file
// header, then tag records, each handed on whole as a message (type,
// timestamp, size, body; channel and stream id 0) once all of it is there.
class FlvStreamReader {
 public:
  // Consumes what it can of `data`; returns the bytes used (the rest must be
  // offered again with what follows), -1 when the stream is not FLV or a tag
  // is larger than `maxTag`.
  long Feed(std::span<const uint8_t> data, const std::function<void(const ChunkMessage&)>& onTag);
  size_t maxTag = kMaxBodySize;

 private:
  bool headerSeen_ = false;
};

}  // namespace testclient
