#include "server/ServerConfig.h"

ServerConfig::~ServerConfig() {}
void ServerConfigSetName(ServerConfig*, const char*) {}
int ServerConfigLoad(ServerConfig*) { return 0; }
SiteConfig* FindSite(List*, const char*) { return nullptr; }
