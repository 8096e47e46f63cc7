#include "util/Clock.h"

#include <time.h>

namespace {

timespec Now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts;
}

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
