#include "commands/RtmpModel.h"

#include <strings.h>
#include <time.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Database/Record.h"
#include "client/Client.h"
#include "client/ClientIdentity.h"
#include "client/ClientJobs.h"
#include "commands/RtmpModelFile.h"
#include "media/RtmpFile.h"
#include "util/Log.h"
#include "config/ServerConfig.h"
#include "util/Clock.h"

namespace {

// A client floods the database through its commands: past the rate the
// command is dropped unanswered, with one report a second.
bool ModelCommandAllowed(Client* client) {
  const int64_t now = MonotonicMs();
  if (RateLimitTake(&client->modelRate, g_config.modelCommandsPerSecond, now)) return true;
  if (const int32_t dropped = RateLimitDueReport(&client->modelRate, now); dropped > 0) {
    errno = 0;
    ReportError("Model commands from %s over %d a second (ModelCommandsPerSecond): %d dropped",
                client->address, g_config.modelCommandsPerSecond, dropped);
  }
  return false;
}

// Writes run the client's own SQL, so they need a client the web
// application has logged on: a session with its user.
bool ModelWriteAllowed(const Client* client) {
  if (g_config.modelWritesNeedSession == 0) return true;
  if (client->session != nullptr && client->user != nullptr) return true;
  errno = 0;
  ReportError("Model write from %s refused: no web session (ModelWritesNeedSession)", client->address);
  return false;
}

// Reads a command's string value into `out`. False when it cannot stand in
// a statement as sent: longer than 1023 characters (cutting SQL text could
// make it address other rows) or holding a NUL byte (the statement would
// end there, e.g. before its where clause). Absent or not a string: empty.
bool ModelText(const AmfObject* object, int index, char (&out)[kModelTextSize]) {
  out[0] = '\0';
  const std::string_view text = AmfTextView(AmfPropString(AmfObjectGet(object, {}, index)));
  if (text.size() >= kModelTextSize || text.find('\0') != std::string_view::npos) return false;
  if (!text.empty()) memcpy(out, text.data(), text.size());
  out[text.size()] = '\0';
  return true;
}

// Who is this client: loads the web session and its user (in the job);
// the apply part sets them into the connection, replacing (and freeing) what
// an earlier request loaded.
void ModelSessionUser(DbConnection* db, const char* phpsessid, ModelReply* reply, ClientIdentity* identity) {
  // The identifier goes between quotes in the statement; anything but a
  // well-formed one could rewrite it, so it is refused before any SQL.
  *identity = ClientLoadIdentity(db, phpsessid);
  const IdentityStatus status = identity->status;
  if (status == IdentityStatus::kBadId) {
    REPORT_ASSERT("DbIsSessionId(phpsessid)", "RtmpModel");
    return;
  }
  if (status == IdentityStatus::kNoSession) {
    REPORT_ASSERT("connection->session", "RtmpModel");
    return;
  }
  if (status == IdentityStatus::kNoUser) {
    REPORT_ASSERT("connection->user", "RtmpModel");
    return;
  }
  const User* user = identity->user.get();
  ModelReplyNumber(reply, "userid", user->id);
  ModelReplyText(reply, "userlogon", user->logon);
  ModelReplyText(reply, "username", user->name);
  ModelReplyNumber(reply, "folderid", user->folderid);
  ModelReplyText(reply, "phpsessid", identity->session->phpsessid);
}

// Overwrites the number that starts at `at` (marker and 8 bytes).
void PatchNumber(ModelReply* reply, size_t at, double value) {
  uint8_t* p = reply->body.data() + at;
  AmfEncodeNumber(p, p + 9, value);
}

void PatchCount32(ModelReply* reply, size_t at, uint32_t value) {
  uint8_t* p = reply->body.data() + at;
  AmfEncodeInt32(p, p + 4, value);
}

// One rendition of the list; false when it did not fit (nothing written).
bool TranscodeItem(ModelReply* reply, const char* name, int32_t templateid, int32_t bitrate,
                   int32_t status, const char* audiocodec, const char* videocodec,
                   int32_t defaulttemplate, int32_t activetemplate) {
  const size_t start = reply->body.size();
  const uint8_t objectStart[] = {AMF_OBJECT};
  const uint8_t objectEnd[] = {0x00, 0x00, AMF_OBJECT_END};
  const bool ok = ModelReplyBytes(reply, objectStart) && ModelReplyText(reply, "name", name) &&
                  ModelReplyNumber(reply, "templateid", templateid) &&
                  ModelReplyNumber(reply, "bitrate", bitrate) &&
                  ModelReplyNumber(reply, "status", status) &&
                  ModelReplyText(reply, "audiocodec", audiocodec) &&
                  ModelReplyText(reply, "videocodec", videocodec) &&
                  ModelReplyNumber(reply, "defaulttemplate", defaulttemplate) &&
                  ModelReplyNumber(reply, "activetemplate", activetemplate) &&
                  ModelReplyBytes(reply, objectEnd);
  if (!ok) ModelReplyTruncate(reply, start);
  return ok;
}

// The smallest list object: every text empty. No reply holds more than
// kModelReplyMaxSize / kTranscodeItemMinSize of them.
constexpr size_t kTranscodeItemMinSize =
    1 + (2 + 4 + 3) + (2 + 10 + 9) + (2 + 7 + 9) + (2 + 6 + 9) + (2 + 10 + 3) + (2 + 10 + 3) +
    (2 + 15 + 9) + (2 + 14 + 9) + 3;
// Rows asked of the database: one more than can be sent, so that a full
// reply is known to be cut. A condition matching a whole table costs no more.
constexpr size_t kTranscodeMaxRows = kModelReplyMaxSize / kTranscodeItemMinSize + 1;

// True when `word` stands in `text` as a word of its own, in any case.
bool HasWord(std::string_view text, std::string_view word) {
  auto isWordChar = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '$' || static_cast<unsigned char>(c) >= 0x80;
  };
  for (size_t at = 0; at + word.size() <= text.size(); ++at) {
    if (strncasecmp(text.data() + at, word.data(), word.size()) != 0) continue;
    const bool before = at == 0 || !isWordChar(text[at - 1]);
    const bool after = at + word.size() == text.size() || !isWordChar(text[at + word.size()]);
    if (before && after) return true;
  }
  return false;
}

// The Transcodes condition is placed before the statement's own order and
// limit. A comment would silence them and a limit of its own would replace
// the bound, so a condition with either is no condition and is refused
// (also inside quotes: the server's escaping rules are not this code's).
bool TranscodesConditionIsPlain(std::string_view condition) {
  for (std::string_view token : {"#", "--", "/*", ";"})
    if (condition.find(token) != std::string_view::npos) return false;
  return !HasWord(condition, "limit");
}

// A template per id, each loaded once per list: a list of many rows of one
// template costs one statement, not one per row.
class TemplateCache {
 public:
  explicit TemplateCache(DbConnection* db) : db_(db) {}
  const TranscodeTemplate* Get(int32_t id) {
    for (const auto& [known, temp] : entries_)
      if (known == id) return temp.get();
    entries_.emplace_back(id, LoadTranscodeTemplate(db_, "id=%d", id));
    return entries_.back().second.get();
  }

 private:
  DbConnection* db_;
  std::vector<std::pair<int32_t, RecordPtr<TranscodeTemplate>>> entries_;
};

// The renditions of a file, highest bitrate first, then the file itself when
// it is an FLV. `clause` is "fileid=<id>"; without its first four characters
// it is the condition that finds the file.
void ModelTranscodes(DbConnection* db, const char* address, std::string_view clause, ModelReply* reply) {
  if (!TranscodesConditionIsPlain(clause)) {
    REPORT_ASSERT("TranscodesConditionIsPlain(clause)", "RtmpModel");
    return;
  }
  const std::string fileCondition(clause.size() > 4 ? clause.substr(4) : std::string_view());
  RecordPtr<VFile> file;
  {
    DbClientStatements clientSql(address);
    file = LoadVFile(db, "%s", fileCondition.c_str());
  }
  if (!file) {
    REPORT_ASSERT("file", "RtmpModel");
    return;
  }
  if (file->pathname == nullptr) {
    REPORT_ASSERT("file->pathname", "RtmpModel");
    return;
  }
  const bool flv = IsFlvFileName(file->pathname);
  const std::string condition(clause);
  int b = 0;
  {
    DbClientStatements clientSql(address);
    b = DbExecute(db, "select * from TranscodeObject where %s order by bitrate desc limit %zu",
                  condition.c_str(), kTranscodeMaxRows);
  }
  if (!b) {
    REPORT_ASSERT("b", "RtmpModel");
    return;
  }
  DbResultPtr result(DbStoreResult(db));
  if (!result) {
    REPORT_ASSERT("result", "RtmpModel");
    return;
  }
  // All rows that were asked for came: there may be more than were read.
  const bool moreRows = DbNumRows(result.get()) >= kTranscodeMaxRows;

  // The counts are written once the list is known: a row may be skipped or
  // the list cut, and the array must hold exactly `count` objects.
  const size_t countAt = reply->body.size() + 2 + strlen("count");
  ModelReplyNumber(reply, "count", 0);
  const size_t arrayCountAt = reply->body.size() + 2 + strlen("data") + 1;
  const uint8_t arrayHeader[] = {0x00, 0x04, 'd', 'a', 't', 'a', AMF_STRICT_ARRAY, 0, 0, 0, 0};
  if (reply->overflow || !ModelReplyBytes(reply, arrayHeader)) return;

  uint32_t listed = 0;
  bool cut = moreRows;
  TemplateCache templates(db);
  while (DbRow row = DbFetchRow(result.get())) {
    const TranscodeObject to = RecordFromRow<TranscodeObject>(result.get(), row);
    const TranscodeTemplate* temp = templates.Get(to.templateid);
    if (temp == nullptr) {
      // A rendition whose template is gone is left out and not counted.
      REPORT_ASSERT("temp", "RtmpModel");
      continue;
    }
    if (!TranscodeItem(reply, temp->name, to.templateid, to.bitrate, to.status, temp->audiocodec,
                       temp->videocodec, temp->isdefault, temp->active)) {
      cut = true;
      break;
    }
    ++listed;
  }
  if (flv && !cut) {
    if (TranscodeItem(reply, "Original", 0, file->bitrate, kTranscodeReady, file->audiocodec,
                      file->videocodec, 0, 1))
      ++listed;
    else
      cut = true;
  }
  if (cut) {
    reply->overflow = false;  // handled: the list ends at a whole object
    errno = 0;
    ReportError("Transcodes reply for \"%s\" cut at %u renditions: more would pass %zu bytes",
                condition.c_str(), listed, kModelReplyMaxSize);
  }
  PatchNumber(reply, countAt, listed);
  PatchCount32(reply, arrayCountAt, listed);
}

// What a model command's job needs: copies, as the job touches no Client.
struct ModelRequest {
  DbConnection* db = nullptr;
  std::string address;
  int kind = 0;
  char model[kModelTextSize];
  char clause[kModelTextSize];
  int64_t submittedMs = 0;
};

// The waiting part: the statements, and the reply they make. A loaded
// identity is left in `identity` for the apply part.
void ModelRun(const ModelRequest& request, ModelReply* reply, ClientIdentity* identity) {
  const int kind = request.kind;
  // A job that waited for the clients' share of the workers longer than a
  // statement waits for a database connection fails as that statement would.
  if (MonotonicMs() - request.submittedMs > DbGetTiming().poolWaitMs) {
    REPORT_ASSERT("model command waited no longer than the pool wait", "RtmpModel");
    if (kind == kModelCreate) ModelReplyNumber(reply, "id", 0);
    return;
  }
  DbConnection* db = request.db;
  const char* model = request.model;
  const char* clause = request.clause;
  const bool write = kind == kModelSave || kind == kModelCreate || kind == kModelDelete;
  DbClientStatements clientSql(write ? request.address.c_str() : nullptr);
  switch (kind) {
    case kModelSave:
      DbUpdate(db, "update %s set %s", model, clause);
      break;
    case kModelCreate:
      ModelReplyNumber(reply, "id", DbInsert(db, "insert into %s %s", model, clause));
      break;
    case kModelDelete:
      DbDelete(db, "delete from %s where %s", model, clause);
      break;
    case kModelLoad:
      if (strcasecmp(model, "phpsessid") == 0)
        ModelSessionUser(db, clause, reply, identity);
      else if (strcasecmp(model, "File") == 0)
        RtmpModelFile(db, clause, reply);
      else if (strcasecmp(model, "Transcodes") == 0)
        ModelTranscodes(db, request.address.c_str(), clause, reply);
      break;
    default:
      REPORT_ASSERT("kind >= kModelLoad && kind <= kModelDelete", "RtmpModel");
      break;
  }
  if (reply->overflow) {
    // A reply that cannot be cut sensibly (a record with enormous texts)
    // goes out as the empty object rather than a broken one.
    REPORT_ASSERT("reply.body.size() <= kModelReplyMaxSize", "RtmpModel");
    ModelReplyTruncate(reply, reply->objectStart);
  }
}

}  // namespace

int RtmpModelCommand(Client* client, const AmfObject* object, int kind) {
  if (!ModelCommandAllowed(client)) return 1;
  char model[kModelTextSize];
  char clause[kModelTextSize];
  const bool textsOk = ModelText(object, 3, model) && ModelText(object, 4, clause);

  ModelReply reply;
  ModelReplyStart(&reply, AmfPropNumber(AmfObjectGet(object, {}, 1)));
  if (!textsOk) {
    // Answered as a failed statement would be.
    REPORT_ASSERT("model and clause shorter than kModelTextSize, without NUL", "RtmpModel");
    if (kind == kModelCreate) ModelReplyNumber(&reply, "id", 0);
    ModelReplySend(client, &reply);
    return 1;
  }

  const bool write = kind == kModelSave || kind == kModelCreate || kind == kModelDelete;
  if (write && !ModelWriteAllowed(client)) {
    // Answered as a failed statement would be.
    if (kind == kModelCreate) ModelReplyNumber(&reply, "id", 0);
    ModelReplySend(client, &reply);
    return 1;
  }
  // The statements (the client's own SQL) wait on the job pool within the
  // clients' share; this connection's streams go on meanwhile.
  auto request = std::make_shared<ModelRequest>();
  request->db = client->db.get();
  request->address = client->address;
  request->kind = kind;
  memcpy(request->model, model, sizeof model);
  memcpy(request->clause, clause, sizeof clause);
  request->submittedMs = MonotonicMs();
  auto pending = std::make_shared<ModelReply>(std::move(reply));
  const JobAdmit admit = ClientCommandJob(
      client,
      [client, request, pending] {
        auto identity = std::make_shared<ClientIdentity>();
        ModelRun(*request, pending.get(), identity.get());
        const bool setIdentity = request->kind == kModelLoad && strcasecmp(request->model, "phpsessid") == 0;
        return std::function<void()>([client, pending, identity, setIdentity] {
          if (setIdentity) ClientSetIdentity(*client, std::move(*identity));
          ModelReplySend(client, pending.get());
        });
      },
      JobKind::kClientSql);
  if (admit == JobAdmit::kFull) {
    // Answered as a failed statement would be.
    if (kind == kModelCreate) ModelReplyNumber(pending.get(), "id", 0);
    ModelReplySend(client, pending.get());
  }
  return 1;
}
