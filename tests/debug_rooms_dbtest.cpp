// The live rooms in the debug monitor's report, against the real binary on
// the demo database: test clients enter rooms, and the report, `strmdctl
// status --json` and `--prometheus` list each room with its present members
// until they leave.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "server/ThreadDebug.h"
#include "support/ChatClient.h"
#include "support/TestEnv.h"

namespace {

// Reads reports until one satisfies `found`; the last text read.
std::string WaitForReport(const std::string& shm, const std::function<bool(const std::string&)>& found) {
  DebugSnapshot s;
  std::string error;
  if (TestWaitUntil([&] { return DebugReadReport(shm, &s, &error) == DebugRead::kOk && found(s.text); }))
    return s.text;
  return "timed out; last report:\n" + s.text;
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// stdout and stderr of `strmdctl status ARGS`; empty when it failed.
std::string Strmdctl(const std::string& shm, const std::string& args) {
  const char* binary = getenv("STRMDCTL_BINARY");
  if (binary == nullptr) return "";
  std::string command = "STRMD_SHM_NAME='" + shm + "' '" + binary + "' status " + args + " 2>&1";
  FILE* p = popen(command.c_str(), "r");
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int status = pclose(p);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? out : "failed: " + out;
}

TEST(DebugMonitorRooms, RoomsAndPresentMembersUntilTheyLeave) {
  StrmdSite site;
  ASSERT_TRUE(site.Start("debugrooms", "default", "", {"STRMD_DEBUG_PERIOD_MS=50"})) << "no test database or binary";
  site.HoldLocalWeb();  // the sessions' teardown requests stay with this test
  const uint16_t port = static_cast<uint16_t>(site.server.port);
  const std::string& shm = site.server.shmName;
  ChatClient ada, ben, cleo;
  ASSERT_TRUE(ada.Login(port, "demo-ada-0001"));
  ASSERT_TRUE(ben.Login(port, "demo-ben-0002"));
  ASSERT_TRUE(cleo.Login(port, "demo-cleo-0003"));
  ASSERT_FALSE(ada.Do("chatConnectChat", {amf::Num(1)}).empty());
  ASSERT_FALSE(ben.Do("chatConnectCourse", {amf::Num(300)}).empty());
  ASSERT_FALSE(cleo.Do("chatConnectChat", {amf::Num(0)}).empty());

  // Members of the study group who are not connected (Ben, Cleo) are not listed.
  const std::string rooms =
      "  chat default.Study group\n    user Ada Teacher\n"
      "  course default.Demo course\n    user Ben Student\n"
      "  chat default\n    user Cleo Student\n";
  std::string text = WaitForReport(shm, [&](const std::string& t) { return Has(t, rooms); });
  EXPECT_TRUE(Has(text, "  RTMP connection(s): 3\n")) << text;
  EXPECT_TRUE(Has(text, " out\n\n" + rooms)) << text;

  std::string json = Strmdctl(shm, "--json");
  EXPECT_TRUE(Has(json, "\"rooms\":[{\"kind\":\"chat\",\"site\":\"default\",\"name\":\"Study group\","
                        "\"members\":[\"Ada Teacher\"]},"
                        "{\"kind\":\"course\",\"site\":\"default\",\"name\":\"Demo course\","
                        "\"members\":[\"Ben Student\"]},"
                        "{\"kind\":\"site\",\"site\":\"default\",\"name\":\"\",\"members\":[\"Cleo Student\"]}]}\n"))
      << json;
  std::string prom = Strmdctl(shm, "--prometheus");
  EXPECT_TRUE(Has(prom, "\nstrmd_rooms{site=\"default\"} 3\n")) << prom;
  EXPECT_TRUE(Has(prom, "\nstrmd_room_members{site=\"default\"} 3\n")) << prom;

  // Ben moves to the study group: the course room, empty now, goes.
  ASSERT_FALSE(ben.Do("chatConnectChat", {amf::Num(1)}).empty());
  const std::string moved =
      "  chat default.Study group\n    user Ada Teacher\n    user Ben Student\n"
      "  chat default\n    user Cleo Student\n";
  text = WaitForReport(shm, [&](const std::string& t) { return Has(t, moved); });
  EXPECT_TRUE(Has(text, moved)) << text;
  EXPECT_FALSE(Has(text, "  course ")) << text;

  // Everyone leaves: the study group goes, the site's open room stays empty.
  ada.Do("chatDisconnect", {});
  ben.Do("chatDisconnect", {});
  cleo.Do("chatDisconnect", {});
  text = WaitForReport(shm, [](const std::string& t) { return Has(t, " out\n\n  chat default\n") && !Has(t, "user "); });
  EXPECT_TRUE(Has(text, "  RTMP connection(s): 3\n")) << text;
  EXPECT_TRUE(Has(text, " out\n\n  chat default\n")) << text;
  EXPECT_FALSE(Has(text, "Study group")) << text;
  EXPECT_FALSE(Has(text, "user ")) << text;
  json = Strmdctl(shm, "--json");
  EXPECT_TRUE(Has(json, "\"rooms\":[{\"kind\":\"site\",\"site\":\"default\",\"name\":\"\",\"members\":[]}]}\n"))
      << json;

  // Without a connection no room is listed, though the open room remains.
  ada.player.client.Close();
  ben.player.client.Close();
  cleo.player.client.Close();
  text = WaitForReport(shm, [](const std::string& t) { return t.empty(); });
  EXPECT_EQ(text, "");
  json = Strmdctl(shm, "--json");
  EXPECT_TRUE(Has(json, "\"connections\":[],\"rooms\":[]}\n")) << json;
}

}  // namespace
