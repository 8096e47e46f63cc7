#include "server/Server.h"

std::atomic<bool> g_stopping{false};
int g_listensock = -1;
ServerConfig g_config;

bool ServerInit() { return true; }
void ServerRun() {}
void ServerStop() {}
