#include "rtmp/Amf.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <string>

#include "util/ByteOrder.h"
#include "util/Log.h"

namespace {

// Shared by every level of one decode: how deep we are, how many values were
// taken, and whether a bound was hit. Passing a bound is not a tolerable
// value error: the levels above must fail too, not skip ahead to an end
// marker and report success.
struct DecodeState {
  int depth = 0;
  uint32_t values = 0;
  bool refused = false;  // a bound was passed: the whole decode fails
  // Every level's bytes run to the same end (the end of the body), and after
  // a failed value each level searches them for the next end marker. The
  // stretches already searched are kept, start -> where the search stopped
  // (a marker, or the end), so no level searches them again: a failure deep
  // in 63 levels of a 16 MiB body would otherwise examine a gigabyte, and a
  // level that resyncs and then fails anyway would make every level above
  // it search the same stretch once more.
  std::map<const uint8_t*, const uint8_t*> searched;
};

thread_local uint64_t t_skipScanBytes = 0;

const AmfProperty kInvalidProperty{};
const AmfObject kEmptyObject{};
constexpr char kDefaultAttribute[] = "DEFAULT_ATTRIBUTE";

double ReadDouble(const uint8_t* p) { return std::bit_cast<double>(GetBe64(p)); }

AmfText TextAt(const uint8_t* p, uint32_t length) {
  return length ? AmfText{reinterpret_cast<const char*>(p), length} : AmfText{};
}

// The log lines print texts with %s, and the texts are not terminated.
[[maybe_unused]] std::string Printable(AmfText text) { return std::string(AmfTextView(text)); }

// Low 32 bits of an address, as the unknown-marker log lines show it.
unsigned AddressOf(const uint8_t* p) {
  return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p));
}

// Doubling from one entry instead of a fixed step of 16: a body of many
// values must not cost a quadratic number of moves, and a body of many
// one-value arrays (6 bytes each on the wire) must not cost 16 entries of
// 88 bytes apiece.
void Append(AmfObject* object, AmfProperty&& property) {
  auto& props = object->props;
  if (props.size() == props.capacity()) props.reserve(props.capacity() == 0 ? 1 : props.capacity() * 2);
  props.push_back(std::move(property));
  object->count = static_cast<uint32_t>(props.size());
}

// Enters one more container level; false (and the decode is refused) when
// that would pass kAmfMaxDepth.
bool Enter(DecodeState& state) {
  if (state.depth >= kAmfMaxDepth) {
    if (!state.refused)
      ProtocolLog(LOG_ERROR, "%s: values nested deeper than %d levels, refused", "AMFProp_Decode",
                  kAmfMaxDepth);
    state.refused = true;
    return false;
  }
  ++state.depth;
  return true;
}

// Counts one more value; false (and the decode is refused) past kAmfMaxValues.
bool TakeValue(DecodeState& state) {
  if (state.values >= kAmfMaxValues) {
    if (!state.refused)
      ProtocolLog(LOG_ERROR, "%s: more than %u values, refused", "AMFProp_Decode", kAmfMaxValues);
    state.refused = true;
    return false;
  }
  ++state.values;
  return true;
}

int DecodeObject(DecodeState& state, AmfObject* object, std::span<const uint8_t> bytes, bool named);
int DecodeProp(DecodeState& state, AmfProperty* property, std::span<const uint8_t> bytes, bool named);
int DecodeArray(DecodeState& state, AmfObject* object, std::span<const uint8_t> bytes, uint32_t count);
int Decode3(DecodeState& state, AmfObject* object, std::span<const uint8_t> bytes, bool embedded);
int DecodeProp3(DecodeState& state, AmfProperty* property, std::span<const uint8_t> bytes, bool named);

// Decodes a nested container with `decode`, one level deeper. Returns the
// decoder's result, or -1 when the level is not allowed.
template <typename F>
int Nested(DecodeState& state, F&& decode) {
  if (!Enter(state)) return -1;
  int n = decode();
  --state.depth;
  return n;
}

bool MarkerAt(const uint8_t* p, const uint8_t* end) {
  return end - p >= 3 && p[0] == 0 && p[1] == 0 && p[2] == AMF_OBJECT_END;
}

// The first end marker at or after `from`, or `end` when none follows.
// Stretches searched before, by this level or another, are jumped over.
const uint8_t* FindEndMarker(DecodeState& state, const uint8_t* from, const uint8_t* end) {
  auto& searched = state.searched;
  const uint8_t* p = from;
  for (;;) {
    // Inside a stretch searched before: its result holds from here too.
    auto next = searched.upper_bound(p);
    if (next != searched.begin()) {
      auto known = std::prev(next);
      if (p < known->second) {
        p = known->second;
        break;
      }
    }
    const uint8_t* stop = next != searched.end() ? next->first : end;
    while (p < stop && !MarkerAt(p, end)) {
      ++p;
      ++t_skipScanBytes;
    }
    if (p < stop || p == end) break;  // a marker, or the end
    // Reached a stretch searched before: the loop jumps over it.
  }
  if (p > from) {
    // Stretches inside this one end where it does; keeping only the outer
    // one lets the lookup above find it from any point within.
    searched.erase(searched.upper_bound(from), searched.lower_bound(p));
    searched[from] = p;
  }
  return p;
}

int DecodeObject(DecodeState& state, AmfObject* object, std::span<const uint8_t> bytes, bool named) {
  AmfObjectFree(object);
  if (bytes.empty()) return 0;
  const uint8_t* const begin = bytes.data();
  const uint8_t* const end = begin + bytes.size();
  size_t pos = 0;
  while (pos < bytes.size()) {
    if (MarkerAt(begin + pos, end)) return static_cast<int>(pos + 3);
    AmfProperty property;
    int n = DecodeProp(state, &property, bytes.subspan(pos), named);
    if (n >= 0) {
      Append(object, std::move(property));
      pos += static_cast<size_t>(n);
      continue;
    }
    if (state.refused) return -1;
    // The properties before are kept; the rest up to the next end marker is
    // skipped, or the object fails when none follows. Reported once per
    // skip, not per byte: the peer chooses how many bytes follow.
    ProtocolLog(LOG_ERROR, "DECODING ERROR, IGNORING BYTES UNTIL NEXT KNOWN PATTERN!");
    const uint8_t* marker = FindEndMarker(state, begin + pos + 1, end);
    if (marker == end) return -1;
    return static_cast<int>(marker - begin + 3);
  }
  return static_cast<int>(pos);
}

int DecodeArray(DecodeState& state, AmfObject* object, std::span<const uint8_t> bytes, uint32_t count) {
  AmfObjectFree(object);
  // Every value takes at least its marker byte, so a count beyond the bytes
  // cannot succeed; refusing it here keeps a peer's count from driving the
  // loop (or anything else) before a single value is seen.
  if (count > bytes.size()) {
    ProtocolLog(LOG_DEBUG, "%s: %u values cannot fit in %zu bytes", "AmfDecodeArray", count,
                bytes.size());
    return -1;
  }
  size_t pos = 0;
  for (uint32_t i = 0; i < count; ++i) {
    AmfProperty property;
    int n = DecodeProp(state, &property, bytes.subspan(pos), false);
    // A retry at the same position fails the same way; stop at the first.
    if (n < 0) return -1;
    Append(object, std::move(property));
    pos += static_cast<size_t>(n);
  }
  return static_cast<int>(pos);
}

int DecodeProp(DecodeState& state, AmfProperty* property, std::span<const uint8_t> bytes, bool named) {
  *property = AmfProperty{};
  if (!TakeValue(state)) return -1;
  if (bytes.empty() || bytes.data() == nullptr) {
    ProtocolLog(LOG_DEBUG, "%s: Empty buffer/no buffer pointer!", "AMFProp_Decode");
    return -1;
  }
  const size_t size = bytes.size();
  size_t pos = 0;
  if (named) {
    if (size < 4) {
      ProtocolLog(LOG_DEBUG, "%s: Not enough data for decoding with name, less than 4 bytes!",
                  "AMFProp_Decode");
      return -1;
    }
    uint32_t nameSize = GetBe16(bytes.data());
    if (nameSize > size - 2) {
      ProtocolLog(LOG_DEBUG, "%s: Name size out of range: namesize (%d) > len (%d) - 2",
                  "AMFProp_Decode", static_cast<int>(nameSize), static_cast<int>(size));
      return -1;
    }
    property->name = TextAt(bytes.data() + 2, nameSize);
    pos = 2 + nameSize;
  }
  if (pos >= size) return -1;

  const uint8_t marker = bytes[pos++];
  const uint8_t* p = bytes.data() + pos;
  const size_t left = size - pos;
  AmfPropValue& value = property->value;
  int n = 0;
  switch (marker) {
    case AMF_NUMBER:
      if (left < 8) return -1;
      value.number = ReadDouble(p);
      pos += 8;
      break;
    case AMF_BOOLEAN:
      if (left < 1) return -1;
      value.number = p[0] != 0 ? 1 : 0;
      pos += 1;
      break;
    case AMF_STRING: {
      if (left < 2) return -1;
      uint32_t length = GetBe16(p);
      if (length > left - 2) return -1;
      value.string = TextAt(p + 2, length);
      pos += 2 + length;
      break;
    }
    case AMF_OBJECT:
      n = Nested(state, [&] { return DecodeObject(state, &value.object, bytes.subspan(pos), true); });
      if (n < 0) return -1;
      pos += static_cast<size_t>(n);
      break;
    case AMF_MOVIECLIP:
      ProtocolLog(LOG_ERROR, "AMF_MOVIECLIP reserved!");
      return -1;
    case AMF_NULL:
    case AMF_UNDEFINED:
    case AMF_UNSUPPORTED:
      property->type = AMF_NULL;
      return static_cast<int>(pos);
    case AMF_REFERENCE:
      ProtocolLog(LOG_ERROR, "AMF_REFERENCE not supported!");
      return -1;
    case AMF_ECMA_ARRAY:
      // The count is only a hint; the properties run to the end marker.
      if (left < 4) return -1;
      pos += 4;
      n = Nested(state, [&] { return DecodeObject(state, &value.object, bytes.subspan(pos), true); });
      if (n < 0) return -1;
      pos += static_cast<size_t>(n);
      property->type = AMF_OBJECT;
      return static_cast<int>(pos);
    case AMF_OBJECT_END:
      return -1;
    case AMF_STRICT_ARRAY: {
      if (left < 4) return -1;
      uint32_t count = GetBe32(p);
      pos += 4;
      n = Nested(state, [&] { return DecodeArray(state, &value.object, bytes.subspan(pos), count); });
      if (n < 0) return -1;
      pos += static_cast<size_t>(n);
      property->type = AMF_OBJECT;
      return static_cast<int>(pos);
    }
    case AMF_DATE:
      ProtocolLog(LOG_DEBUG, "AMF_DATE");
      if (left < 10) return -1;
      value.number = ReadDouble(p);
      property->utcOffset = static_cast<int16_t>(GetBe16(p + 8));
      pos += 10;
      break;
    case AMF_LONG_STRING: {
      if (left < 4) return -1;
      uint32_t length = GetBe32(p);
      if (length > left - 4) return -1;
      value.string = TextAt(p + 4, length);
      pos += 4 + static_cast<size_t>(length);
      property->type = AMF_STRING;
      return static_cast<int>(pos);
    }
    case AMF_RECORDSET:
      ProtocolLog(LOG_ERROR, "AMF_RECORDSET reserved!");
      return -1;
    case AMF_XML_DOC:
      ProtocolLog(LOG_ERROR, "AMF_XML_DOC not supported!");
      return -1;
    case AMF_TYPED_OBJECT:
      ProtocolLog(LOG_ERROR, "AMF_TYPED_OBJECT not supported!");
      return -1;
    case AMF_AVMPLUS:
      n = Nested(state, [&] { return Decode3(state, &value.object, bytes.subspan(pos), true); });
      if (n < 0) return -1;
      pos += static_cast<size_t>(n);
      property->type = AMF_OBJECT;
      return static_cast<int>(pos);
    default:
      ProtocolLog(LOG_DEBUG, "%s - unknown datatype 0x%02x, @0x%08X", "AMFProp_Decode", marker,
                  AddressOf(p - 1));
      return -1;
  }
  property->type = marker;
  return static_cast<int>(pos);
}

int DecodeProp3(DecodeState& state, AmfProperty* property, std::span<const uint8_t> bytes, bool named) {
  *property = AmfProperty{};
  if (!TakeValue(state)) return -1;
  if (bytes.empty() || bytes.data() == nullptr) {
    ProtocolLog(LOG_DEBUG, "empty buffer/no buffer pointer!");
    return -1;
  }
  const size_t size = bytes.size();
  size_t pos = 0;
  if (named) {
    int n = AMF3ReadString(bytes, &property->name);
    if (n < 0) return -1;
    pos = static_cast<size_t>(n);
    // An empty name closes the dynamic members of an object.
    if (property->name.length == 0) return static_cast<int>(pos);
  }
  if (pos >= size) return -1;

  const uint8_t marker = bytes[pos++];
  const uint8_t* p = bytes.data() + pos;
  const size_t left = size - pos;
  AmfPropValue& value = property->value;
  int n = 0;
  switch (marker) {
    case AMF3_UNDEFINED:
    case AMF3_NULL:
      property->type = AMF_NULL;
      break;
    case AMF3_FALSE:
    case AMF3_TRUE:
      property->type = AMF_BOOLEAN;
      value.number = marker == AMF3_TRUE ? 1 : 0;
      break;
    case AMF3_INTEGER: {
      int32_t integer = 0;
      n = Amf3ReadInteger(bytes.subspan(pos), &integer);
      if (n < 0) return -1;
      pos += static_cast<size_t>(n);
      property->type = AMF_NUMBER;
      value.number = integer;
      break;
    }
    case AMF3_DOUBLE:
      if (left < 8) return -1;
      property->type = AMF_NUMBER;
      value.number = ReadDouble(p);
      pos += 8;
      break;
    case AMF3_STRING:
    case AMF3_XML_DOC:
    case AMF3_XML:
      n = AMF3ReadString(bytes.subspan(pos), &value.string);
      if (n < 0) return -1;
      pos += static_cast<size_t>(n);
      property->type = AMF_STRING;
      break;
    case AMF3_DATE: {
      int32_t header = 0;
      n = Amf3ReadInteger(bytes.subspan(pos), &header);
      if (n < 0) return -1;
      pos += static_cast<size_t>(n);
      uint32_t u = static_cast<uint32_t>(header) & 0x1FFFFFFF;
      if (u & 1) {
        if (size - pos < 8) return -1;
        value.number = ReadDouble(bytes.data() + pos);
        pos += 8;
      } else {
        ProtocolLog(LOG_DEBUG, "AMF3_DATE reference: %d, not supported!", static_cast<int>(u >> 1));
      }
      property->type = AMF_DATE;
      break;
    }
    case AMF3_OBJECT:
      n = Nested(state, [&] { return Decode3(state, &value.object, bytes.subspan(pos), false); });
      if (n < 0) return -1;
      pos += static_cast<size_t>(n);
      property->type = AMF_OBJECT;
      break;
    default:
      ProtocolLog(LOG_DEBUG, "%s - AMF3 unknown/unsupported datatype 0x%02x, @0x%08X",
                  "AMF3Prop_Decode", marker, AddressOf(p - 1));
      return -1;
  }
  return static_cast<int>(pos);
}

int Decode3(DecodeState& state, AmfObject* object, std::span<const uint8_t> bytes, bool embedded) {
  AmfObjectFree(object);
  size_t pos = 0;
  if (embedded) {
    if (bytes.empty()) return -1;
    if (bytes[0] != AMF3_OBJECT)
      ProtocolLog(LOG_ERROR, "AMF3 Object encapsulated in AMF stream does not start with AMF3_OBJECT!");
    pos = 1;
  }
  int32_t header = 0;
  int n = Amf3ReadInteger(bytes.subspan(pos), &header);
  if (n < 0) return -1;
  pos += static_cast<size_t>(n);
  const uint32_t u = static_cast<uint32_t>(header) & 0x1FFFFFFF;
  if ((u & 1) == 0) {
    ProtocolLog(LOG_DEBUG, "Object reference, index: %d", static_cast<int>(u >> 1));
    return static_cast<int>(pos);
  }

  bool externalizable = false;
  bool dynamic = false;
  std::vector<AmfText> members;
  if (u & 2) {
    externalizable = (u & 4) != 0;
    dynamic = (u & 8) != 0;
    const uint32_t memberCount = u >> 4;
    AmfText className;
    n = AMF3ReadString(bytes.subspan(pos), &className);
    if (n < 0) return -1;
    pos += static_cast<size_t>(n);
    // Each member name takes at least one byte: a larger count is a lie and
    // must not size the name table.
    if (memberCount > bytes.size() - pos) return -1;
    // Every member takes a value, so more members than the value bound can
    // never decode: refuse before the count sizes the name table.
    if (memberCount > kAmfMaxValues) {
      ProtocolLog(LOG_ERROR, "%s: more than %u values, refused", "AMF3_Decode", kAmfMaxValues);
      state.refused = true;
      return -1;
    }
    if constexpr (LOG_DEBUG <= kProtocolLogLevel)
      ProtocolLog(LOG_DEBUG, "Class name: %s, externalizable: %d, dynamic: %d, classMembers: %d",
                  Printable(className).c_str(), externalizable, dynamic, static_cast<int>(memberCount));
    members.resize(memberCount);
    for (AmfText& member : members) {
      n = AMF3ReadString(bytes.subspan(pos), &member);
      if (n < 0) return -1;
      pos += static_cast<size_t>(n);
      if constexpr (LOG_DEBUG <= kProtocolLogLevel)
        ProtocolLog(LOG_DEBUG, "Member: %s", Printable(member).c_str());
    }
  } else {
    ProtocolLog(LOG_DEBUG, "Class reference: %d", static_cast<int>(u >> 2));
  }

  // A value that cannot be decoded leaves no position to go on from, so the
  // whole object fails rather than being read out of step.
  auto failed = [&] {
    ProtocolLog(LOG_DEBUG, "%s, failed to decode AMF3 property!", "AMF3_Decode");
    return -1;
  };
  if (externalizable) {
    ProtocolLog(LOG_DEBUG, "Externalizable, TODO check");
    AmfProperty property;
    n = DecodeProp3(state, &property, bytes.subspan(pos), false);
    if (n < 0) return failed();
    pos += static_cast<size_t>(n);
    property.name = AmfTextOf(kDefaultAttribute);
    Append(object, std::move(property));
  } else {
    for (const AmfText& member : members) {
      AmfProperty property;
      n = DecodeProp3(state, &property, bytes.subspan(pos), false);
      if (n < 0) return failed();
      pos += static_cast<size_t>(n);
      property.name = member;
      Append(object, std::move(property));
    }
    while (dynamic) {
      AmfProperty property;
      n = DecodeProp3(state, &property, bytes.subspan(pos), true);
      if (n < 0) return failed();
      pos += static_cast<size_t>(n);
      if (property.name.length == 0) break;
      Append(object, std::move(property));
    }
  }
  ProtocolLog(LOG_DEBUG, "class object!");
  return static_cast<int>(pos);
}

// Every decoder returns an int count, so a longer input cannot be described.
bool TooLong(std::span<const uint8_t> bytes) {
  return bytes.size() > static_cast<size_t>(std::numeric_limits<int>::max());
}

// Room for `need` bytes at `out`.
bool Fits(const uint8_t* out, const uint8_t* end, size_t need) {
  return out != nullptr && end != nullptr && out <= end && static_cast<size_t>(end - out) >= need;
}

uint8_t* PutBigEndian(uint8_t* out, uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) *out++ = static_cast<uint8_t>(value >> (8 * i));
  return out;
}

uint8_t* EncodeBytes(uint8_t* out, const char* data, size_t length) {
  if (length) std::memcpy(out, data, length);
  return out + length;
}

}  // namespace

int AmfDecodeObject(AmfObject* object, std::span<const uint8_t> bytes, bool named) {
  if (TooLong(bytes)) return -1;
  DecodeState state;
  return DecodeObject(state, object, bytes, named);
}

int AMFProp_Decode(AmfProperty* property, std::span<const uint8_t> bytes, bool named) {
  if (TooLong(bytes)) return -1;
  DecodeState state;
  return DecodeProp(state, property, bytes, named);
}

int AmfDecodeArray(AmfObject* object, std::span<const uint8_t> bytes, uint32_t count) {
  if (TooLong(bytes)) return -1;
  DecodeState state;
  return DecodeArray(state, object, bytes, count);
}

int AMF3_Decode(AmfObject* object, std::span<const uint8_t> bytes, bool embedded) {
  if (TooLong(bytes)) return -1;
  DecodeState state;
  return Decode3(state, object, bytes, embedded);
}

int AMF3Prop_Decode(AmfProperty* property, std::span<const uint8_t> bytes, bool named) {
  if (TooLong(bytes)) return -1;
  DecodeState state;
  return DecodeProp3(state, property, bytes, named);
}

uint64_t AmfSkipScanBytes() { return t_skipScanBytes; }

int AMF3ReadString(std::span<const uint8_t> bytes, AmfText* text) {
  *text = AmfText{};
  int32_t header = 0;
  int n = Amf3ReadInteger(bytes, &header);
  if (n < 0) return -1;
  const uint32_t u = static_cast<uint32_t>(header) & 0x1FFFFFFF;
  if ((u & 1) == 0) {
    ProtocolLog(LOG_DEBUG, "%s, string reference, index: %d, not supported, ignoring!", "AMF3ReadString",
                static_cast<int>(u >> 1));
    return n;
  }
  const uint32_t length = u >> 1;
  if (length > bytes.size() - static_cast<size_t>(n)) return -1;
  *text = TextAt(bytes.data() + n, length);
  return n + static_cast<int>(length);
}

int Amf3ReadInteger(std::span<const uint8_t> bytes, int32_t* value) {
  uint32_t result = 0;
  for (size_t i = 0; i < 3; ++i) {
    if (i >= bytes.size()) return -1;
    const uint8_t b = bytes[i];
    if ((b & 0x80) == 0) {
      *value = static_cast<int32_t>((result << 7) | b);
      return static_cast<int>(i + 1);
    }
    result = (result << 7) | (b & 0x7F);
  }
  if (bytes.size() < 4) return -1;
  int32_t full = static_cast<int32_t>((result << 8) | bytes[3]);
  if (full > 0x0FFFFFFF) full -= 0x20000000;  // 29-bit two's complement
  *value = full;
  return 4;
}

const AmfProperty* AmfInvalidProperty() { return &kInvalidProperty; }

const AmfProperty* AmfObjectGet(const AmfObject* object, std::string_view name, int index) {
  if (object == nullptr) return &kInvalidProperty;
  if (index >= 0)
    return static_cast<uint32_t>(index) < object->count ? &object->props[index] : &kInvalidProperty;
  for (const AmfProperty& property : object->props)
    if (AmfTextView(property.name) == name) return &property;
  return &kInvalidProperty;
}

double AmfPropNumber(const AmfProperty* property) {
  return property ? property->value.number : 0;
}

int32_t AmfPropInt32(const AmfProperty* property) {
  const double value = AmfPropNumber(property);
  if (std::isnan(value)) return 0;
  if (value <= INT32_MIN) return INT32_MIN;
  if (value >= INT32_MAX) return INT32_MAX;
  return static_cast<int32_t>(value);
}

bool AmfPropIsTrue(const AmfProperty* property) { return AmfPropNumber(property) != 0; }

AmfText AmfPropString(const AmfProperty* property) {
  if (property == nullptr || property->type != AMF_STRING) return AmfText{};
  return property->value.string;
}

size_t AmfPropCopyText(const AmfProperty* property, std::span<char> buffer) {
  if (buffer.empty()) return 0;
  AmfText text = AmfPropString(property);
  size_t length = std::min<size_t>(text.length, buffer.size() - 1);
  if (length) std::memcpy(buffer.data(), text.data, length);
  buffer[length] = '\0';
  return length;
}

const AmfObject* AmfPropObject(const AmfProperty* property) {
  if (property == nullptr || property->type != AMF_OBJECT) return &kEmptyObject;
  return &property->value.object;
}

void AmfObjectFree(AmfObject* object) {
  if (object == nullptr) return;
  // The vector releases nested objects depth-first through their destructors;
  // swapping with an empty one also gives the capacity back.
  std::vector<AmfProperty>().swap(object->props);
  object->count = 0;
}

uint8_t* AmfEncodeInt16(uint8_t* out, uint8_t* end, uint32_t value) {
  if (!Fits(out, end, 2)) return nullptr;
  return PutBigEndian(out, value, 2);
}

uint8_t* AmfEncodeInt24(uint8_t* out, uint8_t* end, uint32_t value) {
  if (!Fits(out, end, 3)) return nullptr;
  return PutBigEndian(out, value, 3);
}

uint8_t* AmfEncodeInt32(uint8_t* out, uint8_t* end, uint32_t value) {
  if (!Fits(out, end, 4)) return nullptr;
  return PutBigEndian(out, value, 4);
}

uint8_t* AmfEncodeNumber(uint8_t* out, uint8_t* end, double value) {
  if (!Fits(out, end, 9)) return nullptr;
  *out++ = AMF_NUMBER;
  return PutBigEndian(out, std::bit_cast<uint64_t>(value), 8);
}

uint8_t* AmfEncodeBoolean(uint8_t* out, uint8_t* end, bool flag) {
  if (!Fits(out, end, 2)) return nullptr;
  *out++ = AMF_BOOLEAN;
  *out++ = flag ? 1 : 0;
  return out;
}

uint8_t* AmfEncodeByte(uint8_t* out, uint8_t* end, uint8_t value) {
  if (out == nullptr || out >= end) return nullptr;
  *out = value;
  return out + 1;
}

uint8_t* AmfEncodeObjectEnd(uint8_t* out, uint8_t* end) {
  if (out == nullptr || end - out < 3) return nullptr;
  out[0] = 0;
  out[1] = 0;
  out[2] = AMF_OBJECT_END;
  return out + 3;
}

uint8_t* AmfEncodeString(uint8_t* out, uint8_t* end, AmfText text) {
  const size_t length = text.length;
  if (length < 65536) {
    if (!Fits(out, end, 3 + length)) return nullptr;
    *out++ = AMF_STRING;
    out = PutBigEndian(out, length, 2);
  } else {
    if (!Fits(out, end, 5 + length)) return nullptr;
    *out++ = AMF_LONG_STRING;
    out = PutBigEndian(out, length, 4);
  }
  return EncodeBytes(out, text.data, length);
}

uint8_t* AmfEncodeText(uint8_t* out, uint8_t* end, const char* text) {
  const size_t length = text ? std::strlen(text) : 0;
  if (length > std::numeric_limits<uint32_t>::max()) return nullptr;
  return AmfEncodeString(out, end, AmfText{text, static_cast<uint32_t>(length)});
}

uint8_t* AmfEncodeName(uint8_t* out, uint8_t* end, const char* name) {
  const size_t length = name ? std::strlen(name) : 0;
  // The length field has 16 bits; a longer name would be written cut short
  // and the rest read as values.
  if (length > 0xFFFF || !Fits(out, end, 2 + length)) return nullptr;
  out = PutBigEndian(out, length, 2);
  return EncodeBytes(out, name, length);
}

uint8_t* AmfEncodeNamedString(uint8_t* out, uint8_t* end, const char* name, const char* text) {
  return AmfEncodeText(AmfEncodeName(out, end, name), end, text ? text : "");
}

uint8_t* AmfEncodeNamedNumber(uint8_t* out, uint8_t* end, const char* name, double value) {
  return AmfEncodeNumber(AmfEncodeName(out, end, name), end, value);
}

uint8_t* AmfEncodeNamedBoolean(uint8_t* out, uint8_t* end, const char* name, bool flag) {
  return AmfEncodeBoolean(AmfEncodeName(out, end, name), end, flag);
}
