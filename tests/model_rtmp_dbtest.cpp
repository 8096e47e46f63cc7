// The model commands over RTMP: the real binary with a site on a fresh demo
// database, the project's test client, and a stand-in for the local web
// server that hears about ended web sessions.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/AmfHelpers.h"
#include "support/LocalWebServer.h"
#include "support/ServerProcess.h"
#include "support/TestDb.h"
#include "testclient/RtmpClient.h"

namespace {

class ModelRtmpTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    db_ = new TestDatabase("modelrtmp");
    if (!db_->ok()) return;
    const SiteConfig* site = db_->site();
    const std::string key = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestravon\\Server\\classroom]\n";
    std::string extra = key + "\"sql_server\"=\"" + site->sql_server + "\"\n" +
                        "\"sql_database\"=\"" + site->sql_database + "\"\n" +
                        "\"sql_user\"=\"" + site->sql_user + "\"\n" +
                        "\"sql_password\"=\"" + site->sql_password + "\"\n\n" +
                        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestravon\\Server\\classroom\\classroom.example]\n\n";
    // A web port of its own, refused until a test listens there.
    web_ = new LocalWebServer;
    if (!web_->Reserve()) return;
    server_ = new ServerProcess;
    started_ = StartServer(server_, "modelrtmp", LocalWebPortRegistry(web_->port) + extra);
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
    delete web_;
    web_ = nullptr;
    delete db_;
    db_ = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(db_->ok()) << "no test database (is the testdb fixture running?)";
    ASSERT_TRUE(started_);
  }

  // Connected, handshaken and past "connect" on the classroom site.
  static bool Connected(RtmpClient* client) {
    if (!client->Connect("127.0.0.1", static_cast<uint16_t>(server_->port)) || !client->HandshakePlain())
      return false;
    if (!Send(client, {amf::Str("connect"), amf::Num(1), amf::Obj({{"app", amf::Str("classroom")}})}))
      return false;
    auto values = ReadCommand(client);
    return values.size() == 4 && values[3].Get("code").text == "NetConnection.Connect.Success";
  }
  static bool Send(RtmpClient* client, std::initializer_list<amf::Node> values) {
    return client->SendMessage(3, 20, 0, 0, amf::Body(values));
  }
  // The next command message's values; empty after 5 s.
  static std::vector<amf::Node> ReadCommand(RtmpClient* client) {
    for (;;) {
      auto m = client->ReadMessage(5000);
      if (!m) return {};
      if (m->type != 20) continue;
      std::vector<amf::Node> values;
      std::string error;
      EXPECT_TRUE(amf::Read(m->body, &values, &error)) << error;
      EXPECT_EQ(m->channel, 3u);
      EXPECT_EQ(m->streamId, 0u);
      return values;
    }
  }
  // One model command; the reply object (missing when no proper reply came).
  static amf::Node Model(RtmpClient* client, const char* command, std::initializer_list<amf::Node> args,
                         double transaction = 5) {
    std::vector<amf::Node> values = {amf::Str(command), amf::Num(transaction), amf::Null()};
    values.insert(values.end(), args.begin(), args.end());
    EXPECT_TRUE(client->SendMessage(3, 20, 0, 0, amf::Body(values)));
    auto reply = ReadCommand(client);
    if (reply.size() != 4 || reply[0].text != "_result" || reply[1].number != transaction ||
        reply[2].kind != amf::Kind::kNull || reply[3].kind != amf::Kind::kObject) {
      ADD_FAILURE() << "no proper _result: " << amf::ToString(reply);
      return amf::Node();
    }
    return reply[3];
  }
  static amf::Node Load(RtmpClient* client, const std::string& model, const std::string& clause) {
    return Model(client, "loadmodel", {amf::Str(model), amf::Str(clause)});
  }
  static int Count(const std::string& sql) { return std::stoi(db_->Value("select count(*) from " + sql)); }

  static TestDatabase* db_;
  static ServerProcess* server_;
  static LocalWebServer* web_;
  static bool started_;
};

TestDatabase* ModelRtmpTest::db_ = nullptr;
ServerProcess* ModelRtmpTest::server_ = nullptr;
LocalWebServer* ModelRtmpTest::web_ = nullptr;
bool ModelRtmpTest::started_ = false;

TEST_F(ModelRtmpTest, SessionUserIsServedInEitherCase) {
  RtmpClient client;
  ASSERT_TRUE(Connected(&client));
  amf::Node ada = Load(&client, "PHPSESSID", "demo-ada-0001");
  EXPECT_EQ(amf::Names(ada), (std::vector<std::string>{"userid", "userlogon", "username", "folderid", "phpsessid"}));
  EXPECT_EQ(ada.Get("userid").number, 1);
  EXPECT_EQ(ada.Get("userlogon").text, "ada");
  EXPECT_EQ(ada.Get("username").text, "Ada Teacher");
  EXPECT_EQ(ada.Get("folderid").number, 100);
  EXPECT_EQ(ada.Get("phpsessid").text, "demo-ada-0001");

  amf::Node dan = Load(&client, "phpsessid", "demo-dan-0004");
  EXPECT_EQ(dan.Get("userid").number, 4);
  EXPECT_EQ(dan.Get("userlogon").kind, amf::Kind::kString);
  EXPECT_EQ(dan.Get("userlogon").text, "");

  EXPECT_TRUE(Load(&client, "phpsessid", "no-such-session").items.empty());
  EXPECT_TRUE(Load(&client, "phpsessid", "demo-nouser-0005").items.empty());
  EXPECT_TRUE(Load(&client, "Unknown", "anything").items.empty());
}

TEST_F(ModelRtmpTest, QuotedSessionIdIsRefusedAndChangesNothing) {
  RtmpClient client;
  ASSERT_TRUE(Connected(&client));
  const std::string sessions = db_->Value("select group_concat(concat(id, phpsessid) order by id) from Session");
  const std::string users = db_->Value("select group_concat(concat(id, name) order by id) from User");
  // Between quotes as it stands, this matches every session: the first
  // one's user would be answered to a client that knows no session.
  EXPECT_TRUE(Load(&client, "phpsessid", "nobody' or '1'='1").items.empty());
  EXPECT_TRUE(Load(&client, "phpsessid", "x'; update User set name='owned' where '1'='1").items.empty());
  EXPECT_EQ(db_->Value("select group_concat(concat(id, phpsessid) order by id) from Session"), sessions);
  EXPECT_EQ(db_->Value("select group_concat(concat(id, name) order by id) from User"), users);
  // The connection goes on.
  EXPECT_EQ(Load(&client, "phpsessid", "demo-cleo-0003").Get("userid").number, 3);
}

TEST_F(ModelRtmpTest, WriteCommandsAlwaysReply) {
  RtmpClient client;
  ASSERT_TRUE(Connected(&client));
  ASSERT_EQ(Load(&client, "phpsessid", "demo-ada-0001").Get("userid").number, 1);  // writes need a session
  amf::Node created = Model(&client, "createmodel", {amf::Str("Chat"), amf::Str("values (0, 1, 'Over the wire')")});
  const int id = static_cast<int>(created.Get("id").number);
  ASSERT_GT(id, 0);
  EXPECT_EQ(db_->Value("select name from Chat where id=" + std::to_string(id)), "Over the wire");

  EXPECT_TRUE(Model(&client, "savemodel", {amf::Str("Chat"), amf::Str("name='x' where id=987654")}).items.empty());
  EXPECT_EQ(Count("Chat where name='x'"), 0);
  // Only four values: the statement fails on its empty clause, the reply comes.
  EXPECT_TRUE(Model(&client, "savemodel", {amf::Str("Chat")}).items.empty());
  EXPECT_EQ(Model(&client, "createmodel", {amf::Str("Chat")}).Get("id").number, 0);
  EXPECT_TRUE(Model(&client, "deletemodel", {amf::Str("Chat")}).items.empty());

  EXPECT_TRUE(Model(&client, "deletemodel", {amf::Str("Chat"), amf::Str("id=" + std::to_string(id))}).items.empty());
  EXPECT_EQ(Count("Chat where id=" + std::to_string(id)), 0);
}

TEST_F(ModelRtmpTest, FileAnswersFlvFilesAndSchedulesOthersOnce) {
  RtmpClient client;
  ASSERT_TRUE(Connected(&client));
  amf::Node none = Load(&client, "File", "fileid=0");
  EXPECT_EQ(none.Get("status").number, 3);
  EXPECT_EQ(none.Get("message").text, "");

  amf::Node upper = Load(&client, "File", "fileid=203");  // Upper.FLV
  EXPECT_EQ(upper.Get("fileid").number, 203);
  EXPECT_EQ(upper.Get("status").number, 3);
  EXPECT_EQ(upper.Get("message").text, "");

  for (int i = 0; i < 2; ++i) {
    amf::Node scheduled = Load(&client, "File", "fileid=202");
    EXPECT_EQ(scheduled.Get("status").number, 5);
    EXPECT_EQ(scheduled.Get("message").text, "Scheduled for processing.");
    EXPECT_EQ(scheduled.Get("templateid").number, 1);  // the active template
  }
  EXPECT_EQ(Count("TranscodeObject where fileid=202"), 1);

  // Nothing ready for the active template: the cheapest ready rendition.
  ASSERT_TRUE(db_->Run("insert into Object (id, name, authorid, storage, parentid, pathname) values "
                       "(220, 'Talk', 1, 1, 100, 'talk.mp4')"));
  ASSERT_TRUE(db_->Run("insert into TranscodeObject (fileid, templateid, status, filename, size, bitrate) values "
                       "(220, 2, 3, '220-2.flv', 2000, 300), (220, 3, 3, '220-3.flv', 1000, 64)"));
  amf::Node cheapest = Load(&client, "File", "fileid=220");
  EXPECT_EQ(cheapest.Get("templateid").number, 3);
  EXPECT_EQ(cheapest.Get("bitrate").number, 64);
  EXPECT_EQ(cheapest.Get("size").number, 1000);

  // File 12 with template 3 is scheduled under the name 12-3.flv.
  amf::Node twelve = Load(&client, "File", "fileid=12&paramid=3");
  EXPECT_EQ(twelve.Get("status").number, 5);
  EXPECT_EQ(db_->Value("select filename from TranscodeObject where fileid=12 and templateid=3"), "12-3.flv");
}

TEST_F(ModelRtmpTest, TranscodesOfAnFlvFileEndWithTheOriginal) {
  RtmpClient client;
  ASSERT_TRUE(Connected(&client));
  ASSERT_TRUE(db_->Run("insert into TranscodeObject (fileid, templateid, status, filename, bitrate) values "
                       "(200, 2, 3, '200-2.flv', 300), (200, 1, 3, '200-1.flv', 800)"));
  amf::Node list = Load(&client, "Transcodes", "fileid=200");
  EXPECT_EQ(list.Get("count").number, 3);
  const amf::Node& data = list.Get("data");
  ASSERT_EQ(data.items.size(), 3u);
  EXPECT_EQ(data.Item(0).Get("bitrate").number, 800);
  EXPECT_EQ(data.Item(1).Get("bitrate").number, 300);
  EXPECT_EQ(data.Item(2).Get("name").text, "Original");
  EXPECT_EQ(data.Item(2).Get("activetemplate").number, 1);
}

TEST_F(ModelRtmpTest, WritesNeedAWebSession) {
  auto users = [] { return db_->Value("select group_concat(concat(id, name) order by id) from User"); };
  const std::string before = users();
  const int sessions = Count("Session");
  RtmpClient client;
  ASSERT_TRUE(Connected(&client));
  // Without a session, and after a session id that is not known: the
  // failure answer, and no row changes.
  for (const char* phpsessid : {"", "no-such-session"}) {
    SCOPED_TRACE(phpsessid);
    if (*phpsessid != '\0') {
      EXPECT_TRUE(Load(&client, "phpsessid", phpsessid).items.empty());
    }
    EXPECT_TRUE(Model(&client, "savemodel", {amf::Str("User"), amf::Str("name='owned' where 1")}).items.empty());
    EXPECT_EQ(Model(&client, "createmodel", {amf::Str("Chat"), amf::Str("values (0, 1, 'anon')")}).Get("id").number, 0);
    EXPECT_TRUE(Model(&client, "deletemodel", {amf::Str("Session"), amf::Str("1")}).items.empty());
  }
  EXPECT_EQ(users(), before);
  EXPECT_EQ(Count("Chat where name='anon'"), 0);
  EXPECT_EQ(Count("Session"), sessions);
  EXPECT_TRUE(server_->WaitForOutput("Model write from 127.0.0.1 refused: no web session"));

  // Logged on, the same statement runs.
  ASSERT_EQ(Load(&client, "phpsessid", "demo-cleo-0003").Get("userid").number, 3);
  EXPECT_TRUE(Model(&client, "savemodel", {amf::Str("User"), amf::Str("name='Renamed' where id=4")}).items.empty());
  EXPECT_EQ(db_->Value("select name from User where id=4"), "Renamed");
  ASSERT_TRUE(db_->Run("update User set name='Dan Guest' where id=4"));
}

TEST_F(ModelRtmpTest, AFloodOfModelCommandsIsCutAtTheRate) {
  RtmpClient client;
  ASSERT_TRUE(Connected(&client));
  constexpr int kFlood = 300;
  for (int i = 1; i <= kFlood; ++i)
    ASSERT_TRUE(Send(&client, {amf::Str("loadmodel"), amf::Num(i), amf::Null(), amf::Str("Unknown"), amf::Str("")}));
  // After a second's pause the next command is answered: its reply is the
  // fence after which no reply of the flood can come.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  ASSERT_TRUE(Send(&client, {amf::Str("loadmodel"), amf::Num(kFlood + 1), amf::Null(), amf::Str("Unknown"),
                             amf::Str("")}));
  int answered = 0;
  for (;;) {
    auto reply = ReadCommand(&client);
    ASSERT_EQ(reply.size(), 4u) << "the command after the pause got no answer";
    if (reply[1].number == kFlood + 1) break;
    ++answered;
  }
  // 20 a second; the flood may span two or three windows on a slow machine.
  EXPECT_GE(answered, 20);
  EXPECT_LE(answered, 60);
  EXPECT_TRUE(server_->WaitForOutput("Model commands from 127.0.0.1 over 20 a second"));
}

// Resident memory of a process in KiB, from /proc; -1 when unreadable.
long ResidentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

TEST_F(ModelRtmpTest, TranscodesOfAHundredThousandRowsAnswerACutReplyInBoundedMemory) {
  // Rows of about 500 bytes: the whole result would be some 50 MiB.
  ASSERT_TRUE(db_->Run("insert into Object (id, name, authorid, storage, parentid, pathname) values "
                       "(230, 'Many renditions', 1, 1, 100, 'many.mp4')"));
  ASSERT_TRUE(db_->Run("insert into TranscodeObject (fileid, templateid, status, filename, bitrate, message) "
                       "select 230, 1, 3, '230-1.flv', seq, repeat('m', 480) from seq_1_to_100000"));
  RtmpClient client;
  ASSERT_TRUE(Connected(&client));
  // Once over a short list, so that what any first request allocates is
  // counted before.
  EXPECT_EQ(Load(&client, "Transcodes", "fileid=201").Get("count").number, 3);
  const long before = ResidentKiB(server_->pid);
  ASSERT_GT(before, 0);
  amf::Node list = Load(&client, "Transcodes", "fileid=230");
  const long after = ResidentKiB(server_->pid);
  const size_t n = list.Get("data").items.size();
  EXPECT_EQ(list.Get("count").number, static_cast<double>(n));
  EXPECT_GT(n, 100u);
  EXPECT_LT(n, 1000u);
  EXPECT_EQ(list.Get("data").Item(0).Get("bitrate").number, 100000);
  EXPECT_LT(after - before, 16 * 1024) << "KiB before " << before << ", after " << after;
  EXPECT_TRUE(server_->WaitForOutput("Transcodes reply for \"fileid=230\" cut at"));

  // A condition of its own limit or a comment would undo the bound: refused.
  for (const char* clause : {"fileid=230 order by bitrate limit 100000 -- ", "fileid=230 or 1=1 #",
                             "fileid=230 /* x */", "fileid=230 LIMIT 5"}) {
    SCOPED_TRACE(clause);
    EXPECT_TRUE(Load(&client, "Transcodes", clause).items.empty());
  }
  // The connection goes on.
  EXPECT_EQ(Load(&client, "Transcodes", "fileid=201").Get("count").number, 3);
}

TEST_F(ModelRtmpTest, EndOfAConnectionWithASessionReachesTheWebServer) {
  LocalWebServer& web = *web_;
  web.handler = HttpResponder("ok");
  ASSERT_TRUE(web.Listen());
  {
    RtmpClient quiet;  // no session: nothing to tell
    ASSERT_TRUE(Connected(&quiet));
    EXPECT_TRUE(Load(&quiet, "phpsessid", "no-such-session").items.empty());
  }
  {
    RtmpClient client;
    ASSERT_TRUE(Connected(&client));
    EXPECT_EQ(Load(&client, "phpsessid", "demo-ben-0002").Get("userid").number, 2);
  }
  ASSERT_TRUE(web.WaitForRequests(1));
  {
    // One more with a session: the web server takes requests in arrival
    // order, so a request of the first connection would come before its.
    RtmpClient control;
    ASSERT_TRUE(Connected(&control));
    EXPECT_EQ(Load(&control, "phpsessid", "demo-ada-0001").Get("userid").number, 1);
  }
  ASSERT_TRUE(web.WaitForRequests(2));
  const std::vector<std::string> requests = web.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].rfind("GET /recorder/internalnew?phpsessid=demo-ben-0002", 0), 0u) << requests[0];
  EXPECT_NE(requests[0].find("\r\nHost: classroom.example\r\n\r\n"), std::string::npos) << requests[0];
  EXPECT_EQ(requests[1].rfind("GET /recorder/internalnew?phpsessid=demo-ada-0001", 0), 0u) << requests[1];
}

}  // namespace
