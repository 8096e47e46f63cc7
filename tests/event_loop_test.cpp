// The event loop: each due served once, in due order, never early or late;
// posts from many threads neither lost nor waking the loop more than once a
// pass; items kept alive while the loop holds them and dropped at the stop;
// a failed open or a broken wait still leaves a loop that serves.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/TestEnv.h"
#include "util/EventLoop.h"

namespace {

int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// What embeds an item, as a connection does; the loop's reference aliases it.
struct Owner {
  EventLoopItem item;
  int id = 0;
  std::multiset<int64_t> pending;    // the dues it asked for and has not been served for
  std::map<int64_t, int64_t> known;  // due -> the first pass at which the loop could know it
  int64_t servedInPass = -1;
};

EventLoopItemRef RefOf(const std::shared_ptr<Owner>& owner) { return EventLoopItemRef(owner, &owner->item); }

TEST(EventLoop, HeapServesEachDueOnceInDueOrder) {
  struct Case {
    int items, postsPerMs, followUpPercent, steps;
  };
  const Case cases[] = {{1, 1, 50, 300}, {7, 3, 30, 1000}, {300, 20, 40, 1500}, {1000, 5, 0, 500}};
  for (const Case& c : cases) {
    SCOPED_TRACE("items " + std::to_string(c.items));
    EventLoop loop;
    ASSERT_TRUE(EventLoopOpen(&loop));
    loop.role.Assume();
    std::mt19937 random(static_cast<uint32_t>(c.items));
    std::vector<std::shared_ptr<Owner>> owners;
    for (int i = 0; i < c.items; ++i) {
      owners.push_back(std::make_shared<Owner>());
      owners.back()->id = i;
      owners.back()->item.owner = owners.back().get();
    }
    int64_t now = 0, passKey = 0;
    uint64_t asked = 0, servedDues = 0;
    loop.serve = [&](EventLoopItem& item, int64_t at) -> int64_t {
      Owner& o = *static_cast<Owner*>(item.owner);
      EXPECT_EQ(at, now);
      EXPECT_NE(o.servedInPass, now) << "item " << o.id << " served twice in the pass at " << now;
      o.servedInPass = now;
      EXPECT_FALSE(o.pending.empty()) << "item " << o.id << " served with nothing asked";
      if (o.pending.empty()) return kEventLoopNever;
      const int64_t key = *o.pending.begin();
      EXPECT_LE(key, at) << "item " << o.id << " served before its due";
      EXPECT_GE(key, passKey) << "item " << o.id << " served out of due order";
      passKey = key;
      while (!o.pending.empty() && *o.pending.begin() <= at) {
        o.known.erase(*o.pending.begin());
        o.pending.erase(o.pending.begin());
        servedDues++;
      }
      // Some ask again: at once (the next pass), or later.
      if (static_cast<int>(random() % 100) < c.followUpPercent) {
        const int64_t due = at + static_cast<int64_t>(random() % 4 == 0 ? 0 : random() % 20);
        o.pending.insert(due);
        o.known.emplace(due, at + 1);
        asked++;
      }
      return o.pending.empty() ? kEventLoopNever : *o.pending.begin();
    };
    auto checkNoneLate = [&] {
      for (auto& o : owners)
        for (auto& [due, knownAt] : o->known)
          ASSERT_GT(std::max(due, knownAt), now) << "item " << o->id << " due " << due << " not served by " << now;
    };
    for (now = 1; now <= c.steps + 100; ++now) {
      // Posts between passes, due from a little in the past to later, on
      // items scheduled or not; the last 100 steps only drain.
      for (int p = 0; now <= c.steps && p < c.postsPerMs; ++p) {
        auto& o = owners[random() % owners.size()];
        const int64_t due = now - 3 + static_cast<int64_t>(random() % 40);
        o->pending.insert(due);
        o->known.emplace(due, now);
        asked++;
        EventLoopPost(&loop, RefOf(o), due);
      }
      passKey = 0;
      EventLoopPass(&loop, now);
      checkNoneLate();
    }
    for (auto& o : owners) EXPECT_TRUE(o->pending.empty()) << "item " << o->id;
    EXPECT_EQ(servedDues, asked);
    EXPECT_TRUE(loop.heap.empty());
  }
}

// An item shared by the posters: the sequence of its last post, and the
// sequence the loop saw when it last served it.
struct Shared {
  EventLoopItem item;
  std::atomic<uint64_t> posted{0};
  std::atomic<uint64_t> seen{0};
};

// A loop on its own thread with the real clock; serves each item once.
struct StartedLoop {
  bool Start() {
    marker->item.owner = marker.get();
    loop.now = SteadyMs;
    loop.serve = [this](EventLoopItem& item, int64_t) -> int64_t {
      auto* s = static_cast<Shared*>(item.owner);
      s->seen.store(s->posted.load());
      if (s == marker.get()) {
        std::lock_guard<std::mutex> lock(m);
        cv.notify_all();
      }
      return kEventLoopNever;
    };
    return EventLoopStart(&loop, "test-loop");
  }
  ~StartedLoop() { EventLoopStop(&loop); }
  // `posted` counts the posts due at once; a later due only reschedules.
  void Post(const std::shared_ptr<Shared>& s, int64_t due = 0) {
    if (due == 0) s->posted.fetch_add(1);
    EventLoopPost(&loop, EventLoopItemRef(s, &s->item), due);
  }
  // Twice a round trip through the loop: the pass that served the first
  // marker has ended (with every item it took) once the second is served.
  bool Fence() {
    for (int i = 0; i < 2; ++i) {
      Post(marker);
      std::unique_lock<std::mutex> lock(m);
      if (!cv.wait_for(lock, std::chrono::seconds(10), [&] { return marker->seen.load() == marker->posted.load(); }))
        return false;
    }
    return true;
  }
  EventLoop loop;
  std::shared_ptr<Shared> marker = std::make_shared<Shared>();
  std::mutex m;
  std::condition_variable cv;
};

TEST(EventLoop, ManyPostersWakeTheLoopOncePerPassAndNoPostIsLost) {
  StartedLoop started;
  ASSERT_TRUE(started.Start());
  EventLoop& loop = started.loop;
  std::vector<std::shared_ptr<Shared>> items;
  for (int i = 0; i < 100; ++i) {
    items.push_back(std::make_shared<Shared>());
    items.back()->item.owner = items.back().get();
  }
  std::vector<std::thread> posters;
  for (int t = 0; t < 4; ++t)
    posters.emplace_back([&, t] {
      // Every third post is due in an hour: a post due at once that meets it
      // on the ready list must still bring the item forward.
      for (int i = 0; i < 10000; ++i)
        started.Post(items[(static_cast<size_t>(i) * 7 + static_cast<size_t>(t)) % items.size()],
                     i % 3 == 2 ? SteadyMs() + 3600 * 1000 : 0);
    });
  for (auto& p : posters) p.join();
  ASSERT_TRUE(started.Fence());
  for (size_t i = 0; i < items.size(); ++i) EXPECT_EQ(items[i]->seen.load(), items[i]->posted.load()) << "item " << i;
  EXPECT_LE(loop.stats.wakes.load(), loop.stats.passes.load() + 2);

  // A batch of posts to one loop wakes it once, at the end of the scope.
  for (int round = 0; round < 3; ++round) {
    const uint64_t wakes = loop.stats.wakes.load();
    {
      EventLoopWakeBatch outer;
      EventLoopWakeBatch inner;
      for (auto& s : items) started.Post(s);
    }
    EXPECT_EQ(loop.stats.wakes.load(), wakes + 1);
    ASSERT_TRUE(started.Fence());
    for (size_t i = 0; i < items.size(); ++i) EXPECT_EQ(items[i]->seen.load(), items[i]->posted.load()) << "item " << i;
  }
}

TEST(EventLoop, ItemsLiveWhileTheLoopHoldsThemAndTheStopDropsThem) {
  EventLoop loop;
  ASSERT_TRUE(EventLoopOpen(&loop));
  loop.role.Assume();
  int served = 0;
  loop.serve = [&](EventLoopItem& item, int64_t) -> int64_t {
    // Reads the owner's memory: a freed owner fails here under ASan.
    EXPECT_EQ(static_cast<Owner*>(item.owner)->id, 7);
    served++;
    return kEventLoopNever;
  };
  auto make = [] {
    auto o = std::make_shared<Owner>();
    o->id = 7;
    o->item.owner = o.get();
    return o;
  };
  std::weak_ptr<Owner> servedSoon, scheduled, readyOnly, both;
  {
    auto a = make(), b = make(), d = make();
    servedSoon = a, scheduled = b, both = d;
    EventLoopPost(&loop, RefOf(a), 5);
    EventLoopPost(&loop, RefOf(b), 100);
    EventLoopPost(&loop, RefOf(d), 100);
  }
  EventLoopPass(&loop, 1);
  EXPECT_EQ(served, 0);
  EXPECT_FALSE(servedSoon.expired());
  EventLoopPass(&loop, 5);
  EXPECT_EQ(served, 1);
  EXPECT_TRUE(servedSoon.expired());
  {
    auto c = make();
    readyOnly = c;
    EventLoopPost(&loop, RefOf(c), 50);
  }
  EventLoopPost(&loop, RefOf(both.lock()), 60);  // in the heap and on the ready list
  EXPECT_FALSE(scheduled.expired());
  EXPECT_FALSE(readyOnly.expired());
  EXPECT_FALSE(both.expired());

  // An item the stop dropped from the ready list, posted to another loop at
  // a later due, is served at that due, not at the one the stop dropped.
  auto kept = make();
  EventLoopPost(&loop, RefOf(kept), 10);
  EventLoopStop(&loop);
  EXPECT_TRUE(scheduled.expired());
  EXPECT_TRUE(readyOnly.expired());
  EXPECT_TRUE(both.expired());
  EXPECT_EQ(kept.use_count(), 1);

  EventLoop other;
  ASSERT_TRUE(EventLoopOpen(&other));
  other.role.Assume();
  other.serve = loop.serve;
  EventLoopPost(&other, RefOf(kept), 200);
  EventLoopPass(&other, 150);
  EXPECT_EQ(served, 1);
  EventLoopPass(&other, 200);
  EXPECT_EQ(served, 2);
  EXPECT_EQ(kept.use_count(), 1);

  EventLoopPost(&loop, RefOf(kept), 10);  // stopped: refused
  EXPECT_EQ(kept.use_count(), 1);
}

TEST(EventLoop, AnOwnerFreedByTheStopMayPostAsItGoes) {
  struct PostsWhenFreed {
    EventLoopItem item;
    EventLoop* loop = nullptr;
    std::shared_ptr<Owner> other = std::make_shared<Owner>();
    ~PostsWhenFreed() { EventLoopPost(loop, RefOf(other), 0); }
  };
  auto loop = std::make_unique<EventLoop>();
  ASSERT_TRUE(EventLoopOpen(loop.get()));
  std::weak_ptr<PostsWhenFreed> freed;
  {
    auto owner = std::make_shared<PostsWhenFreed>();
    owner->loop = loop.get();
    freed = owner;
    EventLoopPost(loop.get(), EventLoopItemRef(owner, &owner->item), 10);
  }
  std::atomic<bool> stopped{false};
  std::thread stopper([&] {
    EventLoopStop(loop.get());
    stopped.store(true);
  });
  if (!TestWaitUntil([&] { return stopped.load(); })) {
    stopper.detach();
    (void)loop.release();  // the stuck stop still uses it
    FAIL() << "the stop deadlocked on the teardown's post";
  }
  stopper.join();
  EXPECT_TRUE(freed.expired());
}

TEST(EventLoop, PostsRacingTheStopLeaveNoReferenceBehind) {
  StartedLoop started;
  ASSERT_TRUE(started.Start());
  EventLoop& loop = started.loop;
  std::vector<std::weak_ptr<Shared>> weak;
  std::atomic<bool> stopped{false};
  std::vector<std::thread> posters;
  std::atomic<int> posting{0};
  for (int t = 0; t < 2; ++t) {
    auto s = std::make_shared<Shared>();
    s->item.owner = s.get();
    weak.push_back(s);
    posters.emplace_back([&loop, s, &stopped, &posting] {
      posting.fetch_add(1);
      // Posts with a due far ahead, so the loop holds the item until the stop.
      do {
        s->posted.fetch_add(1);
        EventLoopPost(&loop, EventLoopItemRef(s, &s->item), SteadyMs() + 3600 * 1000);
      } while (!stopped.load());
      EventLoopPost(&loop, EventLoopItemRef(s, &s->item), 0);
    });
  }
  while (posting.load() < 2) std::this_thread::yield();
  EventLoopStop(&loop);
  stopped.store(true);
  for (auto& p : posters) p.join();
  for (size_t i = 0; i < weak.size(); ++i) EXPECT_TRUE(weak[i].expired()) << "item " << i;
}

TEST(EventLoop, ABrokenWaitIsReportedOnceAndDuesStillPass) {
  StartedLoop started;
  ASSERT_TRUE(started.Start());
  EventLoop& loop = started.loop;
  ASSERT_TRUE(started.Fence());
  // The wait's descriptor turns into one epoll cannot wait on.
  const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(null, 0);
  testing::internal::CaptureStderr();
  ASSERT_EQ(dup2(null, loop.epoll.fd), loop.epoll.fd);
  close(null);
  for (int i = 0; i < 50; ++i) ASSERT_TRUE(started.Fence());
  const std::string console = testing::internal::GetCapturedStderr();
  size_t reports = 0;
  for (size_t at = console.find("epoll_wait"); at != std::string::npos; at = console.find("epoll_wait", at + 1)) reports++;
  EXPECT_EQ(reports, 1u) << console.substr(0, 2000);
}

TEST(EventLoop, AnOpenThatFailsHalfWayLeavesALoopThatStartsWhole) {
  testing::internal::CaptureStderr();  // before the probe: it opens a file
  // Room for one more descriptor: the epoll one opens, the wake does not.
  const int probe = open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(probe, 0);
  close(probe);
  rlimit was{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &was), 0);
  rlimit tight = was;
  tight.rlim_cur = static_cast<rlim_t>(probe) + 1;
  StartedLoop started;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  const bool opened = EventLoopOpen(&started.loop);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &was), 0);
  const std::string console = testing::internal::GetCapturedStderr();
  ASSERT_FALSE(opened);
  EXPECT_NE(console.find("EventLoopOpen"), std::string::npos) << console;
  // Nothing half open (a start would skip the wake and then never wake):
  // a start afterwards opens both, and a post wakes the thread.
  ASSERT_LT(started.loop.wake.fd, 0) << "half open";
  ASSERT_LT(started.loop.epoll.fd, 0) << "half open";
  ASSERT_TRUE(started.Start());
  EXPECT_TRUE(started.Fence());
}

}  // namespace

// A loop asleep until its earliest due takes what is posted for that time
// or later when it wakes: such a post (a merge period's end) costs it no
// wake-up of its own, an earlier one wakes it, and nothing is served early.
TEST(EventLoop, APostDueNoEarlierThanTheLoopsOwnWakeDoesNotWakeIt) {
  struct Timed {
    EventLoopItem item;
    std::atomic<int64_t> servedAt{0};
  };
  EventLoop loop;
  loop.now = SteadyMs;
  loop.serve = [](EventLoopItem& item, int64_t now) {
    static_cast<Timed*>(item.owner)->servedAt.store(now);
    return kEventLoopNever;
  };
  ASSERT_TRUE(EventLoopStart(&loop, "test-loop"));
  std::vector<std::shared_ptr<Timed>> timed;
  for (int i = 0; i < 4; ++i) {
    timed.push_back(std::make_shared<Timed>());
    timed.back()->item.owner = timed.back().get();
  }
  auto post = [&](int i, int64_t due) { EventLoopPost(&loop, EventLoopItemRef(timed[i], &timed[i]->item), due); };
  // Far enough ahead that a slow machine cannot reach it before the posts.
  const int64_t first = SteadyMs() + 2000;
  post(0, first);
  ASSERT_TRUE(TestWaitUntil([&] { return loop.sleepUntil.load() == first; }, 10000));
  const uint64_t wakes = loop.stats.wakes.load();
  post(1, first);
  post(2, first + 100);
  EXPECT_EQ(loop.stats.wakes.load(), wakes);
  post(3, 0);
  EXPECT_EQ(loop.stats.wakes.load(), wakes + 1);
  ASSERT_TRUE(TestWaitUntil([&] { return timed[3]->servedAt.load() != 0; }, 10000));
  EXPECT_LT(timed[3]->servedAt.load(), first);
  ASSERT_TRUE(TestWaitUntil([&] { return timed[2]->servedAt.load() != 0; }, 10000));
  EXPECT_GE(timed[0]->servedAt.load(), first);
  EXPECT_GE(timed[1]->servedAt.load(), first);
  EXPECT_GE(timed[2]->servedAt.load(), first + 100);
  EventLoopStop(&loop);
}
