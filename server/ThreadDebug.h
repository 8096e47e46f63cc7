// ThreadDebug: the debug monitor. Every period it rebuilds a plain-text status
// report of the RTMP connections, their streams and the live rooms, publishes
// it in POSIX shared memory for `strmdctl status`, and ends the process when
// the connection threads together use too much of the machine's processors.
//
// Threads: DebugMonitor runs on a thread of its own (started by ServerRun).
// DebugBuildReport takes g_connections.lock, then per connection that
// connection's streams.lock (released before the next connection) and, as
// leaf locks below it, a player's queue lock and a publisher's subscriber
// list lock; after g_connections is released, the room list and each room's
// member list. It never takes them in another order.
//
// Shared memory (both objects mode 0640: stream names carry web session
// identifiers, so only strmd's user and group may read them):
//  - NAME (default /kestravon-strmd), kDebugBufferSize bytes: the report text,
//    zero-terminated, from the first byte, for readers that know only that;
//  - NAME-data: a DebugShared header whose sequence number is odd while a
//    report is being published and even when it stands, followed by the
//    machine-readable twin of the report (records below). A reader copies
//    both between two reads of an equal, even sequence number.
// NAME is $STRMD_SHM_NAME when set (tests run many servers on one machine).
// A server holds NAME with an exclusive lock on the text object for its
// whole life: a second server given the same name publishes nothing and
// never removes it, and a dead server's lock goes with its process.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

#include "config/Admission.h"

constexpr size_t kDebugBufferSize = 10240;
constexpr int kDebugPeriodMs = 2000;
constexpr size_t kDebugAppendMax = 2047;
constexpr size_t kDebugDataSize = 64 * 1024;
constexpr char kDebugShmName[] = "/kestravon-strmd";
constexpr char kDebugDataSuffix[] = "-data";
constexpr uint32_t kDebugMagic = 0x4b535444;  // "KSTD"
constexpr uint32_t kDebugVersion = 1;
constexpr int kDebugDefaultCpuLimit = 80;

// Records of the machine-readable report, one per line, fields separated by
// tabs; texts are escaped (\\, \t, \n, \r) so they never break a record:
//   connection ADDRESS FLASHVER SITE USER USERID
//   stream ID DIRECTION BITS_IN BITS_OUT PAUSED QUEUED LAST_QUEUED DROPPED SUBSCRIBERS NAME ACTIVE
//   room KIND SITE NAME          (KIND: chat, course or site)
//   member USER                  (of the room before it)
//   total BITS_IN BITS_OUT CPU_PERCENT
//   admission LEVEL CPU_PERCENT PLAYS PUBLISHES CONNECTS
//                                (LEVEL 0, 1 or 2 as DebugAdmitLevel; the
//                                counts are refusals since start)
// A stream record follows its connection. Every stream is listed; ACTIVE is 1
// for those with traffic in the period (the ones the text shows). DROPPED is
// the count since the text last printed it.
struct DebugShared {
  uint32_t magic;
  uint32_t version;
  std::atomic<uint32_t> sequence;
  int32_t pid;  // of the strmd that publishes
  uint32_t periodMs;
  uint32_t dataLength;
  uint32_t truncated;  // 1 when records were left out for want of room
  uint32_t reserved;
  char data[kDebugDataSize];
};
static_assert(std::atomic<uint32_t>::is_always_lock_free, "the sequence is shared between processes");

// One report while it is built, private to the monitor (or a test).
struct DebugReport {
  char text[kDebugBufferSize];
  size_t position;  // where the next text goes
  char data[kDebugDataSize];
  size_t dataLength;
  bool truncated;
  int64_t totalIn, totalOut;  // bits per second
  double cpuSum;              // percent of the whole machine
};

// Empties the report: all text bytes zero, no records, totals 0.
void DebugReportClear(DebugReport* report);

// Formats (printf rules, at most kDebugAppendMax characters) and appends to
// the text at its position; what would pass the last byte but one is dropped,
// so the text always ends within the buffer.
void DebugAppend(DebugReport* report, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Appends one record built from `fields` (texts escaped) to the data; a
// record that does not fit whole is left out and the report marked truncated.
void DebugAppendRecord(DebugReport* report, std::initializer_list<std::string_view> fields);

// A rate in bits per second as the report prints it: "999", "1k", "1.50k",
// "1m", "2.50m". `buffer` holds at least 32 bytes.
void FormatRate(std::span<char> buffer, int64_t value);

// One period's report of every connection, its streams and the rooms.
// `processors` divides the CPU use; `fakeCpu` (percent, tests only) is added
// for every connection thread. Returns the CPU sum (also in report->cpuSum).
double DebugBuildReport(DebugReport* report, int processors, double fakeCpu = 0);

// The live room lines and records: "  chat %s.%s", "  course %s.%s" or
// "  chat %s" per room and "    user %s" per present member, under the room
// list lock and each room's member lock. Called after the connection list
// is released, and only while a connection exists.
void DebugAppendRooms(DebugReport* report);

// The admission record of the report, and its text line while work is
// refused or once anything was refused.
void DebugAppendAdmission(DebugReport* report);

// The shared-memory objects of a publishing monitor.
struct DebugShm {
  std::string name;
  char* text = nullptr;           // kDebugBufferSize bytes: g_debugbuffer
  DebugShared* shared = nullptr;  // none when the data object failed
  int lockFd = -1;                // the text object, locked while this server holds the name
  bool held = false;              // refused: a running server holds the name
  int32_t holder = 0;             // its process id; 0 when it cannot be read
  DebugShm() = default;
  DebugShm(const DebugShm&) = delete;
  DebugShm& operator=(const DebugShm&) = delete;
  ~DebugShm();  // unmaps and lets the name go; the objects stay for readers until DebugShmUnlink
};

// $STRMD_SHM_NAME, else kDebugShmName.
std::string DebugShmName();
// Creates (or takes over from a server that ended) both objects, mode 0640,
// the text empty. False when the text object cannot be set up (reported with
// "mapfile" or "g_debugbuffer"), and when a running server holds the name:
// then `holder` is its process id (0 when it cannot be read) and the report
// names both. A data object that fails is reported and left out.
bool DebugShmCreate(DebugShm* shm, const std::string& name, uint32_t periodMs);
// Copies the report into the shared objects under the sequence number.
void DebugPublish(DebugShm* shm, const DebugReport& report);
// Removes both names when this server holds them.
void DebugShmUnlink(DebugShm* shm);

enum class DebugRead { kOk, kNotRunning, kNoAccess, kBusy, kFailed };
struct DebugSnapshot {
  std::string text;
  std::string data;  // records; empty without the data object
  bool hasData = false;
  bool truncated = false;
  int32_t pid = 0;
  uint32_t periodMs = 0;
  uint32_t sequence = 0;  // advances by 2 with every report published
};
// Reads a whole report of the server publishing under `name`, retrying a
// torn read a bounded number of times (kBusy then). kNotRunning when there is
// no report or its process has ended; kNoAccess when the caller may not read
// it. `error` gets a sentence naming the object for the caller to print.
DebugRead DebugReadReport(const std::string& name, DebugSnapshot* snapshot, std::string* error);

// The thread procedure: 1 when the shared memory cannot be set up, 0 after a
// period that found g_stopping set. A server refused the name goes on
// without a report but keeps its CPU watch. Ends the process with exit code 1 when
// the CPU sum reaches the limit. Reads from the environment (tests only):
// STRMD_DEBUG_PERIOD_MS, the wait between reports (the rates and CPU use are
// still taken over kDebugPeriodMs, so the same traffic prints the same
// figures), and in test builds (STRMD_TEST_HOOKS) STRMD_DEBUG_FAKE_CPU,
// percent added per connection thread, and STRMD_TEST_CPU_FILE, a file whose
// number, read every period, stands in for the CPU sum that admission sees
// (not the watchdog).
int DebugMonitor();
// Starts DebugMonitor on a detached thread.
void DebugMonitorStart();
