// The query-parameter rule over any stream name: for every key the server
// asks for and every output size, the value is terminated, within the
// buffer, free of the characters that end a value, and a part of the name.
#include <cstring>
#include <string_view>

#include "FuzzCommon.h"
#include "media/RtmpStream.h"

namespace {

constexpr const char* kKeys[] = {"fileid=", "userid=", "channel=", "phpsessid=", "paramid=",
                                 "questionid=", "bookmarkid=", "start=", "="};

bool EndsValue(char c) {
  return c == '\0' || c == '\n' || c == '\r' || c == ' ' || c == '&' || c == '/' || c == '?';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view name(reinterpret_cast<const char*>(data), size);
  for (const char* key : kKeys) {
    for (size_t room : {size_t{1}, size_t{2}, size_t{8}, size_t{1024}}) {
      std::vector<char> out(room + 1, '\x7f');  // one guard byte past the buffer
      const size_t n = StreamParam(name, key, std::span<char>(out.data(), room));
      FUZZ_CHECK(n < room);
      FUZZ_CHECK(out[n] == '\0' && std::strlen(out.data()) == n);
      FUZZ_CHECK(out[room] == '\x7f');
      for (size_t i = 0; i < n; ++i) FUZZ_CHECK(!EndsValue(out[i]));
      if (n > 0) {
        FUZZ_CHECK(name.find(key) != std::string_view::npos);
        FUZZ_CHECK(name.find(std::string_view(out.data(), n)) != std::string_view::npos);
      }
    }
    (void)StreamParamInt(name, key);
    (void)StreamParamDouble(name, key);
  }
  return 0;
}
