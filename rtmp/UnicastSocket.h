// The output queue of one connection's socket: one entry per message, the
// chunk headers built in a small side buffer beside an immutable body that
// several connections' queues may share, flushed with one sendmsg() over an
// iovec of as many entries as the socket takes.
//
// A SocketSendQueue is guarded by its connection's send lock (RtmpContext); the
// byte count `bytes` may be read without it (the owner's loop polls for
// POLLOUT while it is non-zero, and media waits while it is above the low
// watermark).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <span>

// The capacity of one slot of the original send ring: the queue's cap is
// "USendQueueSize" of them, in bytes.
constexpr size_t TCP_BUFFER_SIZE = 65536;
// Bounds of the "USendQueueSize" setting (slots of TCP_BUFFER_SIZE bytes).
constexpr uint32_t kMaxSendQueueSize = 64;
constexpr uint32_t kMinSendQueueSize = 1;
constexpr int kSocketSendBufferSize = 524288;
// Media moves from a stream's packet queue into the output queue only below
// this many queued bytes (or half the cap, when that is smaller), so that a
// slow player's backlog stays where the live drop rules can see it.
constexpr uint64_t kOutputLowWatermark = 256 * 1024;
// Longest continuation header: a 3-byte basic header and the repeated
// extended timestamp.
constexpr size_t kMaxContinuationHeader = 7;
constexpr size_t kMaxFirstHeader = 18;

// A body shared by reference: the bytes stay valid while any entry holds it.
using SharedBody = std::shared_ptr<uint8_t[]>;

// One message as it goes out on the wire: `first` header and up to
// `chunkSize` body bytes, then for every further chunk the `cont` header and
// the next body bytes. chunkSize 0 means raw bytes (the handshake): the body
// alone.
struct SendQueueEntry {
  SharedBody block;            // keeps `body` alive; none for borrowed bytes
  const uint8_t* body = nullptr;
  uint32_t bodySize = 0;
  uint32_t chunkSize = 0;
  uint8_t first[kMaxFirstHeader] = {};
  uint8_t firstLength = 0;
  uint8_t cont[kMaxContinuationHeader] = {};
  uint8_t contLength = 0;
  uint64_t wireSize = 0;       // header and body bytes in all
  uint64_t sent = 0;           // of wireSize, taken by the socket
};

// Wire bytes of an entry whose fields other than `sent` are set.
uint64_t SendQueueWireSize(const SendQueueEntry& entry);

struct SocketSendQueue {
  uint64_t capacity = uint64_t{kMaxSendQueueSize} * TCP_BUFFER_SIZE;  // bytes; set at open
  std::deque<SendQueueEntry> entries;  // takes memory only while output waits
  std::atomic<uint64_t> bytes{0};      // unsent wire bytes, readable without the lock
  // Counters for tests and the monitor; guarded like the queue.
  uint64_t sendCalls = 0;              // sendmsg() calls made
  uint64_t messages = 0;               // entries appended
};

// "USendQueueSize" of SOFTWARE\Kestravon\Parameters, clamped to 1..64; 64
// when the key or a 4-byte value is missing.
uint32_t SendQueueConfiguredSize();

// The value a connection opens with: read again only when the registry file
// changed since the last reading, so a set-up costs a stat, not a parse.
uint32_t SendQueueOpenSize();

// Sets the socket's send buffer to 512 KiB and makes it non-blocking.
// False when the send buffer could not be set.
bool UnicastSocketPrepare(int fd);

// Hands queued entries to the socket with sendmsg() until it would block or
// the queue is empty. False when the socket failed.
bool SendQueueFlush(SocketSendQueue& queue, int fd);

// Whether an entry of `wireSize` bytes fits: an empty queue takes anything,
// so that one message larger than the cap can still go out alone.
inline bool SendQueueHasRoom(const SocketSendQueue& queue, uint64_t wireSize) {
  return queue.entries.empty() || queue.bytes.load(std::memory_order_relaxed) + wireSize <= queue.capacity;
}

// Appends the entry (its wireSize set). The caller checked the room.
void SendQueueAppend(SocketSendQueue& queue, SendQueueEntry&& entry);

// The byte count of the queue at which media stops moving into it.
inline uint64_t SendQueueLowWatermark(const SocketSendQueue& queue) {
  return queue.capacity / 2 < kOutputLowWatermark ? queue.capacity / 2 : kOutputLowWatermark;
}

// Calls `sink` with each wire segment of the entry from byte `from` on, in
// order; stops early when `sink` returns false.
template <typename Sink>
void SendQueueSegments(const SendQueueEntry& entry, uint64_t from, Sink&& sink) {
  auto emit = [&](const uint8_t* data, uint64_t length) {
    if (from >= length) {
      from -= length;
      return true;
    }
    bool more = sink(data + from, length - from);
    from = 0;
    return more;
  };
  if (entry.chunkSize == 0) {
    emit(entry.body, entry.bodySize);
    return;
  }
  uint32_t offset = entry.bodySize < entry.chunkSize ? entry.bodySize : entry.chunkSize;
  if (!emit(entry.first, entry.firstLength)) return;
  if (offset && !emit(entry.body, offset)) return;
  while (offset < entry.bodySize) {
    uint32_t chunk = entry.bodySize - offset < entry.chunkSize ? entry.bodySize - offset : entry.chunkSize;
    if (!emit(entry.cont, entry.contLength)) return;
    if (!emit(entry.body + offset, chunk)) return;
    offset += chunk;
  }
}
