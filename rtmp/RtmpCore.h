// The chunk stream of one RTMP connection: its protocol state (RtmpContext),
// the message record (RtmpPacket), the chunk reader and the chunk writer.
//
// Threads and locks: the reader side (RtmpReadChunk, RtmpReadMessage, the
// inbound channel table, inChunkSize, the read buffer) belongs to the
// connection's own thread and takes no lock. It is incremental: it consumes
// whatever the read buffer holds and says "need more" instead of waiting, so
// that the connection's loop goes on serving media and other threads'
// messages while a peer takes its time. The outbound side (RtmpWriteMessage,
// the outbound channel table, outChunkSize, the output queue) is guarded by
// `sendLock`, which RtmpWriteMessage takes itself; nothing waits for the
// socket, so the lock is held only for the moment of queueing. It is not
// re-entrant: a caller that holds it uses the SocketBuffer calls directly,
// never the functions marked EXCLUDES(r->sendLock).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string_view>

#include "rtmp/RtmpSocket.h"
#include "util/ThreadSafety.h"

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

struct RtmpChannel {
  int32_t id = 0;          // stream channels (set by the stream code), else 0
  RtmpPacket header;       // last header seen or sent; its body is an inbound partial body
  uint32_t timestamp = 0;  // running absolute timestamp
  // The last header of type 0-2 carried an extended timestamp of this
  // value: continuation chunks may repeat it.
  bool extended = false;
  uint32_t extendedValue = 0;
  // Inbound only: bytes allocated for the partial body in header.m_block
  // (at most header.m_nBodySize).
  uint32_t capacity = 0;
};

struct RtmpContext {
  // Set once at init.
  Mutex sendLock;
  char address[64] = {};  // peer, for reports; set by the driver

  // Connection thread only, no lock.
  int32_t inChunkSize = kRtmpDefaultChunkSize;
  std::map<uint32_t, std::unique_ptr<RtmpChannel>> channelsIn;  // at most kRtmpMaxInChannels
  uint64_t partialBytes = 0;  // bodies held by unfinished inbound messages
  // The chunk being read: body bytes still to come, and its chunk stream.
  uint32_t inChunkLeft = 0;
  uint32_t inChunkChannel = 0;

  // Guarded by sendLock.
  int32_t outChunkSize GUARDED_BY(sendLock) = kRtmpDefaultChunkSize;
  std::map<uint32_t, std::unique_ptr<RtmpChannel>> channelsOut GUARDED_BY(sendLock);

  // Connection thread only (set from connect).
  double audioCodecs = 3191;
  double videoCodecs = 252;
  double objectEncoding = 0;
  // Views into the connect message, valid only while it is handled.
  std::string_view tcUrl, swfUrl, pageUrl, app, flashVer;

  SocketBuffer sockbuf;  // see RtmpSocket.h for who touches what
};

// Resets the state and opens the SocketBuffer on `socket` from the calling
// (connection) thread. Returns the result of SocketBufferOpen.
int RtmpContextInit(RtmpContext* r, int socket);
// Frees both channel tables and every partial inbound body.
void RtmpContextFree(RtmpContext* r) EXCLUDES(r->sendLock);

// The largest message of `type` the reader takes (see the caps above).
uint32_t RtmpMessageSizeCap(uint8_t type);

// Results of the incremental reader.
enum RtmpReadStatus { kRtmpReadFailed = -1, kRtmpReadNeedMore = 0, kRtmpReadChunk = 1 };

// Reads one chunk from what the read buffer holds, without the send lock and
// without waiting. kRtmpReadChunk when a chunk was read: the message is
// complete when m_nBytesRead == m_nBodySize, and then the caller owns the
// body (release with RtmpPacketFree); while incomplete m_body is none (the
// channel keeps the partial body). kRtmpReadNeedMore when the buffer ran out
// first (what it held is consumed or kept for the next call). kRtmpReadFailed
// when the input is refused (reported; the socket is closed). A body left in
// `packet` on entry is freed.
int RtmpReadChunk(RtmpContext* r, RtmpPacket* packet);

// Reads chunks from the read buffer until a message is complete: 1 with the
// message in `packet`, 0 when the buffer ran out first, -1 on refused input.
int RtmpReadMessage(RtmpContext* r, RtmpPacket* packet);

// Whether a message is partly received (a body or a header begun).
bool RtmpInputIncomplete(const RtmpContext* r);

// The whole server's bound on bodies of unfinished messages; a connection
// whose message would cross it is closed with a report. Any thread.
void RtmpSetPartialInputLimit(uint64_t bytes);
uint64_t RtmpPartialInputBytes();

// Queues the message as chunks of outChunkSize under sendLock, with the
// header type the caller chose, as one entry of the output queue: the
// headers are built beside the body, which is shared, not copied, when it
// came from RtmpPacketAlloc (it must not change afterwards). Any thread, not
// holding sendLock; never waits (RtmpSocket.h says who drops). Returns 1 when
// queued, 0 when the message was refused, dropped or the connection failed.
int RtmpWriteMessage(RtmpContext* r, RtmpPacket* packet) EXCLUDES(r->sendLock);

// The chunk streams of the protocol control messages and of the AMF0
// commands the server sends outside a media stream: the replies to connect,
// createStream and the model commands, and the chat's calls to its clients.
constexpr int32_t kRtmpControlChannel = 2;
constexpr int32_t kRtmpCommandChannel = 3;
// Sends `body` as one AMF0 command message on chunk stream 3, message stream
// 0, timestamp 0, full header; RtmpWriteMessage's result. The writer copies
// the bytes, unless `shared` (the block that holds them) is given: then the
// message is queued by reference, one body for many receivers.
int RtmpSendCommand(RtmpContext* r, std::span<const uint8_t> body, const SharedBody& shared = {})
    EXCLUDES(r->sendLock);

// A set-chunk-size value the reader and writer can live with: 1..2^31-1.
bool RtmpChunkSizeValid(uint32_t size);
// Sets both chunk sizes (the reader's now, the writer's under sendLock).
// False, and nothing changed, for an invalid size: the caller closes the
// connection.
bool RtmpSetChunkSize(RtmpContext* r, uint32_t size) EXCLUDES(r->sendLock);

// Creates (or returns) outbound channel slot `id`; none for ids the basic
// header cannot carry. Caller holds sendLock or is the only thread.
RtmpChannel* RtmpChannelOut(RtmpContext* r, uint32_t id) REQUIRES(r->sendLock);

// Flushes queued output (the loop, once per pass and on POLLOUT). Takes
// sendLock. 1, or 0 after closing the connection on a socket failure.
int RtmpFlushOutput(RtmpContext* r) EXCLUDES(r->sendLock);
// The same from another thread (SocketBufferFlushForOwner): true when all
// of it left; false when the owner's loop must see to the rest.
bool RtmpFlushForOwner(RtmpContext* r) EXCLUDES(r->sendLock);
// Whether the loop should poll for POLLOUT. Owner thread, no lock.
bool RtmpOutputPending(const RtmpContext* r);
// Whether queued output is at or above the low watermark, so that media
// should stay in its stream's queue for now. Owner thread, no lock.
bool RtmpOutputAboveWatermark(const RtmpContext* r);
// Any thread: whether the connection can take output and its queue is below
// the low watermark. Takes sendLock.
bool RtmpOutputUsableBelowWatermark(RtmpContext* r) EXCLUDES(r->sendLock);
// The descriptor the loop polls; -1 once closed.
int RtmpSocketFd(const RtmpContext* r);

// The handshake of the server side. 1 when complete, 0 when it failed.
int SHandShake(RtmpContext* r);
