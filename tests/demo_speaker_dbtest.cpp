// The demo's live speaker (strmd-demo-speaker) against the real binary: a
// player of its channel gets the clip's video and Speex audio, loop after
// loop with timestamps that keep rising, and again once the server it
// published to was restarted.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/FlvBuilder.h"
#include "support/SpeexFrames.h"
#include "support/StrmdSite.h"
#include "support/TestEnv.h"

namespace {

// The speaker process, stopped at the end of the test whatever happens.
struct Speaker {
  pid_t pid = -1;
  ~Speaker() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
  }
  bool Start(const std::vector<std::string>& args, const std::string& log) {
    pid = fork();
    if (pid != 0) return pid > 0;
    const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1);
    dup2(fd, 2);
    std::vector<char*> argv{const_cast<char*>(STRMD_DEMO_SPEAKER)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(STRMD_DEMO_SPEAKER, argv.data());
    _exit(127);
  }
};

struct Watched {
  bool keyFrame = false, speex = false, backwards = false;
  uint32_t first = UINT32_MAX, last = 0;
};

// Plays Ben's channel 5 for `spanMs` of its media, or until 20 s pass.
Watched Watch(uint16_t port, uint32_t spanMs) {
  Watched seen;
  TestPlayer player;
  if (!player.Connect(port) || player.CreateStream() != 1 || !player.Play(1, "channel=5&userid=2")) return seen;
  uint32_t lastOf[2] = {0, 0};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while ((seen.first == UINT32_MAX || seen.last - seen.first < spanMs) && std::chrono::steady_clock::now() < deadline) {
    auto m = player.Next(1000);
    if (!m || (m->type != 8 && m->type != 9) || m->body.empty()) continue;
    if (m->type == 9 && m->body.size() > 1 && m->body[0] == 0x17 && m->body[1] == 1) seen.keyFrame = true;
    if (m->type == 8 && m->body[0] >> 4 == 11) seen.speex = true;
    uint32_t& track = lastOf[m->type - 8];
    if (m->timestamp < track) seen.backwards = true;
    track = m->timestamp;
    seen.first = std::min(seen.first, m->timestamp);
    seen.last = std::max(seen.last, m->timestamp);
  }
  return seen;
}

TEST(DemoSpeaker, PublishesItsClipInALoopWithRisingTimestampsAndComesBackAfterARestart) {
  StrmdSite site;
  ASSERT_TRUE(site.Start("demo-speaker"));
  ASSERT_TRUE(site.HoldLocalWeb());
  const uint16_t port = static_cast<uint16_t>(site.server.port);

  // A one-second clip: H.264 configuration, a key frame every 500 ms, video
  // every 100 ms and the Speex tone every 20 ms; it ends with an end of
  // sequence that the speaker leaves out.
  FlvBuilder clip;
  clip.Raw(9, 0, std::vector<uint8_t>{0x17, 0, 0, 0, 0, 1, 0x4D, 0x40, 0x1E, 0xFF});
  SpeexFrames tone;
  for (uint32_t ts = 0; ts <= 1000; ts += 20) {
    if (ts % 100 == 0) clip.Raw(9, ts, std::vector<uint8_t>{uint8_t(ts % 500 == 0 ? 0x17 : 0x27), 1, 0, 0, 0, 7});
    clip.Raw(8, ts, tone.Next(true));
  }
  clip.Raw(9, 1000, std::vector<uint8_t>{0x17, 2, 0, 0, 0});
  const std::string flv = site.Files() + "/clip.flv";
  ASSERT_TRUE(clip.WriteTo(flv));
  Speaker speaker;
  ASSERT_TRUE(speaker.Start({"--port", std::to_string(port), "--flv", flv}, site.dir + "/speaker.log"));

  // Across loops: video from a key frame and Speex, nothing going back.
  const Watched seen = Watch(port, 2500);
  EXPECT_TRUE(seen.keyFrame);
  EXPECT_TRUE(seen.speex);
  EXPECT_FALSE(seen.backwards);
  const std::vector<uint8_t> log = ReadWholeFile(site.dir + "/speaker.log");
  EXPECT_GE(seen.last, seen.first + 2500) << std::string(log.begin(), log.end());

  // The server goes away and comes back on its port: the speaker publishes
  // again, its timestamps after the ones before.
  site.server.Signal(SIGTERM);
  ASSERT_TRUE(site.server.Wait(15000));
  unlink(site.server.output.c_str());  // so that only the new start is waited for
  site.server.exitStatus = -1;          // running again: the end of the test stops it
  ASSERT_TRUE(site.server.Start({}, site.server.dir + "/strmd.reg"));
  ASSERT_TRUE(site.server.WaitForOutput("STRMD started", 10000));
  const Watched again = Watch(port, 1500);
  EXPECT_TRUE(again.keyFrame);
  EXPECT_TRUE(again.speex);
  EXPECT_FALSE(again.backwards);
  EXPECT_GT(again.first, seen.last);
  EXPECT_GE(again.last, again.first + 1500);
}

}  // namespace
