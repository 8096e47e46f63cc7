// Client: what media/, chat/ and the model commands see of one RTMP client:
// its peer address, site, web session and user, database connection, its
// streams and the state those modules keep per client. The connection driver
// in connection/ is a Client plus its loop; other threads never touch a
// Client's fields: they hold its link (client/ClientLink.h).
//
// Who touches what:
//  - set once at creation: link, address, thread, browser;
//  - the owner thread only: db, nextStreamId, thumbnailMarks, chatBacklog,
//    chatTextRate, modelRate, nextStream;
//  - written by the owner thread under streams.lock, read by the debug
//    monitor under it: flashVer, site, user; session and user are replaced
//    together by ClientSetIdentity only (client/ClientIdentity.h). The owner
//    reads them without the lock;
//  - `streams` and the pacing scan: under streams.lock;
//  - `cpuSample`: the debug monitor only;
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

struct Client {
  ClientHandle link;           // the owner's reference
  char address[kTextSize] = {};  // peer
  char flashVer[kTextSize] = {};
  // A player in a web page (FLV over HTTP or a WebSocket): it gets Opus
  // where others get Speex, which browsers do not decode.
  bool browser = false;
  RecordPtr<User> user;        // owned
  RecordPtr<Session> session;  // owned
  int32_t nextStreamId = 0;    // last id handed out
  List streams;                // of RtmpStream, owned by this client
  SiteConfig* site = nullptr;  // chosen at connect
  DbConnectionPtr db;          // opened at connect, closed at teardown
  RateLimit modelRate;         // model commands of this client
  // Objects to mark for thumbnails once the pass's output has left (owner
  // thread, RunThumbnailMarks).
  std::vector<int32_t> thumbnailMarks;
  // The stream the owner's loop serves next; cleared when it is freed.
  RtmpStream* nextStream = nullptr;
  pthread_t thread{};
  uint32_t cpuSample = 0;
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

// Every live client; the debug monitor walks it under its lock.
extern List g_clients;
