// A stand-in for the platform's local web server on 127.0.0.1: on the default
// port 19039, which tests that run at the same time must take turns for (Start
// waits up to a minute for it to be free), or on a free port of its own
// (Reserve, then Listen), which a test hands to its server as LocalWebPort.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// strmd's default LocalWebPort. A test file that names it takes the ctest lock
// "localweb" (tests/CMakeLists.txt).
constexpr uint16_t kLocalWebDefaultPort = 19039;

struct LocalWebServer {
  // Given what one connection has sent so far, returns the response once the
  // request is complete; an empty optional-like "" with done=false waits for more.
  std::function<bool(const std::string& request, std::string* response)> handler;

  int fd = -1;
  uint16_t port = 0;  // once bound
  std::thread thread;
  std::atomic<bool> stop{false};
  std::mutex lock;
  std::vector<std::string> requests;  // every connection's bytes, as received

  LocalWebServer() = default;
  LocalWebServer(const LocalWebServer&) = delete;
  LocalWebServer& operator=(const LocalWebServer&) = delete;
  ~LocalWebServer();

  bool Start(uint16_t port);
  // Binds a free port without listening: until Listen, connects to it are
  // refused as if nothing were there, and no other socket can take it.
  bool Reserve();
  // Serves the reserved port.
  bool Listen();
  void Stop();
  // Waits until `count` connections have been served; false after timeoutMs.
  bool WaitForRequests(size_t count, int timeoutMs = 10000);
  std::vector<std::string> Requests();
};

// The server key's LocalWebPort set to `port`, as registry text.
std::string LocalWebPortRegistry(uint16_t port);

// Answers an HTTP request (complete at its blank line) with a 200 response
// carrying `body`.
std::function<bool(const std::string&, std::string*)> HttpResponder(const std::string& body);
