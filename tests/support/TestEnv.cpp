#include "TestEnv.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <chrono>
#include <filesystem>
#include <thread>

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

bool WaitChild(pid_t pid, int timeoutMs, int* status) {
  for (int waited = 0; waited < timeoutMs; waited += 50) {
    if (waitpid(pid, status, WNOHANG) == pid) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}
