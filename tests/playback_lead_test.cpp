// Recorded media sent ahead of its clock, on a fake clock: the connection's
// pacing scan and service step over a socketpair, a player reading the other
// end. Time moves in 10 ms steps, as a timer armed to the millisecond would
// see it.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "connection/RtmpConnection.h"
#include "media/RtmpStream.h"
#include "rtmp/RtmpFunctions.h"
#include "rtmp/RtmpUtils.h"
#include "rtmp/UnicastSocket.h"
#include "server/Server.h"
#include "support/AmfHelpers.h"
#include "support/FlvBuilder.h"
#include "support/TestEnv.h"
#include "testclient/RtmpClient.h"

namespace {

constexpr int64_t kMs = 10000;  // 100-ns units
int64_t g_now = 0;
int64_t FakeClock() { return g_now; }

bool IsMedia(const RtmpClientMessage& m) { return m.type == 8 || m.type == 9; }

std::string StatusCode(const RtmpClientMessage& m) {
  std::vector<amf::Node> v;
  if (m.type != 20 || !amf::Read(m.body, &v) || v.size() < 4 || v[0].text != "onStatus") return "";
  return v[3].Get("code").text;
}

// The bytes read from the file that wait in the stream's queue.
uint64_t QueuedBytes(RtmpStream* stream) {
  ListLock guard(stream->output.queue.lock);
  return stream->output.queueBytes;
}

struct Arrival {
  int64_t at;  // fake ms of the pass that sent it
  RtmpClientMessage m;
};

// One connection with one stream playing `flv` from 0, its buffer length set
// through SetBufferLength unless bufferMs is -1.
struct Rig {
  RtmpConnection c;
  SiteConfig site;
  RtmpClient client;
  RtmpStream* stream = nullptr;
  std::vector<Arrival> got;
  uint64_t seen = 0;

  Rig(const std::string& dir, const FlvBuilder& flv, int32_t bufferMs, int sendBuffer = 0) {
    const std::string path = dir + "/clip.flv", index = path + ".index2";
    std::filesystem::remove(index);
    EXPECT_TRUE(flv.WriteTo(path));
    EXPECT_TRUE(BuildIndex(path.c_str(), index.c_str()));
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    c.link = std::make_shared<ClientLink>();
    EXPECT_EQ(RtmpContextInit(&c.link->rtmp, fds[0]), 1);
    if (sendBuffer) {
      setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
      setsockopt(fds[1], SOL_SOCKET, SO_RCVBUF, &sendBuffer, sizeof sendBuffer);
    }
    {
      MutexLock lock(c.link->rtmp.sendLock);
      RtmpChannelOut(&c.link->rtmp, 2);
      RtmpChannelOut(&c.link->rtmp, 3);
      c.link->rtmp.sockbuf.batching = true;
    }
    client.Adopt(fds[1]);
    c.site = &site;
    stream = CreateStreamRecord(&c);
    if (bufferMs >= 0) {
      const auto ms = static_cast<uint32_t>(bufferMs);
      const uint8_t body[10] = {0, 3, 0, 0, 0, 1, uint8_t(ms >> 24), uint8_t(ms >> 16), uint8_t(ms >> 8), uint8_t(ms)};
      EXPECT_TRUE(client.SendMessage(2, 4, 0, 0, body));
      EXPECT_GT(SocketBufferReceive(&c.link->rtmp.sockbuf), 0);
      EXPECT_EQ(RtmpConnectionProcessInput(&c), 1);
    }
    stream->playing = true;
    EXPECT_TRUE(OpenPlayFile(stream, path.c_str(), index.c_str(), 0));
  }
  ~Rig() {
    FreeStream(stream);
    RtmpContextFree(&c.link->rtmp);
    RtmpShutdown(&c.link->rtmp);
  }
  SocketSendQueue& Out() { return *c.link->rtmp.sockbuf.context; }
  // One turn of the connection's loop at fake time `ms`: serve what is due,
  // flush, and go on when a window waited for that flush. Returns the
  // sendmsg calls made; the messages that left are read into `got`.
  uint64_t RunAt(int64_t ms, bool read = true) {
    g_now = ms * kMs;
    const uint64_t calls = Out().sendCalls;
    for (;;) {
      while (RtmpConnectionNextWait(&c) == 0 && !RtmpOutputAboveWatermark(&c.link->rtmp))
        if (!RtmpConnectionServiceStream(&c)) ADD_FAILURE() << "send failed";
      EXPECT_EQ(RtmpFlushOutput(&c.link->rtmp), 1);
      if (!c.refillHeld || RtmpOutputPending(&c.link->rtmp)) break;
    }
    while (read && seen < Out().messages) {
      auto m = client.ReadMessage(2000);
      if (!m) {
        ADD_FAILURE() << client.error();
        break;
      }
      got.push_back({ms, *m});
      ++seen;
    }
    return Out().sendCalls - calls;
  }
  // Flushes while the player reads elsewhere, for at most `polls` waits of
  // 100 ms (a reader that gave up takes nothing).
  void Drain(int polls = 50) {
    for (int i = 0; i < polls && RtmpOutputPending(&c.link->rtmp); ++i) {
      RtmpFlushOutput(&c.link->rtmp);
      pollfd p{RtmpSocketFd(&c.link->rtmp), POLLOUT, 0};
      poll(&p, 1, 100);
    }
  }
  uint32_t LastMediaTime() const {
    for (auto it = got.rbegin(); it != got.rend(); ++it)
      if (IsMedia(it->m)) return it->m.timestamp;
    return 0;
  }
};

class PlaybackLead : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = TestTempDir("playlead");
    setenv("STRMD_LOG_DIR", (dir_ + "/logs").c_str(), 1);
    saved_ = g_config.playAheadMs;
    g_config.playAheadMs = 1000;
    PacingSetClock(FakeClock);
    g_now = 1000 * kMs;
  }
  void TearDown() override {
    PacingSetClock(nullptr);
    g_config.playAheadMs = saved_;
    std::filesystem::remove_all(dir_);
  }
  std::string dir_;
  int32_t saved_ = 0;
};

// Every message leaves between its due time less the lead and its due time;
// a window is one sendmsg and is sent only once less than half the lead is
// ahead; the end is told when the player gets there.
TEST_F(PlaybackLead, MessagesLeaveWithinTheLeadInOneBatchPerHalfLead) {
  struct Case {
    int32_t bufferMs;  // -1: no SetBufferLength
    int64_t lead;
    bool keepsReadBuffer;  // between windows, and from the play to the first
  };
  for (const Case& k : {Case{-1, 1000, false}, Case{400, 400, true}, Case{3000, 1000, false}, Case{0, 0, true}}) {
    SCOPED_TRACE(k.bufferMs);
    g_now = 1000 * kMs;
    Rig rig(dir_, FlvBuilder().Clip(6000, 1), k.bufferMs);
    ASSERT_EQ(StreamLeadMs(rig.stream), k.lead);
    EXPECT_EQ(rig.stream->file.file.HoldsReadBuffer(), k.keepsReadBuffer);
    int64_t completeAt = -1, windows = 0;
    uint32_t ahead = 0;  // last media time received
    for (int64_t t = 0; t <= 6500 && completeAt < 0; t += 10) {
      const size_t before = rig.got.size();
      const uint64_t calls = rig.RunAt(1000 + t);
      bool media = false;
      for (size_t i = before; i < rig.got.size(); ++i) {
        const RtmpClientMessage& m = rig.got[i].m;
        if (StatusCode(m) == "NetStream.Play.Complete") completeAt = t;
        if (!IsMedia(m)) continue;
        media = true;
        EXPECT_LE(t, int64_t{m.timestamp}) << "late: " << m.timestamp;
        // The opening's first tag after those at 0 goes with them.
        if (m.timestamp > 100) {
          EXPECT_GE(t, int64_t{m.timestamp} - k.lead) << "early: " << m.timestamp;
        }
      }
      if (media && !k.keepsReadBuffer) {
        EXPECT_FALSE(rig.stream->file.file.HoldsReadBuffer()) << t;
      }
      // What comes after a window stays in the file, not under the player.
      if (media && k.lead > 0) {
        EXPECT_EQ(QueuedBytes(rig.stream), 0u) << "a tag past the window was read at " << t;
      }
      if (media && t > 0) {
        ++windows;
        EXPECT_EQ(calls, 1u) << "one sendmsg per window at " << t;
        if (k.lead > 0) {
          EXPECT_LT(int64_t{ahead} - t, k.lead / 2) << "refill above half the lead at " << t;
          EXPECT_GE(int64_t{ahead} - t, k.lead / 2 - 10) << "refill late at " << t;
        }
      }
      ahead = std::max(ahead, rig.LastMediaTime());
      // Refills fall on a grid shared by all players (10 ms, or a quarter of
      // a shorter lead), so that a send loop serves them together.
      const int wait = RtmpConnectionNextWait(&rig.c);
      if (k.lead > 0 && wait > 0 && !rig.stream->output.completePending && rig.stream->output.endDue == 0) {
        EXPECT_EQ((1000 + t + wait) % std::min<int64_t>(k.lead / 4, 10), 0) << "refill off the grid at " << t;
      }
    }
    EXPECT_EQ(ahead, 6000u);
    EXPECT_EQ(completeAt, 6000) << "Complete when the last message is due";
    if (k.lead > 0) EXPECT_LE(windows, 6000 / (k.lead / 2) + 1);
    else EXPECT_EQ(windows, 60);  // one per 100 ms step, as without a lead
  }
}

// Pause holds everything and resume goes on from where the player paused,
// the first window at once; a seek sends its window at once from the key
// frame, after StreamEOF, StreamBegin and Seek.Notify.
TEST_F(PlaybackLead, PauseAndSeekRestartTheLeadFromThePlayersPosition) {
  Rig rig(dir_, FlvBuilder().Clip(10000, 1), -1);
  for (int64_t t = 0; t <= 600; t += 10) rig.RunAt(1000 + t);
  EXPECT_EQ(rig.LastMediaTime(), 1500u);  // refilled once, at 510
  PauseStream(rig.stream, true);
  size_t paused = rig.got.size();
  for (int64_t t = 610; t <= 4000; t += 10) rig.RunAt(1000 + t);
  EXPECT_EQ(rig.got.size(), paused) << "paused";

  // Resumed at position 600: up to 1600 at once, then paced from there.
  g_now = 5000 * kMs;
  PauseStream(rig.stream, false);
  rig.RunAt(5000);
  EXPECT_EQ(rig.LastMediaTime(), 1600u);
  for (int64_t t = 10; t <= 1000; t += 10) {
    size_t before = rig.got.size();
    rig.RunAt(5000 + t);
    for (size_t i = before; i < rig.got.size(); ++i) {
      if (!IsMedia(rig.got[i].m)) continue;
      EXPECT_LE(600 + t, int64_t{rig.got[i].m.timestamp}) << "late";
      EXPECT_GE(600 + t, int64_t{rig.got[i].m.timestamp} - 1000) << "early";
    }
  }

  // Seek to 7000 at 6100: from the key frame at 6000, up to 7000 at once.
  g_now = 6100 * kMs;
  size_t before = rig.got.size();
  SeekStream(rig.stream, 7000);
  rig.RunAt(6100);
  std::vector<int> kinds;
  uint32_t first = 0, last = 0;
  for (size_t i = before; i < rig.got.size(); ++i) {
    const RtmpClientMessage& m = rig.got[i].m;
    if (m.type == 4) kinds.push_back(m.body[1]);
    if (StatusCode(m) == "NetStream.Seek.Notify") kinds.push_back(-1);
    if (!IsMedia(m)) continue;
    if (first == 0) first = m.timestamp;
    EXPECT_GE(m.timestamp, 6000u);
    last = m.timestamp;
  }
  EXPECT_EQ(kinds, (std::vector<int>{kStreamEOF, kStreamBegin, -1}));
  EXPECT_EQ(first, 6000u);
  EXPECT_EQ(last, 7000u);
}

// A window the socket has not taken holds the next one back, and a window
// ends below the output queue's watermark: the rest stays in the file.
TEST_F(PlaybackLead, RefillWaitsForTheSocketAndAWindowStopsAtTheWatermark) {
  FlvBuilder flv;
  for (uint32_t t = 0; t <= 4000; t += 40) flv.Video(t, 30000, t % 1000 == 0);
  Rig rig(dir_, flv, -1, 4096);
  rig.RunAt(1000, false);
  const uint64_t watermark = SendQueueLowWatermark(rig.Out());
  EXPECT_TRUE(RtmpOutputPending(&rig.c.link->rtmp));
  EXPECT_LE(rig.Out().bytes.load(), watermark + 31000);
  const uint64_t firstWindow = rig.Out().messages;
  EXPECT_LT(rig.stream->output.lastSent, 1000u) << "the window stopped at the watermark";

  // Due, but the socket still holds the window: nothing is read.
  rig.RunAt(1900, false);
  EXPECT_TRUE(rig.c.refillHeld);
  EXPECT_EQ(rig.Out().messages, firstWindow);

  // The player takes it; the next window follows from the file.
  std::thread reader([&] {
    for (uint64_t i = 0; i < firstWindow; ++i)
      if (!rig.client.ReadMessage(5000)) return;
  });
  rig.Drain();
  reader.join();
  rig.seen = firstWindow;
  rig.RunAt(1900, false);
  EXPECT_GT(rig.Out().messages, firstWindow);
  EXPECT_LE(rig.Out().bytes.load(), watermark + 31000);
}

}  // namespace

// A window's small bodies share blocks: every message keeps its own bytes
// across block and window ends, and the one left queued when a window stops
// at the output queue's watermark (under ASan a block freed too early is
// caught as well).
TEST_F(PlaybackLead, EveryMessageKeepsItsBytesAcrossSharedBodyBlocks) {
  FlvBuilder flv;
  for (uint32_t t = 0; t <= 3000; t += 5) {
    // 1 byte to 4.2 KiB: a window spans several blocks and passes the
    // watermark, and a few bodies are too large to share one.
    std::vector<uint8_t> data(1 + (t * 37) % 4200);
    for (size_t i = 1; i < data.size(); ++i) data[i] = uint8_t(t / 5 + i * 7);
    data[0] = t % 2000 == 0 ? 0x17 : 0x27;
    flv.Raw(9, t, data);
  }
  Rig rig(dir_, flv, -1);
  FlvTestFile file;
  ASSERT_TRUE(ReadFlvForTest(dir_ + "/clip.flv", &file));
  uint64_t window = 0;  // the bytes of a lead's window
  for (const auto& tag : file.tags)
    if (tag.timestamp < 1000) window += tag.data.size();
  ASSERT_GT(window, SendQueueLowWatermark(rig.Out())) << "no window stops at the watermark";
  // The player reads as the socket takes it: a window passes the watermark.
  std::vector<RtmpClientMessage> media;  // the video; empty audio may bridge
  std::thread reader([&] {
    while (media.size() < file.tags.size()) {
      auto m = rig.client.ReadMessage(5000);
      if (!m) return;
      if (m->type == 9) media.push_back(*m);
    }
  });
  for (int64_t t = 0; t <= 3500; t += 10) {
    rig.RunAt(1000 + t, false);
    rig.Drain();
  }
  reader.join();
  ASSERT_EQ(media.size(), file.tags.size());
  for (size_t i = 0; i < media.size(); ++i) {
    EXPECT_EQ(media[i].timestamp, file.tags[i].timestamp);
    EXPECT_TRUE(media[i].body == file.tags[i].data) << "tag " << i << " at " << file.tags[i].timestamp;
  }
}
