// RtmpStream: one NetStream of a connection (created by createStream), with
// its playing side (RtmpStreamOut) and its publishing side (RtmpStreamIn);
// the stream commands; the parameters carried in play and publish names; the
// chunk stream ids handed out to streams; playback of files and the viewing
// accounting. The records themselves are in RtmpStreamRecord.h, the sending
// of a stream's queue in StreamSend.h.
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
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Database/Record.h"
#include "client/ClientLink.h"
#include "media/RtmpFile.h"
#include "media/RtmpStreamRecord.h"
#include "media/StreamSend.h"
#include "rtmp/Amf.h"
#include "rtmp/RtmpCore.h"
#include "config/ServerConfig.h"
#include "util/Clock.h"
#include "util/List.h"
#include "util/QueryParam.h"
#include "util/ThreadSafety.h"
#include "util/file.h"

struct Fd;

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
RtmpStream* CreateStreamRecord(Client* client);
// The first stream on the connection with this id (or `messageStreamId`, the
// stream id of the message being handled); none when absent.
RtmpStream* FindStream(Client* client, int32_t id, int32_t messageStreamId);
void ResetStream(RtmpStream* stream);
void FreeStream(RtmpStream* stream);

// ---- Command handlers (called by the connection's dispatcher) ----
int Play(RtmpStream* stream, const AmfObject* object);
int Seek(RtmpStream* stream, const AmfObject* object);
int Pause(RtmpStream* stream, const AmfObject* object);
int Publish(RtmpStream* stream, const AmfObject* object);
int DeleteStream(Client* client, const AmfObject* object, int32_t messageStreamId);

// ---- Playing side (RtmpStreamOut.cpp) ----
// The entries of an index file, loaded once and shared while any player
// holds them: a two-hour lecture's index is megabytes, and every viewer
// used to load a copy. An index file replaced since (edit, rebuild: a new
// inode or a new modification time or size) is loaded afresh. *result as
// LoadIndex; the entries only for kLoaded.
std::shared_ptr<const std::vector<IndexEntry>> AcquirePlayIndex(const char* indexPath, IndexLoad* result);
// Index files whose entries are held by players now (for tests).
size_t SharedPlayIndexCount();

// onStatus {level StatusLevel(code), code, description} on the stream's data
// channel.
int SendStatus(RtmpStream* stream, const char* code, const char* description);
// onMetaData of the stream's media (the file part only while a file is open).
int SendMetaData(RtmpStream* stream);

// Opens the file, sends the metadata and queues the opening tags. A start
// past those resumes as SeekStream does, and of the opening only the decoder
// configuration is kept. For a file already found (and its index built).
bool OpenPlayFile(RtmpStream* stream, const char* flvPath, const char* indexPath, int32_t start);
// The same with the index already acquired (AcquirePlayIndex's result).
bool OpenPlayFileIndexed(RtmpStream* stream, const char* flvPath, const char* indexPath, int32_t start,
                         std::shared_ptr<const std::vector<IndexEntry>> entries, IndexLoad loaded);
// Appends the next packet of the file (or a gap marker) to the queue; none at
// the end of the file or on failure. With a lead, a media tag due later
// than `lead100ns` from `now100ns` is left in the file (only its header is
// read): none, with output.nextTagOffset set and its time as lastQueued.
RtmpPacket* ReadNextTag(RtmpStream* stream, bool forced, int64_t now100ns = 0, int64_t lead100ns = 0);
RtmpPacket* QueueMarker(RtmpStream* stream, uint32_t timestamp);
void StartClock(RtmpStream* stream, uint32_t timestamp);
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
void RunThumbnailMarks(Client* client);

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
bool RecordingNameIsSafe(std::string_view name, size_t sessionIdLength);
enum class RecordingCreate {
  kCreated,
  kBadName,  // a media object's file outside the files folder, not ".flv", or through a link
  kFailed,   // no session, no object, the earlier recording did not end, a file not created
};
// What a publish resolves away from the connection's thread: copies of what
// it needs, never the connection or the stream.
struct PublishRequest {
  const SiteConfig* site = nullptr;
  DbConnection* db = nullptr;
  std::string name;     // the stream's name with its parameters
  std::string sent;     // the name argument as sent, before it was cut to the stream's field
  std::string address;  // the client's, for reports
  bool loadIdentity = false;  // first the session and user of the name's phpsessid
  bool records = false;       // a recording is made (not only a live channel)
  bool hasSession = false;    // the connection has a web session
  std::string phpsessid;
};
// Where a recording goes, once its name and object were checked.
struct RecordingTarget {
  PathText path = {};
  int32_t fileid = 0;          // a media object's file; 0: a session recording
  std::shared_ptr<Fd> folder;  // the object's folder, checked to hold no link
  std::string leaf;            // the object's file name in it
};
struct PublishPrepared {
  bool identityLoaded = false;
  RecordPtr<Session> session;
  RecordPtr<User> user;
  const char* missing = nullptr;  // the identity is missing: BadName with this
  bool nameRefused = false;       // a session recording's name is not safe
  RecordingCreate created = RecordingCreate::kCreated;
  const char* why = "";
  RecordingTarget target;
};
// The waiting part of a publish: the session and user when asked, the name's
// check, the object and its folder or the session recording's path. Reports
// what it refuses. Any thread.
void PublishPrepare(const PublishRequest& req, PublishPrepared& res);
// Opens the prepared recording for the stream: claims the file (a recording
// of it by another stream is ended first, on that stream's connection
// thread; waited for kRecordingHandOverMs at most, on the job pool), then
// opens the row, the journal and the file on the job pool. `done` runs on
// the connection's thread with the outcome; anything but kCreated was
// reported, with the reason in `why`, and nothing was deleted or written.
// The client's input waits until then.
using RecordingCreated = std::function<void(RtmpStream* stream, RecordingCreate created, const char* why)>;
void CreateRecordingLater(RtmpStream* stream, RecordingTarget target, RecordingCreated done);
constexpr int kRecordingHandOverMs = 10000;
// The reason given when the job pool refused a publish's work.
inline constexpr char kRecordingServerBusy[] = "server busy";
// Ends the recordings of the connection that other connections or a stop
// asked for ("NetStream.Unpublish.Success" to each); one whose file is still
// being opened is ended after its publish is answered. Connection thread,
// when woken.
void ServeRecordingCloseRequests(Client* client);
// Completes the file (header flags, final back pointer, flushed), then
// marks a media object for processing or places a session recording into
// its final file. Holds no lock. All but the two header writes run on the
// client's job queue: the file stays claimed, and the client's input waits,
// until it is placed.
void CloseRecording(RtmpStream* stream);

// ---- Sessions (RtmpSession.cpp) ----
// The open FileSession row of the viewing, made when there is none; 0 when
// the insert failed. Any thread.
int32_t OpenViewingRow(DbConnection* db, int32_t sessionId, int32_t fileid, int32_t userId);
void OpenViewingSession(RtmpStream* stream, int32_t fileid);
void OpenRecordingSession(RtmpStream* stream, int32_t fileid);
// The open RecordSession row of a recording into an object, made when there
// is none; 0 when the insert failed. Any thread.
int32_t OpenRecordingRow(DbConnection* db, int32_t sessionId, int32_t fileid, int32_t userId);
// Closes the row of a recording that began at `start` (SessionNow()). Any thread.
void CloseRecordingRow(DbConnection* db, int32_t rowId, int64_t start);
void StartSessionTiming(RtmpStream* stream);
void StopSessionTiming(RtmpStream* stream);
// The end of a recording into a media object: its RecordSession row gets
// status 2 and the recorded seconds, counted now; the statement is returned,
// to run on the job pool (empty when there is no row).
std::function<void()> CloseRecordingSessionLater(RtmpStream* stream);
