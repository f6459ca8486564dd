// The open-addressing index of the mount table's records.
#include "platform/linux/hash_index.h"

bool CreateHashIndex(HashIndex* index, int capacity, Arena* arena) {
  // At most three quarters full: short probe walks, and a small index to fault in.
  size_t slots = 8;
  while (slots * 3 < static_cast<size_t>(capacity) * 4) slots *= 2;
  index->slots = static_cast<int*>(ArenaTake(arena, slots * sizeof(int), alignof(int)));
  index->mask = slots - 1;
  if (!index->slots) return false;
  for (size_t i = 0; i < slots; ++i) index->slots[i] = -1;
  return true;
}

void InsertHashed(HashIndex* index, uint64_t hash, int position) {
  size_t slot = HashSlot(index, hash);
  while (index->slots[slot] >= 0) slot = NextHashSlot(index, slot);
  index->slots[slot] = position;
}
