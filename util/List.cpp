#include "util/List.h"

#include "util/Log.h"

List::~List() {
  for (ListNode* n = first; n != nullptr;) {
    ListNode* next = n->next;
    delete n;
    n = next;
  }
}

void ListAddHead(List* list, void* item) {
  ListLock guard(list->lock);
  auto* node = new ListNode{nullptr, list->first, item};
  if (list->first != nullptr)
    list->first->prev = node;
  else
    list->last = node;
  list->first = node;
  ++list->count;
}

void ListAddTail(List* list, void* item) {
  ListLock guard(list->lock);
  auto* node = new ListNode{list->last, nullptr, item};
  if (list->last != nullptr)
    list->last->next = node;
  else
    list->first = node;
  list->last = node;
  ++list->count;
}

ListNode* ListFind(List* list, void* item) {
  ListLock guard(list->lock);
  for (ListNode* n = list->first; n != nullptr; n = n->next)
    if (n->item == item) return n;
  return nullptr;
}

void ListRemoveNode(List* list, ListNode* node) {
  ListLock guard(list->lock);
  if (node->prev != nullptr)
    node->prev->next = node->next;
  else
    list->first = node->next;
  if (node->next != nullptr)
    node->next->prev = node->prev;
  else
    list->last = node->prev;
  --list->count;
  delete node;
}

bool ListRemove(List* list, void* item) {
  ListLock guard(list->lock);
  ListNode* node = ListFind(list, item);
  if (node == nullptr) {
    REPORT_ASSERT("item", "List");
    return false;
  }
  ListRemoveNode(list, node);
  return true;
}

void ListRemoveAll(List* list, void (*fn)(void* item)) {
  ListLock guard(list->lock);
  while (list->first != nullptr) {
    void* item = list->first->item;
    ListRemoveNode(list, list->first);
    if (fn != nullptr) fn(item);
  }
}
