// The database connection: DbConnection, the handle through which all of
// strmd's SQL reaches the platform's MariaDB/MySQL database. An RTMP
// connection opens its own at connect; the recovery of recordings at start
// opens one per site. A connection's plays, publishes, viewing time and
// thumbnail marks run their statements on the job pool (util/JobPool.h),
// never on the connection's thread; recording closes, the chat and the model
// commands still run theirs there. The handle is closed by the connection's
// last job, after every statement queued before it.
//
// Behind the handles, each site has one pool of server connections, at most
// the site's `sql_connections`, made on first use and shared by all of the
// site's DbConnections. A statement borrows a server connection from sending
// the statement until its status, its insert id or affected rows, or for a
// select its whole result, have been taken from the library, then gives it
// back; results stay with the calling thread. Any thread may run statements
// on a DbConnection; only its owner opens and closes it.
//
// Every wait is bounded: for a free server connection (DbTiming::poolWaitMs),
// for a database that does not answer (a retry every connectRetryMs, given up
// after giveUpMs, counted once per DbConnection and outage), and every
// library call (the site's `sql_timeout`). An outage is reported once per
// site, not once per client. Locks: the pool registry, then a pool's lock,
// then a DbConnection's lock; none is held while the library talks to the
// server.
//
// Every operation accepts a null or unusable connection and then fails
// quietly: a site without database settings is reported by DbOpen.
#pragma once

#include <mysql.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "util/Log.h"
#include "util/ThreadSafety.h"

struct SiteConfig;
struct DbPool;

// Statements are formatted into a working buffer of this size; a statement
// that does not fit is refused, never cut.
constexpr size_t kDbStatementSize = 524288;
constexpr size_t kDbSettingSize = 260;  // server, database, user, password
constexpr int kDbErrorServerGone = 2006;
constexpr int kDbErrorServerLost = 2013;
constexpr int kDbErrorTooManyConnections = 1040;
constexpr int kDbErrorStatementTimeout = 1969;  // MariaDB: max_statement_time ran out

// The waits of the connection. The defaults are the server's; a test
// shortens them with DbSetTiming, or for a test build of the binary
// (STRMD_TEST_HOOKS) with the environment variables STRMD_TEST_DB_RETRY_MS, STRMD_TEST_DB_GIVEUP_MS and
// STRMD_TEST_DB_POOL_WAIT_MS, read once at the first use of the database.
struct DbTiming {
  int connectRetryMs = 10000;  // between connect attempts while the database is away
  int giveUpMs = 30000;        // a statement (and its client) waits no longer for it
  int poolWaitMs = 5000;       // for a free server connection while all are busy
  int resendPauseMs = 1000;    // after a lost connection, before sending again
  int storeRetryPauseMs = 5000;
  int storeAttempts = 3;       // a lost result is fetched again this often
  int connectTimeoutSec = 10;  // one attempt to reach the server (at most sql_timeout)
};
void DbSetTiming(const DbTiming& timing);
DbTiming DbGetTiming();

struct DbConnection {
  // Set once by DbOpen; null for a connection that can never reach a
  // database (no site, or its settings are missing or too long).
  DbPool* pool = nullptr;

  // 1 when the last statement reached the database; 0 before the first one
  // and after one that could not.
  std::atomic<int32_t> connected{0};

  // Guarded by the pool's lock (DbPool is private to Database.cpp, so the
  // analysis cannot name it here): the outage in which a statement of this
  // connection already waited out giveUpMs. Later statements of the same
  // outage fail at once, so a client waits once, not once per statement.
  uint64_t gaveUpIn = 0;

  // Guarded by `lock`: results stored by DbExecute for DbStoreResult, one
  // per calling thread.
  Mutex lock;
  std::vector<std::pair<std::thread::id, MYSQL_RES*>> pending GUARDED_BY(lock);
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

// A new handle on the site's pool. It costs the database nothing until its
// first statement. Returns an unusable connection, never null, when `site`
// is null or its server, user or database is empty or too long; that case is
// reported here. `sql_server` is "host", "host:port" or a socket path.
DbConnection* DbOpen(const SiteConfig* site);
// Closes and frees; null does nothing. Frees results nobody fetched.
void DbClose(DbConnection* db);
bool DbUsable(const DbConnection* db);
// Server connections the pool of `db` holds now (idle, lent or being made);
// 0 for an unusable connection.
int DbPoolSize(const DbConnection* db);

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

// The database's error text for the calling thread's last statement that the
// database refused; empty when none was.
std::string DbLastError();

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

// Statements whose text comes from a client (model writes, the Transcodes
// condition). While one of these lives, every statement its thread runs is
// such a statement: it is sent as "SET STATEMENT max_statement_time=<the
// site's sql_client_timeout> FOR <text>" (MariaDB), and it runs only while
// fewer than half of the site's pool (rounded up, at least one) and fewer
// than sql_client_per_address connections from `address` are busy with
// client statements, so that the rest stays free for the server's own
// statements. A client statement that finds its share busy for the pool wait,
// or that its time bound stops, fails; that is reported once per address
// until a statement of the address succeeds again. A null address makes
// statements the server's own. Scopes nest; the innermost counts.
class DbClientStatements {
 public:
  explicit DbClientStatements(const char* address);
  ~DbClientStatements();
  DbClientStatements(const DbClientStatements&) = delete;
  DbClientStatements& operator=(const DbClientStatements&) = delete;

 private:
  const char* previous_;
};

// Web session identifiers as PHP makes them: 1 to kDbMaxSessionIdLength
// letters, digits, commas and dashes. Anything else must be refused before
// it is placed into a statement.
constexpr size_t kDbMaxSessionIdLength = 256;
bool DbIsSessionId(std::string_view text);

// `text` escaped for use between single quotes in a statement, every byte
// seen: NUL, line feed, carriage return, backslash, both quotes and Ctrl-Z
// are escaped as the MariaDB client library does. The connections speak
// UTF-8 (set names), in which no byte of a multi-byte character is a quote
// or backslash, so the escapes need no server.
std::string DbEscape(std::string_view text);

// Test seam: when set, consulted after every successful send of a statement
// that returns rows; a non-zero error number is treated as if storing the
// result had failed with it. Only a test sets it.
using DbStoreFaultHook = int (*)();
void DbSetStoreFaultHook(DbStoreFaultHook hook);
