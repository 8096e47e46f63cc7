// The message builders with which every part of the server answers a
// client: protocol control messages, `_result`, `_error`, onStatus and
// onMetaData. They know the protocol context only: the caller names the
// transaction, chunk stream and message stream.
//
// Each builder lays out one complete message and sends it with
// RtmpWriteMessage, which takes the connection's send lock: any thread may
// call them. Each returns 1 when the message was sent (or queued), 0 when the
// send failed (the connection is then closed).
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "rtmp/Amf.h"
#include "rtmp/RtmpCore.h"

// Largest body of the small builders (the metadata builder grows past it).
constexpr uint32_t kBuilderBodySize = 4078;

constexpr uint32_t kConnectWindowAckSize = 2500000;
constexpr uint32_t kConnectPeerBandwidth = 2500000;
constexpr uint8_t kPeerBandwidthDynamic = 2;

enum UserControlEvent : uint16_t {
  kStreamBegin = 0,
  kStreamEOF = 1,
  kSetBufferLength = 3,
  kStreamIsRecorded = 4,
  kPingRequest = 6,
};

int SendChunkSize(RtmpContext* r, uint32_t value);
int SendAcknowledgement(RtmpContext* r, uint32_t value);
int SendUserControl(RtmpContext* r, uint16_t event, uint32_t value);
int SendWindowAckSize(RtmpContext* r, uint32_t size);
int SendPeerBandwidth(RtmpContext* r, uint32_t size, uint8_t limitType);

// "_result", the command's transaction id, null, `number`.
int SendResult(RtmpContext* r, double txn, double number);
// "_error", the command's transaction id, null, {level "error", code,
// description}: a command we could not carry out.
int SendError(RtmpContext* r, double txn, const char* code, const char* description);
// "error" for a code whose last part ends in Failed, NotFound, BadName,
// Rejected or NoAccess (a failure a client must not wait out), else "status".
const char* StatusLevel(std::string_view code);
// onStatus {level StatusLevel(code), code, description} on a stream's data
// chunk stream and message stream.
int SendStatusOn(RtmpContext* r, int32_t chunkChannel, int32_t streamId, const char* code,
                 const char* description);

// What onMetaData tells of a stream's media.
struct StreamMetaSegment {
  int64_t start = 0;
  int64_t end = 0;
};
struct StreamMetaData {
  const char* title = "";
  const char* picture = "";
  int32_t objectId = 0, authorId = 0, parentId = 0, masterId = 0;
  bool hasAudio = false, hasVideo = false;
  uint32_t audioCodecId = 0;  // sent as audiocodecid when not 0
  // The file part (duration, size, segments) only while a file is open.
  bool fileOpen = false;
  uint32_t duration = 0;  // ms
  uint64_t size = 0;
  std::span<const StreamMetaSegment> segments;
};
// onMetaData on a stream's data chunk stream and message stream. Grows its
// buffer as the title, picture and segments need, so it is never written
// past.
int SendMetaDataOn(RtmpContext* r, int32_t chunkChannel, int32_t streamId, const StreamMetaData& meta);
