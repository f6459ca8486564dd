#include "support/linked_list.h"

// Every access to a link or to a list field is a sequentially consistent atomic.
#define LOAD(field) __atomic_load_n(&(field), __ATOMIC_SEQ_CST)
#define STORE(field, value) __atomic_store_n(&(field), (value), __ATOMIC_SEQ_CST)

LinkedList* InitList(LinkedList* list) {
  STORE(list->head, nullptr);
  STORE(list->tail, nullptr);
  STORE(list->count, 0);
  return list;
}

ListNode* InitLinks(ListNode* node) {
  STORE(node->prev, nullptr);
  STORE(node->next, nullptr);
  return node;
}

ListNode* InsertNodeAfter(LinkedList* list, ListNode* node, ListNode* after) {
  bool wasTail = after == LOAD(list->tail);
  if (after) {
    ListNode* following = LOAD(after->next);
    STORE(node->prev, after);
    STORE(node->next, following);
    if (following) STORE(following->prev, node);
    STORE(after->next, node);
  } else {
    ListNode* oldHead = LOAD(list->head);
    STORE(node->next, oldHead);
    if (oldHead) STORE(oldHead->prev, node);
    STORE(list->head, node);
  }
  if (wasTail) STORE(list->tail, node);
  STORE(list->count, LOAD(list->count) + 1);
  return node;
}

ListNode* AppendNode(LinkedList* list, ListNode* node) {
  return InsertNodeAfter(list, node, LOAD(list->tail));
}

ListNode* RemoveFirstNode(LinkedList* list) {
  ListNode* node = LOAD(list->head);
  if (!node) return nullptr;
  ListNode* before = LOAD(node->prev);
  ListNode* after = LOAD(node->next);
  if (before) STORE(before->next, after);
  if (after) STORE(after->prev, before);
  if (LOAD(list->head) == node) STORE(list->head, after);
  if (LOAD(list->tail) == node) STORE(list->tail, before);
  STORE(node->prev, nullptr);
  STORE(node->next, nullptr);
  STORE(list->count, LOAD(list->count) - 1);
  return node;
}

ListNode* FirstNode(const LinkedList* list) { return LOAD(list->head); }
ListNode* NextNode(const ListNode* node) { return LOAD(node->next); }
LONG NodeCount(const LinkedList* list) { return LOAD(list->count); }
