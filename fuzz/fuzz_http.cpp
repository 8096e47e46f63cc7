// The request head parser and the WebSocket frame decoder over any bytes:
// every view lies inside the input, the head is never longer than its bound
// nor holds more headers than allowed, a decoded frame fits the input and
// the payload limit, and a percent-decoded text is never longer than its
// source nor holds a control byte.
#include <string>
#include <string_view>

#include "FuzzCommon.h"
#include "util/HttpHead.h"
#include "util/WebSocket.h"

namespace {

bool Inside(std::string_view part, std::string_view whole) {
  return part.empty() || (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  HttpHead head;
  const HttpHeadStatus status = HttpHeadParse(bytes, &head);
  if (status == HttpHeadStatus::kComplete) {
    FUZZ_CHECK(head.length <= kHttpHeadMax && head.length <= size);
    FUZZ_CHECK(head.headers.size() <= kHttpHeadersMax);
    const std::string_view within = bytes.substr(0, head.length);
    for (std::string_view part : {head.method, head.target, head.path, head.query, head.version})
      FUZZ_CHECK(Inside(part, within));
    FUZZ_CHECK(head.path.size() <= head.target.size());
    for (const HttpHeader& h : head.headers) FUZZ_CHECK(Inside(h.name, within) && Inside(h.value, within));
    FUZZ_CHECK(Inside(HttpHeadCookie(head, "PHPSESSID"), within));
    FUZZ_CHECK(Inside(HttpHeadGetLast(head, "X-Forwarded-For"), within));
    std::string decoded;
    for (std::string_view text : {head.path, head.query}) {
      if (!HttpPercentDecode(text, text.data() == head.query.data(), &decoded)) continue;
      FUZZ_CHECK(decoded.size() <= text.size());
      for (char c : decoded) FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f);
    }
  } else if (status == HttpHeadStatus::kIncomplete) {
    FUZZ_CHECK(size < kHttpHeadMax);
  }
  (void)HttpHeaderHasToken(bytes, "upgrade");

  // The same bytes as a client's frames, one after another.
  std::span<const uint8_t> rest(data, size);
  for (;;) {
    WsFrame frame;
    const WsDecodeStatus ws = WsDecodeFrame(rest, 4096, &frame);
    if (ws != WsDecodeStatus::kFrame) break;
    FUZZ_CHECK(frame.length >= 6 && frame.length <= rest.size());
    FUZZ_CHECK(frame.maskedPayload.size() <= 4096);
    FUZZ_CHECK(frame.maskedPayload.data() + frame.maskedPayload.size() == rest.data() + frame.length);
    FUZZ_CHECK(WsUnmask(frame).size() == frame.maskedPayload.size());
    if (frame.opcode >= kWsClose) FUZZ_CHECK(frame.final && frame.maskedPayload.size() <= 125);
    rest = rest.subspan(frame.length);
  }
  const std::string accept = WsAcceptValue(bytes.substr(0, 64));
  FUZZ_CHECK(accept.empty() || accept.size() == 28);
  return 0;
}
