#include "Database/Database.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/ServerConfig.h"
#include "util/EnvNumber.h"
#include "util/ThreadSafety.h"

using Clock = std::chrono::steady_clock;

// The server connections of one site, shared by all of its DbConnections.
struct DbPool {
  // Set once when the pool is made.
  std::string siteName;
  std::string server, database, user, password;
  std::string host, socket;
  unsigned port = 0;
  int timeoutSec = kSiteSqlTimeoutDefault;
  int configuredLimit = kSiteSqlConnectionsDefault;
  int clientTimeoutSec = kSiteSqlClientTimeoutDefault;
  int clientPerAddress = kSiteSqlClientPerAddressDefault;  // 0: no cap

  // Guarded by `lock`.
  Mutex lock;
  std::condition_variable_any changed;  // a connection came back, was closed, or a probe ended
  std::vector<MYSQL*> idle GUARDED_BY(lock);
  int open GUARDED_BY(lock) = 0;    // idle, lent out, or being made
  int limit GUARDED_BY(lock) = kSiteSqlConnectionsDefault;  // lowered when the server refuses more
  int users GUARDED_BY(lock) = 0;   // DbConnections on this pool
  bool down GUARDED_BY(lock) = false;         // an outage was reported and has not ended
  uint64_t outage GUARDED_BY(lock) = 0;       // number of the latest outage
  bool probing GUARDED_BY(lock) = false;      // a connect attempt of the outage is under way
  Clock::time_point nextProbe GUARDED_BY(lock);
  bool busyReported GUARDED_BY(lock) = false; // a wait for a free connection ran out, not yet reported as over
  // Client statements (DbClientStatements) holding a place in the clients'
  // share, in all and per address (entries at 0 are removed), and the
  // addresses whose failure was reported and that have not succeeded since.
  std::condition_variable_any clientChanged;  // a place in the share came free
  int clientBusy GUARDED_BY(lock) = 0;
  std::vector<std::pair<std::string, int>> clientByAddress GUARDED_BY(lock);
  std::vector<std::string> clientReported GUARDED_BY(lock);
};

namespace {

Mutex g_timingLock;
DbTiming g_timing GUARDED_BY(g_timingLock);
bool g_timingRead GUARDED_BY(g_timingLock) = false;
std::atomic<DbStoreFaultHook> g_storeFault{nullptr};
// The address of the client whose text this thread's statements carry, or
// null for the server's own statements (DbClientStatements).
thread_local const char* t_clientAddress = nullptr;
// Addresses remembered as reported per pool: past it, failures of further
// addresses go unreported until one of them succeeds, so the log stays bounded.
constexpr size_t kClientReportedMax = 256;
thread_local std::string t_lastError;  // the calling thread's last refused statement

// Pools live as long as the process, so a handle never outlives its pool;
// their connections are closed when the last DbConnection of a site goes.
Mutex g_poolsLock;
std::vector<std::unique_ptr<DbPool>>& Pools() REQUIRES(g_poolsLock) {
  static auto* pools = new std::vector<std::unique_ptr<DbPool>>;
  return *pools;
}

#ifdef STRMD_TEST_HOOKS
int EnvMs(const char* name, int fallback) { return static_cast<int>(EnvNumber(name, fallback, 0, 3600 * 1000)); }
#endif

DbTiming Timing() {
  MutexLock guard(g_timingLock);
  if (!g_timingRead) {
#ifdef STRMD_TEST_HOOKS
    // Test builds only: the binary's periods, shortened so tests need not wait.
    g_timing.connectRetryMs = EnvMs("STRMD_TEST_DB_RETRY_MS", g_timing.connectRetryMs);
    g_timing.giveUpMs = EnvMs("STRMD_TEST_DB_GIVEUP_MS", g_timing.giveUpMs);
    g_timing.poolWaitMs = EnvMs("STRMD_TEST_DB_POOL_WAIT_MS", g_timing.poolWaitMs);
#endif
    g_timingRead = true;
  }
  return g_timing;
}

// A database failure with the database's own number and text. errno is
// cleared for the report so that no stale system error is shown with it.
void ReportDbError(unsigned err, const char* text, const char* siteName) {
  const int saved = errno;
  errno = 0;
  ReportError("SQL CONNECT: %s (error %u, site %s)", text, err, siteName);
  errno = saved;
}

void Notice(const char* format, const char* siteName) {
  if (g_errorsToFile)
    LogToFile("error", format, siteName);
  else
    ConsolePrint(format, siteName);
}

// Waits `ms`, in short slices so that a stopping server is not held up by a
// database that is away. False when the server is stopping.
bool PauseUnlessStopping(int ms) {
  const auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (!g_stopping.load()) {
    const auto now = Clock::now();
    if (now >= end) return true;
    std::this_thread::sleep_for(std::min<Clock::duration>(end - now, std::chrono::milliseconds(50)));
  }
  return false;
}

// Formats a statement into `out`, sized to its text: a buffer of the
// largest statement kept per thread would hold half a megabyte for every
// connection thread for its whole life. False, with a report, when the
// statement does not fit: a cut statement could run as a different, valid
// one.
bool FormatStatement(std::string* out, const char* format, va_list args) {
  va_list measure;
  va_copy(measure, args);
  const int n = vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (n < 0 || static_cast<size_t>(n) >= kDbStatementSize) {
    REPORT_ASSERT("length < kDbStatementSize", "Database");
    return false;
  }
  out->resize(static_cast<size_t>(n));
  vsnprintf(out->data(), out->size() + 1, format, args);
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

// The site's pool, made on the first DbOpen of the site. Sites are matched
// by their settings, so a site record that was freed and another one made
// at its address never share a pool by accident.
DbPool* PoolFor(const SiteConfig* site) {
  MutexLock guard(g_poolsLock);
  const int limit = std::clamp(site->sql_connections, 1, kSiteSqlConnectionsMax);
  const int timeout = std::clamp(site->sql_timeout, 1, kSiteSqlTimeoutMax);
  const int clientTimeout = std::clamp(site->sql_client_timeout, 1, kSiteSqlTimeoutMax);
  const int perAddress = std::max(0, site->sql_client_per_address);
  for (auto& p : Pools()) {
    if (p->siteName == site->name && p->server == site->sql_server && p->database == site->sql_database &&
        p->user == site->sql_user && p->password == site->sql_password && p->configuredLimit == limit &&
        p->timeoutSec == timeout && p->clientTimeoutSec == clientTimeout && p->clientPerAddress == perAddress)
      return p.get();
  }
  auto pool = std::make_unique<DbPool>();
  pool->siteName = site->name;
  pool->server = site->sql_server;
  pool->database = site->sql_database;
  pool->user = site->sql_user;
  pool->password = site->sql_password;
  pool->configuredLimit = limit;
  {
    MutexLock hold(pool->lock);  // not shared yet: taken for the analysis
    pool->limit = limit;
  }
  pool->timeoutSec = timeout;
  pool->clientTimeoutSec = clientTimeout;
  pool->clientPerAddress = perAddress;
  ParseServer(site->sql_server, &pool->host, &pool->port, &pool->socket);
  Pools().push_back(std::move(pool));
  return Pools().back().get();
}

struct ConnectError {
  unsigned number = 0;
  std::string text;
  bool timedOut = false;  // the attempt used up its whole timeout
};

// One attempt to reach the server, bounded by the connect timeout and the
// statement's deadline; every later read and write by sql_timeout.
MYSQL* ConnectOnce(const DbPool* pool, const DbTiming& timing, Clock::time_point giveUpAt,
                   ConnectError* error) {
  HandlePtr h(mysql_init(nullptr));
  if (h == nullptr) {
    error->number = 0;
    error->text = "out of memory";
    return nullptr;
  }
  const auto left = std::chrono::duration_cast<std::chrono::seconds>(giveUpAt - Clock::now()).count() + 1;
  const unsigned connectTimeout = static_cast<unsigned>(
      std::max<int64_t>(1, std::min<int64_t>({timing.connectTimeoutSec, pool->timeoutSec, left})));
  const unsigned ioTimeout = static_cast<unsigned>(pool->timeoutSec);
  mysql_options(h.get(), MYSQL_OPT_CONNECT_TIMEOUT, &connectTimeout);
  mysql_options(h.get(), MYSQL_OPT_READ_TIMEOUT, &ioTimeout);
  mysql_options(h.get(), MYSQL_OPT_WRITE_TIMEOUT, &ioTimeout);
  const auto started = Clock::now();
  if (mysql_real_connect(h.get(), pool->host.c_str(), pool->user.c_str(), pool->password.c_str(),
                         pool->database.c_str(), pool->port,
                         pool->socket.empty() ? nullptr : pool->socket.c_str(), 0) == nullptr) {
    error->number = mysql_errno(h.get());
    error->text = mysql_error(h.get());
    error->timedOut = Clock::now() - started >= std::chrono::seconds(connectTimeout) - std::chrono::milliseconds(100);
    return nullptr;
  }
  // utf8mb4: every Unicode character, the 4-byte ones (emoji) included.
  mysql_query(h.get(), "set names 'utf8mb4'");
  return h.release();
}

void CloseAll(std::vector<MYSQL*>* handles) {
  for (MYSQL* h : *handles) mysql_close(h);
  handles->clear();
}

// A server connection for one statement of `db`, or null when none could be
// had in time. Only the pool's bookkeeping happens under its lock; connects
// run without it.
MYSQL* Borrow(DbConnection* db, const DbTiming& timing, Clock::time_point giveUpAt) {
  DbPool* p = db->pool;
  UniqueLock<Mutex> hold(p->lock);
  const auto busyUntil = Clock::now() + std::chrono::milliseconds(timing.poolWaitMs);
  constexpr auto kSlice = std::chrono::milliseconds(200);  // to notice g_stopping
  for (;;) {
    if (!p->idle.empty()) {
      MYSQL* h = p->idle.back();
      p->idle.pop_back();
      p->busyReported = false;
      return h;
    }
    if (g_stopping.load()) return nullptr;
    const auto now = Clock::now();
    if (p->down) {
      // The database is away. This client waits out one outage at most once.
      if (db->gaveUpIn == p->outage || now >= giveUpAt) {
        db->gaveUpIn = p->outage;
        return nullptr;
      }
      if (!p->probing && now >= p->nextProbe && p->open < p->limit) {
        // One attempt every connectRetryMs for the whole site, however
        // many statements wait: a database that comes back is not met by a
        // crowd of connects, and strmd does not spin while it is away.
        p->probing = true;
        ++p->open;
        hold.unlock();
        ConnectError error;
        MYSQL* h = ConnectOnce(p, timing, giveUpAt, &error);
        hold.lock();
        p->probing = false;
        if (h != nullptr) {
          p->down = false;
          p->limit = p->configuredLimit;
          p->changed.notify_all();
          hold.unlock();
          Notice("SQL RECONNECT: the database of site %s answers again\n", p->siteName.c_str());
          return h;
        }
        --p->open;
        p->nextProbe = Clock::now() + std::chrono::milliseconds(timing.connectRetryMs);
        p->changed.notify_all();
        // A server that takes connections and never answers has had this
        // statement's whole timeout already: waiting on would double it.
        if (error.timedOut) {
          db->gaveUpIn = p->outage;
          return nullptr;
        }
        continue;
      }
      const auto until = p->probing ? giveUpAt : std::min(p->nextProbe, giveUpAt);
      p->changed.wait_until(hold, std::min(until, now + kSlice));
      continue;
    }
    if (p->open < p->limit) {
      ++p->open;
      hold.unlock();
      ConnectError error;
      MYSQL* h = ConnectOnce(p, timing, giveUpAt, &error);
      hold.lock();
      if (h != nullptr) {
        p->busyReported = false;
        return h;
      }
      --p->open;
      p->changed.notify_all();
      if (error.number == kDbErrorTooManyConnections && p->open > 0) {
        // The server allows fewer connections than the site's setting: use
        // what it gave, and wait for one of those instead.
        const int had = p->limit;
        p->limit = p->open;
        if (p->limit < had) {
          hold.unlock();
          ReportDbError(error.number, error.text.c_str(), p->siteName.c_str());
          hold.lock();
        }
        continue;
      }
      if (!p->down) {
        p->down = true;
        ++p->outage;
        p->nextProbe = Clock::now() + std::chrono::milliseconds(timing.connectRetryMs);
        hold.unlock();
        ReportDbError(error.number, error.text.c_str(), p->siteName.c_str());
        hold.lock();
      }
      if (error.timedOut) {
        db->gaveUpIn = p->outage;
        return nullptr;
      }
      continue;
    }
    // Every connection is lent out: wait for one, a bounded time.
    if (now >= busyUntil) {
      const bool report = !p->busyReported;
      p->busyReported = true;
      const int limit = p->limit;
      hold.unlock();
      if (report) {
        const int saved = errno;
        errno = 0;
        ReportError("SQL CONNECT: all %d connections of site %s stayed busy for %d ms; statements fail",
                    limit, p->siteName.c_str(), timing.poolWaitMs);
        errno = saved;
      }
      return nullptr;
    }
    p->changed.wait_until(hold, std::min(busyUntil, now + kSlice));
  }
}

void GiveBack(DbPool* p, MYSQL* h) {
  MutexLock guard(p->lock);
  p->idle.push_back(h);
  p->changed.notify_one();
}

// Closes a connection that lost its server, and the idle ones with it: a
// lost connection mostly means the server restarted, and they are as dead.
void Discard(DbPool* p, MYSQL* h) {
  std::vector<MYSQL*> dead{h};
  {
    MutexLock guard(p->lock);
    dead.insert(dead.end(), p->idle.begin(), p->idle.end());
    p->open -= static_cast<int>(dead.size());
    p->idle.clear();
    p->changed.notify_all();
  }
  CloseAll(&dead);
}

// Drops a result this thread stored and never took.
void DropPending(DbConnection* db, std::thread::id self) {
  MutexLock guard(db->lock);
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

// Sends `text` on a borrowed server connection, resends it after a lost
// connection, and for a statement that returns rows stores the result before
// the connection goes back. *value gets the insert id or affected rows.
// The whole statement, resends included, is bounded by giveUpMs (and each
// library call by sql_timeout).
int RunOnce(DbConnection* db, std::string_view text, Want want, uint64_t* value, unsigned* lastError) {
  if (value != nullptr) *value = 0;
  *lastError = 0;
  if (!DbUsable(db)) return 0;
  const DbTiming timing = Timing();
  const std::thread::id self = std::this_thread::get_id();
  const int length = static_cast<int>(text.size());
  const auto giveUpAt = Clock::now() + std::chrono::milliseconds(timing.giveUpMs);
  DbPool* pool = db->pool;
  DropPending(db, self);
  int storeFailures = 0;
  for (;;) {
    MYSQL* h = Borrow(db, timing, giveUpAt);
    if (h == nullptr) {
      db->connected = 0;
      return 0;
    }
    db->connected = 1;
    if (mysql_real_query(h, text.data(), text.size()) == 0) {
      if (mysql_field_count(h) == 0) {
        if (value != nullptr) {
          if (want == Want::kInsertId) *value = mysql_insert_id(h);
          if (want == Want::kAffectedRows) *value = mysql_affected_rows(h);
        }
        GiveBack(pool, h);
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
        GiveBack(pool, h);
        MutexLock guard(db->lock);
        db->pending.emplace_back(self, res);
        return 1;
      }
      ConsolePrint("SQL SERVER ERROR: %s\n", errText.c_str());
      *lastError = err;
      if (!IsLostConnection(err)) {
        // Rows may be left unread on it: a fresh connection is the safe one.
        std::vector<MYSQL*> one{h};
        {
          MutexLock guard(pool->lock);
          --pool->open;
          pool->changed.notify_all();
        }
        CloseAll(&one);
        return 0;
      }
      // Fetching again from a lost connection cannot work: reconnect and send
      // the select again, a bounded number of times.
      Discard(pool, h);
      ++storeFailures;
      if (storeFailures >= std::max(1, timing.storeAttempts)) return 0;
      if (!PauseUnlessStopping(timing.storeRetryPauseMs) || Clock::now() >= giveUpAt) return 0;
      continue;
    }
    const unsigned err = mysql_errno(h);
    *lastError = err;
    t_lastError = mysql_error(h);
    ConsolePrint("SQL ERROR: %s.\n  Query was: %.*s\n", mysql_error(h), length, text.data());
    if (!IsLostConnection(err)) {
      GiveBack(pool, h);
      return 0;
    }
    Discard(pool, h);
    if (!PauseUnlessStopping(timing.resendPauseMs) || Clock::now() >= giveUpAt) return 0;
  }
}

// The clients' share of the pool: half of it, rounded up, at least one.
int ClientShare(const DbPool* p) REQUIRES(p->lock) { return std::max(1, (p->limit + 1) / 2); }

// Waits, until `until`, for a place in the clients' share that `address`
// may take. False when none came free in time.
bool TakeClientPlace(DbPool* p, const std::string& address, Clock::time_point until) {
  constexpr auto kSlice = std::chrono::milliseconds(200);  // to notice g_stopping
  UniqueLock<Mutex> hold(p->lock);
  for (;;) {
    auto mine = std::find_if(p->clientByAddress.begin(), p->clientByAddress.end(),
                             [&](const auto& e) { return e.first == address; });
    const int held = mine != p->clientByAddress.end() ? mine->second : 0;
    if (p->clientBusy < ClientShare(p) && (p->clientPerAddress == 0 || held < p->clientPerAddress)) {
      ++p->clientBusy;
      if (mine != p->clientByAddress.end())
        ++mine->second;
      else
        p->clientByAddress.emplace_back(address, 1);
      return true;
    }
    const auto now = Clock::now();
    if (now >= until || g_stopping.load()) return false;
    p->clientChanged.wait_until(hold, std::min(until, now + kSlice));
  }
}

// Gives the place back; a success ends the address's reported failure.
void GiveClientPlace(DbPool* p, const std::string& address, bool succeeded) {
  MutexLock guard(p->lock);
  --p->clientBusy;
  auto mine = std::find_if(p->clientByAddress.begin(), p->clientByAddress.end(),
                           [&](const auto& e) { return e.first == address; });
  if (mine != p->clientByAddress.end() && --mine->second <= 0) p->clientByAddress.erase(mine);
  if (succeeded)
    std::erase(p->clientReported, address);
  p->clientChanged.notify_all();
}

// True for the first failure of `address` since it last succeeded.
bool FirstClientFailure(DbPool* p, const std::string& address) {
  MutexLock guard(p->lock);
  if (std::find(p->clientReported.begin(), p->clientReported.end(), address) != p->clientReported.end())
    return false;
  if (p->clientReported.size() >= kClientReportedMax) return false;
  p->clientReported.push_back(address);
  return true;
}

// A statement carrying a client's text: a place in the clients' share, then
// the statement under the site's time bound for client statements.
int RunForClient(DbConnection* db, const char* address, std::string_view text, Want want, uint64_t* value) {
  if (value != nullptr) *value = 0;
  if (!DbUsable(db)) return 0;
  DbPool* p = db->pool;
  const DbTiming timing = Timing();
  const std::string who(address);
  if (!TakeClientPlace(p, who, Clock::now() + std::chrono::milliseconds(timing.poolWaitMs))) {
    if (FirstClientFailure(p, who)) {
      int share = 0;
      {
        MutexLock guard(p->lock);
        share = ClientShare(p);
      }
      errno = 0;
      ReportError("SQL CLIENT: statements of %s found the clients' share of site %s (%d connections, "
                  "%d per address) busy for %d ms; they fail",
                  address, p->siteName.c_str(), share, p->clientPerAddress, timing.poolWaitMs);
    }
    return 0;
  }
  std::string bounded = "SET STATEMENT max_statement_time=" + std::to_string(p->clientTimeoutSec) + " FOR ";
  bounded.append(text);
  unsigned err = 0;
  const int ok = RunOnce(db, bounded, want, value, &err);
  GiveClientPlace(p, who, ok != 0);
  if (!ok && err == kDbErrorStatementTimeout && FirstClientFailure(p, who)) {
    errno = 0;
    ReportError("SQL CLIENT: a statement of %s ran longer than %d s (sql_client_timeout of site %s) and "
                "was stopped",
                address, p->clientTimeoutSec, p->siteName.c_str());
  }
  return ok;
}

// A failed statement leaves errno 0: whatever the library's sockets left in
// it is not the cause, and the callers' reports that follow would show it.
int Run(DbConnection* db, std::string_view text, Want want, uint64_t* value) {
  unsigned err = 0;
  const char* client = t_clientAddress;
  const int ok = client != nullptr ? RunForClient(db, client, text, want, value)
                                   : RunOnce(db, text, want, value, &err);
  if (!ok) errno = 0;
  return ok;
}

int RunFormatted(DbConnection* db, Want want, uint64_t* value, const char* format, va_list args) {
  if (value != nullptr) *value = 0;
  if (!DbUsable(db)) return 0;
  std::string text;
  if (!FormatStatement(&text, format, args)) return 0;
  return Run(db, text, want, value);
}

}  // namespace

DbClientStatements::DbClientStatements(const char* address) : previous_(t_clientAddress) {
  t_clientAddress = address;
}

DbClientStatements::~DbClientStatements() { t_clientAddress = previous_; }

void DbSetTiming(const DbTiming& timing) {
  MutexLock guard(g_timingLock);
  g_timing = timing;
  g_timingRead = true;
}

DbTiming DbGetTiming() { return Timing(); }

void DbSetStoreFaultHook(DbStoreFaultHook hook) { g_storeFault = hook; }

bool DbUsable(const DbConnection* db) { return db != nullptr && db->pool != nullptr; }

int DbPoolSize(const DbConnection* db) {
  if (!DbUsable(db)) return 0;
  MutexLock guard(db->pool->lock);
  return db->pool->open;
}

DbConnection* DbOpen(const SiteConfig* site) {
  auto* db = new DbConnection;
  if (site == nullptr) {
    REPORT_ASSERT("site", "Database");
    return db;
  }
  for (const char* value : {site->sql_server, site->sql_database, site->sql_user, site->sql_password}) {
    // A cut host, account or schema name could reach the wrong database.
    if (strnlen(value, kDbSettingSize) >= kDbSettingSize) {
      ReportError("SQL CONNECT: a database setting of site %s is longer than %zu characters",
                  site->name, kDbSettingSize - 1);
      return db;
    }
  }
  if (site->sql_server[0] == '\0' || site->sql_user[0] == '\0' || site->sql_database[0] == '\0') {
    ReportError("SQL CONNECT: site %s has no database server, user or name; "
                "its statements will fail",
                site->name);
    return db;
  }
  db->pool = PoolFor(site);
  MutexLock guard(db->pool->lock);
  ++db->pool->users;
  return db;
}

void DbClose(DbConnection* db) {
  if (db == nullptr) return;
  {
    MutexLock guard(db->lock);
    for (auto& p : db->pending) mysql_free_result(p.second);
    db->pending.clear();
  }
  if (DbPool* p = db->pool; p != nullptr) {
    // The last client of a site takes the site's connections with it.
    std::vector<MYSQL*> idle;
    {
      MutexLock guard(p->lock);
      if (--p->users == 0) {
        idle.swap(p->idle);
        p->open -= static_cast<int>(idle.size());
        p->limit = p->configuredLimit;
      }
    }
    CloseAll(&idle);
  }
  delete db;
}

std::string DbLastError() { return t_lastError; }

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
    MutexLock guard(db->lock);
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
  std::string text;
  va_list args;
  va_start(args, format);
  const bool formatted = FormatStatement(&text, format, args);
  va_end(args);
  if (!formatted) return out;
  const int b = Run(db, text, Want::kStatus, nullptr);
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

std::string DbEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size() * 2);
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
