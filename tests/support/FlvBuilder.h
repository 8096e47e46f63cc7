// Synthetic FLV files for tests, and an independent reader to check what the
// server wrote. The reader shares no code with the server's own, so a fault in
// one does not hide in the other.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

// Tag data written by the builder: byte 0 is the codec byte (0xAF audio, 0x17
// video key frame, 0x27 other video, 0x02 script), byte 1 the caller's mark
// (to tell where a copied tag came from), the rest a pattern.
class FlvBuilder {
 public:
  explicit FlvBuilder(uint8_t flags = 5);

  FlvBuilder& Audio(uint32_t timestamp, uint32_t size = 10, uint8_t mark = 0);
  FlvBuilder& Video(uint32_t timestamp, uint32_t size = 20, bool key = false, uint8_t mark = 0);
  FlvBuilder& Script(uint32_t timestamp, uint32_t size = 30);
  FlvBuilder& Tag(uint8_t type, uint32_t timestamp, uint32_t size, uint8_t first, uint8_t mark);
  // A tag with exactly these data bytes.
  FlvBuilder& Raw(uint8_t type, uint32_t timestamp, std::span<const uint8_t> data);
  // A last tag whose header claims `claimed` data bytes of which only
  // `present` follow; the file then has no final back pointer.
  FlvBuilder& CutTag(uint8_t type, uint32_t timestamp, uint32_t claimed, uint32_t present);
  // Video and audio every `stepMs` from 0 to `durationMs` inclusive, a key
  // frame every 2 s.
  FlvBuilder& Clip(uint32_t durationMs, uint8_t mark, uint32_t stepMs = 100);

  // Offset of each tag record (its back pointer), in order.
  const std::vector<uint64_t>& Offsets() const { return offsets_; }
  std::vector<uint8_t> Bytes() const;
  bool WriteTo(const std::string& path) const;

 private:
  std::vector<uint8_t> bytes_;
  std::vector<uint64_t> offsets_;
  uint32_t lastRecord_ = 0;
  bool cut_ = false;
};

struct FlvTestTag {
  uint64_t offset = 0;  // of the back pointer
  uint32_t backPointer = 0;
  uint8_t type = 0;
  uint32_t dataSize = 0;
  uint32_t timestamp = 0;
  uint32_t streamId = 0;
  std::vector<uint8_t> data;
};

struct FlvTestFile {
  uint8_t header[9] = {};
  std::vector<FlvTestTag> tags;
  uint32_t finalBackPointer = 0;
};

// Parses a whole FLV; false when its layout is broken (a tag running past the
// end, or bytes left that are not a final back pointer).
bool ReadFlvForTest(const std::string& path, FlvTestFile* out);

std::vector<uint8_t> ReadWholeFile(const std::string& path);
bool WriteWholeFile(const std::string& path, std::span<const uint8_t> bytes);
