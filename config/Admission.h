// Admission: before the watchdog would end the server, new work is
// refused. Each period the debug monitor sets the level from the connection
// threads' CPU sum against AdmitCpuPercent; connection threads read it when
// a client asks for something new. Streams already running are never cut.
#pragma once

#include <cstdint>

enum class DebugAdmitLevel : uint32_t {
  kAll = 0,         // everything is taken
  kNoPlays = 1,     // from AdmitCpuPercent: new plays of recorded media refused
  kNothingNew = 2,  // from AdmitCpuPercent + 10: also connects, publishes, live plays
};
enum class DebugWork { kRecordedPlay, kLivePlay, kPublish, kConnect };
constexpr int kDebugAdmitAllStep = 10;  // percent above AdmitCpuPercent
struct DebugAdmitCounts {
  uint64_t plays = 0, publishes = 0, connects = 0;  // refused since start
};

// The level for a CPU sum; kAll when `admitPercent` is 0 or less.
DebugAdmitLevel DebugAdmitLevelFor(double cpu, int admitPercent);
// Sets the CPU sum and the level that the connection threads read. The
// monitor, once per period.
void DebugAdmitSet(double cpu, int admitPercent);
DebugAdmitLevel DebugAdmitCurrent();
// True when new work of this kind is refused now; the refusal is counted.
// Any thread.
bool DebugAdmitRefuses(DebugWork work);
DebugAdmitCounts DebugAdmitRefused();
// The CPU sum of the last DebugAdmitSet.
double DebugAdmitCpu();

// Work that runs on threads of its own (the Opus sidecar builders) counts
// toward admission as the connection threads do: each adds the CPU time it
// used, in 100-ns units, and the monitor takes the sum once per period.
void DebugAdmitAddWorkCpu(uint64_t units);
uint64_t DebugAdmitTakeWorkCpu();
// Such threads running now (for the report and tests).
void DebugAdmitWorkThreads(int delta);
int DebugAdmitWorkThreadCount();
