// The test client's chunk reader, chunk writer, AMF0 codec and FLV reader,
// shared by the tests and the load generator: a fault there would show as a
// server fault in a test or in the benchmark's table.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/AmfHelpers.h"
#include "support/TestEnv.h"
#include "testclient/TestChunks.h"
#include "testclient/TestFlv.h"

using namespace testclient;

namespace {

struct Got {
  uint32_t channel, type, streamId, timestamp, size;
  std::vector<uint8_t> body;
};

// Feeds `bytes` in pieces of `step` (keeping what the reader did not take,
// as the generator does); -1 when the reader refused the stream.
long FeedAll(ChunkReader* reader, const std::vector<uint8_t>& bytes, size_t step, std::vector<Got>* out) {
  std::vector<uint8_t> pending;
  for (size_t at = 0; at < bytes.size(); at += step) {
    pending.insert(pending.end(), bytes.begin() + long(at), bytes.begin() + long(std::min(bytes.size(), at + step)));
    const long used = reader->Feed(pending, [&](const ChunkMessage& m) {
      out->push_back({m.channel, m.type, m.streamId, m.timestamp, m.size, {m.body.begin(), m.body.end()}});
    });
    if (used < 0) return -1;
    pending.erase(pending.begin(), pending.begin() + used);
  }
  return long(pending.size());
}

std::vector<uint8_t> Bytes(size_t n, uint8_t seed) {
  std::vector<uint8_t> b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t(seed + i * 7);
  return b;
}

}  // namespace

TEST(TestClientChunk, WrittenMessagesReadBackWhateverTheChunkSizeAndHowTheBytesArrive) {
  const std::vector<uint8_t> command = Bytes(300, 1), video = Bytes(5000, 2);
  for (uint32_t chunk : {128u, 4096u}) {
    std::vector<uint8_t> stream;
    ChunkWrite(stream, 3, kMsgCommand, 0, 0, command, chunk);
    ChunkWrite(stream, 6, kMsgVideo, 1, 40, video, chunk);
    ChunkWrite(stream, 4, kMsgAudio, 1, 0x01234567, {}, chunk);  // extended timestamp, empty marker
    ChunkWrite(stream, 400, kMsgVideo, 1, 0x01234600, video, chunk);  // 3-byte basic header, extended
    for (size_t step : {size_t(1), size_t(7), stream.size()}) {
      ChunkReader reader;
      reader.SetChunkSize(chunk);
      std::vector<Got> got;
      ASSERT_EQ(FeedAll(&reader, stream, step, &got), 0) << chunk << " " << step;
      ASSERT_EQ(got.size(), 4u);
      EXPECT_EQ(got[0].body, command);
      EXPECT_EQ(got[0].channel, 3u);
      EXPECT_EQ(got[1].type, kMsgVideo);
      EXPECT_EQ(got[1].streamId, 1u);
      EXPECT_EQ(got[1].timestamp, 40u);
      EXPECT_EQ(got[1].size, 5000u);
      // Media bodies are not kept beyond what tells a marker or a header.
      EXPECT_EQ(got[1].body, std::vector<uint8_t>(video.begin(), video.begin() + 2));
      EXPECT_EQ(got[2].timestamp, 0x01234567u);
      EXPECT_EQ(got[2].size, 0u);
      EXPECT_EQ(got[3].channel, 400u);
      EXPECT_EQ(got[3].timestamp, 0x01234600u);
    }
  }
}

TEST(TestClientChunk, CompressedHeadersCarryTheTimestampForward) {
  // fmt 0 at 1000, then fmt 1 (+20, new size and type), fmt 2 (+30) and a
  // fmt 3 message that repeats the last delta: what servers send for media.
  std::vector<uint8_t> s = {0x06, 0x00, 0x03, 0xE8, 0, 0, 2, 9, 1, 0, 0, 0, 0xAA, 0xBB};
  const std::vector<uint8_t> more = {0x46, 0, 0, 20, 0, 0, 1, 8, 0xCC,
                                     0x86, 0, 0, 30, 0xDD,
                                     0xC6, 0xEE};
  s.insert(s.end(), more.begin(), more.end());
  ChunkReader reader;
  std::vector<Got> got;
  ASSERT_EQ(FeedAll(&reader, s, 1, &got), 0);
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0].timestamp, 1000u);
  EXPECT_EQ(got[1].timestamp, 1020u);
  EXPECT_EQ(got[1].type, kMsgAudio);
  EXPECT_EQ(got[1].streamId, 1u);
  EXPECT_EQ(got[2].timestamp, 1050u);
  EXPECT_EQ(got[3].timestamp, 1080u);
  EXPECT_EQ(got[3].body, std::vector<uint8_t>{0xEE});
}

TEST(TestClientChunk, MalformedStreamsAreRefused) {
  {
    SCOPED_TRACE("compressed header on a channel never opened");
    ChunkReader reader;
    std::vector<Got> got;
    EXPECT_EQ(FeedAll(&reader, {0x45, 0, 0, 0, 0, 0, 1, 8, 0}, 1, &got), -1);
  }
  {
    SCOPED_TRACE("a new full header in the middle of a message");
    std::vector<uint8_t> s;
    ChunkWrite(s, 3, kMsgCommand, 0, 0, Bytes(200, 3), 128);
    s.resize(12 + 128);
    ChunkWrite(s, 3, kMsgCommand, 0, 0, Bytes(10, 3), 128);
    ChunkReader reader;
    std::vector<Got> got;
    EXPECT_EQ(FeedAll(&reader, s, s.size(), &got), -1);
    EXPECT_TRUE(got.empty());
  }
  {
    SCOPED_TRACE("a command body above the kept-body cap");
    std::vector<uint8_t> s = {0x03, 0, 0, 0, 0x10, 0x00, 0x01, kMsgCommand, 0, 0, 0, 0};
    ChunkReader reader;
    std::vector<Got> got;
    EXPECT_EQ(FeedAll(&reader, s, s.size(), &got), -1);
  }
  {
    SCOPED_TRACE("more channels than the cap");
    std::vector<uint8_t> s;
    for (uint32_t c = 3; c < 3 + kMaxChannels + 1; ++c) {
      std::vector<uint8_t> one(1, 0);
      ChunkWrite(s, c, kMsgCommand, 0, 0, one, 128);
    }
    ChunkReader reader;
    std::vector<Got> got;
    EXPECT_EQ(FeedAll(&reader, s, s.size(), &got), -1);
    EXPECT_EQ(got.size(), kMaxChannels);
  }
}

// The blocking client's reader: whole media bodies, reads that stop at the end
// of the chunk in progress (so a slow test reader leaves the rest in the
// socket), and a continuation chunk that drops the repeated extended
// timestamp refused.
TEST(TestClientChunk, BlockingModeKeepsWholeBodiesReadsNoFurtherThanAMessageAndChecksRepeats) {
  const std::vector<uint8_t> video = Bytes(5000, 4), command = Bytes(300, 5);
  std::vector<uint8_t> first, stream;
  ChunkWrite(first, 6, kMsgVideo, 1, 0x01234567, video, 128);
  stream = first;
  ChunkWrite(stream, 3, kMsgCommand, 0, 0, command, 128);
  ChunkReader reader;
  reader.keepMedia = true;
  reader.maxBody = kMaxBodySize;
  reader.checkRepeatedTimestamp = true;
  std::vector<Got> got;
  std::vector<size_t> endedAt;
  std::vector<uint8_t> pending;
  size_t at = 0;
  while (at < stream.size()) {
    const size_t take = reader.Needed();
    ASSERT_GT(take, 0u);
    ASSERT_LE(at + take, stream.size()) << "read past the stream at " << at;
    pending.insert(pending.end(), stream.begin() + long(at), stream.begin() + long(at + take));
    at += take;
    const long used = reader.Feed(pending, [&](const ChunkMessage& m) {
      got.push_back({m.channel, m.type, m.streamId, m.timestamp, m.size, {m.body.begin(), m.body.end()}});
      endedAt.push_back(at);
    });
    ASSERT_GE(used, 0) << reader.error();
    pending.erase(pending.begin(), pending.begin() + used);
  }
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].body, video);
  EXPECT_EQ(got[0].timestamp, 0x01234567u);
  EXPECT_EQ(endedAt[0], first.size());
  EXPECT_EQ(got[1].body, command);

  std::vector<uint8_t> bare;
  ChunkWrite(bare, 6, kMsgVideo, 1, 0x01234567, video, 128, false);
  ChunkReader strict;
  strict.keepMedia = true;
  strict.checkRepeatedTimestamp = true;
  got.clear();
  EXPECT_EQ(FeedAll(&strict, bare, bare.size(), &got), -1);
  EXPECT_NE(strict.error().find("repeated extended timestamp"), std::string::npos) << strict.error();
}

// The HTTP-FLV players' reader: whole tags however the body arrives, a
// timestamp's high byte, and a stream that is not FLV or holds an oversized
// tag refused.
TEST(TestClientFlvStream, TagsReadBackHoweverTheBytesArriveAndBadStreamsAreRefused) {
  auto tag = [](std::vector<uint8_t>* s, uint8_t type, uint32_t ts, const std::vector<uint8_t>& body) {
    const uint32_t n = uint32_t(body.size());
    const uint8_t h[11] = {type, uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n), uint8_t(ts >> 16), uint8_t(ts >> 8),
                           uint8_t(ts), uint8_t(ts >> 24), 0, 0, 0};
    s->insert(s->end(), h, h + 11);
    s->insert(s->end(), body.begin(), body.end());
    const uint32_t back = 11 + n;
    s->insert(s->end(), {uint8_t(back >> 24), uint8_t(back >> 16), uint8_t(back >> 8), uint8_t(back)});
  };
  std::vector<uint8_t> stream = {'F', 'L', 'V', 1, 5, 0, 0, 0, 9, 0, 0, 0, 0};
  tag(&stream, kMsgData, 0, Bytes(40, 1));
  tag(&stream, kMsgVideo, 0x01234567, Bytes(5000, 2));
  tag(&stream, kMsgAudio, 20, Bytes(1, 3));
  for (size_t step : {size_t(1), size_t(7), stream.size()}) {
    FlvStreamReader reader;
    std::vector<Got> got;
    std::vector<uint8_t> pending;
    for (size_t at = 0; at < stream.size(); at += step) {
      pending.insert(pending.end(), stream.begin() + long(at), stream.begin() + long(std::min(stream.size(), at + step)));
      const long used = reader.Feed(pending, [&](const ChunkMessage& m) {
        got.push_back({0, m.type, 0, m.timestamp, m.size, {m.body.begin(), m.body.end()}});
      });
      ASSERT_GE(used, 0) << step;
      pending.erase(pending.begin(), pending.begin() + used);
    }
    EXPECT_TRUE(pending.empty()) << step;
    ASSERT_EQ(got.size(), 3u) << step;
    EXPECT_EQ(got[0].type, kMsgData);
    EXPECT_EQ(got[1].timestamp, 0x01234567u);
    EXPECT_EQ(got[1].body, Bytes(5000, 2));
    EXPECT_EQ(got[2].type, kMsgAudio);
    EXPECT_EQ(got[2].timestamp, 20u);
  }
  FlvStreamReader notFlv;
  const std::vector<uint8_t> text = {'H', 'T', 'T', 'P', '/', '1', '.', '1', ' ', '2'};
  EXPECT_EQ(notFlv.Feed(text, [](const ChunkMessage&) {}), -1);
  FlvStreamReader capped;
  capped.maxTag = 4096;
  EXPECT_EQ(capped.Feed(stream, [](const ChunkMessage&) {}), -1);
}

TEST(TestClientAmf, ReadsWhatTheProjectsEncodingLooksLikeAndWritesWhatItReads) {
  const std::vector<uint8_t> reply = amf::Body(
      {amf::Str("onStatus"), amf::Num(0), amf::Null(),
       amf::Obj({{"level", amf::Str("status")}, {"code", amf::Str("NetStream.Play.Start")},
                 {"meta", amf::Ecma({{"duration", amf::Num(60)}, {"ok", amf::Bool(true)}})},
                 {"list", amf::Arr({amf::Num(1), amf::Undefined()})},
                 {"long", amf::Str(std::string(70000, 'x'))}})});
  std::vector<amf::Node> v;
  ASSERT_TRUE(amf::Read(reply, &v, nullptr, amf::kMaxReplyDepth));
  ASSERT_EQ(v.size(), 4u);
  EXPECT_EQ(v[0].text, "onStatus");
  EXPECT_EQ(v[2].kind, amf::Kind::kNull);
  EXPECT_EQ(v[3].Get("code").text, "NetStream.Play.Start");
  EXPECT_EQ(v[3].Get("meta").Get("duration").number, 60);
  EXPECT_EQ(v[3].Get("meta").Get("ok").kind, amf::Kind::kBoolean);
  EXPECT_EQ(v[3].Get("meta").Get("ok").number, 1);
  EXPECT_EQ(v[3].Get("list").items.size(), 2u);
  EXPECT_EQ(v[3].Get("long").text.size(), 70000u);
  EXPECT_TRUE(v[3].Get("missing").IsMissing());

  // What the client writes, the project's decoder reads as the same values.
  const std::vector<amf::Node> connect = {
      amf::Str("connect"), amf::Num(1), amf::Obj({{"app", amf::Str("default")}, {"fpad", amf::Bool(false)}}),
      amf::Null()};
  const std::vector<uint8_t> mine = amf::Body(connect);
  std::vector<amf::Node> project;
  ASSERT_TRUE(amf::DecodeWithProject(mine, &project));
  EXPECT_TRUE(amf::Equivalent(project, connect)) << amf::ToString(project);
}

TEST(TestClientAmf, TruncatedLyingOrTooDeepValuesAreRefused) {
  const std::vector<uint8_t> good = amf::Body({amf::Str("_result"), amf::Num(2), amf::Null(), amf::Num(1)});
  for (size_t cut = 1; cut < good.size(); ++cut) {
    std::vector<amf::Node> v;
    const std::vector<uint8_t> part(good.begin(), good.begin() + long(cut));
    // A cut that falls between two values leaves a shorter valid body.
    if (cut == 10 || cut == 19 || cut == 20) continue;
    EXPECT_FALSE(amf::Read(part, &v)) << cut;
  }
  std::vector<amf::Node> v;
  EXPECT_FALSE(amf::Read(std::vector<uint8_t>{0x0A, 0xFF, 0xFF, 0xFF, 0xFF, 0x05}, &v));  // count lies
  EXPECT_FALSE(amf::Read(std::vector<uint8_t>{0x03, 0, 1, 'a', 0x05, 0, 0, 0x08}, &v));    // bad end marker
  EXPECT_FALSE(amf::Read(std::vector<uint8_t>{0x10}, &v));                                  // unknown kind
  std::vector<uint8_t> deep;
  for (int i = 0; i < 12; ++i) {
    deep.push_back(0x03);
    deep.insert(deep.end(), {0, 1, 'a'});
  }
  deep.push_back(0x05);
  EXPECT_FALSE(amf::Read(deep, &v, nullptr, amf::kMaxReplyDepth));
}

TEST(TestClientFlv, ReadsTheMediaTagsOfAFileAndItsLength) {
  const std::string path = TestTempDir("bench_flv") + "/clip.flv";
  std::vector<uint8_t> f = {'F', 'L', 'V', 1, 5, 0, 0, 0, 9, 0, 0, 0, 0};
  auto tag = [&](uint8_t type, uint32_t ts, std::vector<uint8_t> data) {
    f.push_back(type);
    f.insert(f.end(), {uint8_t(data.size() >> 16), uint8_t(data.size() >> 8), uint8_t(data.size())});
    f.insert(f.end(), {uint8_t(ts >> 16), uint8_t(ts >> 8), uint8_t(ts), uint8_t(ts >> 24), 0, 0, 0});
    f.insert(f.end(), data.begin(), data.end());
    const uint32_t back = uint32_t(11 + data.size());
    f.insert(f.end(), {uint8_t(back >> 24), uint8_t(back >> 16), uint8_t(back >> 8), uint8_t(back)});
  };
  tag(18, 0, {2, 0, 1, 'x'});
  tag(9, 0, {0x17, 0});
  tag(8, 20, {0xB2, 1, 2});
  tag(9, 0x01000040, {0x27, 1});
  FILE* out = fopen(path.c_str(), "wb");
  ASSERT_NE(out, nullptr);
  fwrite(f.data(), 1, f.size() - 3, out);  // the last back pointer cut short
  fclose(out);
  uint32_t duration = 0;
  const std::vector<FlvTag> tags = FlvReadTags(path, &duration);
  ASSERT_EQ(tags.size(), 2u);  // the data tag skipped, the cut tag dropped
  EXPECT_EQ(tags[1].type, 8);
  EXPECT_EQ(tags[1].timestamp, 20u);
  EXPECT_EQ(tags[1].data, (std::vector<uint8_t>{0xB2, 1, 2}));
  EXPECT_EQ(duration, 20u);
  EXPECT_TRUE(FlvReadTags(path + ".missing", &duration).empty());
}
