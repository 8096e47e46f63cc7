// What the rooms need of the client messages below the message builders:
// the bound of one message, the members' avatars, and the sending of a built
// message to one receiver. Any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "chat/ChatRecords.h"


// Largest body of a chat message: every text in it is cut to 1023
// characters, and the longest (ReceiveUserUpdate) has four of them.
constexpr uint32_t kChatBodySize = 8192;

// How often at most an avatar is looked at again, and how many avatars no
// member holds the cache keeps.
constexpr int64_t kChatAvatarRefreshMs = 2000;
constexpr size_t kChatAvatarCacheSize = 4096;
// The avatar of user `userid` of `site` (none without a site). It is looked
// at on the disk here when the cache has not seen it for
// kChatAvatarRefreshMs, so the caller holds no room lock; while members hold
// it, a background thread looks again at that pace, so that an avatar made,
// changed or removed later shows in the next update without a look on the
// path that sends it.
std::shared_ptr<const ChatAvatar> ChatAvatarOf(const SiteConfig* site, int32_t userid);

// 1 when queued or sent to `to`, 0 when the receiver is closing (dropped).
int ChatSend(ClientLink* to, const ChatMessage& message);
