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

long FlvStreamReader::Feed(std::span<const uint8_t> data, const std::function<void(const ChunkMessage&)>& onTag) {
  auto be24 = [](const uint8_t* p) { return (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2]; };
  size_t pos = 0;
  if (!headerSeen_) {
    // "FLV", version, flags, the header's length (9 here, a larger one is
    // skipped over), then the first back pointer.
    if (data.size() < 9) return 0;
    if (memcmp(data.data(), "FLV", 3) != 0) return -1;
    const uint32_t length = uint32_t(data[5]) << 24 | be24(data.data() + 6);
    if (length < 9 || length > 1024) return -1;
    if (data.size() < length + 4) return 0;
    pos = length + 4;
    headerSeen_ = true;
  }
  // Each record: 11 bytes of header, the body, its back pointer.
  while (data.size() - pos >= 11) {
    const uint8_t* t = data.data() + pos;
    const uint32_t size = be24(t + 1);
    if (size > maxTag) return -1;
    if (data.size() - pos < 11 + size_t(size) + 4) break;
    ChunkMessage m;
    m.type = t[0] & 0x1F;
    m.timestamp = be24(t + 4) | uint32_t(t[7]) << 24;
    m.size = size;
    m.body = data.subspan(pos + 11, size);
    pos += 11 + size_t(size) + 4;
    onTag(m);
  }
  return long(pos);
}

}  // namespace testclient
