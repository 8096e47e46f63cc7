#include "rtmp/RtmpCore.h"

#include <cstring>

#include "rtmp/RtmpUtils.h"
#include "server/Log.h"

namespace {

uint32_t GetBe24(const uint8_t* p) { return (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2]; }
uint32_t GetBe32(const uint8_t* p) { return (uint32_t{p[0]} << 24) | GetBe24(p + 1); }
uint32_t GetLe32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
void PutBe24(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 16);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v);
}
void PutBe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  PutBe24(p + 1, v);
}
void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Extra basic-header bytes for a chunk stream id: ids 2..63 fit in the first
// byte, 64..319 take one more, larger ids two.
size_t BasicExtra(uint32_t channel) { return channel >= 320 ? 2 : channel >= 64 ? 1 : 0; }

// Writes the basic header of `type` for `channel`; returns its length.
size_t PutBasicHeader(uint8_t* p, uint8_t type, uint32_t channel) {
  size_t extra = BasicExtra(channel);
  uint8_t low = extra == 2 ? 1 : extra == 1 ? 0 : static_cast<uint8_t>(channel);
  p[0] = static_cast<uint8_t>(type << 6) | low;
  if (extra >= 1) p[1] = static_cast<uint8_t>(channel - 64);
  if (extra == 2) p[2] = static_cast<uint8_t>((channel - 64) >> 8);
  return 1 + extra;
}

void FreeChannels(std::map<uint32_t, std::unique_ptr<RtmpChannel>>& table) {
  for (auto& [id, slot] : table) RtmpPacketFree(&slot->header);
  table.clear();
}

// Input the connection cannot accept: say who sent it and end the connection.
int RefuseInput(RtmpContext* r, const char* why) {
  ProtocolLog(LOG_ERROR, "%s, %s from %s", "RTMP_ReadPacket", why, r->address[0] ? r->address : "peer");
  RtmpShutdown(r);
  return 0;
}

}  // namespace

int RtmpContextInit(RtmpContext* r, int socket) {
  r->tcUrl = r->swfUrl = r->pageUrl = r->app = r->flashVer = {};
  r->audioCodecs = 3191;
  r->videoCodecs = 252;
  r->objectEncoding = 0;
  r->inChunkSize = kRtmpDefaultChunkSize;
  r->outChunkSize = kRtmpDefaultChunkSize;
  FreeChannels(r->channelsIn);
  FreeChannels(r->channelsOut);
  r->partialBytes = 0;
  r->sockbuf.size = 0;
  r->sockbuf.start = 0;
  r->sockbuf.timedout = 0;
  r->sockbuf.socket = socket;
  return SocketBufferOpen(&r->sockbuf);
}

void RtmpContextFree(RtmpContext* r) {
  FreeChannels(r->channelsIn);
  r->partialBytes = 0;
  std::lock_guard<std::recursive_mutex> lock(r->sendLock);
  FreeChannels(r->channelsOut);
}

int RTMP_ReadPacket(RtmpContext* r, RtmpPacket* packet) {
  RtmpPacketFree(packet);
  uint8_t header[kRtmpMaxHeaderSize];
  if (!RtmpReadBytes(r, header, 1)) return 0;
  const uint8_t first = header[0];
  const uint8_t type = first >> 6;
  uint32_t channel = first & 0x3f;
  if (channel <= 1) {
    uint8_t id[2] = {0, 0};
    if (!RtmpReadBytes(r, id, channel == 0 ? 1 : 2)) {
      ProtocolLog(LOG_ERROR, "%s, failed to read RTMP packet header. type: %x", "RTMP_ReadPacket", first);
      return 0;
    }
    channel = 64 + id[0] + 256u * id[1];
  }
  const size_t n = kRtmpHeaderSizes[type];

  auto found = r->channelsIn.find(channel);
  RtmpChannel* slot = found == r->channelsIn.end() ? nullptr : found->second.get();
  // A compressed header refers to the previous one on its channel; without
  // one there is nothing to take the missing fields from.
  if (!slot && type != 0) return RefuseInput(r, "compressed chunk header on a new chunk stream");
  RtmpPacket h = slot ? slot->header : RtmpPacket{};
  if (type != 3) h.m_bAbsTimestamp = type == 0;

  if (n > 1 && !RtmpReadBytes(r, header + 1, n - 1)) {
    ProtocolLog(LOG_ERROR, "%s, failed to read RTMP packet header. type: %x", "RTMP_ReadPacket", first);
    return 0;
  }
  const uint8_t* p = header + 1;
  if (n >= 4) h.m_nTimestamp = GetBe24(p);
  if (n >= 8) {
    // A new message begins; whatever was left unfinished on this channel is dropped.
    if (slot && slot->header.m_body) {
      r->partialBytes -= slot->header.m_nBodySize;
      RtmpPacketFree(&slot->header);
    }
    h.m_body = nullptr;
    h.m_nBytesRead = 0;
    h.m_nBodySize = GetBe24(p + 3);
    h.m_nMessageType = p[6];
  }
  if (n == 12) h.m_nStreamId = static_cast<int32_t>(GetLe32(p + 7));
  if (n > 1 && h.m_nTimestamp == kRtmpExtendedTimestamp) {
    uint8_t ext[4];
    if (!RtmpReadBytes(r, ext, 4)) {
      ProtocolLog(LOG_ERROR, "%s, failed to read extended timestamp", "RTMP_ReadPacket");
      return 0;
    }
    h.m_nTimestamp = GetBe32(ext);
  }

  if (!slot) {
    if (r->channelsIn.size() >= kRtmpMaxInChannels) return RefuseInput(r, "too many chunk streams");
    auto created = std::make_unique<RtmpChannel>();
    slot = created.get();
    r->channelsIn.emplace(channel, std::move(created));
  }

  if (h.m_nBodySize != 0 && !h.m_body) {
    if (r->partialBytes + h.m_nBodySize > kRtmpMaxPartialBytes)
      return RefuseInput(r, "too much unfinished input");
    if (!RtmpPacketAlloc(&h, h.m_nBodySize)) {
      REPORT_ASSERT("RtmpPacketAlloc(packet, packet->m_nBodySize)", "RtmpCore");
      ProtocolLog(LOG_ERROR, "%s, failed to allocate packet", "RTMP_ReadPacket");
      return 0;
    }
    r->partialBytes += h.m_nBodySize;
  }
  h.m_nHeaderType = type;
  h.m_nChannel = static_cast<int32_t>(channel);
  slot->header = h;  // the slot owns the body until the message is complete

  uint32_t left = h.m_nBodySize - h.m_nBytesRead;
  uint32_t want = left < static_cast<uint32_t>(r->inChunkSize) ? left : static_cast<uint32_t>(r->inChunkSize);
  if (want && !RtmpReadBytes(r, h.m_body + h.m_nBytesRead, want)) {
    ProtocolLog(LOG_ERROR, "%s, failed to read RTMP packet body. len: %lu", "RTMP_ReadPacket",
                static_cast<unsigned long>(h.m_nBodySize));
    return 0;
  }
  h.m_nBytesRead += want;
  slot->header.m_nBytesRead = h.m_nBytesRead;

  *packet = h;
  if (h.m_nBytesRead == h.m_nBodySize) {
    uint32_t timestamp = h.m_nTimestamp;
    if (!h.m_bAbsTimestamp) timestamp += slot->timestamp;
    slot->timestamp = timestamp;
    packet->m_nTimestamp = timestamp;
    if (h.m_body) r->partialBytes -= h.m_nBodySize;
    slot->header.m_body = nullptr;
    slot->header.m_nBytesRead = 0;
    slot->header.m_bAbsTimestamp = 0;
  } else {
    packet->m_body = nullptr;
  }
  return 1;
}

int RtmpWriteMessage(RtmpContext* r, RtmpPacket* packet) {
  std::lock_guard<std::recursive_mutex> lock(r->sendLock);
  const uint8_t type = packet->m_nHeaderType;
  if (type > 3) {
    ProtocolLog(LOG_ERROR, "sanity failed!! trying to send header of type: 0x%02x.", type);
    return 0;
  }
  if (packet->m_nChannel < 2 || static_cast<uint32_t>(packet->m_nChannel) > kRtmpMaxChannelId) {
    REPORT_ASSERT("packet->m_nChannel >= 2 && packet->m_nChannel <= kRtmpMaxChannelId", "RtmpCore");
    return 0;
  }
  if (packet->m_nBodySize > kRtmpMaxBodySize || (packet->m_nBodySize && !packet->m_body)) {
    REPORT_ASSERT("packet->m_nBodySize <= kRtmpMaxBodySize && packet->m_body", "RtmpCore");
    return 0;
  }
  const uint32_t channel = static_cast<uint32_t>(packet->m_nChannel);
  RtmpChannel* slot = RtmpChannelOut(r, channel);
  if (!slot) return 0;

  const uint32_t last = type != 0 ? slot->header.m_nTimestamp : 0;
  const uint32_t delta = packet->m_nTimestamp - last;
  const size_t n = kRtmpHeaderSizes[type];
  const bool extended = n > 1 && delta >= kRtmpExtendedTimestamp;
  const size_t headerSize = n + BasicExtra(channel) + (extended ? 4 : 0);

  uint8_t local[kRtmpMaxHeaderSize];
  uint8_t* header = (packet->m_body ? packet->m_body : local + kRtmpMaxHeaderSize) - headerSize;
  uint8_t* p = header + PutBasicHeader(header, type, channel);
  if (n > 1) {
    PutBe24(p, extended ? kRtmpExtendedTimestamp : delta);
    p += 3;
  }
  if (n > 4) {
    PutBe24(p, packet->m_nBodySize);
    p[3] = packet->m_nMessageType;
    p += 4;
  }
  if (n > 8) {
    PutLe32(p, static_cast<uint32_t>(packet->m_nStreamId));
    p += 4;
  }
  if (extended) PutBe32(p, delta);

  const uint32_t chunkSize = static_cast<uint32_t>(r->outChunkSize);
  const uint32_t size = packet->m_nBodySize;
  uint32_t offset = size < chunkSize ? size : chunkSize;
  bool ok = SocketBufferWrite(&r->sockbuf, header, headerSize + offset) == 1;
  while (ok && offset < size) {
    uint32_t chunk = size - offset < chunkSize ? size - offset : chunkSize;
    // The continuation header goes over body bytes that were already sent
    // (or over the spare bytes, for a chunk size shorter than the header).
    uint8_t* continuation = packet->m_body + offset - (1 + BasicExtra(channel));
    PutBasicHeader(continuation, 3, channel);
    ok = SocketBufferWrite(&r->sockbuf, continuation, 1 + BasicExtra(channel) + chunk) == 1;
    offset += chunk;
  }
  if (!ok) {
    ProtocolLog(LOG_ERROR, "%s, sending to %s failed", "RtmpWriteMessage", r->address[0] ? r->address : "peer");
    SocketBufferClose(&r->sockbuf);
    return 0;
  }
  slot->header = *packet;
  slot->header.m_body = nullptr;
  slot->header.m_nBytesRead = 0;
  return 1;
}

bool RtmpChunkSizeValid(uint32_t size) { return size >= 1 && size <= kRtmpMaxChunkSize; }

bool RtmpSetChunkSize(RtmpContext* r, uint32_t size) {
  if (!RtmpChunkSizeValid(size)) {
    ProtocolLog(LOG_ERROR, "%s, invalid chunk size %u from %s", "RtmpSetChunkSize", size,
                r->address[0] ? r->address : "peer");
    return false;
  }
  r->inChunkSize = static_cast<int32_t>(size);
  std::lock_guard<std::recursive_mutex> lock(r->sendLock);
  r->outChunkSize = static_cast<int32_t>(size);
  return true;
}

RtmpChannel* RtmpChannelOut(RtmpContext* r, uint32_t id) {
  if (id < 2 || id > kRtmpMaxChannelId) return nullptr;
  auto& slot = r->channelsOut[id];
  if (!slot) slot = std::make_unique<RtmpChannel>();
  return slot.get();
}

int RtmpFlushOutput(RtmpContext* r) {
  std::lock_guard<std::recursive_mutex> lock(r->sendLock);
  if (SocketBufferFlush(&r->sockbuf)) return 1;
  ProtocolLog(LOG_ERROR, "%s, sending to %s failed", "RtmpFlushOutput", r->address[0] ? r->address : "peer");
  SocketBufferClose(&r->sockbuf);
  return 0;
}

bool RtmpOutputPending(const RtmpContext* r) { return SocketBufferHasOutput(&r->sockbuf); }

int RtmpSocketFd(const RtmpContext* r) { return r->sockbuf.socket.load(); }
