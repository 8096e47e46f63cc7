// Site locks: a site folder is served by one strmd at a time. A server locks
// <temp>/.strmd.lock of every site before it repairs the site's recordings and
// keeps the lock until it ends (the system drops it with a dead process), so
// that a second server never repairs, records into or cleans up after the
// recordings another one has in progress.
#pragma once

#include "util/List.h"

constexpr char kSiteLockName[] = ".strmd.lock";

// Locks the temp folder of every site of `sites` (SiteConfig items), making
// a missing folder. A site whose lock a running server holds is reported with
// that server's process id and removed from the list (and freed). A lock that
// cannot be taken for another reason is reported and the site kept. Start-up
// thread, before any connection exists.
void SiteLockAll(List* sites);
