#include "startup/program.h"
#include "support/last_error_text.h"
#include "support/output.h"
#include "support/runtime.h"

const WCHAR FlushRequestEventName[] = TEXT("Global\\Sorvanel_3f9c2e71-8a4d-4b06-9e5f-27c1d0a8b4e3");

// The -f client: signals the running service's flush-request event. The handle stays open
// until the process ends.
int NotifyService(bool verbose) {
  HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, FlushRequestEventName);
  if (!event) {
    if (GetLastError() == ERROR_FILE_NOT_FOUND) {
      ShowError(TEXT("The service is not running"));
      return 6;
    }
    ShowFailure(TEXT("Cannot open flush event (%s)"));
    return 7;
  }
  if (!SetEvent(event)) {
    ShowFailure(TEXT("Cannot set flush event (%s)"));
    return 7;
  }
  if (verbose) ShowNote(TEXT("The service is notified"));
  return 0;
}
