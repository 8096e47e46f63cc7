#include "media/RtmpStream.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "Database/Database.h"
#include "Database/Record.h"
#include "chat/RtmpChatFunctions.h"
#include "client/Client.h"
#include "client/ClientIdentity.h"
#include "client/ClientJobs.h"
#include "media/RtmpChannel.h"
#include "config/Admission.h"
#include "rtmp/RtmpFunctions.h"
#include "util/Log.h"
#include "util/ThreadSafety.h"

List g_streams;

namespace {

int32_t ArgInt(const AmfObject* object, int index) { return AmfPropInt32(AmfObjectGet(object, {}, index)); }

void ReadNameParams(RtmpStream* stream) {
  std::string_view name(stream->name);
  // Other connections' matching reads them.
  LiveChannelSetIdentity(stream, QueryParamInt(name, "fileid="), QueryParamInt(name, "userid="),
                         QueryParamInt(name, "channel="));
}

RtmpStream* FindStreamById(Client* client, int32_t id) {
  ListLock guard(client->streams.lock);
  for (ListNode* n = client->streams.first; n != nullptr; n = n->next) {
    auto* stream = static_cast<RtmpStream*>(n->item);
    if (stream->id == id) return stream;
  }
  return nullptr;
}

// The rest of a play, once what it waited for is there: today's answers.
void FinishPlay(RtmpStream* stream, int32_t start, PlayResolved& resolved) {
  PlayResolvedApply(stream, resolved);
  if (stream->channel == 0) {
    if (!resolved.found || !OpenPlayFileIndexed(stream, resolved.flvPath, resolved.indexPath, start,
                                                std::move(resolved.entries), resolved.indexLoaded)) {
      SendStatus(stream, "NetStream.Play.StreamNotFound", "not found");
      return;
    }
    SendUserControl(stream->rtmp, kStreamIsRecorded, static_cast<uint32_t>(stream->id));
  } else {
    SubscribePlayer(stream);
  }
  SendUserControl(stream->rtmp, kStreamBegin, static_cast<uint32_t>(stream->id));
  SendStatus(stream, "NetStream.Play.Start", "start");
}

void CloseStreamFile(RtmpStream* stream) {
  if (!stream->file.open) return;
  if (stream->file.file.IsWrite()) {
    CloseRecording(stream);
  } else {
    EmptyQueue(stream);
    ClosePlayback(stream);
  }
}

}  // namespace

const char* LoadIdentityByName(DbConnection* db, const char* name, const char* address, RecordPtr<Session>* session,
                               RecordPtr<User>* user) {
  char phpsessid[kTextSize];
  StreamParam(name, "phpsessid=", phpsessid);
  ClientIdentity identity = ClientLoadIdentity(db, phpsessid);
  *session = std::move(identity.session);
  *user = std::move(identity.user);
  if (identity.status == IdentityStatus::kBadId || identity.status == IdentityStatus::kNoSession) {
    REPORT_CLIENT_ASSERT("stream->connection->session", "RtmpFunctions", address, name, "session not found");
    return "session not found";
  }
  if (identity.status == IdentityStatus::kNoUser) {
    REPORT_CLIENT_ASSERT("stream->connection->user", "RtmpFunctions", address, name, "user not found");
    return "user not found";
  }
  return nullptr;
}

size_t StreamParam(std::string_view name, const char* key, std::span<char> out) {
  if (out.empty()) return 0;
  const std::string_view value = QueryParam(name, key);
  const size_t n = std::min(value.size(), out.size() - 1);
  if (n > 0) memcpy(out.data(), value.data(), n);
  out[n] = '\0';
  return n;
}

double StreamParamDouble(std::string_view name, const char* key) {
  char value[kTextSize];
  StreamParam(name, key, value);
  return atof(value);
}

RtmpStream* CreateStreamRecord(Client* client) {
  auto stream = std::make_unique<RtmpStream>();
  RtmpContext* r = &client->link->rtmp;
  stream->audioChannel = RtmpChannelTake(r);
  stream->videoChannel = stream->audioChannel ? RtmpChannelTake(r) : 0;
  stream->dataChannel = stream->videoChannel ? RtmpChannelTake(r) : 0;
  if (stream->dataChannel == 0) {
    // A stream without channels could never send: create nothing.
    RtmpChannelRelease(r, stream->audioChannel);
    RtmpChannelRelease(r, stream->videoChannel);
    return nullptr;
  }
  stream->id = ++client->nextStreamId;
  stream->site = client->site;
  stream->client = client;
  stream->browser = client->browser;
  stream->link = client->link;
  stream->rtmp = r;
  stream->input.stream = stream.get();
  stream->output.stream = stream.get();
  ListAddTail(&client->streams, stream.get());
  ListAddTail(&g_streams, stream.get());
  return stream.release();
}

RtmpStream* FindStream(Client* client, int32_t id, int32_t messageStreamId) {
  ListLock guard(client->streams.lock);
  for (ListNode* n = client->streams.first; n != nullptr; n = n->next) {
    auto* stream = static_cast<RtmpStream*>(n->item);
    if (stream->id == id || stream->id == messageStreamId) return stream;
  }
  return nullptr;
}

void ResetStream(RtmpStream* stream) {
  if (stream->playing) StopOutput(stream);
  if (stream->publishing) {
    // Its players receive nothing more; a later publish collects them again.
    LiveChannelStopPublishing(stream);
    ReleaseSpeex(stream);
  }
  if (stream->file.open) {
    if (stream->file.file.IsWrite())
      CloseRecording(stream);
    else
      ClosePlayback(stream);
  }
  stream->playing = false;
  stream->publishing = false;
  LiveChannelSetIdentity(stream, 0, 0, 0);
  ListLock guard(stream->client->streams.lock);  // the debug monitor reads names under it
  stream->name[0] = '\0';
}

void FreeStream(RtmpStream* stream) {
  std::unique_ptr<RtmpStream> owned(stream);
  Client* client = stream->client;
  ListRemove(&g_streams, stream);
  {
    ListLock guard(client->streams.lock);
    if (client->nextStream == stream) client->nextStream = nullptr;
    ListRemove(&client->streams, stream);
  }
  ResetStream(stream);
  EmptyQueue(stream);
  RtmpChannelRelease(stream->rtmp, stream->audioChannel);
  RtmpChannelRelease(stream->rtmp, stream->videoChannel);
  RtmpChannelRelease(stream->rtmp, stream->dataChannel);
}

int DeleteStream(Client* client, const AmfObject* object, int32_t messageStreamId) {
  RtmpStream* stream = FindStream(client, ArgInt(object, 3), messageStreamId);
  if (stream) FreeStream(stream);
  return 1;
}

int Play(RtmpStream* stream, const AmfObject* object) {
  Client* client = stream->client;
  // A busy server refuses before it opens anything; what the stream plays
  // now goes on.
  char name[kTextSize];
  AmfPropCopyText(AmfObjectGet(object, {}, 3), name);  // cut as the stream's name will be
  const bool live = QueryParamInt(name, "channel=") != 0;
  if (DebugAdmitRefuses(live ? DebugWork::kLivePlay : DebugWork::kRecordedPlay)) {
    SendStatus(stream, "NetStream.Play.Failed", "server busy");
    return 1;
  }
  // Opening a second file over the first would leak its handle and index.
  if (stream->file.open) EmptyQueue(stream);
  CloseStreamFile(stream);
  // A player of another channel leaves it, with what it had queued.
  if (stream->playing && stream->channel != 0) StopOutput(stream);
  stream->playing = true;
  stream->output.paused = false;
  {
    ListLock guard(client->streams.lock);  // the debug monitor reads names under it
    AmfPropCopyText(AmfObjectGet(object, {}, 3), stream->name);
  }
  int32_t start = ArgInt(object, 4);
  ReadNameParams(stream);

  // A player that did not log in through a model command names its web
  // session in the stream name. Without one it still plays, unaccounted.
  char phpsessid[kTextSize];
  const bool loadIdentity = client->user == nullptr && StreamParam(stream->name, "phpsessid=", phpsessid) > 0;
  if (stream->channel != 0 && !loadIdentity) {
    PlayResolved nothing;
    FinishPlay(stream, start, nothing);
    return 1;
  }
  // The row of an earlier play or recording on this stream must not receive
  // this one's time, nor this one start from its clock.
  if (stream->channel == 0) stream->timing = SessionTiming{};
  PlayRequest request = PlayRequestOf(stream);
  request.loadIdentity = loadIdentity;
  request.resolveFile = stream->channel == 0;
  // The statements, the index and the row wait on the job pool; this
  // connection's other streams go on meanwhile.
  const int32_t id = stream->id;
  const JobAdmit admit =
      ClientCommandJob(client, [request = std::move(request), client, id, start] {
        auto resolved = std::make_shared<PlayResolved>();
        PlayResolve(request, *resolved);
        return std::function<void()>([client, id, start, resolved] {
          // Input waited for this: the stream is still there unless the
          // connection ends, whose teardown applies this first.
          if (RtmpStream* s = FindStreamById(client, id)) FinishPlay(s, start, *resolved);
        });
      });
  if (admit == JobAdmit::kFull) SendStatus(stream, "NetStream.Play.StreamNotFound", "not found");
  return 1;
}

int Seek(RtmpStream* stream, const AmfObject* object) {
  int32_t t = ArgInt(object, 3);
  SeekStream(stream, t < 0 ? 0 : static_cast<uint32_t>(t));
  return 1;
}

int Pause(RtmpStream* stream, const AmfObject* object) {
  PauseStream(stream, AmfPropIsTrue(AmfObjectGet(object, {}, 3)));
  return 1;
}

namespace {

// A publish that records nothing: the reason to the client, the stream as
// before. A client's mistake was reported where it was found, with this reason.
void RefusePublish(RtmpStream* stream, RecordingCreate created, const char* why) {
  if (why != kRecordingServerBusy) ReportClientMistake(stream->client->address, stream->name, why, "PUBLISH refused");
  SendStatus(stream, created == RecordingCreate::kBadName ? "NetStream.Publish.BadName" : "NetStream.Publish.Failed",
             why);
  ResetStream(stream);
}

// The rest of a publish, once what it waited for is there: today's answers.
void FinishPublish(RtmpStream* stream, PublishPrepared& prepared) {
  Client* client = stream->client;
  if (prepared.identityLoaded) {
    PlayResolved loaded;
    loaded.identityLoaded = true;
    loaded.session = std::move(prepared.session);
    loaded.user = std::move(prepared.user);
    PlayResolvedApply(stream, loaded);
    // A client waiting for an answer gets one: nothing is recorded.
    if (prepared.missing != nullptr) {
      SendStatus(stream, "NetStream.Publish.BadName", prepared.missing);
      return;
    }
    if (stream->fileid == 0) {
      LiveChannelSetIdentity(stream, stream->fileid, client->user->id, stream->channel);
      ChatPublishScreen(client);
    }
  }
  // A publisher that logged in through the name goes on like one that
  // logged in before: without a decoder its audio could not be detected.
  if (stream->channel != 0) {
    LiveChannelSetIdentity(stream, stream->fileid, client->user->id, stream->channel);
    PrepareSpeex(stream);
    CollectPlayers(stream);
  }
  if (stream->channel == 0 || stream->fileid != 0) {
    if (prepared.nameRefused) {
      ReportClientMistake(client->address, stream->name, "name not allowed",
                          "PUBLISH refused: the name cannot name a recording in the temp folder");
      SendStatus(stream, "NetStream.Publish.BadName", "name not allowed");
      return;
    }
    if (prepared.created != RecordingCreate::kCreated) {
      RefusePublish(stream, prepared.created, prepared.why);
      return;
    }
    // Start only once the file is there: a client told otherwise would
    // record into nothing.
    CreateRecordingLater(stream, std::move(prepared.target),
                         [](RtmpStream* s, RecordingCreate created, const char* why) {
                           if (created != RecordingCreate::kCreated) {
                             RefusePublish(s, created, why);
                             return;
                           }
                           SendStatus(s, "NetStream.Publish.Start", "start");
                         });
    return;
  }
  SendStatus(stream, "NetStream.Publish.Start", "start");
}

}  // namespace

int Publish(RtmpStream* stream, const AmfObject* object) {
  Client* client = stream->client;
  if (DebugAdmitRefuses(DebugWork::kPublish)) {
    SendStatus(stream, "NetStream.Publish.Failed", "server busy");
    return 1;
  }
  // A recording still open on the stream is completed as its close would
  // have: reopening over it would leave it without a header.
  CloseStreamFile(stream);
  // A channel publisher publishing anew starts with a fresh list.
  if (stream->publishing) {
    LiveChannelStopPublishing(stream);
    ReleaseSpeex(stream);
  }
  stream->publishing = true;
  const AmfProperty* nameArgument = AmfObjectGet(object, {}, 3);
  {
    ListLock guard(client->streams.lock);  // the debug monitor reads names under it
    AmfPropCopyText(nameArgument, stream->name);
  }
  ReadNameParams(stream);
  LiveChannelSetIdentity(stream, stream->fileid, 0, stream->channel);
  PublishRequest request;
  request.loadIdentity = client->user == nullptr;
  request.records = stream->channel == 0 || stream->fileid != 0;
  if (!request.loadIdentity && !request.records) {
    PublishPrepared nothing;
    FinishPublish(stream, nothing);
    return 1;
  }
  // The statements, the hand-over of the file and its opening wait on the
  // job pool; this connection's other streams go on meanwhile.
  request.site = stream->site;
  request.db = client->db.get();
  request.name = stream->name;
  const AmfText sent = AmfPropString(nameArgument);
  request.sent.assign(sent.data, sent.length);
  request.address = client->address;
  if (client->session != nullptr) {
    request.hasSession = true;
    request.phpsessid = client->session->phpsessid ? client->session->phpsessid : "";
  }
  const int32_t id = stream->id;
  const JobAdmit admit = ClientCommandJob(client, [request = std::move(request), client, id] {
    auto prepared = std::make_shared<PublishPrepared>();
    PublishPrepare(request, *prepared);
    return std::function<void()>([client, id, prepared] {
      // Input waited for this: the stream is still there unless the
      // connection ends, whose teardown applies this first.
      if (RtmpStream* s = FindStreamById(client, id)) FinishPublish(s, *prepared);
    });
  });
  if (admit == JobAdmit::kFull) RefusePublish(stream, RecordingCreate::kFailed, kRecordingServerBusy);
  return 1;
}
