// Reachability of mount points, in time linear in the mount table: one index of mounts by
// id and one by (parent, mount point), then one walk up the parent links per mount with
// every answer kept.
#include "platform/linux/reachability.h"

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

int FindById(const MountIndexes* indexes, const MountRecord* const* mounts, int mountId) {
  const HashIndex* index = &indexes->byId;
  for (size_t s = HashSlot(index, IdHash(mountId)); index->slots[s] >= 0; s = NextHashSlot(index, s)) {
    if (mounts[index->slots[s]]->mountId == mountId) return index->slots[s];
  }
  return -1;
}

// Whether two mounts have the same mount point.
bool SamePlace(const MountRecord* a, const MountRecord* b) {
  return a->pointLength == b->pointLength && memcmp(MountPointOf(a), MountPointOf(b), a->pointLength) == 0;
}

// Whether a mount with this parent sits at path[0..length) (`hash` covers exactly that).
bool MountedAt(const MountIndexes* indexes, const MountRecord* const* mounts, int parentId,
               const char* path, size_t length, uint64_t hash) {
  const HashIndex* index = &indexes->byPlace;
  for (size_t s = HashSlot(index, hash); index->slots[s] >= 0; s = NextHashSlot(index, s)) {
    const MountRecord* other = mounts[index->slots[s]];
    if (other->parentId == parentId && other->pointLength == length &&
        memcmp(MountPointOf(other), path, length) == 0) {
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
bool CoveredOnTheWay(const MountIndexes* indexes, const MountRecord* const* mounts, int i,
                     uint64_t siblingLengths) {
  const char* path = MountPointOf(mounts[i]);
  const size_t length = mounts[i]->pointLength;
  const int parentId = mounts[i]->parentId;
  auto coveredAt = [&](size_t k) {
    return (k == 1 || path[k] == '/') &&
           MountedAt(indexes, mounts, parentId, path, k, HashBytes(PlaceHash(parentId), path, k));
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

bool MarkReachableMounts(const MountRecord* const* mounts, int count, bool* reachable, Arena* arena) {
  const size_t mark = ArenaMark(arena);
  const size_t n = static_cast<size_t>(count + 1);
  MountIndexes indexes = {};
  int* parent = static_cast<int*>(ArenaTake(arena, n * sizeof(int), alignof(int)));
  int* chain = static_cast<int*>(ArenaTake(arena, n * sizeof(int), alignof(int)));
  // The lengths of the mount points of each mount's children.
  uint64_t* childLengths = static_cast<uint64_t*>(ArenaTake(arena, n * sizeof(uint64_t), alignof(uint64_t)));
  bool* rootCovered = static_cast<bool*>(ArenaTake(arena, n * sizeof(bool), alignof(bool)));
  PlaceState* state = static_cast<PlaceState*>(ArenaTake(arena, n * sizeof(PlaceState), alignof(PlaceState)));
  bool ok = parent && chain && childLengths && rootCovered && state &&
            CreateHashIndex(&indexes.byId, count, arena) && CreateHashIndex(&indexes.byPlace, count, arena);
  if (ok) {
    memset(childLengths, 0, n * sizeof(uint64_t));
    memset(rootCovered, 0, n * sizeof(bool));
    memset(state, 0, n * sizeof(PlaceState));
  }

  for (int i = 0; ok && i < count; ++i) {
    InsertHashed(&indexes.byId, IdHash(mounts[i]->mountId), i);
    InsertHashed(&indexes.byPlace, HashBytes(PlaceHash(mounts[i]->parentId), MountPointOf(mounts[i]), mounts[i]->pointLength), i);
  }
  // A mount whose root has another mount on top (same mount point, mounted on it) is hidden.
  for (int i = 0; ok && i < count; ++i) {
    parent[i] = FindById(&indexes, mounts, mounts[i]->parentId);
    if (parent[i] >= 0 && parent[i] != i && SamePlace(mounts[i], mounts[parent[i]])) {
      rootCovered[parent[i]] = true;
    }
    if (parent[i] >= 0) childLengths[parent[i]] |= LengthBit(mounts[i]->pointLength);
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
        bool stacked = SamePlace(mounts[j], mounts[p]);
        reached = state[p] == Reached && (stacked || !rootCovered[p]) &&
                  !CoveredOnTheWay(&indexes, mounts, j, childLengths[p]);
      }
      state[j] = reached ? Reached : Hidden;
    }
  }
  for (int i = 0; ok && i < count; ++i) reachable[i] = state[i] == Reached && !rootCovered[i];
  ArenaRelease(arena, mark);
  return ok;
}
