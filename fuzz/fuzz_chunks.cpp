// The chunk reader over a whole session of bytes after the handshake, fed as
// the connection's loop feeds it: the read buffer receives pieces of the
// input (their sizes chosen by the first byte) and RtmpReadMessage runs after
// each, never waiting. Set-chunk-size messages change the reader's chunk size
// as the connection does, so any chunk size and every header type is reached;
// the other control messages (abort, acknowledgement, window, bandwidth, user
// control) pass through as the connection lets them.
//
// Checked: a complete message's body is exactly its announced size and is
// readable to its end (AddressSanitizer sees a read past it); partial bodies
// never hold more than they announced; the reader consumes what it is given
// or refuses the input, and refused input closes the connection; the
// per-connection and server-wide partial counts return to zero at teardown.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "FuzzCommon.h"
#include "rtmp/RtmpCore.h"
#include "rtmp/RtmpSocket.h"
#include "rtmp/RtmpUtils.h"

namespace {

// Appends bytes to the read buffer as SocketBufferReceive would.
size_t Feed(RtmpContext* r, const uint8_t* data, size_t size) {
  SocketBuffer& in = r->sockbuf;
  if (!SocketBufferReserve(&in, kSocketReadBufferSize)) return 0;
  std::memmove(in.buf, in.buf + in.start, static_cast<size_t>(in.size));
  in.start = 0;
  const size_t room = kSocketReadBufferSize - static_cast<size_t>(in.size);
  const size_t take = std::min(room, size);
  std::memcpy(in.buf + in.size, data, take);
  in.size += static_cast<int32_t>(take);
  return take;
}

uint32_t Be32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

// What the connection does with a complete message that the reader layer
// itself must survive: a valid set-chunk-size applies to both directions,
// an invalid one ends the connection.
bool Handle(RtmpContext* r, const RtmpPacket& packet) {
  FUZZ_CHECK(packet.m_nBytesRead == packet.m_nBodySize);
  FUZZ_CHECK(packet.m_nBodySize <= RtmpMessageSizeCap(packet.m_nMessageType));
  FUZZ_CHECK(packet.m_nBodySize == 0 || (packet.m_body != nullptr && packet.m_block));
  FUZZ_CHECK(packet.m_nChannel >= 2 && static_cast<uint32_t>(packet.m_nChannel) <= kRtmpMaxChannelId);
  // Every body byte is readable: the whole block was filled by the reader.
  uint8_t sum = 0;
  for (uint32_t i = 0; i < packet.m_nBodySize; ++i) sum = static_cast<uint8_t>(sum + packet.m_body[i]);
  (void)sum;
  if (packet.m_nMessageType == kRtmpMsgSetChunkSize) {
    const uint32_t value = packet.m_nBodySize >= 4 ? Be32(packet.m_body) : 0;
    if (packet.m_nBodySize < 4 || !RtmpChunkSizeValid(value)) {
      RtmpShutdown(r);
      return false;
    }
    FUZZ_CHECK(RtmpSetChunkSize(r, value));
    FUZZ_CHECK(r->inChunkSize == static_cast<int32_t>(value));
  }
  return true;
}

void CheckPartials(const RtmpContext& r) {
  uint64_t held = 0;
  FUZZ_CHECK(r.channelsIn.size() <= kRtmpMaxInChannels);
  for (const auto& [id, slot] : r.channelsIn) {
    const RtmpPacket& h = slot->header;
    FUZZ_CHECK(h.m_nBytesRead <= h.m_nBodySize);
    FUZZ_CHECK(slot->capacity <= h.m_nBodySize);
    if (h.m_block) {
      FUZZ_CHECK(h.m_nBytesRead <= slot->capacity);
      held += h.m_nBodySize;
    }
  }
  FUZZ_CHECK(held == r.partialBytes);
  FUZZ_CHECK(r.partialBytes <= kRtmpMaxPartialBytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // Byte 0: the size of the pieces the loop receives (1 .. 256, or all).
  const size_t piece = data[0] == 0 ? kSocketReadBufferSize : data[0];
  ++data;
  --size;
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return 0;
  const uint64_t serverBefore = RtmpPartialInputBytes();
  {
    RtmpContext context;
    if (RtmpContextInit(&context, fds[0])) {
      std::strcpy(context.address, "fuzz");
      RtmpPacket packet;
      size_t at = 0;
      bool open = true;
      while (open && at < size) {
        const size_t given = Feed(&context, data + at, std::min(piece, size - at));
        at += given;
        for (;;) {
          const int32_t before = context.sockbuf.size;
          const int res = RtmpReadMessage(&context, &packet);
          if (res < 0) {
            FUZZ_CHECK(RtmpSocketFd(&context) == -1);
            open = false;
            break;
          }
          if (res == 0) {
            // Need more: a header is kept whole only while it is shorter
            // than the longest header, bodies are always taken.
            FUZZ_CHECK(context.sockbuf.size < static_cast<int32_t>(kRtmpMaxHeaderSize));
            FUZZ_CHECK(context.sockbuf.size <= before);
            break;
          }
          open = Handle(&context, packet);
          RtmpPacketFree(&packet);
          if (!open) break;
        }
        if (open) CheckPartials(context);
        // The buffer is never full while a header is all it lacks.
        if (open && given == 0) FUZZ_CHECK(context.sockbuf.size < static_cast<int32_t>(kSocketReadBufferSize));
      }
      RtmpPacketFree(&packet);
    }
    RtmpContextFree(&context);
    FUZZ_CHECK(context.partialBytes == 0);
    RtmpShutdown(&context);
  }
  FUZZ_CHECK(RtmpPartialInputBytes() == serverBefore);
  close(fds[1]);
  return 0;
}
