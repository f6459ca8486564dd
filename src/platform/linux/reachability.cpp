// Reachability of mount points, in time linear in the mount table: one index of mounts by
// id and one by (parent, mount point), then one walk up the parent links per mount with
// every answer kept.
#include "platform/linux/reachability.h"

#include <stdlib.h>
#include <string.h>

#include "platform/linux/hash_index.h"

namespace {

enum PlaceState : unsigned char { Unknown, OnTheWay, Reached, Hidden };

uint64_t IdHash(int mountId) { return HashNumbers(static_cast<unsigned>(mountId)); }

uint64_t PlaceHash(int parentId) { return HashNumbers(static_cast<unsigned>(parentId)); }

struct MountIndexes {
  HashIndex byId;
  HashIndex byPlace;  // by parent id and mount point
};

int FindById(const MountIndexes* indexes, const MountEntry* entries, int mountId) {
  const HashIndex* index = &indexes->byId;
  for (size_t s = HashSlot(index, IdHash(mountId)); index->slots[s] >= 0; s = NextHashSlot(index, s)) {
    if (entries[index->slots[s]].mountId == mountId) return index->slots[s];
  }
  return -1;
}

// Whether a mount with this parent sits at path[0..length) (`hash` covers exactly that).
bool MountedAt(const MountIndexes* indexes, const MountEntry* entries, const size_t* lengths,
               int parentId, const char* path, size_t length, uint64_t hash) {
  const HashIndex* index = &indexes->byPlace;
  for (size_t s = HashSlot(index, hash); index->slots[s] >= 0; s = NextHashSlot(index, s)) {
    int j = index->slots[s];
    if (entries[j].parentId == parentId && lengths[j] == length &&
        memcmp(entries[j].mountPoint, path, length) == 0) {
      return true;
    }
  }
  return false;
}

// The bit that stands for a mount point of `length` bytes in a set of lengths; the last bit
// stands for every length from 63 on.
uint64_t LengthBit(size_t length) { return uint64_t{1} << (length < 63 ? length : 63); }

// Whether another mount in the same parent covers a directory above this mount point
// ("/" or "/a" for "/a/b"), so that the path turns off into that mount before reaching it.
// Only the directories whose length some mount point in that parent has are looked up
// (`siblingLengths`): the lengths below 63 are taken from the set bit by bit, and only from
// 63 on is the path scanned for its separators.
bool CoveredOnTheWay(const MountIndexes* indexes, const MountEntry* entries, const size_t* lengths,
                     int i, uint64_t siblingLengths) {
  const char* path = entries[i].mountPoint;
  const size_t length = lengths[i];
  auto coveredAt = [&](size_t k) {
    return (k == 1 || path[k] == '/') &&
           MountedAt(indexes, entries, lengths, entries[i].parentId, path, k,
                     HashBytes(PlaceHash(entries[i].parentId), path, k));
  };
  // The lengths 1 .. min(length, 63) - 1, each with a bit of its own.
  const size_t below = length < 63 ? length : 63;
  uint64_t candidates = siblingLengths & ((uint64_t{1} << below) - 1) & ~uint64_t{1};
  for (; candidates != 0; candidates &= candidates - 1) {
    if (coveredAt(static_cast<size_t>(__builtin_ctzll(candidates)))) return true;
  }
  if ((siblingLengths & LengthBit(63)) != 0) {
    for (size_t k = 63; k < length; ++k) {
      if (coveredAt(k)) return true;
    }
  }
  return false;
}

}  // namespace

bool MarkReachableMounts(const MountEntry* entries, int count, bool* reachable) {
  MountIndexes indexes = {};
  int* parent = static_cast<int*>(malloc(static_cast<size_t>(count + 1) * sizeof(int)));
  int* chain = static_cast<int*>(malloc(static_cast<size_t>(count + 1) * sizeof(int)));
  size_t* lengths = static_cast<size_t*>(malloc(static_cast<size_t>(count + 1) * sizeof(size_t)));
  bool* rootCovered = static_cast<bool*>(calloc(static_cast<size_t>(count + 1), sizeof(bool)));
  PlaceState* state = static_cast<PlaceState*>(calloc(static_cast<size_t>(count + 1), sizeof(PlaceState)));
  // The lengths of the mount points of each mount's children.
  uint64_t* childLengths = static_cast<uint64_t*>(calloc(static_cast<size_t>(count + 1), sizeof(uint64_t)));
  bool ok = parent && chain && lengths && rootCovered && state && childLengths &&
            CreateHashIndex(&indexes.byId, count) && CreateHashIndex(&indexes.byPlace, count);

  for (int i = 0; ok && i < count; ++i) {
    lengths[i] = strlen(entries[i].mountPoint);
    InsertHashed(&indexes.byId, IdHash(entries[i].mountId), i);
    InsertHashed(&indexes.byPlace,
                 HashBytes(PlaceHash(entries[i].parentId), entries[i].mountPoint, lengths[i]), i);
  }
  // A mount whose root has another mount on top (same mount point, mounted on it) is hidden.
  for (int i = 0; ok && i < count; ++i) {
    parent[i] = FindById(&indexes, entries, entries[i].parentId);
    if (parent[i] >= 0 && parent[i] != i && strcmp(entries[i].mountPoint, entries[parent[i]].mountPoint) == 0) {
      rootCovered[parent[i]] = true;
    }
    if (parent[i] >= 0) childLengths[parent[i]] |= LengthBit(lengths[i]);
  }

  // The place a mount sits at is reached when its parent is, the path is not covered on the
  // way within the parent, and the parent's root is visible there, unless this mount is the
  // one stacked on that root. A mount whose parent is not in the table is where the
  // process's tree begins. Loops in the parent links reach nothing.
  for (int i = 0; ok && i < count; ++i) {
    int depth = 0;
    for (int j = i; state[j] == Unknown;) {
      state[j] = OnTheWay;
      chain[depth++] = j;
      if (parent[j] < 0 || parent[j] == j) break;
      j = parent[j];
    }
    while (depth > 0) {
      int j = chain[--depth];
      int p = parent[j];
      bool reached;
      if (p < 0 || p == j) {
        reached = true;
      } else {
        bool stacked = strcmp(entries[j].mountPoint, entries[p].mountPoint) == 0;
        reached = state[p] == Reached && (stacked || !rootCovered[p]) &&
                  !CoveredOnTheWay(&indexes, entries, lengths, j, childLengths[p]);
      }
      state[j] = reached ? Reached : Hidden;
    }
  }
  for (int i = 0; ok && i < count; ++i) reachable[i] = state[i] == Reached && !rootCovered[i];

  FreeHashIndex(&indexes.byId);
  FreeHashIndex(&indexes.byPlace);
  free(parent);
  free(chain);
  free(lengths);
  free(rootCovered);
  free(state);
  free(childLengths);
  return ok;
}
