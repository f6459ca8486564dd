// The arena over anonymous memory: address space reserved without access, made readable
// and writable as the arena fills, huge pages asked for beyond its first bytes.
#include "platform/linux/arena.h"

#include <stdint.h>
#include <sys/mman.h>

// Under AddressSanitizer the bytes not handed out are marked unusable, so that the checks
// that guard heap blocks guard the arena's blocks too.
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define MARK_UNUSABLE(at, bytes) ASAN_POISON_MEMORY_REGION(at, bytes)
#define MARK_USABLE(at, bytes) ASAN_UNPOISON_MEMORY_REGION(at, bytes)
#else
#define MARK_UNUSABLE(at, bytes) ((void)(at), (void)(bytes))
#define MARK_USABLE(at, bytes) ((void)(at), (void)(bytes))
#endif

namespace {

const size_t HugePageBytes = 2 * 1024 * 1024;
// Room for the largest mount table the kernel allows (100,000 mounts by default) with
// long paths; address space costs nothing until it is used. A process whose address space
// is limited (ulimit -v) gets less, down to room for some 25,000 mounts.
const size_t LargestReservation = sizeof(void*) >= 8 ? size_t{1} << 30 : size_t{64} << 20;
const size_t SmallestReservation = size_t{4} << 20;

size_t RoundUp(size_t value, size_t step) { return (value + step - 1) & ~(step - 1); }

}  // namespace

bool CreateArena(Arena* arena) {
  arena->base = nullptr;
  arena->reserved = arena->committed = arena->used = 0;
  // One huge page more than needed, so that the end of the small pages can fall on a huge
  // page boundary; the rest is given back.
  const int flags = MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE;
  size_t reserved = LargestReservation;
  void* block = mmap(nullptr, reserved + HugePageBytes, PROT_NONE, flags, -1, 0);
  while (block == MAP_FAILED && reserved / 4 >= SmallestReservation) {
    reserved /= 4;
    block = mmap(nullptr, reserved + HugePageBytes, PROT_NONE, flags, -1, 0);
  }
  if (block == MAP_FAILED) return false;
  const size_t mapped = reserved + HugePageBytes;
  char* start = static_cast<char*>(block);
  uintptr_t boundary = RoundUp(reinterpret_cast<uintptr_t>(start) + ArenaSmallPageBytes, HugePageBytes);
  char* base = reinterpret_cast<char*>(boundary - ArenaSmallPageBytes);
  if (base > start) munmap(start, static_cast<size_t>(base - start));
  char* end = start + mapped;
  if (end > base + reserved) munmap(base + reserved, static_cast<size_t>(end - (base + reserved)));
  // Where the kernel has no huge pages this changes nothing, and it may fail harmlessly.
  madvise(base + ArenaSmallPageBytes, reserved - ArenaSmallPageBytes, MADV_HUGEPAGE);
  arena->base = base;
  arena->reserved = reserved;
  return true;
}

void FreeArena(Arena* arena) {
  // The address space may be mapped again by anyone, who must find it usable.
  if (arena->base) MARK_USABLE(arena->base, arena->committed);
  if (arena->base) munmap(arena->base, arena->reserved);
  arena->base = nullptr;
  arena->reserved = arena->committed = arena->used = 0;
}

void* ArenaTake(Arena* arena, size_t bytes, size_t alignment) {
  if (!arena->base) return nullptr;
  size_t at = RoundUp(arena->used, alignment);
  if (at > arena->reserved || bytes > arena->reserved - at) return nullptr;
  size_t end = at + bytes;
  if (end > arena->committed) {
    // The small pages at once, then whole huge pages, so that each can be one.
    size_t committed = end <= ArenaSmallPageBytes
                           ? ArenaSmallPageBytes
                           : ArenaSmallPageBytes + RoundUp(end - ArenaSmallPageBytes, HugePageBytes);
    if (committed > arena->reserved) committed = arena->reserved;
    if (mprotect(arena->base + arena->committed, committed - arena->committed, PROT_READ | PROT_WRITE) != 0) {
      return nullptr;
    }
    MARK_UNUSABLE(arena->base + arena->committed, committed - arena->committed);
    arena->committed = committed;
  }
  arena->used = end;
  MARK_USABLE(arena->base + at, bytes);
  return arena->base + at;
}

void ArenaRelease(Arena* arena, size_t mark) {
  if (mark < arena->used) MARK_UNUSABLE(arena->base + mark, arena->used - mark);
  arena->used = mark;
}

void ArenaMoveToHugePages(Arena* arena) {
  if (arena->used < ArenaSmallPageBytes) arena->used = ArenaSmallPageBytes;
}
