#include "chat/RtmpChat.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "Database/Database.h"
#include "Database/Record.h"
#include "chat/ChatMessages.h"
#include "client/Client.h"
#include "util/Log.h"

List g_livechats;

namespace {

bool SameKey(const ChatRoomKey& a, const ChatRoomKey& b) {
  return a.site == b.site && a.courseid == b.courseid && a.chatid == b.chatid;
}

LiveChat* FindRoomLocked(const ChatRoomKey& key) REQUIRES(g_livechats.lock) {
  for (ListNode* n = g_livechats.first; n != nullptr; n = n->next) {
    auto* room = static_cast<LiveChat*>(n->item);
    if (SameKey(ChatKeyOf(room), key)) return room;
  }
  return nullptr;
}

// The members of a room, absent, with their users, in one statement: each
// member row (in the order of its ids) with its User row, whose columns come
// first as `select *` gives them, then the row's role. A member row whose
// user is missing fails the room.
bool LoadMembers(DbConnection* db, LiveChat* room, const char* table, const char* roomColumn, int32_t id) {
  DbResultPtr result(DbSelect(db,
                              "select User.*, m.roleid from %s m left join User on User.id=m.userid "
                              "where m.%s=%d order by m.id",
                              table, roomColumn, id));
  if (!result || result->fieldCount < 2) return false;
  const uint32_t roleColumn = result->fieldCount - 1;
  while (DbRow row = DbFetchRow(result.get())) {
    if (row[0] == nullptr) return false;  // no User row joined
    const User user = RecordFromRow<User>(result.get(), row);
    auto member = std::make_unique<LiveUser>();
    member->livechat = room;
    member->user = CopyRecordAs(&user);
    if (!member->user) return false;
    member->avatar = ChatAvatarOf(room->site, user.id);
    {
      RecursiveLock hold(member->livechat->members.lock);  // not shared yet: taken for the analysis
      member->roleid = RecordParseInt32(row[roleColumn]);
    }
    ListAddTail(&room->members, member.release());
  }
  return true;
}

// Rooms are built without any lock: the database may be slow, and nobody
// else may wait for it. None when anything is missing.
std::unique_ptr<LiveChat> LoadCourseRoom(DbConnection* db, SiteConfig* site, int32_t courseid) {
  auto room = std::make_unique<LiveChat>();
  room->site = site;
  room->course = LoadVCourse(db, "id=%d", courseid);
  if (!room->course) return nullptr;
  if (!LoadMembers(db, room.get(), "CourseEnrollment", "objectid", courseid)) return nullptr;
  return room;
}

std::unique_ptr<LiveChat> LoadChatRoom(DbConnection* db, SiteConfig* site, int32_t chatid) {
  auto room = std::make_unique<LiveChat>();
  room->site = site;
  if (chatid == 0) return room;  // the open room: members come as they enter
  room->chat = LoadChat(db, "id=%d", chatid);
  if (!room->chat) return nullptr;
  if (!LoadMembers(db, room.get(), "ChatUser", "chatid", chatid)) return nullptr;
  return room;
}

// A room being loaded. Later entries into it wait for that load instead of
// loading the room again each (a room of hundreds of members, entered by
// many at once, would otherwise be loaded as often as it is entered).
// Taken after the room list lock, or alone; no other lock is taken under it.
Mutex g_roomLoadsLock;
std::condition_variable_any g_roomLoadDone;
struct RoomLoad {
  ChatRoomKey key;
  bool done GUARDED_BY(g_roomLoadsLock) = false;
  bool loaded GUARDED_BY(g_roomLoadsLock) = false;
};
std::vector<std::shared_ptr<RoomLoad>> g_roomLoads GUARDED_BY(g_roomLoadsLock);

std::shared_ptr<RoomLoad> FindLoadLocked(const ChatRoomKey& key) REQUIRES(g_roomLoadsLock) {
  for (const std::shared_ptr<RoomLoad>& load : g_roomLoads)
    if (SameKey(load->key, key)) return load;
  return nullptr;
}

}  // namespace

ChatRoomRef ChatLoadRoom(DbConnection* db, SiteConfig* site, const ChatRoomKey& key) {
  // A load runs two statements, each of which may wait the pool wait for a
  // server connection; an entry waits for another's load no longer.
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(2 * static_cast<int64_t>(DbGetTiming().poolWaitMs));
  auto mine = std::make_shared<RoomLoad>();
  mine->key = key;
  for (;;) {
    ChatLock list(g_livechats.lock);
    g_livechats.lock.AssertHeld();
    if (LiveChat* room = FindRoomLocked(key)) return ChatRoomRef(room);
    UniqueLock<Mutex> loads(g_roomLoadsLock);
    std::shared_ptr<RoomLoad> other = FindLoadLocked(key);
    if (other == nullptr) {
      g_roomLoads.push_back(mine);
      break;
    }
    list.unlock();
    if (!g_roomLoadDone.wait_until(loads, deadline, [&]() REQUIRES(g_roomLoadsLock) { return other->done; }))
      return ChatRoomRef();
    if (!other->loaded) return ChatRoomRef();  // it would fail for this entry too
    // Listed now, unless its members all left again meanwhile: look again.
  }

  std::unique_ptr<LiveChat> loaded =
      key.courseid != 0 ? LoadCourseRoom(db, site, key.courseid) : LoadChatRoom(db, site, key.chatid);
  ChatLock list(g_livechats.lock);
  g_livechats.lock.AssertHeld();
  // While this entry's load is registered nobody else lists the room.
  LiveChat* room = nullptr;
  if (loaded) {
    room = loaded.release();
    ListAddTail(&g_livechats, room);
  }
  {
    MutexLock loads(g_roomLoadsLock);
    mine->done = true;
    mine->loaded = room != nullptr;
    std::erase(g_roomLoads, mine);
  }
  g_roomLoadDone.notify_all();
  // Pinned under the room list lock: until the entry's apply part joins it,
  // everyone else may leave it.
  return ChatRoomRef(room);
}

LiveChat* ChatLockListedRoom(const ChatRoomRef& pin, ChatLock* roomListLock) {
  if (pin.room == nullptr) return nullptr;
  ChatLock list(g_livechats.lock);  // handed to the caller
  g_livechats.lock.AssertHeld();
  if (FindRoomLocked(ChatKeyOf(pin.room)) != pin.room) return nullptr;
  *roomListLock = std::move(list);
  return pin.room;
}

void ChatReleaseRoom(LiveChat* room) {
  if (room != nullptr && room->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete room;
}

const char* ChatSessionId(const Client* client) {
  if (client->session == nullptr || client->session->phpsessid == nullptr) return "";
  return client->session->phpsessid;
}

LiveChat::~LiveChat() {
  ListRemoveAll(&members, [](void* item) { delete static_cast<LiveUser*>(item); });
}

ChatRoomRef::ChatRoomRef(LiveChat* pinned) : room(pinned) {
  if (room != nullptr) room->refs.fetch_add(1, std::memory_order_relaxed);
}

ChatRoomRef::ChatRoomRef(ChatRoomRef&& other) noexcept : room(std::exchange(other.room, nullptr)) {}

ChatRoomRef& ChatRoomRef::operator=(ChatRoomRef&& other) noexcept {
  if (this != &other) {
    ChatReleaseRoom(room);
    room = std::exchange(other.room, nullptr);
  }
  return *this;
}

ChatRoomRef::~ChatRoomRef() { ChatReleaseRoom(room); }

ChatOutbox::ChatOutbox(Client* caller) : self(caller->link.get()) {}

ChatOutbox::~ChatOutbox() { ChatOutboxSend(this); }

void ChatOutboxSend(ChatOutbox* outbox) {
  for (const ChatMessage& message : outbox->held) ChatSend(outbox->self, message);
  outbox->held.clear();
}

void ChatDeliver(ClientLink* to, const ChatMessage& message, ChatOutbox* outbox) {
  if (to == nullptr) return;
  if (outbox != nullptr && to == outbox->self)
    outbox->held.push_back(message);
  else
    ChatSend(to, message);
}

bool ChatLockOwnRoom(Client* client, ChatOwnRoom* guard) {
  LiveUser* member = nullptr;
  {
    RecursiveLock list(g_livechats.lock);
    member = client->link->chatMember;
    if (member == nullptr) return false;
    guard->pin = ChatRoomRef(member->livechat);
  }
  // Waited for without the room list lock. Once it is held, no other thread
  // can take the member from this connection (that needs this lock), and
  // only this thread gives it up.
  LiveChat* room = guard->pin.room;
  guard->lock = ChatLock(room->members.lock);
  if (client->link->chatMember != member) {
    guard->lock = ChatLock();
    guard->pin = ChatRoomRef();
    return false;
  }
  guard->member = member;
  guard->room = room;
  CopyText(member->phpsessid, ChatSessionId(client));
  return true;
}

ChatRoomKey ChatKeyOf(const LiveChat* room) {
  ChatRoomKey key;
  key.site = room->site;
  key.courseid = room->course ? room->course->id : 0;
  key.chatid = room->chat ? room->chat->id : 0;
  return key;
}

LiveChat* ChatLockRoom(const ChatRoomKey& key, ChatRoomLock* lock) {
  {
    RecursiveLock list(g_livechats.lock);
    LiveChat* room = FindRoomLocked(key);
    if (room == nullptr) return nullptr;
    lock->pin = ChatRoomRef(room);
  }
  LiveChat* room = lock->pin.room;
  lock->lock = ChatLock(room->members.lock);
  room->members.lock.AssertHeld();  // handed to the caller in `lock`
  if (room->removed) {
    // Everyone left meanwhile.
    lock->lock = ChatLock();
    lock->pin = ChatRoomRef();
    return nullptr;
  }
  return room;
}

int32_t ChatFindOrCreatePrivateChat(DbConnection* db, int32_t userid, int32_t otheruserid) {
  if (!DbExecute(db, "select * from ChatUser where userid=%d", userid)) {
    REPORT_ASSERT("b", "RtmpChat");
    return 0;
  }
  DbResultPtr result(DbStoreResult(db));
  if (!result) {
    REPORT_ASSERT("result", "RtmpChat");
    return 0;
  }
  std::vector<int32_t> chats;
  while (DbRow row = DbFetchRow(result.get())) chats.push_back(RecordFromRow<ChatUser>(result.get(), row).chatid);
  result.reset();
  for (int32_t chatid : chats) {
    if (!LoadChatUser(db, "chatid=%d and userid=%d", chatid, otheruserid)) continue;
    char count[32];
    DbQueryValue(db, count, sizeof count, "select count(*) from ChatUser where chatid=%d", chatid);
    if (RecordParseInt32(count) == 2) return chatid;
  }
  Chat chat;
  chat.name = const_cast<char*>("");
  const int32_t chatid = InsertRecord(db, &chat);
  if (chatid == 0) return 0;
  for (int32_t member : {userid, otheruserid}) {
    ChatUser row;
    row.chatid = chatid;
    row.userid = member;
    row.roleid = 10;
    row.joined = const_cast<char*>(kDbNow);
    InsertRecord(db, &row);
  }
  return chatid;
}

ChatNewMember ChatPrepareMember(DbConnection* db, const SiteConfig* site, int32_t userid) {
  ChatNewMember prepared;
  prepared.user = LoadUser(db, "id=%d", userid);
  prepared.avatar = ChatAvatarOf(site, userid);
  if (LoadUserEnrollment(db, "userid=%d and roleid in (1, 2, 10, 15)", userid)) prepared.roleid = 10;
  return prepared;
}

LiveUser* FindMember(Client* client, const ChatOwnRoom& guard, int32_t userid) {
  (void)client;
  if (guard.member == nullptr) {
    REPORT_ASSERT("connection->liveuser", "RtmpChat");
    return nullptr;
  }
  if (guard.member->livechat == nullptr) {
    REPORT_ASSERT("connection->liveuser->livechat", "RtmpChat");
    return nullptr;
  }
  guard.Held();
  for (ListNode* n = guard.room->members.first; n != nullptr; n = n->next) {
    auto* m = static_cast<LiveUser*>(n->item);
    if (m->user->id == userid) return m;
  }
  return nullptr;
}

LiveUser* FindMemberInSite(const SiteConfig* site, int32_t userid, ChatRoomLock* memberLock) {
  std::vector<ChatRoomRef> rooms;
  {
    RecursiveLock list(g_livechats.lock);
    for (ListNode* r = g_livechats.first; r != nullptr; r = r->next) {
      auto* room = static_cast<LiveChat*>(r->item);
      if (room->site == site) rooms.emplace_back(room);
    }
  }
  for (ChatRoomRef& ref : rooms) {
    ChatLock lock(ref.room->members.lock);  // handed to the caller on success
    ref.room->members.lock.AssertHeld();
    if (ref.room->removed) continue;
    for (ListNode* n = ref.room->members.first; n != nullptr; n = n->next) {
      auto* m = static_cast<LiveUser*>(n->item);
      if (m->link != nullptr && m->user->id == userid) {
        memberLock->pin = std::move(ref);
        memberLock->lock = std::move(lock);
        return m;
      }
    }
  }
  return nullptr;
}
