// The test databases: where the CTest fixture's private MariaDB listens, root
// access to it through the C API, a fresh copy of the demo database per test
// (so that test executables running in parallel never meet), and a private
// server of a test's own for tests that stop and restart it.
#pragma once

#include <memory>
#include <string>

#include "config/ServerConfig.h"

struct TestDbServerInfo {
  std::string host = "127.0.0.1";
  int port = 0;
  std::string socket;
  bool valid() const { return port > 0; }
};

// Reads DIR/port and DIR/socket as written by scripts/testdb.sh start.
bool TestDbReadInfo(const std::string& dir, TestDbServerInfo* info);
// The fixture's server ($STRMD_TESTDB_DIR); invalid when it is not there.
TestDbServerInfo TestDbFixtureServer();

// Runs `sql` (one or several statements separated by ';') as root in
// `database` ("" for none). On failure returns false and sets *error.
bool TestDbRun(const TestDbServerInfo& server, const std::string& database,
               const std::string& sql, std::string* error = nullptr);
// First column of the first row, "" when none; "NULL" for SQL NULL.
std::string TestDbValue(const TestDbServerInfo& server, const std::string& database,
                        const std::string& sql);

// Creates a database with a unique name from `tag`, loaded from
// Database/schema.sql and Database/demo.sql. Returns its name, "" on failure.
std::string TestDbCreateFresh(const TestDbServerInfo& server, const char* tag);
bool TestDbDrop(const TestDbServerInfo& server, const std::string& database);

// The database settings of a site that uses `database` on `server` as root.
void TestDbFillSite(SiteConfig* site, const TestDbServerInfo& server, const std::string& database);

// A fresh demo database for one test, dropped at the end of its life.
class TestDatabase {
 public:
  explicit TestDatabase(const char* tag, TestDbServerInfo server = TestDbFixtureServer());
  ~TestDatabase();
  TestDatabase(const TestDatabase&) = delete;
  TestDatabase& operator=(const TestDatabase&) = delete;

  bool ok() const { return !name_.empty(); }
  const std::string& name() const { return name_; }
  const TestDbServerInfo& server() const { return server_; }
  SiteConfig* site() { return site_.get(); }  // name "test", settings for this database
  bool Run(const std::string& sql, std::string* error = nullptr);
  std::string Value(const std::string& sql);

 private:
  TestDbServerInfo server_;
  std::string name_;
  std::unique_ptr<SiteConfig> site_;
};

// A MariaDB of the test's own, in a scratch folder, started through
// scripts/testdb.sh; stopped and removed with the object. Only tests that
// stop or restart the server use one, so no other test sees it go away.
class TestDbPrivateServer {
 public:
  TestDbPrivateServer();
  ~TestDbPrivateServer();
  TestDbPrivateServer(const TestDbPrivateServer&) = delete;
  TestDbPrivateServer& operator=(const TestDbPrivateServer&) = delete;

  bool Start();  // also loads the demo database "kestravon"
  bool Stop();
  const TestDbServerInfo& info() const { return info_; }
  const std::string& dir() const { return dir_; }

 private:
  bool Script(const char* action);
  std::string dir_;
  TestDbServerInfo info_;
};
