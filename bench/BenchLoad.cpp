// strmd-bench: the load generator. One epoll thread per core drives thousands
// of RTMP clients against one server and prints one JSON line of results per
// run; the server's CPU and memory are sampled from /proc meanwhile.
//
//   strmd-bench [options] vod N     N players of one recorded object
//   strmd-bench [options] live N    one publisher paced in real time, N players
//   strmd-bench [options] idle M    M connections that connect and stay
//
// Options: --port P --host H --app A --name STREAM --live-app A --live-name S
//   --flv FILE (the media the server plays; the publisher's source) --label L
//   --pid PID (server; its children are counted too) --db-pid PID
//   --stagger-ms 10 --inflight 200 --hold-s 10 --threads T --limit-s S
//   --no-media-s 8 (live: give up when no player got media by then)
//   --publish-name S (live: the publisher's name; default the --live-name)
//   --login SESSION (live: the publisher logs in with this web session and
//     enters --chat ID as a speaker before it publishes)
//   --player-session PREFIX (live: player i adds "&phpsessid=PREFIX<i>")
//   --shm NAME (the server's debug monitor: its highest CPU sum is reported)
//   --buffer-ms 3000 (players: the buffer length they announce before play)
//   --http (players play over HTTP-FLV: GET HTTP-PATH<app>/<name>.flv, a live
//     player's session as its PHPSESSID cookie; --http-path /strmd/)
//   --limit-s S (live: the publisher sends only the first S s of the clip)
//   --sidecar FILE (vod: watch the Opus sidecar the server makes beside the
//     file's index: when it is complete and the server's CPU until then;
//     --sidecar-wait-s 60 after the players ended)
//   --case NAME (a name for the row, copied into its JSON line)
//   --send-loops N, --relay-merge-ms MS (the server's settings, copied into
//     the JSON line so that the table can tell its rows apart)
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "server/ThreadDebug.h"  // the layout of the monitor's shared report only
#include "testclient/TestAmf.h"
#include "testclient/TestChunks.h"
#include "testclient/TestFlv.h"
#include "testclient/TestHandshake.h"

using namespace testclient;

namespace {

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
constexpr int64_t kMs = 1000000;
// An audio body's first byte: sound format 9 is the extended header browsers'
// Opus comes in; its packet type 0 the sequence start.
constexpr uint8_t kFlvSoundOpus = 9;
constexpr uint8_t kOpusSequenceStart = 0;

struct Options {
  std::string host = "127.0.0.1";
  int port = 1935;
  std::string app = "default";
  std::string name = "fileid=200";
  std::string liveApp = "live";
  std::string liveName = "bench";
  std::string flv;
  std::string label = "server";
  int pid = 0;
  int dbPid = 0;
  std::string scenario;
  int count = 0;
  int staggerMs = 10;
  int inflight = 200;
  int holdS = 10;
  int threads = 0;
  int limitS = 0;     // vod: stop players after this much media time (0: the whole file)
  int bufferMs = 3000;  // SetBufferLength of the players (what common command-line clients send)
  int noMediaS = 8;
  std::string publishName;  // empty: liveName
  std::string login;        // web session of the publisher
  int chat = 1;
  std::string playerSession;
  std::string shm;
  int warmupS = 20;
  int drainS = 60;  // soak: for connections to end once their clients left
  int scale = 1;
  std::string recordings;  // soak: the finished recordings' names go here
  bool http = false;       // players over HTTP-FLV
  std::string httpPath = "/strmd/";
  std::string sidecar;     // vod: the Opus sidecar to watch
  int sidecarWaitS = 60;
  std::string caseName;
  int sendLoops = -1;     // copied into the row when given
  int relayMergeMs = -1;
};
Options g_opt;

// ---- /proc sampling of the server ----

struct ProcSample {
  double cpuS = 0;   // user + system of the process and its children (threads included)
  long rssKiB = 0;
  int threads = 0;     // of the process and its children
  bool alive = false;  // the first process was there to read
};

std::vector<int> ProcFamily(int pid) {
  std::vector<int> family{pid};
  if (pid <= 0) return {};
  DIR* d = opendir("/proc");
  if (d == nullptr) return family;
  while (dirent* e = readdir(d)) {
    const int child = atoi(e->d_name);
    if (child <= 0 || child == pid) continue;
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", child);
    FILE* f = fopen(path, "r");
    if (f == nullptr) continue;
    char buf[1024];
    const size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    buf[n] = 0;
    const char* close = strrchr(buf, ')');
    int ppid = 0;
    if (close != nullptr && sscanf(close + 2, "%*c %d", &ppid) == 1 && ppid == pid) family.push_back(child);
  }
  closedir(d);
  return family;
}

ProcSample Sample(const std::vector<int>& pids) {
  ProcSample s;
  const double tick = double(sysconf(_SC_CLK_TCK));
  for (int pid : pids) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", pid);
    if (FILE* f = fopen(path, "r")) {
      char buf[2048];
      const size_t n = fread(buf, 1, sizeof buf - 1, f);
      fclose(f);
      buf[n] = 0;
      // Fields after the command (which may hold spaces): state is field 3,
      // utime and stime are fields 14 and 15.
      if (const char* close = strrchr(buf, ')')) {
        unsigned long utime = 0, stime = 0;
        if (sscanf(close + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) == 2) {
          s.cpuS += double(utime + stime) / tick;
          if (pid == pids.front()) s.alive = true;
        }
      }
    }
    snprintf(path, sizeof path, "/proc/%d/status", pid);
    if (FILE* f = fopen(path, "r")) {
      char line[256];
      while (fgets(line, sizeof line, f) != nullptr) {
        long kib = 0;
        int threads = 0;
        if (sscanf(line, "VmRSS: %ld", &kib) == 1) s.rssKiB += kib;
        if (sscanf(line, "Threads: %d", &threads) == 1) s.threads += threads;
      }
      fclose(f);
    }
  }
  return s;
}

// Context switches of the server's tasks, voluntary (it waited: a wake-up per
// message shows here) and involuntary. A task's counts go with it when it
// ends, so each task's last seen counts are kept: a thread that ended between
// two samples loses only what it did after the last one.
struct SwitchCounter {
  struct Counts {
    long voluntary = 0, involuntary = 0;
  };
  std::unordered_map<long, Counts> last;  // pid << 32 | tid: the task's counts when last seen
  std::unordered_map<long, Counts> base;  // at Start, for tasks already there

  void Read(const std::vector<int>& pids) {
    for (int pid : pids) {
      char path[64];
      snprintf(path, sizeof path, "/proc/%d/task", pid);
      DIR* d = opendir(path);
      if (d == nullptr) continue;
      while (dirent* e = readdir(d)) {
        const int tid = atoi(e->d_name);
        if (tid <= 0) continue;
        char file[96];
        snprintf(file, sizeof file, "/proc/%d/task/%d/status", pid, tid);
        FILE* f = fopen(file, "r");
        if (f == nullptr) continue;
        Counts c;
        bool got = false;
        char line[256];
        while (fgets(line, sizeof line, f) != nullptr) {
          got = sscanf(line, "voluntary_ctxt_switches: %ld", &c.voluntary) == 1 || got;
          sscanf(line, "nonvoluntary_ctxt_switches: %ld", &c.involuntary);
        }
        fclose(f);
        if (got) last[long(pid) << 32 | tid] = c;
      }
      closedir(d);
    }
  }
  void Start(const std::vector<int>& pids) {
    Read(pids);
    base = last;
  }
  Counts Since() const {
    Counts sum;
    for (const auto& [task, c] : last) {
      const auto b = base.find(task);
      sum.voluntary += c.voluntary - (b == base.end() ? 0 : b->second.voluntary);
      sum.involuntary += c.involuntary - (b == base.end() ? 0 : b->second.involuntary);
    }
    return sum;
  }
};

// The debug monitor's machine-readable report, read as `strmdctl status`
// reads it: copied between two equal, even sequence numbers.
class MonitorReader {
 public:
  explicit MonitorReader(const std::string& name) {
    if (name.empty()) return;
    const int fd = shm_open((name + kDebugDataSuffix).c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) return;
    void* at = mmap(nullptr, sizeof(DebugShared), PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (at != MAP_FAILED) shared_ = static_cast<const DebugShared*>(at);
  }
  ~MonitorReader() {
    if (shared_ != nullptr) munmap(const_cast<DebugShared*>(shared_), sizeof(DebugShared));
  }
  MonitorReader(const MonitorReader&) = delete;
  MonitorReader& operator=(const MonitorReader&) = delete;
  bool Open() const { return shared_ != nullptr; }
  // The CPU sum of the last period, percent of the machine; -1 when there is
  // no stable report (none yet, or being rewritten each time it was read).
  double Cpu() const {
    std::string data;
    if (!Snapshot(&data)) return -1;
    // The total record comes last: "total\tIN\tOUT\tCPU".
    const size_t at = data.rfind("total\t");
    if (at == std::string::npos || (at > 0 && data[at - 1] != '\n')) return 0;
    size_t field = at;
    for (int tabs = 0; tabs < 3 && field != std::string::npos; ++tabs) field = data.find('\t', field + 1);
    return field == std::string::npos ? -1 : strtod(data.c_str() + field + 1, nullptr);
  }
  // The RTMP connections the server still lists (the report is empty when
  // there are none); -1 when there is no stable report.
  int Connections() const {
    std::string data;
    if (!Snapshot(&data)) return -1;
    int n = 0;
    for (size_t at = 0; at < data.size();) {
      if (data.compare(at, 11, "connection\t") == 0) ++n;
      const size_t end = data.find('\n', at);
      if (end == std::string::npos) break;
      at = end + 1;
    }
    return n;
  }

 private:
  // The report's data as one consistent copy; false when there is none or it
  // was being rewritten each time it was read.
  bool Snapshot(std::string* data) const {
    if (shared_ == nullptr || shared_->magic != kDebugMagic) return false;
    for (int attempt = 0; attempt < 10; ++attempt) {
      const uint32_t before = shared_->sequence.load(std::memory_order_acquire);
      if (before % 2 != 0) continue;
      const size_t length = std::min<size_t>(shared_->dataLength, kDebugDataSize);
      data->assign(shared_->data, length);
      std::atomic_thread_fence(std::memory_order_acquire);
      if (shared_->sequence.load(std::memory_order_acquire) == before) return true;
    }
    return false;
  }

  const DebugShared* shared_ = nullptr;
};

double OwnCpuS() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// ---- shared state of one run ----

// Lateness and latency in tenths of a millisecond, -30 s .. +30 s.
constexpr int kHistOffset = 300000;
constexpr int kHistSize = 2 * kHistOffset + 1;

struct Histogram {
  std::vector<uint64_t> buckets = std::vector<uint64_t>(kHistSize, 0);
  uint64_t count = 0;
  int64_t minNs = INT64_MAX, maxNs = INT64_MIN;
  void Add(int64_t ns) {
    long b = long(ns / 100000) + kHistOffset;
    b = std::clamp<long>(b, 0, kHistSize - 1);
    ++buckets[size_t(b)];
    ++count;
    minNs = std::min(minNs, ns);
    maxNs = std::max(maxNs, ns);
  }
  void Merge(const Histogram& o) {
    for (size_t i = 0; i < buckets.size(); ++i) buckets[i] += o.buckets[i];
    count += o.count;
    minNs = std::min(minNs, o.minNs);
    maxNs = std::max(maxNs, o.maxNs);
  }
  double PercentileMs(double p) const {
    if (count == 0) return NAN;
    const uint64_t want = uint64_t(std::ceil(p / 100.0 * double(count)));
    uint64_t seen = 0;
    for (size_t i = 0; i < buckets.size(); ++i) {
      seen += buckets[i];
      if (seen >= want && seen > 0) return double(long(i) - kHistOffset) / 10.0;
    }
    return double(kHistOffset) / 10.0;
  }
};

constexpr size_t kSoakRoles = 16;  // at least Role::kRoleCount

struct Shared {
  std::atomic<int> done{0};        // clients that ended (finished or failed)
  std::atomic<int> connected{0};   // idle: connect results received
  std::atomic<int> failed{0};
  std::atomic<int> refused{0};     // turned away as busy (not failed)
  std::atomic<int> playing{0};     // play sent
  std::atomic<int> launched{0};    // idle: connections begun
  std::atomic<int> inflight{0};    // idle: begun and not yet connected
  std::atomic<bool> stop{false};
  std::atomic<bool> anyMedia{false};
  std::atomic<int64_t> firstStartNs{0};
  std::atomic<int64_t> lastConnectedNs{0};
  // live: when each publisher tag went out (0: not yet)
  std::vector<FlvTag> tags;
  uint32_t durationMs = 0;
  std::unique_ptr<std::atomic<int64_t>[]> sentAt;
  std::unordered_map<uint64_t, uint32_t> tagIndex;  // (type << 32 | timestamp) -> index
  std::atomic<bool> publisherGo{false};
  std::atomic<bool> publisherDone{false};
  std::atomic<int64_t> publishStartNs{0};
  std::string firstError;
  std::atomic<bool> haveError{false};
  // soak
  std::atomic<bool> soakSpawn{false};     // replace clients that ended
  std::atomic<bool> soakCloseAll{false};  // end every client now
  std::atomic<int> soakStarted[kSoakRoles] = {};  // by Role
  std::atomic<int> soakFailed[kSoakRoles] = {};
  std::mutex soakLock;  // guards the two lists below
  std::vector<std::string> soakFailures;  // the first few reasons
  std::vector<std::string> recordings;    // temp-folder names of finished recordings
};
Shared g;

void NoteError(const std::string& text) {
  bool expected = false;
  if (g.haveError.compare_exchange_strong(expected, true)) g.firstError = text;
}

// ---- one client ----

enum class Role {
  kPlayer, kLivePlayer, kPublisher, kIdle,
  // soak: normal clients, then hostile ones (never counted as failed)
  kSoakVod, kSoakRecorder, kSoakChat, kSoakPublisher, kSoakLivePlayer, kSoakIdle,
  kGarbage, kNoRead, kHalfSent, kFlood, kRoleCount
};
const char* const kRoleNames[] = {"player", "live player", "publisher", "idle", "vod", "recorder", "chat",
                                  "live publisher", "live player", "idle", "garbage", "never reads",
                                  "half-sent", "connect flood"};
static_assert(size_t(Role::kRoleCount) <= kSoakRoles);
bool Hostile(Role r) { return r >= Role::kGarbage; }
bool Soak(Role r) { return r >= Role::kSoakVod; }
enum class Phase { kConnecting, kHandshake, kAwaitS2, kConnectSent, kLoginSent, kCreateSent, kHttpHead, kActive, kDone };
constexpr double kLoginTransaction = 7;

struct BenchClient {
  Role role = Role::kPlayer;
  Phase phase = Phase::kConnecting;
  int fd = -1;
  int64_t startAt = 0;  // when to begin (scheduled clients)
  std::vector<uint8_t> in;
  std::vector<uint8_t> out;
  size_t outStart = 0;
  ChunkReader reader;
  FlvStreamReader flv;  // HTTP-FLV players: the answer's body
  uint32_t outChunk = kDefaultChunkSize;
  uint64_t bytesIn = 0, lastAck = 0, ackWindow = 0;
  uint32_t streamId = 0;
  int64_t beganAt = 0, playSentAt = 0, firstMediaAt = 0;
  bool openingSeen = false;  // the message after the first timestamp has come
  uint32_t firstTs = 0, lastTs = 0;
  uint64_t media = 0;
  bool complete = false;
  // live players
  long firstIdx = -1, lastIdx = -1;
  uint64_t matched = 0, unmatched = 0;
  uint64_t opusStarts = 0, opusFill = 0;  // HTTP-FLV: Opus the publisher did not send
  // publisher
  size_t nextTag = 0;
  int64_t publishAt = 0;  // 0 until the publisher may send
  int index = 0;          // live players: which of them (names its session)
  // soak
  int64_t tickAt = 0;  // the next scripted step (0: none)
  int step = 0;
  std::string session;     // web session it logs in with
  std::string streamName;  // what it plays or publishes
  uint32_t mediaLimitMs = 0;  // publishers: how much of the clip to send
  bool loggedIn = false;
};

// One kind of client and how many of it at once.
struct SoakSlot {
  Role role;
  int index;  // among the slots of its kind
  std::unique_ptr<BenchClient> client;
  int64_t respawnAt = 0;
  int generation = 0;
};

struct Worker {
  int epoll = -1;
  std::vector<std::unique_ptr<BenchClient>> clients;
  size_t nextScheduled = 0;
  Histogram late;      // vod lateness, live latency
  std::vector<double> startupMs;
  uint64_t media = 0;
  double playedMs = 0;
  int finished = 0;
  uint64_t expected = 0, received = 0, unmatched = 0;
  uint64_t opusStarts = 0, opusFill = 0;
  std::vector<uint8_t> buffer = std::vector<uint8_t>(256 * 1024);
  std::vector<uint8_t> joined;  // a client's leftover followed by what just arrived
  int64_t arrival = 0;
  BenchClient* publisher = nullptr;
  std::vector<SoakSlot> slots;  // soak
};

void Refused(Worker& w, BenchClient& c);

// The soak's scripted clients (defined with the soak below).
void SoakStatus(Worker& w, BenchClient& c, const std::string& code);
void SoakConnected(Worker& w, BenchClient& c);
void SoakLoggedIn(Worker& w, BenchClient& c);
void SoakStreamCreated(Worker& w, BenchClient& c);
void SoakHostileAfterHandshake(Worker& w, BenchClient& c);

void Close(Worker& w, BenchClient& c, bool failedClient, const std::string& why = "") {
  if (c.phase == Phase::kDone) return;
  if (c.fd >= 0) {
    epoll_ctl(w.epoll, EPOLL_CTL_DEL, c.fd, nullptr);
    close(c.fd);
    c.fd = -1;
  }
  if (c.role == Role::kIdle && c.phase != Phase::kActive) g.inflight.fetch_sub(1);
  c.phase = Phase::kDone;
  if (Hostile(c.role)) failedClient = false;  // the server may drop them as it likes
  if (Soak(c.role) && failedClient) {
    g.soakFailed[size_t(c.role)].fetch_add(1);
    std::lock_guard<std::mutex> guard(g.soakLock);
    if (g.soakFailures.size() < 20)
      g.soakFailures.push_back(std::string(kRoleNames[size_t(c.role)]) + " " + c.streamName + ": " + why);
  }
  if (failedClient) {
    g.failed.fetch_add(1);
    if (!why.empty()) NoteError(why);
  }
  if (c.role == Role::kPlayer) {
    if (c.media > 0) w.playedMs += double(c.lastTs - c.firstTs);
    const bool whole = g_opt.limitS > 0 ? c.lastTs >= uint32_t(g_opt.limitS) * 1000u
                                        : c.lastTs + 1000 >= g.durationMs;
    if (c.media > 0 && whole) ++w.finished;
  }
  if (c.role == Role::kLivePlayer && c.firstIdx >= 0) {
    w.expected += uint64_t(c.lastIdx - c.firstIdx + 1);
    w.received += c.matched;
    w.playedMs += double(c.lastTs - c.firstTs);
  }
  if (c.role == Role::kLivePlayer) {
    w.unmatched += c.unmatched;
    w.opusStarts += c.opusStarts;
    w.opusFill += c.opusFill;
  }
  if (c.role == Role::kPublisher) g.publisherDone = true;
  g.done.fetch_add(1);
  // Free what a finished client holds: thousands of them sit here until the end.
  std::vector<uint8_t>().swap(c.in);
  std::vector<uint8_t>().swap(c.out);
  c.reader = ChunkReader();
  c.flv = FlvStreamReader();
}

void Flush(Worker& w, BenchClient& c) {
  while (c.outStart < c.out.size() && c.fd >= 0) {
    const ssize_t n = send(c.fd, c.out.data() + c.outStart, c.out.size() - c.outStart, MSG_NOSIGNAL);
    if (n > 0) {
      c.outStart += size_t(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      if (errno == EAGAIN) return;
    } else {
      Close(w, c, true, std::string("send: ") + strerror(errno));
      return;
    }
  }
  if (c.outStart == c.out.size()) {
    c.out.clear();
    c.outStart = 0;
  }
}

void SendMessage(Worker& w, BenchClient& c, uint32_t channel, uint8_t type, uint32_t streamId, uint32_t ts,
                 std::span<const uint8_t> body) {
  ChunkWrite(c.out, channel, type, streamId, ts, body, c.outChunk);
  Flush(w, c);
}

void SendCommand(Worker& w, BenchClient& c, const std::vector<uint8_t>& body, uint32_t streamId = 0) {
  SendMessage(w, c, streamId == 0 ? 3 : 8, kMsgCommand, streamId, 0, body);
}

void Begin(Worker& w, BenchClient& c) {
  c.beganAt = NowNs();
  int64_t zero = 0;
  g.firstStartNs.compare_exchange_strong(zero, c.beganAt);
  c.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (c.fd < 0) {
    c.phase = Phase::kConnecting;
    Close(w, c, true, std::string("socket: ") + strerror(errno));
    return;
  }
  const int one = 1;
  setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(uint16_t(g_opt.port));
  inet_pton(AF_INET, g_opt.host.c_str(), &addr.sin_addr);
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
  ev.data.ptr = &c;
  if (connect(c.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 && errno != EINPROGRESS) {
    Close(w, c, true, std::string("connect: ") + strerror(errno));
    return;
  }
  epoll_ctl(w.epoll, EPOLL_CTL_ADD, c.fd, &ev);
  c.phase = Phase::kConnecting;
}

void SendHandshake(Worker& w, BenchClient& c) {
  // C0 and C1: version 3, time, zero, then random bytes (the plain handshake).
  const std::vector<uint8_t> c0c1 = HandshakePlainC0C1(3);
  c.out.insert(c.out.end(), c0c1.begin(), c0c1.end());
  c.phase = Phase::kHandshake;
  Flush(w, c);
}

void SendConnect(Worker& w, BenchClient& c) {
  const bool vodApp = c.role == Role::kPlayer || c.role == Role::kIdle || Soak(c.role);
  const std::string& app = vodApp ? g_opt.app : g_opt.liveApp;
  std::vector<uint8_t> b = amf::Body({
      amf::Str("connect"),
      amf::Num(1),
      amf::Obj({
          {"app", amf::Str(app)},
          {"flashVer", amf::Str("LNX 11,2,202,235")},
          {"tcUrl", amf::Str("rtmp://" + g_opt.host + ":" + std::to_string(g_opt.port) + "/" + app)},
          {"fpad", amf::Bool(false)},
          {"capabilities", amf::Num(15)},
          {"audioCodecs", amf::Num(3575)},
          {"videoCodecs", amf::Num(252)},
          {"videoFunction", amf::Num(1)},
          {"objectEncoding", amf::Num(0)}})});
  if (c.role == Role::kPublisher || c.role == Role::kSoakPublisher || c.role == Role::kSoakRecorder) {
    // Whole video frames in one chunk each: what a real encoder does.
    const uint8_t size[4] = {0, 0, 0x10, 0};
    SendMessage(w, c, 2, kMsgSetChunkSize, 0, 0, size);
    c.outChunk = 4096;
  }
  SendCommand(w, c, b);
  c.phase = Phase::kConnectSent;
}

// A stream name as one path segment: everything but unreserved characters
// percent-encoded.
std::string UrlEncode(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char ch : text) {
    const uint8_t b = uint8_t(ch);
    if (isalnum(b) || ch == '-' || ch == '_' || ch == '.' || ch == '~') {
      out += ch;
    } else {
      out += '%';
      out += kHex[b >> 4];
      out += kHex[b & 15];
    }
  }
  return out;
}

// An HTTP-FLV player: one GET on the RTMP port, as a browser's player sends
// it; a live player's web session goes in the cookie, as from a page of the
// web application.
void SendHttpGet(Worker& w, BenchClient& c) {
  const bool vod = c.role == Role::kPlayer;
  const std::string& app = vod ? g_opt.app : g_opt.liveApp;
  const std::string& name = vod ? g_opt.name : g_opt.liveName;
  std::string head = "GET " + g_opt.httpPath + app + "/" + UrlEncode(name) + ".flv HTTP/1.1\r\nHost: " + g_opt.host +
                     ":" + std::to_string(g_opt.port) + "\r\nUser-Agent: strmd-bench\r\nAccept: */*\r\n";
  if (!vod && !g_opt.playerSession.empty())
    head += "Cookie: PHPSESSID=" + g_opt.playerSession + std::to_string(c.index) + "\r\n";
  head += "\r\n";
  c.out.insert(c.out.end(), head.begin(), head.end());
  c.playSentAt = NowNs();
  c.phase = Phase::kHttpHead;
  g.playing.fetch_add(1);
  Flush(w, c);
}

// The answer's head: 200 starts the FLV body, 503 is a refusal as busy,
// anything else a failure. Returns the bytes of the head (0: not all there).
constexpr size_t kMaxHttpHead = 8192;

size_t HttpHead(Worker& w, BenchClient& c, std::span<const uint8_t> data) {
  const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
  const size_t end = text.find("\r\n\r\n");
  if (end == std::string_view::npos) {
    if (data.size() > kMaxHttpHead) Close(w, c, true, "HTTP answer head over 8 KiB");
    return 0;
  }
  const size_t space = text.find(' ');
  const int status = space == std::string_view::npos || space > end ? 0 : atoi(std::string(text.substr(space + 1, 3)).c_str());
  if (status == 200) {
    c.phase = Phase::kActive;
    return end + 4;
  }
  if (status == 503) {
    Refused(w, c);
    return 0;
  }
  // The status code comes as the body: enough to tell why.
  const std::string_view line = text.substr(0, text.find("\r\n"));
  const std::string_view body = text.substr(end + 4, 80);
  Close(w, c, true, std::string(line) + ": " + std::string(body.substr(0, body.find('\n'))));
  return 0;
}

uint32_t Be32(std::span<const uint8_t> b) {
  return b.size() < 4 ? 0 : uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
}

void SendCreateStream(Worker& w, BenchClient& c) {
  std::vector<uint8_t> b = amf::Body({amf::Str("createStream"), amf::Num(2), amf::Null()});
  SendCommand(w, c, b);
  c.phase = Phase::kCreateSent;
}

// A chat command: name, transaction 0, null, then the arguments.
void SendChat(Worker& w, BenchClient& c, std::string_view name, std::initializer_list<double> numbers,
              std::string_view text = {}) {
  std::vector<uint8_t> b = amf::Body({amf::Str(name), amf::Num(0), amf::Null()});
  if (!text.empty()) amf::Append(&b, amf::Str(text));
  for (double n : numbers) amf::Append(&b, amf::Num(n));
  SendCommand(w, c, b);
}

// Present in the room with audio and video; talkover lets several speakers
// of one room be heard at once.
void EnterChat(Worker& w, BenchClient& c, int chat) {
  SendChat(w, c, "chatConnectChat", {double(chat)});
  SendChat(w, c, "chatDeviceInfo", {1, 1, 1});
}

void OnMedia(Worker& w, BenchClient& c, const ChunkMessage& m) {
  if (m.size == 0) return;  // a marker, not media
  if (c.role == Role::kPublisher || c.role == Role::kIdle) return;
  if (Soak(c.role)) {
    ++c.media;
    return;
  }
  const int64_t now = w.arrival;
  g.anyMedia = true;
  if (c.media == 0) {
    c.firstMediaAt = now;
    c.firstTs = m.timestamp;
    if (c.role == Role::kPlayer) w.startupMs.push_back(double(now - c.playSentAt) / 1e6);
  }
  ++c.media;
  ++w.media;
  c.lastTs = std::max(c.lastTs, m.timestamp);
  if (c.role == Role::kPlayer) {
    // The opening (what has the first timestamp, and the one message after
    // it) is sent at once by design, ahead of its time: pacing is measured
    // on what follows, for both servers alike.
    if (m.timestamp != c.firstTs && !c.openingSeen) {
      c.openingSeen = true;
    } else if (m.timestamp != c.firstTs) {
      const int64_t due = c.firstMediaAt + int64_t(m.timestamp - c.firstTs) * kMs;
      w.late.Add(now - due);
    }
    if (g_opt.limitS > 0 && m.timestamp >= uint32_t(g_opt.limitS) * 1000u) Close(w, c, false);
    return;
  }
  // HTTP-FLV viewers get Opus in place of the Speex: a frame stands for the
  // Speex tag sent at its timestamp. Its sequence start, and the silence
  // that fills the speaker's pauses, were never sent: counted apart.
  const bool opus = m.type == kMsgAudio && !m.body.empty() && (m.body[0] >> 4) == kFlvSoundOpus;
  if (opus && (m.body[0] & 15) == kOpusSequenceStart) {
    ++c.opusStarts;
    return;
  }
  auto found = g.tagIndex.find(uint64_t(m.type) << 32 | m.timestamp);
  if (found == g.tagIndex.end()) {
    ++(opus ? c.opusFill : c.unmatched);
    return;
  }
  const long idx = long(found->second);
  const int64_t sent = g.sentAt[size_t(idx)].load(std::memory_order_acquire);
  if (sent == 0) {
    ++c.unmatched;
    return;
  }
  if (c.firstIdx < 0) c.firstIdx = idx;
  c.lastIdx = std::max(c.lastIdx, idx);
  ++c.matched;
  w.late.Add(now - sent);
}

// A server that refuses new work while busy says so in the description; such
// a client is counted apart from those that failed.
constexpr std::string_view kBusy = "server busy";

void Refused(Worker& w, BenchClient& c) {
  g.refused.fetch_add(1);
  Close(w, c, false);
}

void OnStatus(Worker& w, BenchClient& c, const amf::Node& info) {
  const std::string& code = info.Get("code").text;
  if (Soak(c.role)) return SoakStatus(w, c, code);
  const bool failed = code == "NetStream.Play.Failed" || code == "NetStream.Publish.Failed";
  if (failed && info.Get("description").text == kBusy) {
    Refused(w, c);
  } else if (code == "NetStream.Play.Complete" || code == "NetStream.Play.Stop") {
    if (c.role == Role::kPlayer && c.media > 0) {
      c.complete = true;
      Close(w, c, false);
    }
  } else if (code == "NetStream.Publish.Start") {
    if (c.role == Role::kPublisher) c.publishAt = 1;
  } else if (code.find("Failed") != std::string::npos || code.find("NotFound") != std::string::npos ||
             code.find("BadName") != std::string::npos || code.find("Rejected") != std::string::npos) {
    Close(w, c, true, code);
  }
}

// Logs in through the model command, as the web application's clients do.
void SendLogin(Worker& w, BenchClient& c, const std::string& session) {
  std::vector<uint8_t> b = amf::Body(
      {amf::Str("loadmodel"), amf::Num(kLoginTransaction), amf::Null(), amf::Str("phpsessid"), amf::Str(session)});
  SendCommand(w, c, b);
  c.phase = Phase::kLoginSent;
}

void OnMessage(Worker& w, BenchClient& c, const ChunkMessage& m) {
  if (c.phase == Phase::kDone) return;
  switch (m.type) {
    case kMsgSetChunkSize: {
      const uint32_t size = Be32(m.body) & kMaxChunkSize;
      if (size == 0) return Close(w, c, true, "chunk size 0");
      c.reader.SetChunkSize(size);
      return;
    }
    case kMsgWindowAck:
      c.ackWindow = Be32(m.body);
      return;
    case kMsgUserControl: {
      if (m.body.size() < 2) return;
      const int event = m.body[0] << 8 | m.body[1];
      if (event == 6 && m.body.size() >= 6) {
        // Ping request: answer with the same time, as players do.
        std::vector<uint8_t> pong = {0, 7};
        pong.insert(pong.end(), m.body.begin() + 2, m.body.begin() + 6);
        SendMessage(w, c, 2, kMsgUserControl, 0, 0, pong);
      } else if (event == 1 && c.role == Role::kPlayer && c.media > 0 && c.phase == Phase::kActive) {
        c.complete = true;  // stream EOF: the end of the recording
        Close(w, c, false);
      }
      return;
    }
    case kMsgAudio:
    case kMsgVideo:
      return OnMedia(w, c, m);
    case kMsgData:
    case kMsgCommand: {
      std::vector<amf::Node> v;
      if (!amf::Read(m.body, &v, nullptr, amf::kMaxReplyDepth) || v.empty()) return;
      const std::string& name = v[0].text;
      if (name == "onPlayStatus" && v.size() >= 2) return OnStatus(w, c, v[1]);
      if (m.type != kMsgCommand) return;
      if (name == "onStatus" && v.size() >= 4) return OnStatus(w, c, v[3]);
      if (name == "_error") {
        const std::string code = v.size() >= 4 ? v[3].Get("code").text : "";
        if (!Soak(c.role) && code == "NetConnection.Connect.Rejected" && v[3].Get("description").text == kBusy)
          return Refused(w, c);
        return Close(w, c, true, "_error " + code);
      }
      if (name != "_result" || v.size() < 2) return;
      if (c.phase == Phase::kConnectSent) {
        if (c.role == Role::kIdle) {
          c.phase = Phase::kActive;
          g.inflight.fetch_sub(1);
          g.connected.fetch_add(1);
          const int64_t now = NowNs();
          int64_t last = g.lastConnectedNs.load();
          while (now > last && !g.lastConnectedNs.compare_exchange_weak(last, now)) {
          }
          return;
        }
        if (Soak(c.role)) return SoakConnected(w, c);
        if (c.role == Role::kPublisher && !g_opt.login.empty()) {
          // A speaker: logged in through a model command, present in the
          // chat with its devices, allowed to talk over others.
          return SendLogin(w, c, g_opt.login);
        }
        SendCreateStream(w, c);
      } else if (c.phase == Phase::kLoginSent && v[1].number == kLoginTransaction) {
        if (v.size() < 4 || v[3].Get("userid").kind != amf::Kind::kNumber)
          return Close(w, c, true, "login refused for " + (Soak(c.role) ? c.session : g_opt.login));
        if (Soak(c.role)) return SoakLoggedIn(w, c);
        EnterChat(w, c, g_opt.chat);
        SendCreateStream(w, c);
      } else if (c.phase == Phase::kCreateSent && v.size() >= 4 && v[3].kind == amf::Kind::kNumber) {
        c.streamId = uint32_t(v[3].number);
        if (Soak(c.role)) return SoakStreamCreated(w, c);
        std::vector<uint8_t> b;
        if (c.role == Role::kPublisher) {
          b = amf::Body({amf::Str("publish"), amf::Num(0), amf::Null(),
                         amf::Str(g_opt.publishName.empty() ? g_opt.liveName : g_opt.publishName), amf::Str("live")});
          c.playSentAt = NowNs();
          SendCommand(w, c, b, c.streamId);
          c.phase = Phase::kActive;
          return;
        }
        // Buffer length first, as players do; some servers pace by it.
        const uint32_t ms = uint32_t(g_opt.bufferMs);
        const uint8_t buffer[10] = {0, 3, uint8_t(c.streamId >> 24), uint8_t(c.streamId >> 16),
                                    uint8_t(c.streamId >> 8), uint8_t(c.streamId), uint8_t(ms >> 24),
                                    uint8_t(ms >> 16), uint8_t(ms >> 8), uint8_t(ms)};
        SendMessage(w, c, 2, kMsgUserControl, 0, 0, buffer);
        b = amf::Body({amf::Str("play"), amf::Num(0), amf::Null()});
        if (c.role == Role::kPlayer) {
          amf::Append(&b, amf::Str(g_opt.name));
          amf::Append(&b, amf::Num(0));
        } else if (g_opt.playerSession.empty()) {
          amf::Append(&b, amf::Str(g_opt.liveName));
        } else {
          amf::Append(&b, amf::Str(g_opt.liveName + "&phpsessid=" + g_opt.playerSession + std::to_string(c.index)));
        }
        c.playSentAt = NowNs();
        SendCommand(w, c, b, c.streamId);
        c.phase = Phase::kActive;
        g.playing.fetch_add(1);
      }
      return;
    }
    default:
      return;
  }
}

// Handshake input; returns the bytes it took.
size_t Handshake(Worker& w, BenchClient& c, std::span<const uint8_t> data) {
  if (c.phase == Phase::kHandshake) {
    if (data.size() < 1 + kHandshakeSize) return 0;
    if (data[0] != 3) {
      Close(w, c, true, "handshake version " + std::to_string(data[0]));
      return 0;
    }
    // C2 echoes S1.
    c.out.insert(c.out.end(), data.begin() + 1, data.begin() + 1 + long(kHandshakeSize));
    Flush(w, c);
    c.phase = Phase::kAwaitS2;
    return 1 + kHandshakeSize;
  }
  if (data.size() < kHandshakeSize) return 0;
  if (c.role == Role::kGarbage || c.role == Role::kHalfSent) {
    SoakHostileAfterHandshake(w, c);
    return data.size();
  }
  SendConnect(w, c);
  return kHandshakeSize;
}

void ConsumeHttp(Worker& w, BenchClient& c, std::span<const uint8_t> data) {
  size_t pos = 0;
  if (c.phase == Phase::kHttpHead) pos = HttpHead(w, c, data);
  if (c.phase == Phase::kDone) return;
  if (c.phase == Phase::kActive) {
    const long used = c.flv.Feed(data.subspan(pos), [&](const ChunkMessage& m) {
      if (c.phase != Phase::kDone && (m.type == kMsgAudio || m.type == kMsgVideo)) OnMedia(w, c, m);
    });
    if (c.phase == Phase::kDone) return;
    if (used < 0) return Close(w, c, true, "malformed FLV stream");
    pos += size_t(used);
  }
  c.in.assign(data.begin() + long(pos), data.end());
}

void Consume(Worker& w, BenchClient& c, std::span<const uint8_t> data) {
  if (c.phase == Phase::kHttpHead || (g_opt.http && (c.role == Role::kPlayer || c.role == Role::kLivePlayer)))
    return ConsumeHttp(w, c, data);
  size_t pos = 0;
  while (pos < data.size() && (c.phase == Phase::kHandshake || c.phase == Phase::kAwaitS2)) {
    const size_t used = Handshake(w, c, data.subspan(pos));
    if (used == 0) break;
    pos += used;
  }
  if (c.phase == Phase::kDone || c.phase == Phase::kHandshake || c.phase == Phase::kAwaitS2) {
    if (c.phase != Phase::kDone) c.in.assign(data.begin() + long(pos), data.end());
    return;
  }
  const long used = c.reader.Feed(data.subspan(pos), [&](const ChunkMessage& m) { OnMessage(w, c, m); });
  if (c.phase == Phase::kDone) return;
  if (used < 0) return Close(w, c, true, "malformed chunk stream");
  pos += size_t(used);
  c.in.assign(data.begin() + long(pos), data.end());
  if (c.ackWindow > 0 && c.bytesIn - c.lastAck >= c.ackWindow / 2) {
    c.lastAck = c.bytesIn;
    const uint32_t seq = uint32_t(c.bytesIn);
    const uint8_t ack[4] = {uint8_t(seq >> 24), uint8_t(seq >> 16), uint8_t(seq >> 8), uint8_t(seq)};
    SendMessage(w, c, 2, kMsgAck, 0, 0, ack);
  }
}

void OnReadable(Worker& w, BenchClient& c) {
  for (;;) {
    if (c.phase == Phase::kDone) return;
    if (c.role == Role::kNoRead && c.phase == Phase::kActive) return;  // it stops reading once it plays
    const ssize_t n = recv(c.fd, w.buffer.data(), w.buffer.size(), 0);
    if (n > 0) {
      w.arrival = NowNs();
      c.bytesIn += uint64_t(n);
      std::span<const uint8_t> got(w.buffer.data(), size_t(n));
      if (c.in.empty()) {
        Consume(w, c, got);
      } else {
        w.joined.assign(c.in.begin(), c.in.end());
        w.joined.insert(w.joined.end(), got.begin(), got.end());
        Consume(w, c, w.joined);
      }
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return;
    // Closed by the server: the end for a player that got all its media.
    const bool whole = c.role == Role::kPlayer && c.media > 0 && c.lastTs + 1000 >= g.durationMs;
    const bool expected = whole || (c.role == Role::kLivePlayer && g.publisherDone);
    Close(w, c, !expected, n == 0 ? "closed by the server" : std::string("recv: ") + strerror(errno));
    return;
  }
}

void OnEvent(Worker& w, BenchClient& c, uint32_t events) {
  if (c.phase == Phase::kDone) return;
  if (c.phase == Phase::kConnecting) {
    int error = 0;
    socklen_t len = sizeof error;
    getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &error, &len);
    if (error != 0) return Close(w, c, true, std::string("connect: ") + strerror(error));
    if (!(events & EPOLLOUT)) return;
    if (c.role == Role::kFlood) {
      // Connected and gone, half of them after sending the version byte.
      if (c.index % 2 == 0) (void)!send(c.fd, "\x03", 1, MSG_NOSIGNAL);
      return Close(w, c, false);
    }
    if (g_opt.http && (c.role == Role::kPlayer || c.role == Role::kLivePlayer)) {
      SendHttpGet(w, c);
    } else {
      SendHandshake(w, c);
    }
  }
  if (events & EPOLLOUT) Flush(w, c);
  if (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) OnReadable(w, c);
}

// The publisher: every tag that is due goes out; returns when the next is due.
int64_t Publish(Worker& w, BenchClient& c, int64_t now) {
  if (c.phase != Phase::kActive) return INT64_MAX;
  if (!g.publisherGo) return now + 10 * kMs;
  // A server that never confirms the publish gets the media all the same
  // after a while: its players show whether it relays.
  if (c.publishAt == 0 && now - c.playSentAt < 3000 * kMs) return now + 10 * kMs;
  if (c.publishAt == 0) c.publishAt = 1;
  if (c.publishAt == 1) {
    c.publishAt = now;
    g.publishStartNs = now;
  }
  const uint32_t ts0 = g.tags.empty() ? 0 : g.tags[0].timestamp;
  while (c.nextTag < g.tags.size()) {
    const FlvTag& tag = g.tags[c.nextTag];
    if (g_opt.limitS > 0 && tag.timestamp - ts0 > uint32_t(g_opt.limitS) * 1000u) break;
    const int64_t due = c.publishAt + int64_t(tag.timestamp - ts0) * kMs;
    if (due > now) return due;
    g.sentAt[c.nextTag].store(NowNs(), std::memory_order_release);
    SendMessage(w, c, tag.type == kMsgAudio ? 4 : 6, tag.type, c.streamId, tag.timestamp, tag.data);
    if (c.phase == Phase::kDone) return INT64_MAX;
    ++c.nextTag;
  }
  Close(w, c, false);
  return INT64_MAX;
}

// ---- soak: a mixed load of scripted clients that are replaced as they end ----

std::mt19937& Random() {
  static thread_local std::mt19937 random(std::random_device{}());
  return random;
}
int64_t RandomMs(int lo, int hi) { return int64_t(std::uniform_int_distribution<int>(lo, hi)(Random())) * kMs; }

// How long a soak player waits for its first media, and a publisher for its
// NetStream.Publish.Start.
constexpr int64_t kSoakFirstMediaMs = 10000;

void SendStreamCommand(Worker& w, BenchClient& c, std::string_view name, std::initializer_list<double> numbers,
                       int flag = -1) {
  std::vector<uint8_t> b = amf::Body({amf::Str(name), amf::Num(0), amf::Null()});
  if (flag >= 0) amf::Append(&b, amf::Bool(flag != 0));
  for (double n : numbers) amf::Append(&b, amf::Num(n));
  SendCommand(w, c, b, c.streamId);
}

void SoakConnected(Worker& w, BenchClient& c) {
  switch (c.role) {
    case Role::kSoakIdle:
      c.phase = Phase::kActive;
      c.tickAt = NowNs() + RandomMs(10000, 20000);
      return;
    case Role::kSoakChat:
    case Role::kSoakPublisher:
      return SendLogin(w, c, c.session);
    default:
      return SendCreateStream(w, c);
  }
}

void SoakLoggedIn(Worker& w, BenchClient& c) {
  c.loggedIn = true;
  EnterChat(w, c, g_opt.chat);
  if (c.role == Role::kSoakChat) {
    c.phase = Phase::kActive;
    c.tickAt = NowNs() + RandomMs(200, 600);
    return;
  }
  SendCreateStream(w, c);
}

void SoakStreamCreated(Worker& w, BenchClient& c) {
  const bool publisher = c.role == Role::kSoakPublisher || c.role == Role::kSoakRecorder;
  std::vector<uint8_t> b =
      amf::Body({amf::Str(publisher ? "publish" : "play"), amf::Num(0), amf::Null(), amf::Str(c.streamName)});
  if (publisher) amf::Append(&b, amf::Str(c.role == Role::kSoakPublisher ? "live" : "record"));
  c.playSentAt = NowNs();
  SendCommand(w, c, b, c.streamId);
  c.phase = Phase::kActive;
  if (c.role == Role::kSoakVod || c.role == Role::kNoRead) c.tickAt = c.playSentAt + RandomMs(1000, 2000);
  if (c.role == Role::kSoakLivePlayer) c.tickAt = c.playSentAt + RandomMs(8000, 15000);
  // A publisher waits for its start; one that never hears it fails.
  if (publisher) c.tickAt = c.playSentAt + kSoakFirstMediaMs * kMs;
}

void SoakStatus(Worker& w, BenchClient& c, const std::string& code) {
  if (code == "NetStream.Publish.Start" && c.publishAt == 0) {
    c.publishAt = NowNs();
    c.tickAt = c.publishAt;
  } else if (code == "NetStream.Play.Complete" || code == "NetStream.Play.Stop") {
    // The end of the recording after a seek near it.
    if (c.role == Role::kSoakVod && c.step >= 1) Close(w, c, c.media == 0, "no media before the end");
  } else if (code.find("Failed") != std::string::npos || code.find("NotFound") != std::string::npos ||
             code.find("BadName") != std::string::npos || code.find("Rejected") != std::string::npos) {
    Close(w, c, true, code);
  }
}

void SoakHostileAfterHandshake(Worker& w, BenchClient& c) {
  // C2 is skipped: what follows S0+S1 is garbage or the start of a message
  // that never ends.
  c.phase = Phase::kActive;
  if (c.role == Role::kGarbage) {
    std::vector<uint8_t> junk(4096 + size_t(RandomMs(0, 4096) / kMs));
    for (uint8_t& b : junk) b = uint8_t(Random()());
    c.out.insert(c.out.end(), junk.begin(), junk.end());
    c.tickAt = NowNs() + 3000 * kMs;
  } else {
    // A handshake, then a command chunk announcing 200 bytes with 20 sent.
    std::vector<uint8_t> zero(kHandshakeSize, 0);
    c.out.insert(c.out.end(), zero.begin(), zero.end());
    const uint8_t head[12] = {0x03, 0, 0, 0, 0, 0, 200, kMsgCommand, 0, 0, 0, 0};
    c.out.insert(c.out.end(), head, head + sizeof head);
    for (int i = 0; i < 20; ++i) c.out.push_back(0x02);
    c.tickAt = NowNs() + RandomMs(5000, 12000);
  }
  Flush(w, c);
}

// Publishers: the tags that are due, up to the client's limit; then
// closeStream and, a moment later, the end of the connection.
void SoakPace(Worker& w, BenchClient& c, int64_t now) {
  const uint32_t ts0 = g.tags.empty() ? 0 : g.tags[0].timestamp;
  while (c.nextTag < g.tags.size() && c.step == 0) {
    const FlvTag& tag = g.tags[c.nextTag];
    if (tag.timestamp - ts0 > c.mediaLimitMs) break;
    const int64_t due = c.publishAt + int64_t(tag.timestamp - ts0) * kMs;
    if (due > now) {
      c.tickAt = due;
      return;
    }
    SendMessage(w, c, tag.type == kMsgAudio ? 4 : 6, tag.type, c.streamId, tag.timestamp, tag.data);
    if (c.phase == Phase::kDone) return;
    ++c.nextTag;
  }
  if (c.step == 0) {
    SendStreamCommand(w, c, "closeStream", {});
    c.step = 1;
    c.tickAt = now + RandomMs(300, 800);
    return;
  }
  if (c.role == Role::kSoakRecorder) {
    std::lock_guard<std::mutex> guard(g.soakLock);
    g.recordings.push_back(c.streamName + ".flv");
  }
  Close(w, c, false);
}

void SoakTick(Worker& w, BenchClient& c, int64_t now) {
  c.tickAt = 0;
  switch (c.role) {
    case Role::kSoakVod:
      // Seek, pause, resume, then leave.
      if (c.step == 0) {
        // A play answered late (a loaded machine, a sanitizer build) is no
        // failure; one that brings nothing for as long as a publisher may
        // wait for its start is.
        if (c.media == 0 && now - c.playSentAt < kSoakFirstMediaMs * kMs) {
          c.tickAt = now + 100 * kMs;
          return;
        }
        if (c.media == 0) return Close(w, c, true, "no media within 10 s of play");
        SendStreamCommand(w, c, "seek", {double(RandomMs(0, int(g.durationMs * 8 / 10)) / kMs)});
        c.tickAt = now + RandomMs(500, 1500);
      } else if (c.step == 1) {
        SendStreamCommand(w, c, "pause", {double(c.lastTs)}, 1);
        c.tickAt = now + RandomMs(500, 1500);
      } else if (c.step == 2) {
        SendStreamCommand(w, c, "pause", {double(c.lastTs)}, 0);
        c.tickAt = now + RandomMs(1000, 3000);
      } else {
        return Close(w, c, false);
      }
      ++c.step;
      return;
    case Role::kSoakRecorder:
    case Role::kSoakPublisher:
      if (c.publishAt == 0) return Close(w, c, true, "no NetStream.Publish.Start");
      return SoakPace(w, c, now);
    case Role::kSoakChat:
      // Three texts, then leave the room; a moment later the connection.
      if (c.step < 3) {
        SendChat(w, c, "chatSendText", {double(c.step)}, "soak text " + std::to_string(c.step) + " it's " + c.session);
        c.tickAt = now + RandomMs(200, 800);
      } else if (c.step == 3) {
        SendChat(w, c, "chatDisconnect", {});
        c.tickAt = now + RandomMs(200, 500);
      } else {
        return Close(w, c, false);
      }
      ++c.step;
      return;
    case Role::kSoakLivePlayer:
      // Whether media came depends on its publisher being on air.
      return Close(w, c, false);
    default:
      return Close(w, c, false);
  }
}

constexpr int kSoakPublishers = 3;
std::atomic<int> g_soakQuestion{0};

std::unique_ptr<BenchClient> SoakClient(Role role, int index, int generation) {
  auto c = std::make_unique<BenchClient>();
  c->role = role;
  c->index = generation;
  // Sessions soak-user-0 .. 499: users 2000 + i, members of the study
  // group, so that every kind has users of its own.
  auto session = [](int i) { return "soak-user-" + std::to_string(i); };
  switch (role) {
    case Role::kSoakVod:
    case Role::kNoRead:
      c->session = session(300 + index % 100);
      c->streamName = g_opt.name + "&phpsessid=" + c->session;
      break;
    case Role::kSoakRecorder:
      c->session = session(100 + index % 100);
      c->streamName = "phpsessid=" + c->session + "&questionid=" + std::to_string(g_soakQuestion.fetch_add(1) + 1);
      c->mediaLimitMs = uint32_t(RandomMs(1000, 4000) / kMs);
      break;
    case Role::kSoakChat:
      c->session = session(200 + index % 100);
      break;
    case Role::kSoakPublisher:
      c->session = session(index % kSoakPublishers);
      c->streamName = "channel=" + std::to_string(10 + index % kSoakPublishers);
      c->mediaLimitMs = g.durationMs;
      break;
    case Role::kSoakLivePlayer: {
      const int p = index % kSoakPublishers;
      c->session = session(400 + index % 100);
      c->streamName = "channel=" + std::to_string(10 + p) + "&userid=" + std::to_string(2000 + p) +
                      "&phpsessid=" + c->session;
      break;
    }
    default:
      break;
  }
  return c;
}

// Replaces the clients of ended slots and runs the steps that are due;
// returns when the next step is due.
int64_t SoakRun(Worker& w, std::vector<SoakSlot>& slots, int64_t now) {
  int64_t wake = now + 50 * kMs;
  const bool closeAll = g.soakCloseAll.load();
  for (SoakSlot& slot : slots) {
    BenchClient* c = slot.client.get();
    if (c != nullptr && c->phase != Phase::kDone) {
      if (closeAll) {
        Close(w, *c, false);
        continue;
      }
      if (c->startAt > 0 && c->fd < 0 && c->startAt <= now) {
        c->startAt = 0;
        g.soakStarted[size_t(c->role)].fetch_add(1);
        Begin(w, *c);
      } else if (c->tickAt > 0 && c->tickAt <= now) {
        SoakTick(w, *c, now);
      }
      if (c->phase != Phase::kDone) {
        if (c->startAt > 0) wake = std::min(wake, c->startAt);
        if (c->tickAt > 0) wake = std::min(wake, c->tickAt);
        continue;
      }
    }
    if (!g.soakSpawn || closeAll) continue;
    // Ended (or never begun): a new client of the kind after a pause; a
    // connect flood comes back at once, in bursts.
    if (slot.respawnAt == 0) {
      const bool burst = slot.role == Role::kFlood && (now / (5000 * kMs)) % 6 == 0;
      slot.respawnAt = now + (slot.role == Role::kFlood ? (burst ? RandomMs(20, 40) : RandomMs(500, 1000))
                                                        : RandomMs(100, 2000));
    }
    if (slot.respawnAt <= now) {
      slot.respawnAt = 0;
      slot.client = SoakClient(slot.role, slot.index, ++slot.generation);
      slot.client->startAt = now;
      wake = now;
    } else {
      wake = std::min(wake, slot.respawnAt);
    }
  }
  return wake;
}

bool SoakAllDone(const std::vector<SoakSlot>& slots) {
  for (const SoakSlot& slot : slots)
    if (slot.client != nullptr && slot.client->phase != Phase::kDone && slot.client->startAt == 0) return false;
  return true;
}

void RunWorker(Worker* wp) {
  Worker& w = *wp;
  std::vector<epoll_event> events(512);
  while (!g.stop) {
    int64_t now = NowNs();
    int64_t wake = now + 50 * kMs;
    if (g_opt.scenario == "soak") {
      wake = SoakRun(w, w.slots, now);
    } else if (g_opt.scenario == "idle") {
      // Keep up to `inflight` connections being set up at once.
      while (g.inflight.load() < g_opt.inflight) {
        const int i = g.launched.fetch_add(1);
        if (i >= g_opt.count) break;
        auto c = std::make_unique<BenchClient>();
        c->role = Role::kIdle;
        g.inflight.fetch_add(1);
        BenchClient& ref = *c;
        w.clients.push_back(std::move(c));
        Begin(w, ref);
      }
      if (g.launched.load() < g_opt.count) wake = now + 1 * kMs;
    } else {
      while (w.nextScheduled < w.clients.size() && w.clients[w.nextScheduled]->startAt <= now) {
        Begin(w, *w.clients[w.nextScheduled++]);
      }
      if (w.nextScheduled < w.clients.size()) wake = std::min(wake, w.clients[w.nextScheduled]->startAt);
      if (w.publisher != nullptr) wake = std::min(wake, Publish(w, *w.publisher, now));
    }
    const int64_t waitNs = std::max<int64_t>(0, wake - NowNs());
    const int timeout = int((waitNs + kMs - 1) / kMs);
    const int n = epoll_wait(w.epoll, events.data(), int(events.size()), timeout);
    for (int i = 0; i < n; ++i)
      OnEvent(w, *static_cast<BenchClient*>(events[size_t(i)].data.ptr), events[size_t(i)].events);
  }
  for (auto& c : w.clients) Close(w, *c, false);
}

void PrintUsage() {
  fprintf(stderr,
          "usage: strmd-bench [--port P] [--host H] [--app A] [--name S] [--live-app A] [--live-name S]\n"
          "                   [--flv FILE] [--label L] [--pid PID] [--db-pid PID] [--stagger-ms MS]\n"
          "                   [--inflight K] [--hold-s S] [--threads T] [--limit-s S] [--buffer-ms MS]\n"
          "                   [--no-media-s S]\n"
          "                   [--publish-name S] [--login SESSION] [--chat ID] [--player-session PREFIX]\n"
          "                   [--shm NAME] [--warmup-s S] [--drain-s S] [--scale K] [--recordings FILE]\n"
          "                   [--http] [--http-path P] [--sidecar FILE] [--sidecar-wait-s S] [--case NAME]\n"
          "                   [--send-loops N] [--relay-merge-ms MS]\n"
          "                   vod N | live N | idle M | soak SECONDS\n");
}

bool ParseOptions(int argc, char** argv) {
  std::vector<std::string> rest;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    auto number = [&](int* out) {
      std::string text;
      if (!value(&text)) return false;
      char* end = nullptr;
      const long v = strtol(text.c_str(), &end, 10);
      if (*end != 0 || v < 0 || v > 10000000) return false;
      *out = int(v);
      return true;
    };
    bool ok = true;
    if (a == "--host") ok = value(&g_opt.host);
    else if (a == "--port") ok = number(&g_opt.port);
    else if (a == "--app") ok = value(&g_opt.app);
    else if (a == "--name") ok = value(&g_opt.name);
    else if (a == "--live-app") ok = value(&g_opt.liveApp);
    else if (a == "--live-name") ok = value(&g_opt.liveName);
    else if (a == "--flv") ok = value(&g_opt.flv);
    else if (a == "--label") ok = value(&g_opt.label);
    else if (a == "--pid") ok = number(&g_opt.pid);
    else if (a == "--db-pid") ok = number(&g_opt.dbPid);
    else if (a == "--stagger-ms") ok = number(&g_opt.staggerMs);
    else if (a == "--inflight") ok = number(&g_opt.inflight);
    else if (a == "--hold-s") ok = number(&g_opt.holdS);
    else if (a == "--threads") ok = number(&g_opt.threads);
    else if (a == "--limit-s") ok = number(&g_opt.limitS);
    else if (a == "--buffer-ms") ok = number(&g_opt.bufferMs);
    else if (a == "--no-media-s") ok = number(&g_opt.noMediaS);
    else if (a == "--publish-name") ok = value(&g_opt.publishName);
    else if (a == "--login") ok = value(&g_opt.login);
    else if (a == "--chat") ok = number(&g_opt.chat);
    else if (a == "--player-session") ok = value(&g_opt.playerSession);
    else if (a == "--shm") ok = value(&g_opt.shm);
    else if (a == "--warmup-s") ok = number(&g_opt.warmupS);
    else if (a == "--drain-s") ok = number(&g_opt.drainS);
    else if (a == "--scale") ok = number(&g_opt.scale);
    else if (a == "--recordings") ok = value(&g_opt.recordings);
    else if (a == "--http") g_opt.http = true;
    else if (a == "--http-path") ok = value(&g_opt.httpPath);
    else if (a == "--sidecar") ok = value(&g_opt.sidecar);
    else if (a == "--sidecar-wait-s") ok = number(&g_opt.sidecarWaitS);
    else if (a == "--case") ok = value(&g_opt.caseName);
    else if (a == "--send-loops") ok = number(&g_opt.sendLoops);
    else if (a == "--relay-merge-ms") ok = number(&g_opt.relayMergeMs);
    else if (a.rfind("--", 0) == 0) ok = false;
    else rest.push_back(a);
    if (!ok) {
      fprintf(stderr, "strmd-bench: bad option %s\n", a.c_str());
      return false;
    }
  }
  if (rest.size() != 2 || (rest[0] != "vod" && rest[0] != "live" && rest[0] != "idle" && rest[0] != "soak"))
    return false;
  g_opt.scenario = rest[0];
  g_opt.count = atoi(rest[1].c_str());
  if (g_opt.count <= 0) return false;
  if (g_opt.scenario != "idle" && g_opt.flv.empty()) {
    fprintf(stderr, "strmd-bench: %s needs --flv (the media the server plays)\n", rest[0].c_str());
    return false;
  }
  return true;
}

// The Opus sidecar the server makes for browser players of a Speex file: an
// FLV whose first tag, a script tag "strmdOpusSource", has a "complete"
// boolean set once the whole file is done. -1: no such file (or not that
// layout yet), 0: being made, 1: complete.
int SidecarState(const std::string& path, long* bytes) {
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return -1;
  uint8_t head[512];
  const size_t n = fread(head, 1, sizeof head, f);
  fseek(f, 0, SEEK_END);
  *bytes = ftell(f);
  fclose(f);
  // FLV header (9), back pointer (4), the script tag's header (11), its body.
  if (n < 24 || memcmp(head, "FLV", 3) != 0 || head[13] != kMsgData) return -1;
  const size_t size = size_t(head[14]) << 16 | size_t(head[15]) << 8 | head[16];
  if (n < 24 + size) return -1;
  const std::string_view body(reinterpret_cast<const char*>(head + 24), size);
  const std::string_view key("\x00\x08" "complete\x01", 11);
  const size_t at = body.find(key);
  if (at == std::string_view::npos || at + key.size() >= body.size()) return -1;
  return body[at + key.size()] != 0 ? 1 : 0;
}

void RaiseFileLimit() {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur < rlim_t(g_opt.count) + 64)
    fprintf(stderr, "strmd-bench: only %lu file descriptors for %d clients\n",
            static_cast<unsigned long>(limit.rlim_cur), g_opt.count);
}

std::string Json(double v) {
  if (std::isnan(v) || std::isinf(v)) return "null";
  char buf[64];
  snprintf(buf, sizeof buf, "%.4g", v);
  return buf;
}

std::string Quote(const std::string& s) {
  std::string out = "\"";
  for (char ch : s) {
    if (ch == '"' || ch == '\\') out += '\\';
    if (uint8_t(ch) >= 0x20) out += ch;
  }
  return out + "\"";
}

double Median(std::vector<double> v, double p) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  const size_t i = std::min(v.size() - 1, size_t(std::ceil(p / 100.0 * double(v.size()))) - (p > 0 ? 1 : 0));
  return v[i];
}

// ---- soak: the run, sampled every second ----

struct ProcCounts {
  long rssKiB = 0;
  int fds = 0;
  int threads = 0;
  bool alive = false;
};

ProcCounts Counts(int pid) {
  ProcCounts p;
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/status", pid);
  if (FILE* f = fopen(path, "r")) {
    char line[256];
    while (fgets(line, sizeof line, f) != nullptr) {
      sscanf(line, "VmRSS: %ld", &p.rssKiB);
      sscanf(line, "Threads: %d", &p.threads);
      if (strncmp(line, "State:", 6) == 0) p.alive = strchr(line, 'Z') == nullptr;
    }
    fclose(f);
  }
  snprintf(path, sizeof path, "/proc/%d/fd", pid);
  if (DIR* d = opendir(path)) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++p.fds;
    closedir(d);
  }
  return p;
}

struct SoakPeaks {
  ProcCounts peak;
  void Add(const ProcCounts& p) {
    peak.rssKiB = std::max(peak.rssKiB, p.rssKiB);
    peak.fds = std::max(peak.fds, p.fds);
    peak.threads = std::max(peak.threads, p.threads);
  }
};

void PrintCounts(const char* when, const ProcCounts& p) {
  fprintf(stderr, "soak: %-26s RSS %7ld KiB  descriptors %5d  threads %4d\n", when, p.rssKiB, p.fds, p.threads);
}

// Every kind of client, `scale` times the few of each that a shared machine
// takes: slots are dealt to the workers in turn.
void SoakDeal(std::vector<Worker>& workers) {
  const std::pair<Role, int> kinds[] = {
      {Role::kSoakVod, 12},      {Role::kSoakRecorder, 4}, {Role::kSoakChat, 10},
      {Role::kSoakPublisher, kSoakPublishers}, {Role::kSoakLivePlayer, 15}, {Role::kSoakIdle, 20},
      {Role::kGarbage, 3},       {Role::kNoRead, 3},       {Role::kHalfSent, 3},
      {Role::kFlood, 4}};
  size_t next = 0;
  for (const auto& [role, count] : kinds) {
    const int n = role == Role::kSoakPublisher ? count : count * g_opt.scale;
    for (int i = 0; i < n; ++i) {
      SoakSlot slot{role, i, nullptr, 0, 0};
      workers[next++ % workers.size()].slots.push_back(std::move(slot));
    }
  }
}

// Ends every client and waits for the workers to see them all ended.
void SoakEndClients(std::vector<Worker>& workers) {
  g.soakSpawn = false;
  g.soakCloseAll = true;
  for (int i = 0; i < 100; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    bool all = true;
    for (Worker& w : workers) all = all && SoakAllDone(w.slots);
    if (all) break;
  }
  g.soakCloseAll = false;
}

int RunSoak(std::vector<Worker>& workers) {
  const int pid = g_opt.pid;
  if (pid <= 0) {
    fprintf(stderr, "strmd-bench: soak needs --pid\n");
    return 2;
  }
  MonitorReader monitor(g_opt.shm);
  SoakDeal(workers);
  std::vector<std::thread> pool;
  for (Worker& w : workers) pool.emplace_back(RunWorker, &w);
  bool serverGone = false;
  auto sample = [&](SoakPeaks* peaks) {
    const ProcCounts p = Counts(pid);
    if (!p.alive) serverGone = true;
    if (peaks != nullptr) peaks->Add(p);
    return p;
  };
  // A connection whose client has gone still finishes the command it was
  // in (each statement and wait in it has a bound of its own) before its
  // thread sees the close. Waits, within --drain-s, until the server's
  // status report lists no RTMP connection; returns how many it still
  // lists (-1: no report to ask) and sets how long that took.
  auto drainConnections = [&](double* waitedS) {
    const int64_t began = NowNs();
    int open = monitor.Connections();
    while (open != 0 && !serverGone && NowNs() - began < int64_t(g_opt.drainS) * 1000 * kMs) {
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      sample(nullptr);
      open = monitor.Connections();
      if (open < 0 && !monitor.Open()) break;
    }
    *waitedS = double(NowNs() - began) / 1e9;
    return open;
  };

  // Warm-up: every kind once, so that pools, caches and shared indexes the
  // server keeps exist before the baseline.
  g.soakSpawn = true;
  for (int i = 0; i < g_opt.warmupS * 10 && !serverGone; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (i % 10 == 0) sample(nullptr);
  }
  SoakEndClients(workers);
  double warmDrainS = 0;
  const int warmOpen = drainConnections(&warmDrainS);
  std::this_thread::sleep_for(std::chrono::milliseconds(3000));
  const ProcCounts start = sample(nullptr);
  if (warmOpen > 0)
    fprintf(stderr, "soak: %d connections of the warm-up still open after %.0f s\n", warmOpen, warmDrainS);
  PrintCounts("start (after warm-up)", start);
  for (auto& n : g.soakFailed) n = 0;  // the warm-up's own failures are listed, not counted twice
  const int warmFailures = int(g.soakFailures.size());

  // The load; RSS may grow during the first minute, not after it.
  SoakPeaks peaks, loadPeaks;
  peaks.Add(start);
  long firstMinuteRss = 0;
  int rssGrowthAt = -1;
  long rssGrowth = 0;
  double monitorPeak = -1;
  g.soakSpawn = true;
  const int seconds = g_opt.count;
  ProcCounts last = start;
  for (int t = 1; t <= seconds && !serverGone; ++t) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    last = sample(&peaks);
    loadPeaks.Add(last);
    monitorPeak = std::max(monitorPeak, monitor.Cpu());
    if (t <= 60) {
      firstMinuteRss = std::max(firstMinuteRss, last.rssKiB);
    } else if (last.rssKiB > firstMinuteRss + firstMinuteRss / 20 && last.rssKiB - firstMinuteRss > rssGrowth) {
      rssGrowth = last.rssKiB - firstMinuteRss;
      rssGrowthAt = t;
    }
    if (t % 30 == 0) {
      char when[64];
      snprintf(when, sizeof when, "at %d s", t);
      PrintCounts(when, last);
    }
  }
  const ProcCounts loaded = last;
  SoakEndClients(workers);
  // The clients are gone: once the server lists no connection, what is left
  // of their teardown (a recording's close, the web server's 5 s for an
  // ended session) ends within 15 s; without a status report the whole wait
  // is 30 s.
  double drainS = 0;
  const int stillOpen = drainConnections(&drainS);
  ProcCounts end = sample(&peaks);
  for (int i = 0; i < (stillOpen < 0 ? 30 : 15) && !serverGone && (end.fds > start.fds || end.threads > start.threads); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    end = sample(&peaks);
  }
  g.stop = true;
  for (auto& t : pool) t.join();

  PrintCounts("end of the load", loaded);
  PrintCounts("end (clients gone)", end);
  if (stillOpen >= 0) fprintf(stderr, "soak: the server listed %d connections %.1f s after the clients left\n", stillOpen, drainS);
  PrintCounts("peak", peaks.peak);
  fprintf(stderr, "soak: RSS at the end of the first minute (peak) %ld KiB\n", firstMinuteRss);
  if (monitorPeak >= 0) fprintf(stderr, "soak: debug monitor CPU sum peak %.2f %% of the machine\n", monitorPeak);
  int normalFailed = 0;
  std::string json = "{\"scenario\":\"soak\",\"seconds\":" + std::to_string(seconds) + ",\"clients\":{";
  for (size_t r = size_t(Role::kSoakVod); r < size_t(Role::kRoleCount); ++r) {
    const int started = g.soakStarted[r].load(), failed = g.soakFailed[r].load();
    if (!Hostile(Role(r))) normalFailed += failed;
    fprintf(stderr, "soak: %-15s %6d started  %4d failed%s\n", kRoleNames[r], started, failed,
            Hostile(Role(r)) ? " (hostile: not counted)" : "");
    json += std::string(r == size_t(Role::kSoakVod) ? "" : ",") + Quote(kRoleNames[r]) +
            ":{\"started\":" + std::to_string(started) + ",\"failed\":" + std::to_string(failed) + "}";
  }
  json += "}";
  {
    std::lock_guard<std::mutex> guard(g.soakLock);
    for (size_t i = 0; i < g.soakFailures.size(); ++i)
      fprintf(stderr, "soak: %s %s\n", int(i) < warmFailures ? "warm-up failure:" : "failure:", g.soakFailures[i].c_str());
    if (!g_opt.recordings.empty()) {
      if (FILE* f = fopen(g_opt.recordings.c_str(), "w")) {
        for (const std::string& name : g.recordings) fprintf(f, "%s\n", name.c_str());
        fclose(f);
      }
    }
    json += ",\"recordings\":" + std::to_string(g.recordings.size());
  }
  std::vector<std::string> problems;
  if (serverGone) problems.push_back("the server ended during the soak");
  if (rssGrowthAt >= 0)
    problems.push_back("RSS grew " + std::to_string(rssGrowth) + " KiB (more than 5 %) over the first minute's " +
                       std::to_string(firstMinuteRss) + " KiB, by " + std::to_string(rssGrowthAt) + " s");
  if (stillOpen > 0)
    problems.push_back(std::to_string(stillOpen) + " connections still open " + std::to_string(g_opt.drainS) +
                       " s after their clients left");
  if (end.fds > start.fds)
    problems.push_back("descriptors did not return: " + std::to_string(end.fds) + " after, " + std::to_string(start.fds) + " before");
  if (end.threads > start.threads)
    problems.push_back("threads did not return: " + std::to_string(end.threads) + " after, " + std::to_string(start.threads) + " before");
  if (normalFailed > 0) problems.push_back(std::to_string(normalFailed) + " normal clients failed");
  const auto counts = [](const ProcCounts& p) {
    return "{\"rss_kib\":" + std::to_string(p.rssKiB) + ",\"fds\":" + std::to_string(p.fds) +
           ",\"threads\":" + std::to_string(p.threads) + "}";
  };
  json += ",\"start\":" + counts(start) + ",\"loaded\":" + counts(loaded) + ",\"end\":" + counts(end) +
          ",\"peak\":" + counts(peaks.peak) + ",\"first_minute_rss_kib\":" + std::to_string(firstMinuteRss) +
          ",\"monitor_cpu_peak_pct\":" + Json(monitorPeak < 0 ? NAN : monitorPeak) +
          ",\"drain_s\":" + Json(stillOpen < 0 ? NAN : drainS) + ",\"open_after_drain\":" + std::to_string(stillOpen) +
          ",\"status\":" + Quote(problems.empty() ? "ok" : "failed") + "}";
  for (const std::string& p : problems) fprintf(stderr, "soak: FAILED: %s\n", p.c_str());
  printf("%s\n", json.c_str());
  fflush(stdout);
  return problems.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (!ParseOptions(argc, argv)) {
    PrintUsage();
    return 2;
  }
  RaiseFileLimit();
  const int threads = g_opt.threads > 0 ? g_opt.threads : int(std::max(1u, std::thread::hardware_concurrency()));
  if (!g_opt.flv.empty()) {
    g.tags = FlvReadTags(g_opt.flv, &g.durationMs);
    if (g.tags.empty()) {
      fprintf(stderr, "strmd-bench: no media tags in %s\n", g_opt.flv.c_str());
      return 1;
    }
    g.sentAt = std::make_unique<std::atomic<int64_t>[]>(g.tags.size());
    for (size_t i = 0; i < g.tags.size(); ++i) {
      g.sentAt[i] = 0;
      g.tagIndex.emplace(uint64_t(g.tags[i].type) << 32 | g.tags[i].timestamp, uint32_t(i));
    }
  }
  std::vector<int> family = ProcFamily(g_opt.pid);
  std::vector<int> db = g_opt.dbPid > 0 ? std::vector<int>{g_opt.dbPid} : std::vector<int>{};
  if (g_opt.pid > 0 && family.empty()) {
    fprintf(stderr, "strmd-bench: no process %d\n", g_opt.pid);
    return 1;
  }

  std::vector<Worker> workers(static_cast<size_t>(threads));
  for (Worker& w : workers) w.epoll = epoll_create1(EPOLL_CLOEXEC);
  if (g_opt.scenario == "soak") return RunSoak(workers);
  const int64_t start = NowNs() + 100 * kMs;
  const bool live = g_opt.scenario == "live";
  if (g_opt.scenario != "idle") {
    for (int i = 0; i < g_opt.count; ++i) {
      auto c = std::make_unique<BenchClient>();
      c->role = live ? Role::kLivePlayer : Role::kPlayer;
      c->index = i;
      c->startAt = start + int64_t(i) * g_opt.staggerMs * kMs;
      workers[size_t(i % threads)].clients.push_back(std::move(c));
    }
    if (live) {
      auto c = std::make_unique<BenchClient>();
      c->role = Role::kPublisher;
      c->startAt = start;
      workers[0].publisher = c.get();
      workers[0].clients.insert(workers[0].clients.begin(), std::move(c));
    }
  }
  const int total = g_opt.count + (live ? 1 : 0);

  const ProcSample before = Sample(family);
  SwitchCounter switches;
  switches.Start(family);
  const ProcSample dbBefore = Sample(db);
  // The generator shares the machine with the server: its own CPU shows when
  // it, not the server, was the limit.
  const double genBefore = OwnCpuS();
  const int64_t t0 = NowNs();
  std::vector<std::thread> pool;
  for (Worker& w : workers) pool.emplace_back(RunWorker, &w);

  double peakCpuPct = 0;
  long peakRss = before.rssKiB;
  int peakThreads = before.threads;
  MonitorReader monitor(g_opt.shm);
  if (!g_opt.shm.empty() && !monitor.Open())
    fprintf(stderr, "strmd-bench: no debug monitor report %s%s\n", g_opt.shm.c_str(), kDebugDataSuffix);
  double monitorPeak = -1;
  ProcSample last = before;
  int64_t lastAt = t0;
  auto sampleOnce = [&] {
    const ProcSample s = Sample(family);
    const int64_t now = NowNs();
    if (now > lastAt) peakCpuPct = std::max(peakCpuPct, 100.0 * (s.cpuS - last.cpuS) / (double(now - lastAt) / 1e9));
    peakRss = std::max(peakRss, s.rssKiB);
    peakThreads = std::max(peakThreads, s.threads);
    switches.Read(family);
    monitorPeak = std::max(monitorPeak, monitor.Cpu());
    last = s;
    lastAt = now;
    return s;
  };

  // live: the server's CPU over the publishing stretch (the clip in real time).
  ProcSample publishCpu, doneCpu;
  int64_t publishCpuAt = 0, doneCpuAt = 0;
  // vod --sidecar: when it appeared and was complete, the server's CPU then.
  int64_t sidecarSeenAt = 0, sidecarDoneAt = 0;
  long sidecarBytes = 0;
  bool sidecarAtStart = false, sidecarRemade = false;
  ProcSample sidecarCpu;
  if (!g_opt.sidecar.empty()) sidecarAtStart = SidecarState(g_opt.sidecar, &sidecarBytes) == 1;
  auto watchSidecar = [&] {
    if (g_opt.sidecar.empty()) return;
    if (sidecarAtStart) {
      // A complete sidecar of an unchanged file is played, not made again.
      if (!sidecarRemade && SidecarState(g_opt.sidecar, &sidecarBytes) != 1) sidecarRemade = true;
      return;
    }
    if (sidecarDoneAt != 0) return;
    const int state = SidecarState(g_opt.sidecar, &sidecarBytes);
    if (state >= 0 && sidecarSeenAt == 0) sidecarSeenAt = NowNs();
    if (state == 1) {
      sidecarCpu = Sample(family);
      sidecarDoneAt = NowNs();
    }
  };

  // The run: wait for its end, sampling the server once a second.
  double connectRate = NAN, idleCpuPct = NAN, rssPerConn = NAN;
  std::string status = "ok";
  const int64_t stagger = int64_t(g_opt.count) * g_opt.staggerMs * kMs;
  const double mediaS = g_opt.limitS > 0 ? std::min<double>(g_opt.limitS, g.durationMs / 1000.0) : g.durationMs / 1000.0;
  const int64_t deadline = t0 + stagger + int64_t((mediaS + 30) * 1e9) + (live ? 5000 * kMs : 0);
  if (g_opt.scenario == "idle") {
    const int64_t connectDeadline = t0 + 180000 * kMs;
    while (g.connected.load() + g.failed.load() + g.refused.load() < g_opt.count && NowNs() < connectDeadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      if ((NowNs() - lastAt) >= 1000 * kMs) sampleOnce();
    }
    const int64_t first = g.firstStartNs.load(), lastConn = g.lastConnectedNs.load();
    if (g.connected.load() > 0 && lastConn > first) connectRate = g.connected.load() / (double(lastConn - first) / 1e9);
    // Let the server settle, then measure the idle stretch.
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    const ProcSample idle0 = Sample(family);
    const int64_t idleAt = NowNs();
    for (int i = 0; i < g_opt.holdS * 10; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      if ((NowNs() - lastAt) >= 1000 * kMs) sampleOnce();
    }
    const ProcSample idle1 = sampleOnce();
    idleCpuPct = 100.0 * (idle1.cpuS - idle0.cpuS) / (double(NowNs() - idleAt) / 1e9);
    if (g.connected.load() > 0) rssPerConn = double(idle1.rssKiB - before.rssKiB) / g.connected.load();
    if (g.connected.load() + g.refused.load() < g_opt.count) status = "incomplete";
  } else {
    bool released = false;
    while (g.done.load() < total && NowNs() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(g_opt.sidecar.empty() ? 50 : 10));
      if ((NowNs() - lastAt) >= 1000 * kMs) sampleOnce();
      watchSidecar();
      if (live && publishCpu.alive == false && g.publishStartNs.load() > 0) {
        publishCpu = Sample(family);
        publishCpuAt = NowNs();
      }
      const int answered = g.playing.load() + g.failed.load() + g.refused.load();
      if (live && !released && (answered >= g_opt.count || NowNs() > t0 + stagger + 10000 * kMs)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        g.publisherGo = true;
        released = true;
      }
      if (live && released && !g.anyMedia && g.publishStartNs.load() > 0 &&
          NowNs() > g.publishStartNs.load() + int64_t(g_opt.noMediaS) * 1000 * kMs) {
        status = "no media";
        break;
      }
      if (live && g.publisherDone) {
        doneCpu = Sample(family);
        doneCpuAt = NowNs();
        std::this_thread::sleep_for(std::chrono::milliseconds(2000));
        break;
      }
    }
    if (g.done.load() < total && status == "ok" && !live) status = "timeout";
    if (live && !g.anyMedia) status = "no media";
    // The sidecar is made on a thread of its own: it may outlast the play.
    // One that has not appeared shortly after the players is not coming.
    if (!g_opt.sidecar.empty()) {
      const int64_t players = NowNs();
      while (!sidecarAtStart && sidecarDoneAt == 0 && NowNs() < players + (sidecarSeenAt == 0 ? 2000 : g_opt.sidecarWaitS * 1000) * kMs) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if ((NowNs() - lastAt) >= 1000 * kMs) sampleOnce();
        watchSidecar();
      }
    }
  }
  const ProcSample after = sampleOnce();
  const ProcSample dbAfter = Sample(db);
  const double wallS = double(NowNs() - t0) / 1e9;
  const double genCpuPct = 100.0 * (OwnCpuS() - genBefore) / wallS;
  g.stop = true;
  for (auto& t : pool) t.join();

  Histogram late;
  std::vector<double> startup;
  uint64_t media = 0, expected = 0, received = 0, unmatched = 0, opusStarts = 0, opusFill = 0;
  double playedMs = 0;
  int finished = 0;
  for (Worker& w : workers) {
    late.Merge(w.late);
    startup.insert(startup.end(), w.startupMs.begin(), w.startupMs.end());
    media += w.media;
    playedMs += w.playedMs;
    finished += w.finished;
    expected += w.expected;
    received += w.received;
    unmatched += w.unmatched;
    opusStarts += w.opusStarts;
    opusFill += w.opusFill;
    close(w.epoll);
  }
  // A server that ended during the run has no CPU figure: its threads' time
  // went with it.
  const bool ended = before.alive && !after.alive;
  if (ended && status == "ok") status = "server ended";
  const double cpuS = ended ? NAN : after.cpuS - before.cpuS;
  const double playerMinutes = playedMs / 60000.0;
  std::string json = "{\"server\":" + Quote(g_opt.label) + ",\"scenario\":" + Quote(g_opt.scenario) +
                     ",\"n\":" + std::to_string(g_opt.count) + ",\"status\":" + Quote(status) +
                     ",\"failed\":" + std::to_string(g.failed.load()) +
                     ",\"refused_busy\":" + std::to_string(g.refused.load()) + ",\"wall_s\":" + Json(wallS) +
                     ",\"cpu_s\":" + Json(cpuS) + ",\"peak_cpu_pct\":" + Json(peakCpuPct) +
                     ",\"peak_rss_kib\":" + std::to_string(peakRss) +
                     ",\"rss_before_kib\":" + std::to_string(before.rssKiB) +
                     ",\"threads_before\":" + std::to_string(before.threads) +
                     ",\"threads_peak\":" + std::to_string(peakThreads) +
                     ",\"generator_cpu_pct\":" + Json(genCpuPct) + ",\"generator_threads\":" + std::to_string(threads);
  if (!db.empty()) json += ",\"db_cpu_s\":" + Json(dbAfter.cpuS - dbBefore.cpuS);
  if (monitor.Open()) json += ",\"monitor_cpu_peak_pct\":" + Json(monitorPeak < 0 ? NAN : monitorPeak);
  if (g_opt.scenario != "idle") json += ",\"buffer_ms\":" + std::to_string(g_opt.bufferMs);
  if (g_opt.scenario != "idle") json += ",\"transport\":" + Quote(g_opt.http ? "http-flv" : "rtmp");
  if (!g_opt.caseName.empty()) json += ",\"case\":" + Quote(g_opt.caseName);
  if (g_opt.sendLoops >= 0) json += ",\"send_loops\":" + std::to_string(g_opt.sendLoops);
  if (g_opt.relayMergeMs >= 0) json += ",\"relay_merge_ms\":" + std::to_string(g_opt.relayMergeMs);
  if (g_opt.scenario != "idle") {
    // What the players cost the server beyond the CPU: its tasks' context
    // switches per player-minute, and its memory per admitted player (peak
    // less what it held before they came).
    const SwitchCounter::Counts sw = switches.Since();
    const int admitted = g_opt.count - g.refused.load();
    json += ",\"ctxt_voluntary\":" + std::to_string(sw.voluntary) +
            ",\"ctxt_involuntary\":" + std::to_string(sw.involuntary) +
            ",\"ctxt_per_player_minute\":" +
            Json(!ended && playerMinutes > 0 ? double(sw.voluntary + sw.involuntary) / playerMinutes : NAN) +
            ",\"rss_per_player_kib\":" + Json(admitted > 0 ? double(peakRss - before.rssKiB) / admitted : NAN);
  }
  if (!g_opt.sidecar.empty()) {
    // From the first player's connect on.
    const int64_t from = g.firstStartNs.load();
    json += ",\"sidecar_status\":" +
            Quote(sidecarRemade    ? "made again"
                  : sidecarAtStart ? "complete before"
                  : sidecarDoneAt  ? "complete"
                  : sidecarSeenAt  ? "unfinished"
                                   : "none") +
            ",\"sidecar_seen_s\":" + Json(sidecarSeenAt && !sidecarAtStart ? double(sidecarSeenAt - from) / 1e9 : NAN) +
            ",\"sidecar_complete_s\":" + Json(sidecarDoneAt && !sidecarAtStart ? double(sidecarDoneAt - from) / 1e9 : NAN) +
            ",\"sidecar_cpu_s\":" + Json(sidecarDoneAt && !sidecarAtStart ? sidecarCpu.cpuS - before.cpuS : NAN) +
            ",\"sidecar_bytes\":" + std::to_string(sidecarBytes);
  }
  if (g_opt.scenario == "vod") {
    // How early and how late messages came against their due time: a
    // message's lead is what it came before it (0 when it was late), its
    // lateness what it came after (0 when early); p99 and max of each.
    const bool any = late.count > 0;
    json += ",\"lead_p99_ms\":" + Json(any ? std::max(0.0, -late.PercentileMs(1)) : NAN) +
            ",\"lead_max_ms\":" + Json(any ? std::max(0.0, -double(late.minNs) / 1e6) : NAN) +
            ",\"lateness_p99_ms\":" + Json(any ? std::max(0.0, late.PercentileMs(99)) : NAN) +
            ",\"lateness_max_ms\":" + Json(any ? std::max(0.0, double(late.maxNs) / 1e6) : NAN);
    json += ",\"finished\":" + std::to_string(finished) + ",\"media_messages\":" + std::to_string(media) +
            ",\"player_minutes\":" + Json(playerMinutes) +
            ",\"cpu_per_player_minute\":" + Json(playerMinutes > 0 ? cpuS / playerMinutes : NAN) +
            ",\"startup_p50_ms\":" + Json(Median(startup, 50)) + ",\"startup_p99_ms\":" + Json(Median(startup, 99)) +
            ",\"late_p50_ms\":" + Json(late.PercentileMs(50)) + ",\"late_p99_ms\":" + Json(late.PercentileMs(99)) +
            ",\"late_max_ms\":" + Json(late.count ? double(late.maxNs) / 1e6 : NAN) +
            ",\"early_max_ms\":" + Json(late.count ? -double(late.minNs) / 1e6 : NAN) +
            ",\"late_p1_ms\":" + Json(late.PercentileMs(1));
  } else if (live) {
    json += ",\"media_messages\":" + std::to_string(media) + ",\"expected\":" + std::to_string(expected) +
            ",\"received\":" + std::to_string(received) +
            ",\"dropped\":" + std::to_string(expected > received ? expected - received : 0) +
            ",\"unmatched\":" + std::to_string(unmatched) + ",\"opus_starts\":" + std::to_string(opusStarts) +
            ",\"opus_fill\":" + std::to_string(opusFill) + ",\"player_minutes\":" + Json(playerMinutes) +
            ",\"cpu_per_player_minute\":" + Json(playerMinutes > 0 ? cpuS / playerMinutes : NAN) +
            ",\"latency_p50_ms\":" + Json(late.PercentileMs(50)) +
            ",\"latency_p99_ms\":" + Json(late.PercentileMs(99)) +
            ",\"latency_max_ms\":" + Json(late.count ? double(late.maxNs) / 1e6 : NAN);
    // What the channel costs per minute on air, whatever its viewers played.
    const bool stretch = publishCpu.alive && doneCpu.alive && doneCpuAt > publishCpuAt + 1000 * kMs;
    json += ",\"publish_s\":" + Json(stretch ? double(doneCpuAt - publishCpuAt) / 1e9 : NAN) +
            ",\"cpu_per_minute\":" +
            Json(stretch ? (doneCpu.cpuS - publishCpu.cpuS) / (double(doneCpuAt - publishCpuAt) / 60e9) : NAN);
  } else {
    json += ",\"connected\":" + std::to_string(g.connected.load()) + ",\"inflight\":" + std::to_string(g_opt.inflight) +
            ",\"connects_per_s\":" + Json(connectRate) +
            ",\"rss_per_conn_kib\":" + Json(rssPerConn) + ",\"idle_cpu_pct\":" + Json(idleCpuPct);
  }
  if (g.haveError) json += ",\"first_error\":" + Quote(g.firstError);
  json += "}";
  printf("%s\n", json.c_str());
  fflush(stdout);
  return 0;
}
