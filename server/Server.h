// Process entry and connection intake: start-up, the accept loop, one thread
// per accepted connection, and the first-byte hand-over to the RTMP driver or
// the HTTP relay.
#pragma once

#include <netinet/in.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>

#include "config/ServerConfig.h"

extern int g_listensock;

// Peeks at the first byte (it stays in the receive queue). The byte, or -1
// when the peer closed, the socket failed or timeoutMs passed in silence.
int ServerPeekFirstByte(int fd, int timeoutMs);

bool ServerInit();
// Starts the debug monitor, listens on RtmpBindAddress:RtmpPortNumber, calls
// `listening` once the socket is bound and listening, and accepts until
// ServerStop. 0 after a stop, 1 when the port could not be had (reported).
int ServerRun(const std::function<void()>& listening = {});
// Stops accepting, then closes every recording in progress as its end would
// (waiting 8 s at most) and returns no sooner than 1 s after it was called.
// The first call does the work; any thread.
void ServerStop();
