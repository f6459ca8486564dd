// Conversion between UTF-16 text and the code pages a console or a settings file may use: 437
// (OEM United States), 850, 1252 (ANSI Western), 20127 (US-ASCII) and 65001 (UTF-8). A
// character that a single-byte code page lacks becomes its default character, '?'.
#pragma once

#include "platform/win32.h"

bool IsKnownCodePage(UINT codePage);
// Returns the bytes written, or with `out` null the bytes needed. Returns 0 with *error set
// to ERROR_INVALID_PARAMETER for an unknown code page or ERROR_INSUFFICIENT_BUFFER when the
// result does not fit.
int WideToCodePage(UINT codePage, LPCWSTR text, int length, char* out, int capacity,
                   DWORD* error);

// Converts bytes of a known code page into UTF-16 and returns the units written; writes at
// most `capacity` units. A single-byte page gives one unit per byte: bytes 0x81, 0x8D, 0x8F,
// 0x90 and 0x9D of code page 1252, which have no character, give U+0081 and so on, as
// Windows converts them, and bytes above 0x7F of US-ASCII give U+FFFD. UTF-8 gives at most
// one unit per byte, malformed bytes U+FFFD.
int CodePageToWide(UINT codePage, const unsigned char* bytes, int count, WCHAR* out,
                   int capacity);
