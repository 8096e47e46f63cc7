// The chat command handlers over decoded commands, through the connection's
// own dispatch. The scene is rebuilt for every input, in memory and without
// a database (the connection's database is none, so every statement fails
// as with a server that is down, and nothing opens a network connection): a
// chat room (id 5) where our user (7) is present with another present member
// (8) and an absent one (9), and a course room (11) where our user is an
// absent member.
//
// Input: commands, each a byte choosing the chat command, a two-byte length
// and that many bytes of AMF arguments (after the name, transaction id and
// null the client sends first).
//
// Checked: every message the server writes to our connection is a chunk
// stream the test client reads and whose command bodies decode; the rooms
// and members stay consistent (a member's room is its room, a present
// member's connection points back at it, texts end within their arrays);
// the text of chatSendText escapes into a statement literal that reads back
// as the text.
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Database/Database.h"
#include "Database/Record.h"
#include "FuzzCommon.h"
#include "chat/RtmpChat.h"
#include "chat/RtmpChatFunctions.h"
#include "client/Client.h"
#include "rtmp/Amf.h"
#include "rtmp/RtmpUtils.h"
#include "testclient/RtmpClient.h"

namespace {

constexpr const char* kCommandNames[] = {
    "chatConnectChat", "chatConnectCourse", "chatConnectUser", "chatDisconnect",  "chatDeviceInfo",
    "chatUserPresenter", "chatUserActive", "chatUserAction",  "chatRequestText", "chatPushMode",
    "chatPushCommand", "chatSendText",
};
constexpr size_t kCommandCount = sizeof kCommandNames / sizeof kCommandNames[0];
// The handlers of those names, as the connection's command table calls them.
constexpr int (*kHandlers[])(Client*, RtmpStream*, const AmfObject*) = {
    ChatConnectChat,   ChatConnectCourse, ChatConnectUser, ChatDisconnect, ChatDeviceInfo,
    ChatUserPresenter, ChatUserActive,    ChatUserAction,  ChatRequestText, ChatPushMode,
    ChatPushCommand,   ChatSendText,
};
static_assert(sizeof kHandlers / sizeof kHandlers[0] == kCommandCount);

RecordPtr<User> MakeUser(int32_t id) {
  User user;
  user.type = 13;
  user.id = id;
  return CopyRecordAs(&user);
}

LiveUser* AddMember(LiveChat* room, int32_t userid, Client* connection, int32_t roleid) {
  auto* m = new LiveUser;
  m->user = MakeUser(userid);
  m->livechat = room;
  if (connection) m->link = connection->link;
  {
    RecursiveLock hold(m->livechat->members.lock);
    m->roleid = roleid;
  }
  ListAddTail(&room->members, m);
  if (connection) connection->link->chatMember = m;
  return m;
}

// Reads back a literal that DbEscape wrote (without its quotes); false when
// a quote stands in it unescaped, which would end the literal.
bool Unescape(std::string_view quoted, std::string* out) {
  out->clear();
  for (size_t i = 0; i < quoted.size(); ++i) {
    char c = quoted[i];
    if (c == '\'') return false;
    if (c != '\\') {
      out->push_back(c);
      continue;
    }
    if (++i == quoted.size()) return false;
    switch (quoted[i]) {
      case '0': out->push_back('\0'); break;
      case 'n': out->push_back('\n'); break;
      case 'r': out->push_back('\r'); break;
      case 'Z': out->push_back('\x1a'); break;
      default: out->push_back(quoted[i]); break;
    }
  }
  return true;
}

struct Scene {
  SiteConfig site;
  Client self, other;
  RtmpPacket packet;
  int peer = -1;
  RtmpClient reader;

  Scene() {
    int fds[2];
    FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0);
    self.link = std::make_shared<ClientLink>();
    other.link = std::make_shared<ClientLink>();
    FUZZ_CHECK(RtmpContextInit(&self.link->rtmp, fds[0]) == 1);
    std::strcpy(self.address, "fuzz");
    std::strcpy(self.link->rtmp.address, "fuzz");
    self.site = other.site = &site;
    self.user = MakeUser(7);
    other.user = MakeUser(8);
    self.link->wakeEvent.fd = eventfd(0, EFD_NONBLOCK);
    other.link->wakeEvent.fd = eventfd(0, EFD_NONBLOCK);
    peer = fds[1];
    fcntl(peer, F_SETFL, O_NONBLOCK);
    reader.Adopt(peer);
  }

  void Build() {
    auto chat = std::make_unique<LiveChat>();
    chat->site = &site;
    Chat record;
    record.id = 5;
    chat->chat = CopyRecordAs(&record);
    AddMember(chat.get(), 7, &self, 10);
    AddMember(chat.get(), 8, &other, 3);
    AddMember(chat.get(), 9, nullptr, 10);
    auto course = std::make_unique<LiveChat>();
    course->site = &site;
    VCourse vcourse;
    vcourse.id = 11;
    vcourse.recordingid = 12;
    course->course = CopyRecordAs(&vcourse);
    AddMember(course.get(), 7, nullptr, 10);
    AddMember(course.get(), 10, nullptr, 3);
    {
      RecursiveLock members(chat->members.lock);
      self.link->chatMember = static_cast<LiveUser*>(chat->members.first->item);
    }
    ListAddTail(&g_livechats, chat.release());
    ListAddTail(&g_livechats, course.release());
  }

  void Clear() {
    RecursiveLock lock(g_livechats.lock);
    ListRemoveAll(&g_livechats, [](void* item) { delete static_cast<LiveChat*>(item); });
    self.link->chatMember = other.link->chatMember = nullptr;
  }

  void Check() {
    RecursiveLock lock(g_livechats.lock);
    bool selfFound = self.link->chatMember == nullptr;
    for (ListNode* n = g_livechats.first; n != nullptr; n = n->next) {
      auto* room = static_cast<LiveChat*>(n->item);
      FUZZ_CHECK(room->site == &site);
      RecursiveLock members(room->members.lock);
      for (ListNode* k = room->members.first; k != nullptr; k = k->next) {
        auto* m = static_cast<LiveUser*>(k->item);
        FUZZ_CHECK(m->livechat == room);
        m->livechat->members.lock.AssertHeld();  // `room`'s, checked above
        FUZZ_CHECK(m->user != nullptr);
        FUZZ_CHECK(std::memchr(m->action, 0, sizeof m->action) != nullptr);
        FUZZ_CHECK(std::memchr(m->param, 0, sizeof m->param) != nullptr);
        if (m->link != nullptr) FUZZ_CHECK(m->link->chatMember == m);
        if (m == self.link->chatMember) selfFound = true;
        // The teacher's role is never handed around.
        if (m->user->id == 8 && room->chat) FUZZ_CHECK(m->roleid == 3);
      }
    }
    FUZZ_CHECK(selfFound);
  }

  // Every message written to our connection reads as a chunk stream and
  // its commands decode.
  void Drain() {
    while (auto message = reader.ReadMessage(0)) {
      if (message->type != kRtmpMsgCommandAmf0) continue;
      AmfObject object;
      FUZZ_CHECK(AmfDecodeObject(&object, message->body, false) >= 0);
      FUZZ_CHECK(AmfPropString(AmfObjectGet(&object, {}, 0)).length > 0);
      AmfObjectFree(&object);
    }
    FUZZ_CHECK(reader.error().empty() || reader.error().find("time") != std::string::npos);
  }
};

Scene& TheScene() {
  static Scene* scene = new Scene;  // lives as long as the process
  return *scene;
}

void CheckEscape(const AmfObject* object) {
  char text[kTextSize];
  const size_t length = AmfPropCopyText(AmfObjectGet(object, {}, 3), text);
  FUZZ_CHECK(length < kTextSize);
  const std::string quoted = DbEscape(std::string_view(text, length));
  std::string back;
  FUZZ_CHECK(Unescape(quoted, &back));
  FUZZ_CHECK(back == std::string_view(text, length));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Scene& scene = TheScene();
  scene.Build();
  size_t at = 0;
  RtmpPacket& packet = scene.packet;
  for (int pick; (pick = FuzzNextCommand(data, size, &at, kCommandNames, kCommandCount, &packet)) >= 0;) {
    const char* name = kCommandNames[pick];

    AmfObject object;
    if (AmfDecodeObject(&object, std::span<const uint8_t>(packet.m_body, packet.m_nBodySize), false) >= 0) {
      if (std::strcmp(name, "chatSendText") == 0) CheckEscape(&object);
      kHandlers[pick](&scene.self, nullptr, &object);
    }
    AmfObjectFree(&object);
    RtmpPacketFree(&packet);
    scene.Check();
    scene.Drain();
  }
  scene.Clear();
  return 0;
}
