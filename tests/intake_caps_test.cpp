// The connection caps of the accept loop, through the real binary: beyond
// MaxConnectionsPerAddress from one address, or MaxConnections over all, a
// connection is closed at once with a report naming its address, and a
// connection that ends makes room again. Connections before connect have
// deadlines and caps of their own.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <poll.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>

#include "config/ServerConfig.h"
#include "server/ThreadDebug.h"
#include "support/AmfHelpers.h"
#include "support/ServerProcess.h"
#include "support/TestEnv.h"
#include "testclient/RtmpClient.h"

namespace {

// A connection to the server from the loopback address `from` (127.0.0.x).
int ConnectFrom(const char* from, int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  inet_pton(AF_INET, from, &local.sin_addr);
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    close(fd);
    return -1;
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Let in: the handshake is answered. The client keeps the connection.
bool Admitted(RtmpClient* client, const char* from, int port) {
  int fd = ConnectFrom(from, port);
  if (fd < 0) return false;
  client->Adopt(fd);
  return client->HandshakePlain(3, true);
}

// Refused: closed without a byte of answer.
bool Refused(const char* from, int port) {
  int fd = ConnectFrom(from, port);
  if (fd < 0) return false;
  const uint8_t c0 = 3;
  send(fd, &c0, 1, MSG_NOSIGNAL);
  bool closed = false;
  std::string got = ReadAll(fd, 5000, &closed);
  close(fd);
  return closed && got.empty();
}

TEST(IntakeCaps, PerAddressAndGlobalCapsRefuseWithTheAddressAndFreeUpAgain) {
  ServerProcess server;
  ASSERT_TRUE(StartServer(&server, "caps",
                          "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestravon\\Server]\n"
                          "\"MaxConnections\"=dword:00000003\n"
                          "\"MaxConnectionsPerAddress\"=dword:00000002\n"));
  RtmpClient a1, a2, b1, c1;
  ASSERT_TRUE(Admitted(&a1, "127.0.0.1", server.port)) << a1.error();
  ASSERT_TRUE(Admitted(&a2, "127.0.0.1", server.port)) << a2.error();
  EXPECT_TRUE(Refused("127.0.0.1", server.port));
  ASSERT_TRUE(Admitted(&b1, "127.0.0.2", server.port)) << b1.error();
  EXPECT_TRUE(Refused("127.0.0.3", server.port));
  EXPECT_NE(server.ErrorLog().find(
                "ERROR: Connection from 127.0.0.1 refused: 2 connections from this address (MaxConnectionsPerAddress 2)"),
            std::string::npos)
      << server.ErrorLog();
  EXPECT_NE(server.ErrorLog().find("ERROR: Connection from 127.0.0.3 refused: 3 connections in progress (MaxConnections 3)"),
            std::string::npos)
      << server.ErrorLog();

  // A connection that ends is counted out (its thread ends a moment later).
  a1.Close();
  bool admitted = false;
  for (int i = 0; i < 100 && !admitted; ++i) {
    admitted = Admitted(&c1, "127.0.0.3", server.port);
    if (!admitted) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(admitted);
}

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

bool SendConnect(RtmpClient* client) {
  return client->SendMessage(3, 20, 0, 0,
                             amf::Body({amf::Str("connect"), amf::Num(1), amf::Obj({{"app", amf::Str("default")}})}));
}

// Reads status reports until one satisfies `found`; the last text read.
std::string WaitForReport(const std::string& shm, const std::function<bool(const std::string&)>& found) {
  DebugSnapshot s;
  std::string error;
  if (TestWaitUntil([&] { return DebugReadReport(shm, &s, &error) == DebugRead::kOk && found(s.text); }))
    return s.text;
  return "timed out; last report:\n" + s.text;
}

// From the accept to the end of the handshake, and from there to connect,
// a connection has one deadline each, however it trickles its bytes; a
// connection that sent connect stays.
TEST(IntakeCaps, HandshakeAndConnectHaveDeadlinesFromTheFirstByte) {
  ServerProcess server;
  ASSERT_TRUE(StartServer(&server, "deadlines",
                          "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestravon\\Server]\n"
                          "\"HandshakeSeconds\"=dword:00000003\n"
                          "\"ConnectSeconds\"=dword:00000003\n"
                          "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestravon\\Server\\default]\n"));
  const auto start = Clock::now();
  int silent = ConnectTo(server.port);
  int trickle = ConnectTo(server.port);
  ASSERT_GE(silent, 0);
  ASSERT_GE(trickle, 0);
  RtmpClient quiet, connected;
  ASSERT_TRUE(Admitted(&quiet, "127.0.0.1", server.port)) << quiet.error();
  ASSERT_TRUE(Admitted(&connected, "127.0.0.1", server.port)) << connected.error();
  const auto shaken = Clock::now();
  ASSERT_TRUE(SendConnect(&connected));

  // The version byte, then one byte of C1 a second: C1 would take 25 minutes.
  bool closed = false;
  for (int i = 0; i < 15 && !closed; ++i) {
    const uint8_t byte = 3;
    if (send(trickle, &byte, 1, MSG_NOSIGNAL) != 1) break;
    pollfd p{trickle, POLLIN, 0};
    closed = poll(&p, 1, 1000) == 1;
  }
  const double trickled = SecondsSince(start);
  EXPECT_TRUE(closed) << "a trickled handshake was not closed";
  EXPECT_GE(trickled, 2.0);
  EXPECT_LT(trickled, 7.0);
  std::string got = ReadAll(silent, 5000, &closed);
  EXPECT_TRUE(closed && got.empty()) << "a silent connection was not closed";
  EXPECT_LT(SecondsSince(start), 8.0);

  EXPECT_TRUE(quiet.WaitClosed(8000)) << "a connection that never sent connect was not closed";
  EXPECT_GE(SecondsSince(shaken), 2.0);
  EXPECT_LT(SecondsSince(shaken), 8.0);
  // The connected client is past both deadlines and still answered.
  ASSERT_TRUE(connected.SendMessage(3, 20, 0, 0, amf::Body({amf::Str("createStream"), amf::Num(2), amf::Null()})));
  bool answered = false;
  while (auto m = connected.ReadMessage(5000)) {
    std::vector<amf::Node> values;
    if (m->type == 20 && amf::Read(m->body, &values) && values.size() > 1 && values[1].number == 2) {
      answered = true;
      break;
    }
  }
  EXPECT_TRUE(answered) << connected.error();
  close(silent);
  close(trickle);
  // The reports may follow the closes by a moment.
  const char* const reports[] = {"RTMP handshake from 127.0.0.1 not complete within 3 s (HandshakeSeconds)",
                                 "Connection from 127.0.0.1 sent nothing within 3 s (HandshakeSeconds)",
                                 "RTMP connection from 127.0.0.1 sent no connect within 3 s (ConnectSeconds)"};
  TestWaitUntil([&] {
    const std::string log = server.ErrorLog();
    for (const char* report : reports)
      if (log.find(report) == std::string::npos) return false;
    return true;
  });
  const std::string log = server.ErrorLog();
  EXPECT_NE(log.find("RTMP handshake from 127.0.0.1 not complete within 3 s (HandshakeSeconds)"), std::string::npos)
      << log;
  EXPECT_NE(log.find("Connection from 127.0.0.1 sent nothing within 3 s (HandshakeSeconds)"), std::string::npos)
      << log;
  EXPECT_NE(log.find("RTMP connection from 127.0.0.1 sent no connect within 3 s (ConnectSeconds)"), std::string::npos)
      << log;
}

// 32 connections before connect from one address are the default cap: the
// 33rd is refused with a report, another address is still let in, the
// status report counts them, and a connect makes room.
TEST(IntakeCaps, ConnectionsBeforeConnectAreCappedAndCounted) {
  ServerProcess server;
  ASSERT_TRUE(StartServer(&server, "handshaking", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestravon\\Server\\default]\n",
                          {"STRMD_DEBUG_PERIOD_MS=50"}));
  std::vector<int> waiting;
  for (int i = 0; i < 32; ++i) {
    waiting.push_back(ConnectFrom("127.0.0.5", server.port));
    ASSERT_GE(waiting.back(), 0);
  }
  EXPECT_TRUE(Refused("127.0.0.5", server.port));
  EXPECT_NE(server.ErrorLog().find("ERROR: Connection from 127.0.0.5 refused: 32 connections before connect from "
                                   "this address (MaxHandshakingPerAddress 32)"),
            std::string::npos)
      << server.ErrorLog();
  RtmpClient other;
  ASSERT_TRUE(Admitted(&other, "127.0.0.6", server.port)) << other.error();
  auto count = [](const char* n) {
    return [n](const std::string& text) { return text.find(std::string("before connect: \t") + n + "\n") != std::string::npos; };
  };
  std::string text = WaitForReport(server.shmName, count("33"));
  EXPECT_NE(text.find("before connect: \t33\n"), std::string::npos) << text;
  ASSERT_TRUE(SendConnect(&other));
  text = WaitForReport(server.shmName, count("32"));
  EXPECT_NE(text.find("before connect: \t32\n"), std::string::npos) << text;
  if (const char* ctl = getenv("STRMDCTL_BINARY")) {
    std::string command = "STRMD_SHM_NAME='" + server.shmName + "' '" + ctl + "' status --json";
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
      char buf[4096];
      size_t n;
      while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
      pclose(p);
    }
    EXPECT_NE(out.find("\"connectionsBeforeConnect\":32"), std::string::npos) << out;
  }
  for (int fd : waiting) close(fd);
}

TEST(IntakeCaps, SettingsDefaultTo4096And1024) {
  std::string dir = TestTempDir("capsconfig");
  setenv("STRMD_REGISTRY", WriteRegistry(dir, 1935).c_str(), 1);
  ServerConfig defaults;
  ServerConfigSetName(&defaults, "kvd");
  ASSERT_EQ(ServerConfigLoad(&defaults), 1);
  EXPECT_EQ(defaults.maxConnections, 4096);
  EXPECT_EQ(defaults.maxConnectionsPerAddress, 1024);

  setenv("STRMD_REGISTRY",
         WriteRegistry(dir, 1935,
                       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestravon\\Server]\n\"MaxConnections\"=dword:00000000\n"
                       "\"MaxConnectionsPerAddress\"=dword:00000010\n")
             .c_str(),
         1);
  ServerConfig set;
  ServerConfigSetName(&set, "kvd");
  ASSERT_EQ(ServerConfigLoad(&set), 1);
  EXPECT_EQ(set.maxConnections, 0);
  EXPECT_EQ(set.maxConnectionsPerAddress, 16);
  unsetenv("STRMD_REGISTRY");
}

}  // namespace
