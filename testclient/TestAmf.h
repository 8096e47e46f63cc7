// AMF0 command bodies for the tests and the bench, and reply bodies read back
// into a tree that is easy to assert on.
//
// Build:  amf::Body({amf::Str("connect"), amf::Num(1),
//                    amf::Obj({{"app", amf::Str("default")}, {"objectEncoding", amf::Num(0)}})})
// Read:   std::vector<amf::Node> values; ASSERT_TRUE(amf::Read(body, &values));
//         EXPECT_EQ(values[3].Get("code").text, "NetConnection.Connect.Success");
//
// amf::Read is a small strict reader written apart from rtmp/Amf, so tests can
// check the project's encoders and decoder against it (support/AmfHelpers.h
// goes through the project's decoder). Plain values, no shared state.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace amf {

enum class Kind {
  kMissing,  // what Get/Item return for an absent member
  kNumber,
  kBoolean,
  kString,
  kNull,
  kUndefined,
  kDate,
  kObject,
  kEcmaArray,
  kStrictArray,
  kRaw,  // bytes written as they are (for malformed input)
};

struct Field;

struct Node {
  Kind kind = Kind::kMissing;
  std::string name;         // member name inside an object or ECMA array
  double number = 0;        // number, boolean (0/1), date
  std::string text;         // string; the bytes of kRaw
  std::vector<Node> items;  // object and ECMA array members (named), strict array values

  // The first member with this name, else a kMissing node.
  const Node& Get(std::string_view member) const;
  // The i-th member or value, else a kMissing node.
  const Node& Item(size_t i) const;
  bool IsMissing() const { return kind == Kind::kMissing; }
  bool IsContainer() const {
    return kind == Kind::kObject || kind == Kind::kEcmaArray || kind == Kind::kStrictArray;
  }
};

struct Field {
  std::string name;
  Node value;
};

Node Num(double value);
Node Bool(bool value);
Node Str(std::string_view text);  // marker 0x0C from 65536 bytes on, as the server writes it
Node Null();
Node Undefined();
Node Obj(std::initializer_list<Field> members);
Node Obj(const std::vector<Field>& members);
Node Ecma(std::initializer_list<Field> members);
Node Arr(std::initializer_list<Node> values);
Node Raw(std::initializer_list<uint8_t> bytes);
Node Raw(std::string_view bytes);

// The values one after the other (a command body: name, transaction id, ...).
std::vector<uint8_t> Body(std::initializer_list<Node> values);
std::vector<uint8_t> Body(const std::vector<Node>& values);
void Append(std::vector<uint8_t>* out, const Node& value);

// Strict AMF0 reader of numbers, booleans, strings, long strings, objects,
// ECMA and strict arrays, null, undefined and dates. Every byte must belong
// to a value. On failure, `error` (if given) says what and at which offset.
// Values nested deeper than `maxDepth` are refused (the bench reads a peer's
// replies with a low bound).
bool Read(std::span<const uint8_t> body, std::vector<Node>* values, std::string* error = nullptr,
          int maxDepth = 100);
// Deeper than a server's reply ever nests: the bound of the bench's reader.
constexpr int kMaxReplyDepth = 8;

// Equal values, where the three container kinds count as one (the project's
// decoder does not keep them apart).
bool Equivalent(const Node& a, const Node& b);
bool Equivalent(const std::vector<Node>& a, const std::vector<Node>& b);

bool operator==(const Node& a, const Node& b);
// The names of an object's properties, in order.
std::vector<std::string> Names(const Node& object);

std::string ToString(const Node& value);
std::string ToString(const std::vector<Node>& values);
void PrintTo(const Node& value, std::ostream* out);  // for gtest messages

}  // namespace amf
