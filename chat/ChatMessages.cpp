#include "chat/ChatMessages.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "client/ClientLink.h"
#include "rtmp/RtmpCore.h"
#include "util/Clock.h"
#include "util/ThreadSafety.h"
#include "util/file.h"

namespace {

// The avatars looked at, by file. Only the refresher and ChatAvatarOf look
// at the disk, never under this lock or a room's.
struct AvatarCache {
  Mutex lock;
  std::unordered_map<std::string, std::shared_ptr<ChatAvatar>> byPath GUARDED_BY(lock);
  // byPath is swept of the avatars no member holds when it grows past this.
  size_t sweepAt GUARDED_BY(lock) = kChatAvatarCacheSize;
};

AvatarCache& Avatars() {
  // Never destroyed: the refresher may still run while the process exits.
  static AvatarCache* cache = new AvatarCache;
  return *cache;
}

void LookAt(ChatAvatar* avatar) {
  avatar->exists = FileExists(avatar->path.c_str());
  avatar->checkedMs = MonotonicMs();
}

bool Stale(const ChatAvatar& avatar, int64_t now) { return now - avatar.checkedMs.load() >= kChatAvatarRefreshMs; }

// Looks again at every avatar a member holds, once per refresh period.
[[noreturn]] void RefreshAvatars() {
  AvatarCache& cache = Avatars();
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kChatAvatarRefreshMs));
    std::vector<std::shared_ptr<ChatAvatar>> held;
    {
      MutexLock guard(cache.lock);
      for (const auto& [path, avatar] : cache.byPath)
        if (avatar.use_count() > 1) held.push_back(avatar);
    }
    const int64_t now = MonotonicMs();
    for (const std::shared_ptr<ChatAvatar>& avatar : held)
      if (Stale(*avatar, now)) LookAt(avatar.get());
  }
}

}  // namespace

std::shared_ptr<const ChatAvatar> ChatAvatarOf(const SiteConfig* site, int32_t userid) {
  if (site == nullptr) return nullptr;
  static std::once_flag refresher;
  std::call_once(refresher, [] { std::thread(RefreshAvatars).detach(); });
  std::string path = std::string(site->files) + "\\avatar-" + std::to_string(userid) + ".png";
  AvatarCache& cache = Avatars();
  std::shared_ptr<ChatAvatar> avatar;
  bool fresh = false;
  {
    MutexLock guard(cache.lock);
    auto found = cache.byPath.find(path);
    if (found != cache.byPath.end()) {
      avatar = found->second;
    } else {
      if (cache.byPath.size() >= cache.sweepAt) {
        std::erase_if(cache.byPath, [](const auto& entry) { return entry.second.use_count() == 1; });
        // Held ones stay: sweep again only once as many more came.
        cache.sweepAt = std::max(kChatAvatarCacheSize, 2 * cache.byPath.size());
      }
      avatar = std::make_shared<ChatAvatar>();
      avatar->path = std::move(path);
      cache.byPath.emplace(avatar->path, avatar);
      fresh = true;
    }
  }
  if (fresh || Stale(*avatar, MonotonicMs())) LookAt(avatar.get());
  return avatar;
}

int ChatSend(ClientLink* to, const ChatMessage& message) {
  if (to == nullptr || to->closing.load() || !message.body || message.size == 0 || message.size > kChatBodySize)
    return 0;
  // Queued by reference, never copied.
  return RtmpSendCommand(&to->rtmp, {message.body.get(), message.size}, message.body);
}
