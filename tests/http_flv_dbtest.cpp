// HTTP-FLV and WebSocket-FLV against the real binary and a fresh database:
// the answer and its pacing, the accounting an RTMP play of the same name
// writes, refusals before any FLV byte, and hostile requests beside an RTMP
// player that must not notice them.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/ChatClient.h"
#include "support/FlvBuilder.h"
#include "support/SpeexFrames.h"
#include "support/StrmdSite.h"
#include "support/TestEnv.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int64_t kLeadMs = 1000;  // PlayAheadMs's default
constexpr int64_t kEarlyMs = 25;

int64_t MsSince(Clock::time_point from) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - from).count();
}

// From `source` (a loopback address) when given.
int Connect(int port, const char* source = nullptr) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (source != nullptr) {
    sockaddr_in from{};
    from.sin_family = AF_INET;
    inet_pton(AF_INET, source, &from.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
      close(fd);
      return -1;
    }
  }
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}


bool SendAll(int fd, const std::string& bytes) {
  return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

struct Tag {
  uint8_t type = 0;
  uint32_t timestamp = 0;
  std::string body;
  int64_t arrivedMs = 0;
};

// The response as it arrived: head, FLV stream (unframed), its tags with
// their arrival, whether the server closed.
struct Answer {
  std::string head;
  std::string flv;
  std::vector<Tag> tags;
  bool closed = false;
  bool closeFrame = false;
  std::string pong;
};

// Parses the tags completed in answer->flv since the last call.
void TakeTags(Answer* answer, size_t* at, int64_t nowMs) {
  if (*at == 0) {
    if (answer->flv.size() < 9) return;
    *at = 9;
  }
  while (answer->flv.size() >= *at + 15) {
    const auto* p = reinterpret_cast<const uint8_t*>(answer->flv.data() + *at + 4);
    const uint32_t size = (p[1] << 16) | (p[2] << 8) | p[3];
    if (answer->flv.size() < *at + 15 + size) return;
    Tag tag;
    tag.type = p[0];
    tag.timestamp = ((p[4] << 16) | (p[5] << 8) | p[6]) | (uint32_t{p[7]} << 24);
    tag.body = answer->flv.substr(*at + 15, size);
    tag.arrivedMs = nowMs;
    answer->tags.push_back(std::move(tag));
    *at += 15 + size;
  }
}

// Reads until the server closes or `timeoutMs` passes. On a WebSocket the
// server's frames are unwrapped: binary payloads make the FLV stream.
// `afterHead` is sent once the head arrived.
Answer Read(int fd, Clock::time_point start, int timeoutMs, bool webSocket = false, const std::string& afterHead = "") {
  Answer answer;
  std::string raw;
  size_t at = 0;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char buffer[65536];
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) {
      answer.closed = true;
      break;
    }
    raw.append(buffer, static_cast<size_t>(n));
    if (answer.head.empty()) {
      const size_t end = raw.find("\r\n\r\n");
      if (end == std::string::npos) continue;
      answer.head = raw.substr(0, end + 4);
      raw.erase(0, end + 4);
      if (!afterHead.empty()) SendAll(fd, afterHead);
    }
    if (!webSocket || answer.head.find(" 101 ") == std::string::npos) {
      answer.flv += raw;
      raw.clear();
    } else {
      while (raw.size() >= 2) {
        const auto* b = reinterpret_cast<const uint8_t*>(raw.data());
        size_t header = 2;
        uint64_t length = b[1] & 0x7f;
        if (length == 126) {
          if (raw.size() < 4) break;
          length = (b[2] << 8) | b[3];
          header = 4;
        } else if (length == 127) {
          if (raw.size() < 10) break;
          length = 0;
          for (int i = 2; i < 10; ++i) length = (length << 8) | b[i];
          header = 10;
        }
        if (raw.size() < header + length) break;
        const uint8_t opcode = b[0] & 0x0f;
        if (opcode == 2) answer.flv += raw.substr(header, length);
        if (opcode == 8) answer.closeFrame = true;
        if (opcode == 10) answer.pong = raw.substr(header, length);
        raw.erase(0, header + length);
      }
    }
    TakeTags(&answer, &at, MsSince(start));
  }
  return answer;
}

std::string Get(const std::string& target, const std::string& extra = "") {
  return "GET " + target + " HTTP/1.1\r\nHost: school.example\r\n" + extra + "\r\n";
}

constexpr char kUpgrade[] =
    "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";

// A client frame: masked, as a browser sends it.
std::string ClientFrame(uint8_t opcode, const std::string& payload) {
  std::string f;
  f += static_cast<char>(0x80 | opcode);
  if (payload.size() < 126) {
    f += static_cast<char>(0x80 | payload.size());
  } else {
    f += static_cast<char>(0x80 | 126);
    f += static_cast<char>(payload.size() >> 8);
    f += static_cast<char>(payload.size() & 0xff);
  }
  const char mask[4] = {1, 2, 3, 4};
  f.append(mask, 4);
  for (size_t i = 0; i < payload.size(); ++i) f += static_cast<char>(payload[i] ^ mask[i % 4]);
  return f;
}

class HttpFlv : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(site_.Start("httpflv", "default", "",  {},
                            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestravon\\Server]\n"
                            "\"HttpFlvAllowOrigin\"=\"https://school.example\"\n"
                            "\"TrustedProxy\"=\"127.0.0.1\"\n"
                            "\"HandshakeSeconds\"=dword:00000003\n"));
    ASSERT_TRUE(site_.HoldLocalWeb());
  }
  std::string Row(int id) {
    return site_.db->Value("select concat_ws(',', fileid, sessionid, userid, status) from FileSession where id=" +
                           std::to_string(id));
  }
  StrmdSite site_;
};

// The demo object over HTTP: 200 with the FLV head, onMetaData then tags
// paced against the clock with the lead, the end of the file ends the
// response, and the cookie's session gets the row an RTMP play of the name
// with that session gets. The same play over a WebSocket sends the same
// bytes as binary frames, and answers a ping; a start plays from there.
TEST_F(HttpFlv, PlaysPacedAccountsAndFramesTheSameBytes) {
  ASSERT_TRUE(FlvBuilder().Clip(4000, 1).WriteTo(site_.Files() + "/demo.flv"));
  int fd = Connect(site_.server.port);
  ASSERT_GE(fd, 0);
  const auto start = Clock::now();
  ASSERT_TRUE(SendAll(fd, Get("/strmd/default/fileid%3D200.flv", "Cookie: lang=en; PHPSESSID=demo-ben-0002\r\n")));
  Answer http = Read(fd, start, 15000);
  close(fd);
  EXPECT_EQ(http.head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << http.head;
  EXPECT_NE(http.head.find("Content-Type: video/x-flv\r\n"), std::string::npos);
  EXPECT_NE(http.head.find("Access-Control-Allow-Origin: https://school.example\r\n"), std::string::npos);
  EXPECT_EQ(http.head.find("Content-Length"), std::string::npos);
  ASSERT_TRUE(http.closed) << "the response did not end with the file";
  ASSERT_GE(http.flv.size(), 13u);
  EXPECT_EQ(http.flv.substr(0, 9), std::string("FLV\x01\x05\x00\x00\x00\x09", 9));
  ASSERT_GT(http.tags.size(), 20u);
  EXPECT_EQ(http.tags[0].type, 18);
  EXPECT_NE(http.tags[0].body.find("onMetaData"), std::string::npos);
  uint32_t last = 0;
  for (const Tag& tag : http.tags) {
    EXPECT_TRUE(tag.type == 8 || tag.type == 9 || tag.type == 18) << int(tag.type);
    EXPECT_GE(tag.arrivedMs, int64_t{tag.timestamp} - kLeadMs - kEarlyMs) << "tag at " << tag.timestamp;
    last = std::max(last, tag.timestamp);
  }
  EXPECT_GE(last, 3800u);
  EXPECT_GE(MsSince(start), 3000 - kEarlyMs);
  // The final PreviousTagSize closes the stream.
  const auto* tail = reinterpret_cast<const uint8_t*>(http.flv.data() + http.flv.size() - 4);
  EXPECT_EQ(uint32_t((tail[0] << 24) | (tail[1] << 16) | (tail[2] << 8) | tail[3]), 11 + http.tags.back().body.size());
  EXPECT_TRUE(TestWaitUntil([&] { return Row(2) == "200,2,2,2"; })) << Row(2);

  TestPlayer player;
  ASSERT_TRUE(player.Connect(static_cast<uint16_t>(site_.server.port)));
  ASSERT_EQ(player.CreateStream(), 1);
  ASSERT_TRUE(player.Play(1, "fileid=200&phpsessid=demo-ben-0002"));
  ASSERT_FALSE(player.Until("NetStream.Play.Complete", 10000).empty());
  EXPECT_TRUE(TestWaitUntil([&] { return Row(3) == "200,2,2,2"; })) << Row(3);
  EXPECT_EQ(site_.db->Value("select count(*) from FileSession"), "3");

  fd = Connect(site_.server.port);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(SendAll(fd, Get("/strmd/default/fileid%3D200.flv", kUpgrade)));
  Answer ws = Read(fd, Clock::now(), 15000, true, ClientFrame(9, "fence"));
  close(fd);
  EXPECT_EQ(ws.head.rfind("HTTP/1.1 101 Switching Protocols\r\n", 0), 0u) << ws.head;
  EXPECT_NE(ws.head.find("Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n"), std::string::npos) << ws.head;
  EXPECT_TRUE(ws.closeFrame);
  EXPECT_EQ(ws.pong, "fence");
  EXPECT_EQ(ws.flv, http.flv);

  // A start past 0 plays from the key frame there, as an RTMP play's start.
  fd = Connect(site_.server.port);
  ASSERT_TRUE(SendAll(fd, Get("/strmd/default/fileid%3D200.flv?start=2000")));
  Answer later = Read(fd, Clock::now(), 15000);
  close(fd);
  const Tag* firstVideo = nullptr;
  for (const Tag& tag : later.tags)
    if (tag.type == 9 && firstVideo == nullptr) firstVideo = &tag;
  ASSERT_NE(firstVideo, nullptr);
  EXPECT_EQ(firstVideo->timestamp, 2000u);
  EXPECT_EQ(firstVideo->body[0] >> 4, 1);
}

// A live channel: a viewer that joins after its speaker began gets the
// speaker's decoder configuration first, then the media as it comes.
TEST_F(HttpFlv, LiveChannelViewerGetsTheConfigurationThenTheMedia) {
  TestPlayer ben;
  ASSERT_TRUE(ben.Connect(static_cast<uint16_t>(site_.server.port)));
  ASSERT_EQ(ben.CreateStream(), 1);
  ASSERT_TRUE(ben.Publish(1, "phpsessid=demo-ben-0002&channel=5"));
  ASSERT_FALSE(ben.Until("NetStream.Publish.Start").empty());
  const std::vector<uint8_t> avcConfig = {0x17, 0, 0, 0, 0, 1, 0x42, 0, 0x1e, 0xff};
  const std::vector<uint8_t> aacConfig = {0xAF, 0, 0x14, 0x08};
  ASSERT_TRUE(ben.client.SendVideo(1, 0, avcConfig));
  ASSERT_TRUE(ben.client.SendAudio(1, 0, aacConfig));
  ASSERT_TRUE(ben.Command({amf::Str("createStream"), amf::Num(9), amf::Null()}));
  while (auto m = ben.Next()) {  // a fence: the configuration is kept
    if (m->type == 20 && Values(*m)[0].text == "_result") break;
  }

  int fd = Connect(site_.server.port);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(SendAll(fd, Get("/strmd/default/channel%3D5%26userid%3D2.flv")));
  const std::vector<uint8_t> key = {0x17, 1, 0, 0, 0, 7, 7, 7};
  const std::vector<uint8_t> inter = {0x27, 1, 0, 0, 0, 8, 8};
  // A fence: the head goes out once the viewer is on the channel, so the
  // frames sent after it reach the viewer.
  ASSERT_TRUE(TestWaitUntil([&] {
    char peek[256];
    const ssize_t n = recv(fd, peek, sizeof peek, MSG_PEEK | MSG_DONTWAIT);
    return n > 0 && std::string(peek, static_cast<size_t>(n)).find("\r\n\r\n") != std::string::npos;
  }));
  ASSERT_TRUE(ben.client.SendVideo(1, 40, key));
  ASSERT_TRUE(ben.client.SendVideo(1, 80, inter));
  Answer live = Read(fd, Clock::now(), 2500);
  close(fd);
  EXPECT_EQ(live.head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << live.head;
  EXPECT_FALSE(live.closed);
  std::vector<std::string> media;
  for (const Tag& tag : live.tags)
    if (tag.type == 8 || tag.type == 9) media.push_back(tag.body);
  auto text = [](const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); };
  ASSERT_EQ(media.size(), 4u);
  EXPECT_EQ(media[0], text(avcConfig));
  EXPECT_EQ(media[1], text(aacConfig));
  EXPECT_EQ(media[2], text(key));
  EXPECT_EQ(media[3], text(inter));
}

// The number after a name in an AMF0 object of a script tag; -1 when absent.
double AmfNumberAfter(const std::string& body, const std::string& name) {
  const size_t at = body.find(name);
  if (at == std::string::npos || at + name.size() + 9 > body.size() || body[at + name.size()] != 0) return -1;
  uint64_t bits = 0;
  for (int i = 1; i <= 8; ++i) bits = (bits << 8) | static_cast<uint8_t>(body[at + name.size() + i]);
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// Browsers decode no Speex: an HTTP-FLV player of a Speex recording gets
// Opus from a sidecar made once, stamped as the source's audio; a live
// channel's browser viewer gets the speaker's Opus (and silence before and
// while the speaker is gated) while an RTMP viewer of the channel gets the Speex.
TEST_F(HttpFlv, BrowserPlayersGetOpusInPlaceOfSpeex) {
  SpeexFrames speex;
  FlvBuilder clip;
  for (uint32_t t = 0; t < 4000; t += 20) {
    if (t % 1000 == 0) clip.Video(t, 40, true);
    clip.Raw(8, t, speex.Tone(3000));
  }
  ASSERT_TRUE(clip.WriteTo(site_.Files() + "/demo.flv"));
  auto play = [&](const std::string& query) {
    int fd = Connect(site_.server.port);
    SendAll(fd, Get("/strmd/default/fileid%3D200.flv" + query, "Cookie: PHPSESSID=demo-ben-0002\r\n"));
    Answer answer = Read(fd, Clock::now(), 15000);
    close(fd);
    return answer;
  };
  auto sidecar = [&] {
    for (const auto& e : std::filesystem::recursive_directory_iterator(site_.dir))
      if (e.path().extension() == ".opus") return e.path().string();
    return std::string();
  };
  for (const std::string query : {"?start=2000", ""}) {
    Answer answer = play(query);
    ASSERT_TRUE(answer.closed) << query;
    ASSERT_FALSE(answer.tags.empty()) << query;
    EXPECT_EQ(AmfNumberAfter(answer.tags[0].body, "audiocodecid"), double{0x4F707573}) << query;
    std::vector<uint32_t> frames;
    bool configured = false;
    for (const Tag& tag : answer.tags) {
      if (tag.type != 8 || tag.body.empty()) continue;
      const auto first = static_cast<uint8_t>(tag.body[0]);
      EXPECT_NE(first >> 4, 11) << "a Speex tag at " << tag.timestamp << query;
      if (first == 0x90) {
        EXPECT_TRUE(frames.empty()) << query;
        EXPECT_FALSE(configured) << query;
        configured = true;
      }
      if (first == 0x91) {
        EXPECT_TRUE(configured) << "a frame before the configuration" << query;
        frames.push_back(tag.timestamp);
      }
    }
    const uint32_t from = query.empty() ? 0 : 2000;
    ASSERT_GE(frames.size(), (4000 - from) / 20 - 3) << query;
    for (size_t i = 0; i < frames.size(); ++i) EXPECT_EQ(frames[i], from + 20 * i) << query;
  }
  // Made by the first play, read by the second.
  struct stat first {};
  ASSERT_EQ(stat(sidecar().c_str(), &first), 0);
  play("?start=3000");
  struct stat again {};
  ASSERT_EQ(stat(sidecar().c_str(), &again), 0);
  EXPECT_EQ(again.st_ino, first.st_ino);
  EXPECT_EQ(again.st_mtim.tv_nsec, first.st_mtim.tv_nsec);

  // Live: Ben talks, then is quiet past the hang time (gated).
  ChatClient ben;
  ASSERT_TRUE(ben.Login(static_cast<uint16_t>(site_.server.port), "demo-ben-0002"));
  ben.Do("chatConnectChat", {amf::Num(1)});
  TestPlayer rtmp;
  ASSERT_TRUE(rtmp.Connect(static_cast<uint16_t>(site_.server.port)));
  ASSERT_EQ(rtmp.CreateStream(), 1);
  ASSERT_TRUE(rtmp.Play(1, "channel=5&userid=2"));
  ASSERT_FALSE(rtmp.Until("NetStream.Play.Start").empty());
  int fd = Connect(site_.server.port);
  ASSERT_TRUE(SendAll(fd, Get("/strmd/default/channel%3D5%26userid%3D2.flv")));
  // A fence: the head goes out once the viewer is on the channel.
  ASSERT_TRUE(TestWaitUntil([&] {
    char peek[256];
    const ssize_t n = recv(fd, peek, sizeof peek, MSG_PEEK | MSG_DONTWAIT);
    return n > 0 && std::string(peek, static_cast<size_t>(n)).find("\r\n\r\n") != std::string::npos;
  }));
  ASSERT_EQ(ben.player.CreateStream(), 1);
  ASSERT_TRUE(ben.player.Publish(1, "channel=5"));
  ASSERT_FALSE(ben.player.Until("NetStream.Publish.Start").empty());
  uint32_t ts = 0;
  std::thread speaker([&] {
    SpeexFrames frames;
    for (int i = 0; i < 140; ++i) {  // quiet, 0.6 s loud, then quiet: gated after 1.1 s
      ben.player.client.SendAudio(1, ts += 20, frames.Next(i >= 10 && i < 40));
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  Answer live = Read(fd, Clock::now(), 4000);
  speaker.join();
  close(fd);
  std::vector<uint32_t> opus;
  bool configured = false;
  for (const Tag& tag : live.tags) {
    if (tag.type != 8 || tag.body.empty()) continue;
    const auto first = static_cast<uint8_t>(tag.body[0]);
    EXPECT_NE(first >> 4, 11) << "a Speex tag at " << tag.timestamp;
    configured = configured || first == 0x90;
    if (first == 0x91) {
      EXPECT_TRUE(configured) << "a frame before the configuration";
      EXPECT_TRUE(opus.empty() || tag.timestamp > opus.back()) << tag.timestamp;
      opus.push_back(tag.timestamp);
    }
  }
  ASSERT_GE(opus.size(), 30u);
  // Before the speaker first talks, the viewer hears silence.
  EXPECT_LT(opus.front(), 200u);
  // Silence carries the stream on while the speaker is gated.
  EXPECT_GE(opus.back() + 500, ts) << opus.back();
  size_t speexToRtmp = 0;
  while (auto m = rtmp.Next(500)) {
    if (m->type != 8) continue;
    EXPECT_EQ(m->body[0] >> 4, 11);
    ++speexToRtmp;
  }
  EXPECT_GE(speexToRtmp, 30u);
}

Answer Request(int port, const std::string& request) {
  int fd = Connect(port);
  SendAll(fd, request);
  Answer answer = Read(fd, Clock::now(), 10000);
  close(fd);
  return answer;
}

// A name that cannot be played answers before any FLV byte with the status
// code as text; so does a play, or a connect, refused by a busy server.
TEST(HttpFlvRefusal, RefusedPlaysAnswerTheStatusCode) {
  SKIP_WITHOUT_TEST_HOOKS();
  const std::string cpu = TestTempDir("httpflvcpu") + "/cpu";
  std::ofstream(cpu) << "0\n";
  StrmdSite site;
  ASSERT_TRUE(site.Start("httpflvbusy", "default", "", {"STRMD_TEST_CPU_FILE=" + cpu, "STRMD_DEBUG_PERIOD_MS=50"},
                         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestravon\\Server]\n\"AdmitCpuPercent\"=dword:0000003c\n"));
  Answer answer = Request(site.server.port, Get("/strmd/default/fileid%3D999.flv"));
  EXPECT_EQ(answer.head.rfind("HTTP/1.1 404 Not Found\r\n", 0), 0u) << answer.head;
  EXPECT_NE(answer.head.find("Content-Type: text/plain\r\n"), std::string::npos);
  EXPECT_EQ(answer.flv, "NetStream.Play.StreamNotFound\n");
  EXPECT_TRUE(answer.closed);

  // Above AdmitCpuPercent a new play of recorded media is refused as busy.
  const std::string part = cpu + ".part";
  std::ofstream(part) << "65\n";
  ASSERT_EQ(rename(part.c_str(), cpu.c_str()), 0);
  EXPECT_TRUE(TestWaitUntil([&] {
    answer = Request(site.server.port, Get("/strmd/default/fileid%3D999.flv"));
    return answer.head.rfind("HTTP/1.1 503 Service Unavailable\r\n", 0) == 0;
  })) << answer.head;
  EXPECT_EQ(answer.flv, "NetStream.Play.Failed\n");

  // From 10 more the request's connect is refused as well.
  std::ofstream(part) << "75\n";
  ASSERT_EQ(rename(part.c_str(), cpu.c_str()), 0);
  EXPECT_TRUE(TestWaitUntil([&] {
    answer = Request(site.server.port, Get("/strmd/default/fileid%3D999.flv"));
    return answer.flv == "NetConnection.Connect.Rejected\n";
  })) << answer.head << answer.flv;
  EXPECT_EQ(answer.head.rfind("HTTP/1.1 503 Service Unavailable\r\n", 0), 0u) << answer.head;
  EXPECT_TRUE(answer.closed);
}

// How many of `fds` the server has not closed yet.
size_t OpenCount(const std::vector<int>& fds) {
  std::vector<pollfd> polls;
  for (int fd : fds) polls.push_back({fd, POLLIN | POLLRDHUP, 0});
  poll(polls.data(), polls.size(), 0);
  size_t open = 0;
  for (const pollfd& p : polls) open += (p.revents & (POLLIN | POLLRDHUP | POLLHUP | POLLERR)) == 0;
  return open;
}

// Hostile requests are refused or closed with a report, while an RTMP
// player of the same server receives every message of its file.
TEST_F(HttpFlv, HostileRequestsAreClosedWhileRtmpPlays) {
  constexpr size_t kHalfOpen = 1000;
  rlimit files{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &files), 0);
  if (files.rlim_cur < 2 * kHalfOpen) {  // the test holds them all at once
    files.rlim_cur = std::min<rlim_t>(files.rlim_max, 2 * kHalfOpen);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &files), 0);
  }
  ASSERT_TRUE(FlvBuilder().Clip(6000, 1).WriteTo(site_.Files() + "/demo.flv"));
  FlvTestFile source;
  ASSERT_TRUE(ReadFlvForTest(site_.Files() + "/demo.flv", &source));
  TestPlayer player;
  ASSERT_TRUE(player.Connect(static_cast<uint16_t>(site_.server.port)));
  ASSERT_EQ(player.CreateStream(), 1);
  ASSERT_TRUE(player.Play(1, "fileid=200"));
  TestPlayer fence;
  ASSERT_TRUE(fence.Connect(static_cast<uint16_t>(site_.server.port)));
  ASSERT_EQ(fence.CreateStream(), 1);

  // A path over the head's bound.
  int longPath = Connect(site_.server.port);
  ASSERT_TRUE(SendAll(longPath, Get("/strmd/default/" + std::string(9000, 'a') + ".flv")));
  // A head that never ends.
  int trickle = Connect(site_.server.port);
  ASSERT_TRUE(SendAll(trickle, "GET /strmd/default/fileid%3D200.flv HTTP/1.1\r\nHost: a\r\n"));
  // A client frame over 4 KiB on a playing WebSocket, through the trusted
  // proxy: the report names the client the proxy added last, in the header
  // it added after the one its client made up.
  int bigFrame = Connect(site_.server.port);
  ASSERT_TRUE(SendAll(bigFrame, Get("/strmd/default/fileid%3D200.flv",
                                    std::string(kUpgrade) + "X-Forwarded-For: 192.0.2.66\r\n" +
                                        "X-Forwarded-For: 198.51.100.1, 203.0.113.7\r\n")));
  // A thousand half-open upgrades from another address (whose reports are
  // moderated apart): past the handshake cap of 32 each is refused at once;
  // those under it are held until the handshake deadline (3 s) and no longer.
  std::vector<int> halfOpen;
  const auto flood = Clock::now();
  for (size_t i = 0; i < kHalfOpen; ++i) {
    halfOpen.push_back(Connect(site_.server.port, "127.0.0.2"));
    ASSERT_GE(halfOpen.back(), 0) << i;
    SendAll(halfOpen.back(), "GET /strmd/default/fileid%3D200.flv HTTP/1.1\r\nUpgrade: websocket\r\n");
  }
  EXPECT_EQ(fence.CreateStream(), 2) << "no answer while the upgrades were held";
  size_t held = kHalfOpen;
  TestWaitUntil([&] { return (held = OpenCount(halfOpen)) <= 32 || MsSince(flood) >= 2800; }, 3000);
  EXPECT_LE(held, 32u) << "after " << MsSince(flood) << " ms";
  const auto start = Clock::now();
  Answer tooLong = Read(longPath, start, 5000);
  EXPECT_EQ(tooLong.head.rfind("HTTP/1.1 431 ", 0), 0u) << tooLong.head;
  Answer ws = Read(bigFrame, start, 1500, true);
  EXPECT_EQ(ws.head.rfind("HTTP/1.1 101 ", 0), 0u) << ws.head;
  ASSERT_TRUE(SendAll(bigFrame, ClientFrame(2, std::string(5000, 'x'))));
  EXPECT_TRUE(Read(bigFrame, start, 5000, true).closed);
  for (int i = 0; i < 10 && SendAll(trickle, "X"); ++i) usleep(500 * 1000);
  EXPECT_TRUE(Read(trickle, start, 5000).closed);
  EXPECT_LT(MsSince(start), 9000);
  EXPECT_TRUE(TestWaitUntil([&] { return OpenCount(halfOpen) == 0; }, 8000)) << OpenCount(halfOpen) << " held";
  EXPECT_LT(MsSince(flood), 3000 + 8000);
  for (int fd : halfOpen) close(fd);
  for (int fd : {longPath, trickle, bigFrame}) close(fd);

  size_t media = 0;
  bool complete = false;
  while (auto m = player.Next(10000)) {
    if (m->type == 8 || m->type == 9) ++media;
    if (StatusCode(*m) == "NetStream.Play.Complete") {
      complete = true;
      break;
    }
  }
  EXPECT_TRUE(complete);
  size_t sourceMedia = 0;
  for (const auto& tag : source.tags) sourceMedia += tag.type == 8 || tag.type == 9;
  EXPECT_GE(media, sourceMedia);
  const std::string log = site_.server.ErrorLog();
  EXPECT_NE(log.find("HTTP-FLV request from 127.0.0.1 refused: its head passes 8192 bytes"), std::string::npos) << log;
  EXPECT_NE(log.find("HTTP-FLV request from 127.0.0.1 closed: its head did not end within 3 s"), std::string::npos)
      << log;
  EXPECT_NE(log.find("WebSocket-FLV client 203.0.113.7 sent a frame over 4 KiB"), std::string::npos) << log;
  EXPECT_NE(log.find("Connection from 127.0.0.2 refused: 32 connections before connect from this address "
                     "(MaxHandshakingPerAddress 32)"),
            std::string::npos)
      << log;
}

}  // namespace
