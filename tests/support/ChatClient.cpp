#include "ChatClient.h"

namespace {

std::optional<ChatCall> AsCall(const RtmpClientMessage& message) {
  if (message.type != 20 || message.channel != 3 || message.streamId != 0) return std::nullopt;
  std::vector<amf::Node> values = Values(message);
  if (values.size() < 3 || values[0].text.rfind("Receive", 0) != 0) return std::nullopt;
  ChatCall call;
  call.method = values[0].text;
  if (values.size() > 3) call.object = values[3];
  return call;
}

int MsLeft(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

bool ChatClient::Login(uint16_t port, const std::string& phpsessid, const char* app) {
  if (!player.Connect(port, app)) return false;
  if (!player.Command({amf::Str("loadmodel"), amf::Num(7), amf::Null(), amf::Str("phpsessid"), amf::Str(phpsessid)}))
    return false;
  for (;;) {
    auto m = player.Next();
    if (!m) return false;
    auto v = Values(*m);
    if (m->type == 20 && v.size() == 4 && v[0].text == "_result") return !v[3].Get("userid").IsMissing();
  }
}

bool ChatClient::Send(const std::string& command, const std::vector<amf::Node>& args) {
  std::vector<amf::Node> values = {amf::Str(command), amf::Num(0), amf::Null()};
  values.insert(values.end(), args.begin(), args.end());
  return player.client.SendMessage(3, 20, 0, 0, amf::Body(values));
}

std::optional<ChatCall> ChatClient::Next(int timeoutMs) {
  if (!pending.empty()) {
    ChatCall call = pending.front();
    pending.erase(pending.begin());
    return call;
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    auto m = player.Next(MsLeft(deadline));
    if (!m) return std::nullopt;
    if (auto call = AsCall(*m)) {
      call->at = player.lastArrival;
      return call;
    }
  }
}

std::vector<ChatCall> ChatClient::Sync(bool* ok, int timeoutMs) {
  std::vector<ChatCall> out = std::move(pending);
  pending.clear();
  if (ok) *ok = false;
  // A model command for no model: answered with an empty _result, in order.
  if (!player.Command({amf::Str("loadmodel"), amf::Num(99), amf::Null(), amf::Str("none"), amf::Str("")})) return out;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    auto m = player.Next(MsLeft(deadline));
    if (!m) return out;
    if (auto call = AsCall(*m)) {
      call->at = player.lastArrival;
      out.push_back(*call);
      continue;
    }
    auto v = Values(*m);
    if (m->type == 20 && v.size() == 4 && v[0].text == "_result" && v[1].number == 99) {
      if (ok) *ok = true;
      return out;
    }
  }
}

std::vector<ChatCall> ChatClient::Until(const std::string& method, const std::function<bool(const ChatCall&)>& match,
                                        int timeoutMs) {
  std::vector<ChatCall> out;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    auto call = Next(MsLeft(deadline));
    if (!call) {
      pending.insert(pending.begin(), out.begin(), out.end());
      return {};
    }
    out.push_back(*call);
    if (call->method == method && (!match || match(*call))) return out;
  }
}

std::vector<ChatCall> ChatClient::Do(const std::string& command, const std::vector<amf::Node>& args) {
  if (!Send(command, args)) return {};
  return Sync();
}

std::vector<ChatCall> Calls(const std::vector<ChatCall>& calls, const std::string& method) {
  std::vector<ChatCall> out;
  for (const ChatCall& call : calls)
    if (call.method == method) out.push_back(call);
  return out;
}
