// The record model against the demo database: the definitions agree with the
// schema, loaders convert by position, copies and frees of every kind.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "Database/Record.h"
#include "support/TestDb.h"

namespace {

class RecordTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(db_.ok()) << "no test database (is the testdb fixture running?)";
    conn_.reset(DbOpen(db_.site()));
    ASSERT_EQ(DbExecute(conn_.get(), "do 1"), 1);
  }
  TestDatabase db_{"record"};
  DbConnectionPtr conn_;
};

// Field values of a record as text, walked through its definition, so that
// two records of any kind can be compared.
std::vector<std::string> Fields(DbRecord* r) {
  std::vector<std::string> out;
  const DbRecordDef* def = RecordDefinition(r->type);
  for (uint32_t i = 0; i < def->columnCount; ++i) {
    const DbColumnDef& c = def->columns[i];
    switch (c.kind) {
      case DbColumnKind::kInt: out.push_back(std::to_string(*static_cast<int32_t*>(c.field(r)))); break;
      case DbColumnKind::kInt64: out.push_back(std::to_string(*static_cast<int64_t*>(c.field(r)))); break;
      case DbColumnKind::kText: {
        const char* t = *static_cast<char**>(c.field(r));
        out.push_back(t != nullptr ? std::string("'") + t : "NULL");
        break;
      }
      case DbColumnKind::kName: out.push_back(r->name != nullptr ? std::string("'") + r->name : "NULL"); break;
    }
  }
  return out;
}

TEST_F(RecordTest, DefinitionsMatchTheSchemaColumnForColumn) {
  size_t count = 0;
  const DbRecordDef* defs = RecordDefinitions(&count);
  ASSERT_EQ(count, 15u);
  const std::pair<const char*, uint32_t> expected[] = {
      {"UserEnrollment", 3}, {"CourseEnrollment", 10}, {"User", 32}, {"FolderImport", 11},
      {"TranscodeTemplate", 15}, {"TranscodeObject", 9}, {"Object", 33}, {"VFile", 49},
      {"VCourse", 44}, {"Session", 14}, {"FileSession", 7}, {"RecordSession", 7},
      {"Chat", 3}, {"ChatUser", 6}, {"ChatTextLog", 7}};
  for (size_t k = 0; k < count; ++k) {
    const DbRecordDef& def = defs[k];
    SCOPED_TRACE(def.table);
    EXPECT_STREQ(def.table, expected[k].first);
    EXPECT_EQ(def.columnCount, expected[k].second);
    DbResultPtr result(DbSelect(conn_.get(), "select * from %s limit 0", def.table));
    ASSERT_NE(result, nullptr);
    ASSERT_EQ(result->fieldCount, def.columnCount);
    MYSQL_FIELD* fields = mysql_fetch_fields(result->result);
    for (uint32_t i = 0; i < def.columnCount; ++i) {
      EXPECT_STREQ(fields[i].name, def.columns[i].name) << "column " << i;
      const bool numeric = IS_NUM(fields[i].type);
      EXPECT_EQ(numeric, def.columns[i].kind == DbColumnKind::kInt || def.columns[i].kind == DbColumnKind::kInt64)
          << fields[i].name;
      if (def.columns[i].kind == DbColumnKind::kInt64) {
        EXPECT_EQ(fields[i].type, MYSQL_TYPE_LONGLONG);
      }
    }
  }
}

TEST_F(RecordTest, LoadersConvertByPosition) {
  RecordPtr<User> ada = LoadUser(conn_.get(), "id=%d", 1);
  ASSERT_NE(ada, nullptr);
  EXPECT_EQ(ada->type, 13);
  EXPECT_EQ(ada->id, 1);
  EXPECT_STREQ(ada->name, "Ada Teacher");
  EXPECT_STREQ(ada->logon, "ada");
  EXPECT_EQ(ada->folderid, 100);
  EXPECT_STREQ(ada->created, "2026-01-05 09:00:00");

  RecordPtr<Session> session = LoadSession(conn_.get(), "phpsessid='%s'", "demo-ben-0002");
  ASSERT_NE(session, nullptr);
  EXPECT_EQ(session->userid, 2);
  EXPECT_STREQ(session->phpsessid, "demo-ben-0002");

  RecordPtr<VFile> clip = LoadVFile(conn_.get(), "id=%d", 200);
  ASSERT_NE(clip, nullptr);
  EXPECT_STREQ(clip->pathname, "demo.flv");
  EXPECT_EQ(clip->storage, 1);
  EXPECT_EQ(clip->bitrate, 500);
  EXPECT_STREQ(clip->audiocodec, "speex");
  EXPECT_STREQ(clip->videocodec, "h264");
  EXPECT_EQ(clip->masterid, 200);
  RecordPtr<VFile> folder = LoadVFile(conn_.get(), "id=%d", 100);
  ASSERT_NE(folder, nullptr);  // every object is a VFile; details absent
  EXPECT_EQ(folder->audiocodec, nullptr);
  EXPECT_EQ(folder->masterid, 0);

  RecordPtr<VCourse> course = LoadVCourse(conn_.get(), "id=%d", 300);
  ASSERT_NE(course, nullptr);
  EXPECT_EQ(course->recordingid, 301);
  EXPECT_EQ(LoadVCourse(conn_.get(), "id=%d", 200), nullptr);
  RecordPtr<Object> recording = LoadObject(conn_.get(), "parentid=%d and authorid=%d", 301, 2);
  ASSERT_NE(recording, nullptr);
  EXPECT_EQ(recording->id, 302);

  RecordPtr<Chat> chat = LoadChat(conn_.get(), "id=%d", 1);
  ASSERT_NE(chat, nullptr);
  EXPECT_STREQ(chat->name, "Study group");
  EXPECT_NE(LoadChatUser(conn_.get(), "chatid=%d and userid=%d", 2, 3), nullptr);
  EXPECT_NE(LoadUserEnrollment(conn_.get(), "userid=%d and roleid in (1, 2, 10, 15)", 1), nullptr);
  EXPECT_EQ(LoadUserEnrollment(conn_.get(), "userid=%d and roleid in (1, 2, 10, 15)", 2), nullptr);
}

TEST_F(RecordTest, NullTextsNonNumericIntegersAndWideSizes) {
  RecordPtr<User> dan = LoadUser(conn_.get(), "id=%d", 4);
  ASSERT_NE(dan, nullptr);
  EXPECT_EQ(dan->logon, nullptr);
  EXPECT_EQ(dan->email, nullptr);
  RecordPtr<User> copy = CopyRecordAs(dan.get());
  EXPECT_EQ(copy->logon, nullptr);
  EXPECT_STREQ(copy->name, "Dan Guest");
  EXPECT_NE(copy->name, dan->name);

  // Integer columns holding text, as a loosely typed platform table may.
  ASSERT_TRUE(db_.Run("alter table UserEnrollment modify roleid varchar(32);"
                      "insert into UserEnrollment values (10, 7, 'abc'), (11, 8, '  -42x'),"
                      " (12, 9, '99999999999'), (13, 6, null)"));
  const std::pair<int, int32_t> roles[] = {{7, 0}, {8, -42}, {9, INT32_MAX}, {6, 0}};
  for (const auto& [user, role] : roles) {
    RecordPtr<UserEnrollment> e = LoadUserEnrollment(conn_.get(), "userid=%d", user);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->roleid, role) << "user " << user;
  }

  RecordPtr<TranscodeObject> big = LoadTranscodeObject(conn_.get(), "fileid=%d and templateid=%d", 201, 1);
  ASSERT_NE(big, nullptr);
  EXPECT_EQ(big->size, 3000000000LL);
  RecordPtr<Object> lecture = LoadObject(conn_.get(), "id=%d", 201);
  ASSERT_NE(lecture, nullptr);
  EXPECT_EQ(lecture->filesize, 3000000000LL);
}

TEST_F(RecordTest, SeveralMatchingRowsYieldTheFirst) {
  RecordPtr<TranscodeObject> lowest =
      LoadTranscodeObject(conn_.get(), "fileid=%d and status=%d order by bitrate", 201, 3);
  ASSERT_NE(lowest, nullptr);
  EXPECT_EQ(lowest->templateid, 2);
  EXPECT_EQ(lowest->bitrate, 300);
  EXPECT_STREQ(lowest->filename, "201-2.flv");
  RecordPtr<ChatUser> first = LoadChatUser(conn_.get(), "chatid=%d order by id", 1);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->userid, 1);

  // Row records borrow the row: the chat code reads members this way.
  DbResultPtr result(DbSelect(conn_.get(), "select * from CourseEnrollment where objectid=%d order by id", 300));
  ASSERT_NE(result, nullptr);
  std::vector<std::pair<int, int>> members;
  while (DbRow row = DbFetchRow(result.get())) {
    const CourseEnrollment e = RecordFromRow<CourseEnrollment>(result.get(), row);
    members.emplace_back(e.userid, e.roleid);
  }
  EXPECT_EQ(members, (std::vector<std::pair<int, int>>{{1, 3}, {2, 5}, {3, 5}}));
}

TEST_F(RecordTest, TextsHoldingANulByteAreMarkedAndStayMarkedInCopies) {
  ASSERT_TRUE(db_.Run("update TranscodeObject set filename=concat('201-1.flv', char(0), '../x') where id=1"));
  RecordPtr<TranscodeObject> cut = LoadTranscodeObject(conn_.get(), "id=%d", 1);
  ASSERT_NE(cut, nullptr);
  EXPECT_STREQ(cut->filename, "201-1.flv");
  EXPECT_FALSE(RecordTextIsWhole(cut.get(), &cut->filename));
  EXPECT_TRUE(RecordTextIsWhole(cut.get(), &cut->message));
  RecordPtr<TranscodeObject> copy = CopyRecordAs(cut.get());
  EXPECT_FALSE(RecordTextIsWhole(copy.get(), &copy->filename));
  // Borrowed from a row, too.
  DbResultPtr result(DbSelect(conn_.get(), "select * from TranscodeObject order by id"));
  ASSERT_NE(result, nullptr);
  DbRow row = DbFetchRow(result.get());
  ASSERT_NE(row, nullptr);
  const TranscodeObject first = RecordFromRow<TranscodeObject>(result.get(), row);
  EXPECT_FALSE(RecordTextIsWhole(&first, &first.filename));
  row = DbFetchRow(result.get());
  ASSERT_NE(row, nullptr);
  const TranscodeObject second = RecordFromRow<TranscodeObject>(result.get(), row);
  EXPECT_TRUE(RecordTextIsWhole(&second, &second.filename));
  // An empty text and a null one are whole; a pointer that is no text field is not.
  ASSERT_TRUE(db_.Run("update Object set pathname=null, description='' where id=200"));
  RecordPtr<Object> object = LoadObject(conn_.get(), "id=%d", 200);
  ASSERT_NE(object, nullptr);
  EXPECT_TRUE(RecordTextIsWhole(object.get(), &object->pathname));
  EXPECT_TRUE(RecordTextIsWhole(object.get(), &object->description));
  char* other = nullptr;
  EXPECT_FALSE(RecordTextIsWhole(object.get(), &other));
}

TEST_F(RecordTest, MissingRowsAndFailedStatements) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(LoadUser(conn_.get(), "id=%d", 999), nullptr);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "");  // a row not found is no failure

  testing::internal::CaptureStderr();
  EXPECT_EQ(LoadUser(conn_.get(), "nosuchcolumn=%d", 1), nullptr);
  err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("SQL ERROR"), std::string::npos);
  EXPECT_NE(err.find("ASSERT(b) failed at User:"), std::string::npos) << err;

  testing::internal::CaptureStderr();
  const std::string huge(kDbStatementSize, 'x');
  EXPECT_EQ(LoadSession(conn_.get(), "phpsessid='%s'", huge.c_str()), nullptr);
  err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("ASSERT(length < kDbStatementSize) failed at Session:"), std::string::npos);

  // A result narrower than the kind leaves the missing columns empty.
  DbResultPtr narrow(DbSelect(conn_.get(), "select id, userid from UserEnrollment where id=1"));
  ASSERT_NE(narrow, nullptr);
  DbRow row = DbFetchRow(narrow.get());
  ASSERT_NE(row, nullptr);
  testing::internal::CaptureStderr();
  const UserEnrollment e = RecordFromRow<UserEnrollment>(narrow.get(), row);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(e.userid, 1);
  EXPECT_EQ(e.roleid, 0);

  DbConnectionPtr none(DbOpen(nullptr));
  testing::internal::CaptureStderr();
  EXPECT_EQ(LoadUser(none.get(), "id=%d", 1), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");  // reported when opened
}

TEST_F(RecordTest, EveryKindCopiesAndFreesWithItsChain) {
  // Give every table a row, through the generated insert.
  RecordSession rs;
  rs.sessionid = 2;
  rs.fileid = 302;
  rs.userid = 2;
  rs.started = const_cast<char*>(kDbNow);
  rs.status = 1;
  ASSERT_GT(InsertRecord(conn_.get(), &rs), 0);

  size_t count = 0;
  const DbRecordDef* defs = RecordDefinitions(&count);
  for (size_t k = 0; k < count; ++k) {
    SCOPED_TRACE(defs[k].table);
    RecordPtr<DbRecord> first(LoadRecord(defs[k].type, conn_.get(), "1 order by id"));
    RecordPtr<DbRecord> second(LoadRecord(defs[k].type, conn_.get(), "1 order by id desc"));
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    first->next = second.release();
    RecordPtr<DbRecord> copy(CopyRecord(first.get()));
    ASSERT_NE(copy, nullptr);
    ASSERT_NE(copy->next, nullptr);
    EXPECT_EQ(copy->next->next, nullptr);
    EXPECT_EQ(copy->type, defs[k].type);
    EXPECT_EQ(Fields(copy.get()), Fields(first.get()));
    EXPECT_EQ(Fields(copy->next), Fields(first->next));
    if (first->name != nullptr) {
      EXPECT_NE(copy->name, first->name);
    }
  }
  EXPECT_EQ(CopyRecord(nullptr), nullptr);
  FreeRecord(nullptr);

  DbRecord unknown;
  unknown.type = 62;
  testing::internal::CaptureStderr();
  EXPECT_EQ(CopyRecord(&unknown), nullptr);
  FreeRecord(&unknown);  // unknown layout: reported, left alone
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("The (FALSE) condition failed at kestravon6_def:"), std::string::npos);
}

TEST_F(RecordTest, InsertListsEveryColumnInOrder) {
  ChatTextLog text;
  text.chatid = 1;
  text.userid = 3;
  text.clientnumber = 9;
  text.sent = const_cast<char*>(kDbNow);
  text.message = const_cast<char*>("it's \"quoted\" \\ here");
  const int32_t id = InsertRecord(conn_.get(), &text);
  ASSERT_GT(id, 3);
  RecordPtr<ChatTextLog> back = LoadChatTextLog(conn_.get(), "id=%d", id);
  ASSERT_NE(back, nullptr);
  EXPECT_STREQ(back->message, text.message);
  EXPECT_EQ(back->clientnumber, 9);
  ASSERT_NE(back->sent, nullptr);
  EXPECT_EQ(strlen(back->sent), 19u);

  TranscodeObject to;
  to.fileid = 202;
  to.templateid = 1;
  to.status = 5;
  to.filename = const_cast<char*>("202-1.flv");
  to.size = 5000000000LL;
  ASSERT_GT(InsertRecord(conn_.get(), &to), 0);
  EXPECT_EQ(db_.Value("select size from TranscodeObject where fileid=202"), "5000000000");
  EXPECT_EQ(db_.Value("select message from TranscodeObject where fileid=202"), "NULL");
}

TEST(RecordParse, DecimalParsingAsTheColumnsConvert) {
  EXPECT_EQ(RecordParseInt32(nullptr), 0);
  EXPECT_EQ(RecordParseInt32(""), 0);
  EXPECT_EQ(RecordParseInt32("  \t+17abc"), 17);
  EXPECT_EQ(RecordParseInt32("-2147483648"), INT32_MIN);
  EXPECT_EQ(RecordParseInt32("2147483647"), INT32_MAX);
  EXPECT_EQ(RecordParseInt32("2147483648"), INT32_MAX);
  EXPECT_EQ(RecordParseInt32("- 5"), 0);
  EXPECT_EQ(RecordParseInt64("9223372036854775807"), INT64_MAX);
  EXPECT_EQ(RecordParseInt64("9223372036854775808"), INT64_MAX);
  EXPECT_EQ(RecordParseInt64("-9223372036854775808"), INT64_MIN);
  EXPECT_EQ(RecordParseInt64("-99999999999999999999"), INT64_MIN);
  EXPECT_EQ(RecordParseInt64("3000000000"), 3000000000LL);
}

}  // namespace
