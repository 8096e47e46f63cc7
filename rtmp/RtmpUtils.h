// Message bodies: allocation, release, and copies of one message for another
// client's stream. Any thread; no locks.
#pragma once

#include <cstdint>

#include "rtmp/RtmpPacket.h"

// The channels and id of the stream a cloned message goes to.
struct RtmpCloneTarget {
  int32_t streamId = 0;
  int32_t audioChannel = 0;
  int32_t videoChannel = 0;
  int32_t dataChannel = 0;
};

// Frees any old body, allocates `size` bytes for m_body and sets m_nBytesRead
// 0. Returns 1 or 0.
int RtmpPacketAlloc(RtmpPacket* packet, uint32_t size);
// Frees the body; m_body none, m_nBytesRead 0.
void RtmpPacketFree(RtmpPacket* packet);

// A new complete message with the packet's header (type 0) and its body,
// shared with the packet, not copied (bytes the packet only borrows are
// copied), addressed to `target`: the audio channel for type 8, the video
// channel for type 9, the data channel otherwise. None when the packet has
// no body or memory ran out. Release with RtmpPacketDestroy.
RtmpPacket* RtmpPacketClone(const RtmpPacket* packet, const RtmpCloneTarget& target);
void RtmpPacketDestroy(RtmpPacket* packet);
