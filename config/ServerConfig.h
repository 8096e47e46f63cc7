// ServerConfig and SiteConfig: the registry configuration, loaded once on the
// start-up thread before any connection exists and only read afterwards, by
// any thread, without a lock. Also the process state every module reads:
// the configuration in use and whether the server is stopping.
#pragma once

#include <atomic>
#include <cstdint>

#include "util/JobPool.h"
#include "util/List.h"

constexpr size_t kTextSize = 1024;  // fixed text fields: 1023 characters and a zero
constexpr int kSiteHostNames = 16;
// The site's database pool: at most this many server connections, and the
// client library's read and write timeout in seconds. A value of 0 or less
// in the registry takes the default; larger ones are cut to the maximum.
constexpr int32_t kSiteSqlConnectionsDefault = 16;
constexpr int32_t kSiteSqlConnectionsMax = 1024;
constexpr int32_t kSiteSqlTimeoutDefault = 30;
constexpr int32_t kSiteSqlTimeoutMax = 3600;
// Each connection costs a thread with its stack and buffers: the caps keep
// a flood, or one client's, from exhausting threads, memory or descriptors.
constexpr int32_t kDefaultMaxConnections = 4096;
constexpr int32_t kDefaultMaxConnectionsPerAddress = 1024;
// Client-written SQL (model commands, the Transcodes condition): its time
// bound in seconds and how many pooled connections one client address may
// hold at once with such statements (0: no per-address cap).
constexpr int32_t kSiteSqlClientTimeoutDefault = 5;
constexpr int32_t kSiteSqlClientPerAddressDefault = 2;
// The local web server's port; a value outside 1..65535 takes it.
constexpr int32_t kDefaultLocalWebPort = 19039;
// Merging of relayed media ("RelayMergeMs"); more than the maximum is cut to
// it, which stays below the video lag at which the relay drops.
constexpr int32_t kDefaultRelayMergeMs = 20;
constexpr int32_t kRelayMergeMsMax = 500;
// Send loops ("SendLoops"): 0 is one per processor, more than this is cut.
constexpr int32_t kSendLoopsMax = 64;

struct SiteConfig {
  char name[kTextSize] = {};
  char path[kTextSize] = {};
  char temp[kTextSize] = {};
  char htdocs[kTextSize] = {};
  char files[kTextSize] = {};
  char cache[kTextSize] = {};
  char sql_server[kTextSize] = {};
  char sql_database[kTextSize] = {};
  char sql_user[kTextSize] = {};
  char sql_password[kTextSize] = {};
  int32_t sql_connections = kSiteSqlConnectionsDefault;
  int32_t sql_timeout = kSiteSqlTimeoutDefault;  // seconds
  int32_t sql_client_timeout = kSiteSqlClientTimeoutDefault;         // seconds
  int32_t sql_client_per_address = kSiteSqlClientPerAddressDefault;  // 0: no cap
  char hostNames[kSiteHostNames][kTextSize] = {};
};

struct ServerConfig {
  char name[kTextSize] = {};
  char section[kTextSize] = {};
  char key[kTextSize] = {};
  char version[kTextSize] = {};
  int32_t role = 0;
  char masterName[kTextSize] = {};
  int32_t webPort = 0;
  int32_t httpEnabled = 0;
  char httpForward[kTextSize] = {};
  int32_t httpsPort = 0;
  int32_t httpsEnabled = 0;
  char httpsForward[kTextSize] = {};
  int32_t httpsCertificateId = 0;
  int32_t rtmpPort = 0;
  char rtmpBindAddress[kTextSize] = {};  // IPv4 text; empty: every address
  int32_t rtmpEnabled = 0;
  int32_t debugCpuLimit = 80;  // percent of the machine; 0: the monitor never aborts
  // From this CPU sum (percent of the machine) new plays of recorded media
  // are refused, from 10 more everything new; 0: nothing is refused.
  int32_t admitCpuPercent = 60;
  int32_t transcodeThreads = 0;
  // Connections in progress the accept loop lets in, over all and from one
  // address; 0 is no cap. Beyond them a connection is closed at once.
  int32_t maxConnections = kDefaultMaxConnections;
  int32_t maxConnectionsPerAddress = kDefaultMaxConnectionsPerAddress;
  char installFolder[kTextSize] = {};
  List sites;  // of SiteConfig, owned by this record
  char smtpHost[kTextSize] = {};
  char smtpUser[kTextSize] = {};
  char smtpPassword[kTextSize] = {};
  char smtpEmail[kTextSize] = {};
  // Bound on the bodies of partly received messages over all connections,
  // in MiB ("MaxPartialInputMB"): one connection may hold 64 MiB of them,
  // and many together must not fill the machine.
  int32_t maxPartialInputMB = 256;

  // What one client may ask of the server; 0 turns a limit off.
  int32_t modelWritesNeedSession = 1;  // savemodel/createmodel/deletemodel only with a web session
  int32_t chatTextsPerSecond = 10;     // chatSendText per connection
  int32_t modelCommandsPerSecond = 20; // model commands per connection
  int32_t chatBacklogMax = 200;        // texts of one backlog reply
  // Deadlines and caps of connections that have not yet sent connect.
  int32_t handshakeSeconds = 20;       // accept to the end of the handshake
  int32_t connectSeconds = 20;         // end of the handshake to connect
  int32_t maxHandshaking = 256;        // connections before connect, over all
  int32_t maxHandshakingPerAddress = 32;
  int32_t httpIdleSeconds = 60;        // relayed connection with no byte either way
  // How far ahead of its clock recorded media may be sent, at most (ms); a
  // client's SetBufferLength asks for less. 0: each message at its due time.
  int32_t playAheadMs = 1000;
  // The local web server on 127.0.0.1 (relayed HTTP, end-of-session notices).
  int32_t localWebPort = kDefaultLocalWebPort;
  // Relayed live media waits at most this long (ms) for more to go with it
  // in one wake of the player's thread; 0 wakes it for every message.
  int32_t relayMergeMs = kDefaultRelayMergeMs;
  // Threads that send the connections' paced and relayed media, each for
  // its share of the connections ("SendLoops"); 0: one per processor.
  int32_t sendLoops = 0;
  // The workers that run statements, syncs, copies and the web notice for
  // the connections (util/JobPool.h), and how many of their jobs may wait.
  int32_t jobWorkers = kDefaultJobWorkers;
  int32_t jobQueueMax = kDefaultJobQueueMax;
  // HTTP-FLV on the RTMP port: requests whose path starts with httpFlvPath
  // are played by strmd itself; httpFlvAllowOrigin is sent as
  // Access-Control-Allow-Origin (empty: no such header); X-Forwarded-For is
  // believed only from trustedProxy (an IPv4 address; empty: from no one).
  char httpFlvPath[kTextSize] = "/strmd/";
  char httpFlvAllowOrigin[kTextSize] = {};
  char trustedProxy[kTextSize] = {};

  ServerConfig() = default;
  ServerConfig(const ServerConfig&) = delete;
  ServerConfig& operator=(const ServerConfig&) = delete;
  ~ServerConfig();  // frees the sites
};

extern std::atomic<bool> g_stopping;
extern ServerConfig g_config;

// The local web server's port on 127.0.0.1: the server key's LocalWebPort.
uint16_t LocalWebPort();

// Copies the instance name and forms section and key ("kvd" -> "Server").
void ServerConfigSetName(ServerConfig* config, const char* name);
// Returns 1 when the key could be opened, 0 otherwise (nothing set then).
int ServerConfigLoad(ServerConfig* config);
// The site for a connect command's application text, or null.
SiteConfig* FindSite(List* sites, const char* text);

// Copies `src` into a fixed text field, cut to its size - 1 characters.
template <size_t N>
void CopyText(char (&dst)[N], const char* src) {
  size_t i = 0;
  for (; src != nullptr && src[i] != '\0' && i + 1 < N; ++i) dst[i] = src[i];
  dst[i] = '\0';
}
