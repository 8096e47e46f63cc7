#include "media/RtmpFile.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <strings.h>

#include "util/Log.h"
#include "util/ByteOrder.h"

void DecodeTagHeader(const uint8_t b[kFlvTagHeaderSize], FlvTagHeader* h) {
  h->backPointer = GetBe32(b);
  h->type = b[4];
  h->dataSize = GetBe24(b + 5);
  h->timestamp = (uint32_t{b[11]} << 24) | GetBe24(b + 8);
  h->streamId = GetBe24(b + 12);
}

bool ReadTagHeader(File* file, FlvTagHeader* header) {
  *header = FlvTagHeader{};
  uint8_t b[kFlvTagHeaderSize] = {};
  if (!file->Read(b, kFlvBackPointerSize)) return false;
  if (file->AtEnd() || !file->Read(b + kFlvBackPointerSize, kFlvTagFieldsSize)) {
    FlvTagHeader read;
    DecodeTagHeader(b, &read);
    header->backPointer = read.backPointer;  // the callers look at the pointer just consumed
    return false;
  }
  DecodeTagHeader(b, header);
  return true;
}

void EncodeTagHeader(const FlvTagHeader& header, uint8_t b[kFlvTagHeaderSize]) {
  PutBe32(b, header.backPointer);
  b[4] = header.type;
  PutBe24(b + 5, header.dataSize);
  PutBe24(b + 8, header.timestamp);
  b[11] = uint8_t(header.timestamp >> 24);
  PutBe24(b + 12, header.streamId);
}

bool WriteTagHeader(File* file, const FlvTagHeader& header) {
  uint8_t b[kFlvTagHeaderSize];
  EncodeTagHeader(header, b);
  return file->Write(b, sizeof b);
}

bool TagDataFits(const File& file, const FlvTagHeader& header) {
  const int64_t position = file.Position();
  return position >= 0 && header.dataSize <= kFlvMaxDataSize &&
         position + int64_t{header.dataSize} <= file.Size();
}

uint32_t LastTimestamp(File* file) {
  const int64_t size = file->Size();
  uint32_t last = 0;
  if (size < int64_t{kFlvHeaderSize + kFlvBackPointerSize} || !file->SeekTo(size - 4) ||
      !file->ReadU32(&last))
    return 0;
  // The last record's 11 header bytes must lie after the file header and the
  // back pointer in front of them; a corrupt pointer is not followed.
  const int64_t fields = size - int64_t{kFlvBackPointerSize} - int64_t{last};
  if (last < kFlvTagFieldsSize || fields < int64_t{kFlvHeaderSize + kFlvBackPointerSize}) {
    errno = 0;
    REPORT_ASSERT("last back pointer inside the file", "RtmpFile");
    return 0;
  }
  uint32_t timestamp = 0;
  if (!file->SeekTo(fields + int64_t{kFlvTimestampOffset}) || !file->ReadTimestamp(&timestamp))
    return 0;
  return timestamp;
}

void EncodeIndexEntry(const IndexEntry& e, uint8_t out[kIndexEntrySize]) {
  PutLe16(out, e.type);
  PutLe16(out + 2, e.size);
  PutLe32(out + 4, e.timestamp);
  PutLe64(out + 8, e.offset);
}

IndexEntry DecodeIndexEntry(const uint8_t in[kIndexEntrySize]) {
  IndexEntry e;
  e.type = uint16_t(GetLe16(in));
  e.size = uint16_t(GetLe16(in + 2));
  e.timestamp = GetLe32(in + 4);
  e.offset = GetLe64(in + 8);
  return e;
}

namespace {

std::atomic<size_t> g_bufferSize{kEditBufferSize};

void PatchTagHeader(uint8_t* p, uint32_t backPointer, uint32_t timestamp) {
  PutBe32(p, backPointer);
  PutBe24(p + 8, timestamp);
  p[11] = uint8_t(timestamp >> 24);
}

// Reports a read that found the file shorter than its layout promised, as
// File::Read reports a short read.
void ReportShortRead(size_t count, int64_t cursor) {
  errno = 0;
  ReportError("Unable to read %zu bytes from the file. Cursor: %lld (0x%08llx); %d (%s)", count,
              static_cast<long long>(cursor), static_cast<unsigned long long>(cursor), 0, "Success");
}

enum class TagRead {
  kTag,  // a whole header; with data requested, its record lies in the buffer
  kCut,  // a whole header whose data runs past the end of the file
  kEnd,  // the final back pointer was consumed, or the file ends inside a header (reported)
};

// Reads tag records forward through one large buffer instead of three system
// calls and a seek per tag; an hour of recording has hundreds of thousands of
// tags. Reads never go past the size the file had when it was opened.
//
// An editing operation writes the records it copies straight from this
// buffer: the bytes consumed with Take() since the last Flush() are the
// pending span, written to `out` in one piece before the buffer moves and
// whenever the caller switches to another source.
class TagReader {
 public:
  // Starts reading at `offset` of an open file.
  bool Start(File* file, int64_t offset, File* out = nullptr) {
    file_ = file;
    out_ = out;
    fileEnd_ = file->Size();
    buffer_.resize(std::max(g_bufferSize.load(), kFlvTagHeaderSize));
    pos_ = end_ = span_ = 0;
    bufferOffset_ = offset;
    ended_ = writeFailed_ = readFailed_ = false;
    return file->SeekTo(offset);
  }
  bool Ended() const { return ended_; }
  int64_t Offset() const { return bufferOffset_ + int64_t(pos_); }

  // Parses the record at the current position without moving past it. With
  // `withData` the whole record is brought into the buffer (Record()).
  TagRead Peek(FlvTagHeader* h, bool withData) {
    *h = FlvTagHeader{};
    if (ended_) return TagRead::kEnd;
    const int64_t remaining = fileEnd_ - Offset();
    if (remaining < int64_t{kFlvTagHeaderSize}) {
      ended_ = true;
      // Only the final back pointer left: the clean end.
      if (remaining == int64_t{kFlvBackPointerSize}) return TagRead::kEnd;
      if (remaining < int64_t{kFlvBackPointerSize})
        ReportShortRead(kFlvBackPointerSize, Offset());
      else
        ReportShortRead(kFlvTagFieldsSize, Offset() + int64_t{kFlvBackPointerSize});
      return TagRead::kEnd;
    }
    if (!Fill(kFlvTagHeaderSize)) return End();
    DecodeTagHeader(&buffer_[pos_], h);
    const size_t record = kFlvTagHeaderSize + h->dataSize;
    if (int64_t(record) > remaining) return TagRead::kCut;
    if (withData && !Fill(record)) return End();
    return TagRead::kTag;
  }
  uint8_t* Record() { return &buffer_[pos_]; }

  // Moves past the record just peeked (with its data) and adds it to the
  // pending span.
  void Take(size_t record) { pos_ += record; }

  // Moves past `count` bytes that are not copied. Bytes beyond the buffer are
  // passed over with a seek, not read.
  bool Skip(int64_t count) {
    if (!Flush()) return false;
    const int64_t inBuffer = int64_t(end_ - pos_);
    if (count <= inBuffer) {
      pos_ += size_t(count);
      span_ = pos_;
      return true;
    }
    bufferOffset_ = Offset() + count;
    pos_ = end_ = span_ = 0;
    return file_->Skip(count - inBuffer);
  }

  // Writes the pending span to the output. False when the write failed.
  bool Flush() {
    if (out_ != nullptr && span_ < pos_ && !out_->Write(&buffer_[span_], pos_ - span_)) {
      span_ = pos_;
      writeFailed_ = true;
      return false;
    }
    span_ = pos_;
    return true;
  }
  bool WriteFailed() const { return writeFailed_; }
  bool ReadFailed() const { return readFailed_; }
  // Ends the source early (a tag that cannot be trusted).
  void Stop() { ended_ = true; }

 private:
  TagRead End() {
    ended_ = true;
    return TagRead::kEnd;
  }

  // Makes `need` bytes (which the file holds) available at the position.
  bool Fill(size_t need) {
    if (end_ - pos_ >= need) return true;
    if (pos_ + need > buffer_.size()) {
      if (!Flush()) return false;
      // The partial record moves to the front; a record larger than the
      // buffer (up to 16 MiB of data) grows it.
      const size_t keep = end_ - pos_;
      memmove(buffer_.data(), &buffer_[pos_], keep);
      bufferOffset_ += int64_t(pos_);
      pos_ = span_ = 0;
      end_ = keep;
      if (need > buffer_.size()) {
        try {
          buffer_.resize(need);
        } catch (const std::bad_alloc&) {
          REPORT_ASSERT("buffer", "RtmpFile");
          readFailed_ = true;
          return false;
        }
      }
    }
    // As much as fits and the file holds: one read per buffer.
    const int64_t left = fileEnd_ - (bufferOffset_ + int64_t(end_));
    const size_t count = size_t(std::min<int64_t>(int64_t(buffer_.size() - end_), left));
    if (count < need - (end_ - pos_) || !file_->Read(&buffer_[end_], count)) {
      readFailed_ = true;
      return false;
    }
    end_ += count;
    return true;
  }

  File* file_ = nullptr;
  File* out_ = nullptr;
  std::vector<uint8_t> buffer_;
  size_t pos_ = 0;    // next unread byte
  size_t end_ = 0;    // end of the bytes read
  size_t span_ = 0;   // start of the pending span, <= pos_
  int64_t bufferOffset_ = 0;  // file offset of buffer_[0]
  int64_t fileEnd_ = 0;
  bool ended_ = false;
  bool writeFailed_ = false;
  bool readFailed_ = false;
};

// Entries are gathered and written in blocks: one write per entry would cost a
// system call per tag of an hour-long file.
constexpr size_t kIndexBlockEntries = 4096;

bool BuildIndexInto(File* flv, File* index, uint32_t* count) {
  TagReader reader;
  if (!reader.Start(flv, kFlvHeaderSize)) return false;
  if (!index->WriteU32(0)) return false;
  std::vector<uint8_t> block(kIndexBlockEntries * kIndexEntrySize);
  size_t used = 0;
  auto flush = [&] {
    bool ok = used == 0 || index->Write(block.data(), used);
    used = 0;
    return ok;
  };
  FlvTagHeader h;
  for (;;) {
    const int64_t offset = reader.Offset();
    const TagRead got = reader.Peek(&h, false);
    if (got == TagRead::kEnd) break;
    if (h.type == kFlvTagAudio || h.type == kFlvTagVideo) {
      IndexEntry e{h.type, uint16_t(h.dataSize & 0xFFFF), h.timestamp, uint64_t(offset)};
      EncodeIndexEntry(e, &block[used]);
      used += kIndexEntrySize;
      ++*count;
      if (used == block.size() && !flush()) return false;
    }
    // A tag cut short is listed (when it is audio or video) and ends the scan.
    if (got == TagRead::kCut) break;
    if (!reader.Skip(int64_t{kFlvTagHeaderSize} + h.dataSize)) break;
  }
  // An index cut short by a failed read would hide the rest of the file for
  // good: it is no index.
  if (reader.ReadFailed() || !flush()) return false;
  return index->Rewind() && index->WriteU32(*count);
}

}  // namespace


bool BuildIndex(const char* flvPath, const char* indexPath, uint32_t* count) {
  File flv;
  if (!flv.Open(flvPath, false)) return false;
  // Built under a name of its own and renamed into place when complete: a
  // player that finds the index meanwhile (another connection playing the
  // same new file), or after a build cut short, must never load a partial
  // one; its provisional count 0 would read as "no media" for good.
  static std::atomic<uint32_t> serial{0};
  const std::string building = std::string(indexPath) + "." + std::to_string(getpid()) + "-" +
                               std::to_string(serial.fetch_add(1)) + ".part";
  FileDelete(building.c_str());
  File index;
  if (!index.Open(building.c_str(), true)) return false;
  uint32_t n = 0;
  bool ok = BuildIndexInto(&flv, &index, &n);
  index.Close();
  if (ok && !FileRename(building.c_str(), indexPath)) {
    REPORT_ASSERT("FileRename(building, indexPath)", "RtmpFile");
    ok = false;
  }
  if (!ok) {
    FileDelete(building.c_str());
    ReportError("The index %s of %s could not be built; none is left in its place", indexPath, flvPath);
    return false;
  }
  if (count != nullptr) *count = n;
  return true;
}

uint32_t LatestTimestamp(File* file) {
  uint32_t latest = LastTimestamp(file);
  TagReader reader;
  if (!reader.Start(file, kFlvHeaderSize)) return latest;
  FlvTagHeader h;
  for (;;) {
    const TagRead got = reader.Peek(&h, false);
    if (got == TagRead::kEnd) break;
    latest = std::max(latest, h.timestamp);
    if (got == TagRead::kCut || !reader.Skip(int64_t{kFlvTagHeaderSize} + h.dataSize)) break;
  }
  return latest;
}

IndexLoad LoadIndex(const char* indexPath, std::vector<IndexEntry>* entries) {
  entries->clear();
  File index;
  bool b = index.Open(indexPath, false);
  if (!b) {
    REPORT_ASSERT("b", "RtmpFile");
    return IndexLoad::kFailed;
  }
  uint32_t count = 0;
  b = index.ReadU32(&count);
  if (!b) {
    REPORT_ASSERT("b", "RtmpFile");
    return IndexLoad::kFailed;
  }
  // The count comes from a file: it may not promise more entries than the
  // file holds.
  const uint64_t room = uint64_t(index.Size() - int64_t{kIndexCountSize}) / kIndexEntrySize;
  if (count > room) {
    errno = 0;
    REPORT_ASSERT("count <= room", "RtmpFile");
    return IndexLoad::kFailed;
  }
  if (count == 0) return IndexLoad::kEmpty;
  std::vector<uint8_t> raw;
  try {
    raw.resize(size_t{count} * kIndexEntrySize);
    entries->reserve(count);
  } catch (const std::bad_alloc&) {
    REPORT_ASSERT("stream->file.frameindex", "RtmpFile");
    return IndexLoad::kFailed;
  }
  b = index.Read(raw.data(), raw.size());
  if (!b) {
    REPORT_ASSERT("b", "RtmpFile");
    return IndexLoad::kFailed;
  }
  for (size_t i = 0; i < count; ++i) entries->push_back(DecodeIndexEntry(&raw[i * kIndexEntrySize]));
  return IndexLoad::kLoaded;
}

uint32_t FindIndexEntry(std::span<const IndexEntry> entries, uint32_t time) {
  if (entries.empty()) return 0;
  // Signed: hi may step to -1 below the first entry.
  int64_t lo = 0;
  int64_t hi = int64_t(entries.size()) - 1;
  int64_t mid = int64_t(entries.size()) / 2;
  while (lo < hi) {
    const uint32_t ts = entries[size_t(mid)].timestamp;
    if (ts > time)
      hi = mid - 1;
    else if (ts == time)
      break;
    else
      lo = mid + 1;
    mid = (lo + hi) / 2;
  }
  return uint32_t(std::clamp<int64_t>(mid, 0, int64_t(entries.size()) - 1));
}

std::vector<Segment> BuildSegments(std::span<const IndexEntry> entries) {
  std::vector<Segment> list;
  Segment current;
  for (const IndexEntry& e : entries) {
    if (list.size() >= kMaxSegments) break;
    const int64_t ts = e.timestamp;
    if (ts - current.end > kSegmentGapMs) {
      if (current.start != current.end) list.push_back(current);
      current.start = ts;
    }
    current.end = ts;
  }
  list.push_back(current);
  return list;
}

void FlvReadBufferForTest(size_t bytes) { g_bufferSize = bytes == 0 ? kEditBufferSize : bytes; }

// ---- Editing ----

namespace {

// The three files and the copy state of one editing operation. Records are
// copied from the sources' read buffers with their back pointer and
// timestamp patched in place, so the output is written in large pieces.
struct Edit {
  File base;
  File rec;
  File out;
  TagReader baseTags;  // reads `base` while it is open
  TagReader recTags;
  TagReader* pending = nullptr;  // the source whose span the output waits for
  uint32_t lastRecordSize = 0;   // data size + 11 of the tag written last
  bool failed = false;           // a read or write failed: the output is incomplete
  // Per track (0 audio, 1 video): the timestamp written last, once one was.
  uint32_t lastOut[2] = {0, 0};
  bool trackSeen[2] = {false, false};
};

// The next tag of a source, its whole record in the buffer. A tag whose data
// runs past the end of its file ends that source: its size is not trusted to
// size a copy.
bool NextTag(Edit* e, TagReader* src, FlvTagHeader* h) {
  const TagRead got = src->Peek(h, true);
  if (src->WriteFailed() || src->ReadFailed()) e->failed = true;
  if (got == TagRead::kCut) {
    errno = 0;
    REPORT_ASSERT("header.dataSize <= remaining", "RtmpFile");
    src->Stop();
  }
  return got == TagRead::kTag && !e->failed;
}

// Copies the tag just peeked, with a new timestamp and a back pointer that
// fits what the output holds.
bool CopyTag(Edit* e, TagReader* src, const FlvTagHeader& h, uint32_t timestamp) {
  if (e->pending != src) {
    if (e->pending != nullptr && !e->pending->Flush()) {
      e->failed = true;
      return false;
    }
    e->pending = src;
  }
  // A track never goes back in time, also where the sources meet: a tag
  // stamped out of order in its source (an encoder's end-of-sequence marker
  // stamped before its last audio lands among the other source's tags) is
  // written at its track's last timestamp.
  if (h.type == kFlvTagAudio || h.type == kFlvTagVideo) {
    const int track = h.type == kFlvTagVideo ? 1 : 0;
    if (e->trackSeen[track] && timestamp < e->lastOut[track]) timestamp = e->lastOut[track];
    e->trackSeen[track] = true;
    e->lastOut[track] = timestamp;
  }
  PatchTagHeader(src->Record(), e->lastRecordSize, timestamp);
  src->Take(kFlvTagHeaderSize + h.dataSize);
  e->lastRecordSize = h.dataSize + uint32_t(kFlvTagFieldsSize);
  return true;
}

// Passes over the tag just peeked.
bool SkipTag(Edit* e, TagReader* src, const FlvTagHeader& h) {
  if (src->Skip(int64_t{kFlvTagHeaderSize} + h.dataSize)) return true;
  e->failed = src->WriteFailed() || src->ReadFailed();
  return false;
}

// Opens the files and copies the recording's header; false leaves no output
// worth keeping. Sets *duration to the recording's last tag's timestamp; the
// copy raises it to the latest timestamp of any of its tags, since the last
// tag need not be the latest (FFmpeg ends with an end-of-sequence marker
// stamped before its last audio).
bool BeginEdit(Edit* e, const char* basePath, const char* recordingPath, const char* outputPath,
               uint32_t* duration) {
  if (!FileExists(recordingPath)) return false;
  // The output is created afresh: it must not be one of the inputs.
  const std::string output = FileSystemPath(outputPath);
  if (output == FileSystemPath(recordingPath) ||
      (basePath != nullptr && output == FileSystemPath(basePath))) {
    errno = 0;
    REPORT_ASSERT("output differs from base and recording", "RtmpFile");
    return false;
  }
  // The output is written from its start; a leftover longer file would keep
  // stale bytes after it. It is emptied, not deleted: the caller may have
  // created it exclusively to hold the name. An empty one is left alone: on
  // ext4 a truncation to 0 makes the close flush the whole new file.
  if (!e->out.Open(outputPath, true) || (e->out.Size() != 0 && ftruncate(e->out._handle, 0) != 0))
    return false;
  if (basePath != nullptr && FileExists(basePath)) {
    if (!e->base.Open(basePath, false)) return false;
    // A base too short to hold a header has no tags to keep.
    if (e->base.Size() < int64_t{kFlvHeaderSize} || !e->baseTags.Start(&e->base, kFlvHeaderSize, &e->out))
      e->base.Close();
  }
  if (!e->rec.Open(recordingPath, false)) return false;
  uint8_t header[kFlvHeaderSize];
  if (!e->rec.Read(header, sizeof header) || !e->out.Write(header, sizeof header)) return false;
  *duration = LastTimestamp(&e->rec);
  return e->recTags.Start(&e->rec, kFlvHeaderSize, &e->out);
}

bool EndEdit(Edit* e) {
  const bool ok = !e->failed && (e->pending == nullptr || e->pending->Flush()) &&
                  e->out.WriteU32(e->lastRecordSize);
  e->out.Close();
  e->base.Close();
  e->rec.Close();
  return ok;
}

// A half-written output is removed, so that nobody mistakes it for a result.
bool DropOutput(Edit* e, const char* outputPath) {
  if (e->out.IsOpen()) {
    e->out.Close();
    FileDelete(outputPath);
  }
  return false;
}

}  // namespace

bool InsertRecording(const char* basePath, uint32_t startMs, const char* recordingPath,
                     const char* outputPath) {
  Edit e;
  uint32_t duration = 0;
  if (!BeginEdit(&e, basePath, recordingPath, outputPath, &duration))
    return DropOutput(&e, outputPath);
  const uint64_t start = startMs;
  uint64_t cursor = 0;
  bool recordingDone = false;
  FlvTagHeader h;
  while (!e.failed) {
    // The base up to the start. A tag after it stays where it is, read
    // again below.
    while (!e.failed && cursor < start && e.base.IsOpen()) {
      if (!NextTag(&e, &e.baseTags, &h)) {
        cursor = start;
      } else if (h.timestamp > startMs) {
        cursor = start;
      } else if (CopyTag(&e, &e.baseTags, h, h.timestamp)) {
        cursor = h.timestamp;
      }
    }
    // All of the recording, shifted to the start. It is read to its end, not
    // only until a tag reaches start + duration: tags sharing or following
    // the last timestamp would be lost, and one whose last timestamp is 0
    // would be lost whole. One cut short before its last timestamp does not
    // cost the base its tail.
    while (!e.failed && !recordingDone) {
      if (!NextTag(&e, &e.recTags, &h)) {
        recordingDone = true;
      } else {
        duration = std::max(duration, h.timestamp);
        if (CopyTag(&e, &e.recTags, h, uint32_t(h.timestamp + start))) cursor = h.timestamp + start;
      }
    }
    // The rest of the base, shifted by the recording's length: after its
    // latest tag, whichever track that was.
    if (e.failed || !e.base.IsOpen() || !NextTag(&e, &e.baseTags, &h)) break;
    if (CopyTag(&e, &e.baseTags, h, uint32_t(h.timestamp + duration)))
      cursor = uint64_t(h.timestamp) + duration;
  }
  if (EndEdit(&e)) return true;
  FileDelete(outputPath);
  return false;
}

bool OverwriteRecording(const char* basePath, uint32_t startMs, const char* recordingPath,
                        const char* outputPath) {
  Edit e;
  uint32_t duration = 0;
  if (!BeginEdit(&e, basePath, recordingPath, outputPath, &duration))
    return DropOutput(&e, outputPath);
  const uint64_t start = startMs;
  // Where the base goes on: after the recording's latest tag, known once it
  // is copied (the base is read on only then).
  uint64_t end = start + duration;
  uint64_t cursor = e.base.IsOpen() ? 0 : start;
  bool begun = false;
  // Once the cursor reaches the start, the recording is copied to its end.
  // Testing start <= cursor < end instead would never end for a last
  // timestamp of 0 (a base tag after the start stepped back and read again
  // for ever) and would drop the recording's tags that share or follow its
  // last timestamp.
  bool recordingDone = false;
  FlvTagHeader h;
  while (!e.failed) {
    if (!recordingDone && cursor >= start) {
      begun = true;
      if (!NextTag(&e, &e.recTags, &h)) {
        recordingDone = true;
        cursor = std::max(cursor, end);
      } else {
        end = std::max(end, start + h.timestamp);
        if (CopyTag(&e, &e.recTags, h, uint32_t(h.timestamp + start))) cursor = uint64_t(h.timestamp) + start;
      }
      continue;
    }
    if (!e.base.IsOpen()) break;
    if (!NextTag(&e, &e.baseTags, &h)) {
      if (e.failed || cursor >= start) break;
      cursor = start;
      continue;
    }
    if (!begun) {
      // A tag after the start stays where it is, read again after the
      // recording.
      if (h.timestamp > startMs) {
        cursor = start;
        continue;
      }
    } else if (h.timestamp < end) {
      if (!SkipTag(&e, &e.baseTags, h)) break;
      continue;
    }
    if (CopyTag(&e, &e.baseTags, h, h.timestamp)) cursor = h.timestamp;
  }
  if (EndEdit(&e)) return true;
  FileDelete(outputPath);
  return false;
}

// ---- Naming rules ----

namespace {

bool Format(PathText& out, const char* format, ...) STRMD_PRINTF(2, 3);
bool Format(PathText& out, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int n = vsnprintf(out, kTextSize, format, args);
  va_end(args);
  // A path cut to fit would name another file.
  if (n < 0 || size_t(n) >= kTextSize) {
    out[0] = '\0';
    return false;
  }
  return true;
}

bool Refuse(PathText& out) {
  out[0] = '\0';
  return false;
}

const char* Text(const char* s) { return s != nullptr ? s : ""; }

// Any client may change the rows these names come from (the model
// commands), so a name that could reach outside its folder is reported and
// nothing is opened, read or created for it.
bool RefuseName(PathText& out, const char* what, const char* name) {
  errno = 0;
  ReportError("Refused the %s \"%s\" from the database: it is empty, absolute (or, for a folder, "
              "not absolute), a web address or leads out of its folder",
              what, Text(name));
  return Refuse(out);
}

// A site folder that names files below it. An empty one would turn every
// name below it into an absolute path.
bool SiteFolderIsSet(const char* folder, const char* what) {
  if (folder != nullptr && folder[0] != '\0') return true;
  errno = 0;
  ReportError("The site has no %s folder: no file below it is opened", what);
  return false;
}

}  // namespace

bool PathPartIsConfined(std::string_view part) {
  if (part.empty() || part.find('\0') != std::string_view::npos) return false;
  // Absolute in either notation: "/x", "\\srv\x", "C:\x" (or "C:x", relative
  // to a drive's own folder).
  if (part[0] == '/' || part[0] == '\\' || (part.size() > 1 && part[1] == ':')) return false;
  for (size_t start = 0; start <= part.size();) {
    const size_t stop = std::min(part.find_first_of("/\\", start), part.size());
    const std::string_view component = part.substr(start, stop - start);
    if (component == "..") return false;
    // The last part must name a file: "", "." or "x/" name the folder itself.
    if (stop == part.size() && (component.empty() || component == ".")) return false;
    start = stop + 1;
  }
  return true;
}

bool StreamNameIsSafe(std::string_view name) {
  return !name.empty() && name.find('/') == std::string_view::npos &&
         name.find('\\') == std::string_view::npos && name.find("..") == std::string_view::npos;
}

bool SessionRecordingPath(PathText& out, const char* temp, const char* phpsessid,
                          const char* streamName) {
  if (!StreamNameIsSafe(Text(phpsessid)) || !StreamNameIsSafe(Text(streamName))) return Refuse(out);
  return Format(out, "%s\\phpsessid=%s&%s.flv", Text(temp), phpsessid, streamName);
}

bool FinishedRecordingPath(PathText& out, const char* temp, const char* phpsessid,
                           int32_t questionId, int32_t bookmarkId) {
  if (!StreamNameIsSafe(Text(phpsessid))) return Refuse(out);
  if (questionId != 0)
    return Format(out, "%s\\phpsessid=%s&questionid=%d.flv", Text(temp), phpsessid, questionId);
  if (bookmarkId != 0)
    return Format(out, "%s\\phpsessid=%s&bookmarkid=%d.flv", Text(temp), phpsessid, bookmarkId);
  return Format(out, "%s\\phpsessid=%s.flv", Text(temp), phpsessid);
}

bool EditOutputPath(PathText& out, const char* temp, const char* phpsessid, uint32_t number) {
  if (!StreamNameIsSafe(Text(phpsessid))) return Refuse(out);
  return Format(out, "%s/phpsessid=%s&temp=%08x.flv", Text(temp), phpsessid, number);
}

bool IndexPathOf(PathText& out, const char* flvPath) {
  return Format(out, "%s%s", Text(flvPath), kIndexSuffix);
}

bool ObjectIndexPath(PathText& out, const char* cache, int32_t objectId) {
  return Format(out, "%s\\%d.flv%s", Text(cache), objectId, kIndexSuffix);
}

bool RenditionPath(PathText& out, const char* cache, const char* fileName, int32_t status) {
  if (status != 3) {
    out[0] = '\0';
    return true;
  }
  if (!PathPartIsConfined(Text(fileName))) return RefuseName(out, "rendition file name", fileName);
  if (!SiteFolderIsSet(cache, "cache")) return Refuse(out);
  return Format(out, "%s/%s", cache, fileName);
}

bool ObjectPicturePath(PathText& out, const char* files, int32_t objectId) {
  return Format(out, "%s/object-%d.png", Text(files), objectId);
}

bool ObjectPictureAddress(PathText& out, int32_t objectId) {
  return Format(out, "/contents/object-%d.png", objectId);
}

bool ThumbnailFolderPath(PathText& out, const char* cache, int32_t objectId) {
  return Format(out, "%s\\thumbnails-%d", Text(cache), objectId);
}

bool ObjectFilePath(PathText& out, const char* files, int32_t storageKind, const char* pathname,
                    int32_t folderImportId, const char* importFolder) {
  const char* name = Text(pathname);
  if (folderImportId != 0) {
    if (importFolder == nullptr) {
      errno = 0;
      REPORT_ASSERT("fi", "WsContentHelper");
      return Refuse(out);
    }
    if (!PathPartIsConfined(name)) return RefuseName(out, "imported object's file name", name);
    // A web import's objects lie in the files folder; any other import's in
    // its own folder, the root of their names. That folder must be absolute:
    // a relative one ("imports", "HTTP://host", "https://host") would be
    // taken from the server's working folder, outside every site.
    if (strncmp(importFolder, "http://", 7) == 0) {
      if (!SiteFolderIsSet(files, "files")) return Refuse(out);
      return Format(out, "%s\\%s", files, name);
    }
    if (importFolder[0] != '/' && importFolder[0] != '\\')
      return RefuseName(out, "import folder", importFolder);
    return Format(out, "%s\\%s", importFolder, name);
  }
  if (storageKind != 1) return Format(out, "%s", Text(files));
  // An absolute name or a web address would be opened as given: outside the
  // files folder, or not a file at all.
  if (strncmp(name, "http://", 7) == 0 || !PathPartIsConfined(name))
    return RefuseName(out, "object's file name", name);
  if (!SiteFolderIsSet(files, "files")) return Refuse(out);
  return Format(out, "%s\\%s", files, name);
}

bool IsFlvFileName(const char* pathname) {
  const char* name = Text(pathname);
  const char* dot = strrchr(name, '.');
  if (dot == nullptr || dot == name) return false;
  return strcasecmp(dot, ".flv") == 0;
}
