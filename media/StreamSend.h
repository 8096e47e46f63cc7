// Moving a stream's output queue to its connection: by the stream's own
// thread, or by the thread relaying live media to a player.
#pragma once

#include "media/RtmpStreamRecord.h"
#include "util/ThreadSafety.h"

bool SendQueue(RtmpStream* stream) EXCLUDES(stream->output.sending);
// A live player's queue sent by the thread relaying to it, in one sendmsg,
// unless its own thread is sending: true when all of it left; false when
// the player's thread must be woken for the rest.
bool SendQueueForPlayer(RtmpStream* player) EXCLUDES(player->output.sending);
