// RtmpChannel: live channels. A publisher's audio and video are copied to
// the players of the same site, fileid, userid and channel, with the drop
// rules that keep a slow player's backlog short, and the Speex voice
// detection that lets a speaker's audio through only while it talks and
// tells the chat when that changes. Also where streams take their chunk
// stream ids (10 to 63) from their connection.
//
// Threads: matching and unsubscribing run on either side's connection
// thread; RelayMedia runs on the publisher's thread and appends to queues of
// other connections' streams; the player's own thread sends its queue.
// Locks, in this order: g_streams.lock (matching, unsubscribing, and the
// identity fields a match reads: publishing, playing, fileid, userid,
// channel), a publisher's subscriber list, a player's queue lock. The chat's
// member lock is taken alone, by DetectVoice.
#pragma once

#include <cstdint>

#include "media/FlvMedia.h"
#include "rtmp/RtmpCore.h"
#include "config/ServerConfig.h"
#include "util/Clock.h"

struct Client;
struct RtmpStream;
struct RtmpPacket;

// FLV audio header byte of Speex, 16-bit, mono, as the Flash client sends
// it; other encoders set other rate bits (FFmpeg: 0xB6). Speex is told by
// the sound format in the high 4 bits alone (kFlvSoundSpeex).
constexpr uint8_t kSpeex16TagHeader = 0xB2;
// One 20 ms frame of the wideband mode.
constexpr int kSpeexFrameSamples = 320;
// Sample range above which a frame is loud.
constexpr int kVoiceLoudRange = 1500;
// A speaker stays talking this long after its last loud frame.
constexpr uint32_t kVoiceHangMs = 1100;
// Lag past which a player's backlog is dropped (audio) or its video held
// back until the next key frame.
constexpr int32_t kAudioLagMs = 1100;
constexpr int32_t kVideoLagMs = 600;
// Bytes of bodies one player's relay queue may hold: publishers whose
// timestamps stand still never show lag.
constexpr uint64_t kRelayQueueBytes = 4u << 20;
// A player whose oldest queued packet has waited this long has stopped
// reading: it is closed as one over its output cap.
constexpr uint32_t kRelayStallMs = 10000;

// Settings of the relay, read once from the environment
// (STRMD_RELAY_QUEUE_BYTES, STRMD_RELAY_STALL_MS, STRMD_VOICE_HANG_MS) and
// the configuration (RelayMergeMs); tests may replace them.
struct LiveChannelLimits {
  uint64_t queueBytes = kRelayQueueBytes;
  uint32_t stallMs = kRelayStallMs;
  uint32_t hangMs = kVoiceHangMs;
  // A player's thread is woken for relayed media at most once per this
  // many ms; what comes meanwhile waits for that wake, never longer.
  uint32_t mergeMs = kDefaultRelayMergeMs;
};
LiveChannelLimits& LiveChannelSettings();

// ---- Matching ----
// A channel player joins the first matching publisher of another
// connection, if there is one yet: it gets the publisher's metadata and
// decoder configuration before the first message relayed to it, and its
// video starts at a key frame.
void SubscribePlayer(RtmpStream* player);
// A channel publisher takes every matching player of other connections
// that is not on its list yet; each is sent StreamBegin and
// "NetStream.Play.PublishNotify" before the publisher's media, which starts
// at a key frame.
void CollectPlayers(RtmpStream* publisher);
// The player leaves every list that holds it, and is no longer playing
// (so that no publisher can take it again before its reset completes).
void UnsubscribePlayer(RtmpStream* player);
// The publisher stops publishing: no longer publishing, each of its players
// told ("NetStream.Play.UnpublishNotify", then StreamEOF, after what was
// relayed to it), its list cleared and what it kept for late players freed.
// The players stay on the channel for the next publisher.
void LiveChannelStopPublishing(RtmpStream* publisher);
// Sets the identity fields a match reads (under g_streams.lock).
void LiveChannelSetIdentity(RtmpStream* stream, int32_t fileid, int32_t userid, int32_t channel);

// ---- Voice detection ----
// Prepares the stream's Speex bit reader and wideband decoder (perceptual
// enhancement off), releasing earlier ones. False when libspeex failed
// (reported).
bool PrepareSpeex(RtmpStream* publisher);
// Releases them; nothing when none were prepared.
void ReleaseSpeex(RtmpStream* publisher);
// Whether the speaker of the publisher's connection is talking after this
// Speex audio message (sound format 11, any rate bits), at tick `now`: loud
// frames make it talk (unless another member of its chat talks and it has
// no talkover flag), and it stops after the hang time of quiet. Changes are
// broadcast to the chat. False for audio that is not Speex, a publisher
// without a chat member or whose audio is not active (the last two reported
// once per publish, with the publisher's address, stream and reason).
bool DetectVoice(RtmpStream* publisher, const RtmpPacket* packet, uint32_t now);

// ---- Relay ----
// Copies an audio or video message of a channel publisher to each of its
// playing, unpaused subscribers, unchanged. Speex audio only while its
// speaker talks; audio of other formats (AAC), which cannot be voice-checked,
// while the speaker's audio is active, talking left as it is; the AAC
// sequence header always. The latest decoder configuration of each kind is
// kept for players that join later.
void RelayMedia(RtmpStream* publisher, const RtmpPacket* packet);
// A data message of a channel publisher: its metadata ("@setDataFrame",
// "onMetaData", ... as "onMetaData", ...) is kept for later players and
// relayed to the present ones. Other data messages are not relayed.
void RelayData(RtmpStream* publisher, const RtmpPacket* packet);
// Appends a copy (body shared) to the player's queue unless a drop rule
// rejects it. Media that reaches an empty queue goes at once when the
// player's last went LiveChannelSettings().mergeMs or more ago: the player's
// send loop is posted for it (all of one relay wake a loop once). Otherwise
// it waits for the end of that merge period, when the loop sends it with
// what followed it.
// Metadata and decoder configuration pass every rule but the queue cap and
// the stall; before the first message a player takes from `publisher`, the
// publisher's kept metadata and configuration go, stamped with its time.
// True when the copy was queued.
bool EnqueueRelayed(RtmpStream* player, const RtmpPacket* packet, uint32_t now,
                    const RtmpStream* publisher = nullptr);
// Whoever sends a live player's queue (its send loop or its thread): 0 when
// the media may go now (a merge period that ended is closed), else the ms
// until the end of the period it waits for.
int64_t LiveChannelTakeDue(RtmpStream* player);
// The ms until the player's merge period ends (0: it has, or there is none).
int64_t LiveChannelPeriodLeft(RtmpStream* player);

// ---- Chunk stream ids 10..63 of the streams ----
// The first free id, with its outbound slot made; 0 when none is free
// (reported). Connection thread.
int32_t RtmpChannelTake(RtmpContext* r) EXCLUDES(r->sendLock);
void RtmpChannelRelease(RtmpContext* r, int32_t id) EXCLUDES(r->sendLock);
