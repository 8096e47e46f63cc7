#include "media/FlvRepair.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "media/Flv.h"
#include "media/RtmpFile.h"
#include "util/ByteOrder.h"
#include "util/file.h"

namespace {

bool KnownType(uint8_t type) {
  return type == kFlvTagAudio || type == kFlvTagVideo || type == kFlvTagScript;
}

// A descriptor closed on every path.
struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

bool ReadAt(int fd, void* buffer, size_t count, int64_t offset) {
  auto* p = static_cast<uint8_t*>(buffer);
  while (count > 0) {
    const ssize_t got = pread(fd, p, count, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    p += got;
    count -= size_t(got);
    offset += got;
  }
  return true;
}

bool WriteAt(int fd, const void* buffer, size_t count, int64_t offset) {
  const auto* p = static_cast<const uint8_t*>(buffer);
  while (count > 0) {
    const ssize_t put = pwrite(fd, p, count, static_cast<off_t>(offset));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    p += put;
    count -= size_t(put);
    offset += put;
  }
  return true;
}

std::string SystemText(const char* what) {
  char text[256];
  return std::string(what) + ": " + strerror_r(errno, text, sizeof text);
}

// One tag record header read at `offset` (its back pointer); false when the
// 15 bytes are not all there.
bool ReadTagAt(int fd, int64_t size, int64_t offset, FlvTagHeader* tag) {
  if (size - offset < int64_t{kFlvTagHeaderSize}) return false;
  uint8_t b[kFlvTagHeaderSize];
  if (!ReadAt(fd, b, sizeof b, offset)) return false;
  DecodeTagHeader(b, tag);
  return true;
}

}  // namespace

bool FlvHasZeroHeader(const char* path) {
  Fd f;
  f.fd = open(FileSystemPath(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (f.fd < 0) return false;
  uint8_t header[kFlvHeaderSize];
  const ssize_t got = pread(f.fd, header, sizeof header, 0);
  if (got <= 0) return false;
  for (ssize_t i = 0; i < got; ++i)
    if (header[i] != 0) return false;
  return true;
}

bool FlvRepair(const char* path, FlvRepairResult* result) {
  *result = FlvRepairResult{};
  Fd f;
  f.fd = open(FileSystemPath(path).c_str(), O_RDWR | O_CLOEXEC);
  if (f.fd < 0) {
    result->error = SystemText("open");
    return false;
  }
  struct stat st;
  if (fstat(f.fd, &st) != 0) {
    result->error = SystemText("stat");
    return false;
  }
  const int64_t size = st.st_size;
  uint8_t header[kFlvHeaderSize] = {};
  const size_t have = size_t(std::min<int64_t>(size, int64_t{kFlvHeaderSize}));
  if (have > 0 && !ReadAt(f.fd, header, have, 0)) {
    result->error = SystemText("read");
    return false;
  }
  static const uint8_t kZero[kFlvHeaderSize] = {};
  const bool zero = memcmp(header, kZero, sizeof header) == 0;
  if (!zero && !(have == kFlvHeaderSize && memcmp(header, "FLV", 3) == 0)) {
    result->error = "not an FLV file and not a recording in progress";
    return false;
  }

  // Walk the tags. Back pointers of a recording in progress are ours and
  // right; one that is wrong is corrected rather than trusted to drop data,
  // since the tag it precedes is still whole.
  int64_t offset = int64_t{kFlvHeaderSize};
  uint32_t previous = 0;  // data size + 11 of the last tag kept
  bool pointersRight = true;
  std::vector<int64_t> wrongPointers;
  FlvTagHeader tag;
  while (ReadTagAt(f.fd, size, offset, &tag)) {
    const int64_t end = offset + int64_t{kFlvTagHeaderSize} + int64_t{tag.dataSize};
    if (!KnownType(tag.type) || end > size) break;  // cut short or not a tag: the end
    if (tag.backPointer != previous) {
      pointersRight = false;
      wrongPointers.push_back(offset);
    }
    ++result->tags;
    if (tag.type == kFlvTagAudio) ++result->audioTags;
    if (tag.type == kFlvTagVideo) ++result->videoTags;
    if (tag.timestamp > result->lastTimestamp) result->lastTimestamp = tag.timestamp;
    previous = tag.dataSize + uint32_t(kFlvTagFieldsSize);
    offset = end;
  }
  // `offset` is where the final back pointer belongs.
  result->flags = uint8_t((result->audioTags ? kFlvFlagAudio : 0) | (result->videoTags ? kFlvFlagVideo : 0));
  uint8_t finalPointer[kFlvBackPointerSize] = {};
  bool closed = !zero && pointersRight && size == offset + int64_t{kFlvBackPointerSize} &&
                ReadAt(f.fd, finalPointer, sizeof finalPointer, offset) && GetBe32(finalPointer) == previous &&
                header[3] == kFlvVersion && GetBe32(header + 5) == kFlvHeaderSize;
  if (closed) return true;

  result->repaired = true;
  result->bytesDropped = uint64_t(size > offset ? size - offset : 0);
  // Tags first, header last: a repair cut off half-way leaves a zero header
  // that the next repair recognises.
  uint32_t expected = 0;
  int64_t at = int64_t{kFlvHeaderSize};
  size_t wrong = 0;
  while (wrong < wrongPointers.size() && at < offset) {
    ReadTagAt(f.fd, size, at, &tag);
    if (at == wrongPointers[wrong]) {
      uint8_t b[kFlvBackPointerSize];
      PutBe32(b, expected);
      if (!WriteAt(f.fd, b, sizeof b, at)) {
        result->error = SystemText("write");
        return false;
      }
      ++wrong;
    }
    expected = tag.dataSize + uint32_t(kFlvTagFieldsSize);
    at += int64_t{kFlvTagHeaderSize} + int64_t{tag.dataSize};
  }
  PutBe32(finalPointer, previous);
  if (ftruncate(f.fd, static_cast<off_t>(offset)) != 0 ||
      !WriteAt(f.fd, finalPointer, sizeof finalPointer, offset) || fsync(f.fd) != 0) {
    result->error = SystemText("write");
    return false;
  }
  const uint8_t fixed[kFlvHeaderSize] = {'F', 'L', 'V', kFlvVersion, result->flags, 0, 0, 0, uint8_t(kFlvHeaderSize)};
  if (!WriteAt(f.fd, fixed, sizeof fixed, 0) || fsync(f.fd) != 0) {
    result->error = SystemText("write");
    return false;
  }
  return true;
}

bool FlvCheck(const char* path, FlvCheckResult* result) {
  *result = FlvCheckResult{};
  auto fail = [result](uint64_t at, std::string fault) {
    result->faultOffset = at;
    result->fault = std::move(fault);
    return false;
  };
  Fd f;
  f.fd = open(FileSystemPath(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (f.fd < 0) return fail(0, SystemText("open"));
  struct stat st;
  if (fstat(f.fd, &st) != 0) return fail(0, SystemText("stat"));
  const int64_t size = st.st_size;
  uint8_t header[kFlvHeaderSize];
  if (size < int64_t{kFlvHeaderSize} || !ReadAt(f.fd, header, sizeof header, 0))
    return fail(0, "file shorter than the 9-byte header");
  if (memcmp(header, "FLV", 3) != 0) return fail(0, "no \"FLV\" signature");
  if (header[3] != kFlvVersion) return fail(3, "version " + std::to_string(header[3]) + ", expected 1");
  if (GetBe32(header + 5) != kFlvHeaderSize)
    return fail(5, "header size " + std::to_string(GetBe32(header + 5)) + ", expected 9");

  int64_t offset = int64_t{kFlvHeaderSize};
  uint32_t previous = 0;
  bool seen[2] = {false, false};
  uint32_t last[2] = {0, 0};  // audio, video
  for (;;) {
    const int64_t left = size - offset;
    if (left < int64_t{kFlvBackPointerSize})
      return fail(uint64_t(offset), "no final back pointer (" + std::to_string(left) + " bytes left)");
    if (left == int64_t{kFlvBackPointerSize}) {
      uint8_t b[kFlvBackPointerSize];
      if (!ReadAt(f.fd, b, sizeof b, offset)) return fail(uint64_t(offset), SystemText("read"));
      if (GetBe32(b) != previous)
        return fail(uint64_t(offset), "final back pointer " + std::to_string(GetBe32(b)) + ", expected " +
                                          std::to_string(previous));
      return true;
    }
    FlvTagHeader tag;
    if (!ReadTagAt(f.fd, size, offset, &tag))
      return fail(uint64_t(offset), "tag " + std::to_string(result->tags) + " cut short in its header");
    const std::string which = "tag " + std::to_string(result->tags);
    if (tag.backPointer != previous)
      return fail(uint64_t(offset), which + ": back pointer " + std::to_string(tag.backPointer) +
                                        ", expected " + std::to_string(previous));
    if (!KnownType(tag.type))
      return fail(uint64_t(offset) + 4, which + ": unknown type " + std::to_string(tag.type));
    if (offset + int64_t{kFlvTagHeaderSize} + int64_t{tag.dataSize} > size)
      return fail(uint64_t(offset) + 5, which + ": data size " + std::to_string(tag.dataSize) +
                                            " runs past the end of the file");
    if (tag.type != kFlvTagScript) {
      const int track = tag.type == kFlvTagVideo ? 1 : 0;
      if (seen[track] && tag.timestamp < last[track])
        return fail(uint64_t(offset) + 8, which + ": " + (track ? "video" : "audio") + " timestamp " +
                                              std::to_string(tag.timestamp) + " ms goes back from " +
                                              std::to_string(last[track]) + " ms");
      seen[track] = true;
      last[track] = tag.timestamp;
      ++(track ? result->videoTags : result->audioTags);
    }
    ++result->tags;
    if (tag.timestamp > result->lastTimestamp) result->lastTimestamp = tag.timestamp;
    previous = tag.dataSize + uint32_t(kFlvTagFieldsSize);
    offset += int64_t{kFlvTagHeaderSize} + int64_t{tag.dataSize};
  }
}
