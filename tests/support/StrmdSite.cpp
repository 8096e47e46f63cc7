#include "StrmdSite.h"

#include <sys/stat.h>

#include <thread>

#include "support/TestEnv.h"

bool StrmdSite::Start(const char* tag, const std::string& name, const std::string& hostName,
                      const std::vector<std::string>& env, const std::string& extraRegistry) {
  siteName = name;
  db = std::make_unique<TestDatabase>(tag);
  if (!db->ok()) return false;
  dir = TestTempDir(tag);
  for (const char* sub : {"/temp", "/files", "/cache", "/htdocs"}) mkdir((dir + sub).c_str(), 0755);
  // The site's own web port, unless the test brings a web server of its own.
  std::string webKey;
  if (extraRegistry.find("\"LocalWebPort\"") == std::string::npos) {
    if (!ReserveWebPort()) return false;
    webKey = LocalWebPortRegistry(web->port);
  }
  const TestDbServerInfo& info = db->server();
  std::string key = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestravon\\Server\\" + name + "]\n";
  std::string extra = key + "\"path\"=\"" + dir + "\"\n" + "\"sql_server\"=\"" + info.host + ":" +
                      std::to_string(info.port) + "\"\n" + "\"sql_database\"=\"" + db->name() + "\"\n" +
                      "\"sql_user\"=\"root\"\n\"sql_password\"=\"\"\n\n";
  if (!hostName.empty())
    extra += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestravon\\Server\\" + name + "\\" + hostName + "]\n\n";
  std::vector<std::string> environment = this->env;
  environment.insert(environment.end(), env.begin(), env.end());
  return StartServer(&server, tag, webKey + extra + extraRegistry, environment);
}

bool StrmdSite::ReserveWebPort() {
  if (!web) web = std::make_unique<LocalWebServer>();
  return web->Reserve();
}

bool StrmdSite::HoldLocalWeb() {
  if (!ReserveWebPort()) return false;
  if (!web->handler) web->handler = HttpResponder("ok");
  return web->Listen();
}

bool StrmdSite::WaitForRequest(const std::string& expected, int timeoutMs) {
  if (!web) return false;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  do {
    for (const std::string& request : web->Requests())
      if (request == expected) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

bool TestPlayer::Connect(uint16_t serverPort, const char* app) {
  port = serverPort;
  if (!client.Connect("127.0.0.1", serverPort) || !client.HandshakePlain()) return false;
  if (!Command({amf::Str("connect"), amf::Num(1), amf::Obj({{"app", amf::Str(app)}})})) return false;
  for (;;) {
    auto m = Next();
    if (!m) return false;
    if (m->type == 20) return Values(*m).size() == 4;
  }
}

bool TestPlayer::Command(std::initializer_list<amf::Node> values, uint32_t streamId) {
  std::vector<uint8_t> body = amf::Body(values);
  return client.SendMessage(3, 20, streamId, 0, body);
}

int TestPlayer::CreateStream() {
  if (!Command({amf::Str("createStream"), amf::Num(2), amf::Null()})) return -1;
  for (;;) {
    auto m = Next();
    if (!m) return -1;
    if (m->type != 20) continue;
    auto v = Values(*m);
    if (v.size() == 4 && v[0].text == "_result") return static_cast<int>(v[3].number);
    return -1;
  }
}

bool TestPlayer::Play(uint32_t streamId, const std::string& name, double start) {
  return Command({amf::Str("play"), amf::Num(0), amf::Null(), amf::Str(name), amf::Num(start)}, streamId);
}

bool TestPlayer::Publish(uint32_t streamId, const std::string& name) {
  return Command({amf::Str("publish"), amf::Num(0), amf::Null(), amf::Str(name), amf::Str("record")}, streamId);
}

bool TestPlayer::CloseStream(uint32_t streamId) {
  return Command({amf::Str("closeStream"), amf::Num(0), amf::Null()}, streamId);
}

std::optional<RtmpClientMessage> TestPlayer::Next(int timeoutMs) {
  auto m = client.ReadMessage(timeoutMs);
  lastArrival = std::chrono::steady_clock::now();
  return m;
}

std::vector<RtmpClientMessage> TestPlayer::Until(const std::string& code, int timeoutMs) {
  std::vector<RtmpClientMessage> out;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    deadline - std::chrono::steady_clock::now())
                                    .count());
    if (left <= 0) return {};
    auto m = Next(left);
    if (!m) return {};
    out.push_back(*m);
    if (StatusCode(*m) == code) return out;
  }
}

std::vector<amf::Node> Values(const RtmpClientMessage& message) {
  std::vector<amf::Node> values;
  if (!amf::Read(message.body, &values)) values.clear();
  return values;
}

std::string StatusCode(const RtmpClientMessage& message) {
  if (message.type != 20) return "";
  auto v = Values(message);
  if (v.size() < 4 || v[0].text != "onStatus") return "";
  return v[3].Get("code").text;
}
