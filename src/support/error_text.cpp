// One-line texts for system error codes: the code, " - " and the system's message text
// without line ends, trailing blanks or final full stop. The caller's last-error value is
// kept, so a caller may still read it after building its message.
#include "support/error_text.h"

#include "support/format.h"

namespace {

const DWORD FacilityWin32 = 7;
const DWORD InternetFirstCode = 12000;
const DWORD InternetLastCode = 12499;
const DWORD SystemTextFlags =
    FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK;
const DWORD ModuleTextFlags =
    FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK;
const DWORD UserLanguage = MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT);

// Room for a system text that is longer than the caller's buffer; the text is then cut.
// Kept below one page so that the frame needs no stack probe.
const DWORD LongTextCapacity = 1024;

// Tab, line feed, carriage return, space and full stop, as bits over the values 0 to 46.
const uint64_t TrimmedCharacters = 0x400100002600ull;

bool IsTrimmed(WCHAR ch) { return ch <= 46 && ((TrimmedCharacters >> ch) & 1) != 0; }

// The system's text for `id` in `text` (room `room`, terminator included); 0 when it has
// none. A text that does not fit is fetched into a larger local area and cut at the room.
DWORD FetchMessageText(DWORD flags, HMODULE source, DWORD id, LPWSTR text, DWORD room) {
  DWORD n = FormatMessageW(flags, source, id, UserLanguage, text, room, nullptr);
  if (n != 0 || GetLastError() != ERROR_INSUFFICIENT_BUFFER || room >= LongTextCapacity) return n;
  WCHAR longText[LongTextCapacity];
  DWORD longLength = FormatMessageW(flags, source, id, UserLanguage, longText, LongTextCapacity, nullptr);
  if (longLength == 0) return 0;
  n = longLength < room - 1 ? longLength : room - 1;
  for (DWORD i = 0; i < n; ++i) text[i] = longText[i];
  text[n] = 0;
  return n;
}

}  // namespace

DWORD DescribeErrorInModule(LPWSTR buffer, DWORD capacity, DWORD code, HMODULE module) {
  DWORD savedError = GetLastError();
  if (!buffer || capacity == 0) {
    DebugCheck(true);
    SetLastError(savedError);
    return 0;
  }

  DWORD prefixLength = FormatText(buffer, capacity, (code >> 16) == 0 ? TEXT("%u - ") : TEXT("%#08X - "), code);
  LPWSTR text = buffer + prefixLength;
  DWORD room = capacity - prefixLength;  // at least 1: the formatter keeps the terminator's place

  DWORD facility = (code >> 16) & 0x1FFF;
  DWORD number = code & 0xFFFF;
  HMODULE source = module;
  if (!source && (facility == 0 || facility == FacilityWin32) && number >= InternetFirstCode &&
      number <= InternetLastCode) {
    source = GetModuleHandleW(TEXT("wininet.dll"));  // null unless the library is loaded
  }
  DWORD id = facility == FacilityWin32 ? number : code;

  DWORD n = FetchMessageText(source ? ModuleTextFlags : SystemTextFlags, source, id, text, room);
  // Drop the line end, trailing blanks and the final full stop; never the first character.
  while (n > 1 && IsTrimmed(text[n - 1])) text[--n] = 0;
  if (n == 0) n = FormatText(text, room, TEXT("*** no error description ***"));

  SetLastError(savedError);
  return prefixLength + n;
}

DWORD DescribeError(LPWSTR buffer, DWORD capacity, DWORD code) {
  return DescribeErrorInModule(buffer, capacity, code, nullptr);
}
