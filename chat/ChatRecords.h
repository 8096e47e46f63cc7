// The records of the live rooms: a room, its members, a member's avatar, a
// built client message and a room's key. Locks and threads as in RtmpChat.h.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "Database/Record.h"
#include "client/ClientLink.h"
#include "rtmp/UnicastSocket.h"
#include "config/ServerConfig.h"
#include "util/List.h"
#include "util/ThreadSafety.h"


// One method call on a client, built once; every receiver's output queue
// shares its body, which never changes once built.
struct ChatMessage {
  SharedBody body;    // none when it could not be built (reported)
  uint32_t size = 0;  // bytes of `body`
};

struct LiveChat {
  SiteConfig* site = nullptr;    // set once
  RecordPtr<VCourse> course;     // set once, owned; course rooms only
  RecordPtr<Chat> chat;          // set once, owned; chat rooms only
  List members;                  // of LiveUser, owned, in the order they were added
  int32_t presenterid GUARDED_BY(members.lock) = 0;
  // Taken off the room list; written under both locks.
  bool removed GUARDED_BY(members.lock) = false;
  // The room list's reference (while listed) and one per pin; the last one
  // to go frees the room.
  std::atomic<int32_t> refs{1};

  LiveChat() = default;
  LiveChat(const LiveChat&) = delete;
  LiveChat& operator=(const LiveChat&) = delete;
  ~LiveChat();  // frees the members
};

// Whether a user's avatar file exists, as last looked: shared by every
// member of the user, so that a member update reads it instead of the disk
// (ChatAvatarOf in ChatMessages.h).
struct ChatAvatar {
  std::string path;  // set once
  std::atomic<bool> exists{false};
  std::atomic<int64_t> checkedMs{0};  // MonotonicMs of the last look
};

struct LiveUser {
  // Under both locks (see above); none while the member is absent.
  ClientHandle link;
  LiveChat* livechat = nullptr;  // set once
  RecordPtr<User> user;          // set once, owned
  std::shared_ptr<const ChatAvatar> avatar;  // set once; none: the default picture
  // Under the member lock.
  int32_t roleid GUARDED_BY(livechat->members.lock) = 0;
  uint8_t hasaudio GUARDED_BY(livechat->members.lock) = 0;
  uint8_t hasvideo GUARDED_BY(livechat->members.lock) = 0;
  uint8_t hasscreen GUARDED_BY(livechat->members.lock) = 0;
  uint8_t talkover GUARDED_BY(livechat->members.lock) = 0;
  uint8_t activeaudio GUARDED_BY(livechat->members.lock) = 0;
  uint8_t activevideo GUARDED_BY(livechat->members.lock) = 0;
  uint8_t activescreen GUARDED_BY(livechat->members.lock) = 0;
  uint8_t activecontrol GUARDED_BY(livechat->members.lock) = 1;
  uint8_t talking GUARDED_BY(livechat->members.lock) = 0;
  uint32_t lastloud GUARDED_BY(livechat->members.lock) = 0;
  char action[kTextSize] GUARDED_BY(livechat->members.lock) = {};
  char param[kTextSize] GUARDED_BY(livechat->members.lock) = {};
  // The web session id of `connection`, copied by that connection's own
  // thread: the session record itself may be replaced by that thread at any
  // time (a later loadmodel), so no other thread may read it.
  char phpsessid[kTextSize] = {};
};

// What names a room apart from its address, so that a thread can find it
// again after it released the locks (the room may be freed meanwhile).
struct ChatRoomKey {
  const SiteConfig* site = nullptr;
  int32_t courseid = 0;  // a course room
  int32_t chatid = 0;    // a chat room; both 0: the open room
};
