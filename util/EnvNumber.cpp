#include "util/EnvNumber.h"

#include <cerrno>
#include <cstdlib>

int64_t EnvNumber(const char* name, int64_t fallback, int64_t low, int64_t high) {
  const char* text = getenv(name);
  if (text == nullptr) return fallback;
  const char* digits = text + (*text == '+' || *text == '-');
  if (*digits < '0' || *digits > '9') return fallback;
  char* end = nullptr;
  const int saved = errno;
  errno = 0;
  const long long value = strtoll(text, &end, 10);
  const bool fits = errno != ERANGE && *end == '\0' && value >= low && value <= high;
  errno = saved;
  return fits ? value : fallback;
}
