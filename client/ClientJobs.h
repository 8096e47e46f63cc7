// ClientJobs: a client's work that waits (statements, index builds, placing
// a recording's files, the web notice) runs on the job pool (util/JobPool.h),
// in the client's order, and what it finds is applied on the client's own
// thread from its posts.
//
// Who touches what: the owner thread submits, applies the posts and counts
// `commandJobs`; the pool's workers run the waiting parts, which touch no
// Client or stream, only what they captured.
#pragma once

#include <functional>

#include "util/JobPool.h"

struct Client;

// Makes the client's job queue and post box; the box signals `wakeFd`.
void ClientJobsOpen(Client* client, int wakeFd);
// A command's waiting part on the job pool: `wait` runs on a worker and
// returns the part that applies its result on the client's thread; until
// that has run, no further input of the client is handled. kFull when the
// pool is full: nothing runs, and the caller answers as a failure of the
// command. Work that runs the client's own SQL is of kind kClientSql, so
// that it gets only its share of the workers, and at most its site's
// sql_client_per_address of them for the client's address. A client
// without a post box (tools, unit tests) runs both parts at once.
JobAdmit ClientCommandJob(Client* client, std::function<std::function<void()>()> wait,
                          JobKind kind = JobKind::kServer);
// The same outside the client's order, on a queue of its own: for a wait on
// another client (a recording's hand-over), while this client's own jobs,
// which the other may be waiting for, go on.
JobAdmit ClientCommandJobAside(Client* client, std::function<std::function<void()>()> wait, JobKind kind);
// Work that completes what the client did (accounting, marks, the end of
// session notice): never refused, not waited for, nothing applied afterwards.
void ClientCompletionJob(Client* client, std::function<void()> run);
// The client's database handle is closed after every job queued so far.
void ClientCloseDbLater(Client* client);
// Applies the results the client's jobs posted, oldest first (owner thread).
void ClientRunPosts(Client* client);
