#include "util/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "util/ByteOrder.h"
#include "util/Log.h"
#include "util/ThreadSafety.h"

namespace {

// Off unless a test arms it: one relaxed load per write.
std::atomic<bool> g_failArmed{false};
Mutex g_failLock;
// Guarded by g_failLock.
FileWriteFault g_fault GUARDED_BY(g_failLock);
uint64_t g_matched GUARDED_BY(g_failLock) = 0;       // matching writes since arming
uint64_t g_matchedBytes GUARDED_BY(g_failLock) = 0;  // their bytes
uint64_t g_failed GUARDED_BY(g_failLock) = 0;        // injected failures so far
std::atomic<uint64_t> g_writes{0};

#ifdef STRMD_TEST_HOOKS
// The server reads its fault from the environment before any file is
// written; a malformed one is refused loudly rather than ignored.
const bool g_faultFromEnvironment = [] {
  const char* text = getenv("STRMD_TEST_WRITE_FAULT");
  if (text == nullptr || *text == '\0') return false;
  FileWriteFault fault;
  if (!FileParseWriteFault(text, &fault)) {
    fprintf(stderr, "STRMD_TEST_WRITE_FAULT=\"%s\" is not a write fault; no write fails\n", text);
    return false;
  }
  fprintf(stderr, "STRMD_TEST_WRITE_FAULT=\"%s\": writes fail on purpose\n", text);
  FileArmWriteFaultForTest(fault);
  return true;
}();
#endif

}  // namespace

void FileArmWriteFaultForTest(const FileWriteFault& fault) {
  MutexLock lock(g_failLock);
  g_fault = fault;
  g_matched = g_matchedBytes = g_failed = 0;
  g_failArmed = fault.nth != 0 || fault.afterBytes != 0;
}

void FileFailWritesForTest(uint64_t nth, bool every) {
  FileWriteFault fault;
  fault.nth = nth;
  fault.count = every ? 0 : 1;
  FileArmWriteFaultForTest(fault);
}

bool FileParseWriteFault(std::string_view text, FileWriteFault* fault) {
  *fault = FileWriteFault{};
  while (!text.empty()) {
    const size_t comma = text.find(',');
    const std::string_view item = text.substr(0, comma);
    text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    const size_t equals = item.find('=');
    if (equals == std::string_view::npos) return false;
    const std::string_view key = item.substr(0, equals), value = item.substr(equals + 1);
    if (key == "path") {
      fault->path = std::string(value);
      continue;
    }
    uint64_t number = 0;
    if (value.empty() || value.size() > 18) return false;
    for (char c : value) {
      if (c < '0' || c > '9') return false;
      number = number * 10 + uint64_t(c - '0');
    }
    if (key == "nth") fault->nth = number;
    else if (key == "count") fault->count = number;
    else if (key == "after") fault->afterBytes = number;
    else return false;
  }
  // Exactly one way to pick the first failing write.
  return (fault->nth != 0) != (fault->afterBytes != 0);
}

bool FileInjectWriteFault(std::string_view path, size_t count, size_t* fit) {
  if (!g_failArmed.load(std::memory_order_relaxed)) return false;
  MutexLock lock(g_failLock);
  if (!g_fault.path.empty() && path.find(g_fault.path) == std::string_view::npos) return false;
  ++g_matched;
  const uint64_t before = g_matchedBytes;
  g_matchedBytes += count;
  bool fails;
  if (g_failed > 0) {
    fails = true;  // the disk is still full
    *fit = 0;
  } else if (g_fault.nth != 0) {
    fails = g_matched >= g_fault.nth;
    *fit = count / 2;
  } else {
    fails = g_matchedBytes > g_fault.afterBytes;
    *fit = size_t(g_fault.afterBytes - before);
  }
  if (!fails) return false;
  ++g_failed;
  if (g_fault.count != 0 && g_failed >= g_fault.count) g_failArmed = false;
  return true;
}

uint64_t FileWriteCountForTest() { return g_writes.load(); }

File::~File() { Close(); }

bool File::Open(const char* path, bool forWrite) {
  Close();
  name = path != nullptr ? path : "";
  write = forWrite;
  const std::string osPath = FileSystemPath(name);
  const int flags = forWrite ? (O_RDWR | O_CREAT) : O_RDONLY;
  _handle = ::open(osPath.c_str(), flags | O_CLOEXEC, 0644);
  if (_handle < 0) {
    const int code = errno;  // writing the log line may change it
    LogToFile("error", "%s", name.c_str());
    errno = code;
    REPORT_ASSERT("_handle != INVALID_HANDLE_VALUE", "file");
    return false;
  }
  struct stat st;
  _size = fstat(_handle, &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;
  _position = 0;
  _bufferStart = 0;
  _bufferLength = 0;
  return true;
}

void File::Close() {
  if (_handle >= 0) ::close(_handle);
  _handle = -1;
  _buffer.reset();
  _bufferLength = 0;
}

void File::ReleaseReadBuffer() {
  _buffer.reset();
  _bufferLength = 0;
}

void File::SetReadBufferSize(size_t size) {
  size = std::clamp<size_t>(size, 1, kFileReadBufferSize);
  if (size == _bufferSize) return;
  ReleaseReadBuffer();
  _bufferSize = size;
}

int64_t File::Position() const {
  if (_handle < 0) return -1;
  if (!write) return _position;
  return static_cast<int64_t>(::lseek(_handle, 0, SEEK_CUR));
}

bool File::MoveTo(int64_t position) {
  if (_handle < 0 || position < 0) return false;
  if (!write) {
    _position = position;
    return true;
  }
  return ::lseek(_handle, static_cast<off_t>(position), SEEK_SET) == position;
}

// Up to `count` bytes at the position into `out`, from the buffer where it
// holds them; *got is what was read. False on a failed system call.
bool File::ReadBuffered(uint8_t* out, size_t count, size_t* got) {
  *got = 0;
  while (*got < count) {
    const int64_t at = _position;
    if (at >= _bufferStart && at < _bufferStart + static_cast<int64_t>(_bufferLength)) {
      const size_t offset = static_cast<size_t>(at - _bufferStart);
      const size_t take = std::min(count - *got, _bufferLength - offset);
      memcpy(out + *got, _buffer.get() + offset, take);
      *got += take;
      _position += static_cast<int64_t>(take);
      continue;
    }
    const size_t want = count - *got;
    if (want >= _bufferSize) {
      // Large reads skip the buffer: one copy less, and no eviction.
      const ssize_t n = ::pread(_handle, out + *got, want, static_cast<off_t>(at));
      if (n < 0) return false;
      if (n == 0) return true;
      *got += static_cast<size_t>(n);
      _position += n;
      continue;
    }
    if (!_buffer) _buffer = std::make_unique_for_overwrite<uint8_t[]>(_bufferSize);
    const ssize_t n = ::pread(_handle, _buffer.get(), _bufferSize, static_cast<off_t>(at));
    _bufferStart = at;
    _bufferLength = n > 0 ? static_cast<size_t>(n) : 0;
    if (n < 0) return false;
    if (n == 0) return true;
  }
  return true;
}

bool File::Rewind() {
  bool b = MoveTo(0);
  if (!b) REPORT_ASSERT("b", "file");
  return b;
}

bool File::Skip(int64_t count) {
  const int64_t current = Position();
  if (current < 0 || count < 0 || current + count > _size) {
    REPORT_ASSERT("current + count <= _size.QuadPart", "file");
    return false;
  }
  bool b = MoveTo(current + count);
  if (!b) REPORT_ASSERT("b", "file");
  return b;
}

bool File::Back(int64_t count) {
  const int64_t current = Position();
  if (current < 0 || count < 0 || current < count) {
    REPORT_ASSERT("current >= count", "file");
    return false;
  }
  bool b = MoveTo(current - count);
  if (!b) REPORT_ASSERT("b", "file");
  return b;
}

bool File::SeekTo(int64_t position) {
  if (position < 0 || position > _size) {
    REPORT_ASSERT("position <= _size.QuadPart", "file");
    return false;
  }
  bool b = MoveTo(position);
  if (!b) REPORT_ASSERT("b", "file");
  return b;
}

bool File::Read(void* buffer, size_t count) {
  errno = 0;  // a short read at the end of the file sets none
  ssize_t got = -1;
  if (_handle >= 0 && !write) {
    size_t read = 0;
    got = ReadBuffered(static_cast<uint8_t*>(buffer), count, &read) ? static_cast<ssize_t>(read) : -1;
  } else if (_handle >= 0) {
    got = ::read(_handle, buffer, count);
  }
  if (got < 0 || static_cast<size_t>(got) != count) {
    const int code = errno;
    const long long cursor = Position();
    char text[256];
    const char* message = strerror_r(code, text, sizeof text);
    ReportError("Unable to read %zu bytes from the file. Cursor: %lld (0x%08llx); %d (%s)", count,
                cursor, static_cast<unsigned long long>(cursor), code, message);
    return false;
  }
  return true;
}

bool File::ReadU32(uint32_t* value) {
  uint8_t b[4];
  if (!Read(b, sizeof b)) return false;
  *value = GetBe32(b);
  return true;
}

bool File::ReadTimestamp(uint32_t* value) {
  uint8_t b[4];
  if (!Read(b, sizeof b)) return false;
  *value = (uint32_t{b[3]} << 24) | GetBe24(b);
  return true;
}

bool File::Write(const void* buffer, size_t count) {
  g_writes.fetch_add(1, std::memory_order_relaxed);
  errno = 0;
  ssize_t put;
  size_t fit = 0;
  if (_handle >= 0 && FileInjectWriteFault(name, count, &fit)) {
    if (fit > 0 && ::write(_handle, buffer, fit) < 0) {
      // What fit before the disk filled; the failure is reported below.
    }
    errno = ENOSPC;
    put = -1;
  } else {
    put = _handle >= 0 ? ::write(_handle, buffer, count) : -1;
  }
  if (put < 0 || static_cast<size_t>(put) != count) {
    // The file is named: a full disk fails the writes of many files at once.
    ReportError("Unable to write %zu bytes to file %s", count, name.c_str());
    return false;
  }
  return true;
}

bool File::WriteU32(uint32_t value) {
  uint8_t b[4];
  PutBe32(b, value);
  return Write(b, sizeof b);
}

std::string FileSystemPath(std::string_view path) {
  std::string out(path);
  for (char& c : out)
    if (c == '\\') c = '/';
  return out;
}

bool FileExists(const char* path) {
  struct stat st;
  return stat(FileSystemPath(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool FileFolderExists(const char* path) {
  struct stat st;
  return stat(FileSystemPath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FileDelete(const char* path) {
  return ::unlink(FileSystemPath(path).c_str()) == 0 || errno == ENOENT;
}

bool FileRename(const char* from, const char* to) {
  return ::rename(FileSystemPath(from).c_str(), FileSystemPath(to).c_str()) == 0;
}

bool FileCreateFolder(const char* path) {
  const std::string p = FileSystemPath(path);
  for (size_t i = 1; i <= p.size(); ++i) {
    if (i == p.size() || p[i] == '/') {
      const std::string part = p.substr(0, i);
      if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
  }
  return FileFolderExists(path);
}
