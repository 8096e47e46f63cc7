// Crash safety of recordings: the journal of a media-object recording, and
// the start-up pass that repairs and completes what a crash left unclosed.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "Database/Database.h"
#include "Database/Record.h"
#include "media/FlvRepair.h"
#include "media/Recording.h"
#include "media/RtmpFile.h"
#include "util/Log.h"
#include "config/ServerConfig.h"
#include "util/file.h"

namespace {

constexpr const char* kJournalPrefix = "strmd-recording-";
constexpr const char* kJournalSuffix = ".journal";
constexpr const char* kJournalFirstLine = "strmd recording journal";
constexpr const char* kSessionPrefix = "phpsessid=";
constexpr const char* kFlvSuffix = ".flv";
// A journal is a few lines; anything larger is not one of ours.
constexpr size_t kMaxJournalSize = 16384;

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool EndsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// Paths come from the database and may hold any byte but NUL: one value per
// line needs control characters and '%' escaped.
std::string Escape(std::string_view text) {
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f || c == '%') {
      char hex[4];
      snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    } else {
      out += char(c);
    }
  }
  return out;
}

std::string Unescape(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && isxdigit(static_cast<unsigned char>(text[i + 1])) &&
        isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out += char(strtol(std::string(text.substr(i + 1, 2)).c_str(), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t put = write(fd, bytes.data(), bytes.size());
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    bytes.remove_prefix(size_t(put));
  }
  return true;
}

void SyncFolder(const std::string& folder) {
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

struct Journal {
  std::string flv;
  int32_t objectId = 0;
  int32_t rowId = 0;
};

bool ReadJournal(const std::string& path, Journal* journal) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    text.append(buffer, size_t(got));
    if (text.size() > kMaxJournalSize) break;
  }
  close(fd);
  if (text.size() > kMaxJournalSize || !StartsWith(text, kJournalFirstLine)) return false;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + at, end - at);
    at = end + 1;
    if (StartsWith(line, "flv=")) journal->flv = Unescape(line.substr(4));
    if (StartsWith(line, "object=")) journal->objectId = atoi(std::string(line.substr(7)).c_str());
    if (StartsWith(line, "row=")) journal->rowId = atoi(std::string(line.substr(4)).c_str());
  }
  return !journal->flv.empty() && journal->objectId != 0;
}

// "questionid=N" and "bookmarkid=N" are the finished files' own names.
bool IsFinishedName(std::string_view rest) {
  for (std::string_view key : {"questionid=", "bookmarkid="}) {
    if (!StartsWith(rest, key) || rest.size() == key.size()) continue;
    bool digits = true;
    for (char c : rest.substr(key.size())) digits = digits && (isdigit(static_cast<unsigned char>(c)) || c == '-');
    if (digits) return true;
  }
  return false;
}

// "temp=%08x": the output of a merge that a crash interrupted.
bool IsEditOutputName(std::string_view rest) {
  if (rest.size() != 13 || !StartsWith(rest, "temp=")) return false;
  for (char c : rest.substr(5))
    if (!isxdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

void LogRepair(const char* path, const FlvRepairResult& r) {
  LogToFile("recovery", "Recording %s repaired: %u tags (%u audio, %u video), %u ms kept, %llu bytes dropped",
            path, r.tags, r.audioTags, r.videoTags, r.lastTimestamp,
            static_cast<unsigned long long>(r.bytesDropped));
}

// Repairs the file when it was left unclosed; false when it is unusable.
bool RepairIfNeeded(const char* path, FlvRepairResult* result) {
  if (!FlvRepair(path, result)) {
    errno = 0;
    ReportError("Recording %s could not be repaired: %s", path, result->error.c_str());
    return false;
  }
  if (result->repaired) LogRepair(path, *result);
  return true;
}

}  // namespace

std::string RecordingJournalCreate(const char* temp, const char* flvPath, int32_t objectId, int32_t rowId) {
  static std::atomic<uint32_t> serial{0};
  const std::string folder = FileSystemPath(temp != nullptr ? temp : "");
  const std::string path = folder + "/" + kJournalPrefix + std::to_string(getpid()) + "-" +
                           std::to_string(serial.fetch_add(1)) + kJournalSuffix;
  const std::string text = std::string(kJournalFirstLine) + "\nflv=" + Escape(flvPath) +
                           "\nobject=" + std::to_string(objectId) + "\nrow=" + std::to_string(rowId) + "\n";
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  bool ok = fd >= 0 && WriteAll(fd, text) && fsync(fd) == 0;
  if (fd >= 0) close(fd);
  if (!ok) {
    ReportError("Recording journal %s could not be written; a crash would leave %s unrepaired", path.c_str(),
                flvPath);
    unlink(path.c_str());
    return "";
  }
  SyncFolder(folder);
  return path;
}

void RecordingJournalRemove(const std::string& journalPath) {
  if (!journalPath.empty()) unlink(journalPath.c_str());
}

std::vector<RecoveredObject> RecoverSiteRecordings(const SiteConfig* site) {
  std::vector<RecoveredObject> objects;
  if (site == nullptr || site->temp[0] == '\0') return objects;
  const std::string folder = FileSystemPath(site->temp);
  std::vector<std::string> names;
  if (DIR* dir = opendir(folder.c_str())) {
    while (dirent* entry = readdir(dir)) names.emplace_back(entry->d_name);
    closedir(dir);
  } else {
    return objects;
  }

  for (const std::string& name : names) {
    const std::string path = folder + "/" + name;
    if (StartsWith(name, kJournalPrefix) && EndsWith(name, kJournalSuffix)) {
      Journal journal;
      if (!ReadJournal(path, &journal)) {
        errno = 0;
        ReportError("Recording journal %s is unreadable; left in place", path.c_str());
        continue;
      }
      RecoveredObject object{path, journal.objectId, journal.rowId, 0};
      FlvRepairResult result;
      if (FileExists(journal.flv.c_str())) {
        if (!RepairIfNeeded(journal.flv.c_str(), &result)) continue;
        object.keptMs = result.lastTimestamp;
      }
      // Indexes built from the file while it was recorded no longer match it.
      PathText index;
      if (IndexPathOf(index, journal.flv.c_str())) FileDelete(index);
      if (ObjectIndexPath(index, site->cache, journal.objectId)) FileDelete(index);
      objects.push_back(object);
      continue;
    }
    if (!StartsWith(name, kSessionPrefix) || !EndsWith(name, kFlvSuffix)) continue;
    const std::string_view inner =
        std::string_view(name).substr(strlen(kSessionPrefix), name.size() - strlen(kSessionPrefix) - strlen(kFlvSuffix));
    const size_t amp = inner.find('&');
    if (amp == std::string_view::npos) continue;  // a finished plain recording
    const std::string phpsessid(inner.substr(0, amp));
    const std::string rest(inner.substr(amp + 1));
    if (!FileExists(path.c_str())) continue;
    if (IsEditOutputName(rest)) {
      // The earlier file and the recording it merged are both still there.
      FileDelete(path.c_str());
      LogToFile("recovery", "Removed %s, the output of an interrupted merge", path.c_str());
      continue;
    }
    FlvRepairResult result;
    if (FlvHasZeroHeader(path.c_str()) && !RepairIfNeeded(path.c_str(), &result)) continue;
    if (IsFinishedName(rest)) continue;
    // A recording in progress, or one whose placing a crash (or a failure)
    // cut short: placed now, as its close would have.
    if (FinishSessionRecordingFiles(site->temp, phpsessid.c_str(), rest.c_str()))
      LogToFile("recovery", "Recording %s placed into its final file", path.c_str());
  }
  return objects;
}

void CompleteRecoveredObjects(const SiteConfig* site, const std::vector<RecoveredObject>& objects) {
  if (objects.empty()) return;
  DbConnectionPtr db(DbOpen(site));
  for (const RecoveredObject& object : objects) {
    if (DbExecute(db.get(), "update Object set scanstatus=%d where id=%d", kScanNewFile, object.objectId) != 1)
      continue;  // the journal stays: the next start tries again
    // Only a row still open: a close that got this far already added its time.
    if (object.rowId != 0 && LoadRecordSession(db.get(), "id=%d and status=%d", object.rowId, kSessionOpen))
      DbUpdate(db.get(), "update RecordSession set status=%d, duration=duration+%d where id=%d", kSessionClosed,
               static_cast<int32_t>(object.keptMs / 1000), object.rowId);
    RecordingJournalRemove(object.journal);
    LogToFile("recovery", "Object %d marked for processing after its recording was repaired", object.objectId);
  }
}

void RecoverRecordings(List* sites) {
  std::vector<std::pair<const SiteConfig*, std::vector<RecoveredObject>>> pending;
  {
    ListLock guard(sites->lock);
    for (ListNode* n = sites->first; n != nullptr; n = n->next) {
      const auto* site = static_cast<const SiteConfig*>(n->item);
      std::vector<RecoveredObject> objects = RecoverSiteRecordings(site);
      if (!objects.empty()) pending.emplace_back(site, std::move(objects));
    }
  }
  // The configuration lives as long as the process.
  for (auto& entry : pending)
    std::thread([site = entry.first, objects = std::move(entry.second)] { CompleteRecoveredObjects(site, objects); })
        .detach();
}
