// Recording files without a server: the repair and the check of FLV files,
// placing a session recording into its final file (rename, overwrite, insert,
// and an edit that fails part-way), and tag writing on a full disk.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <dirent.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <cstring>
#include <string>
#include <vector>

#include "media/FlvRepair.h"
#include "media/Recording.h"
#include "media/RtmpStream.h"
#include "support/FlvBuilder.h"
#include "support/TestEnv.h"

namespace {

const std::vector<uint8_t> kZeroHeader(9, 0);

// The bytes of a built FLV as a recording in progress holds them: a zero
// header and no final back pointer.
std::vector<uint8_t> InProgress(const FlvBuilder& flv) {
  std::vector<uint8_t> b = flv.Bytes();
  std::fill(b.begin(), b.begin() + 9, 0);
  b.resize(b.size() - 4);
  return b;
}

// File-size limit of this process for one scope: writes beyond it fail with
// EFBIG, as on a full disk, instead of raising SIGXFSZ.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &saved_);
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &saved_); }

 private:
  rlimit saved_{};
};

TEST(FlvRepair, UnclosedRecordingKeepsEveryWholeTagDropsTheCutOneAndPassesTheCheck) {
  const std::string dir = TestTempDir("repair");
  FlvBuilder whole;
  whole.Video(0, 40, true, 1).Audio(0, 12, 1).Video(40, 30).Script(50, 20).Audio(60, 12);
  FlvBuilder cut = whole;
  cut.CutTag(9, 80, 500, 37);
  const std::string path = dir + "/rec.flv";
  std::vector<uint8_t> bytes = InProgress(whole);
  std::vector<uint8_t> tail = cut.Bytes();
  bytes.insert(bytes.end(), tail.begin() + long(whole.Bytes().size() - 4), tail.end());
  ASSERT_TRUE(WriteWholeFile(path, bytes));

  EXPECT_TRUE(FlvHasZeroHeader(path.c_str()));
  FlvRepairResult r;
  ASSERT_TRUE(FlvRepair(path.c_str(), &r)) << r.error;
  EXPECT_TRUE(r.repaired);
  EXPECT_EQ(r.tags, 5u);
  EXPECT_EQ(r.audioTags, 2u);
  EXPECT_EQ(r.videoTags, 2u);
  EXPECT_EQ(r.lastTimestamp, 60u);
  EXPECT_EQ(r.bytesDropped, 15u + 37u);
  EXPECT_EQ(r.flags, 5);
  // Byte for byte the closed file of the same tags.
  EXPECT_EQ(ReadWholeFile(path), whole.Bytes());
  FlvCheckResult c;
  EXPECT_TRUE(FlvCheck(path.c_str(), &c)) << c.fault;
  EXPECT_EQ(c.tags, 5u);

  // A second repair finds nothing to do and changes nothing.
  ASSERT_TRUE(FlvRepair(path.c_str(), &r));
  EXPECT_FALSE(r.repaired);
  EXPECT_EQ(ReadWholeFile(path), whole.Bytes());
}

TEST(FlvRepair, FlagsComeFromTheTagsFoundAndWrongBackPointersAreCorrected) {
  const std::string dir = TestTempDir("repair-flags");
  struct Case {
    FlvBuilder flv;
    uint8_t flags;
  } cases[] = {{FlvBuilder().Audio(0).Audio(20), 4}, {FlvBuilder().Video(0, 20, true), 1},
               {FlvBuilder().Script(0), 0}, {FlvBuilder(), 0}};
  for (auto& c : cases) {
    const std::string path = dir + "/f.flv";
    ASSERT_TRUE(WriteWholeFile(path, InProgress(c.flv)));
    FlvRepairResult r;
    ASSERT_TRUE(FlvRepair(path.c_str(), &r));
    std::vector<uint8_t> expected = c.flv.Bytes();
    expected[4] = c.flags;
    EXPECT_EQ(ReadWholeFile(path), expected) << int(c.flags);
  }

  // A zero header of a recording that got no tag yet, and one cut inside the
  // header itself.
  for (size_t size : {size_t(9), size_t(5), size_t(0)}) {
    const std::string path = dir + "/empty.flv";
    ASSERT_TRUE(WriteWholeFile(path, std::vector<uint8_t>(size, 0)));
    FlvRepairResult r;
    ASSERT_TRUE(FlvRepair(path.c_str(), &r)) << size;
    EXPECT_EQ(ReadWholeFile(path), (std::vector<uint8_t>{'F', 'L', 'V', 1, 0, 0, 0, 0, 9, 0, 0, 0, 0}));
  }

  // The second tag's back pointer is wrong: the tag is kept, its pointer set.
  FlvBuilder flv;
  flv.Audio(0, 10).Audio(20, 10).Video(40, 20);
  std::vector<uint8_t> bytes = InProgress(flv);
  bytes[flv.Offsets()[1] + 3] ^= 0x40;
  const std::string path = dir + "/bp.flv";
  ASSERT_TRUE(WriteWholeFile(path, bytes));
  FlvRepairResult r;
  ASSERT_TRUE(FlvRepair(path.c_str(), &r));
  EXPECT_EQ(r.tags, 3u);
  EXPECT_EQ(ReadWholeFile(path), flv.Bytes());
}

TEST(FlvRepair, RefusesWhatIsNeitherAnFlvNorARecordingAndLeavesItAlone) {
  const std::string dir = TestTempDir("repair-refuse");
  const std::string path = dir + "/notes.txt";
  const std::string text = "meeting notes, not media\n";
  ASSERT_TRUE(WriteWholeFile(path, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size())));
  FlvRepairResult r;
  EXPECT_FALSE(FlvRepair(path.c_str(), &r));
  EXPECT_NE(r.error, "");
  EXPECT_EQ(ReadWholeFile(path).size(), text.size());
  EXPECT_FALSE(FlvRepair((dir + "/missing.flv").c_str(), &r));
}

TEST(FlvCheck, FindsTheFirstFaultAndSaysWhere) {
  const std::string dir = TestTempDir("check");
  FlvBuilder flv;
  flv.Video(0, 20, true).Audio(0, 10).Video(40, 20).Audio(20, 10).Script(10, 5).Audio(40, 10);
  const std::vector<uint8_t> good = flv.Bytes();
  const std::string path = dir + "/c.flv";
  ASSERT_TRUE(WriteWholeFile(path, good));
  FlvCheckResult r;
  ASSERT_TRUE(FlvCheck(path.c_str(), &r)) << r.fault;
  EXPECT_EQ(r.tags, 6u);
  EXPECT_EQ(r.audioTags, 3u);
  EXPECT_EQ(r.videoTags, 2u);

  const uint64_t t2 = flv.Offsets()[2], t3 = flv.Offsets()[3];
  struct Fault {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> corrupt;
    uint64_t offset;
    const char* text;
  } faults[] = {
      {"signature", [](auto& b) { b[0] = 'G'; }, 0, "signature"},
      {"version", [](auto& b) { b[3] = 2; }, 3, "version 2"},
      {"header size", [](auto& b) { b[8] = 10; }, 5, "header size 10"},
      {"first back pointer", [](auto& b) { b[12] = 1; }, 9, "tag 0: back pointer 1, expected 0"},
      {"back pointer", [&](auto& b) { b[t2 + 3] += 1; }, t2, "tag 2: back pointer"},
      {"type", [&](auto& b) { b[t2 + 4] = 7; }, t2 + 4, "tag 2: unknown type 7"},
      {"size", [&](auto& b) { b[t2 + 5] = 0x7f; }, t2 + 5, "runs past the end"},
      {"video goes back", [](auto& b) { b[9 + 10] = 50; }, t2 + 8, "video timestamp 40 ms goes back from 50 ms"},
      {"audio goes back", [&](auto& b) { b[t3 + 11] = 0xFF; b[t3 + 10] = 0; b[t3 + 9] = 0; b[t3 + 8] = 0; },
       flv.Offsets()[5] + 8, "audio timestamp 40 ms goes back"},
      {"final pointer", [](auto& b) { b.back() ^= 1; }, good.size() - 4, "final back pointer"},
      {"no final pointer", [](auto& b) { b.resize(b.size() - 4); }, good.size() - 4, "no final back pointer (0 bytes left)"},
      {"cut header", [&](auto& b) { b.resize(flv.Offsets()[5] + 10); }, flv.Offsets()[5], "tag 5 cut short in its header"},
  };
  for (const Fault& f : faults) {
    SCOPED_TRACE(f.what);
    std::vector<uint8_t> bytes = good;
    f.corrupt(bytes);
    ASSERT_TRUE(WriteWholeFile(path, bytes));
    FlvCheckResult c;
    EXPECT_FALSE(FlvCheck(path.c_str(), &c));
    EXPECT_EQ(c.faultOffset, f.offset);
    EXPECT_NE(c.fault.find(f.text), std::string::npos) << c.fault;
  }
  // A recording in progress is no FLV yet.
  ASSERT_TRUE(WriteWholeFile(path, InProgress(flv)));
  EXPECT_FALSE(FlvCheck(path.c_str(), &r));
}

// ---- Placing a session recording ----

class FinishRecording : public ::testing::Test {
 protected:
  void SetUp() override { temp_ = TestTempDir("finish"); }
  std::string Path(const std::string& rest) const { return temp_ + "/phpsessid=" + kSession + rest; }
  // Writes the recording of stream `name` as its close leaves it.
  void Record(const std::string& name, const FlvBuilder& flv) {
    ASSERT_TRUE(flv.WriteTo(Path("&" + name + ".flv")));
  }
  bool Finish(const std::string& name) {
    return FinishSessionRecordingFiles(temp_.c_str(), kSession, name.c_str());
  }
  static std::vector<std::pair<uint8_t, uint32_t>> MarksAndTimes(const std::string& path) {
    FlvTestFile f;
    EXPECT_TRUE(ReadFlvForTest(path, &f));
    std::vector<std::pair<uint8_t, uint32_t>> out;
    for (const auto& t : f.tags)
      if (t.type == 9) out.emplace_back(t.data[1], t.timestamp);
    return out;
  }
  static constexpr const char* kSession = "sess-1";
  std::string temp_;
};

TEST_F(FinishRecording, FirstRecordingsAreRenamedALaterOneAtZeroReplacesAndStaleIndexesGo) {
  const FlvBuilder rec = FlvBuilder().Clip(1000, 2);
  Record("questionid=7", FlvBuilder());  // the final name itself: recorded in place
  ASSERT_TRUE(Finish("questionid=7"));
  Record("phpsessid=sess-1&questionid=7", rec);
  ASSERT_TRUE(WriteWholeFile(Path("&questionid=7.flv.index2"), std::vector<uint8_t>(4, 0)));
  // An earlier final file exists (the in-place one above): overwrite at 0.
  ASSERT_TRUE(Finish("phpsessid=sess-1&questionid=7"));
  EXPECT_EQ(ReadWholeFile(Path("&questionid=7.flv")), rec.Bytes());
  EXPECT_EQ(TestListing(temp_), std::vector<std::string>{"phpsessid=sess-1&questionid=7.flv"});

  Record("questionid=8&startpos=0", rec);
  ASSERT_TRUE(Finish("questionid=8&startpos=0"));
  EXPECT_EQ(ReadWholeFile(Path("&questionid=8.flv")), rec.Bytes());
  Record("plain", rec);
  ASSERT_TRUE(Finish("plain"));
  EXPECT_EQ(ReadWholeFile(Path(".flv")), rec.Bytes());
  EXPECT_EQ(TestListing(temp_), (std::vector<std::string>{"phpsessid=sess-1&questionid=7.flv",
                                                      "phpsessid=sess-1&questionid=8.flv", "phpsessid=sess-1.flv"}));
}

TEST_F(FinishRecording, StartposOverwritesFromItsTimeAndKeepsTheTailInsertShiftsIt) {
  const FlvBuilder base = FlvBuilder().Clip(20000, 1);
  const FlvBuilder rec = FlvBuilder().Clip(3000, 2);

  ASSERT_TRUE(base.WriteTo(Path("&questionid=5.flv")));
  Record("questionid=5&startpos=12.5", rec);
  ASSERT_TRUE(Finish("questionid=5&startpos=12.5"));
  auto over = MarksAndTimes(Path("&questionid=5.flv"));
  size_t fromRecording = 0;
  for (auto [mark, ts] : over) {
    if (mark == 2) {
      ++fromRecording;
      EXPECT_TRUE(ts >= 12500 && ts <= 15500) << ts;
    } else {
      EXPECT_TRUE(ts <= 12500 || ts >= 15500) << ts;
    }
  }
  EXPECT_EQ(fromRecording, 31u);
  EXPECT_EQ(over.back(), (std::pair<uint8_t, uint32_t>{1, 20000}));
  EXPECT_EQ(TestListing(temp_), std::vector<std::string>{"phpsessid=sess-1&questionid=5.flv"});

  ASSERT_TRUE(base.WriteTo(Path("&questionid=6.flv")));
  Record("questionid=6&startpos=12.5&insert=1", rec);
  ASSERT_TRUE(Finish("questionid=6&startpos=12.5&insert=1"));
  auto in = MarksAndTimes(Path("&questionid=6.flv"));
  ASSERT_EQ(in.size(), 201u + 31u);
  for (size_t i = 0; i < in.size(); ++i) {
    if (i <= 125) EXPECT_EQ(in[i], (std::pair<uint8_t, uint32_t>{1, uint32_t(i * 100)})) << i;
    else if (i <= 156) EXPECT_EQ(in[i], (std::pair<uint8_t, uint32_t>{2, uint32_t(12500 + (i - 126) * 100)})) << i;
    else EXPECT_EQ(in[i], (std::pair<uint8_t, uint32_t>{1, uint32_t((i - 31) * 100 + 3000)})) << i;
  }
  FlvCheckResult c;
  EXPECT_TRUE(FlvCheck(Path("&questionid=6.flv").c_str(), &c)) << c.fault;
}

TEST_F(FinishRecording, BookmarkAtZeroIsInsertedInFrontOfTheEarlierOne) {
  ASSERT_TRUE(FlvBuilder().Clip(2000, 1).WriteTo(Path("&bookmarkid=4.flv")));
  Record("bookmarkid=4&startpos=0", FlvBuilder().Clip(1000, 2));
  ASSERT_TRUE(Finish("bookmarkid=4&startpos=0"));
  auto tags = MarksAndTimes(Path("&bookmarkid=4.flv"));
  ASSERT_EQ(tags.size(), 11u + 21u);
  EXPECT_EQ(tags.front(), (std::pair<uint8_t, uint32_t>{2, 0}));
  EXPECT_EQ(tags[10], (std::pair<uint8_t, uint32_t>{2, 1000}));
  EXPECT_EQ(tags[11], (std::pair<uint8_t, uint32_t>{1, 1000}));
  EXPECT_EQ(tags.back(), (std::pair<uint8_t, uint32_t>{1, 3000}));
}

TEST_F(FinishRecording, AnEditThatFailsPartWayKeepsBothFilesByteForByte) {
  const FlvBuilder base = FlvBuilder().Clip(20000, 1);
  const FlvBuilder rec = FlvBuilder().Clip(5000, 2);
  ASSERT_TRUE(base.WriteTo(Path("&questionid=3.flv")));
  Record("questionid=3&startpos=2", rec);
  const auto before = ReadWholeFile(Path("&questionid=3.flv"));
  const auto recorded = ReadWholeFile(Path("&questionid=3&startpos=2.flv"));
  for (rlim_t limit : {rlim_t(0), rlim_t(9), rlim_t(200), rlim_t(before.size() / 3), rlim_t(before.size() * 2 / 3)}) {
    SCOPED_TRACE(limit);
    bool finished;
    {
      FileSizeLimit full(limit);
      finished = Finish("questionid=3&startpos=2");
    }
    EXPECT_FALSE(finished);
    EXPECT_EQ(ReadWholeFile(Path("&questionid=3.flv")), before);
    EXPECT_EQ(ReadWholeFile(Path("&questionid=3&startpos=2.flv")), recorded);
    // No half-written output is left to be mistaken for a recording.
    EXPECT_EQ(TestListing(temp_), (std::vector<std::string>{"phpsessid=sess-1&questionid=3&startpos=2.flv",
                                                        "phpsessid=sess-1&questionid=3.flv"}));
  }
  // With room again the same recording is placed.
  ASSERT_TRUE(Finish("questionid=3&startpos=2"));
  EXPECT_EQ(TestListing(temp_), std::vector<std::string>{"phpsessid=sess-1&questionid=3.flv"});
}

TEST_F(FinishRecording, TheEditOutputNeverTakesOverAFileThatHoldsItsName) {
  srand(4242);
  char first[16];
  snprintf(first, sizeof first, "%08x", static_cast<uint32_t>(rand()));
  const std::string taken = Path(std::string("&temp=") + first + ".flv");
  const std::vector<uint8_t> other = FlvBuilder().Clip(500, 9).Bytes();
  ASSERT_TRUE(WriteWholeFile(taken, other));
  ASSERT_TRUE(FlvBuilder().Clip(2000, 1).WriteTo(Path(".flv")));
  Record("startpos=1", FlvBuilder().Clip(500, 2));
  srand(4242);
  ASSERT_TRUE(Finish("startpos=1"));
  EXPECT_EQ(ReadWholeFile(taken), other);
  EXPECT_EQ(MarksAndTimes(Path(".flv"))[11], (std::pair<uint8_t, uint32_t>{2, 1000}));
}

// FFmpeg's shape: audio and video in time order, then the H.264 end of
// sequence stamped with the last frame's time, before the last audio.
FlvBuilder FfmpegLike(uint32_t durationMs, uint8_t mark) {
  FlvBuilder b;
  uint32_t video = 0, audio = 0, lastVideo = 0;
  for (;;) {
    const bool videoLeft = video + 30 < durationMs, audioLeft = audio <= durationMs;
    if (!videoLeft && !audioLeft) break;
    if (videoLeft && (!audioLeft || video <= audio)) {
      b.Video(video, 20, video % 2000 == 0, mark);
      lastVideo = video;
      video += 40;
    } else {
      b.Audio(audio, 10, mark);
      audio += 23;
    }
  }
  const uint8_t endOfSequence[] = {0x17, 0x02, 0, 0, 0};
  return b.Raw(9, lastVideo, endOfSequence);
}

TEST_F(FinishRecording, RecordingsEndingBeforeTheirLatestTagMergeAtAnyPositionWithoutGoingBack) {
  const FlvBuilder base = FfmpegLike(6000, 1), rec = FfmpegLike(3000, 2);
  ASSERT_TRUE(base.WriteTo(Path("&b.flv")));
  ASSERT_TRUE(rec.WriteTo(Path("&r.flv")));
  FlvCheckResult b, r, c;
  ASSERT_TRUE(FlvCheck(Path("&b.flv").c_str(), &b)) << b.fault;
  ASSERT_TRUE(FlvCheck(Path("&r.flv").c_str(), &r)) << r.fault;
  int question = 20;
  for (const char* position : {"0", "1.5", "2.99", "5.95", "5.99", "99"}) {
    for (const char* mode : {"", "&insert=1"}) {
      const std::string final = Path("&questionid=" + std::to_string(question) + ".flv");
      const std::string name = "questionid=" + std::to_string(question++) + "&startpos=" + position + mode;
      SCOPED_TRACE(name);
      ASSERT_TRUE(base.WriteTo(final));
      Record(name, rec);
      ASSERT_TRUE(Finish(name));
      ASSERT_TRUE(FlvCheck(final.c_str(), &c)) << c.fault;
      const uint32_t start = std::min(uint32_t(atof(position) * 1000), b.lastTimestamp);
      if (*mode != '\0') {
        // Every tag kept; the base's rest after the recording's latest tag.
        EXPECT_EQ(c.tags, b.tags + r.tags);
        EXPECT_EQ(c.lastTimestamp, b.lastTimestamp + r.lastTimestamp);
      } else {
        EXPECT_EQ(c.lastTimestamp, std::max(b.lastTimestamp, start + r.lastTimestamp));
      }
    }
  }
}

// ---- Writing tags ----

TEST(WriteTag, StartsAtZeroReportsAFullDiskOnceAndAgainWhenWritingWorks) {
  const std::string dir = TestTempDir("writetag");
  setenv("STRMD_LOG_DIR", dir.c_str(), 1);
  RtmpStream stream;
  const std::string path = dir + "/rec.flv";
  CopyText(stream.file.path, path.c_str());
  ASSERT_TRUE(stream.file.file.Open(path.c_str(), true));
  ASSERT_TRUE(stream.file.file.Write(kZeroHeader.data(), kZeroHeader.size()));
  stream.file.open = true;

  std::vector<uint8_t> body(100, 0x27);
  RtmpPacket packet;
  packet.m_body = body.data();
  packet.m_nBodySize = uint32_t(body.size());
  auto write = [&](uint8_t type, uint32_t timestamp) {
    packet.m_nMessageType = type;
    packet.m_nTimestamp = timestamp;
    return WriteTag(&stream, &packet);
  };
  // 115 bytes a record.
  EXPECT_TRUE(write(9, 73000));
  EXPECT_TRUE(write(8, 72980));  // stamped before the first: placed at 0
  EXPECT_TRUE(write(9, 73040));
  testing::internal::CaptureStderr();
  {
    FileSizeLimit full(9 + 3 * 115 + 60);  // the fourth record fits only in part
    for (int i = 0; i < 5; ++i) EXPECT_FALSE(write(8, 73100 + uint32_t(i)));
  }
  EXPECT_TRUE(write(9, 73200));
  EXPECT_TRUE(write(8, 73220));
  const std::string reports = testing::internal::GetCapturedStderr();
  size_t failures = 0;
  for (size_t at = reports.find("Unable to write"); at != std::string::npos; at = reports.find("Unable to write", at + 1))
    ++failures;
  EXPECT_EQ(failures, 1u) << reports;
  EXPECT_NE(reports.find("Unable to write 115 bytes"), std::string::npos) << reports;
  EXPECT_NE(reports.find("writing works again; 575 bytes were lost"), std::string::npos) << reports;
  EXPECT_TRUE(stream.output.hasAudio && stream.output.hasVideo);
  stream.file.file.Close();

  // No half record was left behind: the file repairs without dropping bytes.
  FlvRepairResult r;
  ASSERT_TRUE(FlvRepair(path.c_str(), &r));
  EXPECT_EQ(r.bytesDropped, 0u);
  FlvTestFile f;
  ASSERT_TRUE(ReadFlvForTest(path, &f));
  std::vector<uint32_t> times;
  for (const auto& t : f.tags) times.push_back(t.timestamp);
  EXPECT_EQ(times, (std::vector<uint32_t>{0, 0, 40, 200, 220}));
  EXPECT_EQ(f.header[4], 5);
}

}  // namespace

namespace {

// strmdctl's output and exit status for `arguments`.
int Strmdctl(const std::string& arguments, std::string* output) {
  const char* binary = getenv("STRMDCTL_BINARY");
  const std::string command = std::string("'") + (binary ? binary : "strmdctl") + "' " + arguments + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[512];
  output->clear();
  while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) output->append(buffer, n);
  const int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Strmdctl, RepairSaysWhatItKeptAndCheckFailsAtTheFirstFaultSayingWhere) {
  const std::string dir = TestTempDir("strmdctl");
  FlvBuilder flv;
  flv.Video(0, 20, true).Audio(0, 10).Video(1500, 20);
  const std::string path = dir + "/cut.flv";
  ASSERT_TRUE(WriteWholeFile(path, InProgress(flv)));
  std::string out;
  EXPECT_EQ(Strmdctl("check '" + path + "'", &out), 1);
  EXPECT_NE(out.find("offset 0: no \"FLV\" signature"), std::string::npos) << out;
  EXPECT_EQ(Strmdctl("repair '" + path + "'", &out), 0);
  EXPECT_NE(out.find("repaired: 3 tags (1 audio, 2 video), 1500 ms kept"), std::string::npos) << out;
  EXPECT_EQ(Strmdctl("check '" + path + "'", &out), 0) << out;
  EXPECT_EQ(Strmdctl("repair '" + path + "' '" + dir + "/missing.flv'", &out), 1);
  EXPECT_NE(out.find("already whole"), std::string::npos) << out;
  EXPECT_NE(out.find("missing.flv: not repaired"), std::string::npos) << out;
  EXPECT_EQ(Strmdctl("check", &out), 2);
}

}  // namespace
