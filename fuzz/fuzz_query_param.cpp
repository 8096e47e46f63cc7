// The query-parameter rule over any stream name or model clause: for every
// key the server asks for, the value is a part of the text free of the
// characters that end a value; the copy into a buffer of any size is
// terminated within it; and the integer is the value's own number when the
// value is wholly a 32-bit decimal number, else 0 (a missing parameter).
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "FuzzCommon.h"
#include "media/RtmpStream.h"
#include "util/QueryParam.h"

namespace {

constexpr const char* kKeys[] = {"fileid=", "userid=", "channel=", "phpsessid=", "paramid=",
                                 "questionid=", "bookmarkid=", "insert=", "start=", "="};

bool EndsValue(char c) {
  return c == '\0' || c == '\n' || c == '\r' || c == ' ' || c == '&' || c == '/' || c == '?';
}

// The integer rule restated with the C library: sign, digits, nothing else,
// inside 32 bits.
int32_t Expected(std::string_view value) {
  const std::string text(value);
  const size_t digits = !text.empty() && (text[0] == '+' || text[0] == '-') ? 1 : 0;
  if (text.size() == digits) return 0;
  for (size_t i = digits; i < text.size(); ++i)
    if (text[i] < '0' || text[i] > '9') return 0;
  errno = 0;
  const long long n = strtoll(text.c_str(), nullptr, 10);
  if (errno == ERANGE || n < INT32_MIN || n > INT32_MAX) return 0;
  return static_cast<int32_t>(n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view name(reinterpret_cast<const char*>(data), size);
  for (const char* key : kKeys) {
    const std::string_view value = QueryParam(name, key);
    FUZZ_CHECK(value.size() <= kQueryValueMax);
    for (char c : value) FUZZ_CHECK(!EndsValue(c));
    if (!value.empty()) {
      FUZZ_CHECK(name.find(key) != std::string_view::npos);
      FUZZ_CHECK(value.data() > name.data() && value.data() + value.size() <= name.data() + name.size());
    }
    FUZZ_CHECK(QueryParamInt(name, key) == Expected(value));
    for (size_t room : {size_t{1}, size_t{2}, size_t{8}, size_t{1024}}) {
      std::vector<char> out(room + 1, '\x7f');  // one guard byte past the buffer
      const size_t n = StreamParam(name, key, std::span<char>(out.data(), room));
      FUZZ_CHECK(n < room && n <= value.size());
      FUZZ_CHECK(out[n] == '\0' && (n == 0 || std::memcmp(out.data(), value.data(), n) == 0));
      FUZZ_CHECK(out[room] == '\x7f');
    }
    (void)StreamParamDouble(name, key);
  }
  return 0;
}
