// A real RTMP client: GStreamer's rtmp2src plays a demo object (H.264 and
// Speex made by the project's demo script) from the real binary.
#include <gtest/gtest.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "support/FlvBuilder.h"
#include "support/StrmdSite.h"
#include "support/TestEnv.h"

namespace {

bool WaitChild(pid_t pid, int timeoutMs, int* status) {
  for (int waited = 0; waited < timeoutMs; waited += 50) {
    if (waitpid(pid, status, WNOHANG) == pid) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

TEST(Interop, Rtmp2srcPlaysADemoObject) {
  if (system("gst-inspect-1.0 rtmp2src > /dev/null 2>&1") != 0) GTEST_SKIP() << "no rtmp2src";
  StrmdSite site;
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
  ASSERT_EQ(got.size(), sent.size());
  for (size_t i = 0; i < sent.size(); ++i) {
    ASSERT_EQ(got[i]->type, sent[i]->type) << "tag " << i;
    ASSERT_EQ(got[i]->timestamp, sent[i]->timestamp) << "tag " << i;
    ASSERT_TRUE(got[i]->data == sent[i]->data) << "tag " << i;
  }

  // A clean stop after a play to the end: the sanitizer build checks here
  // that nothing leaked.
  site.server.Signal(SIGINT);
  ASSERT_TRUE(site.server.Wait(10000));
  EXPECT_EQ(site.server.exitStatus, 0) << site.server.Output();
}

}  // namespace
