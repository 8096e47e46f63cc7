// HTTP relay: a connection whose first byte is not an RTMP version is relayed
// byte for byte, both ways, to the local web server at 127.0.0.1:19039.
// Runs on the connection's own thread; shares nothing with other threads.
#pragma once

#include <cstdint>

#include "util/WsContentHelper.h"

struct IncomingConnection;

constexpr uint16_t kLocalWebPort = 19039;

// Relays until either side closes; closes both sockets; never releases the
// record.
void HttpRelay(IncomingConnection* incoming);

