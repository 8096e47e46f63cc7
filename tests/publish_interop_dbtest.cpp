// A real publisher: GStreamer's rtmp2sink records H.264 and Speex (made by
// the project's demo script) into strmd under a web session given in the
// stream name; the recording is checked tag by tag and played back by
// rtmp2src.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "support/FlvBuilder.h"
#include "support/StrmdSite.h"
#include "support/TestEnv.h"

namespace {

// The audio and video tags a player or recorder carries: without empty
// ones (our gap markers) and without the H.264 end of sequence, which
// neither GStreamer element passes on.
std::vector<const FlvTestTag*> Media(const FlvTestFile& f) {
  std::vector<const FlvTestTag*> tags;
  for (const auto& tag : f.tags) {
    bool endOfSequence = tag.type == 9 && tag.data.size() == 5 && tag.data[0] == 0x17 && tag.data[1] == 2;
    if ((tag.type == 8 || tag.type == 9) && !tag.data.empty() && !endOfSequence) tags.push_back(&tag);
  }
  return tags;
}

int StrmdctlCheck(const std::string& path) {
  const char* binary = getenv("STRMDCTL_BINARY");
  const std::string command = std::string("'") + (binary ? binary : "strmdctl") + "' check '" + path + "'";
  int status = system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(PublishInterop, Rtmp2sinkRecordsUnderItsWebSessionAndRtmp2srcPlaysItBack) {
  if (system("gst-inspect-1.0 rtmp2sink > /dev/null 2>&1") != 0) GTEST_SKIP() << "no rtmp2sink";
  StrmdSite site;
  ASSERT_TRUE(site.Start("publish-interop", "default", ""));
  ASSERT_TRUE(site.HoldLocalWeb());
  const std::string source = site.dir + "/source.flv";
  std::string make = "sh '" + TestSourceDir() + "/scripts/make-demo-media.sh' '" + source + "' 3 > /dev/null 2>&1";
  ASSERT_EQ(system(make.c_str()), 0);

  const std::string url = "rtmp://127.0.0.1:" + std::to_string(site.server.port) + "/default/phpsessid=demo-ben-0002";
  // Demuxed and muxed again so that rtmp2sink gets one tag per buffer; the
  // tags keep the timestamps the file has.
  const std::vector<std::string> args = {"filesrc", "location=" + source, "!", "flvdemux", "name=d",
                                         "d.video", "!", "queue", "!", "m.video",
                                         "d.audio", "!", "queue", "!", "m.audio",
                                         "flvmux", "name=m", "streamable=true", "!", "rtmp2sink", "location=" + url};
  const std::string log = site.dir + "/gst.log";
  pid_t pid = LaunchGst(args, log);
  ASSERT_GT(pid, 0);
  int status = 0;
  if (!WaitChild(pid, 30000, &status)) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    FAIL() << "rtmp2sink did not finish";
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << " (see " << log << ")";

  // Ben's plain recording, in its final place once the publisher is gone.
  const std::string recorded = site.Temp() + "/phpsessid=demo-ben-0002.flv";
  struct stat st;
  TestWaitUntil([&] { return stat(recorded.c_str(), &st) == 0; });
  FlvTestFile got, sent;
  ASSERT_TRUE(ReadFlvForTest(recorded, &got));
  ASSERT_TRUE(ReadFlvForTest(source, &sent));
  EXPECT_EQ(StrmdctlCheck(recorded), 0);
  EXPECT_EQ(got.header[4], 5);
  std::vector<const FlvTestTag*> in = Media(got), out = Media(sent);
  ASSERT_EQ(in.size(), out.size());
  ASSERT_FALSE(in.empty());
  EXPECT_EQ(in.front()->timestamp, 0u);
  for (size_t i = 0; i < in.size(); ++i) {
    ASSERT_EQ(in[i]->type, out[i]->type) << "tag " << i;
    ASSERT_EQ(in[i]->timestamp, out[i]->timestamp - out.front()->timestamp) << "tag " << i;
    ASSERT_TRUE(in[i]->data == out[i]->data) << "tag " << i;
  }

  // rtmp2src plays the recording back from strmd.
  const std::string played = site.dir + "/played.flv";
  pid = LaunchGst({"rtmp2src", "location=" + url, "!", "filesink", "buffer-mode=unbuffered", "location=" + played}, log);
  // Stopped once every tag of the recording has reached the file.
  FlvTestFile back;
  EXPECT_TRUE(TestWaitUntil([&] {
    back = FlvTestFile();
    return ReadFlvForTest(played, &back) && Media(back).size() >= in.size();
  }, 15000))
      << "see " << log;
  kill(pid, SIGINT);
  if (!WaitChild(pid, 10000, &status)) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    FAIL() << "rtmp2src did not stop";
  }
  back = FlvTestFile();
  ASSERT_TRUE(ReadFlvForTest(played, &back));
  std::vector<const FlvTestTag*> replayed = Media(back);
  ASSERT_EQ(replayed.size(), in.size());
  for (size_t i = 0; i < in.size(); ++i) ASSERT_TRUE(replayed[i]->data == in[i]->data) << "tag " << i;
}

}  // namespace
