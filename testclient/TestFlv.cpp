#include "testclient/TestFlv.h"

#include <algorithm>
#include <cstring>
#include <fstream>

#include "testclient/TestChunks.h"

namespace testclient {

std::vector<FlvTag> FlvReadTags(const std::string& path, uint32_t* durationMs) {
  auto be24 = [](const uint8_t* p) { return (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2]; };
  std::vector<FlvTag> tags;
  std::ifstream in(path, std::ios::binary);
  uint8_t header[13];
  if (!in.read(reinterpret_cast<char*>(header), sizeof header) || memcmp(header, "FLV", 3) != 0) return {};
  uint32_t last = 0;
  for (;;) {
    uint8_t t[11];
    if (!in.read(reinterpret_cast<char*>(t), sizeof t)) break;
    FlvTag tag;
    tag.type = t[0];
    const uint32_t size = be24(t + 1);
    tag.timestamp = be24(t + 4) | uint32_t(t[7]) << 24;
    tag.data.resize(size);
    if (!in.read(reinterpret_cast<char*>(tag.data.data()), size)) break;
    uint8_t back[4];
    if (!in.read(reinterpret_cast<char*>(back), sizeof back)) break;
    if (tag.type == kMsgAudio || tag.type == kMsgVideo) {
      last = std::max(last, tag.timestamp);
      tags.push_back(std::move(tag));
    }
  }
  if (durationMs != nullptr) *durationMs = last;
  return tags;
}

}  // namespace testclient
