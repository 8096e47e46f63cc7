#include "connection/RtmpFunctions.h"

#include <array>
#include <cstring>
#include <string_view>
#include <vector>

#include "Database/Database.h"
#include "connection/RtmpConnection.h"
#include "media/RtmpStream.h"
#include "server/Log.h"
#include "server/ThreadDebug.h"

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
int SendCommand(RtmpConnection* connection, const uint8_t* body, const uint8_t* bodyEnd) {
  if (bodyEnd == nullptr) {
    REPORT_ASSERT("enc", "RtmpFunctions");
    return 0;
  }
  return RtmpSendCommand(&connection->rtmp, {body, bodyEnd});
}

uint8_t* PutEnd(uint8_t* out, uint8_t* end) {
  if (out == nullptr || end - out < 3) return nullptr;
  out[0] = 0;
  out[1] = 0;
  out[2] = AMF_OBJECT_END;
  return out + 3;
}

uint8_t* PutByte(uint8_t* out, uint8_t* end, uint8_t value) {
  if (out == nullptr || out >= end) return nullptr;
  *out = value;
  return out + 1;
}

int SendControl(RtmpContext* r, uint8_t type, uint32_t value, int extraBytes, uint32_t extra) {
  SmallMessage m;
  uint8_t* p = m.body();
  if (type == kRtmpMsgUserControl) {
    p = AmfEncodeInt16(p, m.end(), extra);
    p = AmfEncodeInt32(p, m.end(), value);
  } else {
    p = AmfEncodeInt32(p, m.end(), value);
    if (extraBytes == 1) p = PutByte(p, m.end(), static_cast<uint8_t>(extra));
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

int SendResult(RtmpConnection* connection, double number) {
  SmallMessage m;
  uint8_t* p = AmfEncodeText(m.body(), m.end(), "_result");
  p = AmfEncodeNumber(p, m.end(), connection->transactionId);
  p = PutByte(p, m.end(), AMF_NULL);
  p = AmfEncodeNumber(p, m.end(), number);
  return SendCommand(connection, m.body(), p);
}

int SendError(RtmpConnection* connection, const char* code, const char* description) {
  SmallMessage m;
  uint8_t* p = AmfEncodeText(m.body(), m.end(), "_error");
  p = AmfEncodeNumber(p, m.end(), connection->transactionId);
  p = PutByte(p, m.end(), AMF_NULL);
  p = PutByte(p, m.end(), AMF_OBJECT);
  p = AmfEncodeNamedString(p, m.end(), "level", "error");
  p = AmfEncodeNamedString(p, m.end(), "code", code);
  p = AmfEncodeNamedString(p, m.end(), "description", description);
  p = PutEnd(p, m.end());
  return SendCommand(connection, m.body(), p);
}

int SendConnectResult(RtmpConnection* connection) {
  SmallMessage m;
  uint8_t* e = m.end();
  uint8_t* p = AmfEncodeText(m.body(), e, "_result");
  p = AmfEncodeNumber(p, e, connection->transactionId);
  p = PutByte(p, e, AMF_OBJECT);
  p = AmfEncodeNamedString(p, e, "fmsVer", "FMS/4,5,4,2012");
  p = AmfEncodeNamedNumber(p, e, "capabilities", 31);
  p = AmfEncodeNamedNumber(p, e, "mode", 1);
  p = PutEnd(p, e);
  p = PutByte(p, e, AMF_OBJECT);
  p = AmfEncodeNamedString(p, e, "level", "status");
  p = AmfEncodeNamedString(p, e, "code", "NetConnection.Connect.Success");
  p = AmfEncodeNamedString(p, e, "description", "Connection succeeded");
  p = AmfEncodeName(p, e, "data");
  p = PutByte(p, e, AMF_ECMA_ARRAY);
  p = AmfEncodeInt32(p, e, 1);
  p = AmfEncodeNamedString(p, e, "version", "4,5,4,2012");
  p = PutEnd(p, e);
  p = AmfEncodeNamedNumber(p, e, "objectEncoding", connection->rtmp.objectEncoding);
  p = PutEnd(p, e);
  return SendCommand(connection, m.body(), p);
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

int SendStatus(RtmpStream* stream, const char* code, const char* description) {
  SmallMessage m;
  uint8_t* e = m.end();
  uint8_t* p = AmfEncodeText(m.body(), e, "onStatus");
  p = AmfEncodeNumber(p, e, 0);
  p = PutByte(p, e, AMF_NULL);
  p = PutByte(p, e, AMF_OBJECT);
  p = AmfEncodeNamedString(p, e, "level", StatusLevel(code));
  p = AmfEncodeNamedString(p, e, "code", code);
  p = AmfEncodeNamedString(p, e, "description", description);
  p = PutEnd(p, e);
  return Send(stream->rtmp, m.body(), p, stream->dataChannel, kRtmpMsgCommandAmf0, stream->id);
}

namespace {

uint8_t* EncodeMetaData(const RtmpStream* stream, uint8_t* p, uint8_t* e) {
  const RtmpStreamOut& out = stream->output;
  p = AmfEncodeText(p, e, "onMetaData");
  p = AmfEncodeNumber(p, e, 0);
  p = PutByte(p, e, AMF_NULL);
  p = PutByte(p, e, AMF_OBJECT);
  p = AmfEncodeNamedString(p, e, "name", out.title);
  p = AmfEncodeNamedString(p, e, "image", out.picture);
  p = AmfEncodeNamedNumber(p, e, "id", out.objectId);
  p = AmfEncodeNamedNumber(p, e, "authorid", out.authorId);
  p = AmfEncodeNamedNumber(p, e, "parentid", out.parentId);
  p = AmfEncodeNamedNumber(p, e, "masterid", out.masterId);
  p = AmfEncodeNamedNumber(p, e, "hasaudio", out.hasAudio ? 1 : 0);
  p = AmfEncodeNamedNumber(p, e, "hasvideo", out.hasVideo ? 1 : 0);
  if (stream->file.open) {
    p = AmfEncodeNamedNumber(p, e, "duration", out.duration);
    p = AmfEncodeNamedNumber(p, e, "size", static_cast<double>(out.size));
    p = AmfEncodeNamedNumber(p, e, "segmentcount", static_cast<double>(out.segments.size()));
    p = AmfEncodeName(p, e, "segmentdata");
    p = PutByte(p, e, AMF_STRICT_ARRAY);
    p = AmfEncodeInt32(p, e, static_cast<uint32_t>(out.segments.size()));
    for (const Segment& s : out.segments) {
      p = PutByte(p, e, AMF_OBJECT);
      p = AmfEncodeNamedNumber(p, e, "startpos", static_cast<double>(s.start));
      p = AmfEncodeNamedNumber(p, e, "endpos", static_cast<double>(s.end));
      p = PutEnd(p, e);
    }
  }
  return PutEnd(p, e);
}

}  // namespace

int SendMetaData(RtmpStream* stream) {
  // A long title and picture address with 101 segments do not fit the small
  // builders' buffer: this one grows until the message fits.
  std::vector<uint8_t> buffer(kBuilderBodySize);
  for (;;) {
    uint8_t* body = buffer.data();
    uint8_t* end = EncodeMetaData(stream, body, buffer.data() + buffer.size());
    if (end != nullptr) return Send(stream->rtmp, body, end, stream->dataChannel, kRtmpMsgCommandAmf0, stream->id);
    if (buffer.size() > kRtmpMaxBodySize) {
      REPORT_ASSERT("size <= kRtmpMaxBodySize", "RtmpFunctions");
      return 0;
    }
    buffer.resize(buffer.size() * 2);
  }
}

int RtmpConnect(RtmpConnection* connection, const AmfObject* object) {
  RtmpContext* r = &connection->rtmp;
  // A busy server takes no new connection; a repeated connect (it has its
  // database then) is one it already serves. The reply goes out before
  // the close.
  if (connection->db == nullptr && DebugAdmitRefuses(DebugWork::kConnect)) {
    SendError(connection, "NetConnection.Connect.Rejected", "server busy");
    RtmpFlushOutput(r);
    RtmpShutdown(r);
    return 1;
  }
  const AmfProperty* command = AmfObjectGet(object, {}, 2);
  if (command->type == AMF_OBJECT) {
    const AmfObject* params = AmfPropObject(command);
    for (const AmfProperty& prop : params->props) {
      std::string_view name = AmfTextView(prop.name);
      std::string_view text = AmfTextView(AmfPropString(&prop));
      if (name == "app") {
        r->app = text;
      } else if (name == "tcUrl") {
        r->tcUrl = text;
      } else if (name == "swfUrl") {
        r->swfUrl = text;
      } else if (name == "pageUrl") {
        r->pageUrl = text;
      } else if (name == "flashVer") {
        r->flashVer = text;
        // The debug monitor reads it under the streams lock.
        ListLock guard(connection->streams.lock);
        AmfPropCopyText(&prop, connection->flashVer);
      } else if (name == "audioCodecs") {
        r->audioCodecs = AmfPropNumber(&prop);
      } else if (name == "videoCodecs") {
        r->videoCodecs = AmfPropNumber(&prop);
      } else if (name == "objectEncoding") {
        r->objectEncoding = AmfPropNumber(&prop);
      }
    }
  }

  SendWindowAckSize(r, kConnectWindowAckSize);
  SendPeerBandwidth(r, kConnectPeerBandwidth, kPeerBandwidthDynamic);
  SendUserControl(r, kStreamBegin, 0);
  SendConnectResult(connection);

  char app[kTextSize];
  size_t n = r->app.size() < kTextSize - 1 ? r->app.size() : kTextSize - 1;
  if (n) memcpy(app, r->app.data(), n);  // an empty view may have no address
  app[n] = '\0';
  // The views point into the connect message, which is released after this.
  r->tcUrl = r->swfUrl = r->pageUrl = r->app = r->flashVer = {};

  {
    ListLock guard(connection->streams.lock);  // read by the debug monitor
    connection->site = FindSite(connection->sites, app);
  }
  // A repeated connect must not leak the first database connection.
  if (connection->db != nullptr) {
    RtmpConnectionCloseDbLater(connection);
  }
  // Without a site this is an unusable but safe connection: every statement
  // fails quietly and the connection goes on without records. With one, it
  // costs the database nothing until a statement needs it.
  connection->db = DbOpen(connection->site);
  return 1;
}
