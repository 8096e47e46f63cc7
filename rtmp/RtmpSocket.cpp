#include "rtmp/RtmpSocket.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "rtmp/RtmpCore.h"
#include "server/Log.h"

namespace {

using Clock = std::chrono::steady_clock;

bool IsOwner(const SocketBuffer* sockbuf) { return pthread_equal(pthread_self(), sockbuf->owner); }

int MsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for `events` on fd until the deadline. 1 ready, 0 timed out, -1 failed.
int WaitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    int res = poll(&p, 1, MsLeft(deadline));
    if (res < 0 && errno == EINTR) continue;
    if (res < 0) return -1;
    return res > 0 ? 1 : 0;
  }
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
  sockbuf->size = 0;
  sockbuf->start = 0;
  sockbuf->timedout = 0;
  if (!UnicastSocketPrepare(fd)) {
    REPORT_ASSERT("sockbuf->context", "RtmpSocket");
    return 0;
  }
  sockbuf->context = std::make_unique<SendQueue>();
  sockbuf->context->capacity = SendQueueConfiguredSize();
  return 1;
}

int SocketBufferClose(SocketBuffer* sockbuf) {
  int fd = sockbuf->socket.load();
  if (fd < 0) return 1;
  shutdown(fd, SHUT_RDWR);
  sockbuf->failed = true;
  // Only the owner closes: its reader may be inside poll() on this number,
  // and a number closed elsewhere could be reused by the next accept.
  if (!IsOwner(sockbuf)) return 1;
  close(fd);
  sockbuf->socket = -1;
  sockbuf->context.reset();
  sockbuf->size = 0;
  sockbuf->start = 0;
  return 1;
}

int SocketBufferWrite(SocketBuffer* sockbuf, const uint8_t* bytes, size_t length) {
  if (sockbuf->writeObserver) sockbuf->writeObserver({bytes, length});
  int fd = sockbuf->socket.load();
  if (fd < 0 || sockbuf->failed || !sockbuf->context) return 0;
  SendQueue& queue = *sockbuf->context;
  std::span<const uint8_t> rest(bytes, length);

  // Queued output goes first, or the peer would see bytes out of order.
  // Another connection's thread must never wait on this peer: without room
  // it fails and the connection closes. The owner can flush itself, so it
  // waits a while for the socket to take more.
  Clock::time_point deadline{};  // taken only once a wait is needed
  while (true) {
    if (!SendQueueFlush(queue, fd)) return 0;
    if (queue.entries.empty()) {
      long n = UnicastSocketSendSome(fd, rest);
      if (n < 0) return 0;
      rest = rest.subspan(static_cast<size_t>(n));
      if (rest.empty()) return 1;
    }
    if (queue.entries.size() + SendQueueEntriesFor(rest.size()) <= queue.capacity) break;
    if (!IsOwner(sockbuf)) return 0;
    if (deadline == Clock::time_point{}) deadline = Clock::now() + std::chrono::milliseconds(sockbuf->sendWaitMs);
    if (WaitFor(fd, POLLOUT, deadline) <= 0) return 0;
  }
  SendQueueAppend(queue, rest);
  if (!IsOwner(sockbuf) && sockbuf->wakeFd >= 0) {
    uint64_t one = 1;
    ssize_t n = write(sockbuf->wakeFd, &one, sizeof one);
    (void)n;
  }
  return 1;
}

int SocketBufferFlush(SocketBuffer* sockbuf) {
  int fd = sockbuf->socket.load();
  if (fd < 0 || sockbuf->failed || !sockbuf->context) return 0;
  return SendQueueFlush(*sockbuf->context, fd) ? 1 : 0;
}

bool SocketBufferHasOutput(const SocketBuffer* sockbuf) {
  // Only the owner drops the queue, so the owner may look without the lock.
  const SendQueue* queue = sockbuf->context.get();
  return queue && queue->queued.load() > 0;
}

int SocketBufferRefill(SocketBuffer* sockbuf) {
  if (sockbuf->size == 0) sockbuf->start = 0;
  int fd = sockbuf->socket.load();
  if (fd < 0) return -1;
  size_t used = sockbuf->start + static_cast<size_t>(sockbuf->size);
  if (used >= kSocketReadBufferSize) return -1;  // callers refill only when empty
  auto deadline = Clock::now() + std::chrono::milliseconds(sockbuf->readWaitMs);
  for (;;) {
    ssize_t n = recv(fd, sockbuf->buf + used, kSocketReadBufferSize - used, MSG_DONTWAIT);
    if (n > 0) {
      sockbuf->size += static_cast<int32_t>(n);
      return static_cast<int>(n);
    }
    if (n == 0) return 0;
    if (errno == EINTR) continue;
    if (errno == ETIMEDOUT) {
      sockbuf->timedout = 1;
      return 0;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    int ready = WaitFor(fd, POLLIN, deadline);
    if (ready <= 0) return -1;
  }
}

int RtmpReadBytes(RtmpContext* r, uint8_t* destination, size_t n) {
  SocketBuffer* sockbuf = &r->sockbuf;
  sockbuf->timedout = 0;
  size_t wanted = n;
  while (wanted > 0) {
    if (sockbuf->size == 0) {
      int res = SocketBufferRefill(sockbuf);
      if (res < 1) {
        if (!sockbuf->timedout) RtmpShutdown(r);
        return 0;
      }
    }
    size_t take = wanted < static_cast<size_t>(sockbuf->size) ? wanted : static_cast<size_t>(sockbuf->size);
    std::memcpy(destination, sockbuf->buf + sockbuf->start, take);
    destination += take;
    sockbuf->start += static_cast<uint32_t>(take);
    sockbuf->size -= static_cast<int32_t>(take);
    wanted -= take;
  }
  return static_cast<int>(n);
}

void RtmpShutdown(RtmpContext* r) {
  std::lock_guard<std::recursive_mutex> lock(r->sendLock);
  SocketBufferClose(&r->sockbuf);
}
