#include "util/RateLimit.h"

namespace {
constexpr int64_t kWindowMs = 1000;
}

bool RateLimitTake(RateLimit* limit, int32_t perSecond, int64_t nowMs) {
  if (perSecond <= 0) return true;
  if (limit->windowStartMs < 0 || nowMs - limit->windowStartMs >= kWindowMs) {
    limit->windowStartMs = nowMs;
    limit->taken = 0;
  }
  if (limit->taken < perSecond) {
    ++limit->taken;
    return true;
  }
  ++limit->dropped;
  return false;
}

int32_t RateLimitDueReport(RateLimit* limit, int64_t nowMs) {
  if (limit->dropped == 0) return 0;
  if (limit->lastReportMs >= 0 && nowMs - limit->lastReportMs < kWindowMs) return 0;
  limit->lastReportMs = nowMs;
  const int32_t n = limit->dropped;
  limit->dropped = 0;
  return n;
}
