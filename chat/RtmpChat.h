// RtmpChat: the live rooms of the sites (course rooms, chat rooms including
// private two-person chats, and each site's open room), their members with
// their presence state, and finding a member. Entering and leaving, which
// the room hears of, are in RtmpChatStatus.h; the records in ChatRecords.h.
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

#include "Database/Database.h"
#include "Database/Record.h"
#include "chat/ChatRecords.h"
#include "client/ClientLink.h"
#include "rtmp/UnicastSocket.h"
#include "config/ServerConfig.h"
#include "util/EventLoop.h"
#include "util/List.h"
#include "util/ThreadSafety.h"

struct Client;

// Every room of every site; owns them.
extern List g_livechats;

using ChatLock = HandOverLock<RecursiveMutex>;

// Drops one reference to the room (a pin, or the room list's); the last
// one frees it.
void ChatReleaseRoom(LiveChat* room);
// The web session id of the connection; empty without a session. Its own
// thread only.
const char* ChatSessionId(const Client* client);

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
  // The members' send loops are woken once each for what the command sends.
  EventLoopWakeBatch wakes;
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

ChatRoomKey ChatKeyOf(const LiveChat* room);
// The room with that key, pinned and its member lock held by `lock`; none
// when it is gone.
LiveChat* ChatLockRoom(const ChatRoomKey& key, ChatRoomLock* lock);

// Finds the room of `key` again (it may have been rebuilt since the caller
// let go of its locks, or be gone when everyone left) and calls
// fn(room, member) for each of its members, in order, under the room's
// member lock, which fn is declared to require:
//   [&](LiveChat* room, LiveUser* m) REQUIRES(room->members.lock, m->livechat->members.lock)
// False when the room is gone. The caller holds no room lock; fn writes to
// a member through ChatDeliver with an outbox the caller declared first.
template <typename Fn>
bool ChatForEachMember(const ChatRoomKey& key, Fn&& fn) EXCLUDES(g_livechats.lock) {
  ChatRoomLock lock;
  LiveChat* room = ChatLockRoom(key, &lock);
  if (room == nullptr) return false;
  room->members.lock.AssertHeld();  // handed over in `lock`
  for (ListNode* n = room->members.first; n != nullptr; n = n->next) {
    auto* m = static_cast<LiveUser*>(n->item);
    m->livechat->members.lock.AssertHeld();  // `room`'s
    // Not fn(room, m): clang checks an operator call's lock rule against
    // its arguments shifted by one.
    fn.operator()(room, m);
  }
  return true;
}

// Entering a room waits for the database, so it comes in two parts (see
// the chat commands in RtmpChatFunctions.cpp): the waiting part runs on a
// job worker with copies only (the key, the database handle), and the apply
// part joins on the connection's own thread.
//
// Waiting part (a job's worker, no lock held): the room of the key (course
// id, or chat id; both 0: the open room of the site) listed, built from the
// database when it is not in memory yet; pinned. Empty when the course or
// chat, its member rows or a member's user cannot be loaded. One entry loads
// a room at a time: others entering it meanwhile wait on their own workers
// (at most twice the database pool wait) for that load and share its room,
// or its failure.
ChatRoomRef ChatLoadRoom(DbConnection* db, SiteConfig* site, const ChatRoomKey& key);
// Apply part (owner thread): the pinned room, with the room list lock held
// through `roomListLock` so that it cannot be freed before the caller has
// joined it; none (and no lock) when it left the list meanwhile (everyone
// left it and it was freed, or rebuilt).
LiveChat* ChatLockListedRoom(const ChatRoomRef& pin, ChatLock* roomListLock);
// Waiting part: the id of the private chat of `userid` with the other user,
// created in the database when there is none; 0 on failure. No lock.
int32_t ChatFindOrCreatePrivateChat(DbConnection* db, int32_t userid, int32_t otheruserid);

// A member prepared for the open room before any lock is taken: the user and
// the role JoinRoom needs should the user not be a member yet.
struct ChatNewMember {
  RecordPtr<User> user;
  std::shared_ptr<const ChatAvatar> avatar;
  int32_t roleid = 50;
};
// Waiting part: loads it for the user; user none when that cannot be loaded.
ChatNewMember ChatPrepareMember(DbConnection* db, const SiteConfig* site, int32_t userid);

// The member with that user id in the room of `guard` (which the caller
// holds), or none; reports a connection without member.
LiveUser* FindMember(Client* client, const ChatOwnRoom& guard, int32_t userid);

// The first present member with that user id in any room of the site. The
// caller holds no room lock; on success the found member's room is pinned
// and locked through `memberLock` (each room's lock is released before the
// next room is searched, so two member locks are never held).
LiveUser* FindMemberInSite(const SiteConfig* site, int32_t userid, ChatRoomLock* memberLock);
