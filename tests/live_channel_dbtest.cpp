// Live channels through the real binary: a speaker's Speex audio relayed to a
// player while it talks, its talking flag heard by the chat; a player that
// stops reading closed while the publisher and another player go on; and
// GStreamer's rtmp2sink publishing H.264 on a channel watched by two
// rtmp2src players.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <speex/speex.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "support/ChatClient.h"
#include "support/SpeexFrames.h"
#include "support/TestEnv.h"
#include "support/FlvBuilder.h"
#include "support/StrmdSite.h"
#include "server/ThreadDebug.h"

namespace {

bool Talking(const ChatCall& call, int userid, bool talking) {
  return call.object.Get("userid").number == userid && (call.object.Get("talking").number != 0) == talking;
}

// The next media message of a type on a client; none after the time-out.
std::optional<RtmpClientMessage> NextMedia(TestPlayer* player, uint8_t type, int timeoutMs = 5000) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < until) {
    auto m = player->Next(200);
    if (m && m->type == type) return m;
  }
  return std::nullopt;
}

TEST(LiveChannel, SpeexOfATalkingSpeakerReachesItsPlayerAndTheChatHearsEveryChange) {
  StrmdSite site;
  // One millisecond of hang time: quiet ends talking at the next frame.
  ASSERT_TRUE(site.Start("live-voice", "default", "", {"STRMD_VOICE_HANG_MS=1"}));
  ASSERT_TRUE(site.HoldLocalWeb());
  const uint16_t port = static_cast<uint16_t>(site.server.port);
  ChatClient ada, ben;
  ASSERT_TRUE(ada.Login(port, "demo-ada-0001"));
  ASSERT_TRUE(ben.Login(port, "demo-ben-0002"));
  ada.Do("chatConnectChat", {amf::Num(1)});
  ben.Do("chatConnectChat", {amf::Num(1)});
  ada.Sync();

  // Ada plays Ben's channel before Ben publishes it.
  ASSERT_EQ(ada.player.CreateStream(), 1);
  ASSERT_TRUE(ada.player.Play(1, "channel=5&userid=2"));
  ASSERT_FALSE(ada.player.Until("NetStream.Play.Start").empty());
  ASSERT_EQ(ben.player.CreateStream(), 1);
  ASSERT_TRUE(ben.player.Publish(1, "channel=5"));
  ASSERT_FALSE(ben.player.Until("NetStream.Publish.Start").empty());

  SpeexFrames frames;
  uint32_t ts = 0;
  // Quiet before any loud frame is not relayed; the first loud one is.
  ASSERT_TRUE(ben.player.client.SendAudio(1, ts += 20, frames.Next(false)));
  std::vector<uint8_t> loud;
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(ben.player.client.SendAudio(1, ts += 20, loud = frames.Next(true)));
  EXPECT_FALSE(ada.Until("ReceiveUserUpdate", [](const ChatCall& c) { return Talking(c, 2, true); }).empty());
  EXPECT_FALSE(ben.Until("ReceiveUserUpdate", [](const ChatCall& c) { return Talking(c, 2, true); }).empty());
  auto audio = NextMedia(&ada.player, 8);
  ASSERT_TRUE(audio);
  EXPECT_EQ(audio->timestamp, 40u);
  EXPECT_EQ(audio->streamId, 1u);

  // Quiet after the hang time ends talking, heard by both members.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(ben.player.client.SendAudio(1, ts += 20, frames.Next(false)));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_FALSE(ada.Until("ReceiveUserUpdate", [](const ChatCall& c) { return Talking(c, 2, false); }).empty());
  EXPECT_FALSE(ben.Until("ReceiveUserUpdate", [](const ChatCall& c) { return Talking(c, 2, false); }).empty());
  // AAC, which has no voice check, is relayed unchanged while Ben's audio is
  // active; video always.
  while (ada.player.Next(300)) {
  }
  const std::vector<uint8_t> aac = {0xAF, 1, 0x21, 0x10};
  ASSERT_TRUE(ben.player.client.SendAudio(1, ts += 20, aac));
  ASSERT_TRUE(ben.player.client.SendVideo(1, ts += 20, std::vector<uint8_t>{0x17, 1, 0, 0, 0, 9, 9}));
  auto next = ada.player.Next(5000);
  while (next && next->type != 8 && next->type != 9) next = ada.player.Next(5000);
  ASSERT_TRUE(next);
  EXPECT_EQ(next->type, 8);
  EXPECT_TRUE(next->body == aac);
  next = NextMedia(&ada.player, 9);
  ASSERT_TRUE(next);
  EXPECT_EQ(next->timestamp, ts);
}

TEST(LiveChannel, APlayerThatStopsReadingIsClosedWhileThePublisherAndAnotherPlayerGoOn) {
  StrmdSite site;
  ASSERT_TRUE(site.Start("live-stall", "default", "", {"STRMD_RELAY_STALL_MS=300"}));
  ASSERT_TRUE(site.HoldLocalWeb());
  const uint16_t port = static_cast<uint16_t>(site.server.port);
  TestPlayer stalled, reader;
  ChatClient ben;
  ASSERT_TRUE(ben.Login(port, "demo-ben-0002"));
  for (TestPlayer* p : {&stalled, &reader}) {
    ASSERT_TRUE(p->Connect(port));
    ASSERT_EQ(p->CreateStream(), 1);
    ASSERT_TRUE(p->Play(1, "channel=3&userid=2"));
    ASSERT_FALSE(p->Until("NetStream.Play.Start").empty());
  }
  int small = 4096;
  setsockopt(stalled.client.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  ASSERT_EQ(ben.player.CreateStream(), 1);
  ASSERT_TRUE(ben.player.Publish(1, "channel=3"));
  ASSERT_FALSE(ben.player.Until("NetStream.Publish.Start").empty());

  // 3 MB of key frames 5 ms apart, far more than the stalled player's
  // socket holds; the reader takes them all.
  std::vector<uint8_t> frame(50000, 0x55);
  frame[0] = 0x17;
  uint32_t ts = 0;
  int received = 0;
  std::thread readerThread([&] {
    while (auto m = NextMedia(&reader, 9, 5000)) {
      if (++received == 61) break;
    }
  });
  for (int i = 0; i < 60; ++i) ASSERT_TRUE(ben.player.client.SendVideo(1, ts += 5, frame));
  // Once the stalled player's oldest packet has waited past the stall
  // period, the next message closes it.
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  ASSERT_TRUE(ben.player.client.SendVideo(1, ts += 5, frame));
  readerThread.join();
  EXPECT_EQ(received, 61);
  EXPECT_TRUE(site.server.WaitForOutput("over its cap") ||
              site.server.ErrorLog().find("over its cap") != std::string::npos)
      << site.server.Output();
  // The publisher is still served.
  EXPECT_TRUE(ben.Do("chatConnectChat", {amf::Num(1)}).size() > 0);
}

// The streams the server's status report lists as playing `name`.
int PlayersInReport(const std::string& shm, const std::string& name) {
  DebugSnapshot report;
  std::string error;
  if (DebugReadReport(shm, &report, &error) != DebugRead::kOk) return -1;
  int players = 0;
  size_t from = 0;
  while (from < report.data.size()) {
    size_t end = report.data.find('\n', from);
    if (end == std::string::npos) end = report.data.size();
    std::vector<std::string> fields;
    for (size_t at = from; at <= end;) {
      size_t tab = report.data.find('\t', at);
      if (tab == std::string::npos || tab > end) tab = end;
      fields.push_back(report.data.substr(at, tab - at));
      at = tab + 1;
    }
    if (fields.size() > 10 && fields[0] == "stream" && fields[2] == "out" && fields[10] == name) players++;
    from = end + 1;
  }
  return players;
}

void Stop(pid_t pid) {
  int status = 0;
  kill(pid, SIGINT);
  if (!WaitChild(pid, 10000, &status)) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
}

TEST(LiveChannel, Rtmp2sinkPublishesH264OnAChannelAndTwoRtmp2srcPlayersReceiveIt) {
  if (system("gst-inspect-1.0 rtmp2sink > /dev/null 2>&1") != 0) GTEST_SKIP() << "no rtmp2sink";
  StrmdSite site;
  ASSERT_TRUE(site.Start("live-interop"));
  ASSERT_TRUE(site.HoldLocalWeb());
  const std::string base = "rtmp://127.0.0.1:" + std::to_string(site.server.port) + "/default/";
  const std::string log = site.dir + "/gst.log";
  // The players come first and wait for Ben (user 2).
  std::vector<pid_t> players;
  for (int i = 0; i < 2; ++i)
    players.push_back(LaunchGst({"rtmp2src", "location=" + base + "channel=5&userid=2", "!", "filesink",
                              "location=" + site.dir + "/player" + std::to_string(i) + ".flv"},
                             log));
  ASSERT_TRUE(TestWaitUntil([&] { return PlayersInReport(site.server.shmName, "channel=5&userid=2") == 2; }, 20000))
      << "see " << log;
  // Ben logs in through the publish name.
  pid_t publisher = LaunchGst({"videotestsrc", "num-buffers=100", "is-live=true", "!", "video/x-raw,width=160,height=120,framerate=25/1",
                            "!", "x264enc", "key-int-max=25", "bitrate=300", "tune=zerolatency", "!", "h264parse",
                            "!", "flvmux", "streamable=true", "!", "rtmp2sink",
                            "location=" + base + "phpsessid=demo-ben-0002&channel=5"},
                           log);
  int status = 0;
  if (!WaitChild(publisher, 30000, &status)) {
    Stop(publisher);
    FAIL() << "rtmp2sink did not finish (see " << log << ")";
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << " (see " << log << ")";
  // rtmp2src ends by itself on the StreamEOF after the tail.
  for (pid_t p : players)
    if (!WaitChild(p, 10000, &status)) Stop(p);
  for (int i = 0; i < 2; ++i) {
    FlvTestFile got;
    ASSERT_TRUE(ReadFlvForTest(site.dir + "/player" + std::to_string(i) + ".flv", &got)) << i << " (see " << log << ")";
    int video = 0, keys = 0;
    bool config = false;
    for (const auto& tag : got.tags) {
      if (tag.type != 9 || tag.data.size() < 2) continue;
      ++video;
      if (tag.data[0] == 0x17 && tag.data[1] == 0) config = true;
      if (tag.data[0] == 0x17 && tag.data[1] == 1) ++keys;
    }
    EXPECT_TRUE(config) << i;
    EXPECT_GE(keys, 3) << i;
    EXPECT_GE(video, 80) << i;
  }
}

// A test client that plays a channel and keeps every message it gets, read
// on a thread of its own so that it never stalls.
struct Watcher {
  TestPlayer player;
  std::mutex lock;
  std::vector<RtmpClientMessage> got;
  std::atomic<bool> stop{false};
  std::thread reader;
  bool Start(uint16_t port, const std::string& name) {
    if (!player.Connect(port) || player.CreateStream() != 1 || !player.Play(1, name)) return false;
    reader = std::thread([this] {
      while (!stop)
        if (auto m = player.Next(200)) {
          std::lock_guard<std::mutex> hold(lock);
          got.push_back(*m);
        }
    });
    return true;
  }
  ~Watcher() {
    stop = true;
    if (reader.joinable()) reader.join();
  }
  // The index of the first message from `from` on that `match` accepts; -1
  // when none came within 15 s.
  template <typename Match>
  int Find(size_t from, Match match) {
    int found = -1;
    TestWaitUntil([&] {
      std::lock_guard<std::mutex> hold(lock);
      for (size_t i = from; i < got.size() && found < 0; ++i)
        if (match(got[i])) found = static_cast<int>(i);
      return found >= 0;
    }, 15000);
    return found;
  }
  int Status(size_t from, const std::string& code) {
    return Find(from, [&](const RtmpClientMessage& m) { return StatusCode(m) == code; });
  }
  int Control(size_t from, uint8_t event) {
    return Find(from, [&](const RtmpClientMessage& m) {
      return m.type == 4 && m.body.size() == 6 && m.body[1] == event && m.body[5] == 1;
    });
  }
  int Media(size_t from) {
    return Find(from, [](const RtmpClientMessage& m) { return m.type == 8 || m.type == 9; });
  }
};

TEST(LiveChannel, Rtmp2srcJoiningARunningClassGetsADecodableStreamAndPlayersHearOfEveryStopAndStart) {
  if (system("gst-inspect-1.0 rtmp2sink > /dev/null 2>&1") != 0) GTEST_SKIP() << "no rtmp2sink";
  if (system("gst-discoverer-1.0 --help > /dev/null 2>&1") != 0) GTEST_SKIP() << "no gst-discoverer-1.0";
  StrmdSite site;
  ASSERT_TRUE(site.Start("live-late"));
  ASSERT_TRUE(site.HoldLocalWeb());
  const uint16_t port = static_cast<uint16_t>(site.server.port);
  const std::string base = "rtmp://127.0.0.1:" + std::to_string(port) + "/default/";
  const std::string log = site.dir + "/gst.log", late = site.dir + "/late.flv";
  Watcher watcher;
  ASSERT_TRUE(watcher.Start(port, "channel=5&userid=2"));
  ASSERT_GE(watcher.Status(0, "NetStream.Play.Start"), 0);
  // Ben publishes 8 s of H.264 with a key frame every second, and sends
  // metadata and the sequence header once, at the start.
  pid_t publisher = LaunchGst({"videotestsrc", "num-buffers=200", "is-live=true", "!",
                               "video/x-raw,format=I420,width=160,height=120,framerate=25/1", "!", "x264enc", "key-int-max=25",
                               "bitrate=300", "tune=zerolatency", "!", "h264parse", "!", "flvmux", "streamable=true",
                               "!", "rtmp2sink", "location=" + base + "phpsessid=demo-ben-0002&channel=5"},
                              log);
  const int first = watcher.Media(0);
  ASSERT_GE(first, 0) << "see " << log;
  // Three seconds of the class have gone by when the late player comes.
  uint32_t started;
  {
    std::lock_guard<std::mutex> hold(watcher.lock);
    started = watcher.got[first].timestamp;
  }
  ASSERT_GE(watcher.Find(first, [&](const RtmpClientMessage& m) {
              return (m.type == 8 || m.type == 9) && m.timestamp >= started + 3000;
            }), 0) << "see " << log;
  pid_t player = LaunchGst({"rtmp2src", "location=" + base + "channel=5&userid=2", "!", "filesink",
                            "location=" + late},
                           log);
  int status = 0;
  if (!WaitChild(publisher, 30000, &status)) {
    Stop(publisher);
    Stop(player);
    FAIL() << "rtmp2sink did not finish (see " << log << ")";
  }
  // Told of the stop: UnpublishNotify, then StreamEOF.
  const int unpublished = watcher.Status(0, "NetStream.Play.UnpublishNotify");
  ASSERT_GE(unpublished, 0);
  const int eof = watcher.Control(unpublished, 1);
  EXPECT_GT(eof, unpublished);
  // Whether rtmp2src ends by itself then (GStreamer 1.22 does, on StreamEOF).
  const bool ended = WaitChild(player, 5000, &status);
  if (!ended) Stop(player);
  RecordProperty("rtmp2src_ends_by_itself", ended ? "yes" : "no");
  const std::string discovered = site.dir + "/discovered.txt";
  system(("gst-discoverer-1.0 -v '" + late + "' > '" + discovered + "' 2>&1").c_str());
  std::ifstream in(discovered);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("video/x-h264"), std::string::npos) << text;
  // Caps read from the sequence header (a decoder need not be installed).
  EXPECT_NE(text.find("level=(string)"), std::string::npos) << text;

  // The watcher stays on the channel: a new publisher sends StreamBegin and
  // PublishNotify before its media, and FCUnpublish stops it.
  TestPlayer ben;
  ASSERT_TRUE(ben.Connect(port));
  ASSERT_EQ(ben.CreateStream(), 1);
  const std::string name = "phpsessid=demo-ben-0002&channel=5";
  ASSERT_TRUE(ben.Publish(1, name));
  ASSERT_FALSE(ben.Until("NetStream.Publish.Start").empty());
  ASSERT_TRUE(ben.client.SendVideo(1, 40, std::vector<uint8_t>{0x17, 1, 0, 0, 0, 9, 9}));
  const int begin = watcher.Control(eof, 0);
  const int published = watcher.Status(eof, "NetStream.Play.PublishNotify");
  const int media = watcher.Media(eof);
  EXPECT_GT(begin, eof);
  EXPECT_GT(published, begin);
  EXPECT_GT(media, published);
  ASSERT_TRUE(ben.Command({amf::Str("FCUnpublish"), amf::Num(5), amf::Null(), amf::Str(name)}));
  EXPECT_GT(watcher.Status(media, "NetStream.Play.UnpublishNotify"), media);
  EXPECT_FALSE(ben.Until("NetStream.Unpublish.Success").empty());
}

}  // namespace
