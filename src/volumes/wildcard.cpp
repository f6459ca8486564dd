// Whole-text matching of "*" and "?" patterns.
//
// "*" stands for any run of characters, "?" for exactly one, and every other character for
// itself (case ignored on request). The walk keeps a single backtrack point, the last star
// seen: when the pattern after it stops matching, that star takes one more text character
// and the walk resumes just after it. Earlier stars never need to take more, because any
// text that a later attempt of theirs could consume is also within reach of the last star.
// So a match costs at most pattern length x text length comparisons, with no recursion and
// no memory beyond a few pointers, whatever the user types.
#include "volumes/wildcard.h"

namespace {

// CharUpperW takes a single character in place of the string pointer (upper word zero)
// and returns the upper-case character in the low word of its result.
WCHAR UpperChar(WCHAR ch) {
  LPWSTR asPointer = reinterpret_cast<LPWSTR>(static_cast<ULONG_PTR>(static_cast<WORD>(ch)));
  return static_cast<WCHAR>(reinterpret_cast<ULONG_PTR>(CharUpperW(asPointer)) & 0xFFFF);
}

bool SameChar(WCHAR textChar, WCHAR patternChar, bool ignoreCase) {
  if (!ignoreCase) return textChar == patternChar;
  WCHAR upperText = UpperChar(textChar);  // the text's character first, then the pattern's
  WCHAR upperPattern = UpperChar(patternChar);
  return upperText == upperPattern;
}

}  // namespace

bool MatchWildcard(LPCWSTR pattern, LPCWSTR text, bool ignoreCase) {
  LPCWSTR p = pattern;
  LPCWSTR t = text;
  LPCWSTR afterStar = nullptr;  // the pattern just after the last star, once one was seen
  LPCWSTR starEnd = nullptr;    // where the text run taken by that star ends for now
  for (;;) {
    if (*p == '*') {
      do ++p;
      while (*p == '*');  // a run of stars is one star
      if (*p == 0) return true;  // a final star takes the rest of the text
      afterStar = p;
      starEnd = t;
      continue;
    }
    if (*t == 0) return *p == 0;  // what is left of the pattern needs characters
    if (*p != 0 && (*p == '?' || SameChar(*t, *p, ignoreCase))) {
      ++p;
      ++t;
      continue;
    }
    if (!afterStar) return false;
    // Let the last star take one more character and try the rest again from there.
    p = afterStar;
    t = ++starEnd;
  }
}
