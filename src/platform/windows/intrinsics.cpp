// The few memory routines that the compiler may call on its own, supplied here because the
// executable links no C runtime. Built without loop-to-call folding, so they cannot end up
// calling themselves. The 32-bit image also gets its 64-bit division here.
#include <stddef.h>

extern "C" {

__attribute__((optimize("no-tree-loop-distribute-patterns"))) void* memset(void* target, int value,
                                                                           size_t count) {
  unsigned char* p = static_cast<unsigned char*>(target);
  while (count--) *p++ = static_cast<unsigned char>(value);
  return target;
}

__attribute__((optimize("no-tree-loop-distribute-patterns"))) void* memcpy(void* target,
                                                                           const void* source,
                                                                           size_t count) {
  unsigned char* d = static_cast<unsigned char*>(target);
  const unsigned char* s = static_cast<const unsigned char*>(source);
  while (count--) *d++ = *s++;
  return target;
}

__attribute__((optimize("no-tree-loop-distribute-patterns"))) void* memmove(void* target,
                                                                            const void* source,
                                                                            size_t count) {
  unsigned char* d = static_cast<unsigned char*>(target);
  const unsigned char* s = static_cast<const unsigned char*>(source);
  if (d < s) {
    while (count--) *d++ = *s++;
  } else {
    d += count;
    s += count;
    while (count--) *--d = *--s;
  }
  return target;
}

int memcmp(const void* a, const void* b, size_t count) {
  const unsigned char* x = static_cast<const unsigned char*>(a);
  const unsigned char* y = static_cast<const unsigned char*>(b);
  for (; count; --count, ++x, ++y) {
    if (*x != *y) return *x < *y ? -1 : 1;
  }
  return 0;
}

#if defined(__i386__)
// 64-bit division and remainder, which a 32-bit processor has no instruction for (the
// formatter's digits of 64-bit values): shift and subtract, one quotient bit a step. The
// compiler's library has a faster one, but it brings a section of unwind tables with it.
unsigned long long __udivmoddi4(unsigned long long dividend, unsigned long long divisor,
                                unsigned long long* remainder) {
  unsigned long long quotient = 0, rest = 0;
  for (int bit = 63; bit >= 0; --bit) {
    rest = (rest << 1) | ((dividend >> bit) & 1);
    if (rest >= divisor) {
      rest -= divisor;
      quotient |= 1ull << bit;
    }
  }
  if (remainder) *remainder = rest;
  return quotient;
}
#endif

}  // extern "C"
