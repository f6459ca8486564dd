#include "support/last_error_text.h"

#include "support/runtime.h"

LPWSTR LastErrorText(WCHAR (&buffer)[ERROR_TEXT_CAPACITY]) {
  RuntimeHooks.describeError(buffer, ERROR_TEXT_CAPACITY, GetLastError());
  return buffer;
}
