#include "LocalWebServer.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

LocalWebServer::~LocalWebServer() { Stop(); }

bool LocalWebServer::Start(uint16_t wanted) {
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (true) {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(wanted);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) break;
    close(fd);
    fd = -1;
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  port = wanted;
  return Listen();
}

bool LocalWebServer::Reserve() {
  if (fd >= 0) return true;
  fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof addr;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
    if (fd >= 0) close(fd);
    fd = -1;
    return false;
  }
  port = ntohs(addr.sin_port);
  return true;
}

bool LocalWebServer::Listen() {
  if (thread.joinable()) return true;
  if (fd < 0 || listen(fd, 16) != 0) return false;
  thread = std::thread([this] {
    while (!stop) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      int c = accept(fd, nullptr, nullptr);
      if (c < 0) continue;
      std::string got, response;
      bool done = false;
      auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      char buf[65536];
      while (!done && !stop && std::chrono::steady_clock::now() < until) {
        pollfd q{c, POLLIN, 0};
        if (poll(&q, 1, 50) <= 0) continue;
        ssize_t n = recv(c, buf, sizeof buf, 0);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
        if (handler) done = handler(got, &response);
      }
      if (done && !response.empty()) {
        size_t off = 0;
        while (off < response.size()) {
          ssize_t n = send(c, response.data() + off, response.size() - off, MSG_NOSIGNAL);
          if (n <= 0) break;
          off += static_cast<size_t>(n);
        }
      }
      {
        std::lock_guard<std::mutex> g(lock);
        requests.push_back(got);
      }
      shutdown(c, SHUT_RDWR);
      close(c);
    }
  });
  return true;
}

void LocalWebServer::Stop() {
  stop = true;
  if (thread.joinable()) thread.join();
  if (fd >= 0) close(fd);
  fd = -1;
}

bool LocalWebServer::WaitForRequests(size_t count, int timeoutMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < end) {
    {
      std::lock_guard<std::mutex> g(lock);
      if (requests.size() >= count) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

std::vector<std::string> LocalWebServer::Requests() {
  std::lock_guard<std::mutex> g(lock);
  return requests;
}

std::string LocalWebPortRegistry(uint16_t port) {
  char dword[16];
  snprintf(dword, sizeof dword, "%08x", port);
  return std::string("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestravon\\Server]\n\"LocalWebPort\"=dword:") + dword + "\n\n";
}

std::function<bool(const std::string&, std::string*)> HttpResponder(const std::string& body) {
  return [body](const std::string& request, std::string* response) {
    if (request.find("\r\n\r\n") == std::string::npos) return false;
    *response = "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    return true;
  };
}
