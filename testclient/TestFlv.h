// The FLV source of a test or load-generator publisher: the media tags of a
// file, read once into memory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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

}  // namespace testclient
