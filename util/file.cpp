#include "util/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "util/Log.h"

namespace {

// Off unless a test arms it: one relaxed load per write.
std::atomic<bool> g_failArmed{false};
std::mutex g_failLock;
uint64_t g_failIn = 0;  // guarded by g_failLock; writes until the failing one
bool g_failEvery = false;
std::atomic<uint64_t> g_writes{0};

// Whether this write is the injected failure.
bool InjectedFailure() {
  if (!g_failArmed.load(std::memory_order_relaxed)) return false;
  std::lock_guard<std::mutex> lock(g_failLock);
  if (g_failIn > 1) {
    --g_failIn;
    return false;
  }
  if (!g_failEvery) {
    g_failIn = 0;
    g_failArmed = false;
  }
  return true;
}

}  // namespace

void FileFailWritesForTest(uint64_t nth, bool every) {
  std::lock_guard<std::mutex> lock(g_failLock);
  g_failIn = nth;
  g_failEvery = nth != 0 && every;
  g_failArmed = nth != 0;
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
    if (want >= kFileReadBufferSize) {
      // Large reads skip the buffer: one copy less, and no eviction.
      const ssize_t n = ::pread(_handle, out + *got, want, static_cast<off_t>(at));
      if (n < 0) return false;
      if (n == 0) return true;
      *got += static_cast<size_t>(n);
      _position += n;
      continue;
    }
    if (!_buffer) _buffer = std::make_unique<uint8_t[]>(kFileReadBufferSize);
    const ssize_t n = ::pread(_handle, _buffer.get(), kFileReadBufferSize, static_cast<off_t>(at));
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

bool File::ReadU8(uint8_t* value) { return Read(value, 1); }

bool File::ReadU24(uint32_t* value) {
  uint8_t b[3];
  if (!Read(b, sizeof b)) return false;
  *value = (uint32_t{b[0]} << 16) | (uint32_t{b[1]} << 8) | b[2];
  return true;
}

bool File::ReadU32(uint32_t* value) {
  uint8_t b[4];
  if (!Read(b, sizeof b)) return false;
  *value = (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
  return true;
}

bool File::ReadTimestamp(uint32_t* value) {
  uint8_t b[4];
  if (!Read(b, sizeof b)) return false;
  *value = (uint32_t{b[3]} << 24) | (uint32_t{b[0]} << 16) | (uint32_t{b[1]} << 8) | b[2];
  return true;
}

bool File::Write(const void* buffer, size_t count) {
  g_writes.fetch_add(1, std::memory_order_relaxed);
  errno = 0;
  ssize_t put;
  if (_handle >= 0 && InjectedFailure()) {
    const ssize_t fit = ::write(_handle, buffer, count / 2);  // what fit before the disk filled
    (void)fit;
    errno = ENOSPC;
    put = -1;
  } else {
    put = _handle >= 0 ? ::write(_handle, buffer, count) : -1;
  }
  if (put < 0 || static_cast<size_t>(put) != count) {
    ReportError("Unable to write %zu bytes to file", count);
    return false;
  }
  return true;
}

bool File::WriteU8(uint8_t value) { return Write(&value, 1); }

bool File::WriteU24(uint32_t value) {
  const uint8_t b[3] = {uint8_t(value >> 16), uint8_t(value >> 8), uint8_t(value)};
  return Write(b, sizeof b);
}

bool File::WriteU32(uint32_t value) {
  const uint8_t b[4] = {uint8_t(value >> 24), uint8_t(value >> 16), uint8_t(value >> 8),
                        uint8_t(value)};
  return Write(b, sizeof b);
}

bool File::WriteTimestamp(uint32_t value) {
  const uint8_t b[4] = {uint8_t(value >> 16), uint8_t(value >> 8), uint8_t(value),
                        uint8_t(value >> 24)};
  return Write(b, sizeof b);
}

bool File::WriteText(std::string_view text) { return Write(text.data(), text.size()); }

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
