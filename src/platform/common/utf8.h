// UTF-16 <-> UTF-8 for the stand-ins of the Windows text functions. An unpaired surrogate
// becomes U+FFFD; malformed UTF-8 bytes do too.
#pragma once

#include "platform/win32.h"

// With `out` null (or capacity 0) only measures. Returns the units written (or needed);
// returns 0 and writes nothing useful when the result does not fit.
int Utf8FromUtf16(const WCHAR* text, int length, char* out, int capacity);
int Utf16FromUtf8(const char* text, int length, WCHAR* out, int capacity);
