// English texts for the system error codes that the program can meet, for the stand-ins of
// FormatMessageW. Each text ends with CR LF, as the system's own texts do.
#pragma once

#include "platform/win32.h"

// The text for `id`, or null when the table has none.
LPCWSTR SystemMessageText(DWORD id);

// Copies a table text into a FormatMessageW buffer. With FORMAT_MESSAGE_MAX_WIDTH_MASK in
// `flags` every line break becomes one space. Returns the characters written without the
// terminator, or 0 when the text does not fit in `size` characters.
DWORD CopyMessageText(LPCWSTR text, DWORD flags, LPWSTR buffer, DWORD size);
