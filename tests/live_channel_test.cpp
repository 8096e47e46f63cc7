// Live channels without a server: matching of players and publishers, the
// lists left behind by stopped and freed streams (under AddressSanitizer),
// the drop rules, the relay queue's byte cap and stall close, the post per
// empty queue to the player's send loop and its merging, the shared bodies of the fan-out, and voice detection on real
// Speex wideband frames made here with libspeex's encoder.
#include <gtest/gtest.h>
#include <speex/speex.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Database/Record.h"
#include "chat/RtmpChat.h"
#include "client/Client.h"
#include "media/RtmpChannel.h"
#include "media/RtmpStream.h"
#include "media/StreamSend.h"
#include "util/EventLoop.h"
#include "rtmp/RtmpUtils.h"
#include "support/SpeexFrames.h"

namespace {

uint32_t g_now = 0;
uint32_t TestClock() { return g_now; }

// A connection with no socket: what is written to it is refused, and its
// wakes are counted by an eventfd.
struct TestConnection {
  Client connection;
  TestConnection(SiteConfig* site) {
    connection.site = site;
    connection.link = std::make_shared<ClientLink>();
    connection.link->wakeEvent.fd = eventfd(0, EFD_NONBLOCK);
  }
  uint64_t Wakes() {
    uint64_t n = 0;
    return read(connection.link->wakeEvent.fd, &n, sizeof n) == sizeof n ? n : 0;
  }
};

std::vector<uint8_t> Body(uint8_t first, size_t size = 20) {
  std::vector<uint8_t> body(size, 0x11);
  body[0] = first;
  return body;
}

// An incoming message with a body of its own, as the reader makes one.
struct Message {
  RtmpPacket packet;
  Message(uint8_t type, uint32_t timestamp, const std::vector<uint8_t>& body) {
    RtmpPacketAlloc(&packet, static_cast<uint32_t>(body.size()));
    memcpy(packet.m_body, body.data(), body.size());
    packet.m_nBodySize = packet.m_nBytesRead = static_cast<uint32_t>(body.size());
    packet.m_nMessageType = type;
    packet.m_nTimestamp = timestamp;
  }
  ~Message() { RtmpPacketFree(&packet); }
};

class LiveChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = LiveChannelSettings();
    LiveChannelSetClock(TestClock);
    g_now = 1000;
  }
  void TearDown() override {
    for (RtmpStream* s : streams_) FreeStream(s);
    LiveChannelSettings() = saved_;
    LiveChannelSetClock(nullptr);
  }
  TestConnection* Connection(SiteConfig* site = nullptr) {
    connections_.push_back(std::make_unique<TestConnection>(site ? site : &site_));
    return connections_.back().get();
  }
  RtmpStream* Stream(TestConnection* c) {
    RtmpStream* s = CreateStreamRecord(&c->connection);
    if (s) streams_.push_back(s);
    return s;
  }
  RtmpStream* Publisher(TestConnection* c, int32_t userid, int32_t channel) {
    RtmpStream* s = Stream(c);
    s->publishing = true;
    LiveChannelSetIdentity(s, 0, userid, channel);
    CollectPlayers(s);
    return s;
  }
  RtmpStream* Player(TestConnection* c, int32_t userid, int32_t channel) {
    RtmpStream* s = Stream(c);
    s->playing = true;
    LiveChannelSetIdentity(s, 0, userid, channel);
    SubscribePlayer(s);
    return s;
  }
  void Free(RtmpStream* s) {
    std::erase(streams_, s);
    FreeStream(s);
  }
  static bool Lists(RtmpStream* publisher, RtmpStream* player) {
    ListLock guard(publisher->input.subscribers.lock);
    return ListFind(&publisher->input.subscribers, player) != nullptr;
  }
  // The media the player's thread would send next (the times), all taken
  // off its queue; its other messages in *others (type and first body byte).
  static std::vector<uint32_t> Take(RtmpStream* player, std::vector<std::pair<int, int>>* others = nullptr) {
    return TakeTimes(player, others);
  }

 public:
  static std::vector<uint32_t> TakeTimes(RtmpStream* player, std::vector<std::pair<int, int>>* others = nullptr) {
    std::vector<uint32_t> times;
    RtmpStreamOut& out = player->output;
    ListLock guard(out.queue.lock);
    for (ListNode* n = out.queue.first; n != nullptr; n = n->next) {
      auto* p = static_cast<RtmpPacket*>(n->item);
      if (p->m_nMessageType == kRtmpMsgAudio || p->m_nMessageType == kRtmpMsgVideo)
        times.push_back(p->m_nTimestamp);
      else if (others)
        others->emplace_back(p->m_nMessageType, p->m_body[0]);
    }
    EmptyQueue(player);
    return times;
  }
  static void Relay(RtmpStream* publisher, uint8_t type, uint32_t timestamp, uint8_t first) {
    Message m(type, timestamp, Body(first));
    RelayMedia(publisher, &m.packet);
  }

  SiteConfig site_, otherSite_;
  std::vector<std::unique_ptr<TestConnection>> connections_;
  std::vector<RtmpStream*> streams_;
  LiveChannelLimits saved_;
};

TEST_F(LiveChannelTest, PlayersAndPublishersFindEachOtherInEitherOrderWithinOneSiteAndChannel) {
  TestConnection *a = Connection(), *b = Connection(), *c = Connection(), *far = Connection(&otherSite_);
  // Player first: it waits, and the publisher collects it.
  RtmpStream* early = Player(b, 42, 5);
  RtmpStream* wrongChannel = Player(b, 42, 6);
  RtmpStream* sameConnection = Player(a, 42, 5);
  RtmpStream* otherSite = Player(far, 42, 5);
  RtmpStream* publisher = Publisher(a, 42, 5);
  EXPECT_TRUE(Lists(publisher, early));
  EXPECT_FALSE(Lists(publisher, wrongChannel));
  EXPECT_FALSE(Lists(publisher, sameConnection));
  EXPECT_FALSE(Lists(publisher, otherSite));
  // Publisher first: the player joins it.
  RtmpStream* late = Player(c, 42, 5);
  EXPECT_TRUE(Lists(publisher, late));
  // A second publisher of the same channel and user: a new player joins the
  // first one only.
  RtmpStream* second = Publisher(c, 42, 5);
  RtmpStream* newcomer = Player(b, 42, 5);
  EXPECT_TRUE(Lists(publisher, newcomer));
  EXPECT_FALSE(Lists(second, newcomer));

  // Both receive; the late player only what came after it joined.
  Relay(publisher, kRtmpMsgVideo, 40, 0x17);
  EXPECT_EQ(Take(early), std::vector<uint32_t>{40});
  EXPECT_EQ(Take(late), std::vector<uint32_t>{40});
  EXPECT_TRUE(Take(wrongChannel).empty());
  // A player joining a running stream starts at a key frame.
  RtmpStream* latest = Player(b, 42, 5);
  EXPECT_TRUE(Take(latest).empty());
  Relay(publisher, kRtmpMsgVideo, 80, 0x27);
  EXPECT_TRUE(Take(latest).empty());
  Relay(publisher, kRtmpMsgVideo, 120, 0x17);
  EXPECT_EQ(Take(latest), std::vector<uint32_t>{120});
}

TEST_F(LiveChannelTest, StoppedAndFreedPlayersLeaveNoTraceOnAnyList) {
  TestConnection *a = Connection(), *b = Connection();
  RtmpStream* publisher = Publisher(a, 7, 1);
  RtmpStream* player = Player(b, 7, 1);
  ASSERT_TRUE(Lists(publisher, player));
  // Freed while its publisher goes on: the next relay must not reach it.
  Free(player);
  EXPECT_EQ(publisher->input.subscribers.count, 0u);
  Relay(publisher, kRtmpMsgVideo, 0, 0x17);

  // Stopped after its publisher stopped, freed, and the stream publishes
  // again: the old list is gone with the first publish.
  player = Player(b, 7, 1);
  ASSERT_TRUE(Lists(publisher, player));
  ResetStream(publisher);
  EXPECT_EQ(publisher->input.subscribers.count, 0u);
  ResetStream(player);
  Free(player);
  publisher->publishing = true;
  LiveChannelSetIdentity(publisher, 0, 7, 1);
  CollectPlayers(publisher);
  EXPECT_EQ(publisher->input.subscribers.count, 0u);
  Relay(publisher, kRtmpMsgVideo, 40, 0x17);

  // A player reset while still listed is no longer taken by a publisher.
  player = Player(b, 7, 1);
  ResetStream(player);
  EXPECT_FALSE(Lists(publisher, player));
  CollectPlayers(publisher);
  EXPECT_FALSE(Lists(publisher, player));
}

// Players leave through the places they hold in their publishers' lists:
// in every order, with each player on the lists of two publishers of the
// channel, the others keep receiving from both; one that leaves after its
// publisher stopped touches no list (under AddressSanitizer).
TEST_F(LiveChannelTest, PlayersLeavingInAnyOrderLeaveTheOthersPlaying) {
  std::vector<int> order = {0, 1, 2};
  do {
    TestConnection *a = Connection(), *b = Connection();
    RtmpStream* first = Publisher(a, 3, 2);
    std::vector<RtmpStream*> players;
    for (int i = 0; i < 3; ++i) players.push_back(Player(Connection(), 3, 2));
    RtmpStream* second = Publisher(b, 3, 2);  // collects all three too
    std::vector<bool> left(players.size(), false);
    for (int leaving : order) {
      ResetStream(players[leaving]);
      left[leaving] = true;
      for (size_t i = 0; i < players.size(); ++i) {
        EXPECT_EQ(Lists(first, players[i]), !left[i]) << i;
        EXPECT_EQ(Lists(second, players[i]), !left[i]) << i;
        Take(players[i]);
      }
      Relay(first, kRtmpMsgVideo, 40, 0x17);
      Relay(second, kRtmpMsgVideo, 80, 0x17);
      for (size_t i = 0; i < players.size(); ++i)
        EXPECT_EQ(Take(players[i]), left[i] ? std::vector<uint32_t>{} : (std::vector<uint32_t>{40, 80})) << i;
    }
    // A player that outlives its publishers' stop leaves no list behind.
    RtmpStream* late = Player(Connection(), 3, 2);
    ASSERT_TRUE(Lists(first, late));
    Free(first);
    ResetStream(second);
    Free(late);
    EXPECT_EQ(second->input.subscribers.count, 0u);
    for (RtmpStream* player : players) Free(player);
    Free(second);
  } while (std::next_permutation(order.begin(), order.end()));
}

TEST_F(LiveChannelTest, LaggingVideoWaitsForTheNextKeyFrameOfCodecs237) {
  TestConnection *a = Connection(), *b = Connection();
  RtmpStream* publisher = Publisher(a, 1, 1);
  RtmpStream* player = Player(b, 1, 1);
  RtmpStreamOut& out = player->output;
  Relay(publisher, kRtmpMsgVideo, 0, 0x17);
  Relay(publisher, kRtmpMsgVideo, 600, 0x27);  // 600 behind: still taken
  EXPECT_EQ(out.queued, 2u);
  out.firstVideoPending = false;
  Relay(publisher, kRtmpMsgVideo, 700, 0x27);  // 700 behind: dropped
  EXPECT_EQ(out.dropped, 1u);
  EXPECT_TRUE(out.waitingForKeyFrame);
  EXPECT_TRUE(out.firstVideoPending);
  EXPECT_EQ(out.queued, 2u);  // what was queued stays
  // Caught up: inter frames wait, a key frame of H.264 resumes.
  EXPECT_EQ(Take(player), (std::vector<uint32_t>{0, 600}));
  Relay(publisher, kRtmpMsgVideo, 740, 0x27);
  Relay(publisher, kRtmpMsgVideo, 780, 0x37);
  Relay(publisher, kRtmpMsgAudio, 780, 0xB2);  // not speex-decodable: never relayed
  EXPECT_EQ(out.dropped, 3u);
  Relay(publisher, kRtmpMsgVideo, 800, 0x17);
  Relay(publisher, kRtmpMsgVideo, 840, 0x27);
  EXPECT_FALSE(out.waitingForKeyFrame);
  EXPECT_EQ(Take(player), (std::vector<uint32_t>{800, 840}));
  // Sorenson (2) and screen video (3) too; another codec resumes at once.
  for (uint8_t codec : {2, 3}) {
    out.waitingForKeyFrame = true;
    Relay(publisher, kRtmpMsgVideo, 900, static_cast<uint8_t>(0x20 | codec));
    EXPECT_TRUE(out.waitingForKeyFrame);
    Relay(publisher, kRtmpMsgVideo, 940, static_cast<uint8_t>(0x10 | codec));
    EXPECT_FALSE(out.waitingForKeyFrame);
  }
  out.waitingForKeyFrame = true;
  Relay(publisher, kRtmpMsgVideo, 980, 0x24);  // VP6 inter frame
  EXPECT_FALSE(out.waitingForKeyFrame);
  EXPECT_EQ(Take(player), (std::vector<uint32_t>{940, 940, 980}));
}

TEST_F(LiveChannelTest, AudioFarBehindEmptiesTheQueueAtOnceAndCountsIt) {
  TestConnection *a = Connection(), *b = Connection();
  RtmpStream* publisher = Publisher(a, 1, 1);
  RtmpStream* player = Player(b, 1, 1);
  RtmpStreamOut& out = player->output;
  // Queued directly: the voice detection is tested below.
  for (uint32_t t = 0; t <= 1100; t += 100) {
    Message m(kRtmpMsgAudio, t, Body(0xB2));
    EXPECT_TRUE(EnqueueRelayed(player, &m.packet, g_now));
  }
  EXPECT_EQ(out.queued, 12u);
  EXPECT_EQ(out.dropped, 0u);
  out.firstAudioPending = out.firstVideoPending = false;
  Message behind(kRtmpMsgAudio, 1200, Body(0xB2));
  EXPECT_TRUE(EnqueueRelayed(player, &behind.packet, g_now));
  EXPECT_EQ(out.dropped, 12u);
  EXPECT_TRUE(out.waitingForKeyFrame && out.firstAudioPending && out.firstVideoPending);
  EXPECT_EQ(Take(player), std::vector<uint32_t>{1200});
  (void)publisher;
}

TEST_F(LiveChannelTest, StandingTimestampsAreBoundedByTheQueueCapAndAStalledPlayerIsClosed) {
  TestConnection *a = Connection(), *b = Connection(), *c = Connection();
  RtmpStream* publisher = Publisher(a, 1, 1);
  RtmpStream* stalled = Player(b, 1, 1);
  RtmpStream* reader = Player(c, 1, 1);
  LiveChannelSettings().queueBytes = 100;  // five of our 20-byte bodies
  LiveChannelSettings().stallMs = 5000;
  for (int i = 0; i < 7; ++i) Relay(publisher, kRtmpMsgVideo, 0, 0x17);
  EXPECT_EQ(stalled->output.queued, 2u);
  EXPECT_EQ(stalled->output.dropped, 5u);
  EXPECT_LE(stalled->output.queueBytes, 100u);
  EXPECT_EQ(Take(reader).size(), 2u);  // it too: the cap is per player

  // The reader keeps taking; the stalled one's oldest packet waits too long.
  g_now += 5001;
  Take(reader);
  reader->output.waitingSince = g_now;
  Relay(publisher, kRtmpMsgVideo, 40, 0x17);
  EXPECT_TRUE(b->connection.link->rtmp.sockbuf.overflowed);
  EXPECT_FALSE(c->connection.link->rtmp.sockbuf.overflowed);
  EXPECT_EQ(stalled->output.queued, 0u);
  EXPECT_EQ(Take(reader), std::vector<uint32_t>{40});
  Relay(publisher, kRtmpMsgVideo, 80, 0x17);
  EXPECT_EQ(stalled->output.queued, 0u);
  EXPECT_EQ(Take(reader), std::vector<uint32_t>{80});
}

TEST_F(LiveChannelTest, OneBodyServesEveryPlayerAndAPlayerIsWokenOncePerEmptyQueue) {
  TestConnection* a = Connection();
  RtmpStream* publisher = Publisher(a, 1, 1);
  std::vector<TestConnection*> viewers;
  std::vector<RtmpStream*> players;
  for (int i = 0; i < 50; ++i) {
    viewers.push_back(Connection());
    players.push_back(Player(viewers.back(), 1, 1));
  }
  Message m(kRtmpMsgVideo, 0, Body(0x17, 4000));
  const uint64_t before = RtmpBodyAllocations();
  RelayMedia(publisher, &m.packet);
  m.packet.m_nTimestamp = 40;
  RelayMedia(publisher, &m.packet);
  EXPECT_EQ(RtmpBodyAllocations(), before);
  for (size_t i = 0; i < players.size(); ++i) {
    EXPECT_EQ(players[i]->output.queued, 2u);
    EXPECT_EQ(viewers[i]->Wakes(), 1u) << i;
    auto* first = static_cast<RtmpPacket*>(players[i]->output.queue.first->item);
    EXPECT_EQ(first->m_body, m.packet.m_body);
    EXPECT_EQ(first->m_nStreamId, players[i]->id);
    EXPECT_EQ(first->m_nChannel, players[i]->videoChannel);
  }
  Take(players[0]);
  g_now += LiveChannelSettings().mergeMs;  // woken again once a merge period is over
  Relay(publisher, kRtmpMsgVideo, 80, 0x27);
  EXPECT_EQ(viewers[0]->Wakes(), 1u);
  EXPECT_EQ(viewers[1]->Wakes(), 0u);
  // A paused player gets nothing.
  players[2]->output.paused = true;
  const uint32_t held = players[2]->output.queued;
  Relay(publisher, kRtmpMsgVideo, 120, 0x27);
  EXPECT_EQ(players[2]->output.queued, held);
}

// A send loop on the test clock, passed by the test: what the players' own
// send loops do for them.
struct TestLoop {
  EventLoop loop;
  std::vector<ClientHandle> attached;
  TestLoop() {
    EXPECT_TRUE(EventLoopOpen(&loop));
    loop.now = [] { return int64_t{g_now}; };
    loop.serve = [](EventLoopItem& item, int64_t now) {
      return ClientServeFromLoop(*static_cast<ClientLink*>(item.owner), now);
    };
  }
  ~TestLoop() {
    EventLoopStop(&loop);
    for (const ClientHandle& link : attached) link->loop = nullptr;
  }
  void Attach(TestConnection* c, int64_t (*service)(void*, int64_t), void* ctx) {
    ClientLink& link = *c->connection.link;
    attached.push_back(c->connection.link);
    link.loop = &loop;
    link.loopItem.owner = &link;
    MutexLock lock(link.serve);
    link.service = service;
    link.serviceCtx = ctx;
  }
  void Pass() {
    loop.role.Assume();
    EventLoopPass(&loop, g_now);
  }
};

// A live player's service as its loop runs it: its queue goes to its socket
// once its merge period is over.
int64_t SendPlayer(void* ctx, int64_t now) {
  auto* player = static_cast<RtmpStream*>(ctx);
  if (player->output.queued == 0) return kEventLoopNever;  // as the pacing scan: nothing to take
  if (const int64_t wait = LiveChannelTakeDue(player); wait > 0) return now + wait;
  SocketBufferActAsOwner acting(&player->rtmp->sockbuf);
  SendQueue(player);
  RtmpFlushOutput(player->rtmp);
  return kEventLoopNever;
}

// A player with a socket: the publisher only queues and posts it to its
// send loop, once per relay; the loop sends what reaches it after a merge
// period at once, and what comes within one at the period's end, in one
// go. The player's thread is never woken.
TEST_F(LiveChannelTest, ThePublisherPostsItsPlayersToTheirLoopWhichSendsMergedMediaWithoutWakingThem) {
  LiveChannelSettings().mergeMs = 20;
  TestConnection *a = Connection(), *b = Connection();
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
  std::thread([&] { ASSERT_EQ(RtmpContextInit(&b->connection.link->rtmp, fds[0]), 1); }).join();
  {
    MutexLock lock(b->connection.link->rtmp.sendLock);
    RtmpChannelOut(&b->connection.link->rtmp, 2);
    b->connection.link->rtmp.sockbuf.wakeFd = b->connection.link->wakeEvent.fd;
    b->connection.link->rtmp.sockbuf.batching = true;
  }
  RtmpStream* publisher = Publisher(a, 1, 1);
  RtmpStream* player = Player(b, 1, 1);
  TestLoop loop;
  loop.Attach(b, SendPlayer, player);
  auto received = [&] {
    uint8_t buffer[4096];
    const ssize_t n = recv(fds[1], buffer, sizeof buffer, MSG_DONTWAIT);
    return n > 0 ? size_t(n) : 0;
  };
  Relay(publisher, kRtmpMsgVideo, 0, 0x17);
  EXPECT_EQ(received(), 0u);  // the publisher never sends
  EXPECT_EQ(loop.loop.stats.wakes, 1u);
  loop.Pass();
  EXPECT_GT(received(), 20u);
  EXPECT_EQ(player->output.queued, 0u);
  g_now += 5;
  Relay(publisher, kRtmpMsgVideo, 5, 0x27);
  Relay(publisher, kRtmpMsgVideo, 5, 0x27);
  EXPECT_EQ(loop.loop.stats.wakes, 2u);  // the second relay found it posted
  loop.Pass();
  EXPECT_EQ(received(), 0u);
  EXPECT_EQ(player->output.queued, 2u);
  loop.loop.role.Assume();
  EXPECT_EQ(EventLoopWaitMs(&loop.loop, g_now), 15);
  g_now += 15;
  loop.Pass();
  EXPECT_GT(received(), 40u);
  EXPECT_EQ(player->output.queued, 0u);
  EXPECT_EQ(b->Wakes(), 0u);
  // Media waiting for its period whose queue is emptied meanwhile (a pause,
  // a drop): that post finds nothing to send, and what comes next is posted
  // again instead of waiting for a post that will not come.
  g_now += 5;
  Relay(publisher, kRtmpMsgVideo, 30, 0x27);
  EmptyQueue(player);
  g_now += 15;
  loop.Pass();
  g_now += 1;
  Relay(publisher, kRtmpMsgVideo, 40, 0x17);  // a key frame: the emptied queue waits for one
  loop.Pass();
  EXPECT_GT(received(), 20u);
  Free(player);
  RtmpContextFree(&b->connection.link->rtmp);
  close(fds[0]);
  close(fds[1]);
}

// A relay reads the clock once for all its players; a player's loop that
// sends from its queue meanwhile stamps it a millisecond later. That player
// has not stopped reading: it keeps its queue and is not closed.
TEST_F(LiveChannelTest, APlayerWhoseLoopSentDuringARelayIsNoStalledReader) {
  TestConnection *a = Connection(), *b = Connection();
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
  RtmpContext& rtmp = b->connection.link->rtmp;
  std::thread([&] { ASSERT_EQ(RtmpContextInit(&rtmp, fds[0]), 1); }).join();
  {
    MutexLock lock(rtmp.sendLock);
    RtmpChannelOut(&rtmp, 2);
    rtmp.sockbuf.batching = true;
  }
  RtmpStream* publisher = Publisher(a, 1, 1);
  RtmpStream* player = Player(b, 1, 1);
  // A key frame that takes the output past its watermark, so that the loop
  // leaves what follows it queued.
  Message key(kRtmpMsgVideo, 0, Body(0x17, 300 * 1024));
  RelayMedia(publisher, &key.packet);
  Relay(publisher, kRtmpMsgVideo, 40, 0x27);
  const uint32_t relayTime = g_now;
  g_now += 1;
  {
    SocketBufferActAsOwner acting(&rtmp.sockbuf);
    EXPECT_TRUE(SendQueue(player));
  }
  ASSERT_TRUE(RtmpOutputAboveWatermark(&rtmp));
  ASSERT_EQ(player->output.queued, 1u);
  Message next(kRtmpMsgVideo, 80, Body(0x27));
  EXPECT_TRUE(EnqueueRelayed(player, &next.packet, relayTime, publisher));
  EXPECT_FALSE(rtmp.sockbuf.overflowed);
  EXPECT_EQ(Take(player), (std::vector<uint32_t>{40, 80}));

  // The same early clock read meets a merge period that a loop has just
  // closed: to that relay the period has just begun, and its media waits
  // for the period's end instead of leaving at once out of phase.
  LiveChannelSettings().mergeMs = 20;
  RtmpStream* late = Player(Connection(), 1, 1);
  const uint32_t t0 = g_now;
  Message m1(kRtmpMsgVideo, 120, Body(0x17)), m2(kRtmpMsgVideo, 160, Body(0x17)), m3(kRtmpMsgVideo, 200, Body(0x17));
  EXPECT_TRUE(EnqueueRelayed(late, &m1.packet, t0, publisher));
  Take(late);
  EXPECT_TRUE(EnqueueRelayed(late, &m2.packet, t0 + 5, publisher));  // within the period: deferred
  g_now = t0 + 20;
  EXPECT_EQ(LiveChannelTakeDue(late), 0);  // the loop closes the period at t0 + 20
  Take(late);
  EXPECT_TRUE(EnqueueRelayed(late, &m3.packet, t0 + 19, publisher));
  EXPECT_EQ(LiveChannelTakeDue(late), 20);
  Free(late);
  Free(player);
  RtmpContextFree(&rtmp);
  close(fds[0]);
  close(fds[1]);
}

// What a player's loop takes, and when.
struct Taken {
  RtmpStream* player = nullptr;
  uint32_t sent = 0, services = 0, longest = 0;
};

int64_t TakePlayer(void* ctx, int64_t now) {
  auto* taken = static_cast<Taken*>(ctx);
  if (const int64_t wait = LiveChannelTakeDue(taken->player); wait > 0) return now + wait;
  ++taken->services;
  for (uint32_t time : LiveChannelTest::TakeTimes(taken->player)) {
    taken->longest = std::max(taken->longest, g_now - time);
    ++taken->sent;
  }
  return kEventLoopNever;
}

// The player's loop on the test clock, passed every millisecond: posted at
// once or for the end of the merge period, it takes the whole queue.
TEST_F(LiveChannelTest, RelayedMediaWaitsAtMostTheMergePeriodAndWhatComesWithinItLeavesInOneService) {
  for (uint32_t merge : {0u, 20u, 50u}) {
    SCOPED_TRACE(merge);
    LiveChannelSettings().mergeMs = merge;
    TestConnection *a = Connection(), *b = Connection();
    RtmpStream* publisher = Publisher(a, 1, int32_t(merge) + 1);
    Taken taken{Player(b, 1, int32_t(merge) + 1)};
    TestLoop loop;
    loop.Attach(b, TakePlayer, &taken);
    const uint32_t start = g_now;
    uint32_t relayed = 0, ticksWithMedia = 0;
    // Media for 2 s, then a merge period for the last of it to leave.
    for (uint32_t t = 0; t < 2000 + merge; ++t) {
      g_now = start + t;
      // Audio and video rates, and a burst.
      const bool media = t < 2000 && (t % 20 == 3 || t % 33 == 0 || (t >= 700 && t < 706));
      if (media) {
        ++ticksWithMedia;
        for (int n = (t % 20 == 3) + (t % 33 == 0) + (t >= 700 && t < 706); n > 0; --n, ++relayed)
          Relay(publisher, kRtmpMsgVideo, g_now, 0x17);
      }
      loop.Pass();
    }
    EXPECT_EQ(taken.sent, relayed);
    EXPECT_LE(taken.longest, merge);
    EXPECT_EQ(b->Wakes(), 0u);
    if (merge == 0) {
      EXPECT_EQ(taken.services, ticksWithMedia);
    } else {
      // Services are a merge period apart at least: far fewer than messages.
      EXPECT_LE(taken.services, 2000 / merge + 2);
      EXPECT_GE(taken.longest, merge - 1);
    }
  }
}

// What is queued for a player: type, time and the first two body bytes.
struct Queued {
  int type;
  uint32_t time;
  int b0, b1;
  bool operator==(const Queued&) const = default;
};
std::vector<Queued> Queue(RtmpStream* player) {
  std::vector<Queued> q;
  ListLock guard(player->output.queue.lock);
  for (ListNode* n = player->output.queue.first; n != nullptr; n = n->next) {
    auto* p = static_cast<RtmpPacket*>(n->item);
    q.push_back({p->m_nMessageType, p->m_nTimestamp, p->m_body[0], p->m_nBodySize > 1 ? p->m_body[1] : -1});
  }
  return q;
}

TEST_F(LiveChannelTest, ALatePlayerGetsTheLatestMetadataAndDecoderConfigurationFirstAndVideoFromAKeyFrame) {
  TestConnection *a = Connection(), *b = Connection(), *c = Connection();
  RtmpStream* publisher = Publisher(a, 1, 1);
  RtmpStream* early = Player(b, 1, 1);
  // "@setDataFrame" "onMetaData" {}: the players present get "onMetaData" {}.
  const std::vector<uint8_t> meta = {2, 0, 10, 'o', 'n', 'M', 'e', 't', 'a', 'D', 'a', 't', 'a', 3, 0, 0, 9};
  std::vector<uint8_t> wrapped = {2, 0, 13, '@', 's', 'e', 't', 'D', 'a', 't', 'a', 'F', 'r', 'a', 'm', 'e'};
  wrapped.reserve(wrapped.size() + meta.size());
  for (uint8_t byte : meta) wrapped.push_back(byte);
  Message data(kRtmpMsgDataAmf0, 0, wrapped);
  RelayData(publisher, &data.packet);
  {
    ListLock guard(early->output.queue.lock);
    auto* sent = static_cast<RtmpPacket*>(early->output.queue.first->item);
    EXPECT_TRUE(std::vector<uint8_t>(sent->m_body, sent->m_body + sent->m_nBodySize) == meta);
    EXPECT_EQ(sent->m_nChannel, early->dataChannel);
  }
  EmptyQueue(early);
  for (auto [type, time, b0, b1] : std::vector<Queued>{{9, 0, 0x17, 0}, {8, 0, 0xAF, 0}, {9, 0, 0x17, 1},
                                                       {9, 40, 0x27, 1}, {9, 50, 0x17, 0}}) {
    Message m(uint8_t(type), time, {uint8_t(b0), uint8_t(b1), 0, 0, 0, uint8_t(time)});
    RelayMedia(publisher, &m.packet);
  }
  EXPECT_EQ(early->output.queued, 5u);  // the AAC configuration passes without a speaker

  // The late player: its inter frames wait; the key frame comes after the
  // metadata and the latest configuration, all at its time.
  RtmpStream* late = Player(c, 1, 1);
  Relay(publisher, kRtmpMsgVideo, 80, 0x27);
  EXPECT_TRUE(Queue(late).empty());
  Relay(publisher, kRtmpMsgVideo, 120, 0x17);
  const std::vector<Queued> start = {{18, 120, 2, 0}, {9, 120, 0x17, 0}, {8, 120, 0xAF, 0}, {9, 120, 0x17, 0x11}};
  EXPECT_EQ(Queue(late), start);
  {
    ListLock guard(late->output.queue.lock);
    auto* config = static_cast<RtmpPacket*>(late->output.queue.first->next->item);
    EXPECT_EQ(config->m_body[5], 50);  // the one sent last
  }
  // Dropped before it left, the configuration goes again with the next message.
  Message behind(kRtmpMsgAudio, 1300, Body(0xAF));
  EXPECT_TRUE(EnqueueRelayed(late, &behind.packet, g_now, publisher));
  EXPECT_EQ(Queue(late).size(), 4u);
  EXPECT_EQ(Queue(late)[1], (Queued{9, 1300, 0x17, 0}));
}

TEST_F(LiveChannelTest, PlayersAreToldWhenTheirPublisherStopsAndANewOneStartsBeforeItsMedia) {
  TestConnection *a = Connection(), *b = Connection(), *c = Connection();
  RtmpStream* publisher = Publisher(a, 1, 1);
  RtmpStream* player = Player(b, 1, 1);
  Relay(publisher, kRtmpMsgVideo, 40, 0x17);
  b->Wakes();
  ResetStream(publisher);  // closeStream, deleteStream, FCUnpublish, the end of the connection
  std::vector<std::pair<int, int>> notices;
  EXPECT_EQ(Take(player, &notices), std::vector<uint32_t>{40});
  const std::vector<std::pair<int, int>> stopped = {{20, 2}, {4, 0}};
  EXPECT_EQ(notices, stopped);
  EXPECT_GE(b->Wakes(), 1u);
  EXPECT_TRUE(player->playing);

  // The next publisher of the channel: StreamBegin and PublishNotify, then
  // its media from a key frame on; the notices outlast a drop.
  RtmpStream* next = Publisher(c, 1, 1);
  ASSERT_TRUE(Lists(next, player));
  std::vector<Queued> q = Queue(player);
  ASSERT_EQ(q.size(), 2u);
  {
    ListLock guard(player->output.queue.lock);
    auto* begin = static_cast<RtmpPacket*>(player->output.queue.first->item);
    auto* status = static_cast<RtmpPacket*>(player->output.queue.first->next->item);
    EXPECT_EQ(std::vector<uint8_t>(begin->m_body, begin->m_body + 6),
              (std::vector<uint8_t>{0, 0, 0, 0, 0, uint8_t(player->id)}));
    EXPECT_EQ(begin->m_nChannel, 2);
    const std::string text(reinterpret_cast<char*>(status->m_body), status->m_nBodySize);
    EXPECT_NE(text.find("NetStream.Play.PublishNotify"), std::string::npos);
    EXPECT_NE(text.find("published"), std::string::npos);
    EXPECT_NE(text.find("status"), std::string::npos);
    EXPECT_EQ(status->m_nStreamId, player->id);
  }
  Relay(next, kRtmpMsgVideo, 5000, 0x27);
  Relay(next, kRtmpMsgVideo, 5040, 0x17);
  Message far(kRtmpMsgAudio, 9000, Body(0xAF));
  EnqueueRelayed(player, &far.packet, g_now, next);
  notices.clear();
  EXPECT_EQ(Take(player, &notices), std::vector<uint32_t>{9000});
  EXPECT_EQ(notices, (std::vector<std::pair<int, int>>{{4, 0}, {20, 2}}));
}

// ---- Voice detection ----

class VoiceTest : public LiveChannelTest {
 protected:
  void SetUp() override {
    LiveChannelTest::SetUp();
    room_ = std::make_unique<LiveChat>();
    room_->site = &site_;
    listener_ = Connection();
  }
  void TearDown() override {
    LiveChannelTest::TearDown();
    for (TestConnection* c : speakers_) c->connection.link->chatMember = nullptr;
    room_.reset();
  }
  // A speaker present in the room, publishing channel `channel`, with a
  // player of that channel listening.
  RtmpStream* Speaker(int32_t userid, int32_t channel, LiveUser** member) {
    TestConnection* c = Connection();
    speakers_.push_back(c);
    auto* m = new LiveUser;
    User user;
    user.type = 13;
    user.id = userid;
    m->user = CopyRecordAs(&user);
    m->link = c->connection.link;
    m->livechat = room_.get();
    m->activeaudio = 1;
    ListAddTail(&room_->members, m);
    c->connection.link->chatMember = m;
    RtmpStream* s = Publisher(c, userid, channel);
    EXPECT_TRUE(PrepareSpeex(s));
    Player(listener_, userid, channel);
    *member = m;
    return s;
  }
  // Relays one 20 ms frame; whether it reached the player.
  bool Frame(RtmpStream* publisher, SpeexFrames& frames, bool loud) {
    g_now += 20;
    RtmpStream* player = static_cast<RtmpStream*>(publisher->input.subscribers.first->item);
    const uint32_t before = player->output.queued;
    Message m(kRtmpMsgAudio, g_now, frames.Next(loud));
    RelayMedia(publisher, &m.packet);
    const bool passed = player->output.queued > before;
    EmptyQueue(player);
    return passed;
  }

  std::unique_ptr<LiveChat> room_;
  TestConnection* listener_ = nullptr;
  std::vector<TestConnection*> speakers_;
};

TEST_F(VoiceTest, QuietShorterThanTheHangTimeKeepsTalkingAndLongerEndsIt) {
  LiveUser* ada;
  RtmpStream* publisher = Speaker(1, 5, &ada);
  SpeexFrames frames(8);
  EXPECT_FALSE(Frame(publisher, frames, false));  // quiet before any loud frame
  EXPECT_TRUE(Frame(publisher, frames, true));
  EXPECT_TRUE(ada->talking);
  // Quiet stretches of 1060 ms (53 frames) between loud ones: all passes.
  int passed = 0, sent = 0;
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 53; ++i, ++sent) passed += Frame(publisher, frames, false);
    for (int i = 0; i < 5; ++i, ++sent) passed += Frame(publisher, frames, true);
  }
  EXPECT_EQ(passed, sent);
  EXPECT_TRUE(ada->talking);
  // 1.2 s of quiet: talking ends after 1100 ms and the rest is held back.
  passed = 0;
  for (int i = 0; i < 60; ++i) passed += Frame(publisher, frames, false);
  EXPECT_FALSE(ada->talking);
  // 55 frames are within 1100 ms of the last loud one; the decoder's first
  // frame after the tone may still carry its tail and count as loud.
  EXPECT_GE(passed, 55);
  EXPECT_LE(passed, 56);
  EXPECT_TRUE(Frame(publisher, frames, true));
  EXPECT_TRUE(ada->talking);
}

TEST_F(VoiceTest, ASecondSpeakerIsHeldBackWhileTheFirstTalksUnlessTalkover) {
  LiveUser *ada, *ben;
  RtmpStream* first = Speaker(1, 5, &ada);
  RtmpStream* second = Speaker(2, 6, &ben);
  SpeexFrames a(8), b(8);
  ASSERT_TRUE(Frame(first, a, true));
  EXPECT_FALSE(Frame(second, b, true));
  EXPECT_FALSE(ben->talking);
  ben->talkover = 1;
  EXPECT_TRUE(Frame(second, b, true));
  EXPECT_TRUE(ben->talking && ada->talking);
  // Audio that is not active is never relayed.
  ada->activeaudio = 0;
  EXPECT_FALSE(Frame(first, a, true));
}

TEST_F(VoiceTest, SpeexWithOtherRateBitsTalksAsTheFlashHeaderAndAacPassesWhileAudioIsActive) {
  LiveUser* ada;
  RtmpStream* publisher = Speaker(1, 5, &ada);
  RtmpStream* player = static_cast<RtmpStream*>(publisher->input.subscribers.first->item);
  SpeexFrames frames(8);
  // FFmpeg's Speex header: loud makes talking and is relayed unchanged.
  auto ffmpeg = [&](bool loud) {
    std::vector<uint8_t> body = frames.Next(loud);
    body[0] = 0xB6;
    g_now += 20;
    Message m(kRtmpMsgAudio, g_now, body);
    RelayMedia(publisher, &m.packet);
  };
  ffmpeg(true);
  EXPECT_TRUE(ada->talking);
  std::vector<Queued> q = Queue(player);
  ASSERT_EQ(q.size(), 1u);
  EXPECT_EQ(q[0].b0, 0xB6);
  ffmpeg(false);  // may still carry the tone's tail
  EmptyQueue(player);
  g_now += 1200;
  ffmpeg(false);
  EXPECT_FALSE(ada->talking);
  EXPECT_EQ(player->output.queued, 0u);
  // AAC: relayed while the audio is active, talking untouched.
  Relay(publisher, kRtmpMsgAudio, g_now, 0xAF);
  EXPECT_EQ(player->output.queued, 1u);
  EXPECT_FALSE(ada->talking);
  ada->activeaudio = 0;
  Relay(publisher, kRtmpMsgAudio, g_now, 0xAF);
  EXPECT_EQ(player->output.queued, 1u);
}

TEST_F(VoiceTest, OtherAudioShortFramesAndMissingDecodersOrMembersAreQuiet) {
  LiveUser* ada;
  RtmpStream* publisher = Speaker(1, 5, &ada);
  RtmpStream* player = static_cast<RtmpStream*>(publisher->input.subscribers.first->item);
  SpeexFrames frames(8);
  ASSERT_TRUE(Frame(publisher, frames, true));
  // AAC and MP3 never pass, even while the speaker talks; video does.
  for (uint8_t header : {0xAF, 0x2F}) {
    Message m(kRtmpMsgAudio, g_now, Body(header));
    EXPECT_FALSE(DetectVoice(publisher, &m.packet, g_now));
  }
  Relay(publisher, kRtmpMsgVideo, g_now, 0x17);
  EXPECT_EQ(player->output.queued, 1u);
  EmptyQueue(player);
  // A loud frame cut short is quiet, and read no further than its end
  // (the sanitizer watches the exact-size body).
  ada->talking = 0;
  std::vector<uint8_t> loud = frames.Next(true);
  for (size_t size : {size_t{1}, size_t{2}, loud.size() / 3}) {
    Message m(kRtmpMsgAudio, g_now, std::vector<uint8_t>(loud.begin(), loud.begin() + long(size)));
    EXPECT_FALSE(DetectVoice(publisher, &m.packet, g_now)) << size;
  }
  EXPECT_FALSE(ada->talking);
  // No decoder (released) or no member: quiet, no crash.
  ReleaseSpeex(publisher);
  Message m(kRtmpMsgAudio, g_now, frames.Next(true));
  EXPECT_FALSE(DetectVoice(publisher, &m.packet, g_now));
  ReleaseSpeex(publisher);
  PrepareSpeex(publisher);
  publisher->link->chatMember = nullptr;
  EXPECT_FALSE(DetectVoice(publisher, &m.packet, g_now));
}

}  // namespace
