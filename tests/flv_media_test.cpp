// The rules of audio and video tag headers (legacy and extended video, AAC
// configuration), and an HEVC file made by a real encoder: indexed with its
// key frames, which the same rules tell apart.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

#include "media/FlvMedia.h"
#include "media/RtmpFile.h"
#include "support/FlvBuilder.h"
#include "support/HevcClip.h"
#include "support/TestEnv.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(FlvMedia, VideoHeaderLegacyAndExtended) {
  FlvVideoHeader h;
  EXPECT_FALSE(FlvReadVideoHeader({}, &h));
  ASSERT_TRUE(FlvReadVideoHeader(Bytes{0x27}, &h));
  EXPECT_FALSE(h.extended);
  EXPECT_EQ(h.frameType, 2);
  EXPECT_EQ(h.codecId, 7);
  EXPECT_FALSE(h.hasPacketType);  // AVC without its packet type byte
  // Extended: frame type 1 in bits 4-6, packet type 3, FourCC "av01".
  ASSERT_TRUE(FlvReadVideoHeader(Bytes{0x93, 'a', 'v', '0', '1', 9}, &h));
  EXPECT_TRUE(h.extended);
  EXPECT_EQ(h.frameType, 1);
  EXPECT_EQ(h.packetType, 3);
  EXPECT_EQ(h.fourCc, 0x61763031u);
  // Cut inside the FourCC: too short to say anything.
  EXPECT_FALSE(FlvReadVideoHeader(Bytes{0x93, 'a', 'v', '0'}, &h));
}

TEST(FlvMedia, KeyFramesAndDecoderConfiguration) {
  struct Case {
    Bytes lead;
    uint32_t size;
    bool key;
    bool config;
  };
  const Case cases[] = {
      {{0x17, 1}, 30, true, false},            // AVC key frame
      {{0x17, 0}, 30, false, true},            // AVC sequence header
      {{0x17, 2}, 5, false, false},            // AVC end of sequence
      {{0x27, 1}, 9000, false, false},         // AVC inter frame, however large
      {{0x12}, 10, true, false},               // Sorenson H.263 key frame
      {{0x22}, 9000, false, false},            // and inter frame
      {{0x24}, 5121, true, false},             // other legacy codec: by size
      {{0x14}, 5120, false, false},
      {{0x91, 'h', 'v', 'c', '1'}, 40, true, false},   // extended coded frames, key
      {{0x93, 'h', 'v', 'c', '1'}, 40, true, false},   // ... without composition time
      {{0xA3, 'h', 'v', 'c', '1'}, 9000, false, false},  // inter frame: no size guess
      {{0x90, 'h', 'v', 'c', '1'}, 40, false, true},   // sequence start
      {{0x92, 'h', 'v', 'c', '1'}, 5, false, false},   // sequence end
      {{0x94, 'h', 'v', 'c', '1'}, 40, false, false},  // metadata
      {{0xD1, 'h', 'v', 'c', '1'}, 40, false, false},  // command frame (type 5)
      {{0x91, 'h', 'v'}, 40, false, false},    // cut before the FourCC ends
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FlvIsKeyFrame(c.lead, c.size), c.key) << int(c.lead[0]) << " " << c.size;
    EXPECT_EQ(FlvIsDecoderConfig(9, c.lead), c.config) << int(c.lead[0]);
  }
  EXPECT_TRUE(FlvIsDecoderConfig(8, Bytes{0xAF, 0}));   // AAC sequence header
  EXPECT_FALSE(FlvIsDecoderConfig(8, Bytes{0xAF, 1}));  // AAC frame
  EXPECT_FALSE(FlvIsDecoderConfig(8, Bytes{0xB2, 0}));  // Speex
  EXPECT_FALSE(FlvIsDecoderConfig(8, Bytes{0xAF}));
  EXPECT_FALSE(FlvIsDecoderConfig(18, Bytes{0x17, 0}));
}

TEST(FlvMedia, HevcFileIsIndexedWithItsKeyFrames) {
  if (!HevcClipAvailable()) GTEST_SKIP() << "no x265enc";
  const std::string dir = TestTempDir("flvmedia");
  setenv("STRMD_LOG_DIR", (dir + "/logs").c_str(), 1);
  HevcClip clip;
  ASSERT_TRUE(MakeHevcClip(dir, 3, &clip));
  ASSERT_EQ(clip.frames.size(), 75u);
  std::vector<size_t> keyFrames;
  for (size_t i = 0; i < clip.key.size(); ++i)
    if (clip.key[i]) keyFrames.push_back(i);
  ASSERT_EQ(keyFrames, (std::vector<size_t>{0, 25, 50}));
  const std::string flv = dir + "/hevc.flv", index = flv + ".index2";
  ASSERT_TRUE(WriteWholeFile(flv, HevcClipFlv(clip)));

  uint32_t count = 0;
  ASSERT_TRUE(BuildIndex(flv.c_str(), index.c_str(), &count));
  std::vector<IndexEntry> entries;
  ASSERT_EQ(LoadIndex(index.c_str(), &entries), IndexLoad::kLoaded);
  ASSERT_EQ(entries.size(), 76u);  // the sequence start and every frame
  FlvTestFile parsed;
  ASSERT_TRUE(ReadFlvForTest(flv, &parsed));
  std::vector<uint32_t> keyTimes, configs;
  for (size_t i = 0; i < entries.size(); ++i) {
    ASSERT_EQ(entries[i].offset, parsed.tags[i].offset);
    ASSERT_EQ(entries[i].type, 9);
    const FlvTestTag& tag = parsed.tags[i];
    const std::span<const uint8_t> lead(tag.data.data(), std::min<size_t>(tag.data.size(), kFlvMediaPeekSize));
    if (FlvIsKeyFrame(lead, tag.dataSize)) keyTimes.push_back(entries[i].timestamp);
    if (FlvIsDecoderConfig(tag.type, lead)) configs.push_back(entries[i].timestamp);
  }
  // Most inter frames are above the size that guesses a key frame for legacy
  // codecs: only the frame type tells.
  size_t large = 0;
  for (size_t i = 0; i < clip.frames.size(); ++i)
    if (!clip.key[i] && clip.frames[i].size() > kFlvKeyFrameGuessSize) ++large;
  EXPECT_GT(large, 10u);
  EXPECT_EQ(keyTimes, (std::vector<uint32_t>{0, 1000, 2000}));
  EXPECT_EQ(configs, (std::vector<uint32_t>{0}));
  std::filesystem::remove_all(dir);
}

}  // namespace
