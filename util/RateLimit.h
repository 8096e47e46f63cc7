// RateLimit: a per-connection budget of commands per second, with one
// report a second about what was dropped. Owned by one connection and used
// only on its thread, so it takes no lock. The clock is passed in (ms of
// CLOCK_MONOTONIC) so that tests need not wait for real seconds.
#pragma once

#include <cstdint>

struct RateLimit {
  int64_t windowStartMs = -1;  // start of the current one-second window
  int32_t taken = 0;           // commands let through in it
  int32_t dropped = 0;         // commands dropped since the last report
  int64_t lastReportMs = -1;   // when a report was last due
};

// True when one more command fits into `perSecond` (0 or less: no limit) at
// `nowMs`; false when it is to be dropped, which is counted.
bool RateLimitTake(RateLimit* limit, int32_t perSecond, int64_t nowMs);

// The number of drops to report now, at most once a second (0: nothing to
// say yet). Resets the count it returns.
int32_t RateLimitDueReport(RateLimit* limit, int64_t nowMs);
