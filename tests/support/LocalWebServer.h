// A stand-in for the platform's local web server on 127.0.0.1:19039. The port
// is fixed, so tests that run at the same time take turns: Start waits (up to
// a minute) for the port to be free.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct LocalWebServer {
  // Given what one connection has sent so far, returns the response once the
  // request is complete; an empty optional-like "" with done=false waits for more.
  std::function<bool(const std::string& request, std::string* response)> handler;

  int fd = -1;
  std::thread thread;
  std::atomic<bool> stop{false};
  std::mutex lock;
  std::vector<std::string> requests;  // every connection's bytes, as received

  LocalWebServer() = default;
  LocalWebServer(const LocalWebServer&) = delete;
  LocalWebServer& operator=(const LocalWebServer&) = delete;
  ~LocalWebServer();

  bool Start(uint16_t port = 19039);
  void Stop();
  // Waits until `count` connections have been served; false after timeoutMs.
  bool WaitForRequests(size_t count, int timeoutMs = 10000);
  std::vector<std::string> Requests();
};

// Answers an HTTP request (complete at its blank line) with a 200 response
// carrying `body`.
std::function<bool(const std::string&, std::string*)> HttpResponder(const std::string& body);
