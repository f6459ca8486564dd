// One-line texts for system error codes: "5 - Access is denied" and the like.
#pragma once

#include "platform/win32.h"

#define ERROR_TEXT_CAPACITY 256

DWORD DescribeError(LPWSTR buffer, DWORD capacity, DWORD code);
DWORD DescribeErrorInModule(LPWSTR buffer, DWORD capacity, DWORD code, HMODULE module);
