// The points where publishing meets the live classroom: the screen-sharing
// presence of a publisher and the live channel relay with its voice
// detection. Until those are in place a publisher records only, and these
// keep the publish and receive paths whole.
#include "media/RtmpStream.h"

void PublishMarkScreen(RtmpStream*) {}

void PublishLiveChannel(RtmpStream*) {}

bool LiveChannelSpeakerTalking(RtmpStream*, RtmpPacket*) { return true; }

void LiveChannelRelay(RtmpStream*, RtmpPacket*) {}

void ReleaseSpeex(RtmpStream* stream) {
  stream->input.speexBits = nullptr;
  stream->input.speexDecoder = nullptr;
}
