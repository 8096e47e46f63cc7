// The socket buffer: reads that wait for a slow peer without holding up
// writers, the bounded output queue, and the ends of a connection.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <string>
#include <thread>

#include "rtmp/RtmpCore.h"
#include "rtmp/RtmpUtils.h"
#include "support/ChunkReader.h"
#include "support/TestEnv.h"
#include "testclient/RtmpClient.h"

namespace {

using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

std::pair<int, int> SocketPair() {
  int fds[2] = {-1, -1};
  EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  return {fds[0], fds[1]};
}

// A numbered byte stream, so that the receiver can check order and loss.
struct Stream {
  std::vector<uint8_t> Next(size_t n) {
    std::vector<uint8_t> bytes(n);
    for (auto& b : bytes) b = static_cast<uint8_t>(position++ % 251);
    return bytes;
  }
  uint64_t position = 0;
};

int LockedWrite(RtmpContext* r, const std::vector<uint8_t>& bytes) {
  MutexLock lock(r->sendLock);
  return SocketBufferWrite(&r->sockbuf, bytes.data(), bytes.size());
}

// A command-sized message of `size` bytes on channel 3, its body from the
// shared allocator.
struct Message {
  explicit Message(uint32_t size, uint8_t fill = 0x5A) {
    packet.m_nChannel = 3;
    packet.m_nMessageType = 20;
    packet.m_nBodySize = size;
    if (size) {
      EXPECT_EQ(RtmpPacketAlloc(&packet, size), 1);
      std::fill(packet.m_body, packet.m_body + size, fill);
    }
  }
  ~Message() { RtmpPacketFree(&packet); }
  RtmpPacket packet;
};

uint64_t QueuedBytes(RtmpContext* r) { return SocketBufferQueuedBytes(&r->sockbuf); }

// Reads everything until the peer closes or `stop`; checks the numbering.
struct Drain {
  explicit Drain(int fd) : fd(fd) {}
  void Run(std::atomic<bool>& stop) {
    uint8_t buf[65536];
    while (!stop) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      for (ssize_t i = 0; i < n; i++)
        if (buf[i] != static_cast<uint8_t>(received++ % 251)) inOrder = false;
    }
  }
  int fd;
  std::atomic<uint64_t> received{0};  // the test thread polls it
  bool inOrder = true;
};

void FlushUntilEmpty(RtmpContext* r) {
  auto deadline = Clock::now() + std::chrono::seconds(5);
  while (RtmpOutputPending(r) && Clock::now() < deadline) {
    pollfd p{RtmpSocketFd(r), POLLOUT, 0};
    poll(&p, 1, 100);
    ASSERT_EQ(RtmpFlushOutput(r), 1);
  }
  EXPECT_FALSE(RtmpOutputPending(r));
}

}  // namespace

TEST(SocketBuffer, WriterIsNotHeldUpByAReaderWaitingForASlowPeer) {
  auto [serverFd, clientFd] = SocketPair();
  RtmpClient client;
  client.Adopt(clientFd);
  RtmpContext context;
  std::promise<void> ready, done;
  int wake = eventfd(0, EFD_NONBLOCK);
  ASSERT_GE(wake, 0);
  auto reader = std::async(std::launch::async, [&, fd = serverFd] {
    context.sockbuf.readWaitMs = 5000;
    RtmpContextInit(&context, fd);
    context.sockbuf.wakeFd = wake;
    ready.set_value();
    RtmpPacket packet;
    int ok = 1;
    do {
      ok = TestReadChunk(&context, &packet);
    } while (ok && packet.m_nBytesRead != packet.m_nBodySize);
    uint32_t size = ok ? packet.m_nBodySize : 0;
    RtmpPacketFree(&packet);
    done.get_future().wait();
    RtmpContextFree(&context);
    RtmpShutdown(&context);
    return size;
  });
  ready.get_future().wait();

  const std::vector<uint8_t> body(300, 0x11);
  std::span<const uint8_t> whole(body);
  ASSERT_TRUE(client.SendChunk(0, 3, 0, 300, 20, 0, whole.subspan(0, 128)));
  ASSERT_TRUE(client.SendRaw(RtmpClient::ChunkHeader(3, 3)));
  ASSERT_TRUE(client.SendRaw(whole.subspan(128, 50)));  // half a chunk, then silence
  // The reader has taken all of it from the socket and waits for the rest.
  ASSERT_TRUE(TestWaitUntil([fd = serverFd] {
    int unread = -1;
    return ioctl(fd, FIONREAD, &unread) == 0 && unread == 0;
  }));

  RtmpPacket out;
  out.m_nChannel = 3;
  out.m_nMessageType = 20;
  out.m_nBodySize = 40;
  ASSERT_EQ(RtmpPacketAlloc(&out, 40), 1);
  std::fill(out.m_body, out.m_body + 40, 0x22);
  auto start = Clock::now();
  EXPECT_EQ(RtmpWriteMessage(&context, &out), 1);
  EXPECT_LT(MsSince(start), 100);
  RtmpPacketFree(&out);
  auto got = client.ReadMessage(2000);
  ASSERT_TRUE(got) << client.error();
  EXPECT_EQ(got->body, std::vector<uint8_t>(40, 0x22));

  ASSERT_TRUE(client.SendRaw(whole.subspan(178, 78)));
  ASSERT_TRUE(client.SendChunk(3, 3, 0, 0, 0, 0, whole.subspan(256)));
  done.set_value();
  EXPECT_EQ(reader.get(), 300u);
  close(wake);
}

// The peer reads nothing: the owner's own writes fill the socket and then
// the queue up to its byte cap. No writer waits for room: another thread's
// write, and then the owner's own, return at once, drop their message and
// mark the connection, which stays open for its loop to close with a report.
TEST(SocketBuffer, FullQueueDropsEveryWriterAtOnceTheOwnerIncluded) {
  auto [serverFd, clientFd] = SocketPair();
  RtmpContext context;
  ASSERT_EQ(RtmpContextInit(&context, serverFd), 1);
  context.sockbuf.context->capacity = 2 * TCP_BUFFER_SIZE;
  Stream stream;
  uint64_t accepted = 0;
  while (QueuedBytes(&context) + 60000 <= context.sockbuf.context->capacity) {
    auto bytes = stream.Next(60000);
    ASSERT_EQ(LockedWrite(&context, bytes), 1);
    accepted += bytes.size();
  }
  {
    auto bytes = stream.Next(context.sockbuf.context->capacity - QueuedBytes(&context));
    ASSERT_EQ(LockedWrite(&context, bytes), 1);
    accepted += bytes.size();
  }

  auto start = Clock::now();
  auto other = std::async(std::launch::async, [&] {
    Message m(100);
    return RtmpWriteMessage(&context, &m.packet);
  });
  EXPECT_EQ(other.get(), 0);
  EXPECT_LT(MsSince(start), 1000);
  EXPECT_TRUE(context.sockbuf.overflowed);
  context.sockbuf.overflowed = false;

  start = Clock::now();
  {
    Message big(100000);
    EXPECT_EQ(RtmpWriteMessage(&context, &big.packet), 0);
  }
  EXPECT_LT(MsSince(start), 1000) << "the owner waited for the peer";
  EXPECT_TRUE(context.sockbuf.overflowed);
  EXPECT_NE(RtmpSocketFd(&context), -1) << "the loop closes it, with its report";
  {
    Message later(10);
    EXPECT_EQ(RtmpWriteMessage(&context, &later.packet), 0) << "nothing is sent after a gap";
  }
  context.sockbuf.overflowed = false;

  // With the peer reading, what was queued is delivered whole and in order,
  // and the owner's writes go on as the socket takes them.
  Drain drain(clientFd);
  std::atomic<bool> stop{false};
  std::thread reader([&] { drain.Run(stop); });
  for (int i = 0; i < 20; i++) {
    FlushUntilEmpty(&context);
    auto bytes = stream.Next(60000);
    ASSERT_EQ(LockedWrite(&context, bytes), 1);
    accepted += bytes.size();
  }
  FlushUntilEmpty(&context);
  TestWaitUntil([&] { return drain.received >= accepted; }, 5000);
  stop = true;
  reader.join();
  EXPECT_EQ(drain.received, accepted);
  EXPECT_TRUE(drain.inOrder);
  RtmpContextFree(&context);
  RtmpShutdown(&context);
  close(clientFd);
}

// One queue entry per message, whatever its chunk count, and one sendmsg()
// for everything queued when the socket takes it all.
TEST(SocketBuffer, MessagesAreOneEntryEachAndOneFlushIsOneSendmsg) {
  auto [serverFd, clientFd] = SocketPair();
  RtmpClient client;
  client.Adopt(clientFd);
  RtmpContext context;
  ASSERT_EQ(RtmpContextInit(&context, serverFd), 1);
  context.sockbuf.batching = true;  // as in the connection's loop
  RtmpChannelOut(&context, 3);
  std::vector<std::unique_ptr<Message>> messages;
  for (int i = 0; i < 50; i++) {
    messages.push_back(std::make_unique<Message>(300, static_cast<uint8_t>(i)));
    ASSERT_EQ(RtmpWriteMessage(&context, &messages.back()->packet), 1);
  }
  EXPECT_EQ(context.sockbuf.context->entries.size(), 50u);
  EXPECT_EQ(context.sockbuf.context->sendCalls, 0u) << "the owner's writes wait for the loop's flush";
  ASSERT_EQ(RtmpFlushOutput(&context), 1);
  EXPECT_EQ(context.sockbuf.context->sendCalls, 1u);
  EXPECT_FALSE(RtmpOutputPending(&context));
  for (int i = 0; i < 50; i++) {
    auto got = client.ReadMessage(2000);
    ASSERT_TRUE(got) << client.error();
    EXPECT_EQ(got->body, std::vector<uint8_t>(300, static_cast<uint8_t>(i)));
  }
  RtmpContextFree(&context);
  RtmpShutdown(&context);
}

// Video frames in 128-byte chunks are many small pieces per sendmsg; a
// socket that takes them in parts must still deliver every byte in order.
TEST(SocketBuffer, SmallChunksOfLargeMessagesArriveWholeWhenTheSocketTakesThemInParts) {
  auto [serverFd, clientFd] = SocketPair();
  int small = 4096;
  ASSERT_EQ(setsockopt(serverFd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
  RtmpClient client;
  client.Adopt(clientFd);
  RtmpContext context;
  ASSERT_EQ(RtmpContextInit(&context, serverFd), 1);
  context.sockbuf.batching = true;
  RtmpChannelOut(&context, 3);
  constexpr int kMessages = 40;
  // Sizes around the chunk and the copy limits, each body its own fill.
  auto sizeOf = [](int i) { return uint32_t(1 + (i * 7919) % 70000); };
  std::vector<std::unique_ptr<Message>> messages;
  for (int i = 0; i < kMessages; i++) {
    messages.push_back(std::make_unique<Message>(sizeOf(i), static_cast<uint8_t>(i + 1)));
    ASSERT_EQ(RtmpWriteMessage(&context, &messages.back()->packet), 1);
  }
  auto reader = std::async(std::launch::async, [&] {
    int whole = 0;
    for (int i = 0; i < kMessages; i++) {
      auto got = client.ReadMessage(5000);
      if (!got) break;
      if (got->body == std::vector<uint8_t>(sizeOf(i), static_cast<uint8_t>(i + 1))) whole++;
    }
    return whole;
  });
  FlushUntilEmpty(&context);
  EXPECT_EQ(reader.get(), kMessages);
  EXPECT_GT(context.sockbuf.context->sendCalls, 1u) << "the socket took the queue in parts";
  RtmpContextFree(&context);
  RtmpShutdown(&context);
}

// A relayed message goes to every player with the same body: the queues
// share it, so fan-out costs one allocation, not one per receiver.
TEST(SocketBuffer, SharedBodySentToAHundredConnectionsIsAllocatedOnce) {
  constexpr int kReceivers = 100;
  std::vector<std::unique_ptr<RtmpContext>> contexts;
  std::vector<std::unique_ptr<RtmpClient>> clients;
  for (int i = 0; i < kReceivers; i++) {
    auto [serverFd, clientFd] = SocketPair();
    contexts.push_back(std::make_unique<RtmpContext>());
    ASSERT_EQ(RtmpContextInit(contexts.back().get(), serverFd), 1);
    RtmpChannelOut(contexts.back().get(), 3);
    clients.push_back(std::make_unique<RtmpClient>());
    clients.back()->Adopt(clientFd);
  }
  Message shared(4000, 0x77);
  const uint64_t before = RtmpBodyAllocations();
  for (auto& context : contexts) ASSERT_EQ(RtmpWriteMessage(context.get(), &shared.packet), 1);
  EXPECT_EQ(RtmpBodyAllocations(), before) << "no receiver may copy the body";
  RtmpPacketFree(&shared.packet);  // the queues keep it alive
  for (auto& context : contexts) ASSERT_EQ(RtmpFlushOutput(context.get()), 1);
  for (auto& client : clients) {
    auto got = client->ReadMessage(2000);
    ASSERT_TRUE(got) << client->error();
    EXPECT_EQ(got->body, std::vector<uint8_t>(4000, 0x77));
  }
  for (auto& context : contexts) {
    RtmpContextFree(context.get());
    RtmpShutdown(context.get());
  }
}

// Output that another thread (chat, presence) queues must wake the owner,
// or it would wait for the next ping to go out; one wake per empty-to-queued
// change, not one per message.
TEST(SocketBuffer, OutputQueuedByAnotherThreadWakesTheOwnerOnce) {
  auto [serverFd, clientFd] = SocketPair();
  RtmpClient client;
  client.Adopt(clientFd);
  RtmpContext context;
  ASSERT_EQ(RtmpContextInit(&context, serverFd), 1);
  RtmpChannelOut(&context, 3);
  int wake = eventfd(0, EFD_NONBLOCK);
  ASSERT_GE(wake, 0);
  context.sockbuf.wakeFd = wake;
  auto wakes = [wake] {
    uint64_t value = 0;
    return read(wake, &value, sizeof value) == sizeof value ? value : 0;
  };
  std::async(std::launch::async, [&] {
    for (int i = 0; i < 10; i++) {
      Message m(100, static_cast<uint8_t>(i));
      EXPECT_EQ(RtmpWriteMessage(&context, &m.packet), 1);
    }
  }).get();
  EXPECT_EQ(wakes(), 1u);
  ASSERT_EQ(RtmpFlushOutput(&context), 1);
  for (int i = 0; i < 10; i++) {
    auto got = client.ReadMessage(2000);
    ASSERT_TRUE(got) << client.error();
    EXPECT_EQ(got->body, std::vector<uint8_t>(100, static_cast<uint8_t>(i)));
  }
  RtmpContextFree(&context);
  RtmpShutdown(&context);
  close(wake);
}

// Writes of any length, raw or as messages of a MiB, arrive whole and in order.
TEST(SocketBuffer, LongWritesArriveWholeAndInOrder) {
  auto [serverFd, clientFd] = SocketPair();
  RtmpContext context;
  ASSERT_EQ(RtmpContextInit(&context, serverFd), 1);
  Stream stream;
  uint64_t accepted = 0;
  for (size_t size : {size_t{65536}, size_t{65537}, size_t{1} << 20}) {
    auto bytes = stream.Next(size);
    ASSERT_EQ(LockedWrite(&context, bytes), 1);
    accepted += size;
  }
  EXPECT_TRUE(RtmpOutputPending(&context));
  Drain drain(clientFd);
  std::atomic<bool> stop{false};
  std::thread reader([&] { drain.Run(stop); });
  FlushUntilEmpty(&context);
  TestWaitUntil([&] { return drain.received >= accepted; }, 5000);
  stop = true;
  reader.join();
  EXPECT_EQ(drain.received, accepted);
  EXPECT_TRUE(drain.inOrder);
  RtmpContextFree(&context);
  RtmpShutdown(&context);
  close(clientFd);
}

// A player's read buffer stays small; a peer that keeps filling it gets a
// larger one, up to the cap, and what was not consumed yet moves with it.
TEST(SocketBuffer, ReadBufferGrowsForAPeerThatFillsItAndKeepsUnreadBytes) {
  auto [serverFd, clientFd] = SocketPair();
  RtmpContext context;
  ASSERT_EQ(RtmpContextInit(&context, serverFd), 1);
  SocketBuffer& in = context.sockbuf;
  EXPECT_EQ(in.capacity, kSocketReadBufferFirst);
  Stream stream;
  const std::vector<uint8_t> sent = stream.Next(256 * 1024);
  std::thread writer([&, fd = clientFd] {
    for (size_t at = 0; at < sent.size();) {
      const ssize_t n = write(fd, sent.data() + at, sent.size() - at);
      if (n <= 0) break;
      at += static_cast<size_t>(n);
    }
  });
  std::vector<uint8_t> got;
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (got.size() < sent.size() && Clock::now() < deadline) {
    pollfd p{serverFd, POLLIN, 0};
    poll(&p, 1, 100);
    if (SocketBufferReceive(&in) < 0 || in.capacity > kSocketReadBufferSize) break;
    // Half of what is held stays unread across the next receive.
    const size_t take = (static_cast<size_t>(in.size) + 1) / 2;
    got.insert(got.end(), in.buf + in.start, in.buf + in.start + take);
    in.start += static_cast<uint32_t>(take);
    in.size -= static_cast<int32_t>(take);
  }
  writer.join();
  EXPECT_TRUE(got == sent) << got.size() << " of " << sent.size() << " bytes, in order";
  EXPECT_EQ(in.capacity, kSocketReadBufferSize);
  RtmpContextFree(&context);
  RtmpShutdown(&context);
  close(clientFd);
}

// An idle player's read buffer goes back between inputs; unread bytes, or
// a buffer grown for a publisher, keep theirs.
TEST(SocketBuffer, IdleReadBufferGoesBackButNeverWithUnreadBytes) {
  auto [serverFd, clientFd] = SocketPair();
  RtmpContext context;
  ASSERT_EQ(RtmpContextInit(&context, serverFd), 1);
  SocketBuffer& in = context.sockbuf;
  auto receive = [&](const char* text) {
    const size_t length = strlen(text);
    EXPECT_EQ(write(clientFd, text, length), static_cast<ssize_t>(length));
    pollfd p{serverFd, POLLIN, 0};
    poll(&p, 1, 10000);
    EXPECT_EQ(SocketBufferReceive(&in), static_cast<int>(length));
  };
  SocketBufferReleaseIdle(&in);
  EXPECT_EQ(in.buf, nullptr);
  receive("abcdef");
  in.start += 2;  // "ab" consumed, "cdef" not yet
  in.size -= 2;
  SocketBufferReleaseIdle(&in);
  ASSERT_NE(in.buf, nullptr);
  receive("gh");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(in.buf + in.start), static_cast<size_t>(in.size)), "cdefgh");
  in.size = 0;
  ASSERT_TRUE(SocketBufferReserve(&in, kSocketReadBufferSize));
  SocketBufferReleaseIdle(&in);
  EXPECT_EQ(in.capacity, kSocketReadBufferSize);
  RtmpContextFree(&context);
  RtmpShutdown(&context);
  close(clientFd);
}

TEST(SocketBuffer, PeerCloseAndSilenceEndTheRead) {
  {
    auto [serverFd, clientFd] = SocketPair();
    RtmpContext context;
    ASSERT_EQ(RtmpContextInit(&context, serverFd), 1);
    const uint8_t partial[] = {0x03, 0, 0};
    ASSERT_EQ(write(clientFd, partial, sizeof partial), 3);
    close(clientFd);
    RtmpPacket packet;
    EXPECT_EQ(TestReadChunk(&context, &packet), 0);
    EXPECT_EQ(RtmpSocketFd(&context), -1);
    uint8_t byte;
    EXPECT_EQ(RtmpReadBytes(&context, &byte, 1), 0);
    RtmpPacket late;
    late.m_nChannel = 3;
    EXPECT_EQ(RtmpWriteMessage(&context, &late), 0);
    RtmpContextFree(&context);
  }
  {
    auto [serverFd, clientFd] = SocketPair();
    RtmpContext context;
    context.sockbuf.readWaitMs = 200;
    ASSERT_EQ(RtmpContextInit(&context, serverFd), 1);
    auto start = Clock::now();
    uint8_t byte;
    EXPECT_EQ(RtmpReadBytes(&context, &byte, 1), 0);
    EXPECT_GE(MsSince(start), 180);
    EXPECT_LT(MsSince(start), 2000);
    EXPECT_EQ(RtmpSocketFd(&context), -1);
    RtmpContextFree(&context);
    close(clientFd);
  }
}

TEST(SocketBuffer, QueueSizeFromTheRegistryIsClampedToOneToSixtyFour) {
  std::string folder = TestTempDir("rtmp_socket");
  std::string path = folder + "/strmd.reg";
  auto writeValue = [&](const char* line) {
    std::ofstream out(path);
    out << "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestravon\\Parameters]\n"
        << line << "\n";
  };
  const char* saved = getenv("STRMD_REGISTRY");
  std::string savedValue = saved ? saved : "";
  setenv("STRMD_REGISTRY", path.c_str(), 1);
  struct Case {
    const char* line;
    uint32_t expected;
  };
  for (Case c : {Case{"\"USendQueueSize\"=dword:00000010", 16}, Case{"\"USendQueueSize\"=dword:00000000", 1},
                 Case{"\"USendQueueSize\"=dword:00000041", 64}, Case{"\"USendQueueSize\"=\"8\"", 64},
                 Case{"\"Other\"=dword:00000008", 64}}) {
    writeValue(c.line);
    EXPECT_EQ(SendQueueConfiguredSize(), c.expected) << c.line;
  }
  writeValue("\"USendQueueSize\"=dword:00000003");
  auto [serverFd, clientFd] = SocketPair();
  {
    RtmpContext context;
    ASSERT_EQ(RtmpContextInit(&context, serverFd), 1);
    EXPECT_EQ(context.sockbuf.context->capacity, 3u * TCP_BUFFER_SIZE);
    RtmpShutdown(&context);
  }
  close(clientFd);
  setenv("STRMD_REGISTRY", (folder + "/missing.reg").c_str(), 1);
  EXPECT_EQ(SendQueueConfiguredSize(), 64u);
  if (saved)
    setenv("STRMD_REGISTRY", savedValue.c_str(), 1);
  else
    unsetenv("STRMD_REGISTRY");
}
