// The voice check over arbitrary audio bodies, as the live relay calls it: a
// publisher whose connection is a member of a room with one other member.
//
// Input: byte 0 sets the scene (bit 0 the speaker's talkover flag, bit 1 the
// other member talking, bit 2 the speaker's audio inactive, bits 3-7 the
// milliseconds between messages in steps of 40); then bodies, each behind a
// two-byte big-endian length, in one allocation of exactly that size so that
// a read past a body is caught.
//
// Checked: only Speex bodies (sound format 11) can count as talking; the
// result is the speaker's talking state; a speaker without talkover never
// starts while the other member talks; inactive audio never talks.
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "Database/Record.h"
#include "FuzzCommon.h"
#include "chat/RtmpChat.h"
#include "client/Client.h"
#include "media/RtmpChannel.h"
#include "media/RtmpStream.h"
#include "rtmp/RtmpUtils.h"
#include "config/ServerConfig.h"

namespace {

uint32_t g_now = 0;
uint32_t FuzzClock() { return g_now; }

// A connection with no socket: what the room broadcasts to it is refused.
struct Member {
  Client connection;
  LiveUser* user = nullptr;
};

struct Scene {
  SiteConfig site;
  LiveChat room;
  Member speaker, other;
  RtmpStream* publisher = nullptr;

  Scene() {
    LiveChannelSetClock(FuzzClock);
    room.site = &site;
    int32_t id = 7;
    for (Member* m : {&speaker, &other}) {
      m->connection.site = &site;
      m->connection.link = std::make_shared<ClientLink>();
      m->connection.link->wakeEvent.fd = eventfd(0, EFD_NONBLOCK);
      auto* u = new LiveUser;
      User record;
      record.type = 13;
      record.id = id++;
      u->user = CopyRecordAs(&record);
      u->link = m->connection.link;
      u->livechat = &room;
      ListAddTail(&room.members, u);
      m->connection.link->chatMember = u;
      m->user = u;
    }
    publisher = CreateStreamRecord(&speaker.connection);
    FUZZ_CHECK(publisher != nullptr);
    publisher->publishing = true;
    FUZZ_CHECK(PrepareSpeex(publisher));
  }
};

Scene& TheScene() {
  // Lives as long as the process: libFuzzer ends it with exit().
  static Scene* scene = new Scene;
  return *scene;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  Scene& scene = TheScene();
  LiveUser* speaker = scene.speaker.user;
  LiveUser* other = scene.other.user;
  {
    // Presence is read and written under the room's lock, as the server does.
    RecursiveLock hold(speaker->livechat->members.lock);
    other->livechat->members.lock.AssertHeld();  // the same room
    speaker->talkover = data[0] & 1;
    speaker->talking = 0;
    speaker->lastloud = 0;
    speaker->activeaudio = (data[0] & 4) ? 0 : 1;
    other->talking = (data[0] & 2) ? 1 : 0;
  }
  const uint32_t step = static_cast<uint32_t>(data[0] >> 3) * 40;
  g_now = 100000;
  // A fresh decoder per input, so that each input decides its own outcome.
  FUZZ_CHECK(PrepareSpeex(scene.publisher));

  size_t at = 1;
  while (at + 2 <= size) {
    size_t length = size_t{data[at]} << 8 | data[at + 1];
    at += 2;
    length = std::min(length, size - at);
    RtmpPacket packet;
    if (length > 0) {
      FUZZ_CHECK(RtmpPacketAlloc(&packet, static_cast<uint32_t>(length)));
      std::memcpy(packet.m_body, data + at, length);
    }
    packet.m_nBodySize = packet.m_nBytesRead = static_cast<uint32_t>(length);
    packet.m_nMessageType = kRtmpMsgAudio;
    packet.m_nTimestamp = g_now;
    at += length;
    g_now += step;

    bool wasTalking = false;
    {
      RecursiveLock hold(speaker->livechat->members.lock);
      wasTalking = speaker->talking != 0;
    }
    const bool talking = DetectVoice(scene.publisher, &packet, g_now);
    if (length == 0 || (packet.m_body[0] >> 4) != kFlvSoundSpeex) FUZZ_CHECK(!talking);
    RecursiveLock hold(speaker->livechat->members.lock);
    other->livechat->members.lock.AssertHeld();  // the same room
    if (talking) FUZZ_CHECK(speaker->talking != 0);
    if (!speaker->activeaudio) FUZZ_CHECK(!talking && speaker->talking == 0);
    if (!wasTalking && other->talking && !speaker->talkover) FUZZ_CHECK(speaker->talking == 0);
    RtmpPacketFree(&packet);
  }
  return 0;
}
