#include "HevcClip.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

#include "FlvBuilder.h"

namespace {

bool HexToBytes(const std::string& hex, std::vector<uint8_t>* out) {
  if (hex.size() % 2 != 0) return false;
  out->clear();
  for (size_t i = 0; i < hex.size(); i += 2) out->push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return true;
}

// Any NAL unit of a random access type (16..23) makes the frame a key frame.
bool HasRandomAccessUnit(const std::vector<uint8_t>& frame) {
  size_t pos = 0;
  while (pos + 5 <= frame.size()) {
    const uint32_t n = uint32_t(frame[pos]) << 24 | uint32_t(frame[pos + 1]) << 16 | uint32_t(frame[pos + 2]) << 8 |
                       frame[pos + 3];
    const int type = (frame[pos + 4] >> 1) & 0x3f;
    if (type >= 16 && type <= 23) return true;
    pos += 4 + n;
  }
  return false;
}

}  // namespace

bool HevcClipAvailable() {
  return system("gst-inspect-1.0 x265enc > /dev/null 2>&1") == 0 &&
         system("gst-inspect-1.0 h265parse > /dev/null 2>&1") == 0;
}

bool MakeHevcClip(const std::string& dir, int seconds, HevcClip* clip) {
  *clip = HevcClip{};
  const std::string log = dir + "/hevc.log";
  const int frames = seconds * 25;
  std::string command = "timeout 60 gst-launch-1.0 -v videotestsrc num-buffers=" + std::to_string(frames) +
                        " pattern=smpte ! video/x-raw,width=320,height=240,framerate=25/1"
                        " ! x265enc key-int-max=25 speed-preset=ultrafast option-string=bframes=0"
                        " ! h265parse ! video/x-h265,stream-format=hvc1,alignment=au"
                        " ! multifilesink location='" + dir + "/hevc-%05d.bin' > '" + log + "' 2>&1";
  if (system(command.c_str()) != 0) return false;
  std::ifstream in(log);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string key = "codec_data=(buffer)";
  const size_t at = text.find(key);
  if (at == std::string::npos) return false;
  size_t end = at + key.size();
  while (end < text.size() && isxdigit(static_cast<unsigned char>(text[end]))) ++end;
  if (!HexToBytes(text.substr(at + key.size(), end - at - key.size()), &clip->config)) return false;
  for (int i = 0; i < frames; ++i) {
    char name[32];
    snprintf(name, sizeof name, "/hevc-%05d.bin", i);
    std::vector<uint8_t> frame = ReadWholeFile(dir + name);
    if (frame.empty()) return false;
    clip->key.push_back(HasRandomAccessUnit(frame));
    clip->frames.push_back(std::move(frame));
  }
  return !clip->config.empty();
}

std::vector<uint8_t> HevcClipFlv(const HevcClip& clip) {
  FlvBuilder flv(1);
  // Extended header: top bit, frame type in bits 4-6, packet type below,
  // then the FourCC.
  auto tag = [](uint8_t frameType, uint8_t packetType, size_t compositionBytes, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> data(5 + compositionBytes + payload.size(), 0);
    data[0] = static_cast<uint8_t>(0x80 | frameType << 4 | packetType);
    data[1] = 'h';
    data[2] = 'v';
    data[3] = 'c';
    data[4] = '1';
    std::copy(payload.begin(), payload.end(), data.begin() + long(5 + compositionBytes));
    return data;
  };
  flv.Raw(9, 0, tag(1, 0, 0, clip.config));
  for (size_t i = 0; i < clip.frames.size(); ++i) {
    // Key frames with a (zero) composition time, the others without it.
    flv.Raw(9, clip.TimeOf(i), clip.key[i] ? tag(1, 1, 3, clip.frames[i]) : tag(2, 3, 0, clip.frames[i]));
  }
  return flv.Bytes();
}
