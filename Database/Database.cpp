#include "Database/Database.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "server/Server.h"
#include "server/ServerConfig.h"

namespace {

std::mutex g_timingLock;
DbTiming g_timing;
std::atomic<DbStoreFaultHook> g_storeFault{nullptr};

DbTiming Timing() {
  std::lock_guard<std::mutex> guard(g_timingLock);
  return g_timing;
}

// Waits `ms`, in short slices so that a stopping server is not held up by a
// database that is away. False when the server is stopping.
bool PauseUnlessStopping(int ms) {
  using Clock = std::chrono::steady_clock;
  const auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (!g_stopping.load()) {
    const auto now = Clock::now();
    if (now >= end) return true;
    std::this_thread::sleep_for(std::min<Clock::duration>(end - now, std::chrono::milliseconds(50)));
  }
  return false;
}

// The per-call working buffer of a statement.
struct StatementBuffer {
  std::unique_ptr<char[]> text{new char[kDbStatementSize]()};
  size_t length = 0;
};

// False, with a report, when the statement does not fit: a cut statement
// could run as a different, valid one.
bool FormatStatement(StatementBuffer* buf, const char* format, va_list args) {
  const int n = vsnprintf(buf->text.get(), kDbStatementSize, format, args);
  if (n < 0 || static_cast<size_t>(n) >= kDbStatementSize) {
    REPORT_ASSERT("length < kDbStatementSize", "Database");
    return false;
  }
  buf->length = static_cast<size_t>(n);
  return true;
}

bool IsLostConnection(unsigned err) { return err == kDbErrorServerGone || err == kDbErrorServerLost; }

struct HandleCloser {
  void operator()(MYSQL* h) const { mysql_close(h); }
};
using HandlePtr = std::unique_ptr<MYSQL, HandleCloser>;

// Splits "host", "host:port" or "/path/to/socket".
void ParseServer(const char* server, std::string* host, unsigned* port, std::string* socket) {
  host->clear();
  socket->clear();
  *port = 0;
  if (server[0] == '/') {
    *host = "localhost";
    *socket = server;
    return;
  }
  *host = server;
  const size_t colon = host->rfind(':');
  if (colon == std::string::npos || colon + 1 == host->size()) return;
  unsigned value = 0;
  for (size_t i = colon + 1; i < host->size(); ++i) {
    const char c = (*host)[i];
    if (c < '0' || c > '9' || value > 65535) return;  // not a port: keep the name whole
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value == 0 || value > 65535) return;
  *port = value;
  host->resize(colon);
}

// Drops a result this thread stored and never took. Caller holds the lock.
void DropPending(DbConnection* db, std::thread::id self) {
  auto& list = db->pending;
  for (auto it = list.begin(); it != list.end(); ++it) {
    if (it->first == self) {
      mysql_free_result(it->second);
      list.erase(it);
      return;
    }
  }
}

enum class Want { kStatus, kInsertId, kAffectedRows };

// Sends `text`, resends it after a lost connection, and for a statement that
// returns rows stores the result under the same hold of the lock. *value gets
// the insert id or affected rows the statement produced.
int Run(DbConnection* db, std::string_view text, Want want, uint64_t* value) {
  if (value != nullptr) *value = 0;
  if (db == nullptr || !db->configured) return 0;
  const DbTiming timing = Timing();
  const std::thread::id self = std::this_thread::get_id();
  const int length = static_cast<int>(text.size());
  int storeFailures = 0;
  for (;;) {
    std::unique_lock<std::mutex> hold(db->lock);
    if (db->connected.load() == 0 || db->handle == nullptr) return 0;
    DropPending(db, self);
    MYSQL* h = db->handle;
    if (mysql_real_query(h, text.data(), text.size()) == 0) {
      if (mysql_field_count(h) == 0) {
        if (value != nullptr) {
          if (want == Want::kInsertId) *value = mysql_insert_id(h);
          if (want == Want::kAffectedRows) *value = mysql_affected_rows(h);
        }
        return 1;
      }
      MYSQL_RES* res = mysql_store_result(h);
      unsigned err = res != nullptr ? 0 : mysql_errno(h);
      std::string errText = res != nullptr ? "" : mysql_error(h);
      if (res != nullptr) {
        if (DbStoreFaultHook hook = g_storeFault.load(); hook != nullptr) {
          if (int fake = hook(); fake != 0) {
            mysql_free_result(res);
            res = nullptr;
            err = static_cast<unsigned>(fake);
            errText = "Lost connection to server while storing the result (injected)";
          }
        }
      }
      if (res != nullptr) {
        db->pending.emplace_back(self, res);
        return 1;
      }
      ConsolePrint("SQL SERVER ERROR: %s\n", errText.c_str());
      if (!IsLostConnection(err)) return 0;
      // Fetching again from a lost connection cannot work: reconnect and send
      // the select again, a bounded number of times.
      db->connected = 0;
      hold.unlock();
      ++storeFailures;
      const bool last = storeFailures >= std::max(1, timing.storeAttempts);
      if (!PauseUnlessStopping(last ? 0 : timing.storeRetryPauseMs)) return 0;
      if (!DbConnect(db) || last) return 0;
      continue;
    }
    const unsigned err = mysql_errno(h);
    ConsolePrint("SQL ERROR: %s.\n  Query was: %.*s\n", mysql_error(h), length, text.data());
    if (!IsLostConnection(err)) return 0;
    db->connected = 0;
    hold.unlock();
    if (!PauseUnlessStopping(timing.resendPauseMs)) return 0;
    if (!DbConnect(db)) return 0;
  }
}

int RunFormatted(DbConnection* db, Want want, uint64_t* value, const char* format, va_list args) {
  if (value != nullptr) *value = 0;
  if (db == nullptr || !db->configured) return 0;
  StatementBuffer buf;
  if (!FormatStatement(&buf, format, args)) return 0;
  return Run(db, std::string_view(buf.text.get(), buf.length), want, value);
}

}  // namespace

void DbSetTiming(const DbTiming& timing) {
  std::lock_guard<std::mutex> guard(g_timingLock);
  g_timing = timing;
}

DbTiming DbGetTiming() { return Timing(); }

void DbSetStoreFaultHook(DbStoreFaultHook hook) { g_storeFault = hook; }

bool DbUsable(const DbConnection* db) { return db != nullptr && db->configured; }

DbConnection* DbOpen(const SiteConfig* site) {
  auto* db = new DbConnection;
  if (site == nullptr) {
    REPORT_ASSERT("site", "Database");
    return db;
  }
  const char* values[] = {site->sql_server, site->sql_database, site->sql_user, site->sql_password};
  char* fields[] = {db->server, db->database, db->user, db->password};
  for (int i = 0; i < 4; ++i) {
    // A cut host, account or schema name could reach the wrong database.
    if (strnlen(values[i], kDbSettingSize) >= kDbSettingSize) {
      ReportError("SQL CONNECT: a database setting of site %s is longer than %zu characters",
                  site->name, kDbSettingSize - 1);
      return db;
    }
    memcpy(fields[i], values[i], strlen(values[i]) + 1);
  }
  if (db->server[0] == '\0' || db->user[0] == '\0' || db->database[0] == '\0') {
    ReportError("SQL CONNECT: site %s has no database server, user or name; "
                "its statements will fail",
                site->name);
    return db;
  }
  db->configured = true;
  DbConnect(db);
  return db;
}

int DbConnect(DbConnection* db) {
  if (db == nullptr) return 0;
  db->connected = 0;
  if (!db->configured) return 0;
  const DbTiming timing = Timing();
  std::string host, socket;
  unsigned port = 0;
  ParseServer(db->server, &host, &port, &socket);
  for (int attempt = 1;; ++attempt) {
    HandlePtr h(mysql_init(nullptr));
    if (h == nullptr) {
      ReportError("SQL CONNECT: %s", "out of memory");
    } else {
      // One attempt must not hang on a host that never answers.
      const unsigned timeout = static_cast<unsigned>(std::max(1, timing.connectTimeoutSec));
      mysql_options(h.get(), MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
      if (mysql_real_connect(h.get(), host.c_str(), db->user, db->password, db->database, port,
                             socket.empty() ? nullptr : socket.c_str(), 0) != nullptr) {
        mysql_query(h.get(), "set names 'utf8'");
        std::lock_guard<std::mutex> guard(db->lock);
        for (auto& p : db->pending) mysql_free_result(p.second);
        db->pending.clear();
        if (db->handle != nullptr) mysql_close(db->handle);
        db->handle = h.release();
        db->connected = 1;
        return 1;
      }
      ReportError("SQL CONNECT: %s", mysql_error(h.get()));
    }
    if (timing.connectAttempts > 0 && attempt >= timing.connectAttempts) return 0;
    if (!PauseUnlessStopping(timing.connectRetryMs)) return 0;
  }
}

void DbClose(DbConnection* db) {
  if (db == nullptr) return;
  {
    std::lock_guard<std::mutex> guard(db->lock);
    for (auto& p : db->pending) mysql_free_result(p.second);
    db->pending.clear();
    if (db->handle != nullptr) mysql_close(db->handle);
    db->handle = nullptr;
    db->connected = 0;
  }
  delete db;
}

int DbExecuteText(DbConnection* db, std::string_view statement) {
  return Run(db, statement, Want::kStatus, nullptr);
}

int DbExecute(DbConnection* db, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int ok = RunFormatted(db, Want::kStatus, nullptr, format, args);
  va_end(args);
  return ok;
}

int32_t DbInsert(DbConnection* db, const char* format, ...) {
  uint64_t id = 0;
  va_list args;
  va_start(args, format);
  const int ok = RunFormatted(db, Want::kInsertId, &id, format, args);
  va_end(args);
  return ok ? static_cast<int32_t>(static_cast<uint32_t>(id)) : 0;
}

namespace {
int32_t AffectedRows(DbConnection* db, const char* format, va_list args) {
  uint64_t rows = 0;
  const int ok = RunFormatted(db, Want::kAffectedRows, &rows, format, args);
  // (uint64_t)-1 is the library's "no count": it reads as no row changed.
  if (!ok || rows == static_cast<uint64_t>(-1)) return 0;
  return static_cast<int32_t>(static_cast<uint32_t>(rows));
}
}  // namespace

int32_t DbUpdate(DbConnection* db, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int32_t rows = AffectedRows(db, format, args);
  va_end(args);
  return rows;
}

int32_t DbDelete(DbConnection* db, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int32_t rows = AffectedRows(db, format, args);
  va_end(args);
  return rows;
}

DbResult* DbStoreResult(DbConnection* db) {
  if (db == nullptr) return nullptr;
  MYSQL_RES* res = nullptr;
  {
    std::lock_guard<std::mutex> guard(db->lock);
    const std::thread::id self = std::this_thread::get_id();
    auto& list = db->pending;
    for (auto it = list.begin(); it != list.end(); ++it) {
      if (it->first == self) {
        res = it->second;
        list.erase(it);
        break;
      }
    }
  }
  if (res == nullptr) return nullptr;
  auto* result = new DbResult;
  result->owner = db;
  result->result = res;
  result->fieldCount = mysql_num_fields(res);
  return result;
}

DbResult* DbSelect(DbConnection* db, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int ok = RunFormatted(db, Want::kStatus, nullptr, format, args);
  va_end(args);
  return ok ? DbStoreResult(db) : nullptr;
}

DbRow DbFetchRow(DbResult* result) {
  if (result == nullptr || result->result == nullptr) return nullptr;
  return mysql_fetch_row(result->result);
}

uint64_t DbNumRows(const DbResult* result) {
  if (result == nullptr || result->result == nullptr) return 0;
  return mysql_num_rows(result->result);
}

void DbFreeResult(DbResult* result) {
  if (result == nullptr) return;
  if (result->result != nullptr) mysql_free_result(result->result);
  delete result;
}

char* DbQueryValue(DbConnection* db, char* out, size_t outSize, const char* format, ...) {
  if (out == nullptr || outSize == 0) return out;
  out[0] = '\0';
  if (!DbUsable(db)) return out;  // reported once, when it was opened
  StatementBuffer buf;
  va_list args;
  va_start(args, format);
  const bool formatted = FormatStatement(&buf, format, args);
  va_end(args);
  if (!formatted) return out;
  const int b = Run(db, std::string_view(buf.text.get(), buf.length), Want::kStatus, nullptr);
  if (!b) {
    REPORT_ASSERT("b", "Database");
    return out;
  }
  DbResultPtr result(DbStoreResult(db));
  if (result == nullptr) {
    REPORT_ASSERT("result", "Database");
    return out;
  }
  DbRow row = DbFetchRow(result.get());
  if (row != nullptr && result->fieldCount > 0 && row[0] != nullptr) {
    const size_t n = strnlen(row[0], outSize - 1);
    memcpy(out, row[0], n);
    out[n] = '\0';
  }
  return out;
}

bool DbIsSessionId(std::string_view text) {
  if (text.empty() || text.size() > kDbMaxSessionIdLength) return false;
  for (char c : text) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == ',' || c == '-';
    if (!ok) return false;
  }
  return true;
}

std::string DbEscape(DbConnection* db, std::string_view text) {
  std::string out(text.size() * 2 + 1, '\0');
  if (db != nullptr) {
    std::lock_guard<std::mutex> guard(db->lock);
    if (db->handle != nullptr && db->connected.load() != 0) {
      const unsigned long n =
          mysql_real_escape_string(db->handle, out.data(), text.data(), text.size());
      if (n != static_cast<unsigned long>(-1)) {
        out.resize(n);
        return out;
      }
    }
  }
  // No connection to ask: the escapes the server understands in any
  // ASCII-compatible character set.
  out.clear();
  for (char c : text) {
    switch (c) {
      case '\0': out += "\\0"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\x1a': out += "\\Z"; break;
      case '\\': out += "\\\\"; break;
      case '\'': out += "\\'"; break;
      case '"': out += "\\\""; break;
      default: out += c;
    }
  }
  return out;
}
