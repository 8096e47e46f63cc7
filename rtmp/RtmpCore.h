// The chunk stream of one RTMP connection: its protocol state (RtmpContext),
// the chunk reader and the chunk writer (the message record is in
// RtmpPacket.h).
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
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string_view>

#include "rtmp/RtmpPacket.h"
#include "rtmp/RtmpSocket.h"
#include "rtmp/RtmpUtils.h"
#include "util/ThreadSafety.h"

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
  // When set, RtmpWriteMessage hands every message to it instead of writing
  // chunks (a connection that streams FLV over HTTP): called with sendLock
  // held, on the writer's thread, only while the connection is open; its
  // result is the writer's.
  std::function<int(RtmpContext*, const RtmpPacket*)> messageSink GUARDED_BY(sendLock);

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
// Whether the loop should poll for POLLOUT. Owner thread, no lock.
bool RtmpOutputPending(const RtmpContext* r);
// Whether queued output is at or above the low watermark, so that media
// should stay in its stream's queue for now. Owner thread, no lock.
bool RtmpOutputAboveWatermark(const RtmpContext* r);
// The descriptor the loop polls; -1 once closed.
int RtmpSocketFd(const RtmpContext* r);

// Owner thread, no lock. Waits for n bytes (up to readWaitMs per refill, never
// past readDeadline) and
// returns n when they were delivered, else 0; on a failure other than a
// time-out the connection is shut down.
int RtmpReadBytes(RtmpContext* r, uint8_t* destination, size_t n);

// Closes the connection's SocketBuffer (takes the send lock).
void RtmpShutdown(RtmpContext* r);

// The handshake of the server side. 1 when complete, 0 when it failed.
int SHandShake(RtmpContext* r);
