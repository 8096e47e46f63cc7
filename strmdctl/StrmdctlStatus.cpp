#include <cstdio>

#include "strmdctl/Strmdctl.h"

int StrmdctlStatus(int, char**) {
  std::fprintf(stderr, "strmdctl status: not built yet\n");
  return 1;
}
