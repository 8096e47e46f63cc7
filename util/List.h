// List: the locked, doubly linked list of item references used for every
// collection (sites, connections, streams, rooms, members).
//
// Every operation takes the list's own re-entrant lock; callers that walk the
// list hold it themselves (Lock/Unlock or ListLock). The list never owns or
// frees its items: whoever put an item in removes and frees it.
#pragma once

#include <cstdint>

#include "util/ThreadSafety.h"

struct ListNode {
  ListNode* prev = nullptr;
  ListNode* next = nullptr;
  void* item = nullptr;
};

struct List {
  RecursiveMutex lock;
  uint32_t count GUARDED_BY(lock) = 0;
  ListNode* first GUARDED_BY(lock) = nullptr;
  ListNode* last GUARDED_BY(lock) = nullptr;

  List() = default;
  List(const List&) = delete;
  List& operator=(const List&) = delete;
  ~List();  // frees the nodes, never the items
};

using ListLock = RecursiveLock;

void ListAddHead(List* list, void* item);
void ListAddTail(List* list, void* item);
// The node holding `item`, or null.
ListNode* ListFind(List* list, void* item);
void ListRemoveNode(List* list, ListNode* node);
// Reports "ASSERT(item) failed at List:..." and returns false when absent.
bool ListRemove(List* list, void* item);
// Removes every node, calling `fn` on each item (when given) after unlinking it.
void ListRemoveAll(List* list, void (*fn)(void* item));
