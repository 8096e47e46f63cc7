// The points where publishing meets a live channel: the relay with its voice
// detection. Until it is in place a publisher records only, and these keep
// the publish and receive paths whole.
#include "media/RtmpStream.h"

void PublishLiveChannel(RtmpStream*) {}

bool LiveChannelSpeakerTalking(RtmpStream*, RtmpPacket*) { return true; }

void LiveChannelRelay(RtmpStream*, RtmpPacket*) {}

void ReleaseSpeex(RtmpStream* stream) {
  stream->input.speexBits = nullptr;
  stream->input.speexDecoder = nullptr;
}
