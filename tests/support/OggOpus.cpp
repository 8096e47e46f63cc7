#include "support/OggOpus.h"

#include <cstring>

#include "support/FlvBuilder.h"

namespace {

uint32_t OggCrc(std::span<const uint8_t> bytes) {
  uint32_t crc = 0;
  for (uint8_t b : bytes) {
    crc ^= uint32_t{b} << 24;
    for (int i = 0; i < 8; ++i) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
  }
  return crc;
}

void PutLe(std::vector<uint8_t>& out, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(uint8_t(v >> (8 * i)));
}

// One page holding one whole packet.
void Page(std::vector<uint8_t>& out, uint8_t flags, uint64_t granule, uint32_t sequence,
          std::span<const uint8_t> packet) {
  std::vector<uint8_t> page = {'O', 'g', 'g', 'S', 0, flags};
  PutLe(page, granule, 8);
  PutLe(page, 0x5354524Du, 4);  // serial
  PutLe(page, sequence, 4);
  PutLe(page, 0, 4);  // checksum, filled below
  std::vector<uint8_t> lacing(packet.size() / 255, 255);
  lacing.push_back(uint8_t(packet.size() % 255));
  page.push_back(uint8_t(lacing.size()));
  page.insert(page.end(), lacing.begin(), lacing.end());
  page.insert(page.end(), packet.begin(), packet.end());
  const uint32_t crc = OggCrc(page);
  for (int i = 0; i < 4; ++i) page[22 + i] = uint8_t(crc >> (8 * i));
  out.insert(out.end(), page.begin(), page.end());
}

}  // namespace

bool WriteOggOpusForTest(const std::string& path, uint16_t preSkip,
                         const std::vector<std::vector<uint8_t>>& packets) {
  std::vector<uint8_t> head = {'O', 'p', 'u', 's', 'H', 'e', 'a', 'd', 1, 1};
  PutLe(head, preSkip, 2);
  PutLe(head, 16000, 4);
  PutLe(head, 0, 3);  // gain, mapping family
  std::vector<uint8_t> tags = {'O', 'p', 'u', 's', 'T', 'a', 'g', 's'};
  PutLe(tags, 4, 4);
  tags.insert(tags.end(), {'t', 'e', 's', 't'});
  PutLe(tags, 0, 4);
  std::vector<uint8_t> out;
  uint32_t sequence = 0;
  Page(out, 2, 0, sequence++, head);
  Page(out, 0, 0, sequence++, tags);
  uint64_t granule = 0;
  for (size_t i = 0; i < packets.size(); ++i) {
    granule += 960;  // 20 ms at 48 kHz
    Page(out, i + 1 == packets.size() ? 4 : 0, granule, sequence++, packets[i]);
  }
  return WriteWholeFile(path, out);
}
