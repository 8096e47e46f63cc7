// RtmpConnection: one RTMP client, created, served and destroyed by its own
// connection thread (RtmpConnectionRun): the Client view (client/Client.h)
// that media/, chat/ and the model commands take, plus the loop's state.
//
// Who touches what, beyond the Client's rules:
//  - set once at creation: sites, the pacing timer once made (only without
//    a send loop);
//  - the connection's own thread only: transactionId, packet, inputNeedsMore,
//    batches, stackDeep, connectReceived, refillHeld;
//  - whoever holds the link's `serve`: limits.
//
// No connection thread runs a statement, an index build or load, or the web
// notice for a play, a publish (its journal, file and hand-over wait too), a
// pause, the end of a file, a thumbnail mark or its own end: they run on the
// job pool (client/ClientJobs.h) and their results are applied from the
// client's posts (recording closes with their fsync and copies, the chat and
// the model commands still wait here). While a
// command's job is pending the connection reads no more input, so answers
// keep their order; its streams are paced and pinged meanwhile.
#pragma once

#include <cstdint>

#include "client/Client.h"
#include "rtmp/Amf.h"
#include "rtmp/RtmpCore.h"
#include "config/ServerConfig.h"
#include "util/Fd.h"
#include "util/List.h"
#include "util/ThreadSafety.h"

struct HttpFlvOutput;
struct IncomingConnection;
struct RtmpStream;

struct RtmpConnection : Client {
  List* sites = nullptr;       // of SiteConfig, the configuration's
  double transactionId = 0;    // of the command being handled
  RtmpPacket packet;           // inbound message being assembled
  Fd pacingTimer;              // timerfd (CLOCK_MONOTONIC): the next stream falls due
  // The connection's limits (ConnectionNow ms), kept under its link's
  // `serve` by whoever serves it: its thread in a pass, or its send loop
  // while the thread waits. The loop sends the keep-alive ping; a limit
  // that passed it leaves to the thread, which reports it and closes. With
  // no send loop they are the thread's poll() time-out.
  struct Limits {
    int keepAliveMs = 0, silenceLimitMs = 0, readLimitMs = 0;
    int64_t keepAliveDue = 0;     // the next ping; 0 before the first pass
    int64_t lastInput = 0;        // the peer last sent something
    int64_t incompleteSince = 0;  // a message has been partly received since
    int64_t connectDue = 0;       // connect (an HTTP play: its answer) due by; 0 once admitted
    bool gated = false;           // input waits for a command's job: silence does not count
  } limits;
  bool inputNeedsMore = false; // the read buffer holds only part of a message
  uint64_t batches = 0;        // passes that flushed output (test statistics)
  bool stackDeep = true;       // a command (or the handshake) ran since the stack was last released
  bool connectReceived = false; // the client sent connect (its deadline and the MaxHandshaking caps end)
  bool refillHeld = false;      // the last pacing scan held a file stream's window for the socket
  // Set once before the loop for an HTTP-FLV play (connection/HttpFlv.h):
  // the connection writes FLV, and its input is not RTMP.
  const struct RtmpConnectionHttp* http = nullptr;
  HttpFlvOutput* httpOutput = nullptr;
};

// What the loop asks of a connection that is HTTP on the wire (connection
// thread): whether its answer has begun (it then no longer counts as
// handshaking), whether it is complete (the connection ends once it is
// sent), and its input (0 ends the connection).
struct RtmpConnectionHttp {
  bool (*started)(const RtmpConnection* connection);
  bool (*ended)(const RtmpConnection* connection);
  int (*processInput)(RtmpConnection* connection);
};

// The thread body for a connection whose first byte was 3 or 6: 1 when the
// connection could not be created, 0 after a normal end. Closes the socket.
int RtmpConnectionRun(IncomingConnection* incoming);
// Without `rtmpHandshake` the connection starts at once (an HTTP-FLV play).
RtmpConnection* RtmpConnectionCreate(IncomingConnection* incoming, bool rtmpHandshake = true);
// The connection's loop until it ends; destroys the connection.
void RtmpConnectionServe(RtmpConnection* connection, IncomingConnection* incoming);
void RtmpConnectionDestroy(RtmpConnection* connection);
int RtmpConnectionPending(RtmpConnection* connection);
int RtmpConnectionProcessInput(RtmpConnection* connection);
int RtmpConnectionDispatch(RtmpConnection* connection, RtmpStream* stream);
int RtmpConnectionNextWait(RtmpConnection* connection);
int RtmpConnectionServiceStream(RtmpConnection* connection);
// The send loop, under the link's serve lock: sends what is due of the
// connection's streams and flushes; returns when it next falls due
// (ConnectionNow ms), or kEventLoopNever when its thread takes over.
int64_t RtmpConnectionServeFromLoop(RtmpConnection* connection, int64_t nowMs);


