#include "rtmp/UnicastSocket.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <new>

#include "util/Log.h"
#include "util/Registry.h"
#include "util/ThreadSafety.h"

namespace {

// iovecs handed to one sendmsg(); the kernel's limit is IOV_MAX (1024).
constexpr size_t kMaxIovecs = 512;
// Small chunks (128 bytes unless the peer asks for more) make two iovecs
// each, and the kernel's cost per iovec outweighs copying them: from this
// many iovecs averaging less than kGatherAverage bytes, up to kGatherBytes
// of them go out as one copied piece. The piece stays below the size whose
// free makes the allocator consolidate and trim its heap.
constexpr size_t kGatherMinIovecs = 16;
constexpr size_t kGatherAverage = 512;
constexpr size_t kGatherBytes = 32 * 1024;

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

// The last reading and the file it came from: a connection's set-up stats the
// registry file instead of parsing it, and a changed file is read again.
struct SendQueueSizeCache {
  Mutex lock;
  bool valid GUARDED_BY(lock) = false;
  struct stat seen GUARDED_BY(lock) {};
  uint32_t slots GUARDED_BY(lock) = kMaxSendQueueSize;
};
SendQueueSizeCache g_sizeCache;

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

}  // namespace

uint32_t SendQueueOpenSize() {
  struct stat now {};
  if (stat(RegistryPath().c_str(), &now) != 0) return SendQueueConfiguredSize();
  {
    MutexLock guard(g_sizeCache.lock);
    if (g_sizeCache.valid && SameFile(g_sizeCache.seen, now)) return g_sizeCache.slots;
  }
  const uint32_t slots = SendQueueConfiguredSize();
  MutexLock guard(g_sizeCache.lock);
  g_sizeCache.valid = true;
  g_sizeCache.seen = now;
  g_sizeCache.slots = slots;
  return slots;
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

void SendQueueAppend(SocketSendQueue& queue, SendQueueEntry&& entry) {
  entry.sent = 0;
  uint64_t size = entry.wireSize;
  queue.entries.push_back(std::move(entry));
  queue.messages++;
  queue.bytes.fetch_add(size, std::memory_order_relaxed);
}

bool SendQueueFlush(SocketSendQueue& queue, int fd) {
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
    // Heap, not stack or thread-local: a connection's memory stays small.
    std::unique_ptr<uint8_t[]> gathered;
    if (count >= kGatherMinIovecs && total / count < kGatherAverage) {
      size_t folded = 0, bytes = 0;
      while (folded < count && bytes + iov[folded].iov_len <= kGatherBytes) bytes += iov[folded++].iov_len;
      if (folded > 1) gathered.reset(new (std::nothrow) uint8_t[bytes]);
      if (gathered) {
        uint8_t* p = gathered.get();
        for (size_t i = 0; i < folded; ++i) {
          std::memcpy(p, iov[i].iov_base, iov[i].iov_len);
          p += iov[i].iov_len;
        }
        iov[folded - 1] = {gathered.get(), bytes};
        message.msg_iov = iov + folded - 1;
        message.msg_iovlen = count - folded + 1;
      }
    }
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
