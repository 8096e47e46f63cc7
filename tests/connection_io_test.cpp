// The connection loop in this process, on a loopback TCP connection, with
// other threads writing to it the way chat, presence and live relay do: no
// peer can make another thread wait, a half-sent message does not stop the
// connection's output, and the read and silence limits end what they should.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <future>
#include <optional>
#include <thread>

#include "client/Intake.h"
#include "connection/RtmpConnection.h"
#include "connection/SendLoop.h"
#include "media/RtmpStream.h"
#include "rtmp/RtmpFunctions.h"
#include "rtmp/RtmpUtils.h"
#include "support/AmfHelpers.h"
#include "support/TestEnv.h"
#include "testclient/RtmpClient.h"
#include "util/Clock.h"

namespace {

using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point t) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

// One connection served by RtmpConnectionRun on a thread of its own, as the
// intake would start it, with the test's client on the other end.
using Env = std::vector<std::pair<const char*, const char*>>;

class LoopHarness {
 public:
  // `env` entries are set before the connection starts (its periods).
  explicit LoopHarness(const Env& env = {}) {
    // As the server runs them: the connection joins a send loop.
    static const bool loops = SendLoopsStart(1);
    EXPECT_TRUE(loops);
    for (auto& [name, value] : env) {
      setenv(name, value, 1);
      names_.push_back(name);
    }
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(listen(listener, 1), 0);
    EXPECT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    EXPECT_TRUE(client.Connect("127.0.0.1", ntohs(address.sin_port)));
    length = sizeof incoming_.peer;
    incoming_.socket = accept(listener, reinterpret_cast<sockaddr*>(&incoming_.peer), &length);
    close(listener);
    incoming_.config = &config_;
    runner_ = std::thread([this] {
      incoming_.thread = pthread_self();
      tid_ = gettid();
      RtmpConnectionRun(&incoming_);
      finished_ = true;
      ended_.set_value();
    });
  }
  ~LoopHarness() {
    client.Close();
    runner_.join();
    for (const char* name : names_) unsetenv(name);
  }

  bool Finished() const { return finished_; }
  // How often the connection's thread has gone to sleep so far (the
  // kernel's count): it does whenever it waits and is woken again.
  long ThreadSleeps() const {
    std::ifstream status("/proc/self/task/" + std::to_string(tid_.load()) + "/status");
    for (std::string line; std::getline(status, line);)
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0) return std::stol(line.substr(24));
    return -1;
  }
  bool WaitFinished(int ms) { return endedFuture_.wait_for(std::chrono::milliseconds(ms)) == std::future_status::ready; }

  // Handshake, connect (no site: no database) and createStream; the
  // server's records of this connection and its stream.
  bool Open() {
    if (!client.HandshakePlain()) return false;
    if (!Command({amf::Str("connect"), amf::Num(1), amf::Obj({{"app", amf::Str("nosite")}})})) return false;
    if (!ReadResult()) return false;
    if (!Command({amf::Str("createStream"), amf::Num(2), amf::Null()})) return false;
    if (!ReadResult()) return false;
    connection = FindConnection();
    if (connection == nullptr) return false;
    link = connection->link;
    stream = FindStream(connection, 1, 0);
    return stream != nullptr;
  }

  bool Command(std::initializer_list<amf::Node> values) {
    return client.SendMessage(3, 20, 0, 0, amf::Body(values));
  }

  bool ReadResult() {
    for (;;) {
      auto m = client.ReadMessage(5000);
      if (!m) return false;
      if (m->type != 20) continue;
      std::vector<amf::Node> values;
      return amf::Read(m->body, &values) && !values.empty() && values[0].text == "_result";
    }
  }

  // What a live publisher's thread does for a player: queue a copy of a
  // media message on the stream and wake its connection.
  void QueueMedia(uint32_t size, uint32_t timestamp) {
    auto* packet = new RtmpPacket;
    ASSERT_EQ(RtmpPacketAlloc(packet, size), 1);
    std::fill(packet->m_body, packet->m_body + size, 0x17);
    packet->m_nChannel = stream->videoChannel;
    packet->m_nMessageType = 9;
    packet->m_nStreamId = stream->id;
    packet->m_nBodySize = size;
    packet->m_nBytesRead = size;
    packet->m_nTimestamp = timestamp;
    QueuePacket(stream, packet);
    ClientWake(*link);
  }

  RtmpClient client;
  RtmpConnection* connection = nullptr;
  // What this thread writes and wakes through: it outlives the connection.
  ClientHandle link;
  RtmpStream* stream = nullptr;

 private:
  RtmpConnection* FindConnection() {
    ListLock guard(g_clients.lock);
    for (ListNode* n = g_clients.first; n != nullptr; n = n->next) {
      auto* c = static_cast<Client*>(n->item);
      if (c->thread == incoming_.thread) return static_cast<RtmpConnection*>(c);
    }
    return nullptr;
  }

  ServerConfig config_;
  IncomingConnection incoming_;
  std::thread runner_;
  std::atomic<bool> finished_{false};
  std::atomic<pid_t> tid_{0};
  std::promise<void> ended_;
  std::shared_future<void> endedFuture_ = ended_.get_future().share();
  std::vector<const char*> names_;
};

// A registry whose output queue holds one 64 KiB slot, so that a peer that
// reads nothing overflows it quickly.
class SmallQueue {
 public:
  SmallQueue() {
    std::string path = TestTempDir("connection_io") + "/strmd.reg";
    std::ofstream(path) << "Windows Registry Editor Version 5.00\n\n"
                           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestravon\\Parameters]\n"
                           "\"USendQueueSize\"=dword:00000001\n";
    setenv("STRMD_REGISTRY", path.c_str(), 1);
  }
  ~SmallQueue() { unsetenv("STRMD_REGISTRY"); }
};

bool IsPing(const RtmpClientMessage& m) { return m.type == 4 && m.body.size() >= 2 && m.body[1] == 6; }

#ifdef STRMD_TEST_HOOKS
// The loop's clock while a test holds it: it moves only when the test moves it.
std::atomic<int64_t> g_loopMs{1000000};
int64_t LoopClock() { return g_loopMs.load(); }

struct HeldLoopClock {
  HeldLoopClock() { ConnectionSetClock(LoopClock); }
  ~HeldLoopClock() { ConnectionSetClock(nullptr); }
};

// createStream, then the messages up to its _result: the pings among them,
// -1 when no _result came.
int PingsBeforeResult(LoopHarness& h, double txn) {
  if (!h.Command({amf::Str("createStream"), amf::Num(txn), amf::Null()})) return -1;
  int pings = 0;
  for (;;) {
    auto m = h.client.ReadMessage(5000);
    if (!m) return -1;
    if (IsPing(*m)) {
      EXPECT_EQ(m->body, (std::vector<uint8_t>{0, 6, 0, 0, 0, 0}));
      pings++;
    }
    std::vector<amf::Node> values;
    if (m->type == 20 && amf::Read(m->body, &values) && !values.empty() && values[0].text == "_result")
      return pings;
  }
}
#endif

}  // namespace

// The peer reads nothing while its connection has media to send: another
// thread's writes to it return at once (queued or dropped), and the
// connection's own thread closes it once it is over its cap, with a report
// that names the peer.
TEST(ConnectionIo, WritesFromOtherThreadsNeverWaitForAPeerThatReadsNothing) {
  SmallQueue small;
  testing::internal::CaptureStderr();
  std::vector<long> durations;
  bool finished = false;
  {
    LoopHarness h;
    ASSERT_TRUE(h.Open());
    h.stream->playing = true;
    for (uint32_t t = 0; t < 200; t++) h.QueueMedia(4000, t * 40);
    std::vector<uint8_t> text(1000, 0x41);
    for (int i = 0; i < 5000 && !h.Finished(); i++) {
      auto start = Clock::now();
      RtmpPacket message;
      message.m_nChannel = 3;
      message.m_nMessageType = 20;
      message.m_nBodySize = static_cast<uint32_t>(text.size());
      message.m_body = text.data();  // borrowed: the writer copies it
      RtmpWriteMessage(&h.link->rtmp, &message);
      message.m_body = nullptr;
      durations.push_back(MsSince(start));
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    finished = h.WaitFinished(5000);
  }
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(finished) << "the connection over its cap was not closed";
  // On a loaded machine any thread may lose the processor for a while; a
  // write that waited for the peer would take as long as the peer chose.
  ASSERT_FALSE(durations.empty());
  std::sort(durations.begin(), durations.end());
  EXPECT_LT(durations[durations.size() * 95 / 100], 10) << "writes from another thread waited";
  EXPECT_LT(durations.back(), 1000) << "a write from another thread waited";
  EXPECT_NE(err.find("over its cap"), std::string::npos) << err;
  EXPECT_NE(err.find("127.0.0.1"), std::string::npos) << err;
}

// The connection's own replies fill its queue while the peer reads nothing
// (each set-chunk-size is echoed): the loop's own write returns at once and
// the connection is closed with the overflow report, not after a wait for
// the peer.
TEST(ConnectionIo, OwnWriteIntoAFullQueueClosesTheConnectionAtOnce) {
  SmallQueue small;
  testing::internal::CaptureStderr();
  bool finished = false;
  long ms = 0;
  {
    LoopHarness h;
    ASSERT_TRUE(h.Open());
    const std::vector<uint8_t> size = {0, 0, 0x10, 0};
    auto start = Clock::now();
    for (int i = 0; i < 400000 && !h.Finished(); i++)
      if (!h.client.SendMessage(2, 1, 0, 0, size)) break;
    finished = h.WaitFinished(5000);
    ms = MsSince(start);
  }
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(finished) << "the connection over its cap was not closed";
  EXPECT_LT(ms, 8000) << "the connection's own write waited for the peer";
  EXPECT_NE(err.find("RTMP output to 127.0.0.1 over its cap"), std::string::npos) << err;
}

// Half a command, then silence: the connection still sends its paced media
// and what other threads write to it, until the read limit ends it.
TEST(ConnectionIo, HalfSentCommandDoesNotStopOutputUntilTheReadLimit) {
  testing::internal::CaptureStderr();
  {
    LoopHarness h(Env{{"STRMD_READ_LIMIT_MS", "1500"}});
    ASSERT_TRUE(h.Open());
    std::vector<uint8_t> body = amf::Body({amf::Str("closeStream"), amf::Num(3), amf::Null(),
                                           amf::Str(std::string(250, 'x'))});
    ASSERT_GT(body.size(), 200u);
    const uint64_t unfinished = RtmpPartialInputBytes();
    ASSERT_TRUE(h.client.SendChunk(0, 3, 0, static_cast<uint32_t>(body.size()), 20, 0,
                                   std::span<const uint8_t>(body).subspan(0, 100)));
    // The loop has taken the half message: its announced size is counted.
    ASSERT_TRUE(TestWaitUntil([&] { return RtmpPartialInputBytes() >= unfinished + body.size(); }));
    auto start = Clock::now();
    h.stream->playing = true;
    h.QueueMedia(500, 0);
    auto media = h.client.ReadMessage(1000);
    ASSERT_TRUE(media) << h.client.error();
    EXPECT_EQ(media->type, 9);
    EXPECT_LT(MsSince(start), 500);
    SendUserControl(&h.link->rtmp, kStreamBegin, 7);
    auto control = h.client.ReadMessage(1000);
    ASSERT_TRUE(control) << h.client.error();
    EXPECT_EQ(control->type, 4);
    EXPECT_TRUE(h.client.WaitClosed(4000));
    EXPECT_GE(MsSince(start), 1200);
  }
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("read limit"), std::string::npos) << err;
}

// A client that sends nothing is pinged every keep-alive period and closed
// once the silence limit has passed; one that keeps talking stays.
TEST(ConnectionIo, SilenceLimitClosesASilentClientOnly) {
  testing::internal::CaptureStderr();
  {
    LoopHarness h(Env{{"STRMD_KEEPALIVE_MS", "150"}, {"STRMD_SILENCE_LIMIT_MS", "600"}});
    ASSERT_TRUE(h.Open());
    auto start = Clock::now();
    int pings = 0;
    while (auto m = h.client.ReadMessage(2000)) {
      if (m->type == 4 && m->body.size() >= 2 && m->body[1] == 6) pings++;
    }
    EXPECT_GE(pings, 2);
    EXPECT_TRUE(h.WaitFinished(2000));
    EXPECT_GE(MsSince(start), 550);
  }
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("RTMP Timeout"), std::string::npos) << err;

#ifdef STRMD_TEST_HOOKS
  // Twice the silence limit passes on the loop's clock, 100 ms at a time,
  // with a pong in each step; a createStream answered ends each step.
  HeldLoopClock held;
  LoopHarness talking(Env{{"STRMD_KEEPALIVE_MS", "150"}, {"STRMD_SILENCE_LIMIT_MS", "600"}});
  ASSERT_TRUE(talking.Open());
  for (int i = 0; i < 12; i++) {
    g_loopMs += 100;
    // A ping response (user control event 7), as players answer pings.
    const std::vector<uint8_t> pong = {0, 7, 0, 0, 0, 0};
    ASSERT_TRUE(talking.client.SendMessage(2, 4, 0, 0, pong));
    ASSERT_GE(PingsBeforeResult(talking, 3 + i), 0) << "step " << i;
  }
  EXPECT_FALSE(talking.Finished());
#endif
}

// The send loop keeps a silent player's limits: it is pinged while its
// thread sleeps, and the thread wakes only to close it at the silence limit.
TEST(ConnectionIo, ASilentClientsThreadSleepsThroughItsPingsUntilTheSilenceLimit) {
  testing::internal::CaptureStderr();
  {
    LoopHarness h(Env{{"STRMD_KEEPALIVE_MS", "100"}, {"STRMD_SILENCE_LIMIT_MS", "1000"}});
    ASSERT_TRUE(h.Open());
    int pings = 0;
    long asleep = -1;
    while (pings < 6) {
      auto m = h.client.ReadMessage(2000);
      ASSERT_TRUE(m) << h.client.error();
      if (!IsPing(*m)) continue;
      if (++pings == 1) asleep = h.ThreadSleeps();
    }
    ASSERT_GE(asleep, 0);
    EXPECT_LE(h.ThreadSleeps() - asleep, 1) << "the thread woke for pings";
    EXPECT_TRUE(h.WaitFinished(3000));
  }
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("RTMP Timeout"), std::string::npos) << err;
}

// An ended connection leaves its send loop at once: the loop's reference,
// kept for the next keep-alive, does not hold the link's descriptors.
TEST(ConnectionIo, AnEndedConnectionsLinkIsFreedAtOnce) {
  std::weak_ptr<ClientLink> link;
  {
    LoopHarness h;
    ASSERT_TRUE(h.Open());
    link = h.link;
    h.link.reset();
    h.client.Close();
    ASSERT_TRUE(h.WaitFinished(5000));
  }
  EXPECT_TRUE(TestWaitUntil([&] { return link.expired(); }, 3000));
}

// The keep-alive period runs on the loop's clock: a silent client gets no ping
// a millisecond before 30 s, exactly one at 30 s, and is still served.
TEST(ConnectionIo, SilentClientIsPingedEveryThirtySecondsAndStays) {
  SKIP_WITHOUT_TEST_HOOKS();
#ifdef STRMD_TEST_HOOKS
  HeldLoopClock held;
  const int64_t start = g_loopMs;
  LoopHarness h;
  ASSERT_TRUE(h.Open());
  g_loopMs = start + 29999;
  ClientWake(*h.link);
  EXPECT_EQ(PingsBeforeResult(h, 3), 0);
  g_loopMs = start + 30000;
  ClientWake(*h.link);
  std::optional<RtmpClientMessage> ping;
  while (!ping) {
    auto m = h.client.ReadMessage(5000);
    ASSERT_TRUE(m) << "no ping at 30 s: " << h.client.error();
    if (IsPing(*m)) ping = m;
  }
  EXPECT_EQ(ping->body, (std::vector<uint8_t>{0, 6, 0, 0, 0, 0}));
  // Still served, and that one ping was all.
  EXPECT_EQ(PingsBeforeResult(h, 4), 0);
#endif
}
