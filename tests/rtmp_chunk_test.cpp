// The chunk reader and writer on one end of a socketpair, the project's own
// client on the other.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>
#include <thread>

#include "rtmp/RtmpCore.h"
#include "rtmp/RtmpUtils.h"
#include "support/ChunkReader.h"
#include "testclient/RtmpClient.h"

namespace {

struct Link {
  Link() {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    context.sockbuf.readWaitMs = 3000;
    EXPECT_EQ(RtmpContextInit(&context, fds[0]), 1);
    client.Adopt(fds[1]);
    context.sockbuf.writeObserver = [this](std::span<const uint8_t> bytes) {
      writes.emplace_back(bytes.begin(), bytes.end());
    };
  }
  ~Link() {
    RtmpContextFree(&context);
    RtmpShutdown(&context);
  }
  // Reads chunks until one message is complete; 0 when a read failed.
  int ReadMessage(RtmpPacket* packet) {
    for (;;) {
      if (!TestReadChunk(&context, packet)) return 0;
      if (packet->m_nBytesRead == packet->m_nBodySize) return 1;
    }
  }
  RtmpContext context;
  RtmpClient client;
  std::vector<std::vector<uint8_t>> writes;
};

std::vector<uint8_t> Pattern(size_t n, uint8_t seed = 0) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; i++) bytes[i] = static_cast<uint8_t>(i * 7 + seed);
  return bytes;
}

// A packet owning a body with the given content.
struct OutMessage {
  OutMessage(int channel, uint8_t headerType, uint32_t timestamp, const std::vector<uint8_t>& body,
             uint8_t type = 9, int32_t streamId = 1) {
    packet.m_nChannel = channel;
    packet.m_nHeaderType = headerType;
    packet.m_nTimestamp = timestamp;
    packet.m_nMessageType = type;
    packet.m_nStreamId = streamId;
    packet.m_nBodySize = static_cast<uint32_t>(body.size());
    if (!body.empty()) {
      RtmpPacketAlloc(&packet, packet.m_nBodySize);
      std::copy(body.begin(), body.end(), packet.m_body);
    }
  }
  ~OutMessage() { RtmpPacketFree(&packet); }
  RtmpPacket packet;
};

std::vector<uint8_t> BodyOf(const RtmpPacket& packet) {
  return {packet.m_body, packet.m_body + packet.m_nBodySize};
}

}  // namespace

TEST(ChunkWriter, SplitsAtChunkSizeWithContinuationHeadersInPlace) {
  Link link;
  const auto body = Pattern(300);
  OutMessage m(3, 0, 0, body);
  ASSERT_EQ(RtmpWriteMessage(&link.context, &m.packet), 1);
  ASSERT_EQ(link.writes.size(), 3u);
  EXPECT_EQ(link.writes[0].size(), 12u + 128);
  EXPECT_EQ(link.writes[1].size(), 1u + 128);
  EXPECT_EQ(link.writes[2].size(), 1u + 44);
  EXPECT_EQ(link.writes[0][0], 0x03);
  EXPECT_EQ(link.writes[1][0], 0xC3);
  EXPECT_EQ(link.writes[2][0], 0xC3);
  auto got = link.client.ReadMessage();
  ASSERT_TRUE(got) << link.client.error();
  EXPECT_EQ(got->body, body);
  EXPECT_EQ(got->channel, 3u);
  EXPECT_EQ(got->type, 9);
  EXPECT_EQ(got->streamId, 1u);
}

TEST(ChunkWriter, TimestampDeltasAndExtendedTimestamps) {
  Link link;
  OutMessage a(4, 0, 1000, Pattern(10));
  OutMessage b(4, 1, 1040, Pattern(10));
  ASSERT_EQ(RtmpWriteMessage(&link.context, &a.packet), 1);
  ASSERT_EQ(RtmpWriteMessage(&link.context, &b.packet), 1);
  ASSERT_EQ(link.writes.size(), 2u);
  EXPECT_EQ(link.writes[1].size(), 8u + 10);
  EXPECT_EQ(link.writes[1][0], 0x44);
  EXPECT_EQ(std::vector<uint8_t>(link.writes[1].begin() + 1, link.writes[1].begin() + 4),
            (std::vector<uint8_t>{0, 0, 40}));

  // A delta of exactly 0xFFFFFF needs the extended field.
  OutMessage c(4, 2, 1040 + 0xFFFFFF, Pattern(10));
  ASSERT_EQ(RtmpWriteMessage(&link.context, &c.packet), 1);
  ASSERT_EQ(link.writes.size(), 3u);
  EXPECT_EQ(link.writes[2].size(), 4u + 4 + 10);
  EXPECT_EQ(std::vector<uint8_t>(link.writes[2].begin() + 1, link.writes[2].begin() + 8),
            (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0x00, 0xFF, 0xFF, 0xFF}));

  OutMessage d(5, 0, 0x12345678, Pattern(300));
  ASSERT_EQ(RtmpWriteMessage(&link.context, &d.packet), 1);
  EXPECT_EQ(link.writes[3].size(), 16u + 128);
  EXPECT_EQ(link.writes[4].size(), 5u + 128);  // the extended field is repeated after type 3

  for (uint32_t expected : {1000u, 1040u, 1040u + 0xFFFFFF, 0x12345678u}) {
    auto got = link.client.ReadMessage();
    ASSERT_TRUE(got) << link.client.error();
    EXPECT_EQ(got->timestamp, expected);
  }
}

TEST(ChunkWriter, RefusesHeaderTypeAboveThreeAndKeepsTheConnection) {
  Link link;
  OutMessage bad(3, 5, 0, Pattern(10));
  EXPECT_EQ(RtmpWriteMessage(&link.context, &bad.packet), 0);
  EXPECT_TRUE(link.writes.empty());
  OutMessage good(3, 0, 0, Pattern(10));
  EXPECT_EQ(RtmpWriteMessage(&link.context, &good.packet), 1);
  EXPECT_NE(RtmpSocketFd(&link.context), -1);
}

TEST(ChunkWriter, UsesTheNegotiatedChunkSize) {
  Link link;
  ASSERT_TRUE(RtmpSetChunkSize(&link.context, 4096));
  link.client.inChunkSize = 4096;
  const auto body = Pattern(10000);
  OutMessage m(3, 0, 0, body);
  ASSERT_EQ(RtmpWriteMessage(&link.context, &m.packet), 1);
  ASSERT_EQ(link.writes.size(), 3u);
  EXPECT_EQ(link.writes[0].size(), 12u + 4096);
  EXPECT_EQ(link.writes[1].size(), 1u + 4096);
  EXPECT_EQ(link.writes[2].size(), 1u + 1808);
  auto got = link.client.ReadMessage();
  ASSERT_TRUE(got);
  EXPECT_EQ(got->body, body);
}

TEST(ChunkWriter, ChunkBiggerThanOneQueueEntryIsSentWhole) {
  Link link;
  ASSERT_TRUE(RtmpSetChunkSize(&link.context, 70000));
  link.client.inChunkSize = 70000;
  const auto body = Pattern(140005);
  OutMessage m(3, 0, 0, body);
  std::optional<RtmpClientMessage> got;
  std::thread reader([&] { got = link.client.ReadMessage(5000); });
  ASSERT_EQ(RtmpWriteMessage(&link.context, &m.packet), 1);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (RtmpOutputPending(&link.context) && std::chrono::steady_clock::now() < deadline) {
    pollfd p{RtmpSocketFd(&link.context), POLLOUT, 0};
    poll(&p, 1, 100);
    ASSERT_EQ(RtmpFlushOutput(&link.context), 1);
  }
  reader.join();
  ASSERT_TRUE(got) << link.client.error();
  EXPECT_EQ(got->body, body);
}

TEST(ChunkWriter, LongBasicHeadersForHighChannelIds) {
  Link link;
  for (uint32_t channel : {64u, 319u, 320u, 65599u}) {
    link.writes.clear();
    const auto body = Pattern(200, static_cast<uint8_t>(channel));
    OutMessage m(static_cast<int>(channel), 0, 7, body);
    ASSERT_EQ(RtmpWriteMessage(&link.context, &m.packet), 1);
    ASSERT_EQ(link.writes.size(), 2u);
    const size_t extra = channel >= 320 ? 2 : 1;
    EXPECT_EQ(link.writes[0].size(), 12 + extra + 128);
    EXPECT_EQ(link.writes[1].size(), 1 + extra + 72);
    EXPECT_EQ(link.writes[1][0], extra == 2 ? 0xC1 : 0xC0);
    EXPECT_EQ(link.writes[1][1], static_cast<uint8_t>(channel - 64));
    auto got = link.client.ReadMessage();
    ASSERT_TRUE(got) << link.client.error();
    EXPECT_EQ(got->channel, channel);
    EXPECT_EQ(got->body, body);
  }
  OutMessage beyond(65600, 0, 0, Pattern(4));
  EXPECT_EQ(RtmpWriteMessage(&link.context, &beyond.packet), 0);
}

TEST(ChunkReader, InterleavedChunkStreamsCompleteSeparately) {
  Link link;
  const auto a = Pattern(300, 1), b = Pattern(50, 2);
  std::span<const uint8_t> as(a);
  ASSERT_TRUE(link.client.SendChunk(0, 4, 100, 300, 9, 1, as.subspan(0, 128)));
  ASSERT_TRUE(link.client.SendChunk(0, 5, 200, 50, 8, 1, b));
  ASSERT_TRUE(link.client.SendChunk(3, 4, 0, 0, 0, 0, as.subspan(128, 128)));
  ASSERT_TRUE(link.client.SendChunk(3, 4, 0, 0, 0, 0, as.subspan(256)));

  RtmpPacket packet;
  ASSERT_EQ(TestReadChunk(&link.context, &packet), 1);
  EXPECT_EQ(packet.m_nBytesRead, 128u);
  EXPECT_EQ(packet.m_body, nullptr);
  ASSERT_EQ(TestReadChunk(&link.context, &packet), 1);
  EXPECT_EQ(packet.m_nChannel, 5);
  EXPECT_EQ(BodyOf(packet), b);
  EXPECT_EQ(packet.m_nTimestamp, 200u);
  ASSERT_EQ(TestReadChunk(&link.context, &packet), 1);
  EXPECT_EQ(packet.m_nBytesRead, 256u);
  ASSERT_EQ(TestReadChunk(&link.context, &packet), 1);
  EXPECT_EQ(packet.m_nChannel, 4);
  EXPECT_EQ(packet.m_nMessageType, 9);
  EXPECT_EQ(BodyOf(packet), a);
  RtmpPacketFree(&packet);
}

TEST(ChunkReader, TimestampsFromDeltas) {
  Link link;
  const auto body = Pattern(20);
  ASSERT_TRUE(link.client.SendChunk(0, 6, 5000, 20, 8, 1, body));
  ASSERT_TRUE(link.client.SendChunk(2, 6, 20, 0, 0, 0, body));
  ASSERT_TRUE(link.client.SendChunk(3, 6, 0, 0, 0, 0, body));  // reuses the delta 20
  ASSERT_TRUE(link.client.SendChunk(1, 6, 0xFFFFFF + 5, 20, 8, 0, body));
  ASSERT_TRUE(link.client.SendChunk(0, 7, 0x80000000u, 20, 8, 3, body));
  RtmpPacket packet;
  for (uint32_t expected : {5000u, 5020u, 5040u, 5040u + 0xFFFFFF + 5, 0x80000000u}) {
    ASSERT_EQ(link.ReadMessage(&packet), 1);
    EXPECT_EQ(packet.m_nTimestamp, expected);
    EXPECT_EQ(BodyOf(packet), body);
  }
  EXPECT_EQ(packet.m_nStreamId, 3);
  RtmpPacketFree(&packet);
}

TEST(ChunkReader, TwoAndThreeByteBasicHeaders) {
  Link link;
  for (uint32_t channel : {63u, 64u, 319u, 320u, 65599u}) {
    const auto body = Pattern(250, static_cast<uint8_t>(channel));
    ASSERT_TRUE(link.client.SendMessage(channel, 18, 0, channel, body));
    RtmpPacket packet;
    ASSERT_EQ(link.ReadMessage(&packet), 1) << channel;
    EXPECT_EQ(static_cast<uint32_t>(packet.m_nChannel), channel);
    EXPECT_EQ(packet.m_nTimestamp, channel);
    EXPECT_EQ(BodyOf(packet), body);
    RtmpPacketFree(&packet);
  }
}

TEST(ChunkReader, ByteAtATimeInput) {
  Link link;
  std::vector<uint8_t> wire;
  const auto a = Pattern(300, 3), b = Pattern(5, 4);
  auto add = [&wire](std::vector<uint8_t> bytes) { wire.insert(wire.end(), bytes.begin(), bytes.end()); };
  add(RtmpClient::ChunkHeader(0, 300, 0x1000000, 300, 9, 1));
  wire.insert(wire.end(), a.begin(), a.begin() + 128);
  add(RtmpClient::ChunkHeader(0, 2, 0, 5, 20, 0));
  add(b);
  add(RtmpClient::ChunkHeader(3, 300));
  wire.insert(wire.end(), a.begin() + 128, a.begin() + 256);
  add(RtmpClient::ChunkHeader(3, 300));
  wire.insert(wire.end(), a.begin() + 256, a.end());
  std::thread writer([&] {
    for (uint8_t byte : wire) {
      link.client.SendRaw({&byte, 1});
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
  });
  RtmpPacket packet;
  ASSERT_EQ(link.ReadMessage(&packet), 1);
  EXPECT_EQ(packet.m_nChannel, 2);
  EXPECT_EQ(BodyOf(packet), b);
  ASSERT_EQ(link.ReadMessage(&packet), 1);
  EXPECT_EQ(packet.m_nChannel, 300);
  EXPECT_EQ(packet.m_nTimestamp, 0x1000000u);
  EXPECT_EQ(BodyOf(packet), a);
  RtmpPacketFree(&packet);
  writer.join();
}

TEST(ChunkReader, RefusesCompressedHeaderOnNewChannel) {
  for (int fmt : {1, 2, 3}) {
    Link link;
    ASSERT_TRUE(link.client.SendRaw(RtmpClient::ChunkHeader(fmt, 9, 0, 4, 8)));
    RtmpPacket packet;
    EXPECT_EQ(TestReadChunk(&link.context, &packet), 0);
    EXPECT_EQ(RtmpSocketFd(&link.context), -1);
  }
}

TEST(ChunkReader, HeaderCutShortFails) {
  Link link;
  auto header = RtmpClient::ChunkHeader(0, 3, 0xFFFFFF, 4, 8);
  header.resize(header.size() - 2);  // inside the extended timestamp
  ASSERT_TRUE(link.client.SendRaw(header));
  link.client.Close();
  RtmpPacket packet;
  EXPECT_EQ(TestReadChunk(&link.context, &packet), 0);
  EXPECT_EQ(RtmpSocketFd(&link.context), -1);
}

TEST(ChunkReader, CapsUnfinishedInputAndChannelCount) {
  {
    Link link;
    // Four unfinished 16 MiB messages fit under 64 MiB; a fifth does not.
    const auto start = Pattern(128);
    RtmpPacket packet;
    for (uint32_t channel = 3; channel < 7; channel++) {
      ASSERT_TRUE(link.client.SendChunk(0, channel, 0, 0xFFFFFF, 9, 1, start));
      ASSERT_EQ(TestReadChunk(&link.context, &packet), 1);
      EXPECT_EQ(packet.m_body, nullptr);
    }
    ASSERT_TRUE(link.client.SendChunk(0, 7, 0, 0xFFFFFF, 9, 1, start));
    EXPECT_EQ(TestReadChunk(&link.context, &packet), 0);
    EXPECT_EQ(RtmpSocketFd(&link.context), -1);
  }
  {
    Link link;
    // A new message on a channel releases what was unfinished there.
    const auto start = Pattern(128);
    RtmpPacket packet;
    for (int round = 0; round < 6; round++) {
      ASSERT_TRUE(link.client.SendChunk(0, 3, 0, 0xFFFFFF, 9, 1, start));
      ASSERT_EQ(TestReadChunk(&link.context, &packet), 1);
    }
    EXPECT_EQ(link.context.partialBytes, 0xFFFFFFu);
  }
  {
    Link link;
    RtmpPacket packet;
    for (uint32_t channel = 2; channel < 2 + kRtmpMaxInChannels; channel++) {
      ASSERT_TRUE(link.client.SendChunk(0, channel, 0, 0, 20, 0, {}));
      ASSERT_EQ(TestReadChunk(&link.context, &packet), 1);
    }
    ASSERT_TRUE(link.client.SendChunk(0, 2 + kRtmpMaxInChannels, 0, 0, 20, 0, {}));
    EXPECT_EQ(TestReadChunk(&link.context, &packet), 0);
  }
}

TEST(ChunkReader, ChunkSizeValidationAndLargeInboundChunks) {
  EXPECT_FALSE(RtmpChunkSizeValid(0));
  EXPECT_FALSE(RtmpChunkSizeValid(0x80000000u));
  EXPECT_FALSE(RtmpChunkSizeValid(0xFFFFFFFFu));
  EXPECT_TRUE(RtmpChunkSizeValid(1));
  EXPECT_TRUE(RtmpChunkSizeValid(0x7FFFFFFF));

  Link link;
  EXPECT_FALSE(RtmpSetChunkSize(&link.context, 0));
  EXPECT_FALSE(RtmpSetChunkSize(&link.context, 0x80000080u));
  EXPECT_EQ(link.context.inChunkSize, 128);
  EXPECT_EQ(link.context.outChunkSize, 128);

  ASSERT_TRUE(RtmpSetChunkSize(&link.context, 4096));
  link.client.outChunkSize = 4096;
  const auto body = Pattern(10000);
  ASSERT_TRUE(link.client.SendMessage(3, 9, 1, 0, body));
  RtmpPacket packet;
  int chunks = 0;
  do {
    ASSERT_EQ(TestReadChunk(&link.context, &packet), 1);
    chunks++;
  } while (packet.m_nBytesRead != packet.m_nBodySize);
  EXPECT_EQ(chunks, 3);
  EXPECT_EQ(BodyOf(packet), body);
  RtmpPacketFree(&packet);
}

TEST(RtmpUtils, CloneAddressesTheTargetStream) {
  const RtmpCloneTarget target{7, 20, 21, 22};
  for (uint8_t type : {8, 9, 18}) {
    OutMessage m(4, 1, 1234, Pattern(33), type, 1);
    m.packet.m_nBytesRead = 33;
    RtmpPacket* clone = RtmpPacketClone(&m.packet, target);
    ASSERT_NE(clone, nullptr);
    EXPECT_EQ(clone->m_nHeaderType, 0);
    EXPECT_EQ(clone->m_nStreamId, 7);
    EXPECT_EQ(clone->m_nChannel, type == 8 ? 20 : type == 9 ? 21 : 22);
    EXPECT_EQ(clone->m_nTimestamp, 1234u);
    EXPECT_EQ(clone->m_body, m.packet.m_body) << "the body is shared, not copied";
    EXPECT_EQ(BodyOf(*clone), Pattern(33));
    RtmpPacketDestroy(clone);
  }
  OutMessage empty(4, 0, 0, {});
  EXPECT_EQ(RtmpPacketClone(&empty.packet, target), nullptr);
}

TEST(ChunkWriter, EmptyBodiesAndOneByteChunksOnLongChannelIds) {
  Link link;
  OutMessage empty(3, 0, 9, {}, 4, 0);
  ASSERT_EQ(RtmpWriteMessage(&link.context, &empty.packet), 1);
  ASSERT_EQ(link.writes.size(), 1u);
  EXPECT_EQ(link.writes[0].size(), 12u);

  // With one-byte chunks every body byte follows a continuation header of
  // its own.
  ASSERT_TRUE(RtmpSetChunkSize(&link.context, 1));
  link.client.inChunkSize = 1;
  link.writes.clear();
  const auto body = Pattern(5);
  OutMessage m(320, 0, 0, body);
  ASSERT_EQ(RtmpWriteMessage(&link.context, &m.packet), 1);
  ASSERT_EQ(link.writes.size(), 5u);
  EXPECT_EQ(link.writes[0].size(), 14u + 1);
  for (size_t i = 1; i < 5; i++) {
    EXPECT_EQ(link.writes[i], (std::vector<uint8_t>{0xC1, 0x00, 0x01, body[i]}));
  }
  auto first = link.client.ReadMessage();
  ASSERT_TRUE(first) << link.client.error();
  EXPECT_TRUE(first->body.empty());
  EXPECT_EQ(first->timestamp, 9u);
  auto second = link.client.ReadMessage();
  ASSERT_TRUE(second) << link.client.error();
  EXPECT_EQ(second->channel, 320u);
  EXPECT_EQ(second->body, body);
}

namespace {

// Puts bytes into the read buffer as the loop's receive would.
void Feed(RtmpContext* r, std::span<const uint8_t> bytes) {
  SocketBuffer& in = r->sockbuf;
  ASSERT_TRUE(SocketBufferReserve(&in, kSocketReadBufferSize));
  if (in.size == 0) in.start = 0;
  std::memmove(in.buf, in.buf + in.start, static_cast<size_t>(in.size));
  in.start = 0;
  std::memcpy(in.buf + in.size, bytes.data(), bytes.size());
  in.size += static_cast<int32_t>(bytes.size());
}

// One message of `body` on channel 6 with an absolute timestamp, chunked at
// 128 bytes, its continuation headers with or without the repeated
// extended timestamp.
std::vector<uint8_t> Chunked(uint32_t timestamp, const std::vector<uint8_t>& body, bool repeat) {
  std::vector<uint8_t> wire = RtmpClient::ChunkHeader(0, 6, timestamp, static_cast<uint32_t>(body.size()), 9, 1);
  for (size_t offset = 0; offset < body.size(); offset += 128) {
    if (offset) {
      wire.push_back(0xC6);
      if (repeat && timestamp >= 0xFFFFFF)
        wire.insert(wire.end(), {static_cast<uint8_t>(timestamp >> 24), static_cast<uint8_t>(timestamp >> 16),
                                 static_cast<uint8_t>(timestamp >> 8), static_cast<uint8_t>(timestamp)});
    }
    size_t take = std::min<size_t>(128, body.size() - offset);
    wire.insert(wire.end(), body.begin() + static_cast<long>(offset), body.begin() + static_cast<long>(offset + take));
  }
  return wire;
}

}  // namespace

// Peers differ on type-3 chunks of a message whose timestamp is extended:
// most repeat the four bytes, some do not. Both read correctly, fed one byte
// at a time, around 0xFFFFFF and up to 2^32 - 1; the reader never waits.
TEST(ChunkReader, ExtendedTimestampsOnContinuationChunksWithOrWithoutTheRepeat) {
  for (uint32_t timestamp : {0xFFFFFEu, 0xFFFFFFu, 0x1000000u, 0xFFFFFFFFu}) {
    for (bool repeat : {true, false}) {
      Link link;
      const auto body = Pattern(300, static_cast<uint8_t>(timestamp));
      const auto wire = Chunked(timestamp, body, repeat);
      RtmpPacket packet;
      for (size_t i = 0; i < wire.size(); i++) {
        Feed(&link.context, std::span<const uint8_t>(wire).subspan(i, 1));
        int res = RtmpReadMessage(&link.context, &packet);
        ASSERT_EQ(res, i + 1 < wire.size() ? 0 : 1) << "byte " << i << " ts " << timestamp << " repeat " << repeat;
      }
      EXPECT_EQ(packet.m_nTimestamp, timestamp);
      EXPECT_EQ(BodyOf(packet), body);
      EXPECT_EQ(link.context.sockbuf.size, 0);
      RtmpPacketFree(&packet);
    }
  }
}

// The writer repeats the extended timestamp on every chunk of such a
// message, for absolute and delta headers alike.
TEST(ChunkWriter, ExtendedTimestampsAreRepeatedOnEveryChunk) {
  Link link;
  OutMessage a(5, 0, 0xFFFFFFFF, Pattern(300));
  ASSERT_EQ(RtmpWriteMessage(&link.context, &a.packet), 1);
  OutMessage b(6, 0, 0xFFFFF0, Pattern(200));
  OutMessage c(6, 1, 0xFFFFF0 + 0xFFFFFF, Pattern(200, 9));
  ASSERT_EQ(RtmpWriteMessage(&link.context, &b.packet), 1);
  ASSERT_EQ(RtmpWriteMessage(&link.context, &c.packet), 1);
  ASSERT_EQ(link.writes.size(), 7u);
  const std::vector<uint8_t> repeatA = {0xC5, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(std::vector<uint8_t>(link.writes[1].begin(), link.writes[1].begin() + 5), repeatA);
  EXPECT_EQ(link.writes[4].size(), 1u + 72) << "no extended field when the timestamp is below 0xFFFFFF";
  const std::vector<uint8_t> repeatC = {0xC6, 0x00, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(std::vector<uint8_t>(link.writes[6].begin(), link.writes[6].begin() + 5), repeatC);
  for (auto [timestamp, body] : {std::pair{0xFFFFFFFFu, Pattern(300)}, std::pair{0xFFFFF0u, Pattern(200)},
                                 std::pair{0xFFFFF0u + 0xFFFFFFu, Pattern(200, 9)}}) {
    auto got = link.client.ReadMessage();
    ASSERT_TRUE(got) << link.client.error();
    EXPECT_EQ(got->timestamp, timestamp);
    EXPECT_EQ(got->body, body);
  }
}

namespace {

// Feeds `wire` through the read buffer in pieces of at most `piece` bytes,
// reading after each; the messages completed, or none once the reader refused.
std::optional<std::vector<std::vector<uint8_t>>> FeedAll(RtmpContext* r, std::span<const uint8_t> wire,
                                                        size_t piece = kSocketReadBufferSize) {
  std::vector<std::vector<uint8_t>> messages;
  RtmpPacket packet;
  for (size_t at = 0; at < wire.size();) {
    const size_t room = kSocketReadBufferSize - static_cast<size_t>(r->sockbuf.size);
    const size_t take = std::min({piece, room, wire.size() - at});
    Feed(r, wire.subspan(at, take));
    at += take;
    int res;
    while ((res = RtmpReadMessage(r, &packet)) == 1) {
      messages.push_back(BodyOf(packet));
      RtmpPacketFree(&packet);
    }
    if (res < 0) return std::nullopt;
  }
  return messages;
}

// `body` as one message on channel `channel` chunked at `chunkSize`.
std::vector<uint8_t> Message(uint32_t channel, uint8_t type, const std::vector<uint8_t>& body,
                             uint32_t chunkSize = 128) {
  std::vector<uint8_t> wire = RtmpClient::ChunkHeader(0, channel, 0, static_cast<uint32_t>(body.size()), type, 0);
  for (size_t offset = 0; offset < body.size(); offset += chunkSize) {
    if (offset) {
      auto header = RtmpClient::ChunkHeader(3, channel);
      wire.insert(wire.end(), header.begin(), header.end());
    }
    const size_t take = std::min<size_t>(chunkSize, body.size() - offset);
    wire.insert(wire.end(), body.begin() + static_cast<long>(offset), body.begin() + static_cast<long>(offset + take));
  }
  return wire;
}

}  // namespace

// Each kind of message has its cap: the header of one byte more is refused
// before any body is taken, and the connection closes; one at the cap is read.
TEST(ChunkReader, MessageSizeCapsByKind) {
  struct Case {
    uint8_t type;
    uint32_t cap;
  };
  for (Case c : {Case{20, kRtmpMaxCommandMessage}, Case{17, kRtmpMaxCommandMessage}, Case{18, kRtmpMaxDataMessage},
                 Case{15, kRtmpMaxDataMessage}, Case{19, kRtmpMaxDataMessage}, Case{1, kRtmpMaxControlMessage},
                 Case{4, kRtmpMaxControlMessage}, Case{6, kRtmpMaxControlMessage}}) {
    EXPECT_EQ(RtmpMessageSizeCap(c.type), c.cap);
    {
      Link link;
      // Type-0 header on chunk stream 3, size cap + 1.
      const uint32_t size = c.cap + 1;
      const std::vector<uint8_t> header = {0x03, 0, 0, 0, static_cast<uint8_t>(size >> 16),
                                           static_cast<uint8_t>(size >> 8), static_cast<uint8_t>(size), c.type,
                                           0, 0, 0, 0};
      const uint64_t allocations = RtmpBodyAllocations();
      Feed(&link.context, header);
      RtmpPacket packet;
      EXPECT_EQ(RtmpReadMessage(&link.context, &packet), -1) << int{c.type};
      EXPECT_EQ(RtmpSocketFd(&link.context), -1);
      EXPECT_EQ(RtmpBodyAllocations(), allocations);
      EXPECT_EQ(link.context.partialBytes, 0u);
    }
    {
      Link link;
      ASSERT_TRUE(RtmpSetChunkSize(&link.context, 4096));
      const auto body = Pattern(c.cap, c.type);
      auto got = FeedAll(&link.context, Message(3, c.type, body, 4096));
      ASSERT_TRUE(got) << int{c.type};
      ASSERT_EQ(got->size(), 1u);
      EXPECT_EQ(got->front(), body);
    }
  }
  // A type-1 header that turns a channel's video into a command over its cap.
  Link link;
  auto wire = RtmpClient::ChunkHeader(0, 4, 0, 10, 9, 1);
  auto video = Pattern(10);
  wire.insert(wire.end(), video.begin(), video.end());
  auto next = RtmpClient::ChunkHeader(1, 4, 0, kRtmpMaxCommandMessage + 1, 20);
  wire.insert(wire.end(), next.begin(), next.end());
  EXPECT_FALSE(FeedAll(&link.context, wire));
  // Audio and video keep the field's bound.
  EXPECT_EQ(RtmpMessageSizeCap(8), kRtmpMaxBodySize);
  EXPECT_EQ(RtmpMessageSizeCap(9), kRtmpMaxBodySize);
  EXPECT_EQ(RtmpMessageSizeCap(22), kRtmpMaxBodySize);
}

// A 16 MiB video header with only its first chunk costs the first reserve,
// not 16 MiB; the body then grows with what arrives, in few steps, and the
// complete body is exactly its size.
TEST(ChunkReader, PartialBodyGrowsWithTheBytesThatArrived) {
  Link link;
  const auto first = Pattern(128);
  auto wire = RtmpClient::ChunkHeader(0, 6, 0, kRtmpMaxBodySize, 9, 1);
  wire.insert(wire.end(), first.begin(), first.end());
  const uint64_t allocations = RtmpBodyAllocations();
  ASSERT_TRUE(FeedAll(&link.context, wire));
  RtmpChannel* slot = link.context.channelsIn.at(6).get();
  EXPECT_EQ(slot->capacity, kRtmpBodyFirstReserve);
  EXPECT_EQ(slot->header.m_nBytesRead, 128u);
  EXPECT_EQ(RtmpBodyAllocations(), allocations + 1);
  EXPECT_EQ(link.context.partialBytes, kRtmpMaxBodySize) << "the caps count the announced size";

  // A 1 MiB + 5 video message fed a few bytes over the reserve at a time.
  ASSERT_TRUE(RtmpSetChunkSize(&link.context, 4096));
  const auto body = Pattern((1u << 20) + 5, 3);
  const uint64_t before = RtmpBodyAllocations();
  auto got = FeedAll(&link.context, Message(7, 9, body, 4096), 1000);
  ASSERT_TRUE(got);
  ASSERT_EQ(got->size(), 1u);
  EXPECT_EQ(got->front(), body);
  // 64 KiB, 512 KiB, then the exact size.
  EXPECT_EQ(RtmpBodyAllocations() - before, 3u);
  EXPECT_EQ(link.context.channelsIn.at(7)->capacity, 0u);

  // A message smaller than the reserve is allocated once, at its size.
  const uint64_t small = RtmpBodyAllocations();
  got = FeedAll(&link.context, Message(8, 8, Pattern(300), 4096), 1);
  ASSERT_TRUE(got);
  EXPECT_EQ(RtmpBodyAllocations() - small, 1u);
}

// Real metadata: @setDataFrame with an onMetaData array of cue points larger
// than any command may be, and a chat post of 1023 characters in multi-byte
// UTF-8 as a command; both are taken whole.
TEST(ChunkReader, LargeMetadataAndLongChatPostsAreTaken) {
  Link link;
  std::vector<uint8_t> metadata;
  auto text = [&metadata](std::string_view t) {
    metadata.push_back(0x02);
    metadata.push_back(static_cast<uint8_t>(t.size() >> 8));
    metadata.push_back(static_cast<uint8_t>(t.size()));
    metadata.insert(metadata.end(), t.begin(), t.end());
  };
  text("@setDataFrame");
  text("onMetaData");
  metadata.insert(metadata.end(), {0x08, 0, 0, 0, 1, 0, 9, 'c', 'u', 'e', 'P', 'o', 'i', 'n', 't', 's', 0x0A});
  const uint32_t cues = 30000;
  metadata.insert(metadata.end(), {0, static_cast<uint8_t>(cues >> 16), static_cast<uint8_t>(cues >> 8),
                                   static_cast<uint8_t>(cues)});
  for (uint32_t i = 0; i < cues; i++) metadata.insert(metadata.end(), {0x00, 0x40, 0x59, 0, 0, 0, 0, 0, 0});
  metadata.insert(metadata.end(), {0, 0, 0x09});
  ASSERT_GT(metadata.size(), kRtmpMaxCommandMessage);
  ASSERT_LT(metadata.size(), kRtmpMaxDataMessage);

  std::vector<uint8_t> post;
  std::string words;
  for (int i = 0; i < 1023; i++) words += "\xF0\x9F\x99\x82";  // four bytes each
  for (std::string_view t : {std::string_view("sendText"), std::string_view(words)}) {
    post.push_back(0x02);
    post.push_back(static_cast<uint8_t>(t.size() >> 8));
    post.push_back(static_cast<uint8_t>(t.size()));
    post.insert(post.end(), t.begin(), t.end());
  }

  auto wire = Message(5, 18, metadata);
  auto command = Message(3, 20, post);
  wire.insert(wire.end(), command.begin(), command.end());
  auto got = FeedAll(&link.context, wire);
  ASSERT_TRUE(got);
  ASSERT_EQ(got->size(), 2u);
  EXPECT_EQ((*got)[0], metadata);
  EXPECT_EQ((*got)[1], post);
}
