// The live classroom over RTMP: the real binary on a fresh demo database,
// with up to four test clients (Ada 1, Ben 2, Cleo 3, Dan 4 of the demo)
// entering rooms, changing their presence, posting texts and pushing
// commands, and what every one of them is told.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/ChatClient.h"
#include "support/TestEnv.h"

namespace {

const std::vector<std::string> kUpdateNames = {"hard",        "userid",      "name",         "image",
                                               "roleid",      "connected",   "hasaudio",     "hasvideo",
                                               "hasscreen",   "activeaudio", "activevideo",  "activescreen",
                                               "activecontrol", "talking",   "action",       "param"};
const std::vector<std::string> kTextNames = {"courseid", "userid", "sent", "message", "backlog"};
const char* kUserImage = "/images/iconset/kestravon/user.png";

std::vector<std::string> UpdateNamesWithSession() {
  std::vector<std::string> names = kUpdateNames;
  names.push_back("phpsessid");
  return names;
}

std::vector<std::string> Methods(const std::vector<ChatCall>& calls) {
  std::vector<std::string> out;
  for (const ChatCall& call : calls) out.push_back(call.method);
  return out;
}

// The updates about user `userid` in `calls`.
std::vector<ChatCall> UpdatesOf(const std::vector<ChatCall>& calls, int userid) {
  std::vector<ChatCall> out;
  for (const ChatCall& call : Calls(calls, "ReceiveUserUpdate"))
    if (call.object.Get("userid").number == userid) out.push_back(call);
  return out;
}

bool Flag(const ChatCall& call, const char* name) {
  const amf::Node& node = call.object.Get(name);
  EXPECT_EQ(node.kind, amf::Kind::kBoolean) << name;
  return node.number != 0;
}

std::string Hex(const std::string& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

class ChatTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(site_.Start("chat")) << "no test database or binary";
    site_.HoldLocalWeb();  // teardown requests of our sessions stay with us when we can
  }
  uint16_t Port() const { return static_cast<uint16_t>(site_.server.port); }
  void Login(ChatClient* client, const char* phpsessid) {
    ASSERT_TRUE(client->Login(Port(), phpsessid)) << phpsessid;
  }
  // Ada and Ben logged in and present in the study group's room (chat 1),
  // with what entering sent to Ada taken.
  void AdaAndBenInTheStudyGroup(ChatClient* ada, ChatClient* ben) {
    Login(ada, "demo-ada-0001");
    Login(ben, "demo-ben-0002");
    ASSERT_FALSE(Enter(ada, "chatConnectChat", 1).empty());
    ASSERT_FALSE(Enter(ben, "chatConnectChat", 1).empty());
    ada->Sync();
  }
  // Enters and returns what the entry sent to the client.
  std::vector<ChatCall> Enter(ChatClient* client, const char* command, int id) {
    return client->Do(command, {amf::Num(id)});
  }
  // Waits until every listed client has had `method` for `userid` (or any
  // user when 0); returns each one's calls.
  bool Heard(std::initializer_list<ChatClient*> clients, const std::string& method,
             const std::function<bool(const ChatCall&)>& match, std::vector<ChatCall>* last = nullptr) {
    for (ChatClient* client : clients) {
      auto calls = client->Until(method, match);
      if (calls.empty()) return false;
      if (last) *last = {calls.back()};
    }
    return true;
  }
  std::string ErrorLog() { return site_.server.ErrorLog() + site_.server.Output(); }

  StrmdSite site_;
};

TEST_F(ChatTest, ChatRoomEntryDescribesRoomMembersAndTheLastDay) {
  ASSERT_TRUE(site_.db->Run(
      "delete from ChatTextLog;"
      "insert into ChatTextLog values (0, 1, 0, 2, 1, now() - interval 2 day, 'two days ago');"
      "insert into ChatTextLog values (0, 1, 0, 3, 1, now() - interval 1 hour, 'an hour ago');"
      "insert into ChatTextLog values (0, 1, 0, 1, 1, now() - interval 2 hour, 'two hours ago');"
      "insert into ChatTextLog values (0, 2, 0, 1, 1, now() - interval 1 hour, 'another chat')"));
  std::ofstream(site_.Files() + "/avatar-2.png") << "png";

  ChatClient ada, ben;
  Login(&ada, "demo-ada-0001");
  auto calls = Enter(&ada, "chatConnectChat", 1);
  ASSERT_EQ(Methods(calls), (std::vector<std::string>{"ReceiveChatInfo", "ReceiveUserUpdate", "ReceiveUserUpdate",
                                                      "ReceiveUserUpdate", "ReceiveText", "ReceiveText"}));
  const amf::Node& info = calls[0].object;
  EXPECT_EQ(amf::Names(info), (std::vector<std::string>{"id", "type", "name", "connected", "roleid", "image"}));
  EXPECT_EQ(info.Get("id").number, 1);
  EXPECT_EQ(info.Get("type").number, 1);
  EXPECT_EQ(info.Get("name").text, "Study group");
  EXPECT_TRUE(Flag(calls[0], "connected"));
  EXPECT_EQ(info.Get("roleid").number, 1);
  EXPECT_EQ(info.Get("image").text, "/images/iconset/kestravon/chat.png");

  // Every member, present or not, in member order, hard.
  EXPECT_EQ(amf::Names(calls[1].object), UpdateNamesWithSession());
  EXPECT_EQ(calls[1].object.Get("phpsessid").text, "demo-ada-0001");
  for (int i = 1; i <= 3; ++i) {
    const ChatCall& update = calls[static_cast<size_t>(i)];
    EXPECT_EQ(update.object.Get("userid").number, i);
    EXPECT_TRUE(Flag(update, "hard"));
    EXPECT_EQ(Flag(update, "connected"), i == 1);
    EXPECT_TRUE(Flag(update, "activecontrol"));
    EXPECT_FALSE(Flag(update, "activeaudio"));
    if (i != 1) {
      EXPECT_EQ(amf::Names(update.object), kUpdateNames);
    }
  }
  EXPECT_EQ(calls[1].object.Get("name").text, "Ada Teacher");
  EXPECT_EQ(calls[1].object.Get("roleid").number, 1);
  EXPECT_EQ(calls[1].object.Get("image").text, kUserImage);
  EXPECT_EQ(calls[2].object.Get("image").text, "/contents/avatar-2.png");
  EXPECT_EQ(calls[2].object.Get("roleid").number, 10);

  // One day back, oldest first, as history.
  EXPECT_EQ(amf::Names(calls[4].object), kTextNames);
  EXPECT_EQ(calls[4].object.Get("message").text, "two hours ago");
  EXPECT_EQ(calls[5].object.Get("message").text, "an hour ago");
  EXPECT_EQ(calls[4].object.Get("courseid").number, 1);
  EXPECT_EQ(calls[4].object.Get("userid").number, 1);
  EXPECT_EQ(calls[5].object.Get("userid").number, 3);
  EXPECT_TRUE(Flag(calls[4], "backlog"));
  EXPECT_EQ(calls[4].object.Get("sent").text.size(), 19u);

  // The entry switched the audio on, without telling anyone.
  Login(&ben, "demo-ben-0002");
  calls = Enter(&ben, "chatConnectChat", 1);
  auto adaNow = UpdatesOf(calls, 1);
  ASSERT_EQ(adaNow.size(), 1u);
  EXPECT_TRUE(Flag(adaNow[0], "activeaudio"));
  EXPECT_TRUE(Flag(adaNow[0], "connected"));
  EXPECT_TRUE(ada.Sync().empty());

  // The whole log on request.
  calls = ben.Do("chatRequestText", {amf::Num(0)});
  ASSERT_EQ(Methods(calls), (std::vector<std::string>(3, "ReceiveText")));
  EXPECT_EQ(calls[0].object.Get("message").text, "two days ago");
  EXPECT_EQ(calls[2].object.Get("message").text, "an hour ago");
}

// An avatar made or removed while its user is in a room shows in that
// member's next updates within a few seconds, without entering again.
TEST_F(ChatTest, AvatarMadeOrRemovedLaterShowsInTheMembersNextUpdates) {
  ChatClient ada, ben;
  AdaAndBenInTheStudyGroup(&ada, &ben);
  const std::string avatar = site_.Files() + "/avatar-2.png";
  auto isBen = [](const ChatCall& c) { return c.object.Get("userid").number == 2; };
  // Ben's presence changes until Ada is told `image`.
  auto shows = [&](const std::string& image) {
    return TestWaitUntil([&] {
      if (!ben.Send("chatDeviceInfo", {amf::Bool(true), amf::Bool(true), amf::Bool(false)})) return false;
      auto got = ada.Until("ReceiveUserUpdate", isBen);
      return !got.empty() && got.back().object.Get("image").text == image;
    }, 10000);
  };
  ASSERT_TRUE(shows(kUserImage));
  std::ofstream(avatar) << "png";
  EXPECT_TRUE(shows("/contents/avatar-2.png"));
  std::filesystem::remove(avatar);
  EXPECT_TRUE(shows(kUserImage));
}

TEST_F(ChatTest, OpenRoomIsWelcomeAndTakesAnyoneOfTheSite) {
  ChatClient ada, ben;
  Login(&ada, "demo-ada-0001");
  Login(&ben, "demo-ben-0002");
  auto calls = Enter(&ada, "chatConnectChat", 0);
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(amf::Names(calls[0].object), (std::vector<std::string>{"id", "name", "connected", "roleid", "image"}));
  EXPECT_EQ(calls[0].object.Get("id").number, 0);
  EXPECT_EQ(calls[0].object.Get("name").text, "Welcome");
  EXPECT_EQ(calls[0].object.Get("roleid").number, 10);  // staff

  calls = Enter(&ben, "chatConnectChat", 0);
  ASSERT_EQ(Methods(calls), (std::vector<std::string>{"ReceiveChatInfo", "ReceiveUserUpdate", "ReceiveUserUpdate"}));
  EXPECT_EQ(calls[0].object.Get("roleid").number, 50);
  EXPECT_EQ(calls[1].object.Get("userid").number, 1);
  EXPECT_EQ(calls[2].object.Get("userid").number, 2);
  EXPECT_EQ(calls[2].object.Get("roleid").number, 50);

  ASSERT_TRUE(ben.Send("chatSendText", {amf::Str("hello everyone"), amf::Num(3)}));
  for (ChatClient* c : {&ada, &ben}) {
    auto got = c->Until("ReceiveText");
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.back().object.Get("message").text, "hello everyone");
    EXPECT_EQ(got.back().object.Get("courseid").number, 0);
    EXPECT_FALSE(Flag(got.back(), "backlog"));
  }
  EXPECT_EQ(site_.db->Value("select concat(chatid, ',', courseid, ',', userid, ',', clientnumber) from ChatTextLog "
                            "where message='hello everyone'"),
            "0,0,2,3");
}

TEST_F(ChatTest, CourseRoomRolesPresenterAndRecordings) {
  ASSERT_TRUE(site_.db->Run("delete from ChatTextLog"));
  ChatClient ada, ben, cleo, dan;
  Login(&ada, "demo-ada-0001");
  Login(&ben, "demo-ben-0002");
  Login(&cleo, "demo-cleo-0003");
  Login(&dan, "demo-dan-0004");
  auto calls = Enter(&ben, "chatConnectCourse", 300);
  ASSERT_EQ(Methods(calls), (std::vector<std::string>{"ReceiveCourseInfo", "ReceiveUserUpdate", "ReceiveUserUpdate",
                                                      "ReceiveUserUpdate"}));
  const amf::Node& info = calls[0].object;
  EXPECT_EQ(amf::Names(info), (std::vector<std::string>{"id", "name", "roleid", "presenterid", "image", "recordingid",
                                                        "mypracticeid", "myrecordingid"}));
  EXPECT_EQ(info.Get("id").number, 300);
  EXPECT_EQ(info.Get("name").text, "Demo course");
  EXPECT_EQ(info.Get("roleid").number, 5);
  EXPECT_EQ(info.Get("presenterid").number, 0);
  EXPECT_EQ(info.Get("image").text, "/images/iconset/kestravon/course.png");
  EXPECT_EQ(info.Get("recordingid").number, 301);
  EXPECT_EQ(info.Get("mypracticeid").number, 101);
  EXPECT_EQ(info.Get("myrecordingid").number, 302);

  calls = Enter(&cleo, "chatConnectCourse", 300);
  ASSERT_FALSE(calls.empty());
  EXPECT_TRUE(calls[0].object.Get("myrecordingid").IsMissing());
  EXPECT_EQ(calls[0].object.Get("mypracticeid").number, 102);
  ASSERT_FALSE(Enter(&ada, "chatConnectCourse", 300).empty());

  // Not enrolled: no room for Dan, and no message.
  EXPECT_TRUE(Enter(&dan, "chatConnectCourse", 300).empty());
  EXPECT_NE(ErrorLog().find("ASSERT(connection->liveuser) failed at RtmpChatFunctions"), std::string::npos);

  // Ada presents: every present member hears the course again, each with
  // their own recording (Ada's is made now, Cleo has none).
  ASSERT_TRUE(site_.db->Run(
      "insert into Object (id, name, authorid, storage, parentid, objecttype, parentlist, pathname, mimetype, "
      "folderimportid, created) values (303, 'Ada''s recording', 1, 1, 301, 2, '100,300,301', '303.flv', "
      "'video/x-flv', 0, '2026-01-07 09:00:00')"));
  ASSERT_TRUE(ada.Send("chatPushMode", {amf::Bool(true)}));
  std::vector<ChatCall> got;
  ASSERT_TRUE(Heard({&ada}, "ReceiveCourseInfo", {}, &got));
  EXPECT_EQ(got[0].object.Get("presenterid").number, 1);
  EXPECT_EQ(got[0].object.Get("roleid").number, 3);
  EXPECT_EQ(got[0].object.Get("myrecordingid").number, 303);
  ASSERT_TRUE(Heard({&ben}, "ReceiveCourseInfo", {}, &got));
  EXPECT_EQ(got[0].object.Get("presenterid").number, 1);
  EXPECT_EQ(got[0].object.Get("myrecordingid").number, 302);
  ASSERT_TRUE(Heard({&cleo}, "ReceiveCourseInfo", {}, &got));
  EXPECT_TRUE(got[0].object.Get("myrecordingid").IsMissing());

  // The teacher's role stays 3, and the room still hears of it.
  ASSERT_TRUE(ben.Send("chatUserPresenter", {amf::Num(1), amf::Bool(false)}));
  auto isAda = [](const ChatCall& c) { return c.object.Get("userid").number == 1; };
  for (ChatClient* c : {&ada, &ben, &cleo}) {
    ASSERT_TRUE(Heard({c}, "ReceiveUserUpdate", isAda, &got));
    EXPECT_EQ(got[0].object.Get("roleid").number, 3);
    EXPECT_FALSE(Flag(got[0], "hard"));
  }
  auto isCleo = [](const ChatCall& c) { return c.object.Get("userid").number == 3; };
  ASSERT_TRUE(ada.Send("chatUserPresenter", {amf::Num(3), amf::Num(1)}));
  ASSERT_TRUE(Heard({&ben}, "ReceiveUserUpdate", isCleo, &got));
  EXPECT_EQ(got[0].object.Get("roleid").number, 4);
  ASSERT_TRUE(ada.Send("chatUserPresenter", {amf::Num(3), amf::Num(0)}));
  ASSERT_TRUE(Heard({&ben}, "ReceiveUserUpdate", isCleo, &got));
  EXPECT_EQ(got[0].object.Get("roleid").number, 6);

  // The presenter leaves: nobody presents any more. Ben entering the room he
  // is in is told to disconnect first, then gets the room again.
  ASSERT_TRUE(ada.Send("chatDisconnect", {}));
  ASSERT_TRUE(Heard({&ben}, "ReceiveUserUpdate", [](const ChatCall& c) {
    return c.object.Get("userid").number == 1 && c.object.Get("connected").number == 0;
  }));
  calls = Enter(&ben, "chatConnectCourse", 300);
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(calls[0].method, "ReceiveDisconnect");
  EXPECT_TRUE(calls[0].object.IsMissing());
  auto infos = Calls(calls, "ReceiveCourseInfo");
  ASSERT_EQ(infos.size(), 1u);
  EXPECT_EQ(infos[0].object.Get("presenterid").number, 0);
}

TEST_F(ChatTest, PrivateChatIsFoundOrCreatedOnce) {
  ChatClient ada, ben;
  Login(&ada, "demo-ada-0001");
  Login(&ben, "demo-ben-0002");
  // Ben and Cleo have one already: it is named after the other.
  auto calls = Enter(&ben, "chatConnectUser", 3);
  ASSERT_EQ(Methods(calls), (std::vector<std::string>{"ReceiveChatInfo", "ReceiveUserUpdate", "ReceiveUserUpdate"}));
  EXPECT_EQ(calls[0].object.Get("id").number, 2);
  EXPECT_EQ(calls[0].object.Get("type").number, 0);
  EXPECT_EQ(calls[0].object.Get("name").text, "Cleo Student");
  EXPECT_EQ(calls[0].object.Get("roleid").number, 10);

  // Ada and Ben have none: it is made, with two members of role 10.
  const std::string chats = site_.db->Value("select count(*) from Chat");
  calls = Enter(&ada, "chatConnectUser", 2);
  ASSERT_FALSE(calls.empty());
  const int id = static_cast<int>(calls[0].object.Get("id").number);
  EXPECT_EQ(std::to_string(id), site_.db->Value("select max(id) from Chat"));
  EXPECT_EQ(calls[0].object.Get("name").text, "Ben Student");
  EXPECT_EQ(site_.db->Value("select concat(chattype, ',', name) from Chat where id=" + std::to_string(id)), "0,");
  EXPECT_EQ(site_.db->Value("select group_concat(concat(userid, ':', roleid) order by userid) from ChatUser where "
                            "chatid=" + std::to_string(id)),
            "1:10,2:10");
  // Ben is in another room: Ada sees him absent.
  auto ben2 = UpdatesOf(calls, 2);
  ASSERT_EQ(ben2.size(), 1u);
  EXPECT_FALSE(Flag(ben2[0], "connected"));

  // Found again, not made twice.
  ada.Do("chatDisconnect", {});
  calls = Enter(&ada, "chatConnectUser", 2);
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls[0].object.Get("id").number, id);
  EXPECT_EQ(site_.db->Value("select count(*) from Chat"), std::to_string(std::stoi(chats) + 1));
}

TEST_F(ChatTest, PresenceTextsAndPushedCommandsReachTheRightMembers) {
  ChatClient ada, ben, cleo;
  Login(&ada, "demo-ada-0001");
  Login(&ben, "demo-ben-0002");
  Login(&cleo, "demo-cleo-0003");
  for (ChatClient* c : {&ada, &ben, &cleo}) ASSERT_FALSE(Enter(c, "chatConnectChat", 1).empty());
  ada.Sync();
  ben.Sync();
  auto isBen = [](const ChatCall& c) { return c.object.Get("userid").number == 2; };
  std::vector<ChatCall> got;

  ASSERT_TRUE(ben.Send("chatDeviceInfo", {amf::Bool(true), amf::Bool(true), amf::Bool(false)}));
  for (ChatClient* c : {&ada, &ben, &cleo}) {
    ASSERT_TRUE(Heard({c}, "ReceiveUserUpdate", isBen, &got));
    EXPECT_TRUE(Flag(got[0], "hard"));
    EXPECT_TRUE(Flag(got[0], "hasaudio"));
    EXPECT_TRUE(Flag(got[0], "hasvideo"));
    EXPECT_TRUE(Flag(got[0], "activeaudio"));
    EXPECT_EQ(got[0].object.Get("phpsessid").text, "demo-ben-0002");
  }
  // No audio device: the audio is off in the same message.
  ASSERT_TRUE(ben.Send("chatDeviceInfo", {amf::Num(0), amf::Num(1)}));
  for (ChatClient* c : {&ada, &ben, &cleo}) {
    ASSERT_TRUE(Heard({c}, "ReceiveUserUpdate", isBen, &got));
    EXPECT_FALSE(Flag(got[0], "hasaudio"));
    EXPECT_FALSE(Flag(got[0], "activeaudio"));
    EXPECT_TRUE(Flag(got[0], "hasvideo"));
  }
  ASSERT_TRUE(ada.Send("chatUserActive",
                       {amf::Num(2), amf::Bool(false), amf::Num(1), amf::Num(1), amf::Num(0), amf::Num(0)}));
  for (ChatClient* c : {&ada, &ben, &cleo}) {
    ASSERT_TRUE(Heard({c}, "ReceiveUserUpdate", isBen, &got));
    EXPECT_FALSE(Flag(got[0], "hard"));
    EXPECT_TRUE(Flag(got[0], "activeaudio"));
    EXPECT_TRUE(Flag(got[0], "activevideo"));
    EXPECT_FALSE(Flag(got[0], "activescreen"));
    EXPECT_FALSE(Flag(got[0], "activecontrol"));
  }
  ASSERT_TRUE(cleo.Send("chatUserAction", {amf::Str("raise"), amf::Str("hand")}));
  for (ChatClient* c : {&ada, &ben, &cleo}) {
    ASSERT_TRUE(Heard({c}, "ReceiveUserUpdate", [](const ChatCall& x) { return x.object.Get("userid").number == 3; },
                      &got));
    EXPECT_EQ(got[0].object.Get("action").text, "raise");
    EXPECT_EQ(got[0].object.Get("param").text, "hand");
  }

  // A pushed command reaches its member only.
  ASSERT_TRUE(ada.Send("chatPushCommand", {amf::Num(2), amf::Str("slide"), amf::Num(7)}));
  ASSERT_TRUE(Heard({&ben}, "ReceivePushCommand", {}, &got));
  EXPECT_EQ(amf::Names(got[0].object), (std::vector<std::string>{"name", "param"}));
  EXPECT_EQ(got[0].object.Get("name").text, "slide");
  EXPECT_EQ(got[0].object.Get("param").number, 7);
  EXPECT_TRUE(Calls(ada.Sync(), "ReceivePushCommand").empty());
  EXPECT_TRUE(Calls(cleo.Sync(), "ReceivePushCommand").empty());

  // Cleo leaves for the open room; a command to her now goes nowhere, and is
  // no failure.
  ASSERT_TRUE(cleo.Send("chatConnectChat", {amf::Num(0)}));
  ASSERT_TRUE(Heard({&ada}, "ReceiveUserUpdate", [](const ChatCall& x) {
    return x.object.Get("userid").number == 3 && x.object.Get("connected").number == 0;
  }, &got));
  EXPECT_TRUE(got[0].object.Get("action").text.empty());
  cleo.Sync();
  const size_t logBefore = ErrorLog().size();
  ASSERT_TRUE(ada.Send("chatPushCommand", {amf::Num(3), amf::Str("slide"), amf::Num(8)}));
  EXPECT_TRUE(Calls(ada.Sync(), "ReceivePushCommand").empty());
  EXPECT_TRUE(Calls(cleo.Sync(), "ReceivePushCommand").empty());
  EXPECT_EQ(ErrorLog().substr(logBefore).find("ASSERT"), std::string::npos);

  // A text here tells Cleo, present elsewhere in the site, about this room.
  ASSERT_TRUE(ben.Send("chatSendText", {amf::Str("are you there?"), amf::Num(1)}));
  ASSERT_TRUE(Heard({&cleo}, "ReceiveChatInfo", {}, &got));
  EXPECT_EQ(got[0].object.Get("id").number, 1);
  EXPECT_EQ(got[0].object.Get("name").text, "Study group");
  EXPECT_FALSE(Flag(got[0], "connected"));
  EXPECT_EQ(got[0].object.Get("roleid").number, 50);  // her role in the open room
  EXPECT_TRUE(Calls(cleo.Sync(), "ReceiveText").empty());
  ASSERT_TRUE(Heard({&ada}, "ReceiveText", {}, &got));
  EXPECT_EQ(got[0].object.Get("message").text, "are you there?");
}

TEST_F(ChatTest, TextsAreStoredAndDeliveredExactlyAsSent) {
  ChatClient ada, ben;
  ASSERT_NO_FATAL_FAILURE(AdaAndBenInTheStudyGroup(&ada, &ben));

  std::string mixed;
  while (mixed.size() < 1023) mixed += "a'b\\c\"d";
  mixed.resize(1023);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"it's", "it's"},
      {"back\\slash\\", "back\\slash\\"},
      {"say \"hi\"", "say \"hi\""},
      {std::string("nul\0byte", 8), std::string("nul\0byte", 8)},
      {"x'); delete from ChatTextLog; -- ", "x'); delete from ChatTextLog; -- "},
      {"\\'", "\\'"},
      {mixed, mixed},
      {mixed + "!", mixed},  // cut to 1023 characters, as every text is
      {"emoji \xF0\x9F\x98\x80 and \xE2\x82\xAC", "emoji \xF0\x9F\x98\x80 and \xE2\x82\xAC"},
      // Never inside a character: the emoji that would cross byte 1023 goes.
      {std::string(1021, 'e') + "\xF0\x9F\x98\x80", std::string(1021, 'e')},
  };
  for (const auto& [sent, expected] : cases) {
    ASSERT_TRUE(ada.Send("chatSendText", {amf::Str(sent), amf::Num(5)}));
    for (ChatClient* c : {&ada, &ben}) {
      std::vector<ChatCall> got;
      ASSERT_TRUE(Heard({c}, "ReceiveText", {}, &got)) << Hex(expected);
      EXPECT_EQ(got[0].object.Get("message").text, expected);
      EXPECT_EQ(got[0].object.Get("userid").number, 1);
      EXPECT_FALSE(Flag(got[0], "backlog"));
    }
    EXPECT_EQ(site_.db->Value("select hex(message) from ChatTextLog order by id desc limit 1"), Hex(expected));
    EXPECT_EQ(site_.db->Value("select clientnumber from ChatTextLog order by id desc limit 1"), "5");
  }
  EXPECT_EQ(site_.db->Value("select count(*) from ChatTextLog"), std::to_string(3 + cases.size()));
  // As history too.
  auto calls = ben.Do("chatRequestText", {amf::Num(1)});
  ASSERT_EQ(calls.size(), cases.size());
  for (size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(calls[i].object.Get("message").text, cases[i].second) << i;
}

TEST_F(ChatTest, TextTheDatabaseRefusesIsReportedWithItsErrorAndTheSender) {
  ChatClient ada;
  Login(&ada, "demo-ada-0001");
  ASSERT_FALSE(Enter(&ada, "chatConnectChat", 1).empty());
  const size_t logBefore = ErrorLog().size();
  ASSERT_TRUE(ada.Send("chatSendText", {amf::Str("not UTF-8: \xFF\xFE"), amf::Num(1)}));
  EXPECT_TRUE(Calls(ada.Sync(), "ReceiveText").empty());
  const std::string log = ErrorLog().substr(logBefore);
  EXPECT_NE(log.find("chatSendText from 127.0.0.1: the text was not stored: Incorrect string value"),
            std::string::npos)
      << log;
}

TEST_F(ChatTest, TextFloodIsCutAtTheRateWithOneReportASecond) {
  ChatClient ada, ben;
  ASSERT_NO_FATAL_FAILURE(AdaAndBenInTheStudyGroup(&ada, &ben));
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 300; ++i) ASSERT_TRUE(ada.Send("chatSendText", {amf::Str("flood " + std::to_string(i)), amf::Num(i)}));
  bool ok = false;
  ada.Sync(&ok);  // every text of the flood has been handled
  ASSERT_TRUE(ok);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const size_t heard = Calls(ben.Sync(), "ReceiveText").size();
  // Ten a second (the default), in every second the flood lasted.
  const size_t allowed = 10 * (static_cast<size_t>(seconds) + 2);
  EXPECT_GE(heard, 1u);
  EXPECT_LE(heard, allowed) << seconds << " s";
  EXPECT_LE(std::stoul(site_.db->Value("select count(*) from ChatTextLog where message like 'flood %'")), allowed);
  const std::string log = ErrorLog();
  size_t reports = 0;
  for (size_t at = log.find("texts dropped (ChatTextsPerSecond 10)"); at != std::string::npos;
       at = log.find("texts dropped (ChatTextsPerSecond 10)", at + 1))
    ++reports;
  EXPECT_GE(reports, 1u);
  EXPECT_LE(reports, static_cast<size_t>(seconds) + 2);
}

TEST_F(ChatTest, BacklogOfAJoinAndOfTheWholeHistoryIsTheNewestTwoHundredOldestFirst) {
  // 5,000 texts of 1,000 characters in the last hours, numbered in order.
  ASSERT_TRUE(site_.db->Run(
      "delete from ChatTextLog; set max_recursive_iterations = 10000;"
      "insert into ChatTextLog (chatid, courseid, userid, clientnumber, sent, message) "
      "with recursive n(i) as (select 1 union all select i + 1 from n where i < 5000) "
      "select 1, 0, 2, i, now() - interval (5000 - i) second, concat(lpad(i, 5, '0'), repeat('x', 995)) from n"));
  ASSERT_EQ(site_.db->Value("select count(*) from ChatTextLog"), "5000");
  ChatClient ada;
  Login(&ada, "demo-ada-0001");
  auto check = [](const std::vector<ChatCall>& calls) {
    const std::vector<ChatCall> texts = Calls(calls, "ReceiveText");
    size_t bytes = 0;
    for (const ChatCall& text : texts) bytes += text.object.Get("message").text.size();
    EXPECT_EQ(texts.size(), 200u);
    EXPECT_LE(bytes, 256u * 1024);
    ASSERT_FALSE(texts.empty());
    // The newest, oldest first.
    EXPECT_EQ(texts.front().object.Get("message").text.substr(0, 5), "04801");
    EXPECT_EQ(texts.back().object.Get("message").text.substr(0, 5), "05000");
    for (size_t i = 1; i < texts.size(); ++i)
      EXPECT_LT(texts[i - 1].object.Get("message").text, texts[i].object.Get("message").text);
  };
  check(Enter(&ada, "chatConnectChat", 1));
  check(ada.Do("chatRequestText", {amf::Num(0)}));
}

TEST_F(ChatTest, TakeoverLeavingAndRebuildingTheRoom) {
  ChatClient first, second, dan;
  Login(&first, "demo-ben-0002");
  Login(&second, "demo-ben-0002");
  Login(&dan, "demo-dan-0004");
  ASSERT_FALSE(Enter(&first, "chatConnectChat", 1).empty());
  auto calls = Enter(&second, "chatConnectChat", 1);
  auto ben = UpdatesOf(calls, 2);
  ASSERT_EQ(ben.size(), 1u);
  EXPECT_TRUE(Flag(ben[0], "connected"));
  calls = first.Sync();
  ASSERT_EQ(Methods(calls), (std::vector<std::string>{"ReceiveDisconnect"}));
  // The first connection has no member any more.
  EXPECT_TRUE(first.Do("chatDeviceInfo", {amf::Num(1), amf::Num(1)}).empty());
  EXPECT_TRUE(Calls(second.Sync(), "ReceiveUserUpdate").empty());

  // Dan is not in the study group; once the room is gone and he is added,
  // the room is built again with him.
  EXPECT_TRUE(Enter(&dan, "chatConnectChat", 1).empty());
  ASSERT_TRUE(site_.db->Run("insert into ChatUser values (0, 1, 4, 0, 10, now())"));
  EXPECT_TRUE(Enter(&dan, "chatConnectChat", 1).empty());  // still the room in memory
  second.Do("chatDisconnect", {});
  calls = Enter(&dan, "chatConnectChat", 1);
  ASSERT_EQ(UpdatesOf(calls, 4).size(), 1u);
  EXPECT_EQ(Calls(calls, "ReceiveUserUpdate").back().object.Get("userid").number, 4);

  // Entering another room leaves this one: Dan hears Ben arrive and go.
  ASSERT_FALSE(Enter(&second, "chatConnectChat", 1).empty());
  ASSERT_FALSE(Enter(&second, "chatConnectChat", 2).empty());
  auto got = dan.Sync();
  auto updates = UpdatesOf(got, 2);
  ASSERT_FALSE(updates.empty());
  EXPECT_FALSE(Flag(updates.back(), "connected"));
  // Ben's connection ends; chat 1 must not reach it any more.
  second.player.client.Close();
  first.player.client.Close();
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(dan.Send("chatSendText", {amf::Str("still here"), amf::Num(i)}));
  auto texts = Calls(dan.Sync(), "ReceiveText");
  EXPECT_EQ(texts.size(), 5u);
  ChatClient cleo;
  Login(&cleo, "demo-cleo-0003");
  EXPECT_FALSE(Enter(&cleo, "chatConnectChat", 2).empty());
}

// A member whose connection lost its user (a later loadmodel named a
// session without one) still leaves its room when that connection ends:
// the others see it go, and the room's texts reach only live connections.
TEST_F(ChatTest, MemberWhoseUserWasDroppedLeavesWithItsConnection) {
  ChatClient ada, ben;
  Login(&ada, "demo-ada-0001");
  Login(&ben, "demo-ben-0002");
  ASSERT_FALSE(Enter(&ada, "chatConnectChat", 1).empty());
  ASSERT_FALSE(Enter(&ben, "chatConnectChat", 1).empty());
  // A session, but no user.
  ASSERT_TRUE(ben.player.Command(
      {amf::Str("loadmodel"), amf::Num(7), amf::Null(), amf::Str("phpsessid"), amf::Str("demo-nouser-0005")}));
  ben.Sync();
  ben.player.client.Close();
  auto gone = ada.Until("ReceiveUserUpdate", [](const ChatCall& c) {
    return c.object.Get("userid").number == 2 && !Flag(c, "connected");
  });
  EXPECT_FALSE(gone.empty()) << "the room still shows the ended connection";
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(ada.Send("chatSendText", {amf::Str("still here"), amf::Num(i)}));
  EXPECT_EQ(Calls(ada.Sync(), "ReceiveText").size(), 3u);
}

TEST_F(ChatTest, ScreenPublishedFromASecondConnectionFlagsTheMember) {
  ChatClient ada, ben;
  ASSERT_NO_FATAL_FAILURE(AdaAndBenInTheStudyGroup(&ada, &ben));
  auto isBen = [](const ChatCall& c) { return c.object.Get("userid").number == 2; };
  std::vector<ChatCall> got;
  {
    TestPlayer screen;
    ASSERT_TRUE(screen.Connect(Port()));
    ASSERT_EQ(screen.CreateStream(), 1);
    ASSERT_TRUE(screen.Command({amf::Str("publish"), amf::Num(0), amf::Null(), amf::Str("phpsessid=demo-ben-0002")}, 1));
    ASSERT_FALSE(screen.Until("NetStream.Publish.Start").empty());
    ASSERT_TRUE(Heard({&ada}, "ReceiveUserUpdate", isBen, &got));
    EXPECT_TRUE(Flag(got[0], "hasscreen"));
    EXPECT_TRUE(Flag(got[0], "connected"));
  }
  // The screen connection ends: the flag goes with it.
  ASSERT_TRUE(Heard({&ada}, "ReceiveUserUpdate", isBen, &got));
  EXPECT_FALSE(Flag(got[0], "hasscreen"));
  EXPECT_FALSE(Flag(got[0], "activescreen"));
  EXPECT_TRUE(Flag(got[0], "connected"));
}

}  // namespace
