#include "support/AmfHelpers.h"

#include <string>

#include "rtmp/Amf.h"

namespace amf {

namespace {

Node FromProperty(const AmfProperty& property) {
  Node node;
  node.name = std::string(AmfTextView(property.name));
  node.number = property.value.number;
  switch (property.type) {
    case AMF_NUMBER: node.kind = Kind::kNumber; break;
    case AMF_BOOLEAN: node.kind = Kind::kBoolean; break;
    case AMF_STRING:
      node.kind = Kind::kString;
      node.text = std::string(AmfTextView(property.value.string));
      break;
    case AMF_NULL: node.kind = Kind::kNull; break;
    case AMF_DATE: node.kind = Kind::kDate; break;
    case AMF_OBJECT:
      node.kind = Kind::kObject;
      for (const AmfProperty& member : property.value.object.props) node.items.push_back(FromProperty(member));
      break;
    default: node.kind = Kind::kMissing; break;
  }
  return node;
}

}  // namespace

bool DecodeWithProject(std::span<const uint8_t> body, std::vector<Node>* values) {
  values->clear();
  AmfObject object;
  int n = AmfDecodeObject(&object, body, false);
  if (n < 0) return false;
  for (const AmfProperty& property : object.props) values->push_back(FromProperty(property));
  return true;
}

}  // namespace amf
