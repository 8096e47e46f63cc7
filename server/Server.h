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
  // When the accept loop took the connection (the handshake's deadline
  // counts from it); the epoch when it was not set.
  std::chrono::steady_clock::time_point accepted{};
  // Counted among the connections before connect (the accept loop's
  // MaxHandshaking caps) until ServerLeaveHandshaking.
  bool handshaking = false;
};

extern int g_listensock;

// The end of the handshake's time for a connection: HandshakeSeconds (20 by
// default, and for values of 0 or less) after it was accepted. The wait for
// the first byte is part of it, so a peer that trickles or never speaks
// holds its thread and slot only that long.
std::chrono::steady_clock::time_point ServerHandshakeDeadline(const IncomingConnection* incoming);
// The deadlines' lengths in seconds as they apply: HandshakeSeconds, and
// ConnectSeconds (from the end of the handshake to connect); 20 by default
// and for values of 0 or less.
int32_t ServerHandshakeSeconds(const IncomingConnection* incoming);
int32_t ServerConnectSeconds(const IncomingConnection* incoming);

// The connection has sent connect or turned out to be relayed HTTP: it no
// longer counts among the connections before connect. Any later call does
// nothing. Connection thread.
void ServerLeaveHandshaking(IncomingConnection* incoming);
// Connections accepted that have not yet sent connect (nor turned out to
// be HTTP). Any thread.
uint32_t ServerHandshakingCount();

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

// The RTMP connection driver's entry, provided by the connection module.
int RtmpConnectionRun(IncomingConnection* incoming);
