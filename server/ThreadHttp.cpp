#include "server/ThreadHttp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "util/Log.h"
#include "client/Intake.h"
#include "config/ServerConfig.h"
#include "util/EnvNumber.h"
#include "util/HttpHead.h"
#include "connection/HttpFlv.h"

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

// Where the client is in its current request: its headers end at the first
// empty line, and the next request begins with the client's first byte after
// the web server has answered (an interim "100 Continue" is no answer).
struct RequestTracker {
  bool inHeaders = true;
  int matched = 0;        // of "\r\n\r\n"
  bool answered = false;  // a final response began since the headers ended
  Clock::time_point headerDeadline;

  void FromClient(const uint8_t* data, size_t n, int headerMs) {
    if (!inHeaders && answered) {
      inHeaders = true;
      matched = 0;
      answered = false;
      headerDeadline = Clock::now() + std::chrono::milliseconds(headerMs);
    }
    static constexpr char kEnd[] = "\r\n\r\n";
    for (size_t i = 0; i < n && inHeaders; ++i) {
      if (data[i] == static_cast<uint8_t>(kEnd[matched]))
        ++matched;
      else
        matched = data[i] == '\r' ? 1 : 0;
      if (matched == 4) inHeaders = false;
    }
  }
  void FromServer(const uint8_t* data, size_t n) {
    if (inHeaders || answered) return;
    // "HTTP/1.1 1xx": a status line with an informational code.
    const bool interim = n >= 10 && std::memcmp(data, "HTTP/", 5) == 0 && data[8] == ' ' && data[9] == '1';
    answered = !interim;
  }
};

// One read from `from` and a full write to `to`; the bytes moved are left in
// `buffer` (`*moved` of them).
Step TransferStep(int from, int to, uint8_t* buffer, int writeMs, size_t* moved) {
  ssize_t n;
  do {
    n = recv(from, buffer, kTransferSize, MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return Step::kEnd;
  *moved = static_cast<size_t>(n);
  return WriteAll(to, buffer, static_cast<size_t>(n), writeMs);
}

bool Closed(int fd) {
  pollfd p{fd, POLLRDHUP, 0};
  int r = poll(&p, 1, 0);
  return r < 0 || (r > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0);
}

}  // namespace

namespace {

int HeaderMs() {
  int headerMs = kRelayHeaderMs;
#ifdef STRMD_TEST_HOOKS
  headerMs = static_cast<int>(EnvNumber("STRMD_TEST_HTTP_HEADER_MS", headerMs, 1, INT_MAX));
#endif
  return headerMs;
}

void ReportHeaderTimedOut(const IncomingConnection* incoming, int headerMs) {
  char address[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &incoming->peer.sin_addr, address, sizeof address);
  errno = 0;
  ReportError("HTTP request from %s closed: its headers did not end within %d s", address, headerMs / 1000);
}

// Whether the bytes so far can still begin a request under the HTTP-FLV
// path: a method in capitals and a space, then the path. Anything else (a TLS
// hello, a request for another path) is relayed at once, without waiting for
// a line it may never send.
bool MayBeHttpFlv(std::string_view bytes, std::string_view flvPath) {
  constexpr size_t kMethodMax = 16;
  size_t i = 0;
  while (i < bytes.size() && i <= kMethodMax && bytes[i] >= 'A' && bytes[i] <= 'Z') ++i;
  if (i > kMethodMax) return false;
  if (i == bytes.size()) return true;
  if (i == 0 || bytes[i] != ' ') return false;
  const std::string_view target = bytes.substr(i + 1);
  const size_t n = std::min(target.size(), flvPath.size());
  return target.substr(0, n) == flvPath.substr(0, n);
}

}  // namespace

void HttpServe(IncomingConnection* incoming) {
  const ServerConfig& config = incoming->config != nullptr ? *incoming->config : g_config;
  const int headerMs = HeaderMs();
  const auto deadline =
      std::min(IntakeHandshakeDeadline(incoming), Clock::now() + std::chrono::milliseconds(headerMs));
  std::string bytes;
  // The request line tells; a line that has not ended within the head's
  // bound is left to whoever it addresses.
  while (MayBeHttpFlv(bytes, config.httpFlvPath) && HttpRequestLineLength(bytes) == 0 && bytes.size() < kHttpHeadMax) {
    const int n = HttpFlvReadSome(incoming->socket, &bytes, kHttpHeadMax, deadline);
    if (n > 0) continue;
    if (n < 0 && Clock::now() >= deadline) ReportHeaderTimedOut(incoming, headerMs);
    close(incoming->socket);
    incoming->socket = -1;
    return;
  }
  if (MayBeHttpFlv(bytes, config.httpFlvPath) && HttpFlvAddressed(bytes, config.httpFlvPath)) {
    HttpFlvRun(incoming, std::move(bytes), deadline);
    return;
  }
  // The relay has deadlines of its own; it never reaches connect.
  IntakeLeaveHandshaking(incoming);
  HttpRelay(incoming, bytes);
}

void HttpRelay(IncomingConnection* incoming, std::string_view prefix) {
  const int clientFd = incoming->socket;
  incoming->socket = -1;
  int serverFd = ConnectLoopback(LocalWebPort(), kConnectTimeoutMs);
  if (serverFd < 0) {
    RelaySocket client(clientFd);  // the client is closed without a response
    return;
  }
  const ServerConfig& config = incoming->config != nullptr ? *incoming->config : g_config;
  HttpRelayLimits limits;
  if (config.httpIdleSeconds > 0) limits.idleMs = config.httpIdleSeconds * 1000;
  limits.headerMs = HeaderMs();
  if (HttpRelaySockets(clientFd, serverFd, limits, prefix) == RelayEnd::kHeaderTimedOut)
    ReportHeaderTimedOut(incoming, limits.headerMs);
}

RelayEnd HttpRelaySockets(int clientFd, int serverFd, const HttpRelayLimits& limits, std::string_view prefix) {
  RelaySocket client(clientFd);
  RelaySocket server(serverFd);
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[kTransferSize]);
  auto idleDeadline = Clock::now() + std::chrono::milliseconds(limits.idleMs);
  RequestTracker request;
  request.headerDeadline = Clock::now() + std::chrono::milliseconds(limits.headerMs);
  if (!prefix.empty()) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(prefix.data());
    if (WriteAll(server.fd, bytes, prefix.size(), limits.writeMs) != Step::kMoved) return RelayEnd::kClosed;
    request.FromClient(bytes, prefix.size(), limits.headerMs);
  }
  while (true) {
    // A client that trickles its headers moves bytes often enough to stay
    // clear of the idle rule: this deadline is checked whatever moved.
    if (request.inHeaders && MsUntil(request.headerDeadline) == 0) return RelayEnd::kHeaderTimedOut;
    Step step;
    size_t moved = 0;
    bool fromClient = false;
    // The client is served first; a close is noticed only when neither side
    // has bytes waiting, so data already sent is relayed before the end.
    if (BytesWaiting(client.fd) > 0) {
      fromClient = true;
      step = TransferStep(client.fd, server.fd, buffer.get(), limits.writeMs, &moved);
    } else if (BytesWaiting(server.fd) > 0) {
      step = TransferStep(server.fd, client.fd, buffer.get(), limits.writeMs, &moved);
    } else {
      if (Closed(client.fd) || Closed(server.fd)) return RelayEnd::kClosed;
      int left = MsUntil(idleDeadline);
      if (left == 0) return RelayEnd::kIdle;
      if (request.inHeaders) left = std::min(left, std::max(MsUntil(request.headerDeadline), 1));
      pollfd p[2] = {{client.fd, POLLIN | POLLRDHUP, 0}, {server.fd, POLLIN | POLLRDHUP, 0}};
      int r = poll(p, 2, left);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return RelayEnd::kFailed;
      if (r == 0) continue;  // the deadlines are checked above
      if (p[0].revents & (POLLRDHUP | POLLHUP | POLLERR) || p[1].revents & (POLLRDHUP | POLLHUP | POLLERR))
        continue;  // the next pass relays what is waiting, then notices the close
      if (p[0].revents & POLLIN) {
        fromClient = true;
        step = TransferStep(client.fd, server.fd, buffer.get(), limits.writeMs, &moved);
      } else if (p[1].revents & POLLIN) {
        step = TransferStep(server.fd, client.fd, buffer.get(), limits.writeMs, &moved);
      } else {
        continue;
      }
    }
    if (fromClient)
      request.FromClient(buffer.get(), moved, limits.headerMs);
    else
      request.FromServer(buffer.get(), moved);
    if (step == Step::kWriteTimedOut) return RelayEnd::kWriteTimedOut;
    if (step == Step::kEnd) return RelayEnd::kClosed;
    idleDeadline = Clock::now() + std::chrono::milliseconds(limits.idleMs);
  }
}
