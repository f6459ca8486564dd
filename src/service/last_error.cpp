#include "service/last_error.h"

#include "support/runtime.h"

LPCWSTR LastErrorText(WCHAR (&buffer)[ERROR_TEXT_CAPACITY]) {
  RuntimeHooks.describeError(buffer, ERROR_TEXT_CAPACITY, GetLastError());
  return buffer;
}
