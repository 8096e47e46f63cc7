// Model commands: loadmodel, savemodel, createmodel and deletemodel let a
// client read and write the platform's records. Run on the connection's own
// thread; they use the connection's database and may replace its session and
// user.
#pragma once

#include "rtmp/Amf.h"

struct Client;

enum RtmpModelKind { kModelLoad = 1, kModelSave = 2, kModelCreate = 3, kModelDelete = 4 };

// Handles one model command and sends its reply. Returns 1.
int RtmpModelCommand(Client* client, const AmfObject* object, int kind);
