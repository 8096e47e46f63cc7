#include "util/Log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

std::atomic<bool> g_errorsToFile{false};

namespace {

constexpr size_t kFormatBufferSize = 524288;  // 512 KiB, one per call

struct FormatBuffer {
  std::unique_ptr<char[]> data{new char[kFormatBufferSize]()};
  char* get() { return data.get(); }
};

void FormatInto(char* buffer, const char* format, va_list args) {
  vsnprintf(buffer, kFormatBufferSize, format, args);
}

void MakeFolders(const std::string& path) {
  if (path.size() < 3) return;
  std::string partial;
  for (size_t i = 0; i < path.size(); ++i) {
    partial.push_back(path[i]);
    if ((path[i] == '/' && i > 0) || i + 1 == path.size()) mkdir(partial.c_str(), 0755);
  }
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

void WriteErrorLine(const char* line) {
  if (g_errorsToFile)
    LogToFile("error", "%s", line);
  else
    ConsolePrint("%s", line);
}

}  // namespace

void ConsolePrint(const char* format, ...) {
  FormatBuffer buf;
  va_list args;
  va_start(args, format);
  FormatInto(buf.get(), format, args);
  va_end(args);
  fputs(buf.get(), stderr);
  fflush(stderr);
}

std::string LogFolder() {
  if (const char* dir = getenv("STRMD_LOG_DIR"); dir != nullptr && dir[0] != '\0') return dir;
  char exe[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return {};
  exe[n] = '\0';
  char* slash = strrchr(exe, '/');
  if (slash == nullptr) return {};
  *slash = '\0';
  return std::string(exe) + "/logs";
}

std::string LogFileName(const std::string& folder, const char* name, int year, int month) {
  char buf[PATH_MAX + 64];
  snprintf(buf, sizeof buf, "%s/%s-%.4d%.2d.log", folder.c_str(), name, year, month);
  return buf;
}

void LogToFile(const char* name, const char* format, ...) {
  FormatBuffer message;
  va_list args;
  va_start(args, format);
  FormatInto(message.get(), format, args);
  va_end(args);

  time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);

  std::string folder = LogFolder();
  if (folder.empty()) return;
  MakeFolders(folder);

  FormatBuffer line;
  int n = snprintf(line.get(), kFormatBufferSize, "[%.4d/%.2d/%.2d %.2d:%.2d:%.2d] %s",
                   local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                   local.tm_min, local.tm_sec, message.get());
  size_t len = n < 0 ? 0 : std::min(static_cast<size_t>(n), kFormatBufferSize - 1);
  if (len == 0 || line.get()[len - 1] != '\n') {
    if (len + 1 < kFormatBufferSize) {
      line.get()[len++] = '\n';
      line.get()[len] = '\0';
    } else {
      line.get()[len - 1] = '\n';
    }
  }
  ConsolePrint("%s", line.get());

  std::string file = LogFileName(folder, name, local.tm_year + 1900, local.tm_mon + 1);
  if (FILE* f = fopen(file.c_str(), "a+")) {
    fputs(line.get(), f);
    fclose(f);
  }
}

void ReportError(const char* format, ...) {
  const int code = errno;
  FormatBuffer message;
  va_list args;
  va_start(args, format);
  FormatInto(message.get(), format, args);
  va_end(args);

  FormatBuffer line;
  std::string text;
  if (code == 0) {
    snprintf(line.get(), kFormatBufferSize, "ERROR: %s\n", message.get());
    WriteErrorLine(line.get());
  } else if (SystemText(code, &text)) {
    snprintf(line.get(), kFormatBufferSize, "ERROR: %s - %s\n", text.c_str(), message.get());
    WriteErrorLine(line.get());
  } else if (g_errorsToFile) {
    LogToFile("error", "ERROR: %s: %d\n", message.get(), code);
  } else {
    ConsolePrint("ERROR: %d %s\n", code, message.get());
  }
  errno = code;
}

void ShowErrorBox(void*, const char* format, ...) {
  const int code = errno;
  FormatBuffer message;
  va_list args;
  va_start(args, format);
  FormatInto(message.get(), format, args);
  va_end(args);
  std::string text;
  if (code != 0) SystemText(code, &text);
  LogToFile("error", "Kestravon: %s\n%s\n", text.c_str(), message.get());
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
