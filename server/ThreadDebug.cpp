#include "server/ThreadDebug.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <thread>
#include <vector>

#include "Database/Record.h"
#include "chat/RtmpChat.h"
#include "client/Client.h"
#include "media/RtmpStream.h"
#include "util/Log.h"
#include "client/Intake.h"
#include "config/ServerConfig.h"
#include "connection/SendLoop.h"
#include "util/EnvNumber.h"

namespace {

// A number as a record field, formatted without allocating.
struct Num {
  char text[32];
  explicit Num(int64_t v) { snprintf(text, sizeof text, "%lld", static_cast<long long>(v)); }
  operator std::string_view() const { return text; }
};

// The connection thread's CPU time in 100-ns units, low 32 bits (the sample
// wraps; the difference of two samples is taken unsigned). On Linux a thread's
// clock counts user and kernel time together.
bool ThreadCpuSample(pthread_t thread, uint32_t* sample) {
  clockid_t clock;
  if (pthread_getcpuclockid(thread, &clock) != 0) return false;
  timespec ts;
  if (clock_gettime(clock, &ts) != 0) return false;
  uint64_t units = uint64_t(ts.tv_sec) * 10000000u + uint64_t(ts.tv_nsec) / 100u;
  *sample = static_cast<uint32_t>(units);
  return true;
}

// Bits per second over the nominal period, in whole kilobits, as designed.
int64_t StreamRate(uint32_t bytes) { return int64_t{bytes} * 8 / kDebugPeriodMs * 1000; }

// Eight hex digits that tell the streams apart while they exist: the
// record's address folded, as allocators often share the low half.
uint32_t DebugStreamIdentity(const void* stream) {
  auto a = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(stream));
  return static_cast<uint32_t>(a ^ (a >> 32));
}

// A name column of a record, which the database may leave empty.
const char* Text(const char* text) { return text != nullptr ? text : ""; }

const char* Direction(const RtmpStream* stream) {
  if (stream->publishing) return "in";
  if (stream->playing) return "out";
  return "";
}

void AppendStream(DebugReport* report, RtmpStream* stream) {
  RtmpStreamIn& in = stream->input;
  RtmpStreamOut& out = stream->output;
  // Taken and reset in one step: bytes counted meanwhile go to the next period.
  uint32_t bytesIn = in.bytesIn.exchange(0);
  uint32_t bytesOut = out.bytesOut.exchange(0);
  uint32_t queued = 0, lastQueued = 0;
  if (out.queued != 0) {
    ListLock guard(out.queue.lock);
    queued = out.queue.count;
    lastQueued = out.lastQueued;
  }
  uint32_t subscribers;
  {
    ListLock guard(in.subscribers.lock);
    subscribers = in.subscribers.count;
  }
  const bool active = bytesIn != 0 || bytesOut != 0;
  const int64_t rateIn = StreamRate(bytesIn), rateOut = StreamRate(bytesOut);
  const bool paused = out.paused;
  // The dropped count is reset only once the text has shown it.
  uint32_t dropped = active ? out.dropped.exchange(0) : out.dropped.load();
  const uint32_t identity = DebugStreamIdentity(stream);
  const std::string name = LogStreamName(stream->name);

  if (active) {
    char line[kDebugAppendMax + 1];
    size_t n = 0;
    auto add = [&](const char* format, auto... args) {
      if (n >= sizeof line) return;
      int r = snprintf(line + n, sizeof line - n, format, args...);
      if (r > 0) n += static_cast<size_t>(r);
    };
    add("      0x%08x - stream %s", identity, Direction(stream));
    char rate[32];
    if (rateIn != 0) {
      report->totalIn += rateIn;
      FormatRate(rate, rateIn);
      add(" %sbps", rate);
    }
    if (rateOut != 0) {
      report->totalOut += rateOut;
      FormatRate(rate, rateOut);
      add(" %sbps", rate);
    }
    if (paused) add("%s", ", paused");
    if (queued != 0) add(", %d queued (%d)", static_cast<int>(queued), static_cast<int>(lastQueued));
    if (dropped != 0) add(", %d dropped", static_cast<int>(dropped));
    if (subscribers != 0) add(", %d out", static_cast<int>(subscribers));
    if (!name.empty()) add(", %s", name.c_str());
    DebugAppend(report, "%s", line);
    DebugAppend(report, "\n");
  }

  char id[16];
  snprintf(id, sizeof id, "0x%08x", identity);
  DebugAppendRecord(report, {"stream", id, Direction(stream), Num(rateIn), Num(rateOut), paused ? "1" : "0",
                             Num(queued), Num(lastQueued), Num(dropped), Num(subscribers), name.c_str(),
                             active ? "1" : "0"});
}

void AppendConnection(DebugReport* report, Client* client, int processors, double fakeCpu)
    REQUIRES(g_clients.lock) {
  uint32_t sample = client->cpuSample;
  if (ThreadCpuSample(client->thread, &sample)) {
    // A new connection's first sample counts all the time its thread used.
    uint32_t use = sample - client->cpuSample;
    client->cpuSample = sample;
    report->cpuSum += double(use) / kDebugPeriodMs / 100 / processors;
  }
  report->cpuSum += fakeCpu;

  // The user record may be replaced by a model command; that happens under
  // the stream list lock, so the line is written under it too.
  ListLock guard(client->streams.lock);
  const char* site = client->site != nullptr ? client->site->name : "";
  const User* user = client->user.get();
  const char* userName = user != nullptr && user->name != nullptr ? user->name : "<unknown user>";
  int userId = user != nullptr ? user->id : 0;
  DebugAppend(report, "    %s    \t%s  \t%s.%s (%d)\n", client->address, client->flashVer, site,
              userName, userId);
  DebugAppendRecord(report, {"connection", client->address, client->flashVer, site,
                             user != nullptr ? userName : "", Num(userId)});
  for (ListNode* n = client->streams.first; n != nullptr; n = n->next)
    AppendStream(report, static_cast<RtmpStream*>(n->item));
}

// Environment values of the tests; read once, when set.
#ifdef STRMD_TEST_HOOKS
double EnvDouble(const char* name) {
  const char* v = getenv(name);
  if (v == nullptr || v[0] == '\0') return 0;
  return strtod(v, nullptr);
}
#endif

bool ProcessAlive(int32_t pid) { return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM); }

// Maps a shared object; null when it cannot be opened (errno set).
void* MapObject(const std::string& name, size_t size, bool create) {
  int fd = create ? shm_open(name.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0640)
                  : shm_open(name.c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  if (create) {
    // The umask must not widen or narrow what the group may do.
    if (fchmod(fd, 0640) != 0 || ftruncate(fd, static_cast<off_t>(size)) != 0) {
      int err = errno;
      close(fd);
      errno = err;
      return nullptr;
    }
  } else {
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size < static_cast<off_t>(size)) {
      close(fd);
      errno = ENOENT;  // not (yet) a report of ours
      return nullptr;
    }
  }
  void* p = mmap(nullptr, size, create ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd, 0);
  int err = errno;
  close(fd);
  errno = err;
  return p == MAP_FAILED ? nullptr : p;
}

std::string ShmPath(const std::string& name) {
  return "/dev/shm/" + (name.empty() || name[0] != '/' ? name : name.substr(1));
}

// The process id a holder of `name` wrote into its data object; 0 when
// there is none to read.
int32_t HolderPid(const std::string& name) {
  void* d = MapObject(name + kDebugDataSuffix, sizeof(DebugShared), false);
  if (d == nullptr) return 0;
  const auto* s = static_cast<const DebugShared*>(d);
  int32_t pid = s->magic == kDebugMagic ? s->pid : 0;
  munmap(d, sizeof(DebugShared));
  return pid;
}

// Opens the text object of `name` (made when missing) and locks it for this
// process: its descriptor, or -1 with errno EWOULDBLOCK when a running server
// holds it, or another errno when it cannot be opened.
int LockReportName(const std::string& name) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    int fd = shm_open(name.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0640);
    if (fd < 0) {
      int err = errno;
      if (err == EACCES) {
        // Another user's report: only its lock tells whether its server runs.
        int ro = shm_open(name.c_str(), O_RDONLY | O_CLOEXEC, 0);
        bool held = ro >= 0 && flock(ro, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
        if (ro >= 0) close(ro);
        if (held) err = EWOULDBLOCK;
      }
      errno = err;
      return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      int err = errno;
      close(fd);
      errno = err;
      return -1;
    }
    // A holder that was ending may have removed the name between the open
    // and the lock: the lock counts only on the object the name stands for.
    struct stat mine, now;
    if (fstat(fd, &mine) == 0 && stat(ShmPath(name).c_str(), &now) == 0 && mine.st_dev == now.st_dev &&
        mine.st_ino == now.st_ino)
      return fd;
    close(fd);
  }
  errno = EBUSY;
  return -1;
}

}  // namespace

void DebugReportClear(DebugReport* report) {
  memset(report->text, 0, sizeof report->text);
  report->position = 0;
  report->dataLength = 0;
  report->data[0] = '\0';
  report->truncated = false;
  report->totalIn = report->totalOut = 0;
  report->cpuSum = 0;
}

void DebugAppend(DebugReport* report, const char* format, ...) {
  char text[kDebugAppendMax + 1];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (n <= 0) return;
  size_t length = std::min(static_cast<size_t>(n), kDebugAppendMax);
  // The last byte of the buffer stays the text's terminating zero.
  size_t room = kDebugBufferSize - 1 - report->position;
  if (length > room) length = room;
  memcpy(report->text + report->position, text, length);
  report->position += length;
  report->text[report->position] = '\0';
}

void DebugAppendRecord(DebugReport* report, std::initializer_list<std::string_view> fields) {
  size_t n = report->dataLength;
  // One byte stays for the terminating zero.
  auto put = [&](char c) {
    if (n + 1 >= kDebugDataSize) return false;
    report->data[n++] = c;
    return true;
  };
  bool fits = true, first = true;
  for (std::string_view field : fields) {
    if (!first) fits = fits && put('\t');
    first = false;
    for (char c : field) {
      if (!fits) break;
      // The characters that would end a field or a record are escaped.
      switch (c) {
        case '\\': fits = put('\\') && put('\\'); break;
        case '\t': fits = put('\\') && put('t'); break;
        case '\n': fits = put('\\') && put('n'); break;
        case '\r': fits = put('\\') && put('r'); break;
        default: fits = put(c);
      }
    }
  }
  fits = fits && put('\n');
  if (!fits) {
    // A record is whole or absent: the reader never meets half of one.
    report->truncated = true;
    report->data[report->dataLength] = '\0';
    return;
  }
  report->dataLength = n;
  report->data[n] = '\0';
}

void FormatRate(std::span<char> buffer, int64_t value) {
  if (value < 1000)
    snprintf(buffer.data(), buffer.size(), "%lld", static_cast<long long>(value));
  else if (value < 1000000)
    snprintf(buffer.data(), buffer.size(), value % 1000 == 0 ? "%.0fk" : "%.2fk", double(value) / 1000);
  else
    snprintf(buffer.data(), buffer.size(), value % 1000000 == 0 ? "%.0fm" : "%.2fm", double(value) / 1000000);
}

void DebugAppendRooms(DebugReport* report) {
  // The room list lock keeps every room alive; a room's member lock keeps
  // its members' connections and presence still while they are listed.
  RecursiveLock rooms(g_livechats.lock);
  for (ListNode* r = g_livechats.first; r != nullptr; r = r->next) {
    auto* room = static_cast<LiveChat*>(r->item);
    const char* site = room->site != nullptr ? room->site->name : "";
    if (room->chat) {
      const char* name = Text(room->chat->name);
      DebugAppend(report, "  chat %s.%s\n", site, name);
      DebugAppendRecord(report, {"room", "chat", site, name});
    } else if (room->course) {
      const char* name = Text(room->course->name);
      DebugAppend(report, "  course %s.%s\n", site, name);
      DebugAppendRecord(report, {"room", "course", site, name});
    } else {
      DebugAppend(report, "  chat %s\n", site);
      DebugAppendRecord(report, {"room", "site", site, ""});
    }
    RecursiveLock members(room->members.lock);
    for (ListNode* m = room->members.first; m != nullptr; m = m->next) {
      auto* member = static_cast<LiveUser*>(m->item);
      if (member->link == nullptr) continue;  // absent
      const char* user = member->user ? Text(member->user->name) : "";
      DebugAppend(report, "    user %s\n", user);
      DebugAppendRecord(report, {"member", user});
    }
  }
}

double DebugBuildReport(DebugReport* report, int processors, double fakeCpu) {
  DebugReportClear(report);
  if (processors < 1) processors = 1;
  // The send loops do the connections' sending: their CPU is the
  // connections' work, for the watchdog and admission alike. Sampled even
  // without connections, so that each period counts only its own time.
  struct LoopUse {
    uint32_t members;
    double cpu;
  };
  std::vector<LoopUse> loops;
  double loopsCpu = 0;
  SendLoopsForEach([&](EventLoop& loop) {
    uint32_t sample = static_cast<uint32_t>(loop.cpuSample);
    double cpu = 0;
    if (ThreadCpuSample(loop.thread, &sample)) {
      cpu = double(sample - static_cast<uint32_t>(loop.cpuSample)) / kDebugPeriodMs / 100 / processors;
      loop.cpuSample = sample;
    }
    loops.push_back({loop.members.load(), cpu});
    loopsCpu += cpu;
  });
  report->cpuSum += loopsCpu;
  // Accepted connections that have not sent connect: those still in the
  // handshake are in no list, and a flood of them shows only here.
  const uint32_t handshaking = IntakeHandshakingCount();
  {
    ListLock guard(g_clients.lock);
    if (g_clients.count == 0 && handshaking == 0) return loopsCpu;  // the report stays empty
    DebugAppend(report, "\n  RTMP connection(s): %d\n", static_cast<int>(g_clients.count));
    for (ListNode* n = g_clients.first; n != nullptr; n = n->next)
      AppendConnection(report, static_cast<Client*>(n->item), processors, fakeCpu);
  }
  if (handshaking > 0) DebugAppend(report, "\n  before connect: \t%u\n", handshaking);
  DebugAppendRecord(report, {"handshaking", Num(handshaking)});
  char in[32], out[32];
  FormatRate(in, report->totalIn);
  FormatRate(out, report->totalOut);
  DebugAppend(report, "\n  total: \t%sbps in  \t%sbps out\n", in, out);
  DebugAppend(report, "\n");
  DebugAppendRooms(report);
  if (!loops.empty()) {
    DebugAppend(report, "  send loops: %d  \tcpu %.2f%%\n", static_cast<int>(loops.size()), loopsCpu);
    for (size_t i = 0; i < loops.size(); ++i) {
      char cpu[32];
      snprintf(cpu, sizeof cpu, "%.2f", loops[i].cpu);
      DebugAppend(report, "    loop %zu: \t%u connection(s)  \tcpu %s%%\n", i, loops[i].members, cpu);
      DebugAppendRecord(report, {"loop", Num(static_cast<int64_t>(i)), Num(loops[i].members), cpu});
    }
  }
  char cpu[32];
  snprintf(cpu, sizeof cpu, "%.2f", report->cpuSum);
  DebugAppendRecord(report, {"total", Num(report->totalIn), Num(report->totalOut), cpu});
  return report->cpuSum;
}

namespace {

const char* AdmitText(DebugAdmitLevel level) {
  switch (level) {
    case DebugAdmitLevel::kNoPlays: return "new plays of recorded media refused";
    case DebugAdmitLevel::kNothingNew: return "everything new refused";
    default: return "new work taken";
  }
}

// The test's stand-in for the CPU sum; false when the file is not set or
// holds no number.
bool TestCpuFromFile([[maybe_unused]] double* cpu) {
#ifndef STRMD_TEST_HOOKS
  return false;
#else
  const char* path = getenv("STRMD_TEST_CPU_FILE");
  if (path == nullptr || path[0] == '\0') return false;
  FILE* f = fopen(path, "re");
  if (f == nullptr) return false;
  double value = 0;
  const bool read = fscanf(f, "%lf", &value) == 1;
  fclose(f);
  if (read) *cpu = value;
  return read;
#endif
}

}  // namespace

void DebugAppendAdmission(DebugReport* report) {
  const DebugAdmitLevel level = DebugAdmitCurrent();
  const double cpu = DebugAdmitCpu();
  const DebugAdmitCounts refused = DebugAdmitRefused();
  const auto p = static_cast<unsigned long long>(refused.plays);
  const auto u = static_cast<unsigned long long>(refused.publishes);
  const auto c = static_cast<unsigned long long>(refused.connects);
  if (level != DebugAdmitLevel::kAll || p + u + c != 0)
    DebugAppend(report, "\n  busy: \tcpu %.2f%%, %s; refused since start: %llu plays, %llu publishes, %llu connects\n",
                cpu, AdmitText(level), p, u, c);
  char cpuText[32];
  snprintf(cpuText, sizeof cpuText, "%.2f", cpu);
  DebugAppendRecord(report, {"admission", Num(static_cast<int64_t>(level)), cpuText, Num(static_cast<int64_t>(p)),
                             Num(static_cast<int64_t>(u)), Num(static_cast<int64_t>(c))});
}

DebugShm::~DebugShm() {
  if (text != nullptr) munmap(text, kDebugBufferSize);
  if (shared != nullptr) munmap(shared, sizeof(DebugShared));
  if (lockFd >= 0) close(lockFd);
}

std::string DebugShmName() {
  const char* v = getenv("STRMD_SHM_NAME");
  return v != nullptr && v[0] != '\0' ? v : kDebugShmName;
}

bool DebugShmCreate(DebugShm* shm, const std::string& name, uint32_t periodMs) {
  shm->name = name;
  int fd = LockReportName(name);
  if (fd < 0 && errno == EWOULDBLOCK) {
    shm->held = true;
    shm->holder = HolderPid(name);
    errno = 0;
    if (shm->holder > 0)
      ReportError("the status report %s is held by strmd process %d, which is running; this server goes on "
                  "without a status report (STRMD_SHM_NAME gives it a name of its own)",
                  ShmPath(name).c_str(), static_cast<int>(shm->holder));
    else
      ReportError("the status report %s is held by another strmd, which is running; this server goes on "
                  "without a status report (STRMD_SHM_NAME gives it a name of its own)",
                  ShmPath(name).c_str());
    return false;
  }
  if (fd < 0 || fchmod(fd, 0640) != 0 || ftruncate(fd, kDebugBufferSize) != 0) {
    REPORT_ASSERT("mapfile", "ThreadDebug");
    if (fd >= 0) close(fd);
    return false;
  }
  // The descriptor stays open: its lock holds the name until this server ends.
  shm->lockFd = fd;
  void* p = mmap(nullptr, kDebugBufferSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) {
    REPORT_ASSERT("g_debugbuffer", "ThreadDebug");
    return false;
  }
  shm->text = static_cast<char*>(p);
  shm->text[0] = '\0';

  void* d = MapObject(name + kDebugDataSuffix, sizeof(DebugShared), true);
  if (d == nullptr) {
    // Readers still get the text, without the guard against torn reads.
    REPORT_ASSERT("shared", "ThreadDebug");
    return true;
  }
  shm->shared = static_cast<DebugShared*>(d);
  DebugShared* s = shm->shared;
  // Taken over from a server that may have died while writing: odd while
  // the header is set, then even.
  uint32_t odd = s->sequence.load() | 1u;
  s->sequence.store(odd);
  s->magic = kDebugMagic;
  s->version = kDebugVersion;
  s->pid = getpid();
  s->periodMs = periodMs;
  s->dataLength = 0;
  s->truncated = 0;
  s->data[0] = '\0';
  s->sequence.store(odd + 1, std::memory_order_release);
  return true;
}

void DebugPublish(DebugShm* shm, const DebugReport& report) {
  DebugShared* s = shm->shared;
  if (s != nullptr) {
    s->sequence.fetch_add(1, std::memory_order_acq_rel);  // odd: being rewritten
    std::atomic_thread_fence(std::memory_order_release);
  }
  memcpy(shm->text, report.text, kDebugBufferSize);
  if (s != nullptr) {
    memcpy(s->data, report.data, report.dataLength + 1);
    s->dataLength = static_cast<uint32_t>(report.dataLength);
    s->truncated = report.truncated ? 1 : 0;
    s->pid = getpid();
    s->sequence.fetch_add(1, std::memory_order_release);  // even: stands
  }
}

void DebugShmUnlink(DebugShm* shm) {
  if (shm->lockFd < 0) return;  // never this server's
  shm_unlink(shm->name.c_str());
  shm_unlink((shm->name + kDebugDataSuffix).c_str());
}

DebugRead DebugReadReport(const std::string& name, DebugSnapshot* snapshot, std::string* error) {
  const std::string path = ShmPath(name);
  std::unique_ptr<const char, void (*)(const char*)> text(
      static_cast<const char*>(MapObject(name, kDebugBufferSize, false)),
      [](const char* p) { if (p) munmap(const_cast<char*>(p), kDebugBufferSize); });
  if (!text) {
    int err = errno;
    if (err == ENOENT) {
      *error = "no strmd is running: there is no status report " + path;
      return DebugRead::kNotRunning;
    }
    if (err == EACCES || err == EPERM) {
      *error = "may not read the status report " + path + " (" + strerror(err) +
               "): only strmd's user and group may read it; run as root or as a member of strmd's group";
      return DebugRead::kNoAccess;
    }
    *error = "cannot read the status report " + path + ": " + strerror(err);
    return DebugRead::kFailed;
  }
  std::unique_ptr<const DebugShared, void (*)(const DebugShared*)> shared(
      static_cast<const DebugShared*>(MapObject(name + kDebugDataSuffix, sizeof(DebugShared), false)),
      [](const DebugShared* p) { if (p) munmap(const_cast<DebugShared*>(p), sizeof(DebugShared)); });

  auto copyText = [&] {
    size_t n = strnlen(text.get(), kDebugBufferSize - 1);
    snapshot->text.assign(text.get(), n);
  };
  if (!shared || shared->magic != kDebugMagic || shared->version != kDebugVersion) {
    // A text without its guard: take it as it stands.
    copyText();
    snapshot->hasData = false;
    return DebugRead::kOk;
  }
  // A report is rewritten in well under a millisecond every period: a few
  // hundred tries with short pauses always find a stable one unless the
  // writer died halfway, which the process check then tells.
  for (int attempt = 0; attempt < 500; ++attempt) {
    uint32_t before = shared->sequence.load(std::memory_order_acquire);
    if (before % 2 == 0) {
      copyText();
      uint32_t length = std::min<uint32_t>(shared->dataLength, kDebugDataSize - 1);
      snapshot->data.assign(shared->data, length);
      snapshot->pid = shared->pid;
      snapshot->periodMs = shared->periodMs;
      snapshot->truncated = shared->truncated != 0;
      std::atomic_thread_fence(std::memory_order_acquire);
      if (shared->sequence.load(std::memory_order_relaxed) == before) {
        snapshot->hasData = true;
        snapshot->sequence = before;
        if (!ProcessAlive(snapshot->pid)) {
          *error = "no strmd is running: the status report " + path + " was left by process " +
                   std::to_string(snapshot->pid) + ", which has ended";
          return DebugRead::kNotRunning;
        }
        return DebugRead::kOk;
      }
    }
    if (attempt >= 20) usleep(1000);
  }
  int32_t pid = shared->pid;
  if (!ProcessAlive(pid)) {
    *error = "no strmd is running: the status report " + path + " was left by process " + std::to_string(pid) +
             ", which has ended";
    return DebugRead::kNotRunning;
  }
  *error = "the status report " + path + " kept changing while it was read; try again";
  return DebugRead::kBusy;
}

int DebugMonitor() {
  const int processors = static_cast<int>(std::max(1L, sysconf(_SC_NPROCESSORS_ONLN)));
  const int periodMs = static_cast<int>(EnvNumber("STRMD_DEBUG_PERIOD_MS", kDebugPeriodMs, 1, 3600 * 1000));
#ifdef STRMD_TEST_HOOKS
  const double fakeCpu = EnvDouble("STRMD_DEBUG_FAKE_CPU");
#else
  const double fakeCpu = 0;
#endif
  const int limit = g_config.debugCpuLimit;
  const int admit = g_config.admitCpuPercent;
  if (admit > 0 && limit > 0 && admit >= limit) {
    errno = 0;
    ReportError("AdmitCpuPercent %d is not below DebugCpuLimit %d: the watchdog may end the server before it "
                "refuses new work",
                admit, limit);
  }
  DebugAdmitCounts reported;  // the refusals already in the error log

  DebugShm shm;
  const bool publishing = DebugShmCreate(&shm, DebugShmName(), static_cast<uint32_t>(periodMs));
  // A name another server holds leaves this one without a report, not
  // without its CPU watch.
  if (!publishing && !shm.held) return 1;
  // Built beside the shared text and copied over it in one step, so that a
  // reader never meets half a report; allocated once, not per period.
  auto report = std::make_unique<DebugReport>();
  while (!g_stopping) {
    std::this_thread::sleep_for(std::chrono::milliseconds(periodMs));
    double cpu = DebugBuildReport(report.get(), processors, fakeCpu);
    // Transcoding threads count toward admission, not toward the watchdog
    // (which ends the server for runaway connection threads).
    double admitCpu = cpu + double(DebugAdmitTakeWorkCpu()) / kDebugPeriodMs / 100 / processors;
    TestCpuFromFile(&admitCpu);
    DebugAdmitSet(admitCpu, admit);
    DebugAppendAdmission(report.get());
    // Refusals go to the error log once per period, not once per client.
    const DebugAdmitCounts refused = DebugAdmitRefused();
    if (refused.plays != reported.plays || refused.publishes != reported.publishes ||
        refused.connects != reported.connects) {
      errno = 0;
      ReportError("server busy: connection threads at %.2f%% of the machine (AdmitCpuPercent %d); refused in the "
                  "last period: %llu plays, %llu publishes, %llu connects",
                  admitCpu, admit, static_cast<unsigned long long>(refused.plays - reported.plays),
                  static_cast<unsigned long long>(refused.publishes - reported.publishes),
                  static_cast<unsigned long long>(refused.connects - reported.connects));
      reported = refused;
    }
    if (publishing) DebugPublish(&shm, *report);
    if (limit > 0 && cpu >= double(limit)) {
      ReportError("rtmp cpu %.2f%% aborting...", cpu);
      fflush(stderr);
      _exit(1);
    }
  }
  DebugShmUnlink(&shm);
  return 0;
}

void DebugMonitorStart() {
  std::thread([] { DebugMonitor(); }).detach();
}
