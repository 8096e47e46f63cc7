// The publishing side of a stream: incoming audio and video, their
// acknowledgement, recording into FLV files, and placing a finished session
// recording into its final file. Runs on the publishing connection's thread,
// but for what waits: a publish's statements, journal and file, its wait for
// a file another connection records, and a close's fsync, statements and
// placing run on the job pool with copies (the registry of recordings has its
// own lock); the live relay takes its own.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <thread>

#include "Database/Database.h"
#include "Database/Record.h"
#include "client/Client.h"
#include "client/ClientJobs.h"
#include "rtmp/RtmpFunctions.h"
#include "media/Recording.h"
#include "media/RtmpChannel.h"
#include "media/RtmpStream.h"
#include "rtmp/RtmpFunctions.h"
#include "util/Log.h"
#include "util/EnvNumber.h"
#include "util/Fd.h"

Mutex g_recordingsLock;

namespace {

constexpr uint32_t kUnsetTimestamp = 0xFFFFFFFFu;
// Counted per message on top of its body, as the status report always has.
constexpr uint32_t kMessageOverhead = 18;
// Attempts at an unused name for an editing operation's output.
constexpr int kOutputNameAttempts = 100;

const char* Text(const char* text) { return text ? text : ""; }

// Writes all of `parts` at the file's position; on a short or failed write
// the file is cut back to where it stood, so that a lost tag leaves no
// half-record that would break every reader of the file.
bool WriteWhole(const char* path, int fd, iovec* parts, int count) {
  const off_t start = lseek(fd, 0, SEEK_CUR);
  size_t total = 0;
  for (int i = 0; i < count; ++i) total += parts[i].iov_len;
  size_t done = 0;
  size_t fit = 0;
  const bool injected = FileInjectWriteFault(path, total, &fit);
  if (injected) {
    // The disk fills after `fit` bytes of this record.
    for (int i = 0; i < count && fit > 0; ++i) {
      const size_t part = std::min(fit, parts[i].iov_len);
      if (write(fd, parts[i].iov_base, part) != ssize_t(part)) break;
      fit -= part;
    }
    errno = ENOSPC;
  }
  while (!injected && done < total) {
    const ssize_t put = writev(fd, parts, count);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) break;
    done += size_t(put);
    // Step over what went out.
    size_t skip = size_t(put);
    while (count > 0 && skip >= parts->iov_len) {
      skip -= parts->iov_len;
      ++parts;
      --count;
    }
    if (count > 0) {
      parts->iov_base = static_cast<uint8_t*>(parts->iov_base) + skip;
      parts->iov_len -= skip;
    }
  }
  if (!injected && done == total) return true;
  const int code = errno;
  if (start >= 0) {
    if (ftruncate(fd, start) != 0) {
      // Nothing more can be done here; the repair at the next start drops the
      // half record.
    }
    lseek(fd, start, SEEK_SET);
  }
  errno = code != 0 ? code : ENOSPC;
  return false;
}

// Where a recording into a media object may go: an ".flv" name below the
// site's files folder. Any client can shape the rows (a FolderImport with any
// folder, an Object with any name), so unlike reading, writing never follows
// an import folder out of the files folder. `relative` receives the path
// below the files folder, '/'-separated.
RecordingCreate ObjectRecordingRelative(DbConnection* db, const SiteConfig* site, const VFile& file,
                                        std::string* relative, const char** why) {
  const char* pathname = Text(file.pathname);
  *why = "not a file the server may record into";
  if (file.storage != 1 && file.folderimportid == 0) return RecordingCreate::kBadName;
  if (!RecordTextIsWhole(&file, &file.pathname) || !IsFlvFileName(pathname) ||
      strncmp(pathname, "http://", 7) == 0 || !PathPartIsConfined(pathname))
    return RecordingCreate::kBadName;
  std::string below;
  if (file.folderimportid != 0) {
    RecordPtr<FolderImport> import = LoadFolderImport(db, "id=%d", file.folderimportid);
    if (!import) {
      errno = 0;
      REPORT_ASSERT("fi", "WsContentHelper");
      *why = "the object's import was not found";
      return RecordingCreate::kFailed;
    }
    const char* location = Text(import->location);
    if (!RecordTextIsWhole(import.get(), &import->location)) return RecordingCreate::kBadName;
    // A web import's objects lie in the files folder itself.
    if (strncmp(location, "http://", 7) != 0) {
      std::string files = FileSystemPath(site->files);
      std::string folder = FileSystemPath(location);
      while (files.size() > 1 && files.back() == '/') files.pop_back();
      while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
      if (folder != files) {
        if (files.empty() || folder.compare(0, files.size() + 1, files + "/") != 0) return RecordingCreate::kBadName;
        below = folder.substr(files.size() + 1);
        // The part below the files folder may not climb out of it again.
        if (!PathPartIsConfined(below)) return RecordingCreate::kBadName;
        below += "/";
      }
    }
  }
  if (site->files[0] == '\0') {
    *why = "the site has no files folder";
    return RecordingCreate::kFailed;
  }
  *relative = FileSystemPath(below + pathname);
  return RecordingCreate::kCreated;
}

// Opens the folder that holds `relative` below the files folder, refusing a
// symbolic link among the folders below it (the files folder itself may be
// one). *leaf receives the file's own name. A link, or a leaf that is
// anything but a regular file, is kBadName.
RecordingCreate OpenRecordingFolder(const char* files, const std::string& relative, Fd* folder,
                                    std::string* leaf, const char** why) {
  *why = "the object's folder cannot be opened";
  folder->fd = open(FileSystemPath(files).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder->fd < 0) return RecordingCreate::kFailed;
  size_t start = 0;
  for (;;) {
    const size_t slash = relative.find('/', start);
    if (slash == std::string::npos) break;
    const std::string part = relative.substr(start, slash - start);
    start = slash + 1;
    if (part.empty() || part == ".") continue;
    const int next = openat(folder->fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) {
      if (errno == ELOOP || errno == ENOTDIR) {
        *why = "a link or a file on the way to the object's file";
        return RecordingCreate::kBadName;
      }
      return RecordingCreate::kFailed;
    }
    close(folder->fd);
    folder->fd = next;
  }
  *leaf = relative.substr(start);
  struct stat st;
  if (fstatat(folder->fd, leaf->c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(st.st_mode)) {
    *why = "the object's file is a link or not a file";
    return RecordingCreate::kBadName;
  }
  return RecordingCreate::kCreated;
}

// The registry of files being recorded, by their path: one recording per
// file. A stream is listed from the claim in CreateRecording until its
// CloseRecording; while it is listed it (and its connection) stay alive,
// since freeing a stream closes its recording. A null entry is a file whose
// close job runs: nobody opens it until that job has placed it.
std::condition_variable_any g_recordingsChanged;
std::map<std::string, RtmpStream*> g_recordings GUARDED_BY(g_recordingsLock);
// Streams asked to end their recording, so that a wake finds out cheaply
// that there is nothing to do.
std::atomic<int> g_closeRequests{0};
// Set once by a stop: every recording is ended, and none begins any more.
std::atomic<bool> g_recordingsStopping{false};

// Asks the stream's own connection thread to end its recording.
void RequestRecordingClose(RtmpStream* holder) REQUIRES(g_recordingsLock) {
  if (holder->input.closeRequested.exchange(true)) return;
  ++g_closeRequests;
  ClientWake(*holder->link);
  g_recordingsChanged.notify_all();
}

void ReleaseRecordingTarget(RtmpStream* stream) {
  RtmpStreamIn& in = stream->input;
  MutexLock lock(g_recordingsLock);
  if (in.closeRequested.exchange(false)) --g_closeRequests;
  if (in.recordingKey.empty()) return;
  auto it = g_recordings.find(in.recordingKey);
  if (it != g_recordings.end() && it->second == stream) g_recordings.erase(it);
  in.recordingKey.clear();
  g_recordingsChanged.notify_all();
}

// Hands the stream's entry to its close job: the stream is free at once,
// while the file stays listed. The key to release after the job; empty when
// the stream held none.
std::string DetachRecordingTarget(RtmpStream* stream) {
  RtmpStreamIn& in = stream->input;
  MutexLock lock(g_recordingsLock);
  if (in.closeRequested.exchange(false)) --g_closeRequests;
  std::string key;
  key.swap(in.recordingKey);
  auto it = g_recordings.find(key);
  if (it == g_recordings.end() || it->second != stream) return {};
  it->second = nullptr;
  return key;
}

// The close job has placed the file: a publisher waiting for it may begin,
// and a stop waiting for every recording sees it end.
void ReleaseClosedRecording(const std::string& key) {
  if (key.empty()) return;
  MutexLock lock(g_recordingsLock);
  auto it = g_recordings.find(key);
  if (it != g_recordings.end() && it->second == nullptr) g_recordings.erase(it);
  g_recordingsChanged.notify_all();
}

// The normal end of a recording that another publisher takes over, or that
// a stop ends.
void EndRecordingOnRequest(RtmpStream* stream) {
  const bool stopping = g_recordingsStopping.load();
  ResetStream(stream);
  ReleaseRecordingTarget(stream);
  SendStatus(stream, "NetStream.Unpublish.Success", stopping ? "server stopping" : "published anew");
}

// Lists `key` for the stream, first ending another stream's recording of it:
// at once when that stream is this connection's, else by asking its own
// connection's thread. False while the file is another's or its close job
// runs: the caller waits (WaitRecordingTargetFree) and tries again. The
// wait is never on this connection's thread nor its job queue, so that this
// connection's own recordings that others ask for still end meanwhile, and
// two connections taking over each other's files cannot wait for each other.
bool TryClaimRecordingTarget(RtmpStream* stream, const std::string& key) {
  Client* client = stream->client;
  UniqueLock<Mutex> lock(g_recordingsLock);
  for (;;) {
    auto it = g_recordings.find(key);
    if (it == g_recordings.end()) {
      g_recordings.emplace(key, stream);
      stream->input.recordingKey = key;
      return true;
    }
    RtmpStream* holder = it->second;
    if (holder != nullptr && holder->client == client) {
      lock.unlock();
      EndRecordingOnRequest(holder);
      lock.lock();
      continue;
    }
    if (holder != nullptr) RequestRecordingClose(holder);
    return false;
  }
}

// Until nobody lists `key`, or the deadline. Any thread.
void WaitRecordingTargetFree(const std::string& key, std::chrono::steady_clock::time_point deadline) {
  UniqueLock<Mutex> lock(g_recordingsLock);
  while (g_recordings.count(key) != 0 && std::chrono::steady_clock::now() < deadline)
    g_recordingsChanged.wait_until(lock, deadline);
}

// The index beside the object's file and the one playback of the object uses,
// in the cache folder: both describe the file being replaced.
void DeleteObjectIndexes(const SiteConfig* site, const char* flvPath, int32_t objectId) {
  PathText index;
  if (IndexPathOf(index, flvPath)) FileDelete(index);
  if (ObjectIndexPath(index, site->cache, objectId)) FileDelete(index);
}

bool SyncFile(const char* path) {
  const int fd = open(FileSystemPath(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = fsync(fd) == 0;
  close(fd);
  return ok;
}

// Makes a rename durable: the folder's entry is flushed too.
void SyncFolderOf(const char* path) {
  std::string folder = FileSystemPath(path);
  const size_t slash = folder.rfind('/');
  folder = slash == std::string::npos ? "." : folder.substr(0, slash == 0 ? 1 : slash);
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

// A name for the output of an editing operation, created exclusively so that
// no other recording (another connection of the same web session) can pick
// it while this one is written. The file is left empty for the operation.
bool ReserveEditOutput(const char* temp, const char* phpsessid, PathText& out) {
  for (int attempt = 0; attempt < kOutputNameAttempts; ++attempt) {
    if (!EditOutputPath(out, temp, phpsessid, static_cast<uint32_t>(rand()))) return false;
    const int fd = open(FileSystemPath(out).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) {
      close(fd);
      return true;
    }
    if (errno != EEXIST) break;
  }
  REPORT_ASSERT("O_EXCL output", "RtmpStreamIn");
  out[0] = '\0';
  return false;
}

}  // namespace

void ReceiveMedia(RtmpStream* stream, RtmpPacket* packet) {
  if (packet->m_nBodySize == 0) return;
  // Only a recording's file is written; a played file is open for reading.
  if (stream->file.open && stream->file.file.IsWrite()) WriteTag(stream, packet);
  RtmpStreamIn& in = stream->input;
  in.bytesIn += packet->m_nBodySize + kMessageOverhead;
  in.bytesSinceAck += packet->m_nBodySize;
  if (in.bytesSinceAck >= in.ackWindow) {
    in.bytesSinceAck = 0;
    // The publisher's own clients expect the message's timestamp here, not a
    // byte count.
    SendAcknowledgement(stream->rtmp, packet->m_nTimestamp);
  }
  if (stream->channel == 0) return;
  RelayMedia(stream, packet);
}

bool WriteTag(RtmpStream* stream, RtmpPacket* packet) {
  RtmpStreamFile& f = stream->file;
  if (!f.open || packet->m_nBodySize == 0 || packet->m_body == nullptr || !f.file.IsOpen()) return false;
  if (stream->baseTimestamp == kUnsetTimestamp) stream->baseTimestamp = packet->m_nTimestamp;
  RtmpStreamIn& in = stream->input;
  // A track never goes back in time: a message stamped before the first one
  // written (audio and video need not arrive in time order), or before the
  // track's last one, and a jump forward by more than 2^31 ms (which an
  // editing operation's shift would wrap) are written at the track's last
  // timestamp.
  uint32_t& last = in.lastWritten[packet->m_nMessageType == kFlvTagVideo ? 1 : 0];
  uint32_t timestamp = packet->m_nTimestamp - stream->baseTimestamp;
  if (timestamp < last || timestamp - last > 0x80000000u) timestamp = last;
  FlvTagHeader h;
  h.backPointer = f.backPointer;
  h.type = packet->m_nMessageType;
  h.dataSize = packet->m_nBodySize;
  h.timestamp = timestamp;
  uint8_t header[kFlvTagHeaderSize];
  EncodeTagHeader(h, header);
  iovec parts[2] = {{header, sizeof header}, {packet->m_body, packet->m_nBodySize}};
  if (!WriteWhole(f.path, f.file._handle, parts, 2)) {
    const uint64_t lost = sizeof header + uint64_t{packet->m_nBodySize};
    // A full disk fails every tag: one report, not one per tag (each report
    // would also be written to the same disk).
    if (!in.writeFailing)
      ReportError("Unable to write %llu bytes to file %s; recording goes on, further failures are counted",
                  static_cast<unsigned long long>(lost), f.path);
    in.writeFailing = true;
    in.bytesLost += lost;
    return false;
  }
  if (in.writeFailing) {
    LogToFile("error", "Recording %s: writing works again; %llu bytes were lost", f.path,
              static_cast<unsigned long long>(in.bytesLost));
    in.writeFailing = false;
    in.bytesLost = 0;
  }
  f.backPointer = h.dataSize + uint32_t(kFlvTagFieldsSize);
  last = timestamp;
  if (h.type == kFlvTagAudio) stream->output.hasAudio = true;
  if (h.type == kFlvTagVideo) stream->output.hasVideo = true;
  return true;
}

bool RecordingNameIsSafe(std::string_view view, size_t sessionIdLength) {
  if (view.empty()) return true;  // an empty name records as "&.flv", inside the folder
  // A NUL would cut the name: the file made would not be the one named.
  if (view.find('\0') != std::string_view::npos) return false;
  if (view.find('/') != std::string_view::npos || view.find('\\') != std::string_view::npos ||
      view.find("..") != std::string_view::npos)
    return false;
  // "phpsessid=" + session + "&" + name + ".flv" is one file name, and a
  // name cut to fit the stream's field would name another file.
  return view.size() < kTextSize && view.size() + sessionIdLength + 15 <= NAME_MAX;
}

void ServeRecordingCloseRequests(Client* client) {
  while (g_closeRequests.load(std::memory_order_relaxed) > 0) {
    RtmpStream* target = nullptr;
    {
      ListLock guard(client->streams.lock);
      for (ListNode* n = client->streams.first; n != nullptr && target == nullptr; n = n->next) {
        auto* s = static_cast<RtmpStream*>(n->item);
        if (s->input.closeRequested && !s->input.creating) target = s;
      }
    }
    if (target == nullptr) return;
    EndRecordingOnRequest(target);
  }
}

size_t RecordingsCloseForStop(int limitMs) {
  g_recordingsStopping = true;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  UniqueLock<Mutex> lock(g_recordingsLock);
  for (;;) {
    // Asked again on every pass: a publish that was claiming its file when
    // the stop began is listed only now.
    // Files whose close job runs are waited for too.
    for (auto& listed : g_recordings)
      if (listed.second != nullptr) RequestRecordingClose(listed.second);
    const auto now = std::chrono::steady_clock::now();
    if (g_recordings.empty() || now >= deadline) return g_recordings.size();
    g_recordingsChanged.wait_until(lock, std::min(deadline, now + std::chrono::milliseconds(100)));
  }
}

namespace {

// The checks of a recording's name and object, and where its file goes.
RecordingCreate PrepareRecordingTarget(const PublishRequest& req, RecordingTarget* target, const char** why) {
  if (g_recordingsStopping) {
    errno = 0;
    *why = "the server is stopping";
    return RecordingCreate::kFailed;
  }
  *why = "no web session";
  if (!req.hasSession) {
    REPORT_CLIENT_ASSERT("stream->connection->session", "RtmpFile", req.address.c_str(), req.name.c_str(), *why);
    return RecordingCreate::kFailed;
  }
  if (req.site == nullptr) {
    REPORT_ASSERT("stream->site", "RtmpStreamIn");
    return RecordingCreate::kFailed;
  }
  const int32_t fileid = QueryParamInt(req.name, "fileid=");
  target->fileid = fileid;
  if (fileid != 0) {
    RecordPtr<VFile> file = LoadVFile(req.db, "id=%d", fileid);
    if (!file) {
      *why = "object not found";
      REPORT_CLIENT_ASSERT("file", "RtmpFile", req.address.c_str(), req.name.c_str(), *why);
      return RecordingCreate::kFailed;
    }
    std::string relative;
    target->folder = std::make_shared<Fd>();
    RecordingCreate checked = ObjectRecordingRelative(req.db, req.site, *file, &relative, why);
    if (checked == RecordingCreate::kCreated)
      checked = OpenRecordingFolder(req.site->files, relative, target->folder.get(), &target->leaf, why);
    if (checked != RecordingCreate::kCreated) return checked;
    if (snprintf(target->path, sizeof target->path, "%s/%s", FileSystemPath(req.site->files).c_str(),
                 relative.c_str()) >= int(sizeof target->path)) {
      *why = "the object's path is too long";
      return RecordingCreate::kBadName;
    }
  } else if (!SessionRecordingPath(target->path, req.site->temp, req.phpsessid.c_str(), req.name.c_str())) {
    *why = "name not allowed";
    REPORT_CLIENT_ASSERT("SessionRecordingPath", "RtmpFile", req.address.c_str(), req.name.c_str(), *why);
    return RecordingCreate::kBadName;
  }
  return RecordingCreate::kCreated;
}

// What the opening of a claimed recording made.
struct RecordingOpened {
  File file;
  std::string journal;
  bool accounted = false;  // a RecordSession row was opened (rowId, 0 when its insert failed)
  int32_t rowId = 0;
  int64_t start = 0;       // SessionNow() when it was
  const char* why = "";
};

// The row, the journal and the file of a claimed recording: everything that
// waits for the database or the disk. On failure nothing is left behind.
// Any thread.
bool OpenRecordingFile(DbConnection* db, const SiteConfig* site, const RecordingTarget& target, bool accounted,
                       int32_t sessionId, int32_t userId, RecordingOpened* o) {
  const char* path = target.path;
  if (target.fileid != 0) {
    if (accounted) {
      o->accounted = true;
      o->rowId = OpenRecordingRow(db, sessionId, target.fileid, userId);
      o->start = SessionNow();
    }
    // The journal exists before the object's file is touched: a crash from
    // here on leaves a file the next start repairs.
    o->journal = RecordingJournalCreate(site->temp, path, target.fileid, o->rowId);
    if (o->journal.empty()) {
      if (o->accounted) CloseRecordingRow(db, o->rowId, o->start);
      o->why = "the recording's journal could not be written";
      return false;
    }
    // The object's file is made anew inside the folder checked above: a link
    // put in its place meanwhile is not followed.
    const int folder = target.folder->fd;
    const std::string index = target.leaf + kIndexSuffix;
    if (unlinkat(folder, target.leaf.c_str(), 0) != 0 && errno != ENOENT) {
      REPORT_ASSERT("unlinkat", "RtmpStreamIn");
    }
    unlinkat(folder, index.c_str(), 0);
    PathText cacheIndex;
    if (ObjectIndexPath(cacheIndex, site->cache, target.fileid)) FileDelete(cacheIndex);
    const int fd = openat(folder, target.leaf.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0) {
      o->file._handle = fd;
      o->file._size = 0;
      o->file.name = path;
      o->file.write = true;
    } else {
      LogToFile("error", "%s", path);
    }
  } else {
    FileDelete(path);
    PathText index;
    if (IndexPathOf(index, path)) FileDelete(index);
    o->file.Open(path, true);
  }
  static const uint8_t kZeroHeader[kFlvHeaderSize] = {};
  const bool made = o->file.IsOpen();
  if (!made || !o->file.Rewind() || !o->file.Write(kZeroHeader, sizeof kZeroHeader)) {
    if (!made) REPORT_ASSERT("b", "RtmpFile");
    o->file.Close();
    // Nothing was recorded: no file with a zero header is left for anyone.
    FileDelete(path);
    RecordingJournalRemove(o->journal);
    o->journal.clear();
    if (o->accounted) CloseRecordingRow(db, o->rowId, o->start);
    o->why = "the recording's file could not be created";
    return false;
  }
  return true;
}

// The stream takes what the opening made (connection thread).
void AdoptRecording(RtmpStream* stream, const RecordingTarget& target, RecordingOpened& o, bool opened) {
  RtmpStreamFile& f = stream->file;
  RtmpStreamIn& in = stream->input;
  CopyText(f.path, target.path);
  if (target.fileid != 0) {
    f.objectId = target.fileid;
    // The timing of an earlier play on this stream is not this recording's.
    stream->timing = SessionTiming{};
    if (o.accounted) {
      stream->timing.recording = true;
      stream->timing.rowId = o.rowId;
      stream->timing.active = opened;
      stream->timing.start = o.start;
    }
  }
  if (!opened) return;
  in.journal = std::move(o.journal);
  f.file.Close();
  f.file._handle = o.file._handle;
  o.file._handle = -1;
  f.file._size = 0;
  f.file.name = o.file.name;
  f.file.write = true;
  f.backPointer = 0;
  f.open = true;
  // Each recording starts at 0, also the second one on a stream.
  stream->baseTimestamp = kUnsetTimestamp;
  in.lastWritten[0] = in.lastWritten[1] = 0;
  stream->output.hasAudio = stream->output.hasVideo = false;
  in.writeFailing = false;
  in.bytesLost = 0;
}

// The claimed file is opened on the client's job queue, in its order.
void OpenClaimedRecording(RtmpStream* stream, const std::shared_ptr<RecordingTarget>& target,
                          const RecordingCreated& done) {
  Client* client = stream->client;
  // Until it is answered, a request to end it waits (ServeRecordingCloseRequests).
  stream->input.creating = true;
  const bool accounted = client->session != nullptr && client->user != nullptr;
  const int32_t sessionId = accounted ? client->session->id : 0;
  const int32_t userId = accounted ? client->user->id : 0;
  const int32_t id = stream->id;
  const JobAdmit admit = ClientCommandJob(client, [client, id, target, done, accounted, sessionId, userId,
                                                   db = client->db.get(), site = stream->site] {
    auto opened = std::make_shared<RecordingOpened>();
    const bool ok = OpenRecordingFile(db, site, *target, accounted, sessionId, userId, opened.get());
    return std::function<void()>([client, id, target, done, opened, ok] {
      // Input waited for this: the stream is there (a teardown applies it first).
      RtmpStream* s = FindStream(client, id, id);
      if (s == nullptr) return;
      s->input.creating = false;
      AdoptRecording(s, *target, *opened, ok);
      if (!ok) ReleaseRecordingTarget(s);
      done(s, ok ? RecordingCreate::kCreated : RecordingCreate::kFailed, opened->why);
      // Asked to end while it was being opened: now, after its answer.
      ServeRecordingCloseRequests(client);
    });
  });
  if (admit == JobAdmit::kFull) {
    stream->input.creating = false;
    ReleaseRecordingTarget(stream);
    done(stream, RecordingCreate::kFailed, kRecordingServerBusy);
  }
}

// Claims the file, or waits for it on the job pool and tries again. The wait
// runs in the client-SQL share of the workers, so that waiting publishes
// never hold the workers plays and recording closes (the one waited for
// among them) need.
void ClaimRecordingLater(RtmpStream* stream, const std::shared_ptr<RecordingTarget>& target, const std::string& key,
                         std::chrono::steady_clock::time_point deadline, const RecordingCreated& done) {
  if (TryClaimRecordingTarget(stream, key)) {
    OpenClaimedRecording(stream, target, done);
    return;
  }
  if (std::chrono::steady_clock::now() >= deadline) {
    done(stream, RecordingCreate::kFailed, "the earlier recording of this name did not end");
    return;
  }
  Client* client = stream->client;
  const int32_t id = stream->id;
  const JobAdmit admit = ClientCommandJobAside(
      client,
      [client, id, target, key, deadline, done] {
        WaitRecordingTargetFree(key, deadline);
        return std::function<void()>([client, id, target, key, deadline, done] {
          if (RtmpStream* s = FindStream(client, id, id)) ClaimRecordingLater(s, target, key, deadline, done);
        });
      },
      JobKind::kClientSql);
  if (admit == JobAdmit::kFull) done(stream, RecordingCreate::kFailed, kRecordingServerBusy);
}

}  // namespace

void PublishPrepare(const PublishRequest& request, PublishPrepared& res) {
  PublishRequest req = request;
  if (req.loadIdentity) {
    res.identityLoaded = true;
    res.missing = LoadIdentityByName(req.db, req.name.c_str(), req.address.c_str(), &res.session, &res.user);
    if (res.missing != nullptr) return;
    // As the connection's will be once this is applied.
    req.hasSession = res.session != nullptr;
    req.phpsessid = req.hasSession ? Text(res.session->phpsessid) : "";
  }
  if (!req.records) return;
  // The name becomes part of a file name in the temp folder.
  if (QueryParamInt(req.name, "fileid=") == 0 && !RecordingNameIsSafe(req.sent, req.phpsessid.size())) {
    res.nameRefused = true;
    return;
  }
  res.created = PrepareRecordingTarget(req, &res.target, &res.why);
}

void CreateRecordingLater(RtmpStream* stream, RecordingTarget target, RecordingCreated done) {
  stream->file.objectId = 0;
  stream->input.journal.clear();
  auto shared = std::make_shared<RecordingTarget>(std::move(target));
  const std::string key = FileSystemPath(shared->path);
  ClaimRecordingLater(stream, shared, key,
                      std::chrono::steady_clock::now() + std::chrono::milliseconds(kRecordingHandOverMs), done);
}

void CloseRecording(RtmpStream* stream) {
  RtmpStreamFile& f = stream->file;
  RtmpStreamIn& in = stream->input;
  f.open = false;
  if (!f.file.IsOpen()) {
    ReleaseRecordingTarget(stream);
    return;
  }
  if (in.writeFailing)
    ReportError("Recording %s: %llu bytes were lost to failed writes", f.path,
                static_cast<unsigned long long>(in.bytesLost));
  const uint8_t flags = uint8_t((stream->output.hasAudio ? kFlvFlagAudio : 0) |
                                (stream->output.hasVideo ? kFlvFlagVideo : 0));
  const uint8_t header[kFlvHeaderSize] = {'F', 'L', 'V', kFlvVersion, flags, 0, 0, 0, uint8_t(kFlvHeaderSize)};
  const bool written = f.file.WriteU32(f.backPointer) && f.file.Rewind() && f.file.Write(header, sizeof header);
  // The rest waits for the disk and the database: it runs on the job pool in
  // the same order, with copies of what it needs, and the stream is free now.
  Client* client = stream->client;
  auto fd = std::make_shared<Fd>(f.file._handle);
  f.file._handle = -1;
  f.file.Close();
  std::function<void()> closeSession;
  // A session recording is placed only with its web session and site.
  std::optional<std::string> phpsessid;
  if (f.objectId != 0)
    closeSession = CloseRecordingSessionLater(stream);
  else if (client->session != nullptr && stream->site != nullptr)
    phpsessid = std::string(Text(client->session->phpsessid));
  auto place = std::make_shared<std::function<void()>>(
      [fd, written, path = std::string(f.path), objectId = f.objectId, site = stream->site, db = client->db.get(),
       closeSession = std::move(closeSession), journal = std::move(in.journal), phpsessid = std::move(phpsessid),
       name = std::string(stream->name), key = DetachRecordingTarget(stream)] {
    bool closed = written;
    if (closed && fsync(fd->fd) != 0) {
      REPORT_ASSERT("fsync", "RtmpStreamIn");
      closed = false;
    }
    close(fd->fd);
    fd->fd = -1;
    if (!closed) {
      // The file keeps its zero header; the repair at the next start completes it.
      ReportError("Recording %s could not be closed; it is repaired at the next start", path.c_str());
    } else if (objectId != 0) {
      // A player may have indexed the file while it was being written.
      DeleteObjectIndexes(site, path.c_str(), objectId);
      // Accounted before the web application is told to take the new file.
      if (closeSession) closeSession();
      const bool marked = DbExecute(db, "update Object set scanstatus=%d where id=%d", kScanNewFile, objectId) == 1;
      if (marked) RecordingJournalRemove(journal);
    } else if (phpsessid) {
      FinishSessionRecordingFiles(site->temp, phpsessid->c_str(), name.c_str());
    }
    // Placed: a publisher waiting for this file may begin.
    ReleaseClosedRecording(key);
  });
  in.journal.clear();
  // The client's next command is read once the file is placed, as when the
  // close held the thread; its streams and pings go on meanwhile. A full
  // pool refuses no close: it is then done here.
  if (ClientCommandJob(client, [place] {
        (*place)();
        return std::function<void()>{};
      }) == JobAdmit::kFull)
    (*place)();
  // The half-second pause that used to follow a close is gone: the client's
  // next command and its later jobs (a play of this file) already come after
  // the file is placed, and a sleeping worker would hold up other clients.
}

bool FinishSessionRecordingFiles(const char* temp, const char* phpsessid, const char* streamName) {
  std::string_view name(streamName);
  // Seconds with a fraction; a position before the start is the start (NaN
  // too). Past the end it is clamped below.
  const double seconds = StreamParamDouble(name, "startpos=");
  const double ms = std::trunc(seconds * 1000.0);
  uint32_t start = !(ms > 0) ? 0 : ms >= 4294967295.0 ? 0xFFFFFFFFu : uint32_t(ms);
  bool insert = QueryParamInt(name, "insert=") != 0;
  const int32_t bookmarkid = QueryParamInt(name, "bookmarkid=");
  const int32_t questionid = QueryParamInt(name, "questionid=");

  PathText recording, target, targetIndex;
  if (!SessionRecordingPath(recording, temp, phpsessid, streamName) ||
      !FinishedRecordingPath(target, temp, phpsessid, questionid, bookmarkid) || !IndexPathOf(targetIndex, target)) {
    errno = 0;
    REPORT_ASSERT("FinishedRecordingPath", "RtmpStreamIn");
    return false;
  }
  if (questionid == 0 && bookmarkid != 0) insert = true;
  // A stream named exactly like its final file recorded in place.
  if (FileSystemPath(recording) == FileSystemPath(target)) return true;
  if (!FileExists(recording)) return true;
  // A position past the end of the earlier recording (none: 0) is its end:
  // the merged timestamps stay where the earlier ones left off instead of
  // leaving a gap that could wrap them past 2^32 ms.
  // Its end is its latest tag, which need not be its last one; the whole file
  // is read only for a position past its last tag.
  if (start > 0) {
    uint32_t earlierEnd = 0;
    File earlier;
    if (FileExists(target) && earlier.Open(target, false)) {
      earlierEnd = LastTimestamp(&earlier);
      if (start > earlierEnd) earlierEnd = LatestTimestamp(&earlier);
    }
    start = std::min(start, earlierEnd);
  }

  if (!FileExists(target) && (start == 0 || insert)) {
    if (!FileRename(recording, target)) {
      REPORT_ASSERT("FileRename(R, F)", "RtmpStreamIn");
      return false;
    }
    SyncFolderOf(target);
    FileDelete(targetIndex);
    return true;
  }

  PathText output;
  if (!ReserveEditOutput(temp, phpsessid, output)) return false;
  const bool edited = insert ? InsertRecording(target, start, recording, output)
                             : OverwriteRecording(target, start, recording, output);
  // Until the output is whole on disk and in the final file's place, the
  // earlier recording and the new one stay as they are.
  if (!edited || !SyncFile(output)) {
    FileDelete(output);
    errno = 0;
    ReportError("Recording %s could not be placed into %s; both files are kept",
                FileSystemPath(recording).c_str(), FileSystemPath(target).c_str());
    return false;
  }
  if (!FileRename(output, target)) {
    REPORT_ASSERT("FileRename(O, F)", "RtmpStreamIn");
    FileDelete(output);
    return false;
  }
  SyncFolderOf(target);
  FileDelete(targetIndex);
  FileDelete(recording);
  return true;
}
