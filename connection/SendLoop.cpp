#include "connection/SendLoop.h"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "client/ClientLink.h"
#include "config/ServerConfig.h"
#include "util/Clock.h"
#include "util/Log.h"
#include "util/ThreadSafety.h"

namespace {

// Never freed, not even at exit (the loops' threads may still run then), and
// a stopped loop is kept: a link's `loop` outlives every post to it.
struct LoopList {
  Mutex lock;
  std::vector<std::unique_ptr<EventLoop>> running GUARDED_BY(lock);
  std::vector<std::unique_ptr<EventLoop>> stopped GUARDED_BY(lock);
};
LoopList& Loops() {
  static LoopList* const loops = new LoopList;
  return *loops;
}

int64_t ServeLink(EventLoopItem& item, int64_t nowMs) {
  return ClientServeFromLoop(*static_cast<ClientLink*>(item.owner), nowMs);
}

// The processors this process may run on, in order (none when unknown).
std::vector<int> AllowedCpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  std::vector<int> cpus;
  if (sched_getaffinity(0, sizeof set, &set) != 0) return cpus;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
    if (CPU_ISSET(cpu, &set)) cpus.push_back(cpu);
  return cpus;
}

}  // namespace

bool SendLoopsStart(int count, bool pin) {
  if (count <= 0) count = static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));
  count = std::clamp(count, 1, static_cast<int>(kSendLoopsMax));
  // A loop that a publisher's thread wakes on another processor each time
  // costs several times what it costs staying on its own: each loop keeps
  // one processor, when there is one for each.
  const std::vector<int> cpus = pin ? AllowedCpus() : std::vector<int>{};
  const bool pinned = count <= static_cast<int>(cpus.size());
  LoopList& loops = Loops();
  MutexLock lock(loops.lock);
  for (int i = 0; i < count; ++i) {
    auto loop = std::make_unique<EventLoop>();
    loop->serve = ServeLink;
    loop->now = ConnectionNow;
    const std::string name = "strmd-send" + std::to_string(i);
    if (!EventLoopStart(loop.get(), name.c_str())) break;
    if (pinned) {
      cpu_set_t one;
      CPU_ZERO(&one);
      CPU_SET(cpus[static_cast<size_t>(i)], &one);
      // Unpinned, the loop still sends: only its cost differs.
      if (const int err = pthread_setaffinity_np(loop->thread, sizeof one, &one); err != 0) {
        errno = err;
        ReportError("SendLoopsStart: %s stays unpinned", name.c_str());
      }
    }
    loops.running.push_back(std::move(loop));
  }
  return !loops.running.empty();
}

void SendLoopsStop() {
  LoopList& loops = Loops();
  MutexLock lock(loops.lock);
  for (auto& loop : loops.running) {
    EventLoopStop(loop.get());
    loops.stopped.push_back(std::move(loop));
  }
  loops.running.clear();
}

void SendLoopsForEach(const std::function<void(EventLoop&)>& fn) {
  LoopList& loops = Loops();
  MutexLock lock(loops.lock);
  for (auto& loop : loops.running) fn(*loop);
}

void SendLoopAttach(ClientLink& link, int64_t (*service)(void* ctx, int64_t nowMs), void* ctx) {
  EventLoop* chosen = nullptr;
  {
    LoopList& loops = Loops();
    MutexLock lock(loops.lock);
    for (auto& loop : loops.running)
      if (chosen == nullptr || loop->members.load() < chosen->members.load()) chosen = loop.get();
  }
  if (chosen == nullptr) return;
  chosen->members.fetch_add(1);
  link.loopItem.owner = &link;
  link.loop = chosen;
  {
    MutexLock lock(link.serve);
    link.service = service;
    link.serviceCtx = ctx;
  }
  // Output other threads queue (chat) is flushed by the loop too.
  MutexLock lock(link.rtmp.sendLock);
  link.rtmp.sockbuf.outputQueued = ClientOutputQueued;
  link.rtmp.sockbuf.outputQueuedCtx = &link;
}

void SendLoopDetach(ClientLink& link) {
  if (link.loop == nullptr) return;
  {
    MutexLock lock(link.rtmp.sendLock);
    link.rtmp.sockbuf.outputQueued = nullptr;
  }
  {
    MutexLock lock(link.serve);
    link.service = nullptr;
    link.serviceCtx = nullptr;
  }
  // The loop keeps the client's next due (its keep-alive, 30 s on) and a
  // reference with it: served at once now, it finds no service and lets go,
  // and the link's descriptors go with the connection.
  if (const ClientHandle handle = link.weak_from_this().lock())
    EventLoopPost(link.loop, EventLoopItemRef(handle, &link.loopItem), 0);
  link.loop->members.fetch_sub(1);
}
