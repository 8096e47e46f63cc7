// The debug monitor: the report's lines built from connection and stream
// records, the counters it resets, whole reports for readers while it
// publishes, and, against the real binary, the rates of a publisher, the CPU
// watchdog and `strmdctl status`.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "chat/RtmpChat.h"
#include "client/Client.h"
#include "client/ClientLink.h"
#include "connection/SendLoop.h"
#include "media/RtmpStream.h"
#include "server/ThreadDebug.h"
#include "support/AmfHelpers.h"
#include "support/ServerProcess.h"
#include "support/TestEnv.h"
#include "testclient/RtmpClient.h"

namespace {

std::string Rate(int64_t v) {
  char buf[32];
  FormatRate(buf, v);
  return buf;
}

TEST(FormatRate, UnitsAndDecimals) {
  EXPECT_EQ(Rate(0), "0");
  EXPECT_EQ(Rate(999), "999");
  EXPECT_EQ(Rate(1000), "1k");
  EXPECT_EQ(Rate(1500), "1.50k");
  EXPECT_EQ(Rate(999999), "1000.00k");
  EXPECT_EQ(Rate(1000000), "1m");
  EXPECT_EQ(Rate(2500000), "2.50m");
}

// Records of a connection and its streams in g_clients, as the
// connection driver leaves them, without a socket.
struct FakeConnection {
  Client connection;
  FakeConnection(const char* address, const char* flashVer) {
    connection.link = std::make_shared<ClientLink>();
    CopyText(connection.address, address);
    {
      ListLock guard(connection.streams.lock);
      CopyText(connection.flashVer, flashVer);
    }
    connection.thread = pthread_self();
    ListAddTail(&g_clients, &connection);
  }
  ~FakeConnection() {
    ListRemoveAll(&connection.streams, nullptr);
    ListRemove(&g_clients, &connection);
  }
  RtmpStream* Add(RtmpStream* stream) {
    stream->client = &connection;
    ListAddTail(&connection.streams, stream);
    return stream;
  }
};

uint32_t Identity(const void* p) {
  auto a = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(p));
  return static_cast<uint32_t>(a ^ (a >> 32));
}

std::string Line(const std::string& text, const std::string& part) {
  size_t at = text.find(part);
  if (at == std::string::npos) return "";
  size_t start = text.rfind('\n', at);
  start = start == std::string::npos ? 0 : start + 1;
  return text.substr(start, text.find('\n', at) - start);
}

TEST(DebugReport, NoConnectionLeavesTheTextEmptyAndTheCpuSumZero) {
  auto report = std::make_unique<DebugReport>();
  EXPECT_EQ(DebugBuildReport(report.get(), 2, 500.0), 0.0);
  EXPECT_EQ(report->position, 0u);
  for (char c : report->text) ASSERT_EQ(c, '\0');
  EXPECT_EQ(report->dataLength, 0u);
}

TEST(DebugReport, LinesOfConnectionsAndStreamsAndTheCountersReset) {
  FakeConnection a("10.0.0.7", "LNX 9,0,124,2");
  FakeConnection b("10.0.0.8", "WIN 11,1");
  SiteConfig site;
  CopyText(site.name, "school");
  b.connection.site = &site;

  RtmpStream publisher, player, idle;
  a.Add(&publisher);
  publisher.publishing = true;
  CopyText(publisher.name, "live1");
  publisher.input.bytesIn = 1000;
  int subscriber = 0;
  ListAddTail(&publisher.input.subscribers, &subscriber);

  b.Add(&player);
  player.playing = true;
  CopyText(player.name, "fileid=200");
  player.output.bytesOut = 300;
  player.output.paused = true;
  player.output.dropped = 3;
  int packets[2] = {};
  ListAddTail(&player.output.queue, &packets[0]);
  ListAddTail(&player.output.queue, &packets[1]);
  player.output.queued = 2;
  player.output.lastQueued = 4200;

  b.Add(&idle);
  idle.playing = true;
  idle.output.dropped = 5;

  auto report = std::make_unique<DebugReport>();
  double cpu = DebugBuildReport(report.get(), 2, 10.0);
  std::string text = report->text;
  // Each connection thread counts the fake 10 % plus its real use since it
  // started (this test's thread, twice).
  EXPECT_GT(cpu, 20.0);
  EXPECT_EQ(text.rfind("\n  RTMP connection(s): 2\n", 0), 0u) << text;
  EXPECT_NE(text.find("    10.0.0.7    \tLNX 9,0,124,2  \t.<unknown user> (0)\n"), std::string::npos) << text;
  EXPECT_NE(text.find("    10.0.0.8    \tWIN 11,1  \tschool.<unknown user> (0)\n"), std::string::npos) << text;
  char id[16];
  snprintf(id, sizeof id, "%08x", Identity(&publisher));
  EXPECT_EQ(Line(text, "live1"), "      0x" + std::string(id) + " - stream in 4kbps, 1 out, live1");
  snprintf(id, sizeof id, "%08x", Identity(&player));
  EXPECT_EQ(Line(text, "fileid=200"),
            "      0x" + std::string(id) + " - stream out 1kbps, paused, 2 queued (4200), 3 dropped, fileid=200");
  // A stream without traffic gets no line; its dropped count waits.
  EXPECT_EQ(text.find(" - stream out,"), std::string::npos) << text;
  EXPECT_NE(text.find("\n  total: \t4kbps in  \t1kbps out\n\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("  total:"), text.size() - std::string("  total: \t4kbps in  \t1kbps out\n\n").size());

  EXPECT_EQ(publisher.input.bytesIn, 0u);
  EXPECT_EQ(player.output.bytesOut, 0u);
  EXPECT_EQ(player.output.dropped, 0u);
  EXPECT_EQ(idle.output.dropped, 5u);

  std::string data(report->data, report->dataLength);
  EXPECT_NE(data.find("connection\t10.0.0.8\tWIN 11,1\tschool\t\t0\n"), std::string::npos) << data;
  EXPECT_NE(data.find("\tout\t0\t1000\t1\t2\t4200\t3\t0\tfileid=200\t1\n"), std::string::npos) << data;
  EXPECT_NE(data.find("\tout\t0\t0\t0\t0\t0\t5\t0\t\t0\n"), std::string::npos) << data;
  EXPECT_NE(data.find("total\t4000\t1000\t"), std::string::npos) << data;

  // The next period: no traffic, so no stream line, and the dropped count
  // printed once is not printed again.
  DebugBuildReport(report.get(), 2);
  text = report->text;
  EXPECT_EQ(text.find("stream"), std::string::npos) << text;
  EXPECT_NE(text.find("\n  total: \t0bps in  \t0bps out\n"), std::string::npos) << text;
  player.output.bytesOut = 100;
  DebugBuildReport(report.get(), 2);
  text = report->text;
  // 100 bytes make less than one whole kilobit: a line without a rate.
  EXPECT_NE(Line(text, "fileid=200").find(" - stream out, paused, 2 queued (4200), fileid=200"), std::string::npos)
      << text;
  ListRemoveAll(&player.output.queue, nullptr);
  ListRemoveAll(&publisher.input.subscribers, nullptr);
}

// A room in g_livechats as the chat module leaves it, with members whose
// connection is `present` or none.
struct FakeRoom {
  LiveChat room;
  FakeRoom(SiteConfig* site, const char* chat, const char* course) {
    room.site = site;
    if (chat != nullptr) {
      Chat c;
      c.name = const_cast<char*>(chat);
      room.chat = CopyRecordAs(&c);
    }
    if (course != nullptr) {
      VCourse c;
      c.name = const_cast<char*>(course);
      room.course = CopyRecordAs(&c);
    }
    ListAddTail(&g_livechats, &room);
  }
  ~FakeRoom() { ListRemove(&g_livechats, &room); }
  void Member(const char* name, Client* present) {
    auto member = std::make_unique<LiveUser>();
    User u;
    u.name = const_cast<char*>(name);
    member->user = CopyRecordAs(&u);
    member->livechat = &room;
    if (present != nullptr) member->link = present->link;
    ListAddTail(&room.members, member.release());
  }
};

// A send loop's CPU is the connections' work: in the sum the watchdog and
// admission read, with or without connections, and on a line of its own.
TEST(DebugReport, SendLoopCpuCountsWithTheConnections) {
  ASSERT_TRUE(SendLoopsStart(1));
  std::atomic<bool> served{false};
  auto link = std::make_shared<ClientLink>();
  SendLoopAttach(
      *link,
      [](void* ctx, int64_t) {
        // 200 ms of the loop thread's CPU.
        timespec start{}, now{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
        do {
          clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        } while ((now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000 < 200);
        static_cast<std::atomic<bool>*>(ctx)->store(true);
        return kEventLoopNever;
      },
      &served);
  ClientPost(link, 0);
  ASSERT_TRUE(TestWaitUntil([&] { return served.load(); }, 10000));
  auto report = std::make_unique<DebugReport>();
  // 200 ms of a period, on one processor.
  const double burnt = 200.0 * 100 / kDebugPeriodMs;
  EXPECT_GE(DebugBuildReport(report.get(), 1), burnt * 0.8);
  EXPECT_EQ(report->position, 0u);  // no connection: no text
  FakeConnection a("10.0.0.9", "LNX 9,0,124,2");
  // The connection's thread is this one: its first report brings what this
  // thread has burnt so far (much, under a sanitizer on a loaded machine).
  DebugBuildReport(report.get(), 1);
  const double idle = DebugBuildReport(report.get(), 1);
  EXPECT_LT(idle, burnt * 0.5);
  const std::string text = report->text;
  EXPECT_NE(text.find("\n  send loops: 1  \tcpu "), std::string::npos) << text;
  EXPECT_NE(text.find("    loop 0: \t1 connection(s)  \tcpu "), std::string::npos) << text;
  SendLoopDetach(*link);
  SendLoopsStop();
}

TEST(DebugReport, RoomsWithTheirPresentMembersOnlyWhileAConnectionExists) {
  SiteConfig site;
  CopyText(site.name, "school");
  FakeRoom chat(&site, "Study\tgroup", nullptr), course(&site, nullptr, "Demo course"), open(&site, nullptr, nullptr);
  auto report = std::make_unique<DebugReport>();
  {
    FakeConnection a("10.0.0.7", "LNX 9,0,124,2");
    chat.Member("Ada Teacher", &a.connection);
    chat.Member("Ben Student", nullptr);
    chat.Member("Cleo Student", &a.connection);
    course.Member("Ben Student", nullptr);
    open.Member("Dan Guest", &a.connection);

    DebugBuildReport(report.get(), 2);
    std::string text = report->text;
    const std::string rooms =
        "\n  total: \t0bps in  \t0bps out\n\n"
        "  chat school.Study\tgroup\n    user Ada Teacher\n    user Cleo Student\n"
        "  course school.Demo course\n"
        "  chat school\n    user Dan Guest\n";
    ASSERT_GE(text.size(), rooms.size());
    EXPECT_EQ(text.substr(text.size() - rooms.size()), rooms) << text;
    std::string data(report->data, report->dataLength);
    EXPECT_NE(data.find("room\tchat\tschool\tStudy\\tgroup\nmember\tAda Teacher\nmember\tCleo Student\n"
                        "room\tcourse\tschool\tDemo course\n"
                        "room\tsite\tschool\t\nmember\tDan Guest\ntotal\t"),
              std::string::npos)
        << data;
  }
  // The rooms live on, but without a connection the report stays empty.
  DebugBuildReport(report.get(), 2);
  EXPECT_EQ(report->position, 0u);
  EXPECT_EQ(report->dataLength, 0u);
}

TEST(DebugReport, TextPastTheBufferIsDroppedAndRecordsStayWhole) {
  auto report = std::make_unique<DebugReport>();
  DebugReportClear(report.get());
  std::string chunk(1000, 'x');
  for (int i = 0; i < 12; ++i) DebugAppend(report.get(), "%s", chunk.c_str());
  EXPECT_EQ(report->position, kDebugBufferSize - 1);
  EXPECT_EQ(report->text[kDebugBufferSize - 1], '\0');

  std::string field(1000, 'y');
  while (!report->truncated) DebugAppendRecord(report.get(), {"stream", field, "a\tb\\c\nd"});
  std::string data(report->data, report->dataLength);
  EXPECT_LT(data.size(), kDebugDataSize);
  EXPECT_EQ(data.back(), '\n');
  EXPECT_EQ(data.substr(0, data.find('\n') + 1), "stream\t" + field + "\ta\\tb\\\\c\\nd\n");
}

// A reader copying the report while the monitor rewrites it must never get
// half of one report and half of the next.
TEST(DebugShared, ReadersNeverSeeATornReport) {
  std::string name = "/strmd-torn-" + std::to_string(getpid());
  DebugShm shm;
  ASSERT_TRUE(DebugShmCreate(&shm, name, 1));
  ASSERT_NE(shm.shared, nullptr);

  auto a = std::make_unique<DebugReport>();
  auto b = std::make_unique<DebugReport>();
  DebugReportClear(a.get());
  DebugReportClear(b.get());
  for (int i = 0; i < 9; ++i) DebugAppend(a.get(), "%s", std::string(1000, 'a').c_str());
  DebugAppend(b.get(), "%s", std::string(3000, 'b').c_str());
  for (int i = 0; i < 40; ++i) DebugAppendRecord(a.get(), {"total", std::string(1000, 'A')});
  DebugAppendRecord(b.get(), {"total", std::string(500, 'B')});

  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (uint64_t i = 0; !done; ++i) {
      DebugPublish(&shm, i % 2 ? *a : *b);
      std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
  });
  int stable = 0;
  uint32_t lastSequence = 0;
  int advanced = 0;
  for (int i = 0; i < 3000; ++i) {
    DebugSnapshot s;
    std::string error;
    DebugRead r = DebugReadReport(name, &s, &error);
    if (r == DebugRead::kBusy) continue;
    ASSERT_EQ(r, DebugRead::kOk) << error;
    ASSERT_TRUE(s.hasData);
    ASSERT_EQ(s.sequence % 2, 0u);
    if (s.sequence != lastSequence) ++advanced;
    lastSequence = s.sequence;
    if (s.text.empty()) continue;  // before the first publish
    bool isA = s.text[0] == 'a';
    ASSERT_EQ(s.text, isA ? std::string(a->text) : std::string(b->text));
    ASSERT_EQ(s.data, isA ? std::string(a->data, a->dataLength) : std::string(b->data, b->dataLength));
    ++stable;
  }
  done = true;
  writer.join();
  EXPECT_GT(stable, 1000);
  EXPECT_GT(advanced, 100);
  DebugShmUnlink(&shm);
}

TEST(DebugShared, ReaderTellsWhenNoServerRuns) {
  std::string name = "/strmd-none-" + std::to_string(getpid());
  DebugSnapshot s;
  std::string error;
  EXPECT_EQ(DebugReadReport(name, &s, &error), DebugRead::kNotRunning);
  EXPECT_NE(error.find("no strmd is running"), std::string::npos) << error;
  EXPECT_NE(error.find("/dev/shm" + name), std::string::npos) << error;
}

// ---- The real binary ----

const std::string kSite = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestravon\\Server\\default]\n";
const std::vector<std::string> kFastReports = {"STRMD_DEBUG_PERIOD_MS=50"};

bool Command(RtmpClient* client, std::initializer_list<amf::Node> values, uint32_t streamId = 0) {
  return client->SendMessage(3, 20, streamId, 0, amf::Body(values));
}

bool Connected(RtmpClient* client, int port) {
  if (!client->Connect("127.0.0.1", static_cast<uint16_t>(port)) || !client->HandshakePlain()) return false;
  return Command(client, {amf::Str("connect"), amf::Num(1),
                          amf::Obj({{"app", amf::Str("default")}, {"flashVer", amf::Str("LNX 9,0,124,2")}})});
}

// Reads reports until one satisfies `found`; the last text read.
std::string WaitForReport(const std::string& shm, const std::function<bool(const DebugSnapshot&)>& found,
                          int timeoutMs = 10000) {
  DebugSnapshot s;
  std::string error;
  if (TestWaitUntil([&] { return DebugReadReport(shm, &s, &error) == DebugRead::kOk && found(s); }, timeoutMs))
    return s.text;
  return "timed out; last report:\n" + s.text;
}

// Waits until `periods` more reports than now were published.
bool WaitForPeriods(const std::string& shm, uint32_t periods) {
  DebugSnapshot s;
  std::string error;
  if (!TestWaitUntil([&] { return DebugReadReport(shm, &s, &error) == DebugRead::kOk; })) return false;
  const uint32_t start = s.sequence;
  return TestWaitUntil(
      [&] { return DebugReadReport(shm, &s, &error) == DebugRead::kOk && s.sequence - start >= 2 * periods; });
}

struct CtlRun {
  int status = -1;
  std::string out;
};

CtlRun Strmdctl(const std::string& shm, const std::string& args) {
  const char* binary = getenv("STRMDCTL_BINARY");
  CtlRun run;
  if (binary == nullptr) return run;
  std::string command = "STRMD_SHM_NAME='" + shm + "' '" + binary + "' status " + args + " 2>&1";
  FILE* p = popen(command.c_str(), "r");
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) run.out.append(buf, n);
  int status = pclose(p);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

TEST(DebugMonitorProcess, PublisherRatesAndStrmdctlStatus) {
  ServerProcess server;
  ASSERT_TRUE(StartServer(&server, "debugrates", kSite, kFastReports));
  RtmpClient client;
  ASSERT_TRUE(Connected(&client, server.port));
  ASSERT_TRUE(Command(&client, {amf::Str("createStream"), amf::Num(2), amf::Null()}));
  ASSERT_TRUE(Command(&client, {amf::Str("publish"), amf::Num(3), amf::Null(), amf::Str("live1")}, 1));

  auto line = [](const DebugSnapshot& s) { return s.text.find(" - stream in") != std::string::npos; };
  std::vector<uint8_t> audio(1000, 0xB2);
  ASSERT_TRUE(client.SendMessage(4, 8, 1, 0, audio));
  std::string text = WaitForReport(server.shmName, line);
  EXPECT_NE(Line(text, " - stream in").find(" - stream in 4kbps, live1"), std::string::npos) << text;
  EXPECT_NE(text.find("  total: \t4kbps in  \t0bps out\n"), std::string::npos) << text;
  EXPECT_NE(text.find("    127.0.0.1    \tLNX 9,0,124,2  \tdefault.<unknown user> (0)\n"), std::string::npos)
      << text;

  // A period without traffic in between, so the next line is the 300 bytes' own.
  WaitForReport(server.shmName, [&](const DebugSnapshot& s) { return !line(s); });
  audio.resize(300);
  ASSERT_TRUE(client.SendMessage(4, 8, 1, 20, audio));
  text = WaitForReport(server.shmName, line);
  EXPECT_NE(Line(text, " - stream in").find(" - stream in 1kbps, live1"), std::string::npos) << text;

  CtlRun plain = Strmdctl(server.shmName, "");
  EXPECT_EQ(plain.status, 0) << plain.out;
  EXPECT_NE(plain.out.find("  RTMP connection(s): 1\n"), std::string::npos) << plain.out;

  CtlRun json = Strmdctl(server.shmName, "--json");
  EXPECT_EQ(json.status, 0) << json.out;
  EXPECT_NE(json.out.find("\"connections\":[{\"address\":\"127.0.0.1\",\"clientVersion\":\"LNX 9,0,124,2\","
                          "\"site\":\"default\",\"user\":null,\"userId\":0,\"streams\":[{\"id\":\"0x"),
            std::string::npos)
      << json.out;
  EXPECT_NE(json.out.find("\"direction\":\"in\""), std::string::npos) << json.out;
  EXPECT_NE(json.out.find("\"name\":\"live1\""), std::string::npos) << json.out;
  EXPECT_NE(json.out.find("\"rooms\":[]}\n"), std::string::npos) << json.out;
  EXPECT_NE(json.out.find("\"sendLoops\":[{\"connections\":"), std::string::npos) << json.out;

  CtlRun prom = Strmdctl(server.shmName, "--prometheus");
  EXPECT_EQ(prom.status, 0) << prom.out;
  EXPECT_NE(prom.out.find("\nstrmd_connections{site=\"default\"} 1\n"), std::string::npos) << prom.out;
  EXPECT_NE(prom.out.find("\nstrmd_streams{site=\"default\",direction=\"in\"} 1\n"), std::string::npos) << prom.out;
  EXPECT_NE(prom.out.find("\nstrmd_cpu_percent "), std::string::npos) << prom.out;
  EXPECT_NE(prom.out.find("\nstrmd_send_loop_cpu_percent{loop=\"0\"} "), std::string::npos) << prom.out;

  EXPECT_EQ(Strmdctl(server.shmName, "--bogus").status, 2);
  EXPECT_EQ(Strmdctl(server.shmName, "--watch 0").status, 2);

  // The report is not for every local user.
  struct stat st;
  ASSERT_EQ(stat(("/dev/shm" + server.shmName).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);

  // A server that died leaves its report; strmdctl says so instead of
  // showing it as current.
  server.Signal(SIGKILL);
  ASSERT_TRUE(server.Wait());
  CtlRun stale = Strmdctl(server.shmName, "");
  EXPECT_EQ(stale.status, 1);
  EXPECT_NE(stale.out.find("no strmd is running"), std::string::npos) << stale.out;
  CtlRun none = Strmdctl(server.shmName + "-gone", "--json");
  EXPECT_EQ(none.status, 1);
  EXPECT_NE(none.out.find("no strmd is running: there is no status report"), std::string::npos) << none.out;
}

TEST(DebugMonitorProcess, CpuLimitEndsTheProcessOnlyWithConnections) {
  SKIP_WITHOUT_TEST_HOOKS();
  std::vector<std::string> env = kFastReports;
  env.push_back("STRMD_DEBUG_FAKE_CPU=90");
  ServerProcess server;
  // The default limit, which the test servers otherwise turn off.
  ASSERT_TRUE(StartServer(&server, "debugcpu",
                          "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestravon\\Server]\n\"DebugCpuLimit\"=dword:00000050\n", env));
  // Without a connection no check can end the process.
  ASSERT_TRUE(WaitForPeriods(server.shmName, 10));
  EXPECT_FALSE(server.Wait(0));
  DebugSnapshot s;
  std::string error;
  ASSERT_EQ(DebugReadReport(server.shmName, &s, &error), DebugRead::kOk) << error;
  EXPECT_EQ(s.text, "");

  RtmpClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", static_cast<uint16_t>(server.port)));
  ASSERT_TRUE(client.HandshakePlain());
  ASSERT_TRUE(server.Wait(10000));
  EXPECT_EQ(server.exitStatus, 1);
  EXPECT_NE(server.Output().find("rtmp cpu 9"), std::string::npos) << server.Output();
  EXPECT_NE(server.Output().find("% aborting..."), std::string::npos) << server.Output();
}

TEST(DebugMonitorProcess, CpuLimitZeroNeverAborts) {
  SKIP_WITHOUT_TEST_HOOKS();
  std::vector<std::string> env = kFastReports;
  env.push_back("STRMD_DEBUG_FAKE_CPU=500");
  ServerProcess server;
  ASSERT_TRUE(StartServer(&server, "debugnolimit",
                          "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestravon\\Server]\n\"DebugCpuLimit\"=dword:00000000\n",
                          env));
  RtmpClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", static_cast<uint16_t>(server.port)));
  ASSERT_TRUE(client.HandshakePlain());
  std::string text = WaitForReport(server.shmName, [](const DebugSnapshot& s) {
    return s.text.find("RTMP connection(s): 1") != std::string::npos;
  });
  ASSERT_NE(text.find("RTMP connection(s): 1"), std::string::npos) << text;
  ASSERT_TRUE(WaitForPeriods(server.shmName, 10));
  EXPECT_FALSE(server.Wait(0));
  server.Signal(SIGINT);
  ASSERT_TRUE(server.Wait());
  EXPECT_EQ(server.exitStatus, 0);
  EXPECT_EQ(server.Output().find("aborting"), std::string::npos) << server.Output();
}

}  // namespace

// Two servers on one machine given one report name and one site folder: the
// second says whose the name and the site are and serves on without them;
// the first's report stands before, while and after the second runs.
TEST(DebugMonitorProcess, SecondServerLeavesTheFirstsReportNameAndSite) {
  const std::string folder = TestTempDir("shmsite");
  const std::string site = kSite + "\"path\"=\"" + folder + "\"\n";
  ServerProcess first;
  ASSERT_TRUE(StartServer(&first, "shmfirst", site, kFastReports));
  const std::string pid = "\"pid\":" + std::to_string(first.pid) + ",";
  auto firstShown = [&] {
    CtlRun run = Strmdctl(first.shmName, "--json");
    return run.status == 0 && run.out.find(pid) != std::string::npos;
  };
  ASSERT_TRUE(WaitForPeriods(first.shmName, 1));
  EXPECT_TRUE(firstShown());

  ServerProcess second;
  second.shmName = first.shmName;
  ASSERT_TRUE(StartServer(&second, "shmsecond", site, kFastReports));
  EXPECT_TRUE(second.WaitForOutput("the status report /dev/shm" + first.shmName + " is held by strmd process " +
                                   std::to_string(first.pid) + ", which is running"))
      << second.Output();
  EXPECT_TRUE(second.WaitForOutput("site default: its folder is in use by another strmd (process " +
                                   std::to_string(first.pid) + " holds " + folder + "/temp/.strmd.lock)"))
      << second.Output();
  // The second serves all the same: a connection completes its handshake.
  RtmpClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", static_cast<uint16_t>(second.port)));
  ASSERT_TRUE(client.HandshakePlain());
  ASSERT_TRUE(WaitForPeriods(first.shmName, 5));
  EXPECT_TRUE(firstShown());
  EXPECT_FALSE(second.Wait(0));

  // Its stop removes nothing of the first's.
  second.Signal(SIGINT);
  ASSERT_TRUE(second.Wait());
  EXPECT_EQ(second.exitStatus, 0);
  ASSERT_TRUE(WaitForPeriods(first.shmName, 2));
  EXPECT_TRUE(firstShown());
  EXPECT_EQ(first.Output().find("ERROR"), std::string::npos) << first.Output();
}
