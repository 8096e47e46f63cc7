#include "client/ClientIdentity.h"

#include <string>
#include <utility>

#include "client/Client.h"

ClientIdentity ClientLoadIdentity(DbConnection* db, std::string_view phpsessid) {
  ClientIdentity identity;
  const std::string id(phpsessid);
  if (!DbIsSessionId(phpsessid)) return identity;
  identity.session = LoadSession(db, "phpsessid='%s'", id.c_str());
  if (identity.session == nullptr) {
    identity.status = IdentityStatus::kNoSession;
    return identity;
  }
  identity.user = LoadUser(db, "id=%d", identity.session->userid);
  identity.status = identity.user != nullptr ? IdentityStatus::kLoaded : IdentityStatus::kNoUser;
  return identity;
}

IdentityStatus ClientSetIdentity(Client& client, ClientIdentity&& identity) {
  RecordPtr<Session> oldSession;
  RecordPtr<User> oldUser;
  {
    ListLock guard(client.streams.lock);  // read by the debug monitor
    oldSession = std::exchange(client.session, std::move(identity.session));
    if (client.session != nullptr) oldUser = std::exchange(client.user, std::move(identity.user));
  }
  return identity.status;
}
