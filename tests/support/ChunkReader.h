// The server's chunk reader driven as a blocking call, for tests that feed a
// context through a socket pair.
#pragma once

#include "rtmp/RtmpCore.h"

// One chunk, waiting for the peer (up to readWaitMs per refill). 1 when a
// chunk was read, as RtmpReadChunk; 0 on failure (the socket is closed
// unless the failure was a time-out).
int TestReadChunk(RtmpContext* r, RtmpPacket* packet);
