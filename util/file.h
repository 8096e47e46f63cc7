// File: the thin, unbuffered wrapper through which every media file is read
// and written, and the path helpers that every path passes on its way to the
// operating system.
//
// A File is used by one thread at a time (the connection that owns the stream)
// and takes no lock. Offsets are 64-bit. Failures are reported here, with the
// texts the server has always used, and returned as false.
//
// A file opened for reading is read through a buffer of kFileReadBufferSize
// (allocated at the first read; a reader may ask for a smaller one with
// SetReadBufferSize): players and the index builder read many
// small tag headers, and a system call each, with a seek between, cost more
// than the tags. Moves inside what is buffered cost no system call; a read
// as large as the buffer goes to the file directly. What another writer
// changes in the buffered stretch is seen only after a move away from it.
// A file opened for writing is unbuffered: every Write is one system call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

constexpr size_t kFileReadBufferSize = 64 * 1024;

class File {
 public:
  File() = default;
  ~File();  // closes the descriptor
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // write: read/write, created when missing, never truncated. Otherwise
  // read-only and the file must exist. `path` may use '\\' as separator.
  // Size() is taken now and does not follow later writes.
  bool Open(const char* path, bool write);
  void Close();
  bool IsOpen() const { return _handle >= 0; }
  int64_t Size() const { return _size; }
  int64_t Position() const;  // -1 when closed
  bool AtEnd() const { return Position() == _size; }
  const std::string& Name() const { return name; }
  bool IsWrite() const { return write; }

  // Moves refuse to go past the size the file had when opened.
  bool Rewind();
  bool Skip(int64_t count);
  bool Back(int64_t count);
  bool SeekTo(int64_t position);

  // Exactly `count` bytes or failure (a short read is a failure).
  bool Read(void* buffer, size_t count);
  bool Read(std::span<uint8_t> buffer) { return Read(buffer.data(), buffer.size()); }
  // Big-endian. ReadTimestamp puts the fourth byte above the 24-bit value,
  // as FLV stores it.
  bool ReadU32(uint32_t* value);
  bool ReadTimestamp(uint32_t* value);

  // Frees the read buffer; what it held is read again when needed. For a
  // reader that pauses long between bursts (a player between windows).
  void ReleaseReadBuffer();
  bool HoldsReadBuffer() const { return _buffer != nullptr; }
  // The size of the read buffer from the next read on (1 .. kFileReadBufferSize);
  // reads at least this large go to the file directly.
  void SetReadBufferSize(size_t size);

  bool Write(const void* buffer, size_t count);
  bool Write(std::span<const uint8_t> buffer) { return Write(buffer.data(), buffer.size()); }
  bool WriteU32(uint32_t value);

  int _handle = -1;
  int64_t _size = 0;
  std::string name;
  bool write = false;

 private:
  bool MoveTo(int64_t position);
  bool ReadBuffered(uint8_t* out, size_t count, size_t* got);

  // Read side only: the position (the descriptor's own offset is not used),
  // and the stretch of the file held in `_buffer`.
  int64_t _position = 0;
  std::unique_ptr<uint8_t[]> _buffer;
  size_t _bufferSize = kFileReadBufferSize;
  int64_t _bufferStart = 0;
  size_t _bufferLength = 0;
};

// The path as the operating system takes it: every '\\' becomes '/', so that
// "%s\\x" and "%s/x" name one file.
std::string FileSystemPath(std::string_view path);

// True for an existing regular file (FileExists) or folder (FileFolderExists).
bool FileExists(const char* path);
bool FileFolderExists(const char* path);
// True when the file is gone afterwards (a missing file is no error).
bool FileDelete(const char* path);
// Replaces `to` when it exists.
bool FileRename(const char* from, const char* to);
// Creates the folder and any missing parents; true when it exists afterwards.
bool FileCreateFolder(const char* path);

// ---- Fault injection, for tests ----
// A disk that fills: writes that match fail with ENOSPC as any failed write
// is reported. A write matches when the path of its file contains `path`
// (every write when empty); the failing ones are the `nth` matching write
// from arming (1: the next) and the `count` - 1 after it (0: every one from
// then on, the disk stays full). With `afterBytes` != 0 instead of `nth`, the
// first failing write is the one that takes the matching bytes written since
// arming beyond `afterBytes`: it puts what fits; a write chosen by `nth` puts
// the first half of its bytes.
struct FileWriteFault {
  std::string path;
  uint64_t nth = 0;
  uint64_t count = 1;
  uint64_t afterBytes = 0;
};
// Arms `fault` (nth and afterBytes both 0 turn injection off).
void FileArmWriteFaultForTest(const FileWriteFault& fault);
// FileArmWriteFaultForTest for every file: the n-th write from now fails, and
// with `every` all writes after it too.
void FileFailWritesForTest(uint64_t nth, bool every = false);
// Parses the text of STRMD_TEST_WRITE_FAULT, which a test build of the server
// (STRMD_TEST_HOOKS) reads at start so that tests can fill the disk under the real binary: comma-separated
// "path=TEXT", "nth=N", "count=K", "after=BYTES" (a path may not hold a
// comma). False for anything else.
bool FileParseWriteFault(std::string_view text, FileWriteFault* fault);
// Whether the write of `count` bytes to the file `path` is an injected
// failure; *fit then receives the bytes that go out before the disk is full.
// For writers that do not go through File::Write (the recording's writev).
bool FileInjectWriteFault(std::string_view path, size_t count, size_t* fit);
// File::Write calls made by the process so far (failed ones included).
uint64_t FileWriteCountForTest();
