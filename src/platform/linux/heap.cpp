// The process heap over malloc and free.
#include <stdlib.h>

#include "platform/win32.h"

namespace {

// Any non-null value names the one heap; this is its address.
char processHeap;

}  // namespace

extern "C" HANDLE WINAPI GetProcessHeap(void) { return &processHeap; }

// A zero-byte request still gives a block of its own, as on Windows. A failure leaves the
// last error alone, as the documentation of HeapAlloc says.
extern "C" LPVOID WINAPI HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
  if (heap != &processHeap) return nullptr;
  SIZE_T size = bytes ? bytes : 1;
  return (flags & HEAP_ZERO_MEMORY) ? calloc(1, size) : malloc(size);
}

extern "C" BOOL WINAPI HeapFree(HANDLE heap, DWORD, LPVOID memory) {
  if (heap != &processHeap) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  free(memory);
  return TRUE;
}
