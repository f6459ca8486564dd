#include "support/last_error_text.h"

#include "support/output.h"
#include "support/runtime.h"

LPWSTR LastErrorText(WCHAR (&buffer)[ERROR_TEXT_CAPACITY]) {
  RuntimeHooks.describeError(buffer, ERROR_TEXT_CAPACITY, GetLastError());
  return buffer;
}

void ShowFailure(LPCWSTR format, LPCWSTR subject) {
  WCHAR error[ERROR_TEXT_CAPACITY];
  LastErrorText(error);
  if (subject) {
    ShowError(format, subject, error);
  } else {
    ShowError(format, error);
  }
}
