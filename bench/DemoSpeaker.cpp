// strmd-demo-speaker: the speaker of the demo's live class. It logs in with a
// web session (loadmodel phpsessid), enters a chat room with audio and video
// (without that presence strmd relays none of its audio), and publishes an
// FLV clip on a live channel in a loop, paced in real time, its timestamps
// rising across loops. When the server goes away it connects again, every
// 2 s, and goes on with timestamps still rising.
//
//   strmd-demo-speaker --flv FILE [--host 127.0.0.1] [--port 1935] [--app default]
//                      [--session demo-ben-0002] [--chat 1] [--channel 5]
//
// One line per event on standard output; it runs until it is stopped.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "testclient/TestAmf.h"
#include "testclient/TestChunks.h"
#include "testclient/TestFlv.h"
#include "testclient/TestHandshake.h"

using namespace testclient;

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kReplyTimeout = std::chrono::seconds(10);
constexpr auto kRetryPause = std::chrono::seconds(2);
constexpr int kSendTimeoutS = 10;
constexpr uint32_t kOutChunk = 4096;
constexpr off_t kMaxClipBytes = 256 << 20;
constexpr double kConnectTx = 1, kLoginTx = 2, kCreateTx = 3;

struct Options {
  std::string host = "127.0.0.1";
  int port = 1935;
  std::string app = "default";
  std::string flv;
  std::string session = "demo-ben-0002";
  int chat = 1;
  int channel = 5;
};

void Say(const std::string& line) {
  printf("demo speaker: %s\n", line.c_str());
  fflush(stdout);
}

// One connection to the server. A failure leaves `why` set; the caller then
// drops the connection and tries again later.
struct Link {
  int fd = -1;
  ChunkReader reader;
  std::vector<uint8_t> in;
  uint64_t received = 0, acked = 0;
  uint32_t window = 0;
  std::string why;
  ~Link() {
    if (fd >= 0) close(fd);
  }
};

bool Fail(Link& link, const std::string& why) {
  if (link.why.empty()) link.why = why;
  return false;
}

bool SendBytes(Link& link, std::span<const uint8_t> bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = send(link.fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += size_t(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return Fail(link, n < 0 && errno == EAGAIN ? "the server stopped reading"
                                                   : std::string("send: ") + strerror(errno));
    }
  }
  return true;
}

bool SendMessage(Link& link, uint32_t channel, uint8_t type, uint32_t streamId, uint32_t timestamp,
                 std::span<const uint8_t> body) {
  std::vector<uint8_t> out;
  ChunkWrite(out, channel, type, streamId, timestamp, body, kOutChunk);
  return SendBytes(link, out);
}

bool SendCommand(Link& link, const std::vector<uint8_t>& body, uint32_t streamId = 0) {
  return SendMessage(link, streamId == 0 ? 3 : 8, kMsgCommand, streamId, 0, body);
}

bool Open(Link& link, const Options& opt) {
  link.fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (link.fd < 0) return Fail(link, std::string("socket: ") + strerror(errno));
  const int one = 1;
  setsockopt(link.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  // A server that stops reading or answering ends the connection, not the speaker.
  const timeval timeout{kSendTimeoutS, 0};
  setsockopt(link.fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  setsockopt(link.fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(uint16_t(opt.port));
  if (inet_pton(AF_INET, opt.host.c_str(), &addr.sin_addr) != 1) return Fail(link, "bad address " + opt.host);
  if (connect(link.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
    return Fail(link, "connect to " + opt.host + ":" + std::to_string(opt.port) + ": " + strerror(errno));
  return true;
}

// Reads exactly `size` bytes of the handshake.
bool ReadExactly(Link& link, uint8_t* out, size_t size) {
  size_t got = 0;
  while (got < size) {
    const ssize_t n = recv(link.fd, out + got, size - got, 0);
    if (n > 0) {
      got += size_t(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return Fail(link, n == 0 ? "the server closed the connection" : "the handshake timed out");
    }
  }
  return true;
}

bool Handshake(Link& link) {
  if (!SendBytes(link, HandshakePlainC0C1(3))) return false;
  std::vector<uint8_t> reply(1 + 2 * kHandshakeSize);
  if (!ReadExactly(link, reply.data(), reply.size())) return false;
  if (reply[0] != 3) return Fail(link, "handshake version " + std::to_string(reply[0]));
  // C2 echoes S1.
  return SendBytes(link, std::span<const uint8_t>(reply.data() + 1, kHandshakeSize));
}

uint32_t Be32(std::span<const uint8_t> b) {
  return b.size() < 4 ? 0 : uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
}

// What the server said that the speaker waits for.
struct Heard {
  std::vector<amf::Node> command;  // the last command or data message
  bool closed = false;
};

// Reads what has arrived (waiting up to `waitMs`), answers pings and
// acknowledges as the server's window asks; `onCommand` sees every command.
// False when the connection is gone or broken.
template <typename OnCommand>
bool Pump(Link& link, int waitMs, OnCommand&& onCommand) {
  pollfd p{link.fd, POLLIN, 0};
  const int ready = poll(&p, 1, waitMs);
  if (ready < 0) return errno == EINTR || Fail(link, std::string("poll: ") + strerror(errno));
  if (ready == 0) return true;
  uint8_t buffer[16384];
  const ssize_t n = recv(link.fd, buffer, sizeof buffer, MSG_DONTWAIT);
  if (n == 0) return Fail(link, "the server closed the connection");
  if (n < 0) return errno == EAGAIN || errno == EINTR || Fail(link, std::string("recv: ") + strerror(errno));
  link.received += uint64_t(n);
  link.in.insert(link.in.end(), buffer, buffer + n);
  bool ok = true;
  const long used = link.reader.Feed(link.in, [&](const ChunkMessage& m) {
    if (!ok) return;
    if (m.type == kMsgSetChunkSize) {
      const uint32_t size = Be32(m.body) & kMaxChunkSize;
      if (size == 0) ok = Fail(link, "the server set a chunk size of 0");
      else link.reader.SetChunkSize(size);
    } else if (m.type == kMsgWindowAck) {
      link.window = Be32(m.body);
    } else if (m.type == kMsgUserControl && m.body.size() >= 6 && m.body[0] == 0 && m.body[1] == 6) {
      std::vector<uint8_t> pong = {0, 7};
      pong.insert(pong.end(), m.body.begin() + 2, m.body.begin() + 6);
      ok = SendMessage(link, 2, kMsgUserControl, 0, 0, pong);
    } else if (m.type == kMsgCommand) {
      std::vector<amf::Node> values;
      if (amf::Read(m.body, &values, nullptr, amf::kMaxReplyDepth) && !values.empty()) ok = onCommand(values);
    }
  });
  if (!ok) return false;
  if (used < 0) return Fail(link, "the server sent a malformed chunk stream");
  link.in.erase(link.in.begin(), link.in.begin() + used);
  if (link.window > 0 && link.received - link.acked >= link.window / 2) {
    link.acked = link.received;
    const uint32_t seq = uint32_t(link.received);
    const uint8_t ack[4] = {uint8_t(seq >> 24), uint8_t(seq >> 16), uint8_t(seq >> 8), uint8_t(seq)};
    return SendMessage(link, 2, kMsgAck, 0, 0, ack);
  }
  return true;
}

// Waits for the reply to transaction `tx` (its _result values) or, with tx
// 0, for the onStatus whose code is `code`. An _error or a failed status fails.
bool Await(Link& link, double tx, const std::string& code, const std::string& what,
           std::vector<amf::Node>* reply) {
  const auto deadline = Clock::now() + kReplyTimeout;
  bool done = false;
  while (!done) {
    if (Clock::now() >= deadline) return Fail(link, "no answer to " + what + " within 10 s");
    const bool alive = Pump(link, 200, [&](std::vector<amf::Node>& v) {
      const std::string& name = v[0].text;
      const bool answer = v.size() >= 2 && v[1].kind == amf::Kind::kNumber && v[1].number == tx;
      if (tx != 0 && answer && name == "_result") {
        *reply = std::move(v);
        done = true;
      } else if (tx != 0 && answer && name == "_error") {
        return Fail(link, what + " refused");
      } else if (name == "onStatus" && v.size() >= 4) {
        const std::string& status = v[3].Get("code").text;
        if (tx == 0 && status == code) done = true;
        else if (v[3].Get("level").text == "error") return Fail(link, what + " answered " + status);
      }
      return true;
    });
    if (!alive) return false;
  }
  return true;
}

// Connects, logs in, enters the chat and publishes; the stream id, or 0.
uint32_t Start(Link& link, const Options& opt, int* userid) {
  if (!Open(link, opt) || !Handshake(link)) return 0;
  // Whole video frames in one chunk each, as encoders send them.
  const uint8_t size[4] = {0, 0, uint8_t(kOutChunk >> 8), 0};
  if (!SendMessage(link, 2, kMsgSetChunkSize, 0, 0, size)) return 0;
  std::vector<uint8_t> b = amf::Body({
      amf::Str("connect"),
      amf::Num(kConnectTx),
      amf::Obj({
          {"app", amf::Str(opt.app)},
          {"flashVer", amf::Str("LNX 11,2,202,235")},
          {"tcUrl", amf::Str("rtmp://" + opt.host + ":" + std::to_string(opt.port) + "/" + opt.app)},
          {"objectEncoding", amf::Num(0)}})});
  std::vector<amf::Node> reply;
  if (!SendCommand(link, b) || !Await(link, kConnectTx, "", "connect", &reply)) return 0;

  b = amf::Body({amf::Str("loadmodel"), amf::Num(kLoginTx), amf::Null(), amf::Str("phpsessid"), amf::Str(opt.session)});
  if (!SendCommand(link, b) || !Await(link, kLoginTx, "", "the login", &reply)) return 0;
  if (reply.size() < 4 || reply[3].Get("userid").kind != amf::Kind::kNumber) {
    Fail(link, "the web session " + opt.session + " has no user");
    return 0;
  }
  *userid = int(reply[3].Get("userid").number);

  // Present in the room with audio and video, allowed to talk over others.
  for (const auto& [name, args] : std::vector<std::pair<std::string, std::vector<double>>>{
           {"chatConnectChat", {double(opt.chat)}}, {"chatDeviceInfo", {1, 1, 1}}}) {
    b = amf::Body({amf::Str(name), amf::Num(0), amf::Null()});
    for (double a : args) amf::Append(&b, amf::Num(a));
    if (!SendCommand(link, b)) return 0;
  }

  b = amf::Body({amf::Str("createStream"), amf::Num(kCreateTx), amf::Null()});
  if (!SendCommand(link, b) || !Await(link, kCreateTx, "", "createStream", &reply)) return 0;
  if (reply.size() < 4 || reply[3].kind != amf::Kind::kNumber || reply[3].number < 1) {
    Fail(link, "createStream gave no stream");
    return 0;
  }
  const uint32_t stream = uint32_t(reply[3].number);

  b = amf::Body({amf::Str("publish"), amf::Num(0), amf::Null(), amf::Str("channel=" + std::to_string(opt.channel)),
                 amf::Str("live")});
  if (!SendCommand(link, b, stream) || !Await(link, 0, "NetStream.Publish.Start", "the publish", &reply)) return 0;
  return stream;
}

// An H.264 end of sequence would end a player's decoding at every loop.
bool EndOfSequence(const FlvTag& tag) {
  return tag.type == kMsgVideo && tag.data.size() >= 2 && (tag.data[0] & 0x0F) == 7 && tag.data[1] == 2;
}

bool ParseArgs(int argc, char** argv, Options* opt) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (i + 1 >= argc) return false;
    const std::string v = argv[++i];
    auto number = [&](int* out, int low, int high) {
      char* end = nullptr;
      const long n = strtol(v.c_str(), &end, 10);
      if (v.empty() || *end != 0 || n < low || n > high) return false;
      *out = int(n);
      return true;
    };
    bool ok = true;
    if (a == "--flv") opt->flv = v;
    else if (a == "--host") opt->host = v;
    else if (a == "--port") ok = number(&opt->port, 1, 65535);
    else if (a == "--app") opt->app = v;
    else if (a == "--session") opt->session = v;
    else if (a == "--chat") ok = number(&opt->chat, 1, 0x7FFFFFFF);
    else if (a == "--channel") ok = number(&opt->channel, 1, 0x7FFFFFFF);
    else ok = false;
    if (!ok) return false;
  }
  return !opt->flv.empty();
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  if (!ParseArgs(argc, argv, &opt)) {
    fprintf(stderr,
            "usage: %s --flv FILE [--host 127.0.0.1] [--port 1935] [--app default]\n"
            "          [--session demo-ben-0002] [--chat 1] [--channel 5]\n",
            argv[0]);
    return 2;
  }
  struct stat st {};
  if (stat(opt.flv.c_str(), &st) != 0 || st.st_size > kMaxClipBytes) {
    fprintf(stderr, "demo speaker: %s is missing or larger than 256 MiB\n", opt.flv.c_str());
    return 1;
  }
  uint32_t duration = 0;
  std::vector<FlvTag> tags = FlvReadTags(opt.flv, &duration);
  std::erase_if(tags, EndOfSequence);
  if (tags.empty()) {
    fprintf(stderr, "demo speaker: %s holds no audio or video\n", opt.flv.c_str());
    return 1;
  }
  // The next loop starts one video frame after the last tag.
  const uint32_t period = duration + 40;

  const Clock::time_point epoch = Clock::now();
  uint64_t base = 0;  // added to the clip's timestamps in the current loop
  std::string lastWhy;
  for (bool first = true;; first = false) {
    Link link;
    int userid = 0;
    const uint32_t stream = Start(link, opt, &userid);
    if (stream == 0) {
      if (link.why != lastWhy) Say(link.why + "; trying again every 2 s");
      lastWhy = link.why;
      std::this_thread::sleep_for(kRetryPause);
      continue;
    }
    lastWhy.clear();
    // A new connection starts the clip again, after what was sent before and
    // no earlier than the time since the speaker started.
    const uint64_t now = uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - epoch).count());
    if (!first) base = std::max(base + period, now);
    Say("user " + std::to_string(userid) + " publishes " + opt.flv + " on channel " + std::to_string(opt.channel) +
        " from chat " + std::to_string(opt.chat) + " (play it as channel=" + std::to_string(opt.channel) +
        "&userid=" + std::to_string(userid) + ")");
    for (bool alive = true; alive; base += period) {
      for (const FlvTag& tag : tags) {
        const uint64_t stamp = base + tag.timestamp;
        const Clock::time_point due = epoch + std::chrono::milliseconds(stamp);
        while (alive && Clock::now() < due) {
          const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now()).count();
          alive = Pump(link, int(std::max<long>(1, wait)), [](std::vector<amf::Node>&) { return true; });
        }
        if (!alive || !SendMessage(link, 4, tag.type, stream, uint32_t(stamp), tag.data)) {
          alive = false;
          break;
        }
      }
    }
    Say("the connection ended (" + link.why + "); connecting again");
  }
}
