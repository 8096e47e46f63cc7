#include "TestDb.h"

#include <mysql.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "TestEnv.h"

namespace {

std::string ReadFirstLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

struct Handle {
  MYSQL* h = nullptr;
  ~Handle() {
    if (h != nullptr) mysql_close(h);
  }
};

bool Connect(Handle* handle, const TestDbServerInfo& server, const std::string& database,
             std::string* error) {
  handle->h = mysql_init(nullptr);
  unsigned timeout = 10;
  mysql_options(handle->h, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
  if (mysql_real_connect(handle->h, server.host.c_str(), "root", "",
                         database.empty() ? nullptr : database.c_str(),
                         static_cast<unsigned>(server.port), nullptr, CLIENT_MULTI_STATEMENTS) ==
      nullptr) {
    if (error != nullptr) *error = mysql_error(handle->h);
    return false;
  }
  return true;
}

std::string SafeTag(const char* tag) {
  std::string out;
  for (const char* p = tag; p != nullptr && *p != '\0' && out.size() < 24; ++p) {
    const char c = *p;
    out += ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) ? c : (c >= 'A' && c <= 'Z') ? char(c + 32) : '_';
  }
  return out;
}

}  // namespace

bool TestDbReadInfo(const std::string& dir, TestDbServerInfo* info) {
  const std::string port = ReadFirstLine(dir + "/port");
  info->port = port.empty() ? 0 : atoi(port.c_str());
  info->socket = ReadFirstLine(dir + "/socket");
  return info->valid();
}

TestDbServerInfo TestDbFixtureServer() {
  TestDbServerInfo info;
  const char* dir = getenv("STRMD_TESTDB_DIR");
  if (dir != nullptr) TestDbReadInfo(dir, &info);
  return info;
}

bool TestDbRun(const TestDbServerInfo& server, const std::string& database, const std::string& sql,
               std::string* error) {
  Handle handle;
  if (!Connect(&handle, server, database, error)) return false;
  if (mysql_real_query(handle.h, sql.data(), sql.size()) != 0) {
    if (error != nullptr) *error = mysql_error(handle.h);
    return false;
  }
  // Every statement of a batch answers; an error shows at its own turn.
  for (;;) {
    if (MYSQL_RES* res = mysql_store_result(handle.h)) mysql_free_result(res);
    const int next = mysql_next_result(handle.h);
    if (next == -1) return true;
    if (next > 0) {
      if (error != nullptr) *error = mysql_error(handle.h);
      return false;
    }
  }
}

std::string TestDbValue(const TestDbServerInfo& server, const std::string& database,
                        const std::string& sql) {
  Handle handle;
  if (!Connect(&handle, server, database, nullptr)) return "";
  if (mysql_real_query(handle.h, sql.data(), sql.size()) != 0) return "";
  MYSQL_RES* res = mysql_store_result(handle.h);
  if (res == nullptr) return "";
  std::string value;
  if (MYSQL_ROW row = mysql_fetch_row(res); row != nullptr && mysql_num_fields(res) > 0)
    value = row[0] != nullptr ? row[0] : "NULL";
  mysql_free_result(res);
  return value;
}

std::string TestDbCreateFresh(const TestDbServerInfo& server, const char* tag) {
  static std::atomic<int> counter{0};
  const std::string name = "t_" + SafeTag(tag) + "_" + std::to_string(getpid()) + "_" +
                           std::to_string(counter.fetch_add(1));
  const std::string source = TestSourceDir();
  const std::string sql = ReadFile(source + "/Database/schema.sql") + "\n" +
                          ReadFile(source + "/Database/demo.sql");
  std::string error;
  if (!TestDbRun(server, "", "drop database if exists " + name + "; create database " + name +
                                 " character set utf8mb4",
                 &error) ||
      !TestDbRun(server, name, sql, &error)) {
    fprintf(stderr, "TestDbCreateFresh(%s): %s\n", name.c_str(), error.c_str());
    TestDbDrop(server, name);
    return "";
  }
  return name;
}

bool TestDbDrop(const TestDbServerInfo& server, const std::string& database) {
  return TestDbRun(server, "", "drop database if exists " + database);
}

void TestDbFillSite(SiteConfig* site, const TestDbServerInfo& server, const std::string& database) {
  const std::string address = server.host + ":" + std::to_string(server.port);
  CopyText(site->name, "test");
  CopyText(site->sql_server, address.c_str());
  CopyText(site->sql_database, database.c_str());
  CopyText(site->sql_user, "root");
  CopyText(site->sql_password, "");
}

TestDatabase::TestDatabase(const char* tag, TestDbServerInfo server)
    : server_(std::move(server)), site_(std::make_unique<SiteConfig>()) {
  if (server_.valid()) name_ = TestDbCreateFresh(server_, tag);
  TestDbFillSite(site_.get(), server_, name_);
}

TestDatabase::~TestDatabase() {
  if (!name_.empty()) TestDbDrop(server_, name_);
}

bool TestDatabase::Run(const std::string& sql, std::string* error) {
  return TestDbRun(server_, name_, sql, error);
}

std::string TestDatabase::Value(const std::string& sql) { return TestDbValue(server_, name_, sql); }

TestDbPrivateServer::TestDbPrivateServer() : dir_(TestTempDir("dbserver")) {}

TestDbPrivateServer::~TestDbPrivateServer() {
  Stop();
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

bool TestDbPrivateServer::Script(const char* action) {
  const std::string command = "'" + TestSourceDir() + "/scripts/testdb.sh' " + action + " '" + dir_ +
                              "' >>'" + dir_ + "/script.log' 2>&1";
  return std::system(command.c_str()) == 0;
}

bool TestDbPrivateServer::Start() {
  if (Script("start") && TestDbReadInfo(dir_, &info_)) return true;
  // The folder goes with this object: show why here, or CI keeps no trace.
  for (const char* name : {"script.log", "install.log", "mariadbd.log"}) {
    std::ifstream in(dir_ + "/" + name);
    std::deque<std::string> tail;
    for (std::string line; std::getline(in, line);) {
      tail.push_back(line);
      if (tail.size() > 30) tail.pop_front();
    }
    if (tail.empty()) continue;
    std::fprintf(stderr, "--- %s/%s (last %zu lines)\n", dir_.c_str(), name, tail.size());
    for (const std::string& line : tail) std::fprintf(stderr, "%s\n", line.c_str());
  }
  return false;
}

bool TestDbPrivateServer::Stop() { return Script("stop"); }
