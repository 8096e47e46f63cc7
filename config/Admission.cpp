#include "config/Admission.h"

#include <atomic>

namespace {

// Written by the monitor, read by every connection thread that is asked
// for new work.
std::atomic<uint32_t> g_admitLevel{static_cast<uint32_t>(DebugAdmitLevel::kAll)};
std::atomic<double> g_admitCpu{0};
std::atomic<uint64_t> g_refusedPlays{0}, g_refusedPublishes{0}, g_refusedConnects{0};
std::atomic<uint64_t> g_workCpu{0};
std::atomic<int> g_workThreads{0};

}  // namespace

DebugAdmitLevel DebugAdmitLevelFor(double cpu, int admitPercent) {
  if (admitPercent <= 0) return DebugAdmitLevel::kAll;
  if (cpu >= double(admitPercent) + kDebugAdmitAllStep) return DebugAdmitLevel::kNothingNew;
  if (cpu >= double(admitPercent)) return DebugAdmitLevel::kNoPlays;
  return DebugAdmitLevel::kAll;
}

void DebugAdmitSet(double cpu, int admitPercent) {
  g_admitCpu.store(cpu, std::memory_order_relaxed);
  g_admitLevel.store(static_cast<uint32_t>(DebugAdmitLevelFor(cpu, admitPercent)), std::memory_order_relaxed);
}

DebugAdmitLevel DebugAdmitCurrent() {
  return static_cast<DebugAdmitLevel>(g_admitLevel.load(std::memory_order_relaxed));
}

bool DebugAdmitRefuses(DebugWork work) {
  const DebugAdmitLevel level = DebugAdmitCurrent();
  if (level == DebugAdmitLevel::kAll) return false;
  if (work != DebugWork::kRecordedPlay && level != DebugAdmitLevel::kNothingNew) return false;
  switch (work) {
    case DebugWork::kRecordedPlay:
    case DebugWork::kLivePlay: g_refusedPlays.fetch_add(1, std::memory_order_relaxed); break;
    case DebugWork::kPublish: g_refusedPublishes.fetch_add(1, std::memory_order_relaxed); break;
    case DebugWork::kConnect: g_refusedConnects.fetch_add(1, std::memory_order_relaxed); break;
  }
  return true;
}

DebugAdmitCounts DebugAdmitRefused() {
  DebugAdmitCounts counts;
  counts.plays = g_refusedPlays.load(std::memory_order_relaxed);
  counts.publishes = g_refusedPublishes.load(std::memory_order_relaxed);
  counts.connects = g_refusedConnects.load(std::memory_order_relaxed);
  return counts;
}

double DebugAdmitCpu() { return g_admitCpu.load(std::memory_order_relaxed); }

void DebugAdmitAddWorkCpu(uint64_t units) { g_workCpu.fetch_add(units, std::memory_order_relaxed); }

uint64_t DebugAdmitTakeWorkCpu() { return g_workCpu.exchange(0, std::memory_order_relaxed); }

void DebugAdmitWorkThreads(int delta) { g_workThreads.fetch_add(delta, std::memory_order_relaxed); }

int DebugAdmitWorkThreadCount() { return g_workThreads.load(std::memory_order_relaxed); }
