#include "FuzzCommon.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "rtmp/Amf.h"
#include "rtmp/RtmpCore.h"
#include "rtmp/RtmpUtils.h"

namespace {

std::string g_folder;
std::vector<std::string> g_made;

// The folder goes with the process; libFuzzer ends a clean run through exit().
void RemoveScratch() {
  for (const std::string& path : g_made) unlink(path.c_str());
  rmdir(g_folder.c_str());
}

}  // namespace

std::string FuzzScratchPath(const char* name) {
  if (g_folder.empty()) {
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    g_folder = std::string(base) + "/strmd-fuzz-" + std::to_string(getpid());
    mkdir(g_folder.c_str(), 0700);
    atexit(RemoveScratch);
  }
  std::string path = g_folder + "/" + name;
  bool known = false;
  for (const std::string& made : g_made) known = known || made == path;
  if (!known) g_made.push_back(path);
  return path;
}

bool FuzzWriteFile(const std::string& path, const uint8_t* data, size_t size) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < size) {
    ssize_t n = write(fd, data + done, size - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(fd);
  return done == size;
}

std::vector<std::string> FuzzSplit(const uint8_t* data, size_t size, size_t parts) {
  std::vector<std::string> out(parts);
  size_t part = 0;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0 && part + 1 < parts) {
      ++part;
      continue;
    }
    if (data[i] != 0) out[part].push_back(static_cast<char>(data[i]));
  }
  return out;
}

int FuzzNextCommand(const uint8_t* data, size_t size, size_t* at, const char* const* names, size_t count,
                    RtmpPacket* packet) {
  if (*at + 3 > size) return -1;
  const int pick = static_cast<int>(data[*at] % count);
  size_t length = size_t{data[*at + 1]} << 8 | data[*at + 2];
  *at += 3;
  length = std::min(length, size - *at);
  std::vector<uint8_t> body(64 + length);
  uint8_t* p = AmfEncodeText(body.data(), body.data() + body.size(), names[pick]);
  p = AmfEncodeNumber(p, body.data() + body.size(), 9);
  FUZZ_CHECK(p != nullptr);
  *p++ = AMF_NULL;
  std::memcpy(p, data + *at, length);
  p += length;
  *at += length;

  packet->m_nBodySize = static_cast<uint32_t>(p - body.data());
  FUZZ_CHECK(RtmpPacketAlloc(packet, packet->m_nBodySize));
  std::memcpy(packet->m_body, body.data(), packet->m_nBodySize);
  packet->m_nBytesRead = packet->m_nBodySize;
  packet->m_nMessageType = kRtmpMsgCommandAmf0;
  return pick;
}
