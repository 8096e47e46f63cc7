#include "connection/HttpFlv.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string_view>

#include "client/Intake.h"
#include "config/ServerConfig.h"
#include "connection/RtmpConnection.h"
#include "media/RtmpStream.h"
#include "rtmp/Amf.h"
#include "rtmp/RtmpBody.h"
#include "rtmp/RtmpFunctions.h"
#include "util/ByteOrder.h"
#include "util/HttpHead.h"
#include "util/Log.h"
#include "util/QueryParam.h"
#include "util/WebSocket.h"

// What the connection writes instead of chunks. The fields below `input`
// are the sink's: guarded by the connection's send lock (the sink is called
// under it, on whatever thread writes to the connection).
struct HttpFlvOutput {
  bool webSocket = false;
  std::string allowOrigin;  // Access-Control-Allow-Origin, or empty
  std::string accept;       // Sec-WebSocket-Accept
  std::atomic<bool> started{false};  // the first FLV byte is queued
  std::atomic<bool> ended{false};    // the response is complete: nothing more is written
  std::string input;                 // client bytes not yet decoded (connection thread)
  bool recorded = false;             // the play is of a file (its StreamEOF ends it)
  uint32_t lastTagSize = 0;          // the PreviousTagSize still owed
};

namespace {

using Clock = std::chrono::steady_clock;

bool Started(const RtmpConnection* connection);
bool Ended(const RtmpConnection* connection);
int ProcessInput(RtmpConnection* connection);
constexpr RtmpConnectionHttp kHttpHooks{Started, Ended, ProcessInput};

// Queues a copy of `bytes` as they are.
int QueueRaw(RtmpContext* r, std::string_view bytes) {
  SendQueueEntry entry;
  entry.block = RtmpBodyAlloc(bytes.size());
  if (!entry.block) return 0;
  std::memcpy(entry.block.get(), bytes.data(), bytes.size());
  entry.body = entry.block.get();
  entry.bodySize = static_cast<uint32_t>(bytes.size());
  entry.wireSize = bytes.size();
  return SocketBufferQueue(&r->sockbuf, std::move(entry));
}

// Queues `bytes` as one binary message on a WebSocket, else as they are.
int QueueFramed(HttpFlvOutput* out, RtmpContext* r, std::string_view bytes, uint8_t opcode = kWsBinary) {
  if (!out->webSocket) return QueueRaw(r, bytes);
  uint8_t header[kWsMaxFrameHeader];
  const size_t n = WsFrameHeader(header, opcode, bytes.size());
  std::string frame(reinterpret_cast<const char*>(header), n);
  frame.append(bytes);
  return QueueRaw(r, frame);
}

// The answer to a request that gets no stream: `status` with `text` as its
// body. The response is complete.
int QueueRefusal(HttpFlvOutput* out, RtmpContext* r, const char* status, std::string_view text) {
  std::string head = std::string("HTTP/1.1 ") + status + "\r\nContent-Type: text/plain\r\n";
  if (!out->allowOrigin.empty()) head += "Access-Control-Allow-Origin: " + out->allowOrigin + "\r\n";
  head += "Cache-Control: no-cache\r\nConnection: close\r\nContent-Length: " + std::to_string(text.size() + 1) +
          "\r\n\r\n";
  head.append(text);
  head += '\n';
  out->ended = true;
  return QueueRaw(r, head);
}

// The response's head and the FLV header, before its first tag. Players
// learn what the stream carries from its tags: the header says both.
int QueueStart(HttpFlvOutput* out, RtmpContext* r) {
  std::string head;
  if (out->webSocket) {
    head = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Accept: " +
           out->accept + "\r\n\r\n";
  } else {
    head = "HTTP/1.1 200 OK\r\nContent-Type: video/x-flv\r\n";
    if (!out->allowOrigin.empty()) head += "Access-Control-Allow-Origin: " + out->allowOrigin + "\r\n";
    head += "Cache-Control: no-cache\r\nConnection: close\r\n\r\n";
  }
  out->started = true;
  static constexpr uint8_t kFlvHeader[9] = {'F', 'L', 'V', 1, 5, 0, 0, 0, 9};
  return QueueRaw(r, head) &&
         QueueFramed(out, r, {reinterpret_cast<const char*>(kFlvHeader), sizeof kFlvHeader});
}

// One FLV tag: the PreviousTagSize owed for the tag before, the tag's
// header, then its body, shared with the message when it can be.
int QueueTag(HttpFlvOutput* out, RtmpContext* r, uint8_t type, uint32_t timestamp, const uint8_t* body,
             uint32_t size, const SharedBody& block) {
  if (!out->started && !QueueStart(out, r)) return 0;
  constexpr uint32_t kTagHeader = 11;
  if (out->webSocket) {
    uint8_t header[kWsMaxFrameHeader];
    const size_t n = WsFrameHeader(header, kWsBinary, uint64_t{4} + kTagHeader + size);
    if (!QueueRaw(r, {reinterpret_cast<const char*>(header), n})) return 0;
  }
  SendQueueEntry entry;
  uint8_t* p = entry.first;
  PutBe32(p, out->lastTagSize);
  p[4] = type;
  PutBe24(p + 5, size);
  PutBe24(p + 8, timestamp & 0xffffff);
  p[11] = static_cast<uint8_t>(timestamp >> 24);
  PutBe24(p + 12, 0);  // stream id
  entry.firstLength = 4 + kTagHeader;
  entry.bodySize = size;
  entry.chunkSize = std::max<uint32_t>(size, 1);  // the whole body after the one header
  if (size > 0) {
    if (block) {
      entry.block = block;
      entry.body = body;
    } else {
      entry.block = RtmpBodyAlloc(size);
      if (!entry.block) return 0;
      std::memcpy(entry.block.get(), body, size);
      entry.body = entry.block.get();
    }
  }
  entry.wireSize = SendQueueWireSize(entry);
  out->lastTagSize = kTagHeader + size;
  return SocketBufferQueue(&r->sockbuf, std::move(entry));
}

// The end of the response: the last PreviousTagSize (and a WebSocket's
// close). A response that never started still gets its head and header.
int QueueEnd(HttpFlvOutput* out, RtmpContext* r) {
  if (out->ended) return 1;
  if (!out->started && !QueueStart(out, r)) return 0;
  uint8_t last[4];
  PutBe32(last, out->lastTagSize);
  int res = QueueFramed(out, r, {reinterpret_cast<const char*>(last), 4});
  if (res && out->webSocket) {
    static constexpr uint8_t kNormal[2] = {0x03, 0xe8};  // 1000: normal closure
    res = QueueFramed(out, r, {reinterpret_cast<const char*>(kNormal), 2}, kWsClose);
  }
  out->ended = true;
  return res;
}

// A command the connection sends (onStatus, _error): before the first FLV
// byte a failure is the response; the end of a play ends it.
int SinkCommand(HttpFlvOutput* out, RtmpContext* r, const RtmpPacket* packet) {
  // A play's metadata goes to RTMP players as a call (name, 0, null,
  // object); a script tag holds the name and the object.
  static constexpr uint8_t kMetaDataCall[] = {AMF_STRING, 0, 10, 'o', 'n', 'M', 'e', 't', 'a', 'D', 'a', 't', 'a',
                                              AMF_NUMBER, 0, 0, 0, 0, 0, 0, 0, 0, AMF_NULL};
  constexpr uint32_t kName = 13;
  if (packet->m_nBodySize > sizeof kMetaDataCall &&
      std::memcmp(packet->m_body, kMetaDataCall, sizeof kMetaDataCall) == 0) {
    std::string tag(reinterpret_cast<const char*>(packet->m_body), kName);
    tag.append(reinterpret_cast<const char*>(packet->m_body) + sizeof kMetaDataCall,
               packet->m_nBodySize - sizeof kMetaDataCall);
    return QueueTag(out, r, kRtmpMsgDataAmf0, packet->m_nTimestamp, reinterpret_cast<const uint8_t*>(tag.data()),
                    static_cast<uint32_t>(tag.size()), {});
  }
  AmfObject object;
  if (AmfDecodeObject(&object, {packet->m_body, packet->m_nBodySize}, false) < 0) return 1;
  const std::string_view name = AmfTextView(AmfPropString(AmfObjectGet(&object, {}, 0)));
  const AmfObject* info = AmfPropObject(AmfObjectGet(&object, {}, 3));
  const std::string code(AmfTextView(AmfPropString(AmfObjectGet(info, "code", -1))));
  const std::string_view level = AmfTextView(AmfPropString(AmfObjectGet(info, "level", -1)));
  AmfObjectFree(&object);
  if (name != "onStatus" && name != "_error") return 1;
  if (!out->started && level == "error") {
    // Refused as busy: the connect or the play's admission.
    const bool busy = code == "NetConnection.Connect.Rejected" || code == "NetStream.Play.Failed";
    return QueueRefusal(out, r, busy ? "503 Service Unavailable" : "404 Not Found", code);
  }
  // A play that started answers at once: a live channel's viewer may wait
  // for its speaker longer than a request may wait for its answer.
  if (code == "NetStream.Play.Start" && !out->started) return QueueStart(out, r);
  if (code == "NetStream.Play.Complete" || code == "NetStream.Play.Stop") return QueueEnd(out, r);
  return 1;
}

// An audio message as it comes: a browser player's Speex was replaced by
// Opus before it was queued (the live relay, the file's sidecar).
int HttpFlvWriteAudio(HttpFlvOutput* out, RtmpContext* r, const RtmpPacket* packet) {
  return QueueTag(out, r, kRtmpMsgAudio, packet->m_nTimestamp, packet->m_body, packet->m_nBodySize,
                  packet->m_block);
}

// The connection's message sink (RtmpContext::messageSink).
int Sink(HttpFlvOutput* out, RtmpContext* r, const RtmpPacket* packet) {
  if (out->ended) return 1;  // what follows the end is not written
  switch (packet->m_nMessageType) {
    case kRtmpMsgAudio:
      return HttpFlvWriteAudio(out, r, packet);
    case kRtmpMsgVideo:
    case kRtmpMsgDataAmf0:
      return QueueTag(out, r, packet->m_nMessageType, packet->m_nTimestamp, packet->m_body, packet->m_nBodySize,
                      packet->m_block);
    case kRtmpMsgCommandAmf0:
      return SinkCommand(out, r, packet);
    case kRtmpMsgUserControl:
      if (packet->m_nBodySize >= 2 && GetBe16(packet->m_body) == kStreamIsRecorded) out->recorded = true;
      // A live channel's publisher may come back: only a file ends here.
      if (packet->m_nBodySize >= 2 && GetBe16(packet->m_body) == kStreamEOF && out->recorded)
        return QueueEnd(out, r);
      return 1;
    default:
      return 1;  // chunk sizes, acknowledgements, pings: nothing of FLV
  }
}

// Dispatches one command as if the client had sent it on message stream
// `streamId`.
void DispatchCommand(RtmpConnection* connection, int32_t streamId, std::span<uint8_t> body, uint8_t* end) {
  if (end == nullptr) {
    REPORT_ASSERT("enc", "HttpFlv");
    return;
  }
  RtmpPacket& packet = connection->packet;
  packet = RtmpPacket{};
  packet.m_nMessageType = kRtmpMsgCommandAmf0;
  packet.m_nStreamId = streamId;
  packet.m_body = body.data();
  packet.m_nBodySize = static_cast<uint32_t>(end - body.data());
  RtmpStream* stream = nullptr;
  if (streamId != 0) {
    ListLock guard(connection->streams.lock);
    for (ListNode* n = connection->streams.first; n != nullptr && stream == nullptr; n = n->next)
      if (static_cast<RtmpStream*>(n->item)->id == streamId) stream = static_cast<RtmpStream*>(n->item);
  }
  RtmpConnectionDispatch(connection, stream);
  packet = RtmpPacket{};  // the body was borrowed
}

// A session id from a cookie, as the web application makes them.
bool SessionIdUsable(std::string_view id) {
  if (id.empty() || id.size() >= kTextSize / 2) return false;
  for (char c : id)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == ','))
      return false;
  return true;
}

// The address of the client behind a trusted proxy: the last one it added.
std::string ForwardedAddress(std::string_view forwarded) {
  const size_t comma = forwarded.rfind(',');
  std::string_view last = comma == std::string_view::npos ? forwarded : forwarded.substr(comma + 1);
  while (!last.empty() && last.front() == ' ') last.remove_prefix(1);
  while (!last.empty() && last.back() == ' ') last.remove_suffix(1);
  const std::string text(last);
  in_addr parsed{};
  return inet_pton(AF_INET, text.c_str(), &parsed) == 1 ? text : std::string();
}

// Writes a whole answer to a socket the connection machinery never took.
void AnswerAndClose(int fd, const char* status, const char* text) {
  std::string answer = std::string("HTTP/1.1 ") + status +
                       "\r\nContent-Type: text/plain\r\nConnection: close\r\nContent-Length: " +
                       std::to_string(strlen(text) + 1) + "\r\n\r\n" + text + "\n";
  ssize_t n = send(fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  (void)n;
  shutdown(fd, SHUT_RDWR);
  close(fd);
}

// The parts of a request for a stream.
struct FlvRequest {
  std::string app;
  std::string name;
  int32_t start = 0;
};

bool ParseTarget(const HttpHead& head, const char* flvPath, FlvRequest* request) {
  if (head.path.size() < strlen(flvPath)) return false;
  std::string_view rest = head.path.substr(strlen(flvPath));
  const size_t slash = rest.find('/');
  if (slash == std::string_view::npos || slash == 0) return false;
  std::string_view name = rest.substr(slash + 1);
  if (name.size() <= 4 || name.substr(name.size() - 4) != ".flv") return false;
  name.remove_suffix(4);
  if (!HttpPercentDecode(rest.substr(0, slash), false, &request->app) ||
      !HttpPercentDecode(name, false, &request->name))
    return false;
  if (request->app.size() >= kTextSize || request->name.empty() || request->name.size() >= kTextSize) return false;
  request->start = std::max(QueryParamInt(head.query, "start="), 0);
  return true;
}

}  // namespace

int HttpFlvReadSome(int fd, std::string* bytes, size_t max, Clock::time_point deadline) {
  for (;;) {
    if (bytes->size() >= max) return -1;
    char buffer[4096];
    const size_t room = std::min(sizeof buffer, max - bytes->size());
    ssize_t n = recv(fd, buffer, room, MSG_DONTWAIT);
    if (n > 0) {
      bytes->append(buffer, static_cast<size_t>(n));
      return static_cast<int>(n);
    }
    if (n == 0) return 0;
    if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return -1;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) < 0 && errno != EINTR) return -1;
  }
}

bool HttpFlvAddressed(const std::string& bytes, const char* flvPath) {
  const size_t space = bytes.find(' ');
  if (space == std::string::npos) return false;
  const std::string_view target = std::string_view(bytes).substr(space + 1);
  const std::string_view path(flvPath);
  return target.substr(0, path.size()) == path;
}

void HttpFlvRun(IncomingConnection* incoming, std::string bytes, Clock::time_point deadline) {
  const ServerConfig& config = incoming->config != nullptr ? *incoming->config : g_config;
  const std::string address = IntakeAddressText(incoming->peer);
  HttpHead head;
  HttpHeadStatus status;
  while ((status = HttpHeadParse(bytes, &head)) == HttpHeadStatus::kIncomplete) {
    const int n = HttpFlvReadSome(incoming->socket, &bytes, kHttpHeadMax, deadline);
    if (n > 0) continue;
    if (n < 0 && Clock::now() >= deadline) {
      errno = 0;
      ReportError("HTTP-FLV request from %s closed: its head did not end within %d s", address.c_str(),
                  static_cast<int>(std::chrono::ceil<std::chrono::seconds>(deadline - incoming->accepted).count()));
    }
    if (n < 0 && bytes.size() >= kHttpHeadMax) status = HttpHeadStatus::kTooLong;
    if (status != HttpHeadStatus::kTooLong) {
      close(incoming->socket);
      incoming->socket = -1;
      return;
    }
    break;
  }
  const int fd = incoming->socket;
  if (status == HttpHeadStatus::kTooLong) {
    errno = 0;
    ReportError("HTTP-FLV request from %s refused: its head passes %zu bytes", address.c_str(), kHttpHeadMax);
    incoming->socket = -1;
    AnswerAndClose(fd, "431 Request Header Fields Too Large", "request head too large");
    return;
  }
  FlvRequest request;
  if (status == HttpHeadStatus::kBad || !ParseTarget(head, config.httpFlvPath, &request)) {
    errno = 0;
    ReportError("HTTP-FLV request from %s refused: not a request for <app>/<name>.flv", address.c_str());
    incoming->socket = -1;
    AnswerAndClose(fd, "400 Bad Request", "bad request");
    return;
  }
  if (head.method != "GET") {
    incoming->socket = -1;
    AnswerAndClose(fd, "405 Method Not Allowed", "only GET");
    return;
  }
  auto output = std::make_shared<HttpFlvOutput>();
  output->allowOrigin = config.httpFlvAllowOrigin;
  if (HttpHeaderHasToken(HttpHeadGet(head, "Upgrade"), "websocket")) {
    output->webSocket = true;
    output->accept = WsAcceptValue(HttpHeadGet(head, "Sec-WebSocket-Key"));
    if (output->accept.empty() || !HttpHeaderHasToken(HttpHeadGet(head, "Connection"), "Upgrade")) {
      incoming->socket = -1;
      AnswerAndClose(fd, "400 Bad Request", "bad WebSocket upgrade");
      return;
    }
  }
  // The page is of the web application: its session cookie names the
  // session when the address does not.
  const std::string_view cookie = HttpHeadCookie(head, "PHPSESSID");
  if (QueryParam(request.name, "phpsessid=").empty() && SessionIdUsable(cookie))
    request.name += "&phpsessid=" + std::string(cookie);
  std::string client;
  if (config.trustedProxy[0] != '\0' && address == config.trustedProxy)
    client = ForwardedAddress(HttpHeadGetLast(head, "X-Forwarded-For"));
  const std::string host(HttpHeadGet(head, "Host").substr(0, kTextSize / 2));
  output->input.assign(bytes, head.length, std::string::npos);

  RtmpConnection* connection = RtmpConnectionCreate(incoming, false);
  if (connection == nullptr) {
    if (incoming->socket >= 0) close(incoming->socket);
    incoming->socket = -1;
    return;
  }
  RtmpContext* r = &connection->link->rtmp;
  if (!client.empty()) {
    CopyText(connection->address, client.c_str());
    CopyText(r->address, client.c_str());
  }
  connection->httpOutput = output.get();
  connection->browser = true;
  connection->http = &kHttpHooks;
  {
    MutexLock lock(r->sendLock);
    r->messageSink = [output](RtmpContext* context, const RtmpPacket* packet) {
      return Sink(output.get(), context, packet);
    };
  }

  // The same commands an RTMP player sends: connect, createStream, play.
  std::array<uint8_t, kBuilderBodySize> m;
  uint8_t* e = m.data() + m.size();
  const std::string tcUrl = "http://" + host + "/" + request.app;
  uint8_t* p = AmfEncodeText(m.data(), e, "connect");
  p = AmfEncodeNumber(p, e, 1);
  p = AmfEncodeByte(p, e, AMF_OBJECT);
  p = AmfEncodeNamedString(p, e, "app", request.app.c_str());
  p = AmfEncodeNamedString(p, e, "tcUrl", tcUrl.c_str());
  p = AmfEncodeNamedString(p, e, "flashVer", output->webSocket ? "WebSocket-FLV" : "HTTP-FLV");
  p = AmfEncodeObjectEnd(p, e);
  DispatchCommand(connection, 0, m, p);
  if (RtmpSocketFd(r) != -1 && !output->ended) {
    p = AmfEncodeText(m.data(), e, "createStream");
    p = AmfEncodeNumber(p, e, 2);
    p = AmfEncodeByte(p, e, AMF_NULL);
    DispatchCommand(connection, 0, m, p);
  }
  if (RtmpSocketFd(r) != -1 && !output->ended) {
    if (connection->nextStreamId == 0) {
      MutexLock lock(r->sendLock);
      QueueRefusal(output.get(), r, "503 Service Unavailable", "NetConnection.Call.Failed");
    } else {
      p = AmfEncodeText(m.data(), e, "play");
      p = AmfEncodeNumber(p, e, 0);
      p = AmfEncodeByte(p, e, AMF_NULL);
      p = AmfEncodeText(p, e, request.name.c_str());
      p = AmfEncodeNumber(p, e, request.start);
      DispatchCommand(connection, connection->nextStreamId, m, p);
    }
  }
  RtmpConnectionServe(connection, incoming);
}

namespace {

bool Started(const RtmpConnection* connection) { return connection->httpOutput->started; }
bool Ended(const RtmpConnection* connection) { return connection->httpOutput->ended; }

// The client's bytes: nothing after the request means anything on plain
// HTTP; a WebSocket's frames are decoded, bounded, and answered.
int ProcessInput(RtmpConnection* connection) {
  HttpFlvOutput* out = connection->httpOutput;
  RtmpContext* r = &connection->link->rtmp;
  SocketBuffer& in = r->sockbuf;
  if (!out->webSocket) {
    // Nothing after the request is read: a second request on the
    // connection is not served.
    in.size = 0;
    in.start = 0;
    out->input.clear();
    return 1;
  }
  out->input.append(reinterpret_cast<const char*>(in.buf + in.start), static_cast<size_t>(in.size));
  in.size = 0;
  in.start = 0;
  for (;;) {
    WsFrame frame;
    const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(out->input.data()), out->input.size());
    const WsDecodeStatus status = WsDecodeFrame(bytes, kHttpFlvClientFrameMax, &frame);
    if (status == WsDecodeStatus::kNeedMore) return 1;
    if (status != WsDecodeStatus::kFrame) {
      errno = 0;
      ReportError("WebSocket-FLV client %s sent %s: closing the connection", connection->address,
                  status == WsDecodeStatus::kTooLarge ? "a frame over 4 KiB" : "a malformed frame");
      return 0;
    }
    const std::string payload = WsUnmask(frame);
    out->input.erase(0, frame.length);
    if (frame.opcode == kWsClose) {
      MutexLock lock(r->sendLock);
      if (!out->ended) {
        if (out->started) QueueFramed(out, r, std::string_view(payload).substr(0, 2), kWsClose);
        out->ended = true;
      }
      return 1;
    }
    if (frame.opcode == kWsPing) {
      MutexLock lock(r->sendLock);
      if (!out->ended && out->started) QueueFramed(out, r, payload, kWsPong);
    }
    // Data and pongs mean nothing here.
  }
}

}  // namespace
