#include "util/EventLoop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <utility>

#include "util/Log.h"

namespace {

thread_local int t_batchDepth = 0;
thread_local std::vector<EventLoop*> t_batchLoops;

void HeapSwap(std::vector<EventLoopItemRef>& heap, size_t a, size_t b) {
  std::swap(heap[a], heap[b]);
  heap[a]->heapIndex = static_cast<int32_t>(a);
  heap[b]->heapIndex = static_cast<int32_t>(b);
}

void HeapUp(std::vector<EventLoopItemRef>& heap, size_t i) {
  while (i > 0) {
    const size_t parent = (i - 1) / 2;
    if (heap[parent]->due <= heap[i]->due) break;
    HeapSwap(heap, i, parent);
    i = parent;
  }
}

void HeapDown(std::vector<EventLoopItemRef>& heap, size_t i) {
  for (;;) {
    const size_t left = 2 * i + 1, right = left + 1;
    size_t least = i;
    if (left < heap.size() && heap[left]->due < heap[least]->due) least = left;
    if (right < heap.size() && heap[right]->due < heap[least]->due) least = right;
    if (least == i) break;
    HeapSwap(heap, i, least);
    i = least;
  }
}

// Puts the item in the heap at `due`, or moves it there when it is in.
void HeapSet(std::vector<EventLoopItemRef>& heap, const EventLoopItemRef& item, int64_t due) {
  if (item->heapIndex < 0) {
    item->due = due;
    item->heapIndex = static_cast<int32_t>(heap.size());
    heap.push_back(item);
    HeapUp(heap, heap.size() - 1);
    return;
  }
  const size_t i = static_cast<size_t>(item->heapIndex);
  const int64_t was = item->due;
  item->due = due;
  if (due < was)
    HeapUp(heap, i);
  else
    HeapDown(heap, i);
}

EventLoopItemRef HeapPop(std::vector<EventLoopItemRef>& heap) {
  HeapSwap(heap, 0, heap.size() - 1);
  EventLoopItemRef top = std::move(heap.back());
  heap.pop_back();
  top->heapIndex = -1;
  top->due = kEventLoopNever;
  if (!heap.empty()) HeapDown(heap, 0);
  return top;
}

void* LoopThread(void* arg) {
  auto* loop = static_cast<EventLoop*>(arg);
  loop->role.Assume();
  epoll_event events[16];
  bool reported = false;
  while (!loop->stopping.load(std::memory_order_acquire)) {
    const int64_t now = loop->now();
    const int wait = EventLoopWaitMs(loop, now);
    // Published before the wait: a post due at or after it need not wake it.
    loop->sleepUntil.store(wait < 0 ? kEventLoopNever : now + wait);
    const int n = epoll_wait(loop->epoll.fd, events, 16, wait);
    loop->sleepUntil.store(0);
    if (n < 0 && errno != EINTR) {
      // Once: a broken descriptor fails every wait, a thousand times a second.
      if (!reported) ReportError("EventLoop: epoll_wait");
      reported = true;
      // Not a busy loop on a broken descriptor: the dues still pass.
      usleep(1000);
    }
    EventLoopPass(loop, loop->now());
  }
  return nullptr;
}

}  // namespace

bool EventLoopOpen(EventLoop* loop) {
  // Both or neither: EventLoopStart opens only a loop without an epoll
  // descriptor, and one without its wake would never see a post.
  auto fail = [loop](const char* what) {
    ReportError("%s", what);
    for (Fd* fd : {&loop->epoll, &loop->wake}) {
      if (fd->fd >= 0) close(fd->fd);
      fd->fd = -1;
    }
    return false;
  };
  loop->epoll.fd = epoll_create1(EPOLL_CLOEXEC);
  loop->wake.fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (loop->epoll.fd < 0 || loop->wake.fd < 0) return fail("EventLoopOpen");
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.ptr = nullptr;
  if (epoll_ctl(loop->epoll.fd, EPOLL_CTL_ADD, loop->wake.fd, &event) != 0) return fail("EventLoopOpen: epoll_ctl");
  return true;
}

void EventLoopWake(EventLoop* loop) {
  if (loop->wakePending.exchange(true)) return;
  uint64_t one = 1;
  ssize_t n = write(loop->wake.fd, &one, sizeof one);
  (void)n;
  loop->stats.wakes.fetch_add(1, std::memory_order_relaxed);
}

void EventLoopPost(EventLoop* loop, EventLoopItemRef item, int64_t dueMs) {
  // The earliest due wins; lowered before the item is queued, so the pass
  // that takes the item sees it.
  int64_t was = item->postedDue.load();
  while (dueMs < was && !item->postedDue.compare_exchange_weak(was, dueMs)) {
  }
  // Queued already: the pass that takes it reads the due.
  if (!item->posted.exchange(true)) {
    MutexLock lock(loop->readyLock);
    if (loop->closed) {
      // Stopped: nothing would serve it nor drop it.
      item->posted.store(false);
      item->postedDue.store(kEventLoopNever);
      return;
    }
    loop->ready.push_back(std::move(item));
  }
  // A loop asleep until no later than the due takes the item when it wakes:
  // a post for the end of a merge period costs it no wake-up of its own.
  const int64_t until = loop->sleepUntil.load();
  if (until != 0 && dueMs >= until) return;
  if (t_batchDepth > 0) {
    if (std::find(t_batchLoops.begin(), t_batchLoops.end(), loop) == t_batchLoops.end()) t_batchLoops.push_back(loop);
    return;
  }
  EventLoopWake(loop);
}

EventLoopWakeBatch::EventLoopWakeBatch() { ++t_batchDepth; }

EventLoopWakeBatch::~EventLoopWakeBatch() {
  if (--t_batchDepth > 0) return;
  std::vector<EventLoop*> loops;
  loops.swap(t_batchLoops);
  for (EventLoop* loop : loops) EventLoopWake(loop);
}

void EventLoopPass(EventLoop* loop, int64_t nowMs) {
  const auto started = std::chrono::steady_clock::now();
  loop->stats.passes.fetch_add(1, std::memory_order_relaxed);
  // The wake is consumed and cleared before the ready list is taken: a post
  // after the take writes it again. One read takes the eventfd's whole count.
  uint64_t count;
  ssize_t n = read(loop->wake.fd, &count, sizeof count);
  (void)n;
  loop->wakePending.store(false);
  std::vector<EventLoopItemRef> taken;
  {
    MutexLock lock(loop->readyLock);
    taken.swap(loop->ready);
  }
  for (EventLoopItemRef& item : taken) {
    // Cleared before the due is read: a later post queues the item again.
    item->posted.store(false);
    const int64_t due = item->postedDue.exchange(kEventLoopNever);
    if (due == kEventLoopNever) continue;
    if (item->heapIndex < 0 || due < item->due) HeapSet(loop->heap, item, due);
  }
  taken.clear();
  // Each due item once per pass: one that is due again at once waits for
  // the next pass, after the others.
  std::vector<EventLoopItemRef> served;
  while (!loop->heap.empty() && loop->heap.front()->due <= nowMs) served.push_back(HeapPop(loop->heap));
  std::vector<int64_t> next(served.size());
  for (size_t i = 0; i < served.size(); ++i) {
    loop->stats.served.fetch_add(1, std::memory_order_relaxed);
    next[i] = loop->serve(*served[i], nowMs);
  }
  for (size_t i = 0; i < served.size(); ++i) {
    EventLoopItemRef& item = served[i];
    if (next[i] == kEventLoopNever) continue;  // the loop's reference goes
    if (item->heapIndex < 0 || next[i] < item->due) HeapSet(loop->heap, item, next[i]);
  }
  const auto us =
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started).count();
  uint64_t longest = loop->stats.longestPassUs.load(std::memory_order_relaxed);
  if (static_cast<uint64_t>(us) > longest) loop->stats.longestPassUs.store(static_cast<uint64_t>(us));
}

int EventLoopWaitMs(EventLoop* loop, int64_t nowMs) {
  if (loop->heap.empty()) return -1;
  const int64_t due = loop->heap.front()->due;
  if (due <= nowMs) return 0;
  return static_cast<int>(std::min<int64_t>(due - nowMs, INT_MAX));
}

bool EventLoopStart(EventLoop* loop, const char* name) {
  if (loop->epoll.fd < 0 && !EventLoopOpen(loop)) return false;
  loop->stopping.store(false);
  {
    MutexLock lock(loop->readyLock);
    loop->closed = false;
  }
  if (pthread_create(&loop->thread, nullptr, LoopThread, loop) != 0) {
    ReportError("EventLoopStart: thread");
    return false;
  }
  pthread_setname_np(loop->thread, name);
  loop->running = true;
  return true;
}

void EventLoopStop(EventLoop* loop) {
  if (loop->running) {
    loop->stopping.store(true, std::memory_order_release);
    loop->wakePending.store(false);
    EventLoopWake(loop);
    pthread_join(loop->thread, nullptr);
    loop->running = false;
  }
  loop->role.Assume();
  for (EventLoopItemRef& item : loop->heap) item->heapIndex = -1;
  loop->heap.clear();
  std::vector<EventLoopItemRef> dropped;
  {
    MutexLock lock(loop->readyLock);
    loop->closed = true;
    for (EventLoopItemRef& item : loop->ready) {
      // As if never posted: a later post (to a loop started again or another
      // loop) is served at its own due, not at one this loop dropped.
      item->posted.store(false);
      item->postedDue.store(kEventLoopNever);
    }
    dropped.swap(loop->ready);
  }
  // Freed outside the lock: the last reference to an owner may go here, and
  // its teardown may post.
  dropped.clear();
}
