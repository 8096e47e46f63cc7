#include "FlvBuilder.h"

#include <fstream>
#include <iterator>

namespace {

void Put24(std::vector<uint8_t>* b, uint32_t v) {
  b->push_back(uint8_t(v >> 16));
  b->push_back(uint8_t(v >> 8));
  b->push_back(uint8_t(v));
}

void Put32(std::vector<uint8_t>* b, uint32_t v) {
  b->push_back(uint8_t(v >> 24));
  Put24(b, v);
}

uint32_t Get24(const uint8_t* p) { return (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2]; }
uint32_t Get32(const uint8_t* p) { return (uint32_t{p[0]} << 24) | Get24(p + 1); }

}  // namespace

FlvBuilder::FlvBuilder(uint8_t flags) {
  bytes_ = {'F', 'L', 'V', 1, flags, 0, 0, 0, 9};
}

FlvBuilder& FlvBuilder::Audio(uint32_t ts, uint32_t size, uint8_t mark) {
  return Tag(8, ts, size, 0xAF, mark);
}

FlvBuilder& FlvBuilder::Video(uint32_t ts, uint32_t size, bool key, uint8_t mark) {
  return Tag(9, ts, size, key ? 0x17 : 0x27, mark);
}

FlvBuilder& FlvBuilder::Script(uint32_t ts, uint32_t size) { return Tag(18, ts, size, 0x02, 0); }

FlvBuilder& FlvBuilder::Tag(uint8_t type, uint32_t ts, uint32_t size, uint8_t first, uint8_t mark) {
  offsets_.push_back(bytes_.size());
  Put32(&bytes_, lastRecord_);
  bytes_.push_back(type);
  Put24(&bytes_, size);
  Put24(&bytes_, ts);
  bytes_.push_back(uint8_t(ts >> 24));
  Put24(&bytes_, 0);
  for (uint32_t i = 0; i < size; ++i)
    bytes_.push_back(i == 0 ? first : i == 1 ? mark : uint8_t(i * 7 + ts));
  lastRecord_ = size + 11;
  return *this;
}

FlvBuilder& FlvBuilder::Raw(uint8_t type, uint32_t ts, std::span<const uint8_t> data) {
  offsets_.push_back(bytes_.size());
  Put32(&bytes_, lastRecord_);
  bytes_.push_back(type);
  Put24(&bytes_, uint32_t(data.size()));
  Put24(&bytes_, ts);
  bytes_.push_back(uint8_t(ts >> 24));
  Put24(&bytes_, 0);
  bytes_.insert(bytes_.end(), data.begin(), data.end());
  lastRecord_ = uint32_t(data.size()) + 11;
  return *this;
}

FlvBuilder& FlvBuilder::CutTag(uint8_t type, uint32_t ts, uint32_t claimed, uint32_t present) {
  offsets_.push_back(bytes_.size());
  Put32(&bytes_, lastRecord_);
  bytes_.push_back(type);
  Put24(&bytes_, claimed);
  Put24(&bytes_, ts);
  bytes_.push_back(uint8_t(ts >> 24));
  Put24(&bytes_, 0);
  bytes_.insert(bytes_.end(), present, 0x55);
  cut_ = true;
  return *this;
}

FlvBuilder& FlvBuilder::Clip(uint32_t durationMs, uint8_t mark, uint32_t stepMs) {
  for (uint32_t t = 0; t <= durationMs; t += stepMs) {
    Video(t, 20 + t % 13, t % 2000 == 0, mark);
    Audio(t, 10, mark);
  }
  return *this;
}

std::vector<uint8_t> FlvBuilder::Bytes() const {
  std::vector<uint8_t> out = bytes_;
  if (!cut_) Put32(&out, lastRecord_);
  return out;
}

bool FlvBuilder::WriteTo(const std::string& path) const { return WriteWholeFile(path, Bytes()); }

bool ReadFlvForTest(const std::string& path, FlvTestFile* out) {
  *out = FlvTestFile{};
  const std::vector<uint8_t> b = ReadWholeFile(path);
  if (b.size() < 13) return false;
  std::copy(b.begin(), b.begin() + 9, out->header);
  size_t pos = 9;
  for (;;) {
    if (b.size() - pos < 4) return false;
    if (b.size() - pos == 4) {
      out->finalBackPointer = Get32(&b[pos]);
      return true;
    }
    if (b.size() - pos < 15) return false;
    FlvTestTag t;
    t.offset = pos;
    t.backPointer = Get32(&b[pos]);
    t.type = b[pos + 4];
    t.dataSize = Get24(&b[pos + 5]);
    t.timestamp = Get24(&b[pos + 8]) | (uint32_t{b[pos + 11]} << 24);
    t.streamId = Get24(&b[pos + 12]);
    pos += 15;
    if (b.size() - pos < t.dataSize) return false;
    t.data.assign(b.begin() + long(pos), b.begin() + long(pos + t.dataSize));
    pos += t.dataSize;
    out->tags.push_back(std::move(t));
  }
}

std::vector<uint8_t> ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool WriteWholeFile(const std::string& path, std::span<const uint8_t> bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  return bool(out);
}
