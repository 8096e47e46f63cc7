// RtmpChat: the live rooms of the sites (course rooms, chat rooms including
// private two-person chats, and each site's open room), their members with
// their presence state, entering and leaving.
//
// Delivery: a broadcast never waits on a member's socket. A message for
// another connection goes through RtmpWriteMessage on that connection's
// RtmpContext, which from a foreign thread only appends to the receiver's
// bounded output queue and wakes its loop; when the queue has no room the
// message is dropped and the receiver is shut down, its own thread reports
// the peer address and closes it, and its teardown leaves the room. A
// message for the calling connection itself is different: its own writes
// may wait for its socket. So nothing is written to the caller while it
// holds a room lock: such messages go into a ChatOutbox, sent once the
// locks are released.
//
// Locks, always in this order: g_livechats.lock (the room list), a room's
// members.lock (the member lock), a connection's send lock (inside
// RtmpWriteMessage). Two member locks are never held at once. The room list
// lock is held only for short walks of the list and for changes of
// membership (join, leave, freeing a room); the lookups that every message
// makes (ChatLockOwnRoom, ChatLockRoom, FindMemberInSite) pin a room under
// it and wait for the member lock only after releasing it, so that the
// voice check of every live publisher never queues behind a member lock
// that a busy room holds. A pinned room stays in memory (not in the list)
// until the pin goes. A room leaves the list only under the room list lock
// and its member lock; the links member->link and
// link->chatMember change only under both, so either lock makes them
// stable. A member's presence fields and the room's presenterid are read
// and written under the member lock. No statement runs while any of these
// locks is held: what a room or a message needs from the database is
// loaded before the locks are taken. Every thread may call in.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Database/Record.h"
#include "client/ClientLink.h"
#include "rtmp/UnicastSocket.h"
#include "server/ServerConfig.h"
#include "util/List.h"
#include "util/ThreadSafety.h"

struct Client;

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
// (ChatAvatarOf in RtmpChatStatus.h).
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

// Every room of every site; owns them.
extern List g_livechats;

using ChatLock = HandOverLock<RecursiveMutex>;

// Keeps a room in memory while the room list lock is not held. Taken under
// the room list lock (the room is listed then); released by any thread,
// holding no room lock.
struct ChatRoomRef {
  LiveChat* room = nullptr;
  ChatRoomRef() = default;
  explicit ChatRoomRef(LiveChat* pinned);
  ChatRoomRef(ChatRoomRef&& other) noexcept;
  ChatRoomRef& operator=(ChatRoomRef&& other) noexcept;
  ~ChatRoomRef();
};

// A pinned room with its member lock; the lock goes before the pin.
struct ChatRoomLock {
  ChatRoomRef pin;
  ChatLock lock;
};

// The calling connection's own member and room, with the room's member lock
// held for as long as the guard lives. Connection thread only.
struct ChatOwnRoom {
  LiveUser* member = nullptr;
  LiveChat* room = nullptr;
  ChatRoomRef pin;
  ChatLock lock;
  // States for the analysis, which follows no lock from ChatLockOwnRoom to
  // its caller, what a filled guard holds: its room's member lock, which is
  // also its member's.
  void Held() const ASSERT_CAPABILITY(room->members.lock) ASSERT_CAPABILITY(member->livechat->members.lock) {}
};
// False (guard empty) when the connection has no member. Also copies the
// connection's web session id into its member.
bool ChatLockOwnRoom(Client* client, ChatOwnRoom* guard);

// Messages for the calling connection itself, held while it holds room
// locks and sent when the outbox goes: declared before the locks, it goes
// after them. Other receivers are written to at once.
struct ChatOutbox {
  ClientLink* self = nullptr;
  std::vector<ChatMessage> held;
  explicit ChatOutbox(Client* caller);
  ChatOutbox(const ChatOutbox&) = delete;
  ChatOutbox& operator=(const ChatOutbox&) = delete;
  ~ChatOutbox();
};
// Sends what the outbox holds now (the caller released its locks).
void ChatOutboxSend(ChatOutbox* outbox);
// `message` to `to`: held in `outbox` when `to` is its caller, else sent.
void ChatDeliver(ClientLink* to, const ChatMessage& message, ChatOutbox* outbox);

// What names a room apart from its address, so that a thread can find it
// again after it released the locks (the room may be freed meanwhile).
struct ChatRoomKey {
  const SiteConfig* site = nullptr;
  int32_t courseid = 0;  // a course room
  int32_t chatid = 0;    // a chat room; both 0: the open room
};
ChatRoomKey ChatKeyOf(const LiveChat* room);
// The room with that key, pinned and its member lock held by `lock`; none
// when it is gone.
LiveChat* ChatLockRoom(const ChatRoomKey& key, ChatRoomLock* lock);

// The room of the course or chat (chat id 0: the open room of the
// connection's site), built from the database when it is not in memory yet.
// Returns it with the room list lock held through `roomListLock`, so that it
// cannot be freed before the caller has joined it; none (and no lock) when
// the course or chat, its member rows or a member's user cannot be loaded.
// One entry loads a room at a time: others entering it meanwhile wait
// (holding no lock, at most twice the database pool wait) for that load and
// share its room, or its failure.
LiveChat* FindOrCreateCourseRoom(Client* client, int32_t courseid, ChatLock* roomListLock);
LiveChat* FindOrCreateChatRoom(Client* client, int32_t chatid, ChatLock* roomListLock);
// The id of the private chat of the connection's user with the other user,
// created in the database when there is none; 0 on failure. No lock.
int32_t FindOrCreatePrivateChat(Client* client, int32_t otheruserid);
LiveChat* FindOrCreateUserRoom(Client* client, int32_t otheruserid, ChatLock* roomListLock);

// A member prepared for the open room before any lock is taken: the user and
// the role JoinRoom needs should the user not be a member yet.
struct ChatNewMember {
  RecordPtr<User> user;
  std::shared_ptr<const ChatAvatar> avatar;
  int32_t roleid = 50;
};
// Loads it for the connection's user; user none when that cannot be loaded.
ChatNewMember ChatPrepareMember(Client* client);

// The caller holds the room list lock (from FindOrCreate...). Makes the
// connection the connection of its user's member of `room`, taking the
// member over from an older connection (which gets ReceiveDisconnect), or
// adds `prepared` to the open room; leaves the connection's previous room
// first. Sets connection->liveuser. Returns the member, or none (not a
// member of a course or chat room, or no prepared user for the open room).
// A ReceiveDisconnect for the connection itself (it entered its own room
// again) is held in `outbox`.
LiveUser* JoinRoom(Client* client, LiveChat* room, ChatNewMember* prepared, ChatOutbox* outbox);

// The connection leaves its room: the member's presence is reset and
// broadcast, and a course or chat room that has no present member left is
// freed. 1 when the connection had a member, else 0. Takes the locks itself.
int LeaveRoom(Client* client);

// The member with that user id in the room of `guard` (which the caller
// holds), or none; reports a connection without member.
LiveUser* FindMember(Client* client, const ChatOwnRoom& guard, int32_t userid);

// The first present member with that user id in any room of the site. The
// caller holds no room lock; on success the found member's room is pinned
// and locked through `memberLock` (each room's lock is released before the
// next room is searched, so two member locks are never held).
LiveUser* FindMemberInSite(const SiteConfig* site, int32_t userid, ChatRoomLock* memberLock);
