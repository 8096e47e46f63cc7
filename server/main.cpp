// strmd: process entry. No argument runs in the console; "-s..." runs under a
// service supervisor (systemd, Type=notify); anything else prints the usage.
#include <malloc.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "util/Log.h"
#include "server/Server.h"

#ifdef __SANITIZE_ADDRESS__
#include <sanitizer/lsan_interface.h>
#endif

namespace {

std::atomic<bool> g_stopDone{false};

// sd_notify without libsystemd: one datagram to $NOTIFY_SOCKET.
void Notify(const std::string& state) {
  const char* path = getenv("NOTIFY_SOCKET");
  if (path == nullptr || path[0] == '\0') return;
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  size_t len = strlen(path);
  if (len >= sizeof addr.sun_path) {
    close(fd);
    return;
  }
  memcpy(addr.sun_path, path, len);
  if (addr.sun_path[0] == '@') addr.sun_path[0] = '\0';  // abstract namespace
  sendto(fd, state.data(), state.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr),
         static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len));
  close(fd);
}

// Signals arrive here, on a thread of their own, never in a handler.
void SignalThread(sigset_t set, bool service) {
  while (true) {
    int sig = 0;
    if (sigwait(&set, &sig) != 0) continue;
    if (sig == SIGTERM && service) Notify("STOPPING=1\nSTATUS=Stopping");
    ServerStop();
    g_stopDone = true;
  }
}

// Blocks the stop signals in every thread (the mask is inherited) and hands
// them to the signal thread. In the console, SIGTERM and SIGHUP keep their
// default action; under the supervisor SIGTERM is the stop control.
void StartSignalThread(bool service) {
  signal(SIGPIPE, SIG_IGN);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGQUIT);
  if (service) sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread(SignalThread, set, service).detach();
}

// Ends without running static destructors: connection threads may still be
// using the configuration, and connections in progress end with the process.
[[noreturn]] void Exit(int status) {
#ifdef __SANITIZE_ADDRESS__
  // _exit skips the sanitizer's leak check, so the sanitizer build makes it
  // here: a clean stop with leaked memory fails.
  if (__lsan_do_recoverable_leak_check() != 0 && status == 0) status = 23;
#endif
  fflush(stdout);
  fflush(stderr);
  _exit(status);
}

void WaitForStop() {
  while (g_stopping && !g_stopDone) usleep(10 * 1000);
}

int RunConsole() {
  StartSignalThread(false);
  if (!ServerInit()) return 1;
  if (ServerRun() != 0) return 1;
  WaitForStop();
  return 0;
}

int RunService() {
  StartSignalThread(true);
  Notify("STATUS=Starting");
  if (!ServerInit()) {
    Notify("STATUS=Start-up failed\nERRNO=1066");
    return 1;
  }
  // Ready only once clients can connect: a supervisor that orders other
  // services after this one must not start them against a closed port.
  if (ServerRun([] { Notify("READY=1\nSTATUS=Running"); }) != 0) {
    Notify("STATUS=Cannot listen on the RTMP port\nERRNO=1");
    return 1;
  }
  WaitForStop();
  Notify("STATUS=Stopped");
  return 0;
}

// The C library gives threads up to eight allocator arenas per core; with a
// thread per connection each arena keeps its own high-water mark of freed
// memory, and the process's size follows how many happened to be busy at
// once rather than what it holds. Two per core keep allocation mostly
// uncontended and the size steady.
void BoundAllocatorArenas() {
  const long cores = sysconf(_SC_NPROCESSORS_ONLN);
  mallopt(M_ARENA_MAX, cores > 0 ? static_cast<int>(std::min<long>(2 * cores, 128)) : 8);
}

}  // namespace

int main(int argc, char** argv) {
  BoundAllocatorArenas();
  if (argc < 2) Exit(RunConsole());
  if (strncmp(argv[1], "-s", 2) == 0) Exit(RunService());
  ConsolePrint("Usage: %s -d\n\n", "RTMP Server");
  Exit(1);
}
