// The database connection against a real MariaDB: statements, results,
// failures, reconnects and the limits of the working buffer.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "Database/Database.h"
#include "server/Server.h"
#include "support/TestDb.h"

namespace {

int CountOf(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

DbTiming FastTiming() {
  DbTiming t;
  t.connectRetryMs = 50;
  t.resendPauseMs = 20;
  t.storeRetryPauseMs = 20;
  t.connectTimeoutSec = 2;
  return t;
}

class DatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(db_.ok()) << "no test database (is the testdb fixture running?)";
    DbSetTiming(FastTiming());
    conn_.reset(DbOpen(db_.site()));
    ASSERT_EQ(conn_->connected.load(), 1);
  }
  void TearDown() override {
    DbSetStoreFaultHook(nullptr);
    DbSetTiming(DbTiming());
  }
  TestDatabase db_{"database"};
  DbConnectionPtr conn_;
};

TEST_F(DatabaseTest, DuplicateKeyFailsOnceWithoutResending) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(DbInsert(conn_.get(), "insert into Chat values (%d, %d, '%s')", 1, 0, "again"), 0);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(CountOf(err, "SQL ERROR: "), 1) << err;
  EXPECT_NE(err.find("Duplicate entry"), std::string::npos);
  EXPECT_NE(err.find("  Query was: insert into Chat values (1, 0, 'again')"), std::string::npos);
  EXPECT_EQ(db_.Value("select count(*) from Chat"), "2");
  EXPECT_EQ(db_.Value("select name from Chat where id=1"), "Study group");
}

TEST_F(DatabaseTest, InsertUpdateDeleteResults) {
  EXPECT_EQ(DbInsert(conn_.get(), "insert into Chat values (%d, %d, '%s')", 0, 0, ""), 3);
  ASSERT_TRUE(db_.Run("create table NoAuto (a int primary key)"));
  EXPECT_EQ(DbInsert(conn_.get(), "insert into NoAuto values (%d)", 5), 0);
  EXPECT_EQ(db_.Value("select count(*) from NoAuto where a=5"), "1");

  EXPECT_EQ(DbUpdate(conn_.get(), "update Chat set name='x' where id=%d", 999), 0);
  EXPECT_EQ(DbUpdate(conn_.get(), "update ChatUser set status=%d where chatid=%d", 7, 2), 2);
  EXPECT_EQ(DbUpdate(conn_.get(), "update NoSuchTable set a=1"), 0);
  EXPECT_EQ(DbDelete(conn_.get(), "delete from ChatUser where chatid=%d", 1), 3);
  EXPECT_EQ(DbDelete(conn_.get(), "delete from ChatUser where chatid=%d", 1), 0);
}

TEST_F(DatabaseTest, QueryValueAndResults) {
  char out[64] = "junk";
  EXPECT_STREQ(DbQueryValue(conn_.get(), out, sizeof out, "select count(*) from User"), "4");
  EXPECT_STREQ(DbQueryValue(conn_.get(), out, sizeof out, "select id from User where id=%d", 77), "");
  EXPECT_STREQ(DbQueryValue(conn_.get(), out, sizeof out, "select logon from User where id=4"), "");
  char small[3];
  EXPECT_STREQ(DbQueryValue(conn_.get(), small, sizeof small, "select name from User where id=1"), "Ad");

  ASSERT_EQ(DbExecute(conn_.get(), "select id, name from Chat order by id"), 1);
  DbResultPtr result(DbStoreResult(conn_.get()));
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(DbNumRows(result.get()), 2u);
  EXPECT_EQ(result->fieldCount, 2u);
  DbRow row = DbFetchRow(result.get());
  ASSERT_NE(row, nullptr);
  EXPECT_STREQ(row[1], "Study group");
  ASSERT_NE(row = DbFetchRow(result.get()), nullptr);
  EXPECT_STREQ(row[1], "");
  EXPECT_EQ(DbFetchRow(result.get()), nullptr);
  // The result was taken; a statement without rows leaves none.
  EXPECT_EQ(DbStoreResult(conn_.get()), nullptr);
  ASSERT_EQ(DbExecute(conn_.get(), "update Chat set chattype=chattype"), 1);
  EXPECT_EQ(DbStoreResult(conn_.get()), nullptr);
}

TEST_F(DatabaseTest, ConnectionSpeaksUtf8WhateverTheServerDefault) {
  char out[256];
  EXPECT_STRNE(DbQueryValue(conn_.get(), out, sizeof out, "select @@global.character_set_server"),
               "utf8mb3");
  EXPECT_STREQ(DbQueryValue(conn_.get(), out, sizeof out, "select @@character_set_client"), "utf8mb3");
  EXPECT_STREQ(DbQueryValue(conn_.get(), out, sizeof out, "select @@character_set_results"), "utf8mb3");
  const char* text = "Gr\xc3\xbc\xc3\x9f" "e \xe6\x97\xa5\xe6\x9c\xac";
  const int id = DbInsert(conn_.get(), "insert into Chat values (0, 0, '%s')", text);
  ASSERT_NE(id, 0);
  EXPECT_STREQ(DbQueryValue(conn_.get(), out, sizeof out, "select name from Chat where id=%d", id), text);
  EXPECT_EQ(db_.Value("select char_length(name) from Chat where id=" + std::to_string(id)), "8");
}

TEST_F(DatabaseTest, StatementLongerThanTheBufferIsRefused) {
  // "select '" + body + "'": 9 bytes around the body.
  const std::string fits(kDbStatementSize - 1 - 9, 'x');
  const std::string tooLong(kDbStatementSize - 9, 'x');
  EXPECT_EQ(DbExecute(conn_.get(), "select '%s'", fits.c_str()), 1);
  DbResultPtr result(DbStoreResult(conn_.get()));
  ASSERT_NE(result, nullptr);
  DbRow row = DbFetchRow(result.get());
  ASSERT_NE(row, nullptr);
  EXPECT_EQ(strlen(row[0]), fits.size());

  testing::internal::CaptureStderr();
  EXPECT_EQ(DbExecute(conn_.get(), "select '%s'", tooLong.c_str()), 0);
  EXPECT_EQ(DbInsert(conn_.get(), "insert into Chat values (0, 0, '%s')", tooLong.c_str()), 0);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(CountOf(err, "ASSERT(length < kDbStatementSize)"), 2) << err.substr(0, 300);
  EXPECT_EQ(CountOf(err, "SQL ERROR"), 0);
  EXPECT_EQ(db_.Value("select count(*) from Chat"), "2");
}

TEST_F(DatabaseTest, LostResultIsFetchedAgainABoundedNumberOfTimes) {
  static std::atomic<int> faults;
  faults = 0;
  DbSetStoreFaultHook([] { return ++faults <= 1 ? kDbErrorServerLost : 0; });
  testing::internal::CaptureStderr();
  DbResultPtr result(DbSelect(conn_.get(), "select name from User where id=%d", 2));
  std::string err = testing::internal::GetCapturedStderr();
  ASSERT_NE(result, nullptr);
  EXPECT_STREQ(DbFetchRow(result.get())[0], "Ben Student");
  EXPECT_EQ(CountOf(err, "SQL SERVER ERROR: "), 1);

  faults = -1000;  // always lost
  testing::internal::CaptureStderr();
  EXPECT_EQ(DbExecute(conn_.get(), "select 1"), 0);
  EXPECT_EQ(DbStoreResult(conn_.get()), nullptr);
  err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(CountOf(err, "SQL SERVER ERROR: "), DbGetTiming().storeAttempts);

  // The connection was rebuilt and serves the next statement.
  DbSetStoreFaultHook(nullptr);
  char out[16];
  EXPECT_STREQ(DbQueryValue(conn_.get(), out, sizeof out, "select 40+2"), "42");
}

TEST_F(DatabaseTest, ThreadsSharingAConnectionGetTheirOwnResults) {
  std::atomic<int> wrong{0};
  auto worker = [&](int base) {
    for (int i = 0; i < 300; ++i) {
      const int value = base + i;
      DbResultPtr result(DbSelect(conn_.get(), "select %d", value));
      DbRow row = result != nullptr ? DbFetchRow(result.get()) : nullptr;
      if (row == nullptr || atoi(row[0]) != value) ++wrong;
      if (DbUpdate(conn_.get(), "update ChatUser set status=%d where chatid=%d", value, base / 1000) != 3 && base == 1000)
        ++wrong;
    }
  };
  std::thread a(worker, 1000), b(worker, 2000);
  a.join();
  b.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST(DatabaseSettings, UnusableConnectionsFailQuietlyAfterOneReport) {
  SiteConfig site;
  CopyText(site.name, "nodb");
  testing::internal::CaptureStderr();
  DbConnection* db = DbOpen(&site);
  ASSERT_NE(db, nullptr);
  EXPECT_FALSE(DbUsable(db));
  EXPECT_EQ(DbExecute(db, "select 1"), 0);
  EXPECT_EQ(DbInsert(db, "insert into Chat values (0, 0, '')"), 0);
  EXPECT_EQ(DbUpdate(db, "update Chat set name=''"), 0);
  char out[8] = "x";
  EXPECT_STREQ(DbQueryValue(db, out, sizeof out, "select 1"), "");
  EXPECT_EQ(DbStoreResult(db), nullptr);
  EXPECT_EQ(db->handle, nullptr);
  DbClose(db);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(CountOf(err, "nodb"), 1) << err;

  EXPECT_EQ(DbExecute(nullptr, "select 1"), 0);
  EXPECT_EQ(DbSelect(nullptr, "select 1"), nullptr);
  DbClose(nullptr);
  DbFreeResult(nullptr);
  EXPECT_EQ(DbFetchRow(nullptr), nullptr);

  testing::internal::CaptureStderr();
  DbConnectionPtr none(DbOpen(nullptr));
  EXPECT_FALSE(DbUsable(none.get()));
  EXPECT_NE(testing::internal::GetCapturedStderr().find("ASSERT(site)"), std::string::npos);

  // A setting that would have to be cut is refused rather than cut.
  CopyText(site.sql_server, std::string(260, 'h').c_str());
  CopyText(site.sql_user, "root");
  CopyText(site.sql_database, "kestravon");
  testing::internal::CaptureStderr();
  DbConnectionPtr longName(DbOpen(&site));
  testing::internal::GetCapturedStderr();
  EXPECT_FALSE(DbUsable(longName.get()));
}

TEST(DatabaseConnect, RetriesUntilTheLimitOrAStop) {
  DbTiming timing = FastTiming();
  timing.connectAttempts = 3;
  DbSetTiming(timing);
  SiteConfig site;
  CopyText(site.sql_server, "127.0.0.1:1");  // nothing listens on port 1
  CopyText(site.sql_user, "root");
  CopyText(site.sql_database, "kestravon");
  testing::internal::CaptureStderr();
  DbConnectionPtr db(DbOpen(&site));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(db->connected.load(), 0);
  EXPECT_EQ(CountOf(err, "SQL CONNECT: "), 3) << err;
  EXPECT_EQ(DbExecute(db.get(), "select 1"), 0);

  timing.connectAttempts = 0;  // endless, until the server stops
  timing.connectRetryMs = 60000;
  DbSetTiming(timing);
  std::thread stopper([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    g_stopping = true;
  });
  testing::internal::CaptureStderr();
  const auto start = std::chrono::steady_clock::now();
  DbConnectionPtr stopped(DbOpen(&site));
  const auto waited = std::chrono::steady_clock::now() - start;
  testing::internal::GetCapturedStderr();
  stopper.join();
  g_stopping = false;
  DbSetTiming(DbTiming());
  EXPECT_EQ(stopped->connected.load(), 0);
  EXPECT_LT(waited, std::chrono::seconds(5));
}

TEST(DatabaseRestart, StatementsSurviveARestartOfTheServer) {
  TestDbPrivateServer server;
  ASSERT_TRUE(server.Start()) << "see " << server.dir() << "/script.log";
  DbSetTiming(FastTiming());
  SiteConfig site;
  TestDbFillSite(&site, server.info(), "kestravon");
  DbConnectionPtr db(DbOpen(&site));
  ASSERT_EQ(db->connected.load(), 1);
  ASSERT_EQ(DbUpdate(db.get(), "update Chat set name='%s' where id=%d", "before", 1), 1);

  ASSERT_TRUE(server.Stop());
  ASSERT_TRUE(server.Start());
  testing::internal::CaptureStderr();
  EXPECT_EQ(DbUpdate(db.get(), "update Chat set name='%s' where id=%d", "after", 1), 1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(CountOf(err, "SQL ERROR: "), 1) << err;

  // Down while the statement is sent, back a little later: the caller waits.
  ASSERT_TRUE(server.Stop());
  std::thread restarter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    server.Start();
  });
  testing::internal::CaptureStderr();
  const int id = DbInsert(db.get(), "insert into Chat values (%d, %d, '%s')", 0, 0, "while down");
  err = testing::internal::GetCapturedStderr();
  restarter.join();
  EXPECT_GT(id, 2);
  EXPECT_GE(CountOf(err, "SQL CONNECT: "), 1);
  EXPECT_EQ(TestDbValue(server.info(), "kestravon", "select count(*) from Chat where name='while down'"), "1");
  DbSetTiming(DbTiming());
}

TEST(DatabaseText, SessionIdsAndEscaping) {
  EXPECT_TRUE(DbIsSessionId("demo-ada-0001"));
  EXPECT_TRUE(DbIsSessionId("a,b-C9"));
  EXPECT_TRUE(DbIsSessionId(std::string(kDbMaxSessionIdLength, 'a')));
  EXPECT_FALSE(DbIsSessionId(std::string(kDbMaxSessionIdLength + 1, 'a')));
  EXPECT_FALSE(DbIsSessionId(""));
  for (const char* bad : {"x' or '1'='1", "a b", "a;b", "a_b", "caf\xc3\xa9", "a\nb"})
    EXPECT_FALSE(DbIsSessionId(bad)) << bad;
  EXPECT_FALSE(DbIsSessionId(std::string_view("ab\0cd", 5)));

  EXPECT_EQ(DbEscape(nullptr, std::string_view("O'B \\ \"q\"\n\0", 11)), "O\\'B \\\\ \\\"q\\\"\\n\\0");
}

TEST_F(DatabaseTest, EscapedTextRoundTrips) {
  const std::string text = "O'Brien said \"hi\" \\ back\nslash";
  const std::string escaped = DbEscape(conn_.get(), text);
  const int id = DbInsert(conn_.get(), "insert into Chat values (0, 0, '%s')", escaped.c_str());
  ASSERT_NE(id, 0);
  char out[128];
  EXPECT_EQ(std::string(DbQueryValue(conn_.get(), out, sizeof out, "select name from Chat where id=%d", id)), text);
}

}  // namespace
