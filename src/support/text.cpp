#include "support/text.h"

const WCHAR DefaultBlanks[] = TEXT(" \t");

DWORD TextLength(LPCWSTR text) {
  DWORD n = 0;
  while (text[n]) ++n;
  return n;
}

bool IsBlank(WCHAR ch, LPCWSTR set) {
  if (ch == 0) return false;
  if (!set) set = DefaultBlanks;
  for (DWORD i = 0; i < BLANK_SET_LIMIT && set[i]; ++i) {
    if (set[i] == ch) return true;
  }
  return false;
}

LPCWSTR SkipBlanks(LPCWSTR text, LPCWSTR set) {
  while (IsBlank(*text, set)) ++text;
  return text;
}

DWORD CopyBounded(LPWSTR destination, DWORD capacity, LPCWSTR source, DWORD sourceLimit) {
  if (!destination || capacity == 0) {
    DebugBreak();  // a caller error: there is nowhere to put even the terminator
    return 0;
  }
  DWORD limit = sourceLimit ? sourceLimit : capacity;
  DWORD n = 0;
  // The bounds come first: a source may end at its limit without a terminator.
  while (n < capacity - 1 && n < limit && source[n]) {
    destination[n] = source[n];
    ++n;
  }
  destination[n] = 0;
  return n;
}

// In the invariant locale (Windows XP and later, as the program): in the user's (or, for the
// service, the system's) Turkish or Azeri locale "I" is not the capital of "i", and
// Priority=HIGH would not be "high".
int CompareNoCase(LPCWSTR a, LPCWSTR b) {
  return CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, a, -1, b, -1) == CSTR_EQUAL ? 0 : 1;
}
