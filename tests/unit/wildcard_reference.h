// The plain recursive form of the wildcard rules, kept as the reference that the bounded
// matcher is compared with in tests, fuzzing and benchmarks. Its time grows steeply with
// the number of stars, so it has no place in the program.
//
// A star tries the shortest run first: the positions from where it stands onward, each one
// whose character could start the rest of the pattern, by a recursive call. A "?" or "*"
// right after a star keeps its wildcard meaning, so every position is a candidate for it,
// and a following "*" may also start at the end of the text.
#pragma once

#include "platform/win32.h"

namespace reference {

inline WCHAR Upper(WCHAR ch) {
  LPWSTR asPointer = reinterpret_cast<LPWSTR>(static_cast<ULONG_PTR>(static_cast<WORD>(ch)));
  return static_cast<WCHAR>(reinterpret_cast<ULONG_PTR>(CharUpperW(asPointer)) & 0xFFFF);
}

inline bool Same(WCHAR textChar, WCHAR patternChar, bool ignoreCase) {
  if (textChar == 0 || patternChar == 0) return textChar == patternChar;
  if (!ignoreCase) return textChar == patternChar;
  WCHAR upperText = Upper(textChar);
  return upperText == Upper(patternChar);
}

// `steps` counts the characters looked at; past `limit` the answer is false and worthless,
// so that callers can give up on a runaway comparison (they see *steps > limit).
inline bool Match(const WCHAR* pattern, const WCHAR* text, bool ignoreCase,
                  unsigned long long* steps = nullptr, unsigned long long limit = ~0ull) {
  const WCHAR* p = pattern;
  const WCHAR* t = text;
  for (;;) {
    if (steps && ++*steps > limit) return false;
    WCHAR c = *p++;
    if (c == 0 && *t == 0) return true;
    if (c == '*') {
      if (*p == 0) return true;
      WCHAR next = *p;
      for (const WCHAR* at = t;; ++at) {
        if (steps && ++*steps > limit) return false;
        bool candidate = next == '*' || (*at != 0 && (next == '?' || Same(*at, next, ignoreCase)));
        if (candidate && Match(p, at, ignoreCase, steps, limit)) return true;
        if (*at == 0) return false;
      }
    }
    if (c == '?') {
      if (*t == 0) return false;
      ++t;
      continue;
    }
    if (!Same(*t, c, ignoreCase)) return false;
    ++t;
  }
}

}  // namespace reference
