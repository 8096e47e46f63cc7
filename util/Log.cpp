#include "util/Log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "util/Clock.h"
#include "util/ThreadSafety.h"

std::atomic<bool> g_errorsToFile{false};

namespace {

// The longest text one call formats, as it always was: 512 KiB with the
// terminator. Most texts fit the stack buffer; only longer ones allocate,
// and nothing is zero-filled.
constexpr size_t kFormatBufferSize = 524288;
constexpr size_t kStackTextSize = 1024;

std::string FormatText(const char* format, va_list args) {
  char small[kStackTextSize];
  va_list again;
  va_copy(again, args);
  int n = vsnprintf(small, sizeof small, format, args);
  if (n < 0) n = 0;
  std::string text;
  if (static_cast<size_t>(n) < sizeof small) {
    text.assign(small, static_cast<size_t>(n));
  } else {
    const size_t length = std::min(static_cast<size_t>(n), kFormatBufferSize - 1);
    text.resize(length + 1);
    vsnprintf(text.data(), length + 1, format, again);
    text.resize(length);
  }
  va_end(again);
  return text;
}

std::string Format(const char* format, ...) STRMD_PRINTF(1, 2);
std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatText(format, args);
  va_end(args);
  return text;
}

void MakeFolders(const std::string& path) {
  if (path.size() < 3) return;
  std::string partial;
  for (size_t i = 0; i < path.size(); ++i) {
    partial.push_back(path[i]);
    if ((path[i] == '/' && i > 0) || i + 1 == path.size()) mkdir(partial.c_str(), 0755);
  }
}

// The log file last written, kept open: a report costs one write instead of
// a folder walk, an open and a close. A stat per line notices a file that
// was moved or deleted (a new one is then made), and a change of name (a
// new month, another folder).
struct OpenLog {
  Mutex lock;
  std::string path GUARDED_BY(lock);
  int fd GUARDED_BY(lock) = -1;
  dev_t device GUARDED_BY(lock) = 0;
  ino_t inode GUARDED_BY(lock) = 0;
};
OpenLog g_openLog;

// Appends the line to the file at `path` (made with its folder if missing).
void AppendLine(const std::string& folder, const std::string& path, std::string_view line) {
  MutexLock guard(g_openLog.lock);
  struct stat now;
  bool current = g_openLog.fd >= 0 && g_openLog.path == path && stat(path.c_str(), &now) == 0 &&
                 now.st_dev == g_openLog.device && now.st_ino == g_openLog.inode;
  if (!current) {
    if (g_openLog.fd >= 0) close(g_openLog.fd);
    g_openLog.fd = -1;
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 && errno == ENOENT) {
      MakeFolders(folder);
      fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    }
    struct stat opened;
    if (fd < 0 || fstat(fd, &opened) != 0) {
      if (fd >= 0) close(fd);
      return;  // the line stays on the console only
    }
    g_openLog.fd = fd;
    g_openLog.path = path;
    g_openLog.device = opened.st_dev;
    g_openLog.inode = opened.st_ino;
  }
  // One write per line: appends of concurrent writers never interleave.
  ssize_t n;
  do {
    n = write(g_openLog.fd, line.data(), line.size());
  } while (n < 0 && errno == EINTR);
}

// glibc answers every code with some text; "Unknown error N" is its way of
// saying it has none.
bool SystemText(int code, std::string* text) {
  char buf[256];
  const char* msg = strerror_r(code, buf, sizeof buf);
  if (msg == nullptr || strncmp(msg, "Unknown error", 13) == 0) return false;
  *text = msg;
  return true;
}

void WriteErrorLine(const std::string& line) {
  if (g_errorsToFile)
    LogToFile("error", "%s", line.c_str());
  else
    ConsolePrint("%s", line.c_str());
}

// ---- Reports per peer ----

std::atomic<int64_t (*)()> g_reportClock{MonotonicMs};

struct PeerReports {
  int64_t windowStart = 0;
  uint32_t reports = 0;     // in the current window
  uint32_t suppressed = 0;  // not yet told
  uint32_t scopes = 0;      // threads serving this address now
};
// Guarded by g_peerLock. Bounded: an entry lives while a connection of its
// address runs, and idle ones are swept once the map grows.
Mutex g_peerLock;
std::unordered_map<std::string, PeerReports> g_peers GUARDED_BY(g_peerLock);
constexpr size_t kPeerSweepSize = 1024;

thread_local std::string t_peer;
// The reasons of the client mistakes reported in the thread's current scope.
// Reasons are a handful of fixed texts; the cap only bounds a caller's error.
thread_local std::shared_ptr<LogMistakes> t_mistakes;
constexpr size_t kMistakesKept = 32;

bool SessionIdChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ',' || c == '-';
}

void TellSuppressed(const std::string& peer, uint32_t count) {
  if (count == 0) return;
  const int code = errno;
  WriteErrorLine(Format("ERROR: %u reports from %s suppressed\n", count, peer.c_str()));
  errno = code;
}

// Removes the idle entries whose window has passed; what they still held
// back is returned to be told (outside the lock).
void SweepIdle(int64_t now, std::vector<std::pair<std::string, uint32_t>>* tell) REQUIRES(g_peerLock) {
  for (auto it = g_peers.begin(); it != g_peers.end();) {
    if (it->second.scopes == 0 && now - it->second.windowStart >= kReportWindowMs) {
      if (it->second.suppressed != 0) tell->emplace_back(it->first, it->second.suppressed);
      it = g_peers.erase(it);
    } else {
      ++it;
    }
  }
}

// Once a window, any report tells what peers that went quiet held back.
int64_t g_lastSweep GUARDED_BY(g_peerLock) = 0;

void SweepNow(int64_t now) {
  std::vector<std::pair<std::string, uint32_t>> tell;
  {
    MutexLock guard(g_peerLock);
    if (g_peers.empty() || now - g_lastSweep < kReportWindowMs) return;
    g_lastSweep = now;
    SweepIdle(now, &tell);
  }
  for (const auto& [peer, count] : tell) TellSuppressed(peer, count);
}

// Whether a report from the thread's peer may be written now; `told`
// receives the count of reports suppressed in the window that just ended.
bool AdmitReport(uint32_t* told) {
  *told = 0;
  SweepNow(g_reportClock.load()());
  if (t_peer.empty()) return true;
  MutexLock guard(g_peerLock);
  const int64_t now = g_reportClock.load()();
  PeerReports& entry = g_peers[t_peer];
  if (entry.reports == 0 || now - entry.windowStart >= kReportWindowMs) {
    *told = entry.suppressed;
    entry.windowStart = now;
    entry.reports = 0;
    entry.suppressed = 0;
  }
  if (entry.reports < kReportBurst) {
    ++entry.reports;
    return true;
  }
  ++entry.suppressed;
  return false;
}

}  // namespace

struct LogMistakes {
  Mutex lock;
  std::vector<std::string> reasons GUARDED_BY(lock);
};

LogPeerScope::LogPeerScope(const char* address) : LogPeerScope(address, nullptr) {}

LogPeerScope::LogPeerScope(const char* address, std::shared_ptr<LogMistakes> mistakes) {
  t_peer = address != nullptr ? address : "";
  t_mistakes = mistakes != nullptr ? std::move(mistakes) : std::make_shared<LogMistakes>();
  if (t_peer.empty()) return;
  std::vector<std::pair<std::string, uint32_t>> tell;
  {
    MutexLock guard(g_peerLock);
    if (g_peers.size() >= kPeerSweepSize) SweepIdle(g_reportClock.load()(), &tell);
    ++g_peers[t_peer].scopes;
  }
  for (const auto& [peer, count] : tell) TellSuppressed(peer, count);
}

std::shared_ptr<LogMistakes> LogPeerScopeMistakes() { return t_mistakes; }

LogPeerScope::~LogPeerScope() {
  t_mistakes.reset();
  if (t_peer.empty()) return;
  uint32_t told = 0;
  {
    MutexLock guard(g_peerLock);
    auto it = g_peers.find(t_peer);
    if (it != g_peers.end()) {
      if (it->second.scopes > 0) --it->second.scopes;
      // The address's last connection ended after its window: tell what was
      // held back now. Within the window the count waits (a connect flood
      // opens and ends a scope per connection), for the peer's next report
      // or the next sweep.
      if (it->second.scopes == 0 && g_reportClock.load()() - it->second.windowStart >= kReportWindowMs) {
        told = it->second.suppressed;
        g_peers.erase(it);
      }
    }
  }
  const std::string peer = t_peer;
  t_peer.clear();
  TellSuppressed(peer, told);
}

void LogSetReportClockForTest(int64_t (*now)()) { g_reportClock = now != nullptr ? now : MonotonicMs; }

void ConsolePrint(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatText(format, args);
  va_end(args);
  fputs(text.c_str(), stderr);
  fflush(stderr);
}

std::string LogFolder() {
  if (const char* dir = getenv("STRMD_LOG_DIR"); dir != nullptr && dir[0] != '\0') return dir;
  // The executable does not move while it runs.
  static const std::string beside = [] {
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return std::string();
    exe[n] = '\0';
    char* slash = strrchr(exe, '/');
    if (slash == nullptr) return std::string();
    *slash = '\0';
    return std::string(exe) + "/logs";
  }();
  return beside;
}

std::string LogFileName(const std::string& folder, const char* name, int year, int month) {
  char buf[PATH_MAX + 64];
  snprintf(buf, sizeof buf, "%s/%s-%.4d%.2d.log", folder.c_str(), name, year, month);
  return buf;
}

void LogToFile(const char* name, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string message = FormatText(format, args);
  va_end(args);

  time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);

  std::string folder = LogFolder();
  if (folder.empty()) return;

  std::string line = Format("[%.4d/%.2d/%.2d %.2d:%.2d:%.2d] %s", local.tm_year + 1900, local.tm_mon + 1,
                            local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, message.c_str());
  if (line.empty() || line.back() != '\n') {
    if (line.size() + 1 < kFormatBufferSize)
      line.push_back('\n');
    else
      line.back() = '\n';
  }
  line = LogMaskSessionIds(line);
  ConsolePrint("%s", line.c_str());
  AppendLine(folder, LogFileName(folder, name, local.tm_year + 1900, local.tm_mon + 1), line);
}

namespace {

// Writes one admitted report of `message` with the text of `code`.
void WriteReport(int code, std::string message) {
  message = LogMaskSessionIds(message);
  std::string text;
  if (code == 0) {
    WriteErrorLine(Format("ERROR: %s\n", message.c_str()));
  } else if (SystemText(code, &text)) {
    WriteErrorLine(Format("ERROR: %s - %s\n", text.c_str(), message.c_str()));
  } else if (g_errorsToFile) {
    LogToFile("error", "ERROR: %s: %d\n", message.c_str(), code);
  } else {
    ConsolePrint("ERROR: %d %s\n", code, message.c_str());
  }
}

// Whether a report may be written now, telling first what the peer's last
// window held back.
bool Admit() {
  uint32_t told = 0;
  const bool admitted = AdmitReport(&told);
  if (told != 0) TellSuppressed(t_peer, told);
  return admitted;
}

}  // namespace

void ReportError(const char* format, ...) {
  const int code = errno;
  if (Admit()) {
    va_list args;
    va_start(args, format);
    std::string message = FormatText(format, args);
    va_end(args);
    WriteReport(code, std::move(message));
  }
  errno = code;
}

void ReportClientMistake(const char* address, const char* stream, const char* reason, const char* format, ...) {
  const int code = errno;
  const std::string why = reason != nullptr ? reason : "";
  // Outside a connection's scope there is no connection to remember it for.
  const bool scoped = !t_peer.empty() && t_mistakes != nullptr;
  bool repeated = false;
  if (scoped) {
    MutexLock guard(t_mistakes->lock);
    repeated = std::find(t_mistakes->reasons.begin(), t_mistakes->reasons.end(), why) != t_mistakes->reasons.end();
  }
  if (!repeated && Admit()) {
    if (scoped) {
      MutexLock guard(t_mistakes->lock);
      if (t_mistakes->reasons.size() < kMistakesKept) t_mistakes->reasons.push_back(why);
    }
    va_list args;
    va_start(args, format);
    std::string message = FormatText(format, args);
    va_end(args);
    message += Format(" (client %s, stream \"%s\": %s)", address != nullptr ? address : "",
                      LogStreamName(stream != nullptr ? stream : "").c_str(), why.c_str());
    WriteReport(0, std::move(message));
  }
  errno = code;
}

std::string LogMaskSessionIds(std::string_view text) {
  static constexpr std::string_view kKey = "phpsessid=";
  static constexpr size_t kKept = 4;
  std::string out;
  out.reserve(text.size());
  size_t from = 0;
  for (size_t at = text.find(kKey); at != std::string_view::npos; at = text.find(kKey, from)) {
    size_t end = at + kKey.size();
    while (end < text.size() && SessionIdChar(text[end])) ++end;
    const size_t id = at + kKey.size();
    out.append(text.substr(from, std::min(end, id + kKept) - from));
    if (end - id > kKept) out.append("...");
    from = end;
  }
  out.append(text.substr(from));
  return out;
}

std::string LogStreamName(std::string_view name) {
  std::string out = LogMaskSessionIds(name);
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  return out;
}

void ShowErrorBox(void*, const char* format, ...) {
  const int code = errno;
  va_list args;
  va_start(args, format);
  std::string message = FormatText(format, args);
  va_end(args);
  std::string text;
  if (code != 0) SystemText(code, &text);
  LogToFile("error", "Kestravon: %s\n%s\n", text.c_str(), message.c_str());
  errno = code;
}

namespace {
const char* const kLevelNames[] = {"CRIT", "ERROR", "WARNING", "INFO", "DEBUG", "DEBUG2"};
}

void ProtocolLog(int level, const char* format, ...) {
  if (level > kProtocolLogLevel || level < 0) return;
  char text[2048];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  fprintf(stderr, "%s: %s\n", kLevelNames[level], text);
}

void ProtocolLogHex(int level, const uint8_t* data, size_t length) {
  if (level > kProtocolLogLevel || level < 0) return;
  char line[16 * 3 + 1];
  for (size_t i = 0; i < length; i += 16) {
    size_t pos = 0;
    for (size_t j = i; j < length && j < i + 16; ++j)
      pos += snprintf(line + pos, sizeof line - pos, j == i ? "%02x" : " %02x", data[j]);
    line[pos] = '\0';
    ProtocolLog(level, "%s", line);
  }
}
