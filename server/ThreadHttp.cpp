#include "server/ThreadHttp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "server/Log.h"
#include "server/Server.h"

namespace {

constexpr size_t kTransferSize = 65536;
constexpr int kWriteWaitMs = 10 * 1000;
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

// Writes everything; a destination that takes nothing is given 10 s at a
// time, for as long as it stays connected.
bool WriteAll(int fd, const uint8_t* data, size_t len) {
  while (len > 0) {
    ssize_t n = send(fd, data, len, MSG_NOSIGNAL);
    if (n > 0) {
      data += n;
      len -= static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p{fd, POLLOUT, 0};
      poll(&p, 1, kWriteWaitMs);
      continue;
    }
    return false;
  }
  return true;
}

// One read from `from` and a full write to `to`; 0 ends the relay.
size_t TransferStep(int from, int to, uint8_t* buffer) {
  ssize_t n;
  do {
    n = recv(from, buffer, kTransferSize, 0);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return 0;
  return WriteAll(to, buffer, static_cast<size_t>(n)) ? static_cast<size_t>(n) : 0;
}

bool Closed(int fd) {
  pollfd p{fd, POLLRDHUP, 0};
  int r = poll(&p, 1, 0);
  return r < 0 || (r > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0);
}

}  // namespace

void HttpRelay(IncomingConnection* incoming) {
  RelaySocket client(incoming->socket);
  incoming->socket = -1;
  int serverFd = ConnectLoopback(kLocalWebPort, kConnectTimeoutMs);
  if (serverFd < 0) return;  // the client is closed without a response
  RelaySocket server(serverFd);
  fcntl(client.fd, F_SETFL, fcntl(client.fd, F_GETFL) | O_NONBLOCK);

  std::unique_ptr<uint8_t[]> buffer(new uint8_t[kTransferSize]);
  while (true) {
    size_t moved;
    // The client is served first; a close is noticed only when neither side
    // has bytes waiting, so data already sent is relayed before the end.
    if (BytesWaiting(client.fd) > 0) {
      moved = TransferStep(client.fd, server.fd, buffer.get());
    } else if (BytesWaiting(server.fd) > 0) {
      moved = TransferStep(server.fd, client.fd, buffer.get());
    } else {
      if (Closed(client.fd) || Closed(server.fd)) break;
      pollfd p[2] = {{client.fd, POLLIN | POLLRDHUP, 0}, {server.fd, POLLIN | POLLRDHUP, 0}};
      int r = poll(p, 2, -1);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) break;
      if (p[0].revents & (POLLRDHUP | POLLHUP | POLLERR) || p[1].revents & (POLLRDHUP | POLLHUP | POLLERR))
        continue;  // the next pass relays what is waiting, then notices the close
      if (p[0].revents & POLLIN)
        moved = TransferStep(client.fd, server.fd, buffer.get());
      else if (p[1].revents & POLLIN)
        moved = TransferStep(server.fd, client.fd, buffer.get());
      else
        continue;
    }
    if (moved == 0) break;
  }
}
