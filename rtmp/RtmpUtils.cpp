#include "rtmp/RtmpUtils.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "server/Log.h"

int RtmpPacketAlloc(RtmpPacket* packet, uint32_t size) {
  RtmpPacketFree(packet);
  auto* block = static_cast<uint8_t*>(std::malloc(size_t{size} + kRtmpMaxHeaderSize));
  if (!block) return 0;
  packet->m_body = block + kRtmpMaxHeaderSize;
  packet->m_nBytesRead = 0;
  return 1;
}

void RtmpPacketFree(RtmpPacket* packet) {
  if (packet->m_body) std::free(packet->m_body - kRtmpMaxHeaderSize);
  packet->m_body = nullptr;
  packet->m_nBytesRead = 0;
}

RtmpPacket* RtmpPacketClone(const RtmpPacket* packet, const RtmpCloneTarget& target) {
  if (!packet->m_nBodySize || !packet->m_body) {
    REPORT_ASSERT("packet->m_nBodySize", "RtmpUtils");
    return nullptr;
  }
  auto* clone = new (std::nothrow) RtmpPacket(*packet);
  if (!clone) return nullptr;
  clone->m_body = nullptr;
  if (!RtmpPacketAlloc(clone, packet->m_nBodySize)) {
    REPORT_ASSERT("buffer", "RtmpUtils");
    delete clone;
    return nullptr;
  }
  std::memcpy(clone->m_body, packet->m_body, packet->m_nBodySize);
  clone->m_nBytesRead = packet->m_nBodySize;
  clone->m_nHeaderType = 0;
  clone->m_nStreamId = target.streamId;
  if (packet->m_nMessageType == 8)
    clone->m_nChannel = target.audioChannel;
  else if (packet->m_nMessageType == 9)
    clone->m_nChannel = target.videoChannel;
  else
    clone->m_nChannel = target.dataChannel;
  return clone;
}

void RtmpPacketDestroy(RtmpPacket* packet) {
  if (!packet) return;
  RtmpPacketFree(packet);
  delete packet;
}
