#include "util/WsContentHelper.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include <arpa/inet.h>
#include <netinet/in.h>

#include "util/Clock.h"

int ConnectLoopback(uint16_t port, int timeoutMs) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  int res = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  if (res != 0 && errno == EINPROGRESS) {
    pollfd p{fd, POLLOUT, 0};
    int err = 0;
    socklen_t len = sizeof err;
    if (poll(&p, 1, timeoutMs) == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 &&
        err == 0)
      res = 0;
  }
  if (res != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

WsHttpClient::~WsHttpClient() { Close(); }

void WsHttpClient::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

int WsHttpClient::RemainingMs() const {
  int64_t left = deadlineMs_ - MonotonicMs();
  return left > 0 ? static_cast<int>(left) : 0;
}

bool WsHttpClient::Connect(const char* hostPort, int timeoutMs) {
  Close();
  deadlineMs_ = MonotonicMs() + timeoutMs;
  std::string_view text(hostPort);
  size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) return false;
  std::string_view host = text.substr(0, colon);
  if (host != "localhost" && host != "127.0.0.1") return false;
  std::string portText(text.substr(colon + 1));
  char* stop = nullptr;
  long port = strtol(portText.c_str(), &stop, 10);
  if (portText.empty() || *stop != '\0' || port <= 0 || port > 65535) return false;
  fd_ = ConnectLoopback(static_cast<uint16_t>(port), timeoutMs);
  return fd_ >= 0;
}

bool WsHttpClient::Write(const char* text) {
  size_t length = strlen(text);
  size_t sent = 0;
  while (fd_ >= 0 && sent < length) {
    pollfd p{fd_, POLLOUT, 0};
    int ready = poll(&p, 1, RemainingMs());
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    ssize_t n = send(fd_, text + sent, length - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return fd_ >= 0;
}

bool WsHttpClient::ReadStatusLine(char* out, size_t size) {
  if (size == 0) return false;
  out[0] = '\0';
  size_t used = 0;
  while (fd_ >= 0) {
    pollfd p{fd_, POLLIN, 0};
    int ready = poll(&p, 1, RemainingMs());
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    char c;
    ssize_t n = recv(fd_, &c, 1, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return used > 0;
    if (c == '\n') return true;
    if (c != '\r' && used + 1 < size) {
      out[used++] = c;
      out[used] = '\0';
    }
  }
  return false;
}

bool WsNotifySessionEnd(uint16_t port, const char* phpsessid, const char* host, int timeoutMs) {
  char hostPort[32];
  snprintf(hostPort, sizeof hostPort, "localhost:%d", port);
  WsHttpClient client;
  if (!client.Connect(hostPort, timeoutMs)) return false;
  std::string line = std::string("GET /recorder/internalnew?phpsessid=") + phpsessid + "\r\n";
  std::string hostLine = std::string("Host: ") + host + "\r\n\r\n";
  if (!client.Write(line.c_str()) || !client.Write(hostLine.c_str())) return false;
  char status[256];
  client.ReadStatusLine(status, sizeof status);
  return true;
}
