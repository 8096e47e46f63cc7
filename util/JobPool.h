// JobPool: a small bounded set of worker threads for work that waits
// (statements, fsync, file copies, index builds, the web notice), so that
// the threads that pace media never do. It knows nothing of clients.
//
// Work comes in per-owner queues (one per connection): a queue's jobs run one
// at a time, in the order submitted. Two kinds: the server's own work (plays,
// accounting, recording closes, web notices) and work that runs a client's
// SQL, which gets at most half of the workers, so that server work always
// finds a worker, and at most the job's per-address cap for the queue's
// address at a time.
//
// Results go back to the owner as posts (JobPostBox): the job appends a
// callable and signals the owner's wake descriptor; the owner's loop takes
// the posts and runs them on its own thread.
//
// Locks: the pool's lock, then a post box's lock; no job runs under either.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "util/ThreadSafety.h"

enum class JobKind { kServer, kClientSql };

struct JobQueue;
using JobQueuePtr = std::shared_ptr<JobQueue>;
JobQueuePtr JobQueueMake(std::string_view address);

constexpr int kDefaultJobWorkers = 4;
constexpr int kDefaultJobQueueMax = 1024;
constexpr size_t kJobsPerQueue = 16;       // waiting refusable jobs of one queue
// Client-SQL jobs of one address running at once, for a job that names no
// cap of its own (a client's jobs carry its site's sql_client_per_address).
constexpr int kJobClientSqlPerAddress = 2;

enum class JobAdmit { kQueued, kFull };
// Queues `run`. kFull (and nothing queued) only for a `mayRefuse` job, when
// JobQueueMax jobs wait in the pool or kJobsPerQueue in this queue; the caller
// then answers as a failure of that command does. A job that completes
// earlier work (accounting, a close) is never refused. Without a started
// pool the job runs at once on the calling thread (tools and unit tests).
// `perAddress` caps a kClientSql job: it starts only while fewer client-SQL
// jobs of the queue's address run (0: no cap but the half of the workers).
JobAdmit JobSubmit(const JobQueuePtr& queue, JobKind kind, bool mayRefuse, std::function<void()> run,
                   int perAddress = kJobClientSqlPerAddress);

// `workers` threads (at least 2, so that half of them is one); `queueMax`
// waiting jobs in all (at least 1).
void JobPoolStart(int workers, int queueMax);
// Lets the workers finish what is queued, for `limitMs` at most, and joins
// them. True when everything ran.
bool JobPoolStop(int limitMs);
bool JobPoolStarted();

// Tests: every job of the queue has run (false after `limitMs`), and the
// jobs of a kind running now.
bool JobPoolWaitIdle(const JobQueuePtr& queue, int limitMs);
int JobPoolRunning(JobKind kind);
// Refusable jobs refused since the start (tests).
uint64_t JobPoolRefused();

// The owner's side of results: callables run by the owner's thread, in the
// order posted. The box outlives whichever of the owner and its jobs ends
// last; a post to a closed box is dropped.
struct JobPostBox {
  Mutex lock;
  std::vector<std::function<void()>> posts GUARDED_BY(lock);
  int wakeFd GUARDED_BY(lock) = -1;  // eventfd of the owner's loop
  bool closed GUARDED_BY(lock) = false;
  std::condition_variable_any posted;  // for an owner that waits for posts without its loop
};
using JobPostBoxPtr = std::shared_ptr<JobPostBox>;
// False when the box is closed (the post is dropped).
bool JobPost(const JobPostBoxPtr& box, std::function<void()> post);
// Takes every post, oldest first.
std::vector<std::function<void()>> JobPostsTake(JobPostBox& box);
// Waits up to `limitMs` for a post; true when one is there.
bool JobPostsWait(JobPostBox& box, int limitMs);
// No post is taken after this; the wake descriptor is no longer signalled.
void JobPostsClose(JobPostBox& box);
