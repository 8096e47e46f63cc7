#include "TestEnv.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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

pid_t LaunchGst(const std::vector<std::string>& args, const std::string& log) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  dup2(out, 1);
  dup2(out, 2);
  std::vector<char*> argv{const_cast<char*>("gst-launch-1.0"), const_cast<char*>("-e")};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  execvp("gst-launch-1.0", argv.data());
  _exit(127);
}

std::vector<std::string> TestListing(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.' && std::string(e->d_name) != "logs") names.emplace_back(e->d_name);
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}
