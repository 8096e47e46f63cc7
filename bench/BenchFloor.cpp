// strmd-bench-floor: what sending a clip on time costs by itself, with no
// server around it. N loopback connections each get the clip's tags at their
// timestamps (players 10 ms apart, tags of one millisecond in one sendmsg),
// sent two ways:
//   threads: a thread per connection that arms a timerfd for its next tag,
//            waits in poll() on the socket and the timer, and sends: the
//            least a thread-per-connection server does per message;
//   loop:    one thread for all connections that sleeps to the earliest due
//            tag and sends every tag that is due: the least any server that
//            sends each message at its time does;
//   loop, batched: one thread for all connections that sends each player
//            everything due within the next L ms (the lead, what the
//            player's buffer allows) in one sendmsg once less than L/2 is
//            ahead: the least a server that sends ahead from a few loops
//            does. Measured once per lead of --lead-ms.
// The figure is the senders' CPU (their thread clocks) per player-minute, in
// the units of the load generator's scenarios, so that the table can set a
// server's figure beside the floor of its design. One JSON line.
//
// usage: strmd-bench-floor --flv CLIP [--seconds S] [--stagger-ms 10]
//                          [--lead-ms L[,L...]] N     (leads: default 1000)
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <queue>
#include <string>
#include <thread>
#include <vector>

#include "testclient/TestChunks.h"
#include "testclient/TestFlv.h"

namespace {

constexpr int64_t kMs = 1000000;
constexpr size_t kSenderStack = 128 * 1024;

int64_t NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

double ThreadCpuS() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// The clip as the sender sees it: runs of tags that share a millisecond, each
// run one sendmsg (a message header's worth of bytes in front of each tag).
struct Batch {
  uint32_t timestamp = 0;
  std::vector<iovec> parts;
};

std::vector<Batch> MakeBatches(const std::vector<testclient::FlvTag>& tags, uint32_t untilMs) {
  static uint8_t header[12];
  std::vector<Batch> batches;
  for (const testclient::FlvTag& tag : tags) {
    if (tag.timestamp > untilMs) break;
    if (tag.type != testclient::kMsgAudio && tag.type != testclient::kMsgVideo) continue;
    if (batches.empty() || batches.back().timestamp != tag.timestamp) batches.push_back({tag.timestamp, {}});
    batches.back().parts.push_back({header, sizeof header});
    batches.back().parts.push_back({const_cast<uint8_t*>(tag.data.data()), tag.data.size()});
  }
  return batches;
}

// A blocking send of the whole batch; false when the socket failed. The
// batch's own parts go out as they are: only a partial send, rare on
// loopback, copies the rest, so the floor carries no allocation per message.
bool SendBatch(int fd, const Batch& batch) {
  std::vector<iovec> left;
  const iovec* parts = batch.parts.data();
  size_t count = batch.parts.size();
  while (count > 0) {
    msghdr msg{};
    msg.msg_iov = const_cast<iovec*>(parts);
    msg.msg_iovlen = std::min<size_t>(count, IOV_MAX);
    ssize_t n = sendmsg(fd, &msg, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    size_t sent = size_t(n);
    while (count > 0 && sent >= parts->iov_len) {
      sent -= parts->iov_len;
      ++parts;
      --count;
    }
    if (sent > 0) {
      // Once copied, the rest stays in `left` and is trimmed there.
      if (left.empty()) {
        left.assign(parts, parts + count);
        parts = left.data();
      }
      iovec* first = left.data() + (parts - left.data());
      first->iov_base = static_cast<uint8_t*>(first->iov_base) + sent;
      first->iov_len -= sent;
    }
  }
  return true;
}

struct Pairs {
  std::vector<int> server, client;
  ~Pairs() {
    for (int fd : server) close(fd);
    for (int fd : client) close(fd);
  }
};

bool Connect(int n, Pairs* pairs) {
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  bool ok = listener >= 0 && bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
            listen(listener, SOMAXCONN) == 0 && getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
  for (int i = 0; ok && i < n; ++i) {
    int c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ok = c >= 0 && connect(c, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    if (c >= 0) pairs->client.push_back(c);
    int s = ok ? accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) : -1;
    ok = s >= 0;
    if (ok) {
      pairs->server.push_back(s);
      int one = 1;  // as a server sends media: each message at once
      setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      fcntl(c, F_SETFL, O_NONBLOCK);
    }
  }
  if (listener >= 0) close(listener);
  return ok;
}

// Reads and drops everything the clients receive until `stop`.
void Drain(const Pairs& pairs, const std::atomic<bool>& stop) {
  int ep = epoll_create1(EPOLL_CLOEXEC);
  for (int fd : pairs.client) {
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.fd = fd;
    epoll_ctl(ep, EPOLL_CTL_ADD, fd, &e);
  }
  std::vector<uint8_t> buf(256 * 1024);
  epoll_event events[256];
  while (!stop.load(std::memory_order_relaxed)) {
    int k = epoll_wait(ep, events, 256, 50);
    for (int j = 0; j < k; ++j)
      while (read(events[j].data.fd, buf.data(), buf.size()) > 0) {
      }
  }
  close(ep);
}

struct Result {
  double cpuS = 0;
  int64_t lateMaxNs = 0;
  uint64_t sends = 0;
  bool ok = true;
};

void ArmIn(int fd, int64_t ns) {
  itimerspec value{};
  ns = std::max<int64_t>(ns, 1);
  value.it_value.tv_sec = ns / 1000000000;
  value.it_value.tv_nsec = ns % 1000000000;
  timerfd_settime(fd, 0, &value, nullptr);
}

// One connection's thread: timer, poll, send, as a connection loop does.
void SendPerThread(int fd, const std::vector<Batch>& batches, int64_t start, Result* out) {
  const double cpu0 = ThreadCpuS();
  int timer = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
  for (const Batch& batch : batches) {
    const int64_t due = start + int64_t{batch.timestamp} * kMs;
    for (int64_t now = NowNs(); now < due; now = NowNs()) {
      ArmIn(timer, due - now);
      pollfd fds[2] = {{fd, POLLIN | POLLRDHUP, 0}, {timer, POLLIN, 0}};
      if (poll(fds, 2, -1) < 0 && errno != EINTR) break;
    }
    out->lateMaxNs = std::max(out->lateMaxNs, NowNs() - due);
    out->ok = SendBatch(fd, batch) && out->ok;
    ++out->sends;
  }
  close(timer);
  out->cpuS = ThreadCpuS() - cpu0;
}

// All connections from one thread: sleep to the earliest due batch, send
// every batch that is due.
void SendFromLoop(const Pairs& pairs, const std::vector<Batch>& batches, const std::vector<int64_t>& starts,
                  Result* out) {
  const double cpu0 = ThreadCpuS();
  using Due = std::pair<int64_t, size_t>;  // due time, connection
  std::priority_queue<Due, std::vector<Due>, std::greater<Due>> due;
  std::vector<size_t> next(pairs.server.size(), 0);
  for (size_t i = 0; i < starts.size(); ++i) due.push({starts[i] + int64_t{batches[0].timestamp} * kMs, i});
  while (!due.empty()) {
    const int64_t when = due.top().first;
    if (NowNs() < when) {
      timespec ts{time_t(when / 1000000000), long(when % 1000000000)};
      clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
      continue;
    }
    const size_t i = due.top().second;
    due.pop();
    out->lateMaxNs = std::max(out->lateMaxNs, NowNs() - when);
    out->ok = SendBatch(pairs.server[i], batches[next[i]]) && out->ok;
    ++out->sends;
    if (++next[i] < batches.size()) due.push({starts[i] + int64_t{batches[next[i]].timestamp} * kMs, i});
  }
  out->cpuS = ThreadCpuS() - cpu0;
}

// All connections from one thread, each sent its window of `leadMs` at a
// time: everything due within the lead in one sendmsg (more only past
// IOV_MAX parts), the next once less than half the lead is ahead.
void SendWindowsFromLoop(const Pairs& pairs, const std::vector<Batch>& batches, const std::vector<int64_t>& starts,
                         int64_t leadMs, Result* out) {
  const double cpu0 = ThreadCpuS();
  using Due = std::pair<int64_t, size_t>;  // wake time, connection
  std::priority_queue<Due, std::vector<Due>, std::greater<Due>> wake;
  std::vector<size_t> next(pairs.server.size(), 0);
  Batch window;
  for (size_t i = 0; i < starts.size(); ++i) wake.push({starts[i] + int64_t{batches[0].timestamp} * kMs - leadMs * kMs, i});
  while (!wake.empty()) {
    const int64_t when = wake.top().first;
    if (NowNs() < when) {
      timespec ts{time_t(when / 1000000000), long(when % 1000000000)};
      clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
      continue;
    }
    const size_t i = wake.top().second;
    wake.pop();
    const int64_t now = NowNs();
    const int64_t firstDue = starts[i] + int64_t{batches[next[i]].timestamp} * kMs;
    out->lateMaxNs = std::max(out->lateMaxNs, now - firstDue);
    window.parts.clear();
    size_t k = next[i];
    for (; k < batches.size() && starts[i] + int64_t{batches[k].timestamp} * kMs <= now + leadMs * kMs; ++k)
      window.parts.insert(window.parts.end(), batches[k].parts.begin(), batches[k].parts.end());
    out->ok = SendBatch(pairs.server[i], window) && out->ok;
    ++out->sends;
    next[i] = k;
    if (k < batches.size()) {
      const int64_t lastDue = starts[i] + int64_t{batches[k - 1].timestamp} * kMs;
      const int64_t nextDue = starts[i] + int64_t{batches[k].timestamp} * kMs;
      wake.push({std::max(lastDue - leadMs * kMs / 2, nextDue - leadMs * kMs), i});
    }
  }
  out->cpuS = ThreadCpuS() - cpu0;
}

enum class Mode { kThreads, kLoop, kWindows };

// One way of sending, over fresh connections; false when a socket failed.
bool Measure(Mode mode, int64_t leadMs, int n, int staggerMs, const std::vector<Batch>& batches, Result* total) {
  const bool perThread = mode == Mode::kThreads;
  Pairs pairs;
  if (!Connect(n, &pairs)) return false;
  std::atomic<bool> stop{false};
  std::thread drain(Drain, std::cref(pairs), std::cref(stop));
  const int64_t t0 = NowNs() + 200 * kMs;
  std::vector<int64_t> starts(n);
  for (int i = 0; i < n; ++i) starts[i] = t0 + int64_t(i) * staggerMs * kMs;
  std::vector<Result> results(perThread ? n : 1);
  if (perThread) {
    std::vector<pthread_t> threads;
    struct Job {
      int fd;
      const std::vector<Batch>* batches;
      int64_t start;
      Result* out;
    };
    std::vector<Job> jobs(n);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, kSenderStack);
    for (int i = 0; i < n; ++i) {
      jobs[i] = {pairs.server[i], &batches, starts[i], &results[i]};
      pthread_t t;
      auto body = [](void* arg) -> void* {
        auto* job = static_cast<Job*>(arg);
        SendPerThread(job->fd, *job->batches, job->start, job->out);
        return nullptr;
      };
      if (pthread_create(&t, &attr, body, &jobs[i]) != 0) {
        results[i].ok = false;
        continue;
      }
      threads.push_back(t);
    }
    pthread_attr_destroy(&attr);
    for (pthread_t t : threads) pthread_join(t, nullptr);
  } else if (mode == Mode::kLoop) {
    SendFromLoop(pairs, batches, starts, &results[0]);
  } else {
    SendWindowsFromLoop(pairs, batches, starts, leadMs, &results[0]);
  }
  stop = true;
  drain.join();
  for (const Result& r : results) {
    total->cpuS += r.cpuS;
    total->lateMaxNs = std::max(total->lateMaxNs, r.lateMaxNs);
    total->sends += r.sends;
    total->ok = total->ok && r.ok;
  }
  return total->ok;
}

}  // namespace

int main(int argc, char** argv) {
  std::string clip;
  long seconds = 0, staggerMs = 10, n = 0;
  std::vector<long> leads;
  bool leadsOk = true;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (i + 1 < argc && a == "--flv") clip = argv[++i];
    else if (i + 1 < argc && a == "--seconds") seconds = strtol(argv[++i], nullptr, 10);
    else if (i + 1 < argc && a == "--stagger-ms") staggerMs = strtol(argv[++i], nullptr, 10);
    else if (i + 1 < argc && a == "--lead-ms") {
      for (const char* p = argv[++i]; leadsOk;) {
        char* end = nullptr;
        const long lead = strtol(p, &end, 10);
        leadsOk = end != p && lead >= 0 && lead <= 60000 && leads.size() < 8 && (*end == 0 || *end == ',');
        if (leadsOk) leads.push_back(lead);
        if (!leadsOk || *end == 0) break;
        p = end + 1;
      }
    }
    else if (i == argc - 1) n = strtol(a.c_str(), nullptr, 10);
    else {
      fprintf(stderr, "strmd-bench-floor: bad option %s\n", a.c_str());
      return 2;
    }
  }
  if (clip.empty() || n < 1 || n > 20000 || seconds < 0 || staggerMs < 0 || staggerMs > 1000 || !leadsOk) {
    fprintf(stderr, "usage: strmd-bench-floor --flv CLIP [--seconds S] [--stagger-ms 10] [--lead-ms L[,L...]] N\n");
    return 2;
  }
  // strmd's default PlayAheadMs: the lead of a player that announces more.
  if (leads.empty()) leads.push_back(1000);
  uint32_t clipMs = 0;
  const std::vector<testclient::FlvTag> tags = testclient::FlvReadTags(clip, &clipMs);
  const uint32_t untilMs = seconds > 0 ? uint32_t(std::min<long>(seconds * 1000, clipMs)) : clipMs;
  const std::vector<Batch> batches = MakeBatches(tags, untilMs);
  if (batches.empty()) {
    fprintf(stderr, "strmd-bench-floor: no media tags in %s\n", clip.c_str());
    return 1;
  }
  Result threads, loop;
  std::vector<Result> windows(leads.size());
  bool ok = Measure(Mode::kThreads, 0, int(n), int(staggerMs), batches, &threads) &&
            Measure(Mode::kLoop, 0, int(n), int(staggerMs), batches, &loop);
  for (size_t i = 0; ok && i < leads.size(); ++i)
    ok = Measure(Mode::kWindows, leads[i], int(n), int(staggerMs), batches, &windows[i]);
  if (!ok) {
    fprintf(stderr, "strmd-bench-floor: a connection or a sender thread failed\n");
    return 1;
  }
  const double playerMinutes = double(n) * untilMs / 60000.0;
  std::string batched;
  for (size_t i = 0; i < leads.size(); ++i) {
    char item[256];
    snprintf(item, sizeof item,
             "%s{\"lead_ms\":%ld,\"cpu_per_player_minute\":%.4f,\"late_max_ms\":%.1f,\"sends_per_player\":%llu}",
             i == 0 ? "" : ",", leads[i], windows[i].cpuS / playerMinutes, windows[i].lateMaxNs / 1e6,
             static_cast<unsigned long long>(windows[i].sends / uint64_t(n)));
    batched += item;
  }
  printf("{\"server\":\"floor\",\"scenario\":\"floor\",\"n\":%ld,\"seconds\":%.1f,\"sends_per_player\":%llu,"
         "\"threads_cpu_per_player_minute\":%.4f,\"loop_cpu_per_player_minute\":%.4f,"
         "\"threads_late_max_ms\":%.1f,\"loop_late_max_ms\":%.1f,\"batched\":[%s]}\n",
         n, untilMs / 1000.0, static_cast<unsigned long long>(threads.sends / uint64_t(n)),
         threads.cpuS / playerMinutes, loop.cpuS / playerMinutes, threads.lateMaxNs / 1e6, loop.lateMaxNs / 1e6,
         batched.c_str());
  return 0;
}
