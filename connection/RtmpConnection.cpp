#include <unistd.h>

#include "server/Server.h"

// Placeholder until the connection driver lands: the connection is closed
// after the first-byte peek.
int RtmpConnectionRun(IncomingConnection* incoming) {
  close(incoming->socket);
  incoming->socket = -1;
  return 1;
}
