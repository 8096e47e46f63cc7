// The job pool: order within a queue, refusal only of refusable jobs when
// full, and the share of client-SQL work that keeps workers for the server.
// Jobs block on a latch the test opens; nothing sleeps.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "util/JobPool.h"

namespace {

// Jobs wait on it until the test opens it; the test waits on its counts.
struct Latch {
  std::mutex m;
  std::condition_variable cv;
  bool open = false;
  int started = 0;
  void Block() {
    std::unique_lock<std::mutex> lock(m);
    started++;
    cv.notify_all();
    cv.wait(lock, [&] { return open; });
  }
  void Open() {
    std::lock_guard<std::mutex> lock(m);
    open = true;
    cv.notify_all();
  }
  bool WaitStarted(int n) {
    std::unique_lock<std::mutex> lock(m);
    return cv.wait_for(lock, std::chrono::seconds(10), [&] { return started >= n; });
  }
};

class JobPoolTest : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_TRUE(JobPoolStop(10000)); }
};

TEST_F(JobPoolTest, EachQueueRunsItsJobsOneAtATimeInOrder) {
  JobPoolStart(8, 1000);
  constexpr int kJobs = 200;
  struct Seen {
    std::mutex m;
    std::vector<int> order;
    int inside = 0;
    bool overlapped = false;
  };
  std::vector<JobQueuePtr> queues;
  std::vector<Seen> seen(4);
  for (int q = 0; q < 4; ++q) queues.push_back(JobQueueMake("10.0.0." + std::to_string(q)));
  for (int i = 0; i < kJobs; ++i) {
    for (int q = 0; q < 4; ++q) {
      Seen* s = &seen[q];
      ASSERT_EQ(JobSubmit(queues[q], JobKind::kServer, false,
                          [s, i] {
                            {
                              std::lock_guard<std::mutex> lock(s->m);
                              if (s->inside++ != 0) s->overlapped = true;
                              s->order.push_back(i);
                            }
                            std::lock_guard<std::mutex> lock(s->m);
                            s->inside--;
                          }),
                JobAdmit::kQueued);
    }
  }
  for (int q = 0; q < 4; ++q) {
    ASSERT_TRUE(JobPoolWaitIdle(queues[q], 10000));
    std::lock_guard<std::mutex> lock(seen[q].m);
    EXPECT_FALSE(seen[q].overlapped) << q;
    ASSERT_EQ(seen[q].order.size(), static_cast<size_t>(kJobs));
    EXPECT_TRUE(std::is_sorted(seen[q].order.begin(), seen[q].order.end())) << q;
  }
}

TEST_F(JobPoolTest, AFullPoolRefusesOnlyRefusableJobs) {
  JobPoolStart(2, 6);
  Latch latch;
  JobQueuePtr a = JobQueueMake("a"), b = JobQueueMake("b"), c = JobQueueMake("c");
  // Both workers busy: everything else waits.
  ASSERT_EQ(JobSubmit(a, JobKind::kServer, true, [&] { latch.Block(); }), JobAdmit::kQueued);
  ASSERT_EQ(JobSubmit(b, JobKind::kServer, true, [&] { latch.Block(); }), JobAdmit::kQueued);
  ASSERT_TRUE(latch.WaitStarted(2));
  int ran = 0;
  std::mutex m;
  auto count = [&] {
    std::lock_guard<std::mutex> lock(m);
    ran++;
  };
  int admitted = 0;
  for (int i = 0; i < 10; ++i) admitted += JobSubmit(c, JobKind::kServer, true, count) == JobAdmit::kQueued;
  EXPECT_EQ(admitted, 6);  // JobQueueMax waiting jobs
  const uint64_t refusedBefore = JobPoolRefused();
  EXPECT_EQ(JobSubmit(a, JobKind::kServer, true, count), JobAdmit::kFull);
  EXPECT_EQ(JobPoolRefused(), refusedBefore + 1);
  // Completion work is never refused, however full.
  for (int i = 0; i < 5; ++i) EXPECT_EQ(JobSubmit(a, JobKind::kServer, false, count), JobAdmit::kQueued);
  latch.Open();
  for (const JobQueuePtr& q : {a, b, c}) ASSERT_TRUE(JobPoolWaitIdle(q, 10000));
  EXPECT_EQ(ran, 11);
  ASSERT_TRUE(JobPoolStop(10000));

  // One queue alone is capped at kJobsPerQueue waiting refusable jobs.
  JobPoolStart(2, 1000);
  Latch second;
  ASSERT_EQ(JobSubmit(a, JobKind::kServer, true, [&] { second.Block(); }), JobAdmit::kQueued);
  ASSERT_TRUE(second.WaitStarted(1));
  size_t queued = 0;
  for (size_t i = 0; i < kJobsPerQueue + 5; ++i) queued += JobSubmit(a, JobKind::kServer, true, [] {}) == JobAdmit::kQueued;
  EXPECT_EQ(queued, kJobsPerQueue);
  EXPECT_EQ(JobSubmit(b, JobKind::kServer, true, [] {}), JobAdmit::kQueued);  // another queue is not
  second.Open();
  ASSERT_TRUE(JobPoolWaitIdle(a, 10000));
}

TEST_F(JobPoolTest, ClientSqlKeepsToHalfTheWorkersAndItsPerAddressCapWhileServerWorkRuns) {
  // Four queues of one address and three of another, each with two jobs.
  // `running`: client-SQL jobs the pool starts at once; a cap of 0 leaves
  // only the half of the workers.
  struct Case {
    int workers, perAddress, running;
  };
  for (const Case& c : {Case{6, 2, 3}, Case{10, 3, 5}, Case{6, 1, 2}, Case{6, 0, 3}}) {
    SCOPED_TRACE(testing::Message() << c.workers << " workers, " << c.perAddress << " per address");
    JobPoolStart(c.workers, 1000);
    Latch latch;
    std::mutex m;
    int running = 0, most = 0;
    std::map<std::string, int> byAddress, mostByAddress;
    auto clientJob = [&](std::string address) {
      return [&, address] {
        {
          std::lock_guard<std::mutex> lock(m);
          most = std::max(most, ++running);
          mostByAddress[address] = std::max(mostByAddress[address], ++byAddress[address]);
        }
        latch.Block();
        std::lock_guard<std::mutex> lock(m);
        running--;
        byAddress[address]--;
      };
    };
    std::vector<JobQueuePtr> queues;
    std::vector<std::string> addresses;
    for (int i = 0; i < 7; ++i) {
      addresses.push_back(i < 4 ? "198.51.100.1" : "198.51.100.2");
      queues.push_back(JobQueueMake(addresses.back()));
    }
    for (int round = 0; round < 2; ++round)
      for (size_t i = 0; i < queues.size(); ++i)
        ASSERT_EQ(JobSubmit(queues[i], JobKind::kClientSql, true, clientJob(addresses[i]), c.perAddress),
                  JobAdmit::kQueued);
    // Not ASSERT: the jobs must be let go whatever the pool did.
    EXPECT_TRUE(latch.WaitStarted(c.running));
    EXPECT_EQ(JobPoolRunning(JobKind::kClientSql), c.running);
    // The share is full: server work still finds a worker.
    Latch server;
    JobQueuePtr plays = JobQueueMake("198.51.100.1");
    ASSERT_EQ(JobSubmit(plays, JobKind::kServer, false, [&] { server.Block(); }), JobAdmit::kQueued);
    ASSERT_EQ(JobSubmit(plays, JobKind::kServer, false, [&] { server.Block(); }), JobAdmit::kQueued);
    EXPECT_TRUE(server.WaitStarted(1));
    EXPECT_EQ(JobPoolRunning(JobKind::kServer), 1);  // its queue's second job waits for the first
    server.Open();
    ASSERT_TRUE(JobPoolWaitIdle(plays, 10000));
    latch.Open();
    for (const JobQueuePtr& q : queues) ASSERT_TRUE(JobPoolWaitIdle(q, 10000));
    ASSERT_TRUE(JobPoolStop(10000));
    std::lock_guard<std::mutex> lock(m);
    EXPECT_EQ(latch.started, 14);
    EXPECT_EQ(most, c.running);
    const int cap = c.perAddress > 0 ? c.perAddress : c.workers / 2;
    EXPECT_EQ(mostByAddress["198.51.100.1"], cap);  // the first address's four queues come first
    for (const auto& [address, n] : mostByAddress) EXPECT_LE(n, cap) << address;
  }
}

}  // namespace
