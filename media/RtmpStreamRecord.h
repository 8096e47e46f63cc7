// The records of a stream (RtmpStream with its playing and publishing
// sides, its file and its session accounting), apart from the functions of
// RtmpStream.h, so that the live channels and the sending of queues can use
// them. Threads and locks as in RtmpStream.h.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "client/ClientLink.h"
#include "media/OpusAudio.h"
#include "media/RtmpFile.h"
#include "rtmp/RtmpCore.h"
#include "config/ServerConfig.h"
#include "util/List.h"
#include "util/ThreadSafety.h"
#include "util/file.h"

struct Client;
struct RtmpStream;

// Every stream of every connection.
extern List g_streams;

// The lock of the registry of active recordings (RtmpStreamIn.cpp).
extern Mutex g_recordingsLock;

// The file a stream plays or records into. Connection thread only.
struct RtmpStreamFile {
  bool open = false;
  int32_t objectId = 0;  // media object recorded into; 0 for session recordings
  File file;
  char path[kTextSize] = {};
  char indexPath[kTextSize] = {};
  // The whole index of a played file: immutable, shared by every player of
  // the same index file (AcquirePlayIndex).
  std::shared_ptr<const std::vector<IndexEntry>> frameindex;
  uint32_t backPointer = 0;            // for the next tag written
};

// FileSession / RecordSession accounting of the stream. Connection thread only.
struct SessionTiming {
  bool active = false;
  int64_t start = 0;  // seconds since 1970
  int32_t rowId = 0;
  bool recording = false;  // rowId names a RecordSession row, which timing never updates
};

struct RtmpStreamIn {
  RtmpStream* stream = nullptr;
  List subscribers;  // player streams of a live channel
  uint32_t ackWindow = 0x20000;
  uint32_t bytesSinceAck = 0;
  std::atomic<uint32_t> bytesIn{0};  // read and reset by the debug monitor
  // Live channel publisher, connection thread only: the Speex bit reader
  // and decoder (owned, RtmpChannel.h), and whether a dropped audio message
  // was reported (once per publish).
  void* speexBits = nullptr;
  void* speexDecoder = nullptr;
  bool audioDropReported = false;
  // The latest metadata (onMetaData), video decoder configuration and audio
  // decoder configuration of a channel publisher, for players that join
  // later (owned; bodies shared with the copies sent). Connection thread only.
  RtmpPacket* metaData = nullptr;
  RtmpPacket* videoConfig = nullptr;
  RtmpPacket* audioConfig = nullptr;
  // The channel's Opus for its browser players, while there are any: fed
  // by the publisher's thread (RelayMedia).
  mutable OpusChannelSlot opus;
  // Recording state, connection thread only.
  bool writeFailing = false;  // the last tag write failed (reported once)
  uint64_t bytesLost = 0;     // since writing began to fail
  std::string journal;        // crash journal of a media-object recording
  // Per track (0 audio, 1 video): the timestamp last written, which the next
  // one may not go below.
  uint32_t lastWritten[2] = {0, 0};
  // The file this stream records into, as held in the registry of active
  // recordings (empty: none). Connection thread, under the registry's lock.
  std::string recordingKey GUARDED_BY(g_recordingsLock);
  // Another connection publishes the same recording name, or the server
  // stops: this recording is to end. Set under the registry's lock.
  std::atomic<bool> closeRequested{false};
  // Claimed, its file being opened on the job pool: a request to end it is
  // served once the publish is answered. Connection thread only.
  bool creating = false;
};

// A browser player of a file with Speex audio: the file's Speex is left
// out and the Opus of its sidecar merged in by timestamp. Connection thread
// only.
struct PlayOpus {
  bool active = false;     // the file's Speex is left out
  OpusSidecarPtr sidecar;  // none (after a failed build): no audio
  OpusSidecarReader reader;
  OpusMessage next;
  bool holding = false;  // `next` was read and waits for its turn
  bool ended = false;    // the sidecar has no more tags
  bool started = false;  // its SequenceStart was queued
  bool waiting = false;  // the last read waits for the builder: retried at retryAt
  int64_t retryAt = 0;   // PacingNow()
};

struct RtmpStreamOut {
  RtmpStream* stream = nullptr;
  // Connection thread only: what the metadata tells the player.
  int32_t objectId = 0, authorId = 0, parentId = 0, masterId = 0;
  // Strings, not fixed texts: every stream has them, few fill them; at most
  // kTextSize - 1 characters, as the play's metadata gives them.
  std::string title;
  std::string picture;
  bool hasAudio = false, hasVideo = false;
  uint32_t duration = 0;  // ms, timestamp of the last index entry
  uint64_t size = 0;      // offset of the last index entry
  std::vector<Segment> segments;
  PlayOpus opus;

  std::atomic<bool> paused{false};
  std::atomic<uint32_t> dropped{0};   // read and reset by the debug monitor
  // Written and read only under queue.lock: a publisher's relay sets them,
  // the own thread clears them as the first messages leave and sets them
  // again on seek and resume.
  bool waitingForKeyFrame GUARDED_BY(queue.lock) = false;
  bool firstVideoPending GUARDED_BY(queue.lock) = true;
  bool firstAudioPending GUARDED_BY(queue.lock) = true;
  // A live player that joined a publisher: the publisher's metadata and
  // decoder configuration go before the next relayed message it takes.
  bool needsConfig GUARDED_BY(queue.lock) = false;
  std::atomic<uint32_t> bytesOut{0};  // read and reset by the debug monitor

  // Packets waiting to be sent, oldest first: RtmpPacket*, owned by the
  // queue (RtmpPacketDestroy). Changed only under queue.lock.
  List queue;
  // Held while the queue moves to the socket, by the holder of the
  // connection's serve lock (its thread or its send loop).
  Mutex sending;
  std::atomic<uint32_t> queued{0};  // queue.count, for the lock-free pacing scan
  uint64_t queueBytes GUARDED_BY(queue.lock) = 0;    // bodies held by the queue
  uint32_t waitingSince GUARDED_BY(queue.lock) = 0;  // LiveChannelNow() when the head became the head
  // A live player's merge period: when relayed media was last sent or woken
  // for (LiveChannelNow), and whether media waits for the period's end.
  uint32_t relaySentAt GUARDED_BY(queue.lock) = 0;
  bool relayDeferred GUARDED_BY(queue.lock) = false;
  int64_t clockStart = 0;           // Monotonic100ns when the clock last started
  int64_t endDue = 0;               // Monotonic100ns for SendEndOfStream; 0: none (connection thread)
  // Timestamp of the packet last appended: written by the own thread, read
  // by the debug monitor, so atomic.
  std::atomic<uint32_t> lastQueued{0};
  uint32_t lastSent = 0;  // lastQueued when the last packet left (connection thread)
  // The lead of a file stream (connection thread). The client's buffer
  // length from SetBufferLength, -1 when it sent none (StreamLeadMs).
  int32_t bufferMs = -1;
  bool windowPending = false;    // the next window goes out at once (play, seek, resume)
  bool completePending = false;  // the file ended ahead of the clock: Complete when what was sent falls due
  int64_t pausedAt = -1;         // stream position when the player paused; -1: not paused by it
  bool heldForOutput = false;    // the last StreamWait held a refill for the socket
  // Where the tag after the last window starts, left in the file with its
  // timestamp as lastQueued (-1: none); it holds while the file stays there.
  int64_t nextTagOffset = -1;
  // While a window is read (connection thread): the bodies of its small
  // tags are cut from shared blocks, one allocation for many messages.
  // None between windows (ServeWindow).
  bool carving = false;
  SharedBody bodyBlock;
  uint32_t bodyBlockUsed = 0;
  // A live player's node in each subscriber list that holds it (usually
  // one; one more per further publisher of its channel), so that it leaves
  // them without a search. Changed with the lists, under g_streams.lock.
  std::vector<std::pair<RtmpStream*, ListNode*>> subscriptions GUARDED_BY(g_streams.lock);
};

// Who touches what: `id`, `site`, the chunk stream ids, `connection` and
// `rtmp` are set at creation; `name` is written by the own thread under the
// connection's streams.lock (the debug monitor reads it there); `fileid`,
// `userid` and `channel` under g_streams.lock (live channel matching reads
// them from other threads); `publishing` and `playing` are atomic; `file`,
// `timing` and `baseTimestamp` are the own thread's. See RtmpStreamIn and
// RtmpStreamOut for their sides.
struct RtmpStream {
  char name[kTextSize] = {};  // play or publish name with its parameters
  int32_t id = 0;             // also the message stream id of what we send
  SiteConfig* site = nullptr;
  int32_t audioChannel = 0, videoChannel = 0, dataChannel = 0;
  RtmpStreamFile file;
  SessionTiming timing;
  int32_t fileid = 0, userid = 0, channel = 0;
  Client* client = nullptr;     // set once; its own thread only
  // Its client's link, set once: what live publishers and the recordings
  // registry reach the stream's connection through (they wake it).
  ClientHandle link;
  RtmpContext* rtmp = nullptr;  // the connection's chunk stream (link->rtmp)
  uint32_t baseTimestamp = 0xFFFFFFFFu;  // -1: unset
  std::atomic<bool> publishing{false};  // other threads read it (live channels, monitor)
  std::atomic<bool> playing{false};
  bool browser = false;  // set at creation: its client's (Client::browser)
  RtmpStreamIn input;
  RtmpStreamOut output;
};
