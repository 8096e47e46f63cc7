// Recording files outside a stream's life: placing a finished session
// recording into its final file, the journal that marks a recording into a
// media object while it runs, and the start-up recovery of recordings that a
// crash left unclosed.
//
// FinishSessionRecordingFiles and the journal calls run on the recording
// connection's thread; RecoverRecordings runs once at start-up before any
// connection is accepted. Nothing here takes a lock but the stop's wait for
// the recordings in progress.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "util/List.h"

struct SiteConfig;

// Moves or merges the session recording of `streamName` in `temp` (its
// "phpsessid=P&NAME.flv") into its final file, as the name's "startpos=",
// "insert=", "bookmarkid=" and "questionid=" ask. The earlier final file and
// the recording are kept byte for byte unless the merged output was written,
// flushed and renamed over the final file; only then is the recording
// removed. False (reported) when they were kept.
bool FinishSessionRecordingFiles(const char* temp, const char* phpsessid, const char* streamName);

// A stop: asks every recording in progress to end on its own connection's
// thread, exactly as its end would (written, flushed, placed or marked and
// accounted, its journal removed last), and waits up to limitMs for all of
// them. From the call on, no recording begins. Returns how many were still
// open at the deadline (they are repaired at the next start). Any thread.
size_t RecordingsCloseForStop(int limitMs);

// The journal of a recording into a media object: a small file in the site's
// temp folder naming the object's file, the object and its RecordSession row,
// written and flushed before the object's file is touched. Returns the
// journal's path, empty when it could not be written (reported; the publish
// then fails and the file is left as it was).
std::string RecordingJournalCreate(const char* temp, const char* flvPath, int32_t objectId, int32_t rowId);
// Removes it once the recording is closed and accounted.
void RecordingJournalRemove(const std::string& journalPath);

// A media-object recording repaired at start-up whose database part (scanstatus
// 3, the RecordSession row closed) is still to be done.
struct RecoveredObject {
  std::string journal;
  int32_t objectId = 0;
  int32_t rowId = 0;
  uint32_t keptMs = 0;
};

// Repairs and completes the recordings a crash left in the site's temp folder:
// session recordings found by their name and zero header are repaired and
// moved or merged into place; left-over outputs of an interrupted merge are
// removed; media-object recordings named by journals are repaired and their
// indexes removed. Each repaired file is logged with the tags and
// milliseconds kept. The media objects whose database part remains are
// returned.
std::vector<RecoveredObject> RecoverSiteRecordings(const SiteConfig* site);
// The database part for one site: "update Object set scanstatus=3", the
// RecordSession row closed with the kept seconds; each journal is removed
// once its update succeeded. Waits for the database as a connection does.
void CompleteRecoveredObjects(const SiteConfig* site, const std::vector<RecoveredObject>& objects);

// Start-up: RecoverSiteRecordings for every site of the list; the database
// parts run on a thread of their own, so that a database that is down does
// not keep the server from accepting.
void RecoverRecordings(List* sites);
