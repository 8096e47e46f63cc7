// HTTP relay: a connection whose first byte is not an RTMP version is relayed
// byte for byte, both ways, to the local web server at 127.0.0.1:19039.
// Runs on the connection's own thread; shares nothing with other threads.
#pragma once

#include <cstdint>

struct IncomingConnection;

constexpr uint16_t kLocalWebPort = 19039;

// Relays until either side closes; closes both sockets; never releases the
// record.
void HttpRelay(IncomingConnection* incoming);

// Connects to 127.0.0.1:port within timeoutMs. Returns the socket or -1.
int ConnectLoopback(uint16_t port, int timeoutMs);
