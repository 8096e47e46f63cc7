#include "server/ThreadHttp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>

#include "server/Log.h"
#include "server/Server.h"

namespace {

constexpr size_t kTransferSize = 65536;
constexpr int kConnectTimeoutMs = 10 * 1000;

// Shuts both directions down, then closes.
struct RelaySocket {
  int fd = -1;
  explicit RelaySocket(int f) : fd(f) {}
  RelaySocket(const RelaySocket&) = delete;
  RelaySocket& operator=(const RelaySocket&) = delete;
  ~RelaySocket() {
    if (fd >= 0) {
      shutdown(fd, SHUT_RDWR);
      close(fd);
    }
  }
};

int BytesWaiting(int fd) {
  int n = 0;
  if (ioctl(fd, FIONREAD, &n) == -1) {
    REPORT_ASSERT("res != -1", "ThreadHttp");
    return 0;
  }
  return n;
}

using Clock = std::chrono::steady_clock;

int MsUntil(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

enum class Step { kMoved, kEnd, kWriteTimedOut };

// Writes everything within writeMs in all: a destination that takes the
// bytes too slowly, or not at all, ends the relay instead of holding it.
Step WriteAll(int fd, const uint8_t* data, size_t len, int writeMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(writeMs);
  while (len > 0) {
    ssize_t n = send(fd, data, len, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      data += n;
      len -= static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      const int left = MsUntil(deadline);
      if (left == 0) return Step::kWriteTimedOut;
      pollfd p{fd, POLLOUT, 0};
      poll(&p, 1, left);
      continue;
    }
    return Step::kEnd;
  }
  return Step::kMoved;
}

// One read from `from` and a full write to `to`.
Step TransferStep(int from, int to, uint8_t* buffer, int writeMs) {
  ssize_t n;
  do {
    n = recv(from, buffer, kTransferSize, MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return Step::kEnd;
  return WriteAll(to, buffer, static_cast<size_t>(n), writeMs);
}

bool Closed(int fd) {
  pollfd p{fd, POLLRDHUP, 0};
  int r = poll(&p, 1, 0);
  return r < 0 || (r > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0);
}

}  // namespace

void HttpRelay(IncomingConnection* incoming) {
  const int clientFd = incoming->socket;
  incoming->socket = -1;
  int serverFd = ConnectLoopback(kLocalWebPort, kConnectTimeoutMs);
  if (serverFd < 0) {
    RelaySocket client(clientFd);  // the client is closed without a response
    return;
  }
  HttpRelaySockets(clientFd, serverFd, HttpRelayLimits{});
}

RelayEnd HttpRelaySockets(int clientFd, int serverFd, const HttpRelayLimits& limits) {
  RelaySocket client(clientFd);
  RelaySocket server(serverFd);
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[kTransferSize]);
  auto idleDeadline = Clock::now() + std::chrono::milliseconds(limits.idleMs);
  while (true) {
    Step step;
    // The client is served first; a close is noticed only when neither side
    // has bytes waiting, so data already sent is relayed before the end.
    if (BytesWaiting(client.fd) > 0) {
      step = TransferStep(client.fd, server.fd, buffer.get(), limits.writeMs);
    } else if (BytesWaiting(server.fd) > 0) {
      step = TransferStep(server.fd, client.fd, buffer.get(), limits.writeMs);
    } else {
      if (Closed(client.fd) || Closed(server.fd)) return RelayEnd::kClosed;
      const int left = MsUntil(idleDeadline);
      if (left == 0) return RelayEnd::kIdle;
      pollfd p[2] = {{client.fd, POLLIN | POLLRDHUP, 0}, {server.fd, POLLIN | POLLRDHUP, 0}};
      int r = poll(p, 2, left);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return RelayEnd::kFailed;
      if (r == 0) continue;  // the deadline is checked above
      if (p[0].revents & (POLLRDHUP | POLLHUP | POLLERR) || p[1].revents & (POLLRDHUP | POLLHUP | POLLERR))
        continue;  // the next pass relays what is waiting, then notices the close
      if (p[0].revents & POLLIN)
        step = TransferStep(client.fd, server.fd, buffer.get(), limits.writeMs);
      else if (p[1].revents & POLLIN)
        step = TransferStep(server.fd, client.fd, buffer.get(), limits.writeMs);
      else
        continue;
    }
    if (step == Step::kWriteTimedOut) return RelayEnd::kWriteTimedOut;
    if (step == Step::kEnd) return RelayEnd::kClosed;
    idleDeadline = Clock::now() + std::chrono::milliseconds(limits.idleMs);
  }
}
