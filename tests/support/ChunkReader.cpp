#include "support/ChunkReader.h"

#include "rtmp/RtmpSocket.h"

int TestReadChunk(RtmpContext* r, RtmpPacket* packet) {
  for (;;) {
    const int res = RtmpReadChunk(r, packet);
    if (res == kRtmpReadChunk) return 1;
    if (res == kRtmpReadFailed) return 0;
    r->sockbuf.timedout = 0;
    if (SocketBufferRefill(&r->sockbuf, &r->sendLock) < 1) {
      if (!r->sockbuf.timedout) RtmpShutdown(r);
      return 0;
    }
  }
}
