// One block of memory for the mount table and everything built from it, handed out from
// its start and given back as a whole (or down to a mark), so that each step of building
// the table reuses the pages of the step before instead of touching fresh ones, and a
// second reading of the table reuses the pages of the first.
//
// A page touched for the first time costs a page fault, which on some virtual machines
// costs as much as reading a few lines of the mount table. So the block is reserved as
// address space only and made usable as it fills. Its first bytes are ordinary pages,
// enough for a table of a few thousand mounts; beyond them the kernel is asked for huge
// pages (2 MiB, one fault each) where it offers them, and gives ordinary ones otherwise.
#pragma once

#include <stddef.h>

struct Arena {
  char* base;        // null when the address space could not be reserved
  size_t reserved;   // bytes of address space
  size_t committed;  // bytes made usable, from base
  size_t used;       // bytes handed out, from base
};

// The bytes at the start that stay in ordinary pages.
const size_t ArenaSmallPageBytes = 448 * 1024;

// Reserves the address space. False when it cannot be had.
bool CreateArena(Arena* arena);
// Gives the address space back; the arena is empty and may be created again.
void FreeArena(Arena* arena);

// `bytes` at the next multiple of `alignment` (a power of two); null when the reservation
// is used up or the kernel refuses more memory. The bytes hold whatever was there before.
void* ArenaTake(Arena* arena, size_t bytes, size_t alignment = alignof(void*));

// Hands out the next bytes from the huge pages, leaving the rest of the small ones
// untouched: for a caller that finds out early that it will need a lot.
void ArenaMoveToHugePages(Arena* arena);

// What is handed out now, to give back later: everything taken after the mark.
inline size_t ArenaMark(const Arena* arena) { return arena->used; }
void ArenaRelease(Arena* arena, size_t mark);
