// ClientIdentity: who a client is, its web session and that session's user,
// loaded from a PHP session id and set into the Client in one place.
#pragma once

#include <string_view>

#include "Database/Record.h"

struct Client;
struct DbConnection;

enum class IdentityStatus {
  kLoaded,     // session and user
  kBadId,      // not a PHP session id: no statement was run
  kNoSession,  // no session with that id
  kNoUser,     // the session's user is missing
};

struct ClientIdentity {
  RecordPtr<Session> session;
  RecordPtr<User> user;
  IdentityStatus status = IdentityStatus::kBadId;
};

// Loads the session named by `phpsessid` and its user. The identifier goes
// between quotes in a statement: anything but a well-formed one is refused
// before any SQL. Touches no Client.
ClientIdentity ClientLoadIdentity(DbConnection* db, std::string_view phpsessid);

// The one writer of a client's session and user (owner thread), under the
// lock the debug monitor reads them with. The old records are freed:
//   bad id or no session: session none, the user stays as it was;
//   no user: the new session, user none;
//   loaded: both new.
// Returns the status.
IdentityStatus ClientSetIdentity(Client& client, ClientIdentity&& identity);
