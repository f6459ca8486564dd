// Text conversion and case: WideCharToMultiByte, CompareStringW and CharUpperW.
#include "platform/common/case_mapping.h"
#include "platform/common/code_page.h"
#include "platform/linux/constants.h"

namespace {

bool IsHighSurrogate(WCHAR unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(WCHAR unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// Does the text hold a surrogate without its partner?
bool HasLoneSurrogate(LPCWSTR text, int length) {
  for (int i = 0; i < length; ++i) {
    if (IsHighSurrogate(text[i]) && i + 1 < length && IsLowSurrogate(text[i + 1])) {
      ++i;
    } else if (IsHighSurrogate(text[i]) || IsLowSurrogate(text[i])) {
      return true;
    }
  }
  return false;
}

// A single-byte code page, one character at a time, so that a default character of the
// caller's can replace what the code page lacks and its use can be reported.
int ToSingleByte(UINT codePage, LPCWSTR text, int length, LPSTR buffer, int size,
                 char defaultChar, BOOL* usedDefault, DWORD* error) {
  int written = 0;
  for (int i = 0; i < length;) {
    int units = IsHighSurrogate(text[i]) && i + 1 < length && IsLowSurrogate(text[i + 1]) ? 2 : 1;
    char byte;
    WideToCodePage(codePage, text + i, units, &byte, 1, error);
    bool missing = units == 2 || (byte == '?' && text[i] != u'?');
    if (missing) {
      byte = defaultChar;
      if (usedDefault) *usedDefault = TRUE;
    }
    if (size > 0) {
      if (written >= size) {
        *error = ERROR_INSUFFICIENT_BUFFER;
        return 0;
      }
      buffer[written] = byte;
    }
    ++written;
    i += units;
  }
  return written;
}

}  // namespace

// Code pages 0 (ANSI), 1 (OEM) and the thread's code page are UTF-8 here, as the locale of
// a Linux system is. The single-byte pages of the common table work too.
extern "C" int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR text, int length,
                                          LPSTR buffer, int size, LPCSTR defaultChar,
                                          LPBOOL usedDefault) {
  if (usedDefault) *usedDefault = FALSE;
  if (!text || length == 0 || size < 0 || (size > 0 && !buffer)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (codePage <= 3) codePage = CP_UTF8;  // CP_ACP, CP_OEMCP, CP_MACCP, CP_THREAD_ACP
  if (!IsKnownCodePage(codePage)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (length < 0) {
    length = 0;
    while (text[length]) ++length;
    ++length;  // the terminator is converted too
  }
  DWORD error = 0;
  int result;
  if (codePage == CP_UTF8) {
    if (flags & ~static_cast<DWORD>(WC_ERR_INVALID_CHARS)) {
      SetLastError(ERROR_INVALID_FLAGS);
      return 0;
    }
    if (defaultChar || usedDefault) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    if ((flags & WC_ERR_INVALID_CHARS) && HasLoneSurrogate(text, length)) {
      SetLastError(ERROR_NO_UNICODE_TRANSLATION);
      return 0;
    }
    result = WideToCodePage(CP_UTF8, text, length, size == 0 ? nullptr : buffer, size, &error);
  } else {
    if (flags) {
      SetLastError(ERROR_INVALID_FLAGS);
      return 0;
    }
    result = ToSingleByte(codePage, text, length, buffer, size, defaultChar ? *defaultChar : '?',
                          usedDefault, &error);
  }
  if (result == 0 && error) {
    SetLastError(error);
    return 0;
  }
  return result;
}

// Only case-blind and exact comparison, by UTF-16 unit after upper-casing: enough to tell
// equal texts, which is all the program asks. Other flags are refused rather than ignored.
extern "C" int WINAPI CompareStringW(DWORD, DWORD flags, LPCWSTR a, int countA, LPCWSTR b,
                                     int countB) {
  if (!a || !b || countA < -1 || countB < -1) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (flags & ~static_cast<DWORD>(NORM_IGNORECASE)) {
    SetLastError(ERROR_INVALID_FLAGS);
    return 0;
  }
  return CompareTextNoCase(a, countA, b, countB, (flags & NORM_IGNORECASE) != 0);
}

// A value below 0x10000 in place of the pointer is one character, upper-cased in the low
// word of the result; anything else is a string, upper-cased in place.
extern "C" LPWSTR WINAPI CharUpperW(LPWSTR text) {
  uintptr_t value = reinterpret_cast<uintptr_t>(text);
  if (value <= 0xFFFF) {
    WCHAR upper = UpperCaseChar(static_cast<WCHAR>(value));
    return reinterpret_cast<LPWSTR>(static_cast<uintptr_t>(static_cast<uint16_t>(upper)));
  }
  for (LPWSTR p = text; *p; ++p) *p = UpperCaseChar(*p);
  return text;
}
