// The head of an HTTP/1.x request (request line and headers) as a peer sends
// it, parsed without trusting it: bounded in size, every length checked,
// nothing allocated beyond the bytes given. Pure code, any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// The most a head may take, request line and headers with the empty line.
constexpr size_t kHttpHeadMax = 8192;
// Headers of one request at most; a head with more is refused.
constexpr size_t kHttpHeadersMax = 64;

struct HttpHeader {
  std::string_view name;
  std::string_view value;  // without the surrounding blanks
};

// Views into the bytes given to HttpHeadParse; valid while they are.
struct HttpHead {
  std::string_view method;
  std::string_view target;  // as sent: path and query
  std::string_view path;    // target up to '?'
  std::string_view query;   // after '?', or empty
  std::string_view version;
  std::vector<HttpHeader> headers;
  size_t length = 0;  // bytes of the head, up to and with the empty line
};

enum class HttpHeadStatus {
  kComplete,    // `head` is filled
  kIncomplete,  // the empty line is not there yet (and the bytes fit)
  kTooLong,     // kHttpHeadMax bytes hold no empty line, or too many headers
  kBad,         // not an HTTP/1.x request head
};

// Parses the head at the start of `bytes`.
HttpHeadStatus HttpHeadParse(std::string_view bytes, HttpHead* head);

// Where the request line ends (after its "\r\n"); 0 while it has not ended.
size_t HttpRequestLineLength(std::string_view bytes);

// The value of the first header of that name (case-insensitive), or empty.
std::string_view HttpHeadGet(const HttpHead& head, std::string_view name);
// The value of the last header of that name, or empty: a proxy that adds a
// header adds it after those its client sent.
std::string_view HttpHeadGetLast(const HttpHead& head, std::string_view name);
// Whether a comma-separated header value holds `token` (case-insensitive),
// e.g. "Connection: keep-alive, Upgrade".
bool HttpHeaderHasToken(std::string_view value, std::string_view token);
// The value of cookie `name` in the request's Cookie headers, or empty.
std::string_view HttpHeadCookie(const HttpHead& head, std::string_view name);
// Decodes %XX and '+' (a blank in a query, kept as is in a path when
// `plusIsSpace` is false). False for a broken escape or a control byte
// (NUL, CR, LF, DEL...), escaped or not.
bool HttpPercentDecode(std::string_view text, bool plusIsSpace, std::string* out);
