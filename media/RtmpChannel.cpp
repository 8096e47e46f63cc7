#include "media/RtmpChannel.h"

#include <speex/speex.h>
#include <speex/speex_bits.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "chat/RtmpChat.h"
#include "chat/RtmpChatStatus.h"
#include "connection/RtmpConnection.h"
#include "media/RtmpStream.h"
#include "rtmp/RtmpUtils.h"
#include "server/Log.h"

namespace {

// Speex's bit reader holds up to this many bytes; one wideband frame is far
// smaller, and only the first frame of a message is decoded.
constexpr uint32_t kSpeexMaxInput = 2000;

std::atomic<ChannelClock> g_clock{nullptr};

uint64_t EnvNumber(const char* name, uint64_t fallback, uint64_t max) {
  const char* text = getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  char* end = nullptr;
  unsigned long long value = strtoull(text, &end, 10);
  return end != text && *end == '\0' && value > 0 && value <= max ? value : fallback;
}

bool SameChannel(const RtmpStream* a, const RtmpStream* b) REQUIRES(g_streams.lock) {
  return a->site == b->site && a->connection != b->connection && a->fileid == b->fileid &&
         a->userid == b->userid && a->channel == b->channel;
}

void DestroyPacket(void* item) { RtmpPacketDestroy(static_cast<RtmpPacket*>(item)); }

// Drops the player's whole queue, counted, and makes it start again at a
// key frame with full headers.
void DropQueue(RtmpStreamOut& out) REQUIRES(out.queue.lock) {
  out.dropped += out.queue.count;
  ListRemoveAll(&out.queue, DestroyPacket);
  out.queued = 0;
  out.queueBytes = 0;
  out.waitingForKeyFrame = true;
  out.firstVideoPending = true;
  out.firstAudioPending = true;
}

// Whether a video message that a player waits a key frame for may go out:
// the key frame of codecs 2, 3 and 7 (Sorenson, screen video, H.264), or a
// message of another codec, whose key frames we cannot tell.
bool EndsKeyFrameWait(const RtmpPacket* packet) {
  const uint8_t first = packet->m_body[0];
  const uint8_t codec = first & 0x0F;
  const uint8_t frameType = first >> 4;
  if (codec != 2 && codec != 3 && codec != 7) return true;
  return frameType == 1;
}

// The range of one decoded frame; 0 (quiet) when the message holds no whole
// frame or the decoder refuses it.
int FrameRange(RtmpStream* publisher, const RtmpPacket* packet) {
  auto* bits = static_cast<SpeexBits*>(publisher->input.speexBits);
  void* decoder = publisher->input.speexDecoder;
  if (bits == nullptr || decoder == nullptr || packet->m_nBodySize < 2) return 0;
  const uint32_t size = std::min(packet->m_nBodySize - 1, kSpeexMaxInput);
  // The reader copies the bytes: it never reads the body past `size`.
  speex_bits_read_from(bits, reinterpret_cast<char*>(packet->m_body + 1), static_cast<int>(size));
  spx_int16_t samples[kSpeexFrameSamples] = {};
  if (speex_decode_int(decoder, bits, samples) != 0) return 0;
  // A frame cut short: the decoder ran out of bits and made up the rest.
  if (speex_bits_remaining(bits) < 0) return 0;
  int maximum = 0, minimum = 0;
  for (spx_int16_t s : samples) {
    maximum = std::max<int>(maximum, s);
    minimum = std::min<int>(minimum, s);
  }
  return maximum - minimum;
}

}  // namespace

ChannelLimits& ChannelSettings() {
  static ChannelLimits limits = [] {
    ChannelLimits l;
    l.queueBytes = EnvNumber("STRMD_RELAY_QUEUE_BYTES", kRelayQueueBytes, uint64_t{1} << 40);
    l.stallMs = static_cast<uint32_t>(EnvNumber("STRMD_RELAY_STALL_MS", kRelayStallMs, INT_MAX));
    l.hangMs = static_cast<uint32_t>(EnvNumber("STRMD_VOICE_HANG_MS", kVoiceHangMs, INT_MAX));
    return l;
  }();
  return limits;
}

void ChannelSetClock(ChannelClock clock) { g_clock = clock; }

uint32_t ChannelNow() {
  ChannelClock clock = g_clock.load();
  return clock ? clock() : TickCount();
}

void ChannelSetIdentity(RtmpStream* stream, int32_t fileid, int32_t userid, int32_t channel) {
  ListLock guard(g_streams.lock);
  stream->fileid = fileid;
  stream->userid = userid;
  stream->channel = channel;
}

void SubscribePlayer(RtmpStream* player) {
  ListLock guard(g_streams.lock);
  for (ListNode* n = g_streams.first; n != nullptr; n = n->next) {
    auto* publisher = static_cast<RtmpStream*>(n->item);
    if (publisher == player || !publisher->publishing || !SameChannel(publisher, player)) continue;
    ListLock list(publisher->input.subscribers.lock);
    if (ListFind(&publisher->input.subscribers, player) != nullptr) continue;
    ListAddTail(&publisher->input.subscribers, player);
    return;
  }
}

void CollectPlayers(RtmpStream* publisher) {
  ListLock guard(g_streams.lock);
  ListLock list(publisher->input.subscribers.lock);
  for (ListNode* n = g_streams.first; n != nullptr; n = n->next) {
    auto* player = static_cast<RtmpStream*>(n->item);
    if (player == publisher || !player->playing || !SameChannel(player, publisher)) continue;
    if (ListFind(&publisher->input.subscribers, player) == nullptr)
      ListAddTail(&publisher->input.subscribers, player);
  }
}

void UnsubscribePlayer(RtmpStream* player) {
  ListLock guard(g_streams.lock);
  player->playing = false;
  // Every stream, not only those publishing now: a publisher that stopped
  // and publishes again must not find a player freed meanwhile.
  for (ListNode* n = g_streams.first; n != nullptr; n = n->next) {
    auto* publisher = static_cast<RtmpStream*>(n->item);
    if (publisher == player || publisher->site != player->site) continue;
    ListLock list(publisher->input.subscribers.lock);
    if (ListNode* node = ListFind(&publisher->input.subscribers, player))
      ListRemoveNode(&publisher->input.subscribers, node);
  }
}

void ChannelStopPublishing(RtmpStream* publisher) {
  ListLock guard(g_streams.lock);
  publisher->publishing = false;
  ListLock list(publisher->input.subscribers.lock);
  ListRemoveAll(&publisher->input.subscribers, nullptr);
}

bool PrepareSpeex(RtmpStream* publisher) {
  ReleaseSpeex(publisher);
  RtmpStreamIn& in = publisher->input;
  in.nonSpeexReported = in.noSpeakerReported = false;
  const SpeexMode* mode = speex_lib_get_mode(SPEEX_MODEID_WB);
  void* decoder = mode ? speex_decoder_init(mode) : nullptr;
  if (decoder == nullptr) {
    REPORT_ASSERT("speexDecoder", "RtmpChannel");
    return false;
  }
  int enhancement = 0;
  speex_decoder_ctl(decoder, SPEEX_SET_ENH, &enhancement);
  auto* bits = new SpeexBits;
  speex_bits_init(bits);
  in.speexBits = bits;
  in.speexDecoder = decoder;
  return true;
}

void ReleaseSpeex(RtmpStream* publisher) {
  RtmpStreamIn& in = publisher->input;
  if (auto* bits = static_cast<SpeexBits*>(in.speexBits)) {
    speex_bits_destroy(bits);
    delete bits;
  }
  if (in.speexDecoder != nullptr) speex_decoder_destroy(in.speexDecoder);
  in.speexBits = nullptr;
  in.speexDecoder = nullptr;
}

bool DetectVoice(RtmpStream* publisher, const RtmpPacket* packet, uint32_t now) {
  RtmpStreamIn& in = publisher->input;
  // Both refusals would come with every audio message of the publisher: one
  // report per publish.
  if (packet->m_nBodySize == 0 || packet->m_body[0] != kSpeex16TagHeader) {
    if (!in.nonSpeexReported) REPORT_ASSERT("(unsigned char)packet->m_body[0] == SPEEX16_TAG_HEADER", "RtmpStreamIn");
    in.nonSpeexReported = true;
    return false;
  }
  // Decoded before the chat lock is taken: the decoder is the publisher's.
  const bool loud = FrameRange(publisher, packet) > kVoiceLoudRange;
  // The speaker's own update goes out after the room lock is released.
  ChatOutbox outbox(publisher->connection);
  ChatOwnRoom guard;
  if (!ChatLockOwnRoom(publisher->connection, &guard)) {
    if (!in.noSpeakerReported) REPORT_ASSERT("stream->connection->liveuser", "RtmpStreamIn");
    in.noSpeakerReported = true;
    return false;
  }
  guard.Held();
  LiveUser* speaker = guard.member;
  speaker->livechat->members.lock.AssertHeld();  // the guard's
  if (!speaker->activeaudio) return false;
  if (loud) {
    if (!speaker->talking) {
      if (!speaker->talkover) {
        for (ListNode* n = guard.room->members.first; n != nullptr; n = n->next) {
          auto* other = static_cast<const LiveUser*>(n->item);
          other->livechat->members.lock.AssertHeld();  // the guard's room
          if (other != speaker && other->talking) return false;
        }
      }
      speaker->talking = 1;
      BroadcastMember(guard.room, false, speaker, &outbox);
    }
    speaker->lastloud = now;
    return true;
  }
  if (speaker->talking && now - speaker->lastloud > ChannelSettings().hangMs) {
    speaker->talking = 0;
    BroadcastMember(guard.room, false, speaker, &outbox);
  }
  return speaker->talking != 0;
}

void RelayMedia(RtmpStream* publisher, const RtmpPacket* packet) {
  if (packet->m_nBodySize == 0) return;
  const uint32_t now = ChannelNow();
  if (packet->m_nMessageType == kRtmpMsgAudio && !DetectVoice(publisher, packet, now)) return;
  List& subscribers = publisher->input.subscribers;
  ListLock guard(subscribers.lock);
  for (ListNode* n = subscribers.first; n != nullptr; n = n->next) {
    auto* player = static_cast<RtmpStream*>(n->item);
    if (player->playing && !player->output.paused) EnqueueRelayed(player, packet, now);
  }
}

bool EnqueueRelayed(RtmpStream* player, const RtmpPacket* packet, uint32_t now) {
  RtmpStreamOut& out = player->output;
  const ChannelLimits& limits = ChannelSettings();
  const bool video = packet->m_nMessageType == kRtmpMsgVideo;
  bool wake = false;
  bool queued = false;
  {
    ListLock guard(out.queue.lock);
    SocketBuffer& sockbuf = player->rtmp->sockbuf;
    bool accept = !sockbuf.overflowed && !sockbuf.failed;
    if (accept && out.queue.first != nullptr) {
      const auto* oldest = static_cast<const RtmpPacket*>(out.queue.first->item);
      const int32_t lag = static_cast<int32_t>(packet->m_nTimestamp - oldest->m_nTimestamp);
      if (now - out.waitingSince > limits.stallMs) {
        // Nothing has left for the stall period: the player has stopped
        // reading. Its own thread closes it; the others go on.
        DropQueue(out);
        sockbuf.overflowed = true;
        wake = true;
        accept = false;
      } else if (out.queueBytes + packet->m_nBodySize > limits.queueBytes) {
        DropQueue(out);
      } else if (!video && lag > kAudioLagMs) {
        DropQueue(out);
      } else if (video && lag > kVideoLagMs) {
        out.waitingForKeyFrame = true;
        out.firstVideoPending = true;
        accept = false;
      }
    }
    if (accept && video && out.waitingForKeyFrame) {
      if (EndsKeyFrameWait(packet))
        out.waitingForKeyFrame = false;
      else
        accept = false;
    }
    if (!accept) {
      out.dropped++;
    } else if (RtmpPacket* copy = RtmpPacketClone(
                   packet, {player->id, player->audioChannel, player->videoChannel, player->dataChannel})) {
      const bool wasEmpty = out.queue.first == nullptr;
      ListAddTail(&out.queue, copy);
      out.queued = out.queue.count;
      out.queueBytes += copy->m_nBodySize;
      if (wasEmpty) {
        out.waitingSince = now;
        wake = true;
      }
      queued = true;
    } else {
      REPORT_ASSERT("buffer", "RtmpUtils");
    }
  }
  // A queue that already held packets has its wake on the way: the player's
  // thread sends until it is empty.
  if (wake) RtmpConnectionWake(player->connection);
  return queued;
}
