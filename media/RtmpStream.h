// RtmpStream: one NetStream of a connection (created by createStream), with
// its playing side (RtmpStreamOut) and its publishing side (RtmpStreamIn);
// the stream commands; the parameters carried in play and publish names; the
// chunk stream ids handed out to streams; playback of files and the viewing
// accounting.
//
// Threads: a stream is created, served and freed by its connection's thread.
// Other threads (live publishers) only append packets to `output.queue` under
// its lock, and send it (under `output.sending`) or wake the connection; `queued` mirrors the queue's length for
// the pacing scan, which reads it without the queue lock.
// Lock order: g_streams.lock before a publisher's subscriber list before a
// player's queue lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Database/Record.h"
#include "media/RtmpFile.h"
#include "rtmp/Amf.h"
#include "rtmp/RtmpCore.h"
#include "server/ServerConfig.h"
#include "util/List.h"
#include "util/QueryParam.h"
#include "util/ThreadSafety.h"
#include "util/file.h"

struct DbConnection;
struct RtmpConnection;
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
};

struct RtmpStreamOut {
  RtmpStream* stream = nullptr;
  // Connection thread only: what the metadata tells the player.
  int32_t objectId = 0, authorId = 0, parentId = 0, masterId = 0;
  char title[kTextSize] = {};
  char picture[kTextSize] = {};
  bool hasAudio = false, hasVideo = false;
  uint32_t duration = 0;  // ms, timestamp of the last index entry
  uint64_t size = 0;      // offset of the last index entry
  std::vector<Segment> segments;

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
  // Held by the thread that moves the queue to the socket (the own one, or
  // a live publisher's sending for it), so that messages leave in order.
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
  RtmpConnection* connection = nullptr;
  RtmpContext* rtmp = nullptr;  // the connection's chunk stream
  uint32_t baseTimestamp = 0xFFFFFFFFu;  // -1: unset
  std::atomic<bool> publishing{false};  // other threads read it (live channels, monitor)
  std::atomic<bool> playing{false};
  RtmpStreamIn input;
  RtmpStreamOut output;
};

// ---- Query parameters ----
// QueryParam's value of `key` (e.g. "fileid=") in `name`, copied with a zero
// and cut to out.size() - 1 characters. Returns the length written. Integers
// are read with QueryParamInt (util/QueryParam.h).
size_t StreamParam(std::string_view name, const char* key, std::span<char> out);
// The value as the C library converts a decimal fraction (0 when absent or
// malformed).
double StreamParamDouble(std::string_view name, const char* key);

// ---- Stream life ----
// A new stream on the connection, or none when no chunk stream ids are left
// (nothing is created then and the id is not used up).
RtmpStream* CreateStreamRecord(RtmpConnection* connection);
// The first stream on the connection with this id (or the id of the message
// being handled); none when absent.
RtmpStream* FindStream(RtmpConnection* connection, int32_t id);
void ResetStream(RtmpStream* stream);
void FreeStream(RtmpStream* stream);

// ---- Command handlers (called by the connection's dispatcher) ----
// createStream: `_result` with the new id, or `_error` when no chunk stream
// id is free. Returns 1.
int CreateStream(RtmpConnection* connection);
int Play(RtmpStream* stream, const AmfObject* object);
int Seek(RtmpStream* stream, const AmfObject* object);
int Pause(RtmpStream* stream, const AmfObject* object);
int Publish(RtmpStream* stream, const AmfObject* object);
int DeleteStream(RtmpConnection* connection, const AmfObject* object);

// ---- Playing side (RtmpStreamOut.cpp) ----
// The entries of an index file, loaded once and shared while any player
// holds them: a two-hour lecture's index is megabytes, and every viewer
// used to load a copy. An index file replaced since (edit, rebuild: a new
// inode or a new modification time or size) is loaded afresh. *result as
// LoadIndex; the entries only for kLoaded.
std::shared_ptr<const std::vector<IndexEntry>> AcquirePlayIndex(const char* indexPath, IndexLoad* result);
// Index files whose entries are held by players now (for tests).
size_t SharedPlayIndexCount();

// Opens the file, sends the metadata and queues the opening tags. A start
// past those resumes as SeekStream does, and of the opening only the decoder
// configuration is kept. For a file already found (and its index built).
bool OpenPlayFile(RtmpStream* stream, const char* flvPath, const char* indexPath, int32_t start);
// The same with the index already acquired (AcquirePlayIndex's result).
bool OpenPlayFileIndexed(RtmpStream* stream, const char* flvPath, const char* indexPath, int32_t start,
                         std::shared_ptr<const std::vector<IndexEntry>> entries, IndexLoad loaded);
// Appends the next packet of the file (or a gap marker) to the queue; none at
// the end of the file or on failure.
RtmpPacket* ReadNextTag(RtmpStream* stream, bool forced);
RtmpPacket* QueueMarker(RtmpStream* stream, uint32_t timestamp);
void StartClock(RtmpStream* stream, uint32_t timestamp);
bool SendQueue(RtmpStream* stream) EXCLUDES(stream->output.sending);
// A live player's queue sent by the thread relaying to it, in one sendmsg,
// unless its own thread is sending: true when all of it left; false when
// the player's thread must be woken for the rest.
bool SendQueueForPlayer(RtmpStream* player) EXCLUDES(player->output.sending);
RtmpPacket* FindKeyFrame(RtmpStream* stream);
// Resumes at the last video key frame at or before t (audio from the same
// place), or at the index search's entry when there is none.
void SeekStream(RtmpStream* stream, uint32_t t);
// The end of the file: paused; "NetStream.Play.Complete", the viewing time
// accounted; kEndOfStreamDelayMs later (the pacing scan sees endDue) user
// control StreamEOF and "NetStream.Play.Stop".
void FinishPlayback(RtmpStream* stream);
// StreamEOF and "NetStream.Play.Stop", once endDue has come.
void SendEndOfStream(RtmpStream* stream);
constexpr int kEndOfStreamDelayMs = 250;
void PauseStream(RtmpStream* stream, bool pause);
void StopOutput(RtmpStream* stream);
void ClosePlayback(RtmpStream* stream);
void EmptyQueue(RtmpStream* stream);
// Appends a packet to the queue (the queue takes it), under the queue lock;
// wakes nobody: the owner's thread calls it and sends the queue itself.
void QueuePacket(RtmpStream* stream, RtmpPacket* packet);
// Milliseconds until the stream is to be served (0: now); -1 when paused,
// nothing is queued, or a file stream's refill waits for the socket to take
// the window before. `now100ns` is PacingNow().
int64_t StreamWait(RtmpStream* stream, int64_t now100ns);
// The lead L of a file stream in ms: the client's buffer length capped by
// PlayAheadMs, or PlayAheadMs when the client gave none. 0: no lead.
int32_t StreamLeadMs(const RtmpStream* stream);
// After SendQueue: reads the file on and sends what falls within the window
// (due up to now + L), ending it below the output queue's watermark; at the
// end of the file, Complete (at once, or when what was sent falls due).
// False when a send failed.
bool StreamServeFile(RtmpStream* stream, int64_t now100ns);
// The clock of the pacing: Monotonic100ns, or the one a test set (none
// restores it).
using PacingClock = int64_t (*)();
void PacingSetClock(PacingClock clock);
int64_t PacingNow();

// What a play resolves away from the connection's thread: copies of what it
// needs, never the connection or the stream.
struct PlayRequest {
  const SiteConfig* site = nullptr;
  DbConnection* db = nullptr;
  std::string name;     // the stream's name with its parameters
  std::string address;  // the client's, for reports
  bool loadIdentity = false;  // first the session and user of the name's phpsessid
  bool resolveFile = true;    // a recorded play (not a live channel's)
  bool acquireIndex = true;
  bool hasSession = false;    // the connection's session has a phpsessid
  std::string phpsessid;
  bool accounted = false;     // a session and a user: the play gets a FileSession row
  int32_t sessionId = 0, userId = 0;
};
struct PlayMetadata {
  char title[kTextSize] = {};
  int32_t objectId = 0, authorId = 0, parentId = 0, masterId = 0;
  char picture[kTextSize] = {};
};
struct PlayResolved {
  bool identityLoaded = false;
  RecordPtr<Session> session;
  RecordPtr<User> user;
  bool fileResolved = false;  // a recorded play was resolved: rowId is its row
  bool metaSet = false;  // the object (or recording) was found: meta is its
  PlayMetadata meta;
  int32_t thumbnailMark = 0;  // an object to mark for thumbnails
  PathText flvPath = {}, indexPath = {};
  bool found = false;  // a file to play, its index there
  int32_t rowId = 0;   // FileSession row
  IndexLoad indexLoaded = IndexLoad::kFailed;
  std::shared_ptr<const std::vector<IndexEntry>> entries;
};
PlayRequest PlayRequestOf(const RtmpStream* stream);
// The waiting part of a play: the session and user when asked, the object
// or recording, its file and index (built when missing, then loaded), the
// FileSession row. Reports what it refuses. Any thread.
void PlayResolve(const PlayRequest& req, PlayResolved& res);
// On the connection's thread: the identity, the metadata, the mark and the
// row into the connection and the stream (the records move out of `res`).
void PlayResolvedApply(RtmpStream* stream, PlayResolved& res);
// The session and user of the name's "phpsessid=" parameter. The identifier
// goes into a statement, so anything that is not a PHP session id is refused
// before a statement is built. Returns what was missing, for the client's
// status; none when both were loaded. Any thread.
const char* LoadIdentityByName(DbConnection* db, const char* name, const char* address, RecordPtr<Session>* session,
                               RecordPtr<User>* user);

// Finds the file to play for the stream's name (fileid, paramid, questionid,
// bookmarkid or the session's own recording) and keeps the object's metadata
// in stream->output; builds a missing index. False when there is nothing to
// play (reported).
bool ResolvePlayFile(RtmpStream* stream, PathText& flvPath, PathText& indexPath);
// The objects whose thumbnails a play asked the web application for,
// marked in the database once the connection's output has left (the
// player's first media does not wait for the statement).
void RunThumbnailMarks(RtmpConnection* connection);

// ---- Publishing side (RtmpStreamIn.cpp) ----
// An audio or video message for the stream: written when it records,
// counted and acknowledged every ackWindow bytes, relayed when it belongs to
// a live channel. The connection keeps the packet.
void ReceiveMedia(RtmpStream* stream, RtmpPacket* packet);
// One tag into the recording, its timestamp taken from the first one written.
// False when nothing was written (a failed write is reported once until
// writing works again, with the bytes lost).
bool WriteTag(RtmpStream* stream, RtmpPacket* packet);
// A publish name that can name a session recording inside the temp folder:
// no '/', '\', "..", NUL, and short enough for one file name with a session
// id of `sessionIdLength` characters.
bool RecordingNameIsSafe(const AmfProperty* name, size_t sessionIdLength);
// Opens the recording of the stream's name (a media object's file, or a
// session recording in the temp folder). A recording of the same file by
// another stream is ended first (on its own connection's thread; waited for
// kRecordingHandOverMs at most). Anything but kCreated is reported, with the
// reason in *why, and nothing was deleted or written.
enum class RecordingCreate {
  kCreated,
  kBadName,  // a media object's file outside the files folder, not ".flv", or through a link
  kFailed,   // no session, no object, the earlier recording did not end, a file not created
};
RecordingCreate CreateRecording(RtmpStream* stream, const char** why);
constexpr int kRecordingHandOverMs = 10000;
// Ends the recordings of the connection that other connections or a stop
// asked for ("NetStream.Unpublish.Success" to each). Connection thread, when
// woken.
void ServeRecordingCloseRequests(RtmpConnection* connection);
// Completes the file (header flags, final back pointer, flushed), then
// marks a media object for processing or places a session recording into
// its final file, then pauses RecordingClosePauseMs(). Holds no lock.
void CloseRecording(RtmpStream* stream);
void FinishSessionRecording(RtmpStream* stream);

// ---- Sessions (RtmpSession.cpp) ----
// The open FileSession row of the viewing, made when there is none; 0 when
// the insert failed. Any thread.
int32_t OpenViewingRow(DbConnection* db, int32_t sessionId, int32_t fileid, int32_t userId);
void OpenViewingSession(RtmpStream* stream, int32_t fileid);
void OpenRecordingSession(RtmpStream* stream, int32_t fileid);
void StartSessionTiming(RtmpStream* stream);
void StopSessionTiming(RtmpStream* stream);
// The end of a recording into a media object: its RecordSession row gets
// status 2 and the recorded seconds.
void CloseRecordingSession(RtmpStream* stream);
// Seconds since 1970 (the calendar clock).
int64_t SessionNow();
