// The connection driver over TCP against the real binary, without a
// database: the connect exchange, command dispatch, chunk sizes, handshakes,
// stream ids, the keep-alive ping and one connection not holding up another.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>

#include "rtmp/Amf.h"
#include "rtmp/RtmpFunctions.h"
#include "support/AmfHelpers.h"
#include "support/ServerProcess.h"
#include "support/TestEnv.h"
#include "testclient/RtmpClient.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

class ConnectionTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = new ServerProcess;
    ASSERT_TRUE(StartServer(server_, "connection"));
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }

  // Connected and handshaken (plain unless scheme >= 0).
  static bool Open(RtmpClient* client, int scheme = -1) {
    if (!client->Connect("127.0.0.1", static_cast<uint16_t>(server_->port))) return false;
    return scheme < 0 ? client->HandshakePlain() : client->HandshakeDigest(scheme);
  }

  static bool Command(RtmpClient* client, std::initializer_list<amf::Node> values, uint32_t streamId = 0) {
    std::vector<uint8_t> body = amf::Body(values);
    return client->SendMessage(3, 20, streamId, 0, body);
  }

  static bool SendConnect(RtmpClient* client, const char* app = "default") {
    return Command(client, {amf::Str("connect"), amf::Num(1),
                            amf::Obj({{"app", amf::Str(app)}, {"flashVer", amf::Str("LNX 9,0,124,2")}})});
  }

  // Reads messages until one of type 20 arrives; its decoded values.
  static std::vector<amf::Node> ReadCommand(RtmpClient* client, RtmpClientMessage* message = nullptr,
                                            int timeoutMs = 5000) {
    for (;;) {
      auto m = client->ReadMessage(timeoutMs);
      if (!m) return {};
      if (m->type != 20) continue;
      std::vector<amf::Node> values;
      EXPECT_TRUE(amf::Read(m->body, &values));
      if (message) *message = *m;
      return values;
    }
  }

  // connect, with the three control messages and the result consumed.
  static bool Connected(RtmpClient* client, int scheme = -1) {
    if (!Open(client, scheme) || !SendConnect(client)) return false;
    auto values = ReadCommand(client);
    return values.size() == 4 && values[3].Get("code").text == "NetConnection.Connect.Success";
  }

  static ServerProcess* server_;
};

ServerProcess* ConnectionTest::server_ = nullptr;

std::vector<uint8_t> ExpectedConnectResult(double objectEncoding) {
  return amf::Body({amf::Str("_result"), amf::Num(1),
                    amf::Obj({{"fmsVer", amf::Str("FMS/4,5,4,2012")},
                              {"capabilities", amf::Num(31)},
                              {"mode", amf::Num(1)}}),
                    amf::Obj({{"level", amf::Str("status")},
                              {"code", amf::Str("NetConnection.Connect.Success")},
                              {"description", amf::Str("Connection succeeded")},
                              {"data", amf::Ecma({{"version", amf::Str("4,5,4,2012")}})},
                              {"objectEncoding", amf::Num(objectEncoding)}})});
}

TEST_F(ConnectionTest, ConnectIsAnsweredByControlMessagesThenTheExactResult) {
  for (double encoding : {-1.0, 0.0, 3.0}) {
    RtmpClient client;
    ASSERT_TRUE(Open(&client));
    std::vector<amf::Field> params = {{"app", amf::Str("default")}, {"tcUrl", amf::Str("rtmp://x/default")}};
    if (encoding >= 0) params.push_back({"objectEncoding", amf::Num(encoding)});
    ASSERT_TRUE(client.SendMessage(3, 20, 0, 0,
                                   amf::Body({amf::Str("connect"), amf::Num(1), amf::Obj(params)})));

    auto ack = client.ReadMessage();
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->type, 5);
    EXPECT_EQ(ack->channel, 2u);
    EXPECT_EQ(ack->body, (std::vector<uint8_t>{0x00, 0x26, 0x25, 0xA0}));
    auto bandwidth = client.ReadMessage();
    ASSERT_TRUE(bandwidth);
    EXPECT_EQ(bandwidth->type, 6);
    EXPECT_EQ(bandwidth->body, (std::vector<uint8_t>{0x00, 0x26, 0x25, 0xA0, 0x02}));
    auto begin = client.ReadMessage();
    ASSERT_TRUE(begin);
    EXPECT_EQ(begin->type, 4);
    EXPECT_EQ(begin->body, (std::vector<uint8_t>(6, 0)));
    auto result = client.ReadMessage();
    ASSERT_TRUE(result);
    EXPECT_EQ(result->type, 20);
    EXPECT_EQ(result->channel, 3u);
    EXPECT_EQ(result->streamId, 0u);
    EXPECT_EQ(result->body, ExpectedConnectResult(encoding < 0 ? 0 : encoding)) << "objectEncoding " << encoding;
  }
}

// An empty application name, a missing one and one that is not a string all
// leave the app text empty (the sanitizer build once aborted on copying it).
// An idle connection holds its socket and its wake event, nothing made for
// media it may never play: thousands of them must not cost three times that.
TEST_F(ConnectionTest, IdleConnectionHoldsOnlyItsSocketAndWakeEvent) {
  const std::string fds = "/proc/" + std::to_string(server_->pid) + "/fd";
  auto count = [&] {
    return std::distance(std::filesystem::directory_iterator(fds), std::filesystem::directory_iterator());
  };
  // The first connection opens what the server makes once (its log, say).
  RtmpClient first;
  ASSERT_TRUE(Connected(&first));
  const auto before = count();
  constexpr int kClients = 8;
  RtmpClient clients[kClients];
  for (RtmpClient& client : clients) ASSERT_TRUE(Connected(&client));
  EXPECT_LE(count() - before, 2 * kClients);
}

TEST_F(ConnectionTest, ConnectWithoutAnApplicationNameIsServed) {
  for (int variant = 0; variant < 3; ++variant) {
    RtmpClient client;
    ASSERT_TRUE(Open(&client));
    std::vector<amf::Field> params = {{"flashVer", amf::Str("LNX 9,0,124,2")}};
    if (variant == 1) params.push_back({"app", amf::Str("")});
    if (variant == 2) params.push_back({"app", amf::Num(7)});
    ASSERT_TRUE(client.SendMessage(3, 20, 0, 0, amf::Body({amf::Str("connect"), amf::Num(1), amf::Obj(params)})));
    auto values = ReadCommand(&client);
    ASSERT_EQ(values.size(), 4u) << variant;
    EXPECT_EQ(values[3].Get("code").text, "NetConnection.Connect.Success");
    ASSERT_TRUE(Command(&client, {amf::Str("createStream"), amf::Num(2), amf::Null()}));
    EXPECT_EQ(ReadCommand(&client).size(), 4u) << variant;
  }
}

TEST_F(ConnectionTest, Play2AndUnknownCommandsGetNoReply) {
  RtmpClient client;
  ASSERT_TRUE(Connected(&client));
  ASSERT_TRUE(Command(&client, {amf::Str("play2"), amf::Num(2), amf::Null()}));
  ASSERT_TRUE(Command(&client, {amf::Str("noSuchCommand"), amf::Num(3), amf::Null()}));
  ASSERT_TRUE(Command(&client, {amf::Str("Connect"), amf::Num(4), amf::Null()}));
  ASSERT_TRUE(Command(&client, {amf::Str("chatSendText"), amf::Num(5), amf::Null()}));
  ASSERT_TRUE(Command(&client, {amf::Str("createStream"), amf::Num(6), amf::Null()}));
  // The first reply is the createStream answer: nothing came before it.
  auto m = client.ReadMessage();
  ASSERT_TRUE(m);
  std::vector<amf::Node> values;
  ASSERT_TRUE(amf::Read(m->body, &values));
  ASSERT_EQ(values.size(), 4u);
  EXPECT_EQ(values[0].text, "_result");
  EXPECT_EQ(values[1].number, 6);
  EXPECT_EQ(values[3].number, 1);
}

TEST_F(ConnectionTest, CommandThatDoesNotStartWithAStringClosesTheConnection) {
  for (auto body : {amf::Body({amf::Num(1), amf::Str("connect")}), std::vector<uint8_t>{},
                    std::vector<uint8_t>{0x02, 0x00, 0x10, 'c'}}) {
    RtmpClient client;
    ASSERT_TRUE(Connected(&client));
    ASSERT_TRUE(client.SendMessage(3, 20, 0, 0, body));
    EXPECT_TRUE(client.WaitClosed(5000)) << body.size();
  }
}

// Each decoded value costs far more memory than its byte on the wire: a
// command with more values than any command has is refused, not answered.
TEST_F(ConnectionTest, CommandWithTooManyValuesClosesTheConnection) {
  RtmpClient client;
  ASSERT_TRUE(Connected(&client));
  std::vector<uint8_t> body = amf::Body({amf::Str("createStream"), amf::Num(2), amf::Null()});
  body.insert(body.end(), kAmfMaxValues, 0x05);
  ASSERT_TRUE(client.SendMessage(3, 20, 0, 0, body));
  auto reply = client.ReadMessage(5000);
  EXPECT_FALSE(reply) << "answered with type " << int(reply ? reply->type : 0);
  EXPECT_TRUE(client.WaitClosed(5000));
}

TEST_F(ConnectionTest, SetChunkSizeIsAnsweredAndUsedForSending) {
  RtmpClient client;
  ASSERT_TRUE(Open(&client));
  ASSERT_TRUE(client.SetChunkSize(4096));
  auto reply = client.ReadMessage();
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->type, 1);
  EXPECT_EQ(reply->body, (std::vector<uint8_t>{0x00, 0x00, 0x10, 0x00}));
  EXPECT_EQ(client.inChunkSize, 4096u);
  // The connect result is longer than 128 bytes: read with chunks of 4096 it
  // only decodes if the server sent it in one chunk.
  ASSERT_TRUE(SendConnect(&client));
  RtmpClientMessage message;
  auto values = ReadCommand(&client, &message);
  ASSERT_GT(message.body.size(), 128u);
  EXPECT_EQ(message.body, ExpectedConnectResult(0));
}

TEST_F(ConnectionTest, InvalidChunkSizesCloseTheConnection) {
  for (uint32_t size : {0u, 0x80000000u}) {
    RtmpClient client;
    ASSERT_TRUE(Connected(&client));
    uint8_t body[4] = {uint8_t(size >> 24), uint8_t(size >> 16), uint8_t(size >> 8), uint8_t(size)};
    ASSERT_TRUE(client.SendMessage(2, 1, 0, 0, body));
    EXPECT_TRUE(client.WaitClosed(5000)) << size;
  }
}

TEST_F(ConnectionTest, DigestHandshakesOfBothSchemesAreAccepted) {
  for (int scheme : {0, 1}) {
    RtmpClient client;
    EXPECT_TRUE(Connected(&client, scheme)) << scheme;
  }
}

TEST_F(ConnectionTest, StreamIdsCountUpAndNineteenthStreamFindsNoChannel) {
  RtmpClient client;
  ASSERT_TRUE(Connected(&client));
  for (int i = 1; i <= 18; ++i) {
    ASSERT_TRUE(Command(&client, {amf::Str("createStream"), amf::Num(10 + i), amf::Null()}));
    auto values = ReadCommand(&client);
    ASSERT_EQ(values.size(), 4u);
    EXPECT_EQ(values[0].text, "_result");
    EXPECT_EQ(values[1].number, 10 + i);
    EXPECT_EQ(values[3].number, i);
  }
  ASSERT_TRUE(Command(&client, {amf::Str("createStream"), amf::Num(40), amf::Null()}));
  auto refused = ReadCommand(&client);
  ASSERT_EQ(refused.size(), 4u);
  EXPECT_EQ(refused[0].text, "_error");
  EXPECT_EQ(refused[1].number, 40);

  // deleteStream on stream 0 of an id that does not exist changes nothing;
  // deleting stream 5 frees its channels for the next stream, which gets a
  // new id (ids are never reused).
  ASSERT_TRUE(Command(&client, {amf::Str("deleteStream"), amf::Num(0), amf::Null(), amf::Num(77)}));
  ASSERT_TRUE(Command(&client, {amf::Str("createStream"), amf::Num(41), amf::Null()}));
  EXPECT_EQ(ReadCommand(&client)[0].text, "_error");
  ASSERT_TRUE(Command(&client, {amf::Str("deleteStream"), amf::Num(0), amf::Null(), amf::Num(5)}));
  ASSERT_TRUE(Command(&client, {amf::Str("createStream"), amf::Num(42), amf::Null()}));
  auto again = ReadCommand(&client);
  ASSERT_EQ(again.size(), 4u);
  EXPECT_EQ(again[0].text, "_result");
  EXPECT_EQ(again[3].number, 19);
}

TEST_F(ConnectionTest, PlayWithoutDatabaseAnswersStreamNotFoundOnTheDataChannel) {
  RtmpClient client;
  ASSERT_TRUE(Connected(&client));
  ASSERT_TRUE(Command(&client, {amf::Str("createStream"), amf::Num(2), amf::Null()}));
  ASSERT_EQ(ReadCommand(&client).size(), 4u);
  ASSERT_TRUE(Command(&client, {amf::Str("play"), amf::Num(0), amf::Null(), amf::Str("fileid=200"), amf::Num(-2)}, 1));
  RtmpClientMessage message;
  auto values = ReadCommand(&client, &message);
  ASSERT_EQ(values.size(), 4u);
  EXPECT_EQ(values[0].text, "onStatus");
  EXPECT_EQ(values[3].Get("code").text, "NetStream.Play.StreamNotFound");
  EXPECT_EQ(values[3].Get("description").text, "not found");
  EXPECT_EQ(message.streamId, 1u);
  EXPECT_EQ(message.channel, 12u);  // audio 10, video 11, data 12
  // The failed play leaves the stream playing; closeStream and a command on
  // a stream id that has none are taken quietly.
  ASSERT_TRUE(Command(&client, {amf::Str("closeStream"), amf::Num(0), amf::Null()}, 1));
  ASSERT_TRUE(Command(&client, {amf::Str("seek"), amf::Num(0), amf::Null(), amf::Num(10)}, 9));
  uint8_t audio[2] = {0xAF, 0x01};
  ASSERT_TRUE(client.SendMessage(4, 8, 9, 0, audio));
  ASSERT_TRUE(Command(&client, {amf::Str("createStream"), amf::Num(3), amf::Null()}));
  auto next = ReadCommand(&client);
  ASSERT_EQ(next.size(), 4u);
  EXPECT_EQ(next[3].number, 2);
}

TEST_F(ConnectionTest, HalfSentMessageDoesNotDelayAnotherConnection) {
  RtmpClient slow;
  ASSERT_TRUE(Connected(&slow));
  // A command chunk that announces 300 bytes and sends 100 of them: its
  // connection thread waits for the rest.
  std::vector<uint8_t> part(100, 'x');
  ASSERT_TRUE(slow.SendChunk(0, 3, 0, 300, 20, 0, part));

  RtmpClient other;
  auto start = Clock::now();
  ASSERT_TRUE(Connected(&other));
  ASSERT_TRUE(Command(&other, {amf::Str("createStream"), amf::Num(2), amf::Null()}));
  auto values = ReadCommand(&other);
  ASSERT_EQ(values.size(), 4u);
  EXPECT_LT(MsSince(start), 1000);
}

// The real loop clock in the real binary, with a short period (the 30 s
// default is checked on the loop's own clock in connection_io_test).
TEST_F(ConnectionTest, SilentClientIsPingedAtTheKeepAlivePeriodAndStays) {
  ServerProcess pinging;
  ASSERT_TRUE(StartServer(&pinging, "keepalive", "", {"STRMD_KEEPALIVE_MS=300"}));
  RtmpClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", static_cast<uint16_t>(pinging.port)) && client.HandshakePlain() &&
              SendConnect(&client));
  auto start = Clock::now();
  std::optional<RtmpClientMessage> ping;
  while (!ping && MsSince(start) < 5000) {
    auto m = client.ReadMessage(5000);
    if (m && m->type == 4 && m->body.size() >= 2 && m->body[1] == 6) ping = m;
    if (!m) break;
  }
  ASSERT_TRUE(ping);
  EXPECT_LE(MsSince(start), 3000);
  EXPECT_EQ(ping->body, (std::vector<uint8_t>{0, 6, 0, 0, 0, 0}));
  // Still served.
  ASSERT_TRUE(Command(&client, {amf::Str("createStream"), amf::Num(2), amf::Null()}));
  EXPECT_EQ(ReadCommand(&client).size(), 4u);
}

long RssKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

// Many connections each sending a large message slowly together hold no more
// than the server's bound: the one whose message would cross it is closed
// with a report naming its address, and the others, and new clients, go on.
TEST(ServerInputBound, UnfinishedInputOfAllConnectionsStaysUnderTheBound) {
  ServerProcess server;
  ASSERT_TRUE(StartServer(&server, "input_bound", "\"MaxPartialInputMB\"=dword:00000010\n"));
  constexpr uint32_t kMessage = 4 << 20;
  const std::vector<uint8_t> part(kMessage - 1, 0x33);
  const long before = RssKiB(server.pid);
  std::vector<std::unique_ptr<RtmpClient>> clients;
  for (int i = 0; i < 12; i++) {
    auto client = std::make_unique<RtmpClient>();
    ASSERT_TRUE(client->Connect("127.0.0.1", static_cast<uint16_t>(server.port)));
    ASSERT_TRUE(client->HandshakePlain());
    ASSERT_TRUE(client->SetChunkSize(kMessage));
    // All of the message but its last byte.
    client->SendChunk(0, 4, 0, kMessage, 8, 1, part);
    clients.push_back(std::move(client));
  }
  // At most four messages fit: wait until the server has closed at least
  // eight connections (each close is seen as it comes), then give the rest a
  // moment to show a close they must not get. No message can fence a kept
  // connection: anything it sends now counts against the full bound.
  std::vector<bool> seenClosed(clients.size(), false);
  int closed = 0;
  auto countClosed = [&](int waitMs) {
    for (size_t i = 0; i < clients.size(); i++)
      if (!seenClosed[i] && clients[i]->WaitClosed(waitMs)) {
        seenClosed[i] = true;
        closed++;
      }
    return closed;
  };
  TestWaitUntil([&] { return countClosed(0) >= 8; });
  countClosed(200);
  const long grown = RssKiB(server.pid) - before;
  EXPECT_GE(closed, 8) << "four 4 MiB messages fit into 16 MiB";
  EXPECT_LE(closed, 9);
  EXPECT_LT(grown, (16 + 12) * 1024) << "RSS grew by " << grown << " KiB";

  RtmpClient normal;
  ASSERT_TRUE(normal.Connect("127.0.0.1", static_cast<uint16_t>(server.port)));
  ASSERT_TRUE(normal.HandshakePlain());
  ASSERT_TRUE(normal.SendMessage(3, 20, 0, 0,
                                 amf::Body({amf::Str("connect"), amf::Num(1), amf::Obj({{"app", amf::Str("x")}})})));
  bool answered = false;
  while (auto m = normal.ReadMessage(5000))
    if (m->type == 20) {
      answered = true;
      break;
    }
  EXPECT_TRUE(answered);
  EXPECT_NE(server.Output().find("over the server's bound from 127.0.0.1"), std::string::npos) << server.Output();
}

TEST(StatusLevel, FailureCodesAreErrorsEverythingElseStatus) {
  for (const char* code : {"NetStream.Play.StreamNotFound", "NetStream.Publish.BadName", "NetStream.Play.Failed",
                           "NetStream.Failed", "NetConnection.Connect.Rejected", "NetStream.Record.NoAccess",
                           "NetStream.Play.FileNotFound", "Failed"})
    EXPECT_STREQ(StatusLevel(code), "error") << code;
  for (const char* code : {"NetStream.Play.Start", "NetStream.Play.Complete", "NetStream.Play.Stop",
                           "NetStream.Seek.Notify", "NetStream.Publish.Start", "NetStream.Failed.Start",
                           "NetStream.Play.Reset", ""})
    EXPECT_STREQ(StatusLevel(code), "status") << code;
}

}  // namespace
