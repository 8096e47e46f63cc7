// The connection's web session at teardown: the request that tells the web
// application a session's connection ended, and none without a session.
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>
#include <vector>
#include <thread>

#include "support/FlvBuilder.h"
#include "support/StrmdSite.h"

namespace {

const char* kRequestPrefix = "GET /recorder/internalnew?phpsessid=";

TEST(ConnectionSession, TeardownTellsTheWebApplicationAboutTheSession) {
  StrmdSite site;
  ASSERT_TRUE(site.Start("teardown"));
  ASSERT_TRUE(site.HoldLocalWeb());
  {
    TestPlayer player;
    ASSERT_TRUE(player.Connect(static_cast<uint16_t>(site.server.port)));
    int id = player.CreateStream();
    ASSERT_EQ(id, 1);
    // The file is missing: the play fails, but the session is known now.
    ASSERT_TRUE(player.Play(1, "fileid=200&phpsessid=demo-ben-0002"));
    ASSERT_FALSE(player.Until("NetStream.Play.StreamNotFound").empty());
  }
  EXPECT_TRUE(site.WaitForRequest(std::string(kRequestPrefix) + "demo-ben-0002\r\nHost: _default_\r\n\r\n"));
}

TEST(ConnectionSession, NamedSiteSendsItsFirstHostName) {
  StrmdSite site;
  ASSERT_TRUE(site.Start("teardownhost", "school", "school.example.com"));
  ASSERT_TRUE(site.HoldLocalWeb());
  {
    TestPlayer player;
    ASSERT_TRUE(player.Connect(static_cast<uint16_t>(site.server.port), "school"));
    ASSERT_EQ(player.CreateStream(), 1);
    ASSERT_TRUE(player.Play(1, "questionid=7&phpsessid=demo-ada-0001"));
    ASSERT_FALSE(player.Until("NetStream.Play.StreamNotFound").empty());
  }
  EXPECT_TRUE(
      site.WaitForRequest(std::string(kRequestPrefix) + "demo-ada-0001\r\nHost: school.example.com\r\n\r\n"));
}

TEST(ConnectionSession, NoRequestWithoutASessionOrForAMalformedOne) {
  StrmdSite site;
  // A site of its own name: any request from this server would carry it.
  ASSERT_TRUE(site.Start("norequest", "quiet", "quiet.example"));
  ASSERT_TRUE(site.HoldLocalWeb());
  for (const char* name : {"fileid=200", "fileid=200&phpsessid=x'or'1'='1", "fileid=200&phpsessid=unknown-id"}) {
    TestPlayer player;
    ASSERT_TRUE(player.Connect(static_cast<uint16_t>(site.server.port), "quiet"));
    ASSERT_EQ(player.CreateStream(), 1);
    ASSERT_TRUE(player.Play(1, name));
    ASSERT_FALSE(player.Until("NetStream.Play.StreamNotFound").empty()) << name;
  }
  // A player with a session after them: its request is the only one. The
  // web server takes requests one at a time in arrival order, and those of
  // the players above would have been sent when they closed, before it.
  const std::string control = std::string(kRequestPrefix) + "demo-ada-0001\r\nHost: quiet.example\r\n\r\n";
  {
    TestPlayer player;
    ASSERT_TRUE(player.Connect(static_cast<uint16_t>(site.server.port), "quiet"));
    ASSERT_EQ(player.CreateStream(), 1);
    ASSERT_TRUE(player.Play(1, "questionid=7&phpsessid=demo-ada-0001"));
    ASSERT_FALSE(player.Until("NetStream.Play.StreamNotFound").empty());
  }
  ASSERT_TRUE(site.WaitForRequest(control));
  for (const std::string& request : site.web->Requests())
    EXPECT_EQ(request, control);
  // The injected text never reached a statement: every session row is intact.
  EXPECT_EQ(site.db->Value("select count(*) from Session"), "5");
}

TEST(ConnectionSession, SecondConnectKeepsServingWithTheNewDatabaseConnection) {
  StrmdSite site;
  ASSERT_TRUE(site.Start("reconnect"));
  ASSERT_TRUE(FlvBuilder().Clip(400, 1).WriteTo(site.Files() + "/demo.flv"));
  TestPlayer player;
  ASSERT_TRUE(player.Connect(static_cast<uint16_t>(site.server.port)));
  ASSERT_TRUE(player.Command({amf::Str("connect"), amf::Num(2), amf::Obj({{"app", amf::Str("default")}})}));
  std::optional<RtmpClientMessage> result;
  while ((result = player.Next()) && result->type != 20) {
  }
  ASSERT_TRUE(result);
  ASSERT_EQ(Values(*result)[3].Get("code").text, "NetConnection.Connect.Success");
  ASSERT_EQ(player.CreateStream(), 1);
  ASSERT_TRUE(player.Play(1, "fileid=200"));
  EXPECT_FALSE(player.Until("NetStream.Play.Complete").empty());
}

TEST(ConnectionSession, PublishLoadsTheUserFromItsNameOrIsAnsweredBadName) {
  StrmdSite site;
  ASSERT_TRUE(site.Start("publish"));
  ASSERT_TRUE(site.HoldLocalWeb());
  {
    TestPlayer recorder;
    ASSERT_TRUE(recorder.Connect(static_cast<uint16_t>(site.server.port)));
    ASSERT_EQ(recorder.CreateStream(), 1);
    // A refused recorder is told at once instead of waiting for its own timeout.
    auto refusal = [&](const char* name) {
      EXPECT_TRUE(recorder.Command({amf::Str("publish"), amf::Num(0), amf::Null(), amf::Str(name), amf::Str("live")}, 1));
      auto m = recorder.Next(2000);
      if (!m || StatusCode(*m) != "NetStream.Publish.BadName") return std::string("no BadName");
      return Values(*m)[3].Get("description").text;
    };
    EXPECT_EQ(refusal("phpsessid=demo-nouser-0005&x"), "user not found");
    EXPECT_EQ(refusal("phpsessid=no'such"), "session not found") << "a malformed session id is never looked up";
  }
  TestPlayer recorder;
  ASSERT_TRUE(recorder.Connect(static_cast<uint16_t>(site.server.port)));
  ASSERT_EQ(recorder.CreateStream(), 1);
  ASSERT_TRUE(recorder.Command({amf::Str("publish"), amf::Num(0), amf::Null(),
                                amf::Str("phpsessid=demo-cleo-0003&answer"), amf::Str("live")}, 1));
  auto m = recorder.Next();
  ASSERT_TRUE(m);
  EXPECT_EQ(StatusCode(*m), "NetStream.Publish.Start");
  EXPECT_EQ(m->streamId, 1u);
}

TEST(ConnectionSession, EncoderWithDigestC1AndC2CopyingS1Publishes) {
  StrmdSite site;
  ASSERT_TRUE(site.Start("encoder"));
  ASSERT_TRUE(site.HoldLocalWeb());
  const uint16_t port = static_cast<uint16_t>(site.server.port);
  TestPlayer encoder;
  ASSERT_TRUE(encoder.client.Connect("127.0.0.1", port));
  ASSERT_TRUE(encoder.client.HandshakeDigest(0, 3, 9, false, /*copyS1=*/true)) << encoder.client.error();
  ASSERT_TRUE(encoder.Command({amf::Str("connect"), amf::Num(1), amf::Obj({{"app", amf::Str("default")}})}));
  std::optional<RtmpClientMessage> result;
  while ((result = encoder.Next()) && result->type != 20) {
  }
  ASSERT_TRUE(result) << encoder.client.error();
  ASSERT_EQ(Values(*result)[3].Get("code").text, "NetConnection.Connect.Success");
  ASSERT_EQ(encoder.CreateStream(), 1);
  ASSERT_TRUE(encoder.Command({amf::Str("publish"), amf::Num(0), amf::Null(),
                               amf::Str("phpsessid=demo-cleo-0003&answer"), amf::Str("live")}, 1));
  auto m = encoder.Next();
  ASSERT_TRUE(m);
  EXPECT_EQ(StatusCode(*m), "NetStream.Publish.Start");
  EXPECT_EQ(Values(*m)[3].Get("level").text, "status");

  // A C2 that is neither the copy nor a signature still ends the connection.
  RtmpClient other;
  ASSERT_TRUE(other.Connect("127.0.0.1", port));
  ASSERT_TRUE(other.HandshakeDigest(0, 3, 9, /*badSignature=*/true, /*copyS1=*/true));
  EXPECT_TRUE(other.WaitClosed());
}

// A client's mistakes are the operator's to trace, not failures of the server:
// each is one line naming the client, the stream (its session id cut) and the
// reason, without a system text, and a repeat on one connection adds nothing.
TEST(ConnectionSession, ClientMistakesAreLoggedOncePerConnectionWithTheClient) {
  StrmdSite site;
  ASSERT_TRUE(site.Start("mistakes"));
  ASSERT_TRUE(site.HoldLocalWeb());
  auto mistakes = [&](int connections) {
    for (int c = 0; c < connections; ++c) {
      TestPlayer client;
      ASSERT_TRUE(client.Connect(static_cast<uint16_t>(site.server.port)));
      ASSERT_EQ(client.CreateStream(), 1);
      // Each answer comes after the line is written: it is the fence. The
      // unknown session goes first, while the connection has no user.
      for (int repeat = 0; repeat < 2; ++repeat) {
        ASSERT_TRUE(client.Publish(1, "phpsessid=nosuch-session-7&x"));
        ASSERT_FALSE(client.Until("NetStream.Publish.BadName").empty());
      }
      for (const char* name : {"fileid=999", "fileid=999", "questionid=7&phpsessid=demo-ben-0002",
                               "questionid=7&phpsessid=demo-ben-0002"}) {
        ASSERT_TRUE(client.Play(1, name));
        ASSERT_FALSE(client.Until("NetStream.Play.StreamNotFound").empty()) << name;
      }
    }
  };
  auto lines = [&](const std::string& part) {
    std::vector<std::string> found;
    std::istringstream log(site.server.ErrorLog());
    for (std::string line; std::getline(log, line);)
      if (line.find(part) != std::string::npos) found.push_back(line.substr(line.find("] ") + 2));
    return found;
  };
  mistakes(1);
  const std::vector<std::string> expected = {
      "(client 127.0.0.1, stream \"fileid=999\": object not found)",
      "phpsessid=demo...&questionid=7.flv (client 127.0.0.1, stream \"questionid=7&phpsessid=demo...\": file missing)",
      "(client 127.0.0.1, stream \"phpsessid=nosu...&x\": session not found)"};
  const std::vector<std::string> starts = {"ERROR: ASSERT(file) failed at RtmpFile:", "ERROR: file not found: ",
                                           "ERROR: ASSERT(stream->connection->session) failed at RtmpFunctions:"};
  for (size_t i = 0; i < expected.size(); ++i) {
    const std::vector<std::string> found = lines(expected[i]);
    ASSERT_EQ(found.size(), 1u) << expected[i] << "\n" << site.server.ErrorLog();
    EXPECT_EQ(found[0].rfind(starts[i], 0), 0u) << found[0];  // no stale system text before it
  }
  EXPECT_EQ(lines("127.0.0.1").size(), 3u) << site.server.ErrorLog();
  EXPECT_TRUE(lines("demo-ben-0002").empty());
  EXPECT_TRUE(lines("nosuch-session").empty());
  // Another connection is reported anew.
  mistakes(1);
  EXPECT_EQ(lines("127.0.0.1").size(), 6u) << site.server.ErrorLog();
}

}  // namespace
