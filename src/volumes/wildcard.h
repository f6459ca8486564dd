// Whole-text matching of "*" and "?" patterns, in time bounded by pattern x text.
#pragma once

#include "platform/win32.h"

bool MatchWildcard(LPCWSTR pattern, LPCWSTR text, bool ignoreCase);
