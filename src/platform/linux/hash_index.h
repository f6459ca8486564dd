// A fixed-size open-addressing index of small integers (table positions) by a 64-bit hash,
// so that the mount table is grouped and searched in time linear in its size. The caller
// keeps the records and decides which of the positions found under a hash is the one asked.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "platform/linux/arena.h"

struct HashIndex {
  int* slots;   // -1 for an empty slot
  size_t mask;  // slot count - 1; the slot count is a power of two
};

// A hash of `length` bytes, continuing `hash`: eight bytes a step, each word multiplied in
// and its high bits folded down, the last few bytes as one more word with the length.
inline uint64_t HashBytes(uint64_t hash, const void* data, size_t length) {
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  size_t i = 0;
  for (; i + 8 <= length; i += 8) {
    uint64_t word;
    memcpy(&word, bytes + i, sizeof word);
    hash = (hash ^ word) * 0x9E3779B97F4A7C15ull;
    hash ^= hash >> 29;
  }
  uint64_t tail = 0;
  memcpy(&tail, bytes + i, length - i);
  hash = (hash ^ tail ^ (uint64_t{length} << 56)) * 0x9E3779B97F4A7C15ull;
  return hash ^ (hash >> 29);
}
const uint64_t HashBasis = 0xCBF29CE484222325ull;

// A hash of one or two small numbers (ids, device numbers) in a few steps: a multiplication
// spreads them upwards, the shift brings the high bits back down to the slot bits.
inline uint64_t HashNumbers(uint64_t a, uint64_t b = 0) {
  uint64_t hash = (a ^ (b << 32)) * 0x9E3779B97F4A7C15ull;
  return hash ^ (hash >> 29);
}

// Room for `capacity` positions, at most three quarters full, taken from the arena (it
// goes with the arena). False when memory runs out.
bool CreateHashIndex(HashIndex* index, int capacity, Arena* arena);

// The slots to look at for a hash, in order: from HashSlot on with NextHashSlot, until a
// slot holds -1. Insert a position at the first empty slot of that walk.
inline size_t HashSlot(const HashIndex* index, uint64_t hash) {
  return static_cast<size_t>(hash ^ (hash >> 32)) & index->mask;
}
inline size_t NextHashSlot(const HashIndex* index, size_t slot) { return (slot + 1) & index->mask; }
void InsertHashed(HashIndex* index, uint64_t hash, int position);
