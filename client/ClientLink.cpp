#include "client/ClientLink.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <ctime>

#include "util/Log.h"

ClientLink::~ClientLink() {
  // Every player stream has left its publishers' lists: no relay arms it any more.
  if (const int timer = relayTimer.exchange(-1); timer >= 0) close(timer);
}

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

bool ClientArmRelayTimer(ClientLink& link, uint32_t now, uint32_t inMs) {
  const uint32_t due = now + inMs;
  const uint32_t armed = link.relayTimerDue;
  if (armed != 0 && static_cast<int32_t>(armed - due) <= 0) return true;
  int timer = link.relayTimer.load(std::memory_order_relaxed);
  if (timer == -1) {
    timer = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    // Without it (reported once) every relayed message goes at once.
    if (timer < 0) ReportError("ClientArmRelayTimer: timer");
    link.relayTimer.store(timer < 0 ? -2 : timer, std::memory_order_release);
  }
  if (timer < 0) return false;
  ClientArmTimer(timer, inMs);
  link.relayTimerDue = due == 0 ? 1 : due;
  return true;
}
