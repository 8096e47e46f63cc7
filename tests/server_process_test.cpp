// The real binary: command line, start and stop, intake and the HTTP relay.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "server/Server.h"
#include "support/LocalWebServer.h"
#include "testclient/RtmpClient.h"
#include "support/ServerProcess.h"
#include "support/TestEnv.h"

namespace {

using Clock = std::chrono::steady_clock;

TEST(Process, UsageForOtherArguments) {
  for (const char* arg : {"-S", "/s", "x"}) {
    ServerProcess p;
    std::string dir = TestTempDir("usage");
    ASSERT_TRUE(p.Start({arg}, WriteRegistry(dir, FreePort())));
    ASSERT_TRUE(p.Wait());
    EXPECT_EQ(p.exitStatus, 1) << arg;
    EXPECT_EQ(p.Output(), "Usage: RTMP Server -d\n\n") << arg;
  }
}

TEST(Process, SigintStopsConsoleRunAfterAboutOneSecond) {
  ServerProcess p;
  ASSERT_TRUE(StartServer(&p, "sigint"));
  auto before = Clock::now();
  p.Signal(SIGINT);
  ASSERT_TRUE(p.Wait(5000));
  auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - before).count();
  EXPECT_EQ(p.exitStatus, 0);
  EXPECT_GE(took, 900);
  EXPECT_LT(took, 3000);
  EXPECT_NE(p.Output().find("STRMD stopped\n"), std::string::npos);
}

TEST(Process, ServiceRunNotifiesSupervisorAndStopsOnSigterm) {
  std::string dir = TestTempDir("service");
  std::string sockPath = dir + "/notify";
  int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s", sockPath.c_str());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  timeval tv{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);

  ServerProcess p;
  p.dir = dir;
  ASSERT_TRUE(p.Start({"-sx"}, WriteRegistry(dir, FreePort()), {"NOTIFY_SOCKET=" + sockPath}));
  std::string got;
  char buf[512];
  while (got.find("READY=1") == std::string::npos) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    ASSERT_GT(n, 0) << "no READY=1, got: " << got;
    got.append(buf, static_cast<size_t>(n));
  }
  ASSERT_TRUE(p.WaitForOutput("STRMD started"));
  p.Signal(SIGTERM);
  while (got.find("STOPPING=1") == std::string::npos) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    ASSERT_GT(n, 0) << "no STOPPING=1, got: " << got;
    got.append(buf, static_cast<size_t>(n));
  }
  ASSERT_TRUE(p.Wait(5000));
  EXPECT_EQ(p.exitStatus, 0);
  close(fd);
}

TEST(Process, PortInUseGivesBindReportNamingThePortAndExitOne) {
  int holder = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(holder, 1), 0);
  socklen_t len = sizeof addr;
  getsockname(holder, reinterpret_cast<sockaddr*>(&addr), &len);

  ServerProcess p;
  std::string dir = TestTempDir("inuse");
  ASSERT_TRUE(p.Start({}, WriteRegistry(dir, ntohs(addr.sin_port))));
  ASSERT_TRUE(p.Wait());
  // A supervisor must see the failure to restart the service.
  EXPECT_EQ(p.exitStatus, 1);
  EXPECT_NE(p.ErrorLog().find("ERROR: Address already in use - ASSERT(res != SOCKET_ERROR) failed at Server:"),
            std::string::npos) << p.ErrorLog();
  EXPECT_NE(p.ErrorLog().find("ERROR: Address already in use - STRMD cannot listen on port " +
                              std::to_string(ntohs(addr.sin_port)) + " (all addresses)"),
            std::string::npos) << p.ErrorLog();
  EXPECT_EQ(p.Output().find("STRMD started"), std::string::npos);

  // Under the supervisor: never ready, and the exit code says why.
  std::string sockPath = dir + "/notify";
  int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un un{};
  un.sun_family = AF_UNIX;
  snprintf(un.sun_path, sizeof un.sun_path, "%s", sockPath.c_str());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&un), sizeof un), 0);
  ServerProcess service;
  service.dir = dir;
  ASSERT_TRUE(service.Start({"-s"}, WriteRegistry(dir, ntohs(addr.sin_port)), {"NOTIFY_SOCKET=" + sockPath}));
  ASSERT_TRUE(service.Wait());
  EXPECT_EQ(service.exitStatus, 1);
  std::string got;
  char buf[512];
  ssize_t n;
  while ((n = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0) got.append(buf, static_cast<size_t>(n));
  EXPECT_EQ(got.find("READY=1"), std::string::npos) << got;
  EXPECT_NE(got.find("ERRNO=1"), std::string::npos) << got;
  close(fd);
  close(holder);
}

// Where a registry file is missing, unreadable or lacks the server key, one
// warning names the file and says what strmd does instead.
TEST(Process, RegistryWithoutServerKeyIsWarnedAboutOnce) {
  std::string dir = TestTempDir("noreg");
  struct Case {
    std::string file, why;
  } cases[] = {{dir + "/missing.reg", "is missing"},
               {dir + "/other.reg", "has no key [HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestravon\\Server]"}};
  {
    FILE* f = fopen(cases[1].file.c_str(), "w");
    fputs("Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\n", f);
    fclose(f);
  }
  for (const Case& c : cases) {
    ServerProcess p;
    p.dir = TestTempDir("noreg-run");
    ASSERT_TRUE(p.Start({}, c.file));
    ASSERT_TRUE(p.WaitForOutput("STRMD started"));
    std::string out = p.Output();
    std::string warning = "WARNING: registry file " + c.file + " " + c.why +
                          "; strmd runs without settings: it listens on a port the system chooses";
    EXPECT_NE(out.find(warning), std::string::npos) << out;
    EXPECT_EQ(out.find("WARNING"), out.rfind("WARNING")) << out;
    p.Signal(SIGINT);
    ASSERT_TRUE(p.Wait());
  }
}

// The listening socket of a RtmpBindAddress as the kernel lists it.
bool ListensOn(const char* hexAddress, int port) {
  FILE* f = fopen("/proc/net/tcp", "r");
  if (f == nullptr) return false;
  char want[32];
  snprintf(want, sizeof want, "%s:%04X", hexAddress, port);
  char line[512];
  bool found = false;
  while (fgets(line, sizeof line, f) != nullptr) {
    char local[64], remote[64], state[8];
    if (sscanf(line, "%*d: %63s %63s %7s", local, remote, state) == 3 && strcmp(local, want) == 0 &&
        strcmp(state, "0A") == 0)
      found = true;
  }
  fclose(f);
  return found;
}

TEST(Process, RtmpBindAddressChoosesTheListeningAddress) {
  ServerProcess p;
  ASSERT_TRUE(StartServer(&p, "bindaddr", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestravon\\Server]\n"
                                          "\"RtmpBindAddress\"=\"127.0.0.1\"\n"));
  EXPECT_TRUE(ListensOn("0100007F", p.port));
  EXPECT_FALSE(ListensOn("00000000", p.port));
  int fd = ConnectTo(p.port);
  EXPECT_GE(fd, 0);
  close(fd);
  p.Signal(SIGINT);
  ASSERT_TRUE(p.Wait());

  ServerProcess bad;
  std::string dir = TestTempDir("badbind");
  ASSERT_TRUE(bad.Start({}, WriteRegistry(dir, FreePort(), "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestravon\\Server]\n"
                                                           "\"RtmpBindAddress\"=\"localhost\"\n")));
  ASSERT_TRUE(bad.Wait());
  EXPECT_EQ(bad.exitStatus, 1);
  EXPECT_NE(bad.Output().find("RtmpBindAddress \"localhost\" is not an IPv4 address"), std::string::npos)
      << bad.Output();
}

TEST(Process, SilentCloseLeavesNothingAndServerKeepsAccepting) {
  ServerProcess p;
  ASSERT_TRUE(StartServer(&p, "silent"));
  for (int i = 0; i < 20; ++i) {
    int fd = ConnectTo(p.port);
    ASSERT_GE(fd, 0);
    close(fd);
  }
  // A client reset before it is served does not stop the intake either.
  for (int i = 0; i < 5; ++i) {
    int fd = ConnectTo(p.port);
    linger lg{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    close(fd);
  }
  // Connections are taken in order: one whose handshake is answered after
  // them proves the intake has handled the resets.
  RtmpClient served;
  ASSERT_TRUE(served.Connect("127.0.0.1", static_cast<uint16_t>(p.port)));
  EXPECT_TRUE(served.HandshakePlain());
  EXPECT_EQ(p.ErrorLog(), "");
  served.Close();
  p.Signal(SIGINT);
  ASSERT_TRUE(p.Wait());
  EXPECT_EQ(p.exitStatus, 0);
}

// The first byte is peeked, not taken; a peer that stays silent is given up
// after the wait instead of keeping its thread for ever.
TEST(Process, FirstBytePeekHasADeadline) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  auto start = Clock::now();
  EXPECT_EQ(ServerPeekFirstByte(fds[0], 200), -1);
  auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  EXPECT_GE(waited, 180);
  EXPECT_LT(waited, 2000);

  const uint8_t version = 3;
  ASSERT_EQ(write(fds[1], &version, 1), 1);
  EXPECT_EQ(ServerPeekFirstByte(fds[0], 200), 3);
  uint8_t again = 0;
  EXPECT_EQ(recv(fds[0], &again, 1, 0), 1);  // still there for the handler
  EXPECT_EQ(again, 3);

  close(fds[1]);
  start = Clock::now();
  EXPECT_EQ(ServerPeekFirstByte(fds[0], 5000), -1);
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(), 1000);
  close(fds[0]);
}

struct Relay : ::testing::Test {
  ServerProcess server;
  void SetUp() override { ASSERT_TRUE(StartServer(&server, "relay")); }
};

TEST_F(Relay, HttpRequestAndLargeResponseArriveWhole) {
  std::string body(200 * 1024 + 7, 'x');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>('a' + i % 26);
  LocalWebServer web;
  web.handler = HttpResponder(body);
  ASSERT_TRUE(web.Start(kLocalWebDefaultPort));

  int fd = ConnectTo(server.port);
  std::string request = "GET /index.html HTTP/1.0\r\nHost: x\r\n\r\n";
  ASSERT_EQ(send(fd, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
  bool closed = false;
  std::string response = ReadAll(fd, 10000, &closed);
  EXPECT_TRUE(closed);
  ASSERT_GE(response.size(), body.size());
  EXPECT_EQ(response.substr(response.size() - body.size()), body);
  ASSERT_TRUE(web.WaitForRequests(1));
  EXPECT_EQ(web.Requests()[0], request);
  close(fd);
}

TEST_F(Relay, TlsHelloIsRelayedUnchanged) {
  std::string hello = "\x16\x03\x01\x00\x05hello";
  hello += std::string("\x00\xff\x80", 3);
  LocalWebServer web;
  web.handler = [&](const std::string& got, std::string* response) {
    if (got.size() < hello.size()) return false;
    *response = "ok";
    return true;
  };
  ASSERT_TRUE(web.Start(kLocalWebDefaultPort));
  int fd = ConnectTo(server.port);
  ASSERT_EQ(send(fd, hello.data(), hello.size(), 0), static_cast<ssize_t>(hello.size()));
  EXPECT_EQ(ReadAll(fd, 5000), "ok");
  ASSERT_TRUE(web.WaitForRequests(1));
  EXPECT_EQ(web.Requests()[0], hello);
  close(fd);
}

TEST_F(Relay, NothingListeningClosesClientAtOnce) {
  // Hold the port without listening, so a connect to it is refused.
  int holder = -1;
  auto end = Clock::now() + std::chrono::seconds(60);
  while (Clock::now() < end) {
    holder = socket(AF_INET, SOCK_STREAM, 0);
    int yes = 1;  // earlier tests' connections may linger in TIME_WAIT
    setsockopt(holder, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(kLocalWebDefaultPort);
    if (bind(holder, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) break;
    close(holder);
    holder = -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_GE(holder, 0);
  int fd = ConnectTo(server.port);
  ASSERT_EQ(send(fd, "GET / HTTP/1.0\r\n\r\n", 18, 0), 18);
  auto before = Clock::now();
  bool closed = false;
  EXPECT_EQ(ReadAll(fd, 5000, &closed), "");
  EXPECT_TRUE(closed);
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - before).count(), 2000);
  close(fd);
  close(holder);
}

// LocalWebPort moves the relay (and the server's own web requests) off the
// default port, so servers on one machine each reach a web server of their own.
TEST(Process, LocalWebPortChoosesTheRelayTarget) {
  LocalWebServer web;
  web.handler = HttpResponder("moved");
  const int webPort = FreePort();  // never 19039: free ports come from the ephemeral range
  ASSERT_TRUE(web.Start(static_cast<uint16_t>(webPort)));
  char dword[16];
  snprintf(dword, sizeof dword, "%08x", webPort);
  ServerProcess server;
  ASSERT_TRUE(StartServer(&server, "webport",
                          std::string("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestravon\\Server]\n\"LocalWebPort\"=dword:") +
                              dword + "\n"));
  int fd = ConnectTo(server.port);
  std::string request = "GET / HTTP/1.0\r\n\r\n";
  ASSERT_EQ(send(fd, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
  std::string response = ReadAll(fd, 10000);
  EXPECT_NE(response.find("moved"), std::string::npos) << response;
  close(fd);
}

}  // namespace
