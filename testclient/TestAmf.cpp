#include "testclient/TestAmf.h"

#include <bit>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace amf {

namespace {

const Node kMissingNode{};

void PutBigEndian(std::vector<uint8_t>* out, uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void PutName(std::vector<uint8_t>* out, const std::string& name) {
  PutBigEndian(out, name.size(), 2);
  out->insert(out->end(), name.begin(), name.end());
}

void PutEnd(std::vector<uint8_t>* out) { out->insert(out->end(), {0, 0, 9}); }

Node Container(Kind kind, std::initializer_list<Field> members) {
  Node node;
  node.kind = kind;
  for (const Field& field : members) {
    node.items.push_back(field.value);
    node.items.back().name = field.name;
  }
  return node;
}

// The independent reader: one value at a time, refusing anything it does not
// know, with the offset of the trouble in `error`.
class Reader {
 public:
  Reader(std::span<const uint8_t> bytes, int maxDepth) : bytes_(bytes), maxDepth_(maxDepth) {}

  bool Value(Node* node, int depth) {
    if (depth > maxDepth_) return Fail("nested too deep");
    uint8_t marker;
    if (!Byte(&marker)) return Fail("no marker");
    switch (marker) {
      case 0x00:
        node->kind = Kind::kNumber;
        return Double(&node->number);
      case 0x01: {
        uint8_t b;
        node->kind = Kind::kBoolean;
        if (!Byte(&b)) return Fail("truncated boolean");
        node->number = b ? 1 : 0;
        return true;
      }
      case 0x02:
      case 0x0C: {
        uint64_t length;
        node->kind = Kind::kString;
        if (!Unsigned(marker == 0x02 ? 2 : 4, &length)) return Fail("truncated string length");
        return Bytes(length, &node->text);
      }
      case 0x03:
        node->kind = Kind::kObject;
        return Members(node, depth);
      case 0x05:
        node->kind = Kind::kNull;
        return true;
      case 0x06:
        node->kind = Kind::kUndefined;
        return true;
      case 0x08: {
        uint64_t ignored;
        node->kind = Kind::kEcmaArray;
        if (!Unsigned(4, &ignored)) return Fail("truncated ECMA array count");
        return Members(node, depth);
      }
      case 0x0A: {
        uint64_t count;
        node->kind = Kind::kStrictArray;
        if (!Unsigned(4, &count)) return Fail("truncated strict array count");
        if (count > Left()) return Fail("strict array count past the end");
        for (uint64_t i = 0; i < count; ++i) {
          node->items.emplace_back();
          if (!Value(&node->items.back(), depth + 1)) return false;
        }
        return true;
      }
      case 0x0B: {
        uint64_t offset;
        node->kind = Kind::kDate;
        return Double(&node->number) && (Unsigned(2, &offset) || Fail("truncated date"));
      }
      default:
        pos_--;
        return Fail("unknown marker " + std::to_string(marker));
    }
  }

  size_t Left() const { return bytes_.size() - pos_; }
  size_t Position() const { return pos_; }
  const std::string& Error() const { return error_; }

 private:
  bool Fail(const std::string& what) {
    if (error_.empty()) error_ = what + " at offset " + std::to_string(pos_);
    return false;
  }
  bool Byte(uint8_t* b) {
    if (Left() < 1) return false;
    *b = bytes_[pos_++];
    return true;
  }
  bool Unsigned(int n, uint64_t* value) {
    if (Left() < static_cast<size_t>(n)) return false;
    *value = 0;
    for (int i = 0; i < n; ++i) *value = (*value << 8) | bytes_[pos_++];
    return true;
  }
  bool Double(double* value) {
    uint64_t bits;
    if (!Unsigned(8, &bits)) return Fail("truncated number");
    *value = std::bit_cast<double>(bits);
    return true;
  }
  bool Bytes(uint64_t length, std::string* text) {
    if (length > Left()) return Fail("text past the end");
    text->assign(reinterpret_cast<const char*>(bytes_.data() + pos_), length);
    pos_ += length;
    return true;
  }
  bool Members(Node* node, int depth) {
    for (;;) {
      uint64_t length;
      if (!Unsigned(2, &length)) return Fail("truncated member name");
      std::string name;
      if (!Bytes(length, &name)) return false;
      if (length == 0 && Left() >= 1 && bytes_[pos_] == 0x09) {
        ++pos_;
        return true;
      }
      node->items.emplace_back();
      node->items.back().name = std::move(name);
      if (!Value(&node->items.back(), depth + 1)) return false;
    }
  }

  std::span<const uint8_t> bytes_;
  int maxDepth_;
  size_t pos_ = 0;
  std::string error_;
};

bool SameKind(Kind a, Kind b, bool loose) {
  if (a == b) return true;
  auto container = [](Kind k) {
    return k == Kind::kObject || k == Kind::kEcmaArray || k == Kind::kStrictArray;
  };
  return loose && container(a) && container(b);
}

bool Compare(const Node& a, const Node& b, bool loose) {
  if (!SameKind(a.kind, b.kind, loose) || a.name != b.name || a.items.size() != b.items.size())
    return false;
  if (a.kind == Kind::kString || a.kind == Kind::kRaw) {
    if (a.text != b.text) return false;
  }
  if (a.kind == Kind::kNumber || a.kind == Kind::kBoolean || a.kind == Kind::kDate) {
    if (std::memcmp(&a.number, &b.number, sizeof a.number) != 0 && a.number != b.number) return false;
  }
  for (size_t i = 0; i < a.items.size(); ++i)
    if (!Compare(a.items[i], b.items[i], loose)) return false;
  return true;
}

void Write(std::ostream& out, const Node& node) {
  if (!node.name.empty()) out << node.name << ": ";
  switch (node.kind) {
    case Kind::kMissing: out << "<missing>"; break;
    case Kind::kNumber: out << node.number; break;
    case Kind::kBoolean: out << (node.number != 0 ? "true" : "false"); break;
    case Kind::kString: out << '"' << node.text << '"'; break;
    case Kind::kNull: out << "null"; break;
    case Kind::kUndefined: out << "undefined"; break;
    case Kind::kDate: out << "date(" << node.number << ")"; break;
    case Kind::kRaw: out << "raw(" << node.text.size() << " bytes)"; break;
    case Kind::kObject:
    case Kind::kEcmaArray:
    case Kind::kStrictArray: {
      const bool list = node.kind == Kind::kStrictArray;
      out << (list ? "[" : node.kind == Kind::kEcmaArray ? "ecma{" : "{");
      for (size_t i = 0; i < node.items.size(); ++i) {
        if (i) out << ", ";
        Write(out, node.items[i]);
      }
      out << (list ? "]" : "}");
      break;
    }
  }
}

}  // namespace

const Node& Node::Get(std::string_view member) const {
  for (const Node& item : items)
    if (item.name == member) return item;
  return kMissingNode;
}

const Node& Node::Item(size_t i) const { return i < items.size() ? items[i] : kMissingNode; }

Node Num(double value) {
  Node node;
  node.kind = Kind::kNumber;
  node.number = value;
  return node;
}

Node Bool(bool value) {
  Node node;
  node.kind = Kind::kBoolean;
  node.number = value ? 1 : 0;
  return node;
}

Node Str(std::string_view text) {
  Node node;
  node.kind = Kind::kString;
  node.text = std::string(text);
  return node;
}

Node Null() {
  Node node;
  node.kind = Kind::kNull;
  return node;
}

Node Undefined() {
  Node node;
  node.kind = Kind::kUndefined;
  return node;
}

Node Obj(std::initializer_list<Field> members) { return Container(Kind::kObject, members); }

Node Obj(const std::vector<Field>& members) {
  Node node;
  node.kind = Kind::kObject;
  for (const Field& field : members) {
    node.items.push_back(field.value);
    node.items.back().name = field.name;
  }
  return node;
}

Node Ecma(std::initializer_list<Field> members) { return Container(Kind::kEcmaArray, members); }

Node Arr(std::initializer_list<Node> values) {
  Node node;
  node.kind = Kind::kStrictArray;
  node.items.assign(values.begin(), values.end());
  for (Node& item : node.items) item.name.clear();
  return node;
}

Node Raw(std::initializer_list<uint8_t> bytes) {
  Node node;
  node.kind = Kind::kRaw;
  node.text.assign(bytes.begin(), bytes.end());
  return node;
}

Node Raw(std::string_view bytes) {
  Node node;
  node.kind = Kind::kRaw;
  node.text = std::string(bytes);
  return node;
}

void Append(std::vector<uint8_t>* out, const Node& value) {
  switch (value.kind) {
    case Kind::kMissing:
      break;
    case Kind::kNumber:
      out->push_back(0x00);
      PutBigEndian(out, std::bit_cast<uint64_t>(value.number), 8);
      break;
    case Kind::kBoolean:
      out->push_back(0x01);
      out->push_back(value.number != 0 ? 1 : 0);
      break;
    case Kind::kString:
      if (value.text.size() < 65536) {
        out->push_back(0x02);
        PutBigEndian(out, value.text.size(), 2);
      } else {
        out->push_back(0x0C);
        PutBigEndian(out, value.text.size(), 4);
      }
      out->insert(out->end(), value.text.begin(), value.text.end());
      break;
    case Kind::kNull:
      out->push_back(0x05);
      break;
    case Kind::kUndefined:
      out->push_back(0x06);
      break;
    case Kind::kDate:
      out->push_back(0x0B);
      PutBigEndian(out, std::bit_cast<uint64_t>(value.number), 8);
      PutBigEndian(out, 0, 2);
      break;
    case Kind::kObject:
    case Kind::kEcmaArray:
      if (value.kind == Kind::kObject) {
        out->push_back(0x03);
      } else {
        out->push_back(0x08);
        PutBigEndian(out, value.items.size(), 4);
      }
      for (const Node& member : value.items) {
        PutName(out, member.name);
        Append(out, member);
      }
      PutEnd(out);
      break;
    case Kind::kStrictArray:
      out->push_back(0x0A);
      PutBigEndian(out, value.items.size(), 4);
      for (const Node& item : value.items) Append(out, item);
      break;
    case Kind::kRaw:
      out->insert(out->end(), value.text.begin(), value.text.end());
      break;
  }
}

std::vector<uint8_t> Body(std::initializer_list<Node> values) {
  std::vector<uint8_t> out;
  for (const Node& value : values) Append(&out, value);
  return out;
}

std::vector<uint8_t> Body(const std::vector<Node>& values) {
  std::vector<uint8_t> out;
  for (const Node& value : values) Append(&out, value);
  return out;
}

bool Read(std::span<const uint8_t> body, std::vector<Node>* values, std::string* error, int maxDepth) {
  values->clear();
  Reader reader(body, maxDepth);
  while (reader.Left() > 0) {
    values->emplace_back();
    if (!reader.Value(&values->back(), 0)) {
      if (error) *error = reader.Error();
      return false;
    }
  }
  return true;
}

bool Equivalent(const Node& a, const Node& b) { return Compare(a, b, true); }

bool Equivalent(const std::vector<Node>& a, const std::vector<Node>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (!Equivalent(a[i], b[i])) return false;
  return true;
}

bool operator==(const Node& a, const Node& b) { return Compare(a, b, false); }

std::string ToString(const Node& value) {
  std::ostringstream out;
  Write(out, value);
  return out.str();
}

std::string ToString(const std::vector<Node>& values) {
  std::ostringstream out;
  out << "(";
  for (size_t i = 0; i < values.size(); ++i) {
    if (i) out << ", ";
    Write(out, values[i]);
  }
  out << ")";
  return out.str();
}

std::vector<std::string> Names(const Node& object) {
  std::vector<std::string> names;
  for (const Node& item : object.items) names.push_back(item.name);
  return names;
}

void PrintTo(const Node& value, std::ostream* out) { *out << ToString(value); }

}  // namespace amf
