#include "support/SpeexFrames.h"

#include <cmath>
#include <cstring>

SpeexFrames::SpeexFrames(int quality) {
  encoder_ = speex_encoder_init(&speex_wb_mode);
  if (quality >= 0) speex_encoder_ctl(encoder_, SPEEX_SET_QUALITY, &quality);
  speex_bits_init(&bits_);
}

SpeexFrames::~SpeexFrames() {
  speex_bits_destroy(&bits_);
  speex_encoder_destroy(encoder_);
}

std::vector<uint8_t> SpeexFrames::Next(bool loud) { return Tone(loud ? 8000 : 0); }

std::vector<uint8_t> SpeexFrames::Tone(int amplitude, int frames) {
  constexpr int kSamples = 320;  // one wideband frame
  spx_int16_t pcm[kSamples];
  speex_bits_reset(&bits_);
  for (int f = 0; f < frames; ++f) {
    for (int i = 0; i < kSamples; ++i, ++sample_)
      pcm[i] = static_cast<spx_int16_t>(amplitude * std::sin(2 * M_PI * 440 * sample_ / 16000.0));
    speex_encode_int(encoder_, pcm, &bits_);
  }
  std::vector<char> bytes(static_cast<size_t>(speex_bits_nbytes(&bits_)) + 1);
  int n = speex_bits_write(&bits_, bytes.data(), static_cast<int>(bytes.size()));
  // Sized first: inserting into a one-byte vector trips a false bounds
  // warning of the optimiser.
  std::vector<uint8_t> body(static_cast<size_t>(n) + 1);
  body[0] = 0xB2;
  memcpy(body.data() + 1, bytes.data(), static_cast<size_t>(n));
  return body;
}
