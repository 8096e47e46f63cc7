#include "rtmp/RtmpCore.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <vector>

#include "util/ByteOrder.h"
#include "util/Log.h"
#include "util/ThreadSafety.h"

namespace {

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

std::atomic<uint64_t> g_serverPartialBytes{0};
std::atomic<uint64_t> g_serverPartialLimit{kRtmpDefaultServerPartialBytes};

// The header fields of a packet, without its body: what a channel slot keeps.
RtmpPacket HeaderOnly(const RtmpPacket& packet) {
  RtmpPacket h = packet;
  h.m_body = nullptr;
  h.m_block.reset();
  h.m_nBytesRead = 0;
  return h;
}

// Drops the partial body a slot holds, with its share of the caps.
void DropPartial(RtmpContext* r, RtmpChannel* slot) {
  if (!slot->header.m_block) return;
  r->partialBytes -= slot->header.m_nBodySize;
  g_serverPartialBytes.fetch_sub(slot->header.m_nBodySize, std::memory_order_relaxed);
  RtmpPacketFree(&slot->header);
  slot->capacity = 0;
}

// Makes room in the slot's partial body for `needed` bytes, growing it
// geometrically so that copies stay linear in the message size; the block
// never exceeds the announced size, so a complete body is allocated exactly.
bool ReserveBody(RtmpChannel* slot, uint32_t needed) {
  RtmpPacket& h = slot->header;
  if (needed <= slot->capacity && h.m_block) return true;
  const uint64_t factor = uint64_t{slot->capacity} * kRtmpBodyGrowthFactor;
  uint32_t grown = static_cast<uint32_t>(std::min<uint64_t>(
      std::max<uint64_t>({needed, factor, std::min(h.m_nBodySize, kRtmpBodyFirstReserve)}), h.m_nBodySize));
  SharedBody block = RtmpBodyAlloc(grown);
  if (!block) return false;
  if (h.m_nBytesRead) std::memcpy(block.get(), h.m_body, h.m_nBytesRead);
  h.m_body = block.get();
  h.m_block = std::move(block);
  slot->capacity = grown;
  return true;
}

// Input the connection cannot accept: say who sent it and end the connection.
int RefuseInput(RtmpContext* r, const char* why);

// Reports the allocation failure as the reader always has and ends the
// connection.
int AllocationFailed(RtmpContext* r) {
  REPORT_ASSERT("RtmpPacketAlloc(packet, packet->m_nBodySize)", "RtmpCore");
  ProtocolLog(LOG_ERROR, "%s, failed to allocate packet", "RTMP_ReadPacket");
  RtmpShutdown(r);
  return kRtmpReadFailed;
}

void FreeChannelsIn(RtmpContext* r) {
  for (auto& [id, slot] : r->channelsIn) DropPartial(r, slot.get());
  r->channelsIn.clear();
  r->partialBytes = 0;
  r->inChunkLeft = 0;
}

int RefuseInput(RtmpContext* r, const char* why) {
  ProtocolLog(LOG_ERROR, "%s, %s from %s", "RTMP_ReadPacket", why, r->address[0] ? r->address : "peer");
  RtmpShutdown(r);
  return kRtmpReadFailed;
}

// Copies what the buffer holds of the current chunk's body; kRtmpReadChunk
// once the chunk is complete.
int ReadChunkBody(RtmpContext* r, RtmpPacket* packet) {
  SocketBuffer& in = r->sockbuf;
  RtmpChannel* slot = r->channelsIn[r->inChunkChannel].get();
  RtmpPacket& h = slot->header;
  uint32_t take = r->inChunkLeft < static_cast<uint32_t>(in.size) ? r->inChunkLeft : static_cast<uint32_t>(in.size);
  if (take) {
    if (!ReserveBody(slot, h.m_nBytesRead + take)) return AllocationFailed(r);
    std::memcpy(h.m_body + h.m_nBytesRead, in.buf + in.start, take);
    in.start += take;
    in.size -= static_cast<int32_t>(take);
    h.m_nBytesRead += take;
    r->inChunkLeft -= take;
  }
  if (r->inChunkLeft > 0) return kRtmpReadNeedMore;

  *packet = h;
  if (h.m_nBytesRead == h.m_nBodySize) {
    uint32_t timestamp = h.m_nTimestamp;
    if (!h.m_bAbsTimestamp) timestamp += slot->timestamp;
    slot->timestamp = timestamp;
    packet->m_nTimestamp = timestamp;
    if (h.m_block) {
      r->partialBytes -= h.m_nBodySize;
      g_serverPartialBytes.fetch_sub(h.m_nBodySize, std::memory_order_relaxed);
    }
    // The caller owns the body now.
    uint32_t bytesRead = h.m_nBytesRead;
    slot->header = HeaderOnly(h);
    slot->capacity = 0;
    slot->header.m_bAbsTimestamp = 0;
    packet->m_nBytesRead = bytesRead;
  } else {
    packet->m_body = nullptr;
    packet->m_block.reset();
  }
  return kRtmpReadChunk;
}

}  // namespace

uint32_t RtmpMessageSizeCap(uint8_t type) {
  switch (type) {
    case kRtmpMsgSetChunkSize:
    case kRtmpMsgAbort:
    case kRtmpMsgAcknowledgement:
    case kRtmpMsgUserControl:
    case kRtmpMsgWindowAckSize:
    case kRtmpMsgPeerBandwidth:
      return kRtmpMaxControlMessage;
    case kRtmpMsgCommandAmf3:
    case kRtmpMsgCommandAmf0:
      return kRtmpMaxCommandMessage;
    case kRtmpMsgDataAmf3:
    case kRtmpMsgSharedObjectAmf3:
    case kRtmpMsgDataAmf0:
    case kRtmpMsgSharedObjectAmf0:
      return kRtmpMaxDataMessage;
    default:
      return kRtmpMaxBodySize;
  }
}

void RtmpSetPartialInputLimit(uint64_t bytes) { g_serverPartialLimit.store(bytes, std::memory_order_relaxed); }

uint64_t RtmpPartialInputBytes() { return g_serverPartialBytes.load(std::memory_order_relaxed); }

int RtmpContextInit(RtmpContext* r, int socket) {
  r->tcUrl = r->swfUrl = r->pageUrl = r->app = r->flashVer = {};
  r->audioCodecs = 3191;
  r->videoCodecs = 252;
  r->objectEncoding = 0;
  r->inChunkSize = kRtmpDefaultChunkSize;
  FreeChannelsIn(r);
  {
    MutexLock lock(r->sendLock);  // not shared yet: taken for the analysis
    r->outChunkSize = kRtmpDefaultChunkSize;
    r->channelsOut.clear();
  }
  r->sockbuf.size = 0;
  r->sockbuf.start = 0;
  r->sockbuf.timedout = 0;
  r->sockbuf.socket = socket;
  return SocketBufferOpen(&r->sockbuf);
}

void RtmpContextFree(RtmpContext* r) {
  FreeChannelsIn(r);
  MutexLock lock(r->sendLock);
  r->channelsOut.clear();
  r->messageSink = nullptr;
}

bool RtmpInputIncomplete(const RtmpContext* r) { return r->sockbuf.size > 0 || r->partialBytes > 0 || r->inChunkLeft > 0; }

int RtmpReadChunk(RtmpContext* r, RtmpPacket* packet) {
  RtmpPacketFree(packet);
  if (r->sockbuf.socket.load() < 0) return kRtmpReadFailed;
  if (r->inChunkLeft > 0) return ReadChunkBody(r, packet);

  // The whole header must be in the buffer before any of it is consumed.
  SocketBuffer& in = r->sockbuf;
  const uint8_t* p = in.buf + in.start;
  const size_t avail = static_cast<size_t>(in.size);
  if (avail < 1) return kRtmpReadNeedMore;
  const uint8_t first = p[0];
  const uint8_t type = first >> 6;
  uint32_t channel = first & 0x3f;
  size_t used = 1;
  if (channel <= 1) {
    size_t extra = channel == 0 ? 1 : 2;
    if (avail < 1 + extra) return kRtmpReadNeedMore;
    channel = 64 + p[1] + (extra == 2 ? 256u * p[2] : 0);
    used += extra;
  }
  const size_t n = kRtmpHeaderSizes[type];
  if (avail < used + n - 1) return kRtmpReadNeedMore;

  auto found = r->channelsIn.find(channel);
  RtmpChannel* slot = found == r->channelsIn.end() ? nullptr : found->second.get();
  // A compressed header refers to the previous one on its channel; without
  // one there is nothing to take the missing fields from.
  if (!slot && type != 0) return RefuseInput(r, "compressed chunk header on a new chunk stream");
  // The previous header with any partial body it holds.
  RtmpPacket h = slot ? slot->header : RtmpPacket{};
  if (type != 3) h.m_bAbsTimestamp = type == 0;

  const uint8_t* f = p + used;
  used += n - 1;
  bool newMessage = false;
  uint32_t field = 0;
  if (n >= 4) h.m_nTimestamp = field = GetBe24(f);
  if (n >= 8) {
    newMessage = true;
    h.m_nBodySize = GetBe24(f + 3);
    h.m_nMessageType = f[6];
  }
  if (n == 12) h.m_nStreamId = static_cast<int32_t>(GetLe32(f + 7));
  bool extended = slot ? slot->extended : false;
  uint32_t extendedValue = slot ? slot->extendedValue : 0;
  if (n > 1) {
    extended = field == kRtmpExtendedTimestamp;
    if (extended) {
      if (avail < used + 4) return kRtmpReadNeedMore;
      h.m_nTimestamp = extendedValue = GetBe32(p + used);
      used += 4;
    }
  } else if (extended) {
    // Many peers repeat the extended timestamp on continuation chunks, some
    // do not: the four bytes are taken as the repeat only when they equal it.
    if (avail < used + 4) return kRtmpReadNeedMore;
    if (GetBe32(p + used) == extendedValue) used += 4;
  }

  if (!slot) {
    if (r->channelsIn.size() >= kRtmpMaxInChannels) return RefuseInput(r, "too many chunk streams");
    auto created = std::make_unique<RtmpChannel>();
    slot = created.get();
    r->channelsIn.emplace(channel, std::move(created));
  }
  in.start += static_cast<uint32_t>(used);
  in.size -= static_cast<int32_t>(used);

  if (newMessage && h.m_nBodySize > RtmpMessageSizeCap(h.m_nMessageType)) {
    char why[96];
    std::snprintf(why, sizeof why, "message of type %u and %u bytes over its size cap of %u",
                  unsigned{h.m_nMessageType}, h.m_nBodySize, RtmpMessageSizeCap(h.m_nMessageType));
    return RefuseInput(r, why);
  }
  if (newMessage) {
    // A new message begins; whatever was left unfinished on this channel is dropped.
    DropPartial(r, slot);
    h.m_body = nullptr;
    h.m_block.reset();
    h.m_nBytesRead = 0;
  }
  if (h.m_nBodySize != 0 && !h.m_block) {
    if (r->partialBytes + h.m_nBodySize > kRtmpMaxPartialBytes)
      return RefuseInput(r, "too much unfinished input");
    // A small message of a connection that holds nothing else unfinished is
    // always taken: a normal client's command must not fail because others
    // fill the bound, and this costs at most 4 KiB per connection.
    const bool small = h.m_nBodySize <= kRtmpSmallMessage && r->partialBytes == 0;
    if (!small && g_serverPartialBytes.load(std::memory_order_relaxed) + h.m_nBodySize >
                      g_serverPartialLimit.load(std::memory_order_relaxed))
      return RefuseInput(r, "unfinished input over the server's bound");
    // Only the first part of the body is allocated now; it grows as bytes
    // arrive, so a header alone costs little (the caps still count the
    // announced size, which the peer may yet send).
    slot->header = h;
    slot->capacity = 0;
    if (!ReserveBody(slot, 0)) return AllocationFailed(r);
    h = slot->header;
    r->partialBytes += h.m_nBodySize;
    g_serverPartialBytes.fetch_add(h.m_nBodySize, std::memory_order_relaxed);
  }
  h.m_nHeaderType = type;
  h.m_nChannel = static_cast<int32_t>(channel);
  slot->header = h;  // the slot owns the body until the message is complete
  slot->extended = extended;
  slot->extendedValue = extendedValue;

  uint32_t left = h.m_nBodySize - h.m_nBytesRead;
  r->inChunkLeft = left < static_cast<uint32_t>(r->inChunkSize) ? left : static_cast<uint32_t>(r->inChunkSize);
  r->inChunkChannel = channel;
  return ReadChunkBody(r, packet);
}

int RtmpReadMessage(RtmpContext* r, RtmpPacket* packet) {
  for (;;) {
    int res = RtmpReadChunk(r, packet);
    if (res == kRtmpReadFailed) return -1;
    if (res == kRtmpReadNeedMore) return 0;
    if (packet->m_nBytesRead == packet->m_nBodySize) return 1;
  }
}

int RtmpWriteMessage(RtmpContext* r, RtmpPacket* packet) {
  MutexLock lock(r->sendLock);
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
  if (r->sockbuf.socket.load() < 0 || r->sockbuf.failed) return 0;
  if (r->messageSink) return r->messageSink(r, packet);
  const uint32_t channel = static_cast<uint32_t>(packet->m_nChannel);
  RtmpChannel* slot = RtmpChannelOut(r, channel);
  if (!slot) return 0;

  const uint32_t last = type != 0 ? slot->header.m_nTimestamp : 0;
  const uint32_t delta = packet->m_nTimestamp - last;
  const size_t n = kRtmpHeaderSizes[type];
  // Type 3 repeats the previous header's timestamp field, extended or not.
  const bool extended = n > 1 ? delta >= kRtmpExtendedTimestamp : slot->extended;
  const uint32_t extendedValue = n > 1 ? delta : slot->extendedValue;

  SendQueueEntry entry;
  uint8_t* header = entry.first;
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
  if (extended) {
    PutBe32(p, extendedValue);
    p += 4;
  }
  entry.firstLength = static_cast<uint8_t>(p - header);
  // Continuation chunks: type 3, with the extended timestamp repeated, as
  // most peers expect it.
  uint8_t* c = entry.cont + PutBasicHeader(entry.cont, 3, channel);
  if (extended) {
    PutBe32(c, extendedValue);
    c += 4;
  }
  entry.contLength = static_cast<uint8_t>(c - entry.cont);
  entry.chunkSize = static_cast<uint32_t>(r->outChunkSize);
  entry.bodySize = packet->m_nBodySize;
  if (packet->m_nBodySize) {
    if (packet->m_block) {
      entry.block = packet->m_block;
      entry.body = packet->m_body;
    } else {
      // Borrowed bytes (a builder's buffer): the queue needs its own copy.
      entry.block = RtmpBodyAlloc(packet->m_nBodySize);
      if (!entry.block) {
        REPORT_ASSERT("buffer", "RtmpCore");
        return 0;
      }
      std::memcpy(entry.block.get(), packet->m_body, packet->m_nBodySize);
      entry.body = entry.block.get();
    }
  }
  entry.wireSize = SendQueueWireSize(entry);
  if (r->sockbuf.writeObserver) {
    std::vector<uint8_t> chunk;
    uint32_t offset = 0;
    bool firstChunk = true;
    do {
      uint32_t size = std::min(entry.bodySize - offset, entry.chunkSize);
      chunk.assign(firstChunk ? entry.first : entry.cont,
                   (firstChunk ? entry.first : entry.cont) + (firstChunk ? entry.firstLength : entry.contLength));
      chunk.insert(chunk.end(), entry.body + offset, entry.body + offset + size);
      r->sockbuf.writeObserver(chunk);
      offset += size;
      firstChunk = false;
    } while (offset < entry.bodySize);
  }

  if (!SocketBufferQueue(&r->sockbuf, std::move(entry))) {
    // A message without room was dropped (or the connection is going): the
    // owner's loop closes the connection with its report. A socket that
    // failed under the owner's own write is closed now.
    if (pthread_equal(pthread_self(), r->sockbuf.owner) && !r->sockbuf.overflowed) {
      ProtocolLog(LOG_ERROR, "%s, sending to %s failed", "RtmpWriteMessage", r->address[0] ? r->address : "peer");
      SocketBufferClose(&r->sockbuf);
    }
    return 0;
  }
  slot->header = HeaderOnly(*packet);
  slot->extended = extended;
  slot->extendedValue = extendedValue;
  return 1;
}

int RtmpSendCommand(RtmpContext* r, std::span<const uint8_t> body, const SharedBody& shared) {
  RtmpPacket packet;
  packet.m_nHeaderType = 0;
  packet.m_nChannel = kRtmpCommandChannel;
  packet.m_nTimestamp = 0;
  packet.m_nMessageType = kRtmpMsgCommandAmf0;
  packet.m_nStreamId = 0;
  packet.m_nBodySize = static_cast<uint32_t>(std::min<size_t>(body.size(), UINT32_MAX));
  // Borrowed bytes: the writer copies them (or keeps `shared`) and never
  // writes through m_body.
  packet.m_body = const_cast<uint8_t*>(body.data());
  packet.m_block = shared;
  return RtmpWriteMessage(r, &packet);
}

bool RtmpChunkSizeValid(uint32_t size) { return size >= 1 && size <= kRtmpMaxChunkSize; }

bool RtmpSetChunkSize(RtmpContext* r, uint32_t size) {
  if (!RtmpChunkSizeValid(size)) {
    ProtocolLog(LOG_ERROR, "%s, invalid chunk size %u from %s", "RtmpSetChunkSize", size,
                r->address[0] ? r->address : "peer");
    return false;
  }
  r->inChunkSize = static_cast<int32_t>(size);
  MutexLock lock(r->sendLock);
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
  MutexLock lock(r->sendLock);
  if (!SocketBufferHasOutput(&r->sockbuf) && r->sockbuf.socket.load() >= 0) return 1;
  if (SocketBufferFlush(&r->sockbuf)) return 1;
  ProtocolLog(LOG_ERROR, "%s, sending to %s failed", "RtmpFlushOutput", r->address[0] ? r->address : "peer");
  SocketBufferClose(&r->sockbuf);
  return 0;
}

bool RtmpOutputPending(const RtmpContext* r) { return SocketBufferHasOutput(&r->sockbuf); }

bool RtmpOutputAboveWatermark(const RtmpContext* r) {
  const SocketSendQueue* queue = r->sockbuf.context.get();
  return queue && queue->bytes.load(std::memory_order_relaxed) >= SendQueueLowWatermark(*queue);
}

int RtmpSocketFd(const RtmpContext* r) { return r->sockbuf.socket.load(); }

int RtmpReadBytes(RtmpContext* r, uint8_t* destination, size_t n) {
  SocketBuffer* sockbuf = &r->sockbuf;
  sockbuf->timedout = 0;
  size_t wanted = n;
  while (wanted > 0) {
    if (sockbuf->size == 0) {
      int res = SocketBufferRefill(sockbuf, &r->sendLock);
      if (res < 1) {
        if (!sockbuf->timedout) RtmpShutdown(r);
        return 0;
      }
    }
    size_t take = wanted < static_cast<size_t>(sockbuf->size) ? wanted : static_cast<size_t>(sockbuf->size);
    std::memcpy(destination, sockbuf->buf + sockbuf->start, take);
    destination += take;
    sockbuf->start += static_cast<uint32_t>(take);
    sockbuf->size -= static_cast<int32_t>(take);
    wanted -= take;
  }
  return static_cast<int>(n);
}

void RtmpShutdown(RtmpContext* r) {
  MutexLock lock(r->sendLock);
  SocketBufferClose(&r->sockbuf);
}
