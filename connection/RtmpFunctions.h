// The connect command and the message builders with which every part of the
// server answers a client: protocol control messages, `_result`, `_error`,
// onStatus and onMetaData.
//
// Each builder lays out one complete message and sends it with
// RtmpWriteMessage, which takes the connection's send lock: any thread may
// call them. Each returns 1 when the message was sent (or queued), 0 when the
// send failed (the connection is then closed).
#pragma once

#include <cstdint>
#include <string_view>

#include "rtmp/Amf.h"
#include "rtmp/RtmpCore.h"

struct RtmpConnection;
struct RtmpStream;

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

// "_result", the connection's transactionId, null, `number`.
int SendResult(RtmpConnection* connection, double number);
// "_error", the connection's transactionId, null, {level "error", code,
// description}: a command we could not carry out.
int SendError(RtmpConnection* connection, const char* code, const char* description);
int SendConnectResult(RtmpConnection* connection);
// "error" for a code whose last part ends in Failed, NotFound, BadName,
// Rejected or NoAccess (a failure a client must not wait out), else "status".
const char* StatusLevel(std::string_view code);
// onStatus {level StatusLevel(code), code, description} on the stream's data
// channel.
int SendStatus(RtmpStream* stream, const char* code, const char* description);
// onMetaData of the stream's media (the file part only while a file is open).
// Grows its buffer as the title, picture and segments need, so it is never
// written past.
int SendMetaData(RtmpStream* stream);

// The connect command: reads the client's parameters, opens the session with
// the client, chooses the site and opens its database. Returns 1.
int RtmpConnect(RtmpConnection* connection, const AmfObject* object);
