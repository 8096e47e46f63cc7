// Runs the real strmd binary for a test: a registry file of the test's own,
// a private log folder, output captured to a file, bounded waits throughout.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// A free TCP port on 127.0.0.1 (bound and released again).
int FreePort();

// Writes a registry export with the server key (RtmpPortNumber = port) and,
// when `extra` is given, appends it verbatim (more keys or values).
std::string WriteRegistry(const std::string& dir, int port, const std::string& extra = "");

struct ServerProcess {
  pid_t pid = -1;
  std::string dir;        // scratch folder: registry, logs, output
  std::string output;     // file with the process's standard error and output
  int port = 0;
  int exitStatus = -1;    // after Wait: exit code, or 128 + signal
  // The status report's shared-memory name: one of its own per process, as
  // the default name is one for the whole machine; removed by the destructor.
  std::string shmName;

  ServerProcess() = default;
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;
  ~ServerProcess();  // kills a process still running, removes its status report

  // Starts `strmd args...` with STRMD_REGISTRY=registry and STRMD_LOG_DIR=dir/logs
  // plus any `env` entries ("NAME=value").
  bool Start(const std::vector<std::string>& args, const std::string& registry,
             const std::vector<std::string>& env = {});
  // Waits until the output contains `text`; false after timeoutMs.
  bool WaitForOutput(const std::string& text, int timeoutMs = 10000) const;
  std::string Output() const;
  std::string ErrorLog() const;  // all of logs/error-*.log
  // Waits for the exit; false after timeoutMs.
  bool Wait(int timeoutMs = 10000);
  void Signal(int sig) const;
};

// Starts strmd in the console on a fresh registry with a free port and waits
// for "STRMD started". `extra` is appended to the registry.
bool StartServer(ServerProcess* server, const char* tag, const std::string& extra = "",
                 const std::vector<std::string>& env = {});

// Connects to 127.0.0.1:port; -1 on failure.
int ConnectTo(int port, int timeoutMs = 5000);
// Reads until the peer closes or timeoutMs passes; returns what arrived.
std::string ReadAll(int fd, int timeoutMs = 5000, bool* closed = nullptr);
