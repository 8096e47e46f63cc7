#include "chat/RtmpChatFunctions.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <string_view>
#include <vector>

#include "Database/Database.h"
#include "Database/Record.h"
#include "chat/RtmpChat.h"
#include "chat/RtmpChatStatus.h"
#include "client/Client.h"
#include "util/Log.h"
#include "config/ServerConfig.h"
#include "util/Clock.h"

namespace {

const AmfProperty* Arg(const AmfObject* object, int position) { return AmfObjectGet(object, {}, position); }

int32_t IntArg(const AmfObject* object, int position) { return AmfPropInt32(Arg(object, position)); }

uint8_t FlagArg(const AmfObject* object, int position) { return AmfPropIsTrue(Arg(object, position)) ? 1 : 0; }

// A text argument into a text field: at most 1023 bytes, cut where a
// character ends. Returns the length.
size_t TextArg(const AmfObject* object, int position, char (&out)[kTextSize]) {
  const std::string_view text = AmfTextView(AmfPropString(Arg(object, position)));
  const size_t length = ChatCutLength(text, kTextSize - 1);
  if (length) memcpy(out, text.data(), length);
  out[length] = '\0';
  return length;
}

// Steps 3 to 6 of every entry: the room, its members and its recent texts
// to the entering connection, then its audio is on.
int DescribeRoom(Client* client, bool course, std::optional<int32_t> myrecordingid) {
  {
    ChatOutbox outbox(client);
    ChatOwnRoom guard;
    if (!ChatLockOwnRoom(client, &guard)) return 0;  // taken over meanwhile
    if (course)
      SendCourseInfo(client, guard, myrecordingid, &outbox);
    else
      SendChatInfo(client, guard, true, &outbox);
    SendMemberList(client, guard.room, &outbox);
  }
  SendTextBacklog(client, 1);
  ChatOwnRoom guard;
  if (!ChatLockOwnRoom(client, &guard)) return 0;
  guard.Held();
  guard.member->activeaudio = 1;
  return 1;
}

}  // namespace

int ChatConnectChat(Client* client, RtmpStream*, const AmfObject* object) {
  const int32_t chatid = IntArg(object, 3);
  ChatNewMember prepared;
  if (chatid == 0) prepared = ChatPrepareMember(client);  // the statements before the locks
  ChatOutbox outbox(client);
  ChatLock list;
  LiveChat* room = FindOrCreateChatRoom(client, chatid, &list);
  if (room == nullptr) {
    REPORT_ASSERT("livechat", "RtmpChatFunctions");
    return 0;
  }
  LiveUser* member = JoinRoom(client, room, &prepared, &outbox);
  list.unlock();
  ChatOutboxSend(&outbox);
  if (member == nullptr) {
    REPORT_ASSERT("connection->liveuser", "RtmpChatFunctions");
    return 0;
  }
  return DescribeRoom(client, false, std::nullopt);
}

int ChatConnectCourse(Client* client, RtmpStream*, const AmfObject* object) {
  const int32_t courseid = IntArg(object, 3);
  ChatOutbox outbox(client);
  ChatLock list;
  LiveChat* room = FindOrCreateCourseRoom(client, courseid, &list);
  if (room == nullptr) {
    REPORT_ASSERT("livechat", "RtmpChatFunctions");
    return 0;
  }
  LiveUser* member = JoinRoom(client, room, nullptr, &outbox);
  const int32_t recordingid = room->course->recordingid;
  list.unlock();
  ChatOutboxSend(&outbox);
  if (member == nullptr) {
    REPORT_ASSERT("connection->liveuser", "RtmpChatFunctions");
    return 0;
  }
  std::optional<int32_t> myrecordingid = ChatLoadMyRecordingId(client, recordingid, client->user->id);
  return DescribeRoom(client, true, myrecordingid);
}

int ChatConnectUser(Client* client, RtmpStream*, const AmfObject* object) {
  const int32_t otheruserid = IntArg(object, 3);
  ChatOutbox outbox(client);
  ChatLock list;
  LiveChat* room = FindOrCreateUserRoom(client, otheruserid, &list);
  if (room == nullptr) {
    REPORT_ASSERT("livechat", "RtmpChatFunctions");
    return 0;
  }
  LiveUser* member = JoinRoom(client, room, nullptr, &outbox);
  list.unlock();
  ChatOutboxSend(&outbox);
  if (member == nullptr) {
    REPORT_ASSERT("connection->liveuser", "RtmpChatFunctions");
    return 0;
  }
  return DescribeRoom(client, false, std::nullopt);
}

int ChatDisconnect(Client* client, RtmpStream*, const AmfObject*) {
  ChatDropBacklog(client);
  return LeaveRoom(client);
}

int ChatDeviceInfo(Client* client, RtmpStream*, const AmfObject* object) {
  ChatOutbox outbox(client);
  ChatOwnRoom guard;
  if (!ChatLockOwnRoom(client, &guard)) {
    REPORT_ASSERT("liveuser", "RtmpChatFunctions");
    return 0;
  }
  LiveUser* member = guard.member;
  member->livechat->members.lock.AssertHeld();  // the guard's
  member->hasaudio = FlagArg(object, 3);
  member->hasvideo = FlagArg(object, 4);
  member->talkover = FlagArg(object, 5);
  if (!member->hasaudio) member->activeaudio = 0;
  if (!member->hasvideo) member->activevideo = 0;
  BroadcastMember(guard.room, true, member, &outbox);
  return 1;
}

// The member `userid` of the caller's room, with the room's member lock
// held by `guard`; none (reported) when the caller or that member is absent.
static LiveUser* LockMember(Client* client, ChatOwnRoom* guard, int32_t userid) {
  ChatLockOwnRoom(client, guard);
  LiveUser* member = FindMember(client, *guard, userid);
  if (member == nullptr) REPORT_ASSERT("liveuser", "RtmpChatFunctions");
  return member;
}

int ChatUserPresenter(Client* client, RtmpStream*, const AmfObject* object) {
  ChatOutbox outbox(client);
  ChatOwnRoom guard;
  LiveUser* member = LockMember(client, &guard, IntArg(object, 3));
  if (member == nullptr) return 0;
  member->livechat->members.lock.AssertHeld();  // a member of the guard's room
  // The teacher's role is not handed around.
  if (member->roleid != 3) member->roleid = AmfPropIsTrue(Arg(object, 4)) ? 4 : 6;
  BroadcastMember(guard.room, false, member, &outbox);
  return 1;
}

int ChatUserActive(Client* client, RtmpStream*, const AmfObject* object) {
  ChatOutbox outbox(client);
  ChatOwnRoom guard;
  LiveUser* member = LockMember(client, &guard, IntArg(object, 3));
  if (member == nullptr) return 0;
  member->livechat->members.lock.AssertHeld();  // a member of the guard's room
  member->activeaudio = FlagArg(object, 5);
  member->activevideo = FlagArg(object, 6);
  member->activescreen = FlagArg(object, 7);
  member->activecontrol = FlagArg(object, 8);
  BroadcastMember(guard.room, AmfPropIsTrue(Arg(object, 4)), member, &outbox);
  return 1;
}

int ChatUserAction(Client* client, RtmpStream*, const AmfObject* object) {
  ChatOutbox outbox(client);
  ChatOwnRoom guard;
  if (!ChatLockOwnRoom(client, &guard)) {
    REPORT_ASSERT("liveuser", "RtmpChatFunctions");
    return 0;
  }
  guard.Held();
  TextArg(object, 3, guard.member->action);
  TextArg(object, 4, guard.member->param);
  BroadcastMember(guard.room, false, guard.member, &outbox);
  return 1;
}

int ChatSendText(Client* client, RtmpStream*, const AmfObject* object) {
  // A flood would fill the log and every member's output: over the budget a
  // text is dropped, with one report a second.
  const int64_t now = MonotonicMs();
  if (!RateLimitTake(&client->chatTextRate, g_config.chatTextsPerSecond, now)) {
    if (const int32_t dropped = RateLimitDueReport(&client->chatTextRate, now)) {
      errno = 0;
      ReportError("chatSendText from %s: %d texts dropped (ChatTextsPerSecond %d)", client->address, dropped,
                  g_config.chatTextsPerSecond);
    }
    return 0;
  }
  char text[kTextSize];
  const size_t length = TextArg(object, 3, text);
  ChatRoomKey key;
  int32_t userid = 0;
  {
    ChatOwnRoom guard;
    if (!ChatLockOwnRoom(client, &guard)) {
      REPORT_ASSERT("liveuser", "RtmpChatFunctions");
      return 0;
    }
    if (guard.room == nullptr) {
      REPORT_ASSERT("livechat", "RtmpChatFunctions");
      return 0;
    }
    key = ChatKeyOf(guard.room);
    userid = guard.member->user->id;
  }

  // Store and read back without any room lock. Every byte of the text is
  // escaped: a quote, a backslash or a NUL must not change the statement.
  DbConnection* db = client->db.get();
  ChatTextLog log;
  log.chatid = key.chatid;
  log.courseid = key.courseid;
  log.userid = userid;
  log.clientnumber = IntArg(object, 4);
  log.sent = const_cast<char*>(kDbNow);
  const int32_t id = InsertRecord(db, &log, {{&log.message, std::string_view(text, length)}});
  if (id == 0) {
    errno = 0;
    ReportError("chatSendText from %s: the text was not stored: %s", client->address, DbLastError().c_str());
    return 0;
  }
  ChatTextRow row;
  if (!ChatLoadTextRow(db, id, &row)) {
    REPORT_ASSERT("textlog", "RtmpChatFunctions");
    return 0;
  }
  const ChatMessage message = ChatTextMessage(row, false);

  std::vector<int32_t> absent;
  ChatInfoSnapshot snapshot;
  {
    // Found again by its key: the room may have been rebuilt meanwhile, or
    // be gone when everyone left.
    ChatOutbox outbox(client);
    ChatRoomLock lock;
    LiveChat* room = ChatLockRoom(key, &lock);
    if (room == nullptr) return 1;
    room->members.lock.AssertHeld();  // handed over in `lock`
    for (ListNode* n = room->members.first; n != nullptr; n = n->next) {
      auto* m = static_cast<LiveUser*>(n->item);
      if (m->link != nullptr)
        ChatDeliver(m->link.get(), message, &outbox);
      else
        absent.push_back(m->user->id);
    }
    if (!absent.empty()) snapshot = ChatSnapshot(room);
  }
  // Members elsewhere in the site hear that something was said here; looked
  // up only now, since the room list lock comes before a member lock.
  for (int32_t other : absent) {
    ChatOutbox outbox(client);
    ChatRoomLock lock;
    LiveUser* member = FindMemberInSite(key.site, other, &lock);
    if (member == nullptr) continue;
    member->livechat->members.lock.AssertHeld();  // handed over in `lock`
    ChatDeliver(member->link.get(), ChatInfoMessage(snapshot, other, member->roleid, false), &outbox);
  }
  return 1;
}

int ChatRequestText(Client* client, RtmpStream*, const AmfObject* object) {
  SendTextBacklog(client, IntArg(object, 3));
  return 1;
}

int ChatPushMode(Client* client, RtmpStream*, const AmfObject* object) {
  struct Receiver {
    int32_t userid;
    std::optional<int32_t> myrecordingid;
  };
  std::vector<Receiver> receivers;
  ChatRoomKey key;
  int32_t recordingid = 0;
  {
    ChatOwnRoom guard;
    if (!ChatLockOwnRoom(client, &guard) || guard.room == nullptr) return 0;
    guard.Held();
    guard.room->presenterid = AmfPropIsTrue(Arg(object, 3)) ? guard.member->user->id : 0;
    if (!guard.room->course) return 1;
    key = ChatKeyOf(guard.room);
    recordingid = guard.room->course->recordingid;
    for (ListNode* n = guard.room->members.first; n != nullptr; n = n->next) {
      auto* m = static_cast<LiveUser*>(n->item);
      if (m->link != nullptr) receivers.push_back({m->user->id, std::nullopt});
    }
  }
  // Each receiver's own recording is looked up before the room is locked
  // again.
  for (Receiver& receiver : receivers)
    receiver.myrecordingid = ChatLoadMyRecordingId(client, recordingid, receiver.userid);
  ChatOutbox outbox(client);
  ChatRoomLock lock;
  LiveChat* room = ChatLockRoom(key, &lock);
  if (room == nullptr) return 1;
  room->members.lock.AssertHeld();  // handed over in `lock`
  for (ListNode* n = room->members.first; n != nullptr; n = n->next) {
    auto* m = static_cast<LiveUser*>(n->item);
    if (m->link == nullptr) continue;
    m->livechat->members.lock.AssertHeld();  // `room`'s
    // A member who entered meanwhile had the room described at its entry.
    for (const Receiver& receiver : receivers)
      if (receiver.userid == m->user->id)
        ChatDeliver(m->link.get(), ChatCourseInfoMessage(room, m, receiver.myrecordingid), &outbox);
  }
  return 1;
}

int ChatPushCommand(Client* client, RtmpStream*, const AmfObject* object) {
  char name[kTextSize];
  TextArg(object, 4, name);
  const double param = AmfPropNumber(Arg(object, 5));
  ChatOutbox outbox(client);
  ChatOwnRoom guard;
  LiveUser* member = LockMember(client, &guard, IntArg(object, 3));
  if (member == nullptr) return 0;
  member->livechat->members.lock.AssertHeld();  // a member of the guard's room
  if (member->link != nullptr) ChatDeliver(member->link.get(), ChatPushCommandMessage(name, param), &outbox);
  return 1;
}

void ChatPublishScreen(Client* client) {
  if (client->user == nullptr) return;
  ChatOutbox outbox(client);
  ChatRoomLock lock;
  LiveUser* member = FindMemberInSite(client->site, client->user->id, &lock);
  if (member == nullptr) return;
  member->livechat->members.lock.AssertHeld();  // handed over in `lock`
  member->hasscreen = 1;
  BroadcastMember(member->livechat, false, member, &outbox);
}
