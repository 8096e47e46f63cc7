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
//  - `closing`: set by the owner when its teardown begins;
//  - `loop`, `loopItem.owner`: set once at attach, before any post;
//  - `serve`: held by whoever paces the client's streams and flushes its
//    output as their owner: the owner thread for one pass of its loop, or
//    the send loop for one service (it only tries, never waits); `service`
//    and `serviceCtx` under it;
//  - `serveMissed`: set by the send loop that found `serve` taken, read by
//    the holder when it lets go;
//  - `chatMember`: under the chat room locks (chat/RtmpChat.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "rtmp/RtmpCore.h"
#include "util/EventLoop.h"
#include "util/Fd.h"
#include "util/ThreadSafety.h"

struct LiveUser;

struct ClientLink : std::enable_shared_from_this<ClientLink> {
  // eventfd: a packet was queued on one of the client's streams. Declared
  // first, so that it closes only after the chunk stream's socket buffer,
  // which signals it.
  Fd wakeEvent;
  RtmpContext rtmp;
  std::atomic<bool> closing{false};  // the owner's teardown began
  // The send loop that sends the client's paced and relayed media while its
  // own thread sleeps; none (tests, a failed attach): the thread does it.
  EventLoop* loop = nullptr;
  EventLoopItem loopItem;
  Mutex serve;
  std::atomic<bool> serveMissed{false};
  // What the loop runs for the client under `serve`: when it next falls due
  // (ConnectionNow ms, or kEventLoopNever). None once the owner detached.
  int64_t (*service)(void* ctx, int64_t nowMs) GUARDED_BY(serve) = nullptr;
  void* serviceCtx GUARDED_BY(serve) = nullptr;
  LiveUser* chatMember = nullptr;    // the client's member of a chat room

  ClientLink() = default;
  ClientLink(const ClientLink&) = delete;
  ClientLink& operator=(const ClientLink&) = delete;
};
using ClientHandle = std::shared_ptr<ClientLink>;

// Wakes the owner's loop (any thread): something was queued for it.
void ClientWake(ClientLink& link);
// Any thread: the client's send loop serves it `inMs` from now (its clock)
// at the latest; without a loop its own thread is woken.
void ClientPost(const ClientHandle& link, int64_t inMs);
// Another thread queued output on the client's empty chunk stream (a chat
// sender): its send loop flushes it (`ctx` is the link; the send lock is held).
void ClientOutputQueued(void* ctx);
// The send loop: runs the client's service if `serve` is free (else the
// holder posts it again when it lets go). Returns the service's next due.
int64_t ClientServeFromLoop(ClientLink& link, int64_t nowMs);
// The holder of `serve` lets go; a loop that found it taken meanwhile gets
// the client posted again.
void ClientReleaseServe(const ClientHandle& link) RELEASE(link->serve);
// Arms a timerfd to fire once `ms` from now (at least 1 ns).
void ClientArmTimer(int fd, int64_t ms);
