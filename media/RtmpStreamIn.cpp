// The publishing side of a stream: incoming audio and video, their
// acknowledgement, recording into FLV files, and placing a finished session
// recording into its final file. Runs on the publishing connection's thread;
// takes no lock (the live relay takes its own).
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "Database/Database.h"
#include "Database/Record.h"
#include "connection/RtmpConnection.h"
#include "connection/RtmpFunctions.h"
#include "media/Recording.h"
#include "media/RtmpChannel.h"
#include "media/RtmpStream.h"
#include "server/Log.h"

namespace {

constexpr uint32_t kUnsetTimestamp = 0xFFFFFFFFu;
constexpr int32_t kScanNewFile = 3;
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

// The stored file of media object `fileid` (the object file rule).
bool ObjectRecordingPath(RtmpStream* stream, const VFile& file, PathText& out) {
  DbConnection* db = stream->connection->db;
  RecordPtr<FolderImport> import;
  const char* importFolder = nullptr;
  if (file.folderimportid != 0) {
    import = LoadFolderImport(db, "id=%d", file.folderimportid);
    if (import) importFolder = Text(import->location);
  }
  return ObjectFilePath(out, stream->site->files, file.storage, Text(file.pathname), file.folderimportid,
                        importFolder);
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
  REPORT_ASSERT("O_EXCL output", "RtmpFile");
  out[0] = '\0';
  return false;
}

}  // namespace

int RecordingClosePauseMs() {
  static const int pause = [] {
    const char* text = getenv("STRMD_RECORDING_CLOSE_PAUSE_MS");
    if (text == nullptr || *text == '\0') return 500;
    const long value = strtol(text, nullptr, 10);
    return int(std::clamp<long>(value, 0, 60000));
  }();
  return pause;
}

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
  // A message stamped before the first one written (audio and video of one
  // publisher need not arrive in time order) is placed at 0 rather than
  // wrapped to 49 days.
  const int32_t delta = int32_t(packet->m_nTimestamp - stream->baseTimestamp);
  FlvTagHeader h;
  h.backPointer = f.backPointer;
  h.type = packet->m_nMessageType;
  h.dataSize = packet->m_nBodySize;
  h.timestamp = delta < 0 ? 0 : uint32_t(delta);
  uint8_t header[kFlvTagHeaderSize];
  EncodeTagHeader(h, header);
  iovec parts[2] = {{header, sizeof header}, {packet->m_body, packet->m_nBodySize}};
  RtmpStreamIn& in = stream->input;
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
  if (h.type == kFlvTagAudio) stream->output.hasAudio = true;
  if (h.type == kFlvTagVideo) stream->output.hasVideo = true;
  return true;
}

bool RecordingNameIsSafe(const AmfProperty* name, size_t sessionIdLength) {
  AmfText text = AmfPropString(name);
  if (text.length == 0) return true;  // an empty name records as "&.flv", inside the folder
  std::string_view view(text.data, text.length);
  // A NUL would cut the name: the file made would not be the one named.
  if (view.find('\0') != std::string_view::npos) return false;
  if (view.find('/') != std::string_view::npos || view.find('\\') != std::string_view::npos ||
      view.find("..") != std::string_view::npos)
    return false;
  // "phpsessid=" + session + "&" + name + ".flv" is one file name, and a
  // name cut to fit the stream's field would name another file.
  return view.size() < kTextSize && view.size() + sessionIdLength + 15 <= NAME_MAX;
}

bool CreateRecording(RtmpStream* stream) {
  Trace("CREATE File %s", stream->name);
  RtmpConnection* connection = stream->connection;
  RtmpStreamFile& f = stream->file;
  if (connection->session == nullptr) {
    REPORT_ASSERT("stream->connection->session", "RtmpFile");
    return false;
  }
  if (stream->site == nullptr) {
    REPORT_ASSERT("stream->site", "RtmpFile");
    return false;
  }
  const int32_t fileid = StreamParamInt(stream->name, "fileid=");
  PathText path;
  f.objectId = 0;
  stream->input.journal.clear();
  if (fileid != 0) {
    f.objectId = fileid;
    RecordPtr<VFile> file = LoadVFile(connection->db, "id=%d", fileid);
    if (!file) {
      REPORT_ASSERT("file", "RtmpFile");
      return false;
    }
    if (!ObjectRecordingPath(stream, *file, path)) return false;
    // The timing of an earlier play on this stream is not this recording's.
    stream->timing = SessionTiming{};
    OpenRecordingSession(stream, fileid);
  } else if (!SessionRecordingPath(path, stream->site->temp, Text(connection->session->phpsessid),
                                   stream->name)) {
    errno = 0;
    REPORT_ASSERT("SessionRecordingPath", "RtmpFile");
    return false;
  }
  CopyText(f.path, path);
  FileDelete(path);
  PathText index;
  if (IndexPathOf(index, path)) FileDelete(index);
  if (fileid != 0) DeleteObjectIndexes(stream->site, path, fileid);
  bool b = f.file.Open(path, true);
  if (!b) {
    REPORT_ASSERT("b", "RtmpFile");
    return false;
  }
  static const uint8_t kZeroHeader[kFlvHeaderSize] = {};
  if (!f.file.Rewind() || !f.file.Write(kZeroHeader, sizeof kZeroHeader)) {
    f.file.Close();
    return false;
  }
  f.backPointer = 0;
  f.open = true;
  // Each recording starts at 0, also the second one on a stream.
  stream->baseTimestamp = kUnsetTimestamp;
  stream->output.hasAudio = stream->output.hasVideo = false;
  stream->input.writeFailing = false;
  stream->input.bytesLost = 0;
  if (fileid != 0)
    stream->input.journal =
        RecordingJournalCreate(stream->site->temp, path, fileid, stream->timing.rowId);
  return true;
}

void CloseRecording(RtmpStream* stream) {
  Trace("CLOSE File %s", stream->name);
  RtmpStreamFile& f = stream->file;
  RtmpStreamIn& in = stream->input;
  f.open = false;
  if (!f.file.IsOpen()) return;
  if (in.writeFailing)
    ReportError("Recording %s: %llu bytes were lost to failed writes", f.path,
                static_cast<unsigned long long>(in.bytesLost));
  const uint8_t flags = uint8_t((stream->output.hasAudio ? kFlvFlagAudio : 0) |
                                (stream->output.hasVideo ? kFlvFlagVideo : 0));
  const uint8_t header[kFlvHeaderSize] = {'F', 'L', 'V', kFlvVersion, flags, 0, 0, 0, uint8_t(kFlvHeaderSize)};
  bool closed = f.file.WriteU32(f.backPointer) && f.file.Rewind() && f.file.Write(header, sizeof header);
  if (closed && fsync(f.file._handle) != 0) {
    REPORT_ASSERT("fsync", "RtmpFile");
    closed = false;
  }
  f.file.Close();
  if (!closed) {
    // The file keeps its zero header; the repair at the next start completes it.
    ReportError("Recording %s could not be closed; it is repaired at the next start", f.path);
  } else if (f.objectId != 0) {
    RtmpConnection* connection = stream->connection;
    // A player may have indexed the file while it was being written.
    DeleteObjectIndexes(stream->site, f.path, f.objectId);
    // Accounted before the web application is told to take the new file.
    CloseRecordingSession(stream);
    const bool marked = DbExecute(connection->db, "update Object set scanstatus=%d where id=%d", kScanNewFile,
                                  f.objectId) == 1;
    if (marked) RecordingJournalRemove(in.journal);
  } else {
    FinishSessionRecording(stream);
  }
  in.journal.clear();
  std::this_thread::sleep_for(std::chrono::milliseconds(RecordingClosePauseMs()));
}

void FinishSessionRecording(RtmpStream* stream) {
  RtmpConnection* connection = stream->connection;
  if (connection->session == nullptr || stream->site == nullptr) return;
  FinishSessionRecordingFiles(stream->site->temp, Text(connection->session->phpsessid), stream->name);
}

bool FinishSessionRecordingFiles(const char* temp, const char* phpsessid, const char* streamName) {
  std::string_view name(streamName);
  // Seconds with a fraction; a position before the start is the start.
  const double seconds = StreamParamDouble(name, "startpos=");
  const double ms = std::trunc(seconds * 1000.0);
  const uint32_t start = !(ms > 0) ? 0 : ms >= 4294967295.0 ? 0xFFFFFFFFu : uint32_t(ms);
  bool insert = StreamParamInt(name, "insert=") != 0;
  const int32_t bookmarkid = StreamParamInt(name, "bookmarkid=");
  const int32_t questionid = StreamParamInt(name, "questionid=");

  PathText recording, target, targetIndex;
  if (!SessionRecordingPath(recording, temp, phpsessid, streamName) ||
      !FinishedRecordingPath(target, temp, phpsessid, questionid, bookmarkid) || !IndexPathOf(targetIndex, target)) {
    errno = 0;
    REPORT_ASSERT("FinishedRecordingPath", "RtmpFile");
    return false;
  }
  if (questionid == 0 && bookmarkid != 0) insert = true;
  // A stream named exactly like its final file recorded in place.
  if (FileSystemPath(recording) == FileSystemPath(target)) return true;
  if (!FileExists(recording)) return true;

  if (!FileExists(target) && (start == 0 || insert)) {
    if (!FileRename(recording, target)) {
      REPORT_ASSERT("FileRename(R, F)", "RtmpFile");
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
    REPORT_ASSERT("FileRename(O, F)", "RtmpFile");
    FileDelete(output);
    return false;
  }
  SyncFolderOf(target);
  FileDelete(targetIndex);
  FileDelete(recording);
  return true;
}
