// The send loops on a fake clock: connections over socketpairs served by one
// loop the test passes every millisecond, as the loop thread would wake for
// their dues. File players get each window once, in due order and on time;
// live players get their relay within the merge period; a peer that stops
// reading holds up nobody and is closed by the stall rule; a connection
// thread holding `serve` never makes the loop wait or spin.
#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "connection/RtmpConnection.h"
#include "media/RtmpChannel.h"
#include "media/RtmpStream.h"
#include "rtmp/RtmpFunctions.h"
#include "rtmp/RtmpUtils.h"
#include "server/Server.h"
#include "support/FlvBuilder.h"
#include "support/TestEnv.h"
#include "testclient/RtmpClient.h"
#include "util/Clock.h"
#include "util/EventLoop.h"

namespace {

// One fake time for every clock: the loop's dues, the pacing and the relay.
int64_t g_ms = 0;
int64_t PacingClock() { return g_ms * 10000; }
uint32_t RelayClock() { return static_cast<uint32_t>(g_ms); }

// Empty audio bridges a gap; it is not a tag of the file.
bool IsMedia(const RtmpClientMessage& m) { return (m.type == 8 || m.type == 9) && !m.body.empty(); }

struct Served {
  int64_t at, due;
};
std::vector<Served> g_served;  // every service of a peer, in the loop's order

// A connection over a socketpair whose send loop is `loop`; the test reads
// the other end. A service records when it ran and for which due.
struct Peer {
  RtmpConnection c;
  RtmpClient client;
  RtmpStream* stream = nullptr;
  int64_t due = 0;  // what its last service returned (its post: when it was made)
  uint64_t services = 0, seen = 0;
  std::vector<std::pair<int64_t, RtmpClientMessage>> got;  // with the fake ms they were read

  Peer(EventLoop* loop, SiteConfig* site, int socketBuffer = 0) {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
    c.link = std::make_shared<ClientLink>();
    c.link->wakeEvent.fd = eventfd(0, EFD_NONBLOCK);
    EXPECT_EQ(RtmpContextInit(&c.link->rtmp, fds[0]), 1);
    if (socketBuffer) {  // after the server's own setting
      setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &socketBuffer, sizeof socketBuffer);
      setsockopt(fds[1], SOL_SOCKET, SO_RCVBUF, &socketBuffer, sizeof socketBuffer);
    }
    {
      MutexLock lock(c.link->rtmp.sendLock);
      RtmpChannelOut(&c.link->rtmp, 2);
      RtmpChannelOut(&c.link->rtmp, 3);
      c.link->rtmp.sockbuf.wakeFd = c.link->wakeEvent.fd;
      c.link->rtmp.sockbuf.batching = true;
    }
    client.Adopt(fds[1]);
    c.site = site;
    stream = CreateStreamRecord(&c);
    // What SendLoopAttach does, with the test's loop.
    ClientLink& link = *c.link;
    link.loop = loop;
    link.loopItem.owner = &link;
    MutexLock lock(link.serve);
    link.service = [](void* ctx, int64_t now) {
      auto* peer = static_cast<Peer*>(ctx);
      ++peer->services;
      g_served.push_back({now, peer->due});
      peer->due = RtmpConnectionServeFromLoop(&peer->c, now);
      return peer->due;
    };
    link.serviceCtx = this;
  }
  ~Peer() {
    FreeStream(stream);
    RtmpContextFree(&c.link->rtmp);
    RtmpShutdown(&c.link->rtmp);
  }
  void SetBufferLength(uint32_t ms) {
    const uint8_t body[10] = {0, 3, 0, 0, 0, 1, uint8_t(ms >> 24), uint8_t(ms >> 16), uint8_t(ms >> 8), uint8_t(ms)};
    EXPECT_TRUE(client.SendMessage(2, 4, 0, 0, body));
    EXPECT_GT(SocketBufferReceive(&c.link->rtmp.sockbuf), 0);
    EXPECT_EQ(RtmpConnectionProcessInput(&c), 1);
  }
  // As a play does: the loop serves it on its next pass.
  void Post() {
    due = g_ms;
    ClientPost(c.link, 0);
  }
  SocketSendQueue& Out() { return *c.link->rtmp.sockbuf.context; }
  uint64_t SendCalls() { return Out().sendCalls; }
  // Reads what the loop sent; the count of messages read.
  size_t Read() {
    const size_t before = got.size();
    while (seen < Out().messages) {
      auto m = client.ReadMessage(2000);
      if (!m) {
        ADD_FAILURE() << client.error();
        break;
      }
      got.emplace_back(g_ms, *m);
      ++seen;
    }
    return got.size() - before;
  }
  uint64_t Wakes() {
    uint64_t n = 0;
    return read(c.link->wakeEvent.fd, &n, sizeof n) == sizeof n ? n : 0;
  }
};

class SendLoop : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = TestTempDir("sendloop");
    setenv("STRMD_LOG_DIR", (dir_ + "/logs").c_str(), 1);
    savedAhead_ = g_config.playAheadMs;
    g_config.playAheadMs = 1000;
    savedLive_ = LiveChannelSettings();
    g_ms = 1000;
    g_served.clear();
    PacingSetClock(PacingClock);
    LiveChannelSetClock(RelayClock);
    ASSERT_TRUE(EventLoopOpen(&loop_));
    loop_.now = [] { return g_ms; };
    loop_.serve = [](EventLoopItem& item, int64_t now) {
      return ClientServeFromLoop(*static_cast<ClientLink*>(item.owner), now);
    };
  }
  void TearDown() override {
    EventLoopStop(&loop_);
    peers_.clear();
    PacingSetClock(nullptr);
    LiveChannelSetClock(nullptr);
    LiveChannelSettings() = savedLive_;
    g_config.playAheadMs = savedAhead_;
    std::filesystem::remove_all(dir_);
  }
  Peer* Add(int socketBuffer = 0) {
    peers_.push_back(std::make_unique<Peer>(&loop_, &site_, socketBuffer));
    return peers_.back().get();
  }
  // One pass at the fake time; the loop must then have nothing due and no
  // wake pending, or its thread would spin.
  void Pass() {
    loop_.role.Assume();
    EventLoopPass(&loop_, g_ms);
    EXPECT_NE(EventLoopWaitMs(&loop_, g_ms), 0) << "due again at " << g_ms;
    EXPECT_FALSE(loop_.wakePending.load()) << "woken again at " << g_ms;
  }

  std::string dir_;
  int32_t savedAhead_ = 0;
  LiveChannelLimits savedLive_;
  SiteConfig site_;
  EventLoop loop_;
  std::vector<std::unique_ptr<Peer>> peers_;  // freed before the loop's fields
};

TEST_F(SendLoop, ManyConnectionsGetEachWindowOnceInDueOrder) {
  const std::string path = dir_ + "/clip.flv", index = path + ".index2";
  ASSERT_TRUE(FlvBuilder().Clip(10000, 1).WriteTo(path));
  ASSERT_TRUE(BuildIndex(path.c_str(), index.c_str()));
  FlvBuilder large;
  for (uint32_t t = 0; t <= 4000; t += 40) large.Video(t, 30000, t % 1000 == 0);
  const std::string largePath = dir_ + "/large.flv", largeIndex = largePath + ".index2";
  ASSERT_TRUE(large.WriteTo(largePath));
  ASSERT_TRUE(BuildIndex(largePath.c_str(), largeIndex.c_str()));
  g_config.playAheadMs = 3000;
  constexpr int kPlayers = 40;
  const int64_t leads[] = {0, 100, 1000, 3000};
  // Players start 7 ms apart, so that their windows fall due in between
  // each other's.
  std::vector<Peer*> players;
  std::vector<int64_t> starts;
  std::vector<int64_t> windows(kPlayers, 0);
  Peer* stuck = nullptr;
  const int64_t begin = g_ms;
  for (int64_t t = 0; t <= 10000 + kPlayers * 7 + 100; ++t) {
    g_ms = begin + t;
    if (t % 7 == 0 && players.size() < kPlayers) {
      Peer* p = Add();
      p->SetBufferLength(static_cast<uint32_t>(leads[players.size() % 4]));
      EXPECT_EQ(StreamLeadMs(p->stream), leads[players.size() % 4]);
      p->stream->playing = true;
      EXPECT_TRUE(OpenPlayFile(p->stream, path.c_str(), index.c_str(), 0));
      p->Post();
      players.push_back(p);
      starts.push_back(g_ms);
    }
    if (t == 50) {
      // Its peer never reads: its first window fills both socket buffers.
      stuck = Add(4096);
      stuck->SetBufferLength(3000);
      stuck->stream->playing = true;
      EXPECT_TRUE(OpenPlayFile(stuck->stream, largePath.c_str(), largeIndex.c_str(), 0));
      stuck->Post();
    }
    std::vector<uint64_t> calls;
    for (Peer* p : players) calls.push_back(p->SendCalls());
    Pass();
    for (size_t i = 0; i < players.size(); ++i) {
      Peer* p = players[i];
      const uint64_t sent = p->SendCalls() - calls[i];
      const size_t before = p->got.size();
      if (p->Read() == 0) continue;
      EXPECT_EQ(sent, 1u) << "player " << i << " at " << t;
      bool media = false;
      for (size_t k = before; k < p->got.size(); ++k) {
        const RtmpClientMessage& m = p->got[k].second;
        if (!IsMedia(m)) continue;
        media = true;
        const int64_t due = starts[i] + m.timestamp;
        EXPECT_LE(g_ms, due + 1) << "late: player " << i << " media " << m.timestamp;
        // The opening's first tag after those at 0 goes with them.
        if (m.timestamp > 100) {
          EXPECT_GE(g_ms, due - leads[i % 4]) << "early: player " << i << " media " << m.timestamp;
        }
      }
      windows[i] += media;
    }
  }
  for (size_t i = 0; i < players.size(); ++i) {
    SCOPED_TRACE(i);
    Peer* p = players[i];
    size_t media = 0;
    uint32_t last = 0;
    for (const auto& [at, m] : p->got) {
      if (!IsMedia(m)) continue;
      ++media;
      EXPECT_GE(m.timestamp, last) << "sent twice or out of order";
      last = m.timestamp;
    }
    EXPECT_EQ(media, 202u) << "every tag once";
    EXPECT_EQ(last, 10000u);
    // One sendmsg per window; the notices of the play and its end add a few.
    EXPECT_LE(p->SendCalls(), static_cast<uint64_t>(windows[i]) + 3);
    if (leads[i % 4] > 0) {
      EXPECT_LE(windows[i], 10000 / (leads[i % 4] / 2) + 2);
    }
  }
  // Each service ran at its due (or its post), and the loop went through
  // them in due order.
  for (size_t k = 0; k < g_served.size(); ++k) {
    EXPECT_LE(g_served[k].due, g_served[k].at) << k;
    EXPECT_LE(g_served[k].at, g_served[k].due + 1) << k;
    if (k > 0) {
      EXPECT_LE(g_served[k - 1].due, g_served[k].due) << k;
    }
  }
  // The stuck one left its socket to its thread and was not served again.
  EXPECT_LE(stuck->services, 1u);
  EXPECT_GT(stuck->Wakes(), 0u);
  EXPECT_TRUE(RtmpOutputPending(&stuck->c.link->rtmp));
}


// An incoming message with a body of its own, as the reader makes one.
struct Incoming {
  RtmpPacket packet;
  Incoming(uint8_t type, uint32_t timestamp, uint8_t first, uint8_t second, size_t size) {
    RtmpPacketAlloc(&packet, static_cast<uint32_t>(size));
    memset(packet.m_body, 0x11, size);
    packet.m_body[0] = first;
    packet.m_body[1] = second;
    packet.m_nBodySize = packet.m_nBytesRead = static_cast<uint32_t>(size);
    packet.m_nMessageType = type;
    packet.m_nTimestamp = timestamp;
  }
  ~Incoming() { RtmpPacketFree(&packet); }
};

TEST_F(SendLoop, AStoppedReaderIsClosedByTheStallRuleWhileFiftyOthersPlayOnTime) {
  LiveChannelSettings().mergeMs = 20;
  LiveChannelSettings().stallMs = 3000;
  const uint32_t merge = LiveChannelSettings().mergeMs, stall = LiveChannelSettings().stallMs;
  Client publisherClient;
  publisherClient.site = &site_;
  publisherClient.link = std::make_shared<ClientLink>();
  RtmpStream* publisher = CreateStreamRecord(&publisherClient);
  publisher->publishing = true;
  LiveChannelSetIdentity(publisher, 0, 1, 1);
  CollectPlayers(publisher);
  std::vector<Peer*> players;
  for (int i = 0; i < 51; ++i) {
    Peer* p = Add(i == 0 ? 4096 : 0);
    p->stream->playing = true;
    LiveChannelSetIdentity(p->stream, 0, 1, 1);
    SubscribePlayer(p->stream);
    p->Post();
    players.push_back(p);
  }
  Peer* stopped = players[0];
  Pass();
  // 25 frames a second (1.2 Mbit/s, a key frame each second) and AAC every
  // 23 ms: the stopped one's output reaches its watermark within 2 s, then
  // its queue waits for the stall period.
  const int64_t begin = g_ms, end = 2000 + stall + 1000;
  uint32_t relayed = 0, stoppedAt = 0, fullAt = 0;
  uint64_t servedAtStall = 0;
  for (int64_t t = 0; t < end + merge + 1; ++t) {
    g_ms = begin + t;
    if (stoppedAt == 0) stopped->Wakes();  // what woke it before this millisecond
    if (t < end) {
      const auto ts = static_cast<uint32_t>(t);
      if (t % 40 == 0) {
        Incoming video(kRtmpMsgVideo, ts, t % 1000 == 0 ? 0x17 : 0x27, 1, 6000);
        RelayMedia(publisher, &video.packet);
        ++relayed;
      }
      if (t % 23 == 0) {
        // What the publisher relays of a talking speaker's AAC.
        Incoming audio(kRtmpMsgAudio, ts, 0xAF, 1, 300);
        EventLoopWakeBatch batch;
        for (Peer* p : players) EnqueueRelayed(p->stream, &audio.packet, RelayClock(), publisher);
        ++relayed;
      }
    }
    Pass();
    for (Peer* p : players) {
      if (p == stopped) continue;
      const size_t before = p->got.size();
      p->Read();
      for (size_t k = before; k < p->got.size(); ++k) {
        if (!IsMedia(p->got[k].second)) continue;
        EXPECT_LE(g_ms - begin - int64_t{p->got[k].second.timestamp}, merge + 1) << "late at " << t;
      }
    }
    if (fullAt == 0 && RtmpOutputAboveWatermark(&stopped->c.link->rtmp)) fullAt = static_cast<uint32_t>(t);
    if (stoppedAt == 0 && stopped->c.link->rtmp.sockbuf.overflowed) {
      stoppedAt = static_cast<uint32_t>(t);
      EXPECT_GT(stopped->Wakes(), 0u) << "the stall wakes its thread, which closes it";
      servedAtStall = stopped->services;
    }
  }
  for (size_t i = 1; i < players.size(); ++i) {
    size_t media = 0;
    for (const auto& [at, m] : players[i]->got) media += IsMedia(m);
    EXPECT_EQ(media, relayed) << "player " << i;
  }
  ASSERT_GT(fullAt, 0u);
  ASSERT_LT(fullAt, 2000u);
  EXPECT_GE(stoppedAt, fullAt + stall - merge) << "not before the stall period";
  EXPECT_LE(stoppedAt, fullAt + stall + 100) << "nor long after it";
  EXPECT_EQ(stopped->services, servedAtStall) << "the loop no longer serves it";
  FreeStream(publisher);
}


uint64_t g_services = 0;
int64_t CountService(void*, int64_t) {
  ++g_services;
  return kEventLoopNever;
}

TEST_F(SendLoop, TheThreadHoldingServeDelaysNothingAndGetsItsTurnBack) {
  const ClientHandle link = std::make_shared<ClientLink>();
  link->loop = &loop_;
  link->loopItem.owner = link.get();
  {
    MutexLock lock(link->serve);
    link->service = CountService;
  }
  g_services = 0;
  // The connection's thread in its pass: it holds `serve` until told to go.
  std::promise<void> held, release;
  std::thread owner([&] {
    link->serve.lock();
    held.set_value();
    release.get_future().wait();
    ClientReleaseServe(link);
  });
  ASSERT_EQ(held.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
  // Posted now and then meanwhile (a publisher's relay): each post is one
  // try that finds `serve` taken; the item then leaves the heap.
  for (int i = 0; i < 100; ++i) {
    if (i % 10 == 0) ClientPost(link, 0);
    ++g_ms;
    Pass();
  }
  EXPECT_EQ(g_services, 0u);
  EXPECT_EQ(loop_.stats.served.load(), 10u) << "one try per post, none per pass";
  release.set_value();
  owner.join();
  EXPECT_TRUE(loop_.wakePending.load()) << "the holder posted it again";
  ++g_ms;
  Pass();
  EXPECT_EQ(g_services, 1u);
  ++g_ms;
  Pass();
  EXPECT_EQ(g_services, 1u);
}

}  // namespace
