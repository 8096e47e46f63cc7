#include "media/FlvMedia.h"

#include "media/Flv.h"
#include "util/ByteOrder.h"

bool FlvReadVideoHeader(std::span<const uint8_t> data, FlvVideoHeader* header) {
  *header = FlvVideoHeader{};
  if (data.empty()) return false;
  const uint8_t first = data[0];
  if (first & kFlvVideoExtended) {
    if (data.size() < kFlvMediaPeekSize) return false;
    header->extended = true;
    header->frameType = (first >> 4) & 0x07;
    header->hasPacketType = true;
    header->packetType = first & 0x0F;
    header->fourCc = GetBe32(data.data() + 1);
    return true;
  }
  header->frameType = first >> 4;
  header->codecId = first & 0x0F;
  if (header->codecId == kFlvCodecAvc && data.size() >= 2) {
    header->hasPacketType = true;
    header->packetType = data[1];
  }
  return true;
}

bool FlvIsKeyFrame(std::span<const uint8_t> data, uint32_t dataSize) {
  FlvVideoHeader h;
  if (!FlvReadVideoHeader(data, &h)) return false;
  if (h.extended || h.codecId == kFlvCodecH263 || h.codecId == kFlvCodecAvc) {
    if (h.frameType != kFlvFrameKey) return false;
    if (!h.hasPacketType) return true;
    if (h.packetType == kFlvPacketSequenceStart || h.packetType == kFlvPacketSequenceEnd) return false;
    // Extended metadata and MPEG-2 TS sequence start carry no picture either.
    return !h.extended || (h.packetType != kFlvPacketMetadata && h.packetType != kFlvPacketMpeg2TsSequenceStart);
  }
  return dataSize > kFlvKeyFrameGuessSize;
}

bool FlvIsDecoderConfig(uint8_t tagType, std::span<const uint8_t> data) {
  if (tagType == kFlvTagAudio)
    return (data.size() >= 2 && (data[0] >> 4) == kFlvSoundAac && data[1] == 0) ||
           (data.size() >= 5 && data[0] == (kFlvSoundExtended << 4));
  if (tagType != kFlvTagVideo) return false;
  FlvVideoHeader h;
  if (!FlvReadVideoHeader(data, &h)) return false;
  return (h.extended || h.codecId == kFlvCodecAvc) && h.hasPacketType &&
         h.packetType == kFlvPacketSequenceStart;
}
