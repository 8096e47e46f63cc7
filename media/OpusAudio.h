// Opus audio for browser players. Browsers decode no Speex, which is what the
// platform's recorders and live speakers send, so their players get the
// same audio as Opus, carried as the extended FLV audio header: sound format
// 9, a packet type (sequence start with the Opus identification header,
// then coded frames), the FourCC "Opus". RTMP players keep the Speex.
//
// Three layers:
// - the codec: one Speex wideband decoder and one Opus encoder (16 kHz,
//   mono, 20 ms frames) per audio stream; used by one thread at a time;
// - the live channel: one codec per channel whatever its number of browser
//   viewers, fed by the publisher in order and filling the gaps of
//   voice-gated audio with silence; its own lock, callable from any thread;
// - the sidecar of a recorded file: an FLV beside the file's index holding
//   only the Opus audio, built once per file by a thread of its own and
//   readable while it grows; remade when the file changes.
//
// Locks: the sidecar registry's lock, then a sidecar's lock; a channel's
// lock alone (never held while calling out).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "media/RtmpFile.h"
#include "util/ThreadSafety.h"
#include "util/file.h"

constexpr uint8_t kFlvSoundExHeader = 9;
constexpr uint8_t kOpusPacketSequenceStart = 0;
constexpr uint8_t kOpusPacketCodedFrames = 1;
constexpr uint32_t kOpusFourCc = 0x4F707573;  // "Opus" read as a big-endian number
constexpr int kOpusSampleRate = 16000;
constexpr uint32_t kOpusFrameMs = 20;
constexpr int kOpusFrameSamples = 320;
constexpr int kOpusBitrate = 24000;
// A Speex body is at most this long (as the voice check reads it) and holds
// at most this many 20 ms frames; more is refused as malformed.
constexpr size_t kOpusSpeexMaxBody = 2000;
constexpr size_t kOpusSpeexMaxFrames = 16;
// Live gaps: silence starts after this much missing audio, and one call
// fills at most this many frames (a longer gap is skipped over).
constexpr uint32_t kOpusGapMs = 100;
constexpr uint32_t kOpusMaxGapFrames = 50;

// onMetaData's audiocodecid for this audio.
constexpr uint32_t OpusAudioCodecId() { return kOpusFourCc; }

// One FLV audio message: its timestamp and body.
struct OpusMessage {
  uint32_t timestamp = 0;
  std::vector<uint8_t> body;
};

// ---- Codec ----

struct OpusCodec;
struct OpusCodecFree {
  void operator()(OpusCodec* codec) const;
};
using OpusCodecPtr = std::unique_ptr<OpusCodec, OpusCodecFree>;
// Null (reported) when a library refused to set up.
OpusCodecPtr OpusCodecMake();
// Pre-skip of the stream in 48 kHz samples (the encoder's lookahead).
uint32_t OpusPreSkip(const OpusCodec& codec);
// The SequenceStart body: header byte, "Opus", the 19-byte identification
// header (version 1, one channel, pre-skip, input rate 16000, gain 0,
// mapping family 0).
std::vector<uint8_t> OpusSequenceStart(const OpusCodec& codec);
// Turns one Speex FLV audio body (sound format 11, one or more wideband
// frames) into one CodedFrames message per frame, appended to `out`, the
// first at `timestamp` and each further one 20 ms later. A body that is not
// Speex, is empty or too long, or does not decode is refused (reported, at
// most once per 100 refusals of the codec) and nothing is appended.
bool OpusTranscode(OpusCodec& codec, uint32_t timestamp, std::span<const uint8_t> speexBody,
                   std::vector<OpusMessage>* out);
// One CodedFrames message of 20 ms silence at `timestamp`, through the same
// encoder so that the stream stays continuous.
bool OpusSilence(OpusCodec& codec, uint32_t timestamp, std::vector<OpusMessage>* out);
// Bodies refused so far.
uint64_t OpusRefused(const OpusCodec& codec);

// ---- Live channel ----

struct OpusChannel {
  Mutex lock;
  OpusCodecPtr codec GUARDED_BY(lock);
  bool started GUARDED_BY(lock) = false;
  uint32_t next GUARDED_BY(lock) = 0;   // where the audio sent so far ends
  uint32_t floor GUARDED_BY(lock) = 0;  // the earliest the next frame may go
};
using OpusChannelPtr = std::shared_ptr<OpusChannel>;
// Null (reported) when the codec cannot be made.
OpusChannelPtr OpusChannelMake();
// The publisher's Speex audio message, in order. The first one is preceded
// by the SequenceStart message. Frames go at the message's timestamp, as
// the source's do, even when it is less than 20 ms after the previous one;
// only always after the last frame sent, and not inside filled silence
// (then right after it); a timestamp more than a second behind restarts the count
// there (a new publish). False when the body was refused (nothing
// appended).
bool OpusChannelFeed(OpusChannel& channel, uint32_t timestamp, std::span<const uint8_t> speexBody,
                     std::vector<OpusMessage>* out);
// Silence frames 20 ms apart from where audio stopped up to `now` (the
// publisher's timestamp clock), once more than kOpusGapMs is missing; at
// most kOpusMaxGapFrames, after which the rest of the gap is skipped. Before
// the stream began (Feed or Begin) nothing. Returns the frames appended.
size_t OpusChannelFillGap(OpusChannel& channel, uint32_t now, std::vector<OpusMessage>* out);
// Begins the stream at `timestamp` without audio (the SequenceStart message
// appended), so that a speaker who has not talked yet is heard as silence:
// FillGap fills from there. False (nothing appended) when it has begun.
bool OpusChannelBegin(OpusChannel& channel, uint32_t timestamp, std::vector<OpusMessage>* out);
// The SequenceStart body for a viewer that joins a running channel.
std::vector<uint8_t> OpusChannelSequenceStart(OpusChannel& channel);
// Whether a fed message has begun the stream (its SequenceStart went out).
bool OpusChannelStarted(OpusChannel& channel);

// Where a live channel keeps its transcoder: made by its first browser
// viewer, dropped with the last.
struct OpusChannelSlot {
  Mutex lock;
  OpusChannelPtr channel GUARDED_BY(lock);
  int viewers GUARDED_BY(lock) = 0;
};
// Counts a viewer in; the channel (made when it is the first). Null when it
// could not be made (the viewer is not counted).
OpusChannelPtr OpusChannelJoin(OpusChannelSlot& slot);
void OpusChannelLeave(OpusChannelSlot& slot);
// The channel while browser viewers are there, else null: the publisher
// feeds only then.
OpusChannelPtr OpusChannelCurrent(OpusChannelSlot& slot);

// ---- Sidecar of a recorded file ----
//
// Layout: the FLV header (audio), then a script tag at 0 naming the source
// ("strmdOpusSource" with its size, its modification time in nanoseconds
// and whether the build completed), the SequenceStart tag at 0, then the
// CodedFrames tags at the source's audio timestamps (+20 ms per further
// frame of a tag). Tag records as in any FLV here.

// The index path with ".opus" in place of ".index2": "X.flv.index2" ->
// "X.flv.opus". False (empty) for a path without that suffix.
bool OpusSidecarPathOf(PathText& out, const char* indexPath);

struct OpusSidecar {
  std::string sourcePath, path;
  int64_t sourceSize = 0;
  int64_t sourceMtime = 0;
  // Published by the builder: the file is valid up to `end` (whole tags),
  // the last written tag has `lastTimestamp`.
  std::atomic<int64_t> end{0};
  std::atomic<uint32_t> lastTimestamp{0};
  std::atomic<bool> cancel{false};
  Mutex lock;
  std::condition_variable_any changed;
  bool done GUARDED_BY(lock) = false;
  bool failed GUARDED_BY(lock) = false;
  std::shared_ptr<OpusSidecar> previous GUARDED_BY(lock);  // a build of an older file to wait for
};
using OpusSidecarPtr = std::shared_ptr<OpusSidecar>;

// The sidecar of the FLV `sourcePath` at `sidecarPath`: a complete one of
// the file as it is now, the build already running for it, or a new build
// (on a thread of its own, at most two at once: a further build waits for
// one of them, and its readers get kWait meanwhile; a build of an older
// state of the file is cancelled first; a finished sidecar whose file is
// gone is made again).
// Null when the source cannot be read (reported).
OpusSidecarPtr OpusSidecarOpen(const char* sourcePath, const char* sidecarPath);
// Waits up to `limitMs` for the build to end; true when it is done (false
// when it failed or the time ran out).
bool OpusSidecarWait(OpusSidecar& sidecar, int limitMs);
bool OpusSidecarDone(OpusSidecar& sidecar);
bool OpusSidecarFailed(OpusSidecar& sidecar);

// A reader of one sidecar, from its start. A play that starts past 0 sets
// `from`: CodedFrames stamped before it are passed over unread (the
// SequenceStart still comes first).
struct OpusSidecarReader {
  File file;
  int64_t offset = 0;  // of the next tag record; 0: not started
  uint32_t from = 0;
};
enum class OpusRead { kTag, kWait, kEnd, kFailed };
// The next audio tag: kWait when the builder has not written it yet, kEnd
// after the last tag of a complete sidecar, kFailed when the build failed
// or the file does not hold what was published (reported).
OpusRead OpusSidecarRead(OpusSidecar& sidecar, OpusSidecarReader& reader, OpusMessage* tag);

// Tests: builds started since the start; and a hold that stops every
// builder after its first 50 frames until released.
uint64_t OpusSidecarBuildsForTest();
void OpusSidecarHoldForTest(bool hold);
