#include "testclient/TestChunks.h"

#include <algorithm>

namespace testclient {

namespace {

uint32_t Be24(const uint8_t* p) { return (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2]; }
uint32_t Be32(const uint8_t* p) { return (uint32_t(p[0]) << 24) | Be24(p + 1); }
void PutBe32(std::vector<uint8_t>& out, uint32_t v) {
  out.insert(out.end(), {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)});
}

}  // namespace

namespace {

void AppendChunkHeader(std::vector<uint8_t>& h, int fmt, uint32_t channel, uint32_t timestamp, uint32_t bodySize,
                       uint8_t type, uint32_t streamId) {
  if (channel >= 320) {
    h.insert(h.end(), {uint8_t(fmt << 6 | 1), uint8_t((channel - 64) & 0xFF), uint8_t((channel - 64) >> 8)});
  } else if (channel >= 64) {
    h.insert(h.end(), {uint8_t(fmt << 6), uint8_t(channel - 64)});
  } else {
    h.push_back(uint8_t(fmt << 6 | channel));
  }
  if (fmt == 3) return;
  const bool extended = timestamp >= kExtendedTimestamp;
  const uint32_t field = extended ? kExtendedTimestamp : timestamp;
  h.insert(h.end(), {uint8_t(field >> 16), uint8_t(field >> 8), uint8_t(field)});
  if (fmt <= 1) h.insert(h.end(), {uint8_t(bodySize >> 16), uint8_t(bodySize >> 8), uint8_t(bodySize), type});
  if (fmt == 0)  // little-endian
    h.insert(h.end(), {uint8_t(streamId), uint8_t(streamId >> 8), uint8_t(streamId >> 16), uint8_t(streamId >> 24)});
  if (extended) PutBe32(h, timestamp);
}

}  // namespace

std::vector<uint8_t> ChunkHeader(int fmt, uint32_t channel, uint32_t timestamp, uint32_t bodySize, uint8_t type,
                                 uint32_t streamId) {
  std::vector<uint8_t> h;
  AppendChunkHeader(h, fmt, channel, timestamp, bodySize, type, streamId);
  return h;
}

void ChunkWrite(std::vector<uint8_t>& out, uint32_t channel, uint8_t type, uint32_t streamId,
                uint32_t timestamp, std::span<const uint8_t> body, uint32_t chunkSize,
                bool repeatExtendedTimestamp) {
  // One allocation for a message into an empty buffer (tests send hundreds of
  // thousands); a buffer that has bytes already grows as vectors do.
  if (out.empty()) {
    const size_t chunks = chunkSize > 0 && body.size() > 0 ? (body.size() - 1) / chunkSize + 1 : 1;
    out.reserve(18 + body.size() + (chunks - 1) * 7);
  }
  AppendChunkHeader(out, 0, channel, timestamp, uint32_t(body.size()), type, streamId);
  size_t sent = 0;
  do {
    const size_t n = std::min<size_t>(chunkSize, body.size() - sent);
    if (sent > 0) {
      AppendChunkHeader(out, 3, channel, 0, 0, 0, 0);
      if (timestamp >= kExtendedTimestamp && repeatExtendedTimestamp) PutBe32(out, timestamp);
    }
    out.insert(out.end(), body.begin() + long(sent), body.begin() + long(sent + n));
    sent += n;
  } while (sent < body.size());
}

long ChunkReader::Refuse(std::string text) {
  error_ = std::move(text);
  return -1;
}

long ChunkReader::Feed(std::span<const uint8_t> data,
                       const std::function<void(const ChunkMessage&)>& onMessage) {
  size_t pos = 0;
  // Stops at an incomplete chunk, noting how much of it is missing.
  auto wait = [&](size_t want, size_t left) {
    needed_ = want - left;
    return long(pos);
  };
  for (;;) {
    const uint8_t* p = data.data() + pos;
    const size_t left = data.size() - pos;
    if (left < 1) return wait(1, left);
    const uint8_t fmt = p[0] >> 6;
    uint32_t id = p[0] & 0x3F;
    size_t h = 1;
    if (id == 0) {
      if (left < 2) return wait(2, left);
      id = 64 + p[1];
      h = 2;
    } else if (id == 1) {
      if (left < 3) return wait(3, left);
      id = 64 + p[1] + (uint32_t(p[2]) << 8);
      h = 3;
    }
    auto found = channels_.find(id);
    if (found == channels_.end()) {
      if (fmt != 0) return Refuse("compressed header on a new chunk stream " + std::to_string(id));
      if (channels_.size() >= kMaxChannels)
        return Refuse("more than " + std::to_string(kMaxChannels) + " chunk streams");
    }
    static const size_t kFieldSizes[4] = {11, 7, 3, 0};
    if (left < h + kFieldSizes[fmt]) return wait(h + kFieldSizes[fmt], left);
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
      if (left < h + 4) return wait(h + 4, left);
      stamp = Be32(p + h);
      h += 4;
    }
    if (fmt != 0 && !current.started)
      return Refuse("compressed header on a new chunk stream " + std::to_string(id));
    if (fmt == 3 && extended && checkRepeatedTimestamp && stamp != current.delta)
      return Refuse("type-3 chunk without the repeated extended timestamp on chunk stream " + std::to_string(id));
    const uint32_t received = fmt == 3 ? current.received : 0;
    if (fmt != 3 && current.received != 0)
      return Refuse("a new header inside a message on chunk stream " + std::to_string(id));
    const bool media = type == kMsgAudio || type == kMsgVideo;
    // Refused as soon as the header says so, not after waiting for the body.
    if (received == 0 && !(media && !keepMedia) && size > maxBody)
      return Refuse("a body of " + std::to_string(size) + " bytes");
    const uint32_t payload = std::min(chunkSize_, size - received);
    if (left < h + payload) return wait(h + payload, left);

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
    const size_t keep = media && !keepMedia
                            ? std::min<size_t>(payload, c.body.size() < 2 ? 2 - c.body.size() : 0)
                            : payload;
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

}  // namespace testclient
