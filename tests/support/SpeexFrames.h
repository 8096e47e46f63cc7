// Wideband Speex frames from libspeex's encoder for voice detection tests: a
// 440 Hz tone or silence, each with the FLV audio header byte of Speex.
#pragma once

#include <speex/speex.h>

#include <cstdint>
#include <vector>

class SpeexFrames {
 public:
  // quality: the encoder's SPEEX_SET_QUALITY, or -1 for its default.
  explicit SpeexFrames(int quality = -1);
  ~SpeexFrames();
  SpeexFrames(const SpeexFrames&) = delete;
  SpeexFrames& operator=(const SpeexFrames&) = delete;
  // One 320-sample frame: the tone when `loud`, else silence.
  std::vector<uint8_t> Next(bool loud);
  // `frames` frames of the tone at peak `amplitude` (0: silence) in one body.
  std::vector<uint8_t> Tone(int amplitude, int frames = 1);

 private:
  void* encoder_ = nullptr;
  SpeexBits bits_;
  long sample_ = 0;
};
