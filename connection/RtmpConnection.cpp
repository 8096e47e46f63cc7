#include "connection/RtmpConnection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/ioctl.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string_view>
#include <vector>

#include "Database/Database.h"
#include "Database/Record.h"
#include "commands/RtmpModel.h"
#include "chat/RtmpChat.h"
#include "chat/RtmpChatFunctions.h"
#include "chat/RtmpChatStatus.h"
#include "media/RtmpChannel.h"
#include "media/RtmpStream.h"
#include "rtmp/RtmpFunctions.h"
#include "rtmp/RtmpUtils.h"
#include "client/ClientJobs.h"
#include "client/Intake.h"
#include "config/Admission.h"
#include "config/ServerConfig.h"
#include "connection/SendLoop.h"
#include "util/Log.h"
#include "util/ByteOrder.h"
#include "util/Clock.h"
#include "util/EnvNumber.h"
#include "util/ThreadSafety.h"
#include "util/WsContentHelper.h"

namespace {

constexpr int kKeepAliveMs = 30 * 1000;
constexpr int kSilenceLimitMs = 120 * 1000;
constexpr int kTeardownJobsWaitMs = 300 * 1000;

// A period in milliseconds from the environment (tests shorten them), else
// the default.
int PeriodMs(const char* name, int fallback) { return static_cast<int>(EnvNumber(name, fallback, 1, INT_MAX)); }

void Drain(int fd) {
  uint64_t value;
  ssize_t n = read(fd, &value, sizeof value);
  (void)n;
}

// The lowest address of the calling thread's stack, for ReleaseStackBelow;
// 0 when it cannot be told.
uintptr_t StackLowest() {
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return 0;
  void* low = nullptr;
  size_t size = 0;
  const int res = pthread_attr_getstack(&attr, &low, &size);
  pthread_attr_destroy(&attr);
  return res == 0 ? reinterpret_cast<uintptr_t>(low) : 0;
}

// True when more than one page of [bottom, top) is resident.
bool ResidentPagesAboveOne(uintptr_t bottom, uintptr_t top, uintptr_t page) {
  unsigned char resident[256];  // a whole connection stack in one call
  int count = 0;
  for (uintptr_t at = bottom; at < top; at += sizeof resident * page) {
    const uintptr_t length = std::min<uintptr_t>(top - at, sizeof resident * page);
    // Unknown: release, as before.
    if (mincore(reinterpret_cast<void*>(at), length, resident) != 0) return true;
    for (uintptr_t i = 0; i < length / page; ++i) count += resident[i] & 1;
    if (count > 1) return true;
  }
  return false;
}

// Gives the pages of the stack below the caller's frame back to the system.
// The connect command and its database work, the model and chat commands
// reach a few pages deep once; an idle connection would keep them for its
// whole life (thousands of connections: tens of megabytes). The page below
// the current one stays, for the calls the loop makes while it waits. A
// single page more is left too: the release costs every core running the
// server a TLB flush, which would cost a connect more than the page is worth.
void ReleaseStackBelow(uintptr_t lowest) {
  if (lowest == 0) return;
  const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  volatile char here = 0;
  const uintptr_t top = (reinterpret_cast<uintptr_t>(&here) & ~(page - 1)) - page;
  // The guard page at the bottom is not ours to touch.
  const uintptr_t bottom = lowest + page;
  if (top <= bottom || !ResidentPagesAboveOne(bottom, top, page)) return;
  madvise(reinterpret_cast<void*>(bottom), top - bottom, MADV_DONTNEED);
}

// The first stream addressed by a message: id 0 or the message's stream id.
RtmpStream* FindAddressedStream(RtmpConnection* connection) {
  ListLock guard(connection->streams.lock);
  for (ListNode* n = connection->streams.first; n != nullptr; n = n->next) {
    auto* stream = static_cast<RtmpStream*>(n->item);
    if (stream->id == 0 || stream->id == connection->packet.m_nStreamId) return stream;
  }
  return nullptr;
}

// SetBufferLength (event 3: stream id, milliseconds) sets how far ahead of
// its clock that stream's file may be sent. Other events need no answer; a
// stream not (yet) created keeps the default.
void ReceiveUserControl(RtmpConnection* connection, const RtmpPacket* packet) {
  if (packet->m_nBodySize < 10) return;
  const uint8_t* b = packet->m_body;
  if (GetBe16(b) != kSetBufferLength) return;
  const uint32_t id = GetBe32(b + 2);
  const uint32_t ms = GetBe32(b + 6);
  ListLock guard(connection->streams.lock);
  for (ListNode* n = connection->streams.first; n != nullptr; n = n->next) {
    auto* stream = static_cast<RtmpStream*>(n->item);
    if (static_cast<uint32_t>(stream->id) == id) {
      stream->output.bufferMs = static_cast<int32_t>(std::min<uint32_t>(ms, INT32_MAX));
      break;
    }
  }
}

// The web application's name for the site in the Host header.
const char* SiteHostName(const SiteConfig* site) {
  if (site == nullptr) return "";
  if (strcmp(site->name, "default") == 0) return "_default_";
  return site->hostNames[0];
}

using Handler = int (*)(RtmpConnection*, RtmpStream*, const AmfObject*);

struct Command {
  std::string_view name;
  Handler handler;
};

int SendConnectResult(RtmpConnection* connection) {
  std::array<uint8_t, kBuilderBodySize> m;
  uint8_t* e = m.data() + m.size();
  uint8_t* p = AmfEncodeText(m.data(), e, "_result");
  p = AmfEncodeNumber(p, e, connection->transactionId);
  p = AmfEncodeByte(p, e, AMF_OBJECT);
  p = AmfEncodeNamedString(p, e, "fmsVer", "FMS/4,5,4,2012");
  p = AmfEncodeNamedNumber(p, e, "capabilities", 31);
  p = AmfEncodeNamedNumber(p, e, "mode", 1);
  p = AmfEncodeObjectEnd(p, e);
  p = AmfEncodeByte(p, e, AMF_OBJECT);
  p = AmfEncodeNamedString(p, e, "level", "status");
  p = AmfEncodeNamedString(p, e, "code", "NetConnection.Connect.Success");
  p = AmfEncodeNamedString(p, e, "description", "Connection succeeded");
  p = AmfEncodeName(p, e, "data");
  p = AmfEncodeByte(p, e, AMF_ECMA_ARRAY);
  p = AmfEncodeInt32(p, e, 1);
  p = AmfEncodeNamedString(p, e, "version", "4,5,4,2012");
  p = AmfEncodeObjectEnd(p, e);
  p = AmfEncodeNamedNumber(p, e, "objectEncoding", connection->link->rtmp.objectEncoding);
  p = AmfEncodeObjectEnd(p, e);
  if (p == nullptr) {
    REPORT_ASSERT("enc", "RtmpConnection");
    return 0;
  }
  return RtmpSendCommand(&connection->link->rtmp, {m.data(), p});
}

// The connect command: reads the client's parameters, opens the session with
// the client, chooses the site and opens its database. Returns 1.
int RtmpConnect(RtmpConnection* connection, const AmfObject* object) {
  RtmpContext* r = &connection->link->rtmp;
  // A busy server takes no new connection; a repeated connect (it has its
  // database then) is one it already serves. The reply goes out before
  // the close.
  if (connection->db == nullptr && DebugAdmitRefuses(DebugWork::kConnect)) {
    SendError(r, connection->transactionId, "NetConnection.Connect.Rejected", "server busy");
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
  // A repeated connect must not leak the first database connection; jobs
  // queued before still use it.
  ClientCloseDbLater(connection);
  // Without a site this is an unusable but safe connection: every statement
  // fails quietly and the connection goes on without records. With one, it
  // costs the database nothing until a statement needs it.
  connection->db.reset(DbOpen(connection->site));
  return 1;
}

int OnConnect(RtmpConnection* c, RtmpStream*, const AmfObject* o) {
  c->connectReceived = true;
  return RtmpConnect(c, o);
}
// createStream: `_result` with the new id, or `_error` when no chunk stream
// id is free.
int OnCreateStream(RtmpConnection* c, RtmpStream*, const AmfObject*) {
  RtmpStream* stream = CreateStreamRecord(c);
  if (stream == nullptr) {
    SendError(&c->link->rtmp, c->transactionId, "NetConnection.Call.Failed", "no free chunk stream");
    return 1;
  }
  SendResult(&c->link->rtmp, c->transactionId, stream->id);
  return 1;
}
int OnCloseStream(RtmpConnection*, RtmpStream* s, const AmfObject*) {
  if (s) ResetStream(s);
  return 1;
}
int OnDeleteStream(RtmpConnection* c, RtmpStream*, const AmfObject* o) {
  return DeleteStream(c, o, c->packet.m_nStreamId);
}
int OnReleaseStream(RtmpConnection*, RtmpStream* s, const AmfObject*) {
  if (s) FreeStream(s);
  return 1;
}
// FCUnpublish (name): encoders stop publishing with it before they delete
// the stream; the publisher stops as on closeStream, and its live players
// are told at once.
int OnFCUnpublish(RtmpConnection* c, RtmpStream* s, const AmfObject* o) {
  std::string_view name = AmfTextView(AmfPropString(AmfObjectGet(o, {}, 3)));
  RtmpStream* publisher = s && s->publishing ? s : nullptr;
  if (publisher == nullptr) {
    ListLock guard(c->streams.lock);  // names are written under it
    for (ListNode* n = c->streams.first; n != nullptr && publisher == nullptr; n = n->next) {
      auto* stream = static_cast<RtmpStream*>(n->item);
      if (stream->publishing && name == stream->name) publisher = stream;
    }
  }
  if (publisher == nullptr) return 1;
  ResetStream(publisher);
  SendStatus(publisher, "NetStream.Unpublish.Success", "unpublished");
  return 1;
}
int OnStartTransmit(RtmpConnection*, RtmpStream* s, const AmfObject*) {
  if (s) s->output.paused = false;
  return 1;
}
int OnStopTransmit(RtmpConnection*, RtmpStream* s, const AmfObject*) {
  if (s) s->output.paused = true;
  return 1;
}
int OnPublish(RtmpConnection*, RtmpStream* s, const AmfObject* o) { return s ? Publish(s, o) : 1; }
int OnPlay(RtmpConnection*, RtmpStream* s, const AmfObject* o) { return s ? Play(s, o) : 1; }
int OnPause(RtmpConnection*, RtmpStream* s, const AmfObject* o) { return s ? Pause(s, o) : 1; }
int OnSeek(RtmpConnection*, RtmpStream* s, const AmfObject* o) { return s ? Seek(s, o) : 1; }
int OnIgnored(RtmpConnection*, RtmpStream*, const AmfObject*) { return 1; }
// The chat commands take the client view.
template <int (*handler)(Client*, RtmpStream*, const AmfObject*)>
int OnClient(RtmpConnection* c, RtmpStream* s, const AmfObject* o) {
  return handler(c, s, o);
}
template <int kind>
int OnModel(RtmpConnection* c, RtmpStream*, const AmfObject* o) {
  return RtmpModelCommand(c, o, kind);
}

// The command table.
const Command kCommands[] = {
    {"connect", OnConnect},
    {"createStream", OnCreateStream},
    {"closeStream", OnCloseStream},
    {"deleteStream", OnDeleteStream},
    {"releaseStream", OnReleaseStream},
    {"FCUnpublish", OnFCUnpublish},
    {"startTransmit", OnStartTransmit},
    {"stopTransmit", OnStopTransmit},
    {"publish", OnPublish},
    {"play", OnPlay},
    {"play2", OnIgnored},
    {"pause", OnPause},
    {"pauseRaw", OnPause},
    {"seek", OnSeek},
    {"loadmodel", OnModel<kModelLoad>},
    {"savemodel", OnModel<kModelSave>},
    {"createmodel", OnModel<kModelCreate>},
    {"deletemodel", OnModel<kModelDelete>},
    {"chatConnectChat", OnClient<ChatConnectChat>},
    {"chatConnectCourse", OnClient<ChatConnectCourse>},
    {"chatConnectUser", OnClient<ChatConnectUser>},
    {"chatDisconnect", OnClient<ChatDisconnect>},
    {"chatDeviceInfo", OnClient<ChatDeviceInfo>},
    {"chatUserPresenter", OnClient<ChatUserPresenter>},
    {"chatUserActive", OnClient<ChatUserActive>},
    {"chatUserAction", OnClient<ChatUserAction>},
    {"chatRequestText", OnClient<ChatRequestText>},
    {"chatPushMode", OnClient<ChatPushMode>},
    {"chatPushCommand", OnClient<ChatPushCommand>},
    {"chatSendText", OnClient<ChatSendText>},
};

}  // namespace

RtmpConnection* RtmpConnectionCreate(IncomingConnection* incoming, bool rtmpHandshake) {
  // Every field has its initialiser: made without value-initialisation, the
  // record is not zeroed once before its initialisers run.
  auto connection = std::make_unique_for_overwrite<RtmpConnection>();
  connection->link = std::make_shared<ClientLink>();
  connection->sites = incoming->config ? &incoming->config->sites : &g_config.sites;
  connection->thread = incoming->thread;
  inet_ntop(AF_INET, &incoming->peer.sin_addr, connection->address, sizeof connection->address);
  CopyText(connection->link->rtmp.address, connection->address);

  // Small control and status messages must not wait for the peer's delayed
  // acknowledgement: media is paced to the millisecond.
  int noDelay = 1;
  setsockopt(incoming->socket, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
  if (!RtmpContextInit(&connection->link->rtmp, incoming->socket)) return nullptr;
  incoming->socket = -1;  // the SocketBuffer owns it now
  // One deadline for the whole handshake, counted from the accept: a peer
  // that trickles its bytes gets no fresh wait per read.
  const auto deadline = IntakeHandshakeDeadline(incoming);
  connection->link->rtmp.sockbuf.readDeadline = deadline;
  const bool shaken = !rtmpHandshake || SHandShake(&connection->link->rtmp);
  connection->link->rtmp.sockbuf.readDeadline = {};
  if (!shaken) {
    if (std::chrono::steady_clock::now() >= deadline) {
      errno = 0;
      ReportError("RTMP handshake from %s not complete within %d s (HandshakeSeconds): closing the connection",
                  connection->address, IntakeHandshakeSeconds(incoming));
    }
    RtmpShutdown(&connection->link->rtmp);
    RtmpContextFree(&connection->link->rtmp);
    return nullptr;
  }

  connection->link->wakeEvent.fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  // The pacing timer is made when a stream first falls due: an idle or chat
  // connection never holds one.
  if (connection->link->wakeEvent.fd < 0) {
    ReportError("RtmpConnectionCreate: events");
    RtmpShutdown(&connection->link->rtmp);
    RtmpContextFree(&connection->link->rtmp);
    return nullptr;
  }
  ClientJobsOpen(connection.get(), connection->link->wakeEvent.fd);
  {
    MutexLock lock(connection->link->rtmp.sendLock);
    RtmpChannelOut(&connection->link->rtmp, 2);
    RtmpChannelOut(&connection->link->rtmp, 3);
    // Closed only after the SocketBuffer (the link's order), so no writer
    // can signal it late.
    connection->link->rtmp.sockbuf.wakeFd = connection->link->wakeEvent.fd;
    connection->link->rtmp.sockbuf.batching = true;
  }
  ListAddTail(&g_clients, static_cast<Client*>(connection.get()));
  return connection.release();
}

void RtmpConnectionDestroy(RtmpConnection* connection) {
  std::unique_ptr<RtmpConnection> owned(connection);
  // First: the send loop never serves the record again once it goes.
  SendLoopDetach(*connection->link);
  ListRemove(&g_clients, static_cast<Client*>(connection));

  // A command whose job is pending is applied as if the connection had
  // lived on (a play's row is then closed by the stream's teardown below).
  // Its statements are bounded; this wait is only a last guard.
  const int64_t jobsDue = MonotonicMs() + kTeardownJobsWaitMs;
  while (connection->commandJobs > 0) {
    const int64_t left = jobsDue - MonotonicMs();
    if (left <= 0 || !JobPostsWait(*connection->posts, static_cast<int>(left))) {
      errno = 0;
      ReportError("RtmpConnectionDestroy: %d command job(s) of %s did not end within %d s", connection->commandJobs,
                  connection->address, kTeardownJobsWaitMs / 1000);
      break;
    }
    ClientRunPosts(connection);
  }
  // Under the room locks, before anything of the record goes: no other
  // thread reaches this connection through a member afterwards. After the
  // pending commands, one of which may have been a chat entry.
  LeaveRoom(connection);
  ChatDropBacklog(connection);

  for (;;) {
    RtmpStream* stream = nullptr;
    {
      ListLock guard(connection->streams.lock);
      if (connection->streams.first) stream = static_cast<RtmpStream*>(connection->streams.first->item);
    }
    if (stream == nullptr) break;
    FreeStream(stream);
  }

  // The last job of the connection: the web notice (a web server that is
  // down or slow only costs its bounded wait, on a worker), then the marks,
  // then the database handle, after every job before it.
  if (connection->session != nullptr && connection->session->phpsessid != nullptr) {
    ClientCompletionJob(connection, [phpsessid = std::string(connection->session->phpsessid),
                                             host = std::string(SiteHostName(connection->site)), port = LocalWebPort()] {
      WsNotifySessionEnd(port, phpsessid.c_str(), host.c_str(), kWsRequestTimeoutMs);
    });
  }
  RunThumbnailMarks(connection);
  ClientCloseDbLater(connection);
  connection->user.reset();
  connection->session.reset();
  if (connection->posts != nullptr) JobPostsClose(*connection->posts);

  RtmpPacketFree(&connection->packet);
  // A chat member of a room left behind still holds the link: its senders
  // skip it from now on.
  connection->link->closing.store(true);
  RtmpContextFree(&connection->link->rtmp);
  RtmpShutdown(&connection->link->rtmp);
  // The wake event goes with the last holder of the link.
}

int RtmpConnectionPending(RtmpConnection* connection) {
  // Only what the loop has received counts: the socket itself is asked only
  // when poll() says it has input.
  if (connection->inputNeedsMore) return 0;
  return connection->link->rtmp.sockbuf.size;
}

int RtmpConnectionProcessInput(RtmpConnection* connection) {
  RtmpPacket& packet = connection->packet;
  // Never waits: a message still incomplete stays in its channel until the
  // loop has received more, and the loop goes on serving meanwhile.
  int read = RtmpReadMessage(&connection->link->rtmp, &packet);
  if (read < 0) return 0;
  if (read == 0) {
    connection->inputNeedsMore = true;
    return 1;
  }

  RtmpStream* stream = FindAddressedStream(connection);
  int result = 1;
  switch (packet.m_nMessageType) {
    case kRtmpMsgSetChunkSize: {
      uint32_t value = 0;
      if (packet.m_nBodySize >= 4) value = GetBe32(packet.m_body);
      // 0 would stall the reader and a set top bit overflow it: refuse.
      if (packet.m_nBodySize < 4 || !RtmpChunkSizeValid(value)) {
        ProtocolLog(LOG_WARNING, "invalid chunk size %u from %s", value, connection->address);
        RtmpShutdown(&connection->link->rtmp);
        result = 0;
        break;
      }
      SendChunkSize(&connection->link->rtmp, value);
      RtmpSetChunkSize(&connection->link->rtmp, value);
      break;
    }
    case kRtmpMsgUserControl:
      ReceiveUserControl(connection, &packet);
      break;
    case kRtmpMsgAbort:
    case kRtmpMsgAcknowledgement:
    case kRtmpMsgWindowAckSize:
    case kRtmpMsgSharedObjectAmf0:
      break;
    case kRtmpMsgDataAmf0:
      // A live publisher's metadata goes to its players; recordings keep
      // their own.
      if (stream && stream->publishing && stream->channel != 0) RelayData(stream, &packet);
      break;
    case kRtmpMsgAudio:
    case kRtmpMsgVideo:
      if (stream) ReceiveMedia(stream, &packet);
      break;
    case kRtmpMsgCommandAmf0:
      connection->stackDeep = true;
      if (!RtmpConnectionDispatch(connection, stream)) RtmpShutdown(&connection->link->rtmp);
      break;
    default:
      break;
  }
  RtmpPacketFree(&packet);
  return result;
}

int RtmpConnectionDispatch(RtmpConnection* connection, RtmpStream* stream) {
  RtmpPacket& packet = connection->packet;
  if (packet.m_body == nullptr || packet.m_nBodySize == 0 || packet.m_body[0] != AMF_STRING) {
    REPORT_ASSERT("res", "RtmpConnection");
    return 0;
  }
  AmfObject object;
  std::span<const uint8_t> bytes(packet.m_body, packet.m_nBodySize);
  if (AmfDecodeObject(&object, bytes, false) < 0) {
    REPORT_ASSERT("res", "RtmpConnection");
    return 0;
  }
  connection->transactionId = AmfPropNumber(AmfObjectGet(&object, {}, 1));
  std::string_view name = AmfTextView(AmfPropString(AmfObjectGet(&object, {}, 0)));
  for (const Command& command : kCommands) {
    if (command.name == name) {
      command.handler(connection, stream, &object);
      break;
    }
  }
  AmfObjectFree(&object);
  return 1;
}

int RtmpConnectionNextWait(RtmpConnection* connection) {
  ListLock guard(connection->streams.lock);
  if (connection->streams.count == 0) return -1;
  int64_t result = -1;
  const int64_t now = PacingNow();
  connection->refillHeld = false;
  for (ListNode* n = connection->streams.first; n != nullptr; n = n->next) {
    auto* stream = static_cast<RtmpStream*>(n->item);
    int64_t wait = StreamWait(stream, now);
    if (stream->output.heldForOutput) connection->refillHeld = true;
    if (wait < 0) continue;
    if (result == -1 || wait < result) {
      connection->nextStream = stream;
      result = wait;
    }
  }
  // A wait beyond the int range is as good as no timer: cap it, never wrap.
  return static_cast<int>(std::min<int64_t>(result, INT_MAX));
}

int RtmpConnectionServiceStream(RtmpConnection* connection) {
  RtmpStream* stream = connection->nextStream;
  if (stream == nullptr || !stream->playing) return 1;
  if (stream->output.endDue != 0) {
    if (PacingNow() >= stream->output.endDue) SendEndOfStream(stream);
    connection->nextStream = nullptr;
    return 1;
  }
  int res = SendQueue(stream) ? 1 : 0;
  if (!res) {
    REPORT_ASSERT("res", "RtmpConnection");
    connection->nextStream = nullptr;
    return 0;
  }
  if (stream->file.open && !StreamServeFile(stream, PacingNow())) {
    REPORT_ASSERT("res", "RtmpConnection");
    res = 0;
  }
  connection->nextStream = nullptr;
  return res;
}

namespace {

// When the next of the connection's limits falls due; 0 before the thread's
// first pass set them.
int64_t LimitsNextDue(const RtmpConnection::Limits& limits) {
  if (limits.keepAliveDue == 0) return 0;
  int64_t until = limits.keepAliveDue;
  if (limits.incompleteSince != 0) until = std::min(until, limits.incompleteSince + limits.readLimitMs);
  if (limits.connectDue != 0) until = std::min(until, limits.connectDue);
  return until;
}

// The keep-alive, by whoever serves the connection: false when the client
// has been silent too long (the thread reports it), else it is pinged when
// its period has passed. An HTTP client sends nothing while it plays.
bool LimitsKeepAlive(RtmpConnection* connection, int64_t now) {
  RtmpConnection::Limits& limits = connection->limits;
  if (limits.keepAliveDue == 0) {
    limits.keepAliveDue = now + limits.keepAliveMs;
  } else if (limits.keepAliveDue <= now) {
    if (!limits.gated && connection->http == nullptr && now - limits.lastInput > limits.silenceLimitMs)
      return false;
    limits.keepAliveDue = now + limits.keepAliveMs;
    SendUserControl(&connection->link->rtmp, kPingRequest, 0);
  }
  return true;
}

// The send loop's share of the limits: false when one has passed (the
// thread, woken, reports it and closes), else the keep-alive is served.
bool LimitsHold(RtmpConnection* connection, int64_t now) {
  const RtmpConnection::Limits& limits = connection->limits;
  if (limits.keepAliveDue == 0) return true;  // set by the thread's first pass
  if (limits.connectDue != 0 && now >= limits.connectDue) return false;
  if (limits.incompleteSince != 0 && now - limits.incompleteSince >= limits.readLimitMs) return false;
  return LimitsKeepAlive(connection, now);
}

}  // namespace

int64_t RtmpConnectionServeFromLoop(RtmpConnection* connection, int64_t nowMs) {
  RtmpContext* r = &connection->link->rtmp;
  if (RtmpSocketFd(r) == -1 || r->sockbuf.failed || r->sockbuf.overflowed) return kEventLoopNever;
  SocketBufferActAsOwner acting(&r->sockbuf);
  // The thread sleeps through its limits: one that passed wakes it.
  const int64_t limitsNow = ConnectionNow();
  if (!LimitsHold(connection, limitsNow)) {
    ClientWake(*connection->link);
    return kEventLoopNever;
  }
  int64_t next = kEventLoopNever;
  RtmpStream* relayed = nullptr;  // a live stream this service sent
  for (;;) {
    const int wait = RtmpConnectionNextWait(connection);
    const bool blocked = wait == 0 && RtmpOutputAboveWatermark(r);
    if (wait == 0 && !blocked) {
      if (connection->nextStream != nullptr && !connection->nextStream->file.open) relayed = connection->nextStream;
      if (RtmpConnectionServiceStream(connection)) continue;
      // The thread ends the connection: it sees the socket shut.
      RtmpShutdown(r);
      break;
    }
    if (RtmpOutputPending(r)) connection->batches++;
    if (!RtmpFlushOutput(r)) break;
    if (blocked && !RtmpOutputAboveWatermark(r)) continue;
    if (connection->refillHeld && !RtmpOutputPending(r)) continue;
    if (wait > 0) next = nowMs + wait;
    break;
  }
  // A live player that just got media looks again when its merge period
  // ends: what its publisher relays meanwhile waits for that time, and the
  // loop, asleep until then, is not woken for it. One that got nothing
  // stops looking.
  if (relayed != nullptr && next == kEventLoopNever)
    if (const int64_t left = LiveChannelPeriodLeft(relayed); left > 0) next = nowMs + left;
  // What the thread does after media left it does itself: the rest of a
  // send the socket did not take (it waits for the socket), the end of an
  // HTTP answer, a chat backlog that may move on, the marks of a play's
  // first media.
  if (RtmpOutputPending(r) || RtmpSocketFd(r) == -1 || r->sockbuf.failed || connection->chatBacklog != nullptr ||
      !connection->thumbnailMarks.empty() || (connection->http != nullptr && connection->http->ended(connection))) {
    ClientWake(*connection->link);
    return kEventLoopNever;  // posted again by the thread's pass
  }
  if (const int64_t due = LimitsNextDue(connection->limits); due != 0)
    next = std::min(next, nowMs + std::max<int64_t>(due - limitsNow, 0));
  return next;
}

int RtmpConnectionRun(IncomingConnection* incoming) {
  RtmpConnection* connection = RtmpConnectionCreate(incoming);
  if (connection == nullptr) {
    if (incoming->socket >= 0) close(incoming->socket);
    incoming->socket = -1;
    return 1;
  }
  RtmpConnectionServe(connection, incoming);
  return 0;
}

void RtmpConnectionServe(RtmpConnection* connection, IncomingConnection* incoming) {
  RtmpContext* r = &connection->link->rtmp;
  RtmpConnection::Limits& limits = connection->limits;
  limits.keepAliveMs = PeriodMs("STRMD_KEEPALIVE_MS", kKeepAliveMs);
  limits.silenceLimitMs = PeriodMs("STRMD_SILENCE_LIMIT_MS", kSilenceLimitMs);
  limits.readLimitMs = PeriodMs("STRMD_READ_LIMIT_MS", kSocketReadWaitMs);
  limits.lastInput = ConnectionNow();
  bool wasGated = false;            // the last pass held input for a command's job
  int64_t armedDue = -1;            // what the pacing timer (or the send loop) is set for
  // connect is due this long after the handshake; until then the connection
  // counts against the MaxHandshaking caps.
  // An HTTP-FLV play counts so until its first FLV byte, within the
  // handshake's time.
  const int connectSeconds = IntakeConnectSeconds(incoming);
  limits.connectDue =
      connection->http == nullptr
          ? ConnectionNow() + int64_t{connectSeconds} * 1000
          : ConnectionNow() + std::chrono::ceil<std::chrono::milliseconds>(IntakeHandshakeDeadline(incoming) -
                                                                           std::chrono::steady_clock::now())
                                  .count();
  const uintptr_t stackLowest = StackLowest();
  const ClientHandle link = connection->link;
  SendLoopAttach(
      *link,
      [](void* ctx, int64_t nowMs) { return RtmpConnectionServeFromLoop(static_cast<RtmpConnection*>(ctx), nowMs); },
      connection);
  // Held for every pass; let go only while the loop waits, when the send
  // loop may pace the streams and flush in its place.
  link->serve.lock();
  while (RtmpSocketFd(r) != -1) {
    if (r->sockbuf.overflowed) {
      errno = 0;
      ReportError("RTMP output to %s over its cap: closing the connection", connection->address);
      break;
    }
    // A response that is complete ends the connection once it is sent.
    if (connection->http != nullptr && connection->http->ended(connection) && RtmpFlushOutput(r) &&
        !RtmpOutputPending(r))
      break;
    const bool admitted =
        connection->http != nullptr ? connection->http->started(connection) : connection->connectReceived;
    if (admitted) {
      IntakeLeaveHandshaking(incoming);
      limits.connectDue = 0;
    } else if (ConnectionNow() >= limits.connectDue) {
      errno = 0;
      if (connection->http != nullptr)
        ReportError("HTTP-FLV request from %s had no stream within %d s (HandshakeSeconds): closing it",
                    connection->address, IntakeHandshakeSeconds(incoming));
      else
        ReportError("RTMP connection from %s sent no connect within %d s (ConnectSeconds): closing it",
                    connection->address, connectSeconds);
      break;
    }
    // While a command's job is pending, input waits (in the socket), so that
    // answers keep their order; the time does not count as the peer's.
    const bool gated = limits.gated = connection->commandJobs > 0;
    if (gated) {
      wasGated = true;
    } else if (wasGated) {
      wasGated = false;
      limits.lastInput = ConnectionNow();
    }
    if (!gated && RtmpConnectionPending(connection)) {
      const int processed = connection->http != nullptr ? connection->http->processInput(connection)
                                                         : RtmpConnectionProcessInput(connection);
      if (!processed) break;
      continue;
    }
    const int64_t now = ConnectionNow();
    if (gated || !RtmpInputIncomplete(r)) {
      limits.incompleteSince = 0;
    } else if (limits.incompleteSince == 0) {
      limits.incompleteSince = now;
    } else if (now - limits.incompleteSince >= limits.readLimitMs) {
      errno = 0;
      ReportError("RTMP read limit: %s left a message unfinished for %d ms", connection->address,
                  limits.readLimitMs);
      break;
    }

    // A chat backlog moves into the output as it drains, like media.
    if (connection->chatBacklog != nullptr && !RtmpOutputAboveWatermark(r)) ChatServiceBacklog(connection);

    int wait = RtmpConnectionNextWait(connection);
    // Media due while the output queue is above its watermark waits for the
    // socket to take what is queued: the backlog stays in the stream's queue.
    const bool blocked = wait == 0 && RtmpOutputAboveWatermark(r);
    if (wait == 0 && !blocked) {
      if (!RtmpConnectionServiceStream(connection)) break;
      continue;
    }
    // Everything the pass produced goes out in one sendmsg().
    if (RtmpOutputPending(r)) connection->batches++;
    if (!RtmpFlushOutput(r)) break;
    if (blocked && !RtmpOutputAboveWatermark(r)) continue;
    // A file stream's next window waited for this flush.
    if (connection->refillHeld && !RtmpOutputPending(r)) continue;
    if (wait > 0 && link->loop == nullptr) {
      int64_t due = now + wait;
      if (connection->pacingTimer.fd < 0 &&
          (connection->pacingTimer.fd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK)) < 0) {
        ReportError("RtmpConnectionRun: pacing timer");
        break;
      }
      if (due != armedDue) {
        ClientArmTimer(connection->pacingTimer.fd, wait);
        armedDue = due;
      }
    }
    // Statements the first media of a play did not wait for: it has left.
    if (!connection->thumbnailMarks.empty()) RunThumbnailMarks(connection);
    // Commands are what reach deep (connect, the model and chat commands):
    // after them, the stack they used goes back before the loop waits.
    if (connection->stackDeep) {
      connection->stackDeep = false;
      ReleaseStackBelow(stackLowest);
    }
    // A player sends a few acknowledgements a minute: its read buffer goes
    // back while the loop waits.
    SocketBufferReleaseIdle(&r->sockbuf);
    // The keep-alive falls due whatever the loop was doing (waiting, media,
    // posts): a client silent too long is closed, any other is pinged.
    if (!LimitsKeepAlive(connection, now)) {
      errno = 0;
      ReportError("RTMP Timeout");
      break;
    }
    const int64_t until = LimitsNextDue(limits);
    int pollMs = static_cast<int>(std::clamp<int64_t>(until - now, 0, INT_MAX));
    if (link->loop != nullptr) {
      // The send loop sends the next window and keeps the limits while this
      // thread sleeps until its client or a job has something for it.
      const int64_t due = wait > 0 ? std::min(until, now + wait) : until;
      if (due != armedDue) {
        ClientPost(link, std::max<int64_t>(due - now, 1));
        armedDue = due;
      }
      pollMs = -1;
    }

    // The wake event is watched even while the pacing timer runs, so that a
    // relayed packet never waits for a file stream's next tag.
    pollfd fds[3] = {
        {RtmpSocketFd(r),
         static_cast<short>((gated ? 0 : POLLIN | POLLRDHUP) | (RtmpOutputPending(r) ? POLLOUT : 0)), 0},
        {connection->link->wakeEvent.fd, POLLIN, 0},
        {wait > 0 && link->loop == nullptr ? connection->pacingTimer.fd : -1, POLLIN, 0},
    };
    ClientReleaseServe(link);
    int ready = poll(fds, 3, pollMs);
    link->serve.lock();
    if (ready < 0) {
      if (errno == EINTR) continue;
      ReportError("WaitForMultipleObjects");
      break;
    }
    // A wait that ran out goes round: the keep-alive, read and connect
    // limits are checked above.
    if (ready == 0) continue;
    // Before input, which a busy publisher may never stop sending: another
    // connection may be waiting to record a file this one records.
    if (fds[1].revents & POLLIN) {
      // The send loop may have woken it for output the socket did not take:
      // the next window is posted again after this pass.
      armedDue = -1;
      ServeRecordingCloseRequests(connection);
      // Drained before the posts are taken: a later post wakes again.
      Drain(connection->link->wakeEvent.fd);
      ClientRunPosts(connection);
    }
    if (fds[0].revents & POLLOUT) {
      if (!RtmpFlushOutput(r)) break;
    }
    if (gated && (fds[0].revents & (POLLHUP | POLLERR))) break;
    if (!gated && (fds[0].revents & (POLLIN | POLLRDHUP | POLLHUP | POLLERR))) {
      int received = SocketBufferReceive(&r->sockbuf);
      if (received > 0) {
        limits.lastInput = ConnectionNow();
        connection->inputNeedsMore = false;
        continue;
      }
      if (received < 0) break;  // the client closed, or the socket failed
      if (fds[0].revents & (POLLRDHUP | POLLHUP | POLLERR)) break;
    }
    if ((fds[1].revents & POLLIN) || (fds[2].revents & POLLIN)) {
      // The timer is not read: re-arming clears one that fired, one system
      // call less per window. Forgetting the due time makes the next pass
      // re-arm it.
      if (fds[2].revents & POLLIN) armedDue = -1;
      // A stale wake must not release a file stream's packet early.
      if (RtmpConnectionNextWait(connection) == 0 && !RtmpOutputAboveWatermark(r) &&
          !RtmpConnectionServiceStream(connection))
        break;
      continue;
    }
  }
  link->serve.unlock();
  if (getenv("STRMD_IO_STATS") != nullptr) {
    MutexLock lock(r->sendLock);
    if (const auto* queue = r->sockbuf.context.get())
      ConsolePrint("io stats %s: messages %llu sendmsg %llu batches %llu\n", connection->address,
                   static_cast<unsigned long long>(queue->messages),
                   static_cast<unsigned long long>(queue->sendCalls),
                   static_cast<unsigned long long>(connection->batches));
  }

  RtmpConnectionDestroy(connection);
}
