// Reading for playback: the buffered read side of File, and the index that
// the players of one file share.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <numeric>
#include <string>
#include <vector>

#include "media/RtmpFile.h"
#include "media/RtmpStream.h"
#include "support/FlvBuilder.h"
#include "support/TestEnv.h"
#include "util/file.h"

namespace {

class PlaybackReadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = TestTempDir("playread");
    setenv("STRMD_LOG_DIR", (dir_ + "/logs").c_str(), 1);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string Path(const char* name) const { return dir_ + "/" + name; }

  // A file of `size` bytes whose byte i is (i * 7 + i / 251) & 0xFF: no two
  // neighbouring stretches of the buffer's size look alike.
  std::string Pattern(const char* name, size_t size) {
    bytes_.resize(size);
    for (size_t i = 0; i < size; ++i) bytes_[i] = static_cast<uint8_t>(i * 7 + i / 251);
    const std::string path = Path(name);
    EXPECT_TRUE(WriteWholeFile(path, bytes_));
    return path;
  }

  std::string dir_;
  std::vector<uint8_t> bytes_;
};

// Every read, whatever stretch of the buffer it starts in and however far it
// reaches, returns the file's bytes; moves need no read in between.
TEST_F(PlaybackReadTest, BufferedReadsReturnTheFileAcrossEveryEdge) {
  const size_t size = 3 * kFileReadBufferSize + 1234;
  File f;
  ASSERT_TRUE(f.Open(Pattern("p.bin", size).c_str(), false));
  std::vector<uint8_t> got(2 * kFileReadBufferSize);
  auto expectAt = [&](int64_t at, size_t count) {
    ASSERT_EQ(f.Position(), at);
    ASSERT_TRUE(f.Read(got.data(), count)) << "at " << at << " count " << count;
    ASSERT_EQ(0, memcmp(got.data(), bytes_.data() + at, count)) << "at " << at << " count " << count;
    ASSERT_EQ(f.Position(), at + static_cast<int64_t>(count));
  };
  // Small reads straddling the first buffer's end, then one as large as the
  // buffer (read directly), then small ones again after it.
  expectAt(0, 11);
  ASSERT_TRUE(f.SeekTo(kFileReadBufferSize - 5));
  expectAt(kFileReadBufferSize - 5, 11);
  expectAt(kFileReadBufferSize + 6, kFileReadBufferSize);
  expectAt(2 * kFileReadBufferSize + 6, 4);
  // Back over the start of what is buffered, and forward past its end.
  ASSERT_TRUE(f.Back(20));
  expectAt(2 * kFileReadBufferSize - 10, 30);
  ASSERT_TRUE(f.Skip(kFileReadBufferSize - 100));
  expectAt(3 * kFileReadBufferSize - 80, 80 + 1234);
  EXPECT_TRUE(f.AtEnd());
  // Past the end: nothing, the cursor unchanged for the next try.
  uint8_t one = 0;
  EXPECT_FALSE(f.Read(&one, 1));
  EXPECT_FALSE(f.Skip(1));
  ASSERT_TRUE(f.SeekTo(static_cast<int64_t>(size) - 3));
  EXPECT_FALSE(f.Read(got.data(), 4));  // a short read fails as before
  ASSERT_TRUE(f.Rewind());
  expectAt(0, 3);

  // The tag reader over a file whose tags cross buffer edges at every offset.
  FlvBuilder b;
  for (uint32_t i = 0; i < 300; ++i) b.Video(i * 40, 100 + (i * 37) % 900, i % 25 == 0, static_cast<uint8_t>(i));
  const std::string flv = Path("t.flv");
  ASSERT_TRUE(b.WriteTo(flv));
  File g;
  ASSERT_TRUE(g.Open(flv.c_str(), false));
  ASSERT_TRUE(g.Skip(9));
  for (uint32_t i = 0; i < 300; ++i) {
    FlvTagHeader h;
    ASSERT_TRUE(ReadTagHeader(&g, &h)) << i;
    EXPECT_EQ(static_cast<uint64_t>(g.Position()) - 15, b.Offsets()[i]);
    EXPECT_EQ(h.timestamp, i * 40);
    uint8_t lead[2];
    ASSERT_TRUE(g.Read(lead, 2));
    EXPECT_EQ(lead[1], static_cast<uint8_t>(i));
    ASSERT_TRUE(g.Skip(h.dataSize - 2));
  }
}

// The players of one index share one copy; a replaced index file is loaded
// afresh, and nothing stays once no player holds it.
TEST_F(PlaybackReadTest, PlayersShareOneIndexUntilTheFileIsReplaced) {
  FlvBuilder b;
  b.Clip(4000, 1);
  const std::string flv = Path("c.flv");
  const std::string idx = Path("c.flv.index2");
  ASSERT_TRUE(b.WriteTo(flv));
  ASSERT_TRUE(BuildIndex(flv.c_str(), idx.c_str(), nullptr));
  const size_t before = SharedPlayIndexCount();

  IndexLoad r1 = IndexLoad::kFailed, r2 = IndexLoad::kFailed;
  auto first = AcquirePlayIndex(idx.c_str(), &r1);
  auto second = AcquirePlayIndex(idx.c_str(), &r2);
  ASSERT_EQ(r1, IndexLoad::kLoaded);
  ASSERT_EQ(r2, IndexLoad::kLoaded);
  EXPECT_EQ(first.get(), second.get());
  EXPECT_EQ(SharedPlayIndexCount(), before + 1);
  std::vector<IndexEntry> direct;
  ASSERT_EQ(LoadIndex(idx.c_str(), &direct), IndexLoad::kLoaded);
  ASSERT_EQ(first->size(), direct.size());

  // An edit renames a new index into place: the next player gets that one,
  // the ones already playing keep theirs.
  FlvBuilder longer;
  longer.Clip(8000, 2);
  const std::string flv2 = Path("d.flv");
  const std::string idx2 = Path("d.flv.index2");
  ASSERT_TRUE(longer.WriteTo(flv2));
  ASSERT_TRUE(BuildIndex(flv2.c_str(), idx2.c_str(), nullptr));
  ASSERT_EQ(rename(idx2.c_str(), idx.c_str()), 0);
  auto third = AcquirePlayIndex(idx.c_str(), &r1);
  ASSERT_EQ(r1, IndexLoad::kLoaded);
  EXPECT_NE(third.get(), first.get());
  EXPECT_GT(third->size(), first->size());
  EXPECT_EQ(first->size(), direct.size());

  first.reset();
  second.reset();
  third.reset();
  EXPECT_EQ(SharedPlayIndexCount(), before);
  // A missing index is a failure, and nothing is kept for it.
  EXPECT_EQ(AcquirePlayIndex(Path("none.index2").c_str(), &r1), nullptr);
  EXPECT_EQ(r1, IndexLoad::kFailed);
}

}  // namespace
