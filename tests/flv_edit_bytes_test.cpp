// The bytes of edited files and indexes against expected bytes made
// independently: the tags of the inputs are parsed by the test's own reader,
// the edit is done on those tags in memory, and the expected file is built by
// FlvBuilder. The store reads through a buffer whose size the tests shrink,
// so that tag records fall across its edges at every offset.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "media/RtmpFile.h"
#include "support/FlvBuilder.h"
#include "support/TestEnv.h"

namespace {

struct Tag {
  uint8_t type = 0;
  uint32_t timestamp = 0;
  std::vector<uint8_t> data;
};

std::vector<Tag> TagsOf(const FlvTestFile& f) {
  std::vector<Tag> tags;
  for (const FlvTestTag& t : f.tags) tags.push_back(Tag{t.type, t.timestamp, t.data});
  return tags;
}

std::vector<uint8_t> Build(uint8_t flags, const std::vector<Tag>& tags) {
  FlvBuilder b(flags);
  for (const Tag& t : tags) b.Raw(t.type, t.timestamp, t.data);
  return b.Bytes();
}

Tag Shifted(Tag t, uint64_t by) {
  t.timestamp = uint32_t(t.timestamp + by);
  return t;
}

// Insert on tags: the base up to the start, the whole recording shifted to
// it, then the rest of the base shifted by the recording's latest timestamp.
std::vector<Tag> ModelInsert(const std::vector<Tag>* base, uint32_t start, const std::vector<Tag>& rec,
                             uint32_t duration) {
  std::vector<Tag> out;
  size_t i = 0;
  uint64_t cursor = 0;
  bool recDone = false;
  for (;;) {
    while (cursor < start && base != nullptr) {
      if (i == base->size() || (*base)[i].timestamp > start) {
        cursor = start;
      } else {
        out.push_back((*base)[i]);
        cursor = (*base)[i++].timestamp;
      }
    }
    if (!recDone)
      for (const Tag& t : rec) out.push_back(Shifted(t, start));
    recDone = true;
    if (base == nullptr || i == base->size()) break;
    out.push_back(Shifted((*base)[i], duration));
    cursor = uint64_t((*base)[i++].timestamp) + duration;
  }
  return out;
}

// Overwrite on tags: the base up to the start, the recording shifted to it,
// the base from start + duration on with its own timestamps.
std::vector<Tag> ModelOverwrite(const std::vector<Tag>* base, uint32_t start, const std::vector<Tag>& rec,
                                uint32_t duration) {
  std::vector<Tag> out;
  const uint64_t end = uint64_t(start) + duration;
  size_t i = 0, j = 0;
  uint64_t cursor = base != nullptr ? 0 : start;
  bool begun = false, recDone = false;
  for (;;) {
    if (!recDone && cursor >= start) {
      begun = true;
      if (j == rec.size()) {
        recDone = true;
        cursor = std::max(cursor, end);
      } else {
        out.push_back(Shifted(rec[j], start));
        cursor = uint64_t(rec[j++].timestamp) + start;
      }
      continue;
    }
    if (base == nullptr) break;
    if (i == base->size()) {
      if (cursor >= start) break;
      cursor = start;
      continue;
    }
    const Tag& t = (*base)[i];
    if (!begun) {
      if (t.timestamp > start) {
        cursor = start;
        continue;
      }
    } else if (t.timestamp < end) {
      ++i;
      continue;
    }
    out.push_back(t);
    cursor = t.timestamp;
    ++i;
  }
  return out;
}

// An edit never lets a track go back in time: an audio or video tag stamped
// before its track's last one is written at that one's timestamp.
std::vector<Tag> TracksForward(std::vector<Tag> tags) {
  uint32_t last[2] = {0, 0};
  bool seen[2] = {false, false};
  for (Tag& t : tags) {
    if (t.type != 8 && t.type != 9) continue;
    const int track = t.type == 9 ? 1 : 0;
    if (seen[track] && t.timestamp < last[track]) t.timestamp = last[track];
    seen[track] = true;
    last[track] = t.timestamp;
  }
  return tags;
}

// The index the store must write for `flv`: count big-endian, then one
// little-endian entry per audio and video tag, a cut last tag included.
std::vector<uint8_t> ExpectedIndex(const FlvBuilder& flv) {
  const std::vector<uint8_t> bytes = flv.Bytes();
  std::vector<uint8_t> entries;
  uint32_t count = 0;
  for (uint64_t offset : flv.Offsets()) {
    const uint8_t type = bytes[offset + 4];
    if (type != 8 && type != 9) continue;
    const uint8_t* p = &bytes[offset + 4];
    const uint32_t size = uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
    const uint32_t ts = uint32_t(p[7]) << 24 | uint32_t(p[4]) << 16 | uint32_t(p[5]) << 8 | p[6];
    const uint8_t entry[16] = {type, 0, uint8_t(size), uint8_t(size >> 8), uint8_t(ts), uint8_t(ts >> 8),
                               uint8_t(ts >> 16), uint8_t(ts >> 24), uint8_t(offset), uint8_t(offset >> 8),
                               uint8_t(offset >> 16), uint8_t(offset >> 24), 0, 0, 0, 0};
    entries.insert(entries.end(), entry, entry + 16);
    ++count;
  }
  std::vector<uint8_t> out = {uint8_t(count >> 24), uint8_t(count >> 16), uint8_t(count >> 8), uint8_t(count)};
  out.insert(out.end(), entries.begin(), entries.end());
  return out;
}

class EditBytes : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = TestTempDir("editbytes");
    setenv("STRMD_LOG_DIR", (dir_ + "/logs").c_str(), 1);
  }
  void TearDown() override {
    FlvReadBufferForTest(0);
    std::filesystem::remove_all(dir_);
  }

  // Runs both edits and the index build of `base` (absent when null) and
  // compares every output with the model's bytes.
  void Check(const FlvBuilder* base, const std::vector<uint8_t>* baseBytes, const FlvBuilder& rec,
             uint32_t start, const std::string& what) {
    SCOPED_TRACE(what);
    const std::string basePath = dir_ + "/base.flv", recPath = dir_ + "/rec.flv", outPath = dir_ + "/out.flv";
    std::filesystem::remove(basePath);
    if (base != nullptr) {
      ASSERT_TRUE(WriteWholeFile(basePath, baseBytes ? *baseBytes : base->Bytes()));
    }
    ASSERT_TRUE(rec.WriteTo(recPath));
    FlvTestFile r;
    ASSERT_TRUE(ReadFlvForTest(recPath, &r));
    const std::vector<Tag> recTags = TagsOf(r);
    // The recording ends at its latest tag, which need not be its last.
    uint32_t duration = 0;
    for (const Tag& t : recTags) duration = std::max(duration, t.timestamp);
    std::vector<Tag> baseTags;
    if (base != nullptr) {
      // A base cut short keeps what precedes the cut tag.
      const std::vector<uint8_t> bytes = base->Bytes();
      for (size_t k = 0; k < base->Offsets().size(); ++k) {
        const uint64_t at = base->Offsets()[k];
        const uint32_t size = uint32_t(bytes[at + 5]) << 16 | uint32_t(bytes[at + 6]) << 8 | bytes[at + 7];
        if (at + 15 + size > bytes.size()) break;
        Tag t;
        t.type = bytes[at + 4];
        t.timestamp = uint32_t(bytes[at + 11]) << 24 | uint32_t(bytes[at + 8]) << 16 | uint32_t(bytes[at + 9]) << 8 |
                      bytes[at + 10];
        t.data.assign(bytes.begin() + long(at + 15), bytes.begin() + long(at + 15 + size));
        baseTags.push_back(t);
      }
    }
    const std::vector<Tag>* b = base != nullptr ? &baseTags : nullptr;
    const uint8_t flags = r.header[4];

    ASSERT_TRUE(InsertRecording(basePath.c_str(), start, recPath.c_str(), outPath.c_str()));
    EXPECT_EQ(ReadWholeFile(outPath), Build(flags, TracksForward(ModelInsert(b, start, recTags, duration)))) << "insert";
    ASSERT_TRUE(OverwriteRecording(basePath.c_str(), start, recPath.c_str(), outPath.c_str()));
    EXPECT_EQ(ReadWholeFile(outPath), Build(flags, TracksForward(ModelOverwrite(b, start, recTags, duration)))) << "overwrite";
    if (base != nullptr && baseBytes == nullptr) {
      const std::string index = basePath + ".index2";
      uint32_t count = 0;
      ASSERT_TRUE(BuildIndex(basePath.c_str(), index.c_str(), &count));
      const std::vector<uint8_t> expected = ExpectedIndex(*base);
      EXPECT_EQ(ReadWholeFile(index), expected) << "index";
      EXPECT_EQ(count * 16 + 4, expected.size());
    }
  }

  std::string dir_;
};

// One base and recording, with every buffer size from a header's 15 bytes to
// past the largest record: each record boundary, each header and each data
// byte meets a buffer edge somewhere.
TEST_F(EditBytes, EveryBufferEdgeGivesTheSameBytes) {
  FlvBuilder base;
  base.Script(0, 25).Video(0, 40, true, 'B').Audio(0, 0, 'B').Audio(20, 1, 'B').Video(40, 90, false, 'B');
  base.Audio(40, 17, 'B').Video(80, 33, false, 'B').Audio(80, 12, 'B').Video(120, 64, false, 'B');
  base.Audio(120, 5, 'B').Script(130, 3).Video(160, 130, true, 'B').Audio(200, 9, 'B');
  FlvBuilder rec(4);
  rec.Audio(0, 30, 'R').Audio(20, 2, 'R').Video(40, 150, true, 'R').Audio(40, 11, 'R');
  for (size_t size = 15; size <= 180; ++size) {
    FlvReadBufferForTest(size);
    Check(&base, nullptr, rec, 80, "buffer " + std::to_string(size));
    if (HasFatalFailure() || HasFailure()) return;
  }
}

// Random files (script tags, empty tags, tags larger than the buffer, equal
// and falling timestamps, a last tag cut short) at random starts, missing
// bases, and inputs whose back pointers are wrong.
TEST_F(EditBytes, RandomFilesMatchTheModel) {
  std::mt19937 rng(20261209);
  auto pick = [&](uint32_t n) { return uint32_t(rng() % n); };
  auto random = [&](uint8_t mark, bool mayCut) {
    FlvBuilder f(uint8_t(pick(6)));
    uint32_t ts = pick(3) == 0 ? 0 : pick(500);
    const uint32_t tags = pick(40);
    for (uint32_t k = 0; k < tags; ++k) {
      const uint32_t kind = pick(10);
      const uint32_t size = pick(12) == 0 ? 300 + pick(3000) : pick(120);
      if (kind == 0)
        f.Script(ts, size);
      else
        f.Tag(kind < 5 ? 8 : 9, ts, size, 0x27, mark);
      const uint32_t step = pick(8);
      ts = step == 0 ? ts : step == 1 && ts > 200 ? ts - pick(200) : ts + pick(150);
    }
    if (mayCut && pick(5) == 0) f.CutTag(pick(2) ? 8 : 9, ts, 100 + pick(100), pick(100));
    return f;
  };
  const size_t buffers[] = {15, 16, 40, 97, 256, 1000, 4096, 0};
  for (int round = 0; round < 120; ++round) {
    const FlvBuilder base = random('B', true);
    const FlvBuilder rec = random('R', false);
    uint32_t last = 0;
    for (uint64_t at : base.Offsets()) {
      const std::vector<uint8_t> bytes = base.Bytes();
      last = std::max(last, uint32_t(bytes[at + 8]) << 16 | uint32_t(bytes[at + 9]) << 8 | bytes[at + 10]);
    }
    const uint32_t start = pick(4) == 0 ? 0 : pick(last + 600);
    FlvReadBufferForTest(buffers[round % 8]);
    const std::string what = "round " + std::to_string(round);
    Check(round % 10 == 9 ? nullptr : &base, nullptr, rec, start, what);
    if (HasFailure()) return;
  }
  // The back pointers of the inputs are not copied: the output's follow what
  // it holds.
  FlvBuilder base;
  base.Clip(1000, 'B', 50);
  std::vector<uint8_t> bytes = base.Bytes();
  for (size_t k = 1; k < base.Offsets().size(); k += 3) bytes[base.Offsets()[k] + 2] ^= 0x5A;
  for (size_t size : {size_t(64), size_t(0)}) {
    FlvReadBufferForTest(size);
    Check(&base, &bytes, FlvBuilder().Clip(300, 'R', 50), 500, "wrong back pointers");
  }
}

}  // namespace
