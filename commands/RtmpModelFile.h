// Renditions of media objects and the reply bodies of the model commands.
//
// ScheduleTranscode and the `File` model read and create TranscodeObject rows
// through the connection's database; the conversion itself is done elsewhere
// on the platform. ModelReply is the growing body of one model reply. The
// statements run in a model command's job (they touch no Client); the reply
// is sent from the connection's own thread. The database connection takes
// its own lock per statement.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "Database/Record.h"

struct Client;

// Model and clause texts: 1023 characters and a zero.
constexpr size_t kModelTextSize = 1024;
// Replies start in a buffer of this size and grow up to kModelReplyMaxSize;
// a rendition list that would pass it is cut at a whole object.
constexpr size_t kModelReplyInitialSize = 5102;
constexpr size_t kModelReplyMaxSize = 65536;

// The body of one `_result`: "_result", the transaction id, null, then an
// object whose properties the model adds. `overflow` is set when an append
// was refused because the body would pass kModelReplyMaxSize; the body is
// then unchanged by that append.
struct ModelReply {
  std::vector<uint8_t> body;
  size_t objectStart = 0;  // offset of the first property
  bool overflow = false;
};

void ModelReplyStart(ModelReply* reply, double transactionId);
// Each returns false (and sets overflow) when the value does not fit.
bool ModelReplyNumber(ModelReply* reply, const char* name, double value);
// A null text is sent as the empty string.
bool ModelReplyText(ModelReply* reply, const char* name, const char* text);
bool ModelReplyBytes(ModelReply* reply, std::span<const uint8_t> bytes);
// Drops everything from `size` on (a partly written object).
void ModelReplyTruncate(ModelReply* reply, size_t size);
// Closes the object and sends the body on chunk stream 3 as a command
// message (type 20, stream 0, full header). Returns the writer's result.
int ModelReplySend(Client* client, ModelReply* reply);

// Inserts a scheduled rendition ("%d-%d.flv", status 5) of `fileid` with
// `templateid` and returns the row as read back, or null when the insert or
// the read failed. Owned by the caller.
RecordPtr<TranscodeObject> ScheduleTranscode(DbConnection* db, int32_t fileid, int32_t templateid);
RecordPtr<TranscodeObject> ScheduleTranscode(Client* client, int32_t fileid,
                                             int32_t templateid);

// The `File` model: which rendition of a file to play, scheduling one when
// the file has none. `clause` is query-string text with "fileid=" and
// "paramid=". Adds the reply's properties (none after a failure, which is
// reported).
void RtmpModelFile(DbConnection* db, std::string_view clause, ModelReply* reply);
