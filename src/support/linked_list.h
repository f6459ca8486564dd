// The intrusive doubly linked list that holds the volume templates and the
// end-of-process callbacks. Every node kind begins with the two links. Each single read
// and write of a link or of the list's fields is a sequentially consistent atomic; the
// operations as a whole are not, so one thread at a time may change a list.
#pragma once

#include "platform/win32.h"

struct ListNode {
  ListNode* prev;
  ListNode* next;
};

struct LinkedList {
  ListNode* head;
  ListNode* tail;
  LONG count;
};

LinkedList* InitList(LinkedList* list);
ListNode* InitLinks(ListNode* node);
ListNode* InsertNodeAfter(LinkedList* list, ListNode* node, ListNode* after);
ListNode* AppendNode(LinkedList* list, ListNode* node);
ListNode* RemoveFirstNode(LinkedList* list);

// Atomic reads for walking a list that no other thread is changing.
ListNode* FirstNode(const LinkedList* list);
ListNode* NextNode(const ListNode* node);
LONG NodeCount(const LinkedList* list);
