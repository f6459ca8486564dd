// Fuzzes the formatted-text engine: any format, any capacity, arguments that are valid both
// as integers and as pointers. Whatever the input, nothing may be written past the capacity,
// the text must be terminated and the count must stay below the capacity.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "support/format.h"

namespace {

const DWORD MaxCapacity = 600;
const DWORD GuardLength = 32;
const WCHAR Canary = 0xA5A5;
const size_t MaxFormat = 2048;
// Every conversion reads at most three arguments ('*' width, '*' precision, value); the
// format is cut so that its '%' signs never ask for more than the call passes.
const unsigned MaxPercents = 21;

// Every argument is the same pointer into this arena. Read as a pointer it leads to a
// zero-filled area that holds a short wide string (so also a short narrow one) and takes
// a '%n' store; read as an integer its low bits vary with the chosen offset.
alignas(65536) unsigned char Arena[65536 + 64];

void Fail(const char* what) {
  (void)what;
  abort();
}

#define ARGS8(a) a, a, a, a, a, a, a, a
#define ARGS64(a) ARGS8(a), ARGS8(a), ARGS8(a), ARGS8(a), ARGS8(a), ARGS8(a), ARGS8(a), ARGS8(a)

void CheckDigits(const uint8_t* data, size_t size) {
  if (size < 10) return;
  uint64_t value;
  memcpy(&value, data, 8);
  DWORD radix = 2 + data[8] % 35;
  DWORD capacity = 1 + data[9] % 70;
  WCHAR area[70 + GuardLength];
  for (WCHAR& ch : area) ch = Canary;
  DWORD n = ToDigits64(area, capacity, value, radix);
  if (n >= capacity || area[n] != 0) Fail("digits not terminated within the capacity");
  for (DWORD i = capacity; i < 70 + GuardLength; ++i) {
    if (area[i] != Canary) Fail("digits written past the capacity");
  }
  if (capacity == 70) {  // room for every digit: they must read back as the value
    uint64_t back = 0;
    for (DWORD i = 0; i < n; ++i) {
      WCHAR ch = area[i];
      DWORD digit = ch <= '9' ? ch - '0' : ch - 'a' + 10;
      if (digit >= radix) Fail("digit out of range");
      back = back * radix + digit;
    }
    if (back != value) Fail("digits do not give the value back");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  DWORD capacity = 1 + ((data[0] | (data[1] << 8)) % MaxCapacity);
  size_t offset = (static_cast<size_t>(data[2]) << 8 | data[3]) & ~static_cast<size_t>(3);
  CheckDigits(data, size);
  data += 4;
  size -= 4;

  // Each byte is one character; 0xFF takes the next two bytes as a full UTF-16 unit.
  WCHAR format[MaxFormat + 1];
  size_t length = 0;
  unsigned percents = 0;
  for (size_t i = 0; i < size && length < MaxFormat; ++i) {
    WCHAR ch = data[i];
    if (data[i] == 0xFF && i + 2 < size) {
      ch = static_cast<WCHAR>(data[i + 1] | (data[i + 2] << 8));
      i += 2;
    }
    if (ch == 0) break;
    if (ch == '%' && ++percents > MaxPercents) break;
    format[length++] = ch;
  }
  format[length] = 0;

  unsigned char* slot = Arena + offset;
  memset(slot, 0, 64);
  slot[0] = 'a';
  slot[2] = 'b';
  slot[4] = 0xE9;
  void* argument = slot;

  WCHAR area[MaxCapacity + GuardLength];
  for (WCHAR& ch : area) ch = Canary;
  DWORD count = FormatText(area, capacity, format, ARGS64(argument));
  if (count >= capacity) Fail("count not below the capacity");
  if (area[count] != 0) Fail("text not terminated after the count");
  for (DWORD i = capacity; i < MaxCapacity + GuardLength; ++i) {
    if (area[i] != Canary) Fail("written past the capacity");
  }
  for (DWORD i = count + 1; i < capacity; ++i) {
    if (area[i] != Canary) Fail("written past the terminator");
  }
  return 0;
}
