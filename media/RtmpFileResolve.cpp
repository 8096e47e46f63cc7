// Which file a play request names: a media object (its own FLV, or a
// transcoded rendition), or one of the web session's own recordings. The
// resolving part (rows, file checks, the index, the viewing row) takes only
// copies and runs on a job worker; its result is applied on the stream's
// connection thread.
#include <cerrno>
#include <cstring>

#include "Database/Database.h"
#include "Database/Record.h"
#include "client/Client.h"
#include "client/ClientIdentity.h"
#include "client/ClientJobs.h"
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
bool ResolveObject(const PlayRequest& req, PlayResolved& res, int32_t fileid) {
  DbConnection* db = req.db;
  const SiteConfig* site = req.site;
  PathText& flvPath = res.flvPath;
  PathText& indexPath = res.indexPath;
  RecordPtr<VFile> file = LoadVFile(db, "id=%d", fileid);
  if (!file) {
    REPORT_CLIENT_ASSERT("file", "RtmpFile", req.address.c_str(), req.name.c_str(), "object not found");
    return false;
  }
  // A rendition plays from the cache; only a ready one has a path.
  auto UseRendition = [&](RecordPtr<TranscodeObject> to) {
    if (!to) {
      REPORT_CLIENT_ASSERT("to", "RtmpFile", req.address.c_str(), req.name.c_str(), "no rendition to play");
      return false;
    }
    if (!WholeName(to.get(), &to->filename) ||
        !RenditionPath(flvPath, site->cache, Text(to->filename), to->status))
      return false;
    return flvPath[0] == '\0' || IndexPathOf(indexPath, flvPath);
  };
  int32_t paramid = QueryParamInt(req.name, "paramid=");
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

  PlayMetadata& out = res.meta;
  res.metaSet = true;
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
    res.thumbnailMark = file->id;
  return true;
}

// One of the web session's recordings: for a question, for a bookmark, or
// the plain one.
bool ResolveRecording(const PlayRequest& req, PlayResolved& res) {
  if (!req.hasSession) {
    REPORT_CLIENT_ASSERT("stream->connection->session", "RtmpFile", req.address.c_str(), req.name.c_str(),
                         "session not found");
    return false;
  }
  int32_t questionid = QueryParamInt(req.name, "questionid=");
  int32_t bookmarkid = QueryParamInt(req.name, "bookmarkid=");
  if (!FinishedRecordingPath(res.flvPath, req.site->temp, req.phpsessid.c_str(), questionid, bookmarkid) ||
      !IndexPathOf(res.indexPath, res.flvPath))
    return false;
  PlayMetadata& out = res.meta;
  res.metaSet = true;
  CopyText(out.title, "untitled");
  out.objectId = out.authorId = out.parentId = out.masterId = 0;
  out.picture[0] = '\0';
  return true;
}

}  // namespace

PlayRequest PlayRequestOf(const RtmpStream* stream) {
  const Client* client = stream->client;
  PlayRequest req;
  req.site = stream->site;
  req.db = client->db.get();
  req.name = stream->name;
  req.address = client->address;
  if (client->session != nullptr && client->session->phpsessid != nullptr) {
    req.hasSession = true;
    req.phpsessid = client->session->phpsessid;
  }
  if (client->session != nullptr && client->user != nullptr) {
    req.sessionId = client->session->id;
    req.userId = client->user->id;
    req.accounted = true;
  }
  return req;
}

void PlayResolve(const PlayRequest& request, PlayResolved& res) {
  PlayRequest req = request;
  if (req.loadIdentity) {
    res.identityLoaded = true;
    LoadIdentityByName(req.db, req.name.c_str(), req.address.c_str(), &res.session, &res.user);
    // As the connection's will be once this is applied.
    req.hasSession = res.session != nullptr && res.session->phpsessid != nullptr;
    req.phpsessid = req.hasSession ? res.session->phpsessid : "";
    req.accounted = res.session != nullptr && res.user != nullptr;
    req.sessionId = res.session ? res.session->id : 0;
    req.userId = res.user ? res.user->id : 0;
  }
  if (!req.resolveFile) return;
  res.fileResolved = true;
  res.flvPath[0] = '\0';
  res.indexPath[0] = '\0';
  if (req.site == nullptr) {
    REPORT_ASSERT("stream->site", "RtmpFileResolve");
    return;
  }
  int32_t fileid = QueryParamInt(req.name, "fileid=");
  bool found = fileid != 0 ? ResolveObject(req, res, fileid) : ResolveRecording(req, res);
  if (!found) return;
  if (res.flvPath[0] == '\0' || !FileExists(res.flvPath)) {
    // An empty path is a rendition that is not ready yet.
    ReportClientMistake(req.address.c_str(), req.name.c_str(),
                        res.flvPath[0] == '\0' ? "the rendition is not ready" : "file missing",
                        "file not found: %s", res.flvPath);
    return;
  }
  if (!FileExists(res.indexPath) && !BuildIndex(res.flvPath, res.indexPath)) return;
  if (fileid != 0 && req.accounted) res.rowId = OpenViewingRow(req.db, req.sessionId, fileid, req.userId);
  res.found = true;
  if (req.acquireIndex) res.entries = AcquirePlayIndex(res.indexPath, &res.indexLoaded);
}

void PlayResolvedApply(RtmpStream* stream, PlayResolved& res) {
  Client* client = stream->client;
  if (res.identityLoaded) {
    // The earlier session goes, even when no new one was found; without a
    // session the user is not looked up, and stays.
    ClientIdentity identity;
    identity.status = res.session == nullptr ? IdentityStatus::kNoSession
                      : res.user == nullptr  ? IdentityStatus::kNoUser
                                             : IdentityStatus::kLoaded;
    identity.session = std::move(res.session);
    identity.user = std::move(res.user);
    ClientSetIdentity(*client, std::move(identity));
  }
  if (res.metaSet) {
    RtmpStreamOut& out = stream->output;
    out.title.assign(res.meta.title, strnlen(res.meta.title, kTextSize - 1));
    out.objectId = res.meta.objectId;
    out.authorId = res.meta.authorId;
    out.parentId = res.meta.parentId;
    out.masterId = res.meta.masterId;
    out.picture.assign(res.meta.picture, strnlen(res.meta.picture, kTextSize - 1));
  }
  if (res.thumbnailMark != 0) client->thumbnailMarks.push_back(res.thumbnailMark);
  if (res.fileResolved) stream->timing.rowId = res.rowId;
}

bool ResolvePlayFile(RtmpStream* stream, PathText& flvPath, PathText& indexPath) {
  // The row of an earlier play or recording on this stream must not receive
  // this one's time, nor this one start from its clock.
  stream->timing = SessionTiming{};
  PlayRequest req = PlayRequestOf(stream);
  req.acquireIndex = false;
  PlayResolved res;
  PlayResolve(req, res);
  PlayResolvedApply(stream, res);
  CopyText(flvPath, res.flvPath);
  CopyText(indexPath, res.indexPath);
  return res.found;
}

void RunThumbnailMarks(Client* client) {
  if (client->thumbnailMarks.empty()) return;
  ClientCompletionJob(client, [db = client->db.get(), marks = std::move(client->thumbnailMarks)] {
    for (int32_t id : marks) DbExecute(db, "update object set scanstatus=%d where id=%d", kScanThumbnails, id);
  });
  client->thumbnailMarks.clear();
}
