// The HTTP relay's bounds, on socket pairs: bytes move both ways until a side
// closes; a relay where nothing moves ends after its idle time, and one whose
// destination takes nothing ends after its write bound, closing both sides.
// Through the real binary: HttpIdleSeconds and the header deadline.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <future>
#include <string>

#include "server/ThreadHttp.h"
#include "support/LocalWebServer.h"
#include "support/ServerProcess.h"
#include "support/TestEnv.h"

namespace {

struct Pair {
  int near = -1;  // the test's end
  int far = -1;   // the relay's end
  Pair() {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    near = fds[0];
    far = fds[1];
  }
  ~Pair() { close(near); }
};

std::future<RelayEnd> Start(Pair& client, Pair& server, HttpRelayLimits limits) {
  return std::async(std::launch::async,
                    [&client, &server, limits] { return HttpRelaySockets(client.far, server.far, limits); });
}

std::string ReadSome(int fd, size_t want) {
  std::string got;
  char buf[4096];
  while (got.size() < want) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 5000) <= 0) break;
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

// The relay's end of the pair was closed: the test's end reads the end.
bool SeesEnd(int fd) {
  char buf[65536];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 5000) <= 0) return false;
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n == 0) return true;
    if (n < 0) return false;
  }
}

TEST(HttpRelayBounds, RelaysBothWaysThenEndsWhenIdle) {
  Pair client, server;
  auto relay = Start(client, server, HttpRelayLimits{200, 5000});
  ASSERT_EQ(send(client.near, "GET / HTTP/1.1\r\n\r\n", 18, 0), 18);
  EXPECT_EQ(ReadSome(server.near, 18), "GET / HTTP/1.1\r\n\r\n");
  ASSERT_EQ(send(server.near, "HTTP/1.1 200 OK\r\n\r\n", 19, 0), 19);
  EXPECT_EQ(ReadSome(client.near, 19), "HTTP/1.1 200 OK\r\n\r\n");
  // Neither side says more (a kept-alive connection left open).
  ASSERT_EQ(relay.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(relay.get(), RelayEnd::kIdle);
  EXPECT_TRUE(SeesEnd(client.near));
  EXPECT_TRUE(SeesEnd(server.near));
}

TEST(HttpRelayBounds, ADestinationThatTakesNothingEndsTheRelay) {
  Pair client, server;
  // A long idle time: only the write bound can end this relay.
  auto relay = Start(client, server, HttpRelayLimits{600 * 1000, 200});
  // The web server never reads: more than both socket buffers hold.
  std::string chunk(65536, 'x');
  size_t sent = 0;
  while (relay.wait_for(std::chrono::seconds(0)) != std::future_status::ready && sent < (64u << 20)) {
    ssize_t n = send(client.near, chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
    } else if (n < 0 && errno == EAGAIN) {
      pollfd p{client.near, POLLOUT, 0};
      poll(&p, 1, 50);
    } else {
      break;
    }
  }
  ASSERT_EQ(relay.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(relay.get(), RelayEnd::kWriteTimedOut);
  EXPECT_TRUE(SeesEnd(server.near));
}

TEST(HttpRelayBounds, AClosedSideEndsTheRelayAfterWhatItSent) {
  Pair client, server;
  auto relay = Start(client, server, HttpRelayLimits{600 * 1000, 5000});
  ASSERT_EQ(send(server.near, "bye", 3, 0), 3);
  shutdown(server.near, SHUT_WR);
  EXPECT_EQ(ReadSome(client.near, 3), "bye");
  ASSERT_EQ(relay.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(relay.get(), RelayEnd::kClosed);
  EXPECT_TRUE(SeesEnd(client.near));
}

// Through the server: a request to a web server that never answers ends at
// HttpIdleSeconds, and a client that trickles its headers (a byte a second,
// so never idle) at the header deadline; both with a report of the latter.
TEST(HttpRelayBounds, StalledRequestsAreClosedAtTheirDeadlines) {
  SKIP_WITHOUT_TEST_HOOKS();
  LocalWebServer web;
  web.handler = [](const std::string&, std::string*) { return false; };  // never answers
  ASSERT_TRUE(web.Reserve() && web.Listen());
  ServerProcess server;
  ASSERT_TRUE(StartServer(&server, "relaydeadlines",
                          LocalWebPortRegistry(web.port) + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestravon\\Server]\n\"HttpIdleSeconds\"=dword:00000003\n",
                          {"STRMD_TEST_HTTP_HEADER_MS=3000"}));
  int waiting = ConnectTo(server.port);
  int trickle = ConnectTo(server.port);
  ASSERT_GE(waiting, 0);
  ASSERT_GE(trickle, 0);
  const auto start = std::chrono::steady_clock::now();
  const char request[] = "GET / HTTP/1.1\r\nHost: school\r\n\r\n";
  ASSERT_EQ(send(waiting, request, strlen(request), MSG_NOSIGNAL), static_cast<ssize_t>(strlen(request)));
  ASSERT_EQ(send(trickle, "GET / HTTP/1.1\r\n", 16, MSG_NOSIGNAL), 16);
  bool closed = false;
  for (int i = 0; i < 15 && !closed; ++i) {
    if (send(trickle, "X", 1, MSG_NOSIGNAL) != 1) break;
    pollfd p{trickle, POLLIN, 0};
    closed = poll(&p, 1, 1000) == 1;
  }
  auto seconds = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
  EXPECT_TRUE(closed) << "a trickled request was not closed";
  EXPECT_GE(seconds(), 2.0);
  EXPECT_LT(seconds(), 7.0);
  EXPECT_TRUE(SeesEnd(waiting)) << "a request the web server never answers was not closed";
  EXPECT_LT(seconds(), 7.0);
  close(waiting);
  close(trickle);
  // The report may follow the close by a moment.
  EXPECT_TRUE(TestWaitUntil([&] {
    return server.ErrorLog().find("HTTP request from 127.0.0.1 closed: its headers did not end within 3 s") !=
           std::string::npos;
  })) << server.ErrorLog();
}

}  // namespace
