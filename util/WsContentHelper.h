// A small HTTP client for the server's own requests to the local web server:
// connect to a "host:port" text, write request lines, read the status line.
// Every step has a deadline, taken from the time-out given at connect, so a
// web server that never answers cannot hold up the calling thread for long.
//
// One client per calling thread; no shared state, no locks.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int kWsRequestTimeoutMs = 5000;

class WsHttpClient {
 public:
  WsHttpClient() = default;
  ~WsHttpClient();  // closes the connection
  WsHttpClient(const WsHttpClient&) = delete;
  WsHttpClient& operator=(const WsHttpClient&) = delete;

  // "localhost:N" or "127.0.0.1:N" (the web server is always local). False
  // when the text is malformed or the connection fails within timeoutMs;
  // the same time-out then bounds every later step together.
  bool Connect(const char* hostPort, int timeoutMs);
  // Writes the text as it is (the caller adds "\r\n").
  bool Write(const char* text);
  // The first response line without its line end, cut to size - 1
  // characters. False when none arrived before the deadline.
  bool ReadStatusLine(char* out, size_t size);
  void Close();
  bool IsOpen() const { return fd_ >= 0; }

 private:
  int RemainingMs() const;
  int fd_ = -1;
  int64_t deadlineMs_ = 0;
};

// Connects to 127.0.0.1:port within timeoutMs. Returns the socket or -1.
int ConnectLoopback(uint16_t port, int timeoutMs);

// Tells the web application that the connection of web session `phpsessid`
// ended: "GET /recorder/internalnew?phpsessid=%s" with "Host: %s" to
// localhost:port. The answer is read but not examined. False when the web
// server could not be reached (skipped silently by the caller).
bool WsNotifySessionEnd(uint16_t port, const char* phpsessid, const char* host, int timeoutMs);
