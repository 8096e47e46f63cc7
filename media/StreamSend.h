// Moving a stream's output queue to its connection: by whoever holds the
// connection's serve lock (its thread, or its send loop).
#pragma once

#include "media/RtmpStreamRecord.h"
#include "util/ThreadSafety.h"

bool SendQueue(RtmpStream* stream) EXCLUDES(stream->output.sending);
