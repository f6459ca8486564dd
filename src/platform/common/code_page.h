// Conversion of UTF-16 text into the code pages a console may use: 437 (OEM United States),
// 850, 1252 (ANSI Western), 20127 (US-ASCII) and 65001 (UTF-8). A character that a
// single-byte code page lacks becomes its default character, '?'.
#pragma once

#include "platform/win32.h"

bool IsKnownCodePage(UINT codePage);
// Returns the bytes written, or with `out` null the bytes needed. Returns 0 with *error set
// to ERROR_INVALID_PARAMETER for an unknown code page or ERROR_INSUFFICIENT_BUFFER when the
// result does not fit.
int WideToCodePage(UINT codePage, LPCWSTR text, int length, char* out, int capacity,
                   DWORD* error);
