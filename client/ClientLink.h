// ClientLink: the part of a client that other threads may hold. A chat room's
// member and a live channel's player stream reach their connection only
// through it: they send on its chunk stream (under rtmp.sendLock) and wake its
// loop, never touch its other fields. Held by shared_ptr (ClientHandle), so
// that what they hold stays valid until the last holder lets go, whatever the
// order of teardown.
//
// Who touches what:
//  - `rtmp`: the reader side by the owner thread without a lock, the sending
//    side under rtmp.sendLock by any thread;
//  - `wakeEvent`: set once at creation, signalled by any thread (ClientWake);
//  - the relay timer (relayTimer, relayTimerDue): the owner thread, for the
//    players of the channels it publishes;
//  - `closing`: set by the owner when its teardown begins;
//  - `chatMember`: under the chat room locks (chat/RtmpChat.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "rtmp/RtmpCore.h"
#include "util/Fd.h"

struct LiveUser;

struct ClientLink {
  // eventfd: a packet was queued on one of the client's streams. Declared
  // first, so that it closes only after the chunk stream's socket buffer,
  // which signals it.
  Fd wakeEvent;
  RtmpContext rtmp;
  // A publisher's players whose media waits for the end of their merge
  // period are sent to when the relay timer (timerfd, made by the first
  // relay that needs it) fires at the earliest such end, relayTimerDue
  // (LiveChannelNow; 0 while it is not armed), unless the next relay comes
  // first. -2: it could not be made.
  std::atomic<int> relayTimer{-1};
  uint32_t relayTimerDue = 0;
  std::atomic<bool> closing{false};  // the owner's teardown began
  LiveUser* chatMember = nullptr;    // the client's member of a chat room

  ClientLink() = default;
  ClientLink(const ClientLink&) = delete;
  ClientLink& operator=(const ClientLink&) = delete;
  ~ClientLink();  // closes the relay timer (the wake event closes itself)
};
using ClientHandle = std::shared_ptr<ClientLink>;

// Wakes the owner's loop (any thread): something was queued for it.
void ClientWake(ClientLink& link);
// The owner thread, relaying: the relay timer fires at `now` (the live
// channels' clock) + `inMs` at the latest (an earlier time already armed
// stays). False when there is no timer (reported once): the caller sends at
// once.
bool ClientArmRelayTimer(ClientLink& link, uint32_t now, uint32_t inMs);
// Arms a timerfd to fire once `ms` from now (at least 1 ns).
void ClientArmTimer(int fd, int64_t ms);
