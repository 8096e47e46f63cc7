#include "client/ClientLink.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <ctime>

#include "util/Clock.h"
#include "util/Log.h"

void ClientWake(ClientLink& link) {
  uint64_t one = 1;
  ssize_t n = write(link.wakeEvent.fd, &one, sizeof one);
  (void)n;
}

void ClientArmTimer(int fd, int64_t ms) {
  itimerspec value{};
  value.it_value.tv_sec = ms / 1000;
  value.it_value.tv_nsec = (ms % 1000) * 1000000;
  if (value.it_value.tv_sec == 0 && value.it_value.tv_nsec == 0) value.it_value.tv_nsec = 1;
  timerfd_settime(fd, 0, &value, nullptr);
}

void ClientPost(const ClientHandle& link, int64_t inMs) {
  EventLoop* loop = link->loop;
  if (loop == nullptr) {
    ClientWake(*link);
    return;
  }
  EventLoopPost(loop, EventLoopItemRef(link, &link->loopItem), inMs > 0 ? loop->now() + inMs : 0);
}

void ClientOutputQueued(void* ctx) {
  auto* link = static_cast<ClientLink*>(ctx);
  if (const ClientHandle handle = link->weak_from_this().lock())
    ClientPost(handle, 0);
  else
    ClientWake(*link);
}

int64_t ClientServeFromLoop(ClientLink& link, int64_t nowMs) {
  // Set before trying: a holder that lets go after a failed try sees it.
  link.serveMissed.store(true);
  if (!link.serve.try_lock()) return kEventLoopNever;
  link.serveMissed.store(false);
  int64_t next = kEventLoopNever;
  if (link.service != nullptr) next = link.service(link.serviceCtx, nowMs);
  link.serve.unlock();
  return next;
}

void ClientReleaseServe(const ClientHandle& link) {
  link->serve.unlock();
  if (link->serveMissed.exchange(false)) ClientPost(link, 0);
}
