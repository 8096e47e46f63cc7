#include "rtmp/RtmpBody.h"

#include <atomic>
#include <new>

namespace {

std::atomic<uint64_t> g_bodyAllocations{0};

}  // namespace

SharedBody RtmpBodyAlloc(size_t size) {
  SharedBody block(new (std::nothrow) uint8_t[size ? size : 1]);
  if (block) g_bodyAllocations.fetch_add(1, std::memory_order_relaxed);
  return block;
}

uint64_t RtmpBodyAllocations() { return g_bodyAllocations.load(std::memory_order_relaxed); }
