// Intake: the record of one accepted connection, handed from the accept loop
// to the connection's thread, and the counts of connections in progress and
// before connect that the accept loop's caps read. Any thread.
#pragma once

#include <netinet/in.h>
#include <pthread.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "config/ServerConfig.h"

// Hand-over record of one accepted TCP connection. Created by the accept loop,
// owned by the connection's thread from its start, released by that thread
// after the handler returns. The handler closes the socket itself.
struct IncomingConnection {
  int socket = -1;
  sockaddr_in peer{};
  pthread_t thread{};
  ServerConfig* config = nullptr;
  // When the accept loop took the connection (the handshake's deadline
  // counts from it); the epoch when it was not set.
  std::chrono::steady_clock::time_point accepted{};
  // Counted among the connections before connect (the accept loop's
  // MaxHandshaking caps) until IntakeLeaveHandshaking.
  bool handshaking = false;
};

// The end of the handshake's time for a connection: HandshakeSeconds (20 by
// default, and for values of 0 or less) after it was accepted. The wait for
// the first byte is part of it, so a peer that trickles or never speaks
// holds its thread and slot only that long.
std::chrono::steady_clock::time_point IntakeHandshakeDeadline(const IncomingConnection* incoming);
// The deadlines' lengths in seconds as they apply: HandshakeSeconds, and
// ConnectSeconds (from the end of the handshake to connect); 20 by default
// and for values of 0 or less.
int32_t IntakeHandshakeSeconds(const IncomingConnection* incoming);
int32_t IntakeConnectSeconds(const IncomingConnection* incoming);

// The connection has sent connect or turned out to be relayed HTTP: it no
// longer counts among the connections before connect. Any later call does
// nothing. Connection thread.
void IntakeLeaveHandshaking(IncomingConnection* incoming);
// Connections accepted that have not yet sent connect (nor turned out to
// be HTTP). Any thread.
uint32_t IntakeHandshakingCount();

// Counts a new connection in (also as one before connect), or refuses it
// with a report naming the address and the cap it would pass.
bool IntakeAdmit(const sockaddr_in& peer, const ServerConfig& config);
// Counts a connection out when its thread ends.
void IntakeRelease(const sockaddr_in& peer);
// The peer's address as text.
std::string IntakeAddressText(const sockaddr_in& peer);
