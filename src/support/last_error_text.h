// The "(%s)" text of a failed system call: DescribeError of GetLastError() into the caller's
// buffer of ERROR_TEXT_CAPACITY characters, which is returned for use as a "%s" argument.
#pragma once

#include "platform/win32.h"
#include "support/error_text.h"

LPWSTR LastErrorText(WCHAR (&buffer)[ERROR_TEXT_CAPACITY]);
