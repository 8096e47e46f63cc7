// Buffered socket I/O of one RTMP connection.
//
// Reading goes through a buffer of 4 KiB, which grows to 16 KiB for a peer
// that fills it (a publisher), and is done only by the connection's own
// thread, without any lock. The connection's loop refills it only when
// poll() reports input (SocketBufferReceive), and the chunk reader consumes
// what it holds without ever waiting; the handshake and tests may still wait
// for bytes (RtmpReadBytes).
//
// Writing never waits under a lock. Every message becomes one entry of the
// output queue (UnicastSocket.h), which the owner's loop (or the send loop
// acting for it, SocketBufferActAsOwner) flushes with one sendmsg() per
// pass. Another thread's write only appends and wakes the owner. No writer
// ever waits for the socket, the owner included: when the
// queue has no room for a message (after the owner has handed the socket
// what it takes now) the message is dropped and the connection marked, and
// the owner's loop closes it with a report. All queue access is under the
// owning RtmpContext's send lock, an ordinary mutex: nothing that holds it
// takes it again.
#pragma once

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>

#include "rtmp/UnicastSocket.h"
#include "util/ThreadSafety.h"

constexpr size_t kSocketReadBufferSize = 16384;  // the most the read buffer grows to
// What it starts with: a player sends commands and acknowledgements only,
// and a thousand players would hold 12 KiB each they never use.
// It is given back while the loop waits with nothing unread
// (SocketBufferReleaseIdle).
constexpr size_t kSocketReadBufferFirst = 4096;
constexpr int kSocketReadWaitMs = 300 * 1000;  // for more input from the peer

struct SocketBuffer {
  // Set at open; -1 once closed. Written only by the owner thread, under the
  // send lock.
  std::atomic<int> socket{-1};
  pthread_t owner{};  // the thread that opened the buffer: the connection's thread
  // Guarded by the send lock. None once closed.
  std::unique_ptr<SocketSendQueue> context;
  // Set when a write failed or another thread shut the socket down; writes
  // then fail and the owner's next read sees the end of the stream.
  std::atomic<bool> failed{false};
  // Set by a writer (any thread) whose message found no room: later writes
  // are refused, and the owner closes the connection with a report.
  std::atomic<bool> overflowed{false};
  // The owner's wake eventfd, or -1. Another thread that queues output
  // signals it, once per empty-to-queued change it caused, unless
  // `outputQueued` is set: that is called instead (under the send lock, so
  // it must not take it), to hand the flush to whoever sends for the owner.
  // A write that found no room always signals wakeFd.
  int wakeFd = -1;
  void (*outputQueued)(void* ctx) = nullptr;
  void* outputQueuedCtx = nullptr;

  // Owner thread only.
  int32_t size = 0;    // received bytes not yet consumed
  uint32_t start = 0;  // offset of the first of them in buf
  uint8_t* buf = nullptr;  // `capacity` bytes, in `storage`
  uint32_t capacity = 0;
  std::unique_ptr<uint8_t[]> storage;
  int32_t timedout = 0;  // the last receive ended with ETIMEDOUT

  // The owner's writes only queue, and its loop flushes once per pass
  // (set by the connection loop); otherwise the owner sends at once.
  bool batching = false;

  // The longest wait for more input (tests shorten it), and a deadline no
  // wait passes, whatever it waits for (the end of the handshake); none
  // while it is the epoch.
  int readWaitMs = kSocketReadWaitMs;
  std::chrono::steady_clock::time_point readDeadline{};
  // Test hook: sees every chunk (header and data) as it is queued. Guarded
  // by the send lock.
  std::function<void(std::span<const uint8_t>)> writeObserver;
};

// Takes over `sockbuf->socket` (set by the caller): 512 KiB send buffer,
// non-blocking, an output queue of "USendQueueSize" x 64 KiB bytes. The
// calling thread becomes the owner. Returns 1, or 0 (the socket is left to
// the caller).
int SocketBufferOpen(SocketBuffer* sockbuf);

// Owner thread: shuts the socket down, closes it, drops queued output. Any
// other thread only shuts it down (so the descriptor is never reused under
// the owner's feet) and marks the buffer failed. Callers hold the send lock.
// Returns 1.
int SocketBufferClose(SocketBuffer* sockbuf);

// Caller holds the send lock. Queues a copy of raw bytes (the handshake) and,
// on the owner thread, sends what the socket takes now. Returns 1, or 0 when
// the buffer is closed or failed or there is no room (overflowed then set).
int SocketBufferWrite(SocketBuffer* sockbuf, const uint8_t* bytes, size_t length);

// Queues one prepared entry; never waits. Caller holds the send lock. The
// owner first hands the socket what it takes now when the entry does not
// fit. 1 queued; 0 when the buffer is closed or failed, or when there was no
// room: the entry is dropped and `overflowed` set, and the owner's loop
// closes the connection.
int SocketBufferQueue(SocketBuffer* sockbuf, SendQueueEntry&& entry);

// Owner thread, without the send lock (it is taken to flush). Bytes received
// (> 0), 0 at end of stream or on ETIMEDOUT (timedout set), -1 on failure or
// when readWaitMs or readDeadline passed silently. Sends queued output while
// it waits.
int SocketBufferRefill(SocketBuffer* sockbuf, Mutex* sendLock);

// Owner thread, no lock: makes the read buffer hold at least `bytes` (at
// most kSocketReadBufferSize), keeping what it holds. False when it cannot.
bool SocketBufferReserve(SocketBuffer* sockbuf, size_t bytes);

// Owner thread, no lock: gives an empty read buffer that never grew back
// (a player's, between its few acknowledgements); the next receive takes a
// new one. A buffer holding unread bytes, or a grown one, is kept.
void SocketBufferReleaseIdle(SocketBuffer* sockbuf);

// Owner thread, no lock: one non-blocking receive into the free part of the
// buffer (moving unconsumed bytes to its front first; a receive that fills
// the buffer makes it grow for the next one). Bytes received (> 0),
// 0 when nothing was there, -1 at end of stream or on failure.
int SocketBufferReceive(SocketBuffer* sockbuf);

// Caller holds the send lock: sends queued output the socket takes now.
// 1, or 0 when the socket failed (the caller closes the connection).
int SocketBufferFlush(SocketBuffer* sockbuf);

// While one lives on a thread, that thread writes to and flushes `sockbuf`
// as its owner would (a send loop serving the connection while its thread
// sleeps, both under the connection's serve lock), except that it never
// closes the socket: a failure shuts it down for the owner to close.
class SocketBufferActAsOwner {
 public:
  explicit SocketBufferActAsOwner(const SocketBuffer* sockbuf);
  ~SocketBufferActAsOwner();
  SocketBufferActAsOwner(const SocketBufferActAsOwner&) = delete;
  SocketBufferActAsOwner& operator=(const SocketBufferActAsOwner&) = delete;

 private:
  const SocketBuffer* previous_;
};

// Owner thread (or under the send lock): unsent output bytes.
uint64_t SocketBufferQueuedBytes(const SocketBuffer* sockbuf);
bool SocketBufferHasOutput(const SocketBuffer* sockbuf);
