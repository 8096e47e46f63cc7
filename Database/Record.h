// The record model: rows of the platform's tables as typed records (User,
// Session, Object, ... declared in kestravon6_def.h), made, copied, freed,
// loaded and inserted by walking their definitions.
//
// Records are plain values with no tie to the database once made. Any thread
// may call these functions; the loaders use the given DbConnection, whose own
// lock serialises them with other threads' statements.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string_view>

#include "Database/Database.h"
#include "Database/kestravon6_def.h"

// Deep copy of `record` and of the records chained by `next`; owned by the
// caller (FreeRecord). Null gives null, as does an unknown kind (reported).
DbRecord* CopyRecord(const DbRecord* record);
// Frees an owned record, its texts and its `next` chain. Null does nothing.
// Never call it on a record filled from a row.
void FreeRecord(DbRecord* record);

struct RecordDeleter {
  void operator()(DbRecord* record) const { FreeRecord(record); }
};
template <typename T>
using RecordPtr = std::unique_ptr<T, RecordDeleter>;

template <typename T>
RecordPtr<T> CopyRecordAs(const T* record) {
  return RecordPtr<T>(static_cast<T*>(CopyRecord(record)));
}

// Fills `record` (of any kind, already zeroed, `type` set) from `row` by
// column position. The texts are borrowed from the row: the record is valid
// until the next DbFetchRow or DbFreeResult and must not be freed. Columns the
// result lacks stay 0 / null (reported once per kind); extra ones are ignored.
void RecordFillFromRow(DbRecord* record, const DbResult* result, DbRow row);

// False when the text field `text` of `record` (such as &object->pathname)
// held a NUL byte in its row: the record's text then ends at that byte and
// names something else than the database holds. Also false when `text` is no
// text field of the record.
bool RecordTextIsWhole(const DbRecord* record, char* const* text);

// A row record of kind T, by value: `ChatUser m = RecordFromRow<ChatUser>(r, row);`
template <typename T>
T RecordFromRow(const DbResult* result, DbRow row) {
  T record;
  RecordFillFromRow(&record, result, row);
  return record;
}

// The first row of table `type` matching `condition` (a printf format for
// the text after "where", such as "id=%d"), as an owned record; null when no
// row matches or the statement failed (the failure is reported with the
// table's name as source). Text values from clients must be escaped or
// checked by the caller (DbEscape, DbIsSessionId).
DbRecord* LoadRecordV(int32_t type, DbConnection* db, const char* condition, va_list args);
DbRecord* LoadRecord(int32_t type, DbConnection* db, const char* condition, ...) STRMD_PRINTF(3, 4);

// Typed loaders: LoadUser, LoadSession, LoadObject, LoadVFile, LoadVCourse,
// LoadChat, LoadChatUser, LoadChatTextLog, LoadUserEnrollment,
// LoadCourseEnrollment, LoadTranscodeTemplate, LoadTranscodeObject,
// LoadFileSession, LoadRecordSession, LoadFolderImport.
#define KV_DECLARE_LOADER(code, Name) \
  RecordPtr<Name> Load##Name(DbConnection* db, const char* condition, ...) STRMD_PRINTF(2, 3);
KESTRAVON6_RECORDS(KV_DECLARE_LOADER)
#undef KV_DECLARE_LOADER

// Set a text field to kDbNow (this very pointer) to have InsertRecord write
// now() for it, as the platform's inserts do for date-time columns.
extern const char kDbNow[];

// A text column's value with every byte, NULs included, for InsertRecord:
// a record's own texts are C strings and end at their first NUL.
struct RecordText {
  char* const* field;  // the record's text field, such as &log->message
  std::string_view value;
};

// "insert into <table> values (...)" with every column of `record` in order:
// integers as numbers, texts quoted and escaped (the value in `whole` for a
// field named there), null texts as NULL. Every insert of a row goes through
// here, so no statement restates a column order. Returns the id the database
// assigned (pass id 0 for that), 0 on failure.
int32_t InsertRecord(DbConnection* db, const DbRecord* record, std::initializer_list<RecordText> whole = {});

// Decimal parsing as the record model converts integer columns: leading
// blanks and a sign, then digits up to the first other character; null or no
// digits give 0, values beyond the type saturate.
int64_t RecordParseInt64(const char* text);
int32_t RecordParseInt32(const char* text);
