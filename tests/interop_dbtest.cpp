// A real RTMP client: GStreamer's rtmp2src plays a demo object (H.264 and
// Speex made by the project's demo script) from the real binary.
#include <gtest/gtest.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "support/FlvBuilder.h"
#include "support/HevcClip.h"
#include "support/StrmdSite.h"
#include "support/TestEnv.h"

namespace {

TEST(Interop, Rtmp2srcPlaysADemoObject) {
  if (system("gst-inspect-1.0 rtmp2src > /dev/null 2>&1") != 0) GTEST_SKIP() << "no rtmp2src";
  StrmdSite site;
  site.env = {"STRMD_IO_STATS=1"};
  ASSERT_TRUE(site.Start("interop"));
  ASSERT_TRUE(site.HoldLocalWeb());
  std::string make = "sh '" + TestSourceDir() + "/scripts/make-demo-media.sh' '" + site.Files() +
                     "/demo.flv' 3 > /dev/null 2>&1";
  ASSERT_EQ(system(make.c_str()), 0);

  std::string out = site.dir + "/received.flv";
  std::string location = "location=rtmp://127.0.0.1:" + std::to_string(site.server.port) +
                         "/default/fileid=200&phpsessid=demo-ben-0002";
  std::string sink = "location=" + out;
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, 1);
    dup2(devnull, 2);
    execlp("gst-launch-1.0", "gst-launch-1.0", "-e", "rtmp2src", location.c_str(), "!", "filesink",
           sink.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  // rtmp2src ends by itself at the end of the file (StreamEOF and
  // "NetStream.Play.Stop" follow "NetStream.Play.Complete"): the 3 s clip,
  // plus 2 s, plus a moment to start up.
  int status = 0;
  if (!WaitChild(pid, 3000 + 2000 + 1000, &status)) {
    kill(pid, SIGINT);
    if (!WaitChild(pid, 10000, &status)) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
    }
    FAIL() << "gst-launch did not end by itself at the end of the file";
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

  FlvTestFile flv;
  ASSERT_TRUE(ReadFlvForTest(out, &flv));
  size_t video = 0, audio = 0, keyFrames = 0;
  uint32_t lastVideo = 0;
  for (const auto& tag : flv.tags) {
    if (tag.type == 9) {
      ++video;
      lastVideo = tag.timestamp;
      if (!tag.data.empty() && tag.data[0] == 0x17) ++keyFrames;
    }
    if (tag.type == 8 && !tag.data.empty()) ++audio;
  }
  // 3 s at 25 frames per second, wideband Speex in 20 ms frames.
  EXPECT_GE(video, 70u);
  EXPECT_GE(audio, 140u);
  EXPECT_GE(keyFrames, 2u);
  EXPECT_GE(lastVideo, 2800u);
  // The whole viewing was accounted to Ben's web session.
  EXPECT_EQ(site.db->Value("select count(*) from FileSession where id > 1 and sessionid=2 and fileid=200 and status=2"), "1");

  // What the client wrote holds the file's media tags unchanged: same types,
  // timestamps and bodies, in order. Empty tags (gap markers) are ours, and
  // rtmp2src leaves out the 5-byte H.264 end-of-sequence message.
  FlvTestFile source;
  ASSERT_TRUE(ReadFlvForTest(site.Files() + "/demo.flv", &source));
  auto media = [](const FlvTestFile& f) {
    std::vector<const FlvTestTag*> tags;
    for (const auto& tag : f.tags) {
      bool endOfSequence = tag.type == 9 && tag.data.size() == 5 && tag.data[0] == 0x17 && tag.data[1] == 2;
      if ((tag.type == 8 || tag.type == 9) && !tag.data.empty() && !endOfSequence) tags.push_back(&tag);
    }
    return tags;
  };
  std::vector<const FlvTestTag*> sent = media(source), got = media(flv);
  ASSERT_FALSE(got.empty());
  ASSERT_EQ(got.size(), sent.size()) << "last sent " << int(sent.back()->type) << "@" << sent.back()->timestamp
                                     << ", last received " << int(got.back()->type) << "@" << got.back()->timestamp;
  for (size_t i = 0; i < sent.size(); ++i) {
    ASSERT_EQ(got[i]->type, sent[i]->type) << "tag " << i;
    ASSERT_EQ(got[i]->timestamp, sent[i]->timestamp) << "tag " << i;
    ASSERT_TRUE(got[i]->data == sent[i]->data) << "tag " << i;
  }

  // What it cost: one sendmsg() for each batch of messages that fell due
  // together (a few more only when the socket was full), never one per chunk.
  ASSERT_TRUE(site.server.WaitForOutput("io stats", 5000)) << site.server.Output();
  std::string output = site.server.Output();
  unsigned long long messages = 0, sendCalls = 0, batches = 0;
  ASSERT_EQ(sscanf(output.c_str() + output.find("io stats"), "io stats %*s messages %llu sendmsg %llu batches %llu",
                   &messages, &sendCalls, &batches),
            3);
  EXPECT_GE(messages, sent.size());
  EXPECT_LE(sendCalls, batches + 10) << "messages " << messages;
  EXPECT_LT(sendCalls, messages);

  // A clean stop after a play to the end: the sanitizer build checks here
  // that nothing leaked.
  site.server.Signal(SIGINT);
  ASSERT_TRUE(site.server.Wait(10000));
  EXPECT_EQ(site.server.exitStatus, 0) << site.server.Output();
}

// ---- Where a seek or a late start resumes ----

bool IsVideo(const RtmpClientMessage& m) { return m.type == 9 && !m.body.empty(); }
bool IsAvcConfig(const RtmpClientMessage& m) { return IsVideo(m) && m.body.size() > 1 && m.body[0] == 0x17 && m.body[1] == 0; }

struct Decoding {
  bool ran = false;
  size_t frames = 0;
  int complaints = 0;  // the decoder's warnings and errors
  std::string first;  // the first of them
};

// Decodes the H.264 video of an FLV with GStreamer's openh264dec.
Decoding DecodeH264(const std::string& dir, const std::string& flv) {
  Decoding d;
  const std::string yuv = dir + "/decoded.yuv", log = dir + "/decode.log";
  std::string command = "GST_DEBUG=openh264dec:2 GST_DEBUG_NO_COLOR=1 timeout 60 gst-launch-1.0 -q filesrc location='" +
                        flv + "' ! flvdemux ! h264parse ! openh264dec ! video/x-raw,format=I420 ! filesink location='" +
                        yuv + "' > '" + log + "' 2>&1";
  d.ran = system(command.c_str()) == 0;
  d.frames = ReadWholeFile(yuv).size() / (320 * 240 * 3 / 2);
  std::ifstream in(log);
  for (std::string line; std::getline(in, line);)
    if (line.find("openh264dec") != std::string::npos && (line.find("WARN") != std::string::npos || line.find("ERROR") != std::string::npos))
      if (d.complaints++ == 0) d.first = line;
  return d;
}

// The video messages as an FLV that GStreamer decodes: every frame must come
// out, with no complaint from the decoder.
void ExpectDecodesCleanly(const std::string& dir, const std::vector<const RtmpClientMessage*>& video,
                          const char* what) {
  FlvBuilder flv(1);
  size_t frames = 0;
  for (const RtmpClientMessage* m : video) {
    flv.Raw(9, m->timestamp, m->body);
    if (!(m->body[0] == 0x17 && m->body.size() > 1 && m->body[1] != 1)) ++frames;  // not configuration or end
  }
  const std::string path = dir + "/resumed.flv";
  ASSERT_TRUE(flv.WriteTo(path));
  Decoding d = DecodeH264(dir, path);
  EXPECT_TRUE(d.ran) << what;
  EXPECT_EQ(d.frames, frames) << what;
  EXPECT_EQ(d.complaints, 0) << what << ": " << d.first;
}

TEST(Interop, SeekAndLateStartResumeAtTheKeyFrameBeforeAndDecodeCleanly) {
  if (system("gst-inspect-1.0 openh264dec > /dev/null 2>&1") != 0) GTEST_SKIP() << "no openh264dec";
  StrmdSite site;
  ASSERT_TRUE(site.Start("interopseek"));
  std::string make = "sh '" + TestSourceDir() + "/scripts/make-demo-media.sh' '" + site.Files() +
                     "/demo.flv' 5 > /dev/null 2>&1";
  ASSERT_EQ(system(make.c_str()), 0);
  // The clip's key frames (H.264 key frames that are not configuration).
  FlvTestFile source;
  ASSERT_TRUE(ReadFlvForTest(site.Files() + "/demo.flv", &source));
  const uint32_t target = 3000;
  uint32_t keyBefore = 0, keyAfter = 0;
  for (const FlvTestTag& tag : source.tags) {
    if (tag.type != 9 || tag.data.size() < 2 || tag.data[0] != 0x17 || tag.data[1] != 1) continue;
    if (tag.timestamp <= target) keyBefore = tag.timestamp;
    else if (keyAfter == 0) keyAfter = tag.timestamp;
  }
  // The target lies between two key frames and is not one itself.
  ASSERT_GT(keyBefore, 0u);
  ASSERT_LT(keyBefore, target);
  ASSERT_GT(keyAfter, target);

  {
    TestPlayer player;
    ASSERT_TRUE(player.Connect(static_cast<uint16_t>(site.server.port)));
    ASSERT_EQ(player.CreateStream(), 1);
    ASSERT_TRUE(player.Play(1, "fileid=200", target));
    auto messages = player.Until("NetStream.Play.Complete", 15000);
    ASSERT_FALSE(messages.empty());
    std::vector<const RtmpClientMessage*> video;
    for (const auto& m : messages)
      if (IsVideo(m)) video.push_back(&m);
    ASSERT_GE(video.size(), 3u);
    // The sequence header of the opening, then the key frame before the target.
    EXPECT_TRUE(IsAvcConfig(*video[0]));
    EXPECT_EQ(video[1]->timestamp, keyBefore);
    EXPECT_EQ(video[1]->body[0], 0x17);
    EXPECT_EQ(video[1]->body[1], 1);
    ExpectDecodesCleanly(site.dir, video, "start");
  }
  {
    TestPlayer player;
    ASSERT_TRUE(player.Connect(static_cast<uint16_t>(site.server.port)));
    ASSERT_EQ(player.CreateStream(), 1);
    ASSERT_TRUE(player.Play(1, "fileid=200"));
    ASSERT_FALSE(player.Until("NetStream.Play.Start").empty());
    // At once, as a player resuming at a saved position does: the opening
    // may not have left yet, and its sequence header must not be lost.
    ASSERT_TRUE(player.Command({amf::Str("seek"), amf::Num(0), amf::Null(), amf::Num(target)}, 1));
    auto beforeSeek = player.Until("NetStream.Seek.Notify");
    ASSERT_FALSE(beforeSeek.empty());
    auto messages = player.Until("NetStream.Play.Complete", 15000);
    ASSERT_FALSE(messages.empty());
    const RtmpClientMessage* config = nullptr;
    for (const auto* list : {&beforeSeek, &messages})
      for (const auto& m : *list)
        if (config == nullptr && IsAvcConfig(m)) config = &m;
    ASSERT_NE(config, nullptr);
    std::vector<const RtmpClientMessage*> video = {config};
    for (const auto& m : messages)
      if (IsVideo(m) && &m != config) video.push_back(&m);
    ASSERT_GE(video.size(), 3u);
    EXPECT_EQ(video[1]->timestamp, keyBefore);
    EXPECT_EQ(video[1]->body[0], 0x17);
    EXPECT_EQ(video[1]->body[1], 1);
    ExpectDecodesCleanly(site.dir, video, "seek");
  }
}

TEST(Interop, HevcFileSeeksToKeyFramesAndALateStartSendsTheSequenceStartFirst) {
  if (!HevcClipAvailable()) GTEST_SKIP() << "no x265enc";
  StrmdSite site;
  ASSERT_TRUE(site.Start("interophevc"));
  HevcClip clip;
  ASSERT_TRUE(MakeHevcClip(site.dir, 3, &clip));
  ASSERT_TRUE(WriteWholeFile(site.Files() + "/demo.flv", HevcClipFlv(clip)));
  auto isSequenceStart = [](const RtmpClientMessage& m) { return IsVideo(m) && m.body[0] == 0x90; };
  auto isKey = [](const RtmpClientMessage& m) { return IsVideo(m) && m.body[0] == 0x91; };
  {
    // Key frames at 0, 1000 and 2000; 1500 lies between two.
    TestPlayer player;
    ASSERT_TRUE(player.Connect(static_cast<uint16_t>(site.server.port)));
    ASSERT_EQ(player.CreateStream(), 1);
    ASSERT_TRUE(player.Play(1, "fileid=200", 1500));
    auto messages = player.Until("NetStream.Play.Complete", 15000);
    ASSERT_FALSE(messages.empty());
    std::vector<const RtmpClientMessage*> video;
    for (const auto& m : messages)
      if (IsVideo(m)) video.push_back(&m);
    ASSERT_GE(video.size(), 3u);
    EXPECT_TRUE(isSequenceStart(*video[0]));
    EXPECT_TRUE(std::equal(video[0]->body.begin() + 5, video[0]->body.end(), clip.config.begin(), clip.config.end()))
        << "the decoder configuration unchanged";
    EXPECT_TRUE(isKey(*video[1]));
    EXPECT_EQ(video[1]->timestamp, 1000u);
    // Every frame from there on, once and unchanged.
    ASSERT_EQ(video.size(), 1u + 50u);
    for (size_t i = 1; i < video.size(); ++i) {
      EXPECT_EQ(video[i]->timestamp, clip.TimeOf(24 + i));
      EXPECT_TRUE(std::equal(video[i]->body.end() - long(clip.frames[24 + i].size()), video[i]->body.end(),
                             clip.frames[24 + i].begin()));
    }
  }
  {
    TestPlayer player;
    ASSERT_TRUE(player.Connect(static_cast<uint16_t>(site.server.port)));
    ASSERT_EQ(player.CreateStream(), 1);
    ASSERT_TRUE(player.Play(1, "fileid=200"));
    ASSERT_FALSE(player.Until("NetStream.Play.Start").empty());
    ASSERT_TRUE(player.Command({amf::Str("seek"), amf::Num(0), amf::Null(), amf::Num(2500)}, 1));
    ASSERT_FALSE(player.Until("NetStream.Seek.Notify").empty());
    auto messages = player.Until("NetStream.Play.Complete", 15000);
    ASSERT_FALSE(messages.empty());
    // The sequence start may still come first, when the seek overtook the
    // opening; the first frame is the key frame before the target.
    const RtmpClientMessage* first = nullptr;
    for (const auto& m : messages)
      if (first == nullptr && IsVideo(m) && !isSequenceStart(m)) first = &m;
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(isKey(*first));
    EXPECT_EQ(first->timestamp, 2000u);
  }
}

}  // namespace
