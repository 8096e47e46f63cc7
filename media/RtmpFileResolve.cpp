// Which file a play request names: a media object (its own FLV, or a
// transcoded rendition), or one of the web session's own recordings. Runs on
// the stream's connection thread; loads rows through its database connection.
#include <cerrno>

#include "Database/Database.h"
#include "Database/Record.h"
#include "client/Client.h"
#include "media/RtmpStream.h"
#include "util/Log.h"

namespace {

const char* Text(const char* text) { return text ? text : ""; }

// A name cut short at a NUL byte names another file than the row does.
bool WholeName(const DbRecord* record, char* const* text) {
  if (RecordTextIsWhole(record, text)) return true;
  errno = 0;
  ReportError("Refused the file name \"%s\" from the database: it holds a NUL byte", Text(*text));
  return false;
}

// The FLV and index of media object `fileid`, and the metadata it shows.
bool ResolveObject(RtmpStream* stream, int32_t fileid, PathText& flvPath, PathText& indexPath) {
  Client* client = stream->client;
  DbConnection* db = client->db.get();
  const SiteConfig* site = stream->site;
  RecordPtr<VFile> file = LoadVFile(db, "id=%d", fileid);
  if (!file) {
    REPORT_CLIENT_ASSERT("file", "RtmpFile", client->address, stream->name, "object not found");
    return false;
  }
  // A rendition plays from the cache; only a ready one has a path.
  auto UseRendition = [&](RecordPtr<TranscodeObject> to) {
    if (!to) {
      REPORT_CLIENT_ASSERT("to", "RtmpFile", client->address, stream->name, "no rendition to play");
      return false;
    }
    if (!WholeName(to.get(), &to->filename) ||
        !RenditionPath(flvPath, site->cache, Text(to->filename), to->status))
      return false;
    return flvPath[0] == '\0' || IndexPathOf(indexPath, flvPath);
  };
  int32_t paramid = QueryParamInt(stream->name, "paramid=");
  if (paramid != 0) {
    if (!UseRendition(LoadTranscodeObject(db, "fileid=%d and templateid=%d", fileid, paramid))) return false;
  } else if (IsFlvFileName(Text(file->pathname))) {
    if (!WholeName(file.get(), &file->pathname)) return false;
    RecordPtr<FolderImport> import;
    const char* importFolder = nullptr;
    if (file->folderimportid != 0) {
      import = LoadFolderImport(db, "id=%d", file->folderimportid);
      if (import && !WholeName(import.get(), &import->location)) return false;
      if (import) importFolder = Text(import->location);
    }
    if (!ObjectFilePath(flvPath, site->files, file->storage, Text(file->pathname), file->folderimportid,
                        importFolder))
      return false;
    if (!ObjectIndexPath(indexPath, site->cache, fileid)) return false;
  } else {
    if (!UseRendition(LoadTranscodeObject(db, "fileid=%d and status=%d", fileid, kTranscodeReady))) return false;
  }

  RtmpStreamOut& out = stream->output;
  CopyText(out.title, Text(file->name));
  out.objectId = file->id;
  out.authorId = file->authorid;
  out.parentId = file->parentid;
  out.masterId = file->masterid;
  PathText picture;
  out.picture[0] = '\0';
  if (ObjectPicturePath(picture, site->files, file->id) && FileExists(picture))
    ObjectPictureAddress(out.picture, file->id);
  PathText thumbnails;
  // The web application makes the thumbnails when it finds this mark; the
  // player does not wait for the statement (RunThumbnailMarks).
  if (ThumbnailFolderPath(thumbnails, site->cache, file->id) && !FileFolderExists(thumbnails))
    client->thumbnailMarks.push_back(file->id);
  return true;
}

// One of the web session's recordings: for a question, for a bookmark, or
// the plain one.
bool ResolveRecording(RtmpStream* stream, PathText& flvPath, PathText& indexPath) {
  Client* client = stream->client;
  if (client->session == nullptr || client->session->phpsessid == nullptr) {
    REPORT_CLIENT_ASSERT("stream->connection->session", "RtmpFile", client->address, stream->name,
                         "session not found");
    return false;
  }
  int32_t questionid = QueryParamInt(stream->name, "questionid=");
  int32_t bookmarkid = QueryParamInt(stream->name, "bookmarkid=");
  if (!FinishedRecordingPath(flvPath, stream->site->temp, client->session->phpsessid, questionid,
                             bookmarkid) ||
      !IndexPathOf(indexPath, flvPath))
    return false;
  RtmpStreamOut& out = stream->output;
  CopyText(out.title, "untitled");
  out.objectId = out.authorId = out.parentId = out.masterId = 0;
  out.picture[0] = '\0';
  return true;
}

}  // namespace

bool ResolvePlayFile(RtmpStream* stream, PathText& flvPath, PathText& indexPath) {
  flvPath[0] = '\0';
  indexPath[0] = '\0';
  // The row of an earlier play or recording on this stream must not receive
  // this one's time, nor this one start from its clock.
  stream->timing = SessionTiming{};
  if (stream->site == nullptr) {
    REPORT_ASSERT("stream->site", "RtmpFileResolve");
    return false;
  }
  int32_t fileid = QueryParamInt(stream->name, "fileid=");
  bool found = fileid != 0 ? ResolveObject(stream, fileid, flvPath, indexPath)
                           : ResolveRecording(stream, flvPath, indexPath);
  if (!found) return false;
  if (flvPath[0] == '\0' || !FileExists(flvPath)) {
    // An empty path is a rendition that is not ready yet.
    ReportClientMistake(stream->client->address, stream->name,
                        flvPath[0] == '\0' ? "the rendition is not ready" : "file missing",
                        "file not found: %s", flvPath);
    return false;
  }
  if (!FileExists(indexPath) && !BuildIndex(flvPath, indexPath)) return false;
  if (fileid != 0) OpenViewingSession(stream, fileid);
  return true;
}

void RunThumbnailMarks(Client* client) {
  for (int32_t id : client->thumbnailMarks)
    DbExecute(client->db.get(), "update object set scanstatus=%d where id=%d", kScanThumbnails, id);
  client->thumbnailMarks.clear();
}
