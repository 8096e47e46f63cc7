// The connection caps of the accept loop, through the real binary: beyond
// MaxConnectionsPerAddress from one address, or MaxConnections over all, a
// connection is closed at once with a report naming its address, and a
// connection that ends makes room again.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "server/ServerConfig.h"
#include "support/RtmpClient.h"
#include "support/ServerProcess.h"
#include "support/TestEnv.h"

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
