// The database connection: one DbConnection per RTMP connection, the only
// path from strmd to the platform's MariaDB/MySQL database.
//
// A DbConnection is created and closed by its RTMP connection's thread, but
// other connections' threads may run statements on it too (chat presence).
// Its lock is held from sending a statement until its status, and for a
// select its whole result, have been taken from the library, so statements
// and results of different threads never interleave. Connecting and the
// pauses between retries block only the calling thread, without the lock.
//
// Every operation accepts a null or unusable connection and then fails
// quietly: a site without database settings is reported once, by DbOpen.
#pragma once

#include <mysql.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "server/Log.h"

struct SiteConfig;

// Statements are formatted into a working buffer of this size; a statement
// that does not fit is refused, never cut.
constexpr size_t kDbStatementSize = 524288;
constexpr size_t kDbSettingSize = 260;  // server, database, user, password
constexpr int kDbErrorServerGone = 2006;
constexpr int kDbErrorServerLost = 2013;

// The waits of the connection. The defaults are the server's; tests shorten
// them. Zero attempts means no limit.
struct DbTiming {
  int connectRetryMs = 10000;  // between connect attempts
  int connectAttempts = 0;     // endless: the caller waits for the server
  int resendPauseMs = 1000;    // after a lost connection, before reconnecting
  int storeRetryPauseMs = 5000;
  int storeAttempts = 3;       // a lost result is fetched again this often
  int connectTimeoutSec = 10;  // one attempt to reach the server
};
void DbSetTiming(const DbTiming& timing);
DbTiming DbGetTiming();

struct DbConnection {
  // Set once by DbOpen.
  char server[kDbSettingSize] = {};
  char database[kDbSettingSize] = {};
  char user[kDbSettingSize] = {};
  char password[kDbSettingSize] = {};
  bool configured = false;  // false: no site or empty settings; never connects

  // 1 while connected; 0 while a (re)connect runs or when never connected.
  std::atomic<int32_t> connected{0};

  // Guarded by `lock`. Null until the first connect succeeds; a reconnect
  // builds a new handle without the lock and swaps it in.
  std::mutex lock;
  MYSQL* handle = nullptr;
  // Results stored by DbExecute for DbStoreResult, one per calling thread.
  std::vector<std::pair<std::thread::id, MYSQL_RES*>> pending;
};

// One stored result set; owned by the caller until DbFreeResult.
struct DbResult {
  DbConnection* owner = nullptr;
  MYSQL_RES* result = nullptr;
  uint32_t fieldCount = 0;  // entries in every row
};

// One row: `DbResult::fieldCount` entries, each NUL-terminated text or null
// for SQL NULL. Valid until the next DbFetchRow on its result or DbFreeResult.
using DbRow = char**;

// A new connection for the site, connected (which may wait for the server)
// unless its settings are missing. Returns an unusable connection, never null,
// when `site` is null or its server, user or database is empty; that case is
// reported here once. `sql_server` is "host", "host:port" or a socket path.
DbConnection* DbOpen(const SiteConfig* site);
// 1 when connected; 0 for an unconfigured connection or when g_stopping (or
// the test attempt limit) ended the retries.
int DbConnect(DbConnection* db);
// Closes and frees; null does nothing. Frees results nobody fetched.
void DbClose(DbConnection* db);
bool DbUsable(const DbConnection* db);

// 1 when the statement succeeded, 0 otherwise. A statement that returns rows
// keeps its stored result for DbStoreResult on the same thread.
int DbExecute(DbConnection* db, const char* format, ...) STRMD_PRINTF(2, 3);
// The generated id (low 32 bits), 0 on failure or when there is none.
int32_t DbInsert(DbConnection* db, const char* format, ...) STRMD_PRINTF(2, 3);
// Affected rows (low 32 bits); 0 on failure or when nothing matched.
int32_t DbUpdate(DbConnection* db, const char* format, ...) STRMD_PRINTF(2, 3);
int32_t DbDelete(DbConnection* db, const char* format, ...) STRMD_PRINTF(2, 3);
// Writes the first column of the first row into `out` (cut to outSize - 1
// characters), or leaves it empty. Returns `out`.
char* DbQueryValue(DbConnection* db, char* out, size_t outSize, const char* format, ...)
    STRMD_PRINTF(4, 5);

// The result of this thread's last DbExecute on `db`, or null (no rows set,
// failed statement, or already taken). Owned by the caller.
DbResult* DbStoreResult(DbConnection* db);
// DbExecute and DbStoreResult in one call.
DbResult* DbSelect(DbConnection* db, const char* format, ...) STRMD_PRINTF(2, 3);
DbRow DbFetchRow(DbResult* result);
uint64_t DbNumRows(const DbResult* result);
void DbFreeResult(DbResult* result);

// Runs a statement that is already text (not a format): the path of the
// record loaders, whose conditions were formatted by their callers.
int DbExecuteText(DbConnection* db, std::string_view statement);

struct DbResultDeleter {
  void operator()(DbResult* r) const { DbFreeResult(r); }
};
using DbResultPtr = std::unique_ptr<DbResult, DbResultDeleter>;
struct DbConnectionDeleter {
  void operator()(DbConnection* db) const { DbClose(db); }
};
using DbConnectionPtr = std::unique_ptr<DbConnection, DbConnectionDeleter>;

// Web session identifiers as PHP makes them: 1 to kDbMaxSessionIdLength
// letters, digits, commas and dashes. Anything else must be refused before
// it is placed into a statement.
constexpr size_t kDbMaxSessionIdLength = 256;
bool DbIsSessionId(std::string_view text);

// `text` escaped for use between single quotes in a statement on `db`
// (mysql_real_escape_string; without a connection, the same escapes by hand).
std::string DbEscape(DbConnection* db, std::string_view text);

// Test seam: when set, consulted after every successful send of a statement
// that returns rows; a non-zero error number is treated as if storing the
// result had failed with it. Only a test sets it.
using DbStoreFaultHook = int (*)();
void DbSetStoreFaultHook(DbStoreFaultHook hook);
