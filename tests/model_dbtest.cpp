// The model commands and renditions against a fresh demo database: the
// handler runs on one end of a socketpair, the project's client reads the
// replies on the other.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <string>
#include <vector>

#include "Database/Record.h"
#include "client/Client.h"
#include "commands/RtmpModel.h"
#include "commands/RtmpModelFile.h"
#include "media/RtmpStream.h"
#include "util/QueryParam.h"
#include "support/AmfHelpers.h"
#include "testclient/RtmpClient.h"
#include "support/TestDb.h"

namespace {

class ModelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(db_.ok()) << "no test database (is the testdb fixture running?)";
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    conn_.link = std::make_shared<ClientLink>();
    ASSERT_EQ(RtmpContextInit(&conn_.link->rtmp, fds[0]), 1);
    client_.Adopt(fds[1]);
    conn_.db.reset(DbOpen(db_.site()));
    ASSERT_EQ(DbExecute(conn_.db.get(), "do 1"), 1);
  }
  void TearDown() override {
    if (conn_.link == nullptr) return;
    RtmpContextFree(&conn_.link->rtmp);
    RtmpShutdown(&conn_.link->rtmp);
  }

  // Sends one model command through the handler and returns the reply's
  // values ("_result", id, null, object); checks the message's envelope.
  std::vector<amf::Node> Command(int kind, std::vector<amf::Node> args, double transaction = 7) {
    static const char* const names[] = {"", "loadmodel", "savemodel", "createmodel", "deletemodel"};
    std::vector<amf::Node> values = {amf::Str(names[kind]), amf::Num(transaction), amf::Null()};
    values.insert(values.end(), args.begin(), args.end());
    const std::vector<uint8_t> body = amf::Body(values);
    AmfObject object;
    EXPECT_GT(AmfDecodeObject(&object, body, false), 0);
    EXPECT_EQ(RtmpModelCommand(&conn_, &object, kind), 1);
    AmfObjectFree(&object);

    std::vector<amf::Node> reply;
    auto message = client_.ReadMessage(3000);
    EXPECT_TRUE(message.has_value()) << client_.error();
    if (!message) return reply;
    EXPECT_EQ(message->channel, 3u);
    EXPECT_EQ(message->type, 20);
    EXPECT_EQ(message->streamId, 0u);
    std::string error;
    EXPECT_TRUE(amf::Read(message->body, &reply, &error)) << error;
    EXPECT_EQ(reply.size(), 4u);
    if (reply.size() != 4) return {};
    EXPECT_EQ(reply[0].text, "_result");
    EXPECT_EQ(reply[1].number, transaction);
    EXPECT_EQ(reply[2].kind, amf::Kind::kNull);
    EXPECT_EQ(reply[3].kind, amf::Kind::kObject);
    return reply;
  }
  amf::Node Load(const std::string& model, const std::string& clause) {
    auto reply = Command(kModelLoad, {amf::Str(model), amf::Str(clause)});
    return reply.size() == 4 ? reply[3] : amf::Node();
  }
  int Count(const std::string& sql) { return std::stoi(db_.Value("select count(*) from " + sql)); }

  TestDatabase db_{"model"};
  Client conn_;
  RtmpClient client_;
};

TEST_F(ModelTest, PhpsessidInAnyCaseAnswersTheUserAndReplacesTheRecords) {
  amf::Node ada = Load("PHPSESSID", "demo-ada-0001");
  EXPECT_EQ(amf::Names(ada), (std::vector<std::string>{"userid", "userlogon", "username", "folderid", "phpsessid"}));
  EXPECT_EQ(ada.Get("userid").number, 1);
  EXPECT_EQ(ada.Get("userlogon").text, "ada");
  EXPECT_EQ(ada.Get("username").text, "Ada Teacher");
  EXPECT_EQ(ada.Get("folderid").number, 100);
  EXPECT_EQ(ada.Get("phpsessid").text, "demo-ada-0001");
  ASSERT_NE(conn_.session, nullptr);
  ASSERT_NE(conn_.user, nullptr);
  EXPECT_EQ(conn_.user->id, 1);

  // Dan's logon name is NULL: an empty string, not a missing property.
  amf::Node dan = Load("phpsessid", "demo-dan-0004");
  EXPECT_EQ(dan.Get("userlogon").kind, amf::Kind::kString);
  EXPECT_EQ(dan.Get("userlogon").text, "");
  EXPECT_EQ(dan.Get("username").text, "Dan Guest");
  ASSERT_NE(conn_.user, nullptr);
  EXPECT_EQ(conn_.user->id, 4);
  EXPECT_STREQ(conn_.session->phpsessid, "demo-dan-0004");
}

TEST_F(ModelTest, UnknownSessionOrMissingUserGivesTheEmptyObject) {
  EXPECT_TRUE(Load("phpsessid", "no-such-session").items.empty());
  EXPECT_EQ(conn_.session, nullptr);

  EXPECT_TRUE(Load("phpsessid", "demo-nouser-0005").items.empty());
  ASSERT_NE(conn_.session, nullptr);
  EXPECT_EQ(conn_.session->userid, 99);
  EXPECT_EQ(conn_.user, nullptr);

  EXPECT_TRUE(Load("SomethingElse", "id=1").items.empty());
}

TEST_F(ModelTest, SessionIdThatIsNotOneIsRefusedBeforeAnySql) {
  const std::string before = db_.Value("select group_concat(phpsessid order by id) from Session");
  // Placed between quotes as it stands, this would match every session and
  // answer with the first one's user.
  for (const char* attack : {"x' or '1'='1", "demo-ada-0001'-- ", "demo ada", "demo-ada-0001\\"}) {
    SCOPED_TRACE(attack);
    EXPECT_TRUE(Load("phpsessid", attack).items.empty());
    EXPECT_EQ(conn_.session, nullptr);
    EXPECT_EQ(conn_.user, nullptr);
  }
  EXPECT_TRUE(Load("phpsessid", "").items.empty());
  EXPECT_EQ(db_.Value("select group_concat(phpsessid order by id) from Session"), before);
  // A well-formed identifier still works afterwards.
  EXPECT_EQ(Load("phpsessid", "demo-ben-0002").Get("userid").number, 2);
}

TEST_F(ModelTest, CreateSaveDeleteRunTheClientsStatements) {
  ASSERT_EQ(Load("phpsessid", "demo-ada-0001").Get("userid").number, 1);  // writes need a session
  auto created = Command(kModelCreate, {amf::Str("Chat"), amf::Str("values (0, 1, 'Model room')")});
  ASSERT_EQ(created.size(), 4u);
  EXPECT_EQ(amf::Names(created[3]), std::vector<std::string>{"id"});
  const int id = static_cast<int>(created[3].Get("id").number);
  ASSERT_GT(id, 2);
  EXPECT_EQ(db_.Value("select name from Chat where id=" + std::to_string(id)), "Model room");

  auto saved = Command(kModelSave, {amf::Str("Chat"), amf::Str("name='Renamed' where id=" + std::to_string(id))});
  ASSERT_EQ(saved.size(), 4u);
  EXPECT_TRUE(saved[3].items.empty());
  EXPECT_EQ(db_.Value("select name from Chat where id=" + std::to_string(id)), "Renamed");

  // Matching no row, failing, or lacking the clause: still one empty reply.
  EXPECT_EQ(Command(kModelSave, {amf::Str("Chat"), amf::Str("name='x' where id=424242")}).size(), 4u);
  EXPECT_EQ(Command(kModelSave, {amf::Str("Chat")}).size(), 4u);
  EXPECT_EQ(Command(kModelSave, {amf::Str("NoSuchTable"), amf::Str("a=1")}).size(), 4u);
  auto failed = Command(kModelCreate, {amf::Str("Chat")});
  ASSERT_EQ(failed.size(), 4u);
  EXPECT_EQ(failed[3].Get("id").number, 0);
  EXPECT_EQ(failed[3].Get("id").kind, amf::Kind::kNumber);

  auto deleted = Command(kModelDelete, {amf::Str("Chat"), amf::Str("id=" + std::to_string(id))});
  ASSERT_EQ(deleted.size(), 4u);
  EXPECT_TRUE(deleted[3].items.empty());
  EXPECT_EQ(Count("Chat where id=" + std::to_string(id)), 0);
  EXPECT_EQ(Command(kModelDelete, {}).size(), 4u);
}

TEST_F(ModelTest, OverlongOrNulCarryingTextsAreRefusedNotCut) {
  ASSERT_EQ(Load("phpsessid", "demo-ada-0001").Get("userid").number, 1);  // writes need a session
  // 1023 characters fit exactly; one more is refused rather than cut (a cut
  // statement could address other rows).
  std::string fits = "values (0, 1, 'fits')";
  fits.resize(1023, ' ');
  auto ok = Command(kModelCreate, {amf::Str("Chat"), amf::Str(fits)});
  ASSERT_EQ(ok.size(), 4u);
  EXPECT_GT(ok[3].Get("id").number, 0);

  std::string tooLong = "values (0, 1, 'long')";
  tooLong.resize(1024, ' ');
  auto refused = Command(kModelCreate, {amf::Str("Chat"), amf::Str(tooLong)});
  ASSERT_EQ(refused.size(), 4u);
  EXPECT_EQ(refused[3].Get("id").number, 0);
  EXPECT_EQ(Count("Chat where name='long'"), 0);
  std::string longModel = "Chat";
  longModel.resize(1024, ' ');
  EXPECT_EQ(Command(kModelCreate, {amf::Str(longModel), amf::Str("values (0, 1, 'long')")})[3].Get("id").number, 0);
  EXPECT_EQ(Count("Chat where name='long'"), 0);

  // Cut at the NUL, this would rename every chat.
  const std::string before = db_.Value("select group_concat(name order by id) from Chat");
  EXPECT_EQ(Command(kModelSave, {amf::Str("Chat"), amf::Str(std::string("name='x'\0 where id=1", 20))}).size(), 4u);
  EXPECT_EQ(db_.Value("select group_concat(name order by id) from Chat"), before);
}

TEST_F(ModelTest, WithoutDatabaseEveryCommandStillReplies) {
  conn_.db.reset(DbOpen(nullptr));  // unusable, as for a site without settings
  EXPECT_TRUE(Load("phpsessid", "demo-ada-0001").items.empty());
  EXPECT_EQ(conn_.session, nullptr);
  EXPECT_EQ(Command(kModelCreate, {amf::Str("Chat"), amf::Str("values (0, 1, 'x')")})[3].Get("id").number, 0);
  EXPECT_EQ(Command(kModelSave, {amf::Str("Chat"), amf::Str("name='x'")}).size(), 4u);
  EXPECT_EQ(Command(kModelDelete, {amf::Str("Chat"), amf::Str("1")}).size(), 4u);
  EXPECT_EQ(Load("File", "fileid=0").Get("status").number, 3);
  EXPECT_TRUE(Load("File", "fileid=202").items.empty());
  EXPECT_TRUE(Load("File", "fileid=202&paramid=1").items.empty());
  EXPECT_TRUE(Load("Transcodes", "fileid=201").items.empty());

  conn_.db.reset();
  EXPECT_TRUE(Load("phpsessid", "demo-ada-0001").items.empty());
  EXPECT_EQ(Command(kModelCreate, {amf::Str("Chat"), amf::Str("values (0, 1, 'x')")})[3].Get("id").number, 0);
}

TEST(QueryParam, ValuesEndAtTheSameCharactersOnEveryPath) {
  EXPECT_EQ(QueryParam("fileid=12&paramid=3", "fileid="), "12");
  EXPECT_EQ(QueryParam("fileid=12&paramid=3", "paramid="), "3");
  EXPECT_EQ(QueryParam("a=1&xfileid=9", "fileid="), "9");  // a plain substring
  EXPECT_EQ(QueryParam("fileid=7/x", "fileid="), "7");
  EXPECT_EQ(QueryParam("fileid=7?x", "fileid="), "7");
  EXPECT_EQ(QueryParam("fileid=7 x", "fileid="), "7");
  EXPECT_EQ(QueryParam("fileid=7\r\n", "fileid="), "7");
  EXPECT_EQ(QueryParam("paramid=3", "fileid="), "");
  EXPECT_EQ(QueryParam(std::string(2000, '1'), "1=").size(), 0u);
  EXPECT_EQ(QueryParam("k=" + std::string(2000, '5'), "k=").size(), 1023u);
  EXPECT_EQ(QueryParamInt("fileid=abc", "fileid="), 0);
  EXPECT_EQ(QueryParamInt("fileid=-4", "fileid="), -4);
  EXPECT_EQ(QueryParamInt("fileid=99999999999", "fileid="), 0);  // does not fit: missing
  EXPECT_EQ(QueryParamInt("", "fileid="), 0);
}

// Every fileid edge value names the same object on the stream path and in
// the File model; one that is not a 32-bit number is a missing fileid on
// both (4294967496 once wrapped to object 200 on the one and saturated on
// the other).
TEST_F(ModelTest, StreamPathAndFileModelReadTheSameFileid) {
  struct Case {
    const char* value;
    int32_t id;  // 0: a missing fileid
  };
  const Case cases[] = {{"200", 200},  {"4294967496", 0}, {"", 0},
                        {"-200", -200}, {"+200", 200},     {" 200", 0},
                        {"200x", 0},    {"2147483648", 0}, {"2147483647", INT32_MAX}};
  SiteConfig site = *db_.site();
  snprintf(site.files, sizeof site.files, "%s", ::testing::TempDir().c_str());
  snprintf(site.cache, sizeof site.cache, "%s", ::testing::TempDir().c_str());
  for (const Case& c : cases) {
    const std::string name = std::string("fileid=") + c.value;
    RtmpStream stream;
    stream.client = &conn_;
    stream.site = &site;
    snprintf(stream.name, sizeof stream.name, "%s", name.c_str());
    PathText flv, index;
    // The demo files are not on disk here: the play fails after it resolved
    // the object, which is what is compared.
    EXPECT_FALSE(ResolvePlayFile(&stream, flv, index));
    EXPECT_EQ(stream.output.objectId, c.id == 200 ? 200 : 0) << name;

    const amf::Node file = Load("File", name);
    if (c.id == 200 || c.id == 0)
      EXPECT_EQ(file.Get("fileid").number, c.id) << name;
    else
      EXPECT_TRUE(file.items.empty()) << name;  // no such object
  }
}

TEST_F(ModelTest, FileAnswersStatusThreeForNoFileAndForFlvFiles) {
  const int before = Count("TranscodeObject");
  amf::Node none = Load("File", "fileid=0");
  EXPECT_EQ(amf::Names(none), (std::vector<std::string>{"fileid", "status", "message"}));
  EXPECT_EQ(none.Get("fileid").number, 0);
  EXPECT_EQ(none.Get("status").number, 3);
  EXPECT_EQ(none.Get("message").text, "");

  amf::Node upper = Load("file", "fileid=203");  // Upper.FLV
  EXPECT_EQ(upper.Get("fileid").number, 203);
  EXPECT_EQ(upper.Get("status").number, 3);
  EXPECT_EQ(upper.Get("message").text, "");
  EXPECT_EQ(Load("File", "fileid=200").Get("status").number, 3);
  EXPECT_EQ(Count("TranscodeObject"), before);

  EXPECT_TRUE(Load("File", "fileid=9999").items.empty());  // no such object
}

TEST_F(ModelTest, FileSchedulesOneRenditionWithTheActiveTemplate) {
  amf::Node first = Load("File", "fileid=202");  // slides.avi, no renditions
  EXPECT_EQ(amf::Names(first),
            (std::vector<std::string>{"fileid", "status", "message", "templateid", "bitrate", "size"}));
  EXPECT_EQ(first.Get("fileid").number, 202);
  EXPECT_EQ(first.Get("status").number, 5);
  EXPECT_EQ(first.Get("message").text, "Scheduled for processing.");
  EXPECT_EQ(first.Get("templateid").number, 1);
  EXPECT_EQ(first.Get("bitrate").number, 0);
  EXPECT_EQ(first.Get("size").number, 0);

  amf::Node second = Load("File", "fileid=202");
  EXPECT_EQ(second.Get("status").number, 5);
  EXPECT_EQ(Count("TranscodeObject where fileid=202"), 1);
  EXPECT_EQ(db_.Value("select filename from TranscodeObject where fileid=202"), "202-1.flv");

  // Without an active template the first template of all is used.
  db_.Run("update TranscodeTemplate set active=0");
  db_.Run("insert into Object (id, name, authorid, storage, parentid, pathname) values (210, 'x', 1, 1, 100, 'x.mov')");
  EXPECT_EQ(Load("File", "fileid=210").Get("templateid").number, 1);
  // Without any template nothing is scheduled.
  db_.Run("delete from TranscodeTemplate");
  db_.Run("insert into Object (id, name, authorid, storage, parentid, pathname) values (211, 'y', 1, 1, 100, 'y.mov')");
  EXPECT_TRUE(Load("File", "fileid=211").items.empty());
  EXPECT_EQ(Count("TranscodeObject where fileid=211"), 0);
}

TEST_F(ModelTest, FilePrefersTheActiveTemplateThenTheCheapestReadyRendition) {
  amf::Node active = Load("File", "fileid=201");
  EXPECT_EQ(active.Get("templateid").number, 1);
  EXPECT_EQ(active.Get("status").number, 3);
  EXPECT_EQ(active.Get("bitrate").number, 800);
  EXPECT_EQ(active.Get("size").number, 3000000000.0);  // past 2^31
  EXPECT_EQ(active.Get("message").text, "Ready.");

  // The active template's rendition is only scheduled: the ready one with
  // the lowest bitrate is answered instead.
  db_.Run("update TranscodeTemplate set active=(id=3)");
  amf::Node cheapest = Load("File", "fileid=201");
  EXPECT_EQ(cheapest.Get("templateid").number, 2);
  EXPECT_EQ(cheapest.Get("bitrate").number, 300);

  // With none ready, any rendition of the file, so nothing new is scheduled.
  db_.Run("update TranscodeObject set status=4 where fileid=201");
  EXPECT_EQ(Load("File", "fileid=201").Get("status").number, 4);
  EXPECT_EQ(Count("TranscodeObject where fileid=201"), 3);
}

TEST_F(ModelTest, FileWithATemplateFindsOrSchedulesThatRendition) {
  amf::Node ready = Load("File", "fileid=201&paramid=2");
  EXPECT_EQ(ready.Get("templateid").number, 2);
  EXPECT_EQ(ready.Get("bitrate").number, 300);
  EXPECT_EQ(ready.Get("size").number, 1500000);

  // File 12 does not exist: the rendition is scheduled all the same, under
  // the name the converter will write.
  amf::Node scheduled = Load("File", "paramid=3&fileid=12");
  EXPECT_EQ(scheduled.Get("fileid").number, 12);
  EXPECT_EQ(scheduled.Get("templateid").number, 3);
  EXPECT_EQ(scheduled.Get("status").number, 5);
  EXPECT_EQ(db_.Value("select filename from TranscodeObject where fileid=12 and templateid=3"), "12-3.flv");
  EXPECT_EQ(Load("File", "fileid=12&paramid=3").Get("status").number, 5);
  EXPECT_EQ(Count("TranscodeObject where fileid=12"), 1);
}

TEST_F(ModelTest, ScheduleTranscodeReturnsTheRowItWrote) {
  RecordPtr<TranscodeObject> to = ScheduleTranscode(&conn_, 77, 2);
  ASSERT_NE(to, nullptr);
  EXPECT_GT(to->id, 3);
  EXPECT_EQ(to->fileid, 77);
  EXPECT_EQ(to->templateid, 2);
  EXPECT_EQ(to->status, 5);
  EXPECT_STREQ(to->filename, "77-2.flv");
  EXPECT_EQ(to->size, 0);
  EXPECT_STREQ(to->message, "Scheduled for processing.");

  db_.Run("drop table TranscodeObject");
  EXPECT_EQ(ScheduleTranscode(&conn_, 78, 2), nullptr);
}

TEST_F(ModelTest, TranscodesListsRenditionsByFallingBitrateThenTheOriginal) {
  db_.Run("insert into TranscodeObject (fileid, templateid, status, filename, bitrate) values "
          "(200, 2, 3, '200-2.flv', 300), (200, 1, 3, '200-1.flv', 800)");
  amf::Node list = Load("Transcodes", "fileid=200");
  EXPECT_EQ(amf::Names(list), (std::vector<std::string>{"count", "data"}));
  EXPECT_EQ(list.Get("count").number, 3);
  const amf::Node& data = list.Get("data");
  ASSERT_EQ(data.kind, amf::Kind::kStrictArray);
  ASSERT_EQ(data.items.size(), 3u);
  EXPECT_EQ(amf::Names(data.Item(0)), (std::vector<std::string>{"name", "templateid", "bitrate", "status",
                                                           "audiocodec", "videocodec", "defaulttemplate",
                                                           "activetemplate"}));
  EXPECT_EQ(data.Item(0).Get("name").text, "Standard");
  EXPECT_EQ(data.Item(0).Get("bitrate").number, 800);
  EXPECT_EQ(data.Item(0).Get("audiocodec").text, "aac");
  EXPECT_EQ(data.Item(0).Get("defaulttemplate").number, 1);
  EXPECT_EQ(data.Item(0).Get("activetemplate").number, 1);
  EXPECT_EQ(data.Item(1).Get("name").text, "Low bandwidth");
  EXPECT_EQ(data.Item(1).Get("bitrate").number, 300);
  EXPECT_EQ(data.Item(1).Get("activetemplate").number, 0);
  const amf::Node& original = data.Item(2);
  EXPECT_EQ(original.Get("name").text, "Original");
  EXPECT_EQ(original.Get("templateid").number, 0);
  EXPECT_EQ(original.Get("bitrate").number, 500);
  EXPECT_EQ(original.Get("status").number, 3);
  EXPECT_EQ(original.Get("audiocodec").text, "speex");
  EXPECT_EQ(original.Get("videocodec").text, "h264");
  EXPECT_EQ(original.Get("defaulttemplate").number, 0);
  EXPECT_EQ(original.Get("activetemplate").number, 1);

  // Not an FLV: the renditions only, the scheduled one last.
  amf::Node mp4 = Load("Transcodes", "fileid=201");
  EXPECT_EQ(mp4.Get("count").number, 3);
  ASSERT_EQ(mp4.Get("data").items.size(), 3u);
  EXPECT_EQ(mp4.Get("data").Item(2).Get("name").text, "Audio only");
  EXPECT_EQ(mp4.Get("data").Item(2).Get("status").number, 5);
}

TEST_F(ModelTest, TranscodesSkipsRenditionsWhoseTemplateIsGone) {
  db_.Run("delete from TranscodeTemplate where id=2");
  amf::Node list = Load("Transcodes", "fileid=201");  // the reader is strict: counts must agree
  EXPECT_EQ(list.Get("count").number, 2);
  ASSERT_EQ(list.Get("data").items.size(), 2u);
  EXPECT_EQ(list.Get("data").Item(0).Get("templateid").number, 1);
  EXPECT_EQ(list.Get("data").Item(1).Get("templateid").number, 3);
}

TEST_F(ModelTest, TranscodesOfUnknownFilesOrBadClausesGiveTheEmptyObject) {
  EXPECT_TRUE(Load("Transcodes", "fileid=9999").items.empty());
  EXPECT_TRUE(Load("Transcodes", "abc").items.empty());
  EXPECT_TRUE(Load("Transcodes", "").items.empty());
  EXPECT_TRUE(Load("Transcodes", "fileid=201 and nosuchcolumn=1").items.empty());
  db_.Run("insert into Object (id, name, authorid, storage, parentid, pathname) values (212, 'f', 1, 0, 100, null)");
  EXPECT_TRUE(Load("Transcodes", "fileid=212").items.empty());
}

TEST_F(ModelTest, LongTranscodesListsGrowTheReplyThenAreCutAtAWholeObject) {
  // 40 renditions need more than the first 5102 bytes: all of them arrive.
  db_.Run("insert into TranscodeObject (fileid, templateid, status, filename, bitrate) "
          "select 202, 1, 3, '202-1.flv', seq from seq_1_to_40");
  amf::Node some = Load("Transcodes", "fileid=202");
  EXPECT_EQ(some.Get("count").number, 40);
  EXPECT_EQ(some.Get("data").items.size(), 40u);

  // 1000 do not fit under the cap: the list ends at a whole object and the
  // count says how many follow.
  db_.Run("insert into TranscodeObject (fileid, templateid, status, filename, bitrate) "
          "select 203, 1, 3, '203-1.flv', seq from seq_1_to_1000");
  auto reply = Command(kModelLoad, {amf::Str("Transcodes"), amf::Str("fileid=203")});
  ASSERT_EQ(reply.size(), 4u);
  const amf::Node& list = reply[3];
  const size_t n = list.Get("data").items.size();
  EXPECT_EQ(list.Get("count").number, static_cast<double>(n));
  EXPECT_GT(n, 100u);
  EXPECT_LT(n, 1001u);
  EXPECT_EQ(list.Get("data").Item(0).Get("bitrate").number, 1000);
  EXPECT_EQ(list.Get("data").Item(n - 1).Get("name").text, "Standard");
}

}  // namespace
