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
#include "Database/RtmpModel.h"
#include "chat/RtmpChat.h"
#include "chat/RtmpChatFunctions.h"
#include "chat/RtmpChatStatus.h"
#include "connection/RtmpFunctions.h"
#include "media/RtmpChannel.h"
#include "media/RtmpStream.h"
#include "rtmp/RtmpUtils.h"
#include "server/Log.h"
#include "server/Server.h"
#include "server/ThreadHttp.h"
#include "util/ByteOrder.h"
#include "util/Clock.h"
#include "util/EnvNumber.h"
#include "util/ThreadSafety.h"
#include "util/WsContentHelper.h"

List g_connections;

namespace {

constexpr int kKeepAliveMs = 30 * 1000;
constexpr int kSilenceLimitMs = 120 * 1000;
constexpr int kTeardownJobsWaitMs = 300 * 1000;

// A period in milliseconds from the environment (tests shorten them), else
// the default.
int PeriodMs(const char* name, int fallback) { return static_cast<int>(EnvNumber(name, fallback, 1, INT_MAX)); }

void ArmTimer(int fd, int64_t ms) {
  itimerspec value{};
  value.it_value.tv_sec = ms / 1000;
  value.it_value.tv_nsec = (ms % 1000) * 1000000;
  if (value.it_value.tv_sec == 0 && value.it_value.tv_nsec == 0) value.it_value.tv_nsec = 1;
  timerfd_settime(fd, 0, &value, nullptr);
}

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

void CloseFd(int* fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

// Applies the results the connection's jobs posted, oldest first.
void RunPosts(RtmpConnection* connection) {
  for (std::function<void()>& post : JobPostsTake(*connection->posts)) post();
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

int OnConnect(RtmpConnection* c, RtmpStream*, const AmfObject* o) {
  c->connectReceived = true;
  return RtmpConnect(c, o);
}
int OnCreateStream(RtmpConnection* c, RtmpStream*, const AmfObject*) { return CreateStream(c); }
int OnCloseStream(RtmpConnection*, RtmpStream* s, const AmfObject*) {
  if (s) ResetStream(s);
  return 1;
}
int OnDeleteStream(RtmpConnection* c, RtmpStream*, const AmfObject* o) { return DeleteStream(c, o); }
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
    {"chatConnectChat", ChatConnectChat},
    {"chatConnectCourse", ChatConnectCourse},
    {"chatConnectUser", ChatConnectUser},
    {"chatDisconnect", ChatDisconnect},
    {"chatDeviceInfo", ChatDeviceInfo},
    {"chatUserPresenter", ChatUserPresenter},
    {"chatUserActive", ChatUserActive},
    {"chatUserAction", ChatUserAction},
    {"chatRequestText", ChatRequestText},
    {"chatPushMode", ChatPushMode},
    {"chatPushCommand", ChatPushCommand},
    {"chatSendText", ChatSendText},
};

}  // namespace

namespace {

// `run` in the connection's report scope: its address's report budget, and
// the client mistakes it already reported (each reason once per connection).
std::function<void()> InConnectionScope(RtmpConnection* connection, std::function<void()> run) {
  return [address = std::string(connection->address), mistakes = LogPeerScopeMistakes(), run = std::move(run)] {
    // Without a started pool it runs at once, inside the connection's scope.
    if (LogPeerScopeMistakes() != nullptr) return run();
    LogPeerScope scope(address.c_str(), mistakes);
    run();
  };
}

}  // namespace

JobAdmit RtmpConnectionCommandJob(RtmpConnection* connection, std::function<std::function<void()>()> wait) {
  auto job = [connection, box = connection->posts, wait = std::move(wait)] {
    std::function<void()> apply = wait();
    // The connection outlives the post: its teardown applies its pending
    // command jobs before anything is freed, and closes the box after.
    JobPost(box, [connection, apply = std::move(apply)] {
      connection->commandJobs--;
      if (apply) apply();
    });
  };
  const JobAdmit admit =
      JobSubmit(connection->jobs, JobKind::kServer, true, InConnectionScope(connection, std::move(job)));
  if (admit == JobAdmit::kQueued) connection->commandJobs++;
  return admit;
}

void RtmpConnectionCompletionJob(RtmpConnection* connection, std::function<void()> run) {
  JobSubmit(connection->jobs, JobKind::kServer, false, InConnectionScope(connection, std::move(run)));
}

void RtmpConnectionCloseDbLater(RtmpConnection* connection) {
  if (connection->db == nullptr) return;
  // Jobs queued before hold the raw handle: it goes after them.
  RtmpConnectionCompletionJob(connection, [db = connection->db] { DbClose(db); });
  connection->db = nullptr;
}

void RtmpConnectionWake(RtmpConnection* connection) {
  uint64_t one = 1;
  ssize_t n = write(connection->wakeEvent, &one, sizeof one);
  (void)n;
}

bool RtmpConnectionArmRelayTimer(RtmpConnection* connection, uint32_t inMs) {
  const uint32_t due = LiveChannelNow() + inMs;
  const uint32_t armed = connection->relayTimerDue;
  if (armed != 0 && static_cast<int32_t>(armed - due) <= 0) return true;
  int timer = connection->relayTimer.load(std::memory_order_relaxed);
  if (timer == -1) {
    timer = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    // Without it (reported once) every relayed message goes at once.
    if (timer < 0) ReportError("RtmpConnectionArmRelayTimer: timer");
    connection->relayTimer.store(timer < 0 ? -2 : timer, std::memory_order_release);
  }
  if (timer < 0) return false;
  ArmTimer(timer, inMs);
  connection->relayTimerDue = due == 0 ? 1 : due;
  return true;
}

void RtmpConnectionRelayTimerFired(RtmpConnection* connection) {
  connection->relayTimerDue = 0;
  // Only the own thread adds or frees streams: the list is read without
  // its lock once copied.
  std::vector<RtmpStream*> publishers;
  {
    ListLock guard(connection->streams.lock);
    for (ListNode* n = connection->streams.first; n != nullptr; n = n->next) {
      auto* stream = static_cast<RtmpStream*>(n->item);
      if (stream->publishing && stream->channel != 0) publishers.push_back(stream);
    }
  }
  for (RtmpStream* publisher : publishers) LiveChannelSendDue(publisher);
}

RtmpConnection* RtmpConnectionCreate(IncomingConnection* incoming) {
  // Every field has its initialiser: made without value-initialisation, the
  // record is not zeroed once before its initialisers run.
  auto connection = std::make_unique_for_overwrite<RtmpConnection>();
  connection->sites = incoming->config ? &incoming->config->sites : &g_config.sites;
  connection->thread = incoming->thread;
  inet_ntop(AF_INET, &incoming->peer.sin_addr, connection->address, sizeof connection->address);
  CopyText(connection->rtmp.address, connection->address);

  // Small control and status messages must not wait for the peer's delayed
  // acknowledgement: media is paced to the millisecond.
  int noDelay = 1;
  setsockopt(incoming->socket, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
  if (!RtmpContextInit(&connection->rtmp, incoming->socket)) return nullptr;
  incoming->socket = -1;  // the SocketBuffer owns it now
  // One deadline for the whole handshake, counted from the accept: a peer
  // that trickles its bytes gets no fresh wait per read.
  const auto deadline = ServerHandshakeDeadline(incoming);
  connection->rtmp.sockbuf.readDeadline = deadline;
  const bool shaken = SHandShake(&connection->rtmp);
  connection->rtmp.sockbuf.readDeadline = {};
  if (!shaken) {
    if (std::chrono::steady_clock::now() >= deadline) {
      errno = 0;
      ReportError("RTMP handshake from %s not complete within %d s (HandshakeSeconds): closing the connection",
                  connection->address, ServerHandshakeSeconds(incoming));
    }
    RtmpShutdown(&connection->rtmp);
    RtmpContextFree(&connection->rtmp);
    return nullptr;
  }

  connection->wakeEvent = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  // The pacing timer is made when a stream first falls due: an idle or chat
  // connection never holds one.
  if (connection->wakeEvent < 0) {
    ReportError("RtmpConnectionCreate: events");
    RtmpShutdown(&connection->rtmp);
    RtmpContextFree(&connection->rtmp);
    return nullptr;
  }
  connection->jobs = JobQueueMake(connection->address);
  connection->posts = std::make_shared<JobPostBox>();
  {
    MutexLock lock(connection->posts->lock);
    connection->posts->wakeFd = connection->wakeEvent;
  }
  {
    MutexLock lock(connection->rtmp.sendLock);
    RtmpChannelOut(&connection->rtmp, 2);
    RtmpChannelOut(&connection->rtmp, 3);
    // Closed only after the SocketBuffer, so no writer can signal it late.
    connection->rtmp.sockbuf.wakeFd = connection->wakeEvent;
    connection->rtmp.sockbuf.batching = true;
  }
  ListAddTail(&g_connections, connection.get());
  return connection.release();
}

void RtmpConnectionDestroy(RtmpConnection* connection) {
  std::unique_ptr<RtmpConnection> owned(connection);
  ListRemove(&g_connections, connection);
  // Under the room locks, before anything of the record goes: no other
  // thread reaches this connection through a member afterwards.
  LeaveRoom(connection);
  ChatDropBacklog(connection);

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
    RunPosts(connection);
  }

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
    RtmpConnectionCompletionJob(connection, [phpsessid = std::string(connection->session->phpsessid),
                                             host = std::string(SiteHostName(connection->site)), port = LocalWebPort()] {
      WsNotifySessionEnd(port, phpsessid.c_str(), host.c_str(), kWsRequestTimeoutMs);
    });
  }
  RunThumbnailMarks(connection);
  RtmpConnectionCloseDbLater(connection);
  FreeRecord(connection->user);
  connection->user = nullptr;
  FreeRecord(connection->session);
  connection->session = nullptr;
  if (connection->posts != nullptr) JobPostsClose(*connection->posts);

  RtmpPacketFree(&connection->packet);
  RtmpContextFree(&connection->rtmp);
  RtmpShutdown(&connection->rtmp);
  CloseFd(&connection->wakeEvent);
  CloseFd(&connection->pacingTimer);
  // Every stream has left its publishers' lists: no relay arms it any more.
  if (const int timer = connection->relayTimer.exchange(-1); timer >= 0) close(timer);
}

int RtmpConnectionPending(RtmpConnection* connection) {
  // Only what the loop has received counts: the socket itself is asked only
  // when poll() says it has input.
  if (connection->inputNeedsMore) return 0;
  return connection->rtmp.sockbuf.size;
}

int RtmpConnectionProcessInput(RtmpConnection* connection) {
  RtmpPacket& packet = connection->packet;
  // Never waits: a message still incomplete stays in its channel until the
  // loop has received more, and the loop goes on serving meanwhile.
  int read = RtmpReadMessage(&connection->rtmp, &packet);
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
        RtmpShutdown(&connection->rtmp);
        result = 0;
        break;
      }
      SendChunkSize(&connection->rtmp, value);
      RtmpSetChunkSize(&connection->rtmp, value);
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
      if (!RtmpConnectionDispatch(connection, stream)) RtmpShutdown(&connection->rtmp);
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

int RtmpConnectionRun(IncomingConnection* incoming) {
  RtmpConnection* connection = RtmpConnectionCreate(incoming);
  if (connection == nullptr) {
    if (incoming->socket >= 0) close(incoming->socket);
    incoming->socket = -1;
    return 1;
  }
  incoming->connection = connection;

  RtmpContext* r = &connection->rtmp;
  const int keepAliveMs = PeriodMs("STRMD_KEEPALIVE_MS", kKeepAliveMs);
  const int silenceLimitMs = PeriodMs("STRMD_SILENCE_LIMIT_MS", kSilenceLimitMs);
  const int readLimitMs = PeriodMs("STRMD_READ_LIMIT_MS", kSocketReadWaitMs);
  int64_t lastInput = MonotonicMs();      // the peer last sent something
  bool wasGated = false;            // the last pass held input for a command's job
  int64_t incompleteSince = 0;      // a message has been partly received since
  int64_t keepAliveDue = 0;         // the next ping, while the loop waits
  int64_t armedDue = -1;            // what the pacing timer is armed for
  // connect is due this long after the handshake; until then the connection
  // counts against the MaxHandshaking caps.
  const int connectSeconds = ServerConnectSeconds(incoming);
  const int64_t connectDue = MonotonicMs() + int64_t{connectSeconds} * 1000;
  const uintptr_t stackLowest = StackLowest();
  while (RtmpSocketFd(r) != -1) {
    if (r->sockbuf.overflowed) {
      errno = 0;
      ReportError("RTMP output to %s over its cap: closing the connection", connection->address);
      break;
    }
    if (connection->connectReceived) {
      ServerLeaveHandshaking(incoming);
    } else if (MonotonicMs() >= connectDue) {
      errno = 0;
      ReportError("RTMP connection from %s sent no connect within %d s (ConnectSeconds): closing it",
                  connection->address, connectSeconds);
      break;
    }
    // While a command's job is pending, input waits (in the socket), so that
    // answers keep their order; the time does not count as the peer's.
    const bool gated = connection->commandJobs > 0;
    if (gated) {
      wasGated = true;
    } else if (wasGated) {
      wasGated = false;
      lastInput = MonotonicMs();
    }
    if (!gated && RtmpConnectionPending(connection)) {
      if (!RtmpConnectionProcessInput(connection)) break;
      continue;
    }
    const int64_t now = MonotonicMs();
    if (gated || !RtmpInputIncomplete(r)) {
      incompleteSince = 0;
    } else if (incompleteSince == 0) {
      incompleteSince = now;
    } else if (now - incompleteSince >= readLimitMs) {
      errno = 0;
      ReportError("RTMP read limit: %s left a message unfinished for %d ms", connection->address, readLimitMs);
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
    if (wait > 0) {
      int64_t due = now + wait;
      if (connection->pacingTimer < 0 &&
          (connection->pacingTimer = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK)) < 0) {
        ReportError("RtmpConnectionRun: pacing timer");
        break;
      }
      if (due != armedDue) {
        ArmTimer(connection->pacingTimer, wait);
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
    // A ping that fell due while the loop was busy (media, a post) goes now:
    // a connection that paces streams would otherwise skip pings at random.
    if (keepAliveDue != 0 && keepAliveDue <= now) SendUserControl(r, kPingRequest, 0);
    if (keepAliveDue <= now) keepAliveDue = now + keepAliveMs;
    int64_t until = keepAliveDue;
    if (incompleteSince != 0) until = std::min(until, incompleteSince + readLimitMs);
    if (!connection->connectReceived) until = std::min(until, connectDue);

    // The wake event is watched even while the pacing timer runs, so that a
    // relayed packet never waits for a file stream's next tag.
    pollfd fds[4] = {
        {RtmpSocketFd(r),
         static_cast<short>((gated ? 0 : POLLIN | POLLRDHUP) | (RtmpOutputPending(r) ? POLLOUT : 0)), 0},
        {connection->wakeEvent, POLLIN, 0},
        {wait > 0 ? connection->pacingTimer : -1, POLLIN, 0},
        // Relayed media merged with what follows it (RelayMergeMs).
        {connection->relayTimer.load(std::memory_order_acquire), POLLIN, 0},
    };
    int ready = poll(fds, 4, static_cast<int>(std::max<int64_t>(until - now, 0)));
    if (ready < 0) {
      if (errno == EINTR) continue;
      ReportError("WaitForMultipleObjects");
      break;
    }
    if (ready == 0) {
      const int64_t later = MonotonicMs();
      if (incompleteSince != 0 && later - incompleteSince >= readLimitMs) continue;  // reported above
      if (!connection->connectReceived && later >= connectDue) continue;              // reported above
      if (later < keepAliveDue) continue;
      keepAliveDue = later + keepAliveMs;
      if (!gated && later - lastInput > silenceLimitMs) {
        errno = 0;
        ReportError("RTMP Timeout");
        break;
      }
      SendUserControl(r, kPingRequest, 0);
      continue;
    }
    // Before input, which a busy publisher may never stop sending: another
    // connection may be waiting to record a file this one records.
    if (fds[1].revents & POLLIN) {
      ServeRecordingCloseRequests(connection);
      // Drained before the posts are taken: a later post wakes again.
      Drain(connection->wakeEvent);
      RunPosts(connection);
    }
    if (fds[0].revents & POLLOUT) {
      if (!RtmpFlushOutput(r)) break;
    }
    if (gated && (fds[0].revents & (POLLHUP | POLLERR))) break;
    if (!gated && (fds[0].revents & (POLLIN | POLLRDHUP | POLLHUP | POLLERR))) {
      int received = SocketBufferReceive(&r->sockbuf);
      if (received > 0) {
        lastInput = MonotonicMs();
        connection->inputNeedsMore = false;
        continue;
      }
      if (received < 0) break;  // the client closed, or the socket failed
      if (fds[0].revents & (POLLRDHUP | POLLHUP | POLLERR)) break;
    }
    if ((fds[1].revents & POLLIN) || (fds[2].revents & POLLIN) || (fds[3].revents & POLLIN)) {
      if (fds[3].revents & POLLIN) {
        Drain(fds[3].fd);
        RtmpConnectionRelayTimerFired(connection);
      }
      // Re-arming clears a timer that fired, so it is not read: one system
      // call less per message. Forgetting the due time makes the next
      // pass re-arm it.
      if (fds[2].revents & POLLIN) armedDue = -1;
      // A stale wake must not release a file stream's packet early.
      if (RtmpConnectionNextWait(connection) == 0 && !RtmpOutputAboveWatermark(r) &&
          !RtmpConnectionServiceStream(connection))
        break;
      continue;
    }
  }
  if (getenv("STRMD_IO_STATS") != nullptr) {
    MutexLock lock(r->sendLock);
    if (const auto* queue = r->sockbuf.context.get())
      ConsolePrint("io stats %s: messages %llu sendmsg %llu batches %llu\n", connection->address,
                   static_cast<unsigned long long>(queue->messages),
                   static_cast<unsigned long long>(queue->sendCalls),
                   static_cast<unsigned long long>(connection->batches));
  }

  incoming->connection = nullptr;
  RtmpConnectionDestroy(connection);
  return 0;
}
