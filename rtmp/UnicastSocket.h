// The output queue of one connection's socket: what the non-blocking socket
// did not take at once waits here, as copies, until the connection's loop
// sees the socket writable and flushes it.
//
// A SendQueue is guarded by its connection's send lock (RtmpContext); the
// count `queued` may be read without it (the event loop polls for POLLOUT
// while it is non-zero).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <span>

// Largest piece one queue entry holds; a longer write takes several entries.
constexpr size_t TCP_BUFFER_SIZE = 65536;
// Bounds of the "USendQueueSize" setting (entries, not bytes).
constexpr uint32_t kMaxSendQueueSize = 64;
constexpr uint32_t kMinSendQueueSize = 1;
constexpr int kSocketSendBufferSize = 524288;

struct SendQueueEntry {
  std::unique_ptr<uint8_t[]> data;
  size_t length = 0;
  size_t sent = 0;  // bytes of `data` the socket has taken
};

struct SendQueue {
  uint32_t capacity = kMaxSendQueueSize;  // entries; set at open
  std::deque<SendQueueEntry> entries;     // takes memory only while output waits
  std::atomic<uint32_t> queued{0};        // entries.size(), readable without the lock
};

// "USendQueueSize" of SOFTWARE\Kestravon\Parameters, clamped to 1..64; 64
// when the key or a 4-byte value is missing.
uint32_t SendQueueConfiguredSize();

// Sets the socket's send buffer to 512 KiB and makes it non-blocking.
// False when the send buffer could not be set.
bool UnicastSocketPrepare(int fd);

// Sends as much as the socket takes now, without blocking. Returns the byte
// count taken (possibly 0), or -1 when the socket failed.
long UnicastSocketSendSome(int fd, std::span<const uint8_t> bytes);

// Hands queued entries to the socket until it would block. False when the
// socket failed.
bool SendQueueFlush(SendQueue& queue, int fd);

// Entries a write of `length` bytes needs.
inline size_t SendQueueEntriesFor(size_t length) {
  return (length + TCP_BUFFER_SIZE - 1) / TCP_BUFFER_SIZE;
}

// Appends copies of `bytes` as entries of at most TCP_BUFFER_SIZE. The caller
// has checked that there is room.
void SendQueueAppend(SendQueue& queue, std::span<const uint8_t> bytes);
