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

struct FileFault : ::testing::Test {
  std::string dir = TestTempDir("filefault");
  void TearDown() override {
    FileFailWritesForTest(0);
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
  EXPECT_TRUE(file.WriteText("abcd"));
  EXPECT_FALSE(file.WriteText("efgh"));
  EXPECT_EQ(errno, ENOSPC);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("No space left on device - Unable to write 4 bytes to file"), std::string::npos) << err;
  EXPECT_TRUE(file.WriteText("ijkl"));  // only the one write
  file.Close();
  EXPECT_EQ(ReadWholeFile(Path("f")), (std::vector<uint8_t>{'a', 'b', 'c', 'd', 'e', 'f', 'i', 'j', 'k', 'l'}));

  // Every write from the n-th on, until turned off.
  ASSERT_TRUE(file.Open(Path("g").c_str(), true));
  FileFailWritesForTest(1, true);
  testing::internal::CaptureStderr();
  const uint64_t before = FileWriteCountForTest();
  EXPECT_FALSE(file.WriteU8(1));
  EXPECT_FALSE(file.WriteU32(2));
  FileFailWritesForTest(0);
  EXPECT_TRUE(file.WriteU8(3));
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
