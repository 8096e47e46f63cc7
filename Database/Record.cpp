#include "Database/Record.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

const char kDbNow[] = "now()";

namespace {

char* DupText(const char* text) {
  if (text == nullptr) return nullptr;
  const size_t n = strlen(text) + 1;
  char* copy = new char[n];
  memcpy(copy, text, n);
  return copy;
}

char** TextSlot(DbRecord* record, const DbColumnDef& col) {
  return col.kind == DbColumnKind::kName ? &record->name : static_cast<char**>(col.field(record));
}

// Replaces every borrowed text of one record (not its chain) by an own copy.
void OwnTexts(DbRecord* record, const DbRecordDef& def) {
  for (uint32_t i = 0; i < def.columnCount; ++i) {
    const DbColumnDef& col = def.columns[i];
    if (col.kind != DbColumnKind::kText && col.kind != DbColumnKind::kName) continue;
    char** slot = TextSlot(record, col);
    *slot = DupText(*slot);
  }
}

void FreeTexts(DbRecord* record, const DbRecordDef& def) {
  for (uint32_t i = 0; i < def.columnCount; ++i) {
    const DbColumnDef& col = def.columns[i];
    if (col.kind != DbColumnKind::kText && col.kind != DbColumnKind::kName) continue;
    char** slot = TextSlot(record, col);
    delete[] *slot;
    *slot = nullptr;
  }
}

// One record of the same kind with the same fields, texts shared; `next` null.
DbRecord* ShallowCopy(const DbRecord* source, const DbRecordDef& def) {
  DbRecord* copy = def.create();
  auto* src = const_cast<DbRecord*>(source);
  for (uint32_t i = 0; i < def.columnCount; ++i) {
    const DbColumnDef& col = def.columns[i];
    switch (col.kind) {
      case DbColumnKind::kInt:
        *static_cast<int32_t*>(col.field(copy)) = *static_cast<int32_t*>(col.field(src));
        break;
      case DbColumnKind::kInt64:
        *static_cast<int64_t*>(col.field(copy)) = *static_cast<int64_t*>(col.field(src));
        break;
      case DbColumnKind::kText:
      case DbColumnKind::kName:
        *TextSlot(copy, col) = *TextSlot(src, col);
        break;
    }
  }
  return copy;
}

const DbRecordDef* DefinitionOrReport(int32_t type) {
  const DbRecordDef* def = RecordDefinition(type);
  if (def == nullptr) ShowErrorBox(nullptr, "The (%s) condition failed at %s:%d", "FALSE", "kestravon6_def", __LINE__);
  return def;
}

// A schema that lost columns is reported once per kind, not per row.
std::atomic<bool> g_shortRowReported[kRecordKindCount + 1];

}  // namespace

int64_t RecordParseInt64(const char* text) {
  if (text == nullptr) return 0;
  const char* p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  uint64_t value = 0;
  const uint64_t limit = negative ? static_cast<uint64_t>(INT64_MAX) + 1 : static_cast<uint64_t>(INT64_MAX);
  for (; *p >= '0' && *p <= '9'; ++p) {
    const unsigned digit = static_cast<unsigned>(*p - '0');
    if (value > (limit - digit) / 10) {
      value = limit;
      break;
    }
    value = value * 10 + digit;
  }
  if (negative) return value == static_cast<uint64_t>(INT64_MAX) + 1 ? INT64_MIN : -static_cast<int64_t>(value);
  return static_cast<int64_t>(value);
}

int32_t RecordParseInt32(const char* text) {
  const int64_t v = RecordParseInt64(text);
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(v);
}

DbRecord* CopyRecord(const DbRecord* record) {
  DbRecord* head = nullptr;
  DbRecord** tail = &head;
  for (const DbRecord* r = record; r != nullptr; r = r->next) {
    const DbRecordDef* def = DefinitionOrReport(r->type);
    if (def == nullptr) {
      FreeRecord(head);
      return nullptr;
    }
    DbRecord* copy = ShallowCopy(r, *def);
    OwnTexts(copy, *def);
    copy->cutTexts = r->cutTexts;
    *tail = copy;
    tail = &copy->next;
  }
  return head;
}

void FreeRecord(DbRecord* record) {
  // Iterative, so that a long chain cannot exhaust the stack.
  while (record != nullptr) {
    const DbRecordDef* def = RecordDefinition(record->type);
    if (def == nullptr) {
      // Its layout is unknown: leaking it is safer than freeing it wrongly.
      if (record->type > kRecordKindCount && record->type <= 100)
        ShowErrorBox(nullptr, "The (%s) condition failed at %s:%d", "FALSE", "kestravon6_def", __LINE__);
      return;
    }
    DbRecord* next = record->next;
    FreeTexts(record, *def);
    def->destroy(record);
    record = next;
  }
}

void RecordFillFromRow(DbRecord* record, const DbResult* result, DbRow row) {
  if (record == nullptr || result == nullptr || row == nullptr) return;
  const DbRecordDef* def = DefinitionOrReport(record->type);
  if (def == nullptr) return;
  const uint32_t available = result->fieldCount;
  if (available < def->columnCount && !g_shortRowReported[def->type].exchange(true))
    REPORT_ASSERT("fieldCount >= columnCount", def->table);
  // The lengths tell a text that holds a NUL byte from one that ends there.
  const unsigned long* lengths = result->result != nullptr ? mysql_fetch_lengths(result->result) : nullptr;
  record->cutTexts = 0;
  for (uint32_t i = 0; i < def->columnCount; ++i) {
    const DbColumnDef& col = def->columns[i];
    const char* value = i < available ? row[i] : nullptr;
    switch (col.kind) {
      case DbColumnKind::kInt:
        *static_cast<int32_t*>(col.field(record)) = RecordParseInt32(value);
        break;
      case DbColumnKind::kInt64:
        *static_cast<int64_t*>(col.field(record)) = RecordParseInt64(value);
        break;
      case DbColumnKind::kText:
      case DbColumnKind::kName:
        *TextSlot(record, col) = const_cast<char*>(value);
        if (value != nullptr && lengths != nullptr && strlen(value) != lengths[i])
          record->cutTexts |= uint64_t{1} << std::min(i, 63u);
        break;
    }
  }
}

bool RecordTextIsWhole(const DbRecord* record, char* const* text) {
  if (record == nullptr) return false;
  const DbRecordDef* def = RecordDefinition(record->type);
  if (def == nullptr) return false;
  auto* r = const_cast<DbRecord*>(record);
  for (uint32_t i = 0; i < def->columnCount; ++i) {
    const DbColumnDef& col = def->columns[i];
    if ((col.kind == DbColumnKind::kText || col.kind == DbColumnKind::kName) && TextSlot(r, col) == text)
      return (record->cutTexts & (uint64_t{1} << std::min(i, 63u))) == 0;
  }
  return false;
}

DbRecord* LoadRecordV(int32_t type, DbConnection* db, const char* condition, va_list args) {
  const DbRecordDef* def = DefinitionOrReport(type);
  if (def == nullptr) return nullptr;
  if (!DbUsable(db)) return nullptr;  // reported once, when it was opened
  // Sized to the statement: a zeroed buffer of the largest one would put
  // half a megabyte into the allocator for every record loaded.
  std::string text = std::string("select * from ") + def->table + " where ";
  const size_t prefix = text.size();
  va_list measure;
  va_copy(measure, args);
  const int rest = vsnprintf(nullptr, 0, condition, measure);
  va_end(measure);
  // Only the first row is used: the server sends no more, so a condition
  // that matches a whole table costs one row, not the table.
  constexpr std::string_view kFirstRowOnly = " limit 1";
  if (rest < 0 || prefix + static_cast<size_t>(rest) + kFirstRowOnly.size() >= kDbStatementSize) {
    REPORT_ASSERT("length < kDbStatementSize", def->table);
    return nullptr;
  }
  text.resize(prefix + static_cast<size_t>(rest));
  vsnprintf(text.data() + prefix, static_cast<size_t>(rest) + 1, condition, args);
  text += kFirstRowOnly;
  const int b = DbExecuteText(db, text);
  if (!b) {
    REPORT_ASSERT("b", def->table);
    return nullptr;
  }
  DbResultPtr result(DbStoreResult(db));
  if (result == nullptr) {
    REPORT_ASSERT("result", def->table);
    return nullptr;
  }
  if (DbNumRows(result.get()) == 0) return nullptr;
  DbRow row = DbFetchRow(result.get());
  if (row == nullptr) return nullptr;
  DbRecord* record = def->create();
  RecordFillFromRow(record, result.get(), row);
  OwnTexts(record, *def);
  return record;
}

DbRecord* LoadRecord(int32_t type, DbConnection* db, const char* condition, ...) {
  va_list args;
  va_start(args, condition);
  DbRecord* record = LoadRecordV(type, db, condition, args);
  va_end(args);
  return record;
}

#define KV_DEFINE_LOADER(code, Name)                                          \
  RecordPtr<Name> Load##Name(DbConnection* db, const char* condition, ...) {  \
    va_list args;                                                             \
    va_start(args, condition);                                                \
    DbRecord* record = LoadRecordV(Name::kType, db, condition, args);         \
    va_end(args);                                                             \
    return RecordPtr<Name>(static_cast<Name*>(record));                       \
  }
KESTRAVON6_RECORDS(KV_DEFINE_LOADER)
#undef KV_DEFINE_LOADER

int32_t InsertRecord(DbConnection* db, const DbRecord* record, std::initializer_list<RecordText> whole) {
  if (record == nullptr) return 0;
  const DbRecordDef* def = DefinitionOrReport(record->type);
  if (def == nullptr || !DbUsable(db)) return 0;
  auto* r = const_cast<DbRecord*>(record);
  std::string sql = std::string("insert into ") + def->table + " values (";
  for (uint32_t i = 0; i < def->columnCount; ++i) {
    const DbColumnDef& col = def->columns[i];
    if (i > 0) sql += ", ";
    switch (col.kind) {
      case DbColumnKind::kInt:
        sql += std::to_string(*static_cast<int32_t*>(col.field(r)));
        break;
      case DbColumnKind::kInt64:
        sql += std::to_string(*static_cast<int64_t*>(col.field(r)));
        break;
      case DbColumnKind::kText:
      case DbColumnKind::kName: {
        char** slot = TextSlot(r, col);
        const char* text = *slot;
        const RecordText* given =
            std::find_if(whole.begin(), whole.end(), [&](const RecordText& t) { return t.field == slot; });
        if (given != whole.end()) {
          sql += '\'';
          sql += DbEscape(given->value);
          sql += '\'';
        } else if (text == nullptr) {
          sql += "NULL";
        } else if (text == kDbNow) {
          sql += "now()";
        } else {
          sql += '\'';
          sql += DbEscape(text);
          sql += '\'';
        }
        break;
      }
    }
  }
  sql += ')';
  if (sql.size() >= kDbStatementSize) {
    REPORT_ASSERT("length < kDbStatementSize", def->table);
    return 0;
  }
  return DbInsert(db, "%s", sql.c_str());
}
