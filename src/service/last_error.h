// The text for the "(%s)" of a failure message: the thread's last error, described through
// the runtime's error-text hook.
#pragma once

#include "platform/win32.h"
#include "support/error_text.h"

LPCWSTR LastErrorText(WCHAR (&buffer)[ERROR_TEXT_CAPACITY]);
