// RtmpChatFunctions: the twelve chat commands of a live classroom client, as
// the connection's command table calls them, and the screen-sharing step of
// publish.
//
// Each is called on the thread of the connection that sent the command and
// sends no _result. Arguments start at position 3 of the decoded command.
// Each returns 1 when it did (or queued) its work, 0 after a failure
// (reported); the dispatcher ignores the value. Locks as in RtmpChat.h:
// statements run before or after the room locks, never under them.
//
// The commands that wait for the database run no statement on the
// connection's thread: entering a room (chatConnectChat, chatConnectCourse,
// chatConnectUser), chatRequestText, chatSendText and chatPushMode run their
// statements as a command job (client/ClientJobs.h) on a worker, with copies
// of what they need, and apply the result on the connection's thread: the
// join under the room locks, the room described with its texts, the text or
// the course delivered. No
// further input of the connection is handled until that has run; its
// streams, pings and the chat messages of others go on. A full job pool
// fails the command as a failed statement does. An entry is two such jobs:
// the room's load, then (after the join) the texts of the last day and, in
// a course room, the member's own recording.
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
