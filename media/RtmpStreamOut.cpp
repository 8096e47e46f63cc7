#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "client/Client.h"
#include "media/FlvMedia.h"
#include "media/RtmpChannel.h"
#include "media/RtmpStream.h"
#include "rtmp/RtmpBody.h"
#include "rtmp/RtmpFunctions.h"
#include "rtmp/RtmpUtils.h"
#include "util/Log.h"
#include "config/ServerConfig.h"
#include "util/Clock.h"
#include "util/ThreadSafety.h"

namespace {

// Stream time between gap markers: a player whose file is silent for a while
// still receives a message every 200 ms and keeps its clock running.
constexpr uint32_t kMarkerStepMs = 200;
// How soon a browser player asks again for Opus its sidecar has not yet.
constexpr int64_t kOpusRetryMs = 20;

// The shared indexes by index path, with what identified the file they came
// from. Entries of indexes that no player holds are dropped on the next
// acquire.
struct PlayIndexEntry {
  std::weak_ptr<const std::vector<IndexEntry>> entries;
  dev_t device = 0;
  ino_t inode = 0;
  int64_t size = 0;
  timespec modified{};
};
Mutex g_playIndexLock;
std::map<std::string, PlayIndexEntry, std::less<>> g_playIndexes GUARDED_BY(g_playIndexLock);

bool SameFile(const PlayIndexEntry& e, const struct stat& st) {
  return e.device == st.st_dev && e.inode == st.st_ino && e.size == static_cast<int64_t>(st.st_size) &&
         e.modified.tv_sec == st.st_mtim.tv_sec && e.modified.tv_nsec == st.st_mtim.tv_nsec;
}

// From this lead on, a player gives its file's read buffer back between
// windows and from its play to its first window (ReleaseIdleReadBuffer).
constexpr int32_t kReleaseReadBufferLeadMs = 500;
// A player's file read buffer: a short lead keeps it between windows, and a
// window of a tenth of a second of a 1 Mbit/s file is about this much, so a
// refill costs one read and a thousand players do not hold 64 KiB each.
// Frames this large and larger are read into their packets directly.
constexpr size_t kPlayReadBufferSize = 16 * 1024;

// 100-ns units until stream time `ts` is due on the stream's clock.
int64_t UntilDue(const RtmpStream* stream, uint32_t ts, int64_t now100ns) {
  return (int64_t{ts} - int64_t{stream->baseTimestamp}) * 10000 - (now100ns - stream->output.clockStart);
}

// The next window is at least half a lead away (the first one: its send
// loop's turn): the file's read buffer would sit idle that long, and a
// thousand players would hold a thousand of them. Reading its unused part
// again costs less than keeping it. Short leads keep it: they would read it
// again many times a second.
void ReleaseIdleReadBuffer(RtmpStream* stream) {
  if (StreamLeadMs(stream) >= kReleaseReadBufferLeadMs) stream->file.file.ReleaseReadBuffer();
}

void DestroyPacket(void* item) { RtmpPacketDestroy(static_cast<RtmpPacket*>(item)); }

// A window's small bodies share blocks of this size: one allocation for
// dozens of messages, and no freed bodies of every size a player sent left
// behind in its thread's allocator cache (where the C library keeps one).
// A block goes back when the socket has taken the window; larger bodies are
// allocated each on its own.
constexpr uint32_t kBodyBlockSize = 16 * 1024;
constexpr uint32_t kBlockBodyMax = 4 * 1024;

bool SameBlock(const SharedBody& a, const SharedBody& b) { return !a.owner_before(b) && !b.owner_before(a); }

// While a window is read: the packet's body cut from the stream's block.
// False when it is not (the caller allocates one).
bool CarveBody(RtmpStreamOut& out, RtmpPacket* packet, uint32_t size) {
  if (!out.carving || size == 0 || size > kBlockBodyMax) return false;
  if (!out.bodyBlock || kBodyBlockSize - out.bodyBlockUsed < size) {
    out.bodyBlock = RtmpBodyAlloc(kBodyBlockSize);
    out.bodyBlockUsed = 0;
    if (!out.bodyBlock) return false;
  }
  RtmpPacketFree(packet);
  packet->m_block = SharedBody(out.bodyBlock, out.bodyBlock.get() + out.bodyBlockUsed);
  packet->m_body = packet->m_block.get();
  out.bodyBlockUsed += size;
  return true;
}

// The end of a window: a packet it leaves queued (the tag past its end, or
// the rest above the watermark) gets a body of its own, so that the block
// goes as soon as the socket has taken what was sent.
void EndCarving(RtmpStream* stream) {
  RtmpStreamOut& out = stream->output;
  out.carving = false;
  if (!out.bodyBlock) return;
  {
    ListLock guard(out.queue.lock);
    for (ListNode* node = out.queue.first; node != nullptr; node = node->next) {
      auto* packet = static_cast<RtmpPacket*>(node->item);
      if (!SameBlock(packet->m_block, out.bodyBlock)) continue;
      SharedBody own = RtmpBodyAlloc(packet->m_nBodySize);
      if (!own) break;  // it keeps the block: more memory, the same bytes
      std::memcpy(own.get(), packet->m_body, packet->m_nBodySize);
      packet->m_block = std::move(own);
      packet->m_body = packet->m_block.get();
    }
  }
  out.bodyBlock.reset();
  out.bodyBlockUsed = 0;
}

RtmpPacket* NewPacket(RtmpStream* stream, uint8_t type, uint32_t timestamp, uint32_t size) {
  auto packet = std::make_unique<RtmpPacket>();
  if (!CarveBody(stream->output, packet.get(), size) && !RtmpPacketAlloc(packet.get(), size)) return nullptr;
  packet->m_nHeaderType = 0;
  packet->m_nChannel = type == kRtmpMsgVideo ? stream->videoChannel : stream->audioChannel;
  packet->m_nTimestamp = timestamp;
  packet->m_nBodySize = size;
  packet->m_nMessageType = type;
  packet->m_nStreamId = stream->id;
  packet->m_nBytesRead = size;
  return packet.release();
}

// Reads the data of the audio or video tag whose header was just read into a
// new packet (not queued). None when the data is not in the file.
RtmpPacket* ReadTagPacket(RtmpStream* stream, const FlvTagHeader& header) {
  File& file = stream->file.file;
  if (!TagDataFits(file, header)) return nullptr;
  RtmpPacket* packet = NewPacket(stream, header.type, header.timestamp, header.dataSize);
  if (packet == nullptr) {
    REPORT_ASSERT("buffer", "RtmpFile");
    return nullptr;
  }
  if (!file.Read(packet->m_body, header.dataSize)) {
    RtmpPacketDestroy(packet);
    return nullptr;
  }
  return packet;
}

bool IsKeyFrame(const RtmpPacket* packet) {
  return FlvIsKeyFrame({packet->m_body, packet->m_nBodySize}, packet->m_nBodySize);
}

bool IsDecoderConfig(const RtmpPacket* packet) {
  return FlvIsDecoderConfig(packet->m_nMessageType, {packet->m_body, packet->m_nBodySize});
}

// The type and leading body bytes of the tag at an index entry; false when
// they cannot be read. Moves the file.
bool PeekTag(File& file, const IndexEntry& entry, FlvTagHeader* header, uint8_t (&lead)[kFlvMediaPeekSize],
             size_t* leadSize) {
  if (!file.SeekTo(static_cast<int64_t>(entry.offset)) || !ReadTagHeader(&file, header)) return false;
  *leadSize = std::min<size_t>(header->dataSize, kFlvMediaPeekSize);
  return TagDataFits(file, *header) && file.Read(lead, *leadSize);
}

// Where playback resumes for stream time t: the index entry of the last video
// key frame at or before t (with the audio and decoder configuration stored
// just before it at the same time), and its time in *at. Starting anywhere
// else would hand the decoder frames it cannot decode until the next key
// frame. Without a key frame at or before t (no video, or a codec whose key
// frames cannot be told), the index search's own entry, and *at = t. The
// search reads only the video tags it passes, a few bytes each; the file is
// moved.
uint32_t ResumeEntry(RtmpStream* stream, uint32_t t, uint32_t* at) {
  const std::vector<IndexEntry>& index = *stream->file.frameindex;
  File& file = stream->file.file;
  *at = t;
  const uint32_t found = FindIndexEntry(index, t);
  // The search gives a neighbour of t: step to the last entry at or before it.
  size_t last = found;
  while (last + 1 < index.size() && index[last + 1].timestamp <= t) ++last;
  while (index[last].timestamp > t) {
    if (last == 0) return found;
    --last;
  }
  FlvTagHeader header;
  uint8_t lead[kFlvMediaPeekSize];
  size_t leadSize = 0;
  for (size_t i = last + 1; i-- > 0;) {
    if (index[i].type != kFlvTagVideo) continue;
    // An entry that does not lead to its tag: the index is stale, and the
    // search's own entry is refused or played as before.
    if (!PeekTag(file, index[i], &header, lead, &leadSize)) return found;
    if (header.type != kFlvTagVideo || !FlvIsKeyFrame({lead, leadSize}, header.dataSize)) continue;
    const uint32_t time = index[i].timestamp;
    while (i > 0 && index[i - 1].timestamp == time) {
      const IndexEntry& before = index[i - 1];
      if (before.type == kFlvTagVideo &&
          (!PeekTag(file, before, &header, lead, &leadSize) || !FlvIsDecoderConfig(header.type, {lead, leadSize})))
        break;
      --i;
    }
    *at = time;
    return static_cast<uint32_t>(i);
  }
  return found;
}

// Moves the FLV to where playback resumes for t; *at as ResumeEntry.
bool SeekToResume(RtmpStream* stream, uint32_t t, uint32_t* at) {
  if (!stream->file.frameindex) return false;
  const std::vector<IndexEntry>& index = *stream->file.frameindex;
  *at = t;
  if (index.empty()) return false;
  uint32_t entry = ResumeEntry(stream, t, at);
  return stream->file.file.SeekTo(static_cast<int64_t>(index[entry].offset));
}

// A browser player's Opus in its turn: the sidecar's next tag queued when
// it is stamped at or before t (the file's next tag), kFile when the file's
// tag comes first, kWait when the builder has not got there yet.
enum class OpusTurn { kFile, kQueued, kWait };
OpusTurn QueueOpusBefore(RtmpStream* stream, uint32_t t, RtmpPacket** queued) {
  PlayOpus& o = stream->output.opus;
  for (;;) {
    if (!o.sidecar || o.ended) return OpusTurn::kFile;
    if (!o.holding) {
      switch (OpusSidecarRead(*o.sidecar, o.reader, &o.next)) {
        case OpusRead::kTag:
          o.holding = true;
          break;
        case OpusRead::kWait:
          o.waiting = true;
          o.retryAt = PacingNow() + kOpusRetryMs * 10000;
          return OpusTurn::kWait;
        case OpusRead::kEnd:
          o.ended = true;
          return OpusTurn::kFile;
        case OpusRead::kFailed:
          o.sidecar.reset();  // reported; the rest plays without sound
          return OpusTurn::kFile;
      }
    }
    if (!o.next.body.empty() && o.next.timestamp > t) return OpusTurn::kFile;
    o.holding = false;
    if (o.next.body.empty()) continue;
    // The configuration once per play: a seek restarts the reader.
    const bool config = (o.next.body[0] & 0x0F) == kOpusPacketSequenceStart;
    if (config && o.started) continue;
    o.started = o.started || config;
    // A start past 0 gets it at the start: the stream's time never goes back.
    const uint32_t at = config ? std::max(o.next.timestamp, o.reader.from) : o.next.timestamp;
    const auto size = static_cast<uint32_t>(o.next.body.size());
    RtmpPacket* packet = NewPacket(stream, kRtmpMsgAudio, at, size);
    if (packet == nullptr) {
      REPORT_ASSERT("buffer", "RtmpStreamOut");
      return OpusTurn::kFile;
    }
    memcpy(packet->m_body, o.next.body.data(), size);
    QueuePacket(stream, packet);
    stream->output.lastQueued = at;
    *queued = packet;
    return OpusTurn::kQueued;
  }
}

// The sidecar read again from `from` (a start or a seek).
void RestartOpus(RtmpStream* stream, uint32_t from) {
  PlayOpus& o = stream->output.opus;
  o.reader.file.Close();
  o.reader.offset = 0;
  o.reader.from = from;
  o.holding = o.ended = o.waiting = false;
}

// No Opus: the file's audio as it is.
void CloseOpus(RtmpStream* stream) {
  PlayOpus& o = stream->output.opus;
  RestartOpus(stream, 0);
  o.sidecar.reset();
  o.active = o.started = false;
}

// A browser player of a file whose audio is Speex plays the Opus of its
// sidecar instead (made when missing).
void OpenOpus(RtmpStream* stream, const char* flvPath, const char* indexPath) {
  RtmpStreamOut& out = stream->output;
  CloseOpus(stream);
  if (!stream->browser || !out.hasAudio) return;
  FlvTagHeader header;
  uint8_t lead[kFlvMediaPeekSize];
  size_t leadSize = 0;
  for (const IndexEntry& entry : *stream->file.frameindex) {
    if (entry.type != kFlvTagAudio) continue;
    if (!PeekTag(stream->file.file, entry, &header, lead, &leadSize) || leadSize == 0 ||
        (lead[0] >> 4) != kFlvSoundSpeex)
      return;
    break;
  }
  PathText sidecarPath;
  if (leadSize == 0 || !OpusSidecarPathOf(sidecarPath, indexPath)) return;
  out.opus.active = true;
  out.opus.sidecar = OpusSidecarOpen(flvPath, sidecarPath);
}

// Leaves only the decoder configuration queued.
void KeepDecoderConfig(RtmpStream* stream) {
  RtmpStreamOut& out = stream->output;
  ListLock guard(out.queue.lock);
  for (ListNode* n = out.queue.first; n != nullptr;) {
    ListNode* next = n->next;
    auto* packet = static_cast<RtmpPacket*>(n->item);
    if (!IsDecoderConfig(packet)) {
      ListRemoveNode(&out.queue, n);
      out.queueBytes -= packet->m_nBodySize;
      RtmpPacketDestroy(packet);
    }
    n = next;
  }
  out.queued = out.queue.count;
}

}  // namespace

int SendStatus(RtmpStream* stream, const char* code, const char* description) {
  return SendStatusOn(stream->rtmp, stream->dataChannel, stream->id, code, description);
}

int SendMetaData(RtmpStream* stream) {
  const RtmpStreamOut& out = stream->output;
  StreamMetaData meta;
  meta.title = out.title.c_str();
  meta.picture = out.picture.c_str();
  meta.objectId = out.objectId;
  meta.authorId = out.authorId;
  meta.parentId = out.parentId;
  meta.masterId = out.masterId;
  meta.hasAudio = out.hasAudio;
  meta.hasVideo = out.hasVideo;
  if (out.opus.active) meta.audioCodecId = OpusAudioCodecId();
  meta.fileOpen = stream->file.open;
  meta.duration = out.duration;
  meta.size = out.size;
  std::vector<StreamMetaSegment> segments;
  if (meta.fileOpen) {
    segments.reserve(out.segments.size());
    for (const Segment& s : out.segments) segments.push_back({s.start, s.end});
  }
  meta.segments = segments;
  return SendMetaDataOn(stream->rtmp, stream->dataChannel, stream->id, meta);
}

std::shared_ptr<const std::vector<IndexEntry>> AcquirePlayIndex(const char* indexPath, IndexLoad* result) {
  const std::string path = FileSystemPath(indexPath);
  struct stat st {};
  const bool known = stat(path.c_str(), &st) == 0;
  UniqueLock<Mutex> lock(g_playIndexLock);
  for (auto it = g_playIndexes.begin(); it != g_playIndexes.end();)
    it = it->second.entries.expired() ? g_playIndexes.erase(it) : std::next(it);
  if (known) {
    auto found = g_playIndexes.find(path);
    if (found != g_playIndexes.end() && SameFile(found->second, st)) {
      if (auto shared = found->second.entries.lock()) {
        *result = IndexLoad::kLoaded;
        return shared;
      }
    }
  }
  // Loaded outside the lock: a slow disk must not hold up the players of
  // other files. Two players that load the same new index at once each
  // load it; the later one's copy is the one kept.
  lock.unlock();
  auto entries = std::make_shared<std::vector<IndexEntry>>();
  *result = LoadIndex(indexPath, entries.get());
  if (*result != IndexLoad::kLoaded) return nullptr;
  std::shared_ptr<const std::vector<IndexEntry>> shared = std::move(entries);
  if (known) {
    lock.lock();
    PlayIndexEntry& e = g_playIndexes[path];
    e.entries = shared;
    e.device = st.st_dev;
    e.inode = st.st_ino;
    e.size = static_cast<int64_t>(st.st_size);
    e.modified = st.st_mtim;
  }
  return shared;
}

size_t SharedPlayIndexCount() {
  MutexLock lock(g_playIndexLock);
  size_t n = 0;
  for (const auto& [path, e] : g_playIndexes) n += e.entries.expired() ? 0 : 1;
  return n;
}

void QueuePacket(RtmpStream* stream, RtmpPacket* packet) {
  RtmpStreamOut& out = stream->output;
  ListLock guard(out.queue.lock);
  ListAddTail(&out.queue, packet);
  out.queued = out.queue.count;
  out.queueBytes += packet->m_nBodySize;
}

void EmptyQueue(RtmpStream* stream) {
  RtmpStreamOut& out = stream->output;
  ListLock guard(out.queue.lock);
  ListRemoveAll(&out.queue, DestroyPacket);
  out.queued = 0;
  out.queueBytes = 0;
}

RtmpPacket* QueueMarker(RtmpStream* stream, uint32_t timestamp) {
  RtmpPacket* packet = NewPacket(stream, 8, timestamp, 0);
  if (packet == nullptr) {
    REPORT_ASSERT("buffer", "RtmpStreamOut");
    return nullptr;
  }
  if (!stream->output.hasAudio) packet->m_nChannel = stream->videoChannel;
  QueuePacket(stream, packet);
  stream->output.lastQueued = timestamp;
  return packet;
}

int32_t StreamLeadMs(const RtmpStream* stream) {
  const int32_t cap = std::max(g_config.playAheadMs, 0);
  const int32_t asked = stream->output.bufferMs;
  return asked < 0 ? cap : std::min(asked, cap);
}

void StartClock(RtmpStream* stream, uint32_t timestamp) {
  RtmpStreamOut& out = stream->output;
  out.clockStart = PacingNow();
  out.endDue = 0;  // playing on: the end was not the end
  out.windowPending = true;
  out.lastQueued = out.lastSent = stream->baseTimestamp = timestamp;
  ListLock guard(out.queue.lock);
  out.firstVideoPending = out.firstAudioPending = true;
}

RtmpPacket* ReadNextTag(RtmpStream* stream, bool forced, int64_t now100ns, int64_t lead100ns) {
  File& file = stream->file.file;
  RtmpStreamOut& out = stream->output;
  out.nextTagOffset = -1;
  if (!stream->file.open || file.AtEnd()) return nullptr;
  out.opus.waiting = false;
  for (;;) {
    FlvTagHeader header;
    if (!ReadTagHeader(&file, &header)) return nullptr;
    if (header.dataSize == 0) continue;
    if (out.opus.sidecar) {
      // The tag is read again in its turn.
      RtmpPacket* queued = nullptr;
      const OpusTurn turn = QueueOpusBefore(stream, header.timestamp, &queued);
      if (turn != OpusTurn::kFile) {
        if (!file.Back(static_cast<int64_t>(kFlvTagHeaderSize))) return nullptr;
        return queued;
      }
    }
    // In 64 bits: near 2^32 ms the sum would wrap and mark from 0 again.
    if (!forced && uint64_t{out.lastSent} + kMarkerStepMs < header.timestamp) {
      if (!file.Back(static_cast<int64_t>(kFlvTagHeaderSize))) return nullptr;
      return QueueMarker(stream, out.lastSent + kMarkerStepMs);
    }
    if (header.type == kFlvTagAudio || header.type == kFlvTagVideo) {
      // Past the window: the tag waits in the file (not a frame in memory
      // under every player) and its time paces the next window.
      if (lead100ns > 0 && UntilDue(stream, header.timestamp, now100ns) > lead100ns) {
        if (!file.Back(static_cast<int64_t>(kFlvTagHeaderSize))) return nullptr;
        out.lastQueued = header.timestamp;
        out.nextTagOffset = file.Position();
        return nullptr;
      }
      RtmpPacket* packet = ReadTagPacket(stream, header);
      if (packet == nullptr) return nullptr;
      if (out.opus.active && header.type == kFlvTagAudio && (packet->m_body[0] >> 4) == kFlvSoundSpeex) {
        RtmpPacketDestroy(packet);
        continue;
      }
      QueuePacket(stream, packet);
      out.lastQueued = header.timestamp;
      return packet;
    }
    if (!TagDataFits(file, header) || !file.Skip(header.dataSize)) return nullptr;
  }
}

int64_t StreamWait(RtmpStream* stream, int64_t now100ns) {
  RtmpStreamOut& out = stream->output;
  out.heldForOutput = false;
  if (!stream->playing) return -1;
  if (out.endDue != 0) return out.endDue <= now100ns ? 0 : (out.endDue - now100ns + 9999) / 10000;
  if (out.paused) return -1;
  const int64_t lead100ns = int64_t{StreamLeadMs(stream)} * 10000;
  int64_t wait100ns;
  if (out.completePending) {
    wait100ns = UntilDue(stream, out.lastSent, now100ns);
  } else {
    // A browser player's Opus not made yet: asked again shortly.
    if (out.queued == 0 && out.opus.waiting)
      return out.opus.retryAt <= now100ns ? 0 : (out.opus.retryAt - now100ns + 9999) / 10000;
    // A window that ended at a tag left in the file waits for that tag.
    const bool nextInFile = out.nextTagOffset >= 0 && out.nextTagOffset == stream->file.file.Position();
    if (out.queued == 0 && !nextInFile) return -1;
    // Live media waits for the end of its merge period.
    if (!stream->file.open) return LiveChannelTakeDue(stream);
    // Nothing leaves before its due time less the lead; after the first
    // window, the next one waits until less than half the lead is ahead.
    wait100ns = UntilDue(stream, out.lastQueued.load(), now100ns) - lead100ns;
    if (lead100ns > 0 && !out.windowPending) {
      wait100ns = std::max(wait100ns, UntilDue(stream, out.lastSent, now100ns) - lead100ns / 2 + 1);
      // Refills fall on a shared grid (a quarter of the lead, at most 10 ms,
      // later, never earlier): the players of a send loop are served
      // together instead of each waking it at a time of its own.
      const int64_t grid = std::min<int64_t>(lead100ns / 4, 10 * 10000);
      if (wait100ns > 0 && grid > 1) wait100ns = (now100ns + wait100ns + grid - 1) / grid * grid - now100ns;
    }
  }
  // Rounded up: a timer that fires early would send the packet early.
  if (wait100ns > 0) return (wait100ns + 9999) / 10000;
  // A player keeps at most one window in the output queue: the next one is
  // read from the file once the socket has taken the last.
  if (lead100ns > 0 && !out.windowPending && !out.completePending && RtmpOutputPending(stream->rtmp)) {
    out.heldForOutput = true;
    return -1;
  }
  return 0;
}

namespace {

// Reads the window due now from the file into the queue and sends it.
bool ServeWindow(RtmpStream* stream, int64_t now100ns, int64_t lead100ns) {
  RtmpStreamOut& out = stream->output;
  for (;;) {
    // Above the watermark the window ends: the rest stays in the file.
    if (out.queued != 0) return true;
    if (ReadNextTag(stream, false, now100ns, lead100ns) == nullptr) {
      if (out.opus.waiting || out.nextTagOffset >= 0) return true;
      // The end of the file is told when the player gets there, so that
      // Complete and the viewing time mean what they meant without a lead.
      if (lead100ns > 0 && UntilDue(stream, out.lastSent, now100ns) > 0)
        out.completePending = true;
      else
        FinishPlayback(stream);
      return true;
    }
    if (lead100ns == 0 || UntilDue(stream, out.lastQueued.load(), now100ns) > lead100ns ||
        RtmpOutputAboveWatermark(stream->rtmp))
      return true;
    if (!SendQueue(stream)) return false;
  }
}

}  // namespace

bool StreamServeFile(RtmpStream* stream, int64_t now100ns) {
  RtmpStreamOut& out = stream->output;
  if (out.completePending) {
    out.completePending = false;
    FinishPlayback(stream);
    return true;
  }
  const int32_t leadMs = StreamLeadMs(stream);
  out.windowPending = false;
  // Without a lead every message is a window of its own: nothing to share.
  out.carving = leadMs > 0;
  const bool served = ServeWindow(stream, now100ns, int64_t{leadMs} * 10000);
  EndCarving(stream);
  ReleaseIdleReadBuffer(stream);
  return served;
}

bool OpenPlayFile(RtmpStream* stream, const char* flvPath, const char* indexPath, int32_t start) {
  IndexLoad loaded = IndexLoad::kFailed;
  std::shared_ptr<const std::vector<IndexEntry>> entries = AcquirePlayIndex(indexPath, &loaded);
  return OpenPlayFileIndexed(stream, flvPath, indexPath, start, std::move(entries), loaded);
}

bool OpenPlayFileIndexed(RtmpStream* stream, const char* flvPath, const char* indexPath, int32_t start,
                         std::shared_ptr<const std::vector<IndexEntry>> entries, IndexLoad loaded) {
  RtmpStreamFile& f = stream->file;
  RtmpStreamOut& out = stream->output;

  switch (loaded) {
    case IndexLoad::kLoaded:
      break;
    case IndexLoad::kEmpty:
      // No audio or video to play: there is no first or last entry to use.
      return false;
    case IndexLoad::kFailed:
      REPORT_ASSERT("b", "RtmpFile");
      return false;
  }
  CopyText(f.path, flvPath);
  CopyText(f.indexPath, indexPath);
  if (!f.file.Open(flvPath, false)) {
    REPORT_ASSERT("b", "RtmpFile");
    return false;
  }
  f.file.SetReadBufferSize(kPlayReadBufferSize);
  f.open = true;
  f.frameindex = std::move(entries);
  const std::vector<IndexEntry>& index = *f.frameindex;

  uint8_t header[kFlvHeaderSize] = {};
  if (f.file.Read(header, sizeof header)) {
    out.hasVideo = (header[kFlvFlagsOffset] & kFlvFlagVideo) != 0;
    out.hasAudio = (header[kFlvFlagsOffset] & kFlvFlagAudio) != 0;
  }
  out.duration = index.back().timestamp;
  out.size = index.back().offset;
  out.segments = BuildSegments(index);
  OpenOpus(stream, flvPath, indexPath);
  SendMetaData(stream);

  // From here a failure must not leave the opening tags queued: the player,
  // told "not found", would be sent them and then the rest of the file.
  auto refuse = [stream] {
    EmptyQueue(stream);
    ClosePlayback(stream);
    return false;
  };
  // The tags at timestamp 0 (decoder configuration) and the first one after
  // them go out at once, whatever the start.
  if (!f.file.SeekTo(static_cast<int64_t>(index.front().offset))) return refuse();
  RtmpPacket* packet;
  do {
    packet = ReadNextTag(stream, true);
  } while (packet != nullptr && packet->m_nTimestamp == 0);
  const int64_t preread = f.file.Position();

  if (out.segments.empty()) {
    REPORT_ASSERT("segment", "RtmpFile");
    return refuse();
  }
  // A negative start (players send -1 and -2 for "from the beginning") plays
  // from the beginning; compared unsigned it would jump to the end.
  uint32_t from = start < 0 ? 0 : static_cast<uint32_t>(start);
  if (from < out.segments.front().start) from = static_cast<uint32_t>(out.segments.front().start);
  // A start beyond the end asks for nothing: it stays at the end, and only
  // a start inside the file goes back to its key frame.
  const bool beyondEnd = from > out.duration;
  if (beyondEnd) from = out.duration;
  // Going back to an entry that the opening read already queued would send
  // those tags twice.
  uint32_t at = from;
  const uint32_t entry = beyondEnd ? FindIndexEntry(index, from) : ResumeEntry(stream, from, &at);
  if (static_cast<int64_t>(index[entry].offset) >= preread) {
    if (!f.file.SeekTo(static_cast<int64_t>(index[entry].offset))) return refuse();
    // Frames of the opening would come before the resume point and out of
    // step with it: of them only the decoder needs its configuration.
    KeepDecoderConfig(stream);
    RestartOpus(stream, at);
  } else if (!f.file.SeekTo(preread)) {
    return refuse();
  }
  from = at;

  out.completePending = false;
  out.pausedAt = -1;
  StartClock(stream, from);
  QueueMarker(stream, from);
  StartSessionTiming(stream);
  // A class that starts a recording together would otherwise hold a read
  // buffer per player until its loop came to each of them.
  ReleaseIdleReadBuffer(stream);
  return true;
}

RtmpPacket* FindKeyFrame(RtmpStream* stream) {
  if (!stream->file.open || !stream->output.hasVideo) return nullptr;
  File& file = stream->file.file;
  for (;;) {
    FlvTagHeader header;
    if (!ReadTagHeader(&file, &header)) return nullptr;
    if (header.dataSize == 0) continue;
    if (header.type != kFlvTagAudio && header.type != kFlvTagVideo) {
      if (!TagDataFits(file, header) || !file.Skip(header.dataSize)) return nullptr;
      continue;
    }
    RtmpPacket* packet = ReadTagPacket(stream, header);
    if (packet == nullptr) return nullptr;
    if (header.type == kFlvTagVideo && IsKeyFrame(packet)) {
      QueuePacket(stream, packet);
      stream->output.lastQueued = header.timestamp;
      return packet;
    }
    RtmpPacketDestroy(packet);
  }
}

void SeekStream(RtmpStream* stream, uint32_t t) {
  RtmpStreamOut& out = stream->output;
  // A seek right after the play may come before the opening has left: its
  // decoder configuration is still needed.
  KeepDecoderConfig(stream);
  SendUserControl(stream->rtmp, kStreamEOF, static_cast<uint32_t>(stream->id));
  SendUserControl(stream->rtmp, kStreamBegin, static_cast<uint32_t>(stream->id));
  // Playback resumes at the key frame at or before t, audio from there too.
  uint32_t at = t;
  if (stream->file.open && SeekToResume(stream, t, &at)) {
    RestartOpus(stream, at);
    // A paused player shows the picture at the new position at once.
    if (out.paused && out.hasVideo && out.lastSent != at) {
      QueueMarker(stream, at);
      if (FindKeyFrame(stream) != nullptr) {
        StartClock(stream, at);
        SendQueue(stream);
      }
      EmptyQueue(stream);
      SeekToResume(stream, t, &at);
    }
  }
  out.completePending = false;
  out.pausedAt = -1;  // a resume goes on from the new position
  QueueMarker(stream, at);
  StartClock(stream, at);
  SendStatus(stream, "NetStream.Seek.Notify", "seek");
}

void FinishPlayback(RtmpStream* stream) {
  stream->output.paused = true;
  stream->output.pausedAt = -1;
  SendStatus(stream, "NetStream.Play.Complete", "complete");
  StopSessionTiming(stream);
  // Command-line clients end on StreamEOF and "NetStream.Play.Stop"; the
  // Flash player is done at Complete. They follow a moment later: a client
  // that gets the end of the stream together with the last message may drop
  // that message (rtmp2src does).
  stream->output.endDue = PacingNow() + int64_t{kEndOfStreamDelayMs} * 10000;
}

void SendEndOfStream(RtmpStream* stream) {
  stream->output.endDue = 0;
  SendUserControl(stream->rtmp, kStreamEOF, static_cast<uint32_t>(stream->id));
  SendStatus(stream, "NetStream.Play.Stop", "stop");
}

void PauseStream(RtmpStream* stream, bool pause) {
  RtmpStreamOut& out = stream->output;
  if (pause) {
    // With a lead the player is behind what was sent: it resumes from where
    // it paused, not from the next message read.
    if (!out.paused && stream->file.open) {
      const int64_t position = int64_t{stream->baseTimestamp} + (PacingNow() - out.clockStart) / 10000;
      out.pausedAt = std::min(std::max(position, int64_t{stream->baseTimestamp}), int64_t{out.lastQueued.load()});
    }
    out.paused = true;
    StopSessionTiming(stream);
    return;
  }
  out.paused = false;
  if (stream->channel != 0) {
    // What a live player kept while paused did not wait for a stalled reader.
    ListLock guard(out.queue.lock);
    out.waitingSince = LiveChannelNow();
  }
  bool nothingSent;
  {
    ListLock guard(out.queue.lock);
    nothingSent = out.firstAudioPending && out.firstVideoPending;
  }
  if (nothingSent) SendUserControl(stream->rtmp, kStreamBegin, static_cast<uint32_t>(stream->id));
  if (stream->file.open && StreamLeadMs(stream) > 0 && out.pausedAt >= 0 && out.pausedAt < out.lastQueued) {
    // What was sent ahead stays sent and what is read ahead stays queued.
    const uint32_t queuedAt = out.lastQueued, sentAt = out.lastSent;
    StartClock(stream, static_cast<uint32_t>(out.pausedAt));
    out.lastQueued = queuedAt;
    out.lastSent = sentAt;
  } else {
    StartClock(stream, out.lastQueued);
  }
  out.pausedAt = -1;
  StartSessionTiming(stream);
}

void StopOutput(RtmpStream* stream) {
  stream->output.paused = true;
  stream->output.endDue = 0;
  stream->output.completePending = false;
  // Off every list first: a relay in progress could refill an emptied queue.
  UnsubscribePlayer(stream);
  EmptyQueue(stream);
}

void ClosePlayback(RtmpStream* stream) {
  stream->file.open = false;
  StopSessionTiming(stream);
  stream->output.segments.clear();
  stream->file.file.Close();
  stream->file.frameindex.reset();
  CloseOpus(stream);
}
