// Fuzzes the error texts: any code, any capacity of at least 1, any message text in the
// system's or the internet library's table. The text must end within the capacity, the
// count must stay below it, and the caller's last error must be kept.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "sim/sim.h"
#include "support/error_text.h"

namespace {

const DWORD MaxCapacity = 300;
const DWORD GuardLength = 32;
const WCHAR Canary = 0xA5A5;

void Fail(const char* what) {
  (void)what;
  abort();
}

}  // namespace

// Millions of runs: the simulation keeps no call log, so a call only counts itself.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  SimSetCallLog(false);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 7) return 0;
  DWORD code;
  memcpy(&code, data, 4);
  DWORD capacity = 1 + ((data[4] | (data[5] << 8)) % MaxCapacity);
  uint8_t setup = data[6];
  data += 7;
  size -= 7;

  SimReset();
  // The message text: the rest of the input, two bytes per character.
  std::u16string text;
  for (size_t i = 0; i + 1 < size; i += 2) text += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
  DWORD id = ((code >> 16) & 0x1FFF) == 7 ? (code & 0xFFFF) : code;
  HMODULE module = nullptr;
  if (setup & 1) {
    SimLoadModule(u"wininet.dll");
    module = SimModuleHandle(u"wininet.dll");
  }
  SimSetMessage((setup & 2) ? module : nullptr, id, text);
  if (setup & 4) SimFailCall("FormatMessageW", 1 + ((setup >> 3) & 1), (setup & 16) ? 122 : 5);

  WCHAR area[MaxCapacity + GuardLength];
  for (WCHAR& ch : area) ch = Canary;
  DWORD lastError = static_cast<DWORD>(size) * 2654435761u;
  SetLastError(lastError);
  DWORD count = (setup & 32) && module ? DescribeErrorInModule(area, capacity, code, module)
                                       : DescribeError(area, capacity, code);
  if (GetLastError() != lastError) Fail("last error changed");
  if (count >= capacity) Fail("count not below the capacity");
  if (area[count] != 0) Fail("text not terminated after the count");
  for (DWORD i = capacity; i < MaxCapacity + GuardLength; ++i) {
    if (area[i] != Canary) Fail("written past the capacity");
  }
  return 0;
}
