// Model commands: loadmodel, savemodel, createmodel and deletemodel let a
// client read and write the platform's records. Their statements run as a
// job of the connection (of the clients' share of the workers) on the
// connection's database; the reply, and a replaced session and user, are
// applied on the connection's own thread.
#pragma once

#include "rtmp/Amf.h"

struct Client;

enum RtmpModelKind { kModelLoad = 1, kModelSave = 2, kModelCreate = 3, kModelDelete = 4 };

// Handles one model command; its reply is sent once its job has run (at
// once when the pool is full: as a failed statement). Returns 1.
int RtmpModelCommand(Client* client, const AmfObject* object, int kind);
