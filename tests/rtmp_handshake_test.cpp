// The server handshake against the project's own client over loopback TCP.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <future>
#include <thread>

#include "rtmp/Handshake.h"
#include "rtmp/RtmpCore.h"
#include "testclient/RtmpClient.h"

namespace {

// Accepts one loopback connection and runs SHandShake on it in its own thread
// (which thereby owns the connection's socket buffer).
class ServerSide {
 public:
  ServerSide() {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&address), length), 0);
    EXPECT_EQ(listen(listener_, 1), 0);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    result_ = std::async(std::launch::async, [this] {
      int fd = accept(listener_, nullptr, nullptr);
      if (fd < 0) return -1;
      context_.sockbuf.readWaitMs = 3000;
      RtmpContextInit(&context_, fd);
      int ok = SHandShake(&context_);
      RtmpContextFree(&context_);
      RtmpShutdown(&context_);
      return ok;
    });
  }
  ~ServerSide() { close(listener_); }
  int Result() { return result_.get(); }
  uint16_t port = 0;

 private:
  int listener_ = -1;
  RtmpContext context_;
  std::future<int> result_;
};

// The server's answer to C2 is only visible as its result: wait for it.
int RunPlain(bool echoS1, RtmpClient& client) {
  ServerSide server;
  EXPECT_TRUE(client.Connect("127.0.0.1", server.port));
  EXPECT_TRUE(client.HandshakePlain(3, echoS1)) << client.error();
  return server.Result();
}

}  // namespace

TEST(Handshake, PlainAnswersZeroS1EchoesC1AndOnlyWarnsOnWrongC2) {
  for (bool echo : {true, false}) {
    RtmpClient client;
    EXPECT_EQ(RunPlain(echo, client), 1) << "echo " << echo;
    ASSERT_EQ(client.s0s1.size(), 1537u);
    EXPECT_EQ(client.s0s1[0], 3);
    EXPECT_EQ(std::vector<uint8_t>(client.s0s1.begin() + 1, client.s0s1.end()), std::vector<uint8_t>(1536, 0));
    EXPECT_EQ(client.s2, client.c1);
  }
}

TEST(Handshake, DigestVersion3BySchemeZeroAndOne) {
  for (int scheme : {0, 1}) {
    ServerSide server;
    RtmpClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", server.port));
    EXPECT_TRUE(client.HandshakeDigest(scheme, 3, 9)) << client.error();
    EXPECT_EQ(server.Result(), 1) << "scheme " << scheme;
    const uint8_t* s1 = client.s0s1.data() + 1;
    EXPECT_EQ(client.s0s1[0], 3);
    EXPECT_EQ(std::vector<uint8_t>(s1 + 4, s1 + 8), (std::vector<uint8_t>{3, 5, 1, 1}));
    // Version 3 puts the server digest by scheme 0; S1's bytes 8-11 are zero.
    EXPECT_EQ(GetDigestOffset1(s1), 12u);
    EXPECT_EQ(HandshakeVerify(12, s1, kServerKey, kServerKeyTextSize), 1);
  }
}

TEST(Handshake, Version6AnswersEightWithTransformOnlyForByte4Of128) {
  struct Case {
    uint8_t byte4;
    uint8_t answer;
  };
  for (Case c : {Case{128, 8}, Case{9, 6}}) {
    ServerSide server;
    RtmpClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", server.port));
    // The client checks S2's signature with the transform exactly when S0 is 8.
    EXPECT_TRUE(client.HandshakeDigest(1, 6, c.byte4)) << client.error();
    EXPECT_EQ(server.Result(), 1);
    EXPECT_EQ(client.s0s1[0], c.answer);
    EXPECT_EQ(HandshakeVerify(776, client.s0s1.data() + 1, kServerKey, kServerKeyTextSize), 1);
  }
}

TEST(Handshake, WrongClientSignatureFails) {
  for (uint8_t version : {3, 6}) {
    ServerSide server;
    RtmpClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", server.port));
    // S1 and S2 are still sent: only the C2 check fails.
    EXPECT_TRUE(client.HandshakeDigest(version == 3 ? 0 : 1, version, 128, /*badSignature=*/true))
        << client.error();
    EXPECT_EQ(server.Result(), 0);
  }
}

TEST(Handshake, ClientDigestThatVerifiesUnderNeitherSchemeFails) {
  ServerSide server;
  RtmpClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", server.port));
  std::vector<uint8_t> c0c1(1537, 0x5a);
  c0c1[0] = 3;
  c0c1[5] = 9;  // byte 4 of C1: digest mode
  ASSERT_TRUE(client.SendRaw(c0c1));
  EXPECT_EQ(server.Result(), 0);
  uint8_t s0 = 0;
  // S0 and S1 went out before the check; nothing after them.
  ASSERT_TRUE(client.ReadExact(&s0, 1));
  EXPECT_EQ(s0, 3);
  std::vector<uint8_t> s1(1536);
  ASSERT_TRUE(client.ReadExact(s1.data(), s1.size()));
  EXPECT_TRUE(client.WaitClosed());
}

TEST(Handshake, UnknownVersionAndShortInputFail) {
  {
    ServerSide server;
    RtmpClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", server.port));
    std::vector<uint8_t> c0c1(1537, 0);
    c0c1[0] = 5;
    ASSERT_TRUE(client.SendRaw(c0c1));
    EXPECT_EQ(server.Result(), 0);
  }
  {
    ServerSide server;
    RtmpClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", server.port));
    std::vector<uint8_t> partial(700, 0);
    partial[0] = 3;
    ASSERT_TRUE(client.SendRaw(partial));
    client.Close();
    EXPECT_EQ(server.Result(), 0);
  }
}

TEST(Handshake, DigestC1WithC2CopyingS1IsAcceptedANearCopyIsRefused) {
  for (uint8_t version : {3, 6}) {
    for (bool nearCopy : {false, true}) {
      ServerSide server;
      RtmpClient client;
      ASSERT_TRUE(client.Connect("127.0.0.1", server.port));
      // A near copy differs from S1 in its last byte only: neither the echo
      // nor a signature.
      EXPECT_TRUE(client.HandshakeDigest(version == 3 ? 0 : 1, version, 9, /*badSignature=*/nearCopy,
                                         /*copyS1=*/true))
          << client.error();
      EXPECT_EQ(server.Result(), nearCopy ? 0 : 1) << "version " << int(version) << " near " << nearCopy;
    }
  }
}
