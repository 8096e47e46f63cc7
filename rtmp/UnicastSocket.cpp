#include "rtmp/UnicastSocket.h"

#include <fcntl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "server/Log.h"
#include "util/Registry.h"

uint32_t SendQueueConfiguredSize() {
  uint32_t value = kMaxSendQueueSize;
  auto key = RegistryOpenKey("SOFTWARE\\Kestravon\\Parameters");
  if (!key || !RegistryGetDword(*key, "USendQueueSize", &value)) return kMaxSendQueueSize;
  // 0 would make every queued write fail and more than 64 would let a slow
  // reader's backlog grow past what the live drop rules expect.
  if (value < kMinSendQueueSize) return kMinSendQueueSize;
  if (value > kMaxSendQueueSize) return kMaxSendQueueSize;
  return value;
}

bool UnicastSocketPrepare(int fd) {
  bool ok = true;
  int size = kSocketSendBufferSize;
  if (setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size) != 0) {
    REPORT_ASSERT("res != SOCKET_ERROR", "UnicastSocket");
    ok = false;
  }
  int flags = fcntl(fd, F_GETFL, 0);
  if (flags != -1) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  return ok;
}

long UnicastSocketSendSome(int fd, std::span<const uint8_t> bytes) {
  size_t total = 0;
  while (total < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + total, bytes.size() - total, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      total += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    return -1;
  }
  return static_cast<long>(total);
}

bool SendQueueFlush(SendQueue& queue, int fd) {
  while (!queue.entries.empty()) {
    SendQueueEntry& entry = queue.entries.front();
    long n = UnicastSocketSendSome(fd, {entry.data.get() + entry.sent, entry.length - entry.sent});
    if (n < 0) return false;
    entry.sent += static_cast<size_t>(n);
    if (entry.sent < entry.length) break;
    queue.entries.pop_front();
    queue.queued.store(static_cast<uint32_t>(queue.entries.size()));
  }
  return true;
}

void SendQueueAppend(SendQueue& queue, std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    size_t piece = bytes.size() < TCP_BUFFER_SIZE ? bytes.size() : TCP_BUFFER_SIZE;
    SendQueueEntry entry;
    entry.data = std::make_unique_for_overwrite<uint8_t[]>(piece);
    std::memcpy(entry.data.get(), bytes.data(), piece);
    entry.length = piece;
    queue.entries.push_back(std::move(entry));
    bytes = bytes.subspan(piece);
  }
  queue.queued.store(static_cast<uint32_t>(queue.entries.size()));
}
