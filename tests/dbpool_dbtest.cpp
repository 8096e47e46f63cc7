// The site's database pool seen from outside, with the real binary, real
// players and a real MariaDB: many players on a server that allows few
// connections, idle clients that cost the database nothing, a database that
// goes away and comes back, and one that takes connections and never answers.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/FlvBuilder.h"
#include "support/StrmdSite.h"
#include "support/TestEnv.h"

namespace {

using Clock = std::chrono::steady_clock;

int CountOf(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Hundreds of sockets on each side.
void RaiseFileLimit() {
  rlimit lim{};
  if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
  }
}

// User and system processor ticks of process `pid`, all threads.
long long ProcessTicks(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream rest(text.substr(close + 2));
  std::string field;
  long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::stoll(field);
    if (i == 15) stime = std::stoll(field);
  }
  return utime + stime;
}

// strmd serving site "default" from `database` on `server` (or from the
// address `sqlServer` when given), with extra site values and environment.
struct PoolSite {
  std::unique_ptr<TestDatabase> db;
  std::unique_ptr<LocalWebServer> web;
  ServerProcess server;
  std::string dir;

  bool Start(const char* tag, const TestDbServerInfo& info, const std::string& values,
             const std::vector<std::string>& env, const std::string& sqlServer = "") {
    std::string address = sqlServer;
    std::string database = "kestravon";
    if (address.empty()) {
      db = std::make_unique<TestDatabase>(tag, info);
      if (!db->ok()) return false;
      address = info.host + ":" + std::to_string(info.port);
      database = db->name();
    }
    dir = TestTempDir(tag);
    for (const char* sub : {"/temp", "/files", "/cache", "/htdocs"}) mkdir((dir + sub).c_str(), 0755);
    if (!web) web = std::make_unique<LocalWebServer>();
    if (!web->Reserve()) return false;
    const std::string extra = LocalWebPortRegistry(web->port) + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestravon\\Server\\default]\n\"path\"=\"" + dir +
                              "\"\n\"sql_server\"=\"" + address + "\"\n\"sql_database\"=\"" + database +
                              "\"\n\"sql_user\"=\"root\"\n\"sql_password\"=\"\"\n" + values + "\n";
    return StartServer(&server, tag, extra, env);
  }
  // Serves the site's own web port (reserved by Start) from now on.
  bool HoldLocalWeb() {
    if (!web) return false;
    web->handler = HttpResponder("ok");
    return web->Listen();
  }
  std::string Files() const { return dir + "/files"; }
  // Connections of the database server that strmd holds on this site's
  // database, counted from a connection that has no database of its own.
  int DatabaseConnections() {
    const std::string n = TestDbValue(db->server(), "",
                                      "select count(*) from information_schema.processlist where db='" +
                                          db->name() + "'");
    return n.empty() ? -1 : std::stoi(n);
  }
};

// A connected player with stream 1.
bool Open(TestPlayer* player, const PoolSite& site) {
  return player->Connect(static_cast<uint16_t>(site.server.port)) && player->CreateStream() == 1;
}

// The first status code a play gets within timeoutMs, or "".
std::string PlayStatus(TestPlayer* player, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
    if (left <= 0) return "";
    auto m = player->Next(left);
    if (!m) return "";
    const std::string code = StatusCode(*m);
    if (!code.empty()) return code;
  }
}

struct ServerWithOptions {
  explicit ServerWithOptions(const char* options) {
    setenv("STRMD_TESTDB_OPTIONS", options, 1);
    started = server.Start();
    unsetenv("STRMD_TESTDB_OPTIONS");
  }
  TestDbPrivateServer server;
  bool started = false;
};

TEST(DbPool, TwoHundredPlayersShareTheSitesSixteenConnections) {
  RaiseFileLimit();
  ServerWithOptions mariadb("--max-connections=20");
  ASSERT_TRUE(mariadb.started) << "see " << mariadb.server.dir() << "/script.log";
  PoolSite site;
  // Every player comes from 127.0.0.1 at once: the cap on connections before
  // connect from one address would turn most of them away.
  ASSERT_TRUE(site.Start("dbpool", mariadb.server.info(),
                         "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestravon\\Server]\n\"MaxHandshakingPerAddress\"=dword:00000000\n",
                         {}));
  ASSERT_TRUE(site.HoldLocalWeb());
  constexpr int kPlayers = 200;
  // 5 s on a machine of its own. The plays cost strmd processor time (about
  // 2 s of one core under the sanitizers), so on a machine that runs other
  // work beside the test the deadline grows with the load, up to 30 s.
  double load = 0;
  getloadavg(&load, 1);
  const double busy = std::max(1.0, load / static_cast<double>(std::max(1L, sysconf(_SC_NPROCESSORS_ONLN))));
  const int kPlayDeadlineMs = static_cast<int>(std::min(30000.0, 5000 * busy));
  std::string sessions = "insert into Session (id, userid, status, started, lastseen, ip, phpsessid, created) values ";
  for (int i = 0; i < kPlayers; ++i)
    sessions += (i ? ",(" : "(") + std::to_string(1000 + i) + ", 2, 1, 0, 0, '127.0.0.1', 'pool-" +
                std::to_string(i) + "', now())";
  ASSERT_TRUE(site.db->Run(sessions));
  ASSERT_TRUE(FlvBuilder().Clip(300, 1).WriteTo(site.Files() + "/demo.flv"));
  {
    // The first play makes the index; the crowd then only reads it.
    TestPlayer first;
    ASSERT_TRUE(Open(&first, site));
    ASSERT_TRUE(first.Play(1, "fileid=200"));
    ASSERT_EQ(PlayStatus(&first, 10000), "NetStream.Play.Start");
  }

  std::atomic<bool> done{false};
  std::atomic<int> most{0};
  std::thread watcher([&] {
    while (!done) {
      const int n = site.DatabaseConnections();
      if (n > most) most = n;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  std::vector<std::unique_ptr<TestPlayer>> players;
  for (int i = 0; i < kPlayers; ++i) {
    players.push_back(std::make_unique<TestPlayer>());
    ASSERT_TRUE(Open(players.back().get(), site)) << "player " << i;
  }
  const auto start = Clock::now();
  for (int i = 0; i < kPlayers; ++i)
    ASSERT_TRUE(players[i]->Play(1, "fileid=200&phpsessid=pool-" + std::to_string(i)));
  int started = 0;
  for (int i = 0; i < kPlayers; ++i) {
    const int left = static_cast<int>(kPlayDeadlineMs - std::chrono::duration_cast<std::chrono::milliseconds>(
                                                 Clock::now() - start).count());
    if (PlayStatus(players[i].get(), std::max(left, 1)) == "NetStream.Play.Start") ++started;
  }
  const auto took = Clock::now() - start;
  done = true;
  watcher.join();
  EXPECT_EQ(started, kPlayers) << "in " << std::chrono::duration_cast<std::chrono::milliseconds>(took).count()
                               << " ms, deadline " << kPlayDeadlineMs << " ms";
  EXPECT_EQ(site.db->Value("select count(distinct sessionid) from FileSession where sessionid>=1000"),
            std::to_string(kPlayers));
  EXPECT_LE(most.load(), kSiteSqlConnectionsDefault);
  EXPECT_GE(most.load(), 1);
  EXPECT_EQ(CountOf(site.server.ErrorLog(), "SQL CONNECT"), 0) << site.server.ErrorLog().substr(0, 2000);
}

TEST(DbPool, ClientsSleepingInConditionsLeaveAPlayerItsShareAndAreStoppedInTime) {
  // Four connections, two for client statements; no per-address cap, as
  // every client here comes from 127.0.0.1: the share alone must hold.
  PoolSite site;
  ASSERT_TRUE(site.Start("dbclient", TestDbFixtureServer(),
                         "\"sql_connections\"=dword:00000004\n\"sql_client_per_address\"=dword:00000000\n", {}));
  ASSERT_TRUE(site.HoldLocalWeb());
  ASSERT_TRUE(FlvBuilder().Clip(300, 1).WriteTo(site.Files() + "/demo.flv"));
  constexpr int kSleepers = 20;
  std::vector<std::unique_ptr<TestPlayer>> sleepers;
  for (int i = 0; i < kSleepers; ++i) {
    sleepers.push_back(std::make_unique<TestPlayer>());
    ASSERT_TRUE(sleepers.back()->Connect(static_cast<uint16_t>(site.server.port))) << "client " << i;
  }
  const auto start = Clock::now();
  for (auto& c : sleepers)
    ASSERT_TRUE(c->Command({amf::Str("loadmodel"), amf::Num(7), amf::Null(), amf::Str("Transcodes"),
                            amf::Str("fileid=200 and sleep(60)=0")}));
  // The clients' share is taken: two of them sleep in the database.
  auto sleeping = [&] {
    const std::string n = TestDbValue(site.db->server(), "",
                                      "select count(*) from information_schema.processlist where db='" +
                                          site.db->name() + "' and info like '%sleep(60)%'");
    return n.empty() ? 0 : std::stoi(n);
  };
  ASSERT_TRUE(TestWaitUntil([&] { return sleeping() >= 2; }, 10000));
  EXPECT_LE(sleeping(), 2);

  TestPlayer player;
  ASSERT_TRUE(Open(&player, site));
  const auto asked = Clock::now();
  ASSERT_TRUE(player.Play(1, "fileid=200&phpsessid=demo-ben-0002"));
  EXPECT_EQ(PlayStatus(&player, 10000), "NetStream.Play.Start");
  EXPECT_LT(Clock::now() - asked, std::chrono::seconds(2));

  // Every sleeper gets the failure answer (the empty object) long before its
  // sleep would end: stopped after 5 s, or refused after the 5 s pool wait.
  for (auto& c : sleepers) {
    bool answered = false;
    while (auto m = c->Next(30000)) {
      if (m->type != 20) continue;
      const auto values = Values(*m);
      answered = values.size() == 4 && values[0].text == "_result" && values[3].items.empty();
      break;
    }
    EXPECT_TRUE(answered);
  }
  // Unbounded, only the library's 30 s sql_timeout would end them.
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(20));
  const std::string log = site.server.ErrorLog();
  EXPECT_EQ(CountOf(log, "SQL CLIENT: "), 1) << log.substr(0, 3000);  // once for the address
  EXPECT_EQ(CountOf(log, "SQL CONNECT: "), 0) << log.substr(0, 3000);
}

TEST(DbPool, IdleClientsCostTheDatabaseNothingAndTheServerNoProcessorTime) {
  RaiseFileLimit();
  PoolSite site;
  ASSERT_TRUE(site.Start("dbidle", TestDbFixtureServer(), "", {}));
  constexpr int kClients = 500;
  std::vector<std::unique_ptr<TestPlayer>> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(std::make_unique<TestPlayer>());
    ASSERT_TRUE(clients.back()->Connect(static_cast<uint16_t>(site.server.port))) << "client " << i;
  }
  EXPECT_EQ(site.DatabaseConnections(), 0);

  // Processor ticks of the whole process (all threads) over a few seconds
  // of idling; 2 % of one core is what the clients may cost together.
  auto ticks = [&] { return ProcessTicks(site.server.pid); };
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const long long before = ticks();
  const auto from = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(4));
  const long long used = ticks() - before;
  const double seconds = std::chrono::duration<double>(Clock::now() - from).count();
  const double share = static_cast<double>(used) / static_cast<double>(sysconf(_SC_CLK_TCK)) / seconds;
  EXPECT_LT(share, 0.02) << used << " ticks in " << seconds << " s";
  EXPECT_EQ(site.DatabaseConnections(), 0);
}

TEST(DbPool, AnOutageFailsPlaysInTimeIsReportedOnceAndEndsWithoutARestart) {
  SKIP_WITHOUT_TEST_HOOKS();
  TestDbPrivateServer mariadb;
  ASSERT_TRUE(mariadb.Start()) << "see " << mariadb.dir() << "/script.log";
  PoolSite site;
  ASSERT_TRUE(site.Start("dboutage", mariadb.info(), "",
                         {"STRMD_TEST_DB_RETRY_MS=500", "STRMD_TEST_DB_GIVEUP_MS=3000"}));
  ASSERT_TRUE(site.HoldLocalWeb());
  ASSERT_TRUE(FlvBuilder().Clip(300, 1).WriteTo(site.Files() + "/demo.flv"));
  {
    TestPlayer before;
    ASSERT_TRUE(Open(&before, site));
    ASSERT_TRUE(before.Play(1, "fileid=200&phpsessid=demo-ben-0002"));
    ASSERT_EQ(PlayStatus(&before, 10000), "NetStream.Play.Start");
  }

  ASSERT_TRUE(mariadb.Stop());
  constexpr int kPlayers = 6;
  std::vector<std::unique_ptr<TestPlayer>> players;
  for (int i = 0; i < kPlayers; ++i) {
    players.push_back(std::make_unique<TestPlayer>());
    ASSERT_TRUE(Open(players.back().get(), site));
  }
  const auto start = Clock::now();
  for (auto& p : players) ASSERT_TRUE(p->Play(1, "fileid=200&phpsessid=demo-ben-0002"));
  for (auto& p : players) EXPECT_EQ(PlayStatus(p.get(), 35000), "NetStream.Play.StreamNotFound");
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(35));
  const std::string log = site.server.ErrorLog();
  EXPECT_EQ(CountOf(log, "SQL CONNECT: "), 1) << log.substr(0, 3000);
  // The loaders' reports of the failed statements carry no stale system
  // error of the library's sockets.
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);)
    if (line.find("ASSERT(b)") != std::string::npos) {
      EXPECT_NE(line.find("ERROR: ASSERT(b)"), std::string::npos) << line;
    }

  ASSERT_TRUE(mariadb.Start());
  TestPlayer after;
  ASSERT_TRUE(Open(&after, site));
  ASSERT_TRUE(after.Play(1, "fileid=200&phpsessid=demo-ben-0002"));
  EXPECT_EQ(PlayStatus(&after, 10000), "NetStream.Play.Start");
  EXPECT_EQ(CountOf(site.server.ErrorLog(), "SQL RECONNECT"), 1);
}

TEST(DbPool, ADatabaseThatNeverAnswersFailsAPlayWithinTheTimeout) {
  SKIP_WITHOUT_TEST_HOOKS();
  // Accepts every connection and never writes a byte.
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(listener, 16), 0);
  socklen_t len = sizeof addr;
  getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  const int port = ntohs(addr.sin_port);

  // The give-up period is long: the timeout of the attempt alone must end it.
  PoolSite site;
  ASSERT_TRUE(site.Start("dbsilent", {}, "\"sql_timeout\"=dword:00000002\n",
                         {"STRMD_TEST_DB_RETRY_MS=500", "STRMD_TEST_DB_GIVEUP_MS=20000"},
                         "127.0.0.1:" + std::to_string(port)));
  ASSERT_TRUE(FlvBuilder().Clip(300, 1).WriteTo(site.Files() + "/demo.flv"));
  TestPlayer player;
  ASSERT_TRUE(Open(&player, site));
  const auto start = Clock::now();
  ASSERT_TRUE(player.Play(1, "fileid=200"));
  EXPECT_EQ(PlayStatus(&player, 15000), "NetStream.Play.StreamNotFound");
  const auto took = Clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(1500));  // the attempt waited for its timeout
  EXPECT_LT(took, std::chrono::seconds(2 + 5));
  EXPECT_EQ(CountOf(site.server.ErrorLog(), "SQL CONNECT: "), 1) << site.server.ErrorLog();
  close(listener);
}

}  // namespace
