#include "rtmp/RtmpFunctions.h"

#include <array>
#include <cstring>
#include <string_view>
#include <vector>

#include "util/Log.h"

namespace {

// The body of one small message; the writer copies it into its queue.
struct SmallMessage {
  std::array<uint8_t, kBuilderBodySize> buffer;
  uint8_t* body() { return buffer.data(); }
  uint8_t* end() { return buffer.data() + buffer.size(); }
};

int Send(RtmpContext* r, uint8_t* body, const uint8_t* bodyEnd, int32_t channel, uint8_t type,
         int32_t streamId) {
  if (bodyEnd == nullptr) {
    REPORT_ASSERT("enc", "RtmpFunctions");
    return 0;
  }
  RtmpPacket packet;
  packet.m_nHeaderType = 0;
  packet.m_nChannel = channel;
  packet.m_nTimestamp = 0;
  packet.m_nMessageType = type;
  packet.m_nStreamId = streamId;
  packet.m_nBodySize = static_cast<uint32_t>(bodyEnd - body);
  packet.m_body = body;
  int res = RtmpWriteMessage(r, &packet);
  packet.m_body = nullptr;  // not ours to free
  return res;
}

// An AMF command on chunk stream 3; `bodyEnd` is null when the body did not
// fit its buffer.
int SendCommand(RtmpContext* r, const uint8_t* body, const uint8_t* bodyEnd) {
  if (bodyEnd == nullptr) {
    REPORT_ASSERT("enc", "RtmpFunctions");
    return 0;
  }
  return RtmpSendCommand(r, {body, bodyEnd});
}

int SendControl(RtmpContext* r, uint8_t type, uint32_t value, int extraBytes, uint32_t extra) {
  SmallMessage m;
  uint8_t* p = m.body();
  if (type == kRtmpMsgUserControl) {
    p = AmfEncodeInt16(p, m.end(), extra);
    p = AmfEncodeInt32(p, m.end(), value);
  } else {
    p = AmfEncodeInt32(p, m.end(), value);
    if (extraBytes == 1) p = AmfEncodeByte(p, m.end(), static_cast<uint8_t>(extra));
  }
  return Send(r, m.body(), p, kRtmpControlChannel, type, 0);
}

}  // namespace

int SendChunkSize(RtmpContext* r, uint32_t value) {
  return SendControl(r, kRtmpMsgSetChunkSize, value, 0, 0);
}

int SendAcknowledgement(RtmpContext* r, uint32_t value) {
  return SendControl(r, kRtmpMsgAcknowledgement, value, 0, 0);
}

int SendUserControl(RtmpContext* r, uint16_t event, uint32_t value) {
  return SendControl(r, kRtmpMsgUserControl, value, 0, event);
}

int SendWindowAckSize(RtmpContext* r, uint32_t size) {
  return SendControl(r, kRtmpMsgWindowAckSize, size, 0, 0);
}

int SendPeerBandwidth(RtmpContext* r, uint32_t size, uint8_t limitType) {
  return SendControl(r, kRtmpMsgPeerBandwidth, size, 1, limitType);
}

int SendResult(RtmpContext* r, double txn, double number) {
  SmallMessage m;
  uint8_t* p = AmfEncodeText(m.body(), m.end(), "_result");
  p = AmfEncodeNumber(p, m.end(), txn);
  p = AmfEncodeByte(p, m.end(), AMF_NULL);
  p = AmfEncodeNumber(p, m.end(), number);
  return SendCommand(r, m.body(), p);
}

int SendError(RtmpContext* r, double txn, const char* code, const char* description) {
  SmallMessage m;
  uint8_t* p = AmfEncodeText(m.body(), m.end(), "_error");
  p = AmfEncodeNumber(p, m.end(), txn);
  p = AmfEncodeByte(p, m.end(), AMF_NULL);
  p = AmfEncodeByte(p, m.end(), AMF_OBJECT);
  p = AmfEncodeNamedString(p, m.end(), "level", "error");
  p = AmfEncodeNamedString(p, m.end(), "code", code);
  p = AmfEncodeNamedString(p, m.end(), "description", description);
  p = AmfEncodeObjectEnd(p, m.end());
  return SendCommand(r, m.body(), p);
}

const char* StatusLevel(std::string_view code) {
  // The last part of the code names the outcome; these endings name a
  // failure ("NetStream.Play.StreamNotFound", "NetStream.Publish.BadName").
  static constexpr std::string_view kFailureEndings[] = {"Failed", "NotFound", "BadName", "Rejected",
                                                          "NoAccess"};
  const size_t dot = code.rfind('.');
  const std::string_view last = dot == std::string_view::npos ? code : code.substr(dot + 1);
  for (std::string_view ending : kFailureEndings)
    if (last.ends_with(ending)) return "error";
  return "status";
}

int SendStatusOn(RtmpContext* r, int32_t chunkChannel, int32_t streamId, const char* code,
                 const char* description) {
  SmallMessage m;
  uint8_t* e = m.end();
  uint8_t* p = AmfEncodeText(m.body(), e, "onStatus");
  p = AmfEncodeNumber(p, e, 0);
  p = AmfEncodeByte(p, e, AMF_NULL);
  p = AmfEncodeByte(p, e, AMF_OBJECT);
  p = AmfEncodeNamedString(p, e, "level", StatusLevel(code));
  p = AmfEncodeNamedString(p, e, "code", code);
  p = AmfEncodeNamedString(p, e, "description", description);
  p = AmfEncodeObjectEnd(p, e);
  return Send(r, m.body(), p, chunkChannel, kRtmpMsgCommandAmf0, streamId);
}

namespace {

uint8_t* EncodeMetaData(const StreamMetaData& out, uint8_t* p, uint8_t* e) {
  p = AmfEncodeText(p, e, "onMetaData");
  p = AmfEncodeNumber(p, e, 0);
  p = AmfEncodeByte(p, e, AMF_NULL);
  p = AmfEncodeByte(p, e, AMF_OBJECT);
  p = AmfEncodeNamedString(p, e, "name", out.title);
  p = AmfEncodeNamedString(p, e, "image", out.picture);
  p = AmfEncodeNamedNumber(p, e, "id", out.objectId);
  p = AmfEncodeNamedNumber(p, e, "authorid", out.authorId);
  p = AmfEncodeNamedNumber(p, e, "parentid", out.parentId);
  p = AmfEncodeNamedNumber(p, e, "masterid", out.masterId);
  p = AmfEncodeNamedNumber(p, e, "hasaudio", out.hasAudio ? 1 : 0);
  p = AmfEncodeNamedNumber(p, e, "hasvideo", out.hasVideo ? 1 : 0);
  if (out.audioCodecId != 0) p = AmfEncodeNamedNumber(p, e, "audiocodecid", out.audioCodecId);
  if (out.fileOpen) {
    p = AmfEncodeNamedNumber(p, e, "duration", out.duration);
    p = AmfEncodeNamedNumber(p, e, "size", static_cast<double>(out.size));
    p = AmfEncodeNamedNumber(p, e, "segmentcount", static_cast<double>(out.segments.size()));
    p = AmfEncodeName(p, e, "segmentdata");
    p = AmfEncodeByte(p, e, AMF_STRICT_ARRAY);
    p = AmfEncodeInt32(p, e, static_cast<uint32_t>(out.segments.size()));
    for (const StreamMetaSegment& s : out.segments) {
      p = AmfEncodeByte(p, e, AMF_OBJECT);
      p = AmfEncodeNamedNumber(p, e, "startpos", static_cast<double>(s.start));
      p = AmfEncodeNamedNumber(p, e, "endpos", static_cast<double>(s.end));
      p = AmfEncodeObjectEnd(p, e);
    }
  }
  return AmfEncodeObjectEnd(p, e);
}

}  // namespace

int SendMetaDataOn(RtmpContext* r, int32_t chunkChannel, int32_t streamId, const StreamMetaData& meta) {
  // A long title and picture address with 101 segments do not fit the small
  // builders' buffer: this one grows until the message fits.
  std::vector<uint8_t> buffer(kBuilderBodySize);
  for (;;) {
    uint8_t* body = buffer.data();
    uint8_t* end = EncodeMetaData(meta, body, buffer.data() + buffer.size());
    if (end != nullptr) return Send(r, body, end, chunkChannel, kRtmpMsgCommandAmf0, streamId);
    if (buffer.size() > kRtmpMaxBodySize) {
      REPORT_ASSERT("size <= kRtmpMaxBodySize", "RtmpFunctions");
      return 0;
    }
    buffer.resize(buffer.size() * 2);
  }
}
