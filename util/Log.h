// Logging: the console, the monthly error log in the logs folder, and the
// protocol layer's leveled trace.
//
// Every function may be called from any thread at any time and none fails
// outward. The open log file and the per-peer report counts each sit behind
// a short lock of their own (never held while formatting). ReportError
// leaves errno as it found it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

// Off at process start; ServerInit turns it on before anything is reported.
extern std::atomic<bool> g_errorsToFile;

#define STRMD_PRINTF(a, b) __attribute__((format(printf, a, b)))

// Standard error only (there is no debugger channel on Linux).
void ConsolePrint(const char* format, ...) STRMD_PRINTF(1, 2);

// Appends one "[YYYY/MM/DD hh:mm:ss] message" line to <logs>/<name>-YYYYMM.log
// and echoes it to the console.
void LogToFile(const char* name, const char* format, ...) STRMD_PRINTF(2, 3);

// Reports a failure with the text of the calling thread's errno.
void ReportError(const char* format, ...) STRMD_PRINTF(1, 2);

// While a connection's thread serves a peer, its reports count against that
// peer's address: beyond kReportBurst reports in kReportWindowMs the rest are
// dropped (cheaply, before formatting), and one line "ERROR: %u reports from
// %s suppressed" tells how many: at the peer's next admitted report, when its
// last scope ends after the window, or at the first report of any thread once
// the window has passed. A client that provokes reports in a loop thus cannot flood
// the log nor slow other connections. One scope per thread at a time.
constexpr uint32_t kReportBurst = 20;
constexpr int64_t kReportWindowMs = 10 * 1000;
// The client mistakes a scope already reported; shared with the scopes a
// job worker opens for the same connection (LogPeerScopeMistakes), so that
// the connection reports each reason once whichever thread finds it.
struct LogMistakes;
class LogPeerScope {
 public:
  explicit LogPeerScope(const char* address);  // dotted address text
  LogPeerScope(const char* address, std::shared_ptr<LogMistakes> mistakes);
  ~LogPeerScope();
  LogPeerScope(const LogPeerScope&) = delete;
  LogPeerScope& operator=(const LogPeerScope&) = delete;
};
// The calling thread's scope's mistakes (null outside a scope).
std::shared_ptr<LogMistakes> LogPeerScopeMistakes();
// Test hook: the millisecond clock of the report windows; null restores the
// steady clock.
void LogSetReportClockForTest(int64_t (*now)());

// A client's own mistake (an object or file that is not there, no web
// session, a name not allowed): nothing failed on this side, so the line has
// no system text; it ends with who made it, as
// "<text> (client <address>, stream \"<name>\": <reason>)", the name as
// LogStreamName shows it. Within a LogPeerScope each reason is reported once:
// a client repeating its mistake adds no line. Leaves errno as it found it.
void ReportClientMistake(const char* address, const char* stream, const char* reason, const char* format, ...)
    STRMD_PRINTF(4, 5);
#define REPORT_CLIENT_ASSERT(cond, source, address, stream, reason) \
  ReportClientMistake(address, stream, reason, "ASSERT(%s) failed at %s:%d", cond, source, __LINE__)

// Log files are readable by more people than the web sessions' owners: every
// "phpsessid=" value in a logged text keeps its first 4 characters, followed
// by "...". Applied to every line that reaches a log file or the error console.
std::string LogMaskSessionIds(std::string_view text);

// A client's stream name as logs and the status report show it: session ids
// masked, control characters as '?' (a name cannot start a line of its own).
std::string LogStreamName(std::string_view name);

// No desktop on a server: the text goes to the error log and standard error,
// and nothing waits for a click.
void ShowErrorBox(void* owner, const char* format, ...) STRMD_PRINTF(2, 3);

// The failed-condition report, with the real line of the caller.
#define REPORT_ASSERT(cond, source) \
  ReportError("ASSERT(%s) failed at %s:%d", cond, source, __LINE__)

// Folder of the log files: $STRMD_LOG_DIR, else "logs" beside the executable.
std::string LogFolder();

// Path of the monthly file of log `name` for the given local year and month.
std::string LogFileName(const std::string& folder, const char* name, int year, int month);

// The protocol layer's trace. Levels 0 CRIT .. 5 DEBUG2; the level in force is
// 3 (INFO) and nothing changes it.
enum ProtocolLogLevel { LOG_CRIT = 0, LOG_ERROR, LOG_WARNING, LOG_INFO, LOG_DEBUG, LOG_DEBUG2 };
constexpr int kProtocolLogLevel = LOG_INFO;
void ProtocolLog(int level, const char* format, ...) STRMD_PRINTF(2, 3);
void ProtocolLogHex(int level, const uint8_t* data, size_t length);
