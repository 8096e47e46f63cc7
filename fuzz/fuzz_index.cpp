// An ".index2" file's bytes through LoadIndex, then the searches playback
// makes over what it loaded.
#include "FuzzCommon.h"
#include "media/RtmpFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = FuzzScratchPath("media.flv.index2");
  if (!FuzzWriteFile(path, data, size)) return 0;
  std::vector<IndexEntry> entries;
  switch (LoadIndex(path.c_str(), &entries)) {
    case IndexLoad::kFailed:
    case IndexLoad::kEmpty:
      FUZZ_CHECK(entries.empty());
      return 0;
    case IndexLoad::kLoaded:
      break;
  }
  // No more entries than the file holds, each as its 16 bytes say.
  FUZZ_CHECK(!entries.empty());
  FUZZ_CHECK(kIndexCountSize + entries.size() * kIndexEntrySize <= size);
  for (size_t i = 0; i < entries.size(); ++i) {
    IndexEntry decoded = DecodeIndexEntry(data + kIndexCountSize + i * kIndexEntrySize);
    FUZZ_CHECK(decoded.offset == entries[i].offset && decoded.timestamp == entries[i].timestamp);
    uint8_t again[kIndexEntrySize];
    EncodeIndexEntry(entries[i], again);
    FUZZ_CHECK(DecodeIndexEntry(again).offset == entries[i].offset);
  }
  for (const IndexEntry& e : entries) FUZZ_CHECK(FindIndexEntry(entries, e.timestamp) < entries.size());
  FUZZ_CHECK(FindIndexEntry(entries, 0xFFFFFFFFu) < entries.size());
  FUZZ_CHECK(BuildSegments(entries).size() <= kMaxSegments + 1);
  return 0;
}
