// A live classroom client for tests: a TestPlayer that logs in with a web
// session, sends the chat commands and reads back the methods the server
// calls on it (ReceiveChatInfo, ReceiveUserUpdate, ReceiveText, ...).
// One thread per client.
#pragma once

#include <chrono>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "support/StrmdSite.h"

// One method call from the server: its name and its object (missing for
// ReceiveDisconnect).
struct ChatCall {
  std::string method;
  amf::Node object;
  std::chrono::steady_clock::time_point at;
};

class ChatClient {
 public:
  TestPlayer player;

  // Connect, then "loadmodel phpsessid" so that the connection has its user.
  bool Login(uint16_t port, const std::string& phpsessid, const char* app = "default");
  // A chat command: name, transaction 0, null, then the arguments.
  bool Send(const std::string& command, const std::vector<amf::Node>& args);
  // The next method call (other messages are skipped); none after timeoutMs.
  std::optional<ChatCall> Next(int timeoutMs = 5000);
  // Every call until the server has answered a command sent after them: the
  // server handles one connection's commands in order, so this is everything
  // a command sent before caused on this connection. Calls other
  // connections caused may be in it too. Empty with ok false on a time-out.
  std::vector<ChatCall> Sync(bool* ok = nullptr, int timeoutMs = 10000);
  // Calls until one `method` for which `match` holds (that one included);
  // empty when none came within timeoutMs.
  std::vector<ChatCall> Until(const std::string& method, const std::function<bool(const ChatCall&)>& match = {},
                              int timeoutMs = 5000);
  // Sends the command and Syncs: what the command sent to this connection.
  std::vector<ChatCall> Do(const std::string& command, const std::vector<amf::Node>& args);

  // Calls received while looking for something else, not yet handed out.
  std::vector<ChatCall> pending;
};

// The calls of `calls` named `method`.
std::vector<ChatCall> Calls(const std::vector<ChatCall>& calls, const std::string& method);
