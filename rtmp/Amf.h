// Amf: the AMF0 codec of command messages, with the inline part of AMF3 that
// may be embedded behind the AMF0 marker 0x11.
//
// The decoder builds an AmfObject tree whose texts point into the message body
// (nothing is copied), so a tree is valid only as long as the body it was
// decoded from. The encoders write straight into a caller's byte buffer. No
// function keeps state or takes a lock; any thread may call them on its own
// objects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

// AMF0 type codes, as stored in AmfProperty::type and as written on the wire.
enum AmfType : uint32_t {
  AMF_NUMBER = 0x00,
  AMF_BOOLEAN = 0x01,
  AMF_STRING = 0x02,
  AMF_OBJECT = 0x03,
  AMF_MOVIECLIP = 0x04,
  AMF_NULL = 0x05,
  AMF_UNDEFINED = 0x06,
  AMF_REFERENCE = 0x07,
  AMF_ECMA_ARRAY = 0x08,
  AMF_OBJECT_END = 0x09,
  AMF_STRICT_ARRAY = 0x0A,
  AMF_DATE = 0x0B,
  AMF_LONG_STRING = 0x0C,
  AMF_UNSUPPORTED = 0x0D,
  AMF_RECORDSET = 0x0E,
  AMF_XML_DOC = 0x0F,
  AMF_TYPED_OBJECT = 0x10,
  AMF_AVMPLUS = 0x11,
  AMF_INVALID = 0xFF,
};

// AMF3 markers (behind AMF_AVMPLUS).
enum Amf3Type : uint8_t {
  AMF3_UNDEFINED = 0x00,
  AMF3_NULL = 0x01,
  AMF3_FALSE = 0x02,
  AMF3_TRUE = 0x03,
  AMF3_INTEGER = 0x04,
  AMF3_DOUBLE = 0x05,
  AMF3_STRING = 0x06,
  AMF3_XML_DOC = 0x07,
  AMF3_DATE = 0x08,
  AMF3_ARRAY = 0x09,
  AMF3_OBJECT = 0x0A,
  AMF3_XML = 0x0B,
};

// Objects nested deeper than this are refused: the decoder recurses once per
// level, and a peer must not be able to choose how deep.
constexpr int kAmfMaxDepth = 64;
// Values one decode may hold, over all levels. Each costs a property record
// many times the size of its one-byte encoding, so a peer must not be able to
// choose how many; commands carry a handful.
constexpr uint32_t kAmfMaxValues = 65536;

// A text that refers into someone else's bytes (normally a message body).
// Not zero-terminated; `data` is null when the text is empty.
struct AmfText {
  const char* data = nullptr;
  uint32_t length = 0;
};

inline std::string_view AmfTextView(AmfText text) {
  return text.length ? std::string_view(text.data, text.length) : std::string_view();
}
// Refers to `text` (which must outlive the result).
inline AmfText AmfTextOf(std::string_view text) {
  return text.empty() ? AmfText{} : AmfText{text.data(), static_cast<uint32_t>(text.size())};
}

struct AmfProperty;

// A decoded object, ECMA array, strict array or AMF3 object: `count` values in
// `props` (props.size() == count; the array's capacity doubles from one).
// The object owns its nested objects; their texts still point into the body.
struct AmfObject {
  uint32_t count = 0;
  std::vector<AmfProperty> props;
};

struct AmfPropValue {
  double number = 0;  // number, boolean (0 or 1) and date
  AmfText string;     // string, long string, XML
  AmfObject object;   // object, ECMA array, strict array, AMF3 object
};

struct AmfProperty {
  AmfText name;                 // empty for array values and top-level values
  uint32_t type = AMF_INVALID;  // AmfType of the value as stored
  AmfPropValue value;
  int16_t utcOffset = 0;        // dates only
};

// --- Decoding -------------------------------------------------------------
// Each returns the number of bytes consumed, or -1 when the bytes cannot be
// decoded. None reads outside `bytes`; `object`/`property` are overwritten.

// A sequence of properties (each with its name when `named`) up to the end
// marker 00 00 09 or the end of the bytes. After an undecodable value the rest
// is skipped up to the next end marker: the properties before it are kept and
// the call succeeds if such a marker follows, else it fails.
int AmfDecodeObject(AmfObject* object, std::span<const uint8_t> bytes, bool named);
// One property.
int AMFProp_Decode(AmfProperty* property, std::span<const uint8_t> bytes, bool named);
// `count` unnamed values in a row.
int AmfDecodeArray(AmfObject* object, std::span<const uint8_t> bytes, uint32_t count);

// AMF3 object; `embedded` when bytes start with its AMF3 marker 0x0A.
// References of any kind are not resolved.
int AMF3_Decode(AmfObject* object, std::span<const uint8_t> bytes, bool embedded);
int AMF3Prop_Decode(AmfProperty* property, std::span<const uint8_t> bytes, bool named);
// An inline string; a string reference leaves `text` empty. Returns the bytes
// consumed, or -1 when truncated.
int AMF3ReadString(std::span<const uint8_t> bytes, AmfText* text);
// A 29-bit integer in 1 to 4 bytes. Returns the bytes used, or -1 when truncated.
int Amf3ReadInteger(std::span<const uint8_t> bytes, int32_t* value);

// Bytes the calling thread's decodes have stepped over while looking for an
// end marker after a failed value, since the thread began: the measure tests
// use for the work one body costs (nested failures must not rescan).
uint64_t AmfSkipScanBytes();

// --- Access ---------------------------------------------------------------
// Lookups never return null: a missing property is the invalid property
// (empty name, type AMF_INVALID, number 0, empty string, empty object).

const AmfProperty* AmfInvalidProperty();
// index >= 0: the property at that position. index < 0: the first property
// whose name is exactly `name`.
const AmfProperty* AmfObjectGet(const AmfObject* object, std::string_view name, int index);
double AmfPropNumber(const AmfProperty* property);
// The number as a 32-bit integer (an id or a count): truncated toward zero,
// held inside the type (a peer's 1e300 must not be undefined behaviour), NaN 0.
int32_t AmfPropInt32(const AmfProperty* property);
bool AmfPropIsTrue(const AmfProperty* property);
// The text of a string property; empty for any other type.
AmfText AmfPropString(const AmfProperty* property);
// Copies the string into `buffer` with a terminating zero, cut to
// buffer.size() - 1 bytes. Returns the bytes copied (without the zero).
size_t AmfPropCopyText(const AmfProperty* property, std::span<char> buffer);
// The nested object of an object property; an empty object for any other type.
const AmfObject* AmfPropObject(const AmfProperty* property);
// Releases every nested object and the array; count becomes 0.
void AmfObjectFree(AmfObject* object);

// --- Encoding -------------------------------------------------------------
// Each writes at `out` and returns the position after what it wrote, or null
// when that would pass `end`. A null `out` gives null, so calls can be chained
// and checked once at the end.

uint8_t* AmfEncodeInt16(uint8_t* out, uint8_t* end, uint32_t value);
uint8_t* AmfEncodeInt24(uint8_t* out, uint8_t* end, uint32_t value);
uint8_t* AmfEncodeInt32(uint8_t* out, uint8_t* end, uint32_t value);
uint8_t* AmfEncodeNumber(uint8_t* out, uint8_t* end, double value);
uint8_t* AmfEncodeBoolean(uint8_t* out, uint8_t* end, bool flag);
// One byte (a marker such as AMF_NULL or AMF_OBJECT), and the end of an object's
// properties (an empty name and AMF_OBJECT_END). None when it does not fit
// or `out` is none.
uint8_t* AmfEncodeByte(uint8_t* out, uint8_t* end, uint8_t value);
uint8_t* AmfEncodeObjectEnd(uint8_t* out, uint8_t* end);
// 0x02 and a 16-bit length below 65536 bytes, else 0x0C and a 32-bit length.
uint8_t* AmfEncodeString(uint8_t* out, uint8_t* end, AmfText text);
// As AmfEncodeString for a zero-terminated text; null encodes the empty string.
uint8_t* AmfEncodeText(uint8_t* out, uint8_t* end, const char* text);
// A property name: 16-bit length and bytes, no marker. Names of 65536 bytes or
// more cannot be written and give null.
uint8_t* AmfEncodeName(uint8_t* out, uint8_t* end, const char* name);
uint8_t* AmfEncodeNamedString(uint8_t* out, uint8_t* end, const char* name, const char* text);
uint8_t* AmfEncodeNamedNumber(uint8_t* out, uint8_t* end, const char* name, double value);
uint8_t* AmfEncodeNamedBoolean(uint8_t* out, uint8_t* end, const char* name, bool flag);
