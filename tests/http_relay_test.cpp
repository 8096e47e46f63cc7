// The HTTP relay's bounds, on socket pairs: bytes move both ways until a side
// closes; a relay where nothing moves ends after its idle time, and one whose
// destination takes nothing ends after its write bound, closing both sides.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>

#include "server/ThreadHttp.h"

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

}  // namespace
