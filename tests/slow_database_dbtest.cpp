// A database that holds every statement of one connection's plays, pauses
// and ends of file for ten seconds must not stop that connection's other
// stream: its media and the pings keep their pace, and once the database
// answers, the waiting play starts and the rows carry the seconds they would
// have carried without the wait. A model command or a publish waiting on a
// locked table stops neither, nor does a chat entry or text whose statements wait.
#include <gtest/gtest.h>
#include <mysql.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "support/ChatClient.h"
#include "support/FlvBuilder.h"
#include "support/StrmdSite.h"
#include "support/TestEnv.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t Ms(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}

// The longest stretch of [from, to] without one of `times`; time inside
// [skipFrom, skipTo] does not count. *where: its start, ms after `from`.
int64_t LongestGap(std::vector<Clock::time_point> times, Clock::time_point from, Clock::time_point to,
                   Clock::time_point skipFrom, Clock::time_point skipTo, int64_t* where) {
  times.insert(times.begin(), from);
  times.push_back(to);
  int64_t longest = 0;
  auto note = [&](Clock::time_point a, Clock::time_point b) {
    if (Ms(a, b) > longest) {
      longest = Ms(a, b);
      *where = Ms(from, a);
    }
  };
  for (size_t i = 1; i < times.size(); ++i) {
    Clock::time_point a = times[i - 1], b = times[i];
    if (b <= skipFrom || a >= skipTo) {
      note(a, b);
    } else {
      if (a < skipFrom) note(a, skipFrom);
      if (b > skipTo) note(skipTo, b);
    }
  }
  return longest;
}

// The test's own connection to the site's database, holding a write lock
// on `tables` (a "lock tables" list) until it unlocks or closes; null when
// it could not connect or lock.
MYSQL* LockTables(StrmdSite& site, const char* tables) {
  MYSQL* holder = mysql_init(nullptr);
  const TestDbServerInfo& info = site.db->server();
  if (mysql_real_connect(holder, info.host.c_str(), "root", "", site.db->name().c_str(),
                         static_cast<unsigned>(info.port), nullptr, 0) == nullptr ||
      mysql_query(holder, (std::string("lock tables ") + tables).c_str()) != 0) {
    ADD_FAILURE() << mysql_error(holder);
    mysql_close(holder);
    return nullptr;
  }
  return holder;
}

// A site whose pings come every 300 ms, with demo.flv as object 200, and a
// player with `streams` streams whose stream 1 plays it, logged in as Ben.
// Stream 1 gets each message at its time (no lead), so a stall shows.
void StartPlayingWithoutLead(StrmdSite* site, const char* tag, TestPlayer* player, int streams) {
  ASSERT_TRUE(site->Start(tag, "default", "", {"STRMD_KEEPALIVE_MS=300"}));
  ASSERT_TRUE(site->HoldLocalWeb());
  ASSERT_TRUE(FlvBuilder().Clip(60000, 1).WriteTo(site->Files() + "/demo.flv"));  // object 200
  ASSERT_TRUE(player->Connect(static_cast<uint16_t>(site->server.port)));
  for (int stream = 1; stream <= streams; ++stream) ASSERT_EQ(player->CreateStream(), stream);
  const uint8_t noLead[10] = {0, 3, 0, 0, 0, 1, 0, 0, 0, 0};
  ASSERT_TRUE(player->client.SendMessage(2, 4, 0, 0, noLead));
  ASSERT_TRUE(player->Play(1, "fileid=200&phpsessid=demo-ben-0002"));  // logs the connection in
  ASSERT_FALSE(player->Until("NetStream.Play.Start").empty());
}

TEST(SlowDatabase, AStreamKeepsItsPaceAndPingsWhileAnotherStreamsStatementsWait) {
  StrmdSite site;
  TestPlayer player;
  ASSERT_NO_FATAL_FAILURE(StartPlayingWithoutLead(&site, "slowdb", &player, 3));
  ASSERT_TRUE(FlvBuilder().Clip(3000, 2).WriteTo(site.Files() + "/Upper.FLV"));  // object 203
  ASSERT_TRUE(player.Play(2, "fileid=203"));
  ASSERT_FALSE(player.Until("NetStream.Play.Start").empty());
  const auto played = Clock::now();
  ASSERT_EQ(site.db->Value("select count(*) from FileSession where status=1"), "2");

  // The test's own connection write-locks what the statements need.
  MYSQL* holder = LockTables(site, "Object write, FileSession write");
  ASSERT_NE(holder, nullptr);
  const auto held = Clock::now();
  const auto release = held + std::chrono::seconds(10);

  std::vector<Clock::time_point> media, pings;
  Clock::time_point pauseSent{}, resumeSent{}, playSent{};
  bool paused = false, resumed = false, playing = false, secondEnded = false, thirdStarted = false;
  while (Clock::now() < release) {
    const auto now = Clock::now();
    // Pause and resume first: a play of this connection holds its later
    // commands until it is answered.
    if (!paused && now >= played + std::chrono::milliseconds(2000)) {
      ASSERT_TRUE(player.Command({amf::Str("pause"), amf::Num(0), amf::Null(), amf::Bool(true)}, 1));
      pauseSent = Clock::now();
      paused = true;
    } else if (paused && !resumed && now >= pauseSent + std::chrono::milliseconds(1500)) {
      ASSERT_TRUE(player.Command({amf::Str("pause"), amf::Num(0), amf::Null(), amf::Bool(false)}, 1));
      resumeSent = Clock::now();
      resumed = true;
    } else if (resumed && !playing && now >= resumeSent + std::chrono::milliseconds(1500)) {
      ASSERT_TRUE(player.Play(3, "fileid=200"));
      playSent = Clock::now();
      playing = true;
    }
    auto m = player.Next(50);
    if (!m) continue;
    if (m->streamId == 1 && (m->type == 8 || m->type == 9) && !m->body.empty()) media.push_back(player.lastArrival);
    if (m->type == 4 && m->body.size() >= 2 && m->body[0] == 0 && m->body[1] == 6) pings.push_back(player.lastArrival);
    if (m->streamId == 2 && StatusCode(*m) == "NetStream.Play.Complete") secondEnded = true;
    if (m->streamId == 3 && StatusCode(*m) == "NetStream.Play.Start") thirdStarted = true;
  }
  const auto end = Clock::now();
  ASSERT_TRUE(playing);
  EXPECT_TRUE(secondEnded);     // its end came while its statement waited
  EXPECT_FALSE(thirdStarted);   // its object could not be read yet
  int64_t at = 0;
  EXPECT_LE(LongestGap(media, held, end, pauseSent, resumeSent, &at), 1000) << "media, from " << at << " ms";
  EXPECT_LE(LongestGap(pings, held, end, end, end, &at), 1000) << "pings, from " << at << " ms";
  ASSERT_EQ(mysql_query(holder, "unlock tables"), 0);
  mysql_close(holder);

  // Fences: the waiting play is answered, then the rows are written.
  bool started = thirdStarted;
  for (auto until = Clock::now() + std::chrono::seconds(20); !started && Clock::now() < until;) {
    auto m = player.Next(1000);
    if (m && m->streamId == 3 && StatusCode(*m) == "NetStream.Play.Start") started = true;
  }
  ASSERT_TRUE(started);
  // Stream 1 was watched about 2 s before its pause, stream 2 its 3 s.
  ASSERT_TRUE(TestWaitUntil([&] {
    return site.db->Value("select status from FileSession where id=2") == "2" &&
           site.db->Value("select status from FileSession where id=3") == "2";
  }));
  const int first = std::stoi(site.db->Value("select duration from FileSession where id=2"));
  const int second = std::stoi(site.db->Value("select duration from FileSession where id=3"));
  EXPECT_GE(first, 1);
  EXPECT_LE(first, 3);
  EXPECT_GE(second, 2);
  EXPECT_LE(second, 4);
  EXPECT_EQ(site.db->Value("select fileid from FileSession where id=4"), "200");
}

// A model command whose statement waits on a locked table holds only its
// own answer: the connection's stream keeps its pace, the pings go on, and
// the answer comes once the table is free.
TEST(SlowDatabase, AModelCommandWaitingOnALockedTableLeavesTheConnectionItsPaceAndPings) {
  StrmdSite site;
  TestPlayer player;
  ASSERT_NO_FATAL_FAILURE(StartPlayingWithoutLead(&site, "slowmodel", &player, 1));

  MYSQL* holder = LockTables(site, "Object write");
  ASSERT_NE(holder, nullptr);
  const auto held = Clock::now();
  ASSERT_TRUE(player.Command({amf::Str("loadmodel"), amf::Num(9), amf::Null(), amf::Str("File"),
                              amf::Str("fileid=200")}));
  auto isAnswer = [](const RtmpClientMessage& m) {
    const auto values = Values(m);
    return m.type == 20 && values.size() == 4 && values[0].text == "_result" && values[1].number == 9;
  };
  std::vector<Clock::time_point> media, pings;
  bool answeredWhileHeld = false;
  while (Clock::now() < held + std::chrono::seconds(5)) {
    auto m = player.Next(50);
    if (!m) continue;
    if (m->streamId == 1 && (m->type == 8 || m->type == 9) && !m->body.empty()) media.push_back(player.lastArrival);
    if (m->type == 4 && m->body.size() >= 2 && m->body[0] == 0 && m->body[1] == 6) pings.push_back(player.lastArrival);
    if (isAnswer(*m)) answeredWhileHeld = true;
  }
  const auto end = Clock::now();
  EXPECT_FALSE(answeredWhileHeld);
  int64_t at = 0;
  EXPECT_LE(LongestGap(media, held, end, end, end, &at), 1000) << "media, from " << at << " ms";
  EXPECT_LE(LongestGap(pings, held, end, end, end, &at), 1000) << "pings, from " << at << " ms";
  ASSERT_EQ(mysql_query(holder, "unlock tables"), 0);
  mysql_close(holder);

  // The fence: the answer is the one the free table gives.
  std::vector<amf::Node> answer;
  for (auto until = Clock::now() + std::chrono::seconds(20); answer.empty() && Clock::now() < until;)
    if (auto m = player.Next(1000); m && isAnswer(*m)) answer = Values(*m);
  ASSERT_EQ(answer.size(), 4u);
  EXPECT_EQ(answer[3].Get("fileid").number, 200);
  EXPECT_EQ(answer[3].Get("status").number, 3);  // ready: an FLV plays as it is
}

// A chat entry and a text whose statements wait on a locked table hold only
// that connection's further commands: its player keeps its pace, and the
// room's other members keep hearing each other. Once the table is free the
// entry describes the room and the text reaches everyone, once.
TEST(SlowDatabase, AChatEntryAndTextWaitingOnALockedTableLeaveThePlayerAndTheRoomGoing) {
  StrmdSite site;
  ASSERT_TRUE(site.Start("slowchat"));
  ASSERT_TRUE(site.HoldLocalWeb());
  ASSERT_TRUE(FlvBuilder().Clip(60000, 1).WriteTo(site.Files() + "/demo.flv"));  // object 200
  const auto port = static_cast<uint16_t>(site.server.port);
  ChatClient ada, ben, cleo;
  ASSERT_TRUE(ada.Login(port, "demo-ada-0001"));
  ASSERT_TRUE(cleo.Login(port, "demo-cleo-0003"));
  ASSERT_TRUE(ben.Login(port, "demo-ben-0002"));
  ASSERT_FALSE(ada.Do("chatConnectChat", {amf::Num(1)}).empty());
  ASSERT_FALSE(cleo.Do("chatConnectChat", {amf::Num(1)}).empty());
  ada.Sync();
  ASSERT_EQ(ben.player.CreateStream(), 1);
  const uint8_t noLead[10] = {0, 3, 0, 0, 0, 1, 0, 0, 0, 0};
  ASSERT_TRUE(ben.player.client.SendMessage(2, 4, 0, 0, noLead));
  ASSERT_TRUE(ben.player.Play(1, "fileid=200"));
  ASSERT_FALSE(ben.player.Until("NetStream.Play.Start").empty());

  MYSQL* holder = LockTables(site, "ChatTextLog write");
  ASSERT_NE(holder, nullptr);
  const auto held = Clock::now();
  // Ben's entry waits for the room's texts, his text for its row.
  ASSERT_TRUE(ben.Send("chatConnectChat", {amf::Num(1)}));
  ASSERT_TRUE(ben.Send("chatSendText", {amf::Str("held text"), amf::Num(1)}));

  std::vector<Clock::time_point> media, heard;
  std::vector<std::string> benHeard, adaTexts;
  auto callOf = [](const RtmpClientMessage& m) {
    const auto values = Values(m);
    const bool chat = m.type == 20 && values.size() >= 3 && values[0].text.rfind("Receive", 0) == 0;
    return chat ? values[0].text : std::string();
  };
  auto actionDue = held;
  while (Clock::now() < held + std::chrono::seconds(5)) {
    if (Clock::now() >= actionDue) {
      ASSERT_TRUE(cleo.Send("chatUserAction", {amf::Str("raise"), amf::Str("hand")}));
      actionDue += std::chrono::milliseconds(250);
    }
    while (cleo.player.Next(0)) {
    }
    if (auto m = ben.player.Next(20)) {
      if (m->streamId == 1 && (m->type == 8 || m->type == 9) && !m->body.empty()) media.push_back(ben.player.lastArrival);
      if (!callOf(*m).empty()) benHeard.push_back(callOf(*m));
    }
    if (auto m = ada.player.Next(20)) {
      const auto values = Values(*m);
      if (callOf(*m) == "ReceiveUserUpdate" && values.size() > 3 && values[3].Get("userid").number == 3)
        heard.push_back(ada.player.lastArrival);
      if (callOf(*m) == "ReceiveText") adaTexts.push_back(values[3].Get("message").text);
    }
  }
  const auto end = Clock::now();
  // Ben is in the room and hears it, but its description waits for its texts.
  EXPECT_EQ(std::count(benHeard.begin(), benHeard.end(), "ReceiveChatInfo"), 0);
  EXPECT_EQ(std::count(benHeard.begin(), benHeard.end(), "ReceiveText"), 0);
  EXPECT_TRUE(adaTexts.empty());
  int64_t at = 0;
  EXPECT_LE(LongestGap(media, held, end, end, end, &at), 1000) << "media, from " << at << " ms";
  EXPECT_LE(LongestGap(heard, held, end, end, end, &at), 1000) << "Cleo's updates to Ada, from " << at << " ms";
  ASSERT_EQ(mysql_query(holder, "unlock tables"), 0);
  mysql_close(holder);

  // Fences: the entry is described, then the text reaches both, stored once.
  auto entry = ben.Until("ReceiveText", [](const ChatCall& c) { return c.object.Get("message").text == "held text"; },
                         20000);
  ASSERT_FALSE(entry.empty());
  EXPECT_EQ(Calls(entry, "ReceiveChatInfo").size(), 1u);
  EXPECT_FALSE(entry.back().object.Get("backlog").number);
  EXPECT_FALSE(ada.Until("ReceiveText", [](const ChatCall& c) { return c.object.Get("message").text == "held text"; },
                         20000)
                   .empty());
  EXPECT_EQ(site.db->Value("select count(*) from ChatTextLog where message='held text'"), "1");
}

// A publish whose object and row wait on locked tables holds only its own
// answer: another stream of the connection keeps its pace, the pings go on,
// and the publish starts, with its row, once the tables are free.
TEST(SlowDatabase, APublishWaitingOnLockedTablesLeavesTheConnectionItsPaceAndPings) {
  StrmdSite site;
  TestPlayer player;
  ASSERT_NO_FATAL_FAILURE(StartPlayingWithoutLead(&site, "slowpublish", &player, 2));

  MYSQL* holder = LockTables(site, "Object write, RecordSession write");
  ASSERT_NE(holder, nullptr);
  const auto held = Clock::now();
  ASSERT_TRUE(player.Publish(2, "fileid=302"));
  std::vector<Clock::time_point> media, pings;
  bool answeredWhileHeld = false;
  while (Clock::now() < held + std::chrono::seconds(5)) {
    auto m = player.Next(50);
    if (!m) continue;
    if (m->streamId == 1 && (m->type == 8 || m->type == 9) && !m->body.empty()) media.push_back(player.lastArrival);
    if (m->type == 4 && m->body.size() >= 2 && m->body[0] == 0 && m->body[1] == 6) pings.push_back(player.lastArrival);
    if (m->streamId == 2 && !StatusCode(*m).empty()) answeredWhileHeld = true;
  }
  const auto end = Clock::now();
  EXPECT_FALSE(answeredWhileHeld);
  int64_t at = 0;
  EXPECT_LE(LongestGap(media, held, end, end, end, &at), 1000) << "media, from " << at << " ms";
  EXPECT_LE(LongestGap(pings, held, end, end, end, &at), 1000) << "pings, from " << at << " ms";
  ASSERT_EQ(mysql_query(holder, "unlock tables"), 0);
  mysql_close(holder);

  // The fence: the publish starts as with free tables, its row open.
  std::string code;
  for (auto until = Clock::now() + std::chrono::seconds(20); code.empty() && Clock::now() < until;)
    if (auto m = player.Next(1000); m && m->streamId == 2) code = StatusCode(*m);
  EXPECT_EQ(code, "NetStream.Publish.Start");
  EXPECT_EQ(site.db->Value("select concat(count(*), ',', min(status)) from RecordSession where fileid=302"), "1,1");
}

}  // namespace
