// Upper-casing of single UTF-16 units and case-blind comparison, the way CharUpperW and
// CompareStringW(NORM_IGNORECASE) treat text for equality.
#pragma once

#include "platform/win32.h"

WCHAR UpperCaseChar(WCHAR ch);
// CSTR_LESS_THAN, CSTR_EQUAL or CSTR_GREATER_THAN; a negative count means zero-terminated.
int CompareTextNoCase(LPCWSTR a, int countA, LPCWSTR b, int countB, bool ignoreCase);
