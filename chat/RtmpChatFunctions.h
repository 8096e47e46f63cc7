// RtmpChatFunctions: the twelve chat commands of a live classroom client, as
// the connection's command table calls them, and the screen-sharing step of
// publish.
//
// Each runs on the thread of the connection that sent the command and sends
// no _result. Arguments start at position 3 of the decoded command. Each
// returns 1 when it did its work, 0 after a failure (reported); the
// dispatcher ignores the value. Locks as in RtmpChat.h: statements run
// before or after the room locks, never under them.
#pragma once

#include "rtmp/Amf.h"

struct Client;
struct RtmpStream;

int ChatConnectChat(Client* client, RtmpStream* stream, const AmfObject* object);
int ChatConnectCourse(Client* client, RtmpStream* stream, const AmfObject* object);
int ChatConnectUser(Client* client, RtmpStream* stream, const AmfObject* object);
int ChatDisconnect(Client* client, RtmpStream* stream, const AmfObject* object);
int ChatDeviceInfo(Client* client, RtmpStream* stream, const AmfObject* object);
int ChatUserPresenter(Client* client, RtmpStream* stream, const AmfObject* object);
int ChatUserActive(Client* client, RtmpStream* stream, const AmfObject* object);
int ChatUserAction(Client* client, RtmpStream* stream, const AmfObject* object);
int ChatSendText(Client* client, RtmpStream* stream, const AmfObject* object);
int ChatRequestText(Client* client, RtmpStream* stream, const AmfObject* object);
int ChatPushMode(Client* client, RtmpStream* stream, const AmfObject* object);
int ChatPushCommand(Client* client, RtmpStream* stream, const AmfObject* object);

// Publish of a stream without a media object by a connection that logged in
// through the stream name (a screen share from a second connection; the
// caller checks the stream): the user's present member, in any room of the
// site, gets its hasscreen flag, and its room hears of it.
void ChatPublishScreen(Client* client);
