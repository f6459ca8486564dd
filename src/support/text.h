// Small text helpers shared by the command line, the templates and the volumes.
#pragma once

#include "platform/win32.h"

#define BLANK_SET_LIMIT 50
#define PATH_CAPACITY 260

extern const WCHAR DefaultBlanks[];

DWORD TextLength(LPCWSTR text);
bool IsBlank(WCHAR ch, LPCWSTR set);
LPCWSTR SkipBlanks(LPCWSTR text, LPCWSTR set);
DWORD CopyBounded(LPWSTR destination, DWORD capacity, LPCWSTR source, DWORD sourceLimit);
// 0 when the two texts are equal ignoring case, non-zero otherwise.
int CompareNoCase(LPCWSTR a, LPCWSTR b);
