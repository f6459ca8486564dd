#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "support/linked_list.h"

namespace {

struct Item {
  ListNode* prev;
  ListNode* next;
  int value;
};

ListNode* N(Item& item) { return reinterpret_cast<ListNode*>(&item); }

// Walks the list from head by next and checks every invariant on the way.
std::vector<int> Walk(const LinkedList& list) {
  std::vector<int> values;
  ListNode* previous = nullptr;
  for (ListNode* node = list.head; node; node = node->next) {
    EXPECT_EQ(node->prev, previous);
    values.push_back(reinterpret_cast<Item*>(node)->value);
    previous = node;
  }
  EXPECT_EQ(list.tail, previous);
  EXPECT_EQ(static_cast<size_t>(list.count), values.size());
  return values;
}

TEST(LinkedList, InsertAtFrontOfEmptyListMakesHeadAndTail) {
  LinkedList list;
  InitList(&list);
  Item a{nullptr, nullptr, 1};
  InitLinks(N(a));
  EXPECT_EQ(InsertNodeAfter(&list, N(a), nullptr), N(a));
  EXPECT_EQ(list.head, N(a));
  EXPECT_EQ(list.tail, N(a));
  EXPECT_EQ(Walk(list), std::vector<int>({1}));
}

TEST(LinkedList, InsertAtFrontKeepsTail) {
  LinkedList list;
  InitList(&list);
  Item a{nullptr, nullptr, 1}, b{nullptr, nullptr, 2};
  AppendNode(&list, InitLinks(N(a)));
  InsertNodeAfter(&list, InitLinks(N(b)), nullptr);
  EXPECT_EQ(list.head, N(b));
  EXPECT_EQ(list.tail, N(a));
  EXPECT_EQ(Walk(list), std::vector<int>({2, 1}));
}

TEST(LinkedList, InsertAfterFirstOfTwoGoesBetween) {
  LinkedList list;
  InitList(&list);
  Item a{nullptr, nullptr, 1}, b{nullptr, nullptr, 2}, c{nullptr, nullptr, 3};
  AppendNode(&list, InitLinks(N(a)));
  AppendNode(&list, InitLinks(N(b)));
  InsertNodeAfter(&list, InitLinks(N(c)), N(a));
  EXPECT_EQ(Walk(list), std::vector<int>({1, 3, 2}));
  EXPECT_EQ(list.tail, N(b));
  EXPECT_EQ(list.count, 3);
}

TEST(LinkedList, InsertAfterTailMovesTail) {
  LinkedList list;
  InitList(&list);
  Item a{nullptr, nullptr, 1}, b{nullptr, nullptr, 2};
  AppendNode(&list, InitLinks(N(a)));
  InsertNodeAfter(&list, InitLinks(N(b)), N(a));
  EXPECT_EQ(list.tail, N(b));
  EXPECT_EQ(Walk(list), std::vector<int>({1, 2}));
}

TEST(LinkedList, AppendThenRemoveGivesAppendOrderAndEmptiesList) {
  LinkedList list;
  InitList(&list);
  Item items[3] = {{nullptr, nullptr, 1}, {nullptr, nullptr, 2}, {nullptr, nullptr, 3}};
  for (Item& item : items) AppendNode(&list, InitLinks(N(item)));
  EXPECT_EQ(Walk(list), std::vector<int>({1, 2, 3}));
  for (Item& item : items) {
    ListNode* removed = RemoveFirstNode(&list);
    ASSERT_EQ(removed, N(item));
    EXPECT_EQ(removed->prev, nullptr);
    EXPECT_EQ(removed->next, nullptr);
    Walk(list);
  }
  EXPECT_EQ(list.head, nullptr);
  EXPECT_EQ(list.tail, nullptr);
  EXPECT_EQ(list.count, 0);
  EXPECT_EQ(RemoveFirstNode(&list), nullptr);
}

TEST(LinkedList, RemoveFromEmptyListChangesNothing) {
  LinkedList list;
  InitList(&list);
  EXPECT_EQ(RemoveFirstNode(&list), nullptr);
  EXPECT_EQ(list.head, nullptr);
  EXPECT_EQ(list.tail, nullptr);
  EXPECT_EQ(list.count, 0);
}

// Long mixed runs of every operation, checked after each step against a plain vector: the
// order, both directions of links, head, tail and count, and the links of removed nodes.
TEST(LinkedList, MixedOperationsKeepEveryInvariant) {
  for (unsigned seed = 1; seed <= 40; ++seed) {
    std::mt19937 random(seed);
    std::vector<Item> pool(24);
    for (size_t i = 0; i < pool.size(); ++i) pool[i] = {nullptr, nullptr, static_cast<int>(i)};
    std::vector<int> expected;
    LinkedList list;
    InitList(&list);
    for (int step = 0; step < 300; ++step) {
      std::vector<int> free;
      for (Item& item : pool) {
        if (std::find(expected.begin(), expected.end(), item.value) == expected.end()) free.push_back(item.value);
      }
      unsigned action = random() % 4;
      if (action == 3 || free.empty()) {
        ListNode* removed = RemoveFirstNode(&list);
        if (expected.empty()) {
          ASSERT_EQ(removed, nullptr);
        } else {
          ASSERT_EQ(removed, N(pool[static_cast<size_t>(expected.front())]));
          EXPECT_EQ(removed->prev, nullptr);
          EXPECT_EQ(removed->next, nullptr);
          expected.erase(expected.begin());
        }
      } else {
        int value = free[random() % free.size()];
        ListNode* node = InitLinks(N(pool[static_cast<size_t>(value)]));
        if (action == 0) {
          EXPECT_EQ(InsertNodeAfter(&list, node, nullptr), node);
          expected.insert(expected.begin(), value);
        } else if (action == 1) {
          EXPECT_EQ(AppendNode(&list, node), node);
          expected.push_back(value);
        } else if (expected.empty()) {
          InsertNodeAfter(&list, node, nullptr);
          expected.push_back(value);
        } else {
          size_t at = random() % expected.size();
          InsertNodeAfter(&list, node, N(pool[static_cast<size_t>(expected[at])]));
          expected.insert(expected.begin() + static_cast<long>(at) + 1, value);
        }
      }
      ASSERT_EQ(Walk(list), expected) << "seed " << seed << ", step " << step;
      if (!expected.empty()) {
        ASSERT_EQ(list.head->prev, nullptr);
        ASSERT_EQ(list.tail->next, nullptr);
      }
    }
  }
}

TEST(LinkedList, AtomicReadersSeeTheSameList) {
  LinkedList list;
  InitList(&list);
  Item a{nullptr, nullptr, 1}, b{nullptr, nullptr, 2};
  AppendNode(&list, InitLinks(N(a)));
  AppendNode(&list, InitLinks(N(b)));
  EXPECT_EQ(FirstNode(&list), N(a));
  EXPECT_EQ(NextNode(N(a)), N(b));
  EXPECT_EQ(NextNode(N(b)), nullptr);
  EXPECT_EQ(NodeCount(&list), 2);
}

}  // namespace
