// Client: what media/, chat/ and the model commands see of one RTMP client:
// its peer address, site, web session and user, database connection, its
// streams and the state those modules keep per client. The connection driver
// in connection/ is a Client plus its loop; other threads reach a client
// through its link (client/ClientLink.h); only the debug monitor reads some
// of its fields, under the locks named below.
//
// Who touches what:
//  - set once at creation: link, address, thread, browser;
//  - the owner thread only: db, nextStreamId, thumbnailMarks, chatBacklog,
//    chatTextRate, modelRate, nextStream;
//  - flashVer: under streams.lock (the owner writes it, the debug monitor
//    reads it);
//  - site, session and user: written by the owner thread under streams.lock
//    (site at connect; session and user replaced together by
//    ClientSetIdentity only, client/ClientIdentity.h); the debug monitor
//    reads site and user under it. The owner, their only writer, reads them
//    without the lock, everywhere in media/, chat/ and the commands, so they
//    carry no GUARDED_BY: the clang analysis cannot state "locked for the
//    writer and other threads, free for the owner";
//  - `streams` and the pacing scan: under streams.lock;
//  - `cpuSample`: the debug monitor only, while it walks g_clients;
//  - `jobs`, `posts`, `commandJobs`: see client/ClientJobs.h.
// Lock order: g_clients.lock before a client's streams.lock.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <vector>

#include "Database/Database.h"
#include "Database/Record.h"
#include "client/ClientLink.h"
#include "config/ServerConfig.h"
#include "util/JobPool.h"
#include "util/List.h"
#include "util/RateLimit.h"

struct RtmpStream;
struct ChatBacklog;

// Every live client; the debug monitor walks it under its lock.
extern List g_clients;

struct Client {
  ClientHandle link;           // the owner's reference
  char address[kTextSize] = {};  // peer
  char flashVer[kTextSize] GUARDED_BY(streams.lock) = {};
  // A player in a web page (FLV over HTTP or a WebSocket): it gets Opus
  // where others get Speex, which browsers do not decode.
  bool browser = false;
  RecordPtr<User> user;        // owned
  RecordPtr<Session> session;  // owned
  int32_t nextStreamId = 0;    // last id handed out
  List streams;                // of RtmpStream, owned by this client
  SiteConfig* site = nullptr;  // chosen at connect
  DbConnectionPtr db;          // opened at connect, closed after the jobs that use it (ClientCloseDbLater)
  RateLimit modelRate;         // model commands of this client
  // Objects to mark for thumbnails once the pass's output has left (owner
  // thread, RunThumbnailMarks).
  std::vector<int32_t> thumbnailMarks;
  // The stream the owner's loop serves next; cleared when it is freed.
  RtmpStream* nextStream = nullptr;
  pthread_t thread{};
  uint32_t cpuSample GUARDED_BY(g_clients.lock) = 0;
  // Owner thread only: chat texts still to be queued (chat/RtmpChatStatus.h),
  // and the budget of chatSendText.
  ChatBacklog* chatBacklog = nullptr;
  RateLimit chatTextRate;
  // Work that waits, in this client's order, and the results it posts back
  // (client/ClientJobs.h): the owner submits and applies them, the pool's
  // workers run them.
  JobQueuePtr jobs;
  JobPostBoxPtr posts;
  int commandJobs = 0;  // command jobs whose result has not been applied: input waits
};
