#include "util/JobPool.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <map>
#include <thread>
#include <utility>

struct JobQueue {
  std::string address;
  struct Job {
    JobKind kind;
    bool mayRefuse;
    std::function<void()> run;
    int perAddress;  // kClientSql: running jobs of the address it waits under (0: any)
  };
  // The fields below are the pool's (under g_pool.lock); the analysis cannot
  // name that lock from here.
  std::deque<Job> jobs;
  size_t refusable = 0;   // waiting jobs that may be refused
  bool running = false;   // a job of this queue runs now
  bool listed = false;    // in the pool's ready list
};

namespace {

struct Pool {
  Mutex lock;
  std::condition_variable_any changed;  // a job was queued or ended, or the pool stops
  std::vector<std::thread> workers GUARDED_BY(lock);
  bool started GUARDED_BY(lock) = false;
  bool stopping GUARDED_BY(lock) = false;
  int workerCount GUARDED_BY(lock) = 0;
  int queueMax GUARDED_BY(lock) = kDefaultJobQueueMax;
  size_t waiting GUARDED_BY(lock) = 0;  // jobs queued, not yet taken
  // Queues with a waiting head whose previous job ended, oldest first.
  std::deque<JobQueuePtr> ready GUARDED_BY(lock);
  int running[2] GUARDED_BY(lock) = {0, 0};
  std::map<std::string, int> clientSqlByAddress GUARDED_BY(lock);
  uint64_t refused GUARDED_BY(lock) = 0;
};

Pool g_pool;

int KindIndex(JobKind kind) { return kind == JobKind::kClientSql ? 1 : 0; }

// A client-SQL head runs only within its share; other queues go on meanwhile.
bool MayRun(const JobQueue& queue) REQUIRES(g_pool.lock) {
  const JobQueue::Job& head = queue.jobs.front();
  if (head.kind != JobKind::kClientSql) return true;
  if (g_pool.running[1] >= g_pool.workerCount / 2) return false;
  if (head.perAddress <= 0) return true;
  auto found = g_pool.clientSqlByAddress.find(queue.address);
  return found == g_pool.clientSqlByAddress.end() || found->second < head.perAddress;
}

void Worker() {
  UniqueLock<Mutex> lock(g_pool.lock);
  for (;;) {
    JobQueuePtr queue;
    for (auto it = g_pool.ready.begin(); it != g_pool.ready.end(); ++it) {
      if (MayRun(**it)) {
        queue = std::move(*it);
        g_pool.ready.erase(it);
        break;
      }
    }
    if (queue == nullptr) {
      if (g_pool.stopping && g_pool.waiting == 0) return;
      g_pool.changed.wait(lock);
      continue;
    }
    queue->listed = false;
    queue->running = true;
    JobQueue::Job job = std::move(queue->jobs.front());
    queue->jobs.pop_front();
    if (job.mayRefuse) queue->refusable--;
    g_pool.waiting--;
    const int kind = KindIndex(job.kind);
    g_pool.running[kind]++;
    if (job.kind == JobKind::kClientSql) g_pool.clientSqlByAddress[queue->address]++;
    lock.unlock();
    job.run();
    job.run = nullptr;  // what it captured goes before the next job of the queue
    lock.lock();
    g_pool.running[kind]--;
    if (job.kind == JobKind::kClientSql) {
      auto found = g_pool.clientSqlByAddress.find(queue->address);
      if (--found->second == 0) g_pool.clientSqlByAddress.erase(found);
    }
    queue->running = false;
    if (!queue->jobs.empty()) {
      queue->listed = true;
      g_pool.ready.push_back(queue);
    }
    g_pool.changed.notify_all();
  }
}

}  // namespace

JobQueuePtr JobQueueMake(std::string_view address) {
  auto queue = std::make_shared<JobQueue>();
  queue->address = std::string(address);
  return queue;
}

JobAdmit JobSubmit(const JobQueuePtr& queue, JobKind kind, bool mayRefuse, std::function<void()> run,
                   int perAddress) {
  {
    MutexLock lock(g_pool.lock);
    if (g_pool.started && !g_pool.stopping) {
      if (mayRefuse && (g_pool.waiting >= static_cast<size_t>(g_pool.queueMax) || queue->refusable >= kJobsPerQueue)) {
        g_pool.refused++;
        return JobAdmit::kFull;
      }
      queue->jobs.push_back({kind, mayRefuse, std::move(run), perAddress});
      if (mayRefuse) queue->refusable++;
      g_pool.waiting++;
      if (!queue->running && !queue->listed) {
        queue->listed = true;
        g_pool.ready.push_back(queue);
      }
      g_pool.changed.notify_all();
      return JobAdmit::kQueued;
    }
  }
  run();
  return JobAdmit::kQueued;
}

void JobPoolStart(int workers, int queueMax) {
  MutexLock lock(g_pool.lock);
  if (g_pool.started) return;
  g_pool.started = true;
  g_pool.stopping = false;
  g_pool.workerCount = std::max(workers, 2);
  g_pool.queueMax = std::max(queueMax, 1);
  for (int i = 0; i < g_pool.workerCount; ++i) g_pool.workers.emplace_back(Worker);
}

bool JobPoolStop(int limitMs) {
  std::vector<std::thread> workers;
  bool drained;
  {
    UniqueLock<Mutex> lock(g_pool.lock);
    if (!g_pool.started) return true;
    g_pool.stopping = true;
    g_pool.changed.notify_all();
    drained = g_pool.changed.wait_for(lock, std::chrono::milliseconds(limitMs), [] {
      g_pool.lock.AssertHeld();
      return g_pool.waiting == 0 && g_pool.running[0] == 0 && g_pool.running[1] == 0;
    });
    if (!drained) return false;  // the workers stay: a job still runs
    workers.swap(g_pool.workers);
  }
  for (std::thread& worker : workers) worker.join();
  MutexLock lock(g_pool.lock);
  g_pool.started = false;
  g_pool.stopping = false;
  return true;
}

bool JobPoolStarted() {
  MutexLock lock(g_pool.lock);
  return g_pool.started;
}

bool JobPoolWaitIdle(const JobQueuePtr& queue, int limitMs) {
  UniqueLock<Mutex> lock(g_pool.lock);
  return g_pool.changed.wait_for(lock, std::chrono::milliseconds(limitMs), [&] {
    g_pool.lock.AssertHeld();
    return queue->jobs.empty() && !queue->running;
  });
}

int JobPoolRunning(JobKind kind) {
  MutexLock lock(g_pool.lock);
  return g_pool.running[KindIndex(kind)];
}

uint64_t JobPoolRefused() {
  MutexLock lock(g_pool.lock);
  return g_pool.refused;
}

bool JobPost(const JobPostBoxPtr& box, std::function<void()> post) {
  MutexLock lock(box->lock);
  if (box->closed) return false;
  box->posts.push_back(std::move(post));
  if (box->wakeFd >= 0) {
    uint64_t one = 1;
    ssize_t n = write(box->wakeFd, &one, sizeof one);
    (void)n;
  }
  box->posted.notify_all();
  return true;
}

std::vector<std::function<void()>> JobPostsTake(JobPostBox& box) {
  std::vector<std::function<void()>> taken;
  MutexLock lock(box.lock);
  taken.swap(box.posts);
  return taken;
}

bool JobPostsWait(JobPostBox& box, int limitMs) {
  UniqueLock<Mutex> lock(box.lock);
  return box.posted.wait_for(lock, std::chrono::milliseconds(limitMs), [&] {
    box.lock.AssertHeld();
    return !box.posts.empty();
  });
}

void JobPostsClose(JobPostBox& box) {
  MutexLock lock(box.lock);
  box.closed = true;
  box.wakeFd = -1;
}
