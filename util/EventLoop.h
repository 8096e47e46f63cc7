// EventLoop: one thread that serves many items (a connection's paced and
// relayed output) at the times they fall due, from one wake descriptor and
// one timer heap: no descriptor or timer per item, and any number of posts
// between two passes cost the loop one wake-up.
//
// Who touches what:
//  - EventLoopPost, from any thread, never waits (a short lock on the ready
//    list) and writes the wake descriptor at most once per pass of the loop;
//  - everything else of the loop (the heap, the items' heap fields, the
//    serve callback) is the loop thread's, or a test's that drives the
//    passes itself (`role`);
//  - an item is kept alive by the references the loop holds while it is
//    posted or scheduled: the poster hands one in (an aliasing shared_ptr
//    of what embeds the item), the loop drops it when the item has nothing
//    due.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <vector>

#include "util/Fd.h"
#include "util/ThreadSafety.h"

// The thread a loop runs on, as a capability: what only the loop may touch
// says REQUIRES(loop->role). A test that drives passes itself asserts it.
class CAPABILITY("role") ThreadRole {
 public:
  void Assume() const ASSERT_CAPABILITY(this) {}
};

constexpr int64_t kEventLoopNever = std::numeric_limits<int64_t>::max();

struct EventLoopItem {
  void* owner = nullptr;                        // what the serve callback serves; set before the first post
  std::atomic<bool> posted{false};              // on the ready list (cleared by the loop before it serves)
  std::atomic<int64_t> postedDue{kEventLoopNever};  // the earliest due posted since the loop last took it
  // The loop's (REQUIRES(role) where used): the item's place in the heap
  // and its key, kEventLoopNever while it is not in the heap.
  int32_t heapIndex = -1;
  int64_t due = kEventLoopNever;
};
using EventLoopItemRef = std::shared_ptr<EventLoopItem>;

struct EventLoopStats {
  std::atomic<uint64_t> passes{0};
  std::atomic<uint64_t> wakes{0};       // writes of the wake descriptor
  std::atomic<uint64_t> served{0};      // serve callbacks
  std::atomic<uint64_t> longestPassUs{0};
};

struct EventLoop {
  ThreadRole role;
  Fd epoll;  // waits for the wake descriptor only: the dues are its time-out
  Fd wake;   // eventfd
  std::atomic<bool> wakePending{false};
  // When the loop's thread wakes by itself (its earliest due; never: no
  // due); 0 while it is awake, or it is driven by a test: posts wake it.
  std::atomic<int64_t> sleepUntil{0};
  Mutex readyLock;  // a leaf: nothing is taken under it
  std::vector<EventLoopItemRef> ready GUARDED_BY(readyLock);
  // Set by EventLoopStop, cleared by EventLoopStart: a post then is refused,
  // so that no reference outlives the stop in the ready list.
  bool closed GUARDED_BY(readyLock) = false;
  std::vector<EventLoopItemRef> heap GUARDED_BY(role);  // min-heap on EventLoopItem::due
  // Serves one item at `nowMs` (the loop thread): returns when it next falls
  // due (absolute ms), or kEventLoopNever. A post made meanwhile is served
  // again on the next pass.
  std::function<int64_t(EventLoopItem& item, int64_t nowMs)> serve;
  std::function<int64_t()> now;  // the clock of the dues (ms); set before the thread starts
  std::atomic<bool> stopping{false};
  pthread_t thread{};
  bool running = false;  // the thread was started (EventLoopStart)
  std::atomic<uint32_t> members{0};  // users' count of what they attached (placement, the monitor)
  uint64_t cpuSample = 0;            // the monitor's last CPU reading of the thread
  EventLoopStats stats;

  EventLoop() = default;
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;
};

// Makes the epoll and wake descriptors. False (reported) when it cannot.
bool EventLoopOpen(EventLoop* loop);
// Any thread: `item` is served at `dueMs` at the latest (a due at or before
// the loop's now is served on its next pass). Never waits for the loop.
// Refused (the item is left unposted) after EventLoopStop.
void EventLoopPost(EventLoop* loop, EventLoopItemRef item, int64_t dueMs);
// Any thread: writes the wake descriptor unless a wake is pending already.
void EventLoopWake(EventLoop* loop);
// Posts made on this thread within the scope wake each loop once, at its
// end (a publisher relaying to many players of the same loops).
class EventLoopWakeBatch {
 public:
  EventLoopWakeBatch();
  ~EventLoopWakeBatch();
  EventLoopWakeBatch(const EventLoopWakeBatch&) = delete;
  EventLoopWakeBatch& operator=(const EventLoopWakeBatch&) = delete;
};

// One pass at `nowMs`: takes the ready list (clearing the wake first, so a
// post during the pass is never lost), then serves each ready item due by
// now and each heap item due by now, each once, in due order; the rest wait
// in the heap at their earliest due.
void EventLoopPass(EventLoop* loop, int64_t nowMs) REQUIRES(loop->role);
// Milliseconds until the heap's earliest due (0 when due, -1 when empty).
int EventLoopWaitMs(EventLoop* loop, int64_t nowMs) REQUIRES(loop->role);
// The thread: waits (epoll) for a wake or the earliest due, passes, until
// EventLoopStop. `name` names the thread (at most 15 characters).
bool EventLoopStart(EventLoop* loop, const char* name);
// Ends the thread and joins it; drops every reference the loop holds and
// refuses later posts (until EventLoopStart); the dropped items are left as
// if never posted.
void EventLoopStop(EventLoop* loop);
