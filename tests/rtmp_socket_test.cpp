// The socket buffer: reads that wait for a slow peer without holding up
// writers, the bounded output queue, and the ends of a connection.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <future>
#include <thread>

#include "rtmp/RtmpCore.h"
#include "rtmp/RtmpUtils.h"
#include "support/RtmpClient.h"
#include "support/TestEnv.h"

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
  std::lock_guard<std::recursive_mutex> lock(r->sendLock);
  return SocketBufferWrite(&r->sockbuf, bytes.data(), bytes.size());
}

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
  auto reader = std::async(std::launch::async, [&, fd = serverFd] {
    context.sockbuf.readWaitMs = 5000;
    RtmpContextInit(&context, fd);
    ready.set_value();
    RtmpPacket packet;
    int ok = 1;
    do {
      ok = RTMP_ReadPacket(&context, &packet);
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
  std::this_thread::sleep_for(std::chrono::milliseconds(150));

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
}

TEST(SocketBuffer, FullQueueFailsOtherThreadsAtOnceAndTheOwnerAfterItsWait) {
  auto [serverFd, clientFd] = SocketPair();
  RtmpContext context;
  ASSERT_EQ(RtmpContextInit(&context, serverFd), 1);
  context.sockbuf.context->capacity = 2;
  context.sockbuf.sendWaitMs = 300;
  Stream stream;
  uint64_t accepted = 0;
  // The peer reads nothing: the socket fills, then the queue.
  while (context.sockbuf.context->queued < 2) {
    auto bytes = stream.Next(60000);
    ASSERT_EQ(LockedWrite(&context, bytes), 1);
    accepted += bytes.size();
  }

  auto start = Clock::now();
  auto other = std::async(std::launch::async, [&] { return LockedWrite(&context, std::vector<uint8_t>(100, 0)); });
  EXPECT_EQ(other.get(), 0);
  EXPECT_LT(MsSince(start), 200);

  start = Clock::now();
  EXPECT_EQ(LockedWrite(&context, std::vector<uint8_t>(100, 0)), 0);
  EXPECT_GE(MsSince(start), 250);
  EXPECT_EQ(context.sockbuf.context->queued, 2u);

  // With the peer reading, the owner's wait ends in success, and the queue
  // delivers everything in order.
  context.sockbuf.sendWaitMs = 5000;
  Drain drain(clientFd);
  std::atomic<bool> stop{false};
  std::thread reader([&] { drain.Run(stop); });
  for (int i = 0; i < 20; i++) {
    auto bytes = stream.Next(60000);
    ASSERT_EQ(LockedWrite(&context, bytes), 1);
    accepted += bytes.size();
  }
  FlushUntilEmpty(&context);
  auto deadline = Clock::now() + std::chrono::seconds(5);
  while (drain.received < accepted && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  stop = true;
  reader.join();
  EXPECT_EQ(drain.received, accepted);
  EXPECT_TRUE(drain.inOrder);
  RtmpContextFree(&context);
  RtmpShutdown(&context);
  close(clientFd);
}

TEST(SocketBuffer, WritesLongerThanOneEntryAreQueuedInPieces) {
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
  EXPECT_LE(context.sockbuf.context->queued, kMaxSendQueueSize);
  Drain drain(clientFd);
  std::atomic<bool> stop{false};
  std::thread reader([&] { drain.Run(stop); });
  FlushUntilEmpty(&context);
  auto deadline = Clock::now() + std::chrono::seconds(5);
  while (drain.received < accepted && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  stop = true;
  reader.join();
  EXPECT_EQ(drain.received, accepted);
  EXPECT_TRUE(drain.inOrder);
  RtmpContextFree(&context);
  RtmpShutdown(&context);
  close(clientFd);
}

// The owner polls for POLLOUT only when it saw queued output before it went
// to sleep. Output that another thread (chat, presence) leaves in the queue
// must wake it, or it would wait for the next ping to go out.
TEST(SocketBuffer, OutputQueuedByAnotherThreadWakesTheOwner) {
  auto [serverFd, clientFd] = SocketPair();
  RtmpContext context;
  ASSERT_EQ(RtmpContextInit(&context, serverFd), 1);
  int wake = eventfd(0, EFD_NONBLOCK);
  ASSERT_GE(wake, 0);
  context.sockbuf.wakeFd = wake;
  auto signalled = [wake] {
    pollfd p{wake, POLLIN, 0};
    return poll(&p, 1, 0) == 1;
  };
  Stream stream;
  uint64_t accepted = 0;
  while (context.sockbuf.context->queued < 1) {
    auto bytes = stream.Next(60000);
    ASSERT_EQ(LockedWrite(&context, bytes), 1);
    accepted += bytes.size();
  }
  EXPECT_FALSE(signalled()) << "the owner knows of its own queued output";

  auto chat = stream.Next(100);
  accepted += chat.size();
  EXPECT_EQ(std::async(std::launch::async, [&] { return LockedWrite(&context, chat); }).get(), 1);
  EXPECT_TRUE(signalled());

  Drain drain(clientFd);
  std::atomic<bool> stop{false};
  std::thread reader([&] { drain.Run(stop); });
  FlushUntilEmpty(&context);
  auto deadline = Clock::now() + std::chrono::seconds(5);
  while (drain.received < accepted && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  stop = true;
  reader.join();
  EXPECT_EQ(drain.received, accepted);
  EXPECT_TRUE(drain.inOrder);
  RtmpContextFree(&context);
  RtmpShutdown(&context);
  close(wake);
  close(clientFd);
}

TEST(SocketBuffer, FailedWriteFromAnotherThreadEndsTheOwnersReading) {
  auto [serverFd, clientFd] = SocketPair();
  RtmpClient client;
  client.Adopt(clientFd);
  RtmpContext context;
  ASSERT_EQ(RtmpContextInit(&context, serverFd), 1);
  context.sockbuf.context->capacity = 1;
  Stream stream;
  while (context.sockbuf.context->queued < 1) ASSERT_EQ(LockedWrite(&context, stream.Next(60000)), 1);

  RtmpPacket chat;
  chat.m_nChannel = 3;
  chat.m_nMessageType = 20;
  chat.m_nBodySize = 100;
  ASSERT_EQ(RtmpPacketAlloc(&chat, 100), 1);
  auto other = std::async(std::launch::async, [&] { return RtmpWriteMessage(&context, &chat); });
  EXPECT_EQ(other.get(), 0);
  RtmpPacketFree(&chat);
  // Only the owner closes the descriptor; it learns of the failure by reading.
  EXPECT_NE(RtmpSocketFd(&context), -1);
  RtmpPacket packet;
  EXPECT_EQ(RTMP_ReadPacket(&context, &packet), 0);
  EXPECT_EQ(RtmpSocketFd(&context), -1);
  EXPECT_TRUE(client.WaitClosed(2000));
  RtmpContextFree(&context);
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
    EXPECT_EQ(RTMP_ReadPacket(&context, &packet), 0);
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
    EXPECT_EQ(context.sockbuf.context->capacity, 3u);
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
