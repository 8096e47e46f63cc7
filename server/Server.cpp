#include "server/Server.h"

#include <arpa/inet.h>
#include <mysql.h>
#include <poll.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <ctime>
#include <memory>
#include <thread>
#include <string>
#include <unordered_map>

#include "rtmp/RtmpCore.h"
#include "rtmp/UnicastSocket.h"
#include "client/Intake.h"
#include "connection/RtmpConnection.h"
#include "connection/SendLoop.h"
#include "media/Recording.h"
#include "util/Log.h"
#include "server/SiteLock.h"
#include "server/ThreadDebug.h"
#include "server/ThreadHttp.h"
#include "util/JobPool.h"
#include "util/Registry.h"
#include "util/ThreadSafety.h"

int g_listensock = -1;

namespace {

// ServerStop runs on the signal thread: it must not read the descriptor while
// the accept loop sets it, nor shut it down after the loop closed it (the
// number may already belong to another connection's socket).
Mutex g_listenLock;

void CloseListener() {
  MutexLock lock(g_listenLock);
  close(g_listensock);
  g_listensock = -1;
}

// How long a stop waits for the recordings in progress to close; well inside
// the service unit's TimeoutStopSec.
constexpr int kStopRecordingsMs = 8000;

// Connection threads keep a modest stack; their large buffers live on the heap.
constexpr size_t kConnectionStackSize = 1024 * 1024;

void* ConnectionThread(void* arg) {
  std::unique_ptr<IncomingConnection> incoming(static_cast<IncomingConnection*>(arg));
  // The record carries the thread's own handle before any handler reads it.
  incoming->thread = pthread_self();
  const sockaddr_in peer = incoming->peer;
  struct Counted {
    IncomingConnection* incoming;
    ~Counted() {
      IntakeLeaveHandshaking(incoming);
      IntakeRelease(incoming->peer);
    }
  } counted{incoming.get()};
  const std::string address = IntakeAddressText(peer);
  LogPeerScope reports(address.c_str());

  const auto deadline = IntakeHandshakeDeadline(incoming.get());
  // Rounded up: a wait cut short by the rounding would end before the deadline and skip the report.
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  int first = ServerPeekFirstByte(incoming->socket, static_cast<int>(std::max<int64_t>(left.count(), 0)));
  if (first < 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      errno = 0;
      ReportError("Connection from %s sent nothing within %d s (HandshakeSeconds): closing it", address.c_str(),
                  IntakeHandshakeSeconds(incoming.get()));
    }
    close(incoming->socket);
    return nullptr;
  }
  if (first == 3 || first == 6) {
    RtmpConnectionRun(incoming.get());
  } else {
    HttpServe(incoming.get());
  }
  return nullptr;
}

bool StartConnectionThread(IncomingConnection* incoming) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, kConnectionStackSize);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  int res = pthread_create(&thread, &attr, ConnectionThread, incoming);
  pthread_attr_destroy(&attr);
  if (res != 0) {
    errno = res;
    return false;
  }
  return true;
}

// Out of descriptors or memory: give the running connections a moment to
// close before accepting again.
bool IsResourceShortage(int err) {
  return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

// Without the server key strmd still starts, but with nothing configured: the
// operator is told once why, and what that means.
void WarnNoSettings(const ServerConfig& config) {
  std::string path = RegistryPath();
  std::string why;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    why = errno == ENOENT ? "is missing" : std::string("cannot be read (") + strerror(errno) + ")";
  } else {
    close(fd);
    why = std::string("has no key [HKEY_LOCAL_MACHINE\\") + config.key + "]";
  }
  ConsolePrint("WARNING: registry file %s %s; strmd runs without settings: it listens on a port the system "
               "chooses, on every address, and serves no site\n",
               path.c_str(), why.c_str());
}

}  // namespace

int ServerPeekFirstByte(int fd, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    // Most clients send with their connect: the byte is usually there
    // already, and the wait costs nothing then.
    unsigned char first = 0;
    ssize_t n = recv(fd, &first, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n == 1) return first;
    if (n == 0 || (errno != EINTR && errno != EAGAIN)) return -1;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return -1;
    pollfd p{fd, POLLIN, 0};
    int ready = poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return -1;
  }
}

bool ServerInit() {
  srand(static_cast<unsigned>(time(nullptr)));
  g_errorsToFile = true;
  mysql_library_init(0, nullptr, nullptr);
  ServerConfigSetName(&g_config, "kvd");
  if (!ServerConfigLoad(&g_config)) WarnNoSettings(g_config);
  uint64_t partialMB = g_config.maxPartialInputMB > 0 ? static_cast<uint64_t>(g_config.maxPartialInputMB) : 256;
  RtmpSetPartialInputLimit(partialMB << 20);
  JobPoolStart(g_config.jobWorkers, g_config.jobQueueMax);
  return true;
}

int ServerRun(const std::function<void()>& listening) {
  // A site another server runs is left out before anything here touches it.
  SiteLockAll(&g_config.sites);
  // Recordings a crash left unclosed are whole again before anyone can play
  // or record over them.
  RecoverRecordings(&g_config.sites);
  // Before the first connection: every connection joins one for its life.
  if (!SendLoopsStart(g_config.sendLoops)) ReportError("no send loop started: connections send from their own threads");
  DebugMonitorStart();

  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(static_cast<uint16_t>(g_config.rtmpPort));
  const char* where = g_config.rtmpBindAddress[0] != '\0' ? g_config.rtmpBindAddress : "all addresses";
  if (g_config.rtmpBindAddress[0] != '\0' && inet_pton(AF_INET, g_config.rtmpBindAddress, &addr.sin_addr) != 1) {
    errno = EINVAL;
    ReportError("RtmpBindAddress \"%s\" is not an IPv4 address; strmd cannot listen", g_config.rtmpBindAddress);
    return 1;
  }

  {
    MutexLock lock(g_listenLock);
    g_listensock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  }
  if (g_listensock < 0) {
    REPORT_ASSERT("g_listensock", "Server");
    return 1;
  }
  // Lets a restarted server bind while old connections linger in TIME_WAIT;
  // a port held by a live listener still fails the bind.
  int yes = 1;
  setsockopt(g_listensock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);

  // A port that cannot be had ends the process with a failure, so that a
  // supervisor sees it and tries again.
  if (bind(g_listensock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(g_listensock, SOMAXCONN) != 0) {
    int err = errno;
    REPORT_ASSERT("res != SOCKET_ERROR", "Server");
    errno = err;
    ReportError("STRMD cannot listen on port %d (%s)", g_config.rtmpPort, where);
    CloseListener();
    return 1;
  }
  socklen_t len = sizeof addr;
  getsockname(g_listensock, reinterpret_cast<sockaddr*>(&addr), &len);
  ConsolePrint("STRMD started on port %d\n", ntohs(addr.sin_port));
  if (listening) listening();

  while (!g_stopping) {
    sockaddr_in peer{};
    socklen_t peerLen = sizeof peer;
    int sock = accept4(g_listensock, reinterpret_cast<sockaddr*>(&peer), &peerLen, SOCK_CLOEXEC);
    if (sock < 0) {
      if (g_stopping) break;
      // A failed accept never ends the service: a client that reset before
      // accept, or a moment without descriptors, must not stop all intake.
      int err = errno;
      if (err == EINTR || err == ECONNABORTED || err == EPROTO || err == EAGAIN) continue;
      REPORT_ASSERT("sock != INVALID_SOCKET", "Server");
      usleep(IsResourceShortage(err) ? 100 * 1000 : 10 * 1000);
      continue;
    }
    if (!IntakeAdmit(peer, g_config)) {
      close(sock);
      continue;
    }
    auto incoming = std::make_unique<IncomingConnection>();
    incoming->socket = sock;
    incoming->peer = peer;
    incoming->config = &g_config;
    incoming->accepted = std::chrono::steady_clock::now();
    incoming->handshaking = true;
    if (!StartConnectionThread(incoming.get())) {
      REPORT_ASSERT("thread", "Server");
      IntakeLeaveHandshaking(incoming.get());
      IntakeRelease(peer);
      close(sock);
      continue;
    }
    incoming.release();  // the connection thread owns it now
  }
  CloseListener();
  ConsolePrint("STRMD stopped\n");
  return 0;
}

void ServerStop() {
  const auto began = std::chrono::steady_clock::now();
  bool wasStopping = g_stopping.exchange(true);
  {
    // close() would not wake a blocked accept on Linux; shutdown() does.
    MutexLock lock(g_listenLock);
    if (!wasStopping && g_listensock >= 0) shutdown(g_listensock, SHUT_RDWR);
  }
  // Recordings in progress end as their close would, so that the files an
  // operator copies after a stop are whole and accounted. Players and chat
  // need nothing: they end with the process.
  if (!wasStopping) {
    const size_t left = RecordingsCloseForStop(kStopRecordingsMs);
    if (left > 0) {
      errno = 0;
      ReportError("%zu recording(s) did not close within %d ms of the stop; they are repaired at the next start",
                  left, kStopRecordingsMs);
    }
  }
  std::this_thread::sleep_until(began + std::chrono::seconds(1));
}
