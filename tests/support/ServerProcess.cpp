#include "ServerProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "TestEnv.h"

namespace fs = std::filesystem;

int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  close(fd);
  return ntohs(addr.sin_port);
}

std::string WriteRegistry(const std::string& dir, int port, const std::string& extra) {
  std::string path = dir + "/strmd.reg";
  std::ofstream out(path);
  char dword[16];
  snprintf(dword, sizeof dword, "%08x", port);
  out << "Windows Registry Editor Version 5.00\n\n"
      << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestravon\\Server]\n"
      << "\"RtmpPortNumber\"=dword:" << dword << "\n"
      << "\"InstallFolder\"=\"" << dir << "\"\n"
      // A loaded test machine (and a sanitizer build serving a crowd) must
      // neither turn a test's clients away as busy nor end the server: the
      // admission and watchdog tests set their own thresholds.
      << "\"AdmitCpuPercent\"=dword:00000000\n"
      << "\"DebugCpuLimit\"=dword:00000000\n\n"
      << extra;
  return path;
}

ServerProcess::~ServerProcess() {
  if (!shmName.empty()) {
    shm_unlink(shmName.c_str());
    shm_unlink((shmName + "-data").c_str());
  }
  if (pid > 0 && exitStatus < 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
}

bool ServerProcess::Start(const std::vector<std::string>& args, const std::string& registry,
                          const std::vector<std::string>& env) {
  if (dir.empty()) dir = fs::path(registry).parent_path();
  output = dir + "/output.txt";
  std::string logs = dir + "/logs";
  std::string binary = TestBinaryPath();
  if (shmName.empty()) {
    static std::atomic<int> serial{0};
    shmName = "/strmd-test-" + std::to_string(getpid()) + "-" + std::to_string(++serial);
  }
  pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1);
    dup2(fd, 2);
    int nullfd = open("/dev/null", O_RDONLY);
    dup2(nullfd, 0);
    setenv("STRMD_REGISTRY", registry.c_str(), 1);
    setenv("STRMD_LOG_DIR", logs.c_str(), 1);
    setenv("STRMD_SHM_NAME", shmName.c_str(), 1);
    unsetenv("NOTIFY_SOCKET");
    for (const std::string& e : env) putenv(strdup(e.c_str()));
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(binary.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    // The test runner may have blocked signals; the server starts clean.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execv(binary.c_str(), argv.data());
    _exit(127);
  }
  return true;
}

std::string ServerProcess::Output() const {
  std::ifstream in(output);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string ServerProcess::ErrorLog() const {
  std::string all;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir + "/logs", ec)) {
    std::ifstream in(e.path());
    std::stringstream s;
    s << in.rdbuf();
    all += s.str();
  }
  return all;
}

bool ServerProcess::WaitForOutput(const std::string& text, int timeoutMs) const {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < end) {
    if (Output().find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

bool ServerProcess::Wait(int timeoutMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < end) {
    int status = 0;
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) {
      exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

void ServerProcess::Signal(int sig) const {
  if (pid > 0) kill(pid, sig);
}

bool StartServer(ServerProcess* server, const char* tag, const std::string& extra,
                 const std::vector<std::string>& env) {
  server->dir = TestTempDir(tag);
  for (int attempt = 0; attempt < 5; ++attempt) {
    server->port = FreePort();
    std::string reg = WriteRegistry(server->dir, server->port, extra);
    if (!server->Start({}, reg, env)) return false;
    if (server->WaitForOutput("STRMD started", 10000)) return true;
    server->Signal(SIGKILL);
    server->Wait(5000);
    server->exitStatus = -1;
  }
  return false;
}

int ConnectTo(int port, int timeoutMs) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::string ReadAll(int fd, int timeoutMs, bool* closed) {
  std::string data;
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  if (closed) *closed = false;
  char buf[65536];
  while (true) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
    if (left <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) break;
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) {
      if (closed) *closed = true;
      break;
    }
    data.append(buf, static_cast<size_t>(n));
  }
  return data;
}
