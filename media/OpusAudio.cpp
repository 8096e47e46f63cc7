#include "media/OpusAudio.h"

#include <opus/opus.h>
#include <speex/speex.h>
#include <speex/speex_bits.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <map>
#include <thread>

#include "config/Admission.h"
#include "media/Flv.h"
#include "media/FlvMedia.h"
#include "util/ByteOrder.h"
#include "util/Log.h"

struct OpusCodec {
  void* speex = nullptr;
  SpeexBits bits{};
  bool bitsReady = false;
  OpusEncoder* opus = nullptr;
  uint32_t preSkip = 0;
  uint64_t refused = 0;
};

void OpusCodecFree::operator()(OpusCodec* codec) const {
  if (codec == nullptr) return;
  if (codec->bitsReady) speex_bits_destroy(&codec->bits);
  if (codec->speex != nullptr) speex_decoder_destroy(codec->speex);
  if (codec->opus != nullptr) opus_encoder_destroy(codec->opus);
  delete codec;
}

OpusCodecPtr OpusCodecMake() {
  OpusCodecPtr codec(new OpusCodec);
  const SpeexMode* mode = speex_lib_get_mode(SPEEX_MODEID_WB);
  codec->speex = mode != nullptr ? speex_decoder_init(mode) : nullptr;
  if (codec->speex == nullptr) {
    REPORT_ASSERT("codec->speex", "OpusAudio");
    return nullptr;
  }
  // As the voice check decodes: no perceptual enhancement.
  int enhancement = 0;
  speex_decoder_ctl(codec->speex, SPEEX_SET_ENH, &enhancement);
  speex_bits_init(&codec->bits);
  codec->bitsReady = true;
  int error = OPUS_OK;
  codec->opus = opus_encoder_create(kOpusSampleRate, 1, OPUS_APPLICATION_VOIP, &error);
  if (codec->opus == nullptr || error != OPUS_OK) {
    REPORT_ASSERT("codec->opus", "OpusAudio");
    return nullptr;
  }
  opus_encoder_ctl(codec->opus, OPUS_SET_BITRATE(kOpusBitrate));
  opus_int32 lookahead = 0;
  opus_encoder_ctl(codec->opus, OPUS_GET_LOOKAHEAD(&lookahead));
  // The identification header counts pre-skip at 48 kHz.
  codec->preSkip = static_cast<uint32_t>(lookahead) * (48000 / kOpusSampleRate);
  return codec;
}

uint32_t OpusPreSkip(const OpusCodec& codec) { return codec.preSkip; }

uint64_t OpusRefused(const OpusCodec& codec) { return codec.refused; }

std::vector<uint8_t> OpusSequenceStart(const OpusCodec& codec) {
  std::vector<uint8_t> body(5 + 19);
  body[0] = (kFlvSoundExHeader << 4) | kOpusPacketSequenceStart;
  PutBe32(body.data() + 1, kOpusFourCc);
  uint8_t* head = body.data() + 5;
  memcpy(head, "OpusHead", 8);
  head[8] = 1;  // version
  head[9] = 1;  // channels
  PutLe16(head + 10, codec.preSkip);
  PutLe32(head + 12, kOpusSampleRate);
  PutLe16(head + 16, 0);  // output gain
  head[18] = 0;           // mapping family: mono or stereo, no table
  return body;
}

namespace {

bool Encode(OpusCodec& codec, const int16_t* pcm, uint32_t timestamp, std::vector<OpusMessage>* out) {
  // Far above what 24 kbit/s makes of 20 ms; the encoder keeps within it.
  uint8_t packet[400];
  const opus_int32 n = opus_encode(codec.opus, pcm, kOpusFrameSamples, packet, sizeof packet);
  if (n <= 0) {
    REPORT_ASSERT("opus_encode(...) > 0", "OpusAudio");
    return false;
  }
  OpusMessage message;
  message.timestamp = timestamp;
  message.body.resize(5 + static_cast<size_t>(n));
  message.body[0] = (kFlvSoundExHeader << 4) | kOpusPacketCodedFrames;
  PutBe32(message.body.data() + 1, kOpusFourCc);
  memcpy(message.body.data() + 5, packet, static_cast<size_t>(n));
  out->push_back(std::move(message));
  return true;
}

// A refusal is reported for the first body and every 100th after it: a
// publisher sending garbage would fill the log otherwise.
bool Refuse(OpusCodec& codec, const char* cond) {
  if (codec.refused++ % 100 == 0) REPORT_ASSERT(cond, "OpusAudio");
  return false;
}

}  // namespace

bool OpusTranscode(OpusCodec& codec, uint32_t timestamp, std::span<const uint8_t> body,
                   std::vector<OpusMessage>* out) {
  if (body.empty() || (body[0] >> 4) != kFlvSoundSpeex)
    return Refuse(codec, "(body[0] >> 4) == kFlvSoundSpeex");
  if (body.size() - 1 > kOpusSpeexMaxBody) return Refuse(codec, "body.size() - 1 <= kOpusSpeexMaxBody");
  if (body.size() == 1) return Refuse(codec, "body.size() > 1");
  // The bit reader copies the bytes; speex_bits_read_from takes no const.
  char bytes[kOpusSpeexMaxBody];
  memcpy(bytes, body.data() + 1, body.size() - 1);
  speex_bits_read_from(&codec.bits, bytes, static_cast<int>(body.size() - 1));
  int16_t pcm[kOpusSpeexMaxFrames][kOpusFrameSamples];
  size_t frames = 0;
  // Each frame ends on a bit; the body ends on a byte, so fewer than eight
  // bits left are padding.
  while (speex_bits_remaining(&codec.bits) >= 8) {
    if (frames == kOpusSpeexMaxFrames) return Refuse(codec, "frames <= kOpusSpeexMaxFrames");
    const int result = speex_decode_int(codec.speex, &codec.bits, pcm[frames]);
    if (result == -1) break;  // an in-band end of stream
    if (result != 0 || speex_bits_remaining(&codec.bits) < 0)
      return Refuse(codec, "speex_decode_int(...) == 0");
    ++frames;
  }
  if (frames == 0) return Refuse(codec, "frames > 0");
  std::vector<OpusMessage> made;
  for (size_t i = 0; i < frames; ++i)
    if (!Encode(codec, pcm[i], timestamp + static_cast<uint32_t>(i) * kOpusFrameMs, &made)) return false;
  for (auto& m : made) out->push_back(std::move(m));
  return true;
}

bool OpusSilence(OpusCodec& codec, uint32_t timestamp, std::vector<OpusMessage>* out) {
  const int16_t pcm[kOpusFrameSamples] = {};
  return Encode(codec, pcm, timestamp, out);
}

// ---- Live channel ----

OpusChannelPtr OpusChannelMake() {
  OpusCodecPtr codec = OpusCodecMake();
  if (!codec) return nullptr;
  auto channel = std::make_shared<OpusChannel>();
  MutexLock hold(channel->lock);
  channel->codec = std::move(codec);
  return channel;
}

bool OpusChannelFeed(OpusChannel& channel, uint32_t timestamp, std::span<const uint8_t> speexBody,
                     std::vector<OpusMessage>* out) {
  MutexLock hold(channel.lock);
  if (channel.started && timestamp + 1000 < channel.next) channel.next = channel.floor = timestamp;
  // The source's timestamps, not the end of what was sent: a source whose
  // steps are a little under 20 ms would otherwise drift out of step with
  // its video, up to the second of a restart.
  const uint32_t at = channel.started ? std::max(timestamp, channel.floor) : timestamp;
  std::vector<OpusMessage> frames;
  if (!OpusTranscode(*channel.codec, at, speexBody, &frames)) return false;
  if (!channel.started) {
    out->push_back(OpusMessage{timestamp, OpusSequenceStart(*channel.codec)});
    channel.started = true;
    channel.next = at;
  }
  channel.next = std::max(channel.next, at + static_cast<uint32_t>(frames.size()) * kOpusFrameMs);
  channel.floor = frames.back().timestamp + 1;  // strictly after: browsers' demuxers want that
  for (auto& f : frames) out->push_back(std::move(f));
  return true;
}

size_t OpusChannelFillGap(OpusChannel& channel, uint32_t now, std::vector<OpusMessage>* out) {
  MutexLock hold(channel.lock);
  if (!channel.started || now <= channel.next || now - channel.next <= kOpusGapMs) return 0;
  size_t made = 0;
  while (channel.next + kOpusFrameMs <= now && made < kOpusMaxGapFrames) {
    if (!OpusSilence(*channel.codec, channel.next, out)) break;
    channel.next += kOpusFrameMs;
    ++made;
  }
  // What is left of a long gap is skipped: the player resumes at the next
  // audio instead of catching up on silence.
  if (channel.next + kOpusFrameMs <= now) channel.next = now;
  channel.floor = std::max(channel.floor, channel.next);
  return made;
}

std::vector<uint8_t> OpusChannelSequenceStart(OpusChannel& channel) {
  MutexLock hold(channel.lock);
  return OpusSequenceStart(*channel.codec);
}

bool OpusChannelBegin(OpusChannel& channel, uint32_t timestamp, std::vector<OpusMessage>* out) {
  MutexLock hold(channel.lock);
  if (channel.started) return false;
  out->push_back(OpusMessage{timestamp, OpusSequenceStart(*channel.codec)});
  channel.started = true;
  channel.next = channel.floor = timestamp;
  return true;
}

bool OpusChannelStarted(OpusChannel& channel) {
  MutexLock hold(channel.lock);
  return channel.started;
}

OpusChannelPtr OpusChannelJoin(OpusChannelSlot& slot) {
  MutexLock hold(slot.lock);
  if (!slot.channel) slot.channel = OpusChannelMake();
  if (!slot.channel) return nullptr;
  ++slot.viewers;
  return slot.channel;
}

void OpusChannelLeave(OpusChannelSlot& slot) {
  MutexLock hold(slot.lock);
  if (slot.viewers > 0 && --slot.viewers == 0) slot.channel.reset();
}

OpusChannelPtr OpusChannelCurrent(OpusChannelSlot& slot) {
  MutexLock hold(slot.lock);
  return slot.channel;
}

// ---- Sidecar ----

bool OpusSidecarPathOf(PathText& out, const char* indexPath) {
  const size_t n = strlen(indexPath);
  const size_t suffix = strlen(kIndexSuffix);
  out[0] = '\0';
  if (n < suffix || strcmp(indexPath + n - suffix, kIndexSuffix) != 0) return false;
  const size_t stem = n - suffix;
  if (stem + 5 >= kTextSize) return false;
  memcpy(out, indexPath, stem);
  memcpy(out + stem, ".opus", 6);
  return true;
}

namespace {

constexpr int64_t kFirstTagOffset = static_cast<int64_t>(kFlvHeaderSize);
constexpr uint32_t kHoldFrames = 50;

Mutex g_sidecarsLock;
std::map<std::string, std::weak_ptr<OpusSidecar>> g_sidecars GUARDED_BY(g_sidecarsLock);
std::atomic<uint64_t> g_builds{0};
Mutex g_holdLock;
std::condition_variable_any g_holdChanged;
bool g_hold GUARDED_BY(g_holdLock) = false;

// The script tag body naming the source.
std::vector<uint8_t> SourceTagBody(int64_t size, int64_t mtime, bool complete) {
  std::vector<uint8_t> b;
  auto text = [&](const char* s) {
    const size_t n = strlen(s);
    b.push_back(uint8_t(n >> 8));
    b.push_back(uint8_t(n));
    b.insert(b.end(), s, s + n);
  };
  auto number = [&](double v) {
    b.push_back(0);  // AMF0 number
    uint64_t bits;
    memcpy(&bits, &v, sizeof bits);
    for (int i = 7; i >= 0; --i) b.push_back(uint8_t(bits >> (i * 8)));
  };
  b.push_back(2);  // AMF0 string
  text("strmdOpusSource");
  b.push_back(3);  // AMF0 object
  text("size");
  number(static_cast<double>(size));
  text("mtime");
  number(static_cast<double>(mtime));
  text("complete");
  b.push_back(1);  // AMF0 boolean
  b.push_back(complete ? 1 : 0);
  b.insert(b.end(), {0, 0, 9});
  return b;
}

std::vector<uint8_t> TagRecord(uint32_t backPointer, uint8_t type, uint32_t timestamp,
                               std::span<const uint8_t> body) {
  std::vector<uint8_t> r(kFlvTagHeaderSize + body.size());
  FlvTagHeader h;
  h.backPointer = backPointer;
  h.type = type;
  h.dataSize = static_cast<uint32_t>(body.size());
  h.timestamp = timestamp;
  EncodeTagHeader(h, r.data());
  memcpy(r.data() + kFlvTagHeaderSize, body.data(), body.size());
  return r;
}

bool SourceIdentity(const char* path, int64_t* size, int64_t* mtime) {
  struct stat st;
  if (stat(FileSystemPath(path).c_str(), &st) != 0) return false;
  *size = static_cast<int64_t>(st.st_size);
  *mtime = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return true;
}

// True when the sidecar on disk is complete and names the source as it is.
bool SidecarIsCurrent(const OpusSidecar& s) {
  File f;
  if (!FileExists(s.path.c_str()) || !f.Open(s.path.c_str(), false)) return false;
  const std::vector<uint8_t> want = SourceTagBody(s.sourceSize, s.sourceMtime, true);
  std::vector<uint8_t> have(want.size());
  FlvTagHeader h;
  return f.SeekTo(kFirstTagOffset) && ReadTagHeader(&f, &h) && h.type == kFlvTagScript &&
         h.dataSize == want.size() && TagDataFits(f, h) && f.Read(have) && have == want;
}

void Finish(OpusSidecar& s, bool ok) {
  MutexLock hold(s.lock);
  s.done = ok;
  s.failed = !ok;
  s.previous.reset();
  s.changed.notify_all();
}

uint64_t ThreadCpuUnits() {
  timespec ts;
  if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts) != 0) return 0;
  return uint64_t(ts.tv_sec) * 10000000u + uint64_t(ts.tv_nsec) / 100u;
}

// Writes the sidecar, publishing each tag as it goes.
bool Build(OpusSidecar& s) {
  OpusCodecPtr codec = OpusCodecMake();
  if (!codec) return false;
  File src;
  if (!src.Open(s.sourcePath.c_str(), false)) return false;
  uint8_t header[kFlvHeaderSize];
  if (!src.Read(header, sizeof header) || memcmp(header, "FLV", 3) != 0) {
    REPORT_ASSERT("memcmp(header, \"FLV\", 3) == 0", "OpusAudio");
    return false;
  }
  const uint32_t headerSize = GetBe32(header + 5);
  if (headerSize < kFlvHeaderSize || !src.SeekTo(headerSize)) return false;

  FileDelete(s.path.c_str());
  File out;
  if (!out.Open(s.path.c_str(), true)) return false;
  std::vector<uint8_t> bytes = {'F', 'L', 'V', kFlvVersion, kFlvFlagAudio, 0, 0, 0, kFlvHeaderSize};
  const std::vector<uint8_t> source = SourceTagBody(s.sourceSize, s.sourceMtime, false);
  const std::vector<uint8_t> first = TagRecord(0, kFlvTagScript, 0, source);
  const int64_t completeAt = kFirstTagOffset + int64_t(first.size()) - 4;  // the boolean's byte
  bytes.insert(bytes.end(), first.begin(), first.end());
  const std::vector<uint8_t> start = OpusSequenceStart(*codec);
  uint32_t back = kFlvTagFieldsSize + uint32_t(source.size());
  const std::vector<uint8_t> second = TagRecord(back, kFlvTagAudio, 0, start);
  bytes.insert(bytes.end(), second.begin(), second.end());
  back = kFlvTagFieldsSize + uint32_t(start.size());
  if (!out.Write(bytes)) return false;
  int64_t end = int64_t(bytes.size());
  s.end.store(end, std::memory_order_release);

  uint64_t cpuMark = ThreadCpuUnits();
  uint64_t frames = 0;
  bool held = false;
  FlvTagHeader h;
  std::vector<uint8_t> body;
  std::vector<OpusMessage> made;
  while (ReadTagHeader(&src, &h)) {
    if (s.cancel.load(std::memory_order_relaxed)) return false;
    if (!TagDataFits(src, h)) break;  // a cut recording ends here
    if (h.type != kFlvTagAudio || h.dataSize == 0 || h.dataSize > kOpusSpeexMaxBody + 1) {
      if (!src.Skip(h.dataSize)) return false;
      continue;
    }
    body.resize(h.dataSize);
    if (!src.Read(body)) return false;
    if ((body[0] >> 4) != kFlvSoundSpeex) continue;
    made.clear();
    if (!OpusTranscode(*codec, h.timestamp, body, &made)) continue;  // reported; the rest still plays
    bytes.clear();
    for (const OpusMessage& m : made) {
      const std::vector<uint8_t> r = TagRecord(back, kFlvTagAudio, m.timestamp, m.body);
      bytes.insert(bytes.end(), r.begin(), r.end());
      back = kFlvTagFieldsSize + uint32_t(m.body.size());
    }
    if (!out.Write(bytes)) return false;
    end += int64_t(bytes.size());
    s.lastTimestamp.store(made.back().timestamp, std::memory_order_relaxed);
    s.end.store(end, std::memory_order_release);
    frames += made.size();
    if ((frames & 63) < made.size()) {
      const uint64_t now = ThreadCpuUnits();
      DebugAdmitAddWorkCpu(now - cpuMark);
      cpuMark = now;
    }
    if (!held && frames >= kHoldFrames) {
      held = true;
      UniqueLock<Mutex> hold(g_holdLock);
      while (g_hold && !s.cancel.load(std::memory_order_relaxed))
        g_holdChanged.wait_for(hold, std::chrono::milliseconds(100));
    }
  }
  DebugAdmitAddWorkCpu(ThreadCpuUnits() - cpuMark);
  if (!out.WriteU32(back)) return false;
  out.Close();
  // Marked complete last: a sidecar cut short by a stop is made again.
  File mark;
  const uint8_t one = 1;
  return mark.Open(s.path.c_str(), true) && mark.SeekTo(completeAt) && mark.Write(&one, 1);
}

// One build: after the cancelled build of the file's older state, which
// writes the same path.
void BuildOne(const OpusSidecarPtr& s) {
  OpusSidecarPtr previous;
  {
    MutexLock hold(s->lock);
    previous = s->previous;
  }
  if (previous && !OpusSidecarWait(*previous, 30000) && !OpusSidecarFailed(*previous)) {
    errno = 0;
    ReportError("Opus sidecar %s: the earlier build did not stop", s->path.c_str());
    Finish(*s, false);
    return;
  }
  const bool ok = Build(*s);
  if (!ok) {
    if (!s->cancel.load()) {
      errno = 0;
      ReportError("Opus sidecar %s of %s could not be made", s->path.c_str(), s->sourcePath.c_str());
    }
    FileDelete(s->path.c_str());
  }
  Finish(*s, ok);
}

// Builders at once: the first plays of many files must not start a thread
// each. The others wait in order, and their readers wait with them.
constexpr int kSidecarBuildersMax = 2;
Mutex g_buildLock;
std::deque<OpusSidecarPtr> g_buildQueue GUARDED_BY(g_buildLock);
int g_building GUARDED_BY(g_buildLock) = 0;

void BuildThread(OpusSidecarPtr s) {
  DebugAdmitWorkThreads(1);
  for (;;) {
    // One cancelled while it waited has written nothing.
    if (s->cancel.load())
      Finish(*s, false);
    else
      BuildOne(s);
    MutexLock hold(g_buildLock);
    if (g_buildQueue.empty()) {
      --g_building;
      break;
    }
    s = std::move(g_buildQueue.front());
    g_buildQueue.pop_front();
  }
  DebugAdmitWorkThreads(-1);
}

void StartBuild(OpusSidecarPtr s) {
  {
    MutexLock hold(g_buildLock);
    if (g_building >= kSidecarBuildersMax || !g_buildQueue.empty()) {
      g_buildQueue.push_back(std::move(s));
      return;
    }
    ++g_building;
  }
  std::thread(BuildThread, std::move(s)).detach();
}

}  // namespace

OpusSidecarPtr OpusSidecarOpen(const char* sourcePath, const char* sidecarPath) {
  auto s = std::make_shared<OpusSidecar>();
  s->sourcePath = sourcePath;
  s->path = sidecarPath;
  if (!SourceIdentity(sourcePath, &s->sourceSize, &s->sourceMtime)) {
    REPORT_ASSERT("SourceIdentity(sourcePath)", "OpusAudio");
    return nullptr;
  }
  OpusSidecarPtr previous;
  {
    MutexLock hold(g_sidecarsLock);
    if (g_sidecars.size() > 256)
      std::erase_if(g_sidecars, [](const auto& e) { return e.second.expired(); });
    std::weak_ptr<OpusSidecar>& slot = g_sidecars[s->path];
    if (OpusSidecarPtr known = slot.lock()) {
      // A finished one whose file was deleted since is made again.
      if (known->sourceSize == s->sourceSize && known->sourceMtime == s->sourceMtime &&
          !OpusSidecarFailed(*known) && (!OpusSidecarDone(*known) || FileExists(known->path.c_str())))
        return known;
      known->cancel.store(true);
      previous = known;
    } else if (SidecarIsCurrent(*s)) {
      File f;
      s->end.store(f.Open(s->path.c_str(), false) ? f.Size() - int64_t(kFlvBackPointerSize) : 0);
      MutexLock done(s->lock);
      s->done = true;
      slot = s;
      return s;
    }
    {
      MutexLock own(s->lock);
      s->previous = previous;
    }
    slot = s;
  }
  g_builds.fetch_add(1);
  StartBuild(s);
  return s;
}

bool OpusSidecarWait(OpusSidecar& s, int limitMs) {
  UniqueLock<Mutex> hold(s.lock);
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  while (!s.done && !s.failed)
    if (s.changed.wait_until(hold, until) == std::cv_status::timeout) break;
  return s.done;
}

bool OpusSidecarDone(OpusSidecar& s) {
  MutexLock hold(s.lock);
  return s.done;
}

bool OpusSidecarFailed(OpusSidecar& s) {
  MutexLock hold(s.lock);
  return s.failed;
}

OpusRead OpusSidecarRead(OpusSidecar& s, OpusSidecarReader& reader, OpusMessage* tag) {
  for (;;) {
    if (OpusSidecarFailed(s)) return OpusRead::kFailed;
    const bool done = OpusSidecarDone(s);
    const int64_t end = s.end.load(std::memory_order_acquire);
    if (reader.offset == 0) reader.offset = kFirstTagOffset;
    if (reader.offset + int64_t(kFlvTagHeaderSize) > end) return done ? OpusRead::kEnd : OpusRead::kWait;
    // The file grows under the reader: open again when the published part
    // goes past what it saw at open.
    if (!reader.file.IsOpen() || reader.file.Size() < end) {
      reader.file.Close();
      if (!reader.file.Open(s.path.c_str(), false)) return OpusRead::kFailed;
    }
    FlvTagHeader h;
    if (!reader.file.SeekTo(reader.offset) || !ReadTagHeader(&reader.file, &h)) return OpusRead::kFailed;
    const int64_t next = reader.offset + int64_t(kFlvTagHeaderSize) + h.dataSize;
    if (next > end) {
      REPORT_ASSERT("next <= end", "OpusAudio");
      return OpusRead::kFailed;
    }
    reader.offset = next;
    if (h.type != kFlvTagAudio || h.dataSize == 0) {
      if (!reader.file.Skip(h.dataSize)) return OpusRead::kFailed;
      continue;
    }
    tag->timestamp = h.timestamp;
    tag->body.resize(h.dataSize);
    if (!reader.file.Read(tag->body.data(), 1)) return OpusRead::kFailed;
    if (h.timestamp < reader.from && (tag->body[0] & 0x0F) == kOpusPacketCodedFrames) {
      if (!reader.file.Skip(h.dataSize - 1)) return OpusRead::kFailed;
      continue;
    }
    if (!reader.file.Read(tag->body.data() + 1, h.dataSize - 1)) return OpusRead::kFailed;
    return OpusRead::kTag;
  }
}

uint64_t OpusSidecarBuildsForTest() { return g_builds.load(); }

void OpusSidecarHoldForTest(bool hold) {
  MutexLock lock(g_holdLock);
  g_hold = hold;
  g_holdChanged.notify_all();
}
