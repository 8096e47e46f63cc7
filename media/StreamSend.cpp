#include "media/StreamSend.h"

#include "rtmp/RtmpCore.h"
#include "rtmp/RtmpUtils.h"
#include "util/Clock.h"
#include "util/Log.h"

namespace {

// The holder of the connection's serve lock, which alone may read the
// output queue's size without its lock.
bool SendQueueHeld(RtmpStream* stream) REQUIRES(stream->output.sending) {
  RtmpStreamOut& out = stream->output;
  for (;;) {
    // Above the watermark the rest waits here, where the live drop rules see
    // it, until the socket has taken what is queued.
    if (RtmpOutputAboveWatermark(stream->rtmp)) break;
    RtmpPacket* packet;
    {
      ListLock guard(out.queue.lock);
      if (out.queue.first == nullptr) break;
      packet = static_cast<RtmpPacket*>(out.queue.first->item);
      if (out.firstAudioPending && packet->m_nMessageType == kRtmpMsgAudio) {
        packet->m_nHeaderType = 0;
        out.firstAudioPending = false;
      } else if (out.firstVideoPending && packet->m_nMessageType == kRtmpMsgVideo) {
        packet->m_nHeaderType = 0;
        out.firstVideoPending = false;
      }
      ListRemoveNode(&out.queue, out.queue.first);
      out.queued = out.queue.count;
      out.queueBytes -= packet->m_nBodySize;
      // The next packet starts its wait (a live player that stops taking
      // packets is closed when it waited too long).
      out.waitingSince = LiveChannelNow();
    }
    // The queue lock is not held on the wire: a publisher may append meanwhile.
    int res = RtmpWriteMessage(stream->rtmp, packet);
    uint32_t size = packet->m_nBodySize;
    RtmpPacketDestroy(packet);
    if (!res) {
      REPORT_ASSERT("res", "StreamSend");
      return false;
    }
    ListLock guard(out.queue.lock);
    out.bytesOut += size + static_cast<uint32_t>(kRtmpMaxHeaderSize);
    // A file's position (a live player's has none).
    out.lastSent = out.lastQueued;
  }
  return true;
}

}  // namespace

bool SendQueue(RtmpStream* stream) {
  MutexLock lock(stream->output.sending);
  return SendQueueHeld(stream);
}
