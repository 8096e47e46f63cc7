#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "media/RtmpFile.h"
#include "support/FlvBuilder.h"
#include "support/TestEnv.h"

namespace {

constexpr uint8_t kBase = 'B';
constexpr uint8_t kRec = 'R';

class RtmpFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = TestTempDir("rtmpfile");
    setenv("STRMD_LOG_DIR", (dir_ + "/logs").c_str(), 1);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string Path(const char* name) const { return dir_ + "/" + name; }

  std::string dir_;
};

// Every back pointer equals data size + 11 of the tag before it (0 first),
// including the final one.
void ExpectBackPointersChain(const FlvTestFile& f) {
  uint32_t expected = 0;
  for (const FlvTestTag& t : f.tags) {
    ASSERT_EQ(t.backPointer, expected) << "tag at offset " << t.offset;
    expected = t.dataSize + 11;
  }
  EXPECT_EQ(f.finalBackPointer, expected);
}

std::vector<IndexEntry> Entries(std::initializer_list<uint32_t> timestamps) {
  std::vector<IndexEntry> v;
  for (uint32_t t : timestamps) v.push_back(IndexEntry{9, 0, t, 0});
  return v;
}

// ---- File ----

TEST_F(RtmpFileTest, FileOpenWriteKeepsContentAndSizeIsFixedAtOpen) {
  File missing;
  EXPECT_FALSE(missing.Open(Path("none").c_str(), false));
  EXPECT_FALSE(missing.IsOpen());

  const std::string p = Path("f.bin");
  {
    File f;
    ASSERT_TRUE(f.Open(p.c_str(), true));
    EXPECT_EQ(f.Size(), 0);
    const uint8_t lead[4] = {0x01, 0x02, 0x03, 0x04};
    EXPECT_TRUE(f.Write(lead, sizeof lead));
    EXPECT_TRUE(f.WriteU32(0x05060708));
    const uint8_t tail[6] = {0x09, 0x0A, 0x0B, 0x0C, 'x', 'y'};  // a timestamp as FLV stores it
    EXPECT_TRUE(f.Write(tail, sizeof tail));
    EXPECT_EQ(f.Size(), 0);  // writes do not move the size taken at open
    EXPECT_FALSE(f.Skip(1));
  }
  {
    File f;  // opening for writing again does not truncate
    ASSERT_TRUE(f.Open(p.c_str(), true));
    EXPECT_EQ(f.Size(), 14);
  }
  File f;
  ASSERT_TRUE(f.Open(p.c_str(), false));
  uint8_t u8;
  uint32_t lead, u32, ts;
  ASSERT_TRUE(f.ReadU32(&lead));
  ASSERT_TRUE(f.ReadU32(&u32));
  ASSERT_TRUE(f.ReadTimestamp(&ts));
  EXPECT_EQ(lead, 0x01020304u);
  EXPECT_EQ(u32, 0x05060708u);
  EXPECT_EQ(ts, 0x0C090A0Bu);
  EXPECT_EQ(f.Position(), 12);
  EXPECT_TRUE(f.Skip(2));
  EXPECT_TRUE(f.AtEnd());
  EXPECT_FALSE(f.Skip(1));
  EXPECT_FALSE(f.Read(&u8, 1));
  EXPECT_TRUE(f.Back(14));
  EXPECT_FALSE(f.Back(1));
  EXPECT_TRUE(f.SeekTo(14));
  EXPECT_FALSE(f.SeekTo(15));
  EXPECT_EQ(f.Position(), 14);
}

TEST_F(RtmpFileTest, PathsWithBackslashesReachTheSameFile) {
  EXPECT_EQ(FileSystemPath("a\\b/c\\d.flv"), "a/b/c/d.flv");
  const std::string folder = dir_ + "\\x\\y";
  ASSERT_TRUE(FileCreateFolder(folder.c_str()));
  EXPECT_TRUE(FileFolderExists((dir_ + "/x/y").c_str()));
  const std::string file = folder + "\\f.flv";
  ASSERT_TRUE(FlvBuilder().WriteTo(dir_ + "/x/y/f.flv"));
  EXPECT_TRUE(FileExists(file.c_str()));
  File f;
  EXPECT_TRUE(f.Open(file.c_str(), false));
  EXPECT_TRUE(FileRename(file.c_str(), (dir_ + "/g.flv").c_str()));
  EXPECT_TRUE(FileDelete((dir_ + "\\g.flv").c_str()));
  EXPECT_TRUE(FileDelete((dir_ + "\\g.flv").c_str()));  // already gone: no error
  EXPECT_FALSE(FileExists((dir_ + "/g.flv").c_str()));
}

// ---- Tag header reader and writer ----

TEST_F(RtmpFileTest, TagHeaderRoundTripAndPosition) {
  const std::string p = Path("t.flv");
  {
    File f;
    ASSERT_TRUE(f.Open(p.c_str(), true));
    ASSERT_TRUE(f.Write(std::vector<uint8_t>(9, 0)));
    FlvTagHeader h{0x11223344, 9, 0x000203, 0x7F010203, 0x0A0B0C};
    ASSERT_TRUE(WriteTagHeader(&f, h));
    ASSERT_TRUE(f.Write(std::vector<uint8_t>(0x203, 1)));
    ASSERT_TRUE(f.WriteU32(0x203 + 11));
  }
  const std::vector<uint8_t> bytes = ReadWholeFile(p);
  const std::vector<uint8_t> expectHeader = {0x11, 0x22, 0x33, 0x44, 9, 0x00, 0x02, 0x03,
                                             0x01, 0x02, 0x03, 0x7F, 0x0A, 0x0B, 0x0C};
  ASSERT_GE(bytes.size(), 24u);
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 9, bytes.begin() + 24), expectHeader);

  File f;
  ASSERT_TRUE(f.Open(p.c_str(), false));
  ASSERT_TRUE(f.SeekTo(9));
  FlvTagHeader h;
  ASSERT_TRUE(ReadTagHeader(&f, &h));
  EXPECT_EQ(h.backPointer, 0x11223344u);
  EXPECT_EQ(h.type, 9);
  EXPECT_EQ(h.dataSize, 0x203u);
  EXPECT_EQ(h.timestamp, 0x7F010203u);
  EXPECT_EQ(h.streamId, 0x0A0B0Cu);
  EXPECT_EQ(f.Position(), 24);
  EXPECT_TRUE(TagDataFits(f, h));
  ASSERT_TRUE(f.Skip(h.dataSize));
  EXPECT_FALSE(ReadTagHeader(&f, &h));  // the final back pointer ends the file
  EXPECT_TRUE(f.AtEnd());
  EXPECT_EQ(h.backPointer, 0x203u + 11);  // the final back pointer
  EXPECT_EQ(h.type, 0);
}

TEST_F(RtmpFileTest, TagHeaderReaderRefusesEachCutPlace) {
  std::vector<uint8_t> good = FlvBuilder().Video(1000, 20).Bytes();
  struct Case {
    size_t keep;  // bytes of the file left
    const char* what;
  };
  // 9 header bytes, then back pointer (4) and 11 header bytes.
  for (Case c : {Case{9, "nothing after the file header"}, Case{11, "half a back pointer"},
                 Case{13, "back pointer only: clean end"}, Case{14, "type byte only"},
                 Case{23, "one header byte missing"}}) {
    SCOPED_TRACE(c.what);
    const std::string p = Path("cut.flv");
    ASSERT_TRUE(WriteWholeFile(p, std::span(good.data(), c.keep)));
    File f;
    ASSERT_TRUE(f.Open(p.c_str(), false));
    ASSERT_TRUE(f.SeekTo(9));
    FlvTagHeader h;
    EXPECT_FALSE(ReadTagHeader(&f, &h));
    EXPECT_EQ(h.type, 0);
    EXPECT_EQ(h.dataSize, 0u);
  }
  // All 11 header bytes but no data: the header is read; its data does not fit.
  const std::string p = Path("nodata.flv");
  ASSERT_TRUE(WriteWholeFile(p, std::span(good.data(), 24)));
  File f;
  ASSERT_TRUE(f.Open(p.c_str(), false));
  ASSERT_TRUE(f.SeekTo(9));
  FlvTagHeader h;
  ASSERT_TRUE(ReadTagHeader(&f, &h));
  EXPECT_EQ(h.dataSize, 20u);
  EXPECT_FALSE(TagDataFits(f, h));
}

TEST_F(RtmpFileTest, CorruptSizeClaimIsNotTrusted) {
  // A 1 KiB file whose last tag claims 16 MiB of data.
  FlvBuilder b;
  b.Audio(0, 900).CutTag(8, 40, 0xFFFFFF, 1024 - 9 - 15 - 900 - 15 - 4);
  std::vector<uint8_t> bytes = b.Bytes();
  bytes.resize(1024, 0);
  const std::string flv = Path("corrupt.flv");
  ASSERT_TRUE(WriteWholeFile(flv, bytes));

  uint32_t count = 0;
  ASSERT_TRUE(BuildIndex(flv.c_str(), Path("corrupt.idx").c_str(), &count));
  EXPECT_EQ(count, 2u);  // the corrupt tag is listed and ends the scan

  // Used as a recording: only the sound tag is copied; nothing is read or
  // written for the claim.
  const std::string out = Path("out.flv");
  EXPECT_TRUE(InsertRecording(nullptr, 0, flv.c_str(), out.c_str()));
  FlvTestFile f;
  ASSERT_TRUE(ReadFlvForTest(out, &f));
  ASSERT_EQ(f.tags.size(), 1u);
  EXPECT_EQ(f.tags[0].dataSize, 900u);
}

TEST_F(RtmpFileTest, LastTimestampFollowsTheFinalBackPointer) {
  const std::string p = Path("l.flv");
  ASSERT_TRUE(FlvBuilder().Video(0).Audio(40).Video(0x01000010, 33).WriteTo(p));
  File f;
  ASSERT_TRUE(f.Open(p.c_str(), false));
  EXPECT_EQ(LastTimestamp(&f), 0x01000010u);

  // A final back pointer that points before the first tag, or is too small to
  // hold a header, gives 0 instead of a read at a wild offset.
  std::vector<uint8_t> bytes = ReadWholeFile(p);
  for (uint32_t bad : {uint32_t(bytes.size()), 0xFFFFFFFFu, 5u}) {
    SCOPED_TRACE(bad);
    bytes[bytes.size() - 4] = uint8_t(bad >> 24);
    bytes[bytes.size() - 3] = uint8_t(bad >> 16);
    bytes[bytes.size() - 2] = uint8_t(bad >> 8);
    bytes[bytes.size() - 1] = uint8_t(bad);
    ASSERT_TRUE(WriteWholeFile(p, bytes));
    File g;
    ASSERT_TRUE(g.Open(p.c_str(), false));
    EXPECT_EQ(LastTimestamp(&g), 0u);
  }
}

// ---- Index ----

TEST_F(RtmpFileTest, HeaderOnlyFileGivesAnEmptyIndexThatIsRefused) {
  const std::string flv = Path("empty.flv");
  const std::string idx = Path("empty.flv.index2");
  ASSERT_TRUE(FlvBuilder().WriteTo(flv));
  uint32_t count = 99;
  ASSERT_TRUE(BuildIndex(flv.c_str(), idx.c_str(), &count));
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(ReadWholeFile(idx), (std::vector<uint8_t>{0, 0, 0, 0}));
  std::vector<IndexEntry> entries;
  EXPECT_EQ(LoadIndex(idx.c_str(), &entries), IndexLoad::kEmpty);
  EXPECT_TRUE(entries.empty());

  // Script data alone is no playable media either.
  ASSERT_TRUE(FlvBuilder().Script(0).WriteTo(flv));
  ASSERT_TRUE(BuildIndex(flv.c_str(), idx.c_str(), &count));
  EXPECT_EQ(LoadIndex(idx.c_str(), &entries), IndexLoad::kEmpty);
}

TEST_F(RtmpFileTest, IndexListsAudioAndVideoButNeverScript) {
  const std::string flv = Path("a.flv");
  const std::string idx = Path("a.flv.index2");
  FlvBuilder b;
  b.Script(0, 50).Video(0, 70000, true).Audio(0, 12).Script(10).Video(40, 30).Audio(0x01000000, 9);
  ASSERT_TRUE(b.WriteTo(flv));
  ASSERT_TRUE(BuildIndex(flv.c_str(), idx.c_str()));

  const std::vector<uint8_t> raw = ReadWholeFile(idx);
  ASSERT_EQ(raw.size(), 4u + 4 * 16);
  EXPECT_EQ(raw[3], 4);  // big-endian count
  std::vector<IndexEntry> e;
  ASSERT_EQ(LoadIndex(idx.c_str(), &e), IndexLoad::kLoaded);
  ASSERT_EQ(e.size(), 4u);
  const auto& off = b.Offsets();
  EXPECT_EQ(e[0].type, 9);
  EXPECT_EQ(e[0].size, 70000 & 0xFFFF);
  EXPECT_EQ(e[0].offset, off[1]);
  EXPECT_EQ(e[1].type, 8);
  EXPECT_EQ(e[1].offset, off[2]);
  EXPECT_EQ(e[2].timestamp, 40u);
  EXPECT_EQ(e[2].offset, off[4]);
  EXPECT_EQ(e[3].timestamp, 0x01000000u);
  EXPECT_EQ(e[3].offset, off[5]);
}

TEST_F(RtmpFileTest, IndexStopsAtCutShortLastTagWhichIsListed) {
  const std::string flv = Path("cut.flv");
  const std::string idx = Path("cut.flv.index2");
  FlvBuilder b;
  b.Video(0).Audio(20).Video(40, 500).CutTag(9, 80, 400, 100);
  ASSERT_TRUE(b.WriteTo(flv));
  uint32_t count = 0;
  ASSERT_TRUE(BuildIndex(flv.c_str(), idx.c_str(), &count));
  EXPECT_EQ(count, 4u);
  std::vector<IndexEntry> e;
  ASSERT_EQ(LoadIndex(idx.c_str(), &e), IndexLoad::kLoaded);
  EXPECT_EQ(e[3].timestamp, 80u);
  EXPECT_EQ(e[3].offset, b.Offsets()[3]);
}

TEST_F(RtmpFileTest, IndexEntriesKeepOffsetsBeyond4GiB) {
  const IndexEntry e{9, 0xBEEF, 0x80000001u, 0x0000000123456789ull};
  uint8_t raw[16];
  EncodeIndexEntry(e, raw);
  const uint8_t expect[16] = {9, 0, 0xEF, 0xBE, 0x01, 0, 0, 0x80,
                              0x89, 0x67, 0x45, 0x23, 0x01, 0, 0, 0};
  EXPECT_EQ(0, memcmp(raw, expect, 16));
  const IndexEntry d = DecodeIndexEntry(raw);
  EXPECT_EQ(d.offset, e.offset);
  EXPECT_EQ(d.timestamp, e.timestamp);

  // A sparse file: 257 video tags of 16 MiB - 1 put the last one past 4 GiB.
  const std::string flv = Path("big.flv");
  {
    File f;
    ASSERT_TRUE(f.Open(flv.c_str(), true));
    ASSERT_TRUE(f.Write(FlvBuilder().Bytes().data(), 9));
    uint64_t pos = 9;
    uint32_t back = 0;
    for (uint32_t i = 0; i < 257; ++i) {
      ASSERT_EQ(lseek(f._handle, off_t(pos), SEEK_SET), off_t(pos));
      ASSERT_TRUE(WriteTagHeader(&f, FlvTagHeader{back, 9, kFlvMaxDataSize, i * 40, 0}));
      pos += 15 + kFlvMaxDataSize;
      back = kFlvMaxDataSize + 11;
    }
    ASSERT_EQ(lseek(f._handle, off_t(pos), SEEK_SET), off_t(pos));
    ASSERT_TRUE(f.WriteU32(back));
  }
  const std::string idx = Path("big.flv.index2");
  uint32_t count = 0;
  ASSERT_TRUE(BuildIndex(flv.c_str(), idx.c_str(), &count));
  ASSERT_EQ(count, 257u);
  std::vector<IndexEntry> entries;
  ASSERT_EQ(LoadIndex(idx.c_str(), &entries), IndexLoad::kLoaded);
  const uint64_t lastOffset = 9 + 256ull * (15 + kFlvMaxDataSize);
  EXPECT_GT(lastOffset, 0x100000000ull);
  EXPECT_EQ(entries[256].offset, lastOffset);
  File f;
  ASSERT_TRUE(f.Open(flv.c_str(), false));
  ASSERT_TRUE(f.SeekTo(int64_t(entries[256].offset)));
  FlvTagHeader h;
  ASSERT_TRUE(ReadTagHeader(&f, &h));
  EXPECT_EQ(h.timestamp, 256u * 40);
}

TEST_F(RtmpFileTest, IndexCountBeyondTheFileIsRefusedBeforeAllocating) {
  const std::string idx = Path("x.index2");
  std::vector<uint8_t> raw = {0xFF, 0xFF, 0xFF, 0xFF};
  raw.resize(4 + 16, 0);
  ASSERT_TRUE(WriteWholeFile(idx, raw));
  std::vector<IndexEntry> e;
  EXPECT_EQ(LoadIndex(idx.c_str(), &e), IndexLoad::kFailed);
  raw[0] = raw[1] = raw[2] = 0;
  raw[3] = 2;  // one more than it holds
  ASSERT_TRUE(WriteWholeFile(idx, raw));
  EXPECT_EQ(LoadIndex(idx.c_str(), &e), IndexLoad::kFailed);
  raw[3] = 1;
  ASSERT_TRUE(WriteWholeFile(idx, raw));
  EXPECT_EQ(LoadIndex(idx.c_str(), &e), IndexLoad::kLoaded);
  EXPECT_EQ(LoadIndex(Path("missing").c_str(), &e), IndexLoad::kFailed);
}

TEST_F(RtmpFileTest, IndexBeingBuiltIsNeverSeenHalfWritten) {
  // Two players of a new object: one builds the index while the other finds
  // the index file and loads it. What it finds must be the whole index, never
  // the provisional count 0 (refused as "no media") or a part of the entries.
  const std::string flv = Path("long.flv");
  const std::string idx = Path("long.flv.index2");
  constexpr uint32_t kTags = 60000;
  FlvBuilder builder(4);
  for (uint32_t i = 0; i < kTags; ++i) builder.Audio(i * 20, 1);
  ASSERT_TRUE(builder.WriteTo(flv));
  for (int round = 0; round < 3; ++round) {
    std::filesystem::remove(idx);
    std::atomic<bool> done{false};
    std::thread build([&] {
      EXPECT_TRUE(BuildIndex(flv.c_str(), idx.c_str()));
      done = true;
    });
    int partial = 0, loaded = 0;
    std::vector<IndexEntry> entries;
    while (!done) {
      if (!FileExists(idx.c_str())) continue;
      const IndexLoad result = LoadIndex(idx.c_str(), &entries);
      if (result == IndexLoad::kLoaded && entries.size() == kTags)
        ++loaded;
      else
        ++partial;
    }
    build.join();
    EXPECT_EQ(partial, 0) << "round " << round << ", complete loads " << loaded;
    ASSERT_EQ(LoadIndex(idx.c_str(), &entries), IndexLoad::kLoaded);
    EXPECT_EQ(entries.size(), kTags);
  }
  // Nothing of the builds is left beside the index.
  size_t files = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir_))
    if (e.is_regular_file()) ++files;
  EXPECT_EQ(files, 2u);
}

TEST(FindIndexEntry, GivesANeighbourOfTheTime) {
  const auto e = Entries({0, 100, 200});
  EXPECT_EQ(e[FindIndexEntry(e, 150)].timestamp, 200u);
  EXPECT_EQ(e[FindIndexEntry(e, 50)].timestamp, 0u);
  EXPECT_EQ(e[FindIndexEntry(e, 100)].timestamp, 100u);
  EXPECT_EQ(FindIndexEntry(e, 5000), 2u);

  // Below the first entry the upper bound steps under 0; the result stays 0.
  const auto f = Entries({100, 200, 300, 400});
  EXPECT_EQ(FindIndexEntry(f, 50), 0u);
  EXPECT_EQ(FindIndexEntry(Entries({7}), 1), 0u);
  EXPECT_EQ(FindIndexEntry({}, 1), 0u);
}

TEST(BuildSegments, CutsAtGapsAboveTwoSeconds) {
  auto s = BuildSegments(Entries({0, 40, 80, 3000, 3040}));
  ASSERT_EQ(s.size(), 2u);
  EXPECT_EQ(s[0].start, 0);
  EXPECT_EQ(s[0].end, 80);
  EXPECT_EQ(s[1].start, 3000);
  EXPECT_EQ(s[1].end, 3040);

  s = BuildSegments(Entries({5000, 5040}));
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0].start, 5000);
  EXPECT_EQ(s[0].end, 5040);

  // Exactly 2000 ms is no gap; a lone timestamp is replaced by the next stretch.
  s = BuildSegments(Entries({0, 2000, 9000, 20000, 20040}));
  ASSERT_EQ(s.size(), 2u);
  EXPECT_EQ(s[0].end, 2000);
  EXPECT_EQ(s[1].start, 20000);

  s = BuildSegments({});
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0].end, 0);
}

TEST(BuildSegments, StopsAtOneHundredPlusTheLast) {
  auto stretches = [](int n) {
    std::vector<IndexEntry> v;
    for (int i = 0; i < n; ++i) {
      v.push_back(IndexEntry{9, 0, uint32_t(i * 10000), 0});
      v.push_back(IndexEntry{9, 0, uint32_t(i * 10000 + 40), 0});
    }
    return v;
  };
  EXPECT_EQ(BuildSegments(stretches(99)).size(), 99u);
  EXPECT_EQ(BuildSegments(stretches(100)).size(), 100u);
  EXPECT_EQ(BuildSegments(stretches(101)).size(), 101u);
  EXPECT_EQ(BuildSegments(stretches(150)).size(), 101u);
}

// ---- Editing ----

class EditTest : public RtmpFileTest {
 protected:
  void SetUp() override {
    RtmpFileTest::SetUp();
    base_ = Path("base.flv");
    rec_ = Path("rec.flv");
    out_ = Path("out.flv");
  }
  FlvTestFile Output() {
    FlvTestFile f;
    EXPECT_TRUE(ReadFlvForTest(out_, &f));
    ExpectBackPointersChain(f);
    return f;
  }
  std::string base_, rec_, out_;
};

TEST_F(EditTest, InsertTenSecondsAtFiveIntoTwenty) {
  ASSERT_TRUE(FlvBuilder(5).Clip(20000, kBase).WriteTo(base_));
  ASSERT_TRUE(FlvBuilder(4).Clip(10000, kRec).WriteTo(rec_));
  ASSERT_TRUE(InsertRecording(base_.c_str(), 5000, rec_.c_str(), out_.c_str()));

  FlvTestFile f = Output();
  EXPECT_EQ(f.header[4], 4);  // the recording's flags
  ASSERT_FALSE(f.tags.empty());
  EXPECT_EQ(f.tags.back().timestamp, 30000u);
  size_t fromBase = 0, fromRec = 0;
  uint32_t prev = 0;
  for (const FlvTestTag& t : f.tags) {
    EXPECT_GE(t.timestamp, prev);
    prev = t.timestamp;
    if (t.data[1] == kRec) {
      ++fromRec;
      EXPECT_GE(t.timestamp, 5000u);
      EXPECT_LE(t.timestamp, 15000u);
    } else {
      ++fromBase;
      // A second base tag at exactly 5 s counts as the rest of the base.
      EXPECT_TRUE(t.timestamp <= 5000 || t.timestamp >= 15000) << t.timestamp;
    }
  }
  EXPECT_EQ(fromRec, 2u * 101);
  EXPECT_EQ(fromBase, 2u * 201);
}

TEST_F(EditTest, OverwriteReplacesFiveToFifteen) {
  ASSERT_TRUE(FlvBuilder(5).Script(0).Clip(20000, kBase).WriteTo(base_));
  ASSERT_TRUE(FlvBuilder(5).Clip(10000, kRec).WriteTo(rec_));
  ASSERT_TRUE(OverwriteRecording(base_.c_str(), 5000, rec_.c_str(), out_.c_str()));

  FlvTestFile f = Output();
  ASSERT_FALSE(f.tags.empty());
  EXPECT_EQ(f.tags.front().type, 18);  // editing copies script data
  EXPECT_EQ(f.tags.back().timestamp, 20000u);
  size_t fromRec = 0;
  for (const FlvTestTag& t : f.tags) {
    if (t.type == 18) continue;
    if (t.timestamp > 5000 && t.timestamp < 15000) {
      EXPECT_EQ(t.data[1], kRec) << t.timestamp;
    } else if (t.timestamp < 5000 || t.timestamp > 15000) {
      EXPECT_EQ(t.data[1], kBase) << t.timestamp;
    }
    fromRec += t.data[1] == kRec;
  }
  EXPECT_EQ(fromRec, 2u * 101);
}

TEST_F(EditTest, MissingBaseShiftsTheRecordingAndMissingRecordingDoesNothing) {
  ASSERT_TRUE(FlvBuilder().Clip(1000, kRec).WriteTo(rec_));
  for (bool insert : {true, false}) {
    SCOPED_TRACE(insert);
    const bool ok = insert ? InsertRecording(Path("nobase").c_str(), 700, rec_.c_str(), out_.c_str())
                           : OverwriteRecording(Path("nobase").c_str(), 700, rec_.c_str(), out_.c_str());
    ASSERT_TRUE(ok);
    FlvTestFile f = Output();
    ASSERT_EQ(f.tags.size(), 22u);
    EXPECT_EQ(f.tags.front().timestamp, 700u);
    EXPECT_EQ(f.tags.back().timestamp, 1700u);
  }
  FileDelete(out_.c_str());
  EXPECT_FALSE(InsertRecording(base_.c_str(), 0, Path("norec").c_str(), out_.c_str()));
  EXPECT_FALSE(OverwriteRecording(base_.c_str(), 0, Path("norec").c_str(), out_.c_str()));
  EXPECT_FALSE(FileExists(out_.c_str()));
  // An output that cannot be created is a failure the caller can see, and a
  // recording too short for a header leaves no output behind.
  EXPECT_FALSE(InsertRecording(nullptr, 0, rec_.c_str(), Path("no/such/out.flv").c_str()));
  ASSERT_TRUE(WriteWholeFile(rec_, std::vector<uint8_t>{'F', 'L', 'V'}));
  EXPECT_FALSE(OverwriteRecording(nullptr, 0, rec_.c_str(), out_.c_str()));
  EXPECT_FALSE(FileExists(out_.c_str()));
  // An output naming an input would destroy it before it is read.
  ASSERT_TRUE(FlvBuilder().Clip(1000, kBase).WriteTo(base_));
  EXPECT_FALSE(InsertRecording(base_.c_str(), 0, rec_.c_str(), base_.c_str()));
  EXPECT_EQ(ReadWholeFile(base_), FlvBuilder().Clip(1000, kBase).Bytes());
}

TEST_F(EditTest, TagsLargerThanTheCopyBufferAreCopiedWhole) {
  const uint32_t big = uint32_t(kEditBufferSize) * 2 + 12345;
  ASSERT_TRUE(FlvBuilder().Video(0, 40, true, kBase).Video(2000, 40, false, kBase).WriteTo(base_));
  ASSERT_TRUE(FlvBuilder().Video(0, big, true, kRec).Audio(40, 10, kRec).WriteTo(rec_));
  FlvTestFile in;
  ASSERT_TRUE(ReadFlvForTest(rec_, &in));
  for (bool insert : {true, false}) {
    SCOPED_TRACE(insert);
    ASSERT_TRUE(insert ? InsertRecording(base_.c_str(), 1000, rec_.c_str(), out_.c_str())
                       : OverwriteRecording(base_.c_str(), 1000, rec_.c_str(), out_.c_str()));
    FlvTestFile f = Output();
    ASSERT_EQ(f.tags.size(), 4u);
    EXPECT_EQ(f.tags[1].dataSize, big);
    EXPECT_EQ(f.tags[1].data, in.tags[0].data);
    EXPECT_EQ(f.tags[1].timestamp, 1000u);
  }
}

TEST_F(EditTest, RecordingOfTimestampZeroEndsAndKeepsTheBase) {
  ASSERT_TRUE(FlvBuilder().Clip(2000, kBase).WriteTo(base_));
  ASSERT_TRUE(FlvBuilder().Video(0, 30, true, kRec).Audio(0, 10, kRec).WriteTo(rec_));
  for (bool insert : {false, true}) {
    SCOPED_TRACE(insert);
    ASSERT_TRUE(insert ? InsertRecording(base_.c_str(), 1000, rec_.c_str(), out_.c_str())
                       : OverwriteRecording(base_.c_str(), 1000, rec_.c_str(), out_.c_str()));
    FlvTestFile f = Output();
    ASSERT_EQ(f.tags.size(), 2u * 21 + 2);
    std::vector<uint32_t> baseTimes;
    for (const FlvTestTag& t : f.tags) {
      if (t.data[1] == kRec)
        EXPECT_EQ(t.timestamp, 1000u);
      else
        baseTimes.push_back(t.timestamp);
    }
    ASSERT_EQ(baseTimes.size(), 42u);
    for (size_t i = 0; i < baseTimes.size(); ++i) EXPECT_EQ(baseTimes[i], (i / 2) * 100);
    EXPECT_EQ(f.tags[22].data[1], kRec);  // placed right after the base's tags at 1000
  }
}

TEST_F(EditTest, InsertKeepsTheBaseTailWhenTheRecordingIsCutShort) {
  // The recording claims 3 s (its last tag) but a corrupt size at 1 s hides
  // the rest from a forward read.
  FlvBuilder b;
  b.Clip(3000, kRec, 500);
  std::vector<uint8_t> rec = b.Bytes();
  const size_t sizeField = b.Offsets()[4] + 5;  // the video tag at 1000
  ASSERT_EQ(rec[sizeField - 1], 9);
  rec[sizeField] = 0x7F;
  ASSERT_TRUE(WriteWholeFile(rec_, rec));
  ASSERT_TRUE(FlvBuilder().Clip(2000, kBase, 500).WriteTo(base_));
  ASSERT_TRUE(InsertRecording(base_.c_str(), 1000, rec_.c_str(), out_.c_str()));
  FlvTestFile f = Output();
  std::vector<uint32_t> baseAfter;
  for (const FlvTestTag& t : f.tags)
    if (t.data[1] == kBase && t.timestamp > 1000) baseAfter.push_back(t.timestamp);
  // The second base tag at 1000 and those at 1500 and 2000, shifted by the
  // recording's 3 s.
  EXPECT_EQ(baseAfter, (std::vector<uint32_t>{4000, 4500, 4500, 5000, 5000}));
}

// ---- Real media ----

// The demo media made with GStreamer reads back through the store: every tag
// indexed, one continuous stretch, key frames where the encoder put them, and
// a session that can be edited.
TEST_F(RtmpFileTest, DemoMediaIsIndexedAndEdited) {
  if (system("command -v gst-launch-1.0 >/dev/null 2>&1") != 0) GTEST_SKIP() << "no GStreamer";
  const std::string flv = Path("demo.flv");
  const std::string cmd =
      TestSourceDir() + "/scripts/make-demo-media.sh " + flv + " 4 >/dev/null 2>&1";
  ASSERT_EQ(system(cmd.c_str()), 0);

  FlvTestFile demo;
  ASSERT_TRUE(ReadFlvForTest(flv, &demo));
  EXPECT_EQ(demo.header[4], kFlvFlagAudio | kFlvFlagVideo);
  ExpectBackPointersChain(demo);
  size_t av = 0, keys = 0;
  for (const FlvTestTag& t : demo.tags) {
    av += t.type == kFlvTagAudio || t.type == kFlvTagVideo;
    if (t.type == kFlvTagVideo && t.data.size() > 1 && t.data[0] == 0x17 && t.data[1] == 1) ++keys;
    if (t.type == kFlvTagAudio) {
      EXPECT_EQ(t.data.at(0), 0xB2);  // Speex, as voice detection expects
    }
  }
  EXPECT_EQ(keys, 2u);  // one every 2 s

  const std::string idx = flv + kIndexSuffix;
  uint32_t count = 0;
  ASSERT_TRUE(BuildIndex(flv.c_str(), idx.c_str(), &count));
  EXPECT_EQ(count, av);
  std::vector<IndexEntry> entries;
  ASSERT_EQ(LoadIndex(idx.c_str(), &entries), IndexLoad::kLoaded);
  const auto segments = BuildSegments(entries);
  ASSERT_EQ(segments.size(), 1u);
  EXPECT_GT(segments[0].end, 3800);
  File f;
  ASSERT_TRUE(f.Open(flv.c_str(), false));
  EXPECT_EQ(LastTimestamp(&f), demo.tags.back().timestamp);

  const std::string out = Path("twice.flv");
  ASSERT_TRUE(InsertRecording(flv.c_str(), 2000, flv.c_str(), out.c_str()));
  FlvTestFile twice;
  ASSERT_TRUE(ReadFlvForTest(out, &twice));
  ExpectBackPointersChain(twice);
  EXPECT_EQ(twice.tags.size(), 2 * demo.tags.size());
}

// ---- Naming rules ----

TEST(RtmpFilePaths, RecordingPathsAndTheirRefusals) {
  PathText p;
  ASSERT_TRUE(SessionRecordingPath(p, "/t", "abc", "rec1?startpos=12.5&insert=1"));
  EXPECT_STREQ(p, "/t\\phpsessid=abc&rec1?startpos=12.5&insert=1.flv");
  for (const char* bad : {"../x", "a/b", "a\\b", "..", ""}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(StreamNameIsSafe(bad));
    EXPECT_FALSE(SessionRecordingPath(p, "/t", "abc", bad));
    EXPECT_STREQ(p, "");
    EXPECT_FALSE(SessionRecordingPath(p, "/t", bad, "x"));
  }
  // A path that would not fit 1023 characters is refused, not cut.
  const std::string folder(1023 - std::string("\\phpsessid=s&n.flv").size(), 'f');
  EXPECT_TRUE(SessionRecordingPath(p, folder.c_str(), "s", "n"));
  EXPECT_EQ(strlen(p), 1023u);
  EXPECT_FALSE(SessionRecordingPath(p, (folder + "f").c_str(), "s", "n"));
  EXPECT_STREQ(p, "");

  ASSERT_TRUE(FinishedRecordingPath(p, "/t", "s", 7, 9));
  EXPECT_STREQ(p, "/t\\phpsessid=s&questionid=7.flv");
  ASSERT_TRUE(FinishedRecordingPath(p, "/t", "s", 0, 9));
  EXPECT_STREQ(p, "/t\\phpsessid=s&bookmarkid=9.flv");
  ASSERT_TRUE(FinishedRecordingPath(p, "/t", "s", 0, 0));
  EXPECT_STREQ(p, "/t\\phpsessid=s.flv");
  ASSERT_TRUE(EditOutputPath(p, "/t", "s", 0xAB));
  EXPECT_STREQ(p, "/t/phpsessid=s&temp=000000ab.flv");
  ASSERT_TRUE(IndexPathOf(p, "/t/x.flv"));
  EXPECT_STREQ(p, "/t/x.flv.index2");
}

TEST(RtmpFilePaths, ObjectPaths) {
  PathText p;
  ASSERT_TRUE(ObjectIndexPath(p, "/c", 42));
  EXPECT_STREQ(p, "/c\\42.flv.index2");
  ASSERT_TRUE(RenditionPath(p, "/c", "42-480.flv", 3));
  EXPECT_STREQ(p, "/c/42-480.flv");
  ASSERT_TRUE(RenditionPath(p, "/c", "42-480.flv", 2));
  EXPECT_STREQ(p, "");
  ASSERT_TRUE(ObjectPicturePath(p, "/f", 5));
  EXPECT_STREQ(p, "/f/object-5.png");
  ASSERT_TRUE(ObjectPictureAddress(p, 5));
  EXPECT_STREQ(p, "/contents/object-5.png");
  ASSERT_TRUE(ThumbnailFolderPath(p, "/c", 5));
  EXPECT_STREQ(p, "/c\\thumbnails-5");

  ASSERT_TRUE(ObjectFilePath(p, "/f", 1, "v.flv", 3, "/imports"));
  EXPECT_STREQ(p, "/imports\\v.flv");
  ASSERT_TRUE(ObjectFilePath(p, "/f", 1, "v.flv", 3, "http://host/x"));
  EXPECT_STREQ(p, "/f\\v.flv");
  EXPECT_FALSE(ObjectFilePath(p, "/f", 1, "v.flv", 3, nullptr));
  EXPECT_STREQ(p, "");
  ASSERT_TRUE(ObjectFilePath(p, "/f", 2, "v.flv", 0, nullptr));
  EXPECT_STREQ(p, "/f");
  ASSERT_TRUE(ObjectFilePath(p, "/f", 1, "sub\\v.flv", 0, nullptr));
  EXPECT_STREQ(p, "/f\\sub\\v.flv");
  ASSERT_TRUE(ObjectFilePath(p, "/f", 1, "sub/./v..flv", 0, nullptr));
  EXPECT_STREQ(p, "/f\\sub/./v..flv");
}

TEST(RtmpFilePaths, NamesFromTheDatabaseStayInTheirFolders) {
  for (const char* good : {"v.flv", "a/b.flv", "a\\b.flv", "..x.flv", "x..", "a/.../b", "./v.flv"}) {
    SCOPED_TRACE(good);
    EXPECT_TRUE(PathPartIsConfined(good));
  }
  const char* bad[] = {"..", "../v.flv", "..\\v.flv", "a/../../v.flv", "a\\..\\..\\v.flv", "a/..",
                       "/srv/v.flv", "\\\\srv\\v.flv", "\\v.flv", "C:\\m\\v.flv", "C:v.flv", "",
                       ".", "a/.", "a\\", "a/"};
  PathText p;
  for (const char* name : bad) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(PathPartIsConfined(name));
    // As an object's own file, under an import folder, and as a rendition.
    EXPECT_FALSE(ObjectFilePath(p, "/f", 1, name, 0, nullptr));
    EXPECT_STREQ(p, "");
    EXPECT_FALSE(ObjectFilePath(p, "/f", 1, name, 3, "/imports"));
    EXPECT_STREQ(p, "");
    EXPECT_FALSE(ObjectFilePath(p, "/f", 1, name, 3, "http://host/x"));
    EXPECT_FALSE(RenditionPath(p, "/c", name, 3));
    EXPECT_STREQ(p, "");
  }
  EXPECT_FALSE(PathPartIsConfined(std::string_view("v.flv\0../x", 11)));
  // A web address is no file the server can open.
  EXPECT_FALSE(ObjectFilePath(p, "/f", 1, "http://h/v.flv", 0, nullptr));
  // An import folder is the root of its names: it must be absolute, or a web
  // import's address (whose objects lie in the files folder). Anything else
  // would be taken from the server's working folder.
  for (const char* folder : {"", "imports", "HTTP://host/x", "https://host/x", "C:\\imports"}) {
    SCOPED_TRACE(folder);
    EXPECT_FALSE(ObjectFilePath(p, "/f", 1, "v.flv", 3, folder));
    EXPECT_STREQ(p, "");
  }
  ASSERT_TRUE(ObjectFilePath(p, "/f", 1, "v.flv", 3, "\\\\srv\\imports"));
  EXPECT_STREQ(p, "\\\\srv\\imports\\v.flv");
  // A site without a files or cache folder would make every name absolute.
  EXPECT_FALSE(ObjectFilePath(p, "", 1, "v.flv", 0, nullptr));
  EXPECT_FALSE(ObjectFilePath(p, nullptr, 1, "v.flv", 3, "http://host/x"));
  EXPECT_FALSE(RenditionPath(p, "", "42-480.flv", 3));
  EXPECT_STREQ(p, "");
  // A rendition that is not ready has no path, whatever its name.
  EXPECT_TRUE(RenditionPath(p, "/c", "../v.flv", 5));
  EXPECT_STREQ(p, "");
}

TEST(RtmpFilePaths, FlvExtensionRule) {
  EXPECT_TRUE(IsFlvFileName("a.flv"));
  EXPECT_TRUE(IsFlvFileName("a.b.FLV"));
  EXPECT_TRUE(IsFlvFileName("X.FLV"));
  EXPECT_TRUE(IsFlvFileName("dir.d/x.Flv"));
  EXPECT_FALSE(IsFlvFileName("x.f"));
  EXPECT_FALSE(IsFlvFileName("x.fl"));
  EXPECT_FALSE(IsFlvFileName("x."));
  EXPECT_FALSE(IsFlvFileName("x.flvx"));
  EXPECT_FALSE(IsFlvFileName("x.flv.mp4"));
  EXPECT_FALSE(IsFlvFileName("a.lv"));
  EXPECT_FALSE(IsFlvFileName("a.mp4"));
  EXPECT_FALSE(IsFlvFileName("a.flvx"));
  EXPECT_FALSE(IsFlvFileName(".flv"));  // the dot may not be the first character
  EXPECT_FALSE(IsFlvFileName("flv"));
}

}  // namespace
