#include "server/SiteLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "util/Log.h"
#include "config/ServerConfig.h"
#include "util/file.h"

namespace {

// The lock files this process holds, by device and inode: two sites of one
// server may share a temp folder, and a second lock of the same file from
// this process would be refused as if another server held it.
std::vector<std::pair<dev_t, ino_t>> g_held;

bool HeldHere(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  for (const auto& h : g_held)
    if (h.first == st.st_dev && h.second == st.st_ino) return true;
  return false;
}

// The process id the holder wrote into the lock file; 0 when unreadable.
long HolderPid(int fd) {
  char text[32] = {};
  ssize_t n = pread(fd, text, sizeof text - 1, 0);
  if (n <= 0) return 0;
  char* end = nullptr;
  long pid = strtol(text, &end, 10);
  return pid > 0 ? pid : 0;
}

enum class SiteLockResult { kLocked, kHeld, kFailed };

SiteLockResult LockSite(const SiteConfig* site) {
  if (site->temp[0] == '\0') return SiteLockResult::kLocked;  // no folder to guard
  FileCreateFolder(site->temp);
  const std::string path = FileSystemPath(site->temp) + "/" + kSiteLockName;
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0640);
  if (fd < 0) {
    ReportError("site %s: cannot open its lock file %s; it is served without one", site->name, path.c_str());
    return SiteLockResult::kFailed;
  }
  if (HeldHere(fd)) {
    close(fd);
    return SiteLockResult::kLocked;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK) {
      ReportError("site %s: cannot lock %s; it is served without a lock", site->name, path.c_str());
      close(fd);
      return SiteLockResult::kFailed;
    }
    long pid = HolderPid(fd);
    close(fd);
    errno = 0;
    ReportError("site %s: its folder is in use by another strmd (process %ld holds %s); this server leaves the "
                "site out",
                site->name, pid, path.c_str());
    return SiteLockResult::kHeld;
  }
  // The descriptor stays open (and locked) for the life of the process.
  char text[32];
  int n = snprintf(text, sizeof text, "%ld\n", static_cast<long>(getpid()));
  if (ftruncate(fd, 0) != 0 || pwrite(fd, text, static_cast<size_t>(n), 0) != n) {
    // Only the holder's id for the reports is missing; the lock stands.
  }
  struct stat st;
  if (fstat(fd, &st) == 0) g_held.emplace_back(st.st_dev, st.st_ino);
  return SiteLockResult::kLocked;
}

}  // namespace

void SiteLockAll(List* sites) {
  ListLock guard(sites->lock);
  for (ListNode* n = sites->first; n != nullptr;) {
    ListNode* next = n->next;
    auto* site = static_cast<SiteConfig*>(n->item);
    if (LockSite(site) == SiteLockResult::kHeld) {
      ListRemoveNode(sites, n);
      delete site;
    }
    n = next;
  }
}
