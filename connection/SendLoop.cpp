#include "connection/SendLoop.h"

#include <unistd.h>

#include <algorithm>
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

}  // namespace

bool SendLoopsStart(int count) {
  if (count <= 0) count = static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));
  count = std::clamp(count, 1, static_cast<int>(kSendLoopsMax));
  LoopList& loops = Loops();
  MutexLock lock(loops.lock);
  for (int i = 0; i < count; ++i) {
    auto loop = std::make_unique<EventLoop>();
    loop->serve = ServeLink;
    loop->now = ConnectionNow;
    const std::string name = "strmd-send" + std::to_string(i);
    if (!EventLoopStart(loop.get(), name.c_str())) break;
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
