// SendLoop: the threads that send the connections' paced (recorded) and
// relayed (live) media, a few for the whole server instead of a wake-up of
// every connection's thread per message. Every connection belongs to one
// loop for its life (the one with the fewest members when it attached).
// A connection's own thread keeps reading, commands and its teardown; the
// loop runs the connection's pacing, its keep-alive ping and the watch on
// its time limits, and flushes its output, under the link's `serve` lock, so
// that the two never act on the connection's streams at once
// (client/ClientLink.h).
#pragma once

#include <functional>

#include "util/EventLoop.h"

struct ClientLink;

// Before the first connection: `count` loops (0: one per processor, at most
// 64). False (reported) when none could start: connections then send from
// their own threads.
bool SendLoopsStart(int count);
// After the last connection ended: stops and joins the loops.
void SendLoopsStop();
// The monitor (CPU of the loops), under the loops' list lock.
void SendLoopsForEach(const std::function<void(EventLoop&)>& fn);
// The connection's thread, after the handshake: joins the loop with the
// fewest members, which runs `service(ctx, now)` for it (nothing without
// loops).
void SendLoopAttach(ClientLink& link, int64_t (*service)(void* ctx, int64_t nowMs), void* ctx);
// The connection's thread, at its teardown: the loop no longer runs its
// service (it may still hold the link, which outlives it).
void SendLoopDetach(ClientLink& link);
