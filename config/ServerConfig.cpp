#include "config/ServerConfig.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "util/Log.h"
#include "util/Registry.h"

std::atomic<bool> g_stopping{false};
ServerConfig g_config;

uint16_t LocalWebPort() { return static_cast<uint16_t>(g_config.localWebPort); }

ServerConfig::~ServerConfig() {
  ListRemoveAll(&sites, [](void* item) { delete static_cast<SiteConfig*>(item); });
}

void ServerConfigSetName(ServerConfig* config, const char* name) {
  CopyText(config->name, name);
  if (strcmp(name, "kvd") == 0) {
    CopyText(config->section, "Server");
    CopyText(config->key, "SOFTWARE\\Kestravon\\Server");
  } else {
    snprintf(config->section, sizeof config->section, "Server-%s", name);
    snprintf(config->key, sizeof config->key, "SOFTWARE\\Kestravon\\Server-%s", name);
  }
}

namespace {

void ReadNumber(const RegKey& key, const char* name, int32_t* field, int32_t fallback) {
  uint32_t v;
  *field = RegistryGetDword(key, name, &v) ? static_cast<int32_t>(v) : fallback;
}

// A positive number up to `max`; missing, zero or negative takes `fallback`.
void ReadBounded(const RegKey& key, const char* name, int32_t* field, int32_t fallback, int32_t max) {
  ReadNumber(key, name, field, fallback);
  if (*field <= 0) *field = fallback;
  if (*field > max) *field = max;
}

template <size_t N>
void ReadText(const RegKey& key, const char* name, char (&field)[N], const char* fallback) {
  std::string v;
  CopyText(field, RegistryGetText(key, name, &v) ? v.c_str() : fallback);
}

// Whether a text holds no control byte (it may go into a response header).
bool PlainHeaderText(const char* text) {
  for (; *text != '\0'; ++text)
    if (static_cast<unsigned char>(*text) < 0x20 || *text == 0x7f) return false;
  return true;
}

void ReportConfigText(const char* name, const char* instead) {
  errno = 0;
  ReportError("Registry value %s holds a character it cannot have: %s is used instead", name, instead);
}

// Overwrites the field only when the value is present.
template <size_t N>
void ReadTextIfPresent(const RegKey& key, const char* name, char (&field)[N]) {
  std::string v;
  if (RegistryGetText(key, name, &v)) CopyText(field, v.c_str());
}

// Joins folder texts; a result longer than the field is cut like any text.
template <size_t N>
void JoinText(char (&field)[N], const char* a, const char* b, const char* c = "") {
  CopyText(field, (std::string(a) + b + c).c_str());
}

void LoadSite(ServerConfig* config, const RegKey& siteKey, const std::string& name) {
  auto site = std::make_unique<SiteConfig>();
  CopyText(site->name, name.c_str());
  JoinText(site->path, config->installFolder, "\\sites\\", site->name);
  ReadTextIfPresent(siteKey, "path", site->path);
  JoinText(site->temp, site->path, "\\temp");
  JoinText(site->htdocs, site->path, "\\htdocs");
  JoinText(site->files, site->path, "\\files");
  JoinText(site->cache, site->path, "\\cache");
  ReadTextIfPresent(siteKey, "path_cache", site->cache);
  ReadTextIfPresent(siteKey, "path_files", site->files);
  ReadTextIfPresent(siteKey, "path_htdocs", site->htdocs);
  ReadText(siteKey, "sql_server", site->sql_server, "");
  ReadText(siteKey, "sql_database", site->sql_database, "");
  ReadText(siteKey, "sql_user", site->sql_user, "");
  ReadText(siteKey, "sql_password", site->sql_password, "");
  ReadBounded(siteKey, "sql_connections", &site->sql_connections, kSiteSqlConnectionsDefault,
              kSiteSqlConnectionsMax);
  ReadBounded(siteKey, "sql_timeout", &site->sql_timeout, kSiteSqlTimeoutDefault, kSiteSqlTimeoutMax);
  ReadBounded(siteKey, "sql_client_timeout", &site->sql_client_timeout, kSiteSqlClientTimeoutDefault,
              kSiteSqlTimeoutMax);
  ReadNumber(siteKey, "sql_client_per_address", &site->sql_client_per_address,
             kSiteSqlClientPerAddressDefault);
  if (site->sql_client_per_address < 0) site->sql_client_per_address = 0;
  std::string host;
  for (uint32_t i = 0; i < kSiteHostNames && RegistryEnumSubKey(siteKey, i, &host); ++i)
    CopyText(site->hostNames[i], host.c_str());
  ListAddTail(&config->sites, site.release());
}

}  // namespace

int ServerConfigLoad(ServerConfig* config) {
  std::optional<RegKey> key = RegistryOpenKey(config->key);
  if (!key) return 0;

  ReadNumber(*key, "KvdRole", &config->role, 1);
  ReadText(*key, "KvdMasterName", config->masterName, "localhost");
  ReadNumber(*key, "PortNumber", &config->webPort, 80);
  ReadNumber(*key, "HttpEnabled", &config->httpEnabled, 1);
  ReadText(*key, "HttpForward", config->httpForward, "");
  ReadNumber(*key, "HttpsPortNumber", &config->httpsPort, 443);
  ReadNumber(*key, "HttpsEnabled", &config->httpsEnabled, 0);
  ReadText(*key, "HttpsForward", config->httpsForward, "");
  ReadNumber(*key, "HttpsCertificateId", &config->httpsCertificateId, 0);
  ReadNumber(*key, "RtmpPortNumber", &config->rtmpPort, 1935);
  ReadText(*key, "RtmpBindAddress", config->rtmpBindAddress, "");
  ReadNumber(*key, "DebugCpuLimit", &config->debugCpuLimit, 80);
  ReadNumber(*key, "AdmitCpuPercent", &config->admitCpuPercent, 60);
  ReadNumber(*key, "RtmpEnabled", &config->rtmpEnabled, 1);
  ReadNumber(*key, "TranscodeThreads", &config->transcodeThreads, 1);
  ReadNumber(*key, "MaxConnections", &config->maxConnections, kDefaultMaxConnections);
  ReadNumber(*key, "MaxConnectionsPerAddress", &config->maxConnectionsPerAddress,
             kDefaultMaxConnectionsPerAddress);
  ReadText(*key, "InstallFolder", config->installFolder, "");
  ReadText(*key, "Version", config->version, "15.0.11");
  ReadText(*key, "SmtpHost", config->smtpHost, "");
  ReadText(*key, "SmtpUser", config->smtpUser, "");
  ReadText(*key, "SmtpPassword", config->smtpPassword, "");
  ReadText(*key, "SmtpEmail", config->smtpEmail, "");
  ReadNumber(*key, "MaxPartialInputMB", &config->maxPartialInputMB, 256);
  ReadNumber(*key, "ModelWritesNeedSession", &config->modelWritesNeedSession, 1);
  ReadNumber(*key, "ChatTextsPerSecond", &config->chatTextsPerSecond, 10);
  ReadNumber(*key, "ModelCommandsPerSecond", &config->modelCommandsPerSecond, 20);
  ReadNumber(*key, "ChatBacklogMax", &config->chatBacklogMax, 200);
  ReadNumber(*key, "JobWorkers", &config->jobWorkers, kDefaultJobWorkers);
  ReadNumber(*key, "JobQueueMax", &config->jobQueueMax, kDefaultJobQueueMax);
  ReadNumber(*key, "HandshakeSeconds", &config->handshakeSeconds, 20);
  ReadNumber(*key, "ConnectSeconds", &config->connectSeconds, 20);
  ReadNumber(*key, "MaxHandshaking", &config->maxHandshaking, 256);
  ReadNumber(*key, "MaxHandshakingPerAddress", &config->maxHandshakingPerAddress, 32);
  ReadNumber(*key, "HttpIdleSeconds", &config->httpIdleSeconds, 60);
  ReadText(*key, "HttpFlvPath", config->httpFlvPath, "/strmd/");
  // A path that does not start at the root would never match a request; one
  // with a query or a byte no request target holds would match targets whose
  // path is shorter than it.
  if (config->httpFlvPath[0] != '/' || strpbrk(config->httpFlvPath, "?# ") != nullptr ||
      !PlainHeaderText(config->httpFlvPath)) {
    ReportConfigText("HttpFlvPath", "/strmd/");
    CopyText(config->httpFlvPath, "/strmd/");
  }
  ReadText(*key, "HttpFlvAllowOrigin", config->httpFlvAllowOrigin, "");
  // Sent as a header as it is: a CR or LF in it would add headers of its own.
  if (!PlainHeaderText(config->httpFlvAllowOrigin)) {
    ReportConfigText("HttpFlvAllowOrigin", "none");
    CopyText(config->httpFlvAllowOrigin, "");
  }
  ReadText(*key, "TrustedProxy", config->trustedProxy, "");
  ReadNumber(*key, "PlayAheadMs", &config->playAheadMs, 1000);
  if (config->playAheadMs < 0) config->playAheadMs = INT32_MAX;  // above 2^31 ms: as good as no cap
  ReadNumber(*key, "LocalWebPort", &config->localWebPort, kDefaultLocalWebPort);
  if (config->localWebPort < 1 || config->localWebPort > 65535) config->localWebPort = kDefaultLocalWebPort;
  ReadNumber(*key, "RelayMergeMs", &config->relayMergeMs, kDefaultRelayMergeMs);
  // A DWORD past the int range reads negative: it is as large as they come.
  if (config->relayMergeMs < 0 || config->relayMergeMs > kRelayMergeMsMax) config->relayMergeMs = kRelayMergeMsMax;
  ReadNumber(*key, "SendLoops", &config->sendLoops, 0);
  if (config->sendLoops < 0 || config->sendLoops > kSendLoopsMax) config->sendLoops = kSendLoopsMax;

  std::string name;
  for (uint32_t i = 0; RegistryEnumSubKey(*key, i, &name); ++i) {
    std::optional<RegKey> siteKey = RegistryOpenSubKey(*key, name);
    if (!siteKey) continue;
    int32_t enable;
    ReadNumber(*siteKey, "enable", &enable, 1);
    if (enable == 0) continue;
    LoadSite(config, *siteKey, name);
  }

  ListLock guard(config->sites.lock);  // not shared yet: taken for the analysis
  for (ListNode* n = config->sites.first; n != nullptr; n = n->next) {
    if (strcmp(static_cast<SiteConfig*>(n->item)->name, "default") == 0) {
      void* site = n->item;
      ListRemoveNode(&config->sites, n);
      ListAddHead(&config->sites, site);
      break;
    }
  }
  return 1;
}

SiteConfig* FindSite(List* sites, const char* text) {
  ListLock guard(sites->lock);
  SiteConfig* fallback = nullptr;
  for (ListNode* n = sites->first; n != nullptr; n = n->next) {
    auto* site = static_cast<SiteConfig*>(n->item);
    if (strcmp(site->name, text) == 0) return site;
    for (int i = 0; i < kSiteHostNames && site->hostNames[i][0] != '\0'; ++i)
      if (strstr(text, site->hostNames[i]) != nullptr) return site;
    if (fallback == nullptr && strcmp(site->name, "default") == 0) fallback = site;
  }
  return fallback;
}
