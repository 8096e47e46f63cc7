// The AMF decoder over a command body. The first byte picks the entry point
// (as the connection driver, the AMF3 paths and a single property reach it);
// every decoded tree is walked through the lookups, and must never claim
// more bytes than it was given nor hold more values than the bound, and no
// byte may be scanned twice for an end marker.
#include <span>

#include "FuzzCommon.h"
#include "rtmp/Amf.h"

namespace {

uint32_t Walk(const AmfObject* object, int depth) {
  FUZZ_CHECK(depth <= kAmfMaxDepth + 1);
  FUZZ_CHECK(object->count == object->props.size());
  uint32_t values = object->count;
  for (uint32_t i = 0; i < object->count; ++i) {
    const AmfProperty* property = AmfObjectGet(object, {}, static_cast<int>(i));
    FUZZ_CHECK(property == &object->props[i]);
    char text[8];
    FUZZ_CHECK(AmfPropCopyText(property, text) < sizeof text);
    (void)AmfPropNumber(property);
    if (property->name.length) FUZZ_CHECK(AmfObjectGet(object, AmfTextView(property->name), -1) != AmfInvalidProperty());
    if (property->type == AMF_OBJECT) values += Walk(AmfPropObject(property), depth + 1);
  }
  FUZZ_CHECK(AmfObjectGet(object, {}, static_cast<int>(object->count)) == AmfInvalidProperty());
  return values;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t mode = data[0] % 7;
  std::span<const uint8_t> body(data + 1, size - 1);
  AmfObject object;
  AmfProperty property;
  const uint64_t scannedBefore = AmfSkipScanBytes();
  int n = -1;
  switch (mode) {
    case 0: n = AmfDecodeObject(&object, body, false); break;  // a command body
    case 1: n = AmfDecodeObject(&object, body, true); break;
    case 2: n = AMF3_Decode(&object, body, true); break;
    case 3: n = AMF3_Decode(&object, body, false); break;
    case 4: n = AMFProp_Decode(&property, body, false); break;
    case 5: n = AMF3Prop_Decode(&property, body, true); break;
    case 6: n = AMFProp_Decode(&property, body, true); break;
  }
  FUZZ_CHECK(n >= -1 && n <= static_cast<int>(body.size()));
  // However deep a failure, the search for end markers steps over each byte
  // at most once: refusing a body costs time linear in its size.
  FUZZ_CHECK(AmfSkipScanBytes() - scannedBefore <= body.size());
  if (mode >= 4) {
    object.props.push_back(std::move(property));
    object.count = 1;
  }
  FUZZ_CHECK(Walk(&object, 0) <= kAmfMaxValues);
  AmfObjectFree(&object);
  FUZZ_CHECK(object.count == 0);
  return 0;
}
