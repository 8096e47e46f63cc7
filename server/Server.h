// Process entry and connection intake: start-up, the accept loop, one thread
// per accepted connection, and the first-byte hand-over to the RTMP driver or
// the HTTP relay.
#pragma once

#include <netinet/in.h>
#include <pthread.h>

#include <atomic>
#include <functional>

#include "server/ServerConfig.h"

struct RtmpConnection;

// Hand-over record of one accepted TCP connection. Created by the accept loop,
// owned by the connection's thread from its start, released by that thread
// after the handler returns. The handler closes the socket itself.
struct IncomingConnection {
  int socket = -1;
  sockaddr_in peer{};
  pthread_t thread{};
  ServerConfig* config = nullptr;
  RtmpConnection* connection = nullptr;  // set by the RTMP driver
};

extern std::atomic<bool> g_stopping;
extern int g_listensock;
extern ServerConfig g_config;

// How long an accepted connection may stay silent before its first byte: as
// long as any later read waits for a peer. A peer that never speaks (or has
// vanished without closing) must not keep a thread for ever.
constexpr int kFirstByteWaitMs = 300 * 1000;

// Peeks at the first byte (it stays in the receive queue). The byte, or -1
// when the peer closed, the socket failed or timeoutMs passed in silence.
int ServerPeekFirstByte(int fd, int timeoutMs);

bool ServerInit();
// Starts the debug monitor, listens on RtmpBindAddress:RtmpPortNumber, calls
// `listening` once the socket is bound and listening, and accepts until
// ServerStop. 0 after a stop, 1 when the port could not be had (reported).
int ServerRun(const std::function<void()>& listening = {});
void ServerStop();

// The RTMP connection driver's entry, provided by the connection module.
int RtmpConnectionRun(IncomingConnection* incoming);
