// Buffered socket I/O of one RTMP connection.
//
// Reading goes through a 16 KiB buffer and is done only by the connection's
// own thread, without any lock: a slow peer never holds up writers. Writing
// never blocks on the network while the output queue has room: bytes go
// straight to the non-blocking socket, and what it does not take is queued
// (UnicastSocket.h) until the connection's loop flushes it. Every write and
// flush is made under the owning RtmpContext's send lock.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>

#include "rtmp/UnicastSocket.h"

struct RtmpContext;

constexpr size_t kSocketReadBufferSize = 16384;
constexpr int kSocketReadWaitMs = 300 * 1000;  // for more input from the peer
constexpr int kSendRoomWaitMs = 10 * 1000;     // owner thread waiting for queue room

struct SocketBuffer {
  // Set at open; -1 once closed. Written only by the owner thread, under the
  // send lock.
  std::atomic<int> socket{-1};
  pthread_t owner{};  // the thread that opened the buffer: the connection's thread
  // Guarded by the send lock. None once closed.
  std::unique_ptr<SendQueue> context;
  // Set when a write failed or another thread shut the socket down; writes
  // then fail and the owner's next read sees the end of the stream.
  std::atomic<bool> failed{false};
  // The owner's wake eventfd, or -1. Another thread that leaves output queued
  // signals it (under the send lock, while the buffer is open): the owner
  // polls for POLLOUT only when it knew of queued output as it went to sleep.
  int wakeFd = -1;

  // Owner thread only.
  int32_t size = 0;    // received bytes not yet consumed
  uint32_t start = 0;  // offset of the first of them in buf
  uint8_t buf[kSocketReadBufferSize];
  int32_t timedout = 0;  // the last receive ended with ETIMEDOUT

  // Waits; tests shorten them.
  int readWaitMs = kSocketReadWaitMs;
  int sendWaitMs = kSendRoomWaitMs;
  // Test hook: sees every write, as given, before it is sent. Guarded by the
  // send lock.
  std::function<void(std::span<const uint8_t>)> writeObserver;
};

// Takes over `sockbuf->socket` (set by the caller): 512 KiB send buffer,
// non-blocking, output queue of "USendQueueSize" entries. The calling thread
// becomes the owner. Returns 1, or 0 (the socket is left to the caller).
int SocketBufferOpen(SocketBuffer* sockbuf);

// Owner thread: shuts the socket down, closes it, drops queued output. Any
// other thread only shuts it down (so the descriptor is never reused under
// the owner's feet) and marks the buffer failed. Callers hold the send lock.
// Returns 1.
int SocketBufferClose(SocketBuffer* sockbuf);

// Caller holds the send lock. Returns 1 when every byte was sent or queued,
// 0 otherwise (closed, socket error, or no room: another thread finds no
// room at once, the owner after waiting sendWaitMs for it).
int SocketBufferWrite(SocketBuffer* sockbuf, const uint8_t* bytes, size_t length);

// Owner thread, no lock. Bytes received (> 0), 0 at end of stream or on
// ETIMEDOUT (timedout set), -1 on failure or when readWaitMs passed silently.
int SocketBufferRefill(SocketBuffer* sockbuf);

// Caller holds the send lock: sends queued output the socket takes now.
// 1, or 0 when the socket failed (the caller closes the connection).
int SocketBufferFlush(SocketBuffer* sockbuf);

// Owner thread (or under the send lock): whether output is waiting for the
// socket.
bool SocketBufferHasOutput(const SocketBuffer* sockbuf);

// Owner thread, no lock. Returns n when n bytes were delivered, else 0; on a
// failure other than a time-out the connection is shut down.
int RtmpReadBytes(RtmpContext* r, uint8_t* destination, size_t n);

// Closes the connection's SocketBuffer (takes the send lock).
void RtmpShutdown(RtmpContext* r);
