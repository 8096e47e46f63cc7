#include "chat/RtmpChatFunctions.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Database/Database.h"
#include "Database/Record.h"
#include "chat/RtmpChat.h"
#include "chat/RtmpChatStatus.h"
#include "client/Client.h"
#include "client/ClientJobs.h"
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

// Steps 3 to 6 of every entry, once the room's texts (and in a course room
// the member's own recording) are loaded: the room, its members and its
// recent texts to the entering connection, then its audio is on. Owner
// thread.
int FinishDescribe(Client* client, bool course, std::optional<int32_t> myrecordingid,
                   std::unique_ptr<ChatBacklog> backlog) {
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
  {
    ChatOwnRoom guard;
    if (!ChatLockOwnRoom(client, &guard)) backlog.reset();  // taken over meanwhile: no texts
  }
  ChatStartBacklog(client, std::move(backlog));
  ChatOwnRoom guard;
  if (!ChatLockOwnRoom(client, &guard)) return 0;
  guard.Held();
  guard.member->activeaudio = 1;
  return 1;
}

// Describes the room just joined: its statements (the texts of the last day,
// the member's own recording of the course's recording object) run on a
// job's worker; FinishDescribe applies them on the owner thread. A full pool
// describes it as failed statements would: without them.
int DescribeRoom(Client* client, bool course, int32_t recordingid) {
  ChatBacklogRequest request;
  if (!ChatBacklogRequestOf(client, 1, &request)) return 0;  // taken over meanwhile
  struct Described {
    std::optional<int32_t> myrecordingid;
    std::unique_ptr<ChatBacklog> backlog;
  };
  auto described = std::make_shared<Described>();
  const int32_t userid = client->user->id;  // a member has a user
  const JobAdmit admit = ClientCommandJob(client, [client, course, recordingid, userid, request, described] {
    if (course) described->myrecordingid = ChatLoadMyRecordingId(request.db, recordingid, userid);
    described->backlog = ChatLoadBacklog(request);
    return std::function<void()>([client, course, described] {
      FinishDescribe(client, course, described->myrecordingid, std::move(described->backlog));
    });
  });
  if (admit == JobAdmit::kFull) return FinishDescribe(client, course, std::nullopt, nullptr);
  return 1;
}

enum class Entry { kChat, kCourse, kUser };

// What an entry's waiting part needs, copied from the connection.
struct EntryRequest {
  Entry entry = Entry::kChat;
  int32_t id = 0;  // the chat's, the course's or the other user's
  DbConnection* db = nullptr;
  SiteConfig* site = nullptr;
  int32_t userid = 0;
  bool hasUser = false;
};

// What it found.
struct EntryLoaded {
  ChatNewMember prepared;  // the open room's new member
  ChatRoomRef room;
};

// An entry's waiting part (a job's worker): the private chat, the open
// room's member and the room, from the database. No Client.
void LoadEntry(const EntryRequest& request, EntryLoaded* loaded) {
  ChatRoomKey key{request.site, 0, 0};
  if (request.entry == Entry::kCourse) {
    key.courseid = request.id;
  } else if (request.entry == Entry::kChat) {
    key.chatid = request.id;
    if (request.id == 0 && request.hasUser) loaded->prepared = ChatPrepareMember(request.db, request.site, request.userid);
  } else {
    key.chatid = request.hasUser ? ChatFindOrCreatePrivateChat(request.db, request.userid, request.id) : 0;
    if (key.chatid == 0) {
      REPORT_ASSERT("chatid", "RtmpChat");
      return;
    }
  }
  loaded->room = ChatLoadRoom(request.db, request.site, key);
}

// A room that left the list between its load and the join (everyone else
// left it) is loaded again, this many times at most.
constexpr int kEntryAttempts = 3;

int EnterRoom(Client* client, Entry entry, int32_t id, int attempt);

// An entry's apply part (owner thread): the join under the locks, then the
// room described.
int JoinLoaded(Client* client, const EntryRequest& request, EntryLoaded* loaded, int attempt) {
  ChatOutbox outbox(client);
  ChatLock list;
  LiveChat* room = ChatLockListedRoom(loaded->room, &list);
  if (room == nullptr) {
    if (loaded->room.room != nullptr && attempt + 1 < kEntryAttempts)
      return EnterRoom(client, request.entry, request.id, attempt + 1);
    REPORT_ASSERT("livechat", "RtmpChatFunctions");
    return 0;
  }
  LiveUser* member =
      JoinRoom(client, room, request.entry == Entry::kChat ? &loaded->prepared : nullptr, &outbox);
  const int32_t recordingid = room->course ? room->course->recordingid : 0;
  list.unlock();
  ChatOutboxSend(&outbox);
  if (member == nullptr) {
    REPORT_ASSERT("connection->liveuser", "RtmpChatFunctions");
    return 0;
  }
  return DescribeRoom(client, request.entry == Entry::kCourse, recordingid);
}

// Every entry: the statements wait on a job's worker, no further input of
// the connection is handled until the join was applied; its streams go on.
// A full pool fails the entry as a failed load does.
int EnterRoom(Client* client, Entry entry, int32_t id, int attempt) {
  if (entry == Entry::kCourse && id == 0) {  // no course has id 0; the key would name the open room
    REPORT_ASSERT("livechat", "RtmpChatFunctions");
    return 0;
  }
  EntryRequest request;
  request.entry = entry;
  request.id = id;
  request.db = client->db.get();
  request.site = client->site;
  request.hasUser = client->user != nullptr;
  request.userid = request.hasUser ? client->user->id : 0;
  auto loaded = std::make_shared<EntryLoaded>();
  const JobAdmit admit = ClientCommandJob(client, [client, request, loaded, attempt] {
    LoadEntry(request, loaded.get());
    return std::function<void()>([client, request, loaded, attempt] { JoinLoaded(client, request, loaded.get(), attempt); });
  });
  if (admit == JobAdmit::kFull) {
    REPORT_ASSERT("livechat", "RtmpChatFunctions");
    return 0;
  }
  return 1;
}

}  // namespace

int ChatConnectChat(Client* client, RtmpStream*, const AmfObject* object) {
  return EnterRoom(client, Entry::kChat, IntArg(object, 3), 0);
}

int ChatConnectCourse(Client* client, RtmpStream*, const AmfObject* object) {
  return EnterRoom(client, Entry::kCourse, IntArg(object, 3), 0);
}

int ChatConnectUser(Client* client, RtmpStream*, const AmfObject* object) {
  return EnterRoom(client, Entry::kUser, IntArg(object, 3), 0);
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

namespace {

// A stored text to every present member of its room, and a note to its
// absent members who are elsewhere in the site (owner thread, no lock held).
void DeliverText(Client* client, const ChatRoomKey& key, const ChatTextRow& row) {
  const ChatMessage message = ChatTextMessage(row, false);

  std::vector<int32_t> absent;
  ChatInfoSnapshot snapshot;
  {
    // Found again by its key: the room may have been rebuilt meanwhile, or
    // be gone when everyone left.
    ChatOutbox outbox(client);
    const bool found = ChatForEachMember(
        key, [&](LiveChat* room, LiveUser* m) REQUIRES(room->members.lock, m->livechat->members.lock) {
          if (m->link != nullptr) {
            ChatDeliver(m->link.get(), message, &outbox);
            return;
          }
          // Delivery changes nothing of the room: taken at the first absent
          // member, the snapshot is the one after the walk.
          if (absent.empty()) snapshot = ChatSnapshot(room);
          absent.push_back(m->user->id);
        });
    if (!found) return;
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
}

}  // namespace

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

  // Stored and read back on a job's worker, without any room lock; no
  // further input of the connection is handled until it was delivered.
  // Every byte of the text is escaped: a quote, a backslash or a NUL must
  // not change the statement.
  DbConnection* db = client->db.get();
  const int32_t clientnumber = IntArg(object, 4);
  const JobAdmit admit = ClientCommandJob(
      client, [client, db, key, userid, clientnumber, message = std::string(text, length),
               address = std::string(client->address)]() -> std::function<void()> {
        ChatTextLog log;
        log.chatid = key.chatid;
        log.courseid = key.courseid;
        log.userid = userid;
        log.clientnumber = clientnumber;
        log.sent = const_cast<char*>(kDbNow);
        const int32_t id = InsertRecord(db, &log, {{&log.message, std::string_view(message)}});
        if (id == 0) {
          errno = 0;
          ReportError("chatSendText from %s: the text was not stored: %s", address.c_str(), DbLastError().c_str());
          return nullptr;
        }
        auto row = std::make_shared<ChatTextRow>();
        if (!ChatLoadTextRow(db, id, row.get())) {
          REPORT_ASSERT("textlog", "RtmpChatFunctions");
          return nullptr;
        }
        return [client, key, row] { DeliverText(client, key, *row); };
      });
  if (admit == JobAdmit::kFull) {
    errno = 0;
    ReportError("chatSendText from %s: the text was not stored: server busy", client->address);
    return 0;
  }
  return 1;
}

int ChatRequestText(Client* client, RtmpStream*, const AmfObject* object) {
  ChatBacklogRequest request;
  if (!ChatBacklogRequestOf(client, IntArg(object, 3), &request)) return 1;
  // The select waits on a job's worker; a full pool sends no texts, as a
  // failed select does.
  auto loaded = std::make_shared<std::unique_ptr<ChatBacklog>>();
  ClientCommandJob(client, [client, request, loaded] {
    *loaded = ChatLoadBacklog(request);
    return std::function<void()>([client, loaded] { ChatStartBacklog(client, std::move(*loaded)); });
  });
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
  // Sorted by user id, so that each member finds its own in the walk below
  // by a binary search; stably, so that a user id listed twice is still
  // delivered twice, in the order of the room.
  std::stable_sort(receivers.begin(), receivers.end(),
                   [](const Receiver& a, const Receiver& b) { return a.userid < b.userid; });
  // Each receiver's own recording is looked up on a job's worker, before the
  // room is locked again on the owner thread; a full pool sends the course
  // as failed lookups would: without them.
  auto loaded = std::make_shared<std::vector<Receiver>>(std::move(receivers));
  auto deliver = [client, key, loaded] {
    ChatOutbox outbox(client);
    ChatForEachMember(key, [&](LiveChat* room, LiveUser* m) REQUIRES(room->members.lock, m->livechat->members.lock) {
      if (m->link == nullptr) return;
      // A member who entered meanwhile had the room described at its entry.
      auto mine = std::lower_bound(loaded->begin(), loaded->end(), m->user->id,
                                   [](const Receiver& r, int32_t userid) { return r.userid < userid; });
      for (; mine != loaded->end() && mine->userid == m->user->id; ++mine)
        ChatDeliver(m->link.get(), ChatCourseInfoMessage(room, m, mine->myrecordingid), &outbox);
    });
  };
  DbConnection* db = client->db.get();
  const JobAdmit admit = ClientCommandJob(client, [db, recordingid, loaded, deliver] {
    for (Receiver& receiver : *loaded) receiver.myrecordingid = ChatLoadMyRecordingId(db, recordingid, receiver.userid);
    return std::function<void()>(deliver);
  });
  if (admit == JobAdmit::kFull) deliver();
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
