// The formatted-text engine: "%" conversions over wide text into a fixed buffer. Output
// never passes the capacity; what does not fit is dropped silently.
#pragma once

#include "platform/win32.h"

#define SHORT_TEXT_CAPACITY 128

DWORD FormatTextV(LPWSTR buffer, DWORD capacity, LPCWSTR format, va_list arguments);
DWORD FormatText(LPWSTR buffer, DWORD capacity, LPCWSTR format, ...);
// Formats into a 128-character buffer and returns that buffer, to be passed on as "%s".
LPWSTR FormatShortText(LPWSTR buffer, LPCWSTR format, ...);

// One conversion; `format` points after the '%'. On success the four positions have moved
// on; on failure nothing was written and nothing moved.
bool FormatConversion(LPWSTR* output, DWORD* remaining, LPCWSTR* format, va_list* arguments);

// The digits of `value` in `radix` (2 to 36), most significant first, at most capacity - 1
// of them, terminated; returns their count.
DWORD ToDigits32(LPWSTR buffer, DWORD capacity, uint32_t value, DWORD radix);
DWORD ToDigits64(LPWSTR buffer, DWORD capacity, uint64_t value, DWORD radix);

// A debug-only check of a caller error: stops at a breakpoint when `failed` holds and a
// debugger is attached, and has no effect otherwise.
void DebugCheck(bool failed);
