// Opus for browser players: what the codec makes decodes (by GStreamer) to
// the source's level, malformed Speex is refused, live gaps are filled, and
// a recording's sidecar is built once, readable while it grows, and made
// again when the recording changes.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cmath>
#include <cstring>
#include <thread>

#include "config/Admission.h"
#include "media/OpusAudio.h"
#include "support/FlvBuilder.h"
#include "support/OggOpus.h"
#include "support/SpeexFrames.h"
#include "support/TestEnv.h"

namespace {

double Rms(const int16_t* pcm, size_t n) {
  double sum = 0;
  for (size_t i = 0; i < n; ++i) sum += double(pcm[i]) * pcm[i];
  return n ? std::sqrt(sum / double(n)) : 0;
}

double Db(double a, double b) { return 20 * std::log10(a / b); }

// Peak amplitude of each 100 ms block (five 20 ms frames): a level that
// changes, with silence between.
const int kLevels[] = {8000, 4000, 2000, 12000, 0, 0, 6000, 1000, 16000, 3000, 0, 9000};

}  // namespace

TEST(OpusAudioTest, TranscodedLevelFollowsSourceThroughAnIndependentDecoder) {
  OpusCodecPtr codec = OpusCodecMake();
  ASSERT_TRUE(codec);
  const std::vector<uint8_t> start = OpusSequenceStart(*codec);
  ASSERT_EQ(start.size(), 24u);
  EXPECT_EQ(start[0], 0x90);
  EXPECT_EQ(std::memcmp(start.data() + 1, "OpusOpusHead", 12), 0);
  EXPECT_EQ(start[14], 1);  // channels
  EXPECT_EQ(start[15] | start[16] << 8, int(OpusPreSkip(*codec)));
  EXPECT_EQ(OpusAudioCodecId(), 0x4F707573u);

  SpeexFrames speex;
  std::vector<std::vector<uint8_t>> packets;
  uint32_t expectTs = 1000;
  for (size_t block = 0; block < std::size(kLevels); ++block) {
    // One block as a tag of two frames and three of one, as recorders vary.
    for (int frames : {2, 1, 1, 1}) {
      std::vector<OpusMessage> out;
      ASSERT_TRUE(OpusTranscode(*codec, expectTs, speex.Tone(kLevels[block], frames), &out));
      ASSERT_EQ(out.size(), size_t(frames));
      for (const OpusMessage& m : out) {
        EXPECT_EQ(m.timestamp, expectTs);
        expectTs += 20;
        ASSERT_GT(m.body.size(), 5u);
        EXPECT_EQ(m.body[0], 0x91);
        EXPECT_EQ(std::memcmp(m.body.data() + 1, "Opus", 4), 0);
        packets.emplace_back(m.body.begin() + 5, m.body.end());
      }
    }
  }

  const std::string dir = TestTempDir("opus");
  ASSERT_TRUE(WriteOggOpusForTest(dir + "/a.opus", uint16_t(OpusPreSkip(*codec)), packets));
  pid_t gst = LaunchGst({"filesrc", "location=" + dir + "/a.opus", "!", "oggdemux", "!", "opusdec", "!",
                         "audioconvert", "!", "audioresample", "!",
                         "audio/x-raw,format=S16LE,rate=16000,channels=1", "!", "filesink",
                         "location=" + dir + "/a.pcm"},
                        dir + "/gst.log");
  int status = 0;
  ASSERT_TRUE(WaitChild(gst, 60000, &status));
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << ReadWholeFile(dir + "/gst.log").size();
  const std::vector<uint8_t> raw = ReadWholeFile(dir + "/a.pcm");
  const size_t samples = raw.size() / 2;
  std::vector<int16_t> pcm(samples);
  std::memcpy(pcm.data(), raw.data(), samples * 2);
  const size_t total = std::size(kLevels) * 1600;
  ASSERT_GE(samples + 320, total);  // pre-skip removed, the whole clip there
  ASSERT_LE(samples, total + 960);

  // The middle 60 ms of each block: codec delays of a few ms stay outside.
  for (size_t block = 0; block < std::size(kLevels); ++block) {
    const size_t from = block * 1600 + 320;
    const double got = Rms(pcm.data() + from, 960);
    if (kLevels[block] == 0) {
      EXPECT_LT(got, 100) << "block " << block;
      continue;
    }
    const double want = kLevels[block] / std::sqrt(2.0);
    EXPECT_LT(std::fabs(Db(got, want)), 3.0) << "block " << block << ": " << got << " vs " << want;
  }
}

TEST(OpusAudioTest, MalformedSpeexIsRefusedAndNothingIsMade) {
  OpusCodecPtr codec = OpusCodecMake();
  ASSERT_TRUE(codec);
  SpeexFrames speex;
  std::vector<uint8_t> longBody(kOpusSpeexMaxBody + 2, 0x55);
  longBody[0] = 0xB2;
  const std::vector<std::vector<uint8_t>> bad = {
      {},                          // empty
      {0xB2},                      // no frame
      {0xAF, 0x01, 0x21, 0x10},    // AAC, not Speex
      longBody,                    // longer than any Speex body
      speex.Tone(4000, 17),        // more frames than a body may carry
  };
  for (size_t i = 0; i < bad.size(); ++i) {
    std::vector<OpusMessage> out;
    EXPECT_FALSE(OpusTranscode(*codec, 0, bad[i], &out)) << i;
    EXPECT_TRUE(out.empty()) << i;
  }
  EXPECT_EQ(OpusRefused(*codec), bad.size());
  // The codec goes on after the refusals.
  std::vector<OpusMessage> out;
  EXPECT_TRUE(OpusTranscode(*codec, 40, speex.Tone(4000), &out));
  EXPECT_EQ(out.size(), 1u);
}

TEST(OpusAudioTest, LiveChannelIsSharedAndFillsGapsWithSilence) {
  OpusChannelSlot slot;
  EXPECT_FALSE(OpusChannelCurrent(slot));
  OpusChannelPtr first = OpusChannelJoin(slot);
  ASSERT_TRUE(first);
  EXPECT_EQ(OpusChannelJoin(slot), first);  // one transcoder per channel
  OpusChannel& ch = *first;

  SpeexFrames speex;
  std::vector<OpusMessage> out;
  EXPECT_EQ(OpusChannelFillGap(ch, 5000, &out), 0u);  // nothing before the first audio
  ASSERT_TRUE(OpusChannelFeed(ch, 1000, speex.Tone(6000), &out));
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].body[0], 0x90);  // sequence start first
  EXPECT_EQ(out[1].timestamp, 1000u);
  out.clear();
  EXPECT_EQ(OpusChannelFillGap(ch, 1100, &out), 0u);  // 80 ms missing: not yet a gap
  EXPECT_EQ(OpusChannelFillGap(ch, 1200, &out), 9u);
  for (size_t i = 0; i < out.size(); ++i) {
    EXPECT_EQ(out[i].timestamp, 1020 + 20 * i);
    EXPECT_EQ(out[i].body[0], 0x91);
  }
  out.clear();
  // Audio stamped inside the filled stretch follows it.
  ASSERT_TRUE(OpusChannelFeed(ch, 1190, speex.Tone(6000), &out));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].timestamp, 1200u);
  out.clear();
  // A long gap is filled up to the cap and the rest skipped.
  EXPECT_EQ(OpusChannelFillGap(ch, 60000, &out), size_t(kOpusMaxGapFrames));
  out.clear();
  ASSERT_TRUE(OpusChannelFeed(ch, 60000, speex.Tone(6000), &out));
  EXPECT_EQ(out[0].timestamp, 60000u);
  // A source stamping its frames a little under 20 ms apart keeps its
  // timestamps (its video's clock): two seconds of it must not drift.
  for (uint32_t i = 1; i <= 100; ++i) {
    out.clear();
    ASSERT_TRUE(OpusChannelFeed(ch, 60000 + 19 * i, speex.Tone(6000), &out));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].timestamp, 60000 + 19 * i);
  }
  out.clear();
  ASSERT_TRUE(OpusChannelFeed(ch, 61900, speex.Tone(6000), &out));  // a repeated timestamp
  EXPECT_EQ(out[0].timestamp, 61901u);  // still after the frame before

  OpusChannelLeave(slot);
  EXPECT_TRUE(OpusChannelCurrent(slot));
  OpusChannelLeave(slot);
  EXPECT_FALSE(OpusChannelCurrent(slot));  // dropped with the last viewer
}

TEST(OpusAudioTest, SidecarIsBuiltOnceReadableWhileBuildingAndRemadeWhenTheFileChanges) {
  const std::string dir = TestTempDir("opus-sidecar");
  const std::string flv = dir + "/clip.flv";
  SpeexFrames speex;
  auto clip = [&](uint32_t durationMs) {
    FlvBuilder b;
    for (uint32_t t = 0; t < durationMs; t += 20) {
      if (t % 1000 == 0) b.Video(t, 40, true);
      b.Raw(8, t, speex.Tone(t % 2000 < 1000 ? 5000 : 0));
    }
    return b;
  };
  ASSERT_TRUE(clip(8000).WriteTo(flv));
  PathText sidecarPath;
  ASSERT_TRUE(OpusSidecarPathOf(sidecarPath, (flv + ".index2").c_str()));
  EXPECT_EQ(std::string(sidecarPath), flv + ".opus");

  OpusSidecarHoldForTest(true);
  const uint64_t builds = OpusSidecarBuildsForTest();
  OpusSidecarPtr a, b;
  std::thread other([&] { b = OpusSidecarOpen(flv.c_str(), sidecarPath); });
  a = OpusSidecarOpen(flv.c_str(), sidecarPath);
  other.join();
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a, b);
  EXPECT_EQ(OpusSidecarBuildsForTest(), builds + 1);

  // The held builder has written its first frames: they are readable now.
  OpusSidecarReader reader;
  OpusMessage tag;
  std::vector<OpusMessage> tags;
  ASSERT_TRUE(TestWaitUntil([&] {
    while (OpusSidecarRead(*a, reader, &tag) == OpusRead::kTag) tags.push_back(tag);
    return tags.size() >= 51;
  }, 30000));
  EXPECT_FALSE(OpusSidecarDone(*a));
  EXPECT_GE(DebugAdmitWorkThreadCount(), 1);  // the builder counts toward admission
  EXPECT_EQ(OpusSidecarRead(*a, reader, &tag), OpusRead::kWait);
  EXPECT_EQ(tags[0].body[0], 0x90);
  EXPECT_EQ(tags[0].timestamp, 0u);
  OpusSidecarHoldForTest(false);
  ASSERT_TRUE(OpusSidecarWait(*a, 60000));
  EXPECT_GT(DebugAdmitTakeWorkCpu(), 0u);
  OpusRead r;
  while ((r = OpusSidecarRead(*a, reader, &tag)) == OpusRead::kTag) tags.push_back(tag);
  EXPECT_EQ(r, OpusRead::kEnd);
  ASSERT_EQ(tags.size(), 1u + 400u);
  for (size_t i = 1; i < tags.size(); ++i) {
    EXPECT_EQ(tags[i].timestamp, 20 * (i - 1));
    EXPECT_EQ(tags[i].body[0], 0x91);
  }
  FlvTestFile parsed;
  EXPECT_TRUE(ReadFlvForTest(sidecarPath, &parsed));  // a whole FLV
  // A play from 3 s: the configuration, then the frames from there.
  OpusSidecarReader later;
  later.from = 3000;
  ASSERT_EQ(OpusSidecarRead(*a, later, &tag), OpusRead::kTag);
  EXPECT_EQ(tag.body[0], 0x90);
  ASSERT_EQ(OpusSidecarRead(*a, later, &tag), OpusRead::kTag);
  EXPECT_EQ(tag.timestamp, 3000u);

  // Complete and current: a later viewer reads it from disk, nothing is built.
  a.reset();
  b.reset();
  OpusSidecarPtr again = OpusSidecarOpen(flv.c_str(), sidecarPath);
  ASSERT_TRUE(again);
  EXPECT_TRUE(OpusSidecarDone(*again));
  EXPECT_EQ(OpusSidecarBuildsForTest(), builds + 1);

  // The recording changes: the sidecar is made again, of the new file.
  ASSERT_TRUE(clip(10000).WriteTo(flv));
  OpusSidecarPtr remade = OpusSidecarOpen(flv.c_str(), sidecarPath);
  ASSERT_TRUE(remade);
  EXPECT_EQ(OpusSidecarBuildsForTest(), builds + 2);
  ASSERT_TRUE(OpusSidecarWait(*remade, 60000));
  OpusSidecarReader fresh;
  size_t count = 0;
  while (OpusSidecarRead(*remade, fresh, &tag) == OpusRead::kTag) ++count;
  EXPECT_EQ(count, 1u + 500u);
}

// The first plays of many files build at most two sidecars at once: a third
// waits (its reader with it) until one of them ends.
TEST(OpusAudioTest, SidecarBuildsAreCappedAndQueuedInOrder) {
  const std::string dir = TestTempDir("opus-cap");
  SpeexFrames speex;
  FlvBuilder b;
  for (uint32_t t = 0; t < 2000; t += 20) b.Raw(8, t, speex.Tone(3000));
  OpusSidecarHoldForTest(true);
  std::vector<OpusSidecarPtr> sidecars;
  for (int i = 0; i < 3; ++i) {
    const std::string flv = dir + "/clip" + std::to_string(i) + ".flv";
    ASSERT_TRUE(b.WriteTo(flv));
    sidecars.push_back(OpusSidecarOpen(flv.c_str(), (flv + ".opus").c_str()));
    ASSERT_TRUE(sidecars.back());
  }
  OpusSidecarReader readers[3];
  OpusMessage tag;
  // The two running ones reach their hold; the third has not begun.
  ASSERT_TRUE(TestWaitUntil([&] {
    for (int i = 0; i < 2; ++i)
      while (OpusSidecarRead(*sidecars[i], readers[i], &tag) == OpusRead::kTag) {
      }
    return sidecars[0]->lastTimestamp.load() > 0 && sidecars[1]->lastTimestamp.load() > 0;
  }, 30000));
  EXPECT_EQ(DebugAdmitWorkThreadCount(), 2);
  EXPECT_EQ(OpusSidecarRead(*sidecars[2], readers[2], &tag), OpusRead::kWait);
  EXPECT_EQ(sidecars[2]->end.load(), 0);
  OpusSidecarHoldForTest(false);
  for (const OpusSidecarPtr& s : sidecars) EXPECT_TRUE(OpusSidecarWait(*s, 60000));
  size_t count = 0;
  while (OpusSidecarRead(*sidecars[2], readers[2], &tag) == OpusRead::kTag) ++count;
  EXPECT_EQ(count, 1u + 100u);
  EXPECT_TRUE(TestWaitUntil([] { return DebugAdmitWorkThreadCount() == 0; }));
}
