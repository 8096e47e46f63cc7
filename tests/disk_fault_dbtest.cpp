// A disk that fills under the real binary (STRMD_TEST_WRITE_FAULT): during a
// recording, during each editing operation and during an index build. Each
// time the server reports it naming the file, keeps every earlier file byte
// for byte, leaves no half-written file in place of a good one, and goes on
// serving: the next client records and plays normally.
#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "support/FlvBuilder.h"
#include "support/StrmdSite.h"
#include "support/TestEnv.h"
#include "util/Log.h"

namespace {

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

int StrmdctlCheck(const std::string& path) {
  const char* binary = getenv("STRMDCTL_BINARY");
  const std::string command = "'" + std::string(binary ? binary : "strmdctl") + "' check '" + path + "' > /dev/null 2>&1";
  const int status = system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

constexpr const char* kSession = "demo-ben-0002";

class DiskFault : public ::testing::Test {
 protected:
  void SetUp() override { SKIP_WITHOUT_TEST_HOOKS(); }

  // The server with `fault` as its STRMD_TEST_WRITE_FAULT.
  void Start(const std::string& fault) {
    ASSERT_TRUE(site_.Start("diskfault", "default", "",
                            {"STRMD_TEST_WRITE_FAULT=" + fault}));
    ASSERT_TRUE(site_.HoldLocalWeb());
    ASSERT_TRUE(client_.Connect(static_cast<uint16_t>(site_.server.port)));
  }

  // Publishes `name` on a new stream, sends `count` tags of 100 bytes 20 ms
  // apart (video and audio in turn, byte 1 = mark) and closes the stream.
  void Record(const std::string& name, int count, uint8_t mark) {
    const int stream = client_.CreateStream();
    ASSERT_GT(stream, 0);
    ASSERT_TRUE(client_.Publish(uint32_t(stream), std::string("phpsessid=") + kSession + "&" + name));
    ASSERT_FALSE(client_.Until("NetStream.Publish.Start").empty());
    for (int i = 0; i < count; ++i) {
      std::vector<uint8_t> body(100, uint8_t(i));
      body[0] = i % 2 == 0 ? (i == 0 ? 0x17 : 0x27) : 0xB2;
      body[1] = mark;
      const uint32_t ts = uint32_t(i) * 20;
      ASSERT_TRUE(i % 2 == 0 ? client_.client.SendVideo(uint32_t(stream), ts, body)
                             : client_.client.SendAudio(uint32_t(stream), ts, body));
    }
    ASSERT_TRUE(client_.CloseStream(uint32_t(stream)));
    // The close is handled (file placed or kept) before the next command's answer.
    ASSERT_GT(client_.CreateStream(), 0);
  }

  // The same as the server names it in its reports.
  std::string RecordingAsReported(const std::string& name) const {
    return LogMaskSessionIds(site_.dir + "\\temp\\phpsessid=" + kSession + "&phpsessid=" + kSession + "&" + name + ".flv");
  }
  // The path of `rest` in the temp folder: "phpsessid=SESSION" + rest.
  std::string Temp(const std::string& rest) const { return site_.Temp() + "/phpsessid=" + kSession + rest; }
  // The recording in progress of stream `name`.
  std::string Recording(const std::string& name) const {
    // Appended piece by piece: GCC 12 at -O2 warns wrongly (array-bounds) on the chained form.
    std::string rest = "&phpsessid=";
    rest += kSession;
    rest += "&";
    rest += name;
    rest += ".flv";
    return Temp(rest);
  }

  size_t MarkedTags(const std::string& path, uint8_t mark) {
    FlvTestFile f;
    EXPECT_TRUE(ReadFlvForTest(path, &f)) << path;
    size_t n = 0;
    for (const auto& t : f.tags) n += t.data.size() > 1 && t.data[1] == mark;
    return n;
  }

  // A player of `name` receives every media tag of the file.
  void ExpectPlays(const std::string& name, size_t media) {
    TestPlayer player;
    ASSERT_TRUE(player.Connect(static_cast<uint16_t>(site_.server.port)));
    ASSERT_EQ(player.CreateStream(), 1);
    ASSERT_TRUE(player.Play(1, name));
    auto messages = player.Until("NetStream.Play.Complete");
    ASSERT_FALSE(messages.empty()) << name;
    size_t got = 0;
    for (const auto& m : messages) got += (m.type == 8 || m.type == 9) && !m.body.empty();
    EXPECT_EQ(got, media) << name;
  }

  StrmdSite site_;
  TestPlayer client_;
};

// The disk is full for three tag writes of a recording: each lost tag is cut
// off whole, the loss is reported once with the file's name, the recording
// overwrites its earlier file with what reached the disk, and the next
// recording is whole.
TEST_F(DiskFault, RecordingOutlivesAFullDiskAndIsPlacedWithWhatReachedIt) {
  Start("path=questionid=21&startpos=1.flv,nth=4,count=3");
  const std::string final21 = Temp("&questionid=21.flv");
  ASSERT_TRUE(FlvBuilder().Clip(3000, 9).WriteTo(final21));
  Record("questionid=21&startpos=1", 20, 1);
  const std::string log = site_.server.ErrorLog();
  EXPECT_NE(log.find("Unable to write 115 bytes to file " + RecordingAsReported("questionid=21&startpos=1")), std::string::npos)
      << log;
  EXPECT_NE(log.find("345 bytes were lost"), std::string::npos) << log;
  EXPECT_EQ(StrmdctlCheck(final21), 0);
  EXPECT_EQ(MarkedTags(final21, 1), 17u);
  EXPECT_EQ(TestListing(site_.Temp()), std::vector<std::string>{"phpsessid=demo-ben-0002&questionid=21.flv"});

  Record("questionid=22", 10, 2);
  EXPECT_EQ(MarkedTags(Temp("&questionid=22.flv"), 2), 10u);
  FlvTestFile f;
  ASSERT_TRUE(ReadFlvForTest(final21, &f));
  ExpectPlays(std::string("questionid=21&phpsessid=") + kSession, f.tags.size());
  ExpectPlays(std::string("questionid=22&phpsessid=") + kSession, 10);
}

// The disk stays full from the second tag through the close: the earlier
// file is untouched, the unclosed recording is left for the repair at the
// next start, and another recording is placed normally.
TEST_F(DiskFault, RecordingThatCannotBeClosedLeavesTheEarlierFileAlone) {
  Start("path=questionid=25&startpos=1.flv,nth=3,count=0");
  const std::string final25 = Temp("&questionid=25.flv");
  ASSERT_TRUE(FlvBuilder().Clip(3000, 9).WriteTo(final25));
  const std::vector<uint8_t> before = ReadWholeFile(final25);
  Record("questionid=25&startpos=1", 20, 1);
  const std::string log = site_.server.ErrorLog();
  EXPECT_NE(log.find("Recording " + RecordingAsReported("questionid=25&startpos=1") +
                     " could not be closed; it is repaired at the next start"),
            std::string::npos)
      << log;
  EXPECT_EQ(ReadWholeFile(final25), before);
  const std::vector<uint8_t> left = ReadWholeFile(Recording("questionid=25&startpos=1"));
  ASSERT_EQ(left.size(), 9u + 115u);  // the zero header and the one tag that reached the disk
  EXPECT_EQ(left[0], 0);

  Record("questionid=26", 10, 2);
  EXPECT_EQ(MarkedTags(Temp("&questionid=26.flv"), 2), 10u);
  ExpectPlays(std::string("questionid=25&phpsessid=") + kSession, 62);
}

// The output of an insert and then of an overwrite cannot be written: both
// earlier files stay byte for byte, both new recordings are kept under their
// names, no output is left; with room again the same insert succeeds.
TEST_F(DiskFault, EditsOnAFullDiskKeepTheEarlierAndTheNewRecording) {
  Start("path=&temp=,nth=2,count=2");
  const std::string final23 = Temp("&questionid=23.flv"), final24 = Temp("&questionid=24.flv");
  ASSERT_TRUE(FlvBuilder().Clip(3000, 9).WriteTo(final23));
  ASSERT_TRUE(FlvBuilder().Clip(2000, 8).WriteTo(final24));
  const std::vector<uint8_t> before23 = ReadWholeFile(final23), before24 = ReadWholeFile(final24);

  Record("questionid=23&startpos=1&insert=1", 10, 3);
  Record("questionid=24&startpos=1", 10, 4);
  const std::string log = site_.server.ErrorLog();
  for (const std::string& name : {std::string("questionid=23&startpos=1&insert=1"), std::string("questionid=24&startpos=1")}) {
    const std::string target = name.substr(0, 13);
    EXPECT_NE(log.find(LogMaskSessionIds("Recording " + Recording(name) + " could not be placed into " +
                                         Temp("&" + target + ".flv")) +
                       "; both files are kept"),
              std::string::npos)
        << log;
    EXPECT_EQ(MarkedTags(Recording(name), name[12] == '3' ? 3 : 4), 10u);
  }
  EXPECT_NE(log.find("Unable to write"), std::string::npos) << log;
  EXPECT_EQ(ReadWholeFile(final23), before23);
  EXPECT_EQ(ReadWholeFile(final24), before24);
  EXPECT_EQ(TestListing(site_.Temp()),
            (std::vector<std::string>{"phpsessid=demo-ben-0002&phpsessid=demo-ben-0002&questionid=23&startpos=1&insert=1.flv",
                                      "phpsessid=demo-ben-0002&phpsessid=demo-ben-0002&questionid=24&startpos=1.flv",
                                      "phpsessid=demo-ben-0002&questionid=23.flv",
                                      "phpsessid=demo-ben-0002&questionid=24.flv"}));
  // The earlier file still plays whole.
  FlvTestFile f;
  ASSERT_TRUE(ReadFlvForTest(final24, &f));
  ExpectPlays(std::string("questionid=24&phpsessid=") + kSession, f.tags.size());

  Record("questionid=23&startpos=1&insert=1", 10, 5);
  EXPECT_EQ(MarkedTags(final23, 5), 10u);
  EXPECT_EQ(MarkedTags(final23, 9), 62u);
  EXPECT_EQ(StrmdctlCheck(final23), 0);
  EXPECT_FALSE(Exists(Recording("questionid=23&startpos=1&insert=1")));
}

// The index of a file to be played cannot be written: the play is refused,
// the report names the index, nothing is left under its name, and the next
// player gets it built and plays the whole file.
TEST_F(DiskFault, IndexBuildOnAFullDiskRefusesOnePlayAndLeavesNoIndex) {
  Start("path=.index2,nth=2,count=1");
  ASSERT_TRUE(FlvBuilder().Clip(2000, 7).WriteTo(site_.Files() + "/demo.flv"));
  const std::string index = site_.Cache() + "/200.flv.index2";
  TestPlayer first;
  ASSERT_TRUE(first.Connect(static_cast<uint16_t>(site_.server.port)));
  ASSERT_EQ(first.CreateStream(), 1);
  ASSERT_TRUE(first.Play(1, "fileid=200"));
  EXPECT_FALSE(first.Until("NetStream.Play.StreamNotFound").empty());
  const std::string log = site_.server.ErrorLog();
  EXPECT_NE(log.find("The index " + site_.dir + "\\cache\\200.flv.index2 of " + site_.dir + "\\files\\demo.flv"), std::string::npos) << log;
  EXPECT_NE(log.find("could not be built"), std::string::npos) << log;
  EXPECT_EQ(TestListing(site_.Cache()), std::vector<std::string>{});

  ExpectPlays("fileid=200", 42);
  EXPECT_TRUE(Exists(index));
}

}  // namespace
