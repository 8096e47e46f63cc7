#include "rtmp/UnicastSocket.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <atomic>
#include <cerrno>
#include <climits>

#include "util/Log.h"
#include "util/Registry.h"

namespace {

// iovecs handed to one sendmsg(); the kernel's limit is IOV_MAX (1024).
constexpr size_t kMaxIovecs = 512;

}  // namespace

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

namespace {
std::atomic<uint32_t> g_fixedSize{0};
}  // namespace

void SendQueueFixSize(uint32_t slots) { g_fixedSize.store(slots, std::memory_order_relaxed); }

uint32_t SendQueueOpenSize() {
  const uint32_t fixed = g_fixedSize.load(std::memory_order_relaxed);
  return fixed != 0 ? fixed : SendQueueConfiguredSize();
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

uint64_t SendQueueWireSize(const SendQueueEntry& entry) {
  if (entry.chunkSize == 0) return entry.bodySize;
  uint64_t chunks = entry.bodySize == 0 ? 1 : (uint64_t{entry.bodySize} + entry.chunkSize - 1) / entry.chunkSize;
  return entry.firstLength + (chunks - 1) * entry.contLength + entry.bodySize;
}

void SendQueueAppend(SendQueue& queue, SendQueueEntry&& entry) {
  entry.sent = 0;
  uint64_t size = entry.wireSize;
  queue.entries.push_back(std::move(entry));
  queue.messages++;
  queue.bytes.fetch_add(size, std::memory_order_relaxed);
}

bool SendQueueFlush(SendQueue& queue, int fd) {
  iovec iov[kMaxIovecs];
  while (!queue.entries.empty()) {
    size_t count = 0;
    size_t total = 0;
    for (const SendQueueEntry& entry : queue.entries) {
      SendQueueSegments(entry, entry.sent, [&](const uint8_t* data, uint64_t length) {
        if (length == 0) return true;
        iov[count].iov_base = const_cast<uint8_t*>(data);
        iov[count].iov_len = length;
        total += length;
        return ++count < kMaxIovecs;
      });
      if (count == kMaxIovecs || total >= INT_MAX / 2) break;
    }
    if (count == 0) {  // only empty entries left
      queue.entries.clear();
      queue.bytes.store(0, std::memory_order_relaxed);
      return true;
    }
    msghdr message{};
    message.msg_iov = iov;
    message.msg_iovlen = count;
    ssize_t n = sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    queue.sendCalls++;
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
      return false;
    }
    uint64_t taken = static_cast<uint64_t>(n);
    queue.bytes.fetch_sub(taken, std::memory_order_relaxed);
    while (taken > 0 && !queue.entries.empty()) {
      SendQueueEntry& entry = queue.entries.front();
      uint64_t left = entry.wireSize - entry.sent;
      if (taken < left) {
        entry.sent += taken;
        taken = 0;
        break;
      }
      taken -= left;
      queue.entries.pop_front();
    }
    if (static_cast<size_t>(n) < total) return true;  // the socket is full
  }
  return true;
}
