// Recording over RTMP against the real binary and a fresh database: session
// recordings and their final files, acknowledgements, recordings into media
// objects with their accounting, refused publishes, recordings that a stop
// closes before the process ends, and recordings that a SIGKILL cut off,
// repaired and placed at the next start.
#include <gtest/gtest.h>
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "support/FlvBuilder.h"
#include "support/StrmdSite.h"
#include "support/TestEnv.h"

namespace {


int64_t FileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? int64_t(st.st_size) : -1;
}

bool Exists(const std::string& path) { return FileSize(path) >= 0; }

std::string StrmdctlPath() {
  const char* p = getenv("STRMDCTL_BINARY");
  return p != nullptr ? p : "strmdctl";
}

int StrmdctlCheck(const std::string& path) {
  const std::string command = "'" + StrmdctlPath() + "' check '" + path + "' > /dev/null 2>&1";
  int status = system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A media body: codec byte, the caller's mark, then a pattern.
std::vector<uint8_t> Body(uint8_t type, uint32_t size, uint8_t mark, bool key = false) {
  std::vector<uint8_t> b(size);
  for (uint32_t i = 0; i < size; ++i) b[i] = uint8_t(i * 13 + mark);
  b[0] = type == 8 ? 0xB2 : key ? 0x17 : 0x27;
  if (size > 1) b[1] = mark;
  return b;
}

class Recording : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(site_.Start("recording", "default", ""));
    ASSERT_TRUE(site_.HoldLocalWeb());
  }

  // A connection with stream `streams` streams, not logged in.
  void Open(TestPlayer* client, int streams = 1) {
    ASSERT_TRUE(client->Connect(static_cast<uint16_t>(site_.server.port)));
    for (int i = 1; i <= streams; ++i) ASSERT_EQ(client->CreateStream(), i);
  }

  // Publishes and returns the description of the status `code` (empty when
  // it did not come).
  std::string Publish(TestPlayer* client, uint32_t stream, const std::string& name,
                      const std::string& code = "NetStream.Publish.Start") {
    EXPECT_TRUE(client->Publish(stream, name));
    auto messages = client->Until(code);
    if (messages.empty()) return "";
    const amf::Node info = Values(messages.back())[3];
    // Clients tell a refusal from progress by the level.
    EXPECT_EQ(info.Get("level").text, code == "NetStream.Publish.Start" ? "status" : "error") << code;
    return info.Get("description").text;
  }

  // `count` messages every 20 ms from `first`, video and audio in turn.
  void Send(TestPlayer* client, uint32_t stream, int count, uint32_t first, uint8_t mark, uint32_t size = 100,
            int kinds = 3) {
    for (int i = 0; i < count; ++i) {
      const uint8_t type = kinds == 1 ? 9 : kinds == 2 ? 8 : (i % 2 == 0 ? 9 : 8);
      const std::vector<uint8_t> body = Body(type, size, mark, i == 0);
      const uint32_t ts = first + uint32_t(i) * 20;
      ASSERT_TRUE(type == 8 ? client->client.SendAudio(stream, ts, body) : client->client.SendVideo(stream, ts, body));
    }
  }

  std::string Temp(const std::string& rest) const { return site_.Temp() + "/phpsessid=" + rest; }

  StrmdSite site_;
};

TEST_F(Recording, SessionRecordingStartsAtZeroGetsItsFlagsItsFinalNameAndTimestampAcknowledgements) {
  TestPlayer client;
  Open(&client, 4);
  ASSERT_EQ(Publish(&client, 1, "phpsessid=demo-ben-0002&questionid=7"), "start");
  // 140 messages of 1000 bytes: the 132nd crosses 131072 bytes.
  Send(&client, 1, 140, 73000, 1, 1000);
  std::vector<uint32_t> acks;
  while (auto m = client.Next(1500))
    if (m->type == 3 && m->body.size() == 4)
      acks.push_back(uint32_t(m->body[0]) << 24 | uint32_t(m->body[1]) << 16 | uint32_t(m->body[2]) << 8 | m->body[3]);
  EXPECT_EQ(acks, std::vector<uint32_t>{73000 + 131 * 20});
  ASSERT_TRUE(client.CloseStream(1));

  const std::string final7 = Temp("demo-ben-0002&questionid=7.flv");
  const std::string recording7 = Temp("demo-ben-0002&phpsessid=demo-ben-0002&questionid=7.flv");
  ASSERT_TRUE(TestWaitUntil([&] { return Exists(final7) && !Exists(recording7); }));
  FlvTestFile flv;
  ASSERT_TRUE(ReadFlvForTest(final7, &flv));
  EXPECT_EQ(std::vector<uint8_t>(flv.header, flv.header + 9), (std::vector<uint8_t>{'F', 'L', 'V', 1, 5, 0, 0, 0, 9}));
  ASSERT_EQ(flv.tags.size(), 140u);
  for (size_t i = 0; i < flv.tags.size(); ++i) {
    EXPECT_EQ(flv.tags[i].timestamp, uint32_t(i) * 20) << i;
    EXPECT_EQ(flv.tags[i].type, i % 2 == 0 ? 9 : 8) << i;
    EXPECT_EQ(flv.tags[i].data, Body(flv.tags[i].type, 1000, 1, i == 0)) << i;
  }
  EXPECT_EQ(StrmdctlCheck(final7), 0);

  // Audio only, video only: the connection now has its user.
  ASSERT_EQ(Publish(&client, 2, "questionid=8&x=audio"), "start");
  Send(&client, 2, 5, 0, 2, 50, 2);
  ASSERT_EQ(Publish(&client, 3, "questionid=9&x=video"), "start");
  Send(&client, 3, 5, 0, 3, 50, 1);
  ASSERT_TRUE(client.CloseStream(2));
  ASSERT_TRUE(client.CloseStream(3));
  const std::string final8 = Temp("demo-ben-0002&questionid=8.flv"), final9 = Temp("demo-ben-0002&questionid=9.flv");
  ASSERT_TRUE(TestWaitUntil([&] { return Exists(final8) && Exists(final9); }));
  EXPECT_EQ(ReadWholeFile(final8)[4], 4);
  EXPECT_EQ(ReadWholeFile(final9)[4], 1);

  // The second recording of question 7 from 1.5 s overwrites what it covers.
  ASSERT_EQ(Publish(&client, 4, "questionid=7&startpos=1.5"), "start");
  Send(&client, 4, 10, 500, 4, 1000);
  ASSERT_TRUE(client.CloseStream(4));
  ASSERT_TRUE(TestWaitUntil([&] { return !Exists(Temp("demo-ben-0002&questionid=7&startpos=1.5.flv")); }));
  ASSERT_TRUE(ReadFlvForTest(final7, &flv));
  std::vector<std::pair<uint8_t, uint32_t>> marks;
  for (const auto& t : flv.tags) marks.emplace_back(t.data[1], t.timestamp);
  // Base up to 1.5 s, the 10 new tags, base from 1.68 s: the 8 between are replaced.
  ASSERT_EQ(marks.size(), 140u - 8u + 10u);
  EXPECT_EQ(marks[75], (std::pair<uint8_t, uint32_t>{1, 1500}));
  EXPECT_EQ(marks[76], (std::pair<uint8_t, uint32_t>{4, 1500}));
  EXPECT_EQ(marks[85], (std::pair<uint8_t, uint32_t>{4, 1680}));
  EXPECT_EQ(marks[86], (std::pair<uint8_t, uint32_t>{1, 1680}));
  EXPECT_EQ(StrmdctlCheck(final7), 0);
  EXPECT_EQ(TestListing(site_.Temp()), (std::vector<std::string>{"phpsessid=demo-ben-0002&questionid=7.flv",
                                                             "phpsessid=demo-ben-0002&questionid=8.flv",
                                                             "phpsessid=demo-ben-0002&questionid=9.flv"}));
}

TEST_F(Recording, RecordingIntoAMediaObjectReplacesItsFileDropsBothIndexesMarksItAndClosesItsSession) {
  const std::string file = site_.Files() + "/302.flv";
  ASSERT_TRUE(FlvBuilder().Clip(3000, 9).WriteTo(file));
  ASSERT_TRUE(WriteWholeFile(file + ".index2", std::vector<uint8_t>(4, 0)));
  ASSERT_TRUE(WriteWholeFile(site_.Cache() + "/302.flv.index2", std::vector<uint8_t>(4, 0)));
  TestPlayer client;
  Open(&client);
  ASSERT_EQ(Publish(&client, 1, "fileid=302&phpsessid=demo-ben-0002"), "start");
  EXPECT_EQ(site_.db->Value("select concat(sessionid, ',', fileid, ',', userid, ',', status) from RecordSession"),
            "2,302,2,1");
  Send(&client, 1, 20, 5000, 5);
  ASSERT_TRUE(client.CloseStream(1));
  ASSERT_TRUE(TestWaitUntil([&] { return site_.db->Value("select scanstatus from Object where id=302") == "3"; }));
  EXPECT_EQ(site_.db->Value("select concat(count(*), ',', min(status)) from RecordSession"), "1,2");
  FlvTestFile flv;
  ASSERT_TRUE(ReadFlvForTest(file, &flv));
  ASSERT_EQ(flv.tags.size(), 20u);
  EXPECT_EQ(flv.tags.front().timestamp, 0u);
  EXPECT_EQ(flv.tags.back().data[1], 5);
  EXPECT_FALSE(Exists(file + ".index2"));
  EXPECT_FALSE(Exists(site_.Cache() + "/302.flv.index2"));
  EXPECT_EQ(TestListing(site_.Temp()), std::vector<std::string>{});  // no journal left
  EXPECT_EQ(StrmdctlCheck(file), 0);

  // A closed row is not reused: the next recording opens its own.
  ASSERT_EQ(Publish(&client, 1, "fileid=302&phpsessid=demo-ben-0002"), "start");
  ASSERT_TRUE(client.CloseStream(1));
  ASSERT_TRUE(TestWaitUntil([&] { return site_.db->Value("select count(*) from RecordSession where status=2") == "2"; }));
}

TEST_F(Recording, RefusedPublishesAreAnsweredBadNameAndWriteNothing) {
  const std::vector<std::string> before = TestListing(site_.dir);
  TestPlayer nobody;
  Open(&nobody);
  EXPECT_EQ(Publish(&nobody, 1, "phpsessid=no-such-session", "NetStream.Publish.BadName"), "session not found");
  TestPlayer noUser;
  Open(&noUser);
  EXPECT_EQ(Publish(&noUser, 1, "phpsessid=demo-nouser-0005", "NetStream.Publish.BadName"), "user not found");

  TestPlayer ben;
  Open(&ben, 6);
  const std::string names[] = {"phpsessid=demo-ben-0002&../../escape", "x/../../../escape", "a\\b",
                               std::string("ok\0/../../escape", 16), "..", std::string(300, 'n')};
  uint32_t stream = 1;
  for (const std::string& name : names) {
    SCOPED_TRACE(stream);
    EXPECT_EQ(Publish(&ben, stream, name, "NetStream.Publish.BadName"), "name not allowed");
    Send(&ben, stream, 4, 0, 1);
    ASSERT_TRUE(ben.CloseStream(stream));
    ++stream;
  }
  // Every answer above came after its refusal; one more command round trip
  // makes sure the media sent after the last one was handled too.
  EXPECT_EQ(ben.CreateStream(), 7);
  EXPECT_EQ(TestListing(site_.Temp()), std::vector<std::string>{});
  EXPECT_EQ(TestListing(site_.dir), before);
  EXPECT_EQ(site_.db->Value("select count(*) from RecordSession"), "0");
}

TEST_F(Recording, RecordingsCutOffBySigkillAreRepairedAndPlacedAtTheNextStartAndPlayBack) {
  ASSERT_TRUE(FlvBuilder().Clip(1000, 9).WriteTo(site_.Files() + "/302.flv"));
  TestPlayer ben, cleo;
  Open(&ben);
  Open(&cleo);
  ASSERT_EQ(Publish(&ben, 1, "phpsessid=demo-ben-0002&questionid=11"), "start");
  ASSERT_EQ(Publish(&cleo, 1, "fileid=302&phpsessid=demo-cleo-0003"), "start");
  Send(&ben, 1, 100, 1000, 1);
  Send(&cleo, 1, 60, 0, 2, 200);
  // Everything sent has reached the files (they are written unbuffered).
  const std::string recording = Temp("demo-ben-0002&phpsessid=demo-ben-0002&questionid=11.flv");
  const std::string object = site_.Files() + "/302.flv";
  ASSERT_TRUE(TestWaitUntil([&] {
    return FileSize(recording) == 9 + 100 * (15 + 100) && FileSize(object) == 9 + 60 * (15 + 200);
  }));
  site_.server.Signal(SIGKILL);
  ASSERT_TRUE(site_.server.Wait());
  ASSERT_EQ(ReadWholeFile(recording)[0], 0);  // never closed

  site_.server.exitStatus = -1;
  // The first run's "STRMD started" must not answer for the second.
  unlink(site_.server.output.c_str());
  ASSERT_TRUE(site_.server.Start({}, site_.server.dir + "/strmd.reg"));
  ASSERT_TRUE(site_.server.WaitForOutput("STRMD started"));

  const std::string final11 = Temp("demo-ben-0002&questionid=11.flv");
  EXPECT_FALSE(Exists(recording));
  ASSERT_TRUE(Exists(final11));
  EXPECT_EQ(StrmdctlCheck(final11), 0);
  EXPECT_EQ(StrmdctlCheck(object), 0);
  FlvTestFile flv;
  ASSERT_TRUE(ReadFlvForTest(final11, &flv));
  ASSERT_EQ(flv.tags.size(), 100u);
  EXPECT_EQ(flv.header[4], 5);
  EXPECT_EQ(flv.tags.back().timestamp, 99u * 20);
  ASSERT_TRUE(ReadFlvForTest(object, &flv));
  EXPECT_EQ(flv.tags.size(), 60u);
  const std::string log = site_.server.ErrorLog();
  EXPECT_NE(log.find("questionid=11.flv repaired: 100 tags (50 audio, 50 video), 1980 ms kept"), std::string::npos) << log;
  EXPECT_NE(log.find("302.flv repaired: 60 tags (30 audio, 30 video), 1180 ms kept"), std::string::npos) << log;
  ASSERT_TRUE(TestWaitUntil([&] { return site_.db->Value("select scanstatus from Object where id=302") == "3"; }));
  EXPECT_EQ(site_.db->Value("select concat(userid, ',', status, ',', duration) from RecordSession"), "3,2,1");
  ASSERT_TRUE(TestWaitUntil([&] { return TestListing(site_.Temp()).size() == 1; }));  // the journal went too

  // It plays back with every tag that reached the disk.
  TestPlayer player;
  Open(&player);
  ASSERT_TRUE(player.Play(1, "questionid=11&phpsessid=demo-ben-0002"));
  auto messages = player.Until("NetStream.Play.Complete");
  ASSERT_FALSE(messages.empty());
  size_t media = 0;
  for (const auto& m : messages)
    if ((m.type == 8 || m.type == 9) && !m.body.empty()) ++media;
  EXPECT_EQ(media, 100u);
}

TEST_F(Recording, AStopClosesTheRecordingsInProgressBeforeTheProcessEnds) {
  const std::string object = site_.Files() + "/302.flv";
  struct Stop {
    std::vector<std::string> args;
    int signal;
  } stops[] = {{{}, SIGINT}, {{"-s"}, SIGTERM}};
  int closed = 0;
  for (const Stop& stop : stops) {
    SCOPED_TRACE(stop.signal);
    if (closed > 0) {
      site_.server.exitStatus = -1;
      unlink(site_.server.output.c_str());
      ASSERT_TRUE(site_.server.Start(stop.args, site_.server.dir + "/strmd.reg"));
      ASSERT_TRUE(site_.server.WaitForOutput("STRMD started"));
    }
    ASSERT_TRUE(site_.db->Run("update Object set scanstatus=0 where id=302"));
    TestPlayer client;
    Open(&client);
    ASSERT_EQ(Publish(&client, 1, "fileid=302&phpsessid=demo-ben-0002"), "start");
    Send(&client, 1, 30, 1000, 6);
    EXPECT_EQ(client.CreateStream(), 2);  // the media was handled
    ASSERT_EQ(TestListing(site_.Temp()).size(), 1u);  // the journal
    site_.server.Signal(stop.signal);
    ASSERT_TRUE(site_.server.Wait(15000));
    EXPECT_EQ(site_.server.exitStatus, 0);
    ++closed;
    // All done before the end, not left to the repair at the next start.
    EXPECT_EQ(StrmdctlCheck(object), 0);
    FlvTestFile flv;
    ASSERT_TRUE(ReadFlvForTest(object, &flv));
    EXPECT_EQ(flv.header[4], 5);
    ASSERT_EQ(flv.tags.size(), 30u);
    EXPECT_EQ(flv.tags.back().timestamp, 29u * 20);
    EXPECT_EQ(site_.db->Value("select scanstatus from Object where id=302"), "3");
    EXPECT_EQ(site_.db->Value("select concat(count(*), ',', sum(status=2)) from RecordSession"),
              std::to_string(closed) + "," + std::to_string(closed));
    EXPECT_EQ(TestListing(site_.Temp()), std::vector<std::string>{});
  }
}

TEST_F(Recording, RecordingsIntoMediaObjectsGoOnlyToFlvFilesBelowTheFilesFolder) {
  // What an attacker would overwrite: files outside every site, reached
  // through an import folder, a link or a name.
  const std::string outside = site_.dir + "/outside";
  ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((site_.Files() + "/imports").c_str(), 0755), 0);
  const std::vector<uint8_t> text = {'k', 'e', 'e', 'p', '\n'};
  for (const char* name : {"/victim.flv", "/victim.txt"}) ASSERT_TRUE(WriteWholeFile(outside + name, text));
  ASSERT_TRUE(WriteWholeFile(site_.Files() + "/notes.txt", text));
  ASSERT_EQ(symlink(outside.c_str(), (site_.Files() + "/linked").c_str()), 0);
  ASSERT_EQ(symlink((outside + "/victim.flv").c_str(), (site_.Files() + "/leaf.flv").c_str()), 0);
  // Open model commands could make all of these rows; the session is the attacker's own.
  ASSERT_TRUE(site_.db->Run("insert into Session (id, userid, status, phpsessid) values (40, 2, 1, 'attack-0040')"));
  ASSERT_TRUE(site_.db->Run(
      "insert into FolderImport (id, name, ownerid, parentid, status, location) values "
      "(10, 'out', 2, 100, 1, '" + outside + "'), (11, 'climb', 2, 100, 1, '" + site_.Files() + "/imports/../..'), "
      "(12, 'inside', 2, 100, 1, '" + site_.Files() + "/imports')"));
  const std::vector<std::string> files = TestListing(site_.Files()), outsideFiles = TestListing(outside);

  struct Case {
    const char* pathname;
    int import;
    const char* code;
  } cases[] = {
      {"victim.flv", 10, "NetStream.Publish.BadName"},  // an import folder outside the files folder
      {"victim.txt", 10, "NetStream.Publish.BadName"},
      {"../outside/victim.flv", 11, "NetStream.Publish.BadName"},
      {"victim.flv", 11, "NetStream.Publish.BadName"},  // an import folder that climbs out
      {"linked/victim.flv", 0, "NetStream.Publish.BadName"},  // a link below the files folder
      {"leaf.flv", 0, "NetStream.Publish.BadName"},           // the file itself a link
      {"notes.txt", 0, "NetStream.Publish.BadName"},          // not an FLV
      {"new.flv", 12, "NetStream.Publish.Start"},             // an import inside the files folder
  };
  int id = 900;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pathname);
    ASSERT_TRUE(site_.db->Run("insert into Object (id, name, authorid, storage, parentid, objecttype, pathname, "
                              "folderimportid) values (" + std::to_string(id) + ", 'x', 2, 1, 100, 2, '" +
                              c.pathname + "', " + std::to_string(c.import) + ")"));
    ASSERT_TRUE(site_.db->Run("insert into FileDetail (objectid, fileformat) values (" + std::to_string(id) + ", 'flv')"));
    TestPlayer client;
    Open(&client);
    Publish(&client, 1, "fileid=" + std::to_string(id) + "&phpsessid=attack-0040", c.code);
    Send(&client, 1, 4, 0, 1);
    ASSERT_TRUE(client.CloseStream(1));
    EXPECT_EQ(client.CreateStream(), 2);  // the media and the close were handled
    ++id;
  }
  EXPECT_EQ(ReadWholeFile(outside + "/victim.flv"), text);
  EXPECT_EQ(ReadWholeFile(outside + "/victim.txt"), text);
  EXPECT_EQ(ReadWholeFile(site_.Files() + "/notes.txt"), text);
  struct stat st;
  EXPECT_TRUE(lstat((site_.Files() + "/leaf.flv").c_str(), &st) == 0 && S_ISLNK(st.st_mode));
  EXPECT_EQ(TestListing(site_.Files()), files);
  EXPECT_EQ(TestListing(outside), outsideFiles);
  // Only the allowed recording was written; no journal, no row for the refused ones.
  EXPECT_EQ(TestListing(site_.Files() + "/imports"), std::vector<std::string>{"new.flv"});
  EXPECT_EQ(StrmdctlCheck(site_.Files() + "/imports/new.flv"), 0);
  EXPECT_EQ(TestListing(site_.Temp()), std::vector<std::string>{});
  EXPECT_EQ(site_.db->Value("select group_concat(fileid) from RecordSession"), "907");
}

TEST_F(Recording, ASecondPublisherOfTheSameNameEndsTheFirstRecordingAsItsCloseWould) {
  // The same two recordings one after the other on one connection, under
  // another name of the same kind, are what the takeover must give.
  TestPlayer alone;
  Open(&alone, 4);
  const std::pair<std::string, std::string> kinds[] = {
      {"phpsessid=demo-ben-0002&questionid=950", "phpsessid=demo-ben-0002&questionid=951"},
      {"fileid=302&phpsessid=demo-ben-0002", "fileid=200&phpsessid=demo-ben-0002"}};
  uint32_t stream = 1;
  for (const auto& [taken, sequential] : kinds) {
    SCOPED_TRACE(taken);
    ASSERT_EQ(Publish(&alone, stream, sequential), "start");
    Send(&alone, stream, 20, 0, 1);
    ASSERT_TRUE(alone.CloseStream(stream));
    ASSERT_EQ(Publish(&alone, stream + 1, sequential), "start");
    Send(&alone, stream + 1, 10, 0, 2);
    ASSERT_TRUE(alone.CloseStream(stream + 1));

    TestPlayer first, second;
    Open(&first, 2);
    Open(&second);
    ASSERT_EQ(Publish(&first, 1, taken), "start");
    Send(&first, 1, 20, 0, 1);
    EXPECT_EQ(first.CreateStream(), 3);  // its media was handled
    ASSERT_EQ(Publish(&second, 1, taken), "start");
    auto ended = first.Until("NetStream.Unpublish.Success", 5000);
    ASSERT_FALSE(ended.empty());
    EXPECT_EQ(Values(ended.back())[3].Get("level").text, "status");
    Send(&first, 1, 5, 400, 3);  // after its end: not recorded
    EXPECT_EQ(first.CreateStream(), 4);
    Send(&second, 1, 10, 0, 2);
    ASSERT_TRUE(second.CloseStream(1));
    EXPECT_EQ(second.CreateStream(), 2);
    stream += 2;
  }
  const std::string q950 = Temp("demo-ben-0002&questionid=950.flv"), q951 = Temp("demo-ben-0002&questionid=951.flv");
  ASSERT_TRUE(TestWaitUntil([&] { return TestListing(site_.Temp()).size() == 2; }));
  EXPECT_EQ(ReadWholeFile(q950), ReadWholeFile(q951));
  EXPECT_EQ(ReadWholeFile(site_.Files() + "/302.flv"), ReadWholeFile(site_.Files() + "/demo.flv"));
  FlvTestFile flv;
  ASSERT_TRUE(ReadFlvForTest(q950, &flv));
  // The second's 10 tags over the start of the first's; nothing sent after the end.
  ASSERT_EQ(flv.tags.size(), 21u);
  for (size_t i = 0; i < flv.tags.size(); ++i) EXPECT_EQ(flv.tags[i].data[1], i < 10 ? 2 : 1) << i;
  EXPECT_EQ(site_.db->Value("select concat(count(*), ',', min(status)) from RecordSession where fileid=302"), "2,2");
}

TEST_F(Recording, APublishThatCannotRecordIsAnsweredFailedAndLeavesNoFile) {
  ASSERT_TRUE(site_.db->Run("update Object set pathname='missing/x.flv' where id=200"));
  const std::vector<std::string> files = TestListing(site_.Files());
  TestPlayer client;
  Open(&client, 2);
  EXPECT_EQ(Publish(&client, 1, "fileid=999&phpsessid=demo-ben-0002", "NetStream.Publish.Failed"), "object not found");
  EXPECT_EQ(Publish(&client, 2, "fileid=200&phpsessid=demo-ben-0002", "NetStream.Publish.Failed"),
            "the object's folder cannot be opened");
  Send(&client, 1, 4, 0, 1);
  EXPECT_EQ(client.CreateStream(), 3);
  EXPECT_EQ(TestListing(site_.Files()), files);
  EXPECT_EQ(TestListing(site_.Temp()), std::vector<std::string>{});
  EXPECT_NE(site_.server.ErrorLog().find(
                "(client 127.0.0.1, stream \"fileid=999&phpsessid=demo...\": object not found)"),
            std::string::npos)
      << site_.server.ErrorLog();
}

TEST_F(Recording, StartPositionsPastTheEarlierRecordingAndTimestampJumpsNeverWrapTheFile) {
  TestPlayer client;
  Open(&client, 17);
  // A track that jumps by more than 2^31 ms stays at its last timestamp.
  ASSERT_EQ(Publish(&client, 1, "phpsessid=demo-ben-0002&questionid=1"), "start");
  Send(&client, 1, 10, 1000, 1);
  Send(&client, 1, 4, 1000 + 0x80000000u + 500, 2);
  Send(&client, 1, 4, 1300, 3);
  ASSERT_TRUE(client.CloseStream(1));
  const char* positions[] = {"1e308", "inf", "-inf", "nan", "-5", "4294966", "4294967.295", "0.1", "99"};
  uint32_t stream = 2;
  int question = 10;
  for (const char* position : positions) {
    for (const char* mode : {"", "&insert=1"}) {
      SCOPED_TRACE(std::string(position) + mode);
      ASSERT_EQ(Publish(&client, stream, "questionid=" + std::to_string(question)), "start");
      Send(&client, stream, 10, 0, 1);  // 0 to 180 ms
      ASSERT_TRUE(client.CloseStream(stream));
      ASSERT_EQ(Publish(&client, stream, "questionid=" + std::to_string(question) + "&startpos=" + position + mode),
                "start");
      Send(&client, stream, 10, 0, 2);
      ASSERT_TRUE(client.CloseStream(stream));
      stream = stream % 17 + 1;
      ++question;
    }
  }
  EXPECT_EQ(client.CreateStream(), 18);  // every close above was handled
  ASSERT_EQ(TestListing(site_.Temp()).size(), 19u);
  for (const std::string& name : TestListing(site_.Temp())) {
    SCOPED_TRACE(name);
    EXPECT_EQ(StrmdctlCheck(site_.Temp() + "/" + name), 0);
    FlvTestFile flv;
    ASSERT_TRUE(ReadFlvForTest(site_.Temp() + "/" + name, &flv));
    // At most the two recordings end to end (1: the jumped tags at 160 and 180).
    for (const auto& tag : flv.tags) EXPECT_LE(tag.timestamp, 360u);
  }
}

// The close of a recording (fsync, statements, its pause) runs on the job
// pool: the connection answers its next command without the pause, and the
// file, its row and its mark are complete afterwards.
// The close runs on the job pool: the next command is answered once the
// file is placed, and the object's file, row and journal are complete.
TEST_F(Recording, TheConnectionAnswersOnceItsRecordingIsPlacedAndTheFileIsCompleteAfter) {
  const std::string object = site_.Files() + "/302.flv";
  ASSERT_TRUE(site_.db->Run("update Object set scanstatus=0 where id=302"));
  TestPlayer client;
  Open(&client);
  ASSERT_EQ(Publish(&client, 1, "fileid=302&phpsessid=demo-ben-0002"), "start");
  Send(&client, 1, 30, 1000, 6);
  ASSERT_TRUE(client.CloseStream(1));
  EXPECT_EQ(client.CreateStream(), 2);
  ASSERT_TRUE(TestWaitUntil([&] {
    return site_.db->Value("select scanstatus from Object where id=302") == "3" && TestListing(site_.Temp()).empty();
  }));
  EXPECT_EQ(site_.db->Value("select concat(count(*), ',', sum(status=2)) from RecordSession"), "1,1");
  EXPECT_EQ(StrmdctlCheck(object), 0);
  FlvTestFile flv;
  ASSERT_TRUE(ReadFlvForTest(object, &flv));
  EXPECT_EQ(flv.header[4], 5);
  EXPECT_EQ(flv.tags.size(), 30u);
}

}  // namespace
