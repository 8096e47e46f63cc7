#include <cstdio>

#include "strmdctl/Strmdctl.h"

int StrmdctlRepair(int, char**) {
  std::fprintf(stderr, "strmdctl repair: not built yet\n");
  return 1;
}

int StrmdctlCheck(int, char**) {
  std::fprintf(stderr, "strmdctl check: not built yet\n");
  return 1;
}
