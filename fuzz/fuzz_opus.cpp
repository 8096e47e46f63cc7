// Speex bodies to Opus through a live channel, as the relay feeds it: every
// body either becomes whole CodedFrames messages or is refused with nothing
// made, and the channel's timestamps never go back.
//
// Input: byte 0 the milliseconds between messages (times 4); then bodies,
// each behind a two-byte big-endian length, in one allocation of exactly that
// size so that a read past a body is caught. A length with the top bit set
// asks for a gap fill at that point instead of a body.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "FuzzCommon.h"
#include "media/OpusAudio.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  OpusChannelPtr channel = OpusChannelMake();
  FUZZ_CHECK(channel != nullptr);
  const uint32_t step = uint32_t{data[0]} * 4;
  uint32_t now = 1000;
  uint32_t last = 0;
  bool started = false;
  size_t at = 1;
  while (at + 2 <= size) {
    const size_t word = size_t{data[at]} << 8 | data[at + 1];
    at += 2;
    now += step;
    std::vector<OpusMessage> out;
    if (word & 0x8000) {
      const size_t made = OpusChannelFillGap(*channel, now, &out);
      FUZZ_CHECK(made == out.size() && made <= kOpusMaxGapFrames);
      if (!started) FUZZ_CHECK(made == 0);
    } else {
      const size_t length = std::min(word, size - at);
      std::unique_ptr<uint8_t[]> body(new uint8_t[length]);
      if (length > 0) std::memcpy(body.get(), data + at, length);
      at += length;
      const bool ok = OpusChannelFeed(*channel, now, std::span<const uint8_t>(body.get(), length), &out);
      if (!ok) FUZZ_CHECK(out.empty());
      if (ok) {
        FUZZ_CHECK(length > 1 && (body[0] >> 4) == 11);
        FUZZ_CHECK(out.size() >= (started ? 1u : 2u) && out.size() <= kOpusSpeexMaxFrames + 1);
        started = true;
      }
    }
    for (const OpusMessage& m : out) {
      FUZZ_CHECK(m.body.size() > 5 && std::memcmp(m.body.data() + 1, "Opus", 4) == 0);
      FUZZ_CHECK(m.body[0] == 0x90 || m.body[0] == 0x91);
      if (m.body[0] == 0x91) {
        FUZZ_CHECK(m.timestamp >= last || last - m.timestamp > 1000);
        last = m.timestamp;
      }
    }
  }
  return 0;
}
