// The record definitions: one list per platform table or view, naming its
// columns in `select *` order with their kind. Everything else about a record
// kind is made from these lists: the C++ record, the column table that the
// row constructor, copy, free and insert walk, and the loader's table name.
// Change a table here and in Database/schema.sql together.
//
// Column kinds: I 32-bit integer, L 64-bit integer, T text (owned, may be
// null), N the table's name column, kept in DbRecord::name.
//
// Plain data; no locks. A record belongs to one owner at a time.
#pragma once

#include <cstddef>
#include <cstdint>

// Kind codes of the definitions (1 to 61); only these fifteen are made.
constexpr int32_t kRecordKindCount = 61;

// code, record/table name
#define KESTRAVON6_RECORDS(R) \
  R(1, UserEnrollment)        \
  R(3, CourseEnrollment)      \
  R(13, User)                 \
  R(16, FolderImport)         \
  R(18, TranscodeTemplate)    \
  R(19, TranscodeObject)      \
  R(21, Object)               \
  R(23, VFile)                \
  R(25, VCourse)              \
  R(45, Session)              \
  R(46, FileSession)          \
  R(47, RecordSession)        \
  R(51, Chat)                 \
  R(52, ChatUser)             \
  R(53, ChatTextLog)

#define KV_COLUMNS_UserEnrollment(S, I, L, T, N) I(S, id) I(S, userid) I(S, roleid)

#define KV_COLUMNS_CourseEnrollment(S, I, L, T, N)                                        \
  I(S, id) I(S, userid) I(S, roleid) I(S, objectid) I(S, groupid) I(S, status)             \
  I(S, progress) T(S, enrolled) T(S, comment) I(S, completed)

#define KV_COLUMNS_User(S, I, L, T, N)                                                    \
  I(S, id) I(S, usertype) N(S, name) T(S, logon) T(S, password) I(S, status)               \
  I(S, language) I(S, timezone) T(S, email) T(S, firstname) T(S, lastname) T(S, phone)     \
  I(S, folderid) I(S, avatarid) T(S, created) T(S, lastlogin) T(S, title) I(S, quota)      \
  T(S, address) T(S, city) T(S, zip) T(S, country) T(S, company) T(S, department)          \
  T(S, website) T(S, skype) T(S, about) T(S, locale) T(S, theme) T(S, notes) T(S, token)   \
  T(S, extra)

#define KV_COLUMNS_FolderImport(S, I, L, T, N)                                            \
  I(S, id) N(S, name) I(S, ownerid) I(S, parentid) I(S, status) I(S, subfolders)           \
  T(S, created) T(S, location) T(S, username) T(S, password) I(S, period)

#define KV_COLUMNS_TranscodeTemplate(S, I, L, T, N)                                       \
  I(S, id) N(S, name) I(S, isdefault) I(S, active) I(S, bitrate) I(S, width)               \
  T(S, audiocodec) T(S, videocodec) T(S, audiorate) T(S, framerate) I(S, height)           \
  T(S, container) T(S, options) I(S, priority) T(S, description)

#define KV_COLUMNS_TranscodeObject(S, I, L, T, N)                                         \
  I(S, id) I(S, fileid) I(S, templateid) I(S, status) T(S, filename) I(S, progress)        \
  L(S, size) I(S, bitrate) T(S, message)

#define KV_COLUMNS_Object(S, I, L, T, N)                                                  \
  I(S, id) N(S, name) I(S, authorid) T(S, description) T(S, keywords) T(S, created)        \
  T(S, modified) I(S, storage) I(S, parentid) I(S, objecttype) T(S, parentlist)            \
  I(S, position) L(S, filesize) L(S, duration) I(S, scanstatus) I(S, status)               \
  I(S, visible) I(S, width) I(S, height) I(S, licence) T(S, mimetype)                      \
  I(S, folderimportid) I(S, views) I(S, rating) I(S, deleted) I(S, locked) I(S, groupid)   \
  T(S, pathname) I(S, version) T(S, language) T(S, checksum) I(S, sortorder) I(S, flags)

#define KV_COLUMNS_VFile(S, I, L, T, N)                                                   \
  KV_COLUMNS_Object(S, I, L, T, N)                                                         \
  I(S, audiochannels) I(S, samplerate) T(S, fileformat) I(S, bitrate) I(S, videowidth)     \
  I(S, videoheight) T(S, audiocodec) T(S, videocodec) I(S, framecount) I(S, keyframes)     \
  T(S, thumbnail) T(S, preview) T(S, originalname) T(S, metadata) I(S, masterid)           \
  I(S, pages)

#define KV_COLUMNS_VCourse(S, I, L, T, N)                                                 \
  KV_COLUMNS_Object(S, I, L, T, N)                                                         \
  I(S, coursetype) I(S, capacity) I(S, selfenrol) I(S, published) I(S, teacherid)          \
  I(S, chatenabled) I(S, recordingid) I(S, liveenabled) I(S, days) T(S, starts) T(S, ends)

#define KV_COLUMNS_Session(S, I, L, T, N)                                                 \
  I(S, id) I(S, userid) I(S, status) I(S, started) I(S, lastseen) T(S, ip) I(S, objectid)  \
  I(S, duration) T(S, phpsessid) T(S, useragent) I(S, logins) I(S, flags) T(S, created)    \
  I(S, expired)

#define KV_COLUMNS_FileSession(S, I, L, T, N)                                             \
  I(S, id) I(S, sessionid) I(S, fileid) I(S, userid) T(S, started) I(S, duration)          \
  I(S, status)

#define KV_COLUMNS_RecordSession(S, I, L, T, N) KV_COLUMNS_FileSession(S, I, L, T, N)

#define KV_COLUMNS_Chat(S, I, L, T, N) I(S, id) I(S, chattype) N(S, name)

#define KV_COLUMNS_ChatUser(S, I, L, T, N)                                                \
  I(S, id) I(S, chatid) I(S, userid) I(S, status) I(S, roleid) T(S, joined)

#define KV_COLUMNS_ChatTextLog(S, I, L, T, N)                                             \
  I(S, id) I(S, chatid) I(S, courseid) I(S, userid) I(S, clientnumber) T(S, sent)          \
  T(S, message)

// Values of the status columns that the server writes or matches.
constexpr int32_t kScanNewFile = 3;     // Object.scanstatus: a new file for the platform to scan
constexpr int32_t kScanThumbnails = 4;  // Object.scanstatus: its thumbnails are to be made
constexpr int32_t kSessionOpen = 1;     // FileSession / RecordSession.status
constexpr int32_t kSessionClosed = 2;
constexpr int32_t kTranscodeReady = 3;  // TranscodeObject.status: the rendition can be played
constexpr int32_t kTranscodeScheduled = 5;
constexpr const char kTranscodeScheduledMessage[] = "Scheduled for processing.";  // TranscodeObject.message

// The three fields every record starts with.
struct DbRecord {
  int32_t type = 0;          // kind code
  char* name = nullptr;      // the name column, for tables that have one
  DbRecord* next = nullptr;  // a further record; copied and freed with this one
  // Bit i (63 for columns past it): text column i held a NUL byte, so the
  // text ends early and is not the value the row holds (RecordTextIsWhole).
  uint64_t cutTexts = 0;
};

#define KV_FIELD_I(S, f) int32_t f = 0;
#define KV_FIELD_L(S, f) int64_t f = 0;
#define KV_FIELD_T(S, f) char* f = nullptr;
#define KV_FIELD_N(S, f)

// A record made by a loader or CopyRecord owns its texts (FreeRecord frees
// them); a record filled from a row borrows the row's texts and is never
// freed. Declaring one gives a zeroed record of its kind.
#define KV_DECLARE_RECORD(code, Name)                                            \
  struct Name : DbRecord {                                                       \
    static constexpr int32_t kType = code;                                       \
    Name() { type = kType; }                                                     \
    KV_COLUMNS_##Name(Name, KV_FIELD_I, KV_FIELD_L, KV_FIELD_T, KV_FIELD_N)       \
  };
KESTRAVON6_RECORDS(KV_DECLARE_RECORD)
#undef KV_DECLARE_RECORD

enum class DbColumnKind : uint8_t { kInt, kInt64, kText, kName };

// One column of a definition: its kind, name and where it lives in a record.
struct DbColumnDef {
  DbColumnKind kind;
  const char* name;
  void* (*field)(DbRecord* record);  // null for kName (DbRecord::name)
};

struct DbRecordDef {
  int32_t type;
  const char* table;  // also the name of the source in reports
  const DbColumnDef* columns;
  uint32_t columnCount;
  DbRecord* (*create)();           // zeroed record of this kind
  void (*destroy)(DbRecord* record);  // frees the record only, not its texts
};

// The definition of a kind code, or null for codes that are not made.
const DbRecordDef* RecordDefinition(int32_t type);
// All definitions, for tests and diagnostics.
const DbRecordDef* RecordDefinitions(size_t* count);
