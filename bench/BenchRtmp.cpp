#include "bench/BenchRtmp.h"

#include <cstdio>
#include <cstring>
#include <fstream>

namespace bench {

namespace {

constexpr int kMaxAmfDepth = 8;

uint32_t Be24(const uint8_t* p) { return (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2]; }
uint32_t Be32(const uint8_t* p) { return (uint32_t(p[0]) << 24) | Be24(p + 1); }
void PutBe24(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(uint8_t(v >> 16));
  out.push_back(uint8_t(v >> 8));
  out.push_back(uint8_t(v));
}
void PutBe32(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(uint8_t(v >> 24));
  PutBe24(out, v);
}
void PutBasicHeader(std::vector<uint8_t>& out, uint8_t fmt, uint32_t channel) {
  if (channel < 64) {
    out.push_back(uint8_t(fmt << 6 | channel));
  } else if (channel < 320) {
    out.push_back(uint8_t(fmt << 6));
    out.push_back(uint8_t(channel - 64));
  } else {
    out.push_back(uint8_t(fmt << 6 | 1));
    out.push_back(uint8_t((channel - 64) & 0xFF));
    out.push_back(uint8_t((channel - 64) >> 8));
  }
}

// Reads one value at `*pos`; false when it does not fit `body` or is of a
// kind replies never carry.
bool DecodeValue(std::span<const uint8_t> body, size_t* pos, AmfValue* value, int depth);

bool DecodeName(std::span<const uint8_t> body, size_t* pos, std::string* name) {
  if (body.size() - *pos < 2) return false;
  const size_t length = (size_t(body[*pos]) << 8) | body[*pos + 1];
  *pos += 2;
  if (body.size() - *pos < length) return false;
  name->assign(reinterpret_cast<const char*>(body.data() + *pos), length);
  *pos += length;
  return true;
}

bool DecodeMembers(std::span<const uint8_t> body, size_t* pos, AmfValue* value, int depth) {
  for (;;) {
    std::string name;
    if (!DecodeName(body, pos, &name)) return false;
    if (name.empty()) {
      if (*pos >= body.size() || body[*pos] != 0x09) return false;
      ++*pos;
      return true;
    }
    AmfValue member;
    if (!DecodeValue(body, pos, &member, depth + 1)) return false;
    value->props.push_back({std::move(name), std::move(member)});
  }
}

bool DecodeValue(std::span<const uint8_t> body, size_t* pos, AmfValue* value, int depth) {
  if (depth > kMaxAmfDepth || *pos >= body.size()) return false;
  const uint8_t marker = body[(*pos)++];
  const size_t left = body.size() - *pos;
  switch (marker) {
    case 0x00: {
      if (left < 8) return false;
      uint64_t bits = 0;
      for (int i = 0; i < 8; ++i) bits = bits << 8 | body[*pos + i];
      memcpy(&value->number, &bits, sizeof bits);
      value->kind = AmfValue::kNumber;
      *pos += 8;
      return true;
    }
    case 0x01:
      if (left < 1) return false;
      value->kind = AmfValue::kBool;
      value->boolean = body[(*pos)++] != 0;
      return true;
    case 0x02:
      value->kind = AmfValue::kString;
      return DecodeName(body, pos, &value->text);
    case 0x0C: {
      if (left < 4) return false;
      const uint32_t length = Be32(body.data() + *pos);
      *pos += 4;
      if (body.size() - *pos < length) return false;
      value->kind = AmfValue::kString;
      value->text.assign(reinterpret_cast<const char*>(body.data() + *pos), length);
      *pos += length;
      return true;
    }
    case 0x03:
      value->kind = AmfValue::kObject;
      return DecodeMembers(body, pos, value, depth);
    case 0x08:
      if (left < 4) return false;
      *pos += 4;  // the count is a hint; the members end with the end marker
      value->kind = AmfValue::kArray;
      return DecodeMembers(body, pos, value, depth);
    case 0x0A: {
      if (left < 4) return false;
      const uint32_t count = Be32(body.data() + *pos);
      *pos += 4;
      // Every item takes at least one byte: a larger count is a lie.
      if (count > body.size() - *pos) return false;
      value->kind = AmfValue::kArray;
      for (uint32_t i = 0; i < count; ++i) {
        AmfValue item;
        if (!DecodeValue(body, pos, &item, depth + 1)) return false;
        value->items.push_back(std::move(item));
      }
      return true;
    }
    case 0x05:
      value->kind = AmfValue::kNull;
      return true;
    case 0x06:
      value->kind = AmfValue::kUndefined;
      return true;
    case 0x0B:
      if (left < 10) return false;
      value->kind = AmfValue::kNumber;
      *pos += 10;
      return true;
    default:
      return false;
  }
}

}  // namespace

const AmfValue& AmfValue::Get(std::string_view name) const {
  static const AmfValue kNone;
  for (const auto& [key, member] : props)
    if (key == name) return member;
  return kNone;
}

void AmfPutNumber(std::vector<uint8_t>& out, double value) {
  uint64_t bits = 0;
  memcpy(&bits, &value, sizeof bits);
  out.push_back(0x00);
  for (int i = 7; i >= 0; --i) out.push_back(uint8_t(bits >> (8 * i)));
}

void AmfPutBool(std::vector<uint8_t>& out, bool value) {
  out.push_back(0x01);
  out.push_back(value ? 1 : 0);
}

void AmfPutString(std::vector<uint8_t>& out, std::string_view value) {
  out.push_back(0x02);
  AmfPutKey(out, value);
}

void AmfPutNull(std::vector<uint8_t>& out) { out.push_back(0x05); }
void AmfPutObjectStart(std::vector<uint8_t>& out) { out.push_back(0x03); }

void AmfPutKey(std::vector<uint8_t>& out, std::string_view key) {
  const size_t length = key.size() > 0xFFFF ? 0xFFFF : key.size();
  out.push_back(uint8_t(length >> 8));
  out.push_back(uint8_t(length));
  out.insert(out.end(), key.begin(), key.begin() + long(length));
}

void AmfPutObjectEnd(std::vector<uint8_t>& out) {
  out.push_back(0);
  out.push_back(0);
  out.push_back(0x09);
}

bool AmfDecode(std::span<const uint8_t> body, std::vector<AmfValue>* values) {
  size_t pos = 0;
  while (pos < body.size()) {
    AmfValue value;
    if (!DecodeValue(body, &pos, &value, 0)) return false;
    values->push_back(std::move(value));
  }
  return true;
}

void ChunkWrite(std::vector<uint8_t>& out, uint32_t channel, uint8_t type, uint32_t streamId,
                uint32_t timestamp, std::span<const uint8_t> body, uint32_t chunkSize) {
  const bool extended = timestamp >= kExtendedTimestamp;
  PutBasicHeader(out, 0, channel);
  PutBe24(out, extended ? kExtendedTimestamp : timestamp);
  PutBe24(out, uint32_t(body.size()));
  out.push_back(type);
  for (int i = 0; i < 4; ++i) out.push_back(uint8_t(streamId >> (8 * i)));  // little-endian
  if (extended) PutBe32(out, timestamp);
  size_t sent = 0;
  do {
    const size_t n = std::min<size_t>(chunkSize, body.size() - sent);
    if (sent > 0) {
      PutBasicHeader(out, 3, channel);
      if (extended) PutBe32(out, timestamp);
    }
    out.insert(out.end(), body.begin() + long(sent), body.begin() + long(sent + n));
    sent += n;
  } while (sent < body.size());
}

long ChunkReader::Feed(std::span<const uint8_t> data,
                       const std::function<void(const ChunkMessage&)>& onMessage) {
  size_t pos = 0;
  for (;;) {
    const uint8_t* p = data.data() + pos;
    const size_t left = data.size() - pos;
    if (left < 1) return long(pos);
    const uint8_t fmt = p[0] >> 6;
    uint32_t id = p[0] & 0x3F;
    size_t h = 1;
    if (id == 0) {
      if (left < 2) return long(pos);
      id = 64 + p[1];
      h = 2;
    } else if (id == 1) {
      if (left < 3) return long(pos);
      id = 64 + p[1] + (uint32_t(p[2]) << 8);
      h = 3;
    }
    auto found = channels_.find(id);
    if (found == channels_.end()) {
      if (fmt != 0 || channels_.size() >= kMaxChannels) return -1;
    }
    static const size_t kFieldSizes[4] = {11, 7, 3, 0};
    if (left < h + kFieldSizes[fmt]) return long(pos);
    Channel next;
    Channel& current = found != channels_.end() ? found->second : next;
    uint32_t field = current.extended ? kExtendedTimestamp : 0;
    uint32_t size = current.size, streamId = current.streamId;
    uint8_t type = current.type;
    if (fmt <= 2) field = Be24(p + h);
    if (fmt <= 1) {
      size = Be24(p + h + 3);
      type = p[h + 6];
    }
    if (fmt == 0) streamId = uint32_t(p[h + 7]) | uint32_t(p[h + 8]) << 8 | uint32_t(p[h + 9]) << 16 |
                             uint32_t(p[h + 10]) << 24;
    h += kFieldSizes[fmt];
    const bool extended = fmt == 3 ? current.extended : field == kExtendedTimestamp;
    uint32_t stamp = field;
    if (extended) {
      if (left < h + 4) return long(pos);
      stamp = Be32(p + h);
      h += 4;
    }
    if (fmt != 0 && !current.started) return -1;
    const uint32_t received = fmt == 3 ? current.received : 0;
    if (fmt != 3 && current.received != 0) return -1;  // a new header inside a message
    // Refused as soon as the header says so, not after waiting for the body.
    if (received == 0 && type != kMsgAudio && type != kMsgVideo && size > kMaxKeptBody) return -1;
    const uint32_t payload = std::min(chunkSize_, size - received);
    if (left < h + payload) return long(pos);

    // The whole chunk is here: commit.
    Channel& c = found != channels_.end() ? found->second : channels_[id];
    if (received == 0) {
      if (fmt == 0) {
        c.timestamp = stamp;
        c.delta = stamp;
      } else if (fmt == 3) {
        c.timestamp += c.delta;
      } else {
        c.delta = stamp;
        c.timestamp += stamp;
      }
      c.size = size;
      c.type = type;
      c.streamId = streamId;
      c.extended = extended;
      c.started = true;
      c.body.clear();
    }
    const bool media = c.type == kMsgAudio || c.type == kMsgVideo;
    const size_t keep = media ? std::min<size_t>(payload, c.body.size() < 2 ? 2 - c.body.size() : 0) : payload;
    c.body.insert(c.body.end(), p + h, p + h + keep);
    c.received = received + payload;
    pos += h + payload;
    if (c.received == c.size) {
      c.received = 0;
      ChunkMessage m;
      m.channel = id;
      m.type = c.type;
      m.streamId = c.streamId;
      m.timestamp = c.timestamp;
      m.size = c.size;
      m.body = c.body;
      onMessage(m);
    }
  }
}

std::vector<FlvTag> FlvReadTags(const std::string& path, uint32_t* durationMs) {
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
    const uint32_t size = Be24(t + 1);
    tag.timestamp = Be24(t + 4) | uint32_t(t[7]) << 24;
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

}  // namespace bench
