#include "TestEnv.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

std::string TestBinaryPath() {
  const char* p = getenv("STRMD_BINARY");
  return p != nullptr ? p : "strmd";
}

std::string TestSourceDir() {
  const char* p = getenv("STRMD_SOURCE_DIR");
  return p != nullptr ? p : ".";
}

std::string TestTempDir(const char* tag) {
  std::string templ = std::string("/tmp/strmd-") + tag + "-XXXXXX";
  char* made = mkdtemp(templ.data());
  return made != nullptr ? made : "/tmp";
}
