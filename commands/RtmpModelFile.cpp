#include "commands/RtmpModelFile.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "client/Client.h"
#include "media/RtmpFile.h"
#include "rtmp/Amf.h"
#include "rtmp/RtmpCore.h"
#include "rtmp/RtmpUtils.h"
#include "util/Log.h"
#include "util/QueryParam.h"

namespace {

constexpr uint8_t kObjectEnd[] = {0x00, 0x00, 0x09};

// Makes room for `need` more bytes, lets `encode` write into it and keeps
// what it wrote. `need` is an upper bound of the encoded size.
template <typename Encode>
bool Put(ModelReply* reply, size_t need, Encode encode) {
  const size_t old = reply->body.size();
  // The object end is always written last, so keep room for it.
  if (old + need + sizeof(kObjectEnd) > kModelReplyMaxSize) {
    reply->overflow = true;
    return false;
  }
  reply->body.resize(old + need);
  uint8_t* start = reply->body.data() + old;
  uint8_t* end = encode(start, start + need);
  if (end == nullptr) {  // cannot happen with a correct bound; keep the body whole
    reply->body.resize(old);
    reply->overflow = true;
    return false;
  }
  reply->body.resize(old + static_cast<size_t>(end - start));
  return true;
}

// Name (2 + length), marker and length (at most 5), the text.
size_t NamedSize(const char* name, size_t valueSize) { return 2 + strlen(name) + valueSize; }

void ShortForm(ModelReply* reply, int32_t fileid) {
  ModelReplyNumber(reply, "fileid", fileid);
  ModelReplyNumber(reply, "status", kTranscodeReady);
  ModelReplyText(reply, "message", "");
}

void RenditionForm(ModelReply* reply, const TranscodeObject& to) {
  ModelReplyNumber(reply, "fileid", to.fileid);
  ModelReplyNumber(reply, "status", to.status);
  ModelReplyText(reply, "message", to.message);
  ModelReplyNumber(reply, "templateid", to.templateid);
  ModelReplyNumber(reply, "bitrate", to.bitrate);
  ModelReplyNumber(reply, "size", static_cast<double>(to.size));
}

}  // namespace

void ModelReplyStart(ModelReply* reply, double transactionId) {
  reply->body.clear();
  reply->body.reserve(kModelReplyInitialSize);
  reply->overflow = false;
  Put(reply, 16, [](uint8_t* p, uint8_t* e) { return AmfEncodeText(p, e, "_result"); });
  Put(reply, 9, [&](uint8_t* p, uint8_t* e) { return AmfEncodeNumber(p, e, transactionId); });
  const uint8_t nullAndObject[] = {AMF_NULL, AMF_OBJECT};
  ModelReplyBytes(reply, nullAndObject);
  reply->objectStart = reply->body.size();
}

bool ModelReplyNumber(ModelReply* reply, const char* name, double value) {
  return Put(reply, NamedSize(name, 9),
             [&](uint8_t* p, uint8_t* e) { return AmfEncodeNamedNumber(p, e, name, value); });
}

bool ModelReplyText(ModelReply* reply, const char* name, const char* text) {
  if (text == nullptr) text = "";
  return Put(reply, NamedSize(name, 5 + strlen(text)),
             [&](uint8_t* p, uint8_t* e) { return AmfEncodeNamedString(p, e, name, text); });
}

bool ModelReplyBytes(ModelReply* reply, std::span<const uint8_t> bytes) {
  return Put(reply, bytes.size(), [&](uint8_t* p, uint8_t*) {
    if (!bytes.empty()) memcpy(p, bytes.data(), bytes.size());
    return p + bytes.size();
  });
}

void ModelReplyTruncate(ModelReply* reply, size_t size) {
  if (size < reply->body.size()) reply->body.resize(size);
}

int ModelReplySend(Client* client, ModelReply* reply) {
  // Put keeps room for the end marker, so this always fits.
  reply->body.insert(reply->body.end(), std::begin(kObjectEnd), std::end(kObjectEnd));
  return RtmpSendCommand(&client->link->rtmp, reply->body);
}

RecordPtr<TranscodeObject> ScheduleTranscode(DbConnection* db, int32_t fileid, int32_t templateid) {
  char filename[64];
  snprintf(filename, sizeof filename, "%d-%d.flv", fileid, templateid);
  TranscodeObject row;
  row.fileid = fileid;
  row.templateid = templateid;
  row.status = kTranscodeScheduled;
  row.filename = filename;
  row.message = const_cast<char*>(kTranscodeScheduledMessage);
  const int32_t id = InsertRecord(db, &row);
  // A failed insert was reported by the database layer; loading back could
  // find an older row, which is not what was asked for.
  if (id == 0) return nullptr;
  return LoadTranscodeObject(db, "fileid=%d and templateid=%d", fileid, templateid);
}

RecordPtr<TranscodeObject> ScheduleTranscode(Client* client, int32_t fileid,
                                             int32_t templateid) {
  return ScheduleTranscode(client->db.get(), fileid, templateid);
}

void RtmpModelFile(DbConnection* db, std::string_view clause, ModelReply* reply) {
  const int32_t fileid = QueryParamInt(clause, "fileid=");
  const int32_t templateid = QueryParamInt(clause, "paramid=");
  if (fileid == 0) {
    ShortForm(reply, 0);
    return;
  }
  RecordPtr<TranscodeObject> to;
  if (templateid != 0) {
    to = LoadTranscodeObject(db, "fileid=%d and templateid=%d", fileid, templateid);
    if (!to) to = ScheduleTranscode(db, fileid, templateid);
  } else {
    RecordPtr<Object> object = LoadObject(db, "id=%d", fileid);
    if (!object) {
      REPORT_ASSERT("object", "RtmpModelFile");
      return;
    }
    if (IsFlvFileName(object->pathname)) {
      ShortForm(reply, fileid);
      return;
    }
    RecordPtr<TranscodeTemplate> temp = LoadTranscodeTemplate(db, "active");
    if (!temp) temp = LoadTranscodeTemplate(db, "1");
    if (!temp) {
      REPORT_ASSERT("temp", "RtmpModelFile");
      return;
    }
    to = LoadTranscodeObject(db, "fileid=%d and status=%d and templateid=%d", fileid,
                             kTranscodeReady, temp->id);
    // Any ready rendition beats none: the cheapest to stream first.
    if (!to) to = LoadTranscodeObject(db, "fileid=%d and status=%d order by bitrate", fileid, kTranscodeReady);
    // One that is still being made is found here, so it is not scheduled twice.
    if (!to) to = LoadTranscodeObject(db, "fileid=%d", fileid);
    if (!to) to = ScheduleTranscode(db, fileid, temp->id);
  }
  if (!to) {
    REPORT_ASSERT("to", "RtmpModelFile");
    return;
  }
  RenditionForm(reply, *to);
}
