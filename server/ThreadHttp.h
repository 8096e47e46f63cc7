// HTTP relay: a connection whose first byte is not an RTMP version is relayed
// byte for byte, both ways, to the local web server at 127.0.0.1:19039.
// Runs on the connection's own thread; shares nothing with other threads.
#pragma once

#include <cstdint>

#include "util/WsContentHelper.h"

struct IncomingConnection;

constexpr uint16_t kLocalWebPort = 19039;

// Bounds of one relay. A relay where no byte moved either way for idleMs
// ends; so does one whose side takes a transfer (up to 64 KiB) too slowly
// to finish it within writeMs. Neither peer can keep a thread for ever.
constexpr int kRelayIdleMs = 300 * 1000;
constexpr int kRelayWriteMs = 60 * 1000;
struct HttpRelayLimits {
  int idleMs = kRelayIdleMs;
  int writeMs = kRelayWriteMs;
};

// Relays until either side closes or a bound is passed; closes both sockets;
// never releases the record.
void HttpRelay(IncomingConnection* incoming);

// The relay between two connected sockets (taken over and closed), on the
// calling thread. Returns how it ended.
enum class RelayEnd { kClosed, kIdle, kWriteTimedOut, kFailed };
RelayEnd HttpRelaySockets(int clientFd, int serverFd, const HttpRelayLimits& limits);

