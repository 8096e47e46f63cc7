// The database connection against a real MariaDB: statements, results,
// failures, reconnects and the limits of the working buffer.
#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "Database/Database.h"
#include "server/Server.h"
#include "support/TestDb.h"
#include "support/TestEnv.h"

namespace {

int CountOf(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// kill() only queues SIGSTOP: the process stops once one of its threads
// takes the signal, and until then a busy connection thread can still answer.
bool AllThreadsStopped(pid_t pid) {
  std::error_code ec;
  for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    std::ifstream stat(task.path() / "stat");
    std::string line;
    std::getline(stat, line);
    const size_t paren = line.rfind(')');
    if (paren == std::string::npos || paren + 2 >= line.size() || line[paren + 2] != 'T') return false;
  }
  return !ec;
}

DbTiming FastTiming() {
  DbTiming t;
  t.connectRetryMs = 50;
  t.resendPauseMs = 20;
  t.storeRetryPauseMs = 20;
  t.connectTimeoutSec = 2;
  t.poolWaitMs = 2000;
  return t;
}

class DatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(db_.ok()) << "no test database (is the testdb fixture running?)";
    DbSetTiming(FastTiming());
    conn_.reset(DbOpen(db_.site()));
    ASSERT_EQ(DbExecute(conn_.get(), "do 1"), 1);
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

TEST_F(DatabaseTest, ConnectionSpeaksUtf8mb4WhateverTheServerDefault) {
  char out[256];
  EXPECT_STRNE(DbQueryValue(conn_.get(), out, sizeof out, "select @@global.character_set_server"),
               "utf8mb3");
  EXPECT_STREQ(DbQueryValue(conn_.get(), out, sizeof out, "select @@character_set_client"), "utf8mb4");
  EXPECT_STREQ(DbQueryValue(conn_.get(), out, sizeof out, "select @@character_set_results"), "utf8mb4");
  // A 4-byte character (an emoji) too.
  const char* text = "Gr\xc3\xbc\xc3\x9f" "e \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80";
  const int id = DbInsert(conn_.get(), "insert into Chat values (0, 0, '%s')", text);
  ASSERT_NE(id, 0);
  EXPECT_STREQ(DbQueryValue(conn_.get(), out, sizeof out, "select name from Chat where id=%d", id), text);
  EXPECT_EQ(db_.Value("select char_length(name) from Chat where id=" + std::to_string(id)), "10");
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

// A statement that runs on the same thread while another is under way
// (here from the result fault, before the first is sent again) must not
// take the first one's text.
TEST_F(DatabaseTest, AStatementRunWhileAnotherIsUnderWayLeavesItsTextAlone) {
  static DbConnection* conn;
  static std::atomic<int> faults;
  conn = conn_.get();
  faults = 0;
  DbSetStoreFaultHook([] {
    if (++faults != 1) return 0;
    char inner[32];
    DbQueryValue(conn, inner, sizeof inner, "select '%s'", "an inner statement");
    return kDbErrorServerLost;
  });
  testing::internal::CaptureStderr();
  char out[32];
  EXPECT_STREQ(DbQueryValue(conn, out, sizeof out, "select name from User where id=%d", 2), "Ben Student");
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(faults, 3);  // the first store, the inner one and the resent one
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
  EXPECT_EQ(db->pool, nullptr);
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

// What this test's captured stderr holds so far: the capture is a file.
std::string CapturedSoFar() {
  std::error_code ec;
  const std::filesystem::path path = std::filesystem::read_symlink("/proc/self/fd/2", ec);
  if (ec) return "";
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(DatabaseConnect, UnreachableDatabaseIsGivenUpAndReportedOncePerOutage) {
  DbTiming timing = FastTiming();
  timing.giveUpMs = 400;
  DbSetTiming(timing);
  SiteConfig site;
  CopyText(site.name, "away");
  CopyText(site.sql_server, "127.0.0.1:1");  // nothing listens on port 1
  CopyText(site.sql_user, "root");
  CopyText(site.sql_database, "kestravon");
  testing::internal::CaptureStderr();
  // Opening costs the database nothing: no attempt, no report.
  DbConnectionPtr db(DbOpen(&site));
  EXPECT_EQ(DbPoolSize(db.get()), 0);
  EXPECT_EQ(CountOf(testing::internal::GetCapturedStderr(), "SQL CONNECT"), 0);

  // Several clients wait at once; each gives up after giveUpMs, and the
  // outage is reported once, with the database's error and no stale errno.
  testing::internal::CaptureStderr();
  std::vector<DbConnectionPtr> clients;
  for (int i = 0; i < 6; ++i) clients.emplace_back(DbOpen(&site));
  std::atomic<int> ok{0};
  std::vector<std::thread> threads;
  errno = EAGAIN;
  const auto start = std::chrono::steady_clock::now();
  for (auto& c : clients)
    threads.emplace_back([&ok, db = c.get()] { ok += DbExecute(db, "select 1"); });
  for (auto& t : threads) t.join();
  const auto waited = std::chrono::steady_clock::now() - start;
  // A second statement of a client that already waited fails at once.
  const auto again = std::chrono::steady_clock::now();
  EXPECT_EQ(DbInsert(clients[0].get(), "insert into Chat values (0, 0, 'x')"), 0);
  const auto againWaited = std::chrono::steady_clock::now() - again;
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(ok.load(), 0);
  EXPECT_GE(waited, std::chrono::milliseconds(350));
  EXPECT_LT(waited, std::chrono::seconds(3));
  EXPECT_LT(againWaited, std::chrono::milliseconds(200));
  EXPECT_EQ(CountOf(err, "SQL CONNECT: "), 1) << err;
  EXPECT_NE(err.find("ERROR: SQL CONNECT: "), std::string::npos) << err;
  EXPECT_NE(err.find("(error 200"), std::string::npos) << err;  // 2002/2003: cannot connect
  EXPECT_EQ(err.find("Resource temporarily unavailable"), std::string::npos) << err;
  EXPECT_EQ(clients[0]->connected.load(), 0);

  // A stop ends a long wait at once. Another site starts its own outage:
  // its report comes just before the statement waits for the next attempt.
  timing.giveUpMs = 60000;
  timing.connectRetryMs = 60000;
  DbSetTiming(timing);
  CopyText(site.name, "away-stop");
  DbConnectionPtr stopped(DbOpen(&site));
  std::atomic<bool> reachedWait{false};
  testing::internal::CaptureStderr();
  std::thread stopper([&reachedWait] {
    reachedWait = TestWaitUntil([] { return CapturedSoFar().find("site away-stop") != std::string::npos; });
    g_stopping = true;
  });
  const auto stopStart = std::chrono::steady_clock::now();
  EXPECT_EQ(DbExecute(stopped.get(), "do 1"), 0);
  const auto stopWaited = std::chrono::steady_clock::now() - stopStart;
  testing::internal::GetCapturedStderr();
  stopper.join();
  g_stopping = false;
  DbSetTiming(DbTiming());
  EXPECT_TRUE(reachedWait) << "the statement never reached its wait";
  EXPECT_LT(stopWaited, std::chrono::seconds(5));
}

TEST(DatabaseRestart, StatementsSurviveARestartOfTheServer) {
  TestDbPrivateServer server;
  ASSERT_TRUE(server.Start()) << "see " << server.dir() << "/script.log";
  DbSetTiming(FastTiming());
  SiteConfig site;
  TestDbFillSite(&site, server.info(), "kestravon");
  DbConnectionPtr db(DbOpen(&site));
  ASSERT_EQ(DbExecute(db.get(), "do 1"), 1);
  ASSERT_EQ(DbUpdate(db.get(), "update Chat set name='%s' where id=%d", "before", 1), 1);

  ASSERT_TRUE(server.Stop());
  ASSERT_TRUE(server.Start());
  testing::internal::CaptureStderr();
  EXPECT_EQ(DbUpdate(db.get(), "update Chat set name='%s' where id=%d", "after", 1), 1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(CountOf(err, "SQL ERROR: "), 1) << err;

  // Down while the statement is sent, back a little later: the caller waits.
  ASSERT_TRUE(server.Stop());
  testing::internal::CaptureStderr();
  // Back once the statement has found the server gone (its one report).
  std::thread restarter([&] {
    TestWaitUntil([] { return CapturedSoFar().find("SQL CONNECT: ") != std::string::npos; });
    server.Start();
  });
  const int id = DbInsert(db.get(), "insert into Chat values (%d, %d, '%s')", 0, 0, "while down");
  err = testing::internal::GetCapturedStderr();
  restarter.join();
  EXPECT_GT(id, 2);
  EXPECT_EQ(CountOf(err, "SQL CONNECT: "), 1) << err;
  EXPECT_EQ(CountOf(err, "answers again"), 1) << err;
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

  EXPECT_EQ(DbEscape(std::string_view("O'B \\ \"q\"\n\0", 11)), "O\\'B \\\\ \\\"q\\\"\\n\\0");
}

TEST_F(DatabaseTest, EscapedTextRoundTrips) {
  const std::string text = "O'Brien said \"hi\" \\ back\nslash";
  const std::string escaped = DbEscape(text);
  const int id = DbInsert(conn_.get(), "insert into Chat values (0, 0, '%s')", escaped.c_str());
  ASSERT_NE(id, 0);
  char out[128];
  EXPECT_EQ(std::string(DbQueryValue(conn_.get(), out, sizeof out, "select name from Chat where id=%d", id)), text);

  // Every byte the escaping handles, each alone and all together, stored
  // and read back byte for byte (hex, as a NUL would end the C text).
  const std::string specials("\0\n\r\\'\"\x1a", 7);
  std::vector<std::string> texts = {"a" + specials + "z"};
  for (char c : specials) texts.push_back(std::string("<") + c + ">");
  for (const std::string& t : texts) {
    const int row = DbInsert(conn_.get(), "insert into Chat values (0, 0, '%s')", DbEscape(t).c_str());
    ASSERT_NE(row, 0);
    std::string hex;
    for (unsigned char c : t) hex += "0123456789ABCDEF"[c >> 4], hex += "0123456789ABCDEF"[c & 15];
    EXPECT_EQ(std::string(DbQueryValue(conn_.get(), out, sizeof out, "select hex(name) from Chat where id=%d", row)),
              hex);
  }
}

// Connections of the server that have `database` as their default, counted
// from a connection that has none.
int ServerConnectionsTo(const TestDbServerInfo& server, const std::string& database) {
  return std::stoi(TestDbValue(server, "", "select count(*) from information_schema.processlist where db='" +
                                               database + "'"));
}

TEST_F(DatabaseTest, ManyClientsShareTheSitesFewServerConnections) {
  SiteConfig site = *db_.site();
  site.sql_connections = 3;
  std::vector<DbConnectionPtr> clients;
  for (int i = 0; i < 12; ++i) clients.emplace_back(DbOpen(&site));
  EXPECT_EQ(DbPoolSize(clients[0].get()), 0);
  std::atomic<int> wrong{0}, most{0};
  std::atomic<bool> done{false};
  std::thread watcher([&] {
    while (!done) {
      const int n = ServerConnectionsTo(db_.server(), db_.name()) - 1;  // less the fixture's conn_
      if (n > most) most = n;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  std::vector<std::thread> threads;
  for (int c = 0; c < 12; ++c) {
    threads.emplace_back([&, c] {
      DbConnection* db = clients[c].get();
      for (int i = 0; i < 15; ++i) {
        DbResultPtr result(DbSelect(db, "select %d, sleep(0.01)", c * 100 + i));
        DbRow row = result != nullptr ? DbFetchRow(result.get()) : nullptr;
        if (row == nullptr || atoi(row[0]) != c * 100 + i) ++wrong;
        if (DbPoolSize(db) > 3) ++wrong;
      }
    });
  }
  for (auto& t : threads) t.join();
  done = true;
  watcher.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_LE(most.load(), 3);
  EXPECT_GE(most.load(), 1);
  EXPECT_EQ(DbPoolSize(clients[0].get()), 3);
  // The last client of the site takes its connections with it.
  clients.clear();
  TestWaitUntil([&] { return ServerConnectionsTo(db_.server(), db_.name()) <= 1; });
  EXPECT_EQ(ServerConnectionsTo(db_.server(), db_.name()), 1);
}

TEST_F(DatabaseTest, WaitForABusyPoolIsBoundedAndReportedOnce) {
  DbTiming timing = FastTiming();
  timing.poolWaitMs = 200;
  DbSetTiming(timing);
  SiteConfig site = *db_.site();
  site.sql_connections = 1;
  DbConnectionPtr slow(DbOpen(&site)), a(DbOpen(&site)), b(DbOpen(&site));
  std::thread holder([&] { EXPECT_EQ(DbExecute(slow.get(), "select sleep(1.5)"), 1); });
  // The pool's one connection runs it.
  ASSERT_TRUE(TestWaitUntil([&] {
    return TestDbValue(db_.server(), "", "select count(*) from information_schema.processlist where db='" +
                                             db_.name() + "' and info='select sleep(1.5)'") == "1";
  }));
  testing::internal::CaptureStderr();
  const auto start = std::chrono::steady_clock::now();
  std::thread other([&] { EXPECT_EQ(DbExecute(b.get(), "select 2"), 0); });
  EXPECT_EQ(DbExecute(a.get(), "select 1"), 0);
  other.join();
  const auto waited = std::chrono::steady_clock::now() - start;
  const std::string err = testing::internal::GetCapturedStderr();
  holder.join();
  EXPECT_GE(waited, std::chrono::milliseconds(180));
  EXPECT_LT(waited, std::chrono::milliseconds(1000));
  EXPECT_EQ(CountOf(err, "stayed busy"), 1) << err;
  // Free again: statements go through.
  char out[8];
  EXPECT_STREQ(DbQueryValue(a.get(), out, sizeof out, "select 7"), "7");
}

TEST(DatabaseTimeout, AServerThatStopsAnsweringFailsTheStatementAfterTheReadTimeout) {
  TestDbPrivateServer server;
  ASSERT_TRUE(server.Start()) << "see " << server.dir() << "/script.log";
  DbTiming timing = FastTiming();
  timing.giveUpMs = 1500;
  timing.connectRetryMs = 100;
  DbSetTiming(timing);
  SiteConfig site;
  TestDbFillSite(&site, server.info(), "kestravon");
  site.sql_timeout = 1;
  DbConnectionPtr db(DbOpen(&site));
  ASSERT_EQ(DbExecute(db.get(), "do 1"), 1);
  pid_t pid = 0;
  std::ifstream(server.dir() + "/mariadbd.pid") >> pid;
  ASSERT_GT(pid, 0);

  ASSERT_EQ(kill(pid, SIGSTOP), 0);  // takes connections, answers nothing
  ASSERT_TRUE(TestWaitUntil([&] { return AllThreadsStopped(pid); }));
  testing::internal::CaptureStderr();
  const auto start = std::chrono::steady_clock::now();
  const int ok = DbExecute(db.get(), "select 1");
  const auto waited = std::chrono::steady_clock::now() - start;
  const std::string err = testing::internal::GetCapturedStderr();
  kill(pid, SIGCONT);
  EXPECT_EQ(ok, 0);
  EXPECT_GE(waited, std::chrono::milliseconds(900));
  EXPECT_LT(waited, std::chrono::milliseconds(4000)) << err;
  EXPECT_EQ(CountOf(err, "SQL CONNECT: "), 1) << err;

  // Answering again: the next statement gets through without a restart.
  char out[8];
  timing.giveUpMs = 10000;
  DbSetTiming(timing);
  DbConnectionPtr later(DbOpen(&site));
  EXPECT_STREQ(DbQueryValue(later.get(), out, sizeof out, "select 5"), "5");
  DbSetTiming(DbTiming());
}

}  // namespace
