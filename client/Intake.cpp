#include "client/Intake.h"

#include <arpa/inet.h>

#include <cerrno>
#include <string>
#include <unordered_map>

#include "util/Log.h"
#include "util/ThreadSafety.h"

namespace {

// What HandshakeSeconds and ConnectSeconds of 0 or less stand for: every
// connection has both deadlines.
constexpr int32_t kDefaultHandshakeSeconds = 20;
constexpr int32_t kDefaultConnectSeconds = 20;

// Connections in progress (accepted, thread not yet ended), over all and by
// peer address, and of them those still before connect. The accept loop
// counts in; each connection thread counts itself out.
Mutex g_intakeLock;
uint32_t g_connectionsInProgress GUARDED_BY(g_intakeLock) = 0;
std::unordered_map<in_addr_t, uint32_t> g_connectionsByAddress GUARDED_BY(g_intakeLock);
uint32_t g_handshaking GUARDED_BY(g_intakeLock) = 0;
std::unordered_map<in_addr_t, uint32_t> g_handshakingByAddress GUARDED_BY(g_intakeLock);

uint32_t CountOf(const std::unordered_map<in_addr_t, uint32_t>& counts, in_addr_t address) {
  auto it = counts.find(address);
  return it == counts.end() ? 0 : it->second;
}

void CountOut(std::unordered_map<in_addr_t, uint32_t>* counts, in_addr_t address) {
  auto it = counts->find(address);
  if (it != counts->end() && --it->second == 0) counts->erase(it);
}

int32_t SecondsOrDefault(int32_t seconds, int32_t fallback) { return seconds > 0 ? seconds : fallback; }

}  // namespace

std::string IntakeAddressText(const sockaddr_in& peer) {
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
  return text;
}

bool IntakeAdmit(const sockaddr_in& peer, const ServerConfig& config) {
  const in_addr_t address = peer.sin_addr.s_addr;
  const char* what = nullptr;
  const char* cap = nullptr;
  uint32_t held = 0;
  int32_t limit = 0;
  {
    MutexLock lock(g_intakeLock);
    const uint32_t fromAddress = CountOf(g_connectionsByAddress, address);
    const uint32_t handshakingFromAddress = CountOf(g_handshakingByAddress, address);
    auto over = [&](int32_t configured, uint32_t count, const char* text, const char* name) {
      if (configured <= 0 || count < static_cast<uint32_t>(configured)) return false;
      what = text;
      cap = name;
      held = count;
      limit = configured;
      return true;
    };
    if (!over(config.maxConnections, g_connectionsInProgress, "connections in progress", "MaxConnections") &&
        !over(config.maxConnectionsPerAddress, fromAddress, "connections from this address",
              "MaxConnectionsPerAddress") &&
        !over(config.maxHandshaking, g_handshaking, "connections before connect", "MaxHandshaking") &&
        !over(config.maxHandshakingPerAddress, handshakingFromAddress,
              "connections before connect from this address", "MaxHandshakingPerAddress")) {
      ++g_connectionsInProgress;
      ++g_connectionsByAddress[address];
      ++g_handshaking;
      ++g_handshakingByAddress[address];
      return true;
    }
  }
  const std::string text = IntakeAddressText(peer);
  LogPeerScope scope(text.c_str());  // a connect flood is reported in moderation
  errno = 0;
  ReportError("Connection from %s refused: %u %s (%s %d)", text.c_str(), held, what, cap, limit);
  return false;
}

void IntakeRelease(const sockaddr_in& peer) {
  MutexLock lock(g_intakeLock);
  --g_connectionsInProgress;
  CountOut(&g_connectionsByAddress, peer.sin_addr.s_addr);
}

int32_t IntakeHandshakeSeconds(const IncomingConnection* incoming) {
  const ServerConfig& config = incoming->config != nullptr ? *incoming->config : g_config;
  return SecondsOrDefault(config.handshakeSeconds, kDefaultHandshakeSeconds);
}

int32_t IntakeConnectSeconds(const IncomingConnection* incoming) {
  const ServerConfig& config = incoming->config != nullptr ? *incoming->config : g_config;
  return SecondsOrDefault(config.connectSeconds, kDefaultConnectSeconds);
}

std::chrono::steady_clock::time_point IntakeHandshakeDeadline(const IncomingConnection* incoming) {
  const auto start = incoming->accepted != std::chrono::steady_clock::time_point{} ? incoming->accepted
                                                                                    : std::chrono::steady_clock::now();
  return start + std::chrono::seconds(IntakeHandshakeSeconds(incoming));
}

void IntakeLeaveHandshaking(IncomingConnection* incoming) {
  if (!incoming->handshaking) return;
  incoming->handshaking = false;
  MutexLock lock(g_intakeLock);
  --g_handshaking;
  CountOut(&g_handshakingByAddress, incoming->peer.sin_addr.s_addr);
}

uint32_t IntakeHandshakingCount() {
  MutexLock lock(g_intakeLock);
  return g_handshaking;
}
