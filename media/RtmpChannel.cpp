#include "media/RtmpChannel.h"

#include <speex/speex.h>
#include <speex/speex_bits.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <span>
#include <utility>
#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "chat/RtmpChat.h"
#include "chat/RtmpChatStatus.h"
#include "client/Client.h"
#include "rtmp/RtmpFunctions.h"
#include "media/Flv.h"
#include "media/FlvMedia.h"
#include "media/RtmpStreamRecord.h"
#include "media/StreamSend.h"
#include "client/ClientLink.h"
#include "util/EventLoop.h"
#include "rtmp/RtmpFunctions.h"
#include "rtmp/RtmpUtils.h"
#include "util/Log.h"
#include "config/ServerConfig.h"
#include "util/Clock.h"
#include "util/EnvNumber.h"

namespace {

// Milliseconds from `since` to `now`, none when `since` is the later: a
// relay reads the clock once for all its players, and a send loop that
// served one of them meanwhile stamps it with a later time (taken
// unsigned, that would be a stall of 49 days).
uint32_t Elapsed(uint32_t now, uint32_t since) {
  const int32_t elapsed = static_cast<int32_t>(now - since);
  return elapsed > 0 ? static_cast<uint32_t>(elapsed) : 0;
}

// What is left of a merge period that began at `sentAt` (0: it has ended,
// or there is none). A loop that closed a period stamps it with a clock
// read after a relay's: to that relay, the period has just begun.
uint32_t MergeLeft(uint32_t now, uint32_t sentAt, uint32_t mergeMs) {
  const uint32_t since = Elapsed(now, sentAt);
  return since >= mergeMs ? 0 : mergeMs - since;
}

// Speex's bit reader holds up to this many bytes; one wideband frame is far
// smaller, and only the first frame of a message is decoded.
constexpr uint32_t kSpeexMaxInput = 2000;

bool SameLiveChannel(const RtmpStream* a, const RtmpStream* b) REQUIRES(g_streams.lock) {
  return a->site == b->site && a->client != b->client && a->fileid == b->fileid &&
         a->userid == b->userid && a->channel == b->channel;
}

// Whether the player is on the publisher's list.
bool Subscribed(const RtmpStream* publisher, const RtmpStream* player) REQUIRES(g_streams.lock) {
  for (const auto& [listing, node] : player->output.subscriptions)
    if (listing == publisher) return true;
  return false;
}

// Puts the player on the publisher's list (whose lock the caller holds) and
// remembers where.
void AddSubscriber(RtmpStream* publisher, RtmpStream* player)
    REQUIRES(g_streams.lock, publisher->input.subscribers.lock) {
  ListAddTail(&publisher->input.subscribers, player);
  player->output.subscriptions.emplace_back(publisher, publisher->input.subscribers.last);
  // The publisher makes Opus while browser players are on its list.
  if (player->browser) OpusChannelJoin(publisher->input.opus);
}

// What a player needs before it can decode a publisher's media, kept by
// the publisher for players that join later.
enum class Config { kNone, kMetaData, kVideo, kAudio };

Config ConfigOf(const RtmpPacket* packet) {
  if (packet->m_nMessageType == kRtmpMsgDataAmf0) return Config::kMetaData;
  if (packet->m_nMessageType != kRtmpMsgAudio && packet->m_nMessageType != kRtmpMsgVideo) return Config::kNone;
  if (!FlvIsDecoderConfig(packet->m_nMessageType, {packet->m_body, packet->m_nBodySize})) return Config::kNone;
  return packet->m_nMessageType == kRtmpMsgVideo ? Config::kVideo : Config::kAudio;
}

// Status and user control messages queued for a player: kept through a
// drop, and no part of its lag.
bool IsNotice(const RtmpPacket* packet) {
  return packet->m_nMessageType == kRtmpMsgCommandAmf0 || packet->m_nMessageType == kRtmpMsgUserControl;
}

bool IsSpeex(const RtmpPacket* packet) {
  return packet->m_nBodySize > 0 && (packet->m_body[0] >> 4) == kFlvSoundSpeex;
}

// The oldest audio or video message of a queue; none when it holds none.
const RtmpPacket* OldestMedia(const List& queue) REQUIRES(queue.lock) {
  for (const ListNode* n = queue.first; n != nullptr; n = n->next) {
    const auto* packet = static_cast<const RtmpPacket*>(n->item);
    if (packet->m_nMessageType == kRtmpMsgAudio || packet->m_nMessageType == kRtmpMsgVideo) return packet;
  }
  return nullptr;
}

// Drops the player's queue but its notices, counted, and makes it start
// again at a key frame with full headers; dropped metadata or decoder
// configuration is sent again before the next message.
void DropQueue(RtmpStreamOut& out) REQUIRES(out.queue.lock) {
  for (ListNode* n = out.queue.first; n != nullptr;) {
    ListNode* next = n->next;
    auto* packet = static_cast<RtmpPacket*>(n->item);
    if (!IsNotice(packet)) {
      if (ConfigOf(packet) != Config::kNone) out.needsConfig = true;
      out.queueBytes -= packet->m_nBodySize;
      out.dropped++;
      ListRemoveNode(&out.queue, n);
      RtmpPacketDestroy(packet);
    }
    n = next;
  }
  out.queued = out.queue.count;
  out.waitingForKeyFrame = true;
  out.firstVideoPending = true;
  out.firstAudioPending = true;
}

// Whether a video message that a player waits a key frame for may go out:
// the key frame of codecs 2, 3 and 7 (Sorenson, screen video, H.264) or of
// the extended header, or a message of another codec, whose key frames we
// cannot tell. The AVC sequence header and end of sequence carry the key
// frame type but no picture.
bool EndsKeyFrameWait(const RtmpPacket* packet) {
  const uint8_t first = packet->m_body[0];
  const uint8_t codec = first & 0x0F;
  if ((first & kFlvVideoExtended) || codec == kFlvCodecAvc || codec == kFlvCodecH263)
    return FlvIsKeyFrame({packet->m_body, std::min<size_t>(packet->m_nBodySize, kFlvMediaPeekSize)},
                         packet->m_nBodySize);
  if (codec == 3) return (first >> 4) == kFlvFrameKey;
  return true;
}

// A message of our own for a player's queue; none when memory ran out.
RtmpPacket* NoticePacket(uint8_t type, int32_t channel, int32_t streamId, const uint8_t* body, const uint8_t* end) {
  if (end == nullptr) return nullptr;
  auto* packet = new (std::nothrow) RtmpPacket;
  if (packet == nullptr) return nullptr;
  const auto size = static_cast<uint32_t>(end - body);
  if (!RtmpPacketAlloc(packet, size)) {
    delete packet;
    return nullptr;
  }
  memcpy(packet->m_body, body, size);
  packet->m_nHeaderType = 0;
  packet->m_nChannel = channel;
  packet->m_nMessageType = type;
  packet->m_nStreamId = streamId;
  packet->m_nBodySize = packet->m_nBytesRead = size;
  return packet;
}

RtmpPacket* StreamControlNotice(const RtmpStream* player, uint16_t event) {
  uint8_t body[6];
  uint8_t* p = AmfEncodeInt16(body, body + sizeof body, event);
  p = AmfEncodeInt32(p, body + sizeof body, static_cast<uint32_t>(player->id));
  return NoticePacket(kRtmpMsgUserControl, kRtmpControlChannel, 0, body, p);
}

RtmpPacket* StatusNotice(const RtmpStream* player, const char* code, const char* description) {
  uint8_t body[160];
  uint8_t* e = body + sizeof body;
  uint8_t* p = AmfEncodeText(body, e, "onStatus");
  p = AmfEncodeNumber(p, e, 0);
  if (p != nullptr && e - p >= 2) {
    *p++ = AMF_NULL;
    *p++ = AMF_OBJECT;
  } else {
    p = nullptr;
  }
  p = AmfEncodeNamedString(p, e, "level", "status");
  p = AmfEncodeNamedString(p, e, "code", code);
  p = AmfEncodeNamedString(p, e, "description", description);
  if (p != nullptr && e - p >= 3) {
    *p++ = 0;
    *p++ = 0;
    *p++ = AMF_OBJECT_END;
  } else {
    p = nullptr;
  }
  return NoticePacket(kRtmpMsgCommandAmf0, player->dataChannel, player->id, body, p);
}

// Tells a player that its publisher stopped (`published` false) or that a
// new one started, after what was queued for it; a new publisher's media
// starts at a key frame, after its configuration. Wakes the player.
void QueueNotices(RtmpStream* player, bool published) {
  RtmpPacket* notices[2];
  if (published) {
    notices[0] = StreamControlNotice(player, kStreamBegin);
    notices[1] = StatusNotice(player, "NetStream.Play.PublishNotify", "published");
  } else {
    notices[0] = StatusNotice(player, "NetStream.Play.UnpublishNotify", "unpublished");
    notices[1] = StreamControlNotice(player, kStreamEOF);
  }
  RtmpStreamOut& out = player->output;
  {
    ListLock guard(out.queue.lock);
    const bool wasEmpty = out.queue.first == nullptr;
    for (RtmpPacket* notice : notices) {
      if (notice == nullptr) {
        REPORT_ASSERT("buffer", "RtmpChannel");
        continue;
      }
      ListAddTail(&out.queue, notice);
      out.queueBytes += notice->m_nBodySize;
    }
    out.queued = out.queue.count;
    if (wasEmpty) out.waitingSince = LiveChannelNow();
    if (published) {
      out.waitingForKeyFrame = true;
      out.needsConfig = true;
      out.firstVideoPending = true;
      out.firstAudioPending = true;
    }
  }
  ClientWake(*player->link);
}

// Replaces a kept message of the publisher by `packet` (taken).
void Keep(RtmpPacket*& kept, RtmpPacket* packet) {
  RtmpPacketDestroy(kept);
  kept = packet;
}

void FreeKept(RtmpStreamIn& in) {
  Keep(in.metaData, nullptr);
  Keep(in.videoConfig, nullptr);
  Keep(in.audioConfig, nullptr);
}

// A dropped audio message of a publisher, reported once per publish: the
// speaker is missing (the condition the relay has always reported) or its
// audio is not active.
void ReportAudioDrop(RtmpStream* publisher, bool noSpeaker) {
  RtmpStreamIn& in = publisher->input;
  if (in.audioDropReported) return;
  in.audioDropReported = true;
  const Client* client = publisher->client;
  errno = 0;
  if (noSpeaker)
    ReportError("ASSERT(%s) failed at %s:%d: audio from %s on channel %d (stream %d) dropped: %s",
                "stream->connection->liveuser", "RtmpStreamIn", __LINE__, client->address, publisher->channel,
                publisher->id, "the publisher is not present in a chat room");
  else
    ReportError("Audio from %s on channel %d (stream %d) dropped: %s", client->address, publisher->channel,
                publisher->id, "the speaker's audio is not active");
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

LiveChannelLimits& LiveChannelSettings() {
  static LiveChannelLimits limits = [] {
    LiveChannelLimits l;
    l.queueBytes = EnvNumber("STRMD_RELAY_QUEUE_BYTES", kRelayQueueBytes, 1, int64_t{1} << 40);
    l.stallMs = static_cast<uint32_t>(EnvNumber("STRMD_RELAY_STALL_MS", kRelayStallMs, 1, INT_MAX));
    l.hangMs = static_cast<uint32_t>(EnvNumber("STRMD_VOICE_HANG_MS", kVoiceHangMs, 1, INT_MAX));
    l.mergeMs = static_cast<uint32_t>(std::max(g_config.relayMergeMs, 0));
    return l;
  }();
  return limits;
}

void LiveChannelSetIdentity(RtmpStream* stream, int32_t fileid, int32_t userid, int32_t channel) {
  ListLock guard(g_streams.lock);
  stream->fileid = fileid;
  stream->userid = userid;
  stream->channel = channel;
}

void SubscribePlayer(RtmpStream* player) {
  ListLock guard(g_streams.lock);
  for (ListNode* n = g_streams.first; n != nullptr; n = n->next) {
    auto* publisher = static_cast<RtmpStream*>(n->item);
    if (publisher == player || !publisher->publishing || !SameLiveChannel(publisher, player)) continue;
    ListLock list(publisher->input.subscribers.lock);
    if (Subscribed(publisher, player)) continue;
    {
      // Joining a running stream: configuration first, pictures from a key
      // frame on.
      RtmpStreamOut& out = player->output;
      ListLock queue(out.queue.lock);
      out.needsConfig = true;
      out.waitingForKeyFrame = true;
      out.firstVideoPending = true;
      out.firstAudioPending = true;
    }
    AddSubscriber(publisher, player);
    return;
  }
}

void CollectPlayers(RtmpStream* publisher) {
  ListLock guard(g_streams.lock);
  ListLock list(publisher->input.subscribers.lock);
  for (ListNode* n = g_streams.first; n != nullptr; n = n->next) {
    auto* player = static_cast<RtmpStream*>(n->item);
    if (player == publisher || !player->playing || !SameLiveChannel(player, publisher)) continue;
    if (Subscribed(publisher, player)) continue;
    AddSubscriber(publisher, player);
    QueueNotices(player, true);
  }
}

void UnsubscribePlayer(RtmpStream* player) {
  ListLock guard(g_streams.lock);
  player->playing = false;
  // Only the lists that hold it: a publisher that stopped cleared its list
  // and the player's note of it, so none of them can be freed meanwhile.
  for (auto& [publisher, node] : player->output.subscriptions) {
    ListLock list(publisher->input.subscribers.lock);
    ListRemoveNode(&publisher->input.subscribers, node);
    if (player->browser) OpusChannelLeave(publisher->input.opus);
  }
  player->output.subscriptions.clear();
}

void LiveChannelStopPublishing(RtmpStream* publisher) {
  {
    ListLock guard(g_streams.lock);
    publisher->publishing = false;
    ListLock list(publisher->input.subscribers.lock);
    // Players would otherwise wait for more media for ever (command-line
    // players end on StreamEOF).
    for (ListNode* n = publisher->input.subscribers.first; n != nullptr; n = n->next) {
      auto* player = static_cast<RtmpStream*>(n->item);
      QueueNotices(player, false);
      if (player->browser) OpusChannelLeave(publisher->input.opus);
      std::erase_if(player->output.subscriptions, [&](const auto& s) { return s.first == publisher; });
    }
    ListRemoveAll(&publisher->input.subscribers, nullptr);
  }
  FreeKept(publisher->input);
}

bool PrepareSpeex(RtmpStream* publisher) {
  ReleaseSpeex(publisher);
  RtmpStreamIn& in = publisher->input;
  in.audioDropReported = false;
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
  if (!IsSpeex(packet)) return false;
  // Decoded before the chat lock is taken: the decoder is the publisher's.
  const bool loud = FrameRange(publisher, packet) > kVoiceLoudRange;
  enum class Drop { kNone, kNoSpeaker, kInactive } drop = Drop::kNone;
  bool talking = false;
  {
    // The speaker's own update goes out after the room lock is released.
    ChatOutbox outbox(publisher->client);
    ChatOwnRoom guard;
    if (!ChatLockOwnRoom(publisher->client, &guard)) {
      drop = Drop::kNoSpeaker;
    } else {
      guard.Held();
      LiveUser* speaker = guard.member;
      speaker->livechat->members.lock.AssertHeld();  // the guard's
      if (!speaker->activeaudio) {
        drop = Drop::kInactive;
      } else if (loud) {
        talking = true;
        if (!speaker->talking) {
          if (!speaker->talkover) {
            for (ListNode* n = guard.room->members.first; n != nullptr; n = n->next) {
              auto* other = static_cast<const LiveUser*>(n->item);
              other->livechat->members.lock.AssertHeld();  // the guard's room
              if (other != speaker && other->talking) talking = false;
            }
          }
          if (talking) {
            speaker->talking = 1;
            BroadcastMember(guard.room, false, speaker, &outbox);
          }
        }
        if (talking) speaker->lastloud = now;
      } else {
        if (speaker->talking && now - speaker->lastloud > LiveChannelSettings().hangMs) {
          speaker->talking = 0;
          BroadcastMember(guard.room, false, speaker, &outbox);
        }
        talking = speaker->talking != 0;
      }
    }
  }
  // Reported without the room's lock.
  if (drop != Drop::kNone) ReportAudioDrop(publisher, drop == Drop::kNoSpeaker);
  return talking;
}

namespace {

// Whether audio of a format other than Speex may go: while its speaker is
// present with active audio (reported once when not).
bool OtherAudioPasses(RtmpStream* publisher) {
  bool noSpeaker = false, active = false;
  {
    ChatOwnRoom guard;
    if (!ChatLockOwnRoom(publisher->client, &guard)) {
      noSpeaker = true;
    } else {
      guard.Held();
      guard.member->livechat->members.lock.AssertHeld();  // the guard's
      active = guard.member->activeaudio != 0;
    }
  }
  if (!active) ReportAudioDrop(publisher, noSpeaker);
  return active;
}

void AppendCopy(RtmpStreamOut& out, RtmpPacket* copy) REQUIRES(out.queue.lock) {
  ListAddTail(&out.queue, copy);
  out.queueBytes += copy->m_nBodySize;
}

// Relays `packet` (none: only the Opus) to the publisher's players; the
// Opus made for it goes before it to browser players, which get no Speex.
// RTMP players get the publisher's audio as it is.
void RelayToPlayers(RtmpStream* publisher, const RtmpPacket* packet, uint32_t now,
                    std::span<const OpusMessage> opus = {}) {
  std::vector<RtmpPacket*> made;
  for (const OpusMessage& m : opus) {
    RtmpPacket* p = NoticePacket(kRtmpMsgAudio, 0, 0, m.body.data(), m.body.data() + m.body.size());
    if (p == nullptr) {
      REPORT_ASSERT("buffer", "RtmpChannel");
      break;
    }
    p->m_nTimestamp = m.timestamp;
    made.push_back(p);
  }
  const bool speex = packet != nullptr && packet->m_nMessageType == kRtmpMsgAudio && IsSpeex(packet);
  // Each send loop with players of this channel is woken once for them all.
  EventLoopWakeBatch batch;
  {
    ListLock guard(publisher->input.subscribers.lock);
    for (ListNode* n = publisher->input.subscribers.first; n != nullptr; n = n->next) {
      auto* player = static_cast<RtmpStream*>(n->item);
      if (!player->playing || player->output.paused) continue;
      if (player->browser)
        for (const RtmpPacket* p : made) EnqueueRelayed(player, p, now, publisher);
      if (packet != nullptr && !(speex && player->browser)) EnqueueRelayed(player, packet, now, publisher);
    }
  }
  for (RtmpPacket* p : made) RtmpPacketDestroy(p);
}

}  // namespace

void RelayMedia(RtmpStream* publisher, const RtmpPacket* packet) {
  if (packet->m_nBodySize == 0) return;
  const uint32_t now = LiveChannelNow();
  const Config config = ConfigOf(packet);
  const bool speex = packet->m_nMessageType == kRtmpMsgAudio && IsSpeex(packet);
  bool passes = true;
  if (packet->m_nMessageType == kRtmpMsgAudio && config == Config::kNone)
    passes = speex ? DetectVoice(publisher, packet, now) : OtherAudioPasses(publisher);
  // Browser players' Opus: the Speex that passes, made once for all of
  // them; silence while it does not, so that their playback does not stall.
  std::vector<OpusMessage> opus;
  if (const OpusChannelPtr channel = OpusChannelCurrent(publisher->input.opus)) {
    if (speex && passes) {
      OpusChannelFeed(*channel, packet->m_nTimestamp, {packet->m_body, packet->m_nBodySize}, &opus);
    } else {
      // A speaker who has not talked yet is silence too: without audio a
      // browser would not show the picture either.
      if (speex) OpusChannelBegin(*channel, packet->m_nTimestamp, &opus);
      OpusChannelFillGap(*channel, packet->m_nTimestamp, &opus);
    }
  }
  if (!passes) {
    if (!opus.empty()) RelayToPlayers(publisher, nullptr, now, opus);
    return;
  }
  RelayToPlayers(publisher, packet, now, opus);
  // Kept after the relay: a player that takes this message first must not
  // get it twice.
  if (config == Config::kNone) return;
  RtmpPacket* kept = RtmpPacketClone(packet, {});
  if (kept == nullptr) return;
  RtmpStreamIn& in = publisher->input;
  Keep(config == Config::kVideo ? in.videoConfig : in.audioConfig, kept);
}

void RelayData(RtmpStream* publisher, const RtmpPacket* packet) {
  static constexpr uint8_t kSetDataFrame[] = {AMF_STRING, 0, 13, '@', 's', 'e', 't', 'D',
                                              'a',        't', 'a', 'F', 'r', 'a', 'm', 'e'};
  static constexpr uint8_t kOnMetaData[] = {AMF_STRING, 0, 10, 'o', 'n', 'M', 'e', 't', 'a', 'D', 'a', 't', 'a'};
  std::span<const uint8_t> body(packet->m_body, packet->m_body ? packet->m_nBodySize : 0);
  auto startsWith = [](std::span<const uint8_t> bytes, std::span<const uint8_t> prefix) {
    return bytes.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), bytes.begin());
  };
  // A player is told "onMetaData"; the wrapper is for the server.
  if (startsWith(body, kSetDataFrame)) body = body.subspan(sizeof kSetDataFrame);
  if (!startsWith(body, kOnMetaData)) return;
  auto* meta = new (std::nothrow) RtmpPacket;
  if (meta == nullptr || !RtmpPacketAlloc(meta, static_cast<uint32_t>(body.size()))) {
    delete meta;
    REPORT_ASSERT("buffer", "RtmpChannel");
    return;
  }
  memcpy(meta->m_body, body.data(), body.size());
  meta->m_nMessageType = kRtmpMsgDataAmf0;
  meta->m_nTimestamp = packet->m_nTimestamp;
  meta->m_nBodySize = meta->m_nBytesRead = static_cast<uint32_t>(body.size());
  RelayToPlayers(publisher, meta, LiveChannelNow());
  Keep(publisher->input.metaData, meta);
}

bool EnqueueRelayed(RtmpStream* player, const RtmpPacket* packet, uint32_t now, const RtmpStream* publisher) {
  RtmpStreamOut& out = player->output;
  const LiveChannelLimits& limits = LiveChannelSettings();
  const bool video = packet->m_nMessageType == kRtmpMsgVideo;
  const bool audio = packet->m_nMessageType == kRtmpMsgAudio;
  // Metadata and decoder configuration are few and small, and without them
  // nothing after them decodes: no lag or key-frame rule holds them back.
  const Config config = ConfigOf(packet);
  bool stalled = false, queued = false;
  uint32_t waited = 0;  // what a stalled player's oldest message waited
  int64_t dueInMs = -1;  // the player's loop sends it this long from now
  {
    ListLock guard(out.queue.lock);
    SocketBuffer& sockbuf = player->rtmp->sockbuf;
    bool accept = !sockbuf.overflowed && !sockbuf.failed;
    if (accept && out.queue.first != nullptr) {
      const RtmpPacket* oldest = OldestMedia(out.queue);
      const int32_t lag = oldest ? static_cast<int32_t>(packet->m_nTimestamp - oldest->m_nTimestamp) : 0;
      waited = Elapsed(now, out.waitingSince);
      if (waited > limits.stallMs) {
        // Nothing has left for the stall period: the player has stopped
        // reading. Its own thread closes it; the others go on.
        DropQueue(out);
        sockbuf.overflowed = true;
        stalled = true;
        accept = false;
      } else if (out.queueBytes + packet->m_nBodySize > limits.queueBytes) {
        DropQueue(out);
      } else if (audio && lag > kAudioLagMs) {
        DropQueue(out);
      } else if (video && config == Config::kNone && lag > kVideoLagMs) {
        out.waitingForKeyFrame = true;
        out.firstVideoPending = true;
        accept = false;
      }
    }
    if (accept && video && config == Config::kNone && out.waitingForKeyFrame) {
      if (EndsKeyFrameWait(packet))
        out.waitingForKeyFrame = false;
      else
        accept = false;
    }
    const RtmpCloneTarget target{player->id, player->audioChannel, player->videoChannel, player->dataChannel};
    const bool wasEmpty = out.queue.first == nullptr;
    if (accept && out.needsConfig && publisher != nullptr) {
      // A player that joined a running stream: what the publisher sent at
      // its start, at the time of the message it goes with so that it is no
      // lag.
      out.needsConfig = false;
      const RtmpStreamIn& in = publisher->input;
      const std::pair<Config, const RtmpPacket*> kept[] = {
          {Config::kMetaData, in.metaData}, {Config::kVideo, in.videoConfig}, {Config::kAudio, in.audioConfig}};
      for (const auto& [kind, message] : kept) {
        if (message == nullptr || kind == config) continue;
        if (RtmpPacket* copy = RtmpPacketClone(message, target)) {
          copy->m_nTimestamp = packet->m_nTimestamp;
          AppendCopy(out, copy);
        }
      }
      // A browser player that joins running Opus gets its configuration
      // too (before the channel's first frame, that frame brings it).
      const OpusChannelPtr opus = player->browser ? OpusChannelCurrent(in.opus) : nullptr;
      if (opus && config != Config::kAudio && OpusChannelStarted(*opus)) {
        const std::vector<uint8_t> start = OpusChannelSequenceStart(*opus);
        RtmpPacket* copy =
            NoticePacket(kRtmpMsgAudio, player->audioChannel, player->id, start.data(), start.data() + start.size());
        if (copy != nullptr) {
          copy->m_nTimestamp = packet->m_nTimestamp;
          AppendCopy(out, copy);
        }
      }
    }
    if (!accept) {
      out.dropped++;
    } else if (RtmpPacket* copy = RtmpPacketClone(packet, target)) {  // a failure is reported there
      AppendCopy(out, copy);
      queued = true;
    }
    out.queued = out.queue.count;
    if (wasEmpty && out.queue.first != nullptr) {
      // A queue the drop rules emptied while the socket took nothing keeps
      // the time its last message left: a reader that stopped is closed by
      // the stall rule though its lagging audio is dropped every second.
      if (!RtmpOutputAboveWatermark(player->rtmp)) out.waitingSince = now;
      // Within the merge period, the media waits for its end with what
      // follows it (LiveChannelTakeDue). Posted even when a period was
      // waited for already: a queue emptied meanwhile (a drop, a pause) may
      // have had its post served with nothing to send.
      const uint32_t left = MergeLeft(now, out.relaySentAt, limits.mergeMs);
      if (!out.relayDeferred && left == 0) {
        out.relaySentAt = now;
        dueInMs = 0;
      } else {
        out.relayDeferred = true;
        dueInMs = left;
      }
    }
  }
  // A queue that already held packets has its send on the way. A player
  // that stopped (stopTransmit) keeps its queue for its own thread.
  if (stalled) {
    // Told here: the connection's own report names only its output cap.
    errno = 0;
    ReportError("RTMP stall limit: %s took no relayed media for %u ms: closing it", player->rtmp->address, waited);
    ClientWake(*player->link);
  } else if (dueInMs >= 0 && player->playing && !player->output.paused)
    ClientPost(player->link, dueInMs);
  return queued;
}

namespace {

constexpr int32_t kFirstStreamChannel = 10;
constexpr int32_t kLastStreamChannel = 63;

}  // namespace

int32_t RtmpChannelTake(RtmpContext* r) {
  MutexLock lock(r->sendLock);
  for (int32_t id = kFirstStreamChannel; id <= kLastStreamChannel; ++id) {
    auto it = r->channelsOut.find(static_cast<uint32_t>(id));
    if (it != r->channelsOut.end() && it->second->id != 0) continue;
    RtmpChannel* channel = RtmpChannelOut(r, static_cast<uint32_t>(id));
    if (channel == nullptr) return 0;
    channel->id = id;
    return id;
  }
  REPORT_ASSERT("false", "RtmpChannel");
  return 0;
}

void RtmpChannelRelease(RtmpContext* r, int32_t id) {
  if (id == 0) return;
  MutexLock lock(r->sendLock);
  r->channelsOut.erase(static_cast<uint32_t>(id));
}

int64_t LiveChannelPeriodLeft(RtmpStream* player) {
  RtmpStreamOut& out = player->output;
  const uint32_t mergeMs = LiveChannelSettings().mergeMs;
  if (mergeMs == 0) return 0;
  ListLock guard(out.queue.lock);
  return MergeLeft(LiveChannelNow(), out.relaySentAt, mergeMs);
}

int64_t LiveChannelTakeDue(RtmpStream* player) {
  RtmpStreamOut& out = player->output;
  ListLock guard(out.queue.lock);
  if (!out.relayDeferred) return 0;
  const uint32_t now = LiveChannelNow();
  const uint32_t mergeMs = LiveChannelSettings().mergeMs;
  if (const uint32_t left = MergeLeft(now, out.relaySentAt, mergeMs); left > 0) return left;
  out.relayDeferred = false;
  // The period's end, not the moment it was served: the players of one
  // relay keep one phase, so that their loop sends to all of them in one
  // pass instead of drifting apart a millisecond at a time.
  out.relaySentAt = mergeMs == 0 ? now : now - Elapsed(now, out.relaySentAt) % mergeMs;
  return 0;
}
