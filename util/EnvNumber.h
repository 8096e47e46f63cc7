// Numbers from the environment, with which tests shorten the server's
// periods and limits.
#pragma once

#include <cstdint>

// The decimal integer in `name`; `fallback` when it is unset or empty, not
// wholly a number (an optional sign, then digits only), or outside
// [low, high].
int64_t EnvNumber(const char* name, int64_t fallback, int64_t low, int64_t high);
