// Query parameters of stream names and model clauses, such as
// "fileid=200&phpsessid=..." or "channel=5&userid=2". Every path that reads
// one reads it here, so a name means the same object everywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// Values are cut to this many characters (a text field's room).
constexpr size_t kQueryValueMax = 1023;

// The value of `key` (such as "fileid=") in `text`: from the first
// occurrence of the key, after its '=', up to NUL, line feed, carriage
// return, space, '&', '/' or '?', at most kQueryValueMax characters. Empty
// when absent. The view points into `text`.
std::string_view QueryParam(std::string_view text, std::string_view key);

// The value as a 32-bit integer: an optional sign, then decimal digits and
// nothing else, inside the type. Anything else (empty, "12abc", " 5",
// "4294967496") is 0, the answer of a missing parameter, so that a value
// that does not fit never names another object.
int32_t QueryParamInt(std::string_view text, std::string_view key);
