// Message boxes become syslog entries: a Linux program without a standard-error handle has
// no desktop to show a box on, and the system log is where its errors belong.
#include <syslog.h>

#include "platform/linux/constants.h"
#include "platform/linux/system_log.h"

// Logged with priority LOG_ERR as "caption: text"; the call returns at once with IDOK, as a
// box that the user dismissed would.
extern "C" int WINAPI MessageBoxW(HWND, LPCWSTR text, LPCWSTR caption, UINT) {
  char captionBytes[256];
  char textBytes[2048];
  OneLineUtf8(caption, captionBytes, sizeof captionBytes);
  OneLineUtf8(text, textBytes, sizeof textBytes);
  WriteSystemLog(LOG_ERR, "%s: %s", captionBytes, textBytes);
  return IDOK;
}
