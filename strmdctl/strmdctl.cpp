#include <cstdio>
#include <cstring>

#include "strmdctl/Strmdctl.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: strmdctl status [--watch [SECONDS] | --json | --prometheus]\n"
               "       strmdctl repair FILE...\n"
               "       strmdctl check FILE\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const char* command = argv[1];
  if (std::strcmp(command, "status") == 0) return StrmdctlStatus(argc - 2, argv + 2);
  if (std::strcmp(command, "repair") == 0) return StrmdctlRepair(argc - 2, argv + 2);
  if (std::strcmp(command, "check") == 0) return StrmdctlCheck(argc - 2, argv + 2);
  return Usage();
}
