#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "rtmp/Amf.h"
#include "support/AmfHelpers.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes B(std::initializer_list<int> values) {
  Bytes out;
  for (int v : values) out.push_back(static_cast<uint8_t>(v));
  return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Text(std::string_view s) { return Bytes(s.begin(), s.end()); }

std::string View(AmfText t) { return std::string(AmfTextView(t)); }

// A heap copy of exactly `length` bytes, so that ASan sees any read past it.
struct Exact {
  explicit Exact(const Bytes& bytes, size_t length) : data(new uint8_t[length ? length : 1]), size(length) {
    if (length) std::memcpy(data.get(), bytes.data(), length);
  }
  std::span<const uint8_t> span() const { return {data.get(), size}; }
  std::unique_ptr<uint8_t[]> data;
  size_t size;
};

// 02 00 07 "connect" 00 3FF0.. 03 {app: "default", flashVer: "LNX 9,0", objectEncoding: 3} 00 00 09
Bytes ConnectBody() {
  return Cat({B({0x02, 0x00, 0x07}), Text("connect"), B({0x00, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0}), B({0x03}),
              B({0x00, 0x03}), Text("app"), B({0x02, 0x00, 0x07}), Text("default"),
              B({0x00, 0x08}), Text("flashVer"), B({0x02, 0x00, 0x07}), Text("LNX 9,0"),
              B({0x00, 0x0E}), Text("objectEncoding"), B({0x00, 0x40, 0x08, 0, 0, 0, 0, 0, 0}),
              B({0x00, 0x00, 0x09})});
}

TEST(AmfDecode, ConnectBodyGivesThreeValues) {
  Bytes body = ConnectBody();
  AmfObject obj;
  ASSERT_EQ(AmfDecodeObject(&obj, body, false), static_cast<int>(body.size()));
  ASSERT_EQ(obj.count, 3u);
  EXPECT_EQ(obj.props[0].type, AMF_STRING);
  EXPECT_EQ(View(AmfPropString(AmfObjectGet(&obj, {}, 0))), "connect");
  EXPECT_EQ(AmfPropNumber(AmfObjectGet(&obj, {}, 1)), 1.0);
  const AmfProperty* command = AmfObjectGet(&obj, {}, 2);
  ASSERT_EQ(command->type, AMF_OBJECT);

  const AmfObject* params = AmfPropObject(command);
  EXPECT_EQ(params->count, 3u);
  EXPECT_EQ(View(AmfPropString(AmfObjectGet(params, "app", -1))), "default");
  EXPECT_EQ(AmfPropNumber(AmfObjectGet(params, "objectEncoding", -1)), 3.0);
  // Lookups by name are exact: a prefix or a longer name does not match.
  EXPECT_EQ(AmfObjectGet(params, "ap", -1)->type, AMF_INVALID);
  EXPECT_EQ(AmfObjectGet(params, "appx", -1)->type, AMF_INVALID);

  // Texts refer into the body rather than copying it.
  const uint8_t* first = body.data() + 3;
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(obj.props[0].value.string.data), first);

  // Index == count is the invalid property: number 0, empty string, empty object.
  const AmfProperty* past = AmfObjectGet(&obj, {}, 3);
  EXPECT_EQ(past, AmfInvalidProperty());
  EXPECT_EQ(past->type, AMF_INVALID);
  EXPECT_EQ(AmfPropNumber(past), 0.0);
  EXPECT_FALSE(AmfPropIsTrue(past));
  EXPECT_EQ(AmfPropString(past).length, 0u);
  EXPECT_EQ(AmfPropObject(past)->count, 0u);
  EXPECT_EQ(AmfObjectGet(&obj, {}, 2)->type, AMF_OBJECT);

  // A non-string property has no text; the string of a number is empty.
  EXPECT_EQ(AmfPropString(AmfObjectGet(&obj, {}, 1)).length, 0u);

  AmfObjectFree(&obj);
  EXPECT_EQ(obj.count, 0u);
  EXPECT_TRUE(obj.props.empty());
  EXPECT_EQ(AmfObjectGet(&obj, {}, 0), AmfInvalidProperty());
}

TEST(AmfDecode, CopyTextCutsToBuffer) {
  Bytes body = ConnectBody();
  AmfObject obj;
  ASSERT_GT(AmfDecodeObject(&obj, body, false), 0);
  const AmfProperty* name = AmfObjectGet(&obj, {}, 0);

  char exact[8];
  EXPECT_EQ(AmfPropCopyText(name, exact), 7u);
  EXPECT_STREQ(exact, "connect");

  char shorter[7];
  std::memset(shorter, 'x', sizeof shorter);
  EXPECT_EQ(AmfPropCopyText(name, shorter), 6u);
  EXPECT_STREQ(shorter, "connec");

  char one[1] = {'x'};
  EXPECT_EQ(AmfPropCopyText(name, one), 0u);
  EXPECT_EQ(one[0], '\0');

  char number[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(AmfPropCopyText(AmfObjectGet(&obj, {}, 1), number), 0u);
  EXPECT_EQ(number[0], '\0');
}

TEST(AmfDecode, StrictArray) {
  Bytes body = B({0x0A, 0, 0, 0, 2, 0x00, 0x40, 0, 0, 0, 0, 0, 0, 0, 0x05});
  AmfObject obj;
  ASSERT_EQ(AmfDecodeObject(&obj, body, false), 15);
  ASSERT_EQ(obj.count, 1u);
  EXPECT_EQ(obj.props[0].type, AMF_OBJECT);
  const AmfObject* arr = AmfPropObject(&obj.props[0]);
  ASSERT_EQ(arr->count, 2u);
  EXPECT_EQ(arr->props[0].type, AMF_NUMBER);
  EXPECT_EQ(arr->props[0].value.number, 2.0);
  EXPECT_EQ(arr->props[0].name.length, 0u);
  EXPECT_EQ(arr->props[1].type, AMF_NULL);

  // One value short of the count fails.
  Bytes shortBody(body.begin(), body.end() - 1);
  EXPECT_EQ(AmfDecodeObject(&obj, shortBody, false), -1);
}

TEST(AmfDecode, HugeStrictArrayCountFailsFast) {
  // 2^31 values announced, 5 bytes of values present.
  Bytes body = B({0x0A, 0x80, 0, 0, 0, 0x05, 0x05, 0x05, 0x05, 0x05});
  AmfObject obj;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(AmfDecodeObject(&obj, body, false), -1);
  AmfProperty prop;
  EXPECT_EQ(AMFProp_Decode(&prop, body, false), -1);
  EXPECT_EQ(AmfDecodeArray(&obj, std::span(body).subspan(5), 0xFFFFFFFFu), -1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));

  // The count is exactly what is there.
  EXPECT_EQ(AmfDecodeArray(&obj, std::span(body).subspan(5), 5), 5);
  EXPECT_EQ(obj.count, 5u);
  EXPECT_EQ(AmfDecodeArray(&obj, std::span(body).subspan(5), 6), -1);
}

TEST(AmfDecode, UnknownMarkerSkipsToEndMarker) {
  // "x", {a: 1, b: <0x20 and junk>}, 5: the object keeps `a` and the junk is
  // skipped up to the object's end marker, so the value after it is read.
  Bytes body = Cat({B({0x02, 0x00, 0x01, 'x', 0x03, 0x00, 0x01, 'a', 0x00, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0}),
                    B({0x00, 0x01, 'b', 0x20, 0x11, 0x22, 0x00, 0x00, 0x33}), B({0x00, 0x00, 0x09}),
                    B({0x00, 0x40, 0x14, 0, 0, 0, 0, 0, 0})});
  AmfObject obj;
  testing::internal::CaptureStderr();
  int n = AmfDecodeObject(&obj, body, false);
  std::string err = testing::internal::GetCapturedStderr();
  ASSERT_EQ(n, static_cast<int>(body.size()));
  ASSERT_EQ(obj.count, 3u);
  const AmfObject* inner = AmfPropObject(&obj.props[1]);
  ASSERT_EQ(inner->count, 1u);
  EXPECT_EQ(View(inner->props[0].name), "a");
  EXPECT_EQ(AmfPropNumber(&obj.props[2]), 5.0);
  EXPECT_NE(err.find("ERROR: DECODING ERROR, IGNORING BYTES UNTIL NEXT KNOWN PATTERN!"), std::string::npos);

  // At the top level: the values before are kept and the end marker ends it.
  Bytes top = B({0x05, 0x20, 0x01, 0x02, 0x00, 0x00, 0x09, 0x05});
  testing::internal::CaptureStderr();
  n = AmfDecodeObject(&obj, top, false);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(n, 7);
  EXPECT_EQ(obj.count, 1u);

  // No end marker after the bad value: the decode fails.
  Bytes noEnd = B({0x05, 0x20, 0x01, 0x02, 0x00, 0x09});
  testing::internal::CaptureStderr();
  EXPECT_EQ(AmfDecodeObject(&obj, noEnd, false), -1);
  testing::internal::GetCapturedStderr();

  // Without any failure, running out of bytes without an end marker is fine.
  Bytes open = B({0x05, 0x05});
  EXPECT_EQ(AmfDecodeObject(&obj, open, false), 2);
  EXPECT_EQ(AmfDecodeObject(&obj, std::span<const uint8_t>(), false), 0);
  EXPECT_EQ(obj.count, 0u);
}

TEST(AmfDecode, ErrorLinesOfReservedMarkers) {
  struct Case {
    int marker;
    const char* line;
  } cases[] = {{0x04, "ERROR: AMF_MOVIECLIP reserved!"},
               {0x07, "ERROR: AMF_REFERENCE not supported!"},
               {0x0E, "ERROR: AMF_RECORDSET reserved!"},
               {0x0F, "ERROR: AMF_XML_DOC not supported!"},
               {0x10, "ERROR: AMF_TYPED_OBJECT not supported!"}};
  for (const Case& c : cases) {
    Bytes bytes = B({c.marker, 0, 0, 0, 0});
    AmfProperty prop;
    testing::internal::CaptureStderr();
    EXPECT_EQ(AMFProp_Decode(&prop, bytes, false), -1) << c.marker;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), std::string(c.line) + "\n");
  }
  // Debug lines are not shown at the level in force.
  AmfProperty prop;
  Bytes unknown = B({0x12});
  testing::internal::CaptureStderr();
  EXPECT_EQ(AMFProp_Decode(&prop, unknown, false), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// Each decoder branch, reached by exactly the bytes that reach it.
TEST(AmfDecode, PropertyBranches) {
  struct Case {
    const char* what;
    Bytes bytes;
    bool named;
    int result;
    uint32_t type;
  } cases[] = {
      {"empty", {}, false, -1, AMF_INVALID},
      {"named, 3 bytes", B({0x00, 0x01, 'a'}), true, -1, AMF_INVALID},
      {"name size len-1", B({0x00, 0x03, 'a', 0x05}), true, -1, AMF_INVALID},
      {"name size len-2, no marker", B({0x00, 0x02, 'a', 'b'}), true, -1, AMF_INVALID},
      {"name and marker", B({0x00, 0x01, 'a', 0x05}), true, 4, AMF_NULL},
      {"number, 7 bytes", B({0x00, 1, 2, 3, 4, 5, 6, 7}), false, -1, AMF_INVALID},
      {"number, 8 bytes", B({0x00, 0x40, 0, 0, 0, 0, 0, 0, 0}), false, 9, AMF_NUMBER},
      {"boolean, no byte", B({0x01}), false, -1, AMF_INVALID},
      {"boolean", B({0x01, 0x07}), false, 2, AMF_BOOLEAN},
      {"string length cut", B({0x02, 0x00}), false, -1, AMF_INVALID},
      {"string past end", B({0x02, 0x00, 0x04, 'a', 'b', 'c'}), false, -1, AMF_INVALID},
      {"string exact", B({0x02, 0x00, 0x03, 'a', 'b', 'c'}), false, 6, AMF_STRING},
      {"long string length cut", B({0x0C, 0, 0, 0}), false, -1, AMF_INVALID},
      {"long string past end", B({0x0C, 0, 0, 0, 2, 'a'}), false, -1, AMF_INVALID},
      {"long string top bit", B({0x0C, 0x80, 0, 0, 1, 'a'}), false, -1, AMF_INVALID},
      {"long string exact", B({0x0C, 0, 0, 0, 1, 'a'}), false, 6, AMF_STRING},
      {"object without end", B({0x03, 0x00, 0x01, 'a', 0x05}), false, 5, AMF_OBJECT},
      {"object with bad member", B({0x03, 0x00, 0x01, 'a', 0x09}), false, -1, AMF_INVALID},
      {"ECMA count cut", B({0x08, 0, 0, 0}), false, -1, AMF_INVALID},
      {"ECMA array", B({0x08, 0, 0, 0, 9, 0x00, 0x00, 0x09}), false, 8, AMF_OBJECT},
      {"strict count cut", B({0x0A, 0, 0, 0}), false, -1, AMF_INVALID},
      {"strict empty", B({0x0A, 0, 0, 0, 0}), false, 5, AMF_OBJECT},
      {"date, 9 bytes", B({0x0B, 0, 0, 0, 0, 0, 0, 0, 0, 0}), false, -1, AMF_INVALID},
      {"date", B({0x0B, 0x40, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xC4}), false, 11, AMF_DATE},
      {"null", B({0x05, 0xAA}), false, 1, AMF_NULL},
      {"undefined", B({0x06}), false, 1, AMF_NULL},
      {"unsupported", B({0x0D}), false, 1, AMF_NULL},
      {"object end as value", B({0x09}), false, -1, AMF_INVALID},
      {"marker 0x12", B({0x12}), false, -1, AMF_INVALID},
      {"marker 0xFF", B({0xFF}), false, -1, AMF_INVALID},
      {"AMF3 nothing after", B({0x11}), false, -1, AMF_INVALID},
  };
  testing::internal::CaptureStderr();
  for (const Case& c : cases) {
    AmfProperty prop;
    Exact exact(c.bytes, c.bytes.size());
    int n = AMFProp_Decode(&prop, exact.span(), c.named);
    EXPECT_EQ(n, c.result) << c.what;
    if (n >= 0) {
      EXPECT_EQ(prop.type, c.type) << c.what;
    }
  }
  testing::internal::GetCapturedStderr();

  AmfProperty prop;
  Bytes date = B({0x0B, 0x40, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xC4});
  ASSERT_EQ(AMFProp_Decode(&prop, date, false), 11);
  EXPECT_EQ(prop.value.number, 2.0);
  EXPECT_EQ(prop.utcOffset, -60);

  Bytes emptyLong = B({0x0C, 0, 0, 0, 0});
  ASSERT_EQ(AMFProp_Decode(&prop, emptyLong, false), 5);
  EXPECT_EQ(prop.value.string.data, nullptr);

  Bytes named = B({0x00, 0x03, 'k', 'e', 'y', 0x01, 0x01});
  ASSERT_EQ(AMFProp_Decode(&prop, named, true), 7);
  EXPECT_EQ(View(prop.name), "key");
  EXPECT_TRUE(AmfPropIsTrue(&prop));
  EXPECT_EQ(prop.value.number, 1.0);
}

TEST(AmfDecode, StringsAt16BitBoundary) {
  for (size_t length : {size_t{65535}, size_t{65536}}) {
    std::string text(length, 'q');
    Bytes buf(length + 5);
    uint8_t* end = buf.data() + buf.size();
    uint8_t* after = AmfEncodeString(buf.data(), end, AmfTextOf(text));
    ASSERT_NE(after, nullptr);
    if (length == 65535) {
      EXPECT_EQ(after - buf.data(), 65535 + 3);
      EXPECT_EQ(buf[0], 0x02);
      EXPECT_EQ(buf[1], 0xFF);
      EXPECT_EQ(buf[2], 0xFF);
    } else {
      EXPECT_EQ(after - buf.data(), 65536 + 5);
      EXPECT_EQ(buf[0], 0x0C);
      EXPECT_EQ(Bytes(buf.begin() + 1, buf.begin() + 5), B({0x00, 0x01, 0x00, 0x00}));
    }
    AmfProperty prop;
    Exact exact(buf, static_cast<size_t>(after - buf.data()));
    ASSERT_EQ(AMFProp_Decode(&prop, exact.span(), false), after - buf.data());
    EXPECT_EQ(prop.type, AMF_STRING);
    EXPECT_EQ(prop.value.string.length, length);
    // Through the independent reader as well.
    std::vector<amf::Node> values;
    ASSERT_TRUE(amf::Read(exact.span(), &values));
    EXPECT_EQ(values[0].text, text);
  }
}

// Objects (and arrays) nested `levels` deep around a null.
Bytes Nested(int levels, int marker) {
  Bytes out;
  for (int i = 0; i < levels; ++i) {
    if (marker == 0x03) out.insert(out.end(), {0x03, 0x00, 0x01, 'n'});
    if (marker == 0x0A) out.insert(out.end(), {0x0A, 0, 0, 0, 1});
    if (marker == 0x08) out.insert(out.end(), {0x08, 0, 0, 0, 1, 0x00, 0x01, 'n'});
  }
  out.push_back(0x05);
  for (int i = 0; i < levels; ++i)
    if (marker != 0x0A) out.insert(out.end(), {0x00, 0x00, 0x09});
  return out;
}

TEST(AmfDecode, NestingBound) {
  for (int marker : {0x03, 0x08, 0x0A}) {
    AmfObject obj;
    Bytes ok = Nested(kAmfMaxDepth, marker);
    EXPECT_EQ(AmfDecodeObject(&obj, ok, false), static_cast<int>(ok.size())) << marker;
    const AmfObject* level = &obj;
    for (int i = 0; i < kAmfMaxDepth; ++i) level = AmfPropObject(&level->props[0]);
    EXPECT_EQ(level->props[0].type, AMF_NULL);

    // One deeper is refused outright, though end markers follow that the
    // tolerant skip would otherwise resync on.
    Bytes deep = Nested(kAmfMaxDepth + 1, marker);
    testing::internal::CaptureStderr();
    EXPECT_EQ(AmfDecodeObject(&obj, deep, false), -1) << marker;
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.find("IGNORING BYTES"), std::string::npos);
  }

  // A deep input far past the bound fails without exhausting the stack.
  AmfObject obj;
  Bytes huge = Nested(200000, 0x0A);
  testing::internal::CaptureStderr();
  EXPECT_EQ(AmfDecodeObject(&obj, huge, false), -1);
  testing::internal::GetCapturedStderr();

  // AMF3 objects count as levels too: 0x11 then dynamic objects in a chain.
  auto amf3 = [](int levels) {
    Bytes out = B({0x11, 0x0A, 0x0B, 0x01});  // dynamic anonymous object
    for (int i = 1; i < levels; ++i) out.insert(out.end(), {0x03, 'n', 0x0A, 0x0B, 0x01});
    out.insert(out.end(), {0x03, 'n', 0x01});
    for (int i = 0; i < levels; ++i) out.push_back(0x01);
    return out;
  };
  Bytes ok = amf3(kAmfMaxDepth);
  EXPECT_EQ(AmfDecodeObject(&obj, ok, false), static_cast<int>(ok.size()));
  Bytes deep = amf3(kAmfMaxDepth + 1);
  testing::internal::CaptureStderr();
  EXPECT_EQ(AmfDecodeObject(&obj, deep, false), -1);
  testing::internal::GetCapturedStderr();
}

// A command body of one-byte values would cost 88 bytes of tree per body
// byte: a 16 MiB message came to 1.4 GB. One decode holds at most
// kAmfMaxValues values, counted over every level and over AMF3 as well.
TEST(AmfDecode, ValueCountBound) {
  auto nulls = [](size_t values) {
    Bytes out = B({0x02, 0x00, 0x01, 'x'});
    out.insert(out.end(), values - 1, 0x05);
    return out;
  };
  AmfObject obj;
  Bytes ok = nulls(kAmfMaxValues);
  ASSERT_EQ(AmfDecodeObject(&obj, ok, false), static_cast<int>(ok.size()));
  EXPECT_EQ(obj.count, kAmfMaxValues);
  Bytes over = nulls(kAmfMaxValues + 1);
  testing::internal::CaptureStderr();
  EXPECT_EQ(AmfDecodeObject(&obj, over, false), -1);
  std::string err = testing::internal::GetCapturedStderr();
  // Refused outright: no skipping ahead to an end marker.
  EXPECT_EQ(err.find("IGNORING BYTES"), std::string::npos);

  // Nested values count too, and an end marker after them does not rescue
  // the decode.
  Bytes nested = B({0x02, 0x00, 0x01, 'x', 0x0A, 0x00, 0x01, 0x00, 0x00});
  nested.insert(nested.end(), kAmfMaxValues, 0x05);
  nested.insert(nested.end(), {0x00, 0x00, 0x09});
  testing::internal::CaptureStderr();
  EXPECT_EQ(AmfDecodeObject(&obj, nested, false), -1);
  testing::internal::GetCapturedStderr();

  // AMF3: a dynamic object whose members are nulls.
  Bytes amf3 = B({0x02, 0x00, 0x01, 'x', 0x11, 0x0A, 0x0B, 0x01});
  for (uint32_t i = 0; i < kAmfMaxValues; ++i) amf3.insert(amf3.end(), {0x03, 'n', 0x01});
  amf3.push_back(0x01);
  testing::internal::CaptureStderr();
  EXPECT_EQ(AmfDecodeObject(&obj, amf3, false), -1);
  testing::internal::GetCapturedStderr();
}

// An AMF3 class announces its member count before any value is read; a count
// that no decode can fill must not size the table of member names (16 bytes
// per one-byte name).
TEST(Amf3, MemberCountBeyondTheValueBoundIsRefusedBeforeTheNamesAreRead) {
  const uint32_t members = 4u << 20;
  Bytes body = B({0x02, 0x00, 0x01, 'x', 0x11, 0x0A});
  // Inline sealed class: (members << 4) | 0b0011, as a 4-byte AMF3 integer.
  const uint32_t header = (members << 4) | 0x03;
  body.insert(body.end(), {static_cast<uint8_t>(0x80 | ((header >> 22) & 0x7F)),
                           static_cast<uint8_t>(0x80 | ((header >> 15) & 0x7F)),
                           static_cast<uint8_t>(0x80 | ((header >> 8) & 0x7F)), static_cast<uint8_t>(header)});
  body.push_back(0x01);                       // empty class name
  body.insert(body.end(), members, 0x01);     // empty member names
  struct rusage before, after;
  getrusage(RUSAGE_SELF, &before);
  AmfObject obj;
  testing::internal::CaptureStderr();
  EXPECT_EQ(AmfDecodeObject(&obj, body, false), -1);
  std::string err = testing::internal::GetCapturedStderr();
  getrusage(RUSAGE_SELF, &after);
  EXPECT_EQ(err.find("IGNORING BYTES"), std::string::npos);
  EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 32 * 1024) << "KiB";
}

// Small containers cost what they hold: 32767 one-null strict arrays (6 bytes
// each) once took 47 MiB of property arrays for a 196 KiB command.
TEST(AmfDecode, ManySmallContainersStaySmall) {
  Bytes body = B({0x02, 0x00, 0x01, 'x'});
  for (uint32_t i = 1; i < kAmfMaxValues / 2; ++i) body.insert(body.end(), {0x0A, 0, 0, 0, 1, 0x05});
  struct rusage before, after;
  getrusage(RUSAGE_SELF, &before);
  AmfObject obj;
  EXPECT_EQ(AmfDecodeObject(&obj, body, false), static_cast<int>(body.size()));
  getrusage(RUSAGE_SELF, &after);
  EXPECT_EQ(obj.count, kAmfMaxValues / 2);
  EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 16 * 1024) << "KiB";
}

// The skip after an undecodable value is reported once, not once per byte:
// a peer's 16 MiB of junk must not become 16 million log lines.
TEST(AmfDecode, SkippedBytesAreReportedOnce) {
  Bytes body = B({0x02, 0x00, 0x01, 'x', 0x03, 0x00, 0x01, 'b', 0x20});
  body.insert(body.end(), 5000, 0x77);
  body.insert(body.end(), {0x00, 0x00, 0x09, 0x05});
  AmfObject obj;
  testing::internal::CaptureStderr();
  EXPECT_EQ(AmfDecodeObject(&obj, body, false), static_cast<int>(body.size()));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(obj.count, 3u);
  size_t lines = 0;
  for (size_t at = err.find("IGNORING BYTES"); at != std::string::npos; at = err.find("IGNORING BYTES", at + 1))
    ++lines;
  EXPECT_EQ(lines, 1u);
}

// A value that fails deep inside nested objects makes every level skip ahead
// for an end marker. The levels share one end, so what one level searched is
// not searched again by another: 63 levels over 16 MiB cost one pass, as a
// shallow body of the same size does (the work counted, not timed). That
// holds too when a level resyncs on a marker and then fails after it, which
// sends every level above it searching the same stretch.
TEST(AmfDecode, DeepFailureIsRefusedInOnePass) {
  constexpr size_t kSize = 16 * 1024 * 1024;
  auto body = [&](int levels, bool resyncThenFail) {
    Bytes out = B({0x02, 0x00, 0x01, 'x'});
    for (int i = 0; i < levels; ++i) out.insert(out.end(), {0x03, 0x00, 0x01, 'a'});
    out.push_back(0x04);  // movieclip: fails at the innermost level
    out.resize(kSize - (resyncThenFail ? 7 : 0), 0x41);
    if (resyncThenFail) out.insert(out.end(), {0x00, 0x00, 0x09, 0x00, 0x01, 'b', 0x04});
    return out;
  };
  auto examined = [&](const Bytes& bytes, int expected) {
    AmfObject obj;
    const uint64_t before = AmfSkipScanBytes();
    testing::internal::CaptureStderr();
    EXPECT_EQ(AmfDecodeObject(&obj, bytes, false), expected);
    testing::internal::GetCapturedStderr();
    return AmfSkipScanBytes() - before;
  };
  const uint64_t shallow = examined(body(1, false), -1);
  EXPECT_GE(shallow, kSize - 64);
  EXPECT_LE(shallow, kSize);
  EXPECT_LE(examined(body(63, false), -1), kSize);
  // Every other level resyncs on the one marker (its object ends there) and
  // the level above it fails on what follows, so the one above that
  // searches again from its own start; the top level fails in the end.
  const uint64_t searched = examined(body(63, true), -1);
  EXPECT_GE(searched, kSize - 1024);
  EXPECT_LE(searched, kSize);
  EXPECT_LE(examined(body(2, true), static_cast<int>(kSize - 4)), kSize);

  // The shortcut only skips what was scanned: an end marker before the deeper
  // level's scan (here inside the outer property's name "\0\0\t") still
  // resyncs the outer object, which ends there.
  Bytes resync = Cat({B({0x03, 0x00, 0x03, 0x00, 0x00, 0x09, 0x03, 0x00, 0x01, 'b', 0x04}), Bytes(100, 0x41)});
  AmfProperty property;
  testing::internal::CaptureStderr();
  int n = AMFProp_Decode(&property, resync, false);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(n, 6);
  EXPECT_EQ(property.type, AMF_OBJECT);
  EXPECT_EQ(AmfPropObject(&property)->count, 0u);
}

TEST(Amf3, ReadInteger) {
  struct Case {
    Bytes bytes;
    int used;
    int32_t value;
  } cases[] = {
      {B({0x00}), 1, 0},
      {B({0x7F}), 1, 127},
      {B({0x81, 0x00}), 2, 128},
      {B({0xFF, 0xFF, 0x7F}), 3, 0x1FFFFF},
      {B({0xBF, 0xFF, 0xFF, 0xFF}), 4, 0x0FFFFFFF},
      {B({0xC0, 0x80, 0x80, 0x00}), 4, -0x10000000},
      {B({0xFF, 0xFF, 0xFF, 0xFF}), 4, -1},
      {B({0x80}), -1, 0},
      {B({0xFF, 0xFF, 0xFF}), -1, 0},
      {Bytes{}, -1, 0},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    int32_t value = 0;
    Exact exact(c.bytes, c.bytes.size());
    EXPECT_EQ(Amf3ReadInteger(exact.span(), &value), c.used) << "case " << i;
    if (c.used > 0) {
      EXPECT_EQ(value, c.value) << "case " << i;
    }
  }
}

TEST(Amf3, ReadString) {
  AmfText text;
  Bytes inlineText = B({0x07, 'a', 'b', 'c', 'z'});
  EXPECT_EQ(AMF3ReadString(inlineText, &text), 4);
  EXPECT_EQ(View(text), "abc");
  Bytes past = B({0x09, 'a', 'b', 'c'});
  EXPECT_EQ(AMF3ReadString(past, &text), -1);
  Bytes reference = B({0x04, 'a'});  // reference 2: consumed, text left empty
  EXPECT_EQ(AMF3ReadString(reference, &text), 1);
  EXPECT_EQ(text.length, 0u);
  Bytes empty = B({0x01});
  EXPECT_EQ(AMF3ReadString(empty, &text), 1);
  EXPECT_EQ(text.data, nullptr);
}

// AMF0 marker 0x11, then an AMF3 object with an inline class "Pt" of two
// sealed members x and y, dynamic, with one dynamic member z.
Bytes Amf3Point() {
  return B({0x11, 0x0A, 0x2B, 0x05, 'P', 't', 0x03, 'x', 0x03, 'y',
            0x04, 0xFF, 0xFF, 0xFF, 0xFF,         // x = -1
            0x06, 0x07, 'a', 'b', 'c',            // y = "abc"
            0x03, 'z', 0x05, 0x40, 0x04, 0, 0, 0, 0, 0, 0,  // z = 2.5
            0x01});                               // end of dynamic members
}

TEST(Amf3, InlineClassWithSealedAndDynamicMembers) {
  Bytes body = Amf3Point();
  AmfObject obj;
  ASSERT_EQ(AmfDecodeObject(&obj, body, false), static_cast<int>(body.size()));
  ASSERT_EQ(obj.count, 1u);
  ASSERT_EQ(obj.props[0].type, AMF_OBJECT);
  const AmfObject* point = AmfPropObject(&obj.props[0]);
  ASSERT_EQ(point->count, 3u);
  EXPECT_EQ(AmfPropNumber(AmfObjectGet(point, "x", -1)), -1.0);
  EXPECT_EQ(View(AmfPropString(AmfObjectGet(point, "y", -1))), "abc");
  EXPECT_EQ(AmfPropNumber(AmfObjectGet(point, "z", -1)), 2.5);

  // Value kinds of AMF3, as sealed members of an anonymous class.
  Bytes kinds = B({0x0A, 0x73, 0x01, 0x03, 'a', 0x03, 'b', 0x03, 'c', 0x03, 'd', 0x03, 'e', 0x03, 'f', 0x03, 'g',
                   0x00, 0x01, 0x02, 0x03,                           // undefined, null, false, true
                   0x08, 0x01, 0x40, 0, 0, 0, 0, 0, 0, 0,            // inline date 2.0
                   0x08, 0x02,                                       // date reference
                   0x0B, 0x03, 'x'});                                // XML "x"
  ASSERT_EQ(AMF3_Decode(&obj, kinds, true), static_cast<int>(kinds.size()));
  ASSERT_EQ(obj.count, 7u);
  EXPECT_EQ(obj.props[0].type, AMF_NULL);
  EXPECT_EQ(obj.props[1].type, AMF_NULL);
  EXPECT_EQ(obj.props[2].type, AMF_BOOLEAN);
  EXPECT_FALSE(AmfPropIsTrue(&obj.props[2]));
  EXPECT_TRUE(AmfPropIsTrue(&obj.props[3]));
  EXPECT_EQ(obj.props[4].type, AMF_DATE);
  EXPECT_EQ(obj.props[4].value.number, 2.0);
  EXPECT_EQ(obj.props[5].type, AMF_DATE);
  EXPECT_EQ(View(obj.props[6].value.string), "x");
  EXPECT_EQ(View(obj.props[6].name), "g");
}

TEST(Amf3, ReferencesExternalizableAndFailures) {
  AmfObject obj;
  // Object reference: nothing but the header is read.
  Bytes reference = B({0x0A, 0x02, 0xEE});
  EXPECT_EQ(AMF3_Decode(&obj, reference, true), 2);
  EXPECT_EQ(obj.count, 0u);

  // Class reference: no members, not dynamic.
  Bytes classRef = B({0x05});
  EXPECT_EQ(AMF3_Decode(&obj, classRef, false), 1);

  // Externalizable: one value under DEFAULT_ATTRIBUTE.
  Bytes ext = B({0x07, 0x03, 'E', 0x04, 0x07});
  ASSERT_EQ(AMF3_Decode(&obj, ext, false), 5);
  ASSERT_EQ(obj.count, 1u);
  EXPECT_EQ(View(obj.props[0].name), "DEFAULT_ATTRIBUTE");
  EXPECT_EQ(AmfPropNumber(&obj.props[0]), 7.0);

  // Not starting with the object marker is logged and read anyway.
  Bytes wrongMarker = B({0x06, 0x05});
  testing::internal::CaptureStderr();
  EXPECT_EQ(AMF3_Decode(&obj, wrongMarker, true), 2);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("does not start with AMF3_OBJECT"), std::string::npos);

  // An undecodable member value (AMF3 array) fails the whole object.
  Bytes badMember = B({0x13, 0x01, 0x03, 'a', 0x09, 0x01});
  EXPECT_EQ(AMF3_Decode(&obj, badMember, false), -1);
  // A dynamic section that never ends fails.
  Bytes openDynamic = B({0x0B, 0x01, 0x03, 'a', 0x01});
  EXPECT_EQ(AMF3_Decode(&obj, openDynamic, false), -1);
  // A member count larger than the bytes left is refused before anything is sized.
  Bytes manyMembers = B({0xBF, 0xFF, 0xFF, 0xF3, 0x01, 0x03, 'a'});
  EXPECT_EQ(AMF3_Decode(&obj, manyMembers, false), -1);
  // Truncated header and double.
  Bytes header = B({0x80});
  EXPECT_EQ(AMF3_Decode(&obj, header, false), -1);
  AmfProperty prop;
  Bytes dbl = B({0x05, 0x40, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(AMF3Prop_Decode(&prop, dbl, false), -1);
  EXPECT_EQ(AMF3Prop_Decode(&prop, std::span<const uint8_t>(), false), -1);
  // A named property with an empty name consumes just the name.
  Bytes emptyName = B({0x01, 0x05});
  EXPECT_EQ(AMF3Prop_Decode(&prop, emptyName, true), 1);
  Bytes unknown = B({0x0C});
  EXPECT_EQ(AMF3Prop_Decode(&prop, unknown, false), -1);
}

// Every prefix of a valid body, and every single-byte corruption of it,
// decodes or fails without reading outside the bytes (checked under ASan).
TEST(AmfDecode, TruncatedAndCorruptedBodiesStayInBounds) {
  Bytes body = Cat({ConnectBody(),
                    amf::Body({amf::Ecma({{"k", amf::Num(1)}, {"s", amf::Str("v")}}),
                               amf::Arr({amf::Num(2), amf::Null(), amf::Obj({{"q", amf::Bool(true)}})}),
                               amf::Raw({0x0B, 0x40, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
                               amf::Raw({0x0C, 0, 0, 0, 2, 'h', 'i'})}),
                    Amf3Point()});
  testing::internal::CaptureStderr();
  for (size_t length = 0; length <= body.size(); ++length) {
    Exact exact(body, length);
    AmfObject obj;
    int n = AmfDecodeObject(&obj, exact.span(), false);
    EXPECT_LE(n, static_cast<int>(length));
    AmfProperty prop;
    EXPECT_LE(AMFProp_Decode(&prop, exact.span(), true), static_cast<int>(length));
    EXPECT_LE(AMF3_Decode(&obj, exact.span(), true), static_cast<int>(length));
  }
  for (size_t i = 0; i < body.size(); ++i) {
    for (uint8_t v : {0x00, 0x09, 0x7F, 0x80, 0xFF}) {
      Bytes copy = body;
      copy[i] = v;
      Exact exact(copy, copy.size());
      AmfObject obj;
      EXPECT_LE(AmfDecodeObject(&obj, exact.span(), false), static_cast<int>(copy.size()));
    }
  }
  testing::internal::GetCapturedStderr();
}

TEST(AmfEncode, RefusesPastTheEnd) {
  struct Case {
    const char* what;
    size_t size;
    std::function<uint8_t*(uint8_t*, uint8_t*)> encode;
  };
  std::string long_text(70000, 'L');
  Case cases[] = {
      {"int16", 2, [](uint8_t* o, uint8_t* e) { return AmfEncodeInt16(o, e, 0x1234); }},
      {"int24", 3, [](uint8_t* o, uint8_t* e) { return AmfEncodeInt24(o, e, 0x123456); }},
      {"int32", 4, [](uint8_t* o, uint8_t* e) { return AmfEncodeInt32(o, e, 0x12345678); }},
      {"number", 9, [](uint8_t* o, uint8_t* e) { return AmfEncodeNumber(o, e, 1.0); }},
      {"boolean", 2, [](uint8_t* o, uint8_t* e) { return AmfEncodeBoolean(o, e, true); }},
      {"string", 6, [](uint8_t* o, uint8_t* e) { return AmfEncodeString(o, e, AmfTextOf("abc")); }},
      {"long string", 70005,
       [&](uint8_t* o, uint8_t* e) { return AmfEncodeString(o, e, AmfTextOf(long_text)); }},
      {"text", 6, [](uint8_t* o, uint8_t* e) { return AmfEncodeText(o, e, "abc"); }},
      {"name", 5, [](uint8_t* o, uint8_t* e) { return AmfEncodeName(o, e, "abc"); }},
      {"named string", 10, [](uint8_t* o, uint8_t* e) { return AmfEncodeNamedString(o, e, "ab", "cde"); }},
      {"named null string", 7, [](uint8_t* o, uint8_t* e) { return AmfEncodeNamedString(o, e, "ab", nullptr); }},
      {"named number", 13, [](uint8_t* o, uint8_t* e) { return AmfEncodeNamedNumber(o, e, "ab", 2.0); }},
      {"named boolean", 6, [](uint8_t* o, uint8_t* e) { return AmfEncodeNamedBoolean(o, e, "ab", false); }},
  };
  for (const Case& c : cases) {
    for (size_t room : {c.size - 1, c.size, c.size + 1}) {
      // The guard byte after `room` must stay untouched.
      Bytes buf(room + 1, 0xA5);
      uint8_t* after = c.encode(buf.data(), buf.data() + room);
      if (room < c.size) {
        EXPECT_EQ(after, nullptr) << c.what << " room " << room;
      } else {
        EXPECT_EQ(after, buf.data() + c.size) << c.what << " room " << room;
      }
      EXPECT_EQ(buf[room], 0xA5) << c.what;
    }
    // A failed step earlier in a chain passes null along.
    Bytes buf(c.size);
    EXPECT_EQ(c.encode(nullptr, buf.data() + buf.size()), nullptr) << c.what;
  }

  // Names beyond 16 bits of length cannot be written.
  std::string longName(65536, 'n');
  Bytes buf(70000);
  EXPECT_EQ(AmfEncodeName(buf.data(), buf.data() + buf.size(), longName.c_str()), nullptr);
  longName.pop_back();
  EXPECT_EQ(AmfEncodeName(buf.data(), buf.data() + buf.size(), longName.c_str()), buf.data() + 65537);
}

TEST(AmfEncode, BytesAsWritten) {
  Bytes buf(64, 0);
  uint8_t* end = buf.data() + buf.size();
  uint8_t* p = AmfEncodeInt16(buf.data(), end, 0xABCD);
  p = AmfEncodeInt24(p, end, 0x123456);
  p = AmfEncodeInt32(p, end, 0x89ABCDEF);
  p = AmfEncodeNumber(p, end, 1.0);
  p = AmfEncodeBoolean(p, end, 7);
  p = AmfEncodeNamedString(p, end, "k", nullptr);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(Bytes(buf.data(), p),
            B({0xAB, 0xCD, 0x12, 0x34, 0x56, 0x89, 0xAB, 0xCD, 0xEF, 0x00, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0, 0x01,
               0x01, 0x00, 0x01, 'k', 0x02, 0x00, 0x00}));
}

// A connect answer as the reply builders lay it out, read back both by the
// project's decoder and by the independent reader of the test helpers.
TEST(AmfHelpers, ReplyReadsTheSameBothWays) {
  Bytes buf(512);
  uint8_t* end = buf.data() + buf.size();
  uint8_t* p = AmfEncodeText(buf.data(), end, "_result");
  p = AmfEncodeNumber(p, end, 1);
  *p++ = AMF_OBJECT;
  p = AmfEncodeNamedString(p, end, "fmsVer", "FMS/4,5,4,2012");
  p = AmfEncodeNamedNumber(p, end, "capabilities", 31);
  p = AmfEncodeInt24(p, end, AMF_OBJECT_END);
  *p++ = AMF_OBJECT;
  p = AmfEncodeNamedString(p, end, "code", "NetConnection.Connect.Success");
  p = AmfEncodeName(p, end, "data");
  *p++ = AMF_ECMA_ARRAY;
  p = AmfEncodeInt32(p, end, 1);
  p = AmfEncodeNamedString(p, end, "version", "4,5,4,2012");
  p = AmfEncodeInt24(p, end, AMF_OBJECT_END);
  p = AmfEncodeNamedBoolean(p, end, "ok", true);
  p = AmfEncodeInt24(p, end, AMF_OBJECT_END);
  *p++ = AMF_NULL;
  ASSERT_NE(p, nullptr);
  std::span<const uint8_t> body(buf.data(), p);

  std::vector<amf::Node> read, decoded;
  std::string error;
  ASSERT_TRUE(amf::Read(body, &read, &error)) << error;
  ASSERT_TRUE(amf::DecodeWithProject(body, &decoded));
  EXPECT_TRUE(amf::Equivalent(read, decoded)) << amf::ToString(read) << " vs " << amf::ToString(decoded);
  ASSERT_EQ(read.size(), 5u);
  EXPECT_EQ(read[4].kind, amf::Kind::kNull);
  EXPECT_EQ(read[0].text, "_result");
  EXPECT_EQ(read[2].Get("fmsVer").text, "FMS/4,5,4,2012");
  EXPECT_EQ(read[2].Get("capabilities").number, 31);
  EXPECT_EQ(read[3].Get("data").kind, amf::Kind::kEcmaArray);
  EXPECT_EQ(read[3].Get("data").Get("version").text, "4,5,4,2012");
  EXPECT_EQ(read[3].Get("ok").kind, amf::Kind::kBoolean);
  EXPECT_TRUE(read[3].Get("missing").IsMissing());
  EXPECT_EQ(read[1].kind, amf::Kind::kNumber);
}

TEST(AmfHelpers, BuiltBodiesRoundTrip) {
  std::vector<amf::Node> values = {
      amf::Str("connect"), amf::Num(1),
      amf::Obj({{"app", amf::Str("default")}, {"objectEncoding", amf::Num(3)}, {"fpad", amf::Bool(false)}}),
      amf::Null(), amf::Arr({amf::Num(2), amf::Str("x")}), amf::Ecma({{"e", amf::Undefined()}})};
  Bytes body = amf::Body(values);
  std::vector<amf::Node> read, decoded;
  ASSERT_TRUE(amf::Read(body, &read));
  EXPECT_EQ(read.size(), values.size());
  for (size_t i = 0; i < values.size(); ++i) EXPECT_EQ(read[i], values[i]) << i;
  ASSERT_TRUE(amf::DecodeWithProject(body, &decoded));
  EXPECT_EQ(decoded[2].Get("app").text, "default");
  EXPECT_EQ(decoded[4].Item(1).text, "x");

  // The reader refuses what it does not know, and says where.
  Bytes bad = Cat({body, B({0x20})});
  std::string error;
  EXPECT_FALSE(amf::Read(bad, &read, &error));
  EXPECT_NE(error.find("offset " + std::to_string(body.size())), std::string::npos) << error;
  Bytes cut(body.begin(), body.end() - 1);
  EXPECT_FALSE(amf::Read(cut, &read, &error));
}

}  // namespace
