// Injected write failures (a disk that fills at the N-th write) against the
// writers of the file store: each failure is reported and returned, nothing
// half-written is left under a real name, earlier files stay intact, and the
// next attempt with room succeeds.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "media/RtmpFile.h"
#include "support/FlvBuilder.h"
#include "support/TestEnv.h"
#include "util/file.h"

namespace {

namespace fs = std::filesystem;

bool WriteText(File& file, std::string_view text) { return file.Write(text.data(), text.size()); }
bool WriteByte(File& file, uint8_t value) { return file.Write(&value, 1); }

struct FileFault : ::testing::Test {
  std::string dir = TestTempDir("filefault");
  void TearDown() override {
    FileFailWritesForTest(0);
    FlvReadBufferForTest(0);
    fs::remove_all(dir);
  }
  std::string Path(const char* name) const { return dir + "/" + name; }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
};

TEST_F(FileFault, TheNthWriteFailsAsOnAFullDisk) {
  File file;
  ASSERT_TRUE(file.Open(Path("f").c_str(), true));
  FileFailWritesForTest(2);
  testing::internal::CaptureStderr();
  EXPECT_TRUE(WriteText(file, "abcd"));
  EXPECT_FALSE(WriteText(file, "efgh"));
  EXPECT_EQ(errno, ENOSPC);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("No space left on device - Unable to write 4 bytes to file"), std::string::npos) << err;
  EXPECT_TRUE(WriteText(file, "ijkl"));  // only the one write
  file.Close();
  EXPECT_EQ(ReadWholeFile(Path("f")), (std::vector<uint8_t>{'a', 'b', 'c', 'd', 'e', 'f', 'i', 'j', 'k', 'l'}));

  // Every write from the n-th on, until turned off.
  ASSERT_TRUE(file.Open(Path("g").c_str(), true));
  FileFailWritesForTest(1, true);
  testing::internal::CaptureStderr();
  const uint64_t before = FileWriteCountForTest();
  EXPECT_FALSE(WriteByte(file, 1));
  EXPECT_FALSE(file.WriteU32(2));
  FileFailWritesForTest(0);
  EXPECT_TRUE(WriteByte(file, 3));
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(FileWriteCountForTest() - before, 3u);
}

// An index build fails at each of its writes in turn: the build reports and
// returns false, no index (nor its provisional file) is left, an index of an
// earlier build stays as it was, and the next build with room succeeds.
TEST_F(FileFault, IndexBuildFailingAtEachWriteLeavesNoPartialIndex) {
  // Enough tags for several entry blocks.
  const std::string flv = Path("media.flv");
  ASSERT_TRUE(FlvBuilder().Clip(450000, 1, 100).WriteTo(flv));
  const std::string idx = flv + kIndexSuffix;
  uint64_t before = FileWriteCountForTest();
  uint32_t count = 0;
  ASSERT_TRUE(BuildIndex(flv.c_str(), idx.c_str(), &count));
  const uint64_t writes = FileWriteCountForTest() - before;
  ASSERT_GE(writes, 4u);  // count, blocks, final count
  const std::vector<uint8_t> good = ReadWholeFile(idx);

  for (bool earlier : {false, true}) {
    if (earlier) {
      ASSERT_TRUE(WriteWholeFile(idx, good));
    }
    for (uint64_t n = 1; n <= writes; ++n) {
      if (!earlier) fs::remove(idx);
      FileFailWritesForTest(n);
      testing::internal::CaptureStderr();
      EXPECT_FALSE(BuildIndex(flv.c_str(), idx.c_str())) << "write " << n;
      std::string err = testing::internal::GetCapturedStderr();
      EXPECT_NE(err.find("Unable to write"), std::string::npos) << "write " << n;
      if (earlier)
        EXPECT_EQ(ReadWholeFile(idx), good) << "write " << n;
      else
        EXPECT_EQ(Names(), std::vector<std::string>{"media.flv"}) << "write " << n;
      EXPECT_EQ(Names().size(), earlier ? 2u : 1u) << "write " << n;
    }
  }
  FileFailWritesForTest(0);
  ASSERT_TRUE(BuildIndex(flv.c_str(), idx.c_str()));
  std::vector<IndexEntry> entries;
  EXPECT_EQ(LoadIndex(idx.c_str(), &entries), IndexLoad::kLoaded);
  EXPECT_EQ(entries.size(), count);
}

}  // namespace

namespace {

TEST(FileWriteFault, ParsesTheEnvironmentFormAndRefusesTheRest) {
  FileWriteFault f;
  ASSERT_TRUE(FileParseWriteFault("path=&temp=,nth=2,count=3", &f));
  EXPECT_EQ(f.path, "&temp=");
  EXPECT_EQ(f.nth, 2u);
  EXPECT_EQ(f.count, 3u);
  EXPECT_EQ(f.afterBytes, 0u);
  ASSERT_TRUE(FileParseWriteFault("after=1000,count=0", &f));
  EXPECT_EQ(f.afterBytes, 1000u);
  EXPECT_EQ(f.count, 0u);
  EXPECT_EQ(f.path, "");
  for (const char* bad : {"", "nth=0", "nth=1,after=5", "nth=x", "nth=", "size=3", "nth=1,,", "path=x",
                          "nth=-1", "nth=1234567890123456789"})
    EXPECT_FALSE(FileParseWriteFault(bad, &f)) << bad;
}

// Only writes to matching files count; a fault by bytes puts what fits and
// the disk stays full for `count` writes, then has room again.
TEST_F(FileFault, WritesFailByPathAndAfterABudgetOfBytes) {
  File other, target;
  ASSERT_TRUE(other.Open(Path("other.flv").c_str(), true));
  ASSERT_TRUE(target.Open(Path("phpsessid=s&questionid=4.flv").c_str(), true));
  FileWriteFault fault;
  fault.path = "questionid=4";
  fault.afterBytes = 10;
  fault.count = 2;
  FileArmWriteFaultForTest(fault);
  testing::internal::CaptureStderr();
  EXPECT_TRUE(WriteText(target, "0123456"));
  EXPECT_TRUE(WriteText(other, "0123456789abcdef"));
  EXPECT_FALSE(WriteText(target, "789abc"));
  EXPECT_TRUE(WriteText(other, "x"));
  EXPECT_FALSE(WriteText(target, "d"));
  EXPECT_TRUE(WriteText(target, "ef"));
  const std::string err = testing::internal::GetCapturedStderr();
  // The report names the file that could not be written.
  EXPECT_NE(err.find("Unable to write 6 bytes to file " + Path("phpsessid=s&questionid=4.flv")), std::string::npos)
      << err;
  target.Close();
  other.Close();
  EXPECT_EQ(ReadWholeFile(Path("phpsessid=s&questionid=4.flv")),
            (std::vector<uint8_t>{'0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'e', 'f'}));
  EXPECT_EQ(ReadWholeFile(Path("other.flv")).size(), 17u);

  // The writers that bypass File ask the same hook.
  FileArmWriteFaultForTest(fault);
  size_t fit = 0;
  EXPECT_FALSE(FileInjectWriteFault("a/other.flv", 100, &fit));
  EXPECT_FALSE(FileInjectWriteFault("a/questionid=4.flv", 4, &fit));
  EXPECT_TRUE(FileInjectWriteFault("a/questionid=4.flv", 100, &fit));
  EXPECT_EQ(fit, 6u);
}

// Each editing operation, failing at each of its writes in turn (a small read
// buffer makes many): false, no output left, base and recording byte for
// byte as they were, and the same edit succeeds with room again.
TEST_F(FileFault, EditsFailingAtEachWriteLeaveNoOutputAndTheirInputsIntact) {
  const std::string base = Path("base.flv"), rec = Path("rec.flv"), out = Path("out.flv");
  ASSERT_TRUE(FlvBuilder().Clip(3000, 1).WriteTo(base));
  ASSERT_TRUE(FlvBuilder().Clip(1000, 2).WriteTo(rec));
  const std::vector<uint8_t> baseBytes = ReadWholeFile(base), recBytes = ReadWholeFile(rec);
  FlvReadBufferForTest(200);
  for (bool insert : {true, false}) {
    SCOPED_TRACE(insert);
    auto edit = [&] {
      return insert ? InsertRecording(base.c_str(), 1500, rec.c_str(), out.c_str())
                    : OverwriteRecording(base.c_str(), 1500, rec.c_str(), out.c_str());
    };
    const uint64_t before = FileWriteCountForTest();
    ASSERT_TRUE(edit());
    const std::vector<uint8_t> good = ReadWholeFile(out);
    const uint64_t writes = FileWriteCountForTest() - before;
    ASSERT_GE(writes, 10u);
    fs::remove(out);
    for (uint64_t n = 1; n <= writes; ++n) {
      FileFailWritesForTest(n);
      testing::internal::CaptureStderr();
      EXPECT_FALSE(edit()) << "write " << n;
      const std::string err = testing::internal::GetCapturedStderr();
      EXPECT_NE(err.find("Unable to write"), std::string::npos) << "write " << n;
      EXPECT_EQ(Names(), (std::vector<std::string>{"base.flv", "rec.flv"})) << "write " << n;
    }
    FileFailWritesForTest(0);
    EXPECT_EQ(ReadWholeFile(base), baseBytes);
    EXPECT_EQ(ReadWholeFile(rec), recBytes);
    ASSERT_TRUE(edit());
    EXPECT_EQ(ReadWholeFile(out), good);
    fs::remove(out);
  }
  FlvReadBufferForTest(0);
}

}  // namespace
