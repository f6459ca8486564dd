// The "(%s)" text of a failed system call: DescribeError of GetLastError() into the caller's
// buffer of ERROR_TEXT_CAPACITY characters, which is returned for use as a "%s" argument.
#pragma once

#include "platform/win32.h"
#include "support/error_text.h"

LPWSTR LastErrorText(WCHAR (&buffer)[ERROR_TEXT_CAPACITY]);
// Shows an error whose last "%s" receives that text; `subject`, when given, is the argument
// before it.
void ShowFailure(LPCWSTR format, LPCWSTR subject = nullptr);
