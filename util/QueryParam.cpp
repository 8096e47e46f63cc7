#include "util/QueryParam.h"

#include <charconv>

std::string_view QueryParam(std::string_view text, std::string_view key) {
  const size_t at = text.find(key);
  if (at == std::string_view::npos) return {};
  const size_t equals = text.find('=', at);
  if (equals == std::string_view::npos) return {};
  std::string_view value = text.substr(equals + 1);
  const size_t stop = value.find_first_of(std::string_view("\0\n\r &/?", 7));
  if (stop != std::string_view::npos) value = value.substr(0, stop);
  return value.substr(0, kQueryValueMax);
}

int32_t QueryParamInt(std::string_view text, std::string_view key) {
  std::string_view value = QueryParam(text, key);
  // from_chars takes a '-' but not a '+'.
  if (value.size() > 1 && value[0] == '+' && value[1] != '-') value.remove_prefix(1);
  int32_t number = 0;
  const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
  if (error != std::errc() || end != value.data() + value.size()) return 0;
  return number;
}
