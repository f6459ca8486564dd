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

// In the invariant locale: in the user's (or, for the service, the system's) Turkish or
// Azeri locale "I" is not the capital of "i", and Priority=HIGH would not be "high". Windows
// 2000 has no invariant locale and refuses it; English (United States) has the same cases.
int CompareNoCase(LPCWSTR a, LPCWSTR b) {
  int result = CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, a, -1, b, -1);
  if (result == 0) result = CompareStringW(LOCALE_ENGLISH_US, NORM_IGNORECASE, a, -1, b, -1);
  return result == CSTR_EQUAL ? 0 : 1;
}
