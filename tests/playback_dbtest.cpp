// Playback over RTMP against the real binary and a fresh database: metadata,
// the opening tags, pacing against the clock, gap markers, the end of the
// file, seek, pause and resume, refusals, renditions and viewing accounting.
#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "support/FlvBuilder.h"
#include "support/StrmdSite.h"
#include "support/TestEnv.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t Ms(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}

// Pacing tolerance: a packet may leave this much before its time (timer and
// scheduling granularity), and this much after it on a loaded machine.
constexpr int64_t kEarlyMs = 25;
constexpr int64_t kLateMs = 400;
// Recorded media may leave this much before its time (PlayAheadMs's
// default, for a client that sends no SetBufferLength).
constexpr int64_t kLeadMs = 1000;

bool IsMedia(const RtmpClientMessage& m) { return m.type == 8 || m.type == 9; }
bool IsMarker(const RtmpClientMessage& m) { return m.type == 8 && m.body.empty(); }

class Playback : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(site_.Start("playback")); }

  // A connected player with stream 1.
  void Open(TestPlayer* player) {
    ASSERT_TRUE(player->Connect(static_cast<uint16_t>(site_.server.port)));
    ASSERT_EQ(player->CreateStream(), 1);
  }
  // User control SetBufferLength for stream 1: 0 asks for no lead.
  static void SetBufferLength(TestPlayer* player, uint32_t ms) {
    const uint8_t body[10] = {0, 3, 0, 0, 0, 1, uint8_t(ms >> 24), uint8_t(ms >> 16), uint8_t(ms >> 8), uint8_t(ms)};
    ASSERT_TRUE(player->client.SendMessage(2, 4, 0, 0, body));
  }

  // The server handles a connection's commands in order: once a createStream
  // sent now is answered, what was sent before it has been done. The
  // messages before the answer are read past.
  static void Fence(TestPlayer* player) {
    ASSERT_TRUE(player->Command({amf::Str("createStream"), amf::Num(99), amf::Null()}));
    while (auto m = player->Next()) {
      auto v = Values(*m);
      if (m->type == 20 && v.size() == 4 && v[0].text == "_result" && v[1].number == 99) return;
    }
    FAIL() << "no answer to the fence's createStream";
  }

  StrmdSite site_;
};

TEST_F(Playback, PlaySendsMetadataStartOpeningTagsThenPacesMediaAndCompletesOnce) {
  ASSERT_TRUE(FlvBuilder().Clip(2000, 7).WriteTo(site_.Files() + "/demo.flv"));
  TestPlayer player;
  Open(&player);
  auto start = Clock::now();
  ASSERT_TRUE(player.Play(1, "fileid=200", 0));

  // onMetaData, StreamIsRecorded, StreamBegin, Play.Start, in that order.
  auto meta = player.Next();
  ASSERT_TRUE(meta);
  auto v = Values(*meta);
  ASSERT_EQ(v.size(), 4u);
  EXPECT_EQ(v[0].text, "onMetaData");
  EXPECT_EQ(meta->channel, 12u);
  EXPECT_EQ(meta->streamId, 1u);
  const amf::Node& o = v[3];
  EXPECT_EQ(o.Get("name").text, "Demo clip");
  EXPECT_EQ(o.Get("image").text, "");
  EXPECT_EQ(o.Get("id").number, 200);
  EXPECT_EQ(o.Get("authorid").number, 1);
  EXPECT_EQ(o.Get("parentid").number, 100);
  EXPECT_EQ(o.Get("masterid").number, 200);
  EXPECT_EQ(o.Get("hasaudio").number, 1);
  EXPECT_EQ(o.Get("hasvideo").number, 1);
  EXPECT_EQ(o.Get("duration").number, 2000);
  EXPECT_GT(o.Get("size").number, 0);
  EXPECT_EQ(o.Get("segmentcount").number, 1);
  ASSERT_EQ(o.Get("segmentdata").items.size(), 1u);
  EXPECT_EQ(o.Get("segmentdata").Item(0).Get("startpos").number, 0);
  EXPECT_EQ(o.Get("segmentdata").Item(0).Get("endpos").number, 2000);
  std::vector<std::string> names;
  for (const auto& item : o.items) names.push_back(item.name);
  EXPECT_EQ(names, (std::vector<std::string>{"name", "image", "id", "authorid", "parentid", "masterid",
                                             "hasaudio", "hasvideo", "duration", "size", "segmentcount",
                                             "segmentdata"}));

  auto recorded = player.Next();
  ASSERT_TRUE(recorded);
  EXPECT_EQ(recorded->body, (std::vector<uint8_t>{0, 4, 0, 0, 0, 1}));
  auto begin = player.Next();
  ASSERT_TRUE(begin);
  EXPECT_EQ(begin->body, (std::vector<uint8_t>{0, 0, 0, 0, 0, 1}));
  auto started = player.Next();
  ASSERT_TRUE(started);
  EXPECT_EQ(StatusCode(*started), "NetStream.Play.Start");
  EXPECT_EQ(Values(*started)[3].Get("level").text, "status");

  // The opening: video and audio at 0, the first tag after them, a marker at
  // 0, all at once and each tag once.
  std::vector<RtmpClientMessage> opening;
  for (int i = 0; i < 4; ++i) {
    auto m = player.Next();
    ASSERT_TRUE(m);
    opening.push_back(*m);
  }
  EXPECT_LT(Ms(start, player.lastArrival), 300);
  EXPECT_EQ(opening[0].type, 9);
  EXPECT_EQ(opening[0].timestamp, 0u);
  EXPECT_EQ(opening[0].body[0], 0x17);
  EXPECT_EQ(opening[0].channel, 11u);
  EXPECT_EQ(opening[1].type, 8);
  EXPECT_EQ(opening[1].timestamp, 0u);
  EXPECT_EQ(opening[1].channel, 10u);
  EXPECT_EQ(opening[2].type, 9);
  EXPECT_EQ(opening[2].timestamp, 100u);
  EXPECT_TRUE(IsMarker(opening[3]));
  EXPECT_EQ(opening[3].timestamp, 0u);

  // Then media paced against the clock (at most the lead early), each tag
  // once, then Complete once, when the last of them is due. The server's
  // clock starts between the play leaving and the marker being read: "too
  // early" is judged from the first, "too late" from the second, so a test
  // that reads late under load cannot make a tag look early.
  auto clock0 = player.lastArrival;
  uint32_t lastVideo = 100, lastAudio = 0;
  int completes = 0;
  for (;;) {
    auto m = player.Next(4000);
    ASSERT_TRUE(m) << "no Complete";
    if (StatusCode(*m) == "NetStream.Play.Complete") {
      ++completes;
      EXPECT_GE(Ms(start, player.lastArrival), 2000 - kEarlyMs);
      break;
    }
    if (!IsMedia(*m)) continue;
    EXPECT_GE(Ms(start, player.lastArrival), int64_t{m->timestamp} - kLeadMs - kEarlyMs) << "ts " << m->timestamp;
    EXPECT_LE(Ms(clock0, player.lastArrival), int64_t{m->timestamp} + kLateMs) << "ts " << m->timestamp;
    if (m->type == 9) {
      EXPECT_EQ(m->timestamp, lastVideo + 100);
      lastVideo = m->timestamp;
    } else {
      EXPECT_EQ(m->timestamp, lastAudio + 100);
      lastAudio = m->timestamp;
    }
  }
  EXPECT_EQ(lastVideo, 2000u);
  EXPECT_EQ(lastAudio, 2000u);
  EXPECT_EQ(completes, 1);
  // Then StreamEOF and "NetStream.Play.Stop", on which command-line clients
  // end, and nothing after them.
  auto eof = player.Next(1000);
  ASSERT_TRUE(eof);
  EXPECT_EQ(eof->type, 4);
  EXPECT_EQ(eof->body, (std::vector<uint8_t>{0, 1, 0, 0, 0, 1}));
  auto stop = player.Next(1000);
  ASSERT_TRUE(stop);
  EXPECT_EQ(StatusCode(*stop), "NetStream.Play.Stop");
  EXPECT_EQ(stop->streamId, 1u);
  EXPECT_EQ(Values(*stop)[3].Get("level").text, "status");
  EXPECT_EQ(Values(*stop)[3].Get("description").text, "stop");
  EXPECT_FALSE(player.Next(700)) << "nothing after Stop";
  // The web application is asked for thumbnails of the object.
  EXPECT_EQ(site_.db->Value("select scanstatus from Object where id=200"), "4");
}

TEST_F(Playback, GapIsBridgedByEmptyAudioEvery200Ms) {
  ASSERT_TRUE(FlvBuilder(4).Audio(0).Audio(100).Audio(5100).Audio(5200).WriteTo(site_.Files() + "/demo.flv"));
  TestPlayer player;
  Open(&player);
  ASSERT_TRUE(player.Play(1, "fileid=200"));
  auto messages = player.Until("NetStream.Play.Complete", 10000);
  ASSERT_FALSE(messages.empty());
  std::vector<uint32_t> markers;
  Clock::time_point clock0{};
  for (const auto& m : messages) {
    if (IsMarker(m) && m.timestamp > 0) markers.push_back(m.timestamp);
  }
  std::vector<uint32_t> expected;
  for (uint32_t t = 200; t <= 5000; t += 200) expected.push_back(t);
  EXPECT_EQ(markers, expected);
  (void)clock0;
}

TEST_F(Playback, GapMarkersArriveOnTime) {
  ASSERT_TRUE(FlvBuilder(4).Audio(0).Audio(100).Audio(1500).WriteTo(site_.Files() + "/demo.flv"));
  TestPlayer player;
  Open(&player);
  const auto sent = Clock::now();
  ASSERT_TRUE(player.Play(1, "fileid=200"));
  ASSERT_FALSE(player.Until("NetStream.Play.Start").empty());
  Clock::time_point clock0;
  bool started = false;
  for (;;) {
    auto m = player.Next(3000);
    ASSERT_TRUE(m);
    if (StatusCode(*m) == "NetStream.Play.Complete") break;
    if (IsMarker(*m) && m->timestamp == 0) {
      clock0 = player.lastArrival;
      started = true;
      continue;
    }
    if (!started || !IsMedia(*m)) continue;
    // Early from the play leaving, late from the opening marker being read.
    EXPECT_GE(Ms(sent, player.lastArrival), int64_t{m->timestamp} - kLeadMs - kEarlyMs) << m->timestamp;
    EXPECT_LE(Ms(clock0, player.lastArrival), int64_t{m->timestamp} + kLateMs) << m->timestamp;
  }
}

TEST_F(Playback, GapMarkersNearTheTopOfTheTimestampRangeDoNotWrap) {
  // The stream starts 256 ms below 2^32 ms; the second tag is 255 ms later.
  // One marker bridges the gap; a marker time that wrapped past 2^32 would
  // start a flood of markers from 0 upwards, none of them ever due later.
  ASSERT_TRUE(FlvBuilder(4).Audio(0xFFFFFF00u).Audio(0xFFFFFFFFu).WriteTo(site_.Files() + "/demo.flv"));
  TestPlayer player;
  Open(&player);
  ASSERT_TRUE(player.Play(1, "fileid=200"));
  auto messages = player.Until("NetStream.Play.Complete", 3000);
  ASSERT_FALSE(messages.empty()) << "no Complete";
  std::vector<uint32_t> media;
  for (const auto& m : messages)
    if (IsMedia(m)) media.push_back(m.timestamp);
  EXPECT_EQ(media, (std::vector<uint32_t>{0xFFFFFF00u, 0xFFFFFF00u, 0xFFFFFFC8u, 0xFFFFFFFFu}));
}

TEST_F(Playback, NegativeStartPlaysFromTheBeginning) {
  ASSERT_TRUE(FlvBuilder().Clip(1000, 1).WriteTo(site_.Files() + "/demo.flv"));
  for (double start : {-1.0, -2.0, -1000.0, -2000.0}) {
    TestPlayer player;
    Open(&player);
    ASSERT_TRUE(player.Play(1, "fileid=200", start));
    auto messages = player.Until("NetStream.Play.Complete", 5000);
    ASSERT_FALSE(messages.empty()) << start;
    int media = 0;
    for (const auto& m : messages)
      if (IsMedia(m) && !IsMarker(m)) ++media;
    EXPECT_EQ(media, 22) << start;  // every tag of 0..1000 ms, once
  }
}

TEST_F(Playback, StartBeyondTheEndIsClampedToTheDuration) {
  ASSERT_TRUE(FlvBuilder().Clip(1000, 1).WriteTo(site_.Files() + "/demo.flv"));
  TestPlayer player;
  Open(&player);
  ASSERT_TRUE(player.Play(1, "fileid=200", 50000));
  auto start = Clock::now();
  auto messages = player.Until("NetStream.Play.Complete", 5000);
  ASSERT_FALSE(messages.empty());
  EXPECT_LT(Ms(start, player.lastArrival), 500);
  bool marker = false;
  for (const auto& m : messages)
    if (IsMarker(m) && m.timestamp == 1000) marker = true;
  EXPECT_TRUE(marker);
}

TEST_F(Playback, SeekSendsEofBeginNotifyAndMediaFromThePosition) {
  ASSERT_TRUE(FlvBuilder().Clip(4000, 1).WriteTo(site_.Files() + "/demo.flv"));
  TestPlayer player;
  Open(&player);
  ASSERT_TRUE(player.Play(1, "fileid=200"));
  ASSERT_FALSE(player.Until("NetStream.Play.Start").empty());
  const auto seekSent = Clock::now();
  ASSERT_TRUE(player.Command({amf::Str("seek"), amf::Num(0), amf::Null(), amf::Num(3000)}, 1));
  std::vector<RtmpClientMessage> controls;
  for (;;) {
    auto m = player.Next();
    ASSERT_TRUE(m);
    if (m->type == 4) controls.push_back(*m);
    if (StatusCode(*m) == "NetStream.Seek.Notify") break;
  }
  ASSERT_EQ(controls.size(), 2u);
  EXPECT_EQ(controls[0].body, (std::vector<uint8_t>{0, 1, 0, 0, 0, 1}));
  EXPECT_EQ(controls[1].body, (std::vector<uint8_t>{0, 0, 0, 0, 0, 1}));
  auto seekTime = player.lastArrival;
  auto rest = player.Until("NetStream.Play.Complete", 5000);
  ASSERT_FALSE(rest.empty());
  // 3000 lies between the key frames at 2000 and 4000: playback resumes at
  // the one before, audio from the same place, with a marker at 2000 first.
  std::vector<const RtmpClientMessage*> media;
  for (const auto& m : rest)
    if (IsMedia(m)) media.push_back(&m);
  ASSERT_GE(media.size(), 3u);
  EXPECT_TRUE(IsMarker(*media[0]));
  EXPECT_EQ(media[0]->timestamp, 2000u);
  EXPECT_EQ(media[1]->type, 9);
  EXPECT_EQ(media[1]->timestamp, 2000u);
  EXPECT_EQ(media[1]->body[0], 0x17);
  EXPECT_EQ(media[2]->type, 8);
  EXPECT_EQ(media[2]->timestamp, 2000u);
  for (const auto* m : media) EXPECT_GE(m->timestamp, 2000u);
  // About two seconds of stream time after the seek (early judged from the
  // seek leaving, late from its answer being read).
  EXPECT_GE(Ms(seekSent, player.lastArrival), 2000 - kEarlyMs);
  EXPECT_LE(Ms(seekTime, player.lastArrival), 2000 + kLateMs);
}

TEST_F(Playback, StartBetweenKeyFramesSendsTheConfigurationThenTheKeyFrameBefore) {
  // A sequence header (mark 0 makes 0x17 0x00) and AAC configuration (0xAF
  // 0x00) at 0, frames every 100 ms, key frames at 0 and 2000; a non-key frame of
  // the guessed codec rule's size does not count for AVC.
  FlvBuilder flv;
  flv.Video(0, 30, true, 0).Audio(0, 4, 0);
  for (uint32_t t = 0; t <= 3000; t += 100) flv.Video(t, t == 2500 ? 6000 : 20, t % 2000 == 0, 1).Audio(t, 10, 1);
  ASSERT_TRUE(flv.WriteTo(site_.Files() + "/demo.flv"));
  for (double start : {2600.0, 2000.0, 2050.0, 2999.0}) {
    TestPlayer player;
    Open(&player);
    ASSERT_TRUE(player.Play(1, "fileid=200", start));
    auto messages = player.Until("NetStream.Play.Complete", 5000);
    ASSERT_FALSE(messages.empty()) << start;
    std::vector<const RtmpClientMessage*> media;
    for (const auto& m : messages)
      if (IsMedia(m)) media.push_back(&m);
    ASSERT_GE(media.size(), 5u) << start;
    // The configuration of the opening, and no frame of it.
    EXPECT_EQ(media[0]->type, 9);
    EXPECT_EQ(media[0]->body[1], 0) << start;
    EXPECT_EQ(media[1]->type, 8);
    EXPECT_EQ(media[1]->body[1], 0) << start;
    EXPECT_TRUE(IsMarker(*media[2])) << start;
    EXPECT_EQ(media[2]->timestamp, 2000u) << start;
    EXPECT_EQ(media[3]->type, 9);
    EXPECT_EQ(media[3]->timestamp, 2000u) << start;
    EXPECT_EQ(media[3]->body[0], 0x17) << start;
    EXPECT_EQ(media[4]->type, 8);
    EXPECT_EQ(media[4]->timestamp, 2000u) << start;
    for (size_t i = 3; i < media.size(); ++i) EXPECT_GE(media[i]->timestamp, 2000u) << start;
  }
  // Before the first key frame after 0 the opening plays as it is.
  TestPlayer player;
  Open(&player);
  ASSERT_TRUE(player.Play(1, "fileid=200", 1500));
  auto messages = player.Until("NetStream.Play.Complete", 8000);
  ASSERT_FALSE(messages.empty());
  int media = 0;
  uint32_t last = 0;
  for (const auto& m : messages) {
    if (!IsMedia(m) || IsMarker(m)) continue;
    ++media;
    EXPECT_GE(m.timestamp, last) << "time runs back";
    last = m.timestamp;
  }
  EXPECT_EQ(media, 64);  // every tag once, from 0
}

TEST_F(Playback, SeekWhilePausedSendsTheKeyFrameAtOnceAndStaysPaused) {
  ASSERT_TRUE(FlvBuilder().Clip(4000, 1).WriteTo(site_.Files() + "/demo.flv"));
  TestPlayer player;
  Open(&player);
  ASSERT_TRUE(player.Play(1, "fileid=200"));
  ASSERT_FALSE(player.Until("NetStream.Play.Start").empty());
  ASSERT_TRUE(player.Command({amf::Str("pause"), amf::Num(0), amf::Null(), amf::Bool(true)}, 1));
  ASSERT_NO_FATAL_FAILURE(Fence(&player));
  while (player.Next(200)) {
  }
  ASSERT_TRUE(player.Command({amf::Str("seek"), amf::Num(0), amf::Null(), amf::Num(2000)}, 1));
  auto messages = player.Until("NetStream.Seek.Notify", 2000);
  ASSERT_FALSE(messages.empty());
  std::vector<RtmpClientMessage> media;
  for (const auto& m : messages)
    if (IsMedia(m)) media.push_back(m);
  ASSERT_EQ(media.size(), 2u);
  EXPECT_TRUE(IsMarker(media[0]));
  EXPECT_EQ(media[0].timestamp, 2000u);
  EXPECT_EQ(media[1].type, 9);
  // The index search lands next to 2000 ms; the first key frame from there
  // is the one at 2000 or, landing just after it, the next one.
  EXPECT_TRUE(media[1].timestamp == 2000u || media[1].timestamp == 4000u) << media[1].timestamp;
  EXPECT_EQ(media[1].body[0], 0x17);
  EXPECT_FALSE(player.Next(1000)) << "stays paused";
}

TEST_F(Playback, PauseStopsMediaAndResumeRestartsTheClock) {
  ASSERT_TRUE(FlvBuilder().Clip(3000, 1).WriteTo(site_.Files() + "/demo.flv"));
  TestPlayer player;
  Open(&player);
  // No lead: the resume is paced to the message.
  SetBufferLength(&player, 0);
  ASSERT_TRUE(player.Play(1, "fileid=200"));
  uint32_t last = 0;
  while (last < 1000) {
    auto m = player.Next();
    ASSERT_TRUE(m);
    if (IsMedia(*m)) last = m->timestamp;
  }
  ASSERT_TRUE(player.Command({amf::Str("pause"), amf::Num(0), amf::Null(), amf::Bool(true)}, 1));
  while (auto m = player.Next(300)) {
    if (IsMedia(*m)) last = m->timestamp;
  }
  EXPECT_FALSE(player.Next(1200)) << "paused";
  auto resumed = Clock::now();
  ASSERT_TRUE(player.Command({amf::Str("pause"), amf::Num(0), amf::Null(), amf::Bool(false)}, 1));
  for (;;) {
    auto m = player.Next(3000);
    ASSERT_TRUE(m);
    if (StatusCode(*m) == "NetStream.Play.Complete") break;
    if (!IsMedia(*m) || m->timestamp <= last) continue;
    int64_t at = Ms(resumed, player.lastArrival);
    int64_t due = int64_t{m->timestamp} - last;
    EXPECT_GE(at, due - 100 - kEarlyMs) << m->timestamp;
    EXPECT_LE(at, due + kLateMs) << m->timestamp;
  }
}

TEST_F(Playback, StartTransmitAfterStopTransmitCatchesUpWithoutRestartingTheClock) {
  ASSERT_TRUE(FlvBuilder().Clip(3000, 1).WriteTo(site_.Files() + "/demo.flv"));
  TestPlayer player;
  Open(&player);
  ASSERT_TRUE(player.Play(1, "fileid=200"));
  ASSERT_FALSE(player.Until("NetStream.Play.Start").empty());
  auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_TRUE(player.Command({amf::Str("stopTransmit"), amf::Num(0), amf::Null()}, 1));
  uint32_t last = 0;
  while (auto m = player.Next(300)) {
    if (IsMedia(*m)) last = m->timestamp;
  }
  EXPECT_LT(last, 1000u + kLeadMs);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500) - (Clock::now() - start));
  ASSERT_TRUE(player.Command({amf::Str("startTransmit"), amf::Num(0), amf::Null()}, 1));
  // 1.5 s of stream time are due at once: everything up to about 1500 ms
  // and the lead after it arrives within a moment.
  auto resumed = Clock::now();
  uint32_t caughtUp = 0;
  while (auto m = player.Next(100)) {
    if (IsMedia(*m)) caughtUp = m->timestamp;
    if (Ms(resumed, Clock::now()) > 150) break;
  }
  EXPECT_GE(caughtUp, 1400u + kLeadMs);
  EXPECT_LE(caughtUp, 1700u + kLeadMs);
}

TEST_F(Playback, MissingFileUnknownObjectAndEmptyIndexAnswerStreamNotFound) {
  // Object 203 ("Upper.FLV") holds only script data: nothing to play.
  ASSERT_TRUE(FlvBuilder(0).Script(0, 40).WriteTo(site_.Files() + "/Upper.FLV"));
  for (const char* name : {"fileid=200", "fileid=999", "fileid=203", "fileid=202"}) {
    TestPlayer player;
    Open(&player);
    ASSERT_TRUE(player.Play(1, name));
    auto m = player.Next();
    ASSERT_TRUE(m) << name;
    EXPECT_EQ(StatusCode(*m), "NetStream.Play.StreamNotFound") << name;
    // A failure: players that tell errors by the level stop waiting.
    auto v = Values(*m);
    ASSERT_EQ(v.size(), 4u) << name;
    EXPECT_EQ(v[3].Get("level").text, "error") << name;
    EXPECT_EQ(v[3].Get("description").text, "not found") << name;
    EXPECT_FALSE(player.Next(300)) << name;
  }
}

// Every file below `dir`, with its size, one per line, sorted.
std::string ListFiles(const std::string& dir) {
  std::vector<std::string> lines;
  std::vector<std::string> pending = {dir};
  while (!pending.empty()) {
    const std::string folder = pending.back();
    pending.pop_back();
    DIR* d = opendir(folder.c_str());
    if (d == nullptr) continue;
    while (dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      const std::string path = folder + "/" + name;
      struct stat st;
      if (lstat(path.c_str(), &st) != 0) continue;
      if (S_ISDIR(st.st_mode)) pending.push_back(path);
      lines.push_back(path.substr(dir.size()) + " " + std::to_string(st.st_size));
    }
    closedir(d);
  }
  std::sort(lines.begin(), lines.end());
  std::string out;
  for (const std::string& line : lines) out += line + "\n";
  return out;
}

TEST_F(Playback, NamesFromTheDatabaseThatLeaveTheirFolderAnswerStreamNotFound) {
  // A playable file outside the site's folders, and the files that a name cut
  // at a NUL byte would reach.
  const std::string outside = site_.dir + "/outside";
  ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((site_.dir + "/imports").c_str(), 0755), 0);
  ASSERT_TRUE(FlvBuilder().Clip(300, 9).WriteTo(outside + "/private.flv"));
  ASSERT_TRUE(FlvBuilder().Clip(300, 9).WriteTo(site_.Files() + "/demo.flv"));
  ASSERT_TRUE(FlvBuilder().Clip(300, 9).WriteTo(site_.Cache() + "/201-2.flv"));
  ASSERT_TRUE(FlvBuilder().Clip(300, 9).WriteTo(site_.dir + "/imports/ok.flv"));
  ASSERT_TRUE(site_.db->Run("update FolderImport set location='" + site_.dir + "/imports' where id=1"));
  const std::string before = ListFiles(site_.dir);

  auto ExpectRefused = [&](const std::string& sql, const char* play) {
    SCOPED_TRACE(sql);
    ASSERT_TRUE(site_.db->Run(sql));
    TestPlayer player;
    Open(&player);
    ASSERT_TRUE(player.Play(1, play));
    auto m = player.Next();
    ASSERT_TRUE(m);
    EXPECT_EQ(StatusCode(*m), "NetStream.Play.StreamNotFound");
    EXPECT_FALSE(player.Next(300));
  };
  const std::string absolute = "'" + outside + "/private.flv'";
  // Renditions (object 201, template 2, ready) live in the cache folder.
  const char* rendition = "fileid=201&paramid=2";
  ExpectRefused("update TranscodeObject set filename='../outside/private.flv' where id=2", rendition);
  ExpectRefused("update TranscodeObject set filename='..\\\\outside\\\\private.flv' where id=2", rendition);
  ExpectRefused("update TranscodeObject set filename=" + absolute + " where id=2", rendition);
  ExpectRefused("update TranscodeObject set filename=concat('201-2.flv', char(0), 'x') where id=2", rendition);
  // An object's own file lives in the files folder.
  ExpectRefused("update Object set pathname='../outside/private.flv' where id=200", "fileid=200");
  ExpectRefused("update Object set pathname=" + absolute + " where id=200", "fileid=200");
  ExpectRefused("update Object set pathname=concat('demo.flv', char(0), '.flv') where id=200", "fileid=200");
  // An imported one in its import's folder, or the files folder for a web import.
  ExpectRefused("update Object set pathname='../outside/private.flv' where id=204", "fileid=204");
  ExpectRefused("update Object set pathname=" + absolute + " where id=204", "fileid=204");
  ExpectRefused("update Object set pathname='../outside/private.flv' where id=205", "fileid=205");
  ExpectRefused("update Object set pathname='ok.flv' where id=204; "
                "update FolderImport set location=concat('" + site_.dir + "/imports', char(0), 'x') where id=1",
                "fileid=204");
  // Nothing was created or changed anywhere, the cache's indexes included.
  EXPECT_EQ(ListFiles(site_.dir), before);

  // Below its import's folder, an imported object plays; its index goes to the cache.
  ASSERT_TRUE(site_.db->Run("update FolderImport set location='" + site_.dir + "/imports' where id=1"));
  TestPlayer player;
  Open(&player);
  ASSERT_TRUE(player.Play(1, "fileid=204"));
  EXPECT_FALSE(player.Until("NetStream.Play.Start").empty());
  EXPECT_EQ(ListFiles(site_.dir + "/imports"), "/ok.flv " + std::to_string(FlvBuilder().Clip(300, 9).Bytes().size()) + "\n");
  struct stat st;
  EXPECT_EQ(stat((site_.Cache() + "/204.flv.index2").c_str(), &st), 0);
}

TEST_F(Playback, IndexEntryBeyondTheFileRefusesThePlayAndSendsNoMedia) {
  // A stale index (the object's file replaced by a shorter one): the entry
  // for 1 s points past the end of the FLV.
  FlvBuilder flv(4);
  for (uint32_t t = 0; t <= 2000; t += 100) flv.Audio(t);
  ASSERT_TRUE(flv.WriteTo(site_.Files() + "/demo.flv"));
  std::vector<uint8_t> index = {0, 0, 0, 21};
  for (uint32_t i = 0; i < 21; ++i) {
    const uint64_t offset = i == 10 ? uint64_t{1} << 40 : flv.Offsets()[i];
    const uint32_t ts = i * 100;
    const uint8_t entry[16] = {8, 0, 10, 0, uint8_t(ts), uint8_t(ts >> 8), 0, 0,
                               uint8_t(offset), uint8_t(offset >> 8), uint8_t(offset >> 16), uint8_t(offset >> 24),
                               uint8_t(offset >> 32), uint8_t(offset >> 40), 0, 0};
    index.insert(index.end(), entry, entry + 16);
  }
  ASSERT_TRUE(WriteWholeFile(site_.Cache() + "/200.flv.index2", index));
  TestPlayer player;
  Open(&player);
  ASSERT_TRUE(player.Play(1, "fileid=200", 1000));
  auto messages = player.Until("NetStream.Play.StreamNotFound", 3000);
  ASSERT_FALSE(messages.empty());
  for (const auto& m : messages) EXPECT_FALSE(IsMedia(m)) << "ts " << m.timestamp;
  while (auto m = player.Next(1000)) {
    EXPECT_FALSE(IsMedia(*m)) << "media after StreamNotFound, ts " << m->timestamp;
    if (IsMedia(*m)) break;
  }
}

TEST_F(Playback, RenditionOfATemplatePlays) {
  ASSERT_TRUE(FlvBuilder().Clip(300, 9).WriteTo(site_.Cache() + "/201-2.flv"));
  TestPlayer player;
  Open(&player);
  ASSERT_TRUE(player.Play(1, "fileid=201&paramid=2"));
  auto meta = player.Next();
  ASSERT_TRUE(meta);
  auto v = Values(*meta);
  ASSERT_EQ(v.size(), 4u);
  EXPECT_EQ(v[3].Get("name").text, "Lecture video");
  EXPECT_EQ(v[3].Get("duration").number, 300);
  auto rest = player.Until("NetStream.Play.Complete");
  ASSERT_FALSE(rest.empty());
  bool sawMark = false;
  for (const auto& m : rest)
    if (IsMedia(m) && m.body.size() > 1 && m.body[1] == 9) sawMark = true;
  EXPECT_TRUE(sawMark);
  // Template 3 is not ready (status 5): nothing to play.
  TestPlayer other;
  Open(&other);
  ASSERT_TRUE(other.Play(1, "fileid=201&paramid=3"));
  auto m = other.Next();
  ASSERT_TRUE(m);
  EXPECT_EQ(StatusCode(*m), "NetStream.Play.StreamNotFound");
}

TEST_F(Playback, MetadataWithLongTitleAndMostSegmentsIsSentWhole) {
  // 150 stretches 3 s apart: 101 segments listed. With a 255-character title
  // and the picture address the body is larger than the small builders hold.
  FlvBuilder flv(4);
  for (uint32_t i = 0; i < 150; ++i) flv.Audio(i * 3000).Audio(i * 3000 + 40);
  ASSERT_TRUE(flv.WriteTo(site_.Files() + "/demo.flv"));
  ASSERT_TRUE(WriteWholeFile(site_.Files() + "/object-200.png", std::vector<uint8_t>{1, 2, 3}));
  std::string title(255, 'T');
  ASSERT_TRUE(site_.db->Run("update Object set name='" + title + "' where id=200"));
  TestPlayer player;
  Open(&player);
  ASSERT_TRUE(player.Play(1, "fileid=200"));
  auto meta = player.Next();
  ASSERT_TRUE(meta);
  EXPECT_GT(meta->body.size(), 4078u);
  auto v = Values(*meta);
  ASSERT_EQ(v.size(), 4u);
  EXPECT_EQ(v[3].Get("name").text, title);
  EXPECT_EQ(v[3].Get("image").text, "/contents/object-200.png");
  EXPECT_EQ(v[3].Get("segmentcount").number, 101);
  const amf::Node& segments = v[3].Get("segmentdata");
  ASSERT_EQ(segments.items.size(), 101u);
  EXPECT_EQ(segments.Item(100).Get("startpos").number, 300000);
  auto next = player.Next();
  ASSERT_TRUE(next);
  EXPECT_EQ(next->type, 4);
}

size_t OpenHandlesOf(pid_t pid, const std::string& path) {
  std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  size_t count = 0;
  DIR* d = opendir(dir.c_str());
  if (!d) return 0;
  while (dirent* e = readdir(d)) {
    char target[4096];
    ssize_t n = readlink((dir + "/" + e->d_name).c_str(), target, sizeof target - 1);
    if (n <= 0) continue;
    target[n] = '\0';
    if (path == target) ++count;
  }
  closedir(d);
  return count;
}

TEST_F(Playback, SecondPlayOnAStreamClosesTheFirstFile) {
  ASSERT_TRUE(FlvBuilder().Clip(3000, 1).WriteTo(site_.Files() + "/demo.flv"));
  TestPlayer player;
  Open(&player);
  ASSERT_TRUE(player.Play(1, "fileid=200"));
  ASSERT_FALSE(player.Until("NetStream.Play.Start").empty());
  ASSERT_TRUE(player.Play(1, "fileid=200"));
  ASSERT_FALSE(player.Until("NetStream.Play.Start").empty());
  char real[4096];
  ASSERT_TRUE(realpath((site_.Files() + "/demo.flv").c_str(), real));
  EXPECT_EQ(OpenHandlesOf(site_.server.pid, real), 1u);
  ASSERT_TRUE(player.Command({amf::Str("closeStream"), amf::Num(0), amf::Null()}, 1));
  ASSERT_NO_FATAL_FAILURE(Fence(&player));
  EXPECT_EQ(OpenHandlesOf(site_.server.pid, real), 0u);
}

// ---- Viewing accounting ----

std::string Row(StrmdSite& site, const std::string& column, int id) {
  return site.db->Value("select " + column + " from FileSession where id=" + std::to_string(id));
}

// The accounting over the wire: play opens a row, pause and the end of the
// file each add the seconds since the timing started to that one row. The
// calendar rules (a short viewing, a reused row) are in session_dbtest.
TEST_F(Playback, PausedViewingIsAccountedInTwoUpdates) {
  ASSERT_TRUE(site_.HoldLocalWeb());
  ASSERT_TRUE(FlvBuilder().Clip(4000, 1).WriteTo(site_.Files() + "/demo.flv"));
  TestPlayer player;
  Open(&player);
  // No lead: media arrives when it falls due, so its timestamps tell the
  // time played.
  SetBufferLength(&player, 0);
  ASSERT_TRUE(player.Play(1, "fileid=200&phpsessid=demo-ben-0002"));
  ASSERT_FALSE(player.Until("NetStream.Play.Start").empty());
  // The demo's finished row (status 2) is not reused: a new one is open.
  EXPECT_EQ(site_.db->Value("select count(*) from FileSession"), "2");
  EXPECT_EQ(Row(site_, "status", 2), "1");
  EXPECT_EQ(Row(site_, "userid", 2), "2");
  EXPECT_EQ(Row(site_, "sessionid", 2), "2");
  for (uint32_t played = 0; played < 2000;) {
    auto m = player.Next();
    ASSERT_TRUE(m);
    if (IsMedia(*m)) played = m->timestamp;
  }
  ASSERT_TRUE(player.Command({amf::Str("pause"), amf::Num(0), amf::Null(), amf::Bool(true)}, 1));
  // The update runs on the job pool, not before the pause is answered: the
  // row is read once it closed.
  ASSERT_TRUE(TestWaitUntil([&] { return Row(site_, "status", 2) == "2"; }));
  int first = std::stoi(Row(site_, "duration", 2));
  EXPECT_GE(first, 1);
  EXPECT_LE(first, 3);
  ASSERT_TRUE(player.Command({amf::Str("pause"), amf::Num(0), amf::Null(), amf::Bool(false)}, 1));
  ASSERT_FALSE(player.Until("NetStream.Play.Complete", 6000).empty());
  int total = first;
  ASSERT_TRUE(TestWaitUntil([&] { return (total = std::stoi(Row(site_, "duration", 2))) > first; }));
  EXPECT_GE(total, 3);
  EXPECT_LE(total, 6);
  EXPECT_EQ(site_.db->Value("select count(*) from FileSession"), "2");
}

TEST_F(Playback, PlayerWithoutSessionWritesNothing) {
  ASSERT_TRUE(FlvBuilder().Clip(1200, 1).WriteTo(site_.Files() + "/demo.flv"));
  TestPlayer player;
  Open(&player);
  ASSERT_TRUE(player.Play(1, "fileid=200"));
  ASSERT_FALSE(player.Until("NetStream.Play.Complete").empty());
  EXPECT_EQ(site_.db->Value("select count(*) from FileSession"), "1");
  EXPECT_EQ(Row(site_, "duration", 1), "42");
}

TEST_F(Playback, SessionRecordingPlaysFromTheTempFolderWithoutARow) {
  ASSERT_TRUE(site_.HoldLocalWeb());
  ASSERT_TRUE(FlvBuilder().Clip(300, 4).WriteTo(site_.Temp() + "/phpsessid=demo-ben-0002&questionid=7.flv"));
  TestPlayer player;
  Open(&player);
  ASSERT_TRUE(player.Play(1, "questionid=7&phpsessid=demo-ben-0002"));
  auto meta = player.Next();
  ASSERT_TRUE(meta);
  EXPECT_EQ(Values(*meta)[3].Get("name").text, "untitled");
  ASSERT_FALSE(player.Until("NetStream.Play.Complete").empty());
  EXPECT_EQ(site_.db->Value("select count(*) from FileSession"), "1");
  // Another session's recording is not found under this session's name.
  TestPlayer other;
  Open(&other);
  ASSERT_TRUE(other.Play(1, "questionid=7&phpsessid=demo-ada-0001"));
  auto m = other.Next();
  ASSERT_TRUE(m);
  EXPECT_EQ(StatusCode(*m), "NetStream.Play.StreamNotFound");
}

}  // namespace
