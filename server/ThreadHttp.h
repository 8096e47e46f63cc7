// HTTP relay: a connection whose first byte is not an RTMP version is relayed
// byte for byte, both ways, to the local web server at 127.0.0.1:LocalWebPort
// (19039 by default).
// Runs on the connection's own thread; shares nothing with other threads.
#pragma once

#include <cstdint>
#include <string_view>

#include "util/WsContentHelper.h"

struct IncomingConnection;

// Bounds of one relay. A relay where no byte moved either way for idleMs
// ends (HttpIdleSeconds, 60 by default: a web server that never answers is
// bounded by it too); so does one whose side takes a transfer (up to 64 KiB)
// too slowly to finish it within writeMs, and one whose client has not ended
// a request's headers (the empty line) within headerMs of the request's
// first byte, however it trickles them. Neither peer can keep a thread for
// ever.
constexpr int kRelayIdleMs = 60 * 1000;
constexpr int kRelayWriteMs = 60 * 1000;
constexpr int kRelayHeaderMs = 20 * 1000;
struct HttpRelayLimits {
  int idleMs = kRelayIdleMs;
  int writeMs = kRelayWriteMs;
  int headerMs = kRelayHeaderMs;
};

// A connection whose first byte is no RTMP version: its request line is
// read (within the handshake's time and the header bound) to tell an
// HTTP-FLV play (connection/HttpFlv.h) from a request for the web server,
// which is relayed with the bytes already read. Closes the socket; never
// releases the record.
void HttpServe(IncomingConnection* incoming);

// Relays until either side closes or a bound is passed; closes both sockets;
// never releases the record. `prefix` is what the client sent already.
void HttpRelay(IncomingConnection* incoming, std::string_view prefix = {});

// The relay between two connected sockets (taken over and closed), on the
// calling thread, after `prefix` went to the server. Returns how it ended.
enum class RelayEnd { kClosed, kIdle, kWriteTimedOut, kHeaderTimedOut, kFailed };
RelayEnd HttpRelaySockets(int clientFd, int serverFd, const HttpRelayLimits& limits, std::string_view prefix = {});

