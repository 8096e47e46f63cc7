#include "rtmp/RtmpSocket.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>

#include "rtmp/RtmpBody.h"
#include "util/Log.h"
#include "util/ThreadSafety.h"

namespace {

using Clock = std::chrono::steady_clock;

thread_local const SocketBuffer* t_actingOwner = nullptr;

// The thread that opened the buffer: it alone closes the descriptor.
bool IsCloser(const SocketBuffer* sockbuf) { return pthread_equal(pthread_self(), sockbuf->owner); }
// Who writes as the owner: the thread that opened the buffer, or one acting
// for it (SocketBufferActAsOwner).
bool IsOwner(const SocketBuffer* sockbuf) { return t_actingOwner == sockbuf || IsCloser(sockbuf); }

int MsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

void Wake(const SocketBuffer* sockbuf) {
  if (sockbuf->wakeFd < 0) return;
  uint64_t one = 1;
  ssize_t n = write(sockbuf->wakeFd, &one, sizeof one);
  (void)n;
}

bool Usable(const SocketBuffer* sockbuf) {
  return sockbuf->socket.load() >= 0 && !sockbuf->failed && sockbuf->context;
}

}  // namespace

int SocketBufferOpen(SocketBuffer* sockbuf) {
  int fd = sockbuf->socket.load();
  if (fd < 0) {
    REPORT_ASSERT("sockbuf->esocket", "RtmpSocket");
    return 0;
  }
  sockbuf->owner = pthread_self();
  sockbuf->failed = false;
  sockbuf->overflowed = false;
  sockbuf->size = 0;
  sockbuf->start = 0;
  sockbuf->timedout = 0;
  if (!SocketBufferReserve(sockbuf, kSocketReadBufferFirst)) {
    REPORT_ASSERT("sockbuf->buf", "RtmpSocket");
    return 0;
  }
  if (!UnicastSocketPrepare(fd)) {
    REPORT_ASSERT("sockbuf->context", "RtmpSocket");
    return 0;
  }
  sockbuf->context = std::make_unique<SocketSendQueue>();
  sockbuf->context->capacity = uint64_t{SendQueueOpenSize()} * TCP_BUFFER_SIZE;
  return 1;
}

int SocketBufferClose(SocketBuffer* sockbuf) {
  int fd = sockbuf->socket.load();
  if (fd < 0) return 1;
  shutdown(fd, SHUT_RDWR);
  sockbuf->failed = true;
  // Only the owner closes: its loop may be inside poll() on this number,
  // and a number closed elsewhere could be reused by the next accept.
  if (!IsCloser(sockbuf)) return 1;
  close(fd);
  sockbuf->socket = -1;
  sockbuf->context.reset();
  sockbuf->size = 0;
  sockbuf->start = 0;
  return 1;
}

namespace {

// Appends, or drops when there is no room; nobody waits for the socket. A
// writer that waited would hold up whatever its thread holds (room locks,
// a publisher's relay) for as long as the peer chooses not to read.
int QueueEntry(SocketBuffer* sockbuf, SendQueueEntry&& entry) {
  if (!Usable(sockbuf) || sockbuf->overflowed) return 0;
  SocketSendQueue& queue = *sockbuf->context;
  const bool owner = IsOwner(sockbuf);
  const int fd = sockbuf->socket.load();
  if (!SendQueueHasRoom(queue, entry.wireSize) && owner && !SendQueueFlush(queue, fd)) {
    sockbuf->failed = true;
    return 0;
  }
  if (!SendQueueHasRoom(queue, entry.wireSize)) {
    // The peer is not keeping up: the message is dropped, and the owner's
    // loop closes the connection (a gap in the stream is never sent).
    sockbuf->overflowed = true;
    if (!owner) Wake(sockbuf);
    return 0;
  }
  bool wasEmpty = queue.entries.empty();
  SendQueueAppend(queue, std::move(entry));
  if (!owner) {
    if (!wasEmpty) return 1;
    if (sockbuf->outputQueued != nullptr)
      sockbuf->outputQueued(sockbuf->outputQueuedCtx);
    else
      Wake(sockbuf);
    return 1;
  }
  if (!sockbuf->batching && !SendQueueFlush(queue, fd)) {
    sockbuf->failed = true;
    return 0;
  }
  return 1;
}

}  // namespace

int SocketBufferQueue(SocketBuffer* sockbuf, SendQueueEntry&& entry) { return QueueEntry(sockbuf, std::move(entry)); }

int SocketBufferWrite(SocketBuffer* sockbuf, const uint8_t* bytes, size_t length) {
  if (!Usable(sockbuf)) return 0;
  SendQueueEntry entry;
  if (length) {
    entry.block = RtmpBodyAlloc(length);
    if (!entry.block) return 0;
    std::memcpy(entry.block.get(), bytes, length);
    entry.body = entry.block.get();
  }
  entry.bodySize = static_cast<uint32_t>(length);
  entry.wireSize = length;
  if (sockbuf->writeObserver) sockbuf->writeObserver({bytes, length});
  // The handshake's answer goes out at once: the peer waits for it.
  bool batching = sockbuf->batching;
  sockbuf->batching = false;
  int res = QueueEntry(sockbuf, std::move(entry));
  sockbuf->batching = batching;
  return res;
}

int SocketBufferFlush(SocketBuffer* sockbuf) {
  if (!Usable(sockbuf)) return 0;
  return SendQueueFlush(*sockbuf->context, sockbuf->socket.load()) ? 1 : 0;
}

SocketBufferActAsOwner::SocketBufferActAsOwner(const SocketBuffer* sockbuf) : previous_(t_actingOwner) {
  t_actingOwner = sockbuf;
}
SocketBufferActAsOwner::~SocketBufferActAsOwner() { t_actingOwner = previous_; }

uint64_t SocketBufferQueuedBytes(const SocketBuffer* sockbuf) {
  // Only the owner drops the queue, so the owner may look without the lock.
  const SocketSendQueue* queue = sockbuf->context.get();
  return queue ? queue->bytes.load(std::memory_order_relaxed) : 0;
}

bool SocketBufferHasOutput(const SocketBuffer* sockbuf) { return SocketBufferQueuedBytes(sockbuf) > 0; }

bool SocketBufferReserve(SocketBuffer* sockbuf, size_t bytes) {
  bytes = std::min(bytes, kSocketReadBufferSize);
  if (sockbuf->buf != nullptr && sockbuf->capacity >= bytes) return true;
  std::unique_ptr<uint8_t[]> grown(new (std::nothrow) uint8_t[bytes]);
  if (!grown) return false;
  if (sockbuf->size > 0)
    std::memcpy(grown.get(), sockbuf->buf + sockbuf->start, static_cast<size_t>(sockbuf->size));
  sockbuf->start = 0;
  sockbuf->storage = std::move(grown);
  sockbuf->buf = sockbuf->storage.get();
  sockbuf->capacity = static_cast<uint32_t>(bytes);
  return true;
}

void SocketBufferReleaseIdle(SocketBuffer* sockbuf) {
  if (sockbuf->size != 0 || sockbuf->capacity > kSocketReadBufferFirst) return;
  sockbuf->storage.reset();
  sockbuf->buf = nullptr;
  sockbuf->capacity = 0;
  sockbuf->start = 0;
}

int SocketBufferReceive(SocketBuffer* sockbuf) {
  int fd = sockbuf->socket.load();
  if (fd < 0) return -1;
  if (sockbuf->size == 0) {
    sockbuf->start = 0;
  } else if (sockbuf->start > 0) {
    std::memmove(sockbuf->buf, sockbuf->buf + sockbuf->start, static_cast<size_t>(sockbuf->size));
    sockbuf->start = 0;
  }
  if (sockbuf->buf == nullptr && !SocketBufferReserve(sockbuf, kSocketReadBufferFirst)) return -1;
  size_t used = static_cast<size_t>(sockbuf->size);
  if (used >= sockbuf->capacity) return 0;  // full: the reader consumes first
  for (;;) {
    const size_t room = sockbuf->capacity - used;
    ssize_t n = recv(fd, sockbuf->buf + used, room, MSG_DONTWAIT);
    if (n > 0) {
      sockbuf->size += static_cast<int32_t>(n);
      // The peer sends more than the buffer takes at once: a larger one
      // costs it fewer receives. A failed growth keeps the buffer it has.
      if (static_cast<size_t>(n) == room) SocketBufferReserve(sockbuf, size_t{sockbuf->capacity} * 2);
      return static_cast<int>(n);
    }
    if (n == 0) return -1;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    if (errno == ETIMEDOUT) sockbuf->timedout = 1;
    return -1;
  }
}

int SocketBufferRefill(SocketBuffer* sockbuf, Mutex* sendLock) {
  auto deadline = Clock::now() + std::chrono::milliseconds(sockbuf->readWaitMs);
  if (sockbuf->readDeadline != Clock::time_point{} && sockbuf->readDeadline < deadline) deadline = sockbuf->readDeadline;
  for (;;) {
    int n = SocketBufferReceive(sockbuf);
    if (n > 0) return n;
    if (n < 0) return sockbuf->timedout ? 0 : -1;
    int fd = sockbuf->socket.load();
    if (fd < 0) return -1;
    // Nothing yet: wait for input, sending queued output meanwhile (the
    // handshake's answer must leave before the peer can reply to it).
    // Output other threads queue meanwhile comes through the wake event.
    bool output = SocketBufferHasOutput(sockbuf);
    pollfd p[2] = {{fd, static_cast<short>(POLLIN | (output ? POLLOUT : 0)), 0}, {sockbuf->wakeFd, POLLIN, 0}};
    int ready = poll(p, 2, MsLeft(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return -1;
    if (p[1].revents & POLLIN) {
      uint64_t value;
      ssize_t n = read(sockbuf->wakeFd, &value, sizeof value);
      (void)n;
    }
    if ((p[0].revents & POLLOUT) || (p[1].revents & POLLIN)) {
      MutexLock guard(*sendLock);
      if (!SocketBufferFlush(sockbuf)) return -1;
    }
  }
}
