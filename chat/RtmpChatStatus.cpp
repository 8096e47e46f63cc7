#include "chat/RtmpChatStatus.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "Database/Database.h"
#include "client/Client.h"
#include "rtmp/Amf.h"
#include "rtmp/RtmpUtils.h"
#include "util/Log.h"
#include "config/ServerConfig.h"
#include "util/Clock.h"
#include "util/file.h"

namespace {

constexpr size_t kMaxText = kTextSize - 1;
// The smallest ReceiveText body: the method, its header and the five
// properties with empty texts.
constexpr size_t kMinTextBody = 96;

enum ChatMethod { kChatInfo, kCourseInfo, kDisconnect, kUserUpdate, kText, kPushCommand };

std::string_view Cut(std::string_view text) { return text.substr(0, ChatCutLength(text, kMaxText)); }
std::string_view Cut(const char* text) { return Cut(std::string_view(text ? text : "")); }

// The body of one client method call: name, transaction id 0, null, and
// (except ReceiveDisconnect) one object whose properties come in the order
// they are added.
class ChatWriter {
 public:
  explicit ChatWriter(ChatMethod method) {
    p_ = AmfEncodeText(body_.data(), End(), kChatMethodNames[method]);
    p_ = AmfEncodeNumber(p_, End(), 0);
    Byte(AMF_NULL);
  }
  ChatWriter& Object() {
    Byte(AMF_OBJECT);
    object_ = true;
    return *this;
  }
  ChatWriter& Number(const char* name, double value) {
    p_ = AmfEncodeNamedNumber(p_, End(), name, value);
    return *this;
  }
  ChatWriter& Boolean(const char* name, bool flag) {
    p_ = AmfEncodeNamedBoolean(p_, End(), name, flag);
    return *this;
  }
  // Texts are cut to 1023 bytes, as every text field is, at a character
  // boundary; they may hold NUL.
  ChatWriter& String(const char* name, std::string_view text) {
    p_ = AmfEncodeName(p_, End(), name);
    p_ = AmfEncodeString(p_, End(), AmfTextOf(Cut(text)));
    return *this;
  }
  // The body in a block of its own size, which every receiver shares.
  ChatMessage Finish() {
    if (object_) {
      Byte(0);
      Byte(0);
      Byte(AMF_OBJECT_END);
    }
    ChatMessage message;
    if (p_ == nullptr) {
      REPORT_ASSERT("enc", "RtmpChatStatus");
      return message;
    }
    const auto size = static_cast<uint32_t>(p_ - body_.data());
    message.body = RtmpBodyAlloc(size);
    if (!message.body) {
      REPORT_ASSERT("buffer", "RtmpChatStatus");
      return message;
    }
    memcpy(message.body.get(), body_.data(), size);
    message.size = size;
    return message;
  }

 private:
  uint8_t* End() { return body_.data() + body_.size(); }
  void Byte(uint8_t value) {
    if (p_ == nullptr || p_ >= End()) {
      p_ = nullptr;
      return;
    }
    *p_++ = value;
  }
  std::array<uint8_t, kChatBodySize> body_;
  uint8_t* p_ = nullptr;
  bool object_ = false;
};

void ResetPresence(LiveUser* member) REQUIRES(member->livechat->members.lock) {
  member->link = nullptr;
  member->hasaudio = member->hasvideo = member->hasscreen = 0;
  member->activeaudio = member->activevideo = member->activescreen = 0;
  member->talking = 0;
  member->activecontrol = 1;
  member->action[0] = '\0';
  member->param[0] = '\0';
  member->phpsessid[0] = '\0';
}

// The image a client shows for the member.
std::string AvatarImage(const LiveUser* member) {
  if (member->avatar && member->avatar->exists.load()) {
    char image[64];
    snprintf(image, sizeof image, "/contents/avatar-%d.png", member->user->id);
    return image;
  }
  return "/images/iconset/kestravon/user.png";
}

}  // namespace

size_t ChatCutLength(std::string_view text, size_t limit) {
  if (text.size() <= limit) return text.size();
  // A byte 10xxxxxx continues a character: back up to where it began. A
  // character has at most three of them; more is not UTF-8, cut anywhere.
  size_t cut = limit;
  for (int back = 0; back < 3 && cut > 0 && (static_cast<uint8_t>(text[cut]) & 0xC0) == 0x80; ++back) --cut;
  if ((static_cast<uint8_t>(text[cut]) & 0xC0) == 0x80) cut = limit;
  return cut;
}

ChatInfoSnapshot ChatSnapshot(const LiveChat* room) REQUIRES(room->members.lock) {
  ChatInfoSnapshot snapshot;
  if (room->chat) {
    snapshot.hasChat = true;
    snapshot.id = room->chat->id;
    snapshot.type = room->chat->chattype;
    snapshot.name = room->chat->name ? room->chat->name : "";
    if (snapshot.name.empty()) {
      for (const ListNode* n = room->members.first; n != nullptr; n = n->next) {
        const auto* m = static_cast<const LiveUser*>(n->item);
        snapshot.members.emplace_back(m->user->id, m->user->name ? m->user->name : "");
      }
    }
  }
  return snapshot;
}

ChatMessage ChatInfoMessage(const ChatInfoSnapshot& room, int32_t receiverid, int32_t roleid, bool connected) {
  std::string name = "Welcome";
  if (room.hasChat) {
    name = room.name;
    if (name.empty()) {
      // A private chat is named after the others in it.
      for (const auto& [userid, member] : room.members) {
        if (userid == receiverid) continue;
        if (!name.empty()) name += ",";
        name += member;
      }
    }
  }
  ChatWriter w(kChatInfo);
  w.Object().Number("id", room.id);
  if (room.type) w.Number("type", *room.type);
  w.String("name", name).Boolean("connected", connected).Number("roleid", roleid);
  w.String("image", "/images/iconset/kestravon/chat.png");
  return w.Finish();
}

std::optional<int32_t> ChatLoadMyRecordingId(DbConnection* db, int32_t recordingid, int32_t userid) {
  RecordPtr<Object> recording = LoadObject(db, "parentid=%d and authorid=%d", recordingid, userid);
  if (!recording) return std::nullopt;
  return recording->id;
}

ChatMessage ChatCourseInfoMessage(const LiveChat* room, const LiveUser* receiver,
                                  std::optional<int32_t> myrecordingid)
    REQUIRES(room->members.lock, receiver->livechat->members.lock) {
  const VCourse* course = room->course.get();
  ChatWriter w(kCourseInfo);
  w.Object().Number("id", course->id).String("name", Cut(course->name));
  w.Number("roleid", receiver->roleid).Number("presenterid", room->presenterid);
  w.String("image", "/images/iconset/kestravon/course.png");
  w.Number("recordingid", course->recordingid).Number("mypracticeid", receiver->user->folderid);
  if (myrecordingid) w.Number("myrecordingid", *myrecordingid);
  return w.Finish();
}

ChatMessage ChatUserUpdateMessage(const LiveUser* member, bool hard) REQUIRES(member->livechat->members.lock) {
  ChatWriter w(kUserUpdate);
  w.Object().Boolean("hard", hard).Number("userid", member->user->id).String("name", Cut(member->user->name));
  w.String("image", AvatarImage(member));
  w.Number("roleid", member->roleid).Boolean("connected", member->link != nullptr);
  w.Boolean("hasaudio", member->hasaudio).Boolean("hasvideo", member->hasvideo);
  w.Boolean("hasscreen", member->hasscreen);
  w.Boolean("activeaudio", member->activeaudio).Boolean("activevideo", member->activevideo);
  w.Boolean("activescreen", member->activescreen).Boolean("activecontrol", member->activecontrol);
  w.Boolean("talking", member->talking);
  w.String("action", member->action).String("param", member->param);
  if (member->link != nullptr && member->phpsessid[0] != '\0') w.String("phpsessid", member->phpsessid);
  return w.Finish();
}

ChatMessage ChatTextMessage(const ChatTextRow& row, bool backlog) {
  ChatWriter w(kText);
  // The client's property is called courseid but has always carried the chat id.
  w.Object().Number("courseid", row.chatid).Number("userid", row.userid);
  w.String("sent", row.sent).String("message", row.message).Boolean("backlog", backlog);
  return w.Finish();
}

bool ChatReadTextRow(DbResult* result, DbRow row, ChatTextRow* out) {
  if (result == nullptr || row == nullptr || result->fieldCount < 7) return false;
  // The lengths, not the terminating zeros: a text may hold NUL bytes.
  const unsigned long* lengths = mysql_fetch_lengths(result->result);
  out->chatid = RecordParseInt32(row[1]);
  out->userid = RecordParseInt32(row[3]);
  out->sent = row[5] ? row[5] : "";
  out->message = row[6] ? std::string(row[6], lengths ? lengths[6] : strlen(row[6])) : std::string();
  return true;
}

bool ChatLoadTextRow(DbConnection* db, int32_t id, ChatTextRow* out) {
  if (id == 0) return false;
  DbResultPtr result(DbSelect(db, "select * from ChatTextLog where id=%d", id));
  if (!result) return false;
  DbRow row = DbFetchRow(result.get());
  return row != nullptr && ChatReadTextRow(result.get(), row, out);
}

int SendChatInfo(Client* client, const ChatOwnRoom& guard, bool connected, ChatOutbox* outbox) {
  if (guard.member == nullptr) {
    REPORT_ASSERT("connection->liveuser", "RtmpChatStatus");
    return 0;
  }
  guard.Held();
  ChatInfoSnapshot snapshot = ChatSnapshot(guard.room);
  ChatDeliver(client->link.get(), ChatInfoMessage(snapshot, guard.member->user->id, guard.member->roleid, connected),
              outbox);
  return 1;
}

int SendCourseInfo(Client* client, const ChatOwnRoom& guard, std::optional<int32_t> myrecordingid,
                   ChatOutbox* outbox) {
  if (guard.member == nullptr) {
    REPORT_ASSERT("connection->liveuser", "RtmpChatStatus");
    return 0;
  }
  if (!guard.room->course) return 0;
  guard.Held();
  ChatDeliver(client->link.get(), ChatCourseInfoMessage(guard.room, guard.member, myrecordingid), outbox);
  return 1;
}

void SendMemberList(Client* client, LiveChat* room, ChatOutbox* outbox) {
  RecursiveLock lock(room->members.lock);
  for (ListNode* n = room->members.first; n != nullptr; n = n->next) {
    auto* m = static_cast<LiveUser*>(n->item);
    m->livechat->members.lock.AssertHeld();  // `room`'s
    ChatDeliver(client->link.get(), ChatUserUpdateMessage(m, true), outbox);
  }
}

void BroadcastMember(LiveChat* room, bool hard, const LiveUser* member, ChatOutbox* outbox) {
  RecursiveLock lock(room->members.lock);
  member->livechat->members.lock.AssertHeld();  // `room` is the member's
  const ChatMessage message = ChatUserUpdateMessage(member, hard);
  for (ListNode* n = room->members.first; n != nullptr; n = n->next) {
    auto* m = static_cast<LiveUser*>(n->item);
    if (m->link != nullptr) ChatDeliver(m->link.get(), message, outbox);
  }
}

ChatMessage ChatDisconnectMessage() { return ChatWriter(kDisconnect).Finish(); }

int SendDisconnect(Client* client) { return ChatSend(client->link.get(), ChatDisconnectMessage()); }

int SendTextMessage(Client* client, const ChatTextRow& row, bool backlog) {
  return ChatSend(client->link.get(), ChatTextMessage(row, backlog));
}

ChatMessage ChatPushCommandMessage(const char* name, double param) {
  ChatWriter w(kPushCommand);
  w.Object().String("name", Cut(name)).Number("param", param);
  return w.Finish();
}

int SendPushCommand(Client* client, const char* name, double param) {
  return ChatSend(client->link.get(), ChatPushCommandMessage(name, param));
}

bool ChatBacklogRequestOf(Client* client, int32_t days, ChatBacklogRequest* request) {
  ChatDropBacklog(client);
  {
    ChatOwnRoom guard;
    if (!ChatLockOwnRoom(client, &guard)) return false;
    if (guard.room == nullptr) {
      REPORT_ASSERT("livechat", "RtmpChatStatus");
      return false;
    }
    request->key = ChatKeyOf(guard.room);
  }
  request->db = client->db.get();
  request->days = days;
  request->now = static_cast<int64_t>(SessionNow());
  return true;
}

std::unique_ptr<ChatBacklog> ChatLoadBacklog(const ChatBacklogRequest& request) {
  const ChatRoomKey& key = request.key;
  const int32_t days = request.days;
  // Only the rows that can be sent are read: the newest first, no more than
  // the count and no more than the bytes could hold (the smallest text
  // takes kMinTextBody), each message cut as it will be sent. The select
  // runs without any room lock.
  const size_t wanted = static_cast<size_t>(std::max(g_config.chatBacklogMax, 0));
  const size_t rows = std::min(wanted, kChatBacklogBytes / kMinTextBody);
  if (rows == 0) return nullptr;
  constexpr const char* kColumns = "id, chatid, courseid, userid, clientnumber, sent, left(message, 1023)";
  DbConnection* db = request.db;
  if (days != 0) {
    time_t limit = static_cast<time_t>(request.now) - static_cast<time_t>(days) * 86400;
    tm utc{};
    gmtime_r(&limit, &utc);
    char text[64];
    snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
             utc.tm_hour, utc.tm_min, utc.tm_sec);
    if (!DbExecute(db,
                   "select %s from ChatTextLog where chatid=%d and courseid=%d and sent > '%s' "
                   "order by sent desc, id desc limit %zu",
                   kColumns, key.chatid, key.courseid, text, rows)) {
      REPORT_ASSERT("b", "RtmpChatStatus");
      return nullptr;
    }
  } else if (!DbExecute(db, "select %s from ChatTextLog where chatid=%d and courseid=%d order by sent desc, id desc limit %zu",
                        kColumns, key.chatid, key.courseid, rows)) {
    REPORT_ASSERT("b", "RtmpChatStatus");
    return nullptr;
  }
  DbResultPtr result(DbStoreResult(db));
  if (!result) {
    REPORT_ASSERT("result", "RtmpChatStatus");
    return nullptr;
  }
  auto backlog = std::make_unique<ChatBacklog>();
  size_t bytes = 0;
  while (DbRow row = DbFetchRow(result.get())) {
    ChatTextRow text;
    if (!ChatReadTextRow(result.get(), row, &text)) continue;
    ChatMessage message = ChatTextMessage(text, true);
    if (!message.body) continue;
    if (backlog->messages.size() >= wanted || bytes + message.size > kChatBacklogBytes) break;
    bytes += message.size;
    backlog->messages.push_back(std::move(message));
  }
  result.reset();
  if (backlog->messages.empty()) return nullptr;
  std::reverse(backlog->messages.begin(), backlog->messages.end());
  return backlog;
}

void ChatStartBacklog(Client* client, std::unique_ptr<ChatBacklog> backlog) {
  if (backlog == nullptr) return;
  ChatDropBacklog(client);
  client->chatBacklog = backlog.release();
  ChatServiceBacklog(client);
}

void ChatServiceBacklog(Client* client) {
  ChatBacklog* backlog = client->chatBacklog;
  if (backlog == nullptr) return;
  while (backlog->next < backlog->messages.size() && !RtmpOutputAboveWatermark(&client->link->rtmp)) {
    if (!ChatSend(client->link.get(), backlog->messages[backlog->next])) {
      ChatDropBacklog(client);  // closing: the rest would be dropped too
      return;
    }
    // Each text's memory goes with its output queue entry.
    backlog->messages[backlog->next] = ChatMessage();
    ++backlog->next;
  }
  if (backlog->next >= backlog->messages.size()) ChatDropBacklog(client);
}

void ChatDropBacklog(Client* client) {
  delete client->chatBacklog;
  client->chatBacklog = nullptr;
}

LiveUser* JoinRoom(Client* client, LiveChat* room, ChatNewMember* prepared, ChatOutbox* outbox) {
  RecursiveLock list(g_livechats.lock);  // the caller's; taken again for clarity of ownership
  if (client->user == nullptr) return nullptr;
  const int32_t userid = client->user->id;
  // A member in another room would otherwise keep this connection after it
  // ended.
  if (client->link->chatMember != nullptr && client->link->chatMember->livechat != room) LeaveRoom(client);

  RecursiveLock members(room->members.lock);
  LiveUser* member = nullptr;
  for (ListNode* n = room->members.first; n != nullptr; n = n->next) {
    auto* m = static_cast<LiveUser*>(n->item);
    if (m->user->id == userid) {
      member = m;
      break;
    }
  }
  if (member != nullptr) {
    if (member->link != nullptr) {
      // The same user from another connection (or this one again, which
      // hears it after the locks).
      ChatDeliver(member->link.get(), ChatDisconnectMessage(), outbox);
      member->link->chatMember = nullptr;
    }
  } else {
    if (room->course || room->chat) return nullptr;
    if (prepared == nullptr || !prepared->user) return nullptr;
    auto added = std::make_unique<LiveUser>();
    added->livechat = room;
    added->user = std::move(prepared->user);
    added->avatar = std::move(prepared->avatar);
    added->livechat->members.lock.AssertHeld();  // held above as `members`
    added->roleid = prepared->roleid;
    member = added.release();
    ListAddTail(&room->members, member);
  }
  member->link = client->link;
  CopyText(member->phpsessid, ChatSessionId(client));
  client->link->chatMember = member;
  return member;
}

int LeaveRoom(Client* client) {
  ChatOutbox outbox(client);
  // Read under the list lock: another connection of the same user may take
  // the member over (and clear it here) at any time.
  bool hasMember;
  {
    RecursiveLock list(g_livechats.lock);
    hasMember = client->link->chatMember != nullptr;
  }
  if (!hasMember) {
    if (client->user == nullptr) return 0;
    const int32_t userid = client->user->id;
    // A second connection of the user, such as one that published the
    // screen: its end takes the screen away from the user's member. Only
    // this thread gives this connection a member, so none comes meanwhile.
    ChatRoomLock lock;
    if (LiveUser* other = FindMemberInSite(client->site, userid, &lock)) {
      other->livechat->members.lock.AssertHeld();  // handed over in `lock`
      other->hasscreen = 0;
      other->activescreen = 0;
      BroadcastMember(other->livechat, false, other, &outbox);
    }
    return 0;
  }

  LiveChat* room = nullptr;
  bool unused = false;
  {
    RecursiveLock list(g_livechats.lock);
    LiveUser* member = client->link->chatMember;
    if (member == nullptr) return 0;  // taken over meanwhile
    room = member->livechat;
    {
      RecursiveLock members(room->members.lock);
      member->livechat->members.lock.AssertHeld();  // `room` is the member's
      ResetPresence(member);
      if (room->presenterid == member->user->id) room->presenterid = 0;
      BroadcastMember(room, true, member, &outbox);
      client->link->chatMember = nullptr;
      if (room->course || room->chat) {
        unused = true;
        for (ListNode* n = room->members.first; n != nullptr; n = n->next)
          if (static_cast<LiveUser*>(n->item)->link != nullptr) unused = false;
      }
      if (unused) room->removed = true;
    }
    // Off the list, nobody finds the room again; whoever pinned it meanwhile
    // frees it with the last pin.
    if (unused) ListRemove(&g_livechats, room);
  }
  if (unused) ChatReleaseRoom(room);
  return 1;
}
