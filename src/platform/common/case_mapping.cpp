#include "platform/common/case_mapping.h"

#include <locale.h>
#include <wctype.h>

namespace {

// The C.UTF-8 locale knows the simple upper-case mapping of every BMP character; it is
// built into the C library, so newlocale cannot miss it.
locale_t UnicodeLocale() {
  static locale_t locale = nullptr;
  locale_t current = __atomic_load_n(&locale, __ATOMIC_ACQUIRE);
  if (current) return current;
  locale_t made = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  locale_t expected = nullptr;
  if (!__atomic_compare_exchange_n(&locale, &expected, made, false, __ATOMIC_ACQ_REL,
                                   __ATOMIC_ACQUIRE)) {
    if (made) freelocale(made);
    return expected;
  }
  return made;
}

}  // namespace

WCHAR UpperCaseChar(WCHAR ch) {
  uint16_t unit = static_cast<uint16_t>(ch);
  if (unit < 0x80) return (unit >= 'a' && unit <= 'z') ? static_cast<WCHAR>(unit - 32) : ch;
  if (unit >= 0xD800 && unit <= 0xDFFF) return ch;  // halves of a pair are left alone
  locale_t locale = UnicodeLocale();
  if (!locale) return ch;
  wint_t upper = towupper_l(static_cast<wint_t>(unit), locale);
  return upper <= 0xFFFF ? static_cast<WCHAR>(upper) : ch;
}

int CompareTextNoCase(LPCWSTR a, int countA, LPCWSTR b, int countB, bool ignoreCase) {
  int i = 0;
  for (;;) {
    bool endA = countA < 0 ? a[i] == 0 : i >= countA;
    bool endB = countB < 0 ? b[i] == 0 : i >= countB;
    if (endA || endB) {
      if (endA && endB) return CSTR_EQUAL;
      return endA ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
    }
    uint16_t x = static_cast<uint16_t>(ignoreCase ? UpperCaseChar(a[i]) : a[i]);
    uint16_t y = static_cast<uint16_t>(ignoreCase ? UpperCaseChar(b[i]) : b[i]);
    if (x != y) return x < y ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
    ++i;
  }
}
