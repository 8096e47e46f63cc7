#include "util/Clock.h"

#include <time.h>

#include <atomic>

namespace {

std::atomic<LiveChannelClock> g_liveChannelClock{nullptr};
std::atomic<PacingClock> g_pacingClock{nullptr};

timespec Now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts;
}

#ifdef STRMD_TEST_HOOKS
std::atomic<int64_t (*)()> g_connectionClock{nullptr};
std::atomic<int64_t (*)()> g_sessionClock{nullptr};
#endif

}  // namespace

int64_t MonotonicMs() {
  const timespec ts = Now();
  return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

uint32_t MonotonicMs32() { return static_cast<uint32_t>(MonotonicMs()); }

int64_t Monotonic100ns() {
  const timespec ts = Now();
  return int64_t{ts.tv_sec} * 10000000 + ts.tv_nsec / 100;
}

void LiveChannelSetClock(LiveChannelClock clock) { g_liveChannelClock = clock; }

uint32_t LiveChannelNow() {
  LiveChannelClock clock = g_liveChannelClock.load();
  return clock ? clock() : MonotonicMs32();
}

void PacingSetClock(PacingClock clock) { g_pacingClock = clock; }

int64_t PacingNow() {
  PacingClock clock = g_pacingClock.load();
  return clock != nullptr ? clock() : Monotonic100ns();
}
int64_t ConnectionNow() {
#ifdef STRMD_TEST_HOOKS
  if (int64_t (*clock)() = g_connectionClock.load()) return clock();
#endif
  return MonotonicMs();
}

int64_t SessionNow() {
#ifdef STRMD_TEST_HOOKS
  if (int64_t (*clock)() = g_sessionClock.load()) return clock();
#endif
  return static_cast<int64_t>(time(nullptr));
}

#ifdef STRMD_TEST_HOOKS
void ConnectionSetClock(int64_t (*clock)()) { g_connectionClock = clock; }
void SessionSetClock(int64_t (*clock)()) { g_sessionClock = clock; }
#endif
