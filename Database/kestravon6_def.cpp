#include "Database/kestravon6_def.h"

namespace {

template <typename S, auto Member>
void* FieldOf(DbRecord* record) {
  return &(static_cast<S*>(record)->*Member);
}

template <typename S>
DbRecord* Create() {
  return new S();
}

template <typename S>
void Destroy(DbRecord* record) {
  delete static_cast<S*>(record);
}

#define KV_COL_I(S, f) {DbColumnKind::kInt, #f, &FieldOf<S, &S::f>},
#define KV_COL_L(S, f) {DbColumnKind::kInt64, #f, &FieldOf<S, &S::f>},
#define KV_COL_T(S, f) {DbColumnKind::kText, #f, &FieldOf<S, &S::f>},
#define KV_COL_N(S, f) {DbColumnKind::kName, #f, nullptr},

#define KV_COLUMN_TABLE(code, Name) \
  const DbColumnDef k##Name##Columns[] = {KV_COLUMNS_##Name(Name, KV_COL_I, KV_COL_L, KV_COL_T, KV_COL_N)};
KESTRAVON6_RECORDS(KV_COLUMN_TABLE)
#undef KV_COLUMN_TABLE

#define KV_DEFINITION(code, Name)                                                              \
  {code, #Name, k##Name##Columns, static_cast<uint32_t>(sizeof k##Name##Columns / sizeof k##Name##Columns[0]), \
   &Create<Name>, &Destroy<Name>},
const DbRecordDef kDefinitions[] = {KESTRAVON6_RECORDS(KV_DEFINITION)};
#undef KV_DEFINITION

}  // namespace

const DbRecordDef* RecordDefinition(int32_t type) {
  for (const DbRecordDef& def : kDefinitions) {
    if (def.type == type) return &def;
  }
  return nullptr;
}

const DbRecordDef* RecordDefinitions(size_t* count) {
  *count = sizeof kDefinitions / sizeof kDefinitions[0];
  return kDefinitions;
}
