// HTTP-FLV and WebSocket-FLV: a request on the RTMP port whose path starts
// with HttpFlvPath plays one stream as an RTMP client of the site would, and
// the connection writes FLV instead of RTMP chunks:
//   GET <HttpFlvPath><app>/<url-encoded stream name>.flv[?start=<ms>]
// The request drives the connection's own commands (connect with the app,
// createStream, play with the name and start), so every rule of an RTMP
// play holds. The answer's head and FLV header go out when the play starts;
// until then the connection counts under the handshake caps and deadline; a play that fails before that byte answers
// 404 (503 when refused as busy) with the status code as text. The socket
// is read afterwards only for its end, or for a WebSocket client's frames.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

struct IncomingConnection;

// Client WebSocket frames larger than this close the connection.
constexpr size_t kHttpFlvClientFrameMax = 4096;

// Reads what the socket has (waiting until `deadline` for the first of it)
// onto `bytes`, never past `max` bytes in all. > 0 bytes read, 0 at the end
// of the stream, -1 when the deadline passed or the socket failed.
int HttpFlvReadSome(int fd, std::string* bytes, size_t max, std::chrono::steady_clock::time_point deadline);

// Whether the request line held in `bytes` (complete or not) addresses
// `flvPath`; false while too little is there to tell.
bool HttpFlvAddressed(const std::string& bytes, const char* flvPath);

// Serves the request whose first bytes are `bytes` (the head may still be
// incomplete; it must end by `deadline`). Closes the socket.
void HttpFlvRun(IncomingConnection* incoming, std::string bytes, std::chrono::steady_clock::time_point deadline);

