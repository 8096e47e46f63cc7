// The real binary with one site on a fresh test database, and a test client
// that speaks the commands a player sends. For tests that play, account and
// tear down over RTMP.
#pragma once

#include <chrono>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/AmfHelpers.h"
#include "support/LocalWebServer.h"
#include "support/ServerProcess.h"
#include "support/TestDb.h"
#include "testclient/RtmpClient.h"

// A site folder (temp, files, cache) and the binary serving it from the
// test's own database.
struct StrmdSite {
  std::unique_ptr<TestDatabase> db;
  // The site's own local web port (its server's LocalWebPort), reserved by
  // Start and served once the test holds it. Declared before the server so
  // that it outlives it: a connection torn down at the end of a test still
  // finds it, and no other test's web server can take the port meanwhile.
  std::unique_ptr<LocalWebServer> web;
  ServerProcess server;
  std::string dir;
  std::string siteName;
  std::vector<std::string> env;  // more environment for the binary ("NAME=value"), set before Start

  // Site `siteName` (with host name subkey `hostName` when not empty) on a
  // fresh demo database, with more environment for the binary (added to the
  // `env` member) and `extraRegistry` appended to the registry (for instance
  // a Parameters key; a LocalWebPort there overrides the site's own). False
  // when the database or the binary could not be started.
  bool Start(const char* tag, const std::string& siteName = "default", const std::string& hostName = "",
             const std::vector<std::string>& env = {}, const std::string& extraRegistry = "");
  // Serves the site's local web port for the rest of the test, answering
  // every request with "ok". Until then, its server's web requests are
  // refused as if no web server ran.
  bool HoldLocalWeb();
  bool ReserveWebPort();  // the site's local web port, bound once
  // Waits until a request equal to `expected` arrived (others are ignored).
  bool WaitForRequest(const std::string& expected, int timeoutMs = 10000);
  std::string Files() const { return dir + "/files"; }
  std::string Cache() const { return dir + "/cache"; }
  std::string Temp() const { return dir + "/temp"; }
};

// One player connection.
class TestPlayer {
 public:
  RtmpClient client;
  uint16_t port = 0;

  // Handshake and connect (the control messages and the result consumed).
  bool Connect(uint16_t serverPort, const char* app = "default");
  bool Command(std::initializer_list<amf::Node> values, uint32_t streamId = 0);
  // createStream; the new id or -1.
  int CreateStream();
  bool Play(uint32_t streamId, const std::string& name, double start = 0);
  // publish (name, "record") and closeStream on a stream.
  bool Publish(uint32_t streamId, const std::string& name);
  bool CloseStream(uint32_t streamId);
  // The next message of any kind, with its arrival time.
  std::optional<RtmpClientMessage> Next(int timeoutMs = 5000);
  // Messages up to and including the first onStatus whose code is `code`.
  // Empty when it did not come within timeoutMs.
  std::vector<RtmpClientMessage> Until(const std::string& code, int timeoutMs = 10000);
  std::chrono::steady_clock::time_point lastArrival;
};

// The values of a command or data message; empty when it does not decode.
std::vector<amf::Node> Values(const RtmpClientMessage& message);
// The onStatus code of a message, "" for other messages.
std::string StatusCode(const RtmpClientMessage& message);
