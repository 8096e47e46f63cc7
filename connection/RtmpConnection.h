// RtmpConnection: one RTMP client, created, served and destroyed by its own
// connection thread (RtmpConnectionRun), plus the process-wide list of live
// connections.
//
// Who touches what:
//  - set once at creation: sites, thread, address, the event descriptors;
//  - the connection's own thread only: session, nextStreamId, db,
//    transactionId, packet, nextStream, inputNeedsMore, batches, stackDeep,
//    connectReceived, modelRate, refillHeld;
//  - written by the own thread under streams.lock, read by the debug monitor
//    under it: flashVer, site, user;
//  - `streams` and the pacing scan: under streams.lock;
//  - `liveuser`: under the chat room locks (chat/RtmpChat.h);
//  - `rtmp`: the reader side by the own thread without a lock, the sending
//    side under rtmp.sendLock, which any thread may take to queue a message
//    (nobody waits for the socket);
//  - `wakeEvent` may be signalled by any thread (RtmpConnectionWake);
//  - the relay timer (relayTimer, relayTimerDue): the own thread, for the
//    players of the channels it publishes;
//  - `cpuSample`: the debug monitor only;
//  - `jobs`, `posts`, `commandJobs`: the own thread submits and applies;
//    the pool's workers run the jobs and post their results (util/JobPool.h).
//
// No connection thread runs a statement, an index build or load, or the web
// notice for a play, a pause, the end of a file, a thumbnail mark or its own
// end: they run on the job pool and their results are applied from the
// connection's posts (publishing, recording closes with their fsync and
// copies, the chat and the model commands still wait here). While a command's
// job is pending the connection reads no more input, so answers keep their
// order; its streams are paced and pinged meanwhile.
// Lock order: g_connections.lock before a connection's streams.lock.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

#include "rtmp/Amf.h"
#include "rtmp/RtmpCore.h"
#include "server/ServerConfig.h"
#include "util/JobPool.h"
#include "util/List.h"
#include "util/RateLimit.h"
#include "util/ThreadSafety.h"

struct IncomingConnection;
struct RtmpStream;
struct DbConnection;
struct User;
struct Session;
struct LiveUser;
struct ChatBacklog;

struct RtmpConnection {
  char flashVer[kTextSize] = {};
  User* user = nullptr;        // owned; released at teardown
  Session* session = nullptr;  // owned; released at teardown
  LiveUser* liveuser = nullptr;
  int32_t nextStreamId = 0;    // last id handed out
  List streams;                // of RtmpStream, owned by this connection
  List* sites = nullptr;       // of SiteConfig, the configuration's
  SiteConfig* site = nullptr;  // chosen at connect
  DbConnection* db = nullptr;  // opened at connect, closed at teardown
  char address[kTextSize] = {};
  double transactionId = 0;    // of the command being handled
  RateLimit modelRate;         // model commands of this client
  RtmpContext rtmp;
  RtmpPacket packet;           // inbound message being assembled
  int wakeEvent = -1;          // eventfd: a packet was queued on one of our streams
  int pacingTimer = -1;        // timerfd (CLOCK_MONOTONIC): the next stream falls due
  // The 30 s keep-alive is the loop's poll() time-out, not a timer of its own.
  // A publisher's players whose media waits for the end of their merge
  // period are sent to when the relay timer (timerfd, made by the first
  // relay that needs it) fires at the earliest such end, relayTimerDue
  // (LiveChannelNow; 0 while it is not armed), unless the next relay comes first.
  std::atomic<int> relayTimer{-1};
  uint32_t relayTimerDue = 0;
  // Objects to mark for thumbnails once the pass's output has left (own
  // thread, RunThumbnailMarks).
  std::vector<int32_t> thumbnailMarks;
  bool inputNeedsMore = false; // the read buffer holds only part of a message
  uint64_t batches = 0;        // passes that flushed output (test statistics)
  bool stackDeep = true;       // a command (or the handshake) ran since the stack was last released
  bool connectReceived = false; // the client sent connect (its deadline and the MaxHandshaking caps end)
  RtmpStream* nextStream = nullptr;
  bool refillHeld = false;      // the last pacing scan held a file stream's window for the socket
  pthread_t thread{};
  uint32_t cpuSample = 0;
  // Own thread only: chat texts still to be queued (chat/RtmpChatStatus.h),
  // and the budget of chatSendText.
  ChatBacklog* chatBacklog = nullptr;
  RateLimit chatTextRate;
  // Work that waits, in this connection's order, and the results it posts
  // back (run by the loop when the wake event fires).
  JobQueuePtr jobs;
  JobPostBoxPtr posts;
  int commandJobs = 0;  // command jobs whose result has not been applied: input waits
};

// Every live connection; the debug monitor walks it under its lock.
extern List g_connections;

// The thread body for a connection whose first byte was 3 or 6: 1 when the
// connection could not be created, 0 after a normal end. Closes the socket.
int RtmpConnectionRun(IncomingConnection* incoming);
RtmpConnection* RtmpConnectionCreate(IncomingConnection* incoming);
void RtmpConnectionDestroy(RtmpConnection* connection);
int RtmpConnectionPending(RtmpConnection* connection);
int RtmpConnectionProcessInput(RtmpConnection* connection);
int RtmpConnectionDispatch(RtmpConnection* connection, RtmpStream* stream);
int RtmpConnectionNextWait(RtmpConnection* connection);
int RtmpConnectionServiceStream(RtmpConnection* connection);

// A command's waiting part on the job pool: `wait` runs on a worker (it
// touches no connection or stream, only what it captured) and returns the
// part that applies its result on the connection's thread; until that has
// run, no further input of the connection is handled. kFull when the pool is
// full: nothing runs, and the caller answers as a failure of the command.
JobAdmit RtmpConnectionCommandJob(RtmpConnection* connection, std::function<std::function<void()>()> wait);
// Work that completes what the connection did (accounting, marks): never
// refused, not waited for, nothing applied afterwards.
void RtmpConnectionCompletionJob(RtmpConnection* connection, std::function<void()> run);
// The connection's database handle is closed after every job queued so far.
void RtmpConnectionCloseDbLater(RtmpConnection* connection);

// Wakes the connection's loop (any thread): something was queued for it.
void RtmpConnectionWake(RtmpConnection* connection);
// The own thread, relaying: the relay timer fires at LiveChannelNow() + `inMs`
// at the latest (an earlier time already armed stays). False when there is
// no timer (reported once): the caller sends at once.
bool RtmpConnectionArmRelayTimer(RtmpConnection* connection, uint32_t inMs);
// The own thread, when the relay timer fired: the players of its channels
// whose merge period is over get their media (LiveChannelSendDue).
void RtmpConnectionRelayTimerFired(RtmpConnection* connection);

