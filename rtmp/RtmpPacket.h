// The message record of the chunk stream (RtmpPacket), its message types and
// the limits of the chunk format.
#pragma once

#include <cstddef>
#include <cstdint>

#include "rtmp/RtmpBody.h"

// Chunk header layout shared by the reader, the writer and the test client.
constexpr uint32_t kRtmpDefaultChunkSize = 128;
constexpr uint32_t kRtmpMaxChunkSize = 0x7FFFFFFF;      // the top bit must be clear
constexpr size_t kRtmpMaxHeaderSize = 18;               // 3 + 11 + 4: one chunk's header at most
constexpr uint32_t kRtmpExtendedTimestamp = 0xFFFFFF;   // 3-byte field escape
constexpr uint32_t kRtmpMaxChannelId = 65599;           // 3-byte basic header
constexpr uint32_t kRtmpMaxBodySize = 0xFFFFFF;         // 24-bit size field
constexpr size_t kRtmpHeaderSizes[4] = {12, 8, 4, 1};   // by type, 1-byte basic header
constexpr size_t kRtmpChannelTableSize = 64;
// Hard caps on what one peer may make us hold of its input.
constexpr size_t kRtmpMaxInChannels = 128;              // distinct inbound chunk streams
constexpr uint64_t kRtmpMaxPartialBytes = 64ull << 20;  // bodies of unfinished messages
// Default of the whole server's bound on bodies of unfinished messages, over
// all connections (RtmpSetPartialInputLimit).
constexpr uint64_t kRtmpDefaultServerPartialBytes = 256ull << 20;
constexpr uint32_t kRtmpSmallMessage = 4096;  // always taken (see the reader)
// Caps on one message by its kind, far below the 24-bit size field: a header
// alone must not let a peer make us hold megabytes. A command carries a few
// texts of at most 1023 characters (chat posts, model clauses); metadata
// (@setDataFrame, onMetaData) may carry cue points and arrays; a control
// message is a few bytes. Audio, video and aggregates keep the field's bound.
constexpr uint32_t kRtmpMaxCommandMessage = 256u << 10;  // types 17, 20
constexpr uint32_t kRtmpMaxDataMessage = 512u << 10;     // types 15, 16, 18, 19
constexpr uint32_t kRtmpMaxControlMessage = 256;         // types 1..6
// A partial body grows with the bytes that arrived: first by this much at
// most (or the whole message when smaller), then by this factor up to its
// size. A large factor keeps the blocks left behind small (the allocator may
// hold on to them), while past the first reserve a peer still cannot make
// us hold more than 8 times what it sent.
constexpr uint32_t kRtmpBodyFirstReserve = 64u << 10;
constexpr uint32_t kRtmpBodyGrowthFactor = 8;

// Message types of the chunk stream, shared by the reader, the driver and
// every builder.
enum RtmpMessageType : uint8_t {
  kRtmpMsgSetChunkSize = 1,
  kRtmpMsgAbort = 2,
  kRtmpMsgAcknowledgement = 3,
  kRtmpMsgUserControl = 4,
  kRtmpMsgWindowAckSize = 5,
  kRtmpMsgPeerBandwidth = 6,
  kRtmpMsgAudio = 8,
  kRtmpMsgVideo = 9,
  kRtmpMsgDataAmf3 = 15,
  kRtmpMsgSharedObjectAmf3 = 16,
  kRtmpMsgCommandAmf3 = 17,
  kRtmpMsgDataAmf0 = 18,
  kRtmpMsgSharedObjectAmf0 = 19,
  kRtmpMsgCommandAmf0 = 20,
};

struct RtmpPacket {
  uint8_t m_nHeaderType = 0;   // 0 full .. 3 none
  int32_t m_nChannel = 0;      // chunk stream id
  uint32_t m_nTimestamp = 0;   // absolute once a received message is complete
  uint32_t m_nBodySize = 0;
  uint8_t m_nMessageType = 0;
  int32_t m_nStreamId = 0;
  uint8_t m_bAbsTimestamp = 0; // the last timestamp came from a type-0 header
  uint32_t m_nBytesRead = 0;
  // m_nBodySize bytes, from RtmpPacketAlloc (or the reader): the block is
  // shared (reference-counted) with every output queue the message
  // was written to, so a body must not change once it has been written.
  // Released by RtmpPacketFree. A builder may point m_body at bytes of its
  // own with no block; the writer then copies them.
  uint8_t* m_body = nullptr;
  SharedBody m_block;
};
