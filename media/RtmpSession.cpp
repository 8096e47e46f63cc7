// Viewing and recording accounting: the FileSession and RecordSession rows of
// a stream, and the timing that adds watched seconds to a FileSession row.
// Runs on the stream's connection thread; the FileSession updates that add watched
// seconds, and the rows a publish opens (OpenRecordingRow, CloseRecordingRow),
// run as the connection's jobs, on its own database connection.
#include <algorithm>
#include <cstdint>
#include <ctime>
#include <functional>

#include "Database/Database.h"
#include "Database/Record.h"
#include "client/Client.h"
#include "client/ClientJobs.h"
#include "media/RtmpStream.h"
#include "util/Clock.h"

namespace {

// A new open row of a FileSession or RecordSession; its id, 0 when the insert
// failed.
template <typename Row>
int32_t InsertOpenSession(DbConnection* db, int32_t sessionId, int32_t fileid, int32_t userId) {
  Row opened;
  opened.sessionid = sessionId;
  opened.fileid = fileid;
  opened.userid = userId;
  opened.started = const_cast<char*>(kDbNow);
  opened.status = kSessionOpen;
  return InsertRecord(db, &opened);
}

}  // namespace

int32_t OpenViewingRow(DbConnection* db, int32_t sessionId, int32_t fileid, int32_t userId) {
  RecordPtr<FileSession> row = LoadFileSession(db, "sessionid=%d and fileid=%d and userid=%d and status=%d",
                                               sessionId, fileid, userId, kSessionOpen);
  return row ? row->id : InsertOpenSession<FileSession>(db, sessionId, fileid, userId);
}

void OpenViewingSession(RtmpStream* stream, int32_t fileid) {
  Client* client = stream->client;
  if (client->session == nullptr || client->user == nullptr) return;
  stream->timing.rowId = OpenViewingRow(client->db.get(), client->session->id, fileid, client->user->id);
}

void OpenRecordingSession(RtmpStream* stream, int32_t fileid) {
  Client* client = stream->client;
  if (client->session == nullptr || client->user == nullptr) return;
  const int32_t sessionId = client->session->id;
  const int32_t userId = client->user->id;
  stream->timing.recording = true;
  stream->timing.rowId = OpenRecordingRow(client->db.get(), sessionId, fileid, userId);
  StartSessionTiming(stream);
}

int32_t OpenRecordingRow(DbConnection* db, int32_t sessionId, int32_t fileid, int32_t userId) {
  RecordPtr<RecordSession> row = LoadRecordSession(
      db, "sessionid=%d and fileid=%d and userid=%d and (status=%d or fileid=0)", sessionId, fileid, userId,
      kSessionOpen);
  return row ? row->id : InsertOpenSession<RecordSession>(db, sessionId, fileid, userId);
}

void CloseRecordingRow(DbConnection* db, int32_t rowId, int64_t start) {
  if (rowId == 0) return;
  const int64_t elapsed = std::max<int64_t>(SessionNow() - start, 0);
  DbUpdate(db, "update RecordSession set status=%d, duration=duration+%d where id=%d", kSessionClosed,
           static_cast<int32_t>(std::min<int64_t>(elapsed, INT32_MAX)), rowId);
}

void StartSessionTiming(RtmpStream* stream) {
  if (stream->timing.active) return;
  stream->timing.active = true;
  stream->timing.start = SessionNow();
}

void StopSessionTiming(RtmpStream* stream) {
  if (!stream->timing.active) return;
  stream->timing.active = false;
  int64_t elapsed = SessionNow() - stream->timing.start;
  // A calendar clock set back during the viewing must not take seconds off,
  // and a RecordSession id must not name a FileSession row.
  // The seconds are counted now; the statement runs on the job pool, after
  // the play's job that made the row.
  if (stream->timing.rowId != 0 && !stream->timing.recording && elapsed > 0) {
    ClientCompletionJob(stream->client, [db = stream->client->db.get(), rowId = stream->timing.rowId,
                                                     seconds = static_cast<int32_t>(std::min<int64_t>(elapsed, INT32_MAX))] {
      DbUpdate(db, "update FileSession set status=%d, duration=duration+%d where id=%d", kSessionClosed, seconds, rowId);
    });
  }
}

std::function<void()> CloseRecordingSessionLater(RtmpStream* stream) {
  SessionTiming& timing = stream->timing;
  if (!timing.active || !timing.recording) return {};
  timing.active = false;
  const int64_t elapsed = std::max<int64_t>(SessionNow() - timing.start, 0);
  // The row is closed even for a recording shorter than a second: the next
  // recording into the object is a new session.
  if (timing.rowId == 0) return {};
  return [db = stream->client->db.get(), rowId = timing.rowId,
          seconds = static_cast<int32_t>(std::min<int64_t>(elapsed, INT32_MAX))] {
    DbUpdate(db, "update RecordSession set status=%d, duration=duration+%d where id=%d", kSessionClosed, seconds,
             rowId);
  };
}
