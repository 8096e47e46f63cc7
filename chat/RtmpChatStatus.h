// RtmpChatStatus: the methods the server calls on live classroom clients
// (ReceiveChatInfo, ReceiveCourseInfo, ReceiveDisconnect, ReceiveUserUpdate,
// ReceiveText, ReceivePushCommand), the text backlog, and entering and
// leaving a room, which its members hear of.
//
// Every message is built once into a ChatMessage and then handed to each
// receiver with ChatSend, which queues the one body for all of them (the
// chunk writer builds its headers beside it). Builders read members and rooms: the
// caller holds the room's member lock (see RtmpChat.h). The senders that take
// a room take its member lock themselves; none runs a statement under it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Database/Database.h"
#include "chat/ChatMessages.h"
#include "chat/RtmpChat.h"

struct Client;

// Method names, in the order of the client's table.
constexpr const char* kChatMethodNames[] = {"ReceiveChatInfo", "ReceiveCourseInfo", "ReceiveDisconnect",
                                            "ReceiveUserUpdate", "ReceiveText", "ReceivePushCommand"};

// A room as ReceiveChatInfo describes it, taken under the member lock so
// that it can be sent after the lock was released, or to a member of
// another room.
struct ChatInfoSnapshot {
  int32_t id = 0;
  std::optional<int32_t> type;  // rooms with a chat only
  std::string name;             // the chat's name; empty: made of the members' names
  bool hasChat = false;
  std::vector<std::pair<int32_t, std::string>> members;  // user id and name, in member order
};
ChatInfoSnapshot ChatSnapshot(const LiveChat* room) REQUIRES(room->members.lock);
// ReceiveChatInfo for a receiving user of role `roleid`.
ChatMessage ChatInfoMessage(const ChatInfoSnapshot& room, int32_t receiverid, int32_t roleid, bool connected);

// What ReceiveCourseInfo tells one user: myrecordingid (the user's recording
// under the course's recording object) needs a statement, so it is loaded
// before the member lock is taken (on a job's worker when a course room is
// entered).
std::optional<int32_t> ChatLoadMyRecordingId(DbConnection* db, int32_t recordingid, int32_t userid);
ChatMessage ChatCourseInfoMessage(const LiveChat* room, const LiveUser* receiver,
                                  std::optional<int32_t> myrecordingid)
    REQUIRES(room->members.lock, receiver->livechat->members.lock);

ChatMessage ChatUserUpdateMessage(const LiveUser* member, bool hard) REQUIRES(member->livechat->members.lock);

// One ChatTextLog row with its message exactly as stored (it may hold any
// byte, NUL included).
struct ChatTextRow {
  int32_t chatid = 0;
  int32_t userid = 0;
  std::string sent;
  std::string message;
};
ChatMessage ChatTextMessage(const ChatTextRow& row, bool backlog);
ChatMessage ChatDisconnectMessage();

// The length of `text` cut to at most `limit` bytes without splitting a
// UTF-8 character (a partial one at the cut is left out).
size_t ChatCutLength(std::string_view text, size_t limit);
// Reads a `select *` row of ChatTextLog; false when it has too few columns.
bool ChatReadTextRow(DbResult* result, DbRow row, ChatTextRow* out);
// The row with that id; false when there is none (id 0 included).
bool ChatLoadTextRow(DbConnection* db, int32_t id, ChatTextRow* out);

// The room described to the connection, which is its own member's room
// (held by `guard`); reports a connection without member. What goes to the
// connection is held in `outbox` until the caller's locks are gone.
int SendChatInfo(Client* client, const ChatOwnRoom& guard, bool connected, ChatOutbox* outbox);
int SendCourseInfo(Client* client, const ChatOwnRoom& guard, std::optional<int32_t> myrecordingid,
                   ChatOutbox* outbox);
// The caller holds the room list lock (from ChatLockListedRoom). Makes the
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

// One ReceiveUserUpdate (hard) per member of the room, in member order.
void SendMemberList(Client* client, LiveChat* room, ChatOutbox* outbox);
// The member's state to every present member of its room; what goes to the
// outbox's caller is held there.
void BroadcastMember(LiveChat* room, bool hard, const LiveUser* member, ChatOutbox* outbox);
int SendDisconnect(Client* client);
int SendTextMessage(Client* client, const ChatTextRow& row, bool backlog);
int SendPushCommand(Client* client, const char* name, double param);
ChatMessage ChatPushCommandMessage(const char* name, double param);

// Most bytes of ReceiveText bodies one backlog request queues.
constexpr size_t kChatBacklogBytes = 256 * 1024;

// The texts of one backlog request still to go out, oldest first: a
// connection's own, moved into its output queue by ChatServiceBacklog while
// that is below its watermark. Connection thread only.
struct ChatBacklog {
  std::vector<ChatMessage> messages;
  size_t next = 0;
};

// The newest texts of the connection's room of the last `days` days (0: all),
// at most ChatBacklogMax of them and kChatBacklogBytes, to the connection
// oldest first; what does not fit below the output watermark now follows as
// the output drains. Three parts, so that the select waits on a job's worker:
//  - ChatBacklogRequestOf (connection thread, no room lock): drops a backlog
//    still under way and copies what the select needs; false (reported as
//    needed) when the connection has no room;
//  - ChatLoadBacklog (any thread, no lock): the select, the texts built;
//    none when there are none or the select failed (reported);
//  - ChatStartBacklog (connection thread): the texts go out.
struct ChatBacklogRequest {
  DbConnection* db = nullptr;
  ChatRoomKey key;
  int32_t days = 0;
  int64_t now = 0;  // SessionNow() of the request
};
bool ChatBacklogRequestOf(Client* client, int32_t days, ChatBacklogRequest* request);
std::unique_ptr<ChatBacklog> ChatLoadBacklog(const ChatBacklogRequest& request);
void ChatStartBacklog(Client* client, std::unique_ptr<ChatBacklog> backlog);
// Queues more of the pending backlog while the output is below its
// watermark; frees it once sent. The connection's loop calls it.
void ChatServiceBacklog(Client* client);
// Drops what is left of the pending backlog.
void ChatDropBacklog(Client* client);
