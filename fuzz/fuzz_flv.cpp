// An FLV file's bytes, as the file store meets a stored media file: the tag
// reader, BuildIndex and the index it writes, the last timestamp, and the
// two editing operations over a base and a recording.
//
// Input: byte 0 picks the case; for the editing operations byte 1 gives the
// share of the rest that is the base (the remainder is the recording) and
// bytes 2..5 the start time.
#include <unistd.h>

#include "FuzzCommon.h"
#include "media/RtmpFile.h"

namespace {

void IndexAndRead(const std::string& flvPath, size_t size) {
  const std::string indexPath = flvPath + kIndexSuffix;
  unlink(indexPath.c_str());
  uint32_t count = 0;
  const bool built = BuildIndex(flvPath.c_str(), indexPath.c_str(), &count);
  std::vector<IndexEntry> entries;
  IndexLoad load = LoadIndex(indexPath.c_str(), &entries);
  if (!built) {
    // Nothing half-written is left under the index's name.
    FUZZ_CHECK(access(indexPath.c_str(), F_OK) != 0);
  } else {
    FUZZ_CHECK(load == (count == 0 ? IndexLoad::kEmpty : IndexLoad::kLoaded));
    FUZZ_CHECK(entries.size() == count);
    uint64_t previous = 0;
    for (const IndexEntry& e : entries) {
      FUZZ_CHECK(e.type == kFlvTagAudio || e.type == kFlvTagVideo);
      // Each entry is a tag whose header lies inside the file, in file order.
      FUZZ_CHECK(e.offset >= kFlvHeaderSize && e.offset + kFlvTagHeaderSize <= size);
      FUZZ_CHECK(e.offset > previous || previous == 0);
      previous = e.offset;
    }
    if (!entries.empty()) {
      FUZZ_CHECK(FindIndexEntry(entries, entries.back().timestamp) < entries.size());
      FUZZ_CHECK(FindIndexEntry(entries, 0) < entries.size());
      FUZZ_CHECK(FindIndexEntry(entries, 0xFFFFFFFFu) < entries.size());
    }
    FUZZ_CHECK(BuildSegments(entries).size() <= kMaxSegments + 1);
  }

  // The tag reader on its own, as playback walks a file: every header it
  // accepts whose data fits is skipped, and nothing is read past the end.
  File flv;
  if (!flv.Open(flvPath.c_str(), false)) return;
  (void)LastTimestamp(&flv);
  if (!flv.SeekTo(kFlvHeaderSize)) return;
  FlvTagHeader header;
  while (ReadTagHeader(&flv, &header)) {
    FUZZ_CHECK(flv.Position() <= flv.Size());
    if (!TagDataFits(flv, header)) break;
    FUZZ_CHECK(flv.Position() + int64_t{header.dataSize} <= flv.Size());
    if (!flv.Skip(header.dataSize)) break;
  }
}

void Edit(const uint8_t* data, size_t size) {
  if (size < 6) return;
  const size_t baseSize = (size - 6) * data[1] / 255;
  const uint32_t startMs = (uint32_t{data[2]} << 24) | (uint32_t{data[3]} << 16) | (uint32_t{data[4]} << 8) | data[5];
  const std::string base = FuzzScratchPath("base.flv");
  const std::string recording = FuzzScratchPath("recording.flv");
  const std::string output = FuzzScratchPath("output.flv");
  if (!FuzzWriteFile(base, data + 6, baseSize) ||
      !FuzzWriteFile(recording, data + 6 + baseSize, size - 6 - baseSize))
    return;
  unlink(output.c_str());
  const bool ok = data[0] & 2 ? InsertRecording(base.c_str(), startMs, recording.c_str(), output.c_str())
                              : OverwriteRecording(base.c_str(), startMs, recording.c_str(), output.c_str());
  // A failed edit leaves no partial output; a finished one can be indexed.
  if (!ok) {
    FUZZ_CHECK(access(output.c_str(), F_OK) != 0);
    return;
  }
  File out;
  FUZZ_CHECK(out.Open(output.c_str(), false));
  const int64_t outSize = out.Size();
  out.Close();
  IndexAndRead(output, static_cast<size_t>(outSize));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  if (data[0] & 1) {
    Edit(data, size);
    return 0;
  }
  const std::string path = FuzzScratchPath("media.flv");
  if (!FuzzWriteFile(path, data + 1, size - 1)) return 0;
  IndexAndRead(path, size - 1);
  return 0;
}
