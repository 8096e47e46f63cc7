// The request head parser, the percent decoder and the WebSocket decoder
// over what a hostile peer sends: bounds, splits and bytes that must not
// reach a stream name or a header.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "util/HttpHead.h"
#include "util/WebSocket.h"

namespace {

// Every split of a head across reads: nothing is decided before its last
// byte, and the parse of the whole does not depend on where it was cut.
TEST(HttpHead, SplitHeadsWaitAndBoundsAreExact) {
  const std::string head =
      "GET /strmd/default/fileid%3D200.flv?start=10 HTTP/1.1\r\nHost:  a.example \r\n"
      "Cookie: lang=en; PHPSESSID=x-1\r\nConnection: keep-alive, Upgrade\r\nhost: b\r\n\r\nafter";
  HttpHead h;
  for (size_t n = 0; n < head.size() - 5; ++n)
    ASSERT_EQ(HttpHeadParse(head.substr(0, n), &h), HttpHeadStatus::kIncomplete) << n;
  ASSERT_EQ(HttpHeadParse(head, &h), HttpHeadStatus::kComplete);
  EXPECT_EQ(h.length, head.size() - 5);
  EXPECT_EQ(h.path, "/strmd/default/fileid%3D200.flv");
  EXPECT_EQ(h.query, "start=10");
  EXPECT_EQ(HttpHeadGet(h, "host"), "a.example");
  EXPECT_EQ(HttpHeadGetLast(h, "Host"), "b");
  EXPECT_EQ(HttpHeadCookie(h, "PHPSESSID"), "x-1");
  EXPECT_TRUE(HttpHeaderHasToken(HttpHeadGet(h, "Connection"), "upgrade"));

  // A head of exactly the bound is taken; one byte more is too long, with
  // its end in the bytes or not.
  const std::string line = "GET / HTTP/1.1\r\nX: ";
  const std::string fits = line + std::string(kHttpHeadMax - line.size() - 4, 'a') + "\r\n\r\n";
  EXPECT_EQ(HttpHeadParse(fits, &h), HttpHeadStatus::kComplete);
  const std::string over = line + std::string(kHttpHeadMax - line.size() - 3, 'a') + "\r\n\r\n";
  EXPECT_EQ(HttpHeadParse(over, &h), HttpHeadStatus::kTooLong);
  EXPECT_EQ(HttpHeadParse(std::string(kHttpHeadMax, 'a'), &h), HttpHeadStatus::kTooLong);
  std::string many = "GET / HTTP/1.1\r\n";
  for (size_t i = 0; i <= kHttpHeadersMax; ++i) many += "A: b\r\n";
  EXPECT_EQ(HttpHeadParse(many + "\r\n", &h), HttpHeadStatus::kTooLong);
}

TEST(HttpHead, MalformedHeadsAreBad) {
  for (const char* bad : {
           "GET / HTTP/2.0\r\n\r\n",                 // not 1.x
           "GET /a b HTTP/1.1\r\n\r\n",              // a blank in the target
           "GET /\x01 HTTP/1.1\r\n\r\n",             // a control byte in the target
           "GET / HTTP/1.1\r\nX: a\nInjected: b\r\n\r\n",  // a bare LF inside a header
           "GET / HTTP/1.1\r\nX: a\rb\r\n\r\n",      // a bare CR
           "GET / HTTP/1.1\r\n folded: a\r\n\r\n",   // a continuation line
           "GET / HTTP/1.1\r\nNo colon\r\n\r\n",
           "\r\n\r\n",
       }) {
    HttpHead h;
    EXPECT_EQ(HttpHeadParse(bad, &h), HttpHeadStatus::kBad) << bad;
  }
}

// A decoded stream name holds no control byte (NUL would cut it short, CR
// and LF would split a report); '/' and ".." decode as they are and are
// left to the play's path rules, as from an RTMP client.
TEST(HttpHead, PercentDecodingRefusesControlBytes) {
  struct Case {
    const char* text;
    bool ok;
    const char* decoded;
  };
  for (const Case& c : std::vector<Case>{{"fileid%3D200%26a%3db", true, "fileid=200&a=b"},
                                         {"a+b", true, "a+b"},
                                         {"..%2F..%2Fetc", true, "../../etc"},
                                         {"%41%4", false, ""},
                                         {"%zz", false, ""},
                                         {"a%00b", false, ""},
                                         {"a%0D%0AX: y", false, ""},
                                         {"a%09b", false, ""},
                                         {"a%7Fb", false, ""},
                                         {"a\nb", false, ""}}) {
    std::string out;
    EXPECT_EQ(HttpPercentDecode(c.text, false, &out), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(out, c.decoded);
    }
  }
  std::string out;
  EXPECT_TRUE(HttpPercentDecode("a+b", true, &out));
  EXPECT_EQ(out, "a b");
}

std::vector<uint8_t> Bytes(std::initializer_list<int> b) { return std::vector<uint8_t>(b.begin(), b.end()); }

TEST(WebSocket, ClientFramesAreBoundedBeforeTheirPayload) {
  struct Case {
    std::vector<uint8_t> bytes;
    WsDecodeStatus status;
  };
  const std::vector<Case> cases = {
      {Bytes({0x89, 0x81, 1, 2, 3, 4, 'x' ^ 1}), WsDecodeStatus::kFrame},
      {Bytes({0x89, 0x81, 1, 2, 3}), WsDecodeStatus::kNeedMore},
      {Bytes({0x89, 0x01, 'x'}), WsDecodeStatus::kBad},                                // unmasked
      {Bytes({0xc2, 0x80, 1, 2, 3, 4}), WsDecodeStatus::kBad},                         // a reserved bit
      {Bytes({0x83, 0x80, 1, 2, 3, 4}), WsDecodeStatus::kBad},                         // a reserved opcode
      {Bytes({0x09, 0x80, 1, 2, 3, 4}), WsDecodeStatus::kBad},                         // a fragmented ping
      {Bytes({0x88, 0xfe, 0, 126}), WsDecodeStatus::kBad},                             // a long close
      {Bytes({0x82, 0xfe, 0x10, 0x01}), WsDecodeStatus::kTooLarge},                    // 4097, header only
      {Bytes({0x82, 0xff, 0x80, 0, 0, 0, 0, 0, 0, 0}), WsDecodeStatus::kTooLarge},    // 2^63
      {Bytes({0x82, 0xfe, 0x10, 0x00, 1, 2, 3, 4}), WsDecodeStatus::kNeedMore},        // 4096 fits the limit
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    WsFrame frame;
    EXPECT_EQ(WsDecodeFrame(cases[i].bytes, 4096, &frame), cases[i].status) << i;
  }
  WsFrame frame;
  ASSERT_EQ(WsDecodeFrame(cases[0].bytes, 4096, &frame), WsDecodeStatus::kFrame);
  EXPECT_EQ(WsUnmask(frame), "x");
  EXPECT_EQ(frame.length, 7u);
}

// The key is the base64 of exactly 16 bytes.
TEST(WebSocket, AcceptValueOnlyForSixteenByteKeys) {
  EXPECT_EQ(WsAcceptValue("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
  for (const char* bad : {"AAAAAAAAAAAAAAAAAAAAAAAA", "dGhlIHNhbXBsZSBub25jZQ=", "dGhlIHNhbXBsZSBub25jZQ=x",
                          "dGhlIHNhbXBsZSBub25j\r\n==", ""})
    EXPECT_EQ(WsAcceptValue(bad), "") << bad;
}

}  // namespace
