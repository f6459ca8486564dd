// Message boxes become syslog entries: a Linux program without a standard-error handle has
// no desktop to show a box on, and the system log is where its errors belong.
#include <syslog.h>

#include "platform/common/utf8.h"
#include "platform/linux/constants.h"

namespace {

// The text in UTF-8 on one line (line breaks become spaces), cut to fit the buffer.
void OneLineUtf8(LPCWSTR text, char* out, int capacity) {
  int written = 0;
  for (int i = 0; text && text[i] && written < capacity - 1;) {
    WCHAR unit[2] = {text[i], 0};
    int units = 1;
    if (unit[0] >= 0xD800 && unit[0] <= 0xDBFF && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      unit[1] = text[i + 1];
      units = 2;
    }
    if (unit[0] == u'\r' || unit[0] == u'\n') {
      // A CR LF pair gives one space.
      if (unit[0] == u'\r' && text[i + 1] == u'\n') ++i;
      unit[0] = u' ';
    }
    char bytes[4];
    int count = Utf8FromUtf16(unit, units, bytes, sizeof bytes);
    if (written + count > capacity - 1) break;
    for (int k = 0; k < count; ++k) out[written++] = bytes[k];
    i += units;
  }
  out[written] = 0;
}

}  // namespace

// Logged with priority LOG_ERR as "caption: text"; the call returns at once with IDOK, as a
// box that the user dismissed would.
extern "C" int WINAPI MessageBoxW(HWND, LPCWSTR text, LPCWSTR caption, UINT) {
  char captionBytes[256];
  char textBytes[2048];
  OneLineUtf8(caption, captionBytes, sizeof captionBytes);
  OneLineUtf8(text, textBytes, sizeof textBytes);
  openlog("sorvanel", LOG_PID, LOG_USER);
  syslog(LOG_ERR, "%s: %s", captionBytes, textBytes);
  closelog();
  return IDOK;
}
