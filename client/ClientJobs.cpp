#include "client/ClientJobs.h"

#include <string>
#include <utility>

#include "client/Client.h"
#include "util/Log.h"

namespace {

// `run` in the client's report scope: its address's report budget, and the
// client mistakes it already reported (each reason once per connection).
std::function<void()> InClientScope(Client* client, std::function<void()> run) {
  return [address = std::string(client->address), mistakes = LogPeerScopeMistakes(), run = std::move(run)] {
    // Without a started pool it runs at once, inside the client's scope.
    if (LogPeerScopeMistakes() != nullptr) return run();
    LogPeerScope scope(address.c_str(), mistakes);
    run();
  };
}

}  // namespace

void ClientJobsOpen(Client* client, int wakeFd) {
  client->jobs = JobQueueMake(client->address);
  client->posts = std::make_shared<JobPostBox>();
  MutexLock lock(client->posts->lock);
  client->posts->wakeFd = wakeFd;
}

namespace {

JobAdmit CommandJobOn(Client* client, const JobQueuePtr& queue, std::function<std::function<void()>()> wait,
                      JobKind kind) {
  if (client->posts == nullptr) {
    if (std::function<void()> apply = wait()) apply();
    return JobAdmit::kQueued;
  }
  auto job = [client, box = client->posts, wait = std::move(wait)] {
    std::function<void()> apply = wait();
    // The client outlives the post: its teardown applies its pending
    // command jobs before anything is freed, and closes the box after.
    JobPost(box, [client, apply = std::move(apply)] {
      client->commandJobs--;
      if (apply) apply();
    });
  };
  // The site's cap on client statements per address holds for their jobs too.
  const int perAddress = client->site != nullptr ? client->site->sql_client_per_address : kJobClientSqlPerAddress;
  const JobAdmit admit = JobSubmit(queue, kind, true, InClientScope(client, std::move(job)), perAddress);
  if (admit == JobAdmit::kQueued) client->commandJobs++;
  return admit;
}

}  // namespace

JobAdmit ClientCommandJob(Client* client, std::function<std::function<void()>()> wait, JobKind kind) {
  return CommandJobOn(client, client->jobs, std::move(wait), kind);
}

JobAdmit ClientCommandJobAside(Client* client, std::function<std::function<void()>()> wait, JobKind kind) {
  return CommandJobOn(client, client->posts ? JobQueueMake(client->address) : nullptr, std::move(wait), kind);
}

void ClientCompletionJob(Client* client, std::function<void()> run) {
  JobSubmit(client->jobs, JobKind::kServer, false, InClientScope(client, std::move(run)));
}

void ClientCloseDbLater(Client* client) {
  if (client->db == nullptr) return;
  // Jobs queued before hold the raw handle: it goes after them.
  DbConnection* db = client->db.release();
  ClientCompletionJob(client, [db] { DbClose(db); });
}

void ClientRunPosts(Client* client) {
  if (client->posts == nullptr) return;
  for (std::function<void()>& post : JobPostsTake(*client->posts)) post();
}
