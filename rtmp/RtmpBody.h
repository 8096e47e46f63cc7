// Message body blocks: every body the reader, the writer and the builders
// make comes from here. Any thread; no locks.
#pragma once

#include <cstddef>
#include <cstdint>

#include "rtmp/UnicastSocket.h"

// A new shared body block of `size` bytes (uninitialised); none when memory
// ran out. Every message body comes from here, so the count of blocks made
// shows what fan-out costs (tests read it).
SharedBody RtmpBodyAlloc(size_t size);
uint64_t RtmpBodyAllocations();
