// The publishing side of a stream: recording into FLV files and relaying to
// live channels. These are the entry points the connection and the stream
// commands call; recording and live relay fill them in.
#include "media/RtmpStream.h"

// Audio and video from a publisher. Until recording and live channels are in
// place nothing is kept: the connection owns and frees the message.
void StreamInReceive(RtmpStream* stream, RtmpPacket* packet) {
  stream->input.bytesIn += packet->m_nBodySize;
}

// No recording file yet: the publisher still gets its "NetStream.Publish.Start".
bool CreateRecordingFile(RtmpStream*) { return false; }

void CloseRecording(RtmpStream* stream) {
  stream->file.open = false;
  stream->file.file.Close();
}

void ReleaseSpeex(RtmpStream* stream) {
  stream->input.speexBits = nullptr;
  stream->input.speexDecoder = nullptr;
}
